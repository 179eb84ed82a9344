#include "kxfakeshm/WorkerSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace KXFakeShm {
namespace {

void Drain(int fd) {
    uint64_t count;
    while (::read(fd, &count, sizeof count) > 0) {
    }
}

void Post(int fd) {
    const uint64_t one = 1;
    // A full counter (never reached) or a closed descriptor leaves the level as it is.
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

}  // namespace

WorkerSignal::WorkerSignal() {
    stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd_ < 0) {
        openErrno_ = errno;
        return;
    }
    nudgeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (nudgeFd_ < 0) {
        openErrno_ = errno;
    }
}

WorkerSignal::~WorkerSignal() {
    if (stopFd_ >= 0) {
        ::close(stopFd_);
    }
    if (nudgeFd_ >= 0) {
        ::close(nudgeFd_);
    }
}

bool WorkerSignal::Usable(std::string& error) const {
    if (stopFd_ >= 0 && nudgeFd_ >= 0) {
        return true;
    }
    error = std::string("Failed to create the worker's wake-up descriptors: ") +
            std::strerror(openErrno_);
    return false;
}

void WorkerSignal::Arm() {
    stopped_ = false;
    Drain(stopFd_);
    Drain(nudgeFd_);
}

void WorkerSignal::RaiseStop() {
    stopped_ = true;
    Post(stopFd_);
}

void WorkerSignal::Nudge() {
    Post(nudgeFd_);
}

WorkerSignal::Wake WorkerSignal::Wait(int fd, int64_t timeoutMs, bool nudgeable) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (stopped_) {
            return Wake::Stopped;
        }
        int waitMs = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
        }
        pollfd fds[3] = {{stopFd_, POLLIN, 0}, {nudgeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
        // The nudge slot is skipped by a negative descriptor when not wanted.
        if (!nudgeable) {
            fds[1].fd = -1;
        }
        const int rc = ::poll(fds, 3, waitMs);
        if (rc < 0 && errno != EINTR) {
            return Wake::TimedOut;
        }
        if (rc > 0) {
            if (fds[0].revents != 0) {
                return Wake::Stopped;
            }
            if (fds[1].revents != 0) {
                Drain(nudgeFd_);
                return Wake::Nudged;
            }
            if (fds[2].revents != 0) {
                // Errors too: the receive that follows reports them.
                return Wake::Readable;
            }
        }
        if (rc == 0 && Clock::now() >= deadline) {
            return Wake::TimedOut;
        }
    }
}

int64_t WaitMs(uint64_t ms) {
    constexpr uint64_t kYearMs = 366ULL * 24 * 3600 * 1000;
    return ms > kYearMs ? -1 : static_cast<int64_t>(ms);
}

}  // namespace KXFakeShm
