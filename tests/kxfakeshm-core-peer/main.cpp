// kxfakeshm-core-peer: initialises the library as the Core peer, follows the
// transport file the Connect peer writes, and prints one JSON line per active
// transport every report interval until SIGINT/SIGTERM or --duration-s.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "kxcommon/CommandLine.h"
#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxlog/KXLog.h"
#include "kxlog/KXLogImpl.h"
#include "tests/kxfakeshm-bench/AliveDropCounter.h"
#include "tests/kxfakeshm-connect-client/TuningOptions.h"
#include "tests/kxfakeshm-connect-client/Version.h"

namespace {

using KXFakeShm::FakeSharedMem;
using KXFakeShm::TransportKind;

const std::string kBlock = "TestBlock";
const std::string kAddress = "TestAddress";

struct Options {
    KXFakeShm::Tuning tuning;
    uint64_t durationS = 0;  // 0: until a signal
    uint64_t reportIntervalMs = 1000;
    bool recordDigest = false;  // digest the newest record in each report
    uint64_t alivePollMs = 0;   // 0: alive->dead transitions not counted
    bool verbose = false;       // a "-v" flag was given
};

void PrintUsage() {
    std::cout << "\n"
                 "    Usage:\n"
                 "      kxfakeshm-core-peer [options]\n"
                 "\n"
                 "    Options:\n"
                 "      --help or -h\n"
                 "      --version\n"
                 "\n"
                 "      --duration-s <uint64>\n"
                 "      --report-interval-ms <uint64>\n"
                 "      --record-digest <yes|no>\n"
                 "      --alive-poll-ms <uint64>  samples liveness this often and reports\n"
                 "                                each link's alive->dead count (0: off)\n"
                 "      -v <verbosity>\n"
              << KXClient::TuningUsage()
              << "\n"
                 "    Output: one JSON line per active transport each report interval, with\n"
                 "    the link's figures; \"leaked_sockets\" counts the NNG sockets of this\n"
                 "    process whose close was abandoned because it hung (docs/nng.md).\n"
              << std::endl;
}

// The log's "-v" flag is not one of ours: take it (and its value) out before the
// options are parsed.
std::vector<std::string> WithoutVerbosityFlag(int argc, char** argv, bool& found) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i > 0 && arg.rfind("-v", 0) == 0) {
            found = true;
            if (arg == "-v" && i + 1 < argc) {
                ++i;
            }
            continue;
        }
        args.push_back(arg);
    }
    return args;
}

// 0: go on; otherwise the exit code (1 on a bad command line, 0 after --help).
int ParseOptions(int argc, char** argv, Options& options) {
    if (KXClient::VersionRequested(argc, argv)) {
        std::cout << KXClient::VersionText("kxfakeshm-core-peer");
        return -1;
    }
    std::vector<std::string> args = WithoutVerbosityFlag(argc, argv, options.verbose);
    KXCommon::CommandLineOptions table(KXClient::kUnknownArgumentMessage);
    KXClient::AddTuningOptions(table, options.tuning);
    table.AddUInt64("duration-s", &options.durationS,
                    "Invalid value for --duration-s: '{}'; please specify a valid uint64 value!");
    table.AddUInt64("report-interval-ms", &options.reportIntervalMs,
                    "Invalid value for --report-interval-ms: '{}'; please specify a valid uint64 "
                    "value!");
    table.AddYesNo("record-digest", &options.recordDigest,
                   "Invalid value for --record-digest: '{}'; please specify either 'yes' or "
                   "'no'!");
    table.AddUInt64("alive-poll-ms", &options.alivePollMs,
                    "Invalid value for --alive-poll-ms: '{}'; please specify a valid uint64 "
                    "value!");
    bool help = false;
    std::string error;
    if (!table.Apply(KXCommon::SplitCommandLine(args), help, error)) {
        KXLOG_ERROR("{}", error);
        std::cerr << error << "\n";
        PrintUsage();
        return 1;
    }
    if (help) {
        PrintUsage();
        return -1;
    }
    return 0;
}

bool StartLog(bool verbose) {
    std::string error;
    if (!KXLogImpl::Log::Instance().Initialize(error)) {
        std::cerr << error << "\n";
        return false;
    }
    if (!verbose) {
        kxlog::SetStderrVerbosity(kxlog::kOff);
    }
    const std::string path =
        KXCommon::DataDirectory() + KXCommon::kPathSeparator + "kxfakeshm-core-peer.log";
    std::string reason;
    if (!KXCommon::EnsureParentDirectory(path, reason) || !kxlog::AddFile(path, 9, reason)) {
        std::cerr << "Failed to open the log file '" << path << "': " << reason << "\n";
        return false;
    }
    return true;
}

struct LastRecord {
    uint64_t bytes = 0;
    std::string digest;  // FNV-1a 64 in hex; empty when no record is there
};

// The newest "TestBlock"/"TestAddress" record: the table of a socket transport, or
// the store for SharedMem (read once per report).
LastRecord ReadLastRecord(FakeSharedMem& library, TransportKind kind, bool digest) {
    std::string data;
    const bool found = library.ReadReceivedData(kind, kBlock, kAddress, data);
    LastRecord record;
    if (found && digest) {
        uint64_t hash = 14695981039346656037ULL;
        for (unsigned char c : data) {
            hash = (hash ^ c) * 1099511628211ULL;
        }
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        record.digest = hex;
    }
    record.bytes = data.size();
    return record;
}

