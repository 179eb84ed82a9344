#pragma once

// The concrete library object: the shared-memory heartbeat block. The Connect
// peer owns the block (creates it, writes "ConnectHeartbeatTimestamp", disposes of
// it); the Core peer writes "CoreHeartbeatTimestamp" into the Connect peer's block.

#include <atomic>
#include <string>

#include "kxfakeshm/FakeSharedMem.h"

namespace KXFakeShm {

const std::string& HeartbeatBlockName();
const std::string& ConnectHeartbeatAddress();
const std::string& CoreHeartbeatAddress();

class KXConnectShm final : public FakeSharedMem {
  public:
    KXConnectShm() = default;
    // Leaving the process while initialised (returning from main, exit()) runs
    // the Terminate sequence: the workers are joined, the transport file erased.
    ~KXConnectShm() override;

  protected:
    bool InitializeSharedMem(std::string& error) override;
    bool TerminateSharedMem(std::string& error) override;
    bool ReadPeerHeartbeat(uint64_t& timestamp, std::string& error) override;
    bool SendHeartbeat(uint64_t timestamp, std::string& error) override;

  private:
    bool InitializeHeartbeatBlock(std::string& error);
    bool TerminateHeartbeatBlock(std::string& error);

    // Core peer only: whether the Connect peer's block was there at the last read.
    // A missing block is reported once per change, not on every pass.
    std::atomic<int> blockState_{kUnknown};
    static constexpr int kUnknown = 0;
    static constexpr int kPresent = 1;
    static constexpr int kMissing = 2;
};

}  // namespace KXFakeShm
