#pragma once

// The wire form of every IPC and TCP message: one FlatBuffers buffer with a root
// `Message` holding a heartbeat or a data record.

#include <flatbuffers/flatbuffers.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Message_generated.h"

namespace KXFakeShm::Wire {

constexpr uint32_t kMessageVersion = 1;
constexpr uint32_t kHeartbeatVersion = 1;
constexpr uint32_t kSharedMemVersion = 1;

// Builds the buffer of a message object: 1024-byte initial builder, payload first,
// no file identifier, defaults and empty strings left out.
flatbuffers::DetachedBuffer Pack(const MessageT& message);

// Heartbeat and data-record buffers for a sender of role `source`.
flatbuffers::DetachedBuffer BuildHeartbeat(uint64_t timestamp, SourceType source);
flatbuffers::DetachedBuffer BuildDataRecord(uint64_t timestamp, SourceType source,
                                            const std::string& block, const std::string& address,
                                            const std::string& data);

// The same messages, finished in a caller's fresh builder (for example one whose
// allocator writes straight into a transport's own message buffer). A builder of
// DataRecordCapacity() bytes never grows while the record is built.
void BuildHeartbeat(flatbuffers::FlatBufferBuilder& builder, uint64_t timestamp, SourceType source);
void BuildDataRecord(flatbuffers::FlatBufferBuilder& builder, uint64_t timestamp, SourceType source,
                     const std::string& block, const std::string& address, const std::string& data);
size_t HeartbeatCapacity();
size_t DataRecordCapacity(const std::string& block, const std::string& address,
                          const std::string& data);

// Length at least 12, a sane root offset, then the FlatBuffers verifier (depth 64,
// 1,000,000 tables, alignment checked). Alignment is checked relative to `data`;
// read accessors expect `data` itself to be 8-byte aligned.
bool VerifyMessage(const uint8_t* data, size_t size);

// The same three checks for any root type; used by the transport-file loader too.
template <typename Root>
bool VerifyRoot(const uint8_t* data, size_t size) {
    // The verifier asserts on buffers of 2 GiB and more; such a buffer is invalid.
    if (data == nullptr || size < 12 || size >= FLATBUFFERS_MAX_BUFFER_SIZE) {
        return false;
    }
    uint32_t rootOffset = 0;
    std::memcpy(&rootOffset, data, sizeof rootOffset);
    rootOffset = flatbuffers::EndianScalar(rootOffset);
    if (rootOffset == 0 || (rootOffset & 0x80000000u) != 0 || rootOffset > size - 1) {
        return false;
    }
    flatbuffers::Verifier verifier(data, size, 64, 1000000, true);
    return verifier.VerifyBuffer<Root>(nullptr);
}

}  // namespace KXFakeShm::Wire
