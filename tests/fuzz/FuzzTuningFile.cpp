// The tuning-file parser and loader: bytes as they would lie on disk. A file that
// loads must print back (FormatTuningFile) into a file that loads to the same
// values; a file that does not load must leave the stored tuning untouched.

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/TuningFile.h"

namespace {

using namespace KXFakeShm;

bool SameTuning(const Tuning& a, const Tuning& b) {
    return FormatTuningFile(a) == FormatTuningFile(b);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kxfuzz::PrivateHome("tuning-file");
    std::string error;
    KXCommon::EnsureParentDirectory(TuningFilePath(), error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TuningStore store;
    if (!kxfuzz::WriteBytes(TuningFilePath(), data, size)) {
        return 0;
    }
    const Tuning before = store.Snapshot();
    std::string error;
    if (!LoadTuningFile(EPeer::Connect, store, error)) {
        if (error.empty() || !SameTuning(store.Snapshot(), before)) {
            __builtin_trap();
        }
        return 0;
    }
    const Tuning loaded = store.Snapshot();
    const std::string text = FormatTuningFile(loaded);
    if (!kxfuzz::WriteBytes(TuningFilePath(), reinterpret_cast<const uint8_t*>(text.data()),
                            text.size())) {
        return 0;
    }
    TuningStore again;
    if (!LoadTuningFile(EPeer::Connect, again, error) || !SameTuning(again.Snapshot(), loaded)) {
        __builtin_trap();
    }
    return 0;
}
