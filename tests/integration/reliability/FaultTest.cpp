// Faults between two real processes: peers killed with SIGKILL in the middle of a
// stream, stale state left behind, configuration files corrupted under a running
// peer, the heartbeat block removed, a data directory that cannot be written.
// Each test has its own HOME and XDG_RUNTIME_DIR (ScopedTestHome).

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sys/wait.h>

#include <boost/interprocess/managed_shared_memory.hpp>
#include <iostream>
#include <random>

#include "ReliabilitySupport.h"
#include "TransportConfig_generated.h"
#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/TransportFile.h"
#include "kxfakeshm/Transports.h"
#include "kxfakeshm/TuningFile.h"
#include "kxfakeshm/WireMessage.h"
#include "kxlog/KXLog.h"

namespace {

using namespace KXFakeShm;
using kxrel::ReportingPeer;
using kxtest::CoreReport;

constexpr size_t kTenMb = 10 * 1024 * 1024;
constexpr size_t kOneMb = 1024 * 1024;
const char* const kNames[] = {"tcp", "ipc", "sharedmem"};

const char* ReportName(TransportKind kind) {
    return kind == Tcp ? "tcp" : kind == Ipc ? "ipc" : "sharedmem";
}

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kxrel::RemoveFixedSegments();
        std::string error;
        ASSERT_TRUE(kxlog::AddFile(home.Root() + "/test.log", 9, error)) << error;
    }
    void TearDown() override {
        if (HasFailure()) {
            if (const char* keep = std::getenv("KXREL_KEEP_LOGS")) {
                std::system(("cp -r " + home.Root() + " " + keep).c_str());
            }
            std::cerr << "--- Core peer log (tail) ---\n"
                      << Tail(CoreLog()) << "--- Connect peer helper log (tail) ---\n"
                      << Tail(HelperLog()) << "--- test log (tail) ---\n"
                      << Tail(TestLog());
        }
        std::string error;
        if (lib.IsInitialized()) {
            EXPECT_TRUE(lib.Terminate(error)) << error;
        }
        kxrel::RemoveFixedSegments();
    }
    // The end of a log without its repeat notes.
    static std::string Tail(const std::string& text) {
        std::string kept;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            end = end == std::string::npos ? text.size() : end + 1;
            if (text.compare(start, end - start, "last message repeated") != 0 &&
                text.find("last message repeated", start) >= end) {
                kept.append(text, start, end - start);
            }
            start = end;
        }
        return kept.size() > 12000 ? kept.substr(kept.size() - 12000) : kept;
    }
    void InitializeConnect(uint8_t set) {
        std::string error;
        ASSERT_TRUE(lib.Initialize(EPeer::Connect, set, kxrel::FaultTuning(), error)) << error;
    }
    std::string CoreLog() { return kxtest::ReadFile(home.DataDir() + "/kxfakeshm-core-peer.log"); }
    std::string HelperLog() { return kxtest::ReadFile(home.DataDir() + "/connect-peer.log"); }
    std::string TestLog() {
        kxlog::Flush();
        return kxtest::ReadFile(home.Root() + "/test.log");
    }
    // The TCP endpoint that the transport file on disk names.
    std::string TcpUrlInFile() {
        const std::string bytes = kxtest::ReadFile(TransportFilePath());
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        if (!Wire::VerifyRoot<Config::TransportConfig>(data, bytes.size())) {
            return {};
        }
        const auto* tcp = Config::GetTransportConfig(data)->tcp();
        return tcp != nullptr && tcp->url() != nullptr ? tcp->url()->str() : std::string();
    }
    std::vector<std::string> HelperTuning() { return kxrel::TuningArgs(kxrel::FaultTuning()); }

    kxtest::ScopedTestHome home;
    FakeSharedMem& lib = FakeSharedMem::Instance();
};

// --- kill -9 of the Core peer in the middle of a stream of 10 MB records ---

class CoreKilledMidStreamTest : public FaultTest,
                                public ::testing::WithParamInterface<TransportKind> {};

