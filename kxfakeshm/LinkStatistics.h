#pragma once

// Sliding-window statistics of one transport channel. Samples are pruned only when
// a new sample arrives, so a total keeps its last value after traffic stops.

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
    uint64_t Last() const { return last_.load(std::memory_order_relaxed); }
    // Total divided by the number of samples, 0 when empty.
    uint64_t Average() const;

private:
    mutable KXCommon::HybridSharedMutex lock_;
    std::deque<std::pair<uint64_t, uint64_t>> samples_;  // (time ns, value), under lock_
    std::atomic<uint64_t> total_{0};
    std::atomic<uint64_t> last_{0};
};

// The figures every channel keeps: last and smoothed one-way latency and the
// four byte series (payload and whole-buffer bytes, each direction).
struct LinkStatistics {
    std::atomic<uint64_t> latency{0};
    std::atomic<uint64_t> smoothedLatency{0};
    StatSeries latencySeries;
    StatSeries read;
    StatSeries readMeta;
    StatSeries write;
    StatSeries writeMeta;

    // A latency sample: stores it as the last latency and refreshes the average.
    void RecordLatency(uint64_t now, uint64_t value, uint64_t windowNs);
    void ResetLatency();
    void ResetAll();
};

}  // namespace KXFakeShm
