#include "Bench.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/interprocess/shared_memory_object.hpp>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

#include "Child.h"
#include "Roles.h"

namespace KXBench {
namespace {

constexpr double kMB = 1e6;
constexpr auto kStartDeadline = std::chrono::seconds(30);
const std::vector<std::string> kLowCpuTuning{"--socket-receive-nonblocking", "no"};
const std::vector<std::string> kPeerRoles{"connect", "core"};

// A private HOME, XDG_RUNTIME_DIR, XDG_DOCUMENTS_DIR and XDG_CONFIG_HOME for the
// processes of one measurement, so that they meet each other and nobody else.
class PrivateHome {
  public:
    PrivateHome() {
        char pattern[] = "/tmp/kxbench-XXXXXX";
        const char* made = mkdtemp(pattern);
        root_ = made != nullptr ? made : "";
        if (root_.empty()) {
            return;
        }
        mkdir(RuntimeDir().c_str(), 0700);
        mkdir((root_ + "/Documents").c_str(), 0700);
        setenv("HOME", root_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", RuntimeDir().c_str(), 1);
        setenv("XDG_DOCUMENTS_DIR", (root_ + "/Documents").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root_ + "/.config").c_str(), 1);
    }
    ~PrivateHome() {
        if (!root_.empty() && getenv("KXBENCH_KEEP") == nullptr) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
        }
    }
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

    bool Ok() const { return !root_.empty(); }
    std::string RuntimeDir() const { return root_ + "/run"; }

  private:
    std::string root_;
};

// What one process of a streaming measurement cost between its two reports.
struct ProcessFigures {
    std::string role;          // "connect", "core"; raw: "sender", "receiver", "writer"
    bool countsDrops = false;  // a library peer: reports "alive_drops"
    uint64_t aliveDrops = 0;   // times it saw its link go from alive to dead
    uint64_t cpuNs = 0;        // CPU time of all its threads
};

// One streaming measurement: what was delivered between two reports.
struct Flow {
    bool ok = false;
    std::string failure;
    double seconds = 0;
    uint64_t messages = 0;
    uint64_t bytes = 0;
    uint64_t p50Ns = 0;
    uint64_t p99Ns = 0;
    std::vector<ProcessFigures> processes;  // in the order of the measured children

    double MessagesPerSecond() const { return seconds > 0 ? messages / seconds : 0; }
    // CPU ms per MB delivered (10^6 payload bytes): numerically CPU ns per byte.
    double CpuMsPerMB(const ProcessFigures& p, uint64_t size) const {
        const double delivered = static_cast<double>(messages) * static_cast<double>(size);
        return delivered > 0 ? static_cast<double>(p.cpuNs) / delivered : 0;
    }
};

struct Cell {
    std::string transport;
    std::string tuning = "default";
    uint64_t size = 0;
    Flow flow;  // of the median round; its drop counts are those of every round
    Flow raw;   // measured in the same round as `flow`
    std::vector<double> roundRatios;  // every measured round's ratio, in order
    double memcpyMBs = 0;

