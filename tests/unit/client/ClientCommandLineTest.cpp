#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "tests/kxfakeshm-connect-client/ClientCommandLine.h"

namespace {

using KXClient::TransportFlags;
using KXFakeShm::Tuning;

struct Parsed {
    bool ok = false;
    bool help = false;
    std::string error;
    TransportFlags flags;
    Tuning tuning;
};

Parsed Parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kxfakeshm-connect-client");
    std::vector<const char*> argv;
    for (const auto& a : arguments) {
        argv.push_back(a.c_str());
    }
    Parsed parsed;
    parsed.ok =
        KXClient::ParseClientCommandLine(static_cast<int>(argv.size()), argv.data(), parsed.flags,
                                         parsed.tuning, parsed.help, parsed.error);
    return parsed;
}

void ExpectDefaultTuning(const Tuning& t) {
    const Tuning d;
    EXPECT_EQ(t.Version, 1U);
    EXPECT_EQ(t.SocketReceiveNonBlocking, d.SocketReceiveNonBlocking);
    EXPECT_EQ(t.SocketReceiveTimeout, d.SocketReceiveTimeout);
    EXPECT_EQ(t.SocketSendNonBlocking, d.SocketSendNonBlocking);
    EXPECT_EQ(t.SocketSendTimeout, d.SocketSendTimeout);
    EXPECT_EQ(t.SocketReconnectTimeMin, d.SocketReconnectTimeMin);
    EXPECT_EQ(t.SocketReconnectTimeMax, d.SocketReconnectTimeMax);
    EXPECT_EQ(t.WorkerRetryInterval, d.WorkerRetryInterval);
    EXPECT_EQ(t.HeartbeatInterval, d.HeartbeatInterval);
    EXPECT_EQ(t.LivenessTimeout, d.LivenessTimeout);
    EXPECT_EQ(t.LatencySmoothingWindow, d.LatencySmoothingWindow);
    EXPECT_EQ(t.ThroughputSmoothingWindow, d.ThroughputSmoothingWindow);
    EXPECT_EQ(t.SharedMemHeartbeatBlockSize, d.SharedMemHeartbeatBlockSize);
    EXPECT_EQ(t.SharedMemLivenessTimeout, d.SharedMemLivenessTimeout);
}

TEST(ClientCommandLine, TransportSelection) {
    {
        const Parsed p = Parse({});
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_FALSE(p.flags.tcp);
        EXPECT_FALSE(p.flags.ipc);
        EXPECT_TRUE(p.flags.sharedmem);
        ExpectDefaultTuning(p.tuning);
    }
    {
        const Parsed p = Parse({"--tcp", "yes"});
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_TRUE(p.flags.tcp);
        EXPECT_FALSE(p.flags.ipc);
        EXPECT_FALSE(p.flags.sharedmem);
    }
    {
        const Parsed p = Parse({"--tcp", "no", "--ipc", "no"});
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_FALSE(p.flags.tcp);
        EXPECT_FALSE(p.flags.ipc);
        EXPECT_TRUE(p.flags.sharedmem);
    }
    {
        const Parsed p = Parse({"--ipc=yes", "--sharedmem", "yes"});
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_FALSE(p.flags.tcp);
        EXPECT_TRUE(p.flags.ipc);
        EXPECT_TRUE(p.flags.sharedmem);
    }
    {
        // The first value counts.
        const Parsed p = Parse({"--tcp", "yes", "--tcp", "no"});
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_TRUE(p.flags.tcp);
        EXPECT_FALSE(p.flags.sharedmem);
    }
}

TEST(ClientCommandLine, SyntaxVariantsAreEquivalentAndFlagsAndWordsAreIgnored) {
    const Parsed pair = Parse({"--tcp=yes"});
    const Parsed separate = Parse({"--tcp", "yes"});
    const Parsed singleDash = Parse({"-tcp", "yes"});
    for (const Parsed* p : {&pair, &separate, &singleDash}) {
        ASSERT_TRUE(p->ok) << p->error;
        EXPECT_TRUE(p->flags.tcp);
        EXPECT_FALSE(p->flags.sharedmem);
    }
    // --tcp followed by another option, or last, is a flag: ignored.
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--tcp", "--ipc", "yes"},
                                                                       {"--ipc", "yes", "--tcp"}}) {
        const Parsed p = Parse(arguments);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_FALSE(p.flags.tcp);
        EXPECT_TRUE(p.flags.ipc);
    }
    const Parsed words = Parse({"hello", "world", "--verbose"});
    ASSERT_TRUE(words.ok) << words.error;
    EXPECT_TRUE(words.flags.sharedmem);
    ExpectDefaultTuning(words.tuning);
}

