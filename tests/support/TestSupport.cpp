#include "TestSupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

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
