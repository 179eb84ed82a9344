#pragma once

// Helper processes of the benchmark and the one-line JSON reports they print.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

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

// A child with its standard output on a pipe; standard error is inherited.
class Child {
  public:
    Child() = default;
    ~Child();  // a child still running is killed (SIGKILL) and reaped
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& args);
    pid_t Pid() const { return pid_; }
    bool Running();
    // SIGINT, then SIGKILL when it has not ended within `grace`; true on a clean exit 0.
    bool Stop(std::chrono::milliseconds grace = std::chrono::seconds(20));

    // The complete lines written since the last call.
    std::vector<std::string> ReadLines();

    // CPU time of all its threads so far, in ns (0 when unreadable).
    uint64_t CpuTimeNs() const;

  private:
    bool Reap(bool wait);

    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string partial_;
};

// The steady clock in ns, the time base of every report.
uint64_t NowNs();

}  // namespace KXBench
