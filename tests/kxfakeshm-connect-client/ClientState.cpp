#include "tests/kxfakeshm-connect-client/ClientState.h"

#include <mutex>

namespace KXClient {

ClientState& GetClientState() {
    // Deliberately leaked: threads that outlive main's return must still find it.
    static ClientState* state = new ClientState();
    return *state;
}

void ResetClientState() {
    ClientState& state = GetClientState();
    state.running.store(true);
    state.payloadSizeIndex.store(0);
    for (PayloadSlot* slot : {&state.ipc, &state.sharedMem, &state.tcp}) {
        {
            std::unique_lock<KXCommon::HybridSharedMutex> lock(slot->regenerateMutex);
            slot->regenerate = false;
        }
        std::unique_lock<KXCommon::HybridSharedMutex> lock(slot->payloadMutex);
        slot->currentPayload.clear();
    }
}

void WakeSlot(PayloadSlot& slot) {
    { std::unique_lock<KXCommon::HybridSharedMutex> lock(slot.regenerateMutex); }
    slot.regenerateCondition.notify_one();
}

void WakeAllSlots() {
    ClientState& state = GetClientState();
    WakeSlot(state.ipc);
    WakeSlot(state.sharedMem);
    WakeSlot(state.tcp);
}

void RequestRegeneration() {
    ClientState& state = GetClientState();
    for (PayloadSlot* slot : {&state.ipc, &state.sharedMem, &state.tcp}) {
        {
            std::unique_lock<KXCommon::HybridSharedMutex> lock(slot->regenerateMutex);
            slot->regenerate = true;
        }
        slot->regenerateCondition.notify_one();
    }
}

const PayloadSize& SelectedPayloadSize() {
    const uint64_t index = GetClientState().payloadSizeIndex.load();
    return ClientState::payloadSizes[index % ClientState::payloadSizes.size()];
}

void StopRunning() {
    GetClientState().running.store(false);
    WakeAllSlots();
}

}  // namespace KXClient
