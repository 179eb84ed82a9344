#include "PeerSupport.h"

#include <signal.h>

#include <future>
#include <memory>
#include <regex>
#include <thread>

namespace kxtest {

std::optional<CoreReport> ParseCoreReport(const std::string& line) {
    static const std::regex transportRe("\"transport\":\"([a-z]+)\"");
    static const std::regex aliveRe("\"alive\":(true|false)");
    static const std::regex numberRe("\"([a-z0-9_]+)\":([0-9]+)");
    static const std::regex digestRe("\"last_record_digest\":\"([0-9a-f]*)\"");
    std::smatch m;
    if (!std::regex_search(line, m, transportRe)) {
        return std::nullopt;
    }
    CoreReport report;
    report.transport = m[1];
    if (std::regex_search(line, m, aliveRe)) {
        report.alive = m[1] == "true";
    }
    if (std::regex_search(line, m, digestRe)) {
        report.lastRecordDigest = m[1];
    }
    for (auto it = std::sregex_iterator(line.begin(), line.end(), numberRe);
         it != std::sregex_iterator(); ++it) {
        report.numbers[(*it)[1]] = std::stoull((*it)[2]);
    }
    auto number = [&](const char* key) {
        auto found = report.numbers.find(key);
        return found == report.numbers.end() ? 0 : found->second;
    };
    report.latencyNs = number("latency_ns");
    report.smoothedLatencyNs = number("smoothed_latency_ns");
    report.readBytes = number("read_bytes");
    report.readMetaBytes = number("read_meta_bytes");
    report.writeBytes = number("write_bytes");
    report.writeMetaBytes = number("write_meta_bytes");
    report.lastRecordBytes = number("last_record_bytes");
    return report;
}

std::string Digest(const std::string& data) {
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : data) {
        hash = (hash ^ c) * 1099511628211ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

bool CorePeer::Start(const std::vector<std::string>& extraArgs) {
    std::vector<std::string> args{"--report-interval-ms", "20", "--record-digest", "yes"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    latest_.clear();
    return process_.Start(ProgramPath("kxfakeshm-core-peer"), args);
}

void CorePeer::Pump() {
    for (const std::string& line : process_.ReadLines()) {
        if (auto report = ParseCoreReport(line)) {
            latest_[report->transport] = *report;
        }
    }
}

std::optional<CoreReport> CorePeer::Latest(const std::string& transport) {
    Pump();
    auto it = latest_.find(transport);
    if (it == latest_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool CorePeer::WaitFor(const std::string& transport,
                       const std::function<bool(const CoreReport&)>& condition,
                       std::chrono::milliseconds deadline) {
    return kxtest::WaitFor(
        [&] {
            auto report = Latest(transport);
            return report && condition(*report);
        },
        deadline);
}

std::optional<int> CorePeer::Stop() {
    process_.Signal(SIGINT);
    return process_.Wait(std::chrono::seconds(30));
}

bool ReturnsWithin(std::function<void()> call, std::chrono::milliseconds deadline) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> returned = done->get_future();
    std::thread([call = std::move(call), done] {
        call();
        done->set_value();
    }).detach();
    return returned.wait_for(deadline) == std::future_status::ready;
}

KXFakeShm::Tuning TestTuning() {
    KXFakeShm::Tuning tuning;
    tuning.SocketReceiveNonBlocking = false;
    tuning.SocketReceiveTimeout = 2;
    tuning.SocketSendTimeout = 200;
    tuning.LivenessTimeout = 100;
    tuning.SharedMemLivenessTimeout = 100;
    return tuning;
}

}  // namespace kxtest
