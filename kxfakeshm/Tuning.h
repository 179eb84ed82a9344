#pragma once

#include <cstdint>
#include <limits>

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

// The values each integer field may take, both ends included. A value outside
// its range is refused wherever a tuning value comes in (the tuning file, the
// client's command line, the transport file) as a value that does not convert.
// The upper ends keep every conversion to nanoseconds far from overflow; -1 is
// NNG's "no limit" and anything below it makes NNG refuse the option.
template <typename T>
struct TuningRange {
    T min;
    T max;
    constexpr bool Contains(T value) const { return value >= min && value <= max; }
};
inline constexpr TuningRange<int32_t> kSocketTimeoutRange{-1, std::numeric_limits<int32_t>::max()};
inline constexpr TuningRange<int32_t> kSocketReconnectTimeRange{
    0, std::numeric_limits<int32_t>::max()};
inline constexpr TuningRange<uint64_t> kWorkerRetryIntervalRange{0, 86'400'000};  // a day, ms
inline constexpr TuningRange<uint64_t> kTenMsUnitRange{1, 8'640'000};         // a day, 10 ms units
inline constexpr TuningRange<uint64_t> kSmoothingWindowRange{1, 86'400'000};  // a day, ms
inline constexpr TuningRange<uint32_t> kHeartbeatBlockSizeRange{256, 1U << 30};

// The key of the first field of `tuning` outside its range, or nullptr.
inline const char* FirstTuningValueOutOfRange(const Tuning& t) {
    if (!kSocketTimeoutRange.Contains(t.SocketReceiveTimeout))
        return "SocketReceiveTimeout";
    if (!kSocketTimeoutRange.Contains(t.SocketSendTimeout))
        return "SocketSendTimeout";
    if (!kSocketReconnectTimeRange.Contains(t.SocketReconnectTimeMin)) {
        return "SocketReconnectTimeMin";
    }
    if (!kSocketReconnectTimeRange.Contains(t.SocketReconnectTimeMax)) {
        return "SocketReconnectTimeMax";
    }
    if (!kWorkerRetryIntervalRange.Contains(t.WorkerRetryInterval))
        return "WorkerRetryInterval";
    if (!kTenMsUnitRange.Contains(t.HeartbeatInterval))
        return "HeartbeatInterval";
    if (!kTenMsUnitRange.Contains(t.LivenessTimeout))
        return "LivenessTimeout";
    if (!kSmoothingWindowRange.Contains(t.LatencySmoothingWindow)) {
        return "LatencySmoothingWindow";
    }
    if (!kSmoothingWindowRange.Contains(t.ThroughputSmoothingWindow)) {
        return "ThroughputSmoothingWindow";
    }
    if (!kHeartbeatBlockSizeRange.Contains(t.SharedMemHeartbeatBlockSize)) {
        return "SharedMemHeartbeatBlockSize";
    }
    if (!kTenMsUnitRange.Contains(t.SharedMemLivenessTimeout))
        return "SharedMemLivenessTimeout";
    return nullptr;
}

}  // namespace KXFakeShm
