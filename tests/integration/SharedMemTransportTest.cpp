// The SharedMem transport between this process (Connect peer) and a real
// kxfakeshm-core-peer: liveness through the heartbeat block, records through the
// store. These tests use the fixed segment names and run one at a time.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <vector>

#include "PeerSupport.h"
#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/Impl.h"
#include "kxfakeshm/Transports.h"
#include "kxlog/KXLog.h"

namespace {

using namespace KXFakeShm;
using kxtest::CorePeer;
using kxtest::CoreReport;
namespace Store = KXConnectShm::SharedMem;

const char* const kFixedNames[] = {"KXFakeShmHeartbeat", "TestBlock", "Devices", "Data", "Haptics",
                                   "toDevice",           "fromDevice"};

bool SegmentExists(const std::string& name) {
    return kxtest::FileExists("/dev/shm/" + name);
}

class SharedMemTransportTest : public ::testing::Test {
  protected:
    void SetUp() override { RemoveFixedSegments(); }
    void TearDown() override {
        std::string error;
        if (lib.IsInitialized()) {
            EXPECT_TRUE(lib.Terminate(error)) << error;
        }
        RemoveFixedSegments();
    }
    static void RemoveFixedSegments() {
        for (const char* name : kFixedNames) {
            std::string ignored;
            Store::Dispose(name, ignored);
            rmdir(("/dev/shm/" + std::string(name)).c_str());
        }
    }
    void InitializeConnect(uint8_t set) {
        std::string error;
        ASSERT_TRUE(lib.Initialize(EPeer::Connect, set, kxtest::TestTuning(), error)) << error;
    }
    std::string CoreLog() { return kxtest::ReadFile(home.DataDir() + "/kxfakeshm-core-peer.log"); }

    kxtest::ScopedTestHome home;
    FakeSharedMem& lib = FakeSharedMem::Instance();
};

std::string RandomText(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string text(size, '\0');
    for (char& c : text) {
        c = static_cast<char>('a' + random() % 26);
    }
    return text;
}

TEST_F(SharedMemTransportTest, StopEndsTheWorkersPassSleep) {
    Tuning tuning = kxtest::TestTuning();
    tuning.WorkerRetryInterval = 600'000;
    std::string error;
    ASSERT_TRUE(lib.Initialize(EPeer::Connect, SharedMem, tuning, error)) << error;
    bool ok = false;
    // The worker sleeps its pass out unless the stop ends the sleep.
    ASSERT_TRUE(kxtest::ReturnsWithin([&] { ok = lib.Terminate(error); }, std::chrono::seconds(30)))
        << "Terminate waited out the SharedMem worker's sleep";
    EXPECT_TRUE(ok) << error;
}

TEST_F(SharedMemTransportTest, HeartbeatBlockMakesBothPeersAliveAndRecordsArriveIntact) {
    InitializeConnect(SharedMem);
    EXPECT_TRUE(SegmentExists("KXFakeShmHeartbeat"));
    CorePeer core;
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }));
    ASSERT_TRUE(core.WaitFor("sharedmem", [](const CoreReport& r) { return r.alive; }));

    // Idle: the heartbeats alone keep both sides alive.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(lib.IsSharedMemPeerAlive());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(lib.GetLatency(SharedMem), 0u);
    EXPECT_TRUE(core.WaitFor("sharedmem", [](const CoreReport& r) { return r.latencyNs > 0; }));

    std::string error;
    // A block that holds other entries only: the Core peer finds no record yet, and
    // that is not an error of its.
    ASSERT_TRUE(lib.WriteTo("TestBlock", "Other", "x", error)) << error;
    for (int report = 0; report < 2; ++report) {
        core.Forget();
        ASSERT_TRUE(core.WaitFor("sharedmem", [](const CoreReport&) { return true; }));
    }
    EXPECT_EQ(CoreLog().find(" ERR| "), std::string::npos) << CoreLog();
    ASSERT_TRUE(lib.WriteTo("TestBlock", "TestAddress", "", error)) << error;
    EXPECT_TRUE(SegmentExists("TestBlock"));
    unsigned seed = 1;
    for (size_t size : {size_t{0}, size_t{1024}, size_t{1} << 20, size_t{10} << 20}) {
        const std::string data = RandomText(size, seed++);
        const uint64_t before = lib.GetWriteBytes(SharedMem);
        ASSERT_TRUE(lib.WriteTo_NotCreate("TestBlock", "TestAddress", data, error)) << error;
        if (size > 0) {
            EXPECT_GT(lib.GetWriteBytes(SharedMem), before);
        }
        std::string stored;
        EXPECT_TRUE(lib.ReadReceivedData(SharedMem, "TestBlock", "TestAddress", stored));
        EXPECT_TRUE(stored == data) << "ReadReceivedData did not return the store's record";
        const std::string digest = kxtest::Digest(data);
        EXPECT_TRUE(core.WaitFor("sharedmem",
                                 [&](const CoreReport& r) {
                                     return r.lastRecordDigest == digest &&
                                            r.lastRecordBytes == size;
                                 }))
            << "the Core peer did not read back the record of " << size << " bytes";
    }
    EXPECT_EQ(core.Stop(), 0);
    // Only the Connect peer, the owner, removes the block.
    EXPECT_TRUE(SegmentExists("KXFakeShmHeartbeat"));
}

