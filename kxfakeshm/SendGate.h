#pragma once

// The way every send reaches a channel's NNG socket, and the close's way to know
// that none is left inside NNG.
//
// A send never waits inside NNG. NNG 1.5.2's pair0 drains its queue of waiting
// sends when the socket closes, but a send that entered nng_sendmsg just before
// the close can queue itself after that drain, and the freed socket is then
// locked when its timeout expires (docs/nng.md); and every waiting send with a
// timeout goes through NNG's expire thread, which at a writer's pace cost more
// CPU than the writer. So the gate only ever calls the non-blocking
// nng_sendmsg, which ends before it returns, and waits for room itself, on the
// socket's send descriptor, outside NNG. Senders that wait are served in the
// order they came, as NNG's own queue served them, so that a writer sending
// back to back does not starve the heartbeats. The close first shuts the gate:
// no send starts any more, waiting ones give up, and the close goes on once
// none is inside nng_sendmsg.

#include <nng/nng.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "kxfakeshm/WorkerSignal.h"

namespace KXFakeShm {

class SendGate {
  public:
    SendGate() = default;
    SendGate(const SendGate&) = delete;
    SendGate& operator=(const SendGate&) = delete;

    // Lets sends through to `socket`. Does not block.
    void Open(nng_socket socket);

    // Sends `msg`, waiting up to `timeoutMs` for room (0: do not wait, -1: no
    // limit). Returns NNG's result (NNG_EAGAIN: no room and no wait allowed,
    // NNG_ETIMEDOUT: no room within the wait); NNG owns `msg` on 0 only, else it
    // stays the caller's. NNG_ECLOSED while the gate is shut. Blocks up to the
    // timeout or until Shut.
    int Send(nng_msg* msg, int32_t timeoutMs);

    // Stops new sends, ends the waiting ones and waits until none is left in
    // NNG (at once: no send waits inside NNG).
    void Shut();

    // How many senders wait for their turn or for room now. Takes the gate's lock
    // briefly.
    size_t Waiting();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;  // the queue's head, users_ or open_ changed
    bool open_ = false;
    nng_socket socket_ = NNG_SOCKET_INITIALIZER;
    int sendFd_ = -1;             // NNG's send descriptor of socket_, owned by NNG
    WorkerSignal shut_;           // raised by Shut: ends the waits for room
    uint64_t nextTicket_ = 0;     // under mutex_
    std::deque<uint64_t> queue_;  // senders that wait, in order; under mutex_
    int users_ = 0;               // sends between entry and exit; under mutex_
};

}  // namespace KXFakeShm
