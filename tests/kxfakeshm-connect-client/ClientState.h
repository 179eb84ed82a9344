#pragma once

// The client's process-wide state, shared by the entry function, the payload
// generators and write workers, and the dashboard.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <string>

#include "kxcommon/HybridMutex.h"

namespace KXClient {

struct PayloadSize {
    const char* label;
    uint64_t bytes;
};

// One transport's payload: the generator replaces `currentPayload` under an
// exclusive hold of `payloadMutex`, the write worker and the dashboard copy it
// under a shared hold. `regenerate` asks the generator for a fresh payload now.
struct PayloadSlot {
    bool regenerate = false;  // guarded by regenerateMutex
    KXCommon::HybridSharedMutex regenerateMutex;
    std::condition_variable_any regenerateCondition;
    KXCommon::HybridSharedMutex payloadMutex;
    std::string currentPayload;  // guarded by payloadMutex
};

struct ClientState {
    // Polled by every client thread; all of them end once it reads false.
    std::atomic<bool> running{true};
    static constexpr std::array<PayloadSize, 5> payloadSizes{{
        {"1 KB", 1024},
        {"10 KB", 10240},
        {"100 KB", 102400},
        {"1 MB", 1048576},
        {"10 MB", 10485760},
    }};
    std::atomic<uint64_t> payloadSizeIndex{0};
    PayloadSlot ipc;
    PayloadSlot sharedMem;
    PayloadSlot tcp;
};

// Created on first use and never destroyed before exit.
ClientState& GetClientState();

// Back to the state of a client that has just started: running, the first size,
// empty slots. For test programs that run their cases in one process; only
// while no client thread runs.
void ResetClientState();

// Wakes the slot's generator. Taking the slot's mutex first means a generator
// that has just checked its condition is already waiting, so no wake-up is lost.
void WakeSlot(PayloadSlot& slot);

// Wakes the three generators, in the order IPC, SharedMem, TCP.
void WakeAllSlots();

// Sets `regenerate` in every slot and wakes the generators.
void RequestRegeneration();

// The entry of payloadSizes selected now.
const PayloadSize& SelectedPayloadSize();

// Clears `running` and wakes every generator.
void StopRunning();

}  // namespace KXClient
