#include "kxcommon/FileWatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "kxcommon/FileWatcherPlatform.h"
#include "kxcommon/HybridMutex.h"
#include "kxlog/KXLog.h"

namespace KXCommon {

struct FileWatcher::Impl {
    std::string path;
    std::string directory;
    std::string fileName;
    // Created by Start, destroyed by Stop once the thread has been joined; the
    // thread uses it without a lock in between.
    std::unique_ptr<detail::DirectoryWatch> watch;
    // Whether the file existed when the watch was set up, before the thread ran.
    bool presentAtStart = false;
    HybridMutex startStopMutex;
    std::atomic<bool> running{false};
    HybridSharedMutex subscriberMutex;
    std::vector<std::weak_ptr<Handler>> subscribers;
    std::thread thread;

    void Run();
    void WatchLoop();
    bool Deliver(const std::vector<EventType>& events);
    void Notify(EventType event);
};

namespace {

// The watcher whose thread is the calling thread, so that Start and Stop from a
// handler fail instead of deadlocking on the join.
thread_local const void* tCurrentWatcher = nullptr;

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Directory: everything before the last separator, trailing separators removed;
// a bare name lives in the working directory, "/name" in the root.
void SplitPath(const std::string& path, std::string& directory, std::string& fileName) {
    const auto last = path.find_last_of("/\\");
    if (last == std::string::npos) {
        directory = ".";
        fileName = path;
        return;
    }
    fileName = path.substr(last + 1);
    directory = path.substr(0, last);
    while (!directory.empty() && IsSeparator(directory.back())) {
        directory.pop_back();
    }
    if (directory.empty()) {
        directory = path.front() == '/' ? "/" : ".";
    }
}

using Clock = std::chrono::steady_clock;

// One change of a file often arrives as several records (a save that writes and
// then sets the time, a create followed by its write); what comes within this
// quiet time of the previous record is delivered as one batch, collapsed.
constexpr auto kQuietPeriod = std::chrono::milliseconds(10);
// A file that keeps changing is still reported this often.
constexpr auto kLongestDelay = std::chrono::milliseconds(100);
// How often a watcher whose directory is gone looks for it again.
constexpr auto kRewatchInterval = std::chrono::milliseconds(100);

// Adds `event` to a batch: a repeat of the last event says nothing new, nor does a
// change of a file that the batch has just seen appear.
void Collapse(std::vector<FileWatcher::EventType>& batch, FileWatcher::EventType event) {
    using E = FileWatcher::EventType;
    if (!batch.empty()) {
        const E last = batch.back();
        if (last == event || (event == E::Modified && (last == E::Created || last == E::Renamed))) {
            return;
        }
    }
    batch.push_back(event);
}

int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) {
        return 0;
    }
    // Rounded up, so that the wait does not end just before the moment and spin.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::min<int64_t>(ms, 60'000));
}

bool ToEvent(detail::ChangeAction action, FileWatcher::EventType& event) {
    switch (action) {
        case detail::ChangeAction::Added:
            event = FileWatcher::EventType::Created;
            return true;
        case detail::ChangeAction::Removed:
            event = FileWatcher::EventType::Deleted;
            return true;
        case detail::ChangeAction::Modified:
            event = FileWatcher::EventType::Modified;
            return true;
        case detail::ChangeAction::RenamedNewName:
            event = FileWatcher::EventType::Renamed;
            return true;
        case detail::ChangeAction::RenamedOldName:
        case detail::ChangeAction::Other:
        case detail::ChangeAction::Overflow:
        case detail::ChangeAction::DirectoryGone:
            break;
    }
    return false;
}

}  // namespace

const char* EventTypeName(FileWatcher::EventType type) {
    switch (type) {
        case FileWatcher::EventType::Modified:
            return "Modified";
        case FileWatcher::EventType::Created:
            return "Created";
        case FileWatcher::EventType::Deleted:
            return "Deleted";
        case FileWatcher::EventType::Renamed:
            return "Renamed";
    }
    return "Unknown";
}

void FileWatcher::Impl::Run() {
    tCurrentWatcher = this;
    // An exception leaving a thread ends the process; a failing watch loop ends
    // only the loop, like any other error of this thread.
    try {
        kxlog::SetThreadName("FileWatcher");
        WatchLoop();
    } catch (...) {
    }
}

