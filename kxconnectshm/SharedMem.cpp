#include "kxconnectshm/SharedMem.h"

#include <fmt/format.h>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <cerrno>
#include <cstring>

#include <exception>
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

// Must run under the segment manager's lock (atomic_func): growing and assigning
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

}  // namespace

bool WriteTo(const std::string& block, const std::string& address, const std::string& data,
             std::string& error, uint32_t size) {
    error.clear();
    try {
        bip::managed_shared_memory segment(bip::open_or_create, block.c_str(), size, nullptr,
                                           OwnerOnly());
        auto write = [&] {
            ShmString* value = segment.find_or_construct<ShmString>(address.c_str())(
                segment.get_segment_manager());
            Assign(*value, data);
        };
        segment.atomic_func(write);
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
        segment.atomic_func(write);
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
        segment.atomic_func(read);
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
