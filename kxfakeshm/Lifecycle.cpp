// The lifecycle of the library: Initialize, Reconfigure and Terminate, the steps
// they share (bringing transports up and down, settling after a failure) and the
// per-transport dispatch the other files call.
//
// Lock order: apiMutex (held by each public step for its whole run), then a
// channel slot's lock or a watcher mutex, each only briefly.

#include "kxfakeshm/FakeSharedMem.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <limits>
#include <mutex>
#include <thread>

#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/Errors.h"
#include "kxfakeshm/HotReload.h"
#include "kxfakeshm/Impl.h"
#include "kxfakeshm/SocketTransport.h"
#include "kxfakeshm/TransportFile.h"
#include "kxfakeshm/Transports.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void LoadTuningFileIfPresent(Impl& impl) {
    if (!FileExists(TuningFilePath())) {
        return;
    }
    std::string reason;
    if (!LoadTuningFile(impl.peer.load(), impl.tuning, reason)) {
        KXLOG_ERROR("Failed to load the FakeSharedMem tuning configuration file '{}': {}",
                    TuningFilePath(), reason);
    }
}

// Channels, then workers, each only when selected, in the fixed order.
bool BringUpTransports(Impl& impl, uint8_t set, bool workerAfterEachChannel, std::string& error) {
    if (workerAfterEachChannel) {
        for (TransportKind kind : kTransportOrder) {
            if ((set & kind) != 0 &&
                (!InitializeChannel(impl, kind, error) || !StartWorker(impl, kind, error))) {
                return false;
            }
        }
        return true;
    }
    for (TransportKind kind : kTransportOrder) {
        if ((set & kind) != 0 && !InitializeChannel(impl, kind, error)) {
            return false;
        }
    }
    for (TransportKind kind : kTransportOrder) {
        if ((set & kind) != 0 && !StartWorker(impl, kind, error)) {
            return false;
        }
    }
    return true;
}

// The Core peer learns its transports from the Connect peer's file. Without a
// usable file it runs SharedMem only until the Connect peer writes one.
bool InitializeCoreTransports(Impl& impl, std::string& error) {
    std::string reason;
    if (FileExists(TransportFilePath())) {
        if (LoadTransportFile(impl, reason)) {
            for (TransportKind kind : kTransportOrder) {
                if ((impl.transports.load() & kind) != 0 && !StartWorker(impl, kind, error)) {
                    return false;
                }
            }
            return true;
        }
        KXLOG_WARNING("FakeSharedMem has failed to load the configuration file '{}': {}",
                      TransportFilePath(), reason);
        if (!TearDownTransports(impl, error)) {
            return false;
        }
    }
    KXLOG_INFO("Reverting back KXFakeShm transport configuration to SharedMem only...");
    impl.transports = SharedMem;
    return BringUpTransports(impl, SharedMem, false, error);
}

// The transports whose worker runs. A channel left without one (a bring-up that
// failed half way) is terminated.
uint8_t RunningTransports(Impl& impl) {
    uint8_t set = 0;
    for (TransportKind kind : kTransportOrder) {
        if (!impl.Slot(kind).Get()) {
            continue;
        }
        std::string reason;
        if (IsWorkerRunning(impl, kind, reason)) {
            set |= kind;
        } else if (!TerminateChannel(impl, kind, reason)) {
            KXLOG_ERROR("FakeSharedMem {} channel termination has failed: {}", TransportWord(kind),
                        reason);
        }
    }
    return set;
}

// The Terminate sequence after the transports are down, for a library that has
// nothing left to run. Failures are logged; the library ends uninitialised.
void DropToUninitialized(Impl& impl) {
    std::string reason;
    if (!TerminateFileWatchers(impl, reason)) {
        KXLOG_ERROR("FakeSharedMem termination has failed: {}", reason);
    }
    if (impl.peer.load() == EPeer::Connect && !EraseTransportFile(reason)) {
        KXLOG_ERROR("FakeSharedMem termination has failed: {}", reason);
    }
    impl.transports = 0;
    impl.peer = EPeer::None;
    impl.transportFileDirty = false;
    impl.tuningFileDirty = false;
    impl.connectLock.Release();
}

