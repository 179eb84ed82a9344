#include "kxconnectshm/SharedMem.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/managed_external_buffer.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "kxcommon/Process.h"
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

thread_local int tQuiet = 0;

// Fills the error text, logs it (unless the caller reports it itself) and reports
// the failure. Never throws, so that the catch handlers that call it cannot let an
// exception escape.
template <typename... Args>
bool Fail(std::string& error, fmt::format_string<Args...> format, Args&&... args) noexcept {
    try {
        error = fmt::format(format, std::forward<Args>(args)...);
        if (tQuiet == 0) {
            KXLOG_ERROR("{}", error);
        }
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
// segment's size, so a lock still taken after this long is looked at: its holder
// is recorded beside it, and only a holder that no longer exists abandons it.
constexpr auto kLockDeadline = std::chrono::seconds(2);
// A loaded machine can keep a holder off the processor for seconds in the middle
// of its copy; one that is still at work when the deadline comes is waited for
// this long in all before the call fails.
constexpr auto kWorkingHolderLimit = std::chrono::seconds(30);
// How long a call leaves the lock to a call that waits longer (LockedCall).
constexpr auto kTurnCourtesy = std::chrono::milliseconds(20);

// A failure of ours about the segment itself (what it is, who holds it). Derived
// from Boost's exception, so that it takes the same place in the failure texts.
class SegmentRefused : public bip::interprocess_exception {
  public:
    explicit SegmentRefused(const std::string& reason)
        : bip::interprocess_exception(reason.c_str()) {}
};

// The holder has gone (or is unknown: a build that did not record it): the
// creating call replaces the segment.
class AbandonedLock : public SegmentRefused {
  public:
    AbandonedLock()
        : SegmentRefused("the segment is locked by a process that no longer releases it") {}
};

// The segment's first bytes are Boost's: a 32-bit state word, padded to the
// alignment of the managed memory that follows. The padding is unused by Boost;
// the lock holder's pid, the waiter's and the holder's thread ids are kept in it.
using OpenOrCreate =
    bip::ipcdetail::shmem_open_or_create<bip::rbtree_best_fit<bip::mutex_family>>::type;
constexpr size_t kHeaderBytes = OpenOrCreate::ManagedOpenOrCreateUserOffset;
static_assert(kHeaderBytes >= 4 * sizeof(uint32_t));
// Boost's state word values.
constexpr uint32_t kInitialized = 2;
constexpr uint32_t kUninitialized = 0;
constexpr uint32_t kInitializing = 1;

// `header` is the start of the mapping, where Boost's header lies.
uint32_t* HolderWord(void* header) {
    return reinterpret_cast<uint32_t*>(static_cast<char*>(header) + sizeof(uint32_t));
}

// The last padding word: the holder's thread, whose activity tells a holder that
// is slow from one that has stopped. 0 from a build that did not record it.
uint32_t* HolderThreadWord(void* header) {
    return reinterpret_cast<uint32_t*>(static_cast<char*>(header) + 3 * sizeof(uint32_t));
}

// Records this process and thread as the lock's holder while `f` runs under the lock.
template <typename F>
struct HeldCall {
    void* header;
    F& f;
    void operator()() {
        uint32_t* holder = HolderWord(header);
        uint32_t* thread = HolderThreadWord(header);
        __atomic_store_n(holder, static_cast<uint32_t>(getpid()), __ATOMIC_RELAXED);
        __atomic_store_n(thread, static_cast<uint32_t>(gettid()), __ATOMIC_RELAXED);
        struct Clear {
            uint32_t* holder;
            uint32_t* thread;
            ~Clear() {
                __atomic_store_n(thread, 0u, __ATOMIC_RELAXED);
                __atomic_store_n(holder, 0u, __ATOMIC_RELAXED);
            }
        } clear{holder, thread};
        f();
    }
};

using KXCommon::ProcessExists;

// Whether the lock's recorded holder is still in the middle of its call.
bool HolderAtWork(void* header) {
    auto thread = static_cast<pid_t>(__atomic_load_n(HolderThreadWord(header), __ATOMIC_RELAXED));
    if (thread == 0) {
        thread = static_cast<pid_t>(__atomic_load_n(HolderWord(header), __ATOMIC_RELAXED));
    }
    return KXCommon::ActivityOf(thread) == KXCommon::ThreadActivity::Working;
}

// The padding word after the holder's: the thread (its kernel id) whose call has
// waited for the lock first and is served next; 0 when no call waits. Without it
// a busy reader, which retakes the lock a few microseconds after each release,
// can keep a writer's tries failing until its deadline on a loaded machine.
uint32_t* WaiterWord(void* header) {
    return reinterpret_cast<uint32_t*>(static_cast<char*>(header) + 2 * sizeof(uint32_t));
}

// Runs `f` under the segment manager's lock, as atomic_func does, but never waits
// beyond the deadline, unless the holder is still at work then (see
// kWorkingHolderLimit): then a live holder makes the call fail, a gone one makes it
// throw AbandonedLock. `header` is the start of the segment's mapping. Calls that
// find the lock taken are served about in turn: the first to wait marks itself in
// the waiter word and polls often; the others leave the lock to it meanwhile.
template <typename Managed, typename F>
void LockedCall(Managed& segment, void* header, F& f) {
    HeldCall<F> held{header, f};
    uint32_t* waiter = WaiterWord(header);
    const auto self = static_cast<uint32_t>(gettid());
    struct Turn {
        uint32_t* word;
        uint32_t self;
        bool taken = false;
        ~Turn() {
            uint32_t expected = self;
            if (taken) {
                __atomic_compare_exchange_n(word, &expected, 0u, false, __ATOMIC_RELEASE,
                                            __ATOMIC_RELAXED);
            }
        }
    } turn{waiter, self};
    const auto start = std::chrono::steady_clock::now();
    auto deadline = start + kLockDeadline;
    auto nextLook = start;
    auto pause = std::chrono::microseconds(50);
    while (true) {
        uint32_t first = __atomic_load_n(waiter, __ATOMIC_ACQUIRE);
        // The turn is a courtesy, never a lock: a waiter that does not come (one
        // that a loaded machine keeps off the processor, a stopped process) is
        // passed by after a short while, and only a lock that stays taken to the
        // deadline fails the call.
        const bool mine = first == 0 || first == self ||
                          std::chrono::steady_clock::now() - start >= kTurnCourtesy;
        if (mine && segment.try_atomic_func(held)) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (first == 0) {
            turn.taken = __atomic_compare_exchange_n(waiter, &first, self, false, __ATOMIC_ACQ_REL,
                                                     __ATOMIC_RELAXED);
        } else if (first != self && now >= nextLook) {
            // A waiter that is gone (killed while waiting) gives up its turn.
            if (!ProcessExists(static_cast<pid_t>(first))) {
                __atomic_compare_exchange_n(waiter, &first, 0u, false, __ATOMIC_ACQ_REL,
                                            __ATOMIC_RELAXED);
            }
            nextLook = now + std::chrono::milliseconds(10);
        }
        if (now >= deadline && now - start < kWorkingHolderLimit && HolderAtWork(header)) {
            deadline = now + std::chrono::milliseconds(10);
        } else if (now >= deadline) {
            const auto holder =
                static_cast<pid_t>(__atomic_load_n(HolderWord(header), __ATOMIC_RELAXED));
            if (holder > 0 && ProcessExists(holder)) {
                throw SegmentRefused(fmt::format(
                    "the segment is locked by process {}, which is alive but does not release it",
                    holder));
            }
            throw AbandonedLock();
        }
        std::this_thread::sleep_for(pause);
        pause = turn.taken
                    ? std::chrono::microseconds(50)
                    : std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(1));
    }
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

std::string ObjectName(const std::string& block) {
    return "/" + block;
}

enum class Found : uint8_t {
    Missing,     // no object of that name (or one Boost is to report on)
    Usable,      // ours, private and initialised
    Unfinished,  // empty or never initialised: its creator stopped half-way, or is at it
    Corrupted,   // Boost's marker of a failed creation, or a state Boost never writes
};

struct Inspection {
    Found found = Found::Missing;
    bool old = false;  // last changed longer ago than the lock deadline
};

// Looks at an open segment before it is mapped: Boost would use a segment of
// another user, wait without limit on one that is empty or half made, and fail for
// ever on one marked corrupted. Refuses a segment that is not this user's alone; a
// segment of ours with extra permission bits (an older build) is made private.
// With `reserve`, makes sure that every page of the segment is backed, so that a
// full /dev/shm is an error here and not a SIGBUS in a copy. `size` receives the
// segment's size.
Inspection InspectDescriptor(int fd, bool reserve, off_t* size = nullptr) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        throw SegmentRefused(fmt::format("fstat failed: {}", std::strerror(errno)));
    }
    const unsigned mode = st.st_mode & 07777;
    if (st.st_uid != geteuid()) {
        throw SegmentRefused(
            fmt::format("the segment is owned by uid {}, mode {:04o}", st.st_uid, mode));
    }
    if (!S_ISREG(st.st_mode)) {
        throw SegmentRefused("the segment is not a regular shared-memory object");
    }
    if ((mode & 077) != 0 && fchmod(fd, 0600) != 0) {
        throw SegmentRefused(
            fmt::format("the segment has mode {:04o}: {}", mode, std::strerror(errno)));
    }
    Inspection result;
    // The creator's truncate sets the time; a fix of the mode must not make it young.
    result.old = std::chrono::system_clock::now() -
                     std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec) >
                 kLockDeadline + std::chrono::seconds(1);
    uint32_t state = kUninitialized;
    if (st.st_size == 1) {
        result.found = Found::Corrupted;
    } else if (st.st_size < static_cast<off_t>(kHeaderBytes) ||
               pread(fd, &state, sizeof state, 0) != static_cast<ssize_t>(sizeof state) ||
               state == kUninitialized || state == kInitializing) {
        result.found = Found::Unfinished;
    } else if (state != kInitialized) {
        result.found = Found::Corrupted;
    } else {
        result.found = Found::Usable;
    }
    if (result.found == Found::Usable && reserve &&
        static_cast<uint64_t>(st.st_blocks) * 512 < static_cast<uint64_t>(st.st_size)) {
        const int failed = posix_fallocate(fd, 0, st.st_size);
        if (failed != 0) {
            throw SegmentRefused(std::strerror(failed));
        }
    }
    if (size != nullptr) {
        *size = st.st_size;
    }
    return result;
}

