#pragma once

// Thin wrappers around the lifecycle of the log and of the library. Each logs
// its attempt and outcome; a wrong state is logged and ignored, a failure ends
// the process through ExitWithFatal.

#include <cstdint>
#include <string>

#include "kxfakeshm/Tuning.h"

namespace KXClient {

// "<data directory>/kxfakeshm-connect-client.log".
std::string LogFilePath();

void InitializeKXLog();
void TerminateKXLog();

void InitializeFakeSharedMem(bool tcp, bool ipc, bool sharedmem, const KXFakeShm::Tuning& tuning);
// Toggles the transports of `toggleMask` (TCP 1, IPC 2, SharedMem 4); refuses
// to switch the last active transport off.
void ReconfigureFakeSharedMem(uint8_t toggleMask);
void TerminateFakeSharedMem();

// Logs the pause and sleeps 100 ms on the steady clock.
void SleepWithLog();

// Logs `message` at FATAL and ends the process with exit code 1 (the log
// aborts instead when the FATAL line reaches a sink).
[[noreturn]] void ExitWithFatal(const std::string& message);

}  // namespace KXClient
