#include "tests/kxfakeshm-connect-client/Lifecycle.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
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
        ExitWithFatal(fmt::format("KXLog initialization has failed: {}", error));
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
        ExitWithFatal(fmt::format("KXLog termination has failed: {}", error));
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
        ExitWithFatal(fmt::format("FakeSharedMem initialization has failed: {}", error));
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
        ExitWithFatal(fmt::format("FakeSharedMem reconfiguration has failed: {}", error));
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
        ExitWithFatal(fmt::format("FakeSharedMem termination has failed: {}", error));
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

void ExitWithFatal(const std::string& message) {
    KXLOG_FATAL("{}", message);
    std::exit(1);
}

}  // namespace KXClient
