#include "tests/kxfakeshm-connect-client/Workers.h"

#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "kxfakeshm/FakeSharedMem.h"
#include "kxlog/KXLog.h"
#include "tests/kxfakeshm-connect-client/ClientState.h"
#include "tests/kxfakeshm-connect-client/Lifecycle.h"

namespace KXClient {

const std::string kTestBlock = "TestBlock";
const std::string kTestAddress = "TestAddress";

namespace {

constexpr uint64_t kAlphabetSize = sizeof(kPayloadAlphabet) - 1;
constexpr auto kRegenerateInterval = std::chrono::seconds(5);

thread_local uint64_t tRandomState = 0;
thread_local bool tRandomSeeded = false;

std::chrono::steady_clock::time_point SaturatingDeadline(
    std::chrono::steady_clock::duration delay) {
    const auto now = std::chrono::steady_clock::now();
    if (now > std::chrono::steady_clock::time_point::max() - delay) {
        return std::chrono::steady_clock::time_point::max();
    }
    return now + delay;
}

std::string CopyPayload(PayloadSlot& slot) {
    std::shared_lock<KXCommon::HybridSharedMutex> lock(slot.payloadMutex);
    return slot.currentPayload;
}

void RunPayloadGenerator(PayloadSlot& slot, const char* threadName) {
    kxlog::SetThreadName(threadName);
    ClientState& state = GetClientState();
    while (state.running.load()) {
        std::string payload = GenerateRandomPayload();
        {
            std::unique_lock<KXCommon::HybridSharedMutex> lock(slot.payloadMutex);
            slot.currentPayload = std::move(payload);
        }
        if (!state.running.load()) {
            return;
        }
        std::unique_lock<KXCommon::HybridSharedMutex> lock(slot.regenerateMutex);
        slot.regenerateCondition.wait_until(lock, SaturatingDeadline(kRegenerateInterval), [&] {
            return slot.regenerate || !state.running.load();
        });
        slot.regenerate = false;
    }
}

// The IPC and TCP workers differ only in the transport and its texts.
template <typename IsAlive, typename Write, typename LogFailure>
void RunSocketWriteWorker(PayloadSlot& slot, KXFakeShm::TransportKind transport, IsAlive isAlive,
                          Write write, LogFailure logFailure, const char* threadName) {
    kxlog::SetThreadName(threadName);
    KXFakeShm::FakeSharedMem& library = KXFakeShm::FakeSharedMem::Instance();
    ClientState& state = GetClientState();
    while (state.running.load()) {
        if (!isAlive(library)) {
            SleepWithLog();
            continue;
        }
        const std::string payload = CopyPayload(slot);
        std::string error;
        if (library.IsInitialized() && (library.GetTransports() & transport) != 0 &&
            write(library, payload, error)) {
            continue;
        }
        logFailure(error);
    }
}

}  // namespace

uint64_t SeedRandomState(uint64_t x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

uint64_t NextRandom(uint64_t& state) {
    uint64_t x = state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    x *= 0x2545F4914F6CDD1DULL;
    state = x;
    return x;
}

void SetThreadRandomState(uint64_t state) {
    tRandomState = state;
    tRandomSeeded = true;
}

std::string RandomPayload(size_t length, uint64_t& state) {
    std::string payload(length, '\0');
    for (size_t i = 0; i < length; i += 8) {
        const uint64_t v = NextRandom(state);
        for (size_t k = 0; k < 8 && i + k < length; ++k) {
            payload[i + k] = kPayloadAlphabet[(v >> (8 * k)) % kAlphabetSize];
        }
    }
    return payload;
}

std::string GenerateRandomPayload() {
    if (!tRandomSeeded) {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        SetThreadRandomState(SeedRandomState(static_cast<uint64_t>(now.count())));
    }
    return RandomPayload(SelectedPayloadSize().bytes, tRandomState);
}

void IpcPayloadGenerator() {
    RunPayloadGenerator(GetClientState().ipc, "PG_IPC");
}
void SharedMemPayloadGenerator() {
    RunPayloadGenerator(GetClientState().sharedMem, "PG_SharedMem");
}
void TcpPayloadGenerator() {
    RunPayloadGenerator(GetClientState().tcp, "PG_TCP");
}

void WriteMessageWorker_Ipc() {
    RunSocketWriteWorker(
        GetClientState().ipc, KXFakeShm::Ipc,
        [](KXFakeShm::FakeSharedMem& library) { return library.IsIpcPeerAlive(); },
        [](KXFakeShm::FakeSharedMem& library, const std::string& payload, std::string& error) {
            return library.WriteViaIpc(kTestBlock, kTestAddress, payload, error);
        },
        [](const std::string& error) {
            KXLOG_ERROR("WriteMessageWorker_Ipc failed to write: {}", error);
        },
        "WMW_IPC");
}

void WriteMessageWorker_Tcp() {
    RunSocketWriteWorker(
        GetClientState().tcp, KXFakeShm::Tcp,
        [](KXFakeShm::FakeSharedMem& library) { return library.IsTcpPeerAlive(); },
        [](KXFakeShm::FakeSharedMem& library, const std::string& payload, std::string& error) {
            return library.WriteViaTcp(kTestBlock, kTestAddress, payload, error);
        },
        [](const std::string& error) {
            KXLOG_ERROR("WriteMessageWorker_Tcp failed to write: {}", error);
        },
        "WMW_TCP");
}

void WriteMessageWorker_SharedMem() {
    kxlog::SetThreadName("WMW_SharedMem");
    KXFakeShm::FakeSharedMem& library = KXFakeShm::FakeSharedMem::Instance();
    ClientState& state = GetClientState();
    // The entry is created through the store alone: the library's combined
    // WriteTo sends over IPC and TCP first and gives up when one of their peers
    // is down, which must not starve SharedMem. Until the entry exists every
    // WriteTo_NotCreate fails at once, so after a failure the worker pauses and
    // creates the entry again.
    std::string error;
    // Not enabled at start: the entry is made once a toggle brings SharedMem up.
    bool entryCreated = false;
    if (library.IsSharedMemEnabled()) {
        entryCreated = library.WriteViaSharedMem(kTestBlock, kTestAddress, std::string(), error);
    }
    if (!entryCreated && library.IsSharedMemEnabled()) {
        KXLOG_ERROR("WriteMessageWorker_SharedMem failed to WriteTo: {}", error);
    }
    while (state.running.load()) {
        if (!library.IsSharedMemPeerAlive()) {
            SleepWithLog();
            continue;
        }
        if (!entryCreated) {
            entryCreated =
                library.WriteViaSharedMem(kTestBlock, kTestAddress, std::string(), error);
            if (!entryCreated) {
                KXLOG_ERROR("WriteMessageWorker_SharedMem failed to WriteTo: {}", error);
                SleepWithLog();
                continue;
            }
        }
        const std::string payload = CopyPayload(state.sharedMem);
        if (!library.WriteTo_NotCreate(kTestBlock, kTestAddress, payload, error)) {
            KXLOG_ERROR("WriteMessageWorker_SharedMem failed to WriteTo_NotCreate: {}", error);
            entryCreated = false;
            SleepWithLog();
        }
    }
}

}  // namespace KXClient
