#include "kxconnectshm/SharedMem.h"

#include <fmt/format.h>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "kxconnectshm/ShmString.h"
#include "kxlog/KXLog.h"

namespace KXConnectShm::SharedMem {

namespace {

namespace bip = boost::interprocess;

namespace Impl {
// Whether this process keeps the store in its own memory. No process of this system
// does, so local reads always fail.
constexpr bool bHostingProcess = false;
}  // namespace Impl

// Only the owning user may map the segments.
bip::permissions OwnerOnly() {
    return bip::permissions(0600);
}

// Fills the error text, logs it and reports the failure. Never throws, so that the
// catch handlers that call it cannot let an exception escape.
template <typename... Args>
bool Fail(std::string& error, fmt::format_string<Args...> format, Args&&... args) noexcept {
    try {
        error = fmt::format(format, std::forward<Args>(args)...);
        KXLOG_ERROR("{}", error);
    } catch (...) {
    }
    return false;
}

// Must run under the segment manager's lock (LockedCall): growing and assigning
// together is what lets a locking reader see either the old or the new text.
// Allocation inside takes only the allocator's own mutex, which is always taken
// after the segment manager's, never before it.
void Assign(ShmString& value, const std::string& data) {
    // The string would report a length error for data beyond the segment's size;
    // this is the same lack of segment memory as a failed allocation.
    if (data.size() > value.max_size()) {
        throw bip::bad_alloc();
    }
    if (value.capacity() < data.size()) {
        value.reserve(data.size());
    }
    value.assign(data.data(), data.size());
}

// Boost.Interprocess mutexes are not robust: a process killed while it holds a
// segment's lock leaves the segment locked for good, and a plain lock would wait
// for it forever. A live holder keeps the lock for one copy of at most the
// segment's size, so a lock still taken after this long belongs to a process that
// is gone.
constexpr auto kLockDeadline = std::chrono::seconds(2);

class AbandonedLock : public bip::interprocess_exception {
  public:
    AbandonedLock()
        : bip::interprocess_exception(
              "the segment is locked by a process that no longer releases it") {}
};

// Runs `f` under the segment manager's lock, as atomic_func does, but gives up
// with AbandonedLock once the deadline has passed.
template <typename F>
void LockedCall(bip::managed_shared_memory& segment, F& f) {
    const auto deadline = std::chrono::steady_clock::now() + kLockDeadline;
    auto pause = std::chrono::microseconds(50);
    while (!segment.try_atomic_func(f)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw AbandonedLock();
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(1));
    }
}

void WriteCreating(const std::string& block, const std::string& address, const std::string& data,
                   uint32_t size) {
    bip::managed_shared_memory segment(bip::open_or_create, block.c_str(), size, nullptr,
                                       OwnerOnly());
    auto write = [&] {
        ShmString* value =
            segment.find_or_construct<ShmString>(address.c_str())(segment.get_segment_manager());
        Assign(*value, data);
    };
    LockedCall(segment, write);
}

}  // namespace

bool WriteTo(const std::string& block, const std::string& address, const std::string& data,
             std::string& error, uint32_t size) {
    error.clear();
    try {
        try {
            WriteCreating(block, address, data, size);
        } catch (const AbandonedLock&) {
            // The creating call replaces an abandoned segment: its name is removed
            // (readers that still map it keep their copy) and a fresh one is made.
            KXLOG_WARNING("SharedMem: Replacing the segment {}: {}", block, AbandonedLock().what());
            bip::shared_memory_object::remove(block.c_str());
            WriteCreating(block, address, data, size);
        }
        return true;
    } catch (const bip::interprocess_exception& e) {
        return Fail(error, "SharedMem: Error writing to device {}-{}: {}", block, address,
                    e.what());
    } catch (const std::exception& e) {
        return Fail(error, "SharedMem: Error writing to device: {}-{}: {}", block, address,
                    e.what());
    } catch (...) {
        return Fail(error, "SharedMem: Unknown error writing to devicer: {}-{}", block, address);
    }
}

bool WriteTo_NotCreate(const std::string& block, const std::string& address,
                       const std::string& data, std::string& error) {
    error.clear();
    try {
        bip::managed_shared_memory segment(bip::open_only, block.c_str());
        bool found = false;
        auto write = [&] {
            ShmString* value = segment.find_no_lock<ShmString>(address.c_str()).first;
            if (value != nullptr) {
                Assign(*value, data);
                found = true;
            }
        };
        LockedCall(segment, write);
        if (!found) {
            return Fail(error,
                        "SharedMem::WriteTo_NotCreate failed: object does not exist at {}-{}",
                        block, address);
        }
        return true;
    } catch (const bip::interprocess_exception& e) {
        return Fail(error, "SharedMem: Error writing to device {}-{}: {}", block, address,
                    e.what());
    } catch (const std::exception& e) {
        return Fail(error, "SharedMem: Error writing to device: {}-{}: {}", block, address,
                    e.what());
    } catch (...) {
        return Fail(error, "SharedMem: Unknown error writing to device: {}-{}", block, address);
    }
}

bool ReadFrom(const std::string& block, const std::string& address, std::string& data,
              std::string& error) {
    error.clear();
    data.clear();
    try {
        // Read-write, because taking the segment manager's lock writes to the segment.
        bip::managed_shared_memory segment(bip::open_only, block.c_str());
        bool found = false;
        auto read = [&] {
            const ShmString* value = segment.find_no_lock<ShmString>(address.c_str()).first;
            if (value != nullptr) {
                data.assign(value->data(), value->size());
                found = true;
            }
        };
        LockedCall(segment, read);
        if (!found) {
            return Fail(error, "SharedMem: No data available at {}-{}", block, address);
        }
        return true;
    } catch (const bip::interprocess_exception&) {
        // Usually the segment does not exist (yet); the caller falls back on its own.
        data.clear();
        return false;
    } catch (const std::exception& e) {
        data.clear();
        return Fail(error, "SharedMem: Error reading from {}-{}: {}", block, address, e.what());
    } catch (...) {
        data.clear();
        return Fail(error, "SharedMem: Unknown error reading from: {}-{}", block, address);
    }
}

bool ReadLocal(const std::string& block, const std::string& address, std::string& data,
               std::string& error) {
    error.clear();
    data.clear();
    (void)block;
    (void)address;
    return Fail(error, "SharedMem Error: Impl::bHostingProcess is {:s}", Impl::bHostingProcess);
}

bool Dispose(const std::string& block, std::string& error) {
    error.clear();
    try {
        // A name that does not exist is what the caller wants; a name that exists
        // and cannot be removed is a failure, not a success.
        if (!bip::shared_memory_object::remove(block.c_str()) && errno != ENOENT) {
            return Fail(error, "SharedMem: Error disposing of from {}: {}", block,
                        std::strerror(errno));
        }
        return true;
    } catch (const bip::interprocess_exception& e) {
        return Fail(error, "SharedMem: Error disposing of from {}: {}", block, e.what());
    } catch (const std::exception& e) {
        return Fail(error, "SharedMem: Error disposing of from {}: {}", block, e.what());
    } catch (...) {
        return Fail(error, "SharedMem: Unknown error disposing of from {}!", block);
    }
}

}  // namespace KXConnectShm::SharedMem
