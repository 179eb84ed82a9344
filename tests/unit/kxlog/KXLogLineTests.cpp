// Lines as they reach a file: the preamble, the cut-offs, flushing, FATAL and
// thread names.

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LogFile.h"
#include "TestSupport.h"
#include "kxlog/KXLog.h"

namespace {

using kxlogtest::LogLine;
using kxlogtest::Padded;

// This file's path as the log shows it: the last 23 characters of
// "tests/unit/kxlog/KXLogLineTests".
constexpr const char* kThisFile = "it/kxlog/KXLogLineTests";

std::atomic<int> g_formatCalls{0};

// Formatting it has a visible side effect, so a test can tell whether a line was formatted.
struct Counted {};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
    template <typename Context>
    auto format(const Counted&, Context& ctx) const {
        g_formatCalls.fetch_add(1);
        return fmt::formatter<std::string_view>::format("counted", ctx);
    }
};

namespace {

std::string AddLogFile(const kxtest::ScopedTestHome& home, int verbosity,
                       const std::string& name = "test.log") {
    const std::string path = home.Root() + "/" + name;
    std::string error;
    EXPECT_TRUE(kxlog::AddFile(path, verbosity, error)) << error;
    EXPECT_TRUE(error.empty());
    return path;
}

std::vector<LogLine> FlushAndRead(const std::string& path) {
    kxlog::Flush();
    std::string bad;
    auto lines = kxlogtest::ReadLog(path, bad);
    EXPECT_TRUE(bad.empty()) << "line without the preamble: " << bad;
    return lines;
}

TEST(KXLogLine, PreambleCarriesTimeThreadSourceLineAndLevel) {
    kxtest::ScopedTestHome home;
    // A zone far from UTC with a non-hour offset shows whether the time is local.
    setenv("TZ", "KXT-05:45", 1);
    tzset();
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = AddLogFile(home, 9);
    kxlog::SetThreadName("preamble tester");

    KXLOG_ERROR("an error {}", 1);
    const unsigned errorLine = __LINE__ - 1;
    KXLOG_WARNING("a warning {}", 2);
    const unsigned warningLine = __LINE__ - 1;
    KXLOG_INFO("an info {}", "three");
    const unsigned infoLine = __LINE__ - 1;
    KXLOG(5, "detail {:d}", 5);
    const unsigned detailLine = __LINE__ - 1;
    KXLOG(9, "most detail");
    const unsigned maxLine = __LINE__ - 1;
    const std::time_t loggedAt = std::time(nullptr);

    const auto lines = FlushAndRead(path);
    ASSERT_EQ(lines.size(), 5u);
    const struct {
        unsigned line;
        const char* level;
        const char* message;
    } expected[] = {
        {errorLine, "  ERR", "an error 1"},   {warningLine, " WARN", "a warning 2"},
        {infoLine, " INFO", "an info three"}, {detailLine, "    5", "detail 5"},
        {maxLine, "    9", "most detail"},
    };
    double previousUptime = 0.0;
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        const LogLine& line = lines[i];
        EXPECT_EQ(line.thread, "preamble tester ");
        EXPECT_EQ(line.file, kThisFile);
        EXPECT_EQ(line.line, Padded(std::to_string(expected[i].line), 5, false));
        EXPECT_EQ(line.level, expected[i].level);
        EXPECT_EQ(line.message, expected[i].message);

        std::tm tm{};
        ASSERT_EQ(
            std::sscanf((line.date + " " + line.time).c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year,
                        &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec),
            6);
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_isdst = -1;
        EXPECT_LE(std::abs(static_cast<long>(std::mktime(&tm) - loggedAt)), 60L)
            << line.date << " " << line.time;

        const double uptime = std::stod(line.uptime);
        EXPECT_GE(uptime, previousUptime);
        EXPECT_LT(uptime, 600.0);
        previousUptime = uptime;
    }
}

