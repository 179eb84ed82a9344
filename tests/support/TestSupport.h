#pragma once

// Shared by the automated tests: a private home per test, polling waits with
// generous deadlines, and real child processes.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kxtest {

// Creates a fresh directory and points HOME, XDG_RUNTIME_DIR, XDG_DOCUMENTS_DIR
// and XDG_CONFIG_HOME into it, so that a test and the processes it starts meet
// each other and nobody else. Removes the directory again on destruction.
class ScopedTestHome {
  public:
    ScopedTestHome();
    ~ScopedTestHome();
    ScopedTestHome(const ScopedTestHome&) = delete;
    ScopedTestHome& operator=(const ScopedTestHome&) = delete;

    const std::string& Root() const { return root_; }
    std::string DataDir() const;  // <documents>/Kelvanorix
    std::string RuntimeDir() const { return root_ + "/run"; }

  private:
    std::string root_;
};

// Polls `condition` every `poll` until it holds or `deadline` passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = std::chrono::seconds(10),
             std::chrono::milliseconds poll = std::chrono::milliseconds(5));

// A built program of this tree, e.g. ProgramPath("kxfakeshm-core-peer").
std::string ProgramPath(const std::string& name);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// A child process with its standard output captured through a pipe.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();  // kills (SIGKILL) and reaps a child that still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& args);
    pid_t Pid() const { return pid_; }
    bool Running();
    void Signal(int signal);
    // Waits for the exit; the exit status as waitpid reports it, or nothing on timeout.
    std::optional<int> Wait(std::chrono::milliseconds deadline = std::chrono::seconds(20));

    // Reads what the child wrote so far and returns the complete lines.
    std::vector<std::string> ReadLines();
    const std::vector<std::string>& AllLines() const { return lines_; }

  private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
    bool reaped_ = false;
};

// Number of threads of this process (from /proc/self/task).
int ThreadCount();

}  // namespace kxtest
