#include "tests/kxfakeshm-connect-client/TuningOptions.h"

#include "kxlog/KXLog.h"

namespace KXClient {

void AddTuningOptions(KXCommon::CommandLineOptions& options, KXFakeShm::Tuning& tuning) {
    options
        .AddYesNo("socket-receive-nonblocking", &tuning.SocketReceiveNonBlocking,
                  "Invalid value for --socket-receive-nonblocking: '{}'; please specify either "
                  "'yes' or 'no'!")
        .AddInt32("socket-receive-timeout-ms", &tuning.SocketReceiveTimeout,
                  "Invalid value for --socket-receive-timeout-ms: '{}'; please specify a valid "
                  "int32 value!",
                  KXFakeShm::kSocketTimeoutRange.min, KXFakeShm::kSocketTimeoutRange.max)
        .AddYesNo("socket-send-nonblocking", &tuning.SocketSendNonBlocking,
                  "Invalid value for --socket-send-nonblocking: '{}'; please specify a valid "
                  "'yes' or 'no'!")
        .AddInt32("socket-send-timeout-ms", &tuning.SocketSendTimeout,
                  "Invalid value for --socket-send-timeout-ms: '{}'; please specify a valid int32 "
                  "value!",
                  KXFakeShm::kSocketTimeoutRange.min, KXFakeShm::kSocketTimeoutRange.max)
        .AddInt32("socket-reconnect-time-min-ms", &tuning.SocketReconnectTimeMin,
                  "Invalid value for --socket-reconnect-time-min-ms: '{}'; please specify a valid "
                  "int32 value!",
                  KXFakeShm::kSocketReconnectTimeRange.min,
                  KXFakeShm::kSocketReconnectTimeRange.max)
        .AddInt32("socket-reconnect-time-max-ms", &tuning.SocketReconnectTimeMax,
                  "Invalid value for --socket-reconnect-time-max-ms: '{}'; please specify a valid "
                  "int32 value!",
                  KXFakeShm::kSocketReconnectTimeRange.min,
                  KXFakeShm::kSocketReconnectTimeRange.max)
        .AddUInt64("worker-retry-interval-ms", &tuning.WorkerRetryInterval,
                   "Invalid value for --worker-retry-interval-ms: '{}'; please specify a valid "
                   "uint64 value!",
                   KXFakeShm::kWorkerRetryIntervalRange.min,
                   KXFakeShm::kWorkerRetryIntervalRange.max)
        .AddUInt64("heartbeat-interval-ms", &tuning.HeartbeatInterval,
                   "Invalid value for --heartbeat-interval-ms: '{}'; please specify a valid uint64 "
                   "value!",
                   KXFakeShm::kTenMsUnitRange.min, KXFakeShm::kTenMsUnitRange.max)
        .AddUInt64("liveness-timeout-ms", &tuning.LivenessTimeout,
                   "Invalid value for --liveness-timeout-ms: '{}'; please specify a valid uint64 "
                   "value!",
                   KXFakeShm::kTenMsUnitRange.min, KXFakeShm::kTenMsUnitRange.max)
        .AddUInt64("latency-smoothing-window-ms", &tuning.LatencySmoothingWindow,
                   "Invalid value for --latency-smoothing-window-ms: '{}'; please specify a valid "
                   "uint64 value!",
                   KXFakeShm::kSmoothingWindowRange.min, KXFakeShm::kSmoothingWindowRange.max)
        .AddUInt64("throughput-smoothing-window-ms", &tuning.ThroughputSmoothingWindow,
                   "Invalid value for --throughput-smoothing-window-ms: '{}'; please specify a "
                   "valid uint64 value!",
                   KXFakeShm::kSmoothingWindowRange.min, KXFakeShm::kSmoothingWindowRange.max)
        .AddUInt32("shared-mem-heartbeat-block-size", &tuning.SharedMemHeartbeatBlockSize,
                   "Invalid value for --shared-mem-heartbeat-block-size: '{}'; please specify a "
                   "valid uint32 value!",
                   KXFakeShm::kHeartbeatBlockSizeRange.min, KXFakeShm::kHeartbeatBlockSizeRange.max)
        .AddUInt64("shared-mem-liveness-timeout-ms", &tuning.SharedMemLivenessTimeout,
                   "Invalid value for --shared-mem-liveness-timeout-ms: '{}'; please specify a "
                   "valid uint64 value!",
                   KXFakeShm::kTenMsUnitRange.min, KXFakeShm::kTenMsUnitRange.max);
}

const std::string& TuningUsage() {
    static const std::string usage =
        "\n"
        "      --socket-receive-nonblocking <yes|no>\n"
        "      --socket-receive-timeout-ms <int32>\n"
        "\n"
        "      --socket-send-nonblocking <yes|no>\n"
        "      --socket-send-timeout-ms <int32>\n"
        "\n"
        "      --socket-reconnect-time-min-ms <int32>\n"
        "      --socket-reconnect-time-max-ms <int32>\n"
        "\n"
        "      --worker-retry-interval-ms <uint64>\n"
        "\n"
        "      --heartbeat-interval-ms <uint64>\n"
        "\n"
        "      --liveness-timeout-ms <uint64>\n"
        "\n"
        "      --latency-smoothing-window-ms <uint64>\n"
        "      --throughput-smoothing-window-ms <uint64>\n"
        "\n"
        "      --shared-mem-heartbeat-block-size <uint32>\n"
        "      --shared-mem-liveness-timeout-ms <uint64>\n";
    return usage;
}

void LogTuningOptions(const KXFakeShm::Tuning& tuning) {
    KXLOG_INFO(" - socket-receive-nonblocking => {}", tuning.SocketReceiveNonBlocking);
    KXLOG_INFO(" - socket-receive-timeout-ms => {}", tuning.SocketReceiveTimeout);
    KXLOG_INFO(" - socket-send-nonblocking => {}", tuning.SocketSendNonBlocking);
    KXLOG_INFO(" - socket-send-timeout-ms => {}", tuning.SocketSendTimeout);
    KXLOG_INFO(" - socket-reconnect-time-min-ms => {}", tuning.SocketReconnectTimeMin);
    KXLOG_INFO(" - socket-reconnect-time-max-ms => {}", tuning.SocketReconnectTimeMax);
    KXLOG_INFO(" - worker-retry-interval-ms => {}", tuning.WorkerRetryInterval);
    KXLOG_INFO(" - heartbeat-interval-ms => {}", tuning.HeartbeatInterval);
    KXLOG_INFO(" - liveness-timeout-ms => {}", tuning.LivenessTimeout);
    KXLOG_INFO(" - latency-smoothing-window-ms => {}", tuning.LatencySmoothingWindow);
    KXLOG_INFO(" - throughput-smoothing-window-ms => {}", tuning.ThroughputSmoothingWindow);
    KXLOG_INFO(" - shared-mem-heartbeat-block-size => {}", tuning.SharedMemHeartbeatBlockSize);
    KXLOG_INFO(" - shared-mem-liveness-timeout-ms => {}", tuning.SharedMemLivenessTimeout);
}

}  // namespace KXClient
