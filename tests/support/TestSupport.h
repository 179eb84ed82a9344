#pragma once

// Shared by the automated tests: a private home per test, polling waits with
// generous deadlines, and real child processes.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

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

// Number of threads of this process (from /proc/self/task).
int ThreadCount();

}  // namespace kxtest
