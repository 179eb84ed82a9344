// A bounded soak run (label "soak"): this process is the Connect peer and streams
// on all three transports while the payload size cycles through 1 KB ... 10 MB
// (2 s each), and the Core peer is restarted twice in the middle. Each peer's
// resident memory is taken as its peak over one whole size cycle: from 10 s on
// (settled) and over the last cycle (end). The end must be within a bound of the
// settled figure, no thread may have leaked, and the logs may hold no error but
// those the restarts explain. The Core peer's end figure is that of its third
// process, which has run the same cycles.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iostream>
#include <regex>

#include "ReliabilitySupport.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxlog/KXLog.h"

namespace {

using namespace KXFakeShm;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRunTime = 60s;
constexpr auto kSettled = 10s;
constexpr auto kSizeStep = 2s;
constexpr std::array<size_t, 5> kSizes{1024, 10240, 102400, 1048576, 10485760};
const std::array<Clock::duration, 2> kRestarts{25s, 42s};

#if defined(KX_SANITIZER_BUILD)
// The sanitizers keep freed memory in quarantine and shadow what is mapped.
constexpr uint64_t kAllowedGrowthKb = 768 * 1024;
#else
constexpr uint64_t kAllowedGrowthKb = 96 * 1024;
#endif

// Errors that a Core peer going away and coming back explains: sends and
// heartbeats towards a peer that is not there, the heartbeat it no longer writes,
// and a stopping Core peer's socket close that NNG wedges and the library abandons.
bool ExplainedByRestart(const std::string& line) {
    static const std::regex explained(
        "failed to send (an IPC|a TCP) heartbeat|"
        "Failed to send the FakeSharedMem (IPC|TCP) message: (Timed out|Object closed)|"
        "failed to read SharedMem peer heartbeat|Failed to read FakeSharedMem SharedMem peer "
        "heartbeat|bHostingProcess is false|"
        "The NNG (IPC|TCP) socket has not closed within");
    return std::regex_search(line, explained);
}

struct Figures {
    uint64_t rssKb = 0;
    int threads = 0;
};

// The peaks over one whole size cycle, both peers sampled side by side: a single
// sample would depend on the size being streamed at that moment and on what the
// allocator has handed back.
std::pair<Figures, Figures> PeaksOverCycle(pid_t a, pid_t b) {
    Figures pa;
    Figures pb;
    const auto end = Clock::now() + kSizeStep * kSizes.size();
    while (Clock::now() < end) {
        pa.rssKb = std::max(pa.rssKb, kxrel::ResidentKb(a));
        pa.threads = std::max(pa.threads, kxrel::Threads(a));
        pb.rssKb = std::max(pb.rssKb, kxrel::ResidentKb(b));
        pb.threads = std::max(pb.threads, kxrel::Threads(b));
        std::this_thread::sleep_for(250ms);
    }
    return {pa, pb};
}

TEST(SoakTest, AllTransportsCyclingSizesWithTwoCorePeerRestarts) {
    kxtest::ScopedTestHome home;
    kxrel::RemoveFixedSegments();
    std::string error;
    // The whole log goes to the file; the console keeps warnings and errors, so that
    // a failure's own lines are not lost among a minute of progress lines.
    ASSERT_TRUE(kxlog::AddFile(home.Root() + "/test.log", 9, error)) << error;
    kxlog::SetStderrVerbosity(kxlog::kWarning);
    FakeSharedMem& lib = FakeSharedMem::Instance();
    ASSERT_TRUE(lib.Initialize(EPeer::Connect, Tcp | Ipc | SharedMem, kxrel::FaultTuning(), error))
        << error;

    const auto start = Clock::now();
    auto size = [start] {
        const auto step = (Clock::now() - start) / kSizeStep;
        return kSizes[static_cast<size_t>(step) % kSizes.size()];
    };
    std::vector<std::unique_ptr<kxrel::Streamer>> streamers;
    for (TransportKind kind : {Tcp, Ipc, SharedMem}) {
        streamers.push_back(std::make_unique<kxrel::Streamer>(kind, size));
    }
    auto core = std::make_unique<kxrel::ReportingPeer>();
    ASSERT_TRUE(core->StartCore());
    auto waitAllAlive = [&] {
        for (const char* name : {"tcp", "ipc", "sharedmem"}) {
            EXPECT_TRUE(core->WaitFor(name, [](const kxtest::CoreReport& r) {
                return r.alive && r.lastRecordBytes > 0;
            })) << name;
        }
    };
    waitAllAlive();

    std::this_thread::sleep_until(start + kSettled);
    const auto [connectSettled, coreSettled] = PeaksOverCycle(getpid(), core->Pid());
    for (Clock::duration at : kRestarts) {
        std::this_thread::sleep_until(start + at);
        EXPECT_EQ(core->Stop(), 0);
        core = std::make_unique<kxrel::ReportingPeer>();
        ASSERT_TRUE(core->StartCore());
        waitAllAlive();
    }
    std::this_thread::sleep_until(start + kRunTime - kSizeStep * kSizes.size());
    const auto [connectEnd, coreEnd] = PeaksOverCycle(getpid(), core->Pid());
    // Still streaming at the end.
    for (size_t i = 0; i < streamers.size(); ++i) {
        const uint64_t before = streamers[i]->Written();
        EXPECT_TRUE(kxtest::WaitFor([&] { return streamers[i]->Written() > before; }, 30s)) << i;
    }
    uint64_t written = 0;
    for (auto& streamer : streamers) {
        written += streamer->Written();
    }
    streamers.clear();
    EXPECT_EQ(core->Stop(), 0);
    ASSERT_TRUE(lib.Terminate(error)) << error;
    kxrel::RemoveFixedSegments();

    std::cout << "soak: records written " << written << "\n"
              << "soak: Connect peer resident peak " << connectSettled.rssKb << " KiB at 10-20 s, "
              << connectEnd.rssKb << " KiB at 50-60 s; threads " << connectSettled.threads << " / "
              << connectEnd.threads << "\n"
              << "soak: Core peer resident peak " << coreSettled.rssKb << " KiB at 10-20 s, "
              << coreEnd.rssKb << " KiB at 50-60 s (third process); threads " << coreSettled.threads
              << " / " << coreEnd.threads << std::endl;
    RecordProperty("connect_rss_settled_kb", std::to_string(connectSettled.rssKb));
    RecordProperty("connect_rss_end_kb", std::to_string(connectEnd.rssKb));
    RecordProperty("core_rss_settled_kb", std::to_string(coreSettled.rssKb));
    RecordProperty("core_rss_end_kb", std::to_string(coreEnd.rssKb));

    EXPECT_LE(connectEnd.rssKb, connectSettled.rssKb + kAllowedGrowthKb);
    EXPECT_LE(coreEnd.rssKb, coreSettled.rssKb + kAllowedGrowthKb);
    EXPECT_EQ(connectEnd.threads, connectSettled.threads);
    EXPECT_EQ(coreEnd.threads, coreSettled.threads);

    kxlog::Flush();
    for (const std::string& path :
         {home.Root() + "/test.log", home.DataDir() + "/kxfakeshm-core-peer.log"}) {
        const std::string log = kxtest::ReadFile(path);
        std::vector<std::string> unexplained;
        for (const std::string& line : kxrel::ErrorLines(log)) {
            if (!ExplainedByRestart(line)) {
                unexplained.push_back(line);
            }
        }
        std::cout << "soak: " << path.substr(path.rfind('/') + 1) << ": " << log.size()
                  << " bytes, " << kxrel::ErrorLines(log).size() << " error lines, "
                  << unexplained.size() << " unexplained" << std::endl;
        for (const std::string& line : unexplained) {
            ADD_FAILURE() << "unexplained: " << line;
        }
        // No flood: the repeat counting keeps a minute of this well below this size.
        EXPECT_LT(log.size(), 16u * 1024u * 1024u) << path;
    }
}

}  // namespace
