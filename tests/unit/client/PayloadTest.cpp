#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/TuningFile.h"
#include "tests/kxfakeshm-connect-client/ClientState.h"
#include "tests/kxfakeshm-connect-client/Dashboard.h"
#include "tests/kxfakeshm-connect-client/Lifecycle.h"
#include "tests/kxfakeshm-connect-client/Workers.h"

namespace {

using KXClient::ClientState;
using KXClient::GetClientState;

bool OnlyAlphabet(const std::string& text) {
    return text.find_first_not_of(
               "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") ==
           std::string::npos;
}

// The library as the client runs it, without any Core peer: every socket
// peer stays down. Terminated however the case ends.
class ScopedConnectPeer {
  public:
    explicit ScopedConnectPeer(uint8_t transports, KXFakeShm::Tuning tuning = {}) {
        // The library keeps the tuning file's path from its first use in this
        // process; a file an earlier case left there would override `tuning`.
        std::remove(KXFakeShm::TuningFilePath().c_str());
        std::string error;
        started_ = library_.Initialize(KXFakeShm::EPeer::Connect, transports, tuning, error);
        EXPECT_TRUE(started_) << error;
    }
    ~ScopedConnectPeer() {
        std::string error;
        if (started_) {
            EXPECT_TRUE(library_.Terminate(error)) << error;
        }
        KXConnectShm::SharedMem::Dispose(KXClient::kTestBlock, error);
    }
    bool Started() const { return started_; }
    KXFakeShm::FakeSharedMem& Library() { return library_; }