void Report(FakeSharedMem& library, bool digest, const KXBench::AliveDropCounter* drops) {
    static constexpr struct {
        TransportKind kind;
        const char* name;
    } kTransports[] = {
        {KXFakeShm::Tcp, "tcp"}, {KXFakeShm::Ipc, "ipc"}, {KXFakeShm::SharedMem, "sharedmem"}};
    const uint8_t active = library.GetTransports();
    for (const auto& t : kTransports) {
        if ((active & t.kind) == 0) {
            continue;
        }
        const LastRecord record = ReadLastRecord(library, t.kind, digest);
        // report_time_ns: the steady clock when the figures were read, so that a
        // reader can turn the cumulative totals of two reports into rates.
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        std::printf(
            "{\"transport\":\"%s\",\"alive\":%s,\"latency_ns\":%llu,\"smoothed_latency_ns\":%llu,"
            "\"read_bytes\":%llu,\"read_meta_bytes\":%llu,\"write_bytes\":%llu,"
            "\"write_meta_bytes\":%llu,\"last_record_bytes\":%llu,\"last_record_digest\":\"%s\","
            "\"latency_p50_ns\":%llu,\"latency_p99_ns\":%llu,\"total_read_bytes\":%llu,"
            "\"total_read_messages\":%llu,\"total_write_bytes\":%llu,"
            "\"total_write_messages\":%llu,\"report_time_ns\":%llu",
            t.name, library.IsPeerAlive(t.kind) ? "true" : "false",
            static_cast<unsigned long long>(library.GetLatency(t.kind)),
            static_cast<unsigned long long>(library.GetSmoothedLatency(t.kind)),
            static_cast<unsigned long long>(library.GetReadBytes(t.kind)),
            static_cast<unsigned long long>(library.GetReadMetaBytes(t.kind)),
            static_cast<unsigned long long>(library.GetWriteBytes(t.kind)),
            static_cast<unsigned long long>(library.GetWriteMetaBytes(t.kind)),
            static_cast<unsigned long long>(record.bytes), record.digest.c_str(),
            static_cast<unsigned long long>(library.GetLatencyPercentile(t.kind, 50.0)),
            static_cast<unsigned long long>(library.GetLatencyPercentile(t.kind, 99.0)),
            static_cast<unsigned long long>(library.GetTotalReadBytes(t.kind)),
            static_cast<unsigned long long>(library.GetTotalReadMessages(t.kind)),
            static_cast<unsigned long long>(library.GetTotalWriteBytes(t.kind)),
            static_cast<unsigned long long>(library.GetTotalWriteMessages(t.kind)),
            static_cast<unsigned long long>(now.count()));
        std::printf(",\"leaked_sockets\":%llu",
                    static_cast<unsigned long long>(FakeSharedMem::GetLeakedSocketCount()));
        if (drops != nullptr) {
            std::printf(",\"alive_drops\":%llu",
                        static_cast<unsigned long long>(drops->Drops(t.kind)));
        }
        std::fputs("}\n", stdout);
    }
    std::fflush(stdout);
}

// Waits for SIGINT/SIGTERM up to `timeout` (a pending one is taken at once, even
// when the next report is overdue); true when one arrived.
bool WaitForSignal(const sigset_t& signals, std::chrono::nanoseconds timeout) {
    timeout = std::max(timeout, std::chrono::nanoseconds(0));
    timespec ts{static_cast<time_t>(timeout.count() / 1000000000),
                static_cast<long>(timeout.count() % 1000000000)};
    return sigtimedwait(&signals, nullptr, &ts) > 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked in every thread (the library's inherit the mask), taken by sigtimedwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Options options;
    if (const int code = ParseOptions(argc, argv, options); code != 0) {
        return code > 0 ? code : 0;
    }
    if (!StartLog(options.verbose)) {
        return 1;
    }

    FakeSharedMem& library = FakeSharedMem::Instance();
    std::string error;
    if (!library.Initialize(KXFakeShm::EPeer::Core,
                            KXFakeShm::Tcp | KXFakeShm::Ipc | KXFakeShm::SharedMem, options.tuning,
                            error)) {
        std::cerr << error << "\n";
        return 1;
    }

    std::optional<KXBench::AliveDropCounter> drops;
    if (options.alivePollMs > 0) {
        drops.emplace(library, std::chrono::milliseconds(options.alivePollMs));
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = options.durationS > 0 ? start + std::chrono::seconds(options.durationS)
                                           : Clock::time_point::max();
    const auto interval =
        std::chrono::milliseconds(std::max<uint64_t>(options.reportIntervalMs, 1));
    auto nextReport = start + interval;
    while (true) {
        const auto wakeUp = std::min(nextReport, end);
        if (WaitForSignal(signals, wakeUp - Clock::now())) {
            break;
        }
        const auto now = Clock::now();
        if (now >= nextReport) {
            Report(library, options.recordDigest, drops ? &*drops : nullptr);
            while (nextReport <= now) {
                nextReport += interval;
            }
        }
        if (now >= end) {
            break;
        }
    }

    drops.reset();
    int code = 0;
    if (!library.Terminate(error)) {
        std::cerr << error << "\n";
        code = 1;
    }
    KXLogImpl::Log::Instance().Terminate(error);
    return code;
}
