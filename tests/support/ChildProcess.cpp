#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace kxtest {

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        Reap(true);
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
    std::vector<std::string> store;
    store.push_back(program);
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : store) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // The peers wait for SIGINT/SIGTERM with sigtimedwait: they must not inherit
    // a mask that blocks them here already.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
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

bool ChildProcess::Reap(bool block) {
    if (pid_ <= 0 || reaped_) {
        return reaped_;
    }
    int status = 0;
    if (waitpid(pid_, &status, block ? 0 : WNOHANG) == pid_) {
        reaped_ = true;
        status_ = status;
    }
    return reaped_;
}

bool ChildProcess::Running() {
    return pid_ > 0 && !Reap(false);
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
    while (!Reap(false)) {
        ReadLines();
        if (std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ReadLines();
    return status_;
}

bool ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return false;
    }
    Signal(SIGINT);
    std::optional<int> status = Wait(grace);
    if (!status) {
        Signal(SIGKILL);
        Reap(true);
        return false;
    }
    return WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
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

}  // namespace kxtest
