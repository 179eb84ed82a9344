#pragma once

// Two-process tests: this test process is one peer (usually Connect), and a real
// kxfakeshm-core-peer child is the other. The child reports its figures as JSON
// lines, which CorePeer parses.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "kxfakeshm/FakeSharedMem.h"

namespace kxtest {

struct CoreReport {
    std::string transport;
    bool alive = false;
    uint64_t latencyNs = 0;
    uint64_t smoothedLatencyNs = 0;
    uint64_t readBytes = 0;
    uint64_t readMetaBytes = 0;
    uint64_t writeBytes = 0;
    uint64_t writeMetaBytes = 0;
    uint64_t lastRecordBytes = 0;
    std::string lastRecordDigest;
    std::map<std::string, uint64_t> numbers;  // every numeric field by name
};

std::optional<CoreReport> ParseCoreReport(const std::string& line);

// FNV-1a 64 in hex, as the Core peer reports its newest record.
std::string Digest(const std::string& data);

class CorePeer {
  public:
    // Starts kxfakeshm-core-peer with a fast report interval and `extraArgs`.
    bool Start(const std::vector<std::string>& extraArgs = {});
    ChildProcess& Process() { return process_; }

    // Reads new output and returns the newest report of `transport`, if any.
    std::optional<CoreReport> Latest(const std::string& transport);
    // Polls until a report of `transport` satisfies `condition`.
    bool WaitFor(const std::string& transport,
                 const std::function<bool(const CoreReport&)>& condition,
                 std::chrono::milliseconds deadline = std::chrono::seconds(15));
    // Forgets the reports seen so far (to wait for fresh ones).
    void Forget() {
        Pump();
        latest_.clear();
    }
    // Ends the peer with SIGINT; its exit status.
    std::optional<int> Stop();

  private:
    void Pump();
    ChildProcess process_;
    std::map<std::string, CoreReport> latest_;
};

// Runs `call` on a thread of its own and waits up to `deadline` for it; false when
// it has not returned by then (the thread is left to run: the caller has failed).
bool ReturnsWithin(std::function<void()> call, std::chrono::milliseconds deadline);

// Tuning for two-process tests: a blocking receive and roomier send and liveness
// limits than the defaults. The default workers spin, two per peer, so that a
// test running two peers beside another test (or a live client) would load a
// 2-core machine several times over and starve the heartbeats it checks; a
// sanitizer build also runs NNG's threads several times slower. What the tests
// check does not depend on these values; the default tuning's spinning workers
// are exercised by the client and benchmark tests, which run with the defaults.
KXFakeShm::Tuning TestTuning();

}  // namespace kxtest
