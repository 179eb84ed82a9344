// The message path of the IPC and TCP transports: the public write, the
// heartbeat, the send step and the handler of every received message.
//
// Locks, one at a time and each only briefly: the channel slot's lock to copy
// the pointer, the tuning lock to read one value, the channel's send gate
// around the start and the end of a send (not while it waits), receivedDataLock
// around the table update, and each statistics series' own lock.

#include <fmt/format.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "kxfakeshm/Errors.h"
#include "kxfakeshm/NngMessageBuilder.h"
#include "kxfakeshm/SocketTransport.h"
#include "kxfakeshm/WireMessage.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

Wire::SourceType OwnSource(const Impl& impl) {
    return impl.peer.load() == EPeer::Connect ? Wire::SourceType::Connect : Wire::SourceType::Core;
}

// One tuning value, read under the tuning lock without copying the whole record
// (the message path reads one or two values per message).
template <typename Value>
Value TuningValue(const Impl& impl, Value Tuning::*field) {
    std::shared_lock lock(impl.tuning.mutex);
    return impl.tuning.tuning.*field;
}

uint64_t ThroughputWindowNs(const Impl& impl) {
    return TuningValue(impl, &Tuning::ThroughputSmoothingWindow) * kMsNs;
}

// The channel a send goes through, or null with `error` set to `prefix` and why
// there is none yet.
std::shared_ptr<TransportChannel> ChannelToSendOn(Impl& impl, const SocketTransport& t,
                                                  const std::string& prefix, std::string& error) {
    auto channel = impl.Slot(t.kind).Get();
    if (!channel) {
        error =
            prefix + fmt::format("The {} transport channel has not been initialized yet!", t.word);
        return nullptr;
    }
    if (!channel->socketInitialized) {
        error =
            prefix + fmt::format("The {} transport socket has not been initialized yet!", t.word);
        return nullptr;
    }
    return channel;
}

// Builds one message with `build` (which finishes the builder) into an NNG
// message of at least `capacity` bytes and sends it with SendNngMessage.
template <typename Build>
bool BuildAndSend(Impl& impl, const SocketTransport& t, size_t capacity, uint64_t timestamp,
                  Build build, std::string& error) {
    nng_msg* msg = BuildNngMessage(capacity, build);
    if (msg == nullptr) {
        error = fmt::format(
            "Failed to send the FakeSharedMem {} message: The {} transport has failed to "
            "allocate nng_msg!",
            t.word, t.word);
        return false;
    }
    return SendNngMessage(impl, t, msg, timestamp, error);
}

}  // namespace

bool SendNngMessage(Impl& impl, const SocketTransport& t, nng_msg* msg, uint64_t timestamp,
                    std::string& error) {
    error.clear();
    // Failure texts only: built when a failure needs them, never per message.
    const auto prefix = [&t] {
        return fmt::format("Failed to send the FakeSharedMem {} message: ", t.word);
    };
    // Owns `msg` until NNG takes it.
    std::unique_ptr<nng_msg, void (*)(nng_msg*)> owned(msg, nng_msg_free);
    try {
        const auto channel = ChannelToSendOn(impl, t, prefix(), error);
        if (!channel) {
            return false;
        }
        const size_t size = nng_msg_len(msg);
        const bool nonBlocking = TuningValue(impl, &Tuning::SocketSendNonBlocking);
        const int32_t timeoutMs = nonBlocking ? 0 : TuningValue(impl, &Tuning::SocketSendTimeout);
        int rc = channel->sendGate.Send(msg, timeoutMs);
        if (rc == NNG_ETIMEDOUT && nonBlocking) {
            rc = NNG_EAGAIN;  // what a non-blocking nng_sendmsg reports
        }
        if (rc != 0) {
            error = prefix() + nng_strerror(rc);
            return false;
        }
        owned.release();  // NNG freed or sent it
        channel->lastSentTime = timestamp;
        channel->stats.writeMeta.Record(NowNs(), size, ThroughputWindowNs(impl));
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, prefix() + e.what());
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to send the FakeSharedMem {} message due to an "
                                          "unknown error!",
                                          t.word));
    }
}

bool WriteVia(Impl& impl, const SocketTransport& t, const std::string& block,
              const std::string& address, const std::string& data, std::string& error) {
    error.clear();
    try {
        if (!impl.Slot(t.kind).Get()) {
            return KX_FAIL(error, fmt::format("FakeSharedMem has failed to read {} message: The "
                                              "transport channel has not been initialized!",
                                              t.word));
        }
        const uint64_t timestamp = NowNs();
        const auto build = [&](flatbuffers::FlatBufferBuilder& builder) {
            Wire::BuildDataRecord(builder, timestamp, OwnSource(impl), block, address, data);
        };
        if (!BuildAndSend(impl, t, Wire::DataRecordCapacity(block, address, data), timestamp, build,
                          error)) {
            return false;
        }
        if (auto channel = impl.Slot(t.kind).Get()) {
            const uint64_t payload = 4 + block.size() + address.size() + data.size();
            channel->stats.write.Record(NowNs(), payload, ThroughputWindowNs(impl));
            channel->stats.recordsWritten.Add(payload);
        }
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("FakeSharedMem has failed to write {} message: {}",
                                          t.word, e.what()));
    } catch (...) {
        return KX_FAIL(error, fmt::format("FakeSharedMem has failed to write {} message due to an "
                                          "unknown error!",
                                          t.word));
    }
}