int OpenByName(const std::string& block) {
    return shm_open(ObjectName(block).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
}

Inspection Inspect(const std::string& block, bool reserve) {
    Descriptor fd(OpenByName(block));
    if (fd.Get() < 0) {
        // Missing, or not openable at all: Boost's own open reports it as before.
        return {};
    }
    return InspectDescriptor(fd.Get(), reserve);
}

const char* Describe(Found found) {
    return found == Found::Corrupted ? "the segment is corrupted"
                                     : "the segment was never completely created";
}

// The segment manager of a segment that the store maps itself: the one Boost's
// managed_shared_memory keeps behind its header, so the types of the objects agree.
using AttachedSegment =
    bip::basic_managed_external_buffer<char, bip::rbtree_best_fit<bip::mutex_family>,
                                       bip::iset_index>;
static_assert(
    std::is_same_v<AttachedSegment::segment_manager, bip::managed_shared_memory::segment_manager>);

// An existing segment, for the calls that never create. It is opened once, looked
// at on that descriptor and mapped by the store itself: opening it again through
// Boost would double the system calls of every heartbeat and write, the store's
// hottest paths. A segment that is not usable fails the call at once; its creator,
// or the next creating call, mends it. One whose creator may still be at work is
// not there yet, like a missing one. Unmapped and closed when it goes.
class OpenedSegment {
  public:
    OpenedSegment(const std::string& block, bool reserve) : fd_(OpenByName(block)) {
        if (fd_.Get() < 0) {
            // The error Boost's own open raises, so the failure texts stay the same.
            throw bip::interprocess_exception(bip::error_info(bip::system_error_code()));
        }
        off_t size = 0;
        const Inspection inspection = InspectDescriptor(fd_.Get(), reserve, &size);
        if (inspection.found == Found::Unfinished && !inspection.old) {
            throw bip::interprocess_exception("the segment is being created");
        }
        if (inspection.found != Found::Usable) {
            throw SegmentRefused(Describe(inspection.found));
        }
        size_ = static_cast<size_t>(size);
        base_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.Get(), 0);
        if (base_ == MAP_FAILED) {
            throw bip::interprocess_exception(bip::error_info(bip::system_error_code()));
        }
        managed_.emplace(bip::open_only, static_cast<char*>(base_) + kHeaderBytes,
                         size_ - kHeaderBytes);
    }
    ~OpenedSegment() {
        managed_.reset();
        if (base_ != MAP_FAILED) {
            munmap(base_, size_);
        }
    }
    OpenedSegment(const OpenedSegment&) = delete;
    OpenedSegment& operator=(const OpenedSegment&) = delete;

    AttachedSegment& Managed() { return *managed_; }
    void* Header() const { return base_; }

  private:
    Descriptor fd_;
    void* base_ = MAP_FAILED;
    size_t size_ = 0;
    std::optional<AttachedSegment> managed_;
};

