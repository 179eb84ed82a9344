#pragma once

#include <cstdint>

namespace KXFakeShm {

// The fourteen tuning parameters, in file order. HeartbeatInterval,
// LivenessTimeout and SharedMemLivenessTimeout count 10 ms units; every other
// time is in milliseconds.
struct Tuning {
    virtual ~Tuning() = default;

    uint32_t Version = 1;
    bool SocketReceiveNonBlocking = true;
    int32_t SocketReceiveTimeout = 1;
    bool SocketSendNonBlocking = false;
    int32_t SocketSendTimeout = 1;
    int32_t SocketReconnectTimeMin = 1;
    int32_t SocketReconnectTimeMax = 10;
    uint64_t WorkerRetryInterval = 1;
    uint64_t HeartbeatInterval = 1;
    uint64_t LivenessTimeout = 5;
    uint64_t LatencySmoothingWindow = 1000;
    uint64_t ThroughputSmoothingWindow = 1000;
    uint32_t SharedMemHeartbeatBlockSize = 1024;
    uint64_t SharedMemLivenessTimeout = 50;
};

// Nanoseconds per unit of the 10 ms parameters, and per millisecond.
constexpr uint64_t kTenMsUnitNs = 10'000'000ULL;
constexpr uint64_t kMsNs = 1'000'000ULL;

constexpr uint32_t kTuningVersion = 1;

}  // namespace KXFakeShm
