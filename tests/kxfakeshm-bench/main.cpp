// kxfakeshm-bench: measures every transport of the library side by side with its
// raw mechanism and prints the result as markdown tables (or JSON with --json).
// With --role it is one of its own helper processes instead (Roles.h).

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "Bench.h"
#include "Roles.h"
#include "kxcommon/CommandLine.h"
#include "tests/kxfakeshm-connect-client/Version.h"

namespace {

void PrintUsage() {
    std::cout << "\n"
                 "    Usage:\n"
                 "      kxfakeshm-bench [options]\n"
                 "\n"
                 "    Options:\n"
                 "      --help or -h\n"
                 "      --version\n"
                 "      --transports <list>     tcp,ipc,sharedmem (default: all three)\n"
                 "      --sizes <list>          1KB,10KB,100KB,1MB,10MB (default: all five)\n"
                 "      --seconds <number>      streaming time per measurement (default: 3)\n"
                 "      --idle-seconds <number> idle CPU window (default: 5)\n"
                 "      --rounds <number>       streaming measurements per cell, the median shown\n"
                 "                              (default: 1)\n"
                 "      --json                  machine-readable output\n"
                 "      --low-cpu-streaming     tcp and ipc also stream with the low-CPU tuning\n"
                 "      --no-idle               leave out the idle measurements\n"
                 "      --core-peer <path>      the kxfakeshm-core-peer program\n"
              << std::endl;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

bool ParseSize(std::string text, uint64_t& bytes) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    static const std::pair<const char*, uint64_t> kNames[] = {
        {"1KB", 1024},    {"1K", 1024},     {"10KB", 10240}, {"10K", 10240},     {"100KB", 102400},
        {"100K", 102400}, {"1MB", 1048576}, {"1M", 1048576}, {"10MB", 10485760}, {"10M", 10485760}};
    for (const auto& [name, value] : kNames) {
        if (text == name) {
            bytes = value;
            return true;
        }
    }
    uint64_t value = 0;
    if (KXCommon::ParseUInt64(text, value)) {
        for (uint64_t known : {1024ULL, 10240ULL, 102400ULL, 1048576ULL, 10485760ULL}) {
            if (value == known) {
                bytes = value;
                return true;
            }
        }
    }
    return false;
}

bool ParseSeconds(const std::string& text, double& seconds) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(value > 0) || value > 3600) {
        return false;
    }
    seconds = value;
    return true;
}

std::string SelfPath(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
        return std::string(path, static_cast<size_t>(n));
    }
    return argv0;
}

}  // namespace

int main(int argc, char** argv) {
    KXCommon::SplitArguments split = KXCommon::SplitCommandLine(argc, argv);
    if (auto role = split.parameters.find("role"); role != split.parameters.end()) {
        const std::string name = role->second;
        split.parameters.erase(role);
        return KXBench::RunRole(name, split.parameters);
    }
    if (KXClient::VersionRequested(argc, argv)) {
        std::cout << KXClient::VersionText("kxfakeshm-bench");
        return 0;
    }
    if (split.flags.count("help") != 0 || split.flags.count("h") != 0) {
        PrintUsage();
        return 0;
    }
    KXBench::BenchOptions options;
    options.self = SelfPath(argv[0]);
    // The Core peer is installed beside this program (<prefix>/bin) and built next
    // to it (<build>/tests/<name>/<name>).
    const std::filesystem::path self(options.self);
    const std::filesystem::path installed = self.parent_path() / "kxfakeshm-core-peer";
    options.corePeer =
        access(installed.c_str(), X_OK) == 0
            ? installed.string()
            : (self.parent_path().parent_path() / "kxfakeshm-core-peer" / "kxfakeshm-core-peer")
                  .string();
    auto fail = [](const std::string& message) {
        std::cerr << message << "\n";
        PrintUsage();
        return 1;
    };
    for (const std::string& flag : split.flags) {
        if (flag == "json") {
            options.json = true;
        } else if (flag == "no-idle") {
            options.idle = false;
        } else if (flag == "low-cpu-streaming") {
            options.lowCpuStreaming = true;
        } else {
            return fail("Invalid or unknown command-line argument: '" + flag + "'");
        }
    }
    for (const auto& [key, value] : split.parameters) {
        if (key == "transports") {
            options.transports = SplitList(value);
            for (const std::string& t : options.transports) {
                if (t != "tcp" && t != "ipc" && t != "sharedmem") {
                    return fail("Invalid transport in --transports: '" + t + "'");
                }
            }
            if (options.transports.empty()) {
                return fail("--transports needs at least one of tcp, ipc, sharedmem");
            }
        } else if (key == "sizes") {
            options.sizes.clear();
            for (const std::string& item : SplitList(value)) {
                uint64_t bytes = 0;
                if (!ParseSize(item, bytes)) {
                    return fail("Invalid size in --sizes: '" + item + "'");
                }
                options.sizes.push_back(bytes);
            }
            if (options.sizes.empty()) {
                return fail("--sizes needs at least one size");
            }
        } else if (key == "seconds") {
            if (!ParseSeconds(value, options.seconds)) {
                return fail("Invalid value for --seconds: '" + value + "'");
            }
        } else if (key == "idle-seconds") {
            if (!ParseSeconds(value, options.idleSeconds)) {
                return fail("Invalid value for --idle-seconds: '" + value + "'");
            }
        } else if (key == "rounds") {
            char* end = nullptr;
            const long rounds = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || rounds < 1 || rounds > 20) {
                return fail("Invalid value for --rounds: '" + value + "' (1 to 20)");
            }
            options.rounds = static_cast<int>(rounds);
        } else if (key == "json") {
            return fail("--json takes no value");
        } else if (key == "core-peer") {
            options.corePeer = value;
        } else {
            return fail("Invalid or unknown command-line argument: '" + key + "'");
        }
    }
    if (access(options.corePeer.c_str(), X_OK) != 0) {
        return fail("Cannot run the Core peer '" + options.corePeer +
                    "'; build it or pass --core-peer");
    }
    return KXBench::RunBench(options);
}
