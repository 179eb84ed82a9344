#pragma once

// How the waits of a transport worker end early. Stop raises a level that stays
// raised until the next start, so a wait that begins after the stop ends at once;
// a nudge (a peer that connects) ends the current wait only. Both are eventfds,
// so that a wait sits in one poll beside NNG's receive descriptor. Takes no lock:
// any thread may raise or nudge; any number may wait for the stop, but only one
// (the worker) for nudges.

#include <atomic>
#include <cstdint>
#include <string>

namespace KXFakeShm {

class WorkerSignal {
  public:
    WorkerSignal();
    ~WorkerSignal();
    WorkerSignal(const WorkerSignal&) = delete;
    WorkerSignal& operator=(const WorkerSignal&) = delete;

    // False (and the reason) when the kernel gave no descriptors.
    bool Usable(std::string& error) const;
    // Before a worker starts: lowers the stop and drops pending nudges.
    void Arm();
    void RaiseStop();
    bool StopRaised() const { return stopped_.load(); }
    void Nudge();

    enum class Wake { Readable, Stopped, Nudged, TimedOut };
    // Waits up to `timeoutMs` (negative: no limit) until `fd` (-1: none) is
    // readable, the stop is raised or, when `nudgeable`, a nudge arrives.
    Wake Wait(int fd, int64_t timeoutMs, bool nudgeable);

  private:
    std::atomic<bool> stopped_{false};
    int stopFd_ = -1;
    int nudgeFd_ = -1;
    int openErrno_ = 0;
};

// A wait in milliseconds from an unsigned tuning value: values beyond a year
// are no limit (-1), so that no deadline arithmetic overflows.
int64_t WaitMs(uint64_t ms);

}  // namespace KXFakeShm