bool SendHeartbeatVia(Impl& impl, const SocketTransport& t, std::string& error) {
    error.clear();
    const auto prefix = [&t] {
        return fmt::format("Failed to send a FakeSharedMem {} heartbeat: ", t.word);
    };
    try {
        if (!ChannelToSendOn(impl, t, prefix(), error)) {
            return false;
        }
        const uint64_t timestamp = NowNs();
        const auto build = [&](flatbuffers::FlatBufferBuilder& builder) {
            Wire::BuildHeartbeat(builder, timestamp, OwnSource(impl));
        };
        std::string reason;
        if (!BuildAndSend(impl, t, Wire::HeartbeatCapacity(), timestamp, build, reason)) {
            error = prefix() + reason;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        error = prefix() + e.what();
        return false;
    } catch (...) {
        error = fmt::format("Failed to send a FakeSharedMem {} heartbeat due to an unknown error!",
                            t.word);
        return false;
    }
}

bool HandleMessage(Impl& impl, const SocketTransport& t, nng_msg* msg, std::string& error) {
    error.clear();
    std::unique_ptr<nng_msg, void (*)(nng_msg*)> owned(msg, nng_msg_free);
    const auto prefix = [&t] {
        return fmt::format("Failed to handle the FakeSharedMem {} message: ", t.word);
    };
    try {
        const uint64_t now = NowNs();
        auto channel = impl.Slot(t.kind).Get();
        if (!channel) {
            error = prefix() +
                    fmt::format("The {} transport channel has not been initialized yet!", t.word);
            return false;
        }
        if (!owned) {
            error = prefix() + "Invalid message!";
            return false;
        }
        const auto* body = static_cast<const uint8_t*>(nng_msg_body(msg));
        const size_t length = nng_msg_len(msg);
        if (!Wire::VerifyMessage(body, length)) {
            error = prefix() + "Invalid FakeShm Message!";
            return false;
        }
        const Wire::Message* message = Wire::GetMessage(body);
        if (message->version() != Wire::kMessageVersion) {
            KXLOG_WARNING("FakeShm Message version mismatch: (expected {}, got {})",
                          Wire::kMessageVersion, message->version());
        }
        EPeer source;
        switch (message->source()) {
            case Wire::SourceType::Core:
                source = EPeer::Core;
                break;
            case Wire::SourceType::Connect:
                source = EPeer::Connect;
                break;
            default:
                error = prefix() + "Unknown source type!";
                return false;
        }
        if (source == impl.peer.load()) {
            error = prefix() +
                    fmt::format("The source has the same peer type '{}' as us!", PeerName(source));
            return false;
        }
        // Read before a record's message goes to the table, where a pipe callback
        // may free it at any time.
        const uint64_t timestamp = message->timestamp();
        const uint64_t window = ThroughputWindowNs(impl);
        switch (message->payload_type()) {
            case Wire::Payload::Heartbeat: {
                const Wire::Heartbeat* heartbeat = message->payload_as_Heartbeat();
                if (heartbeat == nullptr) {
                    error = prefix() + "Invalid FakeShm Heartbeat payload!";
                    return false;
                }
                channel->lastReceivedTime = NowNs();
                if (heartbeat->version() != Wire::kHeartbeatVersion) {
                    KXLOG_WARNING("FakeShm Heartbeat version mismatch: (expected {}, got {})",
                                  Wire::kHeartbeatVersion, heartbeat->version());
                }
                channel->stats.read.Record(NowNs(), 4, window);
                break;
            }
            case Wire::Payload::SharedMem: {
                const Wire::SharedMem* record = message->payload_as_SharedMem();
                if (record == nullptr) {
                    error = prefix() + "Invalid FakeShm SharedMem payload!";
                    return false;
                }
                channel->lastReceivedTime = NowNs();
                if (record->version() != Wire::kSharedMemVersion) {
                    KXLOG_WARNING("FakeShm SharedMem version mismatch: (expected {}, got {})",
                                  Wire::kSharedMemVersion, record->version());
                }
                auto text = [](const flatbuffers::String* s) {
                    return s == nullptr ? std::string_view() : s->string_view();
                };
                const std::string_view block = text(record->block());
                const std::string_view address = text(record->address());
                const std::string_view data = text(record->data());
                const uint64_t payload = 4 + block.size() + address.size() + data.size();
                // The record keeps its message: no copy of the data until it is read.
                ReceivedRecord kept{std::shared_ptr<nng_msg>(owned.release(), nng_msg_free), data};
                {
                    std::lock_guard lock(channel->receivedDataLock);
                    auto& byAddress = channel->receivedData[std::string(block)];
                    std::swap(byAddress[std::string(address)], kept);
                }
                // The record it replaced is freed here, outside the lock.
                kept = {};
                channel->stats.read.Record(NowNs(), payload, window);
                channel->stats.recordsRead.Add(payload);
                break;
            }
            default:
                error = prefix() + "Unknown payload type!";
                return false;
        }
        if (timestamp != 0 && timestamp < now) {
            const uint64_t latencyWindow =
                TuningValue(impl, &Tuning::LatencySmoothingWindow) * kMsNs;
            channel->stats.RecordLatency(NowNs(), now - timestamp, latencyWindow);
        }
        channel->stats.readMeta.Record(NowNs(), length, window);
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, prefix() + e.what());
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to handle the FakeSharedMem {} message due to an "
                                          "unknown error!",
                                          t.word));
    }
}

}  // namespace KXFakeShm
