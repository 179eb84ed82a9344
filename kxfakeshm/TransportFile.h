#pragma once

// The transport intermediate configuration file "kxfakeshm-transport.bin": the
// Connect peer writes it, the Core peer loads it to learn transports, endpoints
// and tuning.

#include <string>

#include "kxfakeshm/Impl.h"

namespace KXFakeShm {

const std::string& TransportFilePath();

// Connect peer only. Reads the channels' URLs and the tuning under their own
// locks; also saves the tuning file.
bool SaveTransportFile(Impl& impl, std::string& error);
// Core peer only; caller holds apiMutex. Every check on the file comes before the
// running transports are torn down; workers are not started here.
bool LoadTransportFile(Impl& impl, std::string& error);
bool EraseTransportFile(std::string& error);

}  // namespace KXFakeShm
