#include "kxfakeshm/SendGate.h"

#include <algorithm>
#include <chrono>

namespace KXFakeShm {
namespace {
using Clock = std::chrono::steady_clock;
}

void SendGate::Open(nng_socket socket) {
    std::lock_guard lock(mutex_);
    socket_ = socket;
    sendFd_ = -1;
    nng_socket_get_int(socket, NNG_OPT_SENDFD, &sendFd_);
    shut_.Arm();
    open_ = true;
}

int SendGate::Send(nng_msg* msg, int32_t timeoutMs) {
    const bool waits = timeoutMs != 0;
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(mutex_);
    if (!open_) {
        return NNG_ECLOSED;
    }
    ++users_;
    // A sender that may not wait makes its one try at once: with non-blocking
    // sends nobody queues, and a writer's calls must not shut out the heartbeats.
    if (!waits) {
        const nng_socket socket = socket_;
        lock.unlock();
        const int rc = nng_sendmsg(socket, msg, NNG_FLAG_NONBLOCK);
        lock.lock();
        --users_;
        changed_.notify_all();
        return rc;
    }
    const uint64_t ticket = nextTicket_++;
    queue_.push_back(ticket);
    int rc = NNG_ETIMEDOUT;
    while (true) {
        // Until it is this sender's turn.
        const auto turnOrShut = [&] { return !open_ || queue_.front() == ticket; };
        bool turn = true;
        if (timeoutMs < 0) {
            changed_.wait(lock, turnOrShut);
        } else {
            turn = changed_.wait_until(lock, deadline, turnOrShut);
        }
        if (!open_) {
            rc = NNG_ECLOSED;
            break;
        }
        if (!turn) {
            break;
        }
        const nng_socket socket = socket_;
        const int fd = sendFd_;
        lock.unlock();
        rc = nng_sendmsg(socket, msg, NNG_FLAG_NONBLOCK);
        bool again = false;
        if (rc == NNG_EAGAIN) {
            int64_t waitMs = -1;
            if (timeoutMs > 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                waitMs = std::max<int64_t>(left.count(), 0);
            }
            switch (waitMs == 0 ? WorkerSignal::Wake::TimedOut : shut_.Wait(fd, waitMs, false)) {
                case WorkerSignal::Wake::Readable:
                    again = true;
                    break;
                case WorkerSignal::Wake::Stopped:
                    rc = NNG_ECLOSED;
                    break;
                default:
                    rc = NNG_ETIMEDOUT;
            }
        }
        lock.lock();
        if (!again) {
            break;
        }
    }
    queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
    --users_;
    changed_.notify_all();
    return rc;
}

size_t SendGate::Waiting() {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void SendGate::Shut() {
    std::unique_lock lock(mutex_);
    open_ = false;
    shut_.RaiseStop();
    changed_.notify_all();
    changed_.wait(lock, [this] { return users_ == 0; });
}

}  // namespace KXFakeShm