TEST(KXLogLine, ShortSourcePathIsRightAlignedAndLongOneKeepsItsEnd) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = AddLogFile(home, 9);
    kxlog::SetThreadName("paths");

    static kxlog::CallSite shortSite{"kxlog/Short", 42};
    static kxlog::CallSite longSite{"a/very/deep/source/tree/component/Module", 123456};
    kxlog::Write(kxlog::kInfo, shortSite, "short");
    kxlog::Write(kxlog::kInfo, longSite, "long");

    kxlog::Flush();
    const auto raw = kxlogtest::ReadLines(path);
    ASSERT_EQ(raw.size(), 2u);
    const auto shortLine = kxlogtest::ParseLine(raw[0]);
    ASSERT_TRUE(shortLine.has_value()) << raw[0];
    EXPECT_EQ(shortLine->file, "            kxlog/Short");
    EXPECT_EQ(shortLine->line, "42   ");
    EXPECT_EQ(shortLine->message, "short");
    // A line number wider than its column pushes the level along instead of losing digits.
    EXPECT_NE(raw[1].find("] e/tree/component/Module:123456  INFO| long"), std::string::npos)
        << raw[1];
}

TEST(KXLogLine, SourcePathDropsOnlyTheExtension) {
    static_assert(kxlog::SourcePath("kxfakeshm/FakeSharedMem.cpp") == "kxfakeshm/FakeSharedMem");
    static_assert(kxlog::SourcePath("tests/kxfakeshm-connect-client.cpp") ==
                  "tests/kxfakeshm-connect-client");
    static_assert(kxlog::SourcePath("dir.d/File") == "dir.d/File");
    static_assert(kxlog::SourcePath("Plain") == "Plain");
    EXPECT_EQ(kxlog::SourcePath(__FILE__), "tests/unit/kxlog/KXLogLineTests");
}

TEST(KXLogCutoff, LinesAboveTheCutoffAreNotFormatted) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = AddLogFile(home, 3);
    EXPECT_EQ(kxlog::CurrentCutoff(), 3);

    g_formatCalls = 0;
    KXLOG(4, "four {}", Counted{});
    KXLOG(9, "nine {}", Counted{});
    EXPECT_EQ(g_formatCalls.load(), 0);
    KXLOG(3, "three {}", Counted{});
    EXPECT_EQ(g_formatCalls.load(), 1);

    // The cut-off is the largest of the sinks': a line for stderr only is formatted
    // once and reaches stderr, not the file.
    testing::internal::CaptureStderr();
    kxlog::SetStderrVerbosity(5);
    EXPECT_EQ(kxlog::GetStderrVerbosity(), 5);
    EXPECT_EQ(kxlog::CurrentCutoff(), 5);
    KXLOG(5, "five {}", Counted{});
    kxlog::SetStderrVerbosity(kxlog::kOff);
    kxlog::Flush();
    const std::string stderrText = testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_formatCalls.load(), 2);
    EXPECT_NE(stderrText.find("    5| five counted"), std::string::npos) << stderrText;
    EXPECT_EQ(kxlog::CurrentCutoff(), 3);

    // Adding the same file again changes its cut-off instead of writing lines twice;
    // with every sink off nothing is formatted.
    std::string error;
    ASSERT_TRUE(kxlog::AddFile(path, kxlog::kOff, error)) << error;
    EXPECT_EQ(kxlog::CurrentCutoff(), kxlog::kOff);
    KXLOG_ERROR("error {}", Counted{});
    EXPECT_EQ(g_formatCalls.load(), 2);

    const auto lines = FlushAndRead(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "three counted");
}

