// Both peers watch both configuration files. The Connect peer owns them: a foreign
// change of the transport file, or a reloaded tuning file, marks its configuration
// dirty and the next worker pass rewrites the transport file. The Core peer follows
// the Connect peer: it reloads the transport file and rebuilds its transports.

#include "kxfakeshm/HotReload.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <mutex>

#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/Errors.h"
#include "kxfakeshm/TransportFile.h"
#include "kxfakeshm/Transports.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

using EventType = KXCommon::FileWatcher::EventType;

constexpr uint64_t kRewriteRetryPauseNs = 100 * kMsNs;

// Describes one of the two watched files for the shared watcher code.
struct WatchedFile {
    const char* what;  // the file's description in messages
    const std::string& (*path)();
    KXCommon::HybridMutex Impl::*mutex;
    std::unique_ptr<KXCommon::FileWatcher> Impl::*watcher;
    KXCommon::FileWatcher::Subscription Impl::*subscription;
    void (*callback)(Impl&, EventType);
};

// Takes apiMutex for a Core-side reload, unless the watchers are being stopped:
// Terminate holds apiMutex while it joins this very thread, and wakes this wait
// when it sets the flag.
std::unique_lock<ApiMutex> LockApiUnlessStopping(Impl& impl) {
    if (!impl.apiMutex.LockUnless(impl.watchersStopping)) {
        return std::unique_lock<ApiMutex>(impl.apiMutex, std::defer_lock);
    }
    return std::unique_lock<ApiMutex>(impl.apiMutex, std::adopt_lock);
}

void OnTransportFileChanged(Impl& impl, EventType event) {
    try {
        const std::string& path = TransportFilePath();
        KXLOG_INFO(
            "FakeSharedMem transport intermediate configuration file watcher has detected "
            "'{}' event on '{}'!",
            KXCommon::EventTypeName(event), path);
        const EPeer peer = impl.peer.load();
        if (peer == EPeer::Connect) {
            impl.transportFileDirty = true;
            return;
        }
        if (peer != EPeer::Core) {
            KXLOG_FATAL("FakeSharedMem has an invalid peer type '{}'!", PeerName(peer));
            return;
        }
        auto lock = LockApiUnlessStopping(impl);
        if (!lock.owns_lock()) {
            return;
        }
        if (event != EventType::Deleted) {
            std::string error;
            if (!LoadTransportFile(impl, error)) {
                KXLOG_WARNING("FakeSharedMem has failed to reload the configuration file '{}': {}",
                              path, error);
                return;
            }
            for (TransportKind kind : kTransportOrder) {
                if ((impl.transports.load() & kind) != 0 && !StartWorker(impl, kind, error)) {
                    KXLOG_ERROR("FakeSharedMem {} worker thread start has failed: {}",
                                TransportWord(kind), error);
                }
            }
            KXLOG_INFO(
                "FakeSharedMem transport intermediate configuration file '{}' has been "
                "reloaded successfully!",
                path);
            return;
        }
        KXLOG_INFO("Reverting back KXFakeShm transport configuration to SharedMem only...");
        for (TransportKind kind : kTransportOrder) {
            if (!impl.Slot(kind).Get()) {
                continue;
            }
            std::string error;
            if (IsWorkerRunning(impl, kind, error) && !StopWorker(impl, kind, error)) {
                KXLOG_ERROR("FakeSharedMem {} worker thread stop has failed: {}",
                            TransportWord(kind), error);
            }
            if (!TerminateChannel(impl, kind, error)) {
                KXLOG_ERROR("FakeSharedMem {} channel termination has failed: {}",
                            TransportWord(kind), error);
            }
        }
        impl.transports = SharedMem;
    } catch (const std::exception& e) {
        KXLOG_ERROR(
            "Encountered an error inside the FakeSharedMem transport intermediate "
            "configuration file watcher callback: {}",
            e.what());
    } catch (...) {
        KXLOG_ERROR(
            "Encountered an unknown error inside the FakeSharedMem transport intermediate "
            "configuration file watcher callback!");
    }
}

