// Runs kxfakeshm-bench on one transport, one size and 1 s, and checks that what it
// prints is well formed and that every figure it measured is non-zero; and that
// each peer of a measurement counts a link that went dead for about one liveness
// window.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <regex>
#include <sstream>

#include "TestSupport.h"
#include "kxconnectshm/SharedMem.h"

namespace {

const char* const kFixedNames[] = {"KXFakeShmHeartbeat", "TestBlock"};

void RemoveFixedSegments() {
    for (const char* name : kFixedNames) {
        std::string ignored;
        KXConnectShm::SharedMem::Dispose(name, ignored);
    }
}

std::vector<std::string> Cells(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream in(row.substr(1));
    std::string cell;
    while (std::getline(in, cell, '|')) {
        const auto b = cell.find_first_not_of(' ');
        const auto e = cell.find_last_not_of(' ');
        cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
    }
    return cells;
}

double Number(const std::string& text) {
    try {
        size_t used = 0;
        const double value = std::stod(text, &used);
        return used == text.size() ? value : -1;
    } catch (...) {
        return -1;
    }
}

// The markdown tables of the output: each a header, a separator and its rows.
std::vector<std::vector<std::vector<std::string>>> Tables(const std::vector<std::string>& lines) {
    std::vector<std::vector<std::vector<std::string>>> tables;
    bool inTable = false;
    for (const std::string& line : lines) {
        if (line.empty() || line.front() != '|') {
            inTable = false;
            continue;
        }
        if (!inTable) {
            tables.emplace_back();
            inTable = true;
        }
        tables.back().push_back(Cells(line));
    }
    return tables;
}

class BenchTest : public ::testing::Test {
  protected:
    void SetUp() override { RemoveFixedSegments(); }
    void TearDown() override { RemoveFixedSegments(); }

    // The bench's standard output, after it exited with status 0.
    std::vector<std::string> RunBench(const std::vector<std::string>& args) {
        kxtest::ChildProcess bench;
        EXPECT_TRUE(bench.Start(kxtest::ProgramPath("kxfakeshm-bench"), args));
        const auto status = bench.Wait(std::chrono::seconds(170));
        EXPECT_TRUE(status.has_value()) << "the bench did not finish";
        if (status) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        }
        return bench.AllLines();
    }

    kxtest::ScopedTestHome home;
};

TEST_F(BenchTest, MarkdownTablesAreWellFormedAndEveryMeasuredFigureIsNonZero) {
    const auto lines = RunBench({"--transports", "tcp", "--sizes", "1KB", "--seconds", "1",
                                 "--idle-seconds", "1", "--rounds", "2"});
    std::string all;
    for (const auto& l : lines) {
        all += l + "\n";
    }
    const auto tables = Tables(lines);
    ASSERT_EQ(tables.size(), 2u) << all;

    // Streaming: header, separator, one row; every figure a positive number.
    const auto& flow = tables[0];
    ASSERT_EQ(flow.size(), 3u) << all;
    const std::vector<std::string> header{"transport",
                                          "size",
                                          "MB/s",
                                          "msg/s",
                                          "p50 µs",
                                          "p99 µs",
                                          "raw MB/s",
                                          "raw msg/s",
                                          "raw p50 µs",
                                          "raw p99 µs",
                                          "× raw",
                                          "× raw, rounds",
                                          "memcpy MB/s",
                                          "Connect drops",
                                          "Core drops",
                                          "Connect CPU ms/MB",
                                          "Core CPU ms/MB",
                                          "raw send CPU ms/MB",
                                          "raw recv CPU ms/MB"};
    EXPECT_EQ(flow[0], header);
    ASSERT_EQ(flow[1].size(), header.size());
    for (const auto& cell : flow[1]) {
        EXPECT_TRUE(std::regex_match(cell, std::regex("-+:?"))) << cell;
    }
    const auto& row = flow[2];
    ASSERT_EQ(row.size(), header.size()) << all;
    EXPECT_EQ(row[0], "tcp");
    EXPECT_EQ(row[1], "1 KB");
    for (size_t i = 2; i < row.size(); ++i) {
        if (header[i] == "× raw, rounds") {
            // Both rounds; the row's figures are the lower one's (the median of two).
            std::smatch m;
            ASSERT_TRUE(std::regex_match(row[i], m, std::regex("([0-9.]+) / ([0-9.]+)")))
                << row[i] << "\n"
                << all;
            EXPECT_EQ(Number(row[i - 1]), std::min(Number(m[1]), Number(m[2]))) << all;
        } else if (header[i].find("drops") != std::string::npos) {
            // A count, 0 on a steady link: its form, never its value.
            EXPECT_TRUE(std::regex_match(row[i], std::regex("[0-9]+")))
                << header[i] << ": '" << row[i] << "'\n"
                << all;
        } else {
            EXPECT_GT(Number(row[i]), 0.0) << header[i] << ": '" << row[i] << "'\n" << all;
        }
    }

    // Idle: the default and the low-CPU tuning, CPU of both peers and latency.
    const auto& idle = tables[1];
    ASSERT_EQ(idle.size(), 4u) << all;
    ASSERT_EQ(idle[0].size(), 8u);
    EXPECT_EQ(idle[2][1], "default");
    EXPECT_EQ(idle[3][1], "low-CPU");
    for (size_t r = 2; r < 4; ++r) {
        ASSERT_EQ(idle[r].size(), 8u) << all;
        EXPECT_EQ(idle[r][0], "tcp");
        for (size_t i = 2; i < 8; ++i) {
            EXPECT_GE(Number(idle[r][i]), 0.0) << idle[0][i] << ": '" << idle[r][i] << "'";
        }
        for (size_t i : {4, 5, 6, 7}) {
            EXPECT_GT(Number(idle[r][i]), 0.0) << idle[0][i] << ": '" << idle[r][i] << "'";
        }
    }
    EXPECT_NE(all.find("2 rounds per cell, the median round shown"), std::string::npos) << all;
    EXPECT_NE(all.find("Targets (this run):"), std::string::npos);
    EXPECT_EQ(all.find("Not measured"), std::string::npos) << all;
}