TEST(ClientCommandLine, EveryTuningOptionSetsItsField) {
    // The ends of each value's range are taken.
    const Parsed p = Parse({"--socket-receive-nonblocking",
                            "no",
                            "--socket-receive-timeout-ms",
                            "-1",
                            "--socket-send-nonblocking",
                            "yes",
                            "--socket-send-timeout-ms",
                            "2147483647",
                            "--socket-reconnect-time-min-ms",
                            "0",
                            "--socket-reconnect-time-max-ms",
                            "2147483647",
                            "--worker-retry-interval-ms",
                            "86400000",
                            "--heartbeat-interval-ms",
                            "1",
                            "--liveness-timeout-ms",
                            "8640000",
                            "--latency-smoothing-window-ms",
                            "1",
                            "--throughput-smoothing-window-ms",
                            "86400000",
                            "--shared-mem-heartbeat-block-size",
                            "1073741824",
                            "--shared-mem-liveness-timeout-ms",
                            "256"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_FALSE(p.tuning.SocketReceiveNonBlocking);
    EXPECT_EQ(p.tuning.SocketReceiveTimeout, -1);
    EXPECT_TRUE(p.tuning.SocketSendNonBlocking);
    EXPECT_EQ(p.tuning.SocketSendTimeout, INT32_MAX);
    EXPECT_EQ(p.tuning.SocketReconnectTimeMin, 0);
    EXPECT_EQ(p.tuning.SocketReconnectTimeMax, INT32_MAX);
    EXPECT_EQ(p.tuning.WorkerRetryInterval, 86400000U);
    EXPECT_EQ(p.tuning.HeartbeatInterval, 1U);
    EXPECT_EQ(p.tuning.LivenessTimeout, 8640000U);
    EXPECT_EQ(p.tuning.LatencySmoothingWindow, 1U);
    EXPECT_EQ(p.tuning.ThroughputSmoothingWindow, 86400000U);
    EXPECT_EQ(p.tuning.SharedMemHeartbeatBlockSize, 1073741824U);
    EXPECT_EQ(p.tuning.SharedMemLivenessTimeout, 256U);
    EXPECT_EQ(p.tuning.Version, 1U);
}

TEST(ClientCommandLine, BadValuesGiveTheOptionsMessage) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--tcp", "Yes"}, "Invalid value for --tcp: 'Yes'; please specify either 'yes' or 'no'!"},
        {{"--ipc", "1"}, "Invalid value for --ipc: '1'; please specify either 'yes' or 'no'!"},
        {{"--sharedmem", "true"},
         "Invalid value for --sharedmem: 'true'; please specify either 'yes' or 'no'!"},
        {{"--socket-receive-nonblocking", "NO"},
         "Invalid value for --socket-receive-nonblocking: 'NO'; please specify either 'yes' or "
         "'no'!"},
        {{"--socket-receive-timeout-ms", "+1"},
         "Invalid value for --socket-receive-timeout-ms: '+1'; please specify a valid int32 "
         "value!"},
        {{"--socket-send-nonblocking", "y"},
         "Invalid value for --socket-send-nonblocking: 'y'; please specify a valid 'yes' or "
         "'no'!"},
        {{"--socket-send-timeout-ms", "2147483648"},
         "Invalid value for --socket-send-timeout-ms: '2147483648'; please specify a valid int32 "
         "value!"},
        {{"--socket-reconnect-time-min-ms", "-2147483649"},
         "Invalid value for --socket-reconnect-time-min-ms: '-2147483649'; please specify a valid "
         "int32 value!"},
        {{"--socket-reconnect-time-max-ms", "1.5"},
         "Invalid value for --socket-reconnect-time-max-ms: '1.5'; please specify a valid int32 "
         "value!"},
        {{"--worker-retry-interval-ms", "-1"},
         "Invalid value for --worker-retry-interval-ms: '-1'; please specify a valid uint64 "
         "value!"},
        {{"--heartbeat-interval-ms", "10ms"},
         "Invalid value for --heartbeat-interval-ms: '10ms'; please specify a valid uint64 "
         "value!"},
        {{"--heartbeat-interval-ms", "+10"},
         "Invalid value for --heartbeat-interval-ms: '+10'; please specify a valid uint64 "
         "value!"},
        {{"--heartbeat-interval-ms="},
         "Invalid value for --heartbeat-interval-ms: ''; please specify a valid uint64 value!"},
        {{"--heartbeat-interval-ms", "18446744073709551616"},
         "Invalid value for --heartbeat-interval-ms: '18446744073709551616'; please specify a "
         "valid uint64 value!"},
        {{"--liveness-timeout-ms", "-5"},
         "Invalid value for --liveness-timeout-ms: '-5'; please specify a valid uint64 value!"},
        {{"--latency-smoothing-window-ms", " 1"},
         "Invalid value for --latency-smoothing-window-ms: ' 1'; please specify a valid uint64 "
         "value!"},
        {{"--throughput-smoothing-window-ms", "1e3"},
         "Invalid value for --throughput-smoothing-window-ms: '1e3'; please specify a valid "
         "uint64 value!"},
        {{"--shared-mem-heartbeat-block-size", "4294967296"},
         "Invalid value for --shared-mem-heartbeat-block-size: '4294967296'; please specify a "
         "valid uint32 value!"},
        {{"--shared-mem-liveness-timeout-ms", "0x10"},
         "Invalid value for --shared-mem-liveness-timeout-ms: '0x10'; please specify a valid "
         "uint64 value!"},
        // Out of range: the same message as a value that does not parse.
        {{"--socket-receive-timeout-ms", "-2"},
         "Invalid value for --socket-receive-timeout-ms: '-2'; please specify a valid int32 "
         "value!"},
        {{"--liveness-timeout-ms", "1844674407371"},
         "Invalid value for --liveness-timeout-ms: '1844674407371'; please specify a valid "
         "uint64 value!"},
        {{"--heartbeat-interval-ms", "0"},
         "Invalid value for --heartbeat-interval-ms: '0'; please specify a valid uint64 value!"},
        {{"--shared-mem-heartbeat-block-size", "255"},
         "Invalid value for --shared-mem-heartbeat-block-size: '255'; please specify a valid "
         "uint32 value!"},
        {{"--foo", "1"}, "Invalid or unknown command-line argument: 'foo'"},
        {{"-h", "1"}, "Invalid or unknown command-line argument: 'h'"},
        {{"--Tcp=yes"}, "Invalid or unknown command-line argument: 'Tcp'"},
    };
    for (const auto& [arguments, message] : cases) {
        const Parsed p = Parse(arguments);
        EXPECT_FALSE(p.ok) << message;
        EXPECT_FALSE(p.help);
        EXPECT_EQ(p.error, message);
    }
}

