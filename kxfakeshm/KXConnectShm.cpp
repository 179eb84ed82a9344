#include "kxfakeshm/KXConnectShm.h"

#include <fmt/format.h>

#include <array>
#include <atomic>

#include "kxcommon/StringUtils.h"
#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/Errors.h"
#include "kxfakeshm/Impl.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

namespace Store = ::KXConnectShm::SharedMem;

const std::array<std::string, 5>& LegacyBlockNames() {
    // Never destroyed, as every name here: the library object's destruction at
    // process exit, which runs after the destructors of later statics, uses them.
    static const auto& names =
        *new std::array<std::string, 5>{"Devices", "Data", "Haptics", "toDevice", "fromDevice"};
    return names;
}

// A legacy name is a generic one that any program may use: only a segment of ours
// is removed, and one that is left is reported once per name and process.
void DisposeLegacyBlock(size_t index) {
    static std::array<std::atomic<bool>, 5> reported{};
    const std::string& name = LegacyBlockNames()[index];
    std::string reason;
    const Store::Owner owner = Store::OwnerOf(name, reason);
    if (owner == Store::Owner::None ||
        (owner == Store::Owner::ThisUser && Store::Dispose(name, reason))) {
        return;
    }
    if (!reason.empty() && !reported[index].exchange(true)) {
        KXLOG_WARNING("FakeSharedMem leaves the legacy shared-memory segment '{}' in place: {}",
                      name, reason);
    }
}

bool IsConnect() {
    return LibraryState().peer.load() == EPeer::Connect;
}

const std::string& OwnAddress() {
    return IsConnect() ? ConnectHeartbeatAddress() : CoreHeartbeatAddress();
}
const std::string& PeerAddress() {
    return IsConnect() ? CoreHeartbeatAddress() : ConnectHeartbeatAddress();
}

uint64_t AccessBytes(const std::string& address, const std::string& data) {
    return HeartbeatBlockName().size() + address.size() + data.size();
}

void RecordAccess(bool write, uint64_t bytes) {
    Impl& impl = LibraryState();
    if (auto channel = impl.sharedMemChannel.Get()) {
        const uint64_t window = impl.tuning.Snapshot().ThroughputSmoothingWindow * kMsNs;
        (write ? channel->stats.write : channel->stats.read).Record(NowNs(), bytes, window);
    }
}

}  // namespace

const std::string& HeartbeatBlockName() {
    static const std::string& name = *new std::string("KXFakeShmHeartbeat");
    return name;
}
const std::string& ConnectHeartbeatAddress() {
    static const std::string& name = *new std::string("ConnectHeartbeatTimestamp");
    return name;
}
const std::string& CoreHeartbeatAddress() {
    static const std::string& name = *new std::string("CoreHeartbeatTimestamp");
    return name;
}

FakeSharedMem& FakeSharedMem::Instance() {
    static KXConnectShm instance;
    return instance;
}

// Here rather than in the base: the Terminate sequence calls this class's hooks.
KXConnectShm::~KXConnectShm() {
    if (!IsInitialized()) {
        return;
    }
    KXLOG_WARNING("FakeSharedMem is destroyed while initialized; terminating it...");
    std::string error;
    Terminate(error);  // a failure is logged by Terminate itself
}

bool KXConnectShm::InitializeHeartbeatBlock(std::string& error) {
    error.clear();
    KXLOG_INFO("Intializing the FakeSharedMem SharedMem heartbeat block...");
    try {
        const uint32_t size = LibraryState().tuning.Snapshot().SharedMemHeartbeatBlockSize;
        // Both stamps in one write: a Core peer that finds the block finds both, and
        // never fails to write its own stamp into a block that is still being made.
        std::string reason;
        if (!Store::WriteTo(HeartbeatBlockName(),
                            {{ConnectHeartbeatAddress(), "0"}, {CoreHeartbeatAddress(), "0"}},
                            reason, size)) {
            return KX_FAIL(error,
                           "Failed to initialize the FakeSharedMem SharedMem heartbeat "
                           "block: " +
                               reason);
        }
        for (const std::string* address : {&ConnectHeartbeatAddress(), &CoreHeartbeatAddress()}) {
            RecordAccess(true, AccessBytes(*address, "0"));
        }
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to initialize the FakeSharedMem SharedMem "
                                          "heartbeat block: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to initialize the FakeSharedMem SharedMem heartbeat block due "
                       "to an unknown error!");
    }
}

bool KXConnectShm::InitializeSharedMem(std::string& error) {
    error.clear();
    blockState_ = kUnknown;
    // The Core peer uses the Connect peer's block and never creates it.
    if (!IsConnect()) {
        return true;
    }
    std::string reason;
    if (!InitializeHeartbeatBlock(reason)) {
        return KX_FAIL(error, "Failed to initialize KXConnectShm::SharedMem: " + reason);
    }
    return true;
}