// After a failed Reconfigure the library reports, describes in its file and
// watches what actually runs, so that the next Reconfigure starts from a sound
// state. When nothing of the new set came up the previous set is brought back
// where it can be; with nothing at all running the library ends uninitialised
// (Initialize, not Reconfigure, is then the way back).
void SettleAfterFailedReconfigure(Impl& impl, uint8_t previous) {
    uint8_t set = RunningTransports(impl);
    if (set == 0) {
        for (TransportKind kind : kTransportOrder) {
            std::string reason;
            if ((previous & kind) != 0 &&
                (!InitializeChannel(impl, kind, reason) || !StartWorker(impl, kind, reason))) {
                KXLOG_ERROR("FakeSharedMem {} worker thread start has failed: {}",
                            TransportWord(kind), reason);
            }
        }
        set = RunningTransports(impl);
    }
    impl.transports = set;
    if (set == 0) {
        DropToUninitialized(impl);
        return;
    }
    std::string reason;
    if (!SaveTransportFile(impl, reason)) {
        KXLOG_ERROR("FakeSharedMem has failed to save the transport configuration to file: {}",
                    reason);
        // The next worker pass repairs it once the fault is gone.
        impl.transportFileDirty = true;
    }
    if (!StartTransportWatcher(impl, reason)) {
        KXLOG_ERROR("FakeSharedMem has failed to start the intermediate file watcher: {}", reason);
    }
}

// Every guard of Initialize, checked before anything is stored: a refused call
// leaves the running library (and its tuning) as it was.
bool InitializeRefused(const Impl& impl, EPeer peer, uint8_t transports, std::string& error) {
    if (impl.transports.load() != 0) {
        return !KX_FAIL(error,
                        "FakeSharedMem initialization has failed: Already initialized; "
                        "initialization aborted!");
    }
    if (transports == 0) {
        return !KX_FAIL(error,
                        "FakeSharedMem initialization has failed: Should be initialized "
                        "with at least one trasnport!");
    }
    if (peer != EPeer::Connect && peer != EPeer::Core) {
        return !KX_FAIL(error, fmt::format("FakeSharedMem initialization has failed: Invalid "
                                           "peer type '{}'; initialization aborted!",
                                           PeerName(peer)));
    }
    if ((transports & ~kAllTransports) != 0) {
        return !KX_FAIL(error, fmt::format("FakeSharedMem initialization has failed: Invalid "
                                           "transport set {}; initialization aborted!",
                                           transports));
    }
    return false;
}

// What identifies one version of the transport file; all zero while there is none.
struct FileVersion {
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const FileVersion&) const = default;
};

FileVersion TransportFileVersion() {
    struct stat st {};
    if (::stat(TransportFilePath().c_str(), &st) != 0) {
        return {};
    }
    return {st.st_ino, st.st_size,
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// A Core peer's watch starts after its load: a file the Connect peer wrote in
// between raised no event, and without this the Core peer would stay on what it
// loaded (SharedMem only when there was no file) until the next write.
// Caller holds apiMutex.
void CatchUpWithTransportFile(Impl& impl, const FileVersion& loaded) {
    if (TransportFileVersion() == loaded) {
        return;
    }
    std::string error;
    if (!LoadTransportFile(impl, error)) {
        KXLOG_WARNING("FakeSharedMem has failed to reload the configuration file '{}': {}",
                      TransportFilePath(), error);
        return;
    }
    for (TransportKind kind : kTransportOrder) {
        if ((impl.transports.load() & kind) != 0 && !StartWorker(impl, kind, error)) {
            KXLOG_ERROR("FakeSharedMem {} worker thread start has failed: {}", TransportWord(kind),
                        error);
        }
    }
}

// Caller holds apiMutex and has passed the guards.
bool InitializeTransports(Impl& impl, EPeer peer, uint8_t transports, std::string& error) {
    impl.peer = peer;
    impl.transports = transports;

    std::string reason;
    bool ok;
    if (peer == EPeer::Core) {
        const FileVersion loaded = TransportFileVersion();
        ok = InitializeCoreTransports(impl, reason) && InitializeFileWatchers(impl, reason);
        if (ok) {
            CatchUpWithTransportFile(impl, loaded);
        }
    } else {
        LoadTuningFileIfPresent(impl);
        ok = BringUpTransports(impl, transports, false, reason) &&
             SaveTransportFile(impl, reason) && InitializeFileWatchers(impl, reason);
    }
    if (!ok) {
        return KX_FAIL(error, "FakeSharedMem initialization has failed: " + reason);
    }
    KXLOG_INFO("FakeSharedMem has been initialized successfully!");
    return true;
}

}  // namespace

const char* PeerName(EPeer peer) {
    switch (peer) {
        case EPeer::None:
            return "None";
        case EPeer::Connect:
            return "Connect";
        case EPeer::Core:
            return "Core";
    }
    return "Unknown";
}

void SleepMilliseconds(uint64_t ms) {
    if (ms < 1) {
        return;
    }
    constexpr uint64_t kMaxMs = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / kMsNs;
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = ms >= kMaxMs ? std::chrono::steady_clock::time_point::max()
                                       : now + std::chrono::milliseconds(static_cast<int64_t>(ms));
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_until(deadline);
    }
}

