#include "kxfakeshm/SocketTransport.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <nng/protocol/pair0/pair.h>
#include <nng/transport/ipc/ipc.h>

#include <poll.h>

#include <chrono>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/Errors.h"
#include "kxfakeshm/HotReload.h"
#include "kxfakeshm/NngMessageBuilder.h"
#include "kxfakeshm/WireMessage.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

constexpr const char* kPipeName = "Kelvanorix";

Wire::SourceType OwnSource(const Impl& impl) {
    return impl.peer.load() == EPeer::Connect ? Wire::SourceType::Connect : Wire::SourceType::Core;
}

// One tuning value, read under the tuning lock without copying the whole record
// (the message path reads one or two values per message).
template <typename Value>
Value TuningValue(const Impl& impl, Value Tuning::*field) {
    std::shared_lock lock(impl.tuning.mutex);
    return impl.tuning.tuning.*field;
}

uint64_t ThroughputWindowNs(const Impl& impl) {
    return TuningValue(impl, &Tuning::ThroughputSmoothingWindow) * kMsNs;
}

// Pipe callbacks run on NNG's threads: a peer that connects or leaves starts the
// channel's link figures afresh.
void ResetLinkState(TransportChannel& channel) {
    channel.lastSentTime = 0;
    channel.lastReceivedTime = 0;
    channel.stats.ResetAll();
    std::lock_guard lock(channel.receivedDataLock);
    channel.receivedData.clear();
}

template <TransportKind Kind>
void OnPipeEvent(nng_pipe, nng_pipe_ev event, void* arg) {
    const SocketTransport& t = SocketTransportOf(Kind);
    const bool added = event == NNG_PIPE_EV_ADD_POST;
    KXLOG_INFO("{}", added ? t.connectedText : t.disconnectedText);
    auto* impl = static_cast<Impl*>(arg);
    if (impl == nullptr) {
        KXLOG_INFO("Invalid Impl object!");
        return;
    }
    auto channel = impl->Slot(Kind).Get();
    if (!channel) {
        KXLOG_INFO("{}", t.invalidChannelText);
        return;
    }
    if (added) {
        ResetLinkState(*channel);
        channel->peerConnected = true;
    } else {
        channel->peerConnected = false;
        ResetLinkState(*channel);
    }
}

const SocketTransport kIpc{
    Ipc,
    "IPC",
    "IpcWorkerSupervise",
    "IpcWorker",
    "An IPC transport peer is connected!",
    "The IPC transport peer is disconnected!",
    "Invalid IPC transport channel!",
    "Resolving the IPC transport URL for FakeSharedMem...",
    "The IPC transport URL has already been resolved: '{}'; skipping further resolution!",
    "FakeSharedMem has resolved the IPC transport URL: '{}'",
    &OnPipeEvent<Ipc>,
    &OnPipeEvent<Ipc>,
    true,
};

const SocketTransport kTcp{
    Tcp,
    "TCP",
    "TcpWorkerSupervise",
    "TcpWorker",
    "A TCP transport peer is connected!",
    "The TCP transport peer is disconnected!",
    "Invalid TCP transport channel!",
    "Resolving ephemeral TCP transport URL for FakeSharedMem...",
    "TCP transport URL has already been resolved: {}; skipping further URL resolution!",
    "FakeSharedMem has resolved the TCP transport URL: {}",
    &OnPipeEvent<Tcp>,
    &OnPipeEvent<Tcp>,
    false,
};

