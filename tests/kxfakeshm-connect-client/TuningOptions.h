#pragma once

// The tuning options shared by the programs that start the library from a
// command line (the connect client and the Core peer): one declaration of the
// thirteen tuning options with their messages, their usage lines and their log.

#include <string>

#include "kxcommon/CommandLine.h"
#include "kxfakeshm/Tuning.h"

namespace KXClient {

// The message for a key that names no option ({} = the key without dashes).
inline constexpr const char* kUnknownArgumentMessage =
    "Invalid or unknown command-line argument: '{}'";

// Declares "socket-receive-nonblocking" ... "shared-mem-liveness-timeout-ms",
// each writing its field of `tuning` (which must outlive `options`).
void AddTuningOptions(KXCommon::CommandLineOptions& options, KXFakeShm::Tuning& tuning);

// The usage lines of those options, from the empty line before
// "--socket-receive-nonblocking <yes|no>" to the
// "--shared-mem-liveness-timeout-ms <uint64>" line; every line ends in '\n'.
const std::string& TuningUsage();

// Logs " - socket-receive-nonblocking => {}" ... at INFO, one line per option.
void LogTuningOptions(const KXFakeShm::Tuning& tuning);

}  // namespace KXClient
