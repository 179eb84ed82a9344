// The SharedMem transport: no socket; its worker exchanges heartbeat timestamps
// through the shared-memory heartbeat block and decides liveness from them.

#include <fmt/format.h>

#include <mutex>

#include "kxfakeshm/Errors.h"
#include "kxfakeshm/HotReload.h"
#include "kxfakeshm/Impl.h"
#include "kxfakeshm/Transports.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

constexpr const char* kNotInitialized =
    "The SharedMem transport channel has not been initialized yet!";

void SharedMemPass(Impl& impl, TransportChannel& channel) {
    uint64_t peerTimestamp = 0;
    std::string error;
    // A failed read has logged its one line, naming the block and the cause.
    if (!impl.ReadPeerHeartbeat(peerTimestamp, error)) {
        peerTimestamp = 0;
    }
    const Tuning tuning = impl.tuning.Snapshot();
    const uint64_t now = NowNs();
    if (peerTimestamp != 0) {
        channel.lastReceivedTime = peerTimestamp;
    }
    const uint64_t last = channel.lastReceivedTime.load();
    const bool alive =
        last != 0 && now > last && now - last <= tuning.SharedMemLivenessTimeout * kTenMsUnitNs;
    if (alive) {
        channel.stats.RecordLatency(now, now - last, tuning.LatencySmoothingWindow * kMsNs);
    } else if (channel.stats.latency.load() != 0) {
        channel.stats.ResetLatency();
    }
    if (alive != channel.peerConnected.load()) {
        channel.stats.ResetAll();
        channel.peerConnected = alive;
    }
    if (now - channel.lastSentTime.load() >= tuning.HeartbeatInterval * kTenMsUnitNs) {
        const uint64_t timestamp = NowNs();
        if (impl.SendHeartbeat(timestamp, error)) {
            channel.lastSentTime = timestamp;
        } else {
            KXLOG_ERROR("FakeSharedMem has failed to write a SharedMem heartbeat: {}", error);
            // The Connect peer owns the block: one that was removed, or that a killed
            // peer left locked, is made anew so that the two peers can meet again.
            if (impl.peer.load() == EPeer::Connect && impl.InitializeSharedMem(error)) {
                KXLOG_WARNING("FakeSharedMem has re-created the SharedMem heartbeat block!");
            }
        }
    }
    channel.signal.Wait(-1, WaitMs(tuning.WorkerRetryInterval), false);
}

void SharedMemWorkerBody(Impl& impl) {
    kxlog::SetThreadName("SharedMemWorker");
    KXLOG_INFO("The FakeSharedMem SharedMem transport worker thread has been started!");
    try {
        while (true) {
            if (!RewriteTransportFileIfDirty(impl)) {
                break;
            }
            auto channel = impl.sharedMemChannel.Get();
            if (!channel) {
                break;
            }
            SharedMemPass(impl, *channel);
            if (!channel->workerRunning) {
                break;
            }
        }
    } catch (const std::exception& e) {
        KXLOG_ERROR("The FakeSharedMem SharedMem worker thread has failed: {}", e.what());
    } catch (...) {
        KXLOG_ERROR(
            "The FakeSharedMem SharedMem worker thread has failed due to an unknown "
            "error!");
    }
    KXLOG_INFO("The FakeSharedMem SharedMem worker thread has been stopped!");
}

void SharedMemWorkerSupervise(Impl* impl) {
    kxlog::SetThreadName("SharedMemWorkerSupervise");
    while (true) {
        SharedMemWorkerBody(*impl);
        auto channel = impl->sharedMemChannel.Get();
        if (!channel || !channel->workerRunning) {
            break;
        }
    }
}

}  // namespace

bool InitializeSharedMemChannel(Impl& impl, std::string& error) {
    error.clear();
    KXLOG_INFO("Initializing FakeSharedMem SharedMem transport channel...");
    try {
        {
            std::lock_guard lock(impl.sharedMemChannel.mutex);
            if (impl.sharedMemChannel.channel) {
                return KX_FAIL(error,
                               "Failed to initialize the FakeSharedMem SharedMem transport "
                               "channel: Already initialized; initialization aborted!");
            }
            impl.sharedMemChannel.channel = std::make_shared<TransportChannel>();
        }
        KXLOG_INFO(
            "The FakeSharedMem SharedMem transport channel has been initialized "
            "successfully!");
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to initialize the FakeSharedMem SharedMem "
                                          "transport channel: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to initialize the FakeSharedMem SharedMem transport channel "
                       "due to an unknown error!");
    }
}