const char* TransportWord(TransportKind kind) {
    switch (kind) {
        case Ipc:
            return "IPC";
        case Tcp:
            return "TCP";
        default:
            return "SharedMem";
    }
}

bool InitializeChannel(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? InitializeSharedMemChannel(impl, error)
                             : InitializeSocketChannel(impl, SocketTransportOf(kind), error);
}

bool TerminateChannel(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? TerminateSharedMemChannel(impl, error)
                             : TerminateSocketChannel(impl, SocketTransportOf(kind), error);
}

bool StartWorker(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? StartSharedMemWorker(impl, error)
                             : StartSocketWorker(impl, SocketTransportOf(kind), error);
}

bool StopWorker(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? StopSharedMemWorker(impl, error)
                             : StopSocketWorker(impl, SocketTransportOf(kind), error);
}

bool IsWorkerRunning(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? IsSharedMemWorkerRunning(impl, error)
                             : IsSocketWorkerRunning(impl, SocketTransportOf(kind), error);
}

bool TearDownTransports(Impl& impl, std::string& error) {
    for (TransportKind kind : kTransportOrder) {
        if (!impl.Slot(kind).Get()) {
            continue;
        }
        std::string ignored;
        if (IsWorkerRunning(impl, kind, ignored) && !StopWorker(impl, kind, error)) {
            return false;
        }
        if (!TerminateChannel(impl, kind, error)) {
            return false;
        }
    }
    return true;
}

bool PeerAlive(const Impl& impl, TransportKind kind) {
    auto channel = impl.Slot(kind).Get();
    if (!channel || !channel->peerConnected) {
        return false;
    }
    const Tuning tuning = impl.tuning.Snapshot();
    const uint64_t timeout =
        (kind == SharedMem ? tuning.SharedMemLivenessTimeout : tuning.LivenessTimeout) *
        kTenMsUnitNs;
    const uint64_t last = channel->lastReceivedTime.load();
    const uint64_t now = NowNs();
    return last != 0 && now >= last && now - last <= timeout;
}

bool FakeSharedMem::Initialize(EPeer peer, uint8_t transports, const Tuning& tuning,
                               std::string& error) {
    Impl& impl = *impl_;
    try {
        std::lock_guard lock(impl.apiMutex);
        KXLOG_INFO("Initializing FakeSharedMem with specialized tuning parameters...");
        error.clear();
        try {
            KXLOG_INFO("Initializing FakeSharedMem...");
            if (InitializeRefused(impl, peer, transports, error)) {
                return false;
            }
            // The Core peer would refuse a transport file carrying such a value.
            if (const char* key = FirstTuningValueOutOfRange(tuning)) {
                return KX_FAIL(error, fmt::format("FakeSharedMem initialization has failed: "
                                                  "Invalid '{}' tuning value; initialization "
                                                  "aborted!",
                                                  key));
            }
            std::string holder;
            if (peer == EPeer::Connect && !impl.connectLock.Acquire(holder)) {
                return KX_FAIL(error, fmt::format("FakeSharedMem initialization has failed: "
                                                  "Another Connect peer is already running for "
                                                  "this user ({}); initialization aborted!",
                                                  holder));
            }
            impl.tuning.Store(tuning);
            return InitializeTransports(impl, peer, transports, error);
        } catch (const std::exception& e) {
            return KX_FAIL(
                error,
                fmt::format("Encountered an error while initializing FakeSharedMem: {}", e.what()));
        } catch (...) {
            return KX_FAIL(error, "Encountered an unknown error while initializing FakeSharedMem!");
        }
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Encountered an error while initializing FakeSharedMem "
                                          "with specialized tuning parameters: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Encountered an unknown error while initializing FakeSharedMem with "
                       "specialized tuning parameters!");
    }
}