// Binds a temporary listener on port 0 to learn a free port; the socket is closed
// on every path, so the real listener can bind the port later.
bool FindEphemeralTcpUrl(std::string& url, std::string& error) {
    nng_socket socket = NNG_SOCKET_INITIALIZER;
    if (nng_pair0_open(&socket) != 0) {
        return KX_FAIL(error,
                       "Failed to open the temporary NNG socket for TCP transport URL "
                       "resolution!");
    }
    struct Closer {
        nng_socket s;
        ~Closer() { nng_close(s); }
    } closer{socket};
    nng_listener listener = NNG_LISTENER_INITIALIZER;
    if (nng_listener_create(&listener, socket, "tcp://127.0.0.1:0") != 0) {
        return KX_FAIL(error, "Failed to create the temporary NNG listener!");
    }
    if (nng_listener_start(listener, 0) != 0) {
        return KX_FAIL(error, "Failed to start the temporary NNG listener!");
    }
    nng_sockaddr address{};
    if (nng_listener_get_addr(listener, NNG_OPT_LOCADDR, &address) != 0) {
        return KX_FAIL(error, "Failed to retrieve a bound TCP port from the NNG listener!");
    }
    if (address.s_family == NNG_AF_INET) {
        url = fmt::format("tcp://127.0.0.1:{}", ntohs(address.s_in.sa_port));
    } else if (address.s_family == NNG_AF_INET6) {
        url = fmt::format("tcp://[::1]:{}", ntohs(address.s_in6.sa_port));
    } else {
        return KX_FAIL(error, "Unsupported address family while resolving the TCP transport URL!");
    }
    return true;
}

// The endpoint this transport listens on: the IPC socket is an absolute path in
// the per-user runtime directory, so that peers started from different folders
// meet; TCP takes a free loopback port.
bool MakeUrl(const SocketTransport& t, std::string& url, std::string& error) {
    if (t.kind == Ipc) {
        url = fmt::format("ipc://{}/{}", KXCommon::RuntimeDirectory(), kPipeName);
        return true;
    }
    return FindEphemeralTcpUrl(url, error);
}

// NNG 1.5.2 can wedge for good in nng_close when a peer's pipe goes away while the
// socket shuts down (a known NNG fault we could make rarer but not rule out). The
// close runs on a short-lived thread; one that has not returned within the bound is
// abandoned and logged, so that Stop and Terminate still finish and the process can
// exit instead of hanging. The abandoned thread holds only NNG's own resources.
int CloseSocketBounded(nng_socket socket, const SocketTransport& t) {
    auto result = std::make_shared<std::promise<int>>();
    std::future<int> done = result->get_future();
    std::thread([socket, result] { result->set_value(nng_close(socket)); }).detach();
    if (done.wait_for(std::chrono::seconds(3)) == std::future_status::ready) {
        return done.get();
    }
    KXLOG_ERROR("The NNG {} socket has not closed within 3 s; its close is abandoned", t.word);
    return 0;
}

// Closes the socket and clears its handles; caller holds socketMutex.
void CloseSocketLocked(TransportChannel& channel) {
    nng_close(channel.socket);
    channel.recvFd = -1;
    channel.socket = NNG_SOCKET_INITIALIZER;
    channel.listener = NNG_LISTENER_INITIALIZER;
    channel.dialer = NNG_DIALER_INITIALIZER;
}

// Creates and starts the Connect peer's listener on `url`; caller holds socketMutex.
bool StartListenerLocked(const SocketTransport& t, TransportChannel& channel,
                         const std::string& url) {
    bool ok = nng_listener_create(&channel.listener, channel.socket, url.c_str()) == 0;
    // Owner-only socket file: nobody else on the machine may talk to us.
    if (ok && t.kind == Ipc) {
        ok = nng_listener_set_int(channel.listener, NNG_OPT_IPC_PERMISSIONS, 0600) == 0;
    }
    ok = ok && nng_listener_start(channel.listener, 0) == 0;
    if (!ok) {
        nng_listener_close(channel.listener);
        channel.listener = NNG_LISTENER_INITIALIZER;
    }
    return ok;
}

