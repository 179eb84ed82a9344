#pragma once

// Per-transport dispatch for the lifecycle: the socket transports and the
// SharedMem transport behind one set of calls. All run under apiMutex.

#include <string>

#include "kxfakeshm/Impl.h"

namespace KXFakeShm {

// The order in which every lifecycle step visits the transports.
inline constexpr TransportKind kTransportOrder[] = {Ipc, Tcp, SharedMem};
// Every bit a transport set may hold.
inline constexpr uint8_t kAllTransports = Tcp | Ipc | SharedMem;

const char* TransportWord(TransportKind kind);  // "IPC", "TCP", "SharedMem"

bool InitializeChannel(Impl& impl, TransportKind kind, std::string& error);
bool TerminateChannel(Impl& impl, TransportKind kind, std::string& error);
bool StartWorker(Impl& impl, TransportKind kind, std::string& error);
bool StopWorker(Impl& impl, TransportKind kind, std::string& error);
bool IsWorkerRunning(Impl& impl, TransportKind kind, std::string& error);

// For IPC, TCP, SharedMem in turn, when the channel exists: stop its worker if it
// runs, then terminate the channel. Stops at the first failure.
bool TearDownTransports(Impl& impl, std::string& error);

// The SharedMem transport (its channel, worker and liveness).
bool InitializeSharedMemChannel(Impl& impl, std::string& error);
bool TerminateSharedMemChannel(Impl& impl, std::string& error);
bool StartSharedMemWorker(Impl& impl, std::string& error);
bool StopSharedMemWorker(Impl& impl, std::string& error);
bool IsSharedMemWorkerRunning(Impl& impl, std::string& error);

// The peer-alive rule: the channel exists, its peer flag is set and the last
// evidence of the peer is at most the liveness timeout old.
bool PeerAlive(const Impl& impl, TransportKind kind);

}  // namespace KXFakeShm
