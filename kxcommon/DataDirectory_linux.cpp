// Linux mapping of the user's documents folder (XDG user directories).
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "kxcommon/DataDirectory.h"

namespace KXCommon {
namespace {

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    struct passwd pwd {};
    struct passwd* result = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pwd, buffer, sizeof buffer, &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr) {
        return result->pw_dir;
    }
    return {};
}

// Reads XDG_DOCUMENTS_DIR="..." from user-dirs.dirs, expanding a leading $HOME.
std::string DocumentsFromUserDirs(const std::string& home) {
    std::string configHome;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        configHome = xdg;
    } else if (!home.empty()) {
        configHome = home + "/.config";
    } else {
        return {};
    }
    std::ifstream in(configHome + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.rfind("$HOME", 0) == 0) {
            if (home.empty()) {
                return {};
            }
            value = home + value.substr(5);
        }
        return value;
    }
    return {};
}

std::string DocumentsFolder() {
    if (const char* docs = std::getenv("XDG_DOCUMENTS_DIR"); docs != nullptr && *docs != '\0') {
        return docs;
    }
    const std::string home = HomeDirectory();
    if (std::string fromFile = DocumentsFromUserDirs(home); !fromFile.empty()) {
        return fromFile;
    }
    if (home.empty()) {
        return {};
    }
    return home + "/Documents";
}

}  // namespace

std::string DataDirectory() {
    std::string docs = DocumentsFolder();
    while (docs.size() > 1 && docs.back() == '/') {
        docs.pop_back();
    }
    if (docs == "/") {
        docs.clear();
    }
    return docs + kPathSeparator + "Kelvanorix";
}

bool EnsureParentDirectory(const std::string& filePath, std::string& error) {
    error.clear();
    const auto slash = filePath.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return true;
    }
    const std::string dir = filePath.substr(0, slash);
    // Walk the components so that missing parents are made too.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        const std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "mkdir '" + part + "': " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "'" + dir + "' is not a directory";
        return false;
    }
    return true;
}

}  // namespace KXCommon

namespace KXCommon {

std::string RuntimeDirectory() {
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir != nullptr && *dir != '\0') {
        std::string path = dir;
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    }
    return "/tmp";
}

}  // namespace KXCommon
