// A Connect peer in a process of its own, for the tests that kill or stop it:
// initialises the library as the Connect peer with the given transports,
// optionally streams records of a fixed size on each of them, prints one JSON line
// per transport every report interval (the Core peer's format), and runs until
// SIGINT/SIGTERM. Log: "connect-peer.log" in the data directory.
//   connect-peer --transports <bits> [--stream-bytes <n>] [--report-interval-ms <ms>]
//                [--leave-initialized yes] [tuning options]

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "kxcommon/CommandLine.h"
#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxlog/KXLog.h"
#include "kxlog/KXLogImpl.h"
#include "tests/kxfakeshm-connect-client/TuningOptions.h"

namespace {

using namespace KXFakeShm;

const std::string kBlock = "TestBlock";
const std::string kAddress = "TestAddress";

struct Options {
    Tuning tuning;
    uint32_t transports = Tcp | Ipc | SharedMem;
    uint64_t streamBytes = 0;
    uint64_t reportIntervalMs = 20;
    bool leaveInitialized = false;  // return from main without Terminate
};

bool ParseOptions(int argc, char** argv, Options& options) {
    KXCommon::CommandLineOptions table(KXClient::kUnknownArgumentMessage);
    KXClient::AddTuningOptions(table, options.tuning);
    table.AddUInt32("transports", &options.transports, "Invalid --transports: '{}'");
    table.AddUInt64("stream-bytes", &options.streamBytes, "Invalid --stream-bytes: '{}'");
    table.AddUInt64("report-interval-ms", &options.reportIntervalMs,
                    "Invalid --report-interval-ms: '{}'");
    table.AddYesNo("leave-initialized", &options.leaveInitialized,
                   "Invalid --leave-initialized: '{}'");
    bool help = false;
    std::string error;
    if (!table.Parse(argc, argv, help, error) || help) {
        std::cerr << error << "\n";
        return false;
    }
    return true;
}

// Writes `payload` on `kind` while its peer is alive, as the client's write workers do.
void Stream(FakeSharedMem& library, TransportKind kind, const std::string& payload,
            const std::atomic<bool>& running) {
    std::string error;
    bool entry = false;
    while (running.load()) {
        if (!library.IsPeerAlive(kind)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        bool ok;
        if (kind == Tcp) {
            ok = library.WriteViaTcp(kBlock, kAddress, payload, error);
        } else if (kind == Ipc) {
            ok = library.WriteViaIpc(kBlock, kAddress, payload, error);
        } else {
            if (!entry) {
                entry = library.WriteTo(kBlock, kAddress, std::string(), error);
            }
            ok = entry && library.WriteTo_NotCreate(kBlock, kAddress, payload, error);
            entry = ok;
        }
        if (!ok) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

void Report(FakeSharedMem& library) {
    static constexpr struct {
        TransportKind kind;
        const char* name;
    } kTransports[] = {{Tcp, "tcp"}, {Ipc, "ipc"}, {SharedMem, "sharedmem"}};
    for (const auto& t : kTransports) {
        if ((library.GetTransports() & t.kind) == 0) {
            continue;
        }
        std::printf("{\"transport\":\"%s\",\"alive\":%s,\"write_bytes\":%llu}\n", t.name,
                    library.IsPeerAlive(t.kind) ? "true" : "false",
                    static_cast<unsigned long long>(library.GetWriteBytes(t.kind)));
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return 1;
    }
    std::string error;
    if (!KXLogImpl::Log::Instance().Initialize(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    kxlog::SetStderrVerbosity(kxlog::kOff);
    const std::string log = KXCommon::DataDirectory() + "/connect-peer.log";
    if (!KXCommon::EnsureParentDirectory(log, error) || !kxlog::AddFile(log, 9, error)) {
        std::cerr << error << "\n";
        return 1;
    }

    FakeSharedMem& library = FakeSharedMem::Instance();
    if (!library.Initialize(EPeer::Connect, static_cast<uint8_t>(options.transports),
                            options.tuning, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::printf("{\"ready\":1}\n");
    std::fflush(stdout);

    std::atomic<bool> running{true};
    std::vector<std::thread> writers;
    const std::string payload(options.streamBytes, 'c');
    for (TransportKind kind : {Tcp, Ipc, SharedMem}) {
        if (options.streamBytes > 0 && (options.transports & kind) != 0) {
            writers.emplace_back(Stream, std::ref(library), kind, std::cref(payload),
                                 std::cref(running));
        }
    }

    const timespec interval{static_cast<time_t>(options.reportIntervalMs / 1000),
                            static_cast<long>(options.reportIntervalMs % 1000) * 1000000L};
    while (sigtimedwait(&signals, nullptr, &interval) < 0) {
        Report(library);
    }

    running = false;
    for (std::thread& writer : writers) {
        writer.join();
    }
    if (options.leaveInitialized) {
        return 0;  // the library object's destruction terminates it
    }
    int code = 0;
    if (!library.Terminate(error)) {
        std::cerr << error << "\n";
        code = 1;
    }
    KXLogImpl::Log::Instance().Terminate(error);
    return code;
}
