// The second process of the store's cross-process test: rewrites one existing
// object with the stress payloads in turn until SIGTERM, then reports its count.
//
//   shm-stress-peer <block> <address>
//
// Prints "writing" after its first write, "writes <n>" when it stops, or
// "error <text>" and exits 1 when a write fails.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "StressPayloads.h"
#include "kxconnectshm/SharedMem.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnTerminate(int) {
    stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: shm-stress-peer <block> <address>\n");
        return 2;
    }
    // The stop request is only noted, so a write in progress always completes and
    // never leaves the segment's lock held.
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);

    const std::string block = argv[1];
    const std::string address = argv[2];
    const auto payloads = kxshmtest::StressPayloads();
    unsigned long writes = 0;
    std::string error;
    while (stopRequested == 0) {
        const std::string& payload = payloads[writes % payloads.size()];
        if (!KXConnectShm::SharedMem::WriteTo_NotCreate(block, address, payload, error)) {
            std::printf("error %s\n", error.c_str());
            return 1;
        }
        if (++writes == 1) {
            std::printf("writing\n");
            std::fflush(stdout);
        }
        // A real writer makes its next record between writes. Back to back, the
        // lock is free only for instants, and a reader that polls for it can miss
        // them all for seconds on a loaded machine.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    std::printf("writes %lu\n", writes);
    return 0;
}
