#pragma once

// A small store of named text values in named shared-memory segments. A value is
// addressed by a block (the segment's name) and an address (the name of an object
// in it). Every call opens the segment, does its work and closes it again.

#include <cstdint>
#include <string>

namespace KXConnectShm::SharedMem {

// Opens or creates segment `block` with `size` bytes and stores `data` at
// `address`, creating the object when needed.
bool WriteTo(const std::string& block, const std::string& address, const std::string& data,
             std::string& error, uint32_t size);

// Stores `data` at an existing object of an existing segment; never creates either.
bool WriteTo_NotCreate(const std::string& block, const std::string& address,
                       const std::string& data, std::string& error);

// Copies the value at (block, address). A missing segment fails silently: false
// with an empty error and no log line.
bool ReadFrom(const std::string& block, const std::string& address, std::string& data,
              std::string& error);

// Reads from the hosting process's own memory; fails while no process hosts it.
bool ReadLocal(const std::string& block, const std::string& address, std::string& data,
               std::string& error);

// Removes the segment's name; succeeds whether or not it existed.
bool Dispose(const std::string& block, std::string& error);

}  // namespace KXConnectShm::SharedMem
