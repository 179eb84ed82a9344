#include "Roles.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>
#include <nng/transport/ipc/ipc.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <thread>
#include <vector>

#include "AliveDropCounter.h"
#include "Child.h"
#include "kxcommon/CommandLine.h"
#include "kxcommon/DataDirectory.h"
#include "kxconnectshm/ShmString.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/LinkStatistics.h"
#include "kxlog/KXLog.h"
#include "kxlog/KXLogImpl.h"
#include "tests/kxfakeshm-connect-client/ClientState.h"
#include "tests/kxfakeshm-connect-client/TuningOptions.h"
#include "tests/kxfakeshm-connect-client/Workers.h"

namespace KXBench {

const char* const kStoreBlock = "TestBlock";
const char* const kStoreAddress = "TestAddress";

namespace {

namespace bip = boost::interprocess;
using KXFakeShm::FakeSharedMem;
using KXFakeShm::LatencyHistogram;
using KXFakeShm::TransportKind;

constexpr auto kReportInterval = std::chrono::milliseconds(100);
constexpr auto kPacedInterval = std::chrono::milliseconds(2);

// SIGINT and SIGTERM are blocked before any thread starts (NNG's and the
// library's inherit the mask) and taken by the main thread only.
class Signals {
  public:
    Signals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // True when a signal arrived within `timeout`.
    bool Wait(std::chrono::nanoseconds timeout) const {
        timespec ts{static_cast<time_t>(timeout.count() / 1'000'000'000),
                    static_cast<long>(timeout.count() % 1'000'000'000)};
        return sigtimedwait(&set_, nullptr, &ts) > 0;
    }

  private:
    sigset_t set_;
};

void Print(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Take(std::map<std::string, std::string>& parameters, const std::string& key,
                 const std::string& fallback = {}) {
    const auto it = parameters.find(key);
    if (it == parameters.end()) {
        return fallback;
    }
    std::string value = it->second;
    parameters.erase(it);
    return value;
}

uint64_t TakeNumber(std::map<std::string, std::string>& parameters, const std::string& key,
                    uint64_t fallback) {
    const std::string text = Take(parameters, key);
    uint64_t value = fallback;
    if (!text.empty() && !KXCommon::ParseUInt64(text, value)) {
        value = fallback;
    }
    return value;
}

bool KindOf(const std::string& name, TransportKind& kind) {
    if (name == "tcp") {
        kind = KXFakeShm::Tcp;
    } else if (name == "ipc") {
        kind = KXFakeShm::Ipc;
    } else if (name == "sharedmem") {
        kind = KXFakeShm::SharedMem;
    } else {
        return false;
    }
    return true;
}

bool StartLog(const std::string& name) {
    std::string error;
    // Off before the log starts, so that not even its start-up lines reach the
    // benchmark's terminal.
    kxlog::SetStderrVerbosity(kxlog::kOff);
    if (!KXLogImpl::Log::Instance().Initialize(error)) {
        std::cerr << error << "\n";
        return false;
    }
    const std::string path = KXCommon::DataDirectory() + KXCommon::kPathSeparator + name;
    if (!KXCommon::EnsureParentDirectory(path, error) ||
        !kxlog::AddFile(path, kxlog::kInfo, error)) {
        std::cerr << "Failed to open the log file '" << path << "': " << error << "\n";
        return false;
    }
    return true;
}

void StopLog() {
    std::string ignored;
    KXLogImpl::Log::Instance().Terminate(ignored);
}

// The Connect peer: the library on one transport, fed as the client feeds it.
int RunConnect(std::map<std::string, std::string> parameters) {
    const Signals signals;
    TransportKind kind{};
    const std::string transport = Take(parameters, "transport");
    if (!KindOf(transport, kind)) {
        std::cerr << "connect: unknown transport '" << transport << "'\n";
        return 2;
    }
    const std::string mode = Take(parameters, "mode", "stream");
    const uint64_t size = TakeNumber(parameters, "size", 1024);
    const uint64_t alivePollMs = TakeNumber(parameters, "alive-poll-ms", 0);
    KXFakeShm::Tuning tuning;
    KXCommon::CommandLineOptions table(KXClient::kUnknownArgumentMessage);
    KXClient::AddTuningOptions(table, tuning);
    KXCommon::SplitArguments split;
    split.parameters = parameters;
    bool help = false;
    std::string error;
    if (!table.Apply(split, help, error)) {
        std::cerr << error << "\n";
        return 2;
    }
    KXClient::ClientState& state = KXClient::GetClientState();
    size_t index = state.payloadSizes.size();
    for (size_t i = 0; i < state.payloadSizes.size(); ++i) {
        if (state.payloadSizes[i].bytes == size) {
            index = i;
        }
    }
    if (index == state.payloadSizes.size()) {
        std::cerr << "connect: " << size << " is not one of the client's payload sizes\n";
        return 2;
    }
    if (!StartLog("kxfakeshm-bench-connect.log")) {
        return 1;
    }
    FakeSharedMem& library = FakeSharedMem::Instance();
    if (!library.Initialize(KXFakeShm::EPeer::Connect, kind, tuning, error)) {
        std::cerr << error << "\n";
        StopLog();
        return 1;
    }
    Print(fmt::format("{{\"role\":\"connect\",\"transport\":\"{}\",\"ready\":true}}", transport));

    state.payloadSizeIndex = index;
    KXClient::PayloadSlot& slot = kind == KXFakeShm::Tcp   ? state.tcp
                                  : kind == KXFakeShm::Ipc ? state.ipc
                                                           : state.sharedMem;
    uint64_t random = KXClient::SeedRandomState(NowNs());
    slot.currentPayload = KXClient::RandomPayload(size, random);

    std::thread worker;
    if (mode == "stream") {
        worker = std::thread(kind == KXFakeShm::Tcp   ? KXClient::WriteMessageWorker_Tcp
                             : kind == KXFakeShm::Ipc ? KXClient::WriteMessageWorker_Ipc
                                                      : KXClient::WriteMessageWorker_SharedMem);
    } else if (mode == "paced") {
        // One payload every interval while the peer is alive: latency on an
        // otherwise idle link.
        worker = std::thread([&library, &state, &slot, kind] {
            const std::string payload = slot.currentPayload;
            const std::string block = KXClient::kTestBlock;
            const std::string address = KXClient::kTestAddress;
            std::string error;
            if (kind == KXFakeShm::SharedMem) {
                library.WriteTo(block, address, std::string(), error);
            }
            auto next = std::chrono::steady_clock::now();
            while (state.running.load()) {
                if (!library.IsPeerAlive(kind)) {
                } else if (kind == KXFakeShm::Tcp) {
                    library.WriteViaTcp(block, address, payload, error);
                } else if (kind == KXFakeShm::Ipc) {
                    library.WriteViaIpc(block, address, payload, error);
                } else {
                    library.WriteTo_NotCreate(block, address, payload, error);
                }
                next = std::max(next + kPacedInterval, std::chrono::steady_clock::now());
                std::this_thread::sleep_until(next);
            }
        });
    }

    std::optional<AliveDropCounter> drops;
    if (alivePollMs > 0) {
        drops.emplace(library, std::chrono::milliseconds(alivePollMs));
    }
    while (!signals.Wait(kReportInterval)) {
        Print(fmt::format(
            "{{\"role\":\"connect\",\"transport\":\"{}\",\"alive\":{},\"report_time_ns\":{},"
            "\"total_write_messages\":{},\"total_write_bytes\":{},\"latency_p50_ns\":{},"
            "\"latency_p99_ns\":{}{}}}",
            transport, library.IsPeerAlive(kind), NowNs(), library.GetTotalWriteMessages(kind),
            library.GetTotalWriteBytes(kind), library.GetLatencyPercentile(kind, 50.0),
            library.GetLatencyPercentile(kind, 99.0),
            drops ? fmt::format(",\"alive_drops\":{}", drops->Drops(kind)) : ""));
    }
    drops.reset();
    KXClient::StopRunning();
    if (worker.joinable()) {
        worker.join();
    }
    int code = 0;
    if (!library.Terminate(error)) {
        std::cerr << error << "\n";
        code = 1;
    }
    StopLog();
    return code;
}

struct NngSocket {
    nng_socket socket = NNG_SOCKET_INITIALIZER;
    bool open = false;
    ~NngSocket() { Close(); }
    void Close() {
        if (open) {
            nng_close(socket);
            open = false;
        }
    }
};

// Opens a pair0 socket that listens on `url` (port 0 picks a free one) and
// returns the bound URL, or dials `url` (retried by NNG until the peer is there).
bool OpenPair(NngSocket& s, const std::string& url, bool listen, std::string& bound) {
    if (nng_pair0_open(&s.socket) != 0) {
        std::cerr << "nng_pair0_open failed\n";
        return false;
    }
    s.open = true;
    if (!listen) {
        nng_dialer dialer;
        if (nng_dialer_create(&dialer, s.socket, url.c_str()) != 0 ||
            nng_dialer_set_ms(dialer, NNG_OPT_RECONNMINT, 1) != 0 ||
            nng_dialer_set_ms(dialer, NNG_OPT_RECONNMAXT, 10) != 0 ||
            nng_dialer_start(dialer, NNG_FLAG_NONBLOCK) != 0) {
            std::cerr << "cannot dial " << url << "\n";
            return false;
        }
        bound = url;
        return true;
    }
    nng_listener listener;
    if (nng_listener_create(&listener, s.socket, url.c_str()) != 0) {
        std::cerr << "cannot listen on " << url << "\n";
        return false;
    }
    if (url.rfind("ipc://", 0) == 0) {
        nng_listener_set_int(listener, NNG_OPT_IPC_PERMISSIONS, 0600);
    }
    if (nng_listener_start(listener, 0) != 0) {
        std::cerr << "cannot listen on " << url << "\n";
        return false;
    }
    bound = url;
    if (url.rfind("tcp://", 0) == 0) {
        nng_sockaddr address{};
        if (nng_listener_get_addr(listener, NNG_OPT_LOCADDR, &address) != 0 ||
            address.s_family != NNG_AF_INET) {
            std::cerr << "no bound address for " << url << "\n";
            return false;
        }
        bound = fmt::format("tcp://127.0.0.1:{}", ntohs(address.s_in.sa_port));
    }
    return true;
}

std::string Filler(size_t size) {
    uint64_t random = KXClient::SeedRandomState(NowNs());
    return KXClient::RandomPayload(size, random);
}

// Blocking sends of size-byte messages, each starting with its send time.
int RunRawSend(std::map<std::string, std::string> parameters) {
    const Signals signals;
    const std::string url = Take(parameters, "url");
    const size_t size = std::max<uint64_t>(TakeNumber(parameters, "size", 1024), 8);
    NngSocket s;
    std::string bound;
    if (!OpenPair(s, url, true, bound)) {
        return 1;
    }
    Print(fmt::format("{{\"role\":\"raw-send\",\"url\":\"{}\"}}", bound));
    std::atomic<uint64_t> sent{0};
    std::thread sender([&] {
        std::string buffer = Filler(size);
        while (true) {
            const uint64_t now = NowNs();
            std::memcpy(buffer.data(), &now, sizeof now);
            const int rc = nng_send(s.socket, buffer.data(), buffer.size(), 0);
            if (rc == NNG_ECLOSED) {
                break;
            }
            if (rc == 0) {
                sent.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    while (!signals.Wait(kReportInterval)) {
        Print(fmt::format(
            "{{\"role\":\"raw-send\",\"report_time_ns\":{},\"total_write_messages\":{}}}", NowNs(),
            sent.load()));
    }
    s.Close();  // wakes the blocked send
    sender.join();
    return 0;
}

// Blocking receives; counts messages and bytes and times each message one way.
int RunRawReceive(std::map<std::string, std::string> parameters) {
    const Signals signals;
    const std::string url = Take(parameters, "url");
    NngSocket s;
    std::string bound;
    if (!OpenPair(s, url, false, bound)) {
        return 1;
    }
    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> bytes{0};
    LatencyHistogram latency;
    std::thread receiver([&] {
        while (true) {
            nng_msg* msg = nullptr;
            const int rc = nng_recvmsg(s.socket, &msg, 0);
            if (rc == NNG_ECLOSED) {
                break;
            }
            if (rc != 0) {
                continue;
            }
            const uint64_t now = NowNs();
            const size_t length = nng_msg_len(msg);
            if (length >= sizeof(uint64_t)) {
                uint64_t sentAt = 0;
                std::memcpy(&sentAt, nng_msg_body(msg), sizeof sentAt);
                if (sentAt != 0 && sentAt < now) {
                    latency.Record(now - sentAt);
                }
            }
            nng_msg_free(msg);
            bytes.fetch_add(length, std::memory_order_relaxed);
            messages.fetch_add(1, std::memory_order_relaxed);
        }
    });
    while (!signals.Wait(kReportInterval)) {
        Print(
            fmt::format("{{\"role\":\"raw-recv\",\"report_time_ns\":{},\"total_read_messages\":{},"
                        "\"total_read_bytes\":{},\"latency_p50_ns\":{},\"latency_p99_ns\":{}}}",
                        NowNs(), messages.load(), bytes.load(), latency.Percentile(50.0),
                        latency.Percentile(99.0)));
    }
    s.Close();
    receiver.join();
    return 0;
}

// The nearest-rank percentile (0..100) of `samples` (reordered); 0 when empty.
uint64_t ExactPercentile(std::vector<uint64_t>& samples, double percentile) {
    if (samples.empty()) {
        return 0;
    }
    const auto rank = static_cast<size_t>(std::ceil(percentile / 100.0 * samples.size()));
    const auto nth = samples.begin() +
                     static_cast<std::ptrdiff_t>(std::clamp<size_t>(rank, 1, samples.size()) - 1);
    std::nth_element(samples.begin(), nth, samples.end());
    return *nth;
}

// Round trips of one size-byte message at a time for `seconds` after the first.
int RunRawPing(std::map<std::string, std::string> parameters) {
    const Signals signals;
    const std::string url = Take(parameters, "url");
    const size_t size = std::max<uint64_t>(TakeNumber(parameters, "size", 1024), 8);
    const uint64_t durationMs = TakeNumber(parameters, "duration-ms", 1000);
    NngSocket s;
    std::string bound;
    if (!OpenPair(s, url, true, bound)) {
        return 1;
    }
    // A lost echo peer must not hang the ping.
    nng_socket_set_ms(s.socket, NNG_OPT_RECVTIMEO, 10000);
    nng_socket_set_ms(s.socket, NNG_OPT_SENDTIMEO, 10000);
    Print(fmt::format("{{\"role\":\"raw-ping\",\"url\":\"{}\"}}", bound));
    // Every sample, for exact percentiles: the histogram's two digits would put
    // round trips of 150 and 159 us, whatever their transport, in one bucket.
    std::vector<uint64_t> rtt;
    rtt.reserve(1 << 16);
    std::string buffer = Filler(size);
    uint64_t end = 0;
    bool failed = false;
    while (end == 0 || NowNs() < end) {
        const uint64_t start = NowNs();
        if (nng_send(s.socket, buffer.data(), buffer.size(), 0) != 0) {
            failed = true;
            break;
        }
        nng_msg* msg = nullptr;
        if (nng_recvmsg(s.socket, &msg, 0) != 0) {
            failed = true;
            break;
        }
        const uint64_t now = NowNs();
        nng_msg_free(msg);
        if (end == 0) {
            // The first trip waited for the dialer; the timing starts after it.
            end = now + durationMs * 1'000'000ULL;
            continue;
        }
        rtt.push_back(now - start);
    }
    Print(fmt::format(
        "{{\"role\":\"raw-ping\",\"done\":{},\"url\":\"{}\",\"round_trips\":{},"
        "\"rtt_p50_ns\":{},\"rtt_p99_ns\":{}}}",
        !failed, bound, rtt.size(), ExactPercentile(rtt, 50.0), ExactPercentile(rtt, 99.0)));
    signals.Wait(std::chrono::seconds(30));
    return failed ? 1 : 0;
}

int RunRawEcho(std::map<std::string, std::string> parameters) {
    const Signals signals;
    const std::string url = Take(parameters, "url");
    NngSocket s;
    std::string bound;
    if (!OpenPair(s, url, false, bound)) {
        return 1;
    }
    std::thread echo([&] {
        while (true) {
            nng_msg* msg = nullptr;
            const int rc = nng_recvmsg(s.socket, &msg, 0);
            if (rc == NNG_ECLOSED) {
                break;
            }
            if (rc == 0 && nng_sendmsg(s.socket, msg, 0) != 0) {
                nng_msg_free(msg);
            }
        }
    });
    while (!signals.Wait(std::chrono::seconds(1))) {
    }
    s.Close();
    echo.join();
    return 0;
}

// The store's write, with nothing of the library around it.
int RunRawShm(std::map<std::string, std::string> parameters) {
    const Signals signals;
    const std::string segmentName = Take(parameters, "segment");
    const size_t size = TakeNumber(parameters, "size", 1024);
    if (segmentName.empty()) {
        std::cerr << "raw-shm: --segment is required\n";
        return 2;
    }
    const std::string data = Filler(size);
    try {
        bip::shared_memory_object::remove(segmentName.c_str());
        bip::managed_shared_memory segment(bip::create_only, segmentName.c_str(), kStoreSegmentSize,
                                           nullptr, bip::permissions(0600));
        segment.find_or_construct<KXConnectShm::ShmString>(kStoreAddress)(
            segment.get_segment_manager());
    } catch (const std::exception& e) {
        std::cerr << "raw-shm: " << e.what() << "\n";
        return 1;
    }
    Print("{\"role\":\"raw-shm\",\"ready\":true}");
    std::atomic<bool> running{true};
    std::atomic<uint64_t> written{0};
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        try {
            while (running.load(std::memory_order_relaxed)) {
                bip::managed_shared_memory segment(bip::open_only, segmentName.c_str());
                auto write = [&] {
                    auto* value =
                        segment.find_no_lock<KXConnectShm::ShmString>(kStoreAddress).first;
                    if (value != nullptr) {
                        if (value->capacity() < data.size()) {
                            value->reserve(data.size());
                        }
                        value->assign(data.data(), data.size());
                    }
                };
                segment.atomic_func(write);
                written.fetch_add(1, std::memory_order_relaxed);
            }
        } catch (const std::exception& e) {
            std::cerr << "raw-shm: " << e.what() << "\n";
            failed = true;
        }
    });
    while (!signals.Wait(kReportInterval)) {
        Print(
            fmt::format("{{\"role\":\"raw-shm\",\"report_time_ns\":{},\"total_write_messages\":{},"
                        "\"total_write_bytes\":{}}}",
                        NowNs(), written.load(), written.load() * size));
    }
    running = false;
    writer.join();
    bip::shared_memory_object::remove(segmentName.c_str());
    return failed ? 1 : 0;
}

}  // namespace

int RunRole(const std::string& role, std::map<std::string, std::string> parameters) {
    if (role == "connect") {
        return RunConnect(std::move(parameters));
    }
    if (role == "raw-send") {
        return RunRawSend(std::move(parameters));
    }
    if (role == "raw-recv") {
        return RunRawReceive(std::move(parameters));
    }
    if (role == "raw-ping") {
        return RunRawPing(std::move(parameters));
    }
    if (role == "raw-echo") {
        return RunRawEcho(std::move(parameters));
    }
    if (role == "raw-shm") {
        return RunRawShm(std::move(parameters));
    }
    std::cerr << "unknown role '" << role << "'\n";
    return 2;
}

}  // namespace KXBench