uint64_t JsonNumber(const std::string& text, const std::string& key, size_t from = 0) {
    const std::regex re("\"" + key + "\":([0-9.]+)");
    std::smatch m;
    const std::string rest = text.substr(from);
    if (!std::regex_search(rest, m, re)) {
        return 0;
    }
    return static_cast<uint64_t>(std::stod(m[1]) * 1000);  // milli-units: 0.5 is non-zero
}

TEST_F(BenchTest, JsonOutputCarriesEveryFigureAndTheStoreSegmentsAreGoneAfterwards) {
    const auto lines = RunBench({"--transports", "sharedmem", "--sizes", "1MB", "--seconds", "1",
                                 "--idle-seconds", "1", "--json"});
    ASSERT_EQ(lines.size(), 1u) << "one JSON document on one line";
    const std::string& json = lines[0];
    EXPECT_TRUE(std::regex_match(json, std::regex("\\{.*\\}"))) << json;
    for (const char* key :
         {"\"date\":", "\"machine\":", "\"cells\":[", "\"idle\":[", "\"targets\":["}) {
        EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;
    }
    EXPECT_NE(json.find("\"transport\":\"sharedmem\",\"tuning\":\"default\",\"size\":1048576"),
              std::string::npos);
    const size_t transportFlow = json.find("\"transport_flow\":");
    const size_t rawFlow = json.find("\"raw_flow\":");
    ASSERT_NE(transportFlow, std::string::npos);
    ASSERT_NE(rawFlow, std::string::npos);
    for (size_t at : {transportFlow, rawFlow}) {
        EXPECT_NE(json.substr(at, 30).find("\"ok\":true"), std::string::npos) << json;
        for (const char* key : {"seconds", "messages", "bytes", "mb_per_s", "messages_per_s"}) {
            EXPECT_GT(JsonNumber(json, key, at), 0u) << key << " in " << json.substr(at);
        }
    }
    // Each process's CPU while streaming; the library peers' alive->dead counts.
    ASSERT_LT(transportFlow, rawFlow);
    const std::string peers = json.substr(transportFlow, rawFlow - transportFlow);
    const std::string raw = json.substr(rawFlow, json.find("\"ratio\":", rawFlow) - rawFlow);
    const std::string cpu = "\":\\{\"cpu_ns\":[1-9][0-9]*,\"cpu_ms_per_mb\":[0-9.]+";
    for (const char* peer : {"connect", "core"}) {
        EXPECT_TRUE(
            std::regex_search(peers, std::regex("\"processes\":\\{.*\"" + std::string(peer) + cpu +
                                                ",\"alive_drops\":[0-9]+\\}")))
            << peer << " in " << peers;
    }
    EXPECT_TRUE(std::regex_search(raw, std::regex("\"processes\":\\{\"writer" + cpu + "\\}\\}")))
        << raw;
    // SharedMem latency is the age of the peer's heartbeat, sampled by the Core peer.
    // Its samples restart when the link comes back, so a Core peer that saw the
    // link drop (a loaded machine can hold a heartbeat past the window) may end
    // the stream with none yet.
    std::smatch coreDrops;
    ASSERT_TRUE(std::regex_search(peers, coreDrops,
                                  std::regex("\"core\":\\{[^}]*\"alive_drops\":([0-9]+)")))
        << peers;
    if (coreDrops[1] == "0") {
        EXPECT_GT(JsonNumber(json, "latency_p50_ns", transportFlow), 0u) << json;
    }
    EXPECT_GT(JsonNumber(json, "ratio"), 0u);
    EXPECT_TRUE(
        std::regex_search(json, std::regex("\"rounds\":1,.*\"round_ratios\":\\[[0-9.]+\\]")))
        << json;
    EXPECT_GT(JsonNumber(json, "memcpy_mb_per_s"), 0u);
    const size_t idle = json.find("\"idle\":[");
    for (const char* tuning :
         {"\"tuning\":\"default\",\"ok\":true", "\"tuning\":\"low-CPU\",\"ok\":true"}) {
        const size_t at = json.find(tuning, idle);
        ASSERT_NE(at, std::string::npos) << tuning << " in " << json;
        EXPECT_GT(JsonNumber(json, "connect_cpu_ns", at), 0u);
        EXPECT_GT(JsonNumber(json, "core_cpu_ns", at), 0u);
    }
    for (const char* name : kFixedNames) {
        EXPECT_FALSE(kxtest::FileExists(std::string("/dev/shm/") + name)) << name;
    }
}

