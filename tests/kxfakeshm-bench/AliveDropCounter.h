#pragma once

// Counts, per transport, how often a peer's link went from alive to dead: the
// library's peer-alive answer sampled on a thread of its own every `interval`.
// A link that is dead for one liveness window (5 x 10 ms by default) shows here,
// where a report every 100 ms mostly misses it. Header-only: the benchmark's
// Connect peer and kxfakeshm-core-peer both use it.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "kxfakeshm/FakeSharedMem.h"

namespace KXBench {

class AliveDropCounter {
  public:
    AliveDropCounter(const KXFakeShm::FakeSharedMem& library, std::chrono::milliseconds interval)
        : library_(library), interval_(interval), thread_([this] { Run(); }) {}
    ~AliveDropCounter() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    AliveDropCounter(const AliveDropCounter&) = delete;
    AliveDropCounter& operator=(const AliveDropCounter&) = delete;

    uint64_t Drops(KXFakeShm::TransportKind kind) const {
        return drops_[Index(kind)].load(std::memory_order_relaxed);
    }

  private:
    static constexpr std::array<KXFakeShm::TransportKind, 3> kKinds{KXFakeShm::Tcp, KXFakeShm::Ipc,
                                                                    KXFakeShm::SharedMem};

    static size_t Index(KXFakeShm::TransportKind kind) {
        return kind == KXFakeShm::Tcp ? 0 : kind == KXFakeShm::Ipc ? 1 : 2;
    }

    void Run() {
        std::array<bool, kKinds.size()> alive{};
        while (true) {
            {
                std::unique_lock lock(mutex_);
                if (wake_.wait_for(lock, interval_, [this] { return stop_; })) {
                    return;
                }
            }
            for (size_t i = 0; i < kKinds.size(); ++i) {
                const bool now = library_.IsPeerAlive(kKinds[i]);
                if (alive[i] && !now) {
                    drops_[i].fetch_add(1, std::memory_order_relaxed);
                }
                alive[i] = now;
            }
        }
    }

    const KXFakeShm::FakeSharedMem& library_;
    const std::chrono::milliseconds interval_;
    std::array<std::atomic<uint64_t>, kKinds.size()> drops_{};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;   // under mutex_
    std::thread thread_;  // last: starts once the members above exist
};

}  // namespace KXBench
