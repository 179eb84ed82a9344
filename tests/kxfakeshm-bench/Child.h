#pragma once

// Helper processes of the benchmark and the one-line JSON reports they print.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace KXBench {

// A flat JSON object of one report line: numbers, booleans (as 0/1) and strings.
struct Report {
    std::map<std::string, uint64_t> numbers;
    std::map<std::string, std::string> strings;

    uint64_t Number(const std::string& key) const;
    bool Flag(const std::string& key) const { return Number(key) != 0; }
    std::string String(const std::string& key) const;
    bool Has(const std::string& key) const;
};

// Reads the flat objects this tree's programs print; nothing for other lines.
std::optional<Report> ParseReport(const std::string& line);

// The helper processes: the tests' child process (stdout on a pipe, SIGINT then
// SIGKILL on Stop).
using Child = kxtest::ChildProcess;

// CPU time of all threads of process `pid` so far, in ns (0 when unreadable).
uint64_t CpuTimeNs(pid_t pid);

// The steady clock in ns, the time base of every report.
uint64_t NowNs();

}  // namespace KXBench
