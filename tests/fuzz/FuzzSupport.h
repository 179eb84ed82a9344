#pragma once

// Shared set-up of the fuzz targets: a private home for the files the library
// reads and writes, and a log that stays quiet on standard error.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kxlog/KXLog.h"

namespace kxfuzz {

// Points HOME and the XDG folders into a fresh directory under the build's
// temporary folder, so that the targets never touch the user's own files.
inline std::string PrivateHome(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string root = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kxfuzz-" +
                       name + "-" + std::to_string(getpid());
    mkdir(root.c_str(), 0700);
    const std::string docs = root + "/Documents";
    mkdir(docs.c_str(), 0700);
    const std::string run = root + "/run";
    mkdir(run.c_str(), 0700);
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", docs.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/.config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    kxlog::SetStderrVerbosity(kxlog::kOff);
    return root;
}

// Writes `size` bytes to `path` as they would lie on disk.
inline bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

}  // namespace kxfuzz