void FileWatcher::Impl::WatchLoop() {
    std::vector<detail::ChangeRecord> records;
    std::vector<EventType> batch;
    Clock::time_point batchStart{};
    Clock::time_point lastRecord{};
    bool directoryGone = false;
    Clock::time_point nextRewatch{};
    const auto fileExists = [this] {
        std::error_code ignored;
        return std::filesystem::exists(path, ignored);
    };
    // Whether the file is there as far as the events delivered or batched say.
    bool present = presentAtStart;
    const auto add = [&](EventType event, Clock::time_point now) {
        if (batch.empty()) {
            batchStart = now;
        }
        lastRecord = now;
        present = event != EventType::Deleted;
        Collapse(batch, event);
    };
    while (running) {
        Clock::time_point now = Clock::now();
        if (!batch.empty() &&
            (now - lastRecord >= kQuietPeriod || now - batchStart >= kLongestDelay)) {
            if (!Deliver(batch)) {
                return;
            }
            batch.clear();
            continue;
        }
        if (directoryGone && now >= nextRewatch) {
            if (watch->Rewatch()) {
                directoryGone = false;
                KXLOG_INFO("The FileWatcher on '{}' is watching the directory '{}' again!", path,
                           directory);
                // The file may have come back with the directory, before the watch.
                if (fileExists()) {
                    add(EventType::Created, now);
                }
                continue;
            }
            nextRewatch = now + kRewatchInterval;
        }
        int timeoutMs = -1;
        if (!batch.empty()) {
            timeoutMs = MillisecondsUntil(
                std::min(lastRecord + kQuietPeriod, batchStart + kLongestDelay), now);
        }
        if (directoryGone) {
            const int rewatchMs = MillisecondsUntil(nextRewatch, now);
            timeoutMs = timeoutMs < 0 ? rewatchMs : std::min(timeoutMs, rewatchMs);
        }
        records.clear();
        switch (watch->Wait(records, timeoutMs)) {
            case detail::WaitResult::Failed:
                return;
            case detail::WaitResult::Retry:
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            case detail::WaitResult::Woken:
            case detail::WaitResult::Timeout:
                continue;
            case detail::WaitResult::Records:
                break;
        }
        now = Clock::now();
        for (const auto& record : records) {
            EventType event{};
            if (record.action == detail::ChangeAction::Overflow) {
                // Records were lost, perhaps this file's: report what may have happened.
                if (fileExists()) {
                    add(EventType::Modified, now);
                }
            } else if (record.action == detail::ChangeAction::DirectoryGone) {
                if (!directoryGone) {
                    KXLOG_ERROR(
                        "The FileWatcher on '{}' has lost the directory '{}'; watching it again "
                        "once it is back...",
                        path, directory);
                }
                directoryGone = true;
                nextRewatch = now;
                // A directory moved away takes the file with it without a record of
                // its own: the file is gone from its path all the same.
                if (present && !fileExists()) {
                    add(EventType::Deleted, now);
                }
            } else if (record.name == fileName && ToEvent(record.action, event)) {
                add(event, now);
            }
        }
    }
}

// False once the watcher is being stopped: Stop waits for the handler that runs,
// not for the rest of the batch.
bool FileWatcher::Impl::Deliver(const std::vector<EventType>& events) {
    for (const EventType event : events) {
        if (!running) {
            return false;
        }
        Notify(event);
    }
    return static_cast<bool>(running);
}

void FileWatcher::Impl::Notify(EventType event) {
    std::vector<std::shared_ptr<Handler>> live;
    {
        std::shared_lock lock(subscriberMutex);
        live.reserve(subscribers.size());
        for (const auto& subscriber : subscribers) {
            if (auto handler = subscriber.lock()) {
                live.push_back(std::move(handler));
            }
        }
    }
    // No lock is held here: handlers may subscribe and unsubscribe.
    for (const auto& handler : live) {
        if (!running) {
            return;
        }
        if (!*handler) {
            continue;
        }
        // An exception leaving the thread would end the process.
        try {
            (*handler)(event);
        } catch (const std::exception& e) {
            KXLOG_ERROR("A FileWatcher handler on '{}' has failed: {}", path, e.what());
        } catch (...) {
            KXLOG_ERROR("A FileWatcher handler on '{}' has failed with an unknown error!", path);
        }
    }
}

FileWatcher::FileWatcher(std::string path) : impl_(std::make_unique<Impl>()) {
    impl_->path = std::move(path);
    SplitPath(impl_->path, impl_->directory, impl_->fileName);
}

FileWatcher::~FileWatcher() {
    try {
        if (impl_->running) {
            std::string error;
            if (!Stop(error)) {
                KXLOG_ERROR("Auto-stopping the filewatcher on '{}' has failed: {}", impl_->path,
                            error);
            }
        }
    } catch (...) {
    }
}

