// The Core peer's transport-file loader: bytes as they would lie on disk. A file
// that loads rebuilds the channels (without workers, so nothing is dialled); a
// rejected file must leave the running set and the tuning as they were.

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/Impl.h"
#include "kxfakeshm/TransportFile.h"

namespace {

using namespace KXFakeShm;

constexpr const char* kRebuildFailure = "FakeSharedMem has failed to load configuration from disk";

bool SameTuning(const Tuning& a, const Tuning& b) {
    return a.Version == b.Version && a.SocketReceiveNonBlocking == b.SocketReceiveNonBlocking &&
           a.SocketReceiveTimeout == b.SocketReceiveTimeout &&
           a.SocketSendNonBlocking == b.SocketSendNonBlocking &&
           a.SocketSendTimeout == b.SocketSendTimeout &&
           a.SocketReconnectTimeMin == b.SocketReconnectTimeMin &&
           a.SocketReconnectTimeMax == b.SocketReconnectTimeMax &&
           a.WorkerRetryInterval == b.WorkerRetryInterval &&
           a.HeartbeatInterval == b.HeartbeatInterval && a.LivenessTimeout == b.LivenessTimeout &&
           a.LatencySmoothingWindow == b.LatencySmoothingWindow &&
           a.ThroughputSmoothingWindow == b.ThroughputSmoothingWindow &&
           a.SharedMemHeartbeatBlockSize == b.SharedMemHeartbeatBlockSize &&
           a.SharedMemLivenessTimeout == b.SharedMemLivenessTimeout;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kxfuzz::PrivateHome("transport-file");
    std::string error;
    // The data directory exists before the first file is written.
    KXCommon::EnsureParentDirectory(TransportFilePath(), error);
    LibraryState().peer = EPeer::Core;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Impl& impl = LibraryState();
    if (!kxfuzz::WriteBytes(TransportFilePath(), data, size)) {
        return 0;
    }
    const uint8_t setBefore = impl.transports.load();
    const Tuning tuningBefore = impl.tuning.Snapshot();
    std::string error;
    const bool loaded = LoadTransportFile(impl, error);
    if (loaded != error.empty()) {
        __builtin_trap();
    }
    // Every check on the file comes before the running transports are touched.
    const bool rejectedFile = !loaded && error.rfind(kRebuildFailure, 0) != 0;
    if (rejectedFile && (impl.transports.load() != setBefore ||
                         !SameTuning(impl.tuning.Snapshot(), tuningBefore))) {
        __builtin_trap();
    }
    if (loaded) {
        // Every selected transport has its channel, and only those.
        for (TransportKind kind : {Ipc, Tcp, SharedMem}) {
            const bool selected = (impl.transports.load() & kind) != 0;
            if (selected != static_cast<bool>(impl.Slot(kind).Get())) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