bool TerminateSharedMemChannel(Impl& impl, std::string& error) {
    error.clear();
    KXLOG_INFO("Terminating FakeSharedMem SharedMem transport channel...");
    try {
        {
            std::lock_guard lock(impl.sharedMemChannel.mutex);
            if (!impl.sharedMemChannel.channel) {
                return KX_FAIL(error,
                               "Failed to terminate the FakeSharedMem SharedMem transport "
                               "channel: Not initialized yet; termination aborted!");
            }
            impl.sharedMemChannel.channel.reset();
        }
        KXLOG_INFO(
            "The FakeSharedMem SharedMem transport channel has been terminated "
            "successfully!");
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to terminate the FakeSharedMem SharedMem "
                                          "transport channel: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to terminate the FakeSharedMem SharedMem transport channel "
                       "due to an unknown error!");
    }
}

bool IsSharedMemWorkerRunning(Impl& impl, std::string& error) {
    error.clear();
    try {
        auto channel = impl.sharedMemChannel.Get();
        if (!channel) {
            KXLOG_ERROR("{}", kNotInitialized);
            return false;
        }
        return channel->workerRunning;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to check whether the FakeSharedMem SharedMem "
                                          "worker thread is running: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to check whether the FakeSharedMem SharedMem worker thread is "
                       "running due to an unknown error!");
    }
}

bool StartSharedMemWorker(Impl& impl, std::string& error) {
    error.clear();
    KXLOG_INFO("Starting the FakeSharedMem SharedMem worker thread...");
    std::shared_ptr<TransportChannel> channel;
    try {
        channel = impl.sharedMemChannel.Get();
        if (!channel) {
            return KX_FAIL(error, kNotInitialized);
        }
        if (channel->workerRunning) {
            return KX_FAIL(error, "The FakeSharedMem SharedMem worker thread is already running!");
        }
        if (channel->worker.joinable()) {
            return KX_FAIL(error, "The FakeSharedMem SharedMem worker thread already exists!");
        }
        std::string reason;
        if (!channel->signal.Usable(reason)) {
            return KX_FAIL(error,
                           "Failed to start the FakeSharedMem SharedMem worker thread: " + reason);
        }
        if (!impl.InitializeSharedMem(reason)) {
            // A block that cannot be made now (another user's segment under the name,
            // no room in /dev/shm) must not take the other transports down: the
            // Connect peer's worker keeps trying to make it on every heartbeat.
            if (impl.peer.load() != EPeer::Connect) {
                return KX_FAIL(error,
                               "Failed to start the FakeSharedMem SharedMem worker "
                               "thread: " +
                                   reason);
            }
            KXLOG_WARNING(
                "The FakeSharedMem SharedMem worker thread starts without its heartbeat block "
                "and keeps trying to make it: {}",
                reason);
        }
        channel->signal.Arm();
        channel->workerRunning = true;
        channel->worker = std::thread(SharedMemWorkerSupervise, &impl);
        return true;
    } catch (const std::exception& e) {
        if (channel) {
            channel->workerRunning = false;
        }
        return KX_FAIL(error, fmt::format("Failed to start the FakeSharedMem SharedMem worker "
                                          "thread: {}",
                                          e.what()));
    } catch (...) {
        if (channel) {
            channel->workerRunning = false;
        }
        return KX_FAIL(error,
                       "Failed to start the FakeSharedMem SharedMem worker thread due to an "
                       "unknown error!");
    }
}

bool StopSharedMemWorker(Impl& impl, std::string& error) {
    error.clear();
    KXLOG_INFO("Stopping the FakeSharedMem SharedMem worker thread...");
    try {
        auto channel = impl.sharedMemChannel.Get();
        if (!channel) {
            return KX_FAIL(error, kNotInitialized);
        }
        if (!channel->workerRunning) {
            return KX_FAIL(error, "The FakeSharedMem SharedMem worker thread is not running!");
        }
        // The worker is joined before the block goes away, so that its last pass
        // cannot write into a block that is being removed; when the removal fails,
        // the worker is started again and the stop reports the failure.
        channel->workerRunning = false;
        channel->signal.RaiseStop();
        if (channel->worker.joinable()) {
            channel->worker.join();
        }
        std::string reason;
        if (!impl.TerminateSharedMem(reason)) {
            channel->signal.Arm();
            channel->workerRunning = true;
            channel->worker = std::thread(SharedMemWorkerSupervise, &impl);
            return KX_FAIL(error,
                           "Failed to stop the FakeSharedMem SharedMem worker thread: " + reason);
        }
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to stop the FakeSharedMem SharedMem worker "
                                          "thread: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to stop the FakeSharedMem SharedMem worker thread due to an "
                       "unknown error!");
    }
}

}  // namespace KXFakeShm
