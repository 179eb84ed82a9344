#pragma once

// Shared by the fault, permission and soak tests: peers in processes of their own
// that report JSON lines, writers that stream records from this process, and
// what /proc says about a process.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PeerSupport.h"
#include "kxfakeshm/FakeSharedMem.h"

namespace kxrel {

// The segments with fixed names that the peers create; removed before and after
// each test (the tests that touch them are marked SHM).
void RemoveFixedSegments();
bool SegmentExists(const std::string& name);

// A peer program whose standard output carries report lines in the Core peer's
// format: the Core peer itself, or the Connect peer helper of this folder.
class ReportingPeer {
  public:
    static std::vector<std::string> CoreArgs(const std::vector<std::string>& extra = {});
    bool StartCore(const std::vector<std::string>& extra = {});
    // --transports <set> [--stream-bytes <n>]; waits for its "ready" line.
    bool StartConnect(uint8_t transports, uint64_t streamBytes,
                      const std::vector<std::string>& extra = {});

    kxtest::ChildProcess& Process() { return process_; }
    pid_t Pid() const { return process_.Pid(); }
    std::optional<kxtest::CoreReport> Latest(const std::string& transport);
    bool WaitFor(const std::string& transport,
                 const std::function<bool(const kxtest::CoreReport&)>& condition,
                 std::chrono::milliseconds deadline = std::chrono::seconds(30));
    bool WaitAlive(const std::string& transport, bool alive,
                   std::chrono::milliseconds deadline = std::chrono::seconds(30));
    // Forgets the reports seen so far, so that only fresh ones count.
    void Forget();
    // SIGINT and the exit status.
    std::optional<int> Stop();
    void Kill();  // SIGKILL and reap

  private:
    void Pump();
    kxtest::ChildProcess process_;
    std::map<std::string, kxtest::CoreReport> latest_;
    bool ready_ = false;
};

// Writes records of a changing size from this process (the Connect peer) on one
// transport while its peer is alive, as the client's write workers do.
class Streamer {
  public:
    Streamer(KXFakeShm::TransportKind kind, std::function<size_t()> size);
    ~Streamer();
    Streamer(const Streamer&) = delete;
    Streamer& operator=(const Streamer&) = delete;

    uint64_t Written() const { return written_.load(); }
    // The newest payload written successfully, and its size.
    std::string LastDigest() const;
    void Stop();

  private:
    void Run();
    KXFakeShm::TransportKind kind_;
    std::function<size_t()> size_;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> written_{0};
    mutable std::mutex digestMutex_;
    std::string lastDigest_;
    std::thread thread_;
};

// A payload of `size` bytes whose content depends on `seed`.
std::string Payload(size_t size, unsigned seed);

// From /proc/<pid>: resident memory in KiB and the number of threads.
uint64_t ResidentKb(pid_t pid);
int Threads(pid_t pid);

// The lines of a log text that carry ERROR level, without repeat notes.
std::vector<std::string> ErrorLines(const std::string& log);
size_t Count(const std::string& text, const std::string& what);

// The timings of these tests: those of the two-process tests, with a liveness
// that tolerates a machine loaded by two peers streaming 10 MB records.
KXFakeShm::Tuning FaultTuning();

// The command-line options that give a peer program `tuning`.
std::vector<std::string> TuningArgs(const KXFakeShm::Tuning& tuning);

// The path of the Connect peer helper built beside these tests.
std::string ConnectPeerProgram();

}  // namespace kxrel
