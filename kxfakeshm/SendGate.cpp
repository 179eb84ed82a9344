#include "kxfakeshm/SendGate.h"

#include <algorithm>

namespace KXFakeShm {

void SendGate::Open(nng_socket socket) {
    std::lock_guard lock(mutex_);
    socket_ = socket;
    open_ = true;
}

int SendGate::Send(nng_msg* msg, int32_t timeoutMs) {
    nng_aio* aio = nullptr;
    if (nng_aio_alloc(&aio, nullptr, nullptr) != 0) {
        return NNG_ENOMEM;
    }
    nng_aio_set_msg(aio, msg);
    nng_aio_set_timeout(aio, timeoutMs < 0 ? NNG_DURATION_INFINITE : timeoutMs);
    {
        // Started under the lock, so that Shut sees every send NNG holds.
        std::lock_guard lock(mutex_);
        if (!open_) {
            nng_aio_free(aio);
            return NNG_ECLOSED;
        }
        inFlight_.push_back(aio);
        nng_send_aio(socket_, aio);
    }
    nng_aio_wait(aio);
    int rc = nng_aio_result(aio);
    if (rc == NNG_ECANCELED) {
        rc = NNG_ECLOSED;  // only Shut cancels: the socket is closing
    }
    {
        std::lock_guard lock(mutex_);
        inFlight_.erase(std::find(inFlight_.begin(), inFlight_.end(), aio));
        if (inFlight_.empty()) {
            drained_.notify_all();
        }
    }
    nng_aio_free(aio);  // leaves the message alone: on failure it is the caller's
    return rc;
}

void SendGate::Shut() {
    std::unique_lock lock(mutex_);
    open_ = false;
    for (nng_aio* aio : inFlight_) {
        nng_aio_cancel(aio);
    }
    drained_.wait(lock, [this] { return inFlight_.empty(); });
}

}  // namespace KXFakeShm
