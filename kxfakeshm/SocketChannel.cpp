// The socket channel of the IPC and TCP transports: the descriptor tables, URL
// resolution, the channel's creation and release, the socket's open and close
// (listener or dialer, options, pipe notifications), the pipe callbacks and the
// re-creation of a lonely IPC listener.
//
// Locks: the channel slot's lock only to copy or swap the pointer; urlMutex
// around the URLs; socketMutex around every change of the socket's handles and
// the close, never across a blocking NNG call. The pipe callbacks run on NNG's
// threads and take no lock but pipeMutex, the statistics' and receivedDataLock
// (one at a time): a close waits for them while holding socketMutex.

#include "kxfakeshm/SocketTransport.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <nng/protocol/pair0/pair.h>
#include <nng/transport/ipc/ipc.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/Errors.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

constexpr const char* kPipeName = "Kelvanorix";

// Pipe callbacks run on NNG's threads: a peer that connects or leaves starts the
// channel's link figures afresh.
void ResetLinkState(TransportChannel& channel) {
    channel.lastSentTime = 0;
    channel.heartbeatTriedTime = 0;
    channel.lastReceivedTime = 0;
    channel.stats.ResetAll();
    std::lock_guard lock(channel.receivedDataLock);
    channel.receivedData.clear();
}

// pair0 carries one pipe at a time and refuses every further connection, yet NNG
// reports the removal of a refused pipe as well, and the removal of an old pipe
// may come after the addition of its successor: only the removal of the link's
// own pipe ends the link.
template <TransportKind Kind>
void OnPipeEvent(nng_pipe pipe, nng_pipe_ev event, void* arg) {
    const SocketTransport& t = SocketTransportOf(Kind);
    const bool added = event == NNG_PIPE_EV_ADD_POST;
    auto* impl = static_cast<Impl*>(arg);
    if (impl == nullptr) {
        KXLOG_INFO("{}", added ? t.connectedText : t.disconnectedText);
        KXLOG_INFO("Invalid Impl object!");
        return;
    }
    auto channel = impl->Slot(Kind).Get();
    if (!channel) {
        KXLOG_INFO("{}", added ? t.connectedText : t.disconnectedText);
        KXLOG_INFO("{}", t.invalidChannelText);
        return;
    }
    const int id = nng_pipe_id(pipe);
    if (added) {
        KXLOG_INFO("{}", t.connectedText);
        {
            std::lock_guard lock(channel->pipeMutex);
            channel->pipeId = id;
        }
        ResetLinkState(*channel);
        channel->peerConnected = true;
        // Heartbeats start now, not after the worker's current wait.
        channel->signal.Nudge();
        return;
    }
    int current = id;
    {
        // Once this returns, NNG stops the pipe; the worker receives no more
        // until the next pipe is added.
        std::lock_guard lock(channel->pipeMutex);
        if (id <= 0 || !channel->pipeId.compare_exchange_strong(current, 0)) {
            return;
        }
    }
    KXLOG_INFO("{}", t.disconnectedText);
    channel->peerConnected = false;
    ResetLinkState(*channel);
}