TEST(ClientCommandLine, HelpWinsAndTheFirstKeyInOrderIsReported) {
    for (const char* help : {"--help", "-h"}) {
        const Parsed p = Parse({"--foo", "1", "--tcp", "maybe", help});
        EXPECT_TRUE(p.ok) << help;
        EXPECT_TRUE(p.help) << help;
        EXPECT_EQ(p.error, "");
    }
    const Parsed two = Parse({"--tcp", "maybe", "--ipc", "perhaps"});
    EXPECT_FALSE(two.ok);
    EXPECT_EQ(two.error,
              "Invalid value for --ipc: 'perhaps'; please specify either 'yes' or 'no'!");
    const Parsed unknownFirst = Parse({"--zebra", "1", "--heartbeat-interval-ms", "x", "--abc=1"});
    EXPECT_FALSE(unknownFirst.ok);
    EXPECT_EQ(unknownFirst.error, "Invalid or unknown command-line argument: 'abc'");
}

// The usage text, line by line, as users know it.
const char* const kUsageText =
    "\n"
    "    Usage:\n"
    "      kxfakeshm-connect-client [options]\n"
    "\n"
    "    Options:\n"
    "      --help or -h\n"
    "\n"
    "      --tcp <yes|no>\n"
    "      --ipc <yes|no>\n"
    "      --sharedmem <yes|no>\n"
    "\n"
    "      --socket-receive-nonblocking <yes|no>\n"
    "      --socket-receive-timeout-ms <int32>\n"
    "\n"
    "      --socket-send-nonblocking <yes|no>\n"
    "      --socket-send-timeout-ms <int32>\n"
    "\n"
    "      --socket-reconnect-time-min-ms <int32>\n"
    "      --socket-reconnect-time-max-ms <int32>\n"
    "\n"
    "      --worker-retry-interval-ms <uint64>\n"
    "\n"
    "      --heartbeat-interval-ms <uint64>\n"
    "\n"
    "      --liveness-timeout-ms <uint64>\n"
    "\n"
    "      --latency-smoothing-window-ms <uint64>\n"
    "      --throughput-smoothing-window-ms <uint64>\n"
    "\n"
    "      --shared-mem-heartbeat-block-size <uint32>\n"
    "      --shared-mem-liveness-timeout-ms <uint64>\n"
    "\n";

