// The facade's lifecycle, its messages and the arguments it reads from the process.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LogFile.h"
#include "TestSupport.h"
#include "kxlog/KXLog.h"
#include "kxlog/KXLogImpl.h"

namespace {

using KXLogImpl::Log;

std::string AddLogFile(const kxtest::ScopedTestHome& home) {
    const std::string path = home.Root() + "/facade.log";
    std::string error;
    EXPECT_TRUE(kxlog::AddFile(path, 9, error)) << error;
    kxlog::SetStderrVerbosity(kxlog::kOff);
    return path;
}

// (level, message) of every line, after checking that the facade wrote them.
std::vector<std::pair<std::string, std::string>> FacadeLines(const std::string& path) {
    kxlog::Flush();
    std::string bad;
    const auto lines = kxlogtest::ReadLog(path, bad);
    EXPECT_TRUE(bad.empty()) << bad;
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& line : lines) {
        EXPECT_EQ(line.file, "        kxlog/KXLogImpl") << line.message;
        result.emplace_back(line.level, line.message);
    }
    return result;
}

TEST(KXLogFacade, DisplayNameCarriesVersionAndRevision) {
    EXPECT_TRUE(
        kxlogtest::FullMatch(Log::DisplayName(), R"(KXLog \d+\.\d+\.\d+-([0-9a-f]{4,}|unknown))"))
        << Log::DisplayName();
    EXPECT_EQ(&Log::DisplayName(), &Log::DisplayName());
}

TEST(KXLogFacade, InitializeTerminateAndTheirSecondCalls) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);
    const std::string name = Log::DisplayName();
    Log& log = Log::Instance();
    EXPECT_EQ(&log, &Log::Instance());
    ASSERT_FALSE(log.IsInitialized());

    std::string error = "stale";
    ASSERT_TRUE(log.Initialize(error));
    EXPECT_EQ(error, "");
    EXPECT_TRUE(log.IsInitialized());
    EXPECT_EQ(kxlog::GetThreadName(), "main thread");
    char osName[16] = {};
    pthread_getname_np(pthread_self(), osName, sizeof(osName));
    EXPECT_STREQ(osName, "main thread");

    EXPECT_FALSE(log.Initialize(error));
    EXPECT_EQ(error, "The " + name + " has already been initialized!");
    EXPECT_TRUE(log.IsInitialized());

    ASSERT_TRUE(log.Terminate(error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(log.IsInitialized());

    EXPECT_FALSE(log.Terminate(error));
    EXPECT_EQ(error, "The " + name + " has already been terminated!");
    EXPECT_FALSE(log.IsInitialized());

    // The argument copy is rebuilt and the log keeps working after Terminate.
    ASSERT_TRUE(log.Initialize(error));
    EXPECT_EQ(error, "");
    EXPECT_TRUE(log.IsInitialized());

    const std::vector<std::pair<std::string, std::string>> expected = {
        {" INFO", "Initializing " + name + "..."},
        {" INFO", name + " has been initialized successfully!"},
        {"  ERR", "The " + name + " has already been initialized!"},
        {" INFO", "Terminating " + name + "..."},
        {" INFO", name + " has been terminated successfully!"},
        {" INFO", "Terminating " + name + "..."},
        {"  ERR", "The " + name + " has already been terminated!"},
        {" INFO", "Initializing " + name + "..."},
        {" INFO", name + " has been initialized successfully!"},
    };
    EXPECT_EQ(FacadeLines(path), expected);
}

TEST(KXLogFacade, TerminateBeforeInitializeFails) {
    kxtest::ScopedTestHome home;
    const std::string path = AddLogFile(home);
    const std::string name = Log::DisplayName();
    std::string error;
    EXPECT_FALSE(Log::Instance().Terminate(error));
    EXPECT_EQ(error, "The " + name + " has already been terminated!");
    EXPECT_FALSE(Log::Instance().IsInitialized());

    const std::vector<std::pair<std::string, std::string>> expected = {
        {" INFO", "Terminating " + name + "..."},
        {"  ERR", "The " + name + " has already been terminated!"},
    };
    EXPECT_EQ(FacadeLines(path), expected);
}

TEST(KXLogFacade, ConcurrentInitializeSucceedsOnce) {
    kxtest::ScopedTestHome home;
    AddLogFile(home);
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    std::vector<int> succeeded(kThreads, 0);
    std::vector<std::string> errors(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { succeeded[t] = Log::Instance().Initialize(errors[t]); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int successes = 0;
    for (int t = 0; t < kThreads; ++t) {
        successes += succeeded[t];
        if (!succeeded[t]) {
            EXPECT_EQ(errors[t], "The " + Log::DisplayName() + " has already been initialized!");
        }
    }
    EXPECT_EQ(successes, 1);
    std::string error;
    EXPECT_TRUE(Log::Instance().Terminate(error)) << error;
}

// The facade reads the real command line of its process; a child is started with it.
std::vector<std::string> RunProbe(const std::vector<std::string>& args) {
    kxtest::ChildProcess probe;
    EXPECT_TRUE(probe.Start(KXLOG_PROBE_PATH, args));
    const auto status = probe.Wait();
    EXPECT_TRUE(status.has_value());
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    return probe.AllLines();
}

TEST(KXLogFacade, InitializeTakesTheVerbosityFromTheCommandLine) {
    kxtest::ScopedTestHome home;
    const std::vector<std::string> defaults = {"verbosity 0", "thread main thread",
                                               "os-thread main thread"};
    EXPECT_EQ(
        RunProbe({"-v", "OFF"}),
        (std::vector<std::string>{"verbosity -9", "thread main thread", "os-thread main thread"}));
    EXPECT_EQ(RunProbe({"--tcp", "-v=WARNING"}).at(0), "verbosity -1");
    EXPECT_EQ(RunProbe({"-v3"}).at(0), "verbosity 3");
    EXPECT_EQ(
        RunProbe({"-v", "-9"}),
        (std::vector<std::string>{"verbosity -9", "thread main thread", "os-thread main thread"}));
    EXPECT_EQ(RunProbe({"-v", "OFF", "-v", "0"}), defaults);
}

}  // namespace
