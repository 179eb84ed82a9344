#pragma once

// The benchmark run: every selected transport and payload size against its raw
// mechanism, then the idle figures, printed as markdown tables or as JSON.

#include <cstdint>
#include <string>
#include <vector>

namespace KXBench {

struct BenchOptions {
    std::vector<std::string> transports{"tcp", "ipc", "sharedmem"};
    std::vector<uint64_t> sizes{1024, 10240, 102400, 1048576, 10485760};
    double seconds = 3.0;      // streaming time per measurement
    double idleSeconds = 5.0;  // idle CPU window
    int rounds = 1;            // streaming measurements per cell, library and raw taking turns
    bool json = false;
    bool lowCpuStreaming = false;  // stream with the low-CPU tuning as well
    bool idle = true;              // the idle measurements (CPU, idle-link latency)
    std::string self;              // this program
    std::string corePeer;          // kxfakeshm-core-peer
};

// Runs every measurement and prints the result; the exit code (0 unless a
// measurement could not be made at all).
int RunBench(const BenchOptions& options);

// "1 KB" ... "10 MB" for the client's sizes, else the byte count.
std::string SizeLabel(uint64_t bytes);

}  // namespace KXBench