bool FileWatcher::Start(std::string& error) {
    error.clear();
    const std::string& path = impl_->path;
    try {
        KXLOG_INFO("Starting a FileWatcher on '{}'...", path);
        // From a handler the watcher is running by definition; taking the lock
        // there could deadlock against a Stop that is joining this thread.
        const bool onWatcherThread = tCurrentWatcher == impl_.get();
        std::unique_lock lock(impl_->startStopMutex, std::defer_lock);
        if (!onWatcherThread) {
            lock.lock();
        }
        if (onWatcherThread || impl_->running) {
            error =
                fmt::format("A FileWatcher on '{}' has already been started; start aborted!", path);
            KXLOG_ERROR("{}", error);
            return false;
        }
        auto watch = std::make_unique<detail::DirectoryWatch>();
        std::string reason;
        if (!watch->Open(impl_->directory, reason)) {
            error = fmt::format("Encountered an error while starting a FileWatcher on '{}': {}",
                                path, reason);
            KXLOG_ERROR("{}", error);
            return false;
        }
        std::error_code ignored;
        impl_->presentAtStart = std::filesystem::exists(path, ignored);
        impl_->watch = std::move(watch);
        impl_->running = true;
        try {
            impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
        } catch (...) {
            impl_->running = false;
            impl_->watch.reset();
            throw;
        }
        KXLOG_INFO("A FileWatcher on '{}' has been started successfully!", path);
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Encountered an error while starting a FileWatcher on '{}': {}", path,
                            e.what());
    } catch (...) {
        error =
            fmt::format("Encountered an unknown error while starting a FileWatcher on '{}'!", path);
    }
    KXLOG_ERROR("{}", error);
    return false;
}

bool FileWatcher::Stop(std::string& error) {
    error.clear();
    const std::string& path = impl_->path;
    try {
        KXLOG_INFO("Stopping the FileWatcher on '{}'...", path);
        if (tCurrentWatcher == impl_.get()) {
            throw std::logic_error("a FileWatcher cannot be stopped from its own handler");
        }
        // Held until the thread is joined and the descriptors are closed, so that
        // a concurrent Start cannot replace a thread that is still being joined.
        std::lock_guard lock(impl_->startStopMutex);
        if (!impl_->running) {
            error =
                fmt::format("A FileWatcher on '{}' has not been started yet; stop aborted!", path);
            KXLOG_ERROR("{}", error);
            return false;
        }
        impl_->running = false;
        if (impl_->watch) {
            impl_->watch->Wake();
        }
        if (impl_->thread.joinable()) {
            impl_->thread.join();
        }
        impl_->watch.reset();
        KXLOG_INFO("The FileWatcher on '{}' has been stopped successfully!", path);
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Encountered an error while stopping the FileWatcher on '{}': {}", path,
                            e.what());
    } catch (...) {
        error = fmt::format("Encountered an unknown error while stopping the FileWatcher on '{}'!",
                            path);
    }
    KXLOG_ERROR("{}", error);
    return false;
}

bool FileWatcher::IsRunning() const {
    return impl_->running;
}

bool FileWatcher::Subscribe(Handler handler, Subscription& subscription, std::string& error) {
    error.clear();
    const std::string& path = impl_->path;
    try {
        KXLOG_INFO("Subscribing to the OnFileChanged event on '{}'...", path);
        {
            std::lock_guard lock(impl_->subscriberMutex);
            auto created = std::make_shared<Handler>(std::move(handler));
            // Entries whose owners dropped them can never be unsubscribed; prune them
            // here so that the list does not grow without bound.
            std::erase_if(impl_->subscribers, [](const auto& entry) { return entry.expired(); });
            impl_->subscribers.emplace_back(created);
            subscription = std::move(created);
        }
        KXLOG_INFO("Successfully subscribed to the OnFileChanged event on '{}'!", path);
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Failed to subscribe to the OnFileChanged event on '{}': {}", path,
                            e.what());
    } catch (...) {
        error = fmt::format(
            "Failed to subscribe to the OnFileChanged event on '{}': Unknown error!", path);
    }
    KXLOG_ERROR("{}", error);
    return false;
}

bool FileWatcher::Unsubscribe(const Subscription& subscription, std::string& error) {
    error.clear();
    const std::string& path = impl_->path;
    try {
        KXLOG_INFO("Unsubscribing from the OnFileChanged event on '{}'...", path);
        bool found = false;
        if (subscription) {
            std::lock_guard lock(impl_->subscriberMutex);
            auto& list = impl_->subscribers;
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (!it->owner_before(subscription) && !subscription.owner_before(*it)) {
                    list.erase(it);
                    found = true;
                    break;
                }
            }
        }
        if (!found) {
            error = fmt::format("Failed to find the OnFileChanged event handler on '{}'!", path);
            KXLOG_ERROR("{}", error);
            return false;
        }
        KXLOG_INFO("Successfully unsubscribed from the OnFileChanged event on '{}'!", path);
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Failed to unsubscribe from the OnFileChanged event on '{}': {}", path,
                            e.what());
    } catch (...) {
        error = fmt::format(
            "Failed to unsubscribe from the OnFileChanged event on '{}': Unknown error!", path);
    }
    KXLOG_ERROR("{}", error);
    return false;
}

const std::string& FileWatcher::Path() const {
    return impl_->path;
}

}  // namespace KXCommon