struct RunResult {
    int exitCode = -1;
    std::string stdoutText;
};

RunResult RunClient(const std::vector<std::string>& arguments) {
    kxtest::ChildProcess child;
    RunResult result;
    if (!child.Start(kxtest::ProgramPath("kxfakeshm-connect-client"), arguments)) {
        ADD_FAILURE() << "cannot start the client";
        return result;
    }
    const auto status = child.Wait(std::chrono::seconds(60));
    if (!status) {
        ADD_FAILURE() << "the client did not exit";
        return result;
    }
    EXPECT_TRUE(WIFEXITED(*status)) << "status " << *status;
    result.exitCode = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    for (const auto& line : child.AllLines()) {
        result.stdoutText += line + "\n";
    }
    return result;
}

TEST(ClientProgram, HelpPrintsTheUsageAndExitsWithZero) {
    kxtest::ScopedTestHome home;
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--foo", "1", "--help"}, {"---help", "--tcp", "maybe"}}) {
        const RunResult run = RunClient(arguments);
        EXPECT_EQ(run.exitCode, 0) << arguments.front();
        EXPECT_EQ(run.stdoutText, kUsageText) << arguments.front();
    }
    EXPECT_EQ(KXClient::UsageText() + "\n", kUsageText);
}

TEST(ClientProgram, BadParametersPrintTheUsageAndExitWithOne) {
    kxtest::ScopedTestHome home;
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--foo", "1"},
                                               {"--heartbeat-interval-ms", "10ms"},
                                               {"--shared-mem-heartbeat-block-size", "4294967296"},
                                               {"--tcp", "YES"}}) {
        const RunResult run = RunClient(arguments);
        EXPECT_EQ(run.exitCode, 1) << arguments.front();
        EXPECT_EQ(run.stdoutText, kUsageText) << arguments.front();
    }
    // The failure is in the log file, exactly as reported.
    const std::string log = kxtest::ReadFile(home.DataDir() + "/kxfakeshm-connect-client.log");
    EXPECT_NE(log.find("Invalid or unknown command-line argument: 'foo'"), std::string::npos);
    EXPECT_NE(log.find("Invalid value for --heartbeat-interval-ms: '10ms'; please specify a valid "
                       "uint64 value!"),
              std::string::npos);
}

// Standard output here is a pipe: the dashboard refuses to start, before the
// library comes up, instead of drawing into it.
TEST(ClientProgram, WithoutATerminalItExitsWithOneAndStartsNothing) {
    kxtest::ScopedTestHome home;
    const RunResult run = RunClient({"--tcp", "yes"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.stdoutText, "");
    const std::string log = kxtest::ReadFile(home.DataDir() + "/kxfakeshm-connect-client.log");
    EXPECT_NE(log.find("kxfakeshm-connect-client needs an interactive terminal (use "
                       "kxfakeshm-core-peer for a headless peer)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Attempting FakeSharedMem initialization..."), std::string::npos) << log;
}

}  // namespace
