#pragma once

// The way every send reaches a channel's NNG socket, and the close's way to know
// that none is left inside NNG.
//
// NNG 1.5.2's pair0 drains its queue of waiting sends when the socket closes,
// but a send that entered nng_sendmsg just before the close can queue itself
// after that drain; the socket is then freed with the send still queued, and
// when the send's timeout expires NNG's expire thread locks the freed socket
// (a panic, "pthread_mutex_lock: Invalid argument", or a corrupted heap). So a
// send runs on an aio of its own that the gate knows, and the close first shuts
// the gate: no send starts any more, the ones inside NNG are cancelled and
// waited for, and only then is the socket closed (docs/nng.md).

#include <nng/nng.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace KXFakeShm {

class SendGate {
  public:
    SendGate() = default;
    SendGate(const SendGate&) = delete;
    SendGate& operator=(const SendGate&) = delete;

    // Lets sends through to `socket`. Does not block.
    void Open(nng_socket socket);

    // Sends `msg` with `timeoutMs` (0: do not wait, -1: no limit). Returns NNG's
    // result; NNG owns `msg` on 0 only, else it stays the caller's. NNG_ECLOSED
    // while the gate is shut. Blocks up to the timeout or until Shut.
    int Send(nng_msg* msg, int32_t timeoutMs);

    // Stops new sends, cancels those in flight and waits until each has left
    // NNG (at once: a cancelled send ends without waiting for its timeout).
    void Shut();

  private:
    std::mutex mutex_;
    std::condition_variable drained_;
    bool open_ = false;
    nng_socket socket_ = NNG_SOCKET_INITIALIZER;
    std::vector<nng_aio*> inFlight_;  // under mutex_
};

}  // namespace KXFakeShm