TEST(KXLogCutoff, StderrOffStillFeedsAFileAtNine) {
    kxtest::ScopedTestHome home;
    EXPECT_EQ(kxlog::GetStderrVerbosity(), kxlog::kInfo);
    EXPECT_EQ(kxlog::CurrentCutoff(), kxlog::kInfo);
    const std::string path = AddLogFile(home, 9);
    EXPECT_EQ(kxlog::CurrentCutoff(), 9);

    testing::internal::CaptureStderr();
    kxlog::SetStderrVerbosity(kxlog::kOff);
    EXPECT_EQ(kxlog::GetStderrVerbosity(), kxlog::kOff);
    KXLOG_INFO("dashboard running");
    KXLOG(9, "detail while the dashboard runs");
    KXLOG_ERROR("an error while the dashboard runs");
    kxlog::Flush();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    const auto lines = FlushAndRead(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message, "dashboard running");
    EXPECT_EQ(lines[1].message, "detail while the dashboard runs");
    EXPECT_EQ(lines[2].message, "an error while the dashboard runs");
}

TEST(KXLogCutoff, VerbositiesAreClampedToOffAndNine) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(42);
    EXPECT_EQ(kxlog::GetStderrVerbosity(), 9);
    kxlog::SetStderrVerbosity(-42);
    EXPECT_EQ(kxlog::GetStderrVerbosity(), kxlog::kOff);
    EXPECT_EQ(kxlog::CurrentCutoff(), kxlog::kOff);
}

TEST(KXLogFile, AFileThatCannotBeOpenedIsReported) {
    kxtest::ScopedTestHome home;
    const std::string blocker = home.Root() + "/not-a-directory";
    ASSERT_TRUE(kxtest::WriteFile(blocker, "x"));
    std::string error = "stale";
    EXPECT_FALSE(kxlog::AddFile(blocker + "/test.log", 9, error));
    EXPECT_NE(error.find(blocker + "/test.log"), std::string::npos) << error;
    EXPECT_EQ(kxlog::CurrentCutoff(), kxlog::kInfo);
}

TEST(KXLogFile, AppendsToAnExistingFile) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = home.Root() + "/test.log";
    ASSERT_TRUE(kxtest::WriteFile(path, "earlier run\n"));
    AddLogFile(home, 9);
    KXLOG_INFO("this run");
    kxlog::Flush();
    const auto lines = kxlogtest::ReadLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier run");
    EXPECT_NE(lines[1].find("| this run"), std::string::npos);
}

TEST(KXLogFile, LinesReachTheFileWithoutAnExplicitFlush) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = AddLogFile(home, 9);
    KXLOG_INFO("flushed by the background flusher");
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return kxtest::ReadFile(path).find("flushed by the background flusher\n") !=
               std::string::npos;
    }));
}

TEST(KXLogFile, ErrorLinesAreInTheFileWhenTheProcessDiesAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kxtest::ScopedTestHome home;
    setenv("KXLOG_TEST_ABRUPT_LOG", (home.Root() + "/abrupt.log").c_str(), 0);
    const std::string path = std::getenv("KXLOG_TEST_ABRUPT_LOG");

    EXPECT_EXIT(
        {
            if (path.rfind(home.Root(), 0) != 0) {
                std::filesystem::remove_all(home.Root());
            }
            kxlog::SetStderrVerbosity(kxlog::kOff);
            std::string error;
            kxlog::AddFile(path, 9, error);
            KXLOG_INFO("written before the error");
            KXLOG_ERROR("the reason for what follows");
            // No flusher turn and no exit handlers: what is not in the file is lost.
            _exit(3);
        },
        ::testing::ExitedWithCode(3), "");
    // Only the child reads it; a later run of this test in this process has another home.
    unsetenv("KXLOG_TEST_ABRUPT_LOG");

    std::string bad;
    const auto lines = kxlogtest::ReadLog(path, bad);
    EXPECT_TRUE(bad.empty()) << bad;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "written before the error");
    EXPECT_EQ(lines[1].message, "the reason for what follows");
}