  private:
    kxtest::ScopedTestHome home_;
    KXFakeShm::FakeSharedMem& library_ = KXFakeShm::FakeSharedMem::Instance();
    bool started_ = false;
};

size_t SlotPayloadSize(KXClient::PayloadSlot& slot) {
    std::shared_lock<KXCommon::HybridSharedMutex> lock(slot.payloadMutex);
    return slot.currentPayload.size();
}

TEST(ClientFormat, Latency) {
    EXPECT_EQ(KXClient::FormatLatency(0), "N/A");
    EXPECT_EQ(KXClient::FormatLatency(-1), "N/A");
    EXPECT_EQ(KXClient::FormatLatency(1), "1 ns");
    EXPECT_EQ(KXClient::FormatLatency(999), "999 ns");
    EXPECT_EQ(KXClient::FormatLatency(1000), "1 \u00B5s");
    EXPECT_EQ(KXClient::FormatLatency(999'999), "999 \u00B5s");
    EXPECT_EQ(KXClient::FormatLatency(1'000'000), "1 ms");
    EXPECT_EQ(KXClient::FormatLatency(2'500'000), "2 ms");
    EXPECT_EQ(KXClient::FormatLatency(INT64_MAX), "9223372036854 ms");
}

// The library's failure texts already name the failed operation.
TEST(ClientFormat, FailureLineNamesTheOperationOnce) {
    const std::string prefix = "FakeSharedMem reconfiguration has failed: ";
    EXPECT_EQ(KXClient::FailureLine(prefix, prefix + "Not initialized yet"),
              prefix + "Not initialized yet");
    EXPECT_EQ(KXClient::FailureLine(prefix, "Timed out"), prefix + "Timed out");
    EXPECT_EQ(KXClient::FailureLine(prefix, ""), prefix);
}

TEST(ClientFormat, Rate) {
    EXPECT_EQ(KXClient::FormatRate(0), "N/A");
    EXPECT_EQ(KXClient::FormatRate(1), "1 B/s");
    EXPECT_EQ(KXClient::FormatRate(1023), "1023 B/s");
    EXPECT_EQ(KXClient::FormatRate(1024), "1.00 KB/s");
    EXPECT_EQ(KXClient::FormatRate(1536), "1.50 KB/s");
    EXPECT_EQ(KXClient::FormatRate(1'048'576), "1.00 MB/s");
    EXPECT_EQ(KXClient::FormatRate(1'073'741'824), "1.00 GB/s");
    // At most three divisions: a terabyte stays in GB/s.
    EXPECT_EQ(KXClient::FormatRate(1'099'511'627'776ULL), "1024.00 GB/s");
}

TEST(ClientFormat, PayloadPreviewAndSizeLabel) {
    KXClient::PayloadSlot slot;
    EXPECT_EQ(KXClient::PayloadPreview(slot), "-");
    slot.currentPayload = "short";
    EXPECT_EQ(KXClient::PayloadPreview(slot), "short");
    slot.currentPayload = "0123456789abcdefXYZ";
    EXPECT_EQ(KXClient::PayloadPreview(slot), "0123456789abcdef");
    slot.currentPayload = std::string(10'485'760, 'x');
    EXPECT_EQ(KXClient::PayloadPreview(slot), std::string(16, 'x'));

    EXPECT_EQ(KXClient::PayloadSizeLabel(), "1 KB");
    GetClientState().payloadSizeIndex = 4;
    EXPECT_EQ(KXClient::PayloadSizeLabel(), "10 MB");
}

TEST(ClientPayload, SeededStateGivesTheXorshiftSequence) {
    EXPECT_EQ(KXClient::SeedRandomState(1), 0x40822041ULL);
    uint64_t state = 0x40822041ULL;
    EXPECT_EQ(KXClient::NextRandom(state), 0x0a84e02ccdbeae07ULL);
    EXPECT_EQ(state, 0x0a84e02ccdbeae07ULL);
    EXPECT_EQ(KXClient::NextRandom(state), 0x0f95be9bbb5f9e73ULL);
    EXPECT_EQ(KXClient::NextRandom(state), 0x7cbac9836bdb3a1aULL);

    // Eight characters per draw, each from the whole shifted draw modulo 62; a
    // partial last draw still advances the state once.
    uint64_t fromSeed = 0x40822041ULL;
    EXPECT_EQ(KXClient::RandomPayload(20, fromSeed), "PAQvSyQALw3ZhmLFmQR7");
    EXPECT_EQ(fromSeed, 0x7cbac9836bdb3a1aULL);

    // The generators' entry point uses the thread's state at the selected size.
    KXClient::SetThreadRandomState(0x123456789ABCDEFULL);
    const std::string payload = KXClient::GenerateRandomPayload();
    ASSERT_EQ(payload.size(), 1024U);
    EXPECT_EQ(payload.substr(0, 40), "io0GhCO0cr08F0sWMb33ZugHSOinV83VdNiXsAV2");
    EXPECT_EQ(payload.substr(1000), "E4ETWhcEfCuzMdIu1yhc4n5f");
    // The state carries on: the next payload differs.
    EXPECT_NE(KXClient::GenerateRandomPayload(), payload);
}

TEST(ClientPayload, EverySizeIsExactAndOnlyAlphabet) {
    const uint64_t expected[] = {1024, 10240, 102400, 1048576, 10485760};
    const char* labels[] = {"1 KB", "10 KB", "100 KB", "1 MB", "10 MB"};
    for (uint64_t index = 0; index < 5; ++index) {
        GetClientState().payloadSizeIndex = index;
        EXPECT_EQ(KXClient::PayloadSizeLabel(), labels[index]);
        const std::string payload = KXClient::GenerateRandomPayload();
        EXPECT_EQ(payload.size(), expected[index]) << labels[index];
        EXPECT_TRUE(OnlyAlphabet(payload)) << labels[index];
    }
    // Unseeded threads seed themselves from the clock: two threads differ.
    GetClientState().payloadSizeIndex = 0;
    std::string a;
    std::string b;
    std::thread first([&] { a = KXClient::GenerateRandomPayload(); });
    first.join();
    std::thread second([&] { b = KXClient::GenerateRandomPayload(); });
    second.join();
    EXPECT_EQ(a.size(), 1024U);
    EXPECT_TRUE(OnlyAlphabet(a));
    EXPECT_NE(a, b);
}

TEST(ClientPayload, GeneratorsFillTheirSlotAndFollowTheSizeAtOnce) {
    ClientState& state = GetClientState();
    state.running = true;
    std::thread ipc(KXClient::IpcPayloadGenerator);
    std::thread sharedMem(KXClient::SharedMemPayloadGenerator);
    std::thread tcp(KXClient::TcpPayloadGenerator);

    auto allHave = [&](size_t size) {
        return SlotPayloadSize(state.ipc) == size && SlotPayloadSize(state.sharedMem) == size &&
               SlotPayloadSize(state.tcp) == size;
    };
    EXPECT_TRUE(kxtest::WaitFor([&] { return allHave(1024); }));
    {
        std::shared_lock<KXCommon::HybridSharedMutex> lock(state.tcp.payloadMutex);
        EXPECT_TRUE(OnlyAlphabet(state.tcp.currentPayload));
    }

    // The size key wakes the generators: the new size arrives well before the
    // 5 s regeneration period would have produced it.
    EXPECT_TRUE(KXClient::HandleDashboardEvent(ftxui::Event::Character('s'), [] {}));
    EXPECT_TRUE(kxtest::WaitFor([&] { return allHave(10240); }, std::chrono::seconds(4)));

    // Stopping wakes a waiting generator at once instead of after its period.
    const auto stopped = std::chrono::steady_clock::now();
    KXClient::StopRunning();
    ipc.join();
    sharedMem.join();
    tcp.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(4));
}

// The store entry does not wait for the socket transports: with TCP enabled and
// its peer down, the SharedMem worker still makes "TestBlock"/"TestAddress".
TEST(ClientPayload, SharedMemWorkerCreatesItsEntryWhileASocketPeerIsDown) {
    ScopedConnectPeer peer(KXFakeShm::Tcp | KXFakeShm::SharedMem);
    ASSERT_TRUE(peer.Started());
    ASSERT_FALSE(peer.Library().IsTcpPeerAlive());
    GetClientState().running = true;
    std::thread worker(KXClient::WriteMessageWorker_SharedMem);
    std::string data;
    std::string error;
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return KXConnectShm::SharedMem::ReadFrom(KXClient::kTestBlock, KXClient::kTestAddress, data,
                                                 error);
    })) << error;
    KXClient::StopRunning();
    worker.join();
}

// A rate is the window as of now: once the writes stop it falls to nothing
// instead of showing the last busy window for ever.
TEST(ClientPayload, WriteRateOfASilentLinkEmptiesWithItsWindow) {
    // One heartbeat at start and none after it (they count as writes too).
    KXFakeShm::Tuning tuning;
    tuning.ThroughputSmoothingWindow = 50;
    tuning.HeartbeatInterval = 100'000;
    ScopedConnectPeer peer(KXFakeShm::SharedMem, tuning);
    ASSERT_TRUE(peer.Started());
    std::string error;
    ASSERT_TRUE(peer.Library().WriteViaSharedMem(KXClient::kTestBlock, KXClient::kTestAddress,
                                                 "payload", error))
        << error;
    EXPECT_GT(peer.Library().GetWriteBytes(KXFakeShm::SharedMem), 0U);
    EXPECT_TRUE(
        kxtest::WaitFor([&] { return KXClient::ReadDashboardView().sharedMem.writeBytes == 0; }));
}

}  // namespace