bool OpenSocketLocked(Impl& impl, const SocketTransport& t, TransportChannel& channel,
                      std::string& error) {
    const std::string prefix =
        fmt::format("Failed to initialize the FakeSharedMem {} transport socket: ", t.word);
    if (nng_pair0_open(&channel.socket) != 0) {
        channel.socket = NNG_SOCKET_INITIALIZER;
        return KX_FAIL(error, prefix + "NNG pair0 socket open failed!");
    }
    const Tuning tuning = impl.tuning.Snapshot();
    auto option = [&](const char* name, int32_t ms, const char* what) {
        if (nng_socket_set_ms(channel.socket, name, ms) != 0) {
            CloseSocketLocked(channel);
            return KX_FAIL(
                error, prefix + fmt::format("Failed to to set the {} on the NNG socket!", what));
        }
        return true;
    };
    if (!tuning.SocketReceiveNonBlocking &&
        !option(NNG_OPT_RECVTIMEO, tuning.SocketReceiveTimeout, "receive timeout")) {
        return false;
    }
    if (!tuning.SocketSendNonBlocking &&
        !option(NNG_OPT_SENDTIMEO, tuning.SocketSendTimeout, "send timeout")) {
        return false;
    }
    if (!option(NNG_OPT_RECONNMINT, tuning.SocketReconnectTimeMin, "reconnect minimum timeout") ||
        !option(NNG_OPT_RECONNMAXT, tuning.SocketReconnectTimeMax, "reconnect maximum timeout")) {
        return false;
    }
    // Readable when a message waits; lets a non-blocking receive look without
    // starting an NNG operation (see ReceiveTurn).
    if (nng_socket_get_int(channel.socket, NNG_OPT_RECVFD, &channel.recvFd) != 0) {
        channel.recvFd = -1;
    }
    nng_pipe_notify(channel.socket, NNG_PIPE_EV_ADD_POST, t.onPipeAdded, &impl);
    nng_pipe_notify(channel.socket, NNG_PIPE_EV_REM_POST, t.onPipeRemoved, &impl);

    const EPeer peer = impl.peer.load();
    if (peer == EPeer::Connect) {
        const std::string url = channel.Url();
        KXLOG_INFO("FakeSharedMem/Connect is binding an {} listener on '{}'", t.word, url);
        if (!StartListenerLocked(t, channel, url)) {
            CloseSocketLocked(channel);
            return KX_FAIL(error, prefix + fmt::format("Failed to start an {} listener on '{}'!",
                                                       t.word, url));
        }
    } else if (peer == EPeer::Core) {
        const std::string url = channel.DialUrl();
        KXLOG_INFO("FakeSharedMem/Core is dialing the {} endpoint on '{}'", t.word, url);
        // Non-blocking: a Connect peer that is not listening yet is retried by NNG.
        if (nng_dialer_create(&channel.dialer, channel.socket, url.c_str()) != 0 ||
            nng_dialer_start(channel.dialer, NNG_FLAG_NONBLOCK) != 0) {
            CloseSocketLocked(channel);
            return KX_FAIL(error, prefix + fmt::format("Failed to dial the {} endpoint on '{}'!",
                                                       t.word, url));
        }
    } else {
        CloseSocketLocked(channel);
        return KX_FAIL(error, prefix + fmt::format("Invalid peer type '{}'!", PeerName(peer)));
    }
    return true;
}

enum class BodyEnd { Stop, Continue };

// Waits up to `timeoutMs` (0: only looks) until NNG's receive descriptor says a
// message waits. Touches only the descriptor, never the socket, so it runs
// without socketMutex.
bool WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
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
    // Where NNG gives a receive descriptor, the worker waits on it and calls
    // nng_recvmsg only when a message waits:
    // - non-blocking: an nng_recvmsg with NNG_FLAG_NONBLOCK on an empty socket
    //   starts and cancels an NNG operation every turn, and that storm, racing a
    //   peer's disconnect, can wedge NNG 1.5's pipe reaper for good (every later
    //   close then hangs);
    // - blocking: the wait up to the receive timeout happens outside socketMutex,
    //   so the sends of other threads go on meanwhile instead of queueing behind
    //   a receive that may have nothing to return. An infinite timeout (negative)
    //   stays with NNG's own blocking receive, which a close can interrupt.
    const bool waitOnDescriptor = fd >= 0 && (nonBlocking || tuning.SocketReceiveTimeout >= 0);
    const bool messageWaits =
        !waitOnDescriptor || WaitReadable(fd, nonBlocking ? 0 : tuning.SocketReceiveTimeout);
    nng_msg* msg = nullptr;
    int rc;
    {
        std::lock_guard lock(channel.socketMutex);
        if (!channel.socketInitialized) {
            rc = NNG_ECLOSED;
        } else if (!messageWaits) {
            rc = nonBlocking ? NNG_EAGAIN : NNG_ETIMEDOUT;
        } else {
            const int flags = nonBlocking || waitOnDescriptor ? NNG_FLAG_NONBLOCK : 0;
            rc = nng_recvmsg(channel.socket, &msg, flags);
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
            nng_msg_free(msg);
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
        if (now - channel.lastSentTime.load() >= tuning.HeartbeatInterval * kTenMsUnitNs) {
            std::string error;
            if (!SendHeartbeatVia(impl, t, error)) {
                KXLOG_ERROR("FakeSharedMem has failed to send an {} heartbeat: {}", t.word, error);
            }
        }
        // After an empty non-blocking look the core goes to any thread that is ready
        // to run (NNG's I/O threads that carry the messages, a writer); the loop
        // still never sleeps, and spins alone on an idle core as before.
        if (rc == NNG_EAGAIN) {
            std::this_thread::yield();
        }
    } else {
        SleepMilliseconds(tuning.WorkerRetryInterval);
    }
    return BodyEnd::Continue;
}