TEST_P(CoreKilledMidStreamTest, ConnectPeerKeepsRunningAndPicksUpANewCorePeer) {
    const TransportKind kind = GetParam();
    const char* name = ReportName(kind);
    InitializeConnect(kind);
    kxrel::Streamer streamer(kind, [] { return kTenMb; });
    auto wholeRecord = [&](const CoreReport& r) {
        return r.alive && r.lastRecordBytes == kTenMb &&
               r.lastRecordDigest == streamer.LastDigest();
    };
    {
        ReportingPeer core;
        ASSERT_TRUE(core.StartCore());
        ASSERT_TRUE(core.WaitFor(name, wholeRecord)) << "no 10 MB record reached the Core peer";
        const uint64_t before = streamer.Written();
        ASSERT_TRUE(kxtest::WaitFor([&] { return streamer.Written() >= before + 2; },
                                    std::chrono::seconds(30)));
        core.Kill();
    }
    ASSERT_TRUE(kxtest::WaitFor([&] { return !lib.IsPeerAlive(kind); }, std::chrono::seconds(30)));
    EXPECT_TRUE(lib.IsInitialized());
    EXPECT_EQ(lib.GetTransports(), kind);

    ReportingPeer again;
    ASSERT_TRUE(again.StartCore());
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.IsPeerAlive(kind); }, std::chrono::seconds(30)));
    EXPECT_TRUE(again.WaitFor(name, wholeRecord)) << "the new Core peer got no whole record";
    const uint64_t resumed = streamer.Written();
    EXPECT_TRUE(
        kxtest::WaitFor([&] { return streamer.Written() > resumed; }, std::chrono::seconds(30)));
    streamer.Stop();
    EXPECT_EQ(again.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachTransport, CoreKilledMidStreamTest,
                         ::testing::Values(Tcp, Ipc, SharedMem),
                         [](const ::testing::TestParamInfo<TransportKind>& info) {
                             return std::string(TransportWord(info.param));
                         });

// --- kill -9 of the Connect peer while the Core peer runs ---

TEST_F(FaultTest, KilledConnectPeerLeavesTheCorePeerRunningAndANewOneIsFollowed) {
    ReportingPeer connect;
    ASSERT_TRUE(connect.StartConnect(Tcp | Ipc | SharedMem, kOneMb, HelperTuning()));
    const std::string firstUrl = TcpUrlInFile();
    ASSERT_FALSE(firstUrl.empty());
    ReportingPeer core;
    ASSERT_TRUE(core.StartCore());
    for (const char* name : kNames) {
        ASSERT_TRUE(core.WaitFor(name, [](const CoreReport& r) {
            return r.alive && r.lastRecordBytes == kOneMb;
        })) << name;
    }
    connect.Kill();
    for (const char* name : kNames) {
        EXPECT_TRUE(core.WaitAlive(name, false)) << name;
    }
    ASSERT_TRUE(core.Process().Running());

    ReportingPeer next;
    ASSERT_TRUE(next.StartConnect(Tcp | Ipc | SharedMem, kOneMb, HelperTuning()));
    const std::string nextUrl = TcpUrlInFile();
    EXPECT_FALSE(nextUrl.empty());
    EXPECT_NE(nextUrl, firstUrl) << "the new Connect peer listens on a port of its own";
    EXPECT_TRUE(kxrel::SegmentExists("KXFakeShmHeartbeat"));
    core.Forget();
    for (const char* name : kNames) {
        EXPECT_TRUE(core.WaitFor(name, [](const CoreReport& r) {
            return r.alive && r.lastRecordBytes == kOneMb;
        })) << name;
        EXPECT_TRUE(next.WaitAlive(name, true)) << name;
    }
    EXPECT_EQ(next.Stop(), 0);
    EXPECT_EQ(core.Stop(), 0);
}

// --- a second Connect peer of the user, and one that leaves main initialised ---

TEST_F(FaultTest, SecondConnectPeerIsRefusedNamingTheFirstWhichRunsOnUndisturbed) {
    ReportingPeer connect;
    ASSERT_TRUE(connect.StartConnect(Tcp | Ipc, 0, HelperTuning()));
    ReportingPeer core;
    ASSERT_TRUE(core.StartCore());
    for (const char* name : {"tcp", "ipc"}) {
        ASSERT_TRUE(core.WaitAlive(name, true)) << name;
    }
    const std::string file = kxtest::ReadFile(TransportFilePath());
    std::string error;
    EXPECT_FALSE(lib.Initialize(EPeer::Connect, Tcp | Ipc, kxrel::FaultTuning(), error));
    const std::string prefix =
        "FakeSharedMem initialization has failed: Another Connect peer is already running for "
        "this user (process " +
        std::to_string(connect.Pid()) + " (";
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_NE(error.find(")); initialization aborted!"), std::string::npos) << error;
    EXPECT_FALSE(lib.IsInitialized());
    EXPECT_EQ(kxtest::ReadFile(TransportFilePath()), file);
    core.Forget();
    connect.Forget();
    for (const char* name : {"tcp", "ipc"}) {
        EXPECT_TRUE(core.WaitAlive(name, true)) << name;
        EXPECT_TRUE(connect.WaitAlive(name, true)) << name;
    }
    EXPECT_EQ(kxtest::ReadFile(TransportFilePath()), file);
    // Released at Terminate: this process may be the Connect peer now.
    EXPECT_EQ(connect.Stop(), 0);
    InitializeConnect(Tcp | Ipc);
    EXPECT_EQ(core.Stop(), 0);
}

