// The socket worker of the IPC and TCP transports: start, stop and the supervise
// thread that reruns the body, whose turns wait for a message, hand it to the
// message path, send heartbeats and pace the loop while no peer is there.
//
// Locks: the channel slot's lock only to copy the pointer; socketMutex only to
// read the receive descriptor and, with pipeMutex inside it, around the
// non-blocking nng_recvmsg; the tuning lock to copy the record once per turn.
// Waits happen without any lock, on the channel's WorkerSignal, which Stop
// raises before it closes the socket.
// Start and stop run under apiMutex (the lifecycle or the Core reload).

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "kxfakeshm/Errors.h"
#include "kxfakeshm/HotReload.h"
#include "kxfakeshm/SocketTransport.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

enum class BodyEnd { Stop, Continue };

// A heartbeat is due one interval after the last message that went out and after
// the last heartbeat tried. A try that found no room in the pipe is not repeated
// before then: the records that fill the pipe reach the peer ahead of any
// heartbeat queued behind them and keep the link alive there, while a try every
// turn made hundreds of timed-out sends a second, each holding up the writer's
// next send in the queue of senders.
uint64_t HeartbeatDue(const Tuning& tuning, const TransportChannel& channel) {
    return std::max(channel.lastSentTime.load(), channel.heartbeatTriedTime.load()) +
           tuning.HeartbeatInterval * kTenMsUnitNs;
}

// How long a receive may wait: the receive timeout (negative: no limit) while
// blocking, nothing while not; with a peer, never past the next heartbeat's time,
// so that a long (or infinite) receive timeout does not silence this side.
int64_t ReceiveWaitMs(const Tuning& tuning, const TransportChannel& channel, uint64_t now) {
    if (tuning.SocketReceiveNonBlocking) {
        return 0;
    }
    int64_t waitMs = tuning.SocketReceiveTimeout < 0 ? -1 : tuning.SocketReceiveTimeout;
    if (channel.peerConnected && tuning.HeartbeatInterval <= UINT64_MAX / kTenMsUnitNs) {
        const uint64_t due = HeartbeatDue(tuning, channel);
        const uint64_t leftMs = due > now ? (due - now + kMsNs - 1) / kMsNs : 0;
        const int64_t capMs = WaitMs(leftMs);
        if (capMs >= 0 && (waitMs < 0 || capMs < waitMs)) {
            waitMs = capMs;
        }
    }
    return waitMs;
}

// One turn of the receive loop; returns Stop when the body must end.
BodyEnd ReceiveTurn(Impl& impl, const SocketTransport& t, TransportChannel& channel) {
    const Tuning tuning = impl.tuning.Snapshot();
    const bool nonBlocking = tuning.SocketReceiveNonBlocking;
    int fd;
    {
        std::lock_guard lock(channel.socketMutex);
        fd = channel.recvFd;
    }
    // The worker waits on NNG's receive descriptor, beside the stop and nudge
    // descriptors, without socketMutex, and calls nng_recvmsg (non-blocking, under
    // the mutex) only when a message waits:
    // - non-blocking: an nng_recvmsg with NNG_FLAG_NONBLOCK on an empty socket
    //   starts and cancels an NNG operation every turn, and that storm, racing a
    //   peer's disconnect, can wedge NNG 1.5's pipe reaper for good (every later
    //   close then hangs);
    // - blocking: the wait up to the receive timeout happens outside socketMutex,
    //   so the sends of other threads and the close of Stop go on meanwhile, and
    //   Stop ends the wait at once, whatever the timeout (even an infinite one).
    bool messageWaits = true;
    if (fd >= 0) {
        switch (channel.signal.Wait(fd, ReceiveWaitMs(tuning, channel, NowNs()), true)) {
            case WorkerSignal::Wake::Stopped:
                return BodyEnd::Stop;
            case WorkerSignal::Wake::Readable:
                break;
            default:
                messageWaits = false;
        }
    }
    nng_msg* msg = nullptr;
    int rc;
    {
        std::lock_guard lock(channel.socketMutex);
        if (!channel.socketInitialized) {
            rc = NNG_ECLOSED;
        } else if (messageWaits) {
            // NNG 1.5.2's pair0 can keep a message "ready" from a pipe it has
            // already stopped, and a receive then reads through a null pipe
            // (docs/nng.md): receive only while the link's pipe stands.
            std::lock_guard pipeLock(channel.pipeMutex);
            rc = channel.pipeId != 0 ? nng_recvmsg(channel.socket, &msg, NNG_FLAG_NONBLOCK)
                                     : NNG_EAGAIN;
        } else {
            rc = NNG_EAGAIN;
        }
        if (rc == NNG_EAGAIN && !nonBlocking) {
            rc = NNG_ETIMEDOUT;
        }
    }
    switch (rc) {
        case 0: {
            std::string error;
            if (!HandleMessage(impl, t, msg, error)) {
                KXLOG_ERROR(
                    "FakeSharedMem has failed to handle the received message via the {} "
                    "channel: {}",
                    t.word, error);
            }
            break;
        }
        case NNG_EAGAIN:
        case NNG_ETIMEDOUT:
            break;
        case NNG_ECLOSED:
            KXLOG_WARNING(
                "FakeSharedMem {} socket has been closed; exiting the {} worker "
                "thread...",
                t.word, t.word);
            return BodyEnd::Stop;
        case NNG_EINVAL:
            KXLOG_WARNING(
                "FakeSharedMem {} socket has failed: An invalid set of flags was "
                "specified!",
                t.word);
            return BodyEnd::Stop;
        case NNG_ENOMEM:
            KXLOG_WARNING("FakeSharedMem {} socket has failed: Insufficient memory is available!",
                          t.word);
            return BodyEnd::Stop;
        case NNG_ENOTSUP:
            KXLOG_WARNING(
                "FakeSharedMem {} socket has failed: The protocol for socket s does not "
                "support receiving!",
                t.word);
            return BodyEnd::Stop;
        case NNG_ESTATE:
            KXLOG_WARNING(
                "FakeSharedMem {} socket has failed: The socket cannot receive data in "
                "this state!",
                t.word);
            return BodyEnd::Stop;
        default:
            KXLOG_ERROR("FakeSharedMem {} socket has failed with an unknown error code: {}", t.word,
                        rc);
            return BodyEnd::Stop;
    }

    if (channel.peerConnected) {
        // Heartbeats only while nothing else went out within the interval.
        const uint64_t now = NowNs();
        if (now >= HeartbeatDue(tuning, channel)) {
            channel.heartbeatTriedTime = now;
            std::string error;
            if (!SendHeartbeatVia(impl, t, error)) {
                KXLOG_ERROR("FakeSharedMem has failed to send {} heartbeat: {}", t.withArticle,
                            error);
            }
        }
        // After an empty non-blocking look the core goes to any thread that is ready
        // to run (NNG's I/O threads that carry the messages, a writer); the loop
        // still never sleeps, and spins alone on an idle core as before.
        if (rc == NNG_EAGAIN) {
            std::this_thread::yield();
        }
    } else if (channel.signal.Wait(-1, WaitMs(tuning.WorkerRetryInterval), true) ==
               WorkerSignal::Wake::Stopped) {
        return BodyEnd::Stop;
    }
    return BodyEnd::Continue;
}