// For the creating call: waits (never beyond the lock deadline) for a creator that
// is at work, and replaces what a creator left unfinished or corrupted.
Found PrepareForCreation(const std::string& block) {
    const auto deadline = std::chrono::steady_clock::now() + kLockDeadline;
    Inspection inspection = Inspect(block, true);
    while (inspection.found == Found::Unfinished && !inspection.old &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        inspection = Inspect(block, true);
    }
    if (inspection.found == Found::Unfinished || inspection.found == Found::Corrupted) {
        KXLOG_WARNING("SharedMem: Replacing the segment {}: {}", block, Describe(inspection.found));
        bip::shared_memory_object::remove(block.c_str());
        return Found::Missing;
    }
    return inspection.found;
}

constexpr const char* kNothingWritten = "SharedMem: No data available at {}-{}";

// One object of a write: its address and its text.
using Entry = std::pair<std::string, std::string>;

// All entries are stored under one lock, so a reader never finds some of them
// without the others.
void WriteCreating(const std::string& block, const std::vector<Entry>& entries, uint32_t size) {
    const Found found = PrepareForCreation(block);
    bip::managed_shared_memory segment(bip::open_or_create, block.c_str(), size, nullptr,
                                       OwnerOnly());
    if (found == Found::Missing) {
        // Boost makes the segment sparse; reserved now, before any value is copied in.
        try {
            Inspect(block, true);
        } catch (...) {
            bip::shared_memory_object::remove(block.c_str());
            throw;
        }
    }
    auto write = [&] {
        for (const auto& [address, data] : entries) {
            ShmString* value = segment.find_or_construct<ShmString>(address.c_str())(
                segment.get_segment_manager());
            Assign(*value, data);
        }
    };
    LockedCall(segment, segment.get_address(), write);
}