// The newest report of one helper process: its link's liveness and, with
// --alive-poll-ms, its alive->dead count.
struct PeerWatch {
    kxtest::ChildProcess process;
    bool alive = false;
    uint64_t drops = 0;
    bool hasDrops = false;

    void Pump() {
        static const std::regex aliveRe("\"alive\":(true|false)");
        static const std::regex dropsRe("\"alive_drops\":([0-9]+)");
        for (const std::string& line : process.ReadLines()) {
            std::smatch m;
            if (line.find("\"transport\":\"tcp\"") == std::string::npos ||
                !std::regex_search(line, m, aliveRe)) {
                continue;
            }
            alive = m[1] == "true";
            if (std::regex_search(line, m, dropsRe)) {
                drops = std::stoull(m[1]);
                hasDrops = true;
            }
        }
    }
};

TEST_F(BenchTest, EachPeerCountsALinkThatWentDeadForAboutOneLivenessWindow) {
    // The blocking receive keeps both peers off the cores in every build.
    const std::vector<std::string> tuning{"--socket-receive-nonblocking", "no", "--alive-poll-ms",
                                          "1"};
    PeerWatch connect;
    PeerWatch core;
    std::vector<std::string> connectArgs{"--role", "connect", "--transport", "tcp",
                                         "--mode", "idle",    "--size",      "1024"};
    connectArgs.insert(connectArgs.end(), tuning.begin(), tuning.end());
    ASSERT_TRUE(connect.process.Start(kxtest::ProgramPath("kxfakeshm-bench"), connectArgs));
    ASSERT_TRUE(kxtest::WaitFor(
        [&] {
            for (const std::string& line : connect.process.ReadLines()) {
                if (line.find("\"ready\":true") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(30)));
    std::vector<std::string> coreArgs{"--report-interval-ms", "20", "-v", "OFF"};
    coreArgs.insert(coreArgs.end(), tuning.begin(), tuning.end());
    ASSERT_TRUE(core.process.Start(kxtest::ProgramPath("kxfakeshm-core-peer"), coreArgs));
    auto bothAlive = [&] {
        connect.Pump();
        core.Pump();
        return connect.alive && core.alive && connect.hasDrops && core.hasDrops;
    };
    ASSERT_TRUE(kxtest::WaitFor(bothAlive, std::chrono::seconds(30)));

    // Each peer in turn stops; the other counts the drop and the stopped one
    // resumes as soon as it has, so that the link is dead for about one window.
    for (PeerWatch* stopped : {&connect, &core}) {
        PeerWatch& watcher = stopped == &connect ? core : connect;
        const uint64_t before = watcher.drops;
        stopped->process.Signal(SIGSTOP);
        const bool counted = kxtest::WaitFor(
            [&] {
                watcher.Pump();
                return watcher.drops > before;
            },
            std::chrono::seconds(30));
        stopped->process.Signal(SIGCONT);
        EXPECT_TRUE(counted) << (stopped == &connect ? "the Core peer" : "the Connect peer")
                             << " did not count the drop";
        EXPECT_TRUE(kxtest::WaitFor(bothAlive, std::chrono::seconds(30)));
    }
    EXPECT_TRUE(core.process.Stop());
    EXPECT_TRUE(connect.process.Stop());
}

TEST_F(BenchTest, ABadOptionIsRefusedWithTheUsage) {
    kxtest::ChildProcess bench;
    ASSERT_TRUE(bench.Start(kxtest::ProgramPath("kxfakeshm-bench"), {"--sizes", "3KB"}));
    const auto status = bench.Wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
    std::string all;
    for (const auto& l : bench.AllLines()) {
        all += l + "\n";
    }
    EXPECT_NE(all.find("kxfakeshm-bench [options]"), std::string::npos) << all;
}

}  // namespace