TEST_F(FaultTest, ConnectPeerReturningFromMainWhileInitializedExitsCleanly) {
    ReportingPeer connect;
    auto args = HelperTuning();
    args.insert(args.end(), {"--leave-initialized", "yes"});
    ASSERT_TRUE(connect.StartConnect(Tcp | Ipc | SharedMem, kOneMb, args));
    ReportingPeer core;
    ASSERT_TRUE(core.StartCore());
    for (const char* name : kNames) {
        ASSERT_TRUE(core.WaitAlive(name, true)) << name;
    }
    EXPECT_EQ(connect.Stop(), 0);
    EXPECT_FALSE(kxtest::FileExists(TransportFilePath()));
    EXPECT_FALSE(kxrel::SegmentExists("KXFakeShmHeartbeat"));
    EXPECT_NE(HelperLog().find("FakeSharedMem has been terminated successfully!"),
              std::string::npos);
    EXPECT_EQ(core.Stop(), 0);
}

// --- stale state of a Connect peer killed with -9 ---

TEST_F(FaultTest, NewConnectPeerStartsCleanlyOverTheStateOfAKilledOne) {
    const std::string socketPath = home.RuntimeDir() + "/Kelvanorix";
    {
        ReportingPeer connect;
        ASSERT_TRUE(connect.StartConnect(Tcp | Ipc | SharedMem, kOneMb, HelperTuning()));
        ReportingPeer core;
        ASSERT_TRUE(core.StartCore());
        ASSERT_TRUE(core.WaitFor("sharedmem", [](const CoreReport& r) {
            return r.alive && r.lastRecordBytes == kOneMb;
        }));
        connect.Kill();
        EXPECT_EQ(core.Stop(), 0);
    }
    // What a killed Connect peer leaves behind.
    EXPECT_TRUE(kxtest::FileExists(socketPath));
    EXPECT_TRUE(kxrel::SegmentExists("KXFakeShmHeartbeat"));
    EXPECT_TRUE(kxrel::SegmentExists("TestBlock"));
    EXPECT_TRUE(kxtest::FileExists(TransportFilePath()));

    InitializeConnect(Tcp | Ipc | SharedMem);
    std::vector<std::unique_ptr<kxrel::Streamer>> streamers;
    for (TransportKind kind : {Tcp, Ipc, SharedMem}) {
        streamers.push_back(std::make_unique<kxrel::Streamer>(kind, [] { return kOneMb; }));
    }
    ReportingPeer core;
    ASSERT_TRUE(core.StartCore());
    size_t i = 0;
    for (TransportKind kind : {Tcp, Ipc, SharedMem}) {
        kxrel::Streamer& streamer = *streamers[i++];
        EXPECT_TRUE(
            kxtest::WaitFor([&] { return lib.IsPeerAlive(kind); }, std::chrono::seconds(30)))
            << TransportWord(kind);
        EXPECT_TRUE(core.WaitFor(ReportName(kind), [&](const CoreReport& r) {
            return r.alive && r.lastRecordBytes == kOneMb &&
                   r.lastRecordDigest == streamer.LastDigest();
        })) << TransportWord(kind);
    }
    streamers.clear();
    EXPECT_EQ(core.Stop(), 0);
    std::string error;
    EXPECT_TRUE(lib.Terminate(error)) << error;
    EXPECT_FALSE(kxtest::FileExists(TransportFilePath()));
    EXPECT_FALSE(kxrel::SegmentExists("KXFakeShmHeartbeat"));
}

// --- a corrupt transport file under a running Core peer ---

