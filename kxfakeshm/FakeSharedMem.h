#pragma once

// The two-peer transport library. One process is the Connect peer (listens, owns
// the configuration files), the other the Core peer (reads the transport file,
// dials). Up to three transports run side by side: TCP, IPC and SharedMem.
// Every operation that can fail returns false and fills `error`; none throws.

#include <cstdint>
#include <memory>
#include <string>

#include "kxfakeshm/Tuning.h"

namespace KXFakeShm {

enum class EPeer : uint8_t { None = 0, Connect = 1, Core = 2 };

// "None", "Connect", "Core", anything else "Unknown".
const char* PeerName(EPeer peer);

// Bit set of transports; any non-empty combination may be active.
enum TransportKind : uint8_t {
    Tcp = 1,
    Ipc = 2,
    SharedMem = 4,
};

class FakeSharedMem;

class FakeSharedMem {
  public:
    // The process-wide library object, created on first use.
    static FakeSharedMem& Instance();

    virtual ~FakeSharedMem();
    FakeSharedMem(const FakeSharedMem&) = delete;
    FakeSharedMem& operator=(const FakeSharedMem&) = delete;

    // Lifecycle.
    bool Initialize(EPeer peer, uint8_t transports, const Tuning& tuning, std::string& error);
    bool Reconfigure(uint8_t transports, std::string& error);
    bool Terminate(std::string& error);
    bool IsInitialized() const;
    uint8_t GetTransports() const;
    EPeer GetPeer() const;
    bool IsIpcEnabled() const;
    bool IsSharedMemEnabled() const;

    // Data records over the socket transports.
    bool WriteViaIpc(const std::string& block, const std::string& address, const std::string& data,
                     std::string& error);
    bool WriteViaTcp(const std::string& block, const std::string& address, const std::string& data,
                     std::string& error);
    // Fan-out to every active transport (IPC, TCP, then the 20 MiB store), and the
    // store write that never creates a segment or object.
    bool WriteTo(const std::string& block, const std::string& address, const std::string& data,
                 std::string& error);
    bool WriteTo_NotCreate(const std::string& block, const std::string& address,
                           const std::string& data, std::string& error);
    // The store write alone, creating the segment and object when needed: it does
    // not wait on the socket peers as WriteTo does.
    bool WriteViaSharedMem(const std::string& block, const std::string& address,
                           const std::string& data, std::string& error);

    // The newest record for (block, address): received over IPC or TCP, or held
    // by the store for SharedMem (false while SharedMem is not active).
    bool ReadReceivedData(TransportKind transport, const std::string& block,
                          const std::string& address, std::string& data) const;

    // Statistics, one figure per call; 0 / false when the channel does not exist.
    bool IsPeerAlive(TransportKind transport) const;
    bool IsIpcPeerAlive() const { return IsPeerAlive(Ipc); }
    bool IsTcpPeerAlive() const { return IsPeerAlive(Tcp); }
    bool IsSharedMemPeerAlive() const { return IsPeerAlive(SharedMem); }
    uint64_t GetLatency(TransportKind transport) const;
    uint64_t GetSmoothedLatency(TransportKind transport) const;
    uint64_t GetReadBytes(TransportKind transport) const;
    uint64_t GetWriteBytes(TransportKind transport) const;
    uint64_t GetReadMetaBytes(TransportKind transport) const;   // IPC and TCP only
    uint64_t GetWriteMetaBytes(TransportKind transport) const;  // IPC and TCP only
    // Every latency sample since the last peer connect or disconnect: the value
    // below which `percentile` percent (0..100) lie, two significant digits.
    uint64_t GetLatencyPercentile(TransportKind transport, double percentile) const;
    // Data records since the last peer connect or disconnect, never pruned:
    // received over a socket transport, and sent over one or completed into the
    // store (SharedMem). Bytes count as the Read and Write series do.
    uint64_t GetTotalReadBytes(TransportKind transport) const;
    uint64_t GetTotalReadMessages(TransportKind transport) const;
    uint64_t GetTotalWriteBytes(TransportKind transport) const;
    uint64_t GetTotalWriteMessages(TransportKind transport) const;
    Tuning GetTuning() const;
    // NNG sockets of this process whose close was abandoned because it did not
    // return (an NNG 1.5.2 fault, docs/nng.md) and has not finished since.
    static uint64_t GetLeakedSocketCount();

    struct Impl;

  protected:
    FakeSharedMem();

    // The shared-memory heartbeat block, implemented by the concrete class.
    virtual bool InitializeSharedMem(std::string& error) = 0;
    virtual bool TerminateSharedMem(std::string& error) = 0;
    virtual bool ReadPeerHeartbeat(uint64_t& timestamp, std::string& error) = 0;
    virtual bool SendHeartbeat(uint64_t timestamp, std::string& error) = 0;

  private:
    friend Impl& LibraryState();
    std::unique_ptr<Impl> impl_;
};

}  // namespace KXFakeShm