TEST_F(SharedMemTransportTest, KilledCorePeerTurnsDeadAfterTheLivenessTimeoutAndANewOneIsSeen) {
    InitializeConnect(SharedMem);
    {
        CorePeer core;
        ASSERT_TRUE(core.Start());
        ASSERT_TRUE(kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }));
        core.Process().Signal(SIGKILL);
        ASSERT_TRUE(core.Process().Wait());
    }
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(kxtest::WaitFor([&] { return !lib.IsSharedMemPeerAlive(); }));
    // The last heartbeat is at most 500 ms (the default liveness) old when it counts.
    EXPECT_GE(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(300));
    CorePeer again;
    ASSERT_TRUE(again.Start());
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }));
    EXPECT_EQ(again.Stop(), 0);
}

TEST_F(SharedMemTransportTest, CoreStartedFirstWaitsQuietlyForTheConnectPeersBlock) {
    CorePeer core;
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(core.WaitFor("sharedmem", [](const CoreReport& r) { return !r.alive; }));
    // Let it make many passes over the missing block.
    ASSERT_TRUE(core.WaitFor("sharedmem", [&](const CoreReport&) {
        return CoreLog().find("waiting for the Connect peer") != std::string::npos;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(SegmentExists("KXFakeShmHeartbeat"));

    InitializeConnect(SharedMem);
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }));
    EXPECT_TRUE(core.WaitFor("sharedmem", [](const CoreReport& r) { return r.alive; }));
    EXPECT_EQ(core.Stop(), 0);

    const std::string log = CoreLog();
    size_t count = 0;
    for (size_t pos = log.find("waiting for the Connect peer"); pos != std::string::npos;
         pos = log.find("waiting for the Connect peer", pos + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 1u) << "the missing block is reported once per change";
    EXPECT_EQ(log.find(" ERR| "), std::string::npos) << "no error while waiting for the block";
}

TEST_F(SharedMemTransportTest, TerminateRemovesTheHeartbeatBlockAndTheLegacySegments) {
    for (const char* legacy : {"Devices", "Data", "Haptics", "toDevice", "fromDevice"}) {
        std::string error;
        ASSERT_TRUE(Store::WriteTo(legacy, "x", "y", error, 4096)) << error;
    }
    InitializeConnect(SharedMem);
    std::string error;
    ASSERT_TRUE(lib.Terminate(error)) << error;
    for (const char* name :
         {"KXFakeShmHeartbeat", "Devices", "Data", "Haptics", "toDevice", "fromDevice"}) {
        EXPECT_FALSE(SegmentExists(name)) << name;
    }
}

// "Data" and the like are generic names: another user's segment is left to them.
TEST_F(SharedMemTransportTest, LegacySegmentOfAnotherUserIsLeftAndTerminateSucceeds) {
    if (geteuid() != 0 || system("setpriv --reuid=65534 --regid=65534 --clear-groups true") != 0) {
        GTEST_SKIP() << "needs root and setpriv(1) to create a segment as another user";
    }
    ASSERT_EQ(system("setpriv --reuid=65534 --regid=65534 --clear-groups "
                     "sh -c 'umask 0; echo theirs > /dev/shm/Data'"),
              0);
    std::string error;
    ASSERT_TRUE(Store::WriteTo("Devices", "x", "y", error, 4096)) << error;
    InitializeConnect(SharedMem);
    ASSERT_TRUE(lib.Terminate(error)) << error;
    EXPECT_TRUE(SegmentExists("Data"));
    EXPECT_EQ(kxtest::ReadFile("/dev/shm/Data"), "theirs\n");
    EXPECT_FALSE(SegmentExists("Devices"));
    EXPECT_FALSE(SegmentExists("KXFakeShmHeartbeat"));
}

// Another user who makes the block's name first gets nothing, and the other
// transports run as ever.
TEST_F(SharedMemTransportTest, HeartbeatBlockOfAnotherUserIsRefusedAndIpcStillRuns) {
    if (geteuid() != 0 || system("setpriv --reuid=65534 --regid=65534 --clear-groups true") != 0) {
        GTEST_SKIP() << "needs root and setpriv(1) to create a segment as another user";
    }
    ASSERT_EQ(system("setpriv --reuid=65534 --regid=65534 --clear-groups "
                     "sh -c 'umask 0; echo theirs > /dev/shm/KXFakeShmHeartbeat'"),
              0);
    InitializeConnect(Ipc | SharedMem);
    CorePeer core;
    ASSERT_TRUE(core.Start());
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.IsPeerAlive(Ipc); }));
    EXPECT_TRUE(core.WaitFor("ipc", [](const CoreReport& r) { return r.alive; }));
    EXPECT_FALSE(lib.IsSharedMemPeerAlive());
    EXPECT_EQ(core.Stop(), 0);
    std::string error;
    ASSERT_TRUE(lib.Terminate(error)) << error;
    EXPECT_EQ(kxtest::ReadFile("/dev/shm/KXFakeShmHeartbeat"), "theirs\n");
}

