// Both peers react to the configuration files while they run: real files, real
// inotify, and a real kxfakeshm-core-peer.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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
