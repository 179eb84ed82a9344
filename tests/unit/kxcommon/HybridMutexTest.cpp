#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "kxcommon/HybridMutex.h"

namespace {

using KXCommon::HybridMutex;
using KXCommon::HybridSharedMutex;

constexpr int kThreads = 4;
constexpr int kIncrements = 20000;

template <typename Mutex>
uint64_t CountUnderExclusiveLock() {
    Mutex mutex;
    uint64_t counter = 0;  // deliberately plain: only the lock makes this correct
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIncrements; ++i) {
                std::lock_guard lock(mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return counter;
}

// Scheduler state of one thread of this process ('R' running, 'S' sleeping).
char ThreadState(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

TEST(HybridMutex, CountsCorrectlyUnderContention) {
    EXPECT_EQ(CountUnderExclusiveLock<HybridMutex>(), uint64_t{kThreads} * kIncrements);
}

TEST(HybridSharedMutex, ExclusiveLockCountsCorrectlyUnderContention) {
    EXPECT_EQ(CountUnderExclusiveLock<HybridSharedMutex>(), uint64_t{kThreads} * kIncrements);
}

TEST(HybridSharedMutex, ReadersNeverSeeAHalfDoneWrite) {
    HybridSharedMutex mutex;
    uint64_t first = 0;
    uint64_t second = 0;  // writers keep first == second under the exclusive lock
    std::atomic<uint64_t> torn{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<bool> writing{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIncrements; ++i) {
                std::unique_lock lock(mutex);
                ++first;
                ++second;
            }
        });
    }
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            do {
                std::shared_lock lock(mutex);
                if (first != second) {
                    ++torn;
                }
                ++reads;
            } while (writing);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    writing = false;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(first, 2u * kIncrements);
    EXPECT_EQ(second, 2u * kIncrements);
    EXPECT_EQ(torn, 0u);
    EXPECT_GT(reads, 0u);
}

TEST(HybridSharedMutex, SharedHoldersDoNotExcludeEachOther) {
    HybridSharedMutex mutex;
    std::shared_lock held(mutex);
    bool joinedIn = false;
    std::thread other([&] {
        std::shared_lock second(mutex);
        joinedIn = true;
    });
    other.join();  // would never return if shared holders excluded each other
    EXPECT_TRUE(joinedIn);
    EXPECT_FALSE(mutex.try_lock());
}

TEST(HybridSharedMutex, ExclusiveHolderExcludesReaders) {
    HybridSharedMutex mutex;
    std::unique_lock held(mutex);
    bool sharedTaken = true;
    std::thread other([&] { sharedTaken = mutex.try_lock_shared(); });
    other.join();
    EXPECT_FALSE(sharedTaken);
}

TEST(HybridMutex, LongHeldLockPutsTheWaiterToSleep) {
    HybridMutex mutex;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> acquired{false};
    std::unique_lock held(mutex);
    std::thread waiter([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        std::lock_guard lock(mutex);
        acquired = true;
    });
    ASSERT_TRUE(kxtest::WaitFor([&] { return tid.load() != 0; }));
    EXPECT_TRUE(kxtest::WaitFor([&] { return ThreadState(tid) == 'S'; }));
    EXPECT_FALSE(acquired);
    held.unlock();
    waiter.join();
    EXPECT_TRUE(acquired);
}

TEST(HybridSharedMutex, LongHeldLockPutsSharedAndExclusiveWaitersToSleep) {
    HybridSharedMutex mutex;
    std::atomic<pid_t> readerTid{0};
    std::atomic<pid_t> writerTid{0};
    std::atomic<int> acquired{0};
    std::unique_lock held(mutex);
    std::thread reader([&] {
        readerTid = static_cast<pid_t>(syscall(SYS_gettid));
        std::shared_lock lock(mutex);
        ++acquired;
    });
    std::thread writer([&] {
        writerTid = static_cast<pid_t>(syscall(SYS_gettid));
        std::unique_lock lock(mutex);
        ++acquired;
    });
    ASSERT_TRUE(kxtest::WaitFor([&] { return readerTid.load() != 0 && writerTid.load() != 0; }));
    EXPECT_TRUE(kxtest::WaitFor(
        [&] { return ThreadState(readerTid) == 'S' && ThreadState(writerTid) == 'S'; }));
    EXPECT_EQ(acquired, 0);
    held.unlock();
    reader.join();
    writer.join();
    EXPECT_EQ(acquired, 2);
}

}  // namespace
