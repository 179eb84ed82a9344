#pragma once

// The YAML tuning file "kxfakeshm-params.yml" in the data directory. Only the
// Connect peer loads and writes it.

#include <string>

#include "kxcommon/HybridMutex.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/Tuning.h"

namespace KXFakeShm {

// The stored tuning and its lock, owned by the library state.
struct TuningStore {
    mutable KXCommon::HybridSharedMutex mutex;  // exclusive for writes, shared for reads
    Tuning tuning;

    Tuning Snapshot() const;
    void Store(const Tuning& value);
};

// A file of the data directory: its path is made on first use and then kept, for
// the data directory does not move while a process runs. A test program that
// gives each of its cases a home of its own forgets the paths between cases,
// while the library is terminated.
const std::string& DataFilePath(const char* fileName);
void ForgetDataFilePaths();

const std::string& TuningFilePath();

// The whole file text: 122 lines, no line end after the last.
std::string FormatTuningFile(const Tuning& tuning);

// ".YYYY-MM-DD-hh-mm-ss" from the local time now.
std::string MakeBackupSuffix();

// Applies the file to `store` (Connect peer only). All thirteen values are
// converted before any is stored. Failures are logged at ERROR as returned.
bool LoadTuningFile(EPeer peer, TuningStore& store, std::string& error);

// Writes the file from `store` unless a valid file of the current version is there;
// a file of another version, or one that does not parse, is backed up first.
// Creates the data directory when it is missing. Failures are logged at ERROR.
bool SaveTuningFile(EPeer peer, const TuningStore& store, std::string& error);

}  // namespace KXFakeShm