// NNG 1.5.2's IPC listener stops handing new peers to the socket once a
// connection went away during its handshake (a Core peer that reloads its
// transport file while its old dialer is connecting to a new Connect peer does
// exactly that): the next Core peer connects but is never taken in. Nothing tells
// us; so a Connect peer whose listener has gone this long without a peer makes it
// anew, and a locked-out Core peer gets in on its next dial.
constexpr uint64_t kLonelyListenerNs = 5'000'000'000;

// Called by the worker after each turn; `lonelySince` is the worker's own record
// of when its link last had a peer. Takes socketMutex; does not block.
void RefreshLonelyListener(Impl& impl, const SocketTransport& t, TransportChannel& channel,
                           uint64_t& lonelySince) {
    const uint64_t now = NowNs();
    if (!t.refreshLonelyListener || impl.peer.load() != EPeer::Connect || channel.peerConnected) {
        lonelySince = now;
        return;
    }
    if (now - lonelySince < kLonelyListenerNs) {
        return;
    }
    lonelySince = now;
    std::lock_guard lock(channel.socketMutex);
    if (!channel.socketInitialized) {
        return;
    }
    const std::string url = channel.Url();
    nng_listener_close(channel.listener);
    channel.listener = NNG_LISTENER_INITIALIZER;
    if (!StartListenerLocked(t, channel, url)) {
        KXLOG_ERROR("Failed to start an {} listener on '{}'!", t.word, url);
    }
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

const SocketTransport& IpcTransport() {
    return kIpc;
}
const SocketTransport& TcpTransport() {
    return kTcp;
}
const SocketTransport& SocketTransportOf(TransportKind kind) {
    return kind == Ipc ? kIpc : kTcp;
}

bool ResolveUrl(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    KXLOG_INFO("{}", t.resolvingText);
    auto channel = impl.Slot(t.kind).Get();
    if (!channel) {
        return KX_FAIL(error, fmt::format("Failed to resolve the {} transport URL for "
                                          "FakeSharedMem: {} channel has not been initialized "
                                          "yet!",
                                          t.word, t.word));
    }
    std::lock_guard lock(channel->urlMutex);
    if (!channel->url.empty()) {
        KXLOG_INFO(fmt::runtime(t.alreadyResolvedFormat), channel->url);
        return true;
    }
    if (!impl.Selected(t.kind)) {
        KXLOG_INFO(
            "The {} transport has been explicitly disabled; skipping further URL "
            "resolution!",
            t.word);
        return true;
    }
    std::string url;
    if (!MakeUrl(t, url, error)) {
        return false;
    }
    channel->url = url;
    KXLOG_INFO(fmt::runtime(t.resolvedFormat), channel->url);
    return true;
}

bool InitializeSocketChannel(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    KXLOG_INFO("Initializing FakeSharedMem {} transport channel...", t.word);
    ChannelSlot& slot = impl.Slot(t.kind);
    {
        std::lock_guard lock(slot.mutex);
        if (slot.channel) {
            return KX_FAIL(error, fmt::format("Failed to initialize the FakeSharedMem {} transport "
                                              "channel: Already initialized; initialization "
                                              "aborted!",
                                              t.word));
        }
        slot.channel = std::make_shared<TransportChannel>();
    }
    std::string reason;
    if (!ResolveUrl(impl, t, reason)) {
        return KX_FAIL(error, fmt::format("Failed to resolve the {} url: {}", t.word, reason));
    }
    KXLOG_INFO("The FakeSharedMem {} transport channel has been initialized successfully!", t.word);
    return true;
}

bool TerminateSocketChannel(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    KXLOG_INFO("Terminating FakeSharedMem {} transport channel...", t.word);
    ChannelSlot& slot = impl.Slot(t.kind);
    {
        std::lock_guard lock(slot.mutex);
        if (!slot.channel) {
            return KX_FAIL(error, fmt::format("Failed to terminate the FakeSharedMem {} transport "
                                              "channel: Not initialized yet; termination aborted!",
                                              t.word));
        }
        slot.channel.reset();
    }
    KXLOG_INFO("The FakeSharedMem {} transport channel has been terminated successfully!", t.word);
    return true;
}

bool InitializeSocket(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    KXLOG_INFO("Initializing the FakeSharedMem {} transport socket...", t.word);
    const std::string prefix =
        fmt::format("Failed to initialize the FakeSharedMem {} transport socket: ", t.word);
    auto channel = impl.Slot(t.kind).Get();
    if (!channel) {
        return KX_FAIL(error,
                       prefix + fmt::format("{} channel has not been initialized yet!", t.word));
    }
    if (!impl.Selected(t.kind)) {
        return KX_FAIL(error, prefix + fmt::format("configured with {} disabled!", t.word));
    }
    if (channel->socketInitialized) {
        return KX_FAIL(error, prefix + "Already Initialized; initialization aborted!");
    }
    {
        std::lock_guard lock(channel->socketMutex);
        if (!OpenSocketLocked(impl, t, *channel, error)) {
            return false;
        }
        channel->socketInitialized = true;
    }
    KXLOG_INFO("The FakeSharedMem {} transport socket has been initialized successfully!", t.word);
    return true;
}

bool TerminateSocket(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    KXLOG_INFO("Terminating the FakeSharedMem {} transport socket...", t.word);
    const std::string prefix =
        fmt::format("Failed to terminate the FakeSharedMem {} transport socket: ", t.word);
    auto channel = impl.Slot(t.kind).Get();
    if (!channel) {
        return KX_FAIL(error,
                       prefix + fmt::format("{} channel has not been initialized yet!", t.word));
    }
    if (!channel->socketInitialized) {
        return KX_FAIL(error, prefix + "Not initialized yet; termination aborted!");
    }
    {
        std::lock_guard lock(channel->socketMutex);
        nng_pipe_notify(channel->socket, NNG_PIPE_EV_ADD_POST, nullptr, nullptr);
        nng_pipe_notify(channel->socket, NNG_PIPE_EV_REM_POST, nullptr, nullptr);
        // Closing also closes the listener or dialer and wakes a blocked receive.
        const int rc = CloseSocketBounded(channel->socket, t);
        channel->recvFd = -1;
        channel->socket = NNG_SOCKET_INITIALIZER;
        channel->listener = NNG_LISTENER_INITIALIZER;
        channel->dialer = NNG_DIALER_INITIALIZER;
        channel->socketInitialized = false;
        if (rc != 0) {
            return KX_FAIL(error, prefix + "Failed to close the NNG socket!");
        }
    }
    // The link is gone with the socket; no pipe callback reports that any more.
    channel->peerConnected = false;
    KXLOG_INFO("The FakeSharedMem {} transport socket has been terminated successfully!", t.word);
    return true;
}

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
    if (!InitializeSocket(impl, t, reason)) {
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

namespace {

// Builds one message with `build` (which finishes the builder) into an NNG
// message of at least `capacity` bytes and sends it with SendNngMessage.
template <typename Build>
bool BuildAndSend(Impl& impl, const SocketTransport& t, size_t capacity, uint64_t timestamp,
                  Build build, std::string& error) {
    nng_msg* msg = BuildNngMessage(capacity, build);
    if (msg == nullptr) {
        error = fmt::format(
            "Failed to send the FakeSharedMem {} message: The {} transport has failed to "
            "allocate nng_msg!",
            t.word, t.word);
        return false;
    }
    return SendNngMessage(impl, t, msg, timestamp, error);
}

}  // namespace

bool SendNngMessage(Impl& impl, const SocketTransport& t, nng_msg* msg, uint64_t timestamp,
                    std::string& error) {
    error.clear();
    // Failure texts only: built when a failure needs them, never per message.
    const auto prefix = [&t] {
        return fmt::format("Failed to send the FakeSharedMem {} message: ", t.word);
    };
    // Owns `msg` until NNG takes it.
    std::unique_ptr<nng_msg, void (*)(nng_msg*)> owned(msg, nng_msg_free);
    try {
        auto channel = impl.Slot(t.kind).Get();
        if (!channel) {
            error = prefix() +
                    fmt::format("The {} transport channel has not been initialized yet!", t.word);
            return false;
        }
        if (!channel->socketInitialized) {
            error = prefix() +
                    fmt::format("The {} transport socket has not been initialized yet!", t.word);
            return false;
        }
        const size_t size = nng_msg_len(msg);
        const int flags = TuningValue(impl, &Tuning::SocketSendNonBlocking) ? NNG_FLAG_NONBLOCK : 0;
        int rc;
        {
            std::lock_guard lock(channel->socketMutex);
            rc = nng_sendmsg(channel->socket, msg, flags);
        }
        if (rc != 0) {
            error = prefix() + nng_strerror(rc);
            return false;
        }
        owned.release();  // NNG freed or sent it
        channel->lastSentTime = timestamp;
        channel->stats.writeMeta.Record(NowNs(), size, ThroughputWindowNs(impl));
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, prefix() + e.what());
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to send the FakeSharedMem {} message due to an "
                                          "unknown error!",
                                          t.word));
    }
}

