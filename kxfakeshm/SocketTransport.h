#pragma once

// The IPC and TCP transports: one code path, parameterised by a descriptor that
// names the channel slot and the word used in every text.

#include <nng/nng.h>

#include <string>

#include "kxfakeshm/Impl.h"

namespace KXFakeShm {

struct SocketTransport {
    TransportKind kind;
    const char* word;            // "IPC" or "TCP"
    const char* withArticle;     // "an IPC" or "a TCP"
    const char* supervisorName;  // thread names
    const char* workerName;
    const char* connectedText;  // pipe-callback log lines
    const char* disconnectedText;
    const char* invalidChannelText;
    const char* resolvingText;  // URL resolution log lines ({} = the URL)
    const char* alreadyResolvedFormat;
    const char* resolvedFormat;
    void (*onPipeAdded)(nng_pipe, nng_pipe_ev, void*);
    void (*onPipeRemoved)(nng_pipe, nng_pipe_ev, void*);
    // Whether a Connect peer re-creates a listener that has gone a while without
    // a peer (NNG 1.5's IPC listener can stop taking peers, see SocketChannel.cpp).
    bool refreshLonelyListener;
};

const SocketTransport& IpcTransport();
const SocketTransport& TcpTransport();
const SocketTransport& SocketTransportOf(TransportKind kind);  // Ipc or Tcp

// Channel lifecycle. Caller holds apiMutex; takes the slot lock; does not block.
bool InitializeSocketChannel(Impl& impl, const SocketTransport& t, std::string& error);
bool TerminateSocketChannel(Impl& impl, const SocketTransport& t, std::string& error);
// Fills the channel's `url` (IPC: the runtime-directory socket; TCP: a free port).
bool ResolveUrl(Impl& impl, const SocketTransport& t, std::string& error);

// Socket open/close, called by worker start and stop. Take socketMutex, which no
// thread holds across a blocking NNG call.
bool InitializeSocket(Impl& impl, const SocketTransport& t, std::string& error);
bool TerminateSocket(Impl& impl, const SocketTransport& t, std::string& error);

// Called by the worker after each turn: a Connect peer's IPC listener that has
// gone a while without a peer is made anew (see SocketChannel.cpp); `lonelySince`
// is the worker's own record of when its link last had a peer. Takes socketMutex;
// does not block.
void RefreshLonelyListener(Impl& impl, const SocketTransport& t, TransportChannel& channel,
                           uint64_t& lonelySince);

// Worker lifecycle. Caller holds apiMutex (or runs the Core reload under it).
// Stop joins the supervise thread: never call it from the worker.
bool StartSocketWorker(Impl& impl, const SocketTransport& t, std::string& error);
bool StopSocketWorker(Impl& impl, const SocketTransport& t, std::string& error);
bool IsSocketWorkerRunning(Impl& impl, const SocketTransport& t, std::string& error);

// Message path. Any thread; each takes only leaf locks, one at a time.
bool WriteVia(Impl& impl, const SocketTransport& t, const std::string& block,
              const std::string& address, const std::string& data, std::string& error);
bool SendHeartbeatVia(Impl& impl, const SocketTransport& t, std::string& error);
// The send step: sends one NNG message, which it owns from the call on (freed
// on failure); on success records `timestamp` as the last-sent time and the
// message size as Write + Meta. WriteVia and the heartbeat build their message
// in place, in the NNG message itself.
bool SendNngMessage(Impl& impl, const SocketTransport& t, nng_msg* msg, uint64_t timestamp,
                    std::string& error);
// Verifies and applies one received message, which it owns from the call on
// (a record's message is kept in the channel's table, any other freed).
bool HandleMessage(Impl& impl, const SocketTransport& t, nng_msg* msg, std::string& error);

}  // namespace KXFakeShm