// What a peer killed while creating the block leaves behind does not stop the link.
TEST_F(SharedMemTransportTest, EmptyHeartbeatBlockLeftBehindIsReplacedAndTheLinkComesAlive) {
    const std::string path = "/dev/shm/KXFakeShmHeartbeat";
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const timespec old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(futimens(fd, old), 0);
    close(fd);
    CorePeer core;
    ASSERT_TRUE(core.Start());
    InitializeConnect(SharedMem);
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }));
    EXPECT_TRUE(core.WaitFor("sharedmem", [](const CoreReport& r) { return r.alive; }));
    EXPECT_EQ(core.Stop(), 0);
}

// One failed read is one line, and it says what is wrong with the block.
TEST_F(SharedMemTransportTest, FailedPeerHeartbeatReadIsOneErrorLineNamingTheCause) {
    const std::string logPath = home.Root() + "/connect.log";
    std::string error;
    ASSERT_TRUE(kxlog::AddFile(logPath, kxlog::kInfo, error)) << error;
    InitializeConnect(SharedMem);
    const std::string fallback = "SharedMem Error: Impl::bHostingProcess is false";
    const auto lines = [&] {
        std::vector<std::string> found;
        std::istringstream log(kxtest::ReadFile(logPath));
        for (std::string line; std::getline(log, line);) {
            if (line.find(fallback) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    };
    // The worker makes the block anew at once; remove it until a read has missed it.
    ASSERT_TRUE(kxtest::WaitFor([&] {
        Store::Dispose("KXFakeShmHeartbeat", error);
        return !lines().empty();
    }));
    for (const std::string& line : lines()) {
        EXPECT_NE(line.find("Failed to read FakeSharedMem SharedMem peer heartbeat: " + fallback +
                            " (SharedMem: KXFakeShmHeartbeat does not exist or holds no "
                            "CoreHeartbeatTimestamp)"),
                  std::string::npos)
            << line;
    }
    EXPECT_TRUE(kxtest::WaitFor([] { return SegmentExists("KXFakeShmHeartbeat"); }));
}

TEST_F(SharedMemTransportTest, StopThatCannotRemoveTheBlockFailsAndKeepsTheWorker) {
    InitializeConnect(SharedMem);
    // Put something that cannot be unlinked where the block's name is.
    std::string error;
    ASSERT_TRUE(Store::Dispose("KXFakeShmHeartbeat", error));
    ASSERT_EQ(mkdir("/dev/shm/KXFakeShmHeartbeat", 0700), 0);
    ASSERT_EQ(mkdir("/dev/shm/KXFakeShmHeartbeat/keep", 0700), 0);
    Impl& impl = LibraryState();
    {
        std::lock_guard lock(impl.apiMutex);
        EXPECT_FALSE(StopSharedMemWorker(impl, error));
    }
    EXPECT_NE(error.find("Failed to stop the FakeSharedMem SharedMem worker thread: "),
              std::string::npos)
        << error;
    std::string ignored;
    EXPECT_TRUE(IsSharedMemWorkerRunning(impl, ignored));
    rmdir("/dev/shm/KXFakeShmHeartbeat/keep");
    rmdir("/dev/shm/KXFakeShmHeartbeat");
    ASSERT_TRUE(lib.Terminate(error)) << error;
}

TEST_F(SharedMemTransportTest, AllThreeTransportsAtOnceEachAliveEachCarryingRecords) {
    InitializeConnect(Tcp | Ipc | SharedMem);
    CorePeer core;
    ASSERT_TRUE(core.Start());
    for (TransportKind kind : {Tcp, Ipc, SharedMem}) {
        EXPECT_TRUE(kxtest::WaitFor([&] { return lib.IsPeerAlive(kind); })) << TransportWord(kind);
    }
    std::string error;
    const std::string data = RandomText(100 * 1024, 3);
    const std::string digest = kxtest::Digest(data);
    // The fan-out writes IPC, TCP and the store in one call.
    ASSERT_TRUE(kxtest::WaitFor([&] {
        return lib.WriteTo("TestBlock", "TestAddress", data, error);
    })) << error;
    for (const char* name : {"tcp", "ipc", "sharedmem"}) {
        EXPECT_TRUE(core.WaitFor(name, [&](const CoreReport& r) {
            return r.alive && r.lastRecordDigest == digest;
        })) << name;
    }
    for (TransportKind kind : {Tcp, Ipc, SharedMem}) {
        EXPECT_GT(lib.GetWriteBytes(kind), 0u) << TransportWord(kind);
    }
    EXPECT_EQ(core.Stop(), 0);
}

}  // namespace
