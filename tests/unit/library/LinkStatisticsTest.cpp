// The sliding windows behind the dashboard's latency and rate figures.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kxfakeshm/LinkStatistics.h"

namespace {

using KXFakeShm::LinkStatistics;
using KXFakeShm::StatSeries;

constexpr uint64_t kMs = 1'000'000;

TEST(StatSeriesTest, WindowKeepsASampleExactlyAtTheCutoffAndDropsOlderOnes) {
    StatSeries series;
    series.Record(100 * kMs, 10, 50 * kMs);
    series.Record(120 * kMs, 20, 50 * kMs);
    EXPECT_EQ(series.Total(), 30u);
    // cutoff = 150 - 50 = 100: the sample at 100 stays.
    series.Record(150 * kMs, 5, 50 * kMs);
    EXPECT_EQ(series.Total(), 35u);
    // cutoff = 150: the samples at 100 and 120 go, the one at 150 stays.
    series.Record(200 * kMs, 1, 50 * kMs);
    EXPECT_EQ(series.Total(), 6u);
    EXPECT_EQ(series.Last(), 1u);
}

TEST(StatSeriesTest, ZeroRecordsNothingAndTotalsAreNotAgedByReading) {
    StatSeries series;
    series.Record(10 * kMs, 0, kMs);
    EXPECT_EQ(series.Total(), 0u);
    EXPECT_EQ(series.Average(), 0u);
    series.Record(10 * kMs, 7, kMs);
    // Long after the window, the total stays until the next sample prunes it.
    EXPECT_EQ(series.Total(), 7u);
    series.Reset();
    EXPECT_EQ(series.Total(), 0u);
    EXPECT_EQ(series.Last(), 0u);
}

TEST(StatSeriesTest, TotalAtAgesTheWindowToTheGivenTime) {
    StatSeries series;
    series.Record(10 * kMs, 7, kMs);
    series.Record(10 * kMs + kMs / 2, 3, kMs);
    // The sample exactly at the cutoff stays; later, both have aged out.
    EXPECT_EQ(series.TotalAt(11 * kMs, kMs), 10u);
    EXPECT_EQ(series.TotalAt(11 * kMs + kMs / 2, kMs), 3u);
    EXPECT_EQ(series.TotalAt(20 * kMs, kMs), 0u);
    EXPECT_EQ(series.Total(), 0u);
    EXPECT_EQ(series.Average(), 0u);
}

TEST(LinkStatisticsTest, SmoothedLatencyIsTheAverageOfTheWindow) {
    LinkStatistics stats;
    stats.RecordLatency(10 * kMs, 1 * kMs, 1000 * kMs);
    stats.RecordLatency(11 * kMs, 3 * kMs, 1000 * kMs);
    EXPECT_EQ(stats.latency.load(), 3 * kMs);
    EXPECT_EQ(stats.smoothedLatency.load(), 2 * kMs);
    stats.ResetLatency();
    EXPECT_EQ(stats.latency.load(), 0u);
    EXPECT_EQ(stats.smoothedLatency.load(), 0u);
}

TEST(LinkStatisticsTest, ResetAllClearsEverySeries) {
    LinkStatistics stats;
    stats.RecordLatency(1, 5, kMs);
    for (StatSeries* s : {&stats.read, &stats.readMeta, &stats.write, &stats.writeMeta}) {
        s->Record(1, 9, kMs);
    }
    stats.ResetAll();
    EXPECT_EQ(stats.latency.load(), 0u);
    for (StatSeries* s :
         {&stats.latencySeries, &stats.read, &stats.readMeta, &stats.write, &stats.writeMeta}) {
        EXPECT_EQ(s->Total(), 0u);
    }
}

TEST(StatSeriesTest, ConcurrentWritersAndReadersKeepTheTotalConsistent) {
    StatSeries series;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&series] {
            for (int i = 0; i < 5000; ++i) {
                series.Record(1, 1, ~0ULL);
                (void)series.Average();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(series.Total(), 20000u);
}

}  // namespace
