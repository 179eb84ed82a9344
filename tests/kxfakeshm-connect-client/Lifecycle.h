#pragma once

// Thin wrappers around the lifecycle of the log and of the library. Each logs
// its attempt and outcome; a wrong state is logged and ignored, a failure ends
// the process through ExitWithFatal.

#include <cstdint>
#include <functional>
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

// "<prefix><error>", unless the component's error already starts with the
// prefix (the library's texts name the failed operation themselves).
std::string FailureLine(const std::string& prefix, const std::string& error);

// Runs its argument with the terminal handed back to the shell (normal screen,
// cursor shown, cooked mode). The dashboard installs one while it owns the
// terminal, for the thread that runs its loop.
using TerminalRestorer = std::function<void(const std::function<void()>&)>;
void SetTerminalRestorer(TerminalRestorer restorer);

// Ends the process after a failure nobody can recover from: hands the terminal
// back, prints `message` on standard error, terminates the library as far as it
// will go (so the transport file is erased), logs `message` at FATAL and aborts.
// The log file sink takes every verbosity, so the FATAL line always reaches it
// and the process never exits with a code of its own.
[[noreturn]] void ExitWithFatal(const std::string& message);

}  // namespace KXClient