std::string Addresses(const std::vector<Entry>& entries) {
    std::string joined;
    for (const auto& entry : entries) {
        joined += (joined.empty() ? "" : ",") + entry.first;
    }
    return joined;
}

bool WriteEntries(const std::string& block, const std::vector<Entry>& entries, std::string& error,
                  uint32_t size) {
    error.clear();
    const std::string address = Addresses(entries);
    try {
        try {
            WriteCreating(block, entries, size);
        } catch (const AbandonedLock& e) {
            // The creating call replaces an abandoned segment: its name is removed
            // (readers that still map it keep their copy) and a fresh one is made.
            KXLOG_WARNING("SharedMem: Replacing the segment {}: {}", block, e.what());
            bip::shared_memory_object::remove(block.c_str());
            WriteCreating(block, entries, size);
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

}  // namespace

bool WriteTo(const std::string& block, const std::string& address, const std::string& data,
             std::string& error, uint32_t size) {
    return WriteEntries(block, {{address, data}}, error, size);
}

bool WriteTo(const std::string& block,
             const std::vector<std::pair<std::string, std::string>>& entries, std::string& error,
             uint32_t size) {
    return WriteEntries(block, entries, error, size);
}

bool WriteTo_NotCreate(const std::string& block, const std::string& address,
                       const std::string& data, std::string& error) {
    error.clear();
    try {
        OpenedSegment segment(block, true);
        bool found = false;
        auto write = [&] {
            ShmString* value = segment.Managed().find_no_lock<ShmString>(address.c_str()).first;
            if (value != nullptr) {
                Assign(*value, data);
                found = true;
            }
        };
        LockedCall(segment.Managed(), segment.Header(), write);
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
        OpenedSegment segment(block, false);
        bool found = false;
        auto read = [&] {
            const ShmString* value =
                segment.Managed().find_no_lock<ShmString>(address.c_str()).first;
            if (value != nullptr) {
                data.assign(value->data(), value->size());
                found = true;
            }
        };
        LockedCall(segment.Managed(), segment.Header(), read);
        if (!found) {
            return Fail(error, kNothingWritten, block, address);
        }
        return true;
    } catch (const SegmentRefused& e) {
        // Not the missing segment the caller falls back from: a reason to be told.
        data.clear();
        return Fail(error, "SharedMem: Error reading from {}-{}: {}", block, address, e.what());
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

bool NothingWrittenAt(const std::string& error, const std::string& block,
                      const std::string& address) {
    try {
        return error == fmt::format(kNothingWritten, block, address);
    } catch (...) {
        return false;
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

QuietFailures::QuietFailures() {
    ++tQuiet;
}
QuietFailures::~QuietFailures() {
    --tQuiet;
}

Owner OwnerOf(const std::string& block, std::string& reason) {
    reason.clear();
    try {
        Descriptor fd(shm_open(ObjectName(block).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
        if (fd.Get() < 0) {
            if (errno == ENOENT) {
                return Owner::None;
            }
            reason = std::strerror(errno);
            return errno == EACCES ? Owner::OtherUser : Owner::NotSegment;
        }
        struct stat st {};
        if (fstat(fd.Get(), &st) != 0) {
            reason = fmt::format("fstat failed: {}", std::strerror(errno));
            return Owner::NotSegment;
        }
        if (st.st_uid != geteuid()) {
            reason = fmt::format("the segment is owned by uid {}, mode {:04o}", st.st_uid,
                                 st.st_mode & 07777);
            return Owner::OtherUser;
        }
        if (!S_ISREG(st.st_mode)) {
            reason = "the segment is not a regular shared-memory object";
            return Owner::NotSegment;
        }
        return Owner::ThisUser;
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown error";
    }
    return Owner::NotSegment;
}

}  // namespace KXConnectShm::SharedMem
