#pragma once

// Watches one file for changes by listening to its directory (not the subtree)
// and filtering the directory's change records by the file's exact name. Handlers
// run on the watcher's own thread ("FileWatcher"); the watcher keeps only weak
// references, so a subscription whose last shared pointer is gone is skipped.
//
// A write is reported when the writer closes the file. Records that arrive within
// a few milliseconds of each other are delivered as one batch with repeats
// collapsed, so one edit is one event. A lost kernel queue is reported as
// Modified. When the directory is removed or moved away the watcher logs it at
// ERROR, keeps looking for the directory and reports Created when the file is back.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace KXCommon {

class FileWatcher {
  public:
    enum class EventType : uint8_t { Modified = 0, Created = 1, Deleted = 2, Renamed = 3 };
    using Handler = std::function<void(EventType)>;
    using Subscription = std::shared_ptr<Handler>;

    explicit FileWatcher(std::string path);
    virtual ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // Each Start opens the directory afresh and starts a new watcher thread, so a
    // stopped watcher can be started again. Stop must not be called from a handler.
    bool Start(std::string& error);
    bool Stop(std::string& error);
    bool IsRunning() const;

    // Subscriptions are independent of Start/Stop. Handlers may subscribe and
    // unsubscribe from inside a notification.
    bool Subscribe(Handler handler, Subscription& subscription, std::string& error);
    bool Unsubscribe(const Subscription& subscription, std::string& error);

    const std::string& Path() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// "Modified", "Created", "Deleted", "Renamed", anything else "Unknown".
const char* EventTypeName(FileWatcher::EventType type);

}  // namespace KXCommon
