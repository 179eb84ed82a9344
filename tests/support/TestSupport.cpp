#include "TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kxtest {

ScopedTestHome::ScopedTestHome() {
    char pattern[] = "/tmp/kxtest-XXXXXX";
    const char* made = mkdtemp(pattern);
    root_ = made != nullptr ? made : "/tmp/kxtest-fallback";
    mkdir(RuntimeDir().c_str(), 0700);
    mkdir((root_ + "/Documents").c_str(), 0700);
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", RuntimeDir().c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", (root_ + "/Documents").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ + "/.config").c_str(), 1);
}

ScopedTestHome::~ScopedTestHome() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::string ScopedTestHome::DataDir() const {
    return root_ + "/Documents/Kelvanorix";
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
             std::chrono::milliseconds poll) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
}

std::string ProgramPath(const std::string& name) {
    return std::string(KX_BINARY_DIR) + "/tests/" + name + "/" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
    }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> argvStore;
    argvStore.push_back(program);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        pid_ = -1;
        return false;
    }
    stdoutFd_ = fds[0];
    fcntl(stdoutFd_, F_SETFL, fcntl(stdoutFd_, F_GETFL) | O_NONBLOCK);
    reaped_ = false;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || reaped_) {
        return false;
    }
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, signal);
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            ReadLines();
            return status;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        ReadLines();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> ChildProcess::ReadLines() {
    std::vector<std::string> fresh;
    if (stdoutFd_ < 0) {
        return fresh;
    }
    char buffer[65536];
    while (true) {
        const ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        partial_.append(buffer, static_cast<size_t>(n));
    }
    size_t pos = 0;
    while (true) {
        const auto nl = partial_.find('\n', pos);
        if (nl == std::string::npos) {
            break;
        }
        fresh.push_back(partial_.substr(pos, nl - pos));
        pos = nl + 1;
    }
    partial_.erase(0, pos);
    lines_.insert(lines_.end(), fresh.begin(), fresh.end());
    return fresh;
}

int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        closedir(dir);
    }
    return count;
}

}  // namespace kxtest
