#pragma once

// The library state behind the facade. Internal to kxfakeshm (and its tests).
//
// Lock order: apiMutex, then a watcher mutex, then a channel slot's lock, then
// tuning.mutex. Channel-level locks (socketMutex, receivedDataLock, each statistics
// series) are leaves: none is held while another lock is taken.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "kxcommon/FileWatcher.h"
#include "kxcommon/HybridMutex.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxfakeshm/TransportChannel.h"
#include "kxfakeshm/TuningFile.h"

namespace KXFakeShm {

inline uint64_t NowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

struct FakeSharedMem::Impl {
    explicit Impl(FakeSharedMem& facade) : owner(facade) {}

    // Serialises Initialize, Reconfigure, Terminate and the Core peer's reload.
    KXCommon::HybridMutex apiMutex;

    // Written under apiMutex; read anywhere.
    std::atomic<EPeer> peer{EPeer::None};
    std::atomic<uint8_t> transports{0};

    // The watchers of the two configuration files, each with its one subscription.
    KXCommon::HybridMutex transportWatcherMutex;
    std::unique_ptr<KXCommon::FileWatcher> transportWatcher;
    KXCommon::FileWatcher::Subscription transportSubscription;
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
