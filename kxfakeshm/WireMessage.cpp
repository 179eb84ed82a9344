#include "kxfakeshm/WireMessage.h"

namespace KXFakeShm::Wire {
namespace {

constexpr size_t kInitialBuilderSize = 1024;

flatbuffers::Offset<flatbuffers::String> OptionalString(flatbuffers::FlatBufferBuilder& builder,
                                                        const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    return builder.CreateString(text);
}

}  // namespace

flatbuffers::DetachedBuffer Pack(const MessageT& message) {
    flatbuffers::FlatBufferBuilder builder(kInitialBuilderSize);
    // The generated packer dereferences the payload object of any tag but NONE;
    // a tag without an object goes out as a message without payload.
    if (message.payload.type != Payload::NONE && message.payload.value == nullptr) {
        builder.Finish(CreateMessage(builder, message.version, message.timestamp, message.source));
        return builder.Release();
    }
    builder.Finish(Message::Pack(builder, &message));
    return builder.Release();
}

size_t HeartbeatCapacity() {
    return kInitialBuilderSize;
}

// Room for the strings up front: a 10 MB record would otherwise be copied through
// every doubling of the buffer. The layout does not depend on it.
size_t DataRecordCapacity(const std::string& block, const std::string& address,
                          const std::string& data) {
    return kInitialBuilderSize + block.size() + address.size() + data.size();
}

// Same calls, in the same order, as the generated packer, so the bytes equal
// Pack() of the matching object without copying the data into one first.
void BuildHeartbeat(flatbuffers::FlatBufferBuilder& builder, uint64_t timestamp,
                    SourceType source) {
    const auto heartbeat = CreateHeartbeat(builder, kHeartbeatVersion);
    builder.Finish(CreateMessage(builder, kMessageVersion, timestamp, source, Payload::Heartbeat,
                                 heartbeat.Union()));
}

void BuildDataRecord(flatbuffers::FlatBufferBuilder& builder, uint64_t timestamp, SourceType source,
                     const std::string& block, const std::string& address,
                     const std::string& data) {
    const auto blockOffset = OptionalString(builder, block);
    const auto addressOffset = OptionalString(builder, address);
    const auto dataOffset = OptionalString(builder, data);
    const auto record =
        CreateSharedMem(builder, kSharedMemVersion, blockOffset, addressOffset, dataOffset);
    builder.Finish(CreateMessage(builder, kMessageVersion, timestamp, source, Payload::SharedMem,
                                 record.Union()));
}

flatbuffers::DetachedBuffer BuildHeartbeat(uint64_t timestamp, SourceType source) {
    flatbuffers::FlatBufferBuilder builder(HeartbeatCapacity());
    BuildHeartbeat(builder, timestamp, source);
    return builder.Release();
}

flatbuffers::DetachedBuffer BuildDataRecord(uint64_t timestamp, SourceType source,
                                            const std::string& block, const std::string& address,
                                            const std::string& data) {
    flatbuffers::FlatBufferBuilder builder(DataRecordCapacity(block, address, data));
    BuildDataRecord(builder, timestamp, source, block, address, data);
    return builder.Release();
}

bool VerifyMessage(const uint8_t* data, size_t size) {
    return VerifyRoot<Message>(data, size);
}

}  // namespace KXFakeShm::Wire
