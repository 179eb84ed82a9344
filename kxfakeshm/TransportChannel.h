#pragma once

// The per-transport record, held by shared pointer in the library state. Users copy
// the pointer under the slot lock and release the lock at once, so a channel that is
// torn down stays alive until its last user is done.

#include <nng/nng.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

#include "kxcommon/HybridMutex.h"
#include "kxfakeshm/LinkStatistics.h"
#include "kxfakeshm/SendGate.h"
#include "kxfakeshm/WorkerSignal.h"

namespace KXFakeShm {

// A received record as it arrived: its data stays in the NNG message that
// carried it and is copied out only when read.
struct ReceivedRecord {
    std::shared_ptr<nng_msg> message;
    std::string_view data;  // into `message`'s body
};

struct TransportChannel {
    // Endpoints: `url` is what this peer resolved (the Connect peer listens on it),
    // `dialUrl` what the Core peer dials. Both under urlMutex.
    mutable KXCommon::HybridMutex urlMutex;
    std::string url;
    std::string dialUrl;

    // Held around every change of the handles below and the NNG calls that open,
    // close or look into `socket`; never across a call that blocks. Sends do not
    // take it: they go through `sendGate`, which the close shuts first
    // (lock order: socketMutex, then the gate's own).
    KXCommon::HybridMutex socketMutex;
    std::atomic<bool> socketInitialized{false};
    nng_socket socket = NNG_SOCKET_INITIALIZER;
    nng_listener listener = NNG_LISTENER_INITIALIZER;
    nng_dialer dialer = NNG_DIALER_INITIALIZER;
    int recvFd = -1;  // NNG's receive descriptor of `socket`, owned by NNG
    SendGate sendGate;

    // The worker may run while set; `worker` is the supervise thread, owned and
    // joined by whoever stops the worker (never the worker itself).
    std::atomic<bool> workerRunning{false};
    std::thread worker;
    // Ends the worker's waits: raised by Stop, nudged when a peer connects.
    WorkerSignal signal;

    // The link: NNG's id of the pipe that carries it (0: none), set when a pipe is
    // added and cleared only by the removal of that same pipe; `peerConnected`
    // follows it. Written by the pipe callbacks and the socket close.
    std::atomic<int> pipeId{0};
    // Held by the worker around its nng_recvmsg, which it calls only while
    // `pipeId` is set, and by the pipe callbacks while they change `pipeId`: NNG
    // stops a removed pipe only after the removal callback has returned, so no
    // receive can reach into a pipe that NNG is stopping (docs/nng.md).
    // Lock order: socketMutex, then pipeMutex; never held across a blocking call.
    KXCommon::HybridMutex pipeMutex;
    std::atomic<bool> peerConnected{false};
    std::atomic<uint64_t> lastSentTime{0};  // steady ns
    // When the socket worker last tried a heartbeat, sent or not (steady ns).
    std::atomic<uint64_t> heartbeatTriedTime{0};
    std::atomic<uint64_t> lastReceivedTime{0};  // steady ns

    LinkStatistics stats;

    // Newest record per (block, address).
    mutable KXCommon::HybridMutex receivedDataLock;
    std::map<std::string, std::map<std::string, ReceivedRecord>> receivedData;

    std::string Url() const {
        std::lock_guard lock(urlMutex);
        return url;
    }
    std::string DialUrl() const {
        std::lock_guard lock(urlMutex);
        return dialUrl;
    }
};

// A channel slot of the library state: the lock guards only the pointer.
struct ChannelSlot {
    mutable KXCommon::HybridSharedMutex mutex;
    std::shared_ptr<TransportChannel> channel;

    std::shared_ptr<TransportChannel> Get() const {
        std::shared_lock lock(mutex);
        return channel;
    }
};

}  // namespace KXFakeShm
