#pragma once

// A child process with its standard output on a pipe: the other peer of the
// two-process tests and the helper processes of the benchmark.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kxtest {

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();  // kills (SIGKILL) and reaps a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Standard error is inherited; the child starts with no signal blocked,
    // whatever this process blocks.
    bool Start(const std::string& program, const std::vector<std::string>& args);
    pid_t Pid() const { return pid_; }
    bool Running();
    void Signal(int signal);
    // Waits for the exit; the exit status as waitpid reports it, or nothing on timeout.
    std::optional<int> Wait(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // SIGINT, then SIGKILL when it has not ended within `grace`; true on a clean exit 0.
    bool Stop(std::chrono::milliseconds grace = std::chrono::seconds(20));

    // Reads what the child wrote so far and returns the complete lines.
    std::vector<std::string> ReadLines();
    const std::vector<std::string>& AllLines() const { return lines_; }

  private:
    // Collects the exit status once the child has ended (`block`: waits for it).
    bool Reap(bool block);

    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string partial_;
    std::vector<std::string> lines_;
};

}  // namespace kxtest