bool FakeSharedMem::Reconfigure(uint8_t transports, std::string& error) {
    Impl& impl = *impl_;
    std::lock_guard lock(impl.apiMutex);
    KXLOG_INFO("Reconfiguring FakeSharedMem...");
    error.clear();
    try {
        if (impl.transports.load() == 0) {
            return KX_FAIL(error,
                           "FakeSharedMem reconfiguration has failed: Not initialized yet; "
                           "reconfiguration aborted!");
        }
        if (impl.peer.load() != EPeer::Connect) {
            return KX_FAIL(error,
                           "FakeSharedMem reconfiguration has failed: Can only be "
                           "reconfigured via EPeer::Connect!");
        }
        if (transports == 0) {
            return KX_FAIL(error,
                           "FakeSharedMem reconfiguration has failed: Should be reconfigured "
                           "with at least one transport!");
        }
        if ((transports & ~kAllTransports) != 0) {
            return KX_FAIL(error, fmt::format("FakeSharedMem reconfiguration has failed: Invalid "
                                              "transport set {}; reconfiguration aborted!",
                                              transports));
        }
        std::string reason;
        // The watcher stays stopped while we rewrite our own file, so our writes
        // raise no event.
        if (!StopTransportWatcher(impl, reason)) {
            return KX_FAIL(error, "FakeSharedMem reconfiguration has failed: " + reason);
        }
        const uint8_t previous = impl.transports.load();
        bool ok = EraseTransportFile(reason) && TearDownTransports(impl, reason);
        if (ok) {
            impl.transports = transports;
            LoadTuningFileIfPresent(impl);
            ok = BringUpTransports(impl, transports, true, reason) &&
                 SaveTransportFile(impl, reason) && StartTransportWatcher(impl, reason);
        }
        if (!ok) {
            KX_FAIL(error, "FakeSharedMem reconfiguration has failed: " + reason);
            SettleAfterFailedReconfigure(impl, previous);
            return false;
        }
        KXLOG_INFO("FakeSharedMem has been reconfigured successfully!");
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(
            error,
            fmt::format("Encountered an error while initializing FakeSharedMem: {}", e.what()));
    } catch (...) {
        return KX_FAIL(error, "Encountered an unknown error while initializing FakeSharedMem!");
    }
}

bool FakeSharedMem::Terminate(std::string& error) {
    Impl& impl = *impl_;
    std::lock_guard lock(impl.apiMutex);
    KXLOG_INFO("Terminating FakeSharedMem...");
    error.clear();
    try {
        if (impl.transports.load() == 0) {
            return KX_FAIL(error,
                           "FakeSharedMem termination has failed: Not initialized yet; "
                           "termination aborted!");
        }
        std::string reason;
        if (!TerminateFileWatchers(impl, reason) ||
            (impl.peer.load() == EPeer::Connect && !EraseTransportFile(reason)) ||
            !TearDownTransports(impl, reason)) {
            return KX_FAIL(error, "FakeSharedMem termination has failed: " + reason);
        }
        impl.transports = 0;
        impl.peer = EPeer::None;
        // A flag left over would make the next Connect peer of this process rewrite
        // its file for an edit it never saw.
        impl.transportFileDirty = false;
        impl.tuningFileDirty = false;
        impl.connectLock.Release();
        KXLOG_INFO("FakeSharedMem has been terminated successfully!");
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(
            error,
            fmt::format("Encountered an error while initializing FakeSharedMem: {}", e.what()));
    } catch (...) {
        return KX_FAIL(error, "Encountered an unknown error while initializing FakeSharedMem!");
    }
}

}  // namespace KXFakeShm