TEST(KXLogFatal, FatalLineIsWrittenFlushedAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kxtest::ScopedTestHome home;
    // The death test child runs this test again with a home of its own; it finds the
    // parent's file name in the environment it inherited.
    setenv("KXLOG_TEST_FATAL_LOG", (home.Root() + "/fatal.log").c_str(), 0);
    const std::string path = std::getenv("KXLOG_TEST_FATAL_LOG");

    EXPECT_DEATH(
        {
            // Runs in the child only, whose home would outlive the abort.
            if (path.rfind(home.Root(), 0) != 0) {
                std::filesystem::remove_all(home.Root());
            }
            kxlog::SetStderrVerbosity(kxlog::kOff);
            std::string error;
            kxlog::AddFile(path, 9, error);
            kxlog::SetThreadName("doomed");
            KXLOG_INFO("still buffered before the fatal line");
            for (int i = 0; i < 3; ++i) {
                KXLOG_ERROR("repeated before the fatal line");
            }
            KXLOG_FATAL("fatal {} reached", 42);
            KXLOG_INFO("never written");
        },
        "");
    unsetenv("KXLOG_TEST_FATAL_LOG");

    std::string bad;
    const auto lines = kxlogtest::ReadLog(path, bad);
    EXPECT_TRUE(bad.empty()) << bad;
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].message, "still buffered before the fatal line");
    EXPECT_EQ(lines[1].message, "repeated before the fatal line");
    EXPECT_EQ(lines[2].message, "last message repeated 2 times");
    EXPECT_EQ(lines[2].level, "  ERR");
    EXPECT_EQ(lines[3].message, "fatal 42 reached");
    EXPECT_EQ(lines[3].level, " FATL");
    EXPECT_EQ(lines[3].thread, "doomed          ");
    EXPECT_EQ(lines[3].file, kThisFile);
}

TEST(KXLogFatal, FatalAbortsEvenWithEverySinkOff) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kxtest::ScopedTestHome home;
    EXPECT_DEATH(
        {
            // Runs in the child only, whose home would outlive the abort.
            std::filesystem::remove_all(home.Root());
            kxlog::SetStderrVerbosity(kxlog::kOff);
            KXLOG_FATAL("fatal with every sink off");
        },
        "FATL. fatal with every sink off");
}

TEST(KXLogThread, NamesAreKeptToSixteenAndTheOsNameToFifteen) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = AddLogFile(home, 9);

    std::string logName;
    std::string osName;
    std::thread worker([&] {
        kxlog::SetThreadName("SharedMemWorkerSupervise");
        logName = kxlog::GetThreadName();
        char name[64] = {};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        osName = name;
        KXLOG_INFO("from the long-named thread");
        kxlog::SetThreadName("IpcWorker");
        KXLOG_INFO("renamed");
    });
    worker.join();
    EXPECT_EQ(logName, "SharedMemWorkerS");
    EXPECT_EQ(osName, "SharedMemWorker");

    const auto lines = FlushAndRead(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].thread, "SharedMemWorkerS");
    EXPECT_EQ(lines[1].thread, "IpcWorker       ");
}

TEST(KXLogThread, UnnamedThreadShowsItsThreadId) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = AddLogFile(home, 9);

    pid_t tid = 0;
    std::string shown;
    std::thread worker([&] {
        tid = gettid();
        shown = kxlog::GetThreadName();
        KXLOG_INFO("from an unnamed thread");
    });
    worker.join();
    EXPECT_EQ(shown, std::to_string(tid));

    const auto lines = FlushAndRead(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].thread, Padded(std::to_string(tid), 16, false));
}

TEST(KXLogThread, ConcurrentLinesStayWholeAndInOrderPerThread) {
    kxtest::ScopedTestHome home;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string path = AddLogFile(home, 9);

    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            kxlog::SetThreadName(fmt::format("writer {}", t));
            for (int n = 0; n < kLines; ++n) {
                KXLOG(n % 3, "writer {} line {} {}", t, n, std::string(n % 200, 'x'));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto lines = FlushAndRead(path);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(line.message.c_str(), "writer %d line %d", &t, &n), 2)
            << line.message;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(line.thread, Padded(fmt::format("writer {}", t), 16, false));
        EXPECT_EQ(n, next[t]);
        next[t] = n + 1;
        EXPECT_EQ(line.message,
                  fmt::format("writer {} line {} {}", t, n, std::string(n % 200, 'x')));
    }
}

}  // namespace
