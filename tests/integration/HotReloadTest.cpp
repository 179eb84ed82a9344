// Both peers react to the configuration files while they run: real files, real
// inotify, and a real kxfakeshm-core-peer.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <iostream>

#include "PeerSupport.h"
#include "TransportConfig_generated.h"
#include "kxcommon/DataDirectory.h"
#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/Impl.h"
#include "kxfakeshm/TransportFile.h"
#include "kxfakeshm/TuningFile.h"
#include "kxfakeshm/WireMessage.h"
#include "kxlog/KXLog.h"

namespace {

using namespace KXFakeShm;
using kxtest::CorePeer;
using kxtest::CoreReport;

class HotReloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(kxlog::AddFile(home.Root() + "/test.log", 9, error)) << error;
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "--- Core peer log ---\n"
                      << kxtest::ReadFile(home.DataDir() + "/kxfakeshm-core-peer.log");
        }
        std::string error;
        if (lib.IsInitialized()) {
            EXPECT_TRUE(lib.Terminate(error)) << error;
        }
        std::string ignored;
        KXConnectShm::SharedMem::Dispose("KXFakeShmHeartbeat", ignored);
    }
    void InitializeConnect(uint8_t set) {
        std::string error;
        ASSERT_TRUE(lib.Initialize(EPeer::Connect, set, kxtest::TestTuning(), error)) << error;
    }
    std::string TestLog() {
        kxlog::Flush();
        return kxtest::ReadFile(home.Root() + "/test.log");
    }
    bool LogHas(const std::string& text) { return TestLog().find(text) != std::string::npos; }
    // The tuning table of the transport file as it is on disk now, if the file is valid.
    std::optional<uint64_t> FileLivenessTimeout() {
        const std::string bytes = kxtest::ReadFile(TransportFilePath());
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        if (!Wire::VerifyRoot<Config::TransportConfig>(data, bytes.size())) {
            return std::nullopt;
        }
        const auto* tuning = Config::GetTransportConfig(data)->tuning();
        return tuning ? std::optional<uint64_t>(tuning->LivenessTimeout()) : std::nullopt;
    }
    std::string LivenessLine() {
        return "LivenessTimeout: " + std::to_string(lib.GetTuning().LivenessTimeout);
    }
    static std::string Replace(std::string text, const std::string& from, const std::string& to) {
        const auto pos = text.find(from);
        EXPECT_NE(pos, std::string::npos) << from;
        if (pos != std::string::npos) {
            text.replace(pos, from.size(), to);
        }
        return text;
    }

    kxtest::ScopedTestHome home;
    FakeSharedMem& lib = FakeSharedMem::Instance();
};

TEST_F(HotReloadTest, EditedTuningFileIsAppliedAndCarriedToTheTransportFile) {
    InitializeConnect(Ipc);
    const std::string edited =
        Replace(kxtest::ReadFile(TuningFilePath()), LivenessLine(), "LivenessTimeout: 42");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), edited));
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.GetTuning().LivenessTimeout == 42; }));
    EXPECT_TRUE(kxtest::WaitFor([&] { return FileLivenessTimeout() == 42u; }))
        << "the workers did not rewrite the transport file";
    EXPECT_TRUE(
        LogHas("FakeSharedMem transport configuration file contamination detected; "
               "rewriting to disk..."));
    // Same version: the user's file stays as they wrote it.
    EXPECT_EQ(kxtest::ReadFile(TuningFilePath()), edited);
}

TEST_F(HotReloadTest, ShellEditIsOneLoadAndEditsAreLoadedAgainAfterTheDirectoryIsRemoved) {
    InitializeConnect(Ipc);
    const auto count = [&](const std::string& text) {
        const std::string log = TestLog();
        size_t found = 0;
        for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) {
            ++found;
        }
        return found;
    };
    const std::string detected = "FakeSharedMem tuning configuration file watcher has detected";
    const std::string rejected =
        "Failed to load the FakeSharedMem tuning configuration file '" + TuningFilePath() + "'!";
    const std::string rewrite = "FakeSharedMem transport configuration file contamination detected";
    // Truncate, write and close, as a shell's ">" does.
    const std::string edited =
        Replace(kxtest::ReadFile(TuningFilePath()), LivenessLine(), "LivenessTimeout: 42");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), edited));
    // The rewrite is over once the flags are clear (the watcher runs again).
    ASSERT_TRUE(kxtest::WaitFor([&] {
        return FileLivenessTimeout() == 42u && !LibraryState().tuningFileDirty.load() &&
               !LibraryState().transportFileDirty.load();
    }));
    EXPECT_EQ(count(detected), 1u);
    EXPECT_EQ(count(rejected), 0u);
    EXPECT_EQ(count(rewrite), 1u);

    // Gone in one step, as `mv` does: removed file by file, the repair could refill the
    // directory before it is removed.
    const std::string moved = home.Root() + "/moved-away";
    ASSERT_EQ(std::rename(home.DataDir().c_str(), moved.c_str()), 0);
    std::filesystem::remove_all(moved);
    // The repair of the transport file brings the directory back, and the tuning
    // watcher finds it again.
    ASSERT_TRUE(kxtest::WaitFor([&] {
        return LogHas("is watching the directory '" + home.DataDir() + "' again!") &&
               kxtest::FileExists(TuningFilePath());
    })) << TestLog();
    const std::string again =
        Replace(kxtest::ReadFile(TuningFilePath()), "LivenessTimeout: 42", "LivenessTimeout: 43");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), again));
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.GetTuning().LivenessTimeout == 43; }));
    EXPECT_TRUE(kxtest::WaitFor([&] { return FileLivenessTimeout() == 43u; }));
}

