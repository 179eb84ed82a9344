#include "kxcommon/FileWatcher.h"

#include <atomic>
#include <chrono>
#include <exception>
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
    HybridMutex startStopMutex;
    std::atomic<bool> running{false};
    HybridSharedMutex subscriberMutex;
    std::vector<std::weak_ptr<Handler>> subscribers;
    std::thread thread;

    void Run();
    void WatchLoop();
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
    while (running) {
        records.clear();
        switch (watch->Wait(records)) {
            case detail::WaitResult::Failed:
                return;
            case detail::WaitResult::Retry:
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            case detail::WaitResult::Woken:
                continue;
            case detail::WaitResult::Records:
                break;
        }
        if (!running) {
            return;
        }
        for (const auto& record : records) {
            EventType event{};
            if (record.name == fileName && ToEvent(record.action, event)) {
                Notify(event);
            }
        }
    }
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
