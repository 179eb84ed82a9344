#include "tests/kxfakeshm-connect-client/Lifecycle.h"

#include <fmt/format.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxlog/KXLog.h"
#include "kxlog/KXLogImpl.h"

namespace KXClient {
namespace {

constexpr const char* kLogFileName = "kxfakeshm-connect-client.log";
constexpr int kLogFileVerbosity = 9;
constexpr std::chrono::milliseconds kSleepWithLogPeriod{100};

std::mutex gRestorerMutex;
TerminalRestorer gRestorer;  // under gRestorerMutex

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// The steps of a fatal end once the terminal is the shell's again.
[[noreturn]] void FinishFatal(const std::string& message) {
    std::fflush(stdout);
    if (::isatty(STDOUT_FILENO) == 1) {
        WriteAll(STDOUT_FILENO, "\x1b[2 q\x1b[?25h");
    }
    WriteAll(STDERR_FILENO, message + "\n");
    // Best effort: a library that cannot terminate still gets its FATAL line.
    KXFakeShm::FakeSharedMem& library = KXFakeShm::FakeSharedMem::Instance();
    if (library.IsInitialized()) {
        std::string error;
        if (!library.Terminate(error)) {
            KXLOG_ERROR("{}", error);
        }
    }
    KXLOG_FATAL("{}", message);
    std::abort();
}

uint8_t TransportMask(bool tcp, bool ipc, bool sharedmem) {
    return static_cast<uint8_t>((tcp ? KXFakeShm::Tcp : 0) | (ipc ? KXFakeShm::Ipc : 0) |
                                (sharedmem ? KXFakeShm::SharedMem : 0));
}

}  // namespace

std::string LogFilePath() {
    return fmt::format("{}{}{}", KXCommon::DataDirectory(), KXCommon::kPathSeparator, kLogFileName);
}

void InitializeKXLog() {
    const std::string path = LogFilePath();
    // On a fresh machine the data directory does not exist yet.
    std::string error;
    const bool logging = KXCommon::EnsureParentDirectory(path, error) &&
                         kxlog::AddFile(path, kLogFileVerbosity, error);
    KXLOG_INFO("Attempting KXLog initialization...");
    KXLOG_INFO(" - Log file: {}", path);
    KXLOG_INFO(" - Loging to file succeeded: {}", logging);
    if (!logging) {
        KXLOG_ERROR("{}", error);
    }

    KXLogImpl::Log& log = KXLogImpl::Log::Instance();
    if (log.IsInitialized()) {
        KXLOG_ERROR("KXLog has already been initialized!");
        return;
    }
    if (!log.Initialize(error)) {
        ExitWithFatal(FailureLine("KXLog initialization has failed: ", error));
    }
    KXLOG_INFO("KXLog initialization has succeeded!");
}

void TerminateKXLog() {
    KXLOG_INFO("Attempting KXLog termination...");
    KXLogImpl::Log& log = KXLogImpl::Log::Instance();
    if (!log.IsInitialized()) {
        KXLOG_ERROR("KXLog has not been initialized yet!");
        return;
    }
    std::string error;
    if (!log.Terminate(error)) {
        ExitWithFatal(FailureLine("KXLog termination has failed: ", error));
    }
    KXLOG_INFO("KXLog termination has succeeded!");
}

void InitializeFakeSharedMem(bool tcp, bool ipc, bool sharedmem, const KXFakeShm::Tuning& tuning) {
    KXLOG_INFO("Attempting FakeSharedMem initialization...");
    KXFakeShm::FakeSharedMem& library = KXFakeShm::FakeSharedMem::Instance();
    if (library.IsInitialized()) {
        KXLOG_ERROR("FakeSharedMem has already been initialized!");
        return;
    }
    std::string error;
    if (!library.Initialize(KXFakeShm::EPeer::Connect, TransportMask(tcp, ipc, sharedmem), tuning,
                            error)) {
        ExitWithFatal(FailureLine("FakeSharedMem initialization has failed: ", error));
    }
    KXLOG_INFO("FakeSharedMem initialization has succeeded!");
}

void ReconfigureFakeSharedMem(uint8_t toggleMask) {
    KXLOG_INFO("Attempting FakeSharedMem reconfiguration...");
    KXFakeShm::FakeSharedMem& library = KXFakeShm::FakeSharedMem::Instance();
    const uint8_t current = library.IsInitialized() ? library.GetTransports() : 0;
    const auto next = static_cast<uint8_t>(current ^ toggleMask);
    if (next == 0) {
        KXLOG_WARNING(
            "FakeSharedMem reconfiguration has been aborted: at least one transport must be "
            "active!");
        return;
    }
    if (current == 0) {
        KXLOG_ERROR("FakeSharedMem has not been initialized yet!");
        return;
    }
    std::string error;
    if (!library.Reconfigure(next, error)) {
        ExitWithFatal(FailureLine("FakeSharedMem reconfiguration has failed: ", error));
    }
    KXLOG_INFO("FakeSharedMem reconfiguration has succeeded!");
}

void TerminateFakeSharedMem() {
    KXLOG_INFO("Attempting FakeSharedMem termination...");
    KXFakeShm::FakeSharedMem& library = KXFakeShm::FakeSharedMem::Instance();
    if (!library.IsInitialized()) {
        KXLOG_ERROR("FakeSharedMem has not been initialized yet!");
        return;
    }
    std::string error;
    if (!library.Terminate(error)) {
        ExitWithFatal(FailureLine("FakeSharedMem termination has failed: ", error));
    }
    KXLOG_INFO("FakeSharedMem termination has succeeded!");
}

void SleepWithLog() {
    KXLOG_INFO("Sleeping for {} millisecond(s)...", kSleepWithLogPeriod.count());
    const auto deadline = std::chrono::steady_clock::now() + kSleepWithLogPeriod;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_until(deadline);
    }
}

std::string FailureLine(const std::string& prefix, const std::string& error) {
    return error.rfind(prefix, 0) == 0 ? error : prefix + error;
}

void SetTerminalRestorer(TerminalRestorer restorer) {
    std::lock_guard<std::mutex> lock(gRestorerMutex);
    gRestorer = std::move(restorer);
}

void ExitWithFatal(const std::string& message) {
    // A second fatal error (another thread, or the library's termination) waits
    // for the first to end the process.
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) {
            ::pause();
        }
    }
    TerminalRestorer restorer;
    {
        std::lock_guard<std::mutex> lock(gRestorerMutex);
        restorer = gRestorer;
    }
    if (restorer) {
        restorer([&] { FinishFatal(message); });
    }
    FinishFatal(message);
}

}  // namespace KXClient