void OnTuningFileChanged(Impl& impl, EventType event) {
    try {
        const std::string& path = TuningFilePath();
        KXLOG_INFO(
            "FakeSharedMem tuning configuration file watcher has detected '{}' event on "
            "'{}'!",
            KXCommon::EventTypeName(event), path);
        const EPeer peer = impl.peer.load();
        if (peer == EPeer::Connect) {
            std::string error;
            if (LoadTuningFile(peer, impl.tuning, error)) {
                impl.tuningFileDirty = true;
            } else {
                KXLOG_ERROR("Failed to load the FakeSharedMem tuning configuration file '{}'!",
                            path);
            }
        } else if (peer == EPeer::Core) {
            KXLOG_WARNING(
                "FakeSharedMem tuning configuration file '{}' changes cannot be applied "
                "from the Core peer directly! Will be waiting for the transport "
                "intermediate file...",
                path);
        } else {
            KXLOG_FATAL("FakeSharedMem has an invalid peer type '{}'!", PeerName(peer));
        }
    } catch (const std::exception& e) {
        KXLOG_ERROR(
            "Encountered an error inside the FakeSharedMem tuning configuration file "
            "watcher callback: {}",
            e.what());
    } catch (...) {
        KXLOG_ERROR(
            "Encountered an unknown error inside the FakeSharedMem tuning configuration "
            "file watcher callback!");
    }
}

const WatchedFile kTransportFile{
    "transport intermediate configuration file",
    &TransportFilePath,
    &Impl::transportWatcherMutex,
    &Impl::transportWatcher,
    &Impl::transportSubscription,
    &OnTransportFileChanged,
};

const WatchedFile kTuningFile{
    "tuning configuration file", &TuningFilePath,           &Impl::tuningWatcherMutex,
    &Impl::tuningWatcher,        &Impl::tuningSubscription, &OnTuningFileChanged,
};

bool InitializeWatcher(Impl& impl, const WatchedFile& f, std::string& error) {
    const std::string& path = f.path();
    KXLOG_INFO("Initializing the FakeSharedMem file watcher on the {} '{}'...", f.what, path);
    try {
        {
            std::lock_guard lock(impl.*f.mutex);
            auto& watcher = impl.*f.watcher;
            watcher = std::make_unique<KXCommon::FileWatcher>(path);
            KXLOG_INFO(
                "Subscribing to the FakeSharedMem file watcher on the {} '{}' change "
                "events...",
                f.what, path);
            std::string reason;
            Impl* state = &impl;
            auto callback = f.callback;
            // The watch is on the file's directory, which a Core peer that starts
            // before any file was written would not find.
            bool ok = KXCommon::EnsureParentDirectory(path, reason) &&
                      watcher->Subscribe([state, callback](EventType e) { callback(*state, e); },
                                         impl.*f.subscription, reason);
            if (ok) {
                KXLOG_INFO("Starting the FakeSharedMem file watcher on the {} '{}'...", f.what,
                           path);
                ok = watcher->Start(reason);
            }
            if (!ok) {
                return KX_FAIL(error, fmt::format("The FakeSharedMem file watcher on the {} '{}' "
                                                  "initialization has failed: {}",
                                                  f.what, path, reason));
            }
        }
        KXLOG_INFO(
            "The FakeSharedMem file watcher on the {} '{}' has been initialized "
            "successfully!",
            f.what, path);
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to initialize the FakeSharedMem file watcher on "
                                          "the {} '{}': {}",
                                          f.what, path, e.what()));
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to initialize the FakeSharedMem file watcher on "
                                          "the {} '{}' due to an unknown error!",
                                          f.what, path));
    }
}

bool TerminateWatcher(Impl& impl, const WatchedFile& f, std::string& error) {
    const std::string& path = f.path();
    const bool transport = &f == &kTransportFile;
    KXLOG_INFO("Terminating the FakeSharedMem file watcher on the {} '{}'...", f.what, path);
    try {
        {
            std::lock_guard lock(impl.*f.mutex);
            auto& watcher = impl.*f.watcher;
            // A watcher that was never created (an Initialize that failed before this
            // step) leaves nothing to stop; Terminate must still be able to clean up.
            if (watcher) {
                std::string reason;
                KXLOG_INFO(
                    "Unsubscribing from the FakeSharedMem file watcher on the {} '{}' "
                    "change events...",
                    f.what, path);
                bool ok = watcher->Unsubscribe(impl.*f.subscription, reason);
                if (ok) {
                    KXLOG_INFO("Stopping the FakeSharedMem file watcher on the {} '{}'...", f.what,
                               path);
                    ok = !watcher->IsRunning() || watcher->Stop(reason);
                }
                if (!ok) {
                    return KX_FAIL(error,
                                   fmt::format("The FakeSharedMem file watcher on the {}{} "
                                               "'{}' termination has failed: {}",
                                               transport ? "the " : "", f.what, path, reason));
                }
                watcher.reset();
                (impl.*f.subscription).reset();
            }
        }
        KXLOG_INFO(
            "The FakeSharedMem file watcher on the {} '{}' has been terminated "
            "successfully!",
            f.what, path);
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to terminate the FakeSharedMem file watcher on "
                                          "the {} '{}': {}",
                                          f.what, path, e.what()));
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to terminate the FakeSharedMem file watcher on "
                                          "the {} '{}' due to an unknown error!",
                                          f.what, path));
    }
}

