#include "kxfakeshm/LinkStatistics.h"

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

void LinkStatistics::RecordLatency(uint64_t now, uint64_t value, uint64_t windowNs) {
    latency.store(value, std::memory_order_relaxed);
    latencySeries.Record(now, value, windowNs);
    smoothedLatency.store(latencySeries.Average(), std::memory_order_relaxed);
}

void LinkStatistics::ResetLatency() {
    latency.store(0, std::memory_order_relaxed);
    smoothedLatency.store(0, std::memory_order_relaxed);
    latencySeries.Reset();
}

void LinkStatistics::ResetAll() {
    ResetLatency();
    read.Reset();
    readMeta.Reset();
    write.Reset();
    writeMeta.Reset();
}

}  // namespace KXFakeShm