TEST_F(FaultTest, CorruptTransportFileIsRejectedAndTheCorePeerKeepsItsTransports) {
    ReportingPeer connect;
    ASSERT_TRUE(connect.StartConnect(Tcp | Ipc | SharedMem, 0, HelperTuning()));
    ReportingPeer core;
    ASSERT_TRUE(core.StartCore());
    for (const char* name : kNames) {
        ASSERT_TRUE(core.WaitAlive(name, true)) << name;
    }
    const std::string path = TransportFilePath();
    const std::string good = kxtest::ReadFile(path);
    ASSERT_GT(good.size(), 12u);
    // A stopped Connect peer does not repair the file, so only the Core peer reacts.
    connect.Process().Signal(SIGSTOP);
    const std::string teardown = "Terminating the FakeSharedMem TCP transport socket...";
    const size_t teardownsBefore = kxrel::Count(CoreLog(), teardown);

    std::mt19937 random(7);
    std::string noise(300, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    const struct {
        const char* what;
        std::string bytes;
        std::string rejection;
    } cases[] = {
        {"truncated", good.substr(0, good.size() / 2), "' is corrupted or invalid!"},
        {"emptied", std::string(), "' is empty or invalid!"},
        {"random bytes", noise, "' is corrupted or invalid!"},
        {"eleven bytes", good.substr(0, 11), "' is corrupted or invalid!"},
    };
    // Repeated rejections within a second are counted by the log instead of written,
    // so each case waits for the load attempt it caused, and the texts are checked
    // once the repeat counts have been reported.
    const std::string loading =
        "Loading the FakeSharedMem transport intermediate configuration file '" + path + "'...";
    const std::string loaded = "' has been loaded successfully!";
    const size_t loadedBefore = kxrel::Count(CoreLog(), loaded);
    for (const auto& c : cases) {
        const size_t before = kxrel::Count(CoreLog(), loading);
        ASSERT_TRUE(kxtest::WriteFile(path, c.bytes));
        EXPECT_TRUE(kxtest::WaitFor([&] { return kxrel::Count(CoreLog(), loading) > before; },
                                    std::chrono::seconds(20)))
            << c.what;
        EXPECT_TRUE(core.Process().Running()) << c.what;
    }
    for (const auto& c : cases) {
        const std::string rejection =
            "The FakeSharedMem transport intermediate configuration file '" + path + c.rejection;
        EXPECT_TRUE(kxtest::WaitFor([&] { return kxrel::Count(CoreLog(), rejection) > 0; }))
            << c.what;
    }
    EXPECT_GT(
        kxrel::Count(CoreLog(),
                     "FakeSharedMem has failed to reload the configuration file '" + path + "': "),
        0u);
    EXPECT_EQ(kxrel::Count(CoreLog(), loaded), loadedBefore);
    // Still all three transports: each keeps reporting, and none was torn down.
    core.Forget();
    for (const char* name : kNames) {
        EXPECT_TRUE(core.WaitFor(name, [](const CoreReport&) { return true; })) << name;
    }
    EXPECT_EQ(kxrel::Count(CoreLog(), teardown), teardownsBefore);

    // The Connect peer, running again, repairs the file and the link comes back.
    connect.Process().Signal(SIGCONT);
    for (const char* name : kNames) {
        EXPECT_TRUE(core.WaitAlive(name, true)) << name;
    }
    EXPECT_EQ(connect.Stop(), 0);
    EXPECT_EQ(core.Stop(), 0);
}

// --- a tuning file with values of the wrong type or out of range ---

TEST_F(FaultTest, TuningReloadWithBadValuesFailsWithTheLoadTextAndKeepsTheRunningValues) {
    InitializeConnect(SharedMem);
    const std::string path = TuningFilePath();
    const std::string good = kxtest::ReadFile(path);
    ASSERT_NE(good.find("LatencySmoothingWindow: 1000"), std::string::npos);
    const std::string running = FormatTuningFile(lib.GetTuning());
    const std::string prefix =
        "Failed to load the FakeSharedMem tuning configuration file '" + path + "' from disk: ";

    auto withValue = [&](const std::string& key, const std::string& value) {
        const size_t at = good.find("\n" + key + ": ");
        EXPECT_NE(at, std::string::npos) << key;
        const size_t end = good.find('\n', at + 1);
        return good.substr(0, at + 1) + key + ": " + value +
               (end == std::string::npos ? std::string() : good.substr(end));
    };
    const std::pair<const char*, const char*> cases[] = {
        {"SocketReceiveTimeout", "abc"},     {"SocketSendNonBlocking", "maybe"},
        {"SocketSendTimeout", "2147483648"}, {"SharedMemHeartbeatBlockSize", "4294967296"},
        {"WorkerRetryInterval", "-1"},       {"LivenessTimeout", "1.5"},
        {"HeartbeatInterval", "[1, 2]"},     {"SocketReconnectTimeMax", "0x10"},
    };
    for (const auto& [key, value] : cases) {
        const size_t before = kxrel::Count(TestLog(), prefix);
        ASSERT_TRUE(kxtest::WriteFile(path, withValue(key, value)));
        EXPECT_TRUE(kxtest::WaitFor([&] { return kxrel::Count(TestLog(), prefix) > before; },
                                    std::chrono::seconds(20)))
            << key << ": " << value;
        EXPECT_EQ(FormatTuningFile(lib.GetTuning()), running) << key << ": " << value;
    }
    const std::string log = TestLog();
    EXPECT_GT(kxrel::Count(log, "bad conversion"), 0u);
    EXPECT_GT(kxrel::Count(log, "Failed to load the FakeSharedMem tuning configuration file '" +
                                    path + "'!"),
              0u);
    // The watcher is still there: a valid edit is applied.
    ASSERT_TRUE(kxtest::WriteFile(path, withValue("LatencySmoothingWindow", "777")));
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.GetTuning().LatencySmoothingWindow == 777; },
                                std::chrono::seconds(20)));
}