bool WriteVia(Impl& impl, const SocketTransport& t, const std::string& block,
              const std::string& address, const std::string& data, std::string& error) {
    error.clear();
    try {
        if (!impl.Slot(t.kind).Get()) {
            return KX_FAIL(error, fmt::format("FakeSharedMem has failed to read {} message: The "
                                              "transport channel has not been initialized!",
                                              t.word));
        }
        const uint64_t timestamp = NowNs();
        const auto build = [&](flatbuffers::FlatBufferBuilder& builder) {
            Wire::BuildDataRecord(builder, timestamp, OwnSource(impl), block, address, data);
        };
        if (!BuildAndSend(impl, t, Wire::DataRecordCapacity(block, address, data), timestamp, build,
                          error)) {
            return false;
        }
        if (auto channel = impl.Slot(t.kind).Get()) {
            const uint64_t payload = 4 + block.size() + address.size() + data.size();
            channel->stats.write.Record(NowNs(), payload, ThroughputWindowNs(impl));
            channel->stats.recordsWritten.Add(payload);
        }
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("FakeSharedMem has failed to write {} message: {}",
                                          t.word, e.what()));
    } catch (...) {
        return KX_FAIL(error, fmt::format("FakeSharedMem has failed to write {} message due to an "
                                          "unknown error!",
                                          t.word));
    }
}

