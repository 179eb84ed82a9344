#include "Child.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

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

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        Reap(true);
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
    }
}

bool Child::Start(const std::string& program, const std::vector<std::string>& args) {
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
    // The children take SIGINT/SIGTERM through sigtimedwait: they start with the
    // default mask whatever this process blocks.
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

bool Child::Reap(bool wait) {
    if (pid_ <= 0 || reaped_) {
        return reaped_;
    }
    int status = 0;
    const pid_t r = waitpid(pid_, &status, wait ? 0 : WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = status;
    }
    return reaped_;
}

bool Child::Running() {
    return pid_ > 0 && !Reap(false);
}

bool Child::Stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return false;
    }
    if (!reaped_) {
        kill(pid_, SIGINT);
    }
    const auto end = std::chrono::steady_clock::now() + grace;
    while (!Reap(false)) {
        ReadLines();
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            Reap(true);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

std::vector<std::string> Child::ReadLines() {
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
    return fresh;
}

uint64_t Child::CpuTimeNs() const {
    if (pid_ <= 0 || reaped_) {
        return 0;
    }
    // Per-thread run time in ns (first field of schedstat), summed; the clock-tick
    // figures of /proc/<pid>/stat are the fallback.
    const std::string base = "/proc/" + std::to_string(pid_);
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
