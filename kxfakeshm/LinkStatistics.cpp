#include "kxfakeshm/LinkStatistics.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>

namespace KXFakeShm {

void StatSeries::Record(uint64_t now, uint64_t value, uint64_t windowNs) {
    if (value == 0) {
        return;
    }
    const uint64_t cutoff = now > windowNs ? now - windowNs : 0;
    std::lock_guard lock(lock_);
    samples_.emplace_back(now, value);
    total_.fetch_add(value, std::memory_order_relaxed);
    last_.store(value, std::memory_order_relaxed);
    while (!samples_.empty() && samples_.front().first < cutoff) {
        total_.fetch_sub(samples_.front().second, std::memory_order_relaxed);
        samples_.pop_front();
    }
}

uint64_t StatSeries::TotalAt(uint64_t now, uint64_t windowNs) {
    const uint64_t cutoff = now > windowNs ? now - windowNs : 0;
    std::lock_guard lock(lock_);
    while (!samples_.empty() && samples_.front().first < cutoff) {
        total_.fetch_sub(samples_.front().second, std::memory_order_relaxed);
        samples_.pop_front();
    }
    return total_.load(std::memory_order_relaxed);
}

void StatSeries::Reset() {
    std::lock_guard lock(lock_);
    samples_.clear();
    total_.store(0, std::memory_order_relaxed);
    last_.store(0, std::memory_order_relaxed);
}

uint64_t StatSeries::Average() const {
    std::shared_lock lock(lock_);
    return samples_.empty() ? 0 : total_.load(std::memory_order_relaxed) / samples_.size();
}

namespace {

// 10^(3 + d) ns: the lower bound of decade d of the histogram, and one past the end.
constexpr std::array<uint64_t, LatencyHistogram::kDecades + 1> kDecadeBase{
    1'000, 10'000, 100'000, 1'000'000, 10'000'000, 100'000'000, 1'000'000'000, 10'000'000'000};

}  // namespace

int LatencyHistogram::BucketOf(uint64_t valueNs) {
    if (valueNs < kLowestNs) {
        return 0;
    }
    if (valueNs >= kHighestNs) {
        return kBuckets - 1;
    }
    int decade = 0;
    while (valueNs >= kDecadeBase[decade + 1]) {
        ++decade;
    }
    // Two significant digits: 10..99 units of a tenth of the decade's base.
    const uint64_t mantissa = valueNs / (kDecadeBase[decade] / 10);
    return 1 + decade * kPerDecade + static_cast<int>(mantissa - 10);
}

uint64_t LatencyHistogram::BucketLow(int bucket) {
    if (bucket <= 0) {
        return 0;
    }
    if (bucket >= kBuckets - 1) {
        return kHighestNs;
    }
    const int decade = (bucket - 1) / kPerDecade;
    const uint64_t mantissa = 10 + static_cast<uint64_t>((bucket - 1) % kPerDecade);
    return mantissa * (kDecadeBase[decade] / 10);
}

uint64_t LatencyHistogram::BucketHigh(int bucket) {
    if (bucket <= 0) {
        return kLowestNs;
    }
    if (bucket >= kBuckets - 1) {
        return UINT64_MAX;
    }
    const int decade = (bucket - 1) / kPerDecade;
    return BucketLow(bucket) + kDecadeBase[decade] / 10;
}

void LatencyHistogram::Record(uint64_t valueNs) {
    counts_[static_cast<size_t>(BucketOf(valueNs))].fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = min_.load(std::memory_order_relaxed);
    while (valueNs < seen &&
           !min_.compare_exchange_weak(seen, valueNs, std::memory_order_relaxed)) {
    }
    seen = max_.load(std::memory_order_relaxed);
    while (valueNs > seen &&
           !max_.compare_exchange_weak(seen, valueNs, std::memory_order_relaxed)) {
    }
}

void LatencyHistogram::Reset() {
    for (auto& count : counts_) {
        count.store(0, std::memory_order_relaxed);
    }
    min_.store(UINT64_MAX, std::memory_order_relaxed);
    max_.store(0, std::memory_order_relaxed);
}

uint64_t LatencyHistogram::Count() const {
    uint64_t total = 0;
    for (const auto& count : counts_) {
        total += count.load(std::memory_order_relaxed);
    }
    return total;
}

uint64_t LatencyHistogram::Percentile(double percentile) const {
    // One snapshot of the counts, so that a sample arriving meanwhile cannot move
    // the rank past the end.
    std::array<uint64_t, kBuckets> counts;
    uint64_t total = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        counts[i] = counts_[i].load(std::memory_order_relaxed);
        total += counts[i];
    }
    if (total == 0) {
        return 0;
    }
    const double p = std::isnan(percentile) ? 0.0 : std::clamp(percentile, 0.0, 100.0);
    const uint64_t rank = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::ceil(p / 100.0 * static_cast<double>(total))));
    uint64_t seen = 0;
    int bucket = kBuckets - 1;
    for (int i = 0; i < kBuckets; ++i) {
        seen += counts[static_cast<size_t>(i)];
        if (seen >= rank) {
            bucket = i;
            break;
        }
    }
    const uint64_t smallest = min_.load(std::memory_order_relaxed);
    const uint64_t largest = max_.load(std::memory_order_relaxed);
    // The open top bucket has no middle: the largest sample stands for it.
    if (bucket == kBuckets - 1) {
        return std::max(largest, kHighestNs);
    }
    const uint64_t low = BucketLow(bucket);
    uint64_t value = low + (BucketHigh(bucket) - low) / 2;
    if (smallest <= largest) {
        value = std::clamp(value, smallest, largest);
    }
    return value;
}

void LinkStatistics::RecordLatency(uint64_t now, uint64_t value, uint64_t windowNs) {
    latency.store(value, std::memory_order_relaxed);
    latencySeries.Record(now, value, windowNs);
    smoothedLatency.store(latencySeries.Average(), std::memory_order_relaxed);
    if (value != 0) {
        latencyHistogram.Record(value);
    }
}

void LinkStatistics::ResetLatency() {
    latency.store(0, std::memory_order_relaxed);
    smoothedLatency.store(0, std::memory_order_relaxed);
    latencySeries.Reset();
    latencyHistogram.Reset();
}

void LinkStatistics::ResetAll() {
    ResetLatency();
    read.Reset();
    readMeta.Reset();
    write.Reset();
    writeMeta.Reset();
    recordsRead.Reset();
    recordsWritten.Reset();
}

}  // namespace KXFakeShm