bool KXConnectShm::TerminateHeartbeatBlock(std::string& error) {
    error.clear();
    KXLOG_INFO("Terminating the FakeSharedMem SharedMem heartbeat block...");
    try {
        std::string reason;
        // Another user's segment under the name was never ours to use or remove.
        if (Store::OwnerOf(HeartbeatBlockName(), reason) == Store::Owner::OtherUser) {
            KXLOG_WARNING("FakeSharedMem leaves the shared-memory segment '{}' in place: {}",
                          HeartbeatBlockName(), reason);
            return true;
        }
        if (!Store::Dispose(HeartbeatBlockName(), reason)) {
            return KX_FAIL(
                error,
                "Failed to terminate the FakeSharedMem SharedMem heartbeat block: " + reason);
        }
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to terminate the FakeSharedMem SharedMem "
                                          "heartbeat block: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to terminate the FakeSharedMem SharedMem heartbeat block due "
                       "to an unknown error!");
    }
}

bool KXConnectShm::TerminateSharedMem(std::string& error) {
    error.clear();
    // Only the owner of the segments disposes of them.
    if (!IsConnect()) {
        return true;
    }
    std::string reason;
    if (!TerminateHeartbeatBlock(reason)) {
        return KX_FAIL(error, "Failed to terminate KXConnectShm::SharedMem: " + reason);
    }
    for (size_t i = 0; i < LegacyBlockNames().size(); ++i) {
        DisposeLegacyBlock(i);
    }
    return true;
}

bool KXConnectShm::ReadPeerHeartbeat(uint64_t& timestamp, std::string& error) {
    error.clear();
    try {
        const std::string& address = PeerAddress();
        std::string data;
        std::string reason;
        // The store's own lines would repeat this one failure; it is logged once below.
        Store::QuietFailures quiet;
        bool ok = Store::ReadFrom(HeartbeatBlockName(), address, data, reason) && !data.empty();
        // No block, or one whose entries the Connect peer has yet to write: the
        // Connect peer is not there (yet). Not a failure of ours; say so once and
        // report no heartbeat.
        const bool notYet =
            reason.empty() || Store::NothingWrittenAt(reason, HeartbeatBlockName(), address);
        if (!ok && !IsConnect() && notYet) {
            if (blockState_.exchange(kMissing) != kMissing) {
                KXLOG_WARNING(
                    "The FakeSharedMem SharedMem heartbeat block '{}' does not exist; "
                    "waiting for the Connect peer to create it...",
                    HeartbeatBlockName());
            }
            timestamp = 0;
            return true;
        }
        if (!ok) {
            // What went wrong with the block, before the fallback's text replaces it.
            const std::string cause =
                !reason.empty() ? reason
                : data.empty()  ? fmt::format("SharedMem: {} does not exist or holds no {}",
                                              HeartbeatBlockName(), address)
                                : std::string();
            ok = Store::ReadLocal(HeartbeatBlockName(), address, data, reason);
            if (!ok) {
                error = "Failed to read FakeSharedMem SharedMem peer heartbeat: " + reason;
                KXLOG_ERROR("{} ({})", error, cause);
                return false;
            }
        }
        if (!IsConnect() && blockState_.exchange(kPresent) == kMissing) {
            KXLOG_INFO("The FakeSharedMem SharedMem heartbeat block '{}' is available again!",
                       HeartbeatBlockName());
        }
        RecordAccess(false, AccessBytes(address, data));
        timestamp = KXCommon::StringUtils::ParseUInt64(data);
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(
            error,
            fmt::format("Failed to read FakeSharedMem SharedMem peer heartbeat: {}", e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to read FakeSharedMem SharedMem peer heartbeat due to an "
                       "unknown error!");
    }
}

bool KXConnectShm::SendHeartbeat(uint64_t timestamp, std::string& error) {
    error.clear();
    try {
        // A Core peer has nowhere to write while the Connect peer's block is missing.
        if (!IsConnect() && blockState_.load() == kMissing) {
            return true;
        }
        const std::string text = fmt::format("{}", timestamp);
        const std::string& address = OwnAddress();
        std::string reason;
        if (!Store::WriteTo_NotCreate(HeartbeatBlockName(), address, text, reason)) {
            return KX_FAIL(error, "Failed to send a FakeSharedMem SharedMem heartbeat: " + reason);
        }
        RecordAccess(true, AccessBytes(address, text));
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(
            error, fmt::format("Failed to send a FakeSharedMem SharedMem heartbeat: {}", e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Failed to send a FakeSharedMem SharedMem heartbeat due to an unknown "
                       "error!");
    }
}

}  // namespace KXFakeShm
