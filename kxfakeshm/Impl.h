#pragma once

// The library state behind the facade. Internal to kxfakeshm (and its tests).
//
// Lock order: apiMutex, then a watcher mutex, then a channel slot's lock, then
// tuning.mutex. Channel-level locks (socketMutex, receivedDataLock, each statistics
// series) are leaves: none is held while another lock is taken.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kxcommon/FileWatcher.h"
#include "kxcommon/HybridMutex.h"
#include "kxfakeshm/ConnectPeerLock.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/TransportChannel.h"
#include "kxfakeshm/TuningFile.h"

namespace KXFakeShm {

inline uint64_t NowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The lock of the lifecycle operations. A plain blocking lock whose waiters can
// also be sent away: the Core peer's reload waits for it on the transport
// watcher's thread, which Terminate joins while it holds the lock, so that wait
// must end when Terminate says so, at once and without polling.
class ApiMutex {
  public:
    void lock() {
        std::unique_lock lock(mutex_);
        released_.wait(lock, [this] { return !held_; });
        held_ = true;
    }
    bool try_lock() {
        std::lock_guard lock(mutex_);
        if (held_) {
            return false;
        }
        held_ = true;
        return true;
    }
    void unlock() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        released_.notify_all();
    }
    // Takes the lock once it is free, unless `giveUp` is (or becomes) true first;
    // whoever sets `giveUp` calls WakeWaiters afterwards.
    bool LockUnless(const std::atomic<bool>& giveUp) {
        std::unique_lock lock(mutex_);
        released_.wait(lock, [&] { return !held_ || giveUp.load(); });
        if (held_) {
            return false;
        }
        held_ = true;
        return true;
    }
    void WakeWaiters() {
        // Taken once so that a waiter between its test and its wait is not missed.
        { std::lock_guard lock(mutex_); }
        released_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
};

struct FakeSharedMem::Impl {
    explicit Impl(FakeSharedMem& facade) : owner(facade) {}

    // Serialises Initialize, Reconfigure, Terminate and the Core peer's reload.
    ApiMutex apiMutex;

    // Held by a Connect peer from Initialize to Terminate; under apiMutex.
    ConnectPeerLock connectLock;

    // Written under apiMutex; read anywhere.
    std::atomic<EPeer> peer{EPeer::None};
    std::atomic<uint8_t> transports{0};

    // The watchers of the two configuration files, each with its one subscription.
    KXCommon::HybridMutex transportWatcherMutex;
    std::unique_ptr<KXCommon::FileWatcher> transportWatcher;
    KXCommon::FileWatcher::Subscription transportSubscription;
    // Under transportWatcherMutex: while set, the workers leave the transport file
    // to the lifecycle (Reconfigure rewrites it, Terminate erases it); set from
    // the first step of both until the watcher runs again. A failed repair is
    // tried again, while the file is dirty, from the given steady time on.
    bool transportRewriteSuspended = true;
    uint64_t transportRewriteRetryAt = 0;
    KXCommon::HybridMutex tuningWatcherMutex;
    std::unique_ptr<KXCommon::FileWatcher> tuningWatcher;
    KXCommon::FileWatcher::Subscription tuningSubscription;

    // Set while Terminate stops the watchers, so that a Core-side reload waiting for
    // apiMutex gives up instead of deadlocking against the join of its thread.
    std::atomic<bool> watchersStopping{false};

    // Set by the file-watcher callbacks, cleared by the transport-file rewrite.
    std::atomic<bool> transportFileDirty{false};
    std::atomic<bool> tuningFileDirty{false};

    ChannelSlot ipcChannel;
    ChannelSlot sharedMemChannel;
    ChannelSlot tcpChannel;

    TuningStore tuning;

    FakeSharedMem& owner;

    bool Initialized() const { return peer.load() != EPeer::None && transports.load() != 0; }
    bool Selected(TransportKind kind) const {
        return peer.load() != EPeer::None && (transports.load() & kind) != 0;
    }
    ChannelSlot& Slot(TransportKind kind) {
        switch (kind) {
            case Ipc:
                return ipcChannel;
            case Tcp:
                return tcpChannel;
            default:
                return sharedMemChannel;
        }
    }
    const ChannelSlot& Slot(TransportKind kind) const {
        return const_cast<Impl*>(this)->Slot(kind);
    }

    // Hooks of the concrete library object (the shared-memory heartbeat block).
    bool InitializeSharedMem(std::string& error) { return owner.InitializeSharedMem(error); }
    bool TerminateSharedMem(std::string& error) { return owner.TerminateSharedMem(error); }
    bool ReadPeerHeartbeat(uint64_t& ts, std::string& error) {
        return owner.ReadPeerHeartbeat(ts, error);
    }
    bool SendHeartbeat(uint64_t ts, std::string& error) { return owner.SendHeartbeat(ts, error); }
};

using Impl = FakeSharedMem::Impl;

// The library object's state (the singleton's Impl).
Impl& LibraryState();

// Sleeps until the steady-clock deadline now + ms (values below 1 do not sleep).
void SleepMilliseconds(uint64_t ms);

}  // namespace KXFakeShm
