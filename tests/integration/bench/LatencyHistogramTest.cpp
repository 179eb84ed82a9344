// The channel's latency histogram: bucket bounds of two significant digits,
// percentiles over every sample, and the resets it shares with the other figures.

#include <gtest/gtest.h>

#include <thread>

#include "kxfakeshm/LinkStatistics.h"

namespace {

using KXFakeShm::LatencyHistogram;
using KXFakeShm::LinkStatistics;

TEST(LatencyHistogramTest, BucketsHoldTwoSignificantDigitsFromOneMicrosecondToTenSeconds) {
    EXPECT_EQ(LatencyHistogram::BucketOf(0), 0);
    EXPECT_EQ(LatencyHistogram::BucketOf(999), 0);
    EXPECT_EQ(LatencyHistogram::BucketOf(1'000), 1);
    EXPECT_EQ(LatencyHistogram::BucketOf(1'099), 1);
    EXPECT_EQ(LatencyHistogram::BucketOf(1'100), 2);
    EXPECT_EQ(LatencyHistogram::BucketOf(9'999), 90);
    EXPECT_EQ(LatencyHistogram::BucketOf(10'000), 91);
    EXPECT_EQ(LatencyHistogram::BucketOf(9'999'999'999), LatencyHistogram::kBuckets - 2);
    EXPECT_EQ(LatencyHistogram::BucketOf(10'000'000'000), LatencyHistogram::kBuckets - 1);
    EXPECT_EQ(LatencyHistogram::BucketOf(UINT64_MAX), LatencyHistogram::kBuckets - 1);
    // Every value lies within its bucket, and the buckets tile the range.
    for (uint64_t v : {1'000ULL, 1'234ULL, 54'321ULL, 999'999ULL, 1'000'000ULL, 123'456'789ULL,
                       9'876'543'210ULL}) {
        const int b = LatencyHistogram::BucketOf(v);
        EXPECT_LE(LatencyHistogram::BucketLow(b), v) << v;
        EXPECT_LT(v, LatencyHistogram::BucketHigh(b)) << v;
        // Relative width at most 10 %: two significant digits.
        EXPECT_LE(LatencyHistogram::BucketHigh(b) - LatencyHistogram::BucketLow(b),
                  LatencyHistogram::BucketLow(b) / 10)
            << v;
    }
    for (int b = 1; b < LatencyHistogram::kBuckets - 1; ++b) {
        EXPECT_EQ(LatencyHistogram::BucketHigh(b), LatencyHistogram::BucketLow(b + 1)) << b;
    }
}

TEST(LatencyHistogramTest, PercentilesFollowTheSamplesWithinABucketsWidth) {
    LatencyHistogram h;
    EXPECT_EQ(h.Percentile(50), 0u) << "empty";
    // 1..1000 us, one sample each.
    for (uint64_t us = 1; us <= 1000; ++us) {
        h.Record(us * 1000);
    }
    EXPECT_EQ(h.Count(), 1000u);
    auto near = [](uint64_t value, uint64_t expected) {
        return value >= expected * 90 / 100 && value <= expected * 110 / 100;
    };
    EXPECT_TRUE(near(h.Percentile(50), 500'000)) << h.Percentile(50);
    EXPECT_TRUE(near(h.Percentile(99), 990'000)) << h.Percentile(99);
    EXPECT_TRUE(near(h.Percentile(10), 100'000)) << h.Percentile(10);
    // The extremes stay within the samples seen.
    EXPECT_GE(h.Percentile(0), 1'000u);
    EXPECT_LT(h.Percentile(0), 1'100u);
    EXPECT_LE(h.Percentile(100), 1'000'000u);
    EXPECT_GE(h.Percentile(100), 950'000u);
}

TEST(LatencyHistogramTest, ARareSlowSampleShowsInTheTailOnly) {
    LatencyHistogram h;
    for (int i = 0; i < 990; ++i) {
        h.Record(20'000);  // 20 us
    }
    for (int i = 0; i < 10; ++i) {
        h.Record(3'000'000'000);  // 3 s
    }
    for (double p : {50.0, 99.0}) {
        EXPECT_GE(h.Percentile(p), 20'000u) << p;
        EXPECT_LT(h.Percentile(p), 21'000u) << p;
    }
    EXPECT_GE(h.Percentile(99.5), 2'900'000'000u);
    // Beyond the top of the range it reports the largest sample's region.
    h.Record(50'000'000'000);
    EXPECT_EQ(h.Percentile(100), 50'000'000'000u);
}

TEST(LatencyHistogramTest, TheChannelFeedsEveryLatencySampleAndResetsWithTheOtherFigures) {
    LinkStatistics stats;
    const uint64_t window = 1'000'000'000;
    for (uint64_t i = 1; i <= 100; ++i) {
        stats.RecordLatency(i * 1000, i * 10'000, window);
    }
    EXPECT_EQ(stats.latencyHistogram.Count(), 100u);
    const uint64_t p50 = stats.latencyHistogram.Percentile(50);
    EXPECT_GE(p50, 450'000u);
    EXPECT_LE(p50, 550'000u);
    // A zero sample records nothing, as in the latency series.
    stats.RecordLatency(200'000, 0, window);
    EXPECT_EQ(stats.latencyHistogram.Count(), 100u);

    stats.ResetLatency();
    EXPECT_EQ(stats.latencyHistogram.Count(), 0u);
    EXPECT_EQ(stats.latencyHistogram.Percentile(50), 0u);

    stats.RecordLatency(300'000, 5'000, window);
    stats.recordsRead.Add(100);
    stats.recordsWritten.Add(40);
    stats.recordsWritten.Add(2);
    EXPECT_EQ(stats.recordsRead.Messages(), 1u);
    EXPECT_EQ(stats.recordsWritten.Bytes(), 42u);
    EXPECT_EQ(stats.recordsWritten.Messages(), 2u);
    stats.ResetAll();
    EXPECT_EQ(stats.latencyHistogram.Count(), 0u);
    EXPECT_EQ(stats.recordsRead.Bytes(), 0u);
    EXPECT_EQ(stats.recordsRead.Messages(), 0u);
    EXPECT_EQ(stats.recordsWritten.Bytes(), 0u);
    EXPECT_EQ(stats.recordsWritten.Messages(), 0u);
}

TEST(LatencyHistogramTest, ConcurrentRecordersAndReadersLoseNoSample) {
    LatencyHistogram h;
    constexpr int kPerThread = 20000;
    std::thread reader([&] {
        for (int i = 0; i < 200; ++i) {
            (void)h.Percentile(99);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                h.Record(static_cast<uint64_t>(1000 + (i % 5000) * 1000 + t));
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    reader.join();
    EXPECT_EQ(h.Count(), 2u * kPerThread);
}

}  // namespace
