#include "kxfakeshm/KXConnectShm.h"

#include <fmt/format.h>

#include <array>

#include "kxcommon/StringUtils.h"
#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/Errors.h"
#include "kxfakeshm/Impl.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

namespace Store = ::KXConnectShm::SharedMem;

const std::array<std::string, 5>& LegacyBlockNames() {
    static const std::array<std::string, 5> names{"Devices", "Data", "Haptics", "toDevice",
                                                  "fromDevice"};
    return names;
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
    static const std::string name = "KXFakeShmHeartbeat";
    return name;
}
const std::string& ConnectHeartbeatAddress() {
    static const std::string name = "ConnectHeartbeatTimestamp";
    return name;
}
const std::string& CoreHeartbeatAddress() {
    static const std::string name = "CoreHeartbeatTimestamp";
    return name;
}

FakeSharedMem& FakeSharedMem::Instance() {
    static KXConnectShm instance;
    return instance;
}

bool KXConnectShm::InitializeHeartbeatBlock(std::string& error) {
    error.clear();
    KXLOG_INFO("Intializing the FakeSharedMem SharedMem heartbeat block...");
    try {
        const uint32_t size = LibraryState().tuning.Snapshot().SharedMemHeartbeatBlockSize;
        for (const std::string* address : {&ConnectHeartbeatAddress(), &CoreHeartbeatAddress()}) {
            std::string reason;
            if (!Store::WriteTo(HeartbeatBlockName(), *address, "0", reason, size)) {
                return KX_FAIL(error,
                               "Failed to initialize the FakeSharedMem SharedMem heartbeat "
                               "block: " +
                                   reason);
            }
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
    bool ok = TerminateHeartbeatBlock(reason);
    for (const std::string& legacy : LegacyBlockNames()) {
        if (!ok) {
            break;
        }
        ok = Store::Dispose(legacy, reason);
    }
    if (!ok) {
        return KX_FAIL(error, "Failed to terminate KXConnectShm::SharedMem: " + reason);
    }
    return true;
}

bool KXConnectShm::ReadPeerHeartbeat(uint64_t& timestamp, std::string& error) {
    error.clear();
    try {
        const std::string& address = PeerAddress();
        std::string data;
        std::string reason;
        bool ok = Store::ReadFrom(HeartbeatBlockName(), address, data, reason) && !data.empty();
        if (!ok && !IsConnect() && reason.empty()) {
            // No block: the Connect peer is not there (yet). Not a failure of ours;
            // say so once and report no heartbeat.
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
            ok = Store::ReadLocal(HeartbeatBlockName(), address, data, reason);
        }
        if (!ok) {
            return KX_FAIL(error,
                           "Failed to read FakeSharedMem SharedMem peer heartbeat: " + reason);
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
