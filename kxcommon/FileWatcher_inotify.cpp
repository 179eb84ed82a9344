// Linux backend of FileWatcher: inotify on the directory plus an eventfd that
// wakes the poll, so that stopping never waits for a change to happen.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kxcommon/FileWatcherPlatform.h"

namespace KXCommon::detail {
namespace {

// A write is reported when the writer closes the file, not for each write(2): a
// reader woken by IN_MODIFY could find the file truncated and half written.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_TO |
                                IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr size_t kBufferSize = 4096;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        UniqueFd(std::move(other)).Swap(*this);
        return *this;
    }
    void Swap(UniqueFd& other) noexcept { std::swap(fd_, other.fd_); }
    int Release() { return std::exchange(fd_, -1); }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

std::string CallFailed(const char* call) {
    return std::string(call) + " failed: " + std::strerror(errno);
}

ChangeAction ActionOf(uint32_t mask) {
    if ((mask & IN_CREATE) != 0) {
        return ChangeAction::Added;
    }
    if ((mask & IN_DELETE) != 0) {
        return ChangeAction::Removed;
    }
    if ((mask & (IN_CLOSE_WRITE | IN_ATTRIB)) != 0) {
        return ChangeAction::Modified;
    }
    if ((mask & IN_MOVED_TO) != 0) {
        return ChangeAction::RenamedNewName;
    }
    if ((mask & IN_MOVED_FROM) != 0) {
        return ChangeAction::RenamedOldName;
    }
    return ChangeAction::Other;
}

// Closing an inotify instance makes the kernel wait for its mark reaper (an RCU
// grace period run by a kernel worker thread). On this 2-core machine beside a
// streaming pair that close took up to 10 s, and Stop, and with it Terminate and
// the client's quit, waited for it. Removing a watch does not wait, so a watch
// that ends removes its mark and parks its instance here for the next Open;
// parked instances are closed with the process.
class InstancePool {
  public:
    // A parked instance, or -1. Records still queued in it belong to ended watches.
    int Take() {
        std::lock_guard lock(mutex_);
        // A forked child shares its parent's instances: reading one would take the
        // parent's records. The child's copies go (the parent keeps them open).
        if (owner_ != getpid()) {
            for (const int fd : parked_) {
                close(fd);
            }
            parked_.clear();
            owner_ = getpid();
        }
        if (parked_.empty()) {
            return -1;
        }
        const int fd = parked_.back();
        parked_.pop_back();
        return fd;
    }

    // Takes `fd` over; closes it when enough are parked already.
    void Park(int fd) {
        std::unique_lock lock(mutex_);
        if (owner_ == getpid() && parked_.size() < kMostParked) {
            parked_.push_back(fd);
            return;
        }
        lock.unlock();
        close(fd);
    }

  private:
    static constexpr size_t kMostParked = 8;
    std::mutex mutex_;
    std::vector<int> parked_;
    pid_t owner_ = getpid();
};

// Never destroyed: watchers stopped by static destructors may still park.
InstancePool& Pool() {
    static InstancePool& pool = *new InstancePool;
    return pool;
}

// An instance for a new watch, with no records queued from an earlier one.
UniqueFd TakeInstance() {
    const int parked = Pool().Take();
    if (parked < 0) {
        return UniqueFd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    }
    alignas(inotify_event) char buffer[kBufferSize];
    while (read(parked, buffer, sizeof buffer) > 0) {
    }
    return UniqueFd(parked);
}

}  // namespace

struct DirectoryWatch::Impl {
    std::string directory;
    UniqueFd inotify;
    UniqueFd wake;
    int wd = -1;  // the current watch; -1 once it has ended

    ~Impl() {
        if (!inotify.Valid()) {
            return;
        }
        if (wd >= 0) {
            inotify_rm_watch(inotify.Get(), wd);
        }
        Pool().Park(inotify.Release());
    }

    // The watch ends with the directory: removed (IN_DELETE_SELF, then IN_IGNORED),
    // moved away (IN_MOVE_SELF: the watch would follow it, so it is dropped), or its
    // file system unmounted (IN_IGNORED).
    void EndWatch(uint32_t mask) {
        if ((mask & IN_MOVE_SELF) != 0) {
            inotify_rm_watch(inotify.Get(), wd);
        }
        wd = -1;
    }
};

DirectoryWatch::DirectoryWatch() : impl_(std::make_unique<Impl>()) {}
DirectoryWatch::~DirectoryWatch() = default;

bool DirectoryWatch::Open(const std::string& directory, std::string& error) {
    error.clear();
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.Valid()) {
        error = CallFailed("eventfd");
        return false;
    }
    UniqueFd inotify = TakeInstance();
    if (!inotify.Valid()) {
        error = CallFailed("inotify_init1");
        return false;
    }
    const int wd = inotify_add_watch(inotify.Get(), directory.c_str(), kWatchMask);
    if (wd < 0) {
        error = CallFailed("inotify_add_watch");
        Pool().Park(inotify.Release());
        return false;
    }
    impl_->directory = directory;
    impl_->inotify = std::move(inotify);
    impl_->wake = std::move(wake);
    impl_->wd = wd;
    return true;
}

bool DirectoryWatch::Rewatch() {
    if (impl_->wd < 0) {
        impl_->wd = inotify_add_watch(impl_->inotify.Get(), impl_->directory.c_str(), kWatchMask);
    }
    return impl_->wd >= 0;
}

WaitResult DirectoryWatch::Wait(std::vector<ChangeRecord>& records, int timeoutMs) {
    pollfd fds[2] = {{impl_->inotify.Get(), POLLIN, 0}, {impl_->wake.Get(), POLLIN, 0}};
    int ready = 0;
    do {
        ready = poll(fds, 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        return WaitResult::Timeout;
    }
    if (ready < 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
        (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return WaitResult::Failed;
    }
    if ((fds[1].revents & POLLIN) != 0) {
        // Drain the counter so that a watcher that keeps running does not spin.
        uint64_t count = 0;
        const ssize_t drained = read(impl_->wake.Get(), &count, sizeof count);
        (void)drained;
        return WaitResult::Woken;
    }
    alignas(inotify_event) char buffer[kBufferSize];
    const ssize_t length = read(impl_->inotify.Get(), buffer, sizeof buffer);
    if (length < 0) {
        return errno == EAGAIN || errno == EINTR ? WaitResult::Records : WaitResult::Retry;
    }
    for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if ((event->mask & IN_Q_OVERFLOW) != 0) {
            records.push_back({ChangeAction::Overflow, {}});
            continue;
        }
        // Late records of a watch that has ended (its IN_IGNORED among them).
        if (event->wd != impl_->wd || impl_->wd < 0) {
            continue;
        }
        if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
            impl_->EndWatch(event->mask);
            records.push_back({ChangeAction::DirectoryGone, {}});
            continue;
        }
        // Records without a name concern the directory itself and never match a file.
        const size_t nameLength = event->len == 0 ? 0 : strnlen(event->name, event->len);
        if (nameLength != 0) {
            records.push_back({ActionOf(event->mask), std::string(event->name, nameLength)});
        }
    }
    return WaitResult::Records;
}

void DirectoryWatch::Wake() {
    if (!impl_->wake.Valid()) {
        return;
    }
    const uint64_t one = 1;
    const ssize_t written = write(impl_->wake.Get(), &one, sizeof one);
    (void)written;
}

}  // namespace KXCommon::detail