TEST_F(HotReloadTest, TuningEditWithAMissingKeyIsRejectedAndChangesNothing) {
    InitializeConnect(Ipc);
    std::string text = kxtest::ReadFile(TuningFilePath());
    const uint64_t heartbeat = lib.GetTuning().HeartbeatInterval;
    text = Replace(text, LivenessLine(), "");
    text =
        Replace(text, "HeartbeatInterval: " + std::to_string(heartbeat), "HeartbeatInterval: 99");
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), text));
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return LogHas("Failed to load the FakeSharedMem tuning configuration file '" +
                      TuningFilePath() + "'!");
    }));
    EXPECT_EQ(lib.GetTuning().HeartbeatInterval, heartbeat);
    EXPECT_FALSE(LibraryState().tuningFileDirty.load());
    EXPECT_FALSE(LibraryState().transportFileDirty.load());
}

TEST_F(HotReloadTest, ForeignChangeOfTheTransportFileIsRepaired) {
    InitializeConnect(Ipc | Tcp);
    const std::string original = kxtest::ReadFile(TransportFilePath());
    ASSERT_TRUE(kxtest::WriteFile(TransportFilePath(), "somebody else was here"));
    EXPECT_TRUE(kxtest::WaitFor([&] { return kxtest::ReadFile(TransportFilePath()) == original; }));
    // A plain touch counts as a change too.
    ASSERT_EQ(utimensat(AT_FDCWD, TransportFilePath().c_str(), nullptr, 0), 0);
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return LogHas("detected 'Modified' event") && !LibraryState().transportFileDirty.load();
    }));
    EXPECT_EQ(kxtest::ReadFile(TransportFilePath()), original);
}

TEST_F(HotReloadTest, RepairThatFailsIsTriedAgainUntilTheFileIsBack) {
    InitializeConnect(Ipc | Tcp);
    const std::string path = TransportFilePath();
    const std::string original = kxtest::ReadFile(path);
    // A directory in the file's place: every save fails while it is there.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    ASSERT_TRUE(kxtest::WriteFile(path + "/held", "x"));
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return LogHas("FakeSharedMem has failed to save the transport configuration to file");
    }));
    ASSERT_EQ(unlink((path + "/held").c_str()), 0);
    ASSERT_EQ(rmdir(path.c_str()), 0);
    EXPECT_TRUE(kxtest::WaitFor([&] { return kxtest::ReadFile(path) == original; }));
    EXPECT_TRUE(kxtest::WaitFor([&] { return !LibraryState().transportFileDirty.load(); }));
    std::string error;
    ASSERT_TRUE(lib.Reconfigure(Tcp, error)) << error;
    ASSERT_TRUE(lib.Terminate(error)) << error;
    EXPECT_FALSE(kxtest::FileExists(path));
}