void SocketWorkerBody(Impl& impl, const SocketTransport& t) {
    kxlog::SetThreadName(t.workerName);
    KXLOG_INFO("The FakeSharedMem {} transport worker thread has been started!", t.word);
    try {
        bool running = true;
        uint64_t lonelySince = NowNs();
        while (running) {
            if (!RewriteTransportFileIfDirty(impl)) {
                break;
            }
            auto channel = impl.Slot(t.kind).Get();
            if (!channel) {
                break;
            }
            if (ReceiveTurn(impl, t, *channel) == BodyEnd::Stop) {
                break;
            }
            RefreshLonelyListener(impl, t, *channel, lonelySince);
            running = channel->workerRunning;
        }
    } catch (const std::exception& e) {
        KXLOG_ERROR("The FakeSharedMem {} worker thread has failed: {}", t.word, e.what());
    } catch (...) {
        KXLOG_ERROR("The FakeSharedMem {} worker thread has failed due to an unknown error!",
                    t.word);
    }
    KXLOG_INFO("The FakeSharedMem {} worker thread has been stopped!", t.word);
}

void SocketWorkerSupervise(Impl* impl, const SocketTransport* t) {
    kxlog::SetThreadName(t->supervisorName);
    while (true) {
        SocketWorkerBody(*impl, *t);
        auto channel = impl->Slot(t->kind).Get();
        if (!channel || !channel->workerRunning) {
            break;
        }
    }
}

}  // namespace

bool StartSocketWorker(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    KXLOG_INFO("Starting the FakeSharedMem {} worker thread...", t.word);
    auto channel = impl.Slot(t.kind).Get();
    if (!channel) {
        return KX_FAIL(
            error, fmt::format("The {} transport channel has not been initialized yet!", t.word));
    }
    if (channel->workerRunning) {
        return KX_FAIL(
            error, fmt::format("The FakeSharedMem {} worker thread is already running!", t.word));
    }
    if (channel->worker.joinable()) {
        return KX_FAIL(error,
                       fmt::format("The FakeSharedMem {} worker thread already exists!", t.word));
    }
    std::string reason;
    // Armed before the socket opens: a peer may connect, and nudge, at once.
    bool ready = channel->signal.Usable(reason);
    if (ready) {
        channel->signal.Arm();
        ready = InitializeSocket(impl, t, reason);
    }
    if (!ready) {
        return KX_FAIL(error, fmt::format("The FakeSharedMem {} worker thread has failed to "
                                          "initialize the {} transport socket: {}",
                                          t.word, t.word, reason));
    }
    channel->workerRunning = true;
    channel->worker = std::thread(SocketWorkerSupervise, &impl, &t);
    return true;
}

bool StopSocketWorker(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    KXLOG_INFO("Stopping the FakeSharedMem {} worker thread...", t.word);
    auto channel = impl.Slot(t.kind).Get();
    if (!channel) {
        return KX_FAIL(
            error, fmt::format("The {} transport channel has not been initialized yet!", t.word));
    }
    if (!channel->workerRunning) {
        return KX_FAIL(error,
                       fmt::format("The FakeSharedMem {} worker thread is not running!", t.word));
    }
    channel->workerRunning = false;
    channel->signal.RaiseStop();
    std::string reason;
    const bool closed = TerminateSocket(impl, t, reason);
    if (channel->worker.joinable()) {
        channel->worker.join();
    }
    if (!closed) {
        return KX_FAIL(error, fmt::format("The FakeSharedMem {} worker thread has failed to "
                                          "shutdown the {} transport socket: {}",
                                          t.word, t.word, reason));
    }
    return true;
}

bool IsSocketWorkerRunning(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    auto channel = impl.Slot(t.kind).Get();
    if (!channel) {
        error = fmt::format("The {} transport channel has not been initialized yet!", t.word);
        return false;
    }
    return channel->workerRunning;
}
}  // namespace KXFakeShm