const SocketTransport kIpc{
    Ipc,
    "IPC",
    "an IPC",
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
    "a TCP",
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

// NNG 1.5.2 can wedge for good in nng_close: its reaper thread, which every close
// waits for, can get stuck (docs/nng.md). The close runs on a thread of its own;
// one that has not returned within the bound is abandoned, logged once and
// counted as leaked until it returns (if ever), so that Stop and Terminate still
// finish, the channel can be built anew and the process can exit. The abandoned
// thread holds only NNG's own resources and the shared state below.
std::atomic<uint64_t> leakedSockets{0};

enum class CloseState { Running, Finished, Abandoned };

struct Close {
    std::promise<int> result;
    std::atomic<CloseState> state{CloseState::Running};
};

// The close's result; `abandoned` tells whether it was given up.
int CloseSocketBounded(nng_socket socket, const SocketTransport& t, bool& abandoned) {
    abandoned = false;
    auto close = std::make_shared<Close>();
    std::future<int> done = close->result.get_future();
    const char* word = t.word;
    std::thread([socket, close, word] {
        const int rc = nng_close(socket);
        close->result.set_value(rc);
        CloseState running = CloseState::Running;
        if (!close->state.compare_exchange_strong(running, CloseState::Finished)) {
            leakedSockets.fetch_sub(1);
            KXLOG_INFO("The abandoned close of the NNG {} socket {} has finished", word,
                       nng_socket_id(socket));
        }
    }).detach();
    if (done.wait_for(std::chrono::seconds(3)) == std::future_status::ready) {
        return done.get();
    }
    // Counted before the close can finish and uncount it.
    const uint64_t leaked = leakedSockets.fetch_add(1) + 1;
    CloseState running = CloseState::Running;
    if (!close->state.compare_exchange_strong(running, CloseState::Abandoned)) {
        leakedSockets.fetch_sub(1);
        return done.get();  // it returned just now
    }
    abandoned = true;
    KXLOG_WARNING(
        "The NNG {} socket has not closed within 3 s; its close is abandoned (socket {}, {} "
        "leaked in this process)",
        t.word, nng_socket_id(socket), leaked);
    return 0;
}

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
        ~Closer() {
            bool abandoned;
            CloseSocketBounded(s, kTcp, abandoned);
        }
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

// Closes the socket and clears its handles; caller holds socketMutex.
void CloseSocketLocked(const SocketTransport& t, TransportChannel& channel) {
    bool abandoned;
    CloseSocketBounded(channel.socket, t, abandoned);
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
            CloseSocketLocked(t, channel);
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
        KXLOG_INFO("FakeSharedMem/Connect is binding {} listener on '{}'", t.withArticle, url);
        if (!StartListenerLocked(t, channel, url)) {
            CloseSocketLocked(t, channel);
            return KX_FAIL(error, prefix + fmt::format("Failed to start {} listener on '{}'!",
                                                       t.withArticle, url));
        }
    } else if (peer == EPeer::Core) {
        const std::string url = channel.DialUrl();
        KXLOG_INFO("FakeSharedMem/Core is dialing the {} endpoint on '{}'", t.word, url);
        // Non-blocking: a Connect peer that is not listening yet is retried by NNG.
        if (nng_dialer_create(&channel.dialer, channel.socket, url.c_str()) != 0 ||
            nng_dialer_start(channel.dialer, NNG_FLAG_NONBLOCK) != 0) {
            CloseSocketLocked(t, channel);
            return KX_FAIL(error, prefix + fmt::format("Failed to dial the {} endpoint on '{}'!",
                                                       t.word, url));
        }
    } else {
        CloseSocketLocked(t, channel);
        return KX_FAIL(error, prefix + fmt::format("Invalid peer type '{}'!", PeerName(peer)));
    }
    return true;
}

}  // namespace

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
        KXLOG_ERROR("Failed to start {} listener on '{}'!", t.withArticle, url);
    }
}
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
        channel->sendGate.Open(channel->socket);
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
    bool abandoned = false;
    {
        std::lock_guard lock(channel->socketMutex);
        nng_pipe_notify(channel->socket, NNG_PIPE_EV_ADD_POST, nullptr, nullptr);
        nng_pipe_notify(channel->socket, NNG_PIPE_EV_REM_POST, nullptr, nullptr);
        // No send may be inside NNG when the socket goes (SendGate.h).
        channel->sendGate.Shut();
        // Closing also closes the listener or dialer and wakes a blocked receive.
        const int rc = CloseSocketBounded(channel->socket, t, abandoned);
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
    channel->pipeId = 0;
    channel->peerConnected = false;
    // An abandoned close is no clean termination (its warning says so), yet the
    // channel is free to be built anew.
    if (!abandoned) {
        KXLOG_INFO("The FakeSharedMem {} transport socket has been terminated successfully!",
                   t.word);
    }
    return true;
}

uint64_t FakeSharedMem::GetLeakedSocketCount() {
    return leakedSockets.load();
}

}  // namespace KXFakeShm