bool WatcherMissing(std::string& error) {
    return KX_FAIL(error, fmt::format("The FakeSharedMem file watcher on the FakeSharedMem "
                                      "transport intermediate configuration file '{}' has not been "
                                      "initialized yet!",
                                      TransportFilePath()));
}

}  // namespace

bool InitializeFileWatchers(Impl& impl, std::string& error) {
    error.clear();
    if (!InitializeWatcher(impl, kTransportFile, error)) {
        return false;
    }
    {
        std::lock_guard lock(impl.transportWatcherMutex);
        impl.transportRewriteSuspended = false;
        impl.transportRewriteRetryAt = 0;
    }
    return InitializeWatcher(impl, kTuningFile, error);
}

bool TerminateFileWatchers(Impl& impl, std::string& error) {
    error.clear();
    {
        // From here on no worker writes the file that Terminate is about to erase.
        std::lock_guard lock(impl.transportWatcherMutex);
        impl.transportRewriteSuspended = true;
    }
    impl.watchersStopping = true;
    impl.apiMutex.WakeWaiters();
    const bool ok =
        TerminateWatcher(impl, kTransportFile, error) && TerminateWatcher(impl, kTuningFile, error);
    impl.watchersStopping = false;
    return ok;
}

bool StopTransportWatcher(Impl& impl, std::string& error) {
    std::lock_guard lock(impl.transportWatcherMutex);
    if (!impl.transportWatcher) {
        return WatcherMissing(error);
    }
    impl.transportRewriteSuspended = true;
    return !impl.transportWatcher->IsRunning() || impl.transportWatcher->Stop(error);
}

bool StartTransportWatcher(Impl& impl, std::string& error) {
    std::lock_guard lock(impl.transportWatcherMutex);
    if (!impl.transportWatcher) {
        return WatcherMissing(error);
    }
    if (!impl.transportWatcher->IsRunning() && !impl.transportWatcher->Start(error)) {
        return false;
    }
    impl.transportRewriteSuspended = false;
    return true;
}

bool RewriteTransportFileIfDirty(Impl& impl) {
    if (impl.peer.load() != EPeer::Connect ||
        (!impl.transportFileDirty.load() && !impl.tuningFileDirty.load())) {
        return true;
    }
    // The watcher mutex is held across stop, save and start: one worker rewrites,
    // the others wait here and then find the flags clear.
    std::lock_guard lock(impl.transportWatcherMutex);
    if ((!impl.transportFileDirty.load() && !impl.tuningFileDirty.load()) ||
        impl.transportRewriteSuspended || NowNs() < impl.transportRewriteRetryAt) {
        return true;
    }
    KXLOG_INFO(
        "FakeSharedMem transport configuration file contamination detected; rewriting to "
        "disk...");
    auto* watcher = impl.transportWatcher.get();
    // The flags stay set, so a later pass tries again; the pause keeps a lasting
    // fault (a directory in the file's place) from filling the log.
    const auto failed = [&impl] {
        impl.transportRewriteRetryAt = NowNs() + kRewriteRetryPauseNs;
        return false;
    };
    std::string error;
    if (watcher != nullptr && watcher->IsRunning() && !watcher->Stop(error)) {
        KXLOG_ERROR("FakeSharedMem has failed to stop the intermediate file watcher: {}", error);
        return failed();
    }
    if (!SaveTransportFile(impl, error)) {
        KXLOG_ERROR("FakeSharedMem has failed to save the transport configuration to file: {}",
                    error);
        // Watched again meanwhile: whatever happens to the file until the next try
        // is seen.
        std::string ignored;
        if (watcher != nullptr) {
            watcher->Start(ignored);
        }
        return failed();
    }
    if (watcher != nullptr && !watcher->Start(error)) {
        KXLOG_ERROR("FakeSharedMem has failed to start the intermediate file watcher: {}", error);
        return failed();
    }
    impl.transportRewriteRetryAt = 0;
    impl.transportFileDirty = false;
    impl.tuningFileDirty = false;
    return true;
}

}  // namespace KXFakeShm
