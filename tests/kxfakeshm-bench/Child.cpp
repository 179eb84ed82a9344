#include "Child.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace KXBench {

uint64_t NowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint64_t Report::Number(const std::string& key) const {
    const auto it = numbers.find(key);
    return it == numbers.end() ? 0 : it->second;
}

std::string Report::String(const std::string& key) const {
    const auto it = strings.find(key);
    return it == strings.end() ? std::string() : it->second;
}

bool Report::Has(const std::string& key) const {
    return numbers.count(key) != 0 || strings.count(key) != 0;
}

std::optional<Report> ParseReport(const std::string& line) {
    if (line.empty() || line.front() != '{' || line.back() != '}') {
        return std::nullopt;
    }
    static const std::regex pairRe("\"([A-Za-z0-9_]+)\":(\"([^\"]*)\"|true|false|[0-9]+)");
    Report report;
    for (auto it = std::sregex_iterator(line.begin(), line.end(), pairRe);
         it != std::sregex_iterator(); ++it) {
        const std::string key = (*it)[1];
        const std::string value = (*it)[2];
        if (value == "true" || value == "false") {
            report.numbers[key] = value == "true" ? 1 : 0;
        } else if (!value.empty() && value.front() == '"') {
            report.strings[key] = (*it)[3];
        } else {
            report.numbers[key] = std::stoull(value);
        }
    }
    return report;
}

uint64_t CpuTimeNs(pid_t pid) {
    if (pid <= 0) {
        return 0;
    }
    // Per-thread run time in ns (first field of schedstat), summed; the clock-tick
    // figures of /proc/<pid>/stat are the fallback.
    const std::string base = "/proc/" + std::to_string(pid);
    uint64_t total = 0;
    bool found = false;
    if (DIR* dir = opendir((base + "/task").c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::ifstream in(base + "/task/" + entry->d_name + "/schedstat");
            uint64_t ns = 0;
            if (in >> ns) {
                total += ns;
                found = true;
            }
        }
        closedir(dir);
    }
    if (found) {
        return total;
    }
    std::ifstream in(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    uint64_t utime = 0;
    uint64_t stime = 0;
    // After the command: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? (utime + stime) * 1'000'000'000ULL / static_cast<uint64_t>(ticks) : 0;
}

}  // namespace KXBench