// --- the heartbeat block removed under two running peers ---

TEST_F(FaultTest, RemovedHeartbeatBlockIsMadeAnewByTheConnectPeerAndBothRecover) {
    InitializeConnect(Tcp | SharedMem);
    ReportingPeer core;
    ASSERT_TRUE(core.StartCore());
    ASSERT_TRUE(
        kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }, std::chrono::seconds(30)));
    ASSERT_TRUE(core.WaitAlive("sharedmem", true));
    ASSERT_TRUE(core.WaitAlive("tcp", true));

    // Removed over and over: each removal is answered by the Connect peer's next
    // heartbeat, which finds the block gone and makes it again.
    const std::string recreated = "FakeSharedMem has re-created the SharedMem heartbeat block!";
    const size_t logBefore = TestLog().size();
    const auto start = std::chrono::steady_clock::now();
    int removals = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        std::string error;
        if (kxrel::SegmentExists("KXFakeShmHeartbeat")) {
            ASSERT_TRUE(KXConnectShm::SharedMem::Dispose("KXFakeShmHeartbeat", error)) << error;
            ++removals;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GT(removals, 1);
    // Both peers survive and meet again in the new block; TCP is not affected.
    EXPECT_TRUE(kxtest::WaitFor([&] { return kxrel::SegmentExists("KXFakeShmHeartbeat"); }));
    EXPECT_TRUE(
        kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(core.WaitAlive("sharedmem", true));
    EXPECT_TRUE(core.Process().Running());
    EXPECT_TRUE(lib.IsTcpPeerAlive());
    EXPECT_TRUE(core.WaitAlive("tcp", true));
    EXPECT_GT(kxrel::Count(TestLog(), recreated), 0u);

    // The failing reads and writes of the passes in between do not flood the log:
    // each call site writes a failure about once a second plus its repeat count.
    const std::string since = TestLog().substr(logBefore);
    EXPECT_LT(kxrel::ErrorLines(since).size(), 200u) << since.substr(0, 4000);
    EXPECT_LT(since.size(), 256u * 1024u);
    EXPECT_EQ(core.Stop(), 0);
}

// --- a peer killed while it holds a segment's lock ---

// Leaves `block` locked for good: a child takes the segment manager's lock and is
// killed while it holds it, as a peer killed in the middle of a copy would be.
void AbandonLockOf(const std::string& block) {
    const pid_t child = fork();
    if (child == 0) {
        boost::interprocess::managed_shared_memory segment(boost::interprocess::open_only,
                                                           block.c_str());
        auto die = [] { raise(SIGKILL); };
        segment.atomic_func(die);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
}

TEST(AbandonedLockTest, StoreCallsGiveUpAndTheCreatingWriteReplacesTheSegment) {
    namespace Store = KXConnectShm::SharedMem;
    const std::string block = "KXRelAbandoned" + std::to_string(getpid());
    std::string error;
    ASSERT_TRUE(Store::WriteTo(block, "A", "old", error, 65536)) << error;
    AbandonLockOf(block);

    std::string data;
    EXPECT_FALSE(Store::ReadFrom(block, "A", data, error));
    EXPECT_FALSE(Store::WriteTo_NotCreate(block, "A", "x", error));
    EXPECT_EQ(error, "SharedMem: Error writing to device " + block +
                         "-A: the segment is locked by a process that no longer releases it");
    // The creating write makes the segment anew; everything works on it again.
    EXPECT_TRUE(Store::WriteTo(block, "A", "new", error, 65536)) << error;
    EXPECT_TRUE(Store::ReadFrom(block, "A", data, error)) << error;
    EXPECT_EQ(data, "new");
    EXPECT_TRUE(Store::WriteTo_NotCreate(block, "A", "newer", error)) << error;
    EXPECT_TRUE(Store::Dispose(block, error)) << error;
}

TEST_F(FaultTest, HeartbeatBlockLeftLockedByAKilledPeerIsMadeAnewAndBothRecover) {
    InitializeConnect(SharedMem);
    ReportingPeer core;
    ASSERT_TRUE(core.StartCore());
    ASSERT_TRUE(
        kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }, std::chrono::seconds(30)));
    ASSERT_TRUE(core.WaitAlive("sharedmem", true));

    AbandonLockOf("KXFakeShmHeartbeat");
    EXPECT_TRUE(
        kxtest::WaitFor([&] { return !lib.IsSharedMemPeerAlive(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(kxtest::WaitFor(
        [&] { return kxrel::Count(TestLog(), "re-created the SharedMem heartbeat block") > 0; },
        std::chrono::seconds(30)));
    EXPECT_TRUE(
        kxtest::WaitFor([&] { return lib.IsSharedMemPeerAlive(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(core.WaitAlive("sharedmem", true));
    EXPECT_EQ(core.Stop(), 0);
    std::string error;
    EXPECT_TRUE(lib.Terminate(error)) << error;
}

// --- a data directory that cannot be written ---

// Root passes every permission check; a root test process drops the capabilities
// that let it, so that the directory's mode counts. The library's threads are
// started by this thread after the drop and inherit it.
class WithoutDacOverride {
  public:
    WithoutDacOverride() {
        if (geteuid() != 0) {
            return;
        }
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        if (syscall(SYS_capget, &header, saved_) != 0) {
            return;
        }
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped_ = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutDacOverride() {
        if (dropped_) {
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            syscall(SYS_capset, &header, saved_);
        }
    }
    bool Effective() const { return geteuid() != 0 || dropped_; }

  private:
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};

TEST_F(FaultTest, ReadOnlyDataDirectoryMakesInitializeFailWithTheSaveText) {
    const std::string dataDir = home.DataDir();
    mkdir((home.Root() + "/Documents").c_str(), 0700);
    ASSERT_EQ(mkdir(dataDir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dataDir.c_str(), 0500), 0);
    const std::string expected =
        "FakeSharedMem initialization has failed: Failed to save the FakeSharedMem transport "
        "intermediate configuration file '" +
        TransportFilePath() + "' to disk: Failed to open the file for writing!";
    {
        WithoutDacOverride guard;
        ASSERT_TRUE(guard.Effective());
        std::string error;
        EXPECT_FALSE(
            lib.Initialize(EPeer::Connect, Tcp | Ipc | SharedMem, kxrel::FaultTuning(), error));
        EXPECT_EQ(error, expected);
        EXPECT_NE(TestLog().find(expected), std::string::npos);
        // What the failed call started is cleaned up by Terminate, as for any failure.
        EXPECT_TRUE(lib.Terminate(error)) << error;
        EXPECT_FALSE(lib.IsInitialized());

        // A data directory that is missing under a read-only folder fails the same way.
        ASSERT_EQ(chmod(dataDir.c_str(), 0700), 0);
        ASSERT_EQ(rmdir(dataDir.c_str()), 0);
        ASSERT_EQ(chmod((home.Root() + "/Documents").c_str(), 0500), 0);
        EXPECT_FALSE(lib.Initialize(EPeer::Connect, SharedMem, kxrel::FaultTuning(), error));
        EXPECT_EQ(error, expected);
        EXPECT_TRUE(lib.Terminate(error)) << error;
    }
    chmod((home.Root() + "/Documents").c_str(), 0700);
    // Writable again: the same process initialises normally.
    InitializeConnect(SharedMem);
    EXPECT_TRUE(kxtest::FileExists(TransportFilePath()));
}

}  // namespace