bool SendHeartbeatVia(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    const auto prefix = [&t] {
        return fmt::format("Failed to send a FakeSharedMem {} heartbeat: ", t.word);
    };
    try {
        auto channel = impl.Slot(t.kind).Get();
        if (!channel) {
            error = prefix() +
                    fmt::format("The {} transport channel has not been initialized yet!", t.word);
            return false;
        }
        if (!channel->socketInitialized) {
            error = prefix() +
                    fmt::format("The {} transport socket has not been initialized yet!", t.word);
            return false;
        }
        const uint64_t timestamp = NowNs();
        const auto build = [&](flatbuffers::FlatBufferBuilder& builder) {
            Wire::BuildHeartbeat(builder, timestamp, OwnSource(impl));
        };
        std::string reason;
        if (!BuildAndSend(impl, t, Wire::HeartbeatCapacity(), timestamp, build, reason)) {
            error = prefix() + reason;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        error = prefix() + e.what();
        return false;
    } catch (...) {
        error = fmt::format("Failed to send a FakeSharedMem {} heartbeat due to an unknown error!",
                            t.word);
        return false;
    }
}

bool HandleMessage(Impl& impl, const SocketTransport& t, nng_msg* msg, std::string& error) {
    error.clear();
    const auto prefix = [&t] {
        return fmt::format("Failed to handle the FakeSharedMem {} message: ", t.word);
    };
    try {
        const uint64_t now = NowNs();
        auto channel = impl.Slot(t.kind).Get();
        if (!channel) {
            error = prefix() +
                    fmt::format("The {} transport channel has not been initialized yet!", t.word);
            return false;
        }
        if (msg == nullptr) {
            error = prefix() + "Invalid message!";
            return false;
        }
        const auto* body = static_cast<const uint8_t*>(nng_msg_body(msg));
        const size_t length = nng_msg_len(msg);
        if (!Wire::VerifyMessage(body, length)) {
            error = prefix() + "Invalid FakeShm Message!";
            return false;
        }
        const Wire::Message* message = Wire::GetMessage(body);
        if (message->version() != Wire::kMessageVersion) {
            KXLOG_WARNING("FakeShm Message version mismatch: (expected {}, got {})",
                          Wire::kMessageVersion, message->version());
        }
        EPeer source;
        switch (message->source()) {
            case Wire::SourceType::Core:
                source = EPeer::Core;
                break;
            case Wire::SourceType::Connect:
                source = EPeer::Connect;
                break;
            default:
                error = prefix() + "Unknown source type!";
                return false;
        }
        if (source == impl.peer.load()) {
            error = prefix() +
                    fmt::format("The source has the same peer type '{}' as us!", PeerName(source));
            return false;
        }
        const uint64_t window = ThroughputWindowNs(impl);
        switch (message->payload_type()) {
            case Wire::Payload::Heartbeat: {
                const Wire::Heartbeat* heartbeat = message->payload_as_Heartbeat();
                if (heartbeat == nullptr) {
                    error = prefix() + "Invalid FakeShm Heartbeat payload!";
                    return false;
                }
                channel->lastReceivedTime = NowNs();
                if (heartbeat->version() != Wire::kHeartbeatVersion) {
                    KXLOG_WARNING("FakeShm Heartbeat version mismatch: (expected {}, got {})",
                                  Wire::kHeartbeatVersion, heartbeat->version());
                }
                channel->stats.read.Record(NowNs(), 4, window);
                break;
            }
            case Wire::Payload::SharedMem: {
                const Wire::SharedMem* record = message->payload_as_SharedMem();
                if (record == nullptr) {
                    error = prefix() + "Invalid FakeShm SharedMem payload!";
                    return false;
                }
                channel->lastReceivedTime = NowNs();
                if (record->version() != Wire::kSharedMemVersion) {
                    KXLOG_WARNING("FakeShm SharedMem version mismatch: (expected {}, got {})",
                                  Wire::kSharedMemVersion, record->version());
                }
                auto text = [](const flatbuffers::String* s) {
                    return s == nullptr ? std::string() : s->str();
                };
                std::string block = text(record->block());
                std::string address = text(record->address());
                std::string data = text(record->data());
                const uint64_t payload = 4 + block.size() + address.size() + data.size();
                {
                    std::lock_guard lock(channel->receivedDataLock);
                    channel->receivedData[std::move(block)][std::move(address)] = std::move(data);
                }
                channel->stats.read.Record(NowNs(), payload, window);
                channel->stats.recordsRead.Add(payload);
                break;
            }
            default:
                error = prefix() + "Unknown payload type!";
                return false;
        }
        const uint64_t timestamp = message->timestamp();
        if (timestamp != 0 && timestamp < now) {
            const uint64_t latencyWindow =
                TuningValue(impl, &Tuning::LatencySmoothingWindow) * kMsNs;
            channel->stats.RecordLatency(NowNs(), now - timestamp, latencyWindow);
        }
        channel->stats.readMeta.Record(NowNs(), length, window);
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, prefix() + e.what());
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to handle the FakeSharedMem {} message due to an "
                                          "unknown error!",
                                          t.word));
    }
}

}  // namespace KXFakeShm
