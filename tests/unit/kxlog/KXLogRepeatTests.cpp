// Flood protection: an ERROR or WARNING repeated from one call site is written once
// and then counted.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "LogFile.h"
#include "TestSupport.h"
#include "kxlog/KXLog.h"

namespace {

using kxlogtest::LogLine;

std::string AddLogFile(const kxtest::ScopedTestHome& home) {
    const std::string path = home.Root() + "/repeat.log";
    std::string error;
    EXPECT_TRUE(kxlog::AddFile(path, 9, error)) << error;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    return path;
}

std::vector<LogLine> Read(const std::string& path) {
    std::string bad;
    auto lines = kxlogtest::ReadLog(path, bad);
    EXPECT_TRUE(bad.empty()) << "line without the preamble: " << bad;
    return lines;
}

// N of a "last message repeated N times" line, or -1 for any other text.
long RepeatCount(const LogLine& line) {
    long count = -1;
    char tail = 0;
    if (std::sscanf(line.message.c_str(), "last message repeated %ld time%c", &count, &tail) == 2 &&
        line.message == "last message repeated " + std::to_string(count) + " times") {
        return count;
    }
    return -1;
}

struct Tally {
    size_t texts = 0;   // lines carrying the text itself
    long repeated = 0;  // sum of the counts
    size_t countLines = 0;
    size_t other = 0;
};

Tally Count(const std::vector<LogLine>& lines, const std::string& text) {
    Tally tally;
    for (const auto& line : lines) {
        if (line.message == text) {
            ++tally.texts;
        } else if (const long n = RepeatCount(line); n > 0) {
            tally.repeated += n;
            ++tally.countLines;
        } else {
            ++tally.other;
        }
    }
    return tally;
}

// A text repeated within this long of its last time is counted, not written.
constexpr auto kCollapseWindow = std::chrono::seconds(1);

// Every call is in the log, as its text or in a count. A flood that took less
// than one window is one text; one that a loaded machine stretched may have had
// a pause of a whole window between two calls, after which the text is written
// again.
void ExpectOneTextPerWindow(const Tally& tally, int total, bool withinOneWindow) {
    EXPECT_EQ(static_cast<long>(tally.texts) + tally.repeated, static_cast<long>(total));
    EXPECT_EQ(tally.other, 0u);
    EXPECT_GE(tally.texts, 1u);
    if (withinOneWindow) {
        EXPECT_EQ(tally.texts, 1u);
    }
}

void FailTheSameWay() {
    KXLOG_ERROR("Failed to write block {}: {}", "TestBlock", "timeout");
}

TEST(KXLogRepeat, FloodOfOneFailureBecomesOneLineAndCounts) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);

    constexpr int kTotal = 5000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kTotal; ++i) {
        FailTheSameWay();
    }
    const bool withinOneWindow = std::chrono::steady_clock::now() - start < kCollapseWindow;
    kxlog::Flush();

    const auto lines = Read(path);
    const Tally tally = Count(lines, "Failed to write block TestBlock: timeout");
    ExpectOneTextPerWindow(tally, kTotal, withinOneWindow);
    EXPECT_LT(lines.size(), 50u);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().message, "Failed to write block TestBlock: timeout");
    for (const auto& line : lines) {
        // Counts come from the same call site at the same verbosity.
        EXPECT_EQ(line.level, "  ERR");
        EXPECT_EQ(line.line, lines.front().line);
        EXPECT_EQ(line.file, lines.front().file);
    }
}

TEST(KXLogRepeat, FloodFromManyThreadsIsCountedExactly) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);

    constexpr int kThreads = 4;
    constexpr int kEach = 1000;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kEach; ++i) {
                FailTheSameWay();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const bool withinOneWindow = std::chrono::steady_clock::now() - start < kCollapseWindow;
    kxlog::Flush();

    const Tally tally = Count(Read(path), "Failed to write block TestBlock: timeout");
    ExpectOneTextPerWindow(tally, kThreads * kEach, withinOneWindow);
}

TEST(KXLogRepeat, InfoAndDetailLinesAreNeverCollapsed) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);

    for (int i = 0; i < 200; ++i) {
        KXLOG_INFO("the same info");
        KXLOG(3, "the same detail");
    }
    kxlog::Flush();

    const auto lines = Read(path);
    EXPECT_EQ(Count(lines, "the same info").texts, 200u);
    EXPECT_EQ(Count(lines, "the same detail").texts, 200u);
    EXPECT_EQ(lines.size(), 400u);
}

TEST(KXLogRepeat, ADifferentTextIsWrittenAtOnceAfterTheCount) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);

    constexpr int kSame = 999;
    for (int i = 0; i <= kSame; ++i) {
        KXLOG_WARNING("Version mismatch: {}", i < kSame ? "same" : "different");
    }
    // Only the sinks are flushed here: nothing may still be held back as a count.
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return kxtest::ReadFile(path).find("Version mismatch: different\n") != std::string::npos;
    }));

    const auto lines = Read(path);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front().message, "Version mismatch: same");
    EXPECT_EQ(lines.back().message, "Version mismatch: different");
    long repeated = 0;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const long n = RepeatCount(lines[i]);
        EXPECT_GT(n, 0) << lines[i].message;
        repeated += n;
        EXPECT_EQ(lines[i].level, " WARN");
    }
    EXPECT_EQ(repeated, kSame - 1);
}

// One statement shared by two code paths (IPC and TCP) alternates between their
// texts; each text collapses on its own, and every count follows its text.
TEST(KXLogRepeat, AlternatingTextsFromOneCallSiteCollapseEach) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);

    constexpr int kEach = 1000;
    for (int i = 0; i < 2 * kEach; ++i) {
        KXLOG_ERROR("{} link down", i % 2 == 0 ? "IPC" : "TCP");
    }
    kxlog::Flush();

    const auto lines = Read(path);
    EXPECT_LT(lines.size(), 50u);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "IPC link down");
    EXPECT_EQ(lines[1].message, "TCP link down");
    std::map<std::string, long> occurrences;
    std::string current;
    for (const auto& line : lines) {
        if (const long n = RepeatCount(line); n > 0) {
            ASSERT_FALSE(current.empty()) << "a count before any text";
            occurrences[current] += n;
        } else {
            current = line.message;
            ++occurrences[current];
        }
    }
    EXPECT_EQ(occurrences.size(), 2u);
    EXPECT_EQ(occurrences["IPC link down"], kEach);
    EXPECT_EQ(occurrences["TCP link down"], kEach);
}

TEST(KXLogRepeat, CallSitesAreCountedSeparately) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);

    for (int i = 0; i < 100; ++i) {
        KXLOG_ERROR("same text");
        KXLOG_ERROR("same text");
    }
    kxlog::Flush();

    const auto lines = Read(path);
    const Tally tally = Count(lines, "same text");
    EXPECT_EQ(tally.texts, 2u);
    EXPECT_EQ(tally.repeated, 2 * 99);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].line, lines[1].line);
}

TEST(KXLogRepeat, PendingCountIsReportedWithoutFurtherLogging) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);

    for (int i = 0; i < 10; ++i) {
        KXLOG_WARNING("Socket receive failed: {}", "Timed out");
    }
    // No Flush: the background flusher reports the count once its second is over.
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return kxtest::ReadFile(path).find("| last message repeated 9 times\n") !=
               std::string::npos;
    }));
    const auto lines = Read(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Socket receive failed: Timed out");
    EXPECT_EQ(lines[1].level, " WARN");
    EXPECT_EQ(lines[1].line, lines[0].line);
}

}  // namespace