    double MBs() const { return flow.MessagesPerSecond() * static_cast<double>(size) / kMB; }
    double RawMBs() const { return raw.MessagesPerSecond() * static_cast<double>(size) / kMB; }
    double Ratio() const {
        return raw.MessagesPerSecond() > 0 ? flow.MessagesPerSecond() / raw.MessagesPerSecond() : 0;
    }
};

struct Idle {
    std::string transport;
    std::string tuning;  // "default" or "low-CPU"
    bool ok = false;
    std::string failure;
    double seconds = 0;
    uint64_t connectCpuNs = 0;
    uint64_t coreCpuNs = 0;
    // tcp and ipc: 1 KB payloads every 2 ms, and the raw NNG round trip.
    bool hasLatency = false;
    uint64_t pacedP50Ns = 0;
    uint64_t pacedP99Ns = 0;
    uint64_t rawRttP50Ns = 0;
    uint64_t rawRttP99Ns = 0;
    std::string rawRttUrl;  // where the raw round trips ran
};

// One cell from its rounds: the figures of the round whose ratio is the median of
// the measured ones (the lower middle one of an even count), so that one round
// disturbed by other work on the machine does not decide the verdict; the drops
// of every round, since one drop anywhere counts.
Cell MedianCell(const std::string& transport, const std::string& tuning, uint64_t size,
                const std::vector<Flow>& flows, const std::vector<Flow>& raws) {
    Cell cell;
    cell.transport = transport;
    cell.tuning = tuning;
    cell.size = size;
    std::vector<std::pair<double, size_t>> measured;
    for (size_t r = 0; r < flows.size(); ++r) {
        cell.flow = flows[r];
        cell.raw = raws[r];
        if (cell.flow.ok && cell.raw.ok) {
            cell.roundRatios.push_back(cell.Ratio());
            measured.emplace_back(cell.Ratio(), r);
        }
    }
    std::sort(measured.begin(), measured.end());
    const size_t chosen = measured.empty() ? 0 : measured[(measured.size() - 1) / 2].second;
    cell.flow = flows[chosen];
    cell.raw = raws[chosen];
    for (size_t r = 0; r < flows.size(); ++r) {
        if (r == chosen) {
            continue;
        }
        for (size_t i = 0; i < cell.flow.processes.size() && i < flows[r].processes.size(); ++i) {
            cell.flow.processes[i].aliveDrops += flows[r].processes[i].aliveDrops;
        }
    }
    return cell;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Reads every child's new lines and hands each report to `onReport(index, report)`
// until it returns true (true), a child ends or `deadline` passes (false).
bool Pump(const std::vector<Child*>& children,
          const std::function<bool(size_t, const Report&)>& onReport,
          std::chrono::nanoseconds deadline, std::string& failure) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        for (size_t i = 0; i < children.size(); ++i) {
            for (const std::string& line : children[i]->ReadLines()) {
                if (auto report = ParseReport(line); report && onReport(i, *report)) {
                    return true;
                }
            }
        }
        for (Child* child : children) {
            if (!child->Running()) {
                failure = fmt::format("a helper process (pid {}) ended early", child->Pid());
                return false;
            }
        }
        if (std::chrono::steady_clock::now() >= end) {
            failure = "timed out waiting for the helper processes";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::chrono::nanoseconds Seconds(double s) {
    return std::chrono::nanoseconds(static_cast<int64_t>(s * 1e9));
}

void DisposeFixedSegments() {
    for (const char* name : {kStoreBlock, "KXFakeShmHeartbeat"}) {
        boost::interprocess::shared_memory_object::remove(name);
    }
}

struct PeerPair {
    PrivateHome home;
    Child connect;
    Child core;
};

// Starts the Connect peer (this program, --role connect) and the Core peer and
// waits until each sees the other alive.
bool StartPeers(const BenchOptions& options, PeerPair& peers, const std::string& transport,
                const std::string& mode, uint64_t size, const std::vector<std::string>& tuning,
                std::string& failure) {
    if (!peers.home.Ok()) {
        failure = "cannot make a private home directory";
        return false;
    }
    // While streaming, each peer counts its link's alive->dead changes from a 1 ms
    // poll; the idle figures are left without that poll's CPU.
    const std::string alivePollMs = mode == "stream" ? "1" : "0";
    if (!peers.connect.Start(
            options.self, Concat({"--role", "connect", "--transport", transport, "--mode", mode,
                                  "--size", std::to_string(size), "--alive-poll-ms", alivePollMs},
                                 tuning))) {
        failure = "cannot start the Connect peer";
        return false;
    }
    if (!Pump(
            {&peers.connect}, [](size_t, const Report& r) { return r.Flag("ready"); },
            kStartDeadline, failure)) {
        failure = "Connect peer: " + failure;
        return false;
    }
    if (!peers.core.Start(options.corePeer,
                          Concat({"--report-interval-ms", "100", "--record-digest", "no",
                                  "--alive-poll-ms", alivePollMs, "-v", "OFF"},
                                 tuning))) {
        failure = "cannot start " + options.corePeer;
        return false;
    }
    bool connectAlive = false;
    bool coreAlive = false;
    if (!Pump(
            {&peers.connect, &peers.core},
            [&](size_t i, const Report& r) {
                if (i == 0 && r.Has("alive")) {
                    connectAlive = r.Flag("alive");
                } else if (i == 1 && r.String("transport") == transport) {
                    coreAlive = r.Flag("alive");
                }
                return connectAlive && coreAlive;
            },
            kStartDeadline, failure)) {
        failure = fmt::format(
            "waiting for both peers alive (Connect sees its peer: {}, Core "
            "sees its peer: {}): {}",
            connectAlive, coreAlive, failure);
        return false;
    }
    return true;
}

// Peers that did not end with status 0 within the grace time after SIGINT (then
// killed); reported, because a clean stop is part of the library's contract.
int gUncleanStops = 0;
constexpr auto kStopGrace = std::chrono::seconds(10);

void StopPeers(PeerPair& peers) {
    for (Child* child : {&peers.core, &peers.connect}) {
        if (child->Pid() > 0 && !child->Stop(kStopGrace)) {
            ++gUncleanStops;
        }
    }
}

// The library's totals go back to zero whenever its link changes between alive
// and dead, so a window's delivery is summed report by report: after a report
// whose alive->dead count moved, or whose total fell, the total counts from zero.
// What was delivered between the previous report and the change (less than one
// report interval) is not seen.
struct DeliveredTotals {
    uint64_t messages = 0;
    uint64_t bytes = 0;
    uint64_t lastMessages = 0;
    uint64_t lastBytes = 0;
    uint64_t lastDrops = 0;
    void Start(const Report& r, const std::string& messagesKey, const std::string& bytesKey) {
        lastMessages = r.Number(messagesKey);
        lastBytes = r.Number(bytesKey);
        lastDrops = r.Has("alive_drops") ? r.Number("alive_drops") : 0;
    }
    void Add(const Report& r, const std::string& messagesKey, const std::string& bytesKey) {
        const uint64_t totalMessages = r.Number(messagesKey);
        const uint64_t totalBytes = r.Number(bytesKey);
        const uint64_t drops = r.Has("alive_drops") ? r.Number("alive_drops") : 0;
        const bool reset =
            drops != lastDrops || totalMessages < lastMessages || totalBytes < lastBytes;
        messages += reset ? totalMessages : totalMessages - lastMessages;
        bytes += reset ? totalBytes : totalBytes - lastBytes;
        Start(r, messagesKey, bytesKey);
    }
};

// Delivered figures between the first report after the start and the first
// report `seconds` later, from `source` (0 the first child, 1 the second); the
// latency figures from the newest report of `latencySource`. Per child (`roles`
// names them) its CPU time over the same window and, for a library peer, its
// alive->dead count from its last report at or before the window's start to its
// first at or after the window's end, so that no drop inside the window is missed.
bool MeasureFlow(const std::vector<Child*>& children, const std::vector<std::string>& roles,
                 size_t source, size_t latencySource, const std::string& transport,
                 const std::string& messagesKey, const std::string& bytesKey, double seconds,
                 Flow& flow) {
    std::optional<Report> base;
    std::optional<Report> end;
    Report latest;
    const uint64_t windowNs = static_cast<uint64_t>(seconds * 1e9);
    flow.processes.assign(children.size(), {});
    std::vector<uint64_t> cpuBase(children.size());
    std::vector<uint64_t> dropsSeen(children.size());  // newest value before the window
    std::vector<bool> dropsDone(children.size());
    auto readCpu = [&](std::vector<uint64_t>& into) {
        for (size_t i = 0; i < children.size(); ++i) {
            into[i] = CpuTimeNs(children[i]->Pid());
        }
    };
    auto allDropsDone = [&] {
        for (size_t i = 0; i < children.size(); ++i) {
            if (flow.processes[i].countsDrops && !dropsDone[i]) {
                return false;
            }
        }
        return true;
    };
    DeliveredTotals delivered;
    std::string failure;
    const bool done = Pump(
        children,
        [&](size_t i, const Report& r) {
            if (!transport.empty() && r.Has("transport") && r.String("transport") != transport) {
                return false;
            }
            if (r.Has("alive_drops") && r.Has("report_time_ns")) {
                ProcessFigures& p = flow.processes[i];
                p.countsDrops = true;
                if (!base) {
                    dropsSeen[i] = r.Number("alive_drops");
                } else if (end && !dropsDone[i] &&
                           r.Number("report_time_ns") >= end->Number("report_time_ns")) {
                    p.aliveDrops =
                        r.Number("alive_drops") - std::min(r.Number("alive_drops"), dropsSeen[i]);
                    dropsDone[i] = true;
                }
            }
            if (end) {
                return allDropsDone();
            }
            if (i == latencySource && r.Has("latency_p50_ns")) {
                latest = r;
            }
            if (i != source || !r.Has("report_time_ns")) {
                return false;
            }
            if (!base) {
                base = r;
                delivered.Start(r, messagesKey, bytesKey);
                readCpu(cpuBase);
                return false;
            }
            delivered.Add(r, messagesKey, bytesKey);
            if (r.Number("report_time_ns") < base->Number("report_time_ns") + windowNs) {
                return false;
            }
            end = r;
            std::vector<uint64_t> cpuEnd(children.size());
            readCpu(cpuEnd);
            for (size_t k = 0; k < children.size(); ++k) {
                flow.processes[k].cpuNs = cpuEnd[k] - std::min(cpuEnd[k], cpuBase[k]);
            }
            if (flow.processes[i].countsDrops) {
                flow.processes[i].aliveDrops =
                    r.Number("alive_drops") - std::min(r.Number("alive_drops"), dropsSeen[i]);
                dropsDone[i] = true;
            }
            return allDropsDone();
        },
        Seconds(seconds) + kStartDeadline, failure);
    for (size_t i = 0; i < children.size(); ++i) {
        flow.processes[i].role = i < roles.size() ? roles[i] : "";
    }
    if (!done) {
        flow.failure = failure;
        return false;
    }
    flow.seconds =
        static_cast<double>(end->Number("report_time_ns") - base->Number("report_time_ns")) / 1e9;
    flow.messages = delivered.messages;
    flow.bytes = delivered.bytes;
    if (latencySource == source) {
        latest = *end;
    }
    flow.p50Ns = latest.Number("latency_p50_ns");
    flow.p99Ns = latest.Number("latency_p99_ns");
    flow.ok = true;
    return true;
}

Flow MeasureTransport(const BenchOptions& options, const std::string& transport, uint64_t size,
                      const std::vector<std::string>& tuning) {
    Flow flow;
    const bool shm = transport == "sharedmem";
    {
        PeerPair peers;
        if (StartPeers(options, peers, transport, "stream", size, tuning, flow.failure)) {
            // Sockets: what the Core peer received; SharedMem: what the Connect
            // peer completed into the store. Latency: the Core peer's samples.
            if (shm) {
                MeasureFlow({&peers.connect, &peers.core}, kPeerRoles, 0, 1, transport,
                            "total_write_messages", "total_write_bytes", options.seconds, flow);
            } else {
                MeasureFlow({&peers.connect, &peers.core}, kPeerRoles, 1, 1, transport,
                            "total_read_messages", "total_read_bytes", options.seconds, flow);
            }
        }
        StopPeers(peers);
    }
    if (shm) {
        DisposeFixedSegments();
    }
    return flow;
}

std::string RawUrl(const std::string& transport, const PrivateHome& home) {
    return transport == "tcp" ? "tcp://127.0.0.1:0" : "ipc://" + home.RuntimeDir() + "/kxbench-raw";
}

Flow MeasureRawNng(const BenchOptions& options, const std::string& transport, uint64_t size) {
    Flow flow;
    PrivateHome home;
    Child sender;
    Child receiver;
    std::string url;
    if (!sender.Start(options.self, {"--role", "raw-send", "--url", RawUrl(transport, home),
                                     "--size", std::to_string(size)}) ||
        !Pump(
            {&sender},
            [&](size_t, const Report& r) {
                url = r.String("url");
                return !url.empty();
            },
            kStartDeadline, flow.failure) ||
        !receiver.Start(options.self, {"--role", "raw-recv", "--url", url})) {
        if (flow.failure.empty()) {
            flow.failure = "cannot start the raw NNG processes";
        }
        return flow;
    }
    std::string failure;
    // The count starts with the first message received.
    if (Pump(
            {&sender, &receiver},
            [](size_t i, const Report& r) { return i == 1 && r.Number("total_read_messages") > 0; },
            kStartDeadline, failure)) {
        MeasureFlow({&sender, &receiver}, {"sender", "receiver"}, 1, 1, "", "total_read_messages",
                    "total_read_bytes", options.seconds, flow);
    } else {
        flow.failure = failure;
    }
    receiver.Stop();
    sender.Stop();
    return flow;
}

Flow MeasureRawShm(const BenchOptions& options, uint64_t size) {
    Flow flow;
    Child writer;
    const std::string segment = fmt::format("kxbench-{}", getpid());
    if (!writer.Start(options.self, {"--role", "raw-shm", "--segment", segment, "--size",
                                     std::to_string(size)}) ||
        !Pump(
            {&writer}, [](size_t, const Report& r) { return r.Flag("ready"); }, kStartDeadline,
            flow.failure)) {
        if (flow.failure.empty()) {
            flow.failure = "cannot start the raw store writer";
        }
    } else {
        MeasureFlow({&writer}, {"writer"}, 0, 0, "", "total_write_messages", "total_write_bytes",
                    options.seconds, flow);
    }
    writer.Stop();
    boost::interprocess::shared_memory_object::remove(segment.c_str());
    return flow;
}

// An anonymous mapping of `size` bytes, populated when made: page-aligned, and
// never faulting while it is timed.
class Mapping {
  public:
    explicit Mapping(size_t size) : size_(size) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    }
    ~Mapping() {
        if (data_ != nullptr) {
            munmap(data_, size_);
        }
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    char* Data() const { return data_; }

  private:
    size_t size_;
    char* data_;
};

uint64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

constexpr uint64_t kMemcpyTrialNs = 20'000'000;  // CPU time of one trial at least
constexpr int kMemcpyTrials = 10;

// Single-thread memcpy of `size` bytes: the ceiling of any transport that copies
// the payload once. Both buffers are page-aligned (source and destination never
// 4 KiB-alias, which slows glibc's rep movsb path), populated and written before
// the first timed copy. Timed on this thread's CPU clock, so that time the loaded
// machine gives to other processes does not count; the repetitions per trial are
// doubled until a trial takes kMemcpyTrialNs, and the best of kMemcpyTrials
// trials is the ceiling (a trial can only be slowed, by a preemption's cold caches).
double MemcpyMBs(uint64_t size) {
    const Mapping from(size);
    const Mapping to(size);
    if (from.Data() == nullptr || to.Data() == nullptr) {
        return 0;
    }
    std::memset(from.Data(), 'x', size);
    std::memset(to.Data(), 'y', size);
    // Through a volatile pointer: glibc's memcpy on every repetition, never one
    // the compiler inlines or drops.
    void* (*volatile copy)(void*, const void*, size_t) = std::memcpy;
    auto trial = [&](uint64_t repetitions) {
        const uint64_t start = ThreadCpuNs();
        for (uint64_t i = 0; i < repetitions; ++i) {
            copy(to.Data(), from.Data(), size);
        }
        return ThreadCpuNs() - start;
    };
    uint64_t repetitions = 1;
    while (trial(repetitions) < kMemcpyTrialNs) {
        repetitions *= 2;
    }
    uint64_t best = UINT64_MAX;
    for (int i = 0; i < kMemcpyTrials; ++i) {
        best = std::min(best, std::max<uint64_t>(trial(repetitions), 1));
    }
    return static_cast<double>(repetitions) * static_cast<double>(size) /
           (static_cast<double>(best) / 1e9) / kMB;
}

void MeasureIdleCpu(const BenchOptions& options, Idle& idle,
                    const std::vector<std::string>& tuning) {
    PeerPair peers;
    if (StartPeers(options, peers, idle.transport, "idle", 1024, tuning, idle.failure)) {
        // A short settling time, so that the start-up work is not counted.
        std::string failure;
        Pump(
            {&peers.connect, &peers.core}, [](size_t, const Report&) { return false; },
            std::chrono::milliseconds(500), failure);
        const uint64_t connect0 = CpuTimeNs(peers.connect.Pid());
        const uint64_t core0 = CpuTimeNs(peers.core.Pid());
        const uint64_t start = NowNs();
        failure.clear();
        Pump(
            {&peers.connect, &peers.core}, [](size_t, const Report&) { return false; },
            Seconds(options.idleSeconds), failure);
        const uint64_t connect1 = CpuTimeNs(peers.connect.Pid());
        const uint64_t core1 = CpuTimeNs(peers.core.Pid());
        idle.seconds = static_cast<double>(NowNs() - start) / 1e9;
        if (peers.connect.Running() && peers.core.Running()) {
            idle.connectCpuNs = connect1 - std::min(connect0, connect1);
            idle.coreCpuNs = core1 - std::min(core0, core1);
            idle.ok = true;
        } else {
            idle.failure = failure;
        }
    }
    StopPeers(peers);
    if (idle.transport == "sharedmem") {
        DisposeFixedSegments();
    }
}

void MeasurePacedLatency(const BenchOptions& options, Idle& idle,
                         const std::vector<std::string>& tuning) {
    PeerPair peers;
    std::string failure;
    if (StartPeers(options, peers, idle.transport, "paced", 1024, tuning, failure)) {
        Flow flow;
        if (MeasureFlow({&peers.connect, &peers.core}, kPeerRoles, 1, 1, idle.transport,
                        "total_read_messages", "total_read_bytes", options.seconds, flow)) {
            idle.pacedP50Ns = flow.p50Ns;
            idle.pacedP99Ns = flow.p99Ns;
        } else {
            failure = flow.failure;
        }
    }
    if (!failure.empty() && idle.failure.empty()) {
        idle.failure = "paced latency: " + failure;
    }
    StopPeers(peers);
}

// Half of this is the raw one-way figure of an idle link.
void MeasureRawRoundTrip(const BenchOptions& options, Idle& idle) {
    PrivateHome home;
    Child ping;
    Child echo;
    std::string url;
    std::string failure;
    const uint64_t durationMs = static_cast<uint64_t>(options.seconds * 1000);
    if (ping.Start(options.self, {"--role", "raw-ping", "--url", RawUrl(idle.transport, home),
                                  "--size", "1024", "--duration-ms", std::to_string(durationMs)}) &&
        Pump(
            {&ping},
            [&](size_t, const Report& r) {
                url = r.String("url");
                return !url.empty();
            },
            kStartDeadline, failure) &&
        echo.Start(options.self, {"--role", "raw-echo", "--url", url})) {
        Pump(
            {&ping, &echo},
            [&](size_t i, const Report& r) {
                if (i != 0 || !r.Has("done")) {
                    return false;
                }
                idle.rawRttP50Ns = r.Number("rtt_p50_ns");
                idle.rawRttP99Ns = r.Number("rtt_p99_ns");
                idle.rawRttUrl = r.String("url");
                return true;
            },
            Seconds(options.seconds) + kStartDeadline, failure);
    }
    if (idle.rawRttP50Ns == 0 && idle.failure.empty()) {
        idle.failure = "raw round trip: " + (failure.empty() ? "no result" : failure);
    } else if (idle.rawRttUrl.rfind(idle.transport + "://", 0) != 0 && idle.failure.empty()) {
        idle.failure =
            fmt::format("raw round trip ran on '{}', not on {}", idle.rawRttUrl, idle.transport);
        idle.rawRttP50Ns = 0;
        idle.rawRttP99Ns = 0;
    }
    echo.Stop();
    ping.Stop();
}

std::string Micro(uint64_t ns) {
    return ns == 0 ? "–" : fmt::format("{:.1f}", ns / 1e3);
}
std::string Rate(double v, int decimals = 1) {
    return v <= 0 ? "–" : fmt::format("{:.{}f}", v, decimals);
}
std::string Ratio(double v) {
    return v <= 0 ? "–" : fmt::format("{:.2f}", v);
}
// A process's alive->dead count and CPU per MB in a flow's row; "–" where the
// flow or the process was not measured.
std::string Drops(const Flow& f, size_t i) {
    return f.ok && i < f.processes.size() && f.processes[i].countsDrops
               ? std::to_string(f.processes[i].aliveDrops)
               : "–";
}
std::string CpuPerMB(const Flow& f, size_t i, uint64_t size) {
    return f.ok && i < f.processes.size() ? Rate(f.CpuMsPerMB(f.processes[i], size), 2) : "–";
}
std::string Milli(uint64_t ns) {
    return fmt::format("{:.0f}", ns / 1e6);
}

std::string Trim(std::string s) {
    const auto b = s.find_first_not_of(" \t");
    const auto e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? "unknown" : Trim(line.substr(colon + 1));
        }
    }
    return "unknown";
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a.empty() ? "unknown" : a + " " + b + " " + c;
}

std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

struct Machine {
    std::string date = Today();
    unsigned cores = std::thread::hardware_concurrency();
    std::string model = CpuModel();
    std::string loadBefore = LoadAverage();
    std::string loadAfter;
};

const Cell* FindCell(const std::vector<Cell>& cells, const std::string& t, uint64_t size,
                     const std::string& tuning = "default") {
    for (const Cell& c : cells) {
        if (c.transport == t && c.size == size && c.tuning == tuning) {
            return &c;
        }
    }
    return nullptr;
}

// " (rounds 0.62-0.71)" when the cell was measured more than once, else "".
std::string RoundRange(const Cell& c) {
    if (c.roundRatios.size() < 2) {
        return "";
    }
    const auto [low, high] = std::minmax_element(c.roundRatios.begin(), c.roundRatios.end());
    return fmt::format(" (rounds {:.2f}-{:.2f})", *low, *high);
}

// Every round's ratio, in the order measured: "0.62 / 0.71 / 0.69".
std::string RoundRatios(const Cell& c) {
    std::string out;
    for (double r : c.roundRatios) {
        out += (out.empty() ? "" : " / ") + Ratio(r);
    }
    return out.empty() ? "–" : out;
}

// The targets, judged on this run's (median) ratios (reported, never enforced).
std::vector<std::string> Targets(const std::vector<Cell>& cells, const std::vector<Idle>& idles) {
    std::vector<std::string> lines;
    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    for (const char* t : {"tcp", "ipc"}) {
        for (uint64_t size : {1048576ULL, 10485760ULL}) {
            // The low-CPU tuning streams without spinning workers: the higher bar.
            for (const auto& [tuning, target] :
                 {std::pair<std::string, double>{"default", 0.7}, {"low-CPU", 0.8}}) {
                if (const Cell* c = FindCell(cells, t, size, tuning);
                    c && c->flow.ok && c->raw.ok) {
                    lines.push_back(fmt::format(
                        "{} {} ({} tuning): throughput {:.2f}x raw NNG{} (target >= {:.1f}): {}", t,
                        SizeLabel(size), tuning, c->Ratio(), RoundRange(*c), target,
                        verdict(c->Ratio() >= target)));
                }
            }
        }
        if (const Cell* c = FindCell(cells, t, 1024); c && c->flow.ok && c->raw.ok) {
            lines.push_back(
                fmt::format("{} 1 KB: message rate {:.2f}x raw NNG{} (target >= 0.5): {}", t,
                            c->Ratio(), RoundRange(*c), verdict(c->Ratio() >= 0.5)));
        }
    }
    for (const Cell& c : cells) {
        if (c.transport == "sharedmem" && c.tuning == "default" && c.flow.ok && c.raw.ok) {
            lines.push_back(fmt::format(
                "sharedmem {}: throughput {:.2f}x the re-open-per-call writer{} (target >= 0.9): "
                "{}",
                SizeLabel(c.size), c.Ratio(), RoundRange(c), verdict(c.Ratio() >= 0.9)));
        }
    }
    std::string dropped;
    for (const Cell& c : cells) {
        for (const ProcessFigures& p : c.flow.processes) {
            if (p.countsDrops && p.aliveDrops > 0) {
                dropped +=
                    fmt::format("{}{} {} {}: {} by {}", dropped.empty() ? "" : ", ", c.transport,
                                SizeLabel(c.size), c.tuning, p.aliveDrops, p.role);
            }
        }
    }
    if (!cells.empty()) {
        lines.push_back(dropped.empty()
                            ? std::string("alive drops: 0 in every cell: met")
                            : "alive drops: 0 in every cell: NOT met (" + dropped + ")");
    }
    for (const Idle& i : idles) {
        if (i.hasLatency && i.tuning == "default" && i.pacedP50Ns > 0 && i.rawRttP50Ns > 0) {
            const double limit = 1.5 * static_cast<double>(i.rawRttP50Ns) / 2.0;
            lines.push_back(
                fmt::format("{} 1 KB idle link: p50 {:.1f} us, limit 1.5 x half the raw round trip "
                            "= {:.1f} us: "
                            "{}",
                            i.transport, i.pacedP50Ns / 1e3, limit / 1e3,
                            verdict(static_cast<double>(i.pacedP50Ns) <= limit)));
        }
    }
    return lines;
}

void PrintMarkdown(const BenchOptions& options, const Machine& machine,
                   const std::vector<Cell>& cells, const std::vector<Idle>& idles) {
    std::cout << fmt::format(
        "kxfakeshm-bench {} on {} x {} (load average {} before, {} after); {:g} s per "
        "measurement{}\n\n",
        machine.date, machine.cores, machine.model, machine.loadBefore, machine.loadAfter,
        options.seconds,
        options.rounds > 1
            ? fmt::format("; {} rounds per cell, the median round shown", options.rounds)
            : "");
    std::cout << "| transport | size | MB/s | msg/s | p50 µs | p99 µs | raw MB/s | raw msg/s "
                 "| raw p50 µs | raw p99 µs | × raw | × raw, rounds | memcpy MB/s | Connect drops "
                 "| Core drops "
                 "| Connect CPU ms/MB | Core CPU ms/MB | raw send CPU ms/MB | raw recv CPU ms/MB "
                 "|\n";
    std::cout
        << "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
           "---:|---:|\n";
    for (const Cell& c : cells) {
        std::cout << fmt::format(
            "| {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} "
            "| {} | {} |\n",
            c.tuning == "default" ? c.transport : c.transport + " (" + c.tuning + ")",
            SizeLabel(c.size), Rate(c.MBs()), Rate(c.flow.MessagesPerSecond(), 0),
            Micro(c.flow.p50Ns), Micro(c.flow.p99Ns), Rate(c.RawMBs()),
            Rate(c.raw.MessagesPerSecond(), 0), Micro(c.raw.p50Ns), Micro(c.raw.p99Ns),
            Ratio(c.Ratio()), RoundRatios(c), Rate(c.memcpyMBs), Drops(c.flow, 0), Drops(c.flow, 1),
            CpuPerMB(c.flow, 0, c.size), CpuPerMB(c.flow, 1, c.size), CpuPerMB(c.raw, 0, c.size),
            CpuPerMB(c.raw, 1, c.size));
    }
    if (!idles.empty()) {
        std::cout << "\n| transport | tuning | Connect CPU ms | Core CPU ms | idle 1 KB p50 µs "
                     "| idle 1 KB p99 µs | raw ½ round trip p50 µs | p50 / raw ½ round trip |\n";
        std::cout << "|---|---|---:|---:|---:|---:|---:|---:|\n";
    }
    for (const Idle& i : idles) {
        const double half = i.rawRttP50Ns / 2.0;
        std::cout << fmt::format("| {} | {} | {} | {} | {} | {} | {} | {} |\n", i.transport,
                                 i.tuning, i.ok ? Milli(i.connectCpuNs) : "–",
                                 i.ok ? Milli(i.coreCpuNs) : "–", Micro(i.pacedP50Ns),
                                 Micro(i.pacedP99Ns), Micro(i.rawRttP50Ns / 2),
                                 half > 0 && i.pacedP50Ns > 0 ? Ratio(i.pacedP50Ns / half) : "–");
    }
    std::cout
        << "\nMB/s counts payload bytes (10^6 per MB) delivered: for tcp and ipc what the Core "
           "peer received, for sharedmem what the Connect peer completed into the store. "
           "Latency: every one-way sample of the run (sharedmem: the age of the peer's "
           "heartbeat). Drops: how often each peer saw its link go from alive to dead while "
           "streaming (liveness sampled every 1 ms), summed over the rounds. × raw, rounds: "
           "each round's ratio, library and raw measured one after the other in that round. CPU "
           "ms/MB: CPU time of each process "
           "while streaming per MB delivered (raw send: the NNG sender or the store "
           "writer).";
    if (!idles.empty()) {
        std::cout << fmt::format(
            " Connect/Core CPU ms: time each peer process used in {:g} s with both peers up "
            "and no payload.",
            options.idleSeconds);
    }
    std::cout << " low-CPU = --socket-receive-nonblocking no.\n";
    if (gUncleanStops > 0) {
        std::cout << fmt::format(
            "\nPeer processes that did not end cleanly within {} s of SIGINT (then killed): "
            "{}\n",
            kStopGrace.count(), gUncleanStops);
    }
    std::cout << "\nTargets (this run):\n";
    for (const std::string& line : Targets(cells, idles)) {
        std::cout << "- " << line << "\n";
    }
    bool failures = false;
    for (const Cell& c : cells) {
        for (const Flow* f : {&c.flow, &c.raw}) {
            if (!f->ok) {
                if (!failures) {
                    std::cout << "\nNot measured:\n";
                    failures = true;
                }
                std::cout << fmt::format("- {} {} {}: {}\n", c.transport, SizeLabel(c.size),
                                         f == &c.flow ? "transport" : "raw", f->failure);
            }
        }
    }
    for (const Idle& i : idles) {
        if (!i.failure.empty()) {
            if (!failures) {
                std::cout << "\nNot measured:\n";
                failures = true;
            }
            std::cout << fmt::format("- {} idle ({}): {}\n", i.transport, i.tuning, i.failure);
        }
    }
    std::cout.flush();
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonFlow(const Flow& f, uint64_t size) {
    std::string processes;
    for (const ProcessFigures& p : f.processes) {
        processes += fmt::format("{}{}:{{\"cpu_ns\":{},\"cpu_ms_per_mb\":{:.4f}",
                                 processes.empty() ? "" : ",", JsonString(p.role), p.cpuNs,
                                 f.CpuMsPerMB(p, size));
        if (p.countsDrops) {
            processes += fmt::format(",\"alive_drops\":{}", p.aliveDrops);
        }
        processes += "}";
    }
    return fmt::format(
        "{{\"ok\":{},\"seconds\":{:.3f},\"messages\":{},\"bytes\":{},\"mb_per_s\":{:.3f},"
        "\"messages_per_s\":{:.1f},\"latency_p50_ns\":{},\"latency_p99_ns\":{},"
        "\"processes\":{{{}}},\"failure\":{}}}",
        f.ok, f.seconds, f.messages, f.bytes,
        f.MessagesPerSecond() * static_cast<double>(size) / kMB, f.MessagesPerSecond(), f.p50Ns,
        f.p99Ns, processes, JsonString(f.failure));
}

void PrintJson(const BenchOptions& options, const Machine& machine, const std::vector<Cell>& cells,
               const std::vector<Idle>& idles) {
    std::string out = fmt::format(
        "{{\"date\":{},\"machine\":{{\"cores\":{},\"model\":{},\"load_before\":{},"
        "\"load_after\":{}}},\"seconds\":{:g},\"idle_seconds\":{:g},\"rounds\":{},\"cells\":[",
        JsonString(machine.date), machine.cores, JsonString(machine.model),
        JsonString(machine.loadBefore), JsonString(machine.loadAfter), options.seconds,
        options.idleSeconds, options.rounds);
    for (size_t i = 0; i < cells.size(); ++i) {
        const Cell& c = cells[i];
        out += fmt::format(
            "{}{{\"transport\":{},\"tuning\":{},\"size\":{},\"transport_flow\":{},\"raw_flow\":{},"
            "\"ratio\":{:.3f},\"round_ratios\":[{:.3f}],\"memcpy_mb_per_s\":{:.1f}}}",
            i == 0 ? "" : ",", JsonString(c.transport), JsonString(c.tuning), c.size,
            JsonFlow(c.flow, c.size), JsonFlow(c.raw, c.size), c.Ratio(),
            fmt::join(c.roundRatios, ","), c.memcpyMBs);
    }
    out += "],\"idle\":[";
    for (size_t k = 0; k < idles.size(); ++k) {
        const Idle& i = idles[k];
        out += fmt::format(
            "{}{{\"transport\":{},\"tuning\":{},\"ok\":{},\"seconds\":{:.3f},\"connect_cpu_ns\":{},"
            "\"core_cpu_ns\":{},\"has_latency\":{},\"paced_latency_p50_ns\":{},"
            "\"paced_latency_p99_ns\":{},\"raw_round_trip_p50_ns\":{},"
            "\"raw_round_trip_p99_ns\":{},\"raw_round_trip_url\":{},\"failure\":{}}}",
            k == 0 ? "" : ",", JsonString(i.transport), JsonString(i.tuning), i.ok, i.seconds,
            i.connectCpuNs, i.coreCpuNs, i.hasLatency, i.pacedP50Ns, i.pacedP99Ns, i.rawRttP50Ns,
            i.rawRttP99Ns, JsonString(i.rawRttUrl), JsonString(i.failure));
    }
    out += fmt::format("],\"unclean_peer_stops\":{},\"targets\":[", gUncleanStops);
    const auto targets = Targets(cells, idles);
    for (size_t i = 0; i < targets.size(); ++i) {
        out += (i == 0 ? "" : ",") + JsonString(targets[i]);
    }
    out += "]}\n";
    std::cout << out;
    std::cout.flush();
}

void Progress(const std::string& what) {
    std::cerr << "kxfakeshm-bench: " << what << std::endl;
}

}  // namespace

std::string SizeLabel(uint64_t bytes) {
    switch (bytes) {
        case 1024:
            return "1 KB";
        case 10240:
            return "10 KB";
        case 102400:
            return "100 KB";
        case 1048576:
            return "1 MB";
        case 10485760:
            return "10 MB";
        default:
            return std::to_string(bytes) + " B";
    }
}

int RunBench(const BenchOptions& options) {
    Machine machine;
    std::vector<Cell> cells;
    std::vector<double> memcpyBySize;
    for (uint64_t size : options.sizes) {
        memcpyBySize.push_back(MemcpyMBs(size));
    }
    for (const std::string& transport : options.transports) {
        const bool lowCpu = options.lowCpuStreaming && transport != "sharedmem";
        for (size_t s = 0; s < options.sizes.size(); ++s) {
            const uint64_t size = options.sizes[s];
            std::vector<Flow> raws;
            std::vector<Flow> flows;
            std::vector<Flow> lowCpuFlows;
            for (int r = 1; r <= options.rounds; ++r) {
                const std::string round =
                    options.rounds > 1 ? fmt::format(" (round {} of {})", r, options.rounds) : "";
                Progress(fmt::format("{} {}{}", transport, SizeLabel(size), round));
                flows.push_back(MeasureTransport(options, transport, size, {}));
                raws.push_back(transport == "sharedmem" ? MeasureRawShm(options, size)
                                                        : MeasureRawNng(options, transport, size));
                if (lowCpu) {
                    Progress(
                        fmt::format("{} {}, low-CPU tuning{}", transport, SizeLabel(size), round));
                    lowCpuFlows.push_back(
                        MeasureTransport(options, transport, size, kLowCpuTuning));
                }
            }
            cells.push_back(MedianCell(transport, "default", size, flows, raws));
            cells.back().memcpyMBs = memcpyBySize[s];
            if (lowCpu) {
                cells.push_back(MedianCell(transport, "low-CPU", size, lowCpuFlows, raws));
                cells.back().memcpyMBs = memcpyBySize[s];
            }
        }
    }
    std::vector<Idle> idles;
    for (const std::string& transport :
         options.idle ? options.transports : std::vector<std::string>{}) {
        for (bool lowCpu : {false, true}) {
            Idle idle;
            idle.transport = transport;
            idle.tuning = lowCpu ? "low-CPU" : "default";
            const std::vector<std::string> tuning =
                lowCpu ? kLowCpuTuning : std::vector<std::string>{};
            Progress(fmt::format("{} idle, {} tuning", transport, idle.tuning));
            MeasureIdleCpu(options, idle, tuning);
            if (transport != "sharedmem") {
                idle.hasLatency = true;
                MeasurePacedLatency(options, idle, tuning);
                if (!lowCpu) {
                    MeasureRawRoundTrip(options, idle);
                } else if (!idles.empty()) {
                    idle.rawRttP50Ns = idles.back().rawRttP50Ns;
                    idle.rawRttP99Ns = idles.back().rawRttP99Ns;
                    idle.rawRttUrl = idles.back().rawRttUrl;
                }
            }
            idles.push_back(idle);
        }
    }
    machine.loadAfter = LoadAverage();
    if (options.json) {
        PrintJson(options, machine, cells, idles);
    } else {
        PrintMarkdown(options, machine, cells, idles);
    }
    return 0;
}

}  // namespace KXBench
