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
};

struct ChangeRecord {
    ChangeAction action;
    std::string name;  // entry name within the directory, as the system reports it
};

enum class WaitResult : uint8_t {
    Records,  // zero or more records were appended
    Woken,    // Wake was called
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

    // Blocks without time limit until records arrive or Wake is called.
    WaitResult Wait(std::vector<ChangeRecord>& records);

    // Makes the current (or the next) Wait return Woken. Safe from any thread.
    void Wake();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace KXCommon::detail
