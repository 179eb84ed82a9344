#pragma once

// What FileWatcher needs from the operating system: the change records of one
// directory (no subtree) and a blocking wait that another thread can interrupt.
// Internal to kxcommon; the implementation is FileWatcher_inotify.cpp.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace KXCommon::detail {

enum class ChangeAction : uint8_t {
    Added,
    Removed,
    Modified,
    RenamedOldName,
    RenamedNewName,
    Other,
    Overflow,       // the system dropped records; any file may have changed (no name)
    DirectoryGone,  // the directory was removed or moved away; the watch has ended (no name)
};

struct ChangeRecord {
    ChangeAction action;
    std::string name;  // entry name within the directory, as the system reports it
};

enum class WaitResult : uint8_t {
    Records,  // zero or more records were appended
    Woken,    // Wake was called
    Timeout,  // the time limit passed first
    Retry,    // reading the records failed; try again shortly
    Failed,   // the wait itself failed; the watch is unusable
};

// One open watch of a directory. Closed on destruction.
class DirectoryWatch {
  public:
    DirectoryWatch();
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // On failure `error` names the failing call and the system's reason.
    bool Open(const std::string& directory, std::string& error);

    // After DirectoryGone: watches the directory given to Open again, if it exists.
    bool Rewatch();

    // Blocks until records arrive, Wake is called or `timeoutMs` passes (-1: no
    // limit). Records of a watch that has ended are dropped.
    WaitResult Wait(std::vector<ChangeRecord>& records, int timeoutMs);

    // Makes the current (or the next) Wait return Woken. Safe from any thread.
    void Wake();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace KXCommon::detail