TEST_F(HotReloadTest, ReconfigureRaisesNoEventOfItsOwnAndTerminateJoinsTheWatchers) {
    InitializeConnect(Ipc | Tcp);
    const int running = kxtest::ThreadCount();
    std::string error;
    ASSERT_TRUE(lib.Reconfigure(Tcp, error)) << error;
    ASSERT_TRUE(lib.Reconfigure(Ipc | Tcp, error)) << error;
    // Give the watcher a moment to report anything it saw, then check it saw nothing.
    ASSERT_TRUE(kxtest::WriteFile(home.DataDir() + "/unrelated", "x"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(LogHas("transport intermediate configuration file watcher has detected"));
    EXPECT_FALSE(LibraryState().transportFileDirty.load());
    EXPECT_EQ(kxtest::ThreadCount(), running);

    ASSERT_TRUE(lib.Terminate(error)) << error;
    EXPECT_FALSE(LibraryState().transportWatcher);
    EXPECT_FALSE(LibraryState().tuningWatcher);
    EXPECT_TRUE(kxtest::WaitFor([&] { return kxtest::ThreadCount() <= running - 4; }))
        << "two workers and two watcher threads should be gone";
}

TEST_F(HotReloadTest, CorePeerFollowsReconfigurationAndFallsBackWhenTheFileGoes) {
    InitializeConnect(Ipc | Tcp);
    CorePeer core;
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(core.WaitFor("ipc", [](const CoreReport& r) { return r.alive; }));
    ASSERT_TRUE(core.WaitFor("tcp", [](const CoreReport& r) { return r.alive; }));

    std::string error;
    ASSERT_TRUE(lib.Reconfigure(Tcp, error)) << error;
    const std::string port = LibraryState().tcpChannel.Get()->Url();
    core.Forget();
    EXPECT_TRUE(kxtest::WaitFor([&] { return lib.IsPeerAlive(Tcp); }));
    EXPECT_TRUE(core.WaitFor("tcp", [](const CoreReport& r) { return r.alive; }));
    // Several fresh report rounds, none of them for IPC any more.
    for (int i = 0; i < 5; ++i) {
        core.Forget();
        ASSERT_TRUE(core.WaitFor("tcp", [](const CoreReport&) { return true; }));
        EXPECT_FALSE(core.Latest("ipc")) << "the Core peer still runs IPC";
    }

    // The Connect peer goes away: its file is erased and the Core runs SharedMem only.
    ASSERT_TRUE(lib.Terminate(error)) << error;
    EXPECT_TRUE(core.WaitFor("sharedmem", [](const CoreReport&) { return true; }));
    core.Forget();
    ASSERT_TRUE(core.WaitFor("sharedmem", [](const CoreReport&) { return true; }));
    EXPECT_FALSE(core.Latest("tcp"));
    EXPECT_EQ(core.Stop(), 0);
}

TEST_F(HotReloadTest, CorePeerStartedBeforeTheDataDirectoryExistsCreatesItAndWatches) {
    // The library keeps the paths of its first use for the process's lifetime, so
    // an earlier test of this process may have made the directory: remove it.
    const std::string dataDir = TransportFilePath().substr(0, TransportFilePath().rfind('/'));
    std::error_code ec;
    std::filesystem::remove_all(dataDir, ec);
    ASSERT_FALSE(kxtest::FileExists(dataDir));
    std::string error;
    ASSERT_TRUE(lib.Initialize(EPeer::Core, Tcp | Ipc | SharedMem, kxtest::TestTuning(), error))
        << error;
    struct stat st {};
    ASSERT_EQ(stat(dataDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(LibraryState().transportWatcher);
    EXPECT_EQ(lib.GetTransports(), SharedMem);
}

TEST_F(HotReloadTest, CorePeerGivenAFileWithoutTransportsRunsSharedMemOnly) {
    flatbuffers::FlatBufferBuilder b(256);
    b.Finish(Config::CreateTransportConfig(b, 1));
    std::string error;
    ASSERT_TRUE(KXCommon::EnsureParentDirectory(TransportFilePath(), error));
    ASSERT_TRUE(kxtest::WriteFile(
        TransportFilePath(),
        std::string(reinterpret_cast<const char*>(b.GetBufferPointer()), b.GetSize())));
    ASSERT_TRUE(lib.Initialize(EPeer::Core, Tcp | Ipc, kxtest::TestTuning(), error)) << error;
    EXPECT_TRUE(lib.IsInitialized());
    EXPECT_EQ(lib.GetTransports(), SharedMem);
    EXPECT_TRUE(LibraryState().sharedMemChannel.Get());
    EXPECT_TRUE(lib.Terminate(error)) << error;
}

TEST_F(HotReloadTest, CorePeerOnlyWarnsAboutTuningEdits) {
    CorePeer core;
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(core.WaitFor("sharedmem", [](const CoreReport&) { return true; }));
    std::string reason;
    TuningStore store;
    ASSERT_TRUE(KXCommon::EnsureParentDirectory(TuningFilePath(), reason));
    ASSERT_TRUE(kxtest::WriteFile(TuningFilePath(), FormatTuningFile(Tuning{})));
    const std::string coreLog = home.DataDir() + "/kxfakeshm-core-peer.log";
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return kxtest::ReadFile(coreLog).find(
                   "changes cannot be applied from the Core peer "
                   "directly! Will be waiting for the transport "
                   "intermediate file...") != std::string::npos;
    }));
    EXPECT_EQ(core.Stop(), 0);
}

}  // namespace
