#include "ReliabilitySupport.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "kxconnectshm/SharedMem.h"

// The leak check of sanitizer builds: this process reads the list below, the peer
// programs it starts read the same list from the file named in LSAN_OPTIONS.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libnng.so\n";
}

namespace kxrel {

using namespace KXFakeShm;

namespace {

void SuppressNngLeaksInChildren() {
    static const bool done = [] {
        const char* current = std::getenv("LSAN_OPTIONS");
        std::string options = current != nullptr ? current : "";
        if (options.find("suppressions=") == std::string::npos) {
            options +=
                std::string(options.empty() ? "" : ":") + "suppressions=" KX_LSAN_SUPPRESSIONS;
            setenv("LSAN_OPTIONS", options.c_str(), 1);
        }
        return true;
    }();
    (void)done;
}

}  // namespace

void RemoveFixedSegments() {
    for (const char* name : {"KXFakeShmHeartbeat", "TestBlock", "Devices", "Data", "Haptics",
                             "toDevice", "fromDevice"}) {
        std::string ignored;
        KXConnectShm::SharedMem::Dispose(name, ignored);
    }
}

bool SegmentExists(const std::string& name) {
    struct stat st {};
    return stat(("/dev/shm/" + name).c_str(), &st) == 0;
}

std::vector<std::string> ReportingPeer::CoreArgs(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--report-interval-ms", "20", "--record-digest", "yes"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

bool ReportingPeer::StartCore(const std::vector<std::string>& extra) {
    SuppressNngLeaksInChildren();
    latest_.clear();
    ready_ = true;
    return process_.Start(kxtest::ProgramPath("kxfakeshm-core-peer"), CoreArgs(extra));
}

bool ReportingPeer::StartConnect(uint8_t transports, uint64_t streamBytes,
                                 const std::vector<std::string>& extra) {
    latest_.clear();
    ready_ = false;
    SuppressNngLeaksInChildren();
    std::vector<std::string> args{"--transports", std::to_string(transports), "--stream-bytes",
                                  std::to_string(streamBytes)};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!process_.Start(ConnectPeerProgram(), args)) {
        return false;
    }
    return kxtest::WaitFor(
               [&] {
                   Pump();
                   return ready_ || !process_.Running();
               },
               std::chrono::seconds(30)) &&
           ready_;
}

void ReportingPeer::Pump() {
    for (const std::string& line : process_.ReadLines()) {
        if (line.find("\"ready\"") != std::string::npos) {
            ready_ = true;
        } else if (auto report = kxtest::ParseCoreReport(line)) {
            latest_[report->transport] = *report;
        }
    }
}

std::optional<kxtest::CoreReport> ReportingPeer::Latest(const std::string& transport) {
    Pump();
    auto it = latest_.find(transport);
    if (it == latest_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool ReportingPeer::WaitFor(const std::string& transport,
                            const std::function<bool(const kxtest::CoreReport&)>& condition,
                            std::chrono::milliseconds deadline) {
    return kxtest::WaitFor(
        [&] {
            auto report = Latest(transport);
            return report && condition(*report);
        },
        deadline);
}

bool ReportingPeer::WaitAlive(const std::string& transport, bool alive,
                              std::chrono::milliseconds deadline) {
    return WaitFor(
        transport, [alive](const kxtest::CoreReport& r) { return r.alive == alive; }, deadline);
}

void ReportingPeer::Forget() {
    Pump();
    latest_.clear();
}

std::optional<int> ReportingPeer::Stop() {
    process_.Signal(SIGINT);
    return process_.Wait(std::chrono::seconds(60));
}

void ReportingPeer::Kill() {
    process_.Signal(SIGKILL);
    process_.Wait(std::chrono::seconds(30));
}

Streamer::Streamer(TransportKind kind, std::function<size_t()> size)
    : kind_(kind), size_(std::move(size)), thread_(&Streamer::Run, this) {}

Streamer::~Streamer() {
    Stop();
}

void Streamer::Stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string Streamer::LastDigest() const {
    std::lock_guard lock(digestMutex_);
    return lastDigest_;
}

void Streamer::Run() {
    FakeSharedMem& library = FakeSharedMem::Instance();
    const std::string block = "TestBlock";
    const std::string address = "TestAddress";
    std::string payload;
    std::string digest;
    unsigned seed = static_cast<unsigned>(kind_) * 1000;
    bool entry = false;
    std::string error;
    while (running_.load()) {
        if (!library.IsPeerAlive(kind_)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const size_t size = size_();
        if (payload.size() != size) {
            payload = Payload(size, ++seed);
            digest = kxtest::Digest(payload);
        }
        bool ok;
        if (kind_ == Tcp) {
            ok = library.WriteViaTcp(block, address, payload, error);
        } else if (kind_ == Ipc) {
            ok = library.WriteViaIpc(block, address, payload, error);
        } else {
            // As the client's worker: the entry is made again after a failed write.
            if (!entry) {
                entry = library.WriteTo(block, address, std::string(), error);
            }
            ok = entry && library.WriteTo_NotCreate(block, address, payload, error);
            entry = ok;
        }
        if (ok) {
            ++written_;
            std::lock_guard lock(digestMutex_);
            lastDigest_ = digest;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

std::string Payload(size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string text(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t v = random();
        for (size_t k = 0; k < 8 && i + k < size; ++k) {
            text[i + k] = static_cast<char>('a' + ((v >> (8 * k)) & 0xff) % 26);
        }
    }
    return text;
}

uint64_t ResidentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoull(line.substr(6));
        }
    }
    return 0;
}

int Threads(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

std::vector<std::string> ErrorLines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" ERR| ") != std::string::npos &&
            line.find("last message repeated") == std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++count;
    }
    return count;
}

Tuning FaultTuning() {
    Tuning tuning = kxtest::TestTuning();
    tuning.LivenessTimeout = std::max<uint64_t>(tuning.LivenessTimeout, 50);
    return tuning;
}

std::vector<std::string> TuningArgs(const Tuning& t) {
    auto yesNo = [](bool value) { return std::string(value ? "yes" : "no"); };
    return {"--socket-receive-nonblocking",
            yesNo(t.SocketReceiveNonBlocking),
            "--socket-receive-timeout-ms",
            std::to_string(t.SocketReceiveTimeout),
            "--socket-send-nonblocking",
            yesNo(t.SocketSendNonBlocking),
            "--socket-send-timeout-ms",
            std::to_string(t.SocketSendTimeout),
            "--liveness-timeout-ms",
            std::to_string(t.LivenessTimeout),
            "--shared-mem-liveness-timeout-ms",
            std::to_string(t.SharedMemLivenessTimeout)};
}

std::string ConnectPeerProgram() {
    return KX_CONNECT_PEER_PATH;
}

}  // namespace kxrel
