#pragma once

// Sliding-window statistics of one transport channel. A new sample prunes the
// window at its own time; a reader that wants the window as of now (a rate shown
// while the link is silent) prunes it at now through TotalAt.

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <utility>

#include "kxcommon/HybridMutex.h"

namespace KXFakeShm {

class StatSeries {
  public:
    // Appends (now, value) and drops samples strictly older than now - windowNs.
    // Takes the series lock; never blocks on anything else. Value 0 records nothing.
    void Record(uint64_t now, uint64_t value, uint64_t windowNs);
    void Reset();

    uint64_t Total() const { return total_.load(std::memory_order_relaxed); }
    // The total of the window that ends at `now`: drops what has aged out since the
    // last sample first, so a silent series empties instead of freezing.
    uint64_t TotalAt(uint64_t now, uint64_t windowNs);
    uint64_t Last() const { return last_.load(std::memory_order_relaxed); }
    // Total divided by the number of samples, 0 when empty.
    uint64_t Average() const;

  private:
    mutable KXCommon::HybridSharedMutex lock_;
    std::deque<std::pair<uint64_t, uint64_t>> samples_;  // (time ns, value), under lock_
    std::atomic<uint64_t> total_{0};
    std::atomic<uint64_t> last_{0};
};

// Latency distribution in log-linear buckets of two significant digits from 1 us
// to 10 s (one bucket below, one at and above). Constant memory, no lock and no
// allocation per sample, so every sample of a link can be kept since its reset.
class LatencyHistogram {
  public:
    void Record(uint64_t valueNs);
    void Reset();

    uint64_t Count() const;
    // The value below which `percentile` percent (0..100) of the samples lie: the
    // middle of the bucket that holds that rank, kept within the smallest and
    // largest sample seen. 0 when empty.
    uint64_t Percentile(double percentile) const;

    static constexpr uint64_t kLowestNs = 1'000;            // 1 us
    static constexpr uint64_t kHighestNs = 10'000'000'000;  // 10 s
    static constexpr int kDecades = 7;                      // 1 us .. 10 s
    static constexpr int kPerDecade = 90;                   // mantissas 10..99
    static constexpr int kBuckets = kDecades * kPerDecade + 2;

    static int BucketOf(uint64_t valueNs);
    // Lower and upper (exclusive) bound of a bucket in ns.
    static uint64_t BucketLow(int bucket);
    static uint64_t BucketHigh(int bucket);

  private:
    std::array<std::atomic<uint64_t>, kBuckets> counts_{};
    std::atomic<uint64_t> min_{UINT64_MAX};
    std::atomic<uint64_t> max_{0};
};

// Data records carried since the last reset, never pruned: payload bytes (as the
// byte series count them) and the number of records.
class RecordCounter {
  public:
    void Add(uint64_t bytes) {
        bytes_.fetch_add(bytes, std::memory_order_relaxed);
        messages_.fetch_add(1, std::memory_order_relaxed);
    }
    void Reset() {
        bytes_.store(0, std::memory_order_relaxed);
        messages_.store(0, std::memory_order_relaxed);
    }
    uint64_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }
    uint64_t Messages() const { return messages_.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> messages_{0};
};

// The figures every channel keeps: last and smoothed one-way latency, the
// latency distribution, the four byte series (payload and whole-buffer bytes,
// each direction) and the cumulative record counts.
struct LinkStatistics {
    std::atomic<uint64_t> latency{0};
    std::atomic<uint64_t> smoothedLatency{0};
    StatSeries latencySeries;
    LatencyHistogram latencyHistogram;
    StatSeries read;
    StatSeries readMeta;
    StatSeries write;
    StatSeries writeMeta;
    RecordCounter recordsRead;     // data records received (socket transports)
    RecordCounter recordsWritten;  // data records sent, or completed into the store

    // A latency sample: stores it as the last latency, refreshes the average and
    // adds it to the histogram.
    void RecordLatency(uint64_t now, uint64_t value, uint64_t windowNs);
    void ResetLatency();
    void ResetAll();
};

}  // namespace KXFakeShm
