#pragma once

// A small store of named text values in named shared-memory segments. A value is
// addressed by a block (the segment's name) and an address (the name of an object
// in it). Every call opens the segment, does its work and closes it again.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace KXConnectShm::SharedMem {

// Opens or creates segment `block` with `size` bytes and stores `data` at
// `address`, creating the object when needed.
bool WriteTo(const std::string& block, const std::string& address, const std::string& data,
             std::string& error, uint32_t size);

// As WriteTo, for several (address, data) objects stored under one lock: a reader
// never finds one of them without the others.
bool WriteTo(const std::string& block,
             const std::vector<std::pair<std::string, std::string>>& entries, std::string& error,
             uint32_t size);

// Stores `data` at an existing object of an existing segment; never creates either.
bool WriteTo_NotCreate(const std::string& block, const std::string& address,
                       const std::string& data, std::string& error);

// Copies the value at (block, address). A missing segment fails silently: false
// with an empty error and no log line.
bool ReadFrom(const std::string& block, const std::string& address, std::string& data,
              std::string& error);

// Whether `error`, from ReadFrom(block, address), says only that the segment holds
// nothing at the address yet.
bool NothingWrittenAt(const std::string& error, const std::string& block,
                      const std::string& address);

// Reads from the hosting process's own memory; fails while no process hosts it.
bool ReadLocal(const std::string& block, const std::string& address, std::string& data,
               std::string& error);

// Removes the segment's name; succeeds whether or not it existed.
bool Dispose(const std::string& block, std::string& error);

enum class Owner : uint8_t {
    None,        // no segment of that name
    ThisUser,    // a segment of this process's effective user
    OtherUser,   // a segment of someone else
    NotSegment,  // something else, or nothing that can be looked at
};

// Who the segment of that name belongs to; `reason` says why when it is not ours.
Owner OwnerOf(const std::string& block, std::string& reason);

// While one exists, the calls of this thread fill their error texts without
// logging them: for a caller that logs one line for what several calls report.
class QuietFailures {
  public:
    QuietFailures();
    ~QuietFailures();
    QuietFailures(const QuietFailures&) = delete;
    QuietFailures& operator=(const QuietFailures&) = delete;
};

}  // namespace KXConnectShm::SharedMem
