// Wire buffers: building, the byte layout both peers share, and verification of
// whatever arrives on a socket.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TransportConfig_generated.h"
#include "kxfakeshm/NngMessageBuilder.h"
#include "kxfakeshm/WireMessage.h"

namespace {

using namespace KXFakeShm::Wire;

std::vector<uint8_t> Bytes(const flatbuffers::DetachedBuffer& buffer) {
    return {buffer.data(), buffer.data() + buffer.size()};
}

// Reads a FlatBuffers table straight from the bytes, without generated code.
class RawTable {
  public:
    RawTable(const std::vector<uint8_t>& buf, uint32_t tablePos) : buf_(buf), table_(tablePos) {
        const int32_t back = Read<int32_t>(table_);
        vtable_ = static_cast<uint32_t>(static_cast<int64_t>(table_) - back);
        vtableSize_ = Read<uint16_t>(vtable_);
    }
    static RawTable Root(const std::vector<uint8_t>& buf) {
        uint32_t root = 0;
        std::memcpy(&root, buf.data(), 4);
        return RawTable(buf, root);
    }

    // The field's offset within the table, 0 when the field is absent.
    uint16_t FieldOffset(uint16_t slot) const {
        return slot + 2 <= vtableSize_ ? Read<uint16_t>(vtable_ + slot) : 0;
    }
    bool Has(uint16_t slot) const { return FieldOffset(slot) != 0; }
    uint16_t VtableSize() const { return vtableSize_; }
    template <typename T>
    T Scalar(uint16_t slot) const {
        EXPECT_TRUE(Has(slot)) << "slot " << slot;
        return Read<T>(table_ + FieldOffset(slot));
    }
    uint32_t Target(uint16_t slot) const {
        const uint32_t at = table_ + FieldOffset(slot);
        return at + Read<uint32_t>(at);
    }
    RawTable Table(uint16_t slot) const { return RawTable(buf_, Target(slot)); }
    std::string String(uint16_t slot) const {
        const uint32_t at = Target(slot);
        const uint32_t length = Read<uint32_t>(at);
        EXPECT_EQ(buf_.at(at + 4 + length), 0) << "strings end with a zero byte";
        return std::string(reinterpret_cast<const char*>(buf_.data()) + at + 4, length);
    }

  private:
    template <typename T>
    T Read(uint32_t pos) const {
        T value{};
        EXPECT_LE(pos + sizeof(T), buf_.size());
        if (pos + sizeof(T) <= buf_.size()) {
            std::memcpy(&value, buf_.data() + pos, sizeof(T));
        }
        return value;
    }

    const std::vector<uint8_t>& buf_;
    uint32_t table_;
    uint32_t vtable_ = 0;
    uint16_t vtableSize_ = 0;
};

MessageT DataRecordObject(uint64_t timestamp, SourceType source, const std::string& block,
                          const std::string& address, const std::string& data) {
    MessageT message;
    message.version = kMessageVersion;
    message.timestamp = timestamp;
    message.source = source;
    SharedMemT record;
    record.version = kSharedMemVersion;
    record.block = block;
    record.address = address;
    record.data = data;
    message.payload.Set(std::move(record));
    return message;
}

MessageT HeartbeatObject(uint64_t timestamp, SourceType source) {
    MessageT message;
    message.version = kMessageVersion;
    message.timestamp = timestamp;
    message.source = source;
    HeartbeatT heartbeat;
    heartbeat.version = kHeartbeatVersion;
    message.payload.Set(std::move(heartbeat));
    return message;
}

// A copy of exactly `size` bytes on the heap, so that a read past the end is
// caught by the address sanitizer.
bool VerifyCopy(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) {
        std::memcpy(copy.get(), data, size);
    }
    const bool ok = VerifyMessage(copy.get(), size);
    if (ok) {
        // Whatever passes must be safe to read in full.
        const Message* message = GetMessage(copy.get());
        volatile uint64_t sink =
            message->version() + message->timestamp() + static_cast<uint8_t>(message->source());
        if (const auto* record = message->payload_as_SharedMem()) {
            for (const auto* s : {record->block(), record->address(), record->data()}) {
                if (s != nullptr) {
                    for (const char c : s->string_view()) {
                        sink = sink + static_cast<uint8_t>(c);
                    }
                }
            }
        }
        if (const auto* heartbeat = message->payload_as_Heartbeat()) {
            sink = sink + heartbeat->version();
        }
        (void)sink;
        std::unique_ptr<MessageT> unpacked(message->UnPack());
    }
    return ok;
}

bool VerifyCopy(const std::vector<uint8_t>& bytes) {
    return VerifyCopy(bytes.data(), bytes.size());
}

TEST(WireMessage, HeartbeatRoundTrip) {
    kxtest::ScopedTestHome home;
    const auto buffer = BuildHeartbeat(123456789012345ULL, SourceType::Connect);
    ASSERT_TRUE(VerifyMessage(buffer.data(), buffer.size()));
    const Message* message = GetMessage(buffer.data());
    EXPECT_EQ(message->version(), 1u);
    EXPECT_EQ(message->timestamp(), 123456789012345ULL);
    EXPECT_EQ(message->source(), SourceType::Connect);
    EXPECT_EQ(message->payload_type(), Payload::Heartbeat);
    ASSERT_NE(message->payload_as_Heartbeat(), nullptr);
    EXPECT_EQ(message->payload_as_Heartbeat()->version(), 1u);
    EXPECT_EQ(message->payload_as_SharedMem(), nullptr);

    std::unique_ptr<MessageT> unpacked(message->UnPack());
    EXPECT_EQ(unpacked->version, 1u);
    EXPECT_EQ(unpacked->timestamp, 123456789012345ULL);
    EXPECT_EQ(unpacked->source, SourceType::Connect);
    ASSERT_NE(unpacked->payload.AsHeartbeat(), nullptr);
    EXPECT_EQ(unpacked->payload.AsHeartbeat()->version, 1u);
}

TEST(WireMessage, DataRecordRoundTrip) {
    kxtest::ScopedTestHome home;
    const char raw[] = "binary\0data\xff with a zero byte";
    const std::string data(raw, sizeof raw - 1);
    const auto buffer = BuildDataRecord(42, SourceType::Core, "TestBlock", "TestAddress", data);
    ASSERT_TRUE(VerifyMessage(buffer.data(), buffer.size()));
    const Message* message = GetMessage(buffer.data());
    EXPECT_EQ(message->version(), 1u);
    EXPECT_EQ(message->timestamp(), 42u);
    EXPECT_EQ(message->source(), SourceType::Core);
    EXPECT_EQ(message->payload_type(), Payload::SharedMem);
    const SharedMem* record = message->payload_as_SharedMem();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->version(), 1u);
    EXPECT_EQ(record->block()->str(), "TestBlock");
    EXPECT_EQ(record->address()->str(), "TestAddress");
    EXPECT_EQ(record->data()->str(), data);

    std::unique_ptr<MessageT> unpacked(message->UnPack());
    const SharedMemT* copy = unpacked->payload.AsSharedMem();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->version, 1u);
    EXPECT_EQ(copy->block, "TestBlock");
    EXPECT_EQ(copy->address, "TestAddress");
    EXPECT_EQ(copy->data, data);
}

TEST(WireMessage, BuildersGiveTheBytesOfPack) {
    kxtest::ScopedTestHome home;
    for (const auto source : {SourceType::Core, SourceType::Connect}) {
        EXPECT_EQ(Bytes(BuildHeartbeat(7, source)), Bytes(Pack(HeartbeatObject(7, source))));
        EXPECT_EQ(Bytes(BuildHeartbeat(0, source)), Bytes(Pack(HeartbeatObject(0, source))));
    }
    const std::string big(10 * 1024 * 1024, 'x');
    const std::vector<std::vector<std::string>> records = {
        {"TestBlock", "TestAddress", "payload"},
        {"", "", ""},
        {"b", "", "odd length"},
        {"", "address", ""},
        {"TestBlock", "TestAddress", big},
    };
    for (const auto& r : records) {
        const auto built = BuildDataRecord(99, SourceType::Connect, r[0], r[1], r[2]);
        const auto packed = Pack(DataRecordObject(99, SourceType::Connect, r[0], r[1], r[2]));
        EXPECT_EQ(Bytes(built), Bytes(packed)) << r[0] << "/" << r[1] << "/" << r[2].size();
        EXPECT_TRUE(VerifyMessage(built.data(), built.size()));
    }
}

// The socket path builds its messages inside NNG messages; whatever the starting
// room (too small forces the storage to grow while the record is built), the
// message must hold exactly the bytes of Pack.
TEST(WireMessage, BuildingIntoAnNngMessageGivesTheBytesOfPack) {
    kxtest::ScopedTestHome home;
    const std::string big(10 * 1024 * 1024 + 3, 'y');
    const std::vector<std::vector<std::string>> records = {
        {"TestBlock", "TestAddress", "payload"},
        {"", "", ""},
        {"TestBlock", "TestAddress", big},
    };
    for (const auto& r : records) {
        const auto packed = Bytes(Pack(DataRecordObject(5, SourceType::Core, r[0], r[1], r[2])));
        for (const size_t capacity :
             {size_t{1}, size_t{64}, DataRecordCapacity(r[0], r[1], r[2]), packed.size() * 2}) {
            nng_msg* msg = KXFakeShm::BuildNngMessage(capacity, [&](auto& builder) {
                BuildDataRecord(builder, 5, SourceType::Core, r[0], r[1], r[2]);
            });
            ASSERT_NE(msg, nullptr);
            const auto* body = static_cast<const uint8_t*>(nng_msg_body(msg));
            const std::vector<uint8_t> bytes(body, body + nng_msg_len(msg));
            nng_msg_free(msg);
            EXPECT_EQ(bytes, packed) << "capacity " << capacity << ", data " << r[2].size();
        }
    }
    nng_msg* heartbeat = KXFakeShm::BuildNngMessage(HeartbeatCapacity(), [](auto& builder) {
        BuildHeartbeat(builder, 9, SourceType::Connect);
    });
    ASSERT_NE(heartbeat, nullptr);
    const auto* body = static_cast<const uint8_t*>(nng_msg_body(heartbeat));
    EXPECT_EQ(std::vector<uint8_t>(body, body + nng_msg_len(heartbeat)),
              Bytes(Pack(HeartbeatObject(9, SourceType::Connect))));
    nng_msg_free(heartbeat);
}

TEST(WireMessage, MessageSlotsOnTheRawBytes) {
    kxtest::ScopedTestHome home;
    const auto bytes =
        Bytes(BuildDataRecord(0x1122334455667788ULL, SourceType::Connect, "Blk", "Addr", "Data!"));
    const RawTable message = RawTable::Root(bytes);
    EXPECT_EQ(message.VtableSize(), 4 + 2 * 5);
    EXPECT_EQ(message.Scalar<uint32_t>(4), 1u);
    EXPECT_EQ(message.Scalar<uint64_t>(6), 0x1122334455667788ULL);
    EXPECT_EQ(message.Scalar<uint8_t>(8), 2);   // Connect
    EXPECT_EQ(message.Scalar<uint8_t>(10), 2);  // SharedMem
    ASSERT_TRUE(message.Has(12));
    const RawTable record = message.Table(12);
    EXPECT_EQ(record.Scalar<uint32_t>(4), 1u);
    EXPECT_EQ(record.String(6), "Blk");
    EXPECT_EQ(record.String(8), "Addr");
    EXPECT_EQ(record.String(10), "Data!");
    // The payload is written first; building runs back to front, so the payload
    // table lies behind the root table.
    uint32_t rootAt = 0;
    std::memcpy(&rootAt, bytes.data(), 4);
    EXPECT_GT(message.Target(12), rootAt);

    const auto heartbeatBytes = Bytes(BuildHeartbeat(5, SourceType::Core));
    const RawTable heartbeatMessage = RawTable::Root(heartbeatBytes);
    EXPECT_EQ(heartbeatMessage.Scalar<uint8_t>(8), 1);   // Core
    EXPECT_EQ(heartbeatMessage.Scalar<uint8_t>(10), 1);  // Heartbeat
    EXPECT_EQ(heartbeatMessage.Table(12).Scalar<uint32_t>(4), 1u);
}

TEST(WireMessage, DefaultsAndEmptyStringsAreAbsent) {
    kxtest::ScopedTestHome home;
    const auto bytes = Bytes(BuildDataRecord(0, SourceType::None, "", "", ""));
    ASSERT_TRUE(VerifyCopy(bytes));
    const RawTable message = RawTable::Root(bytes);
    EXPECT_EQ(message.Scalar<uint32_t>(4), 1u);
    EXPECT_FALSE(message.Has(6));  // timestamp 0
    EXPECT_FALSE(message.Has(8));  // source None
    const RawTable record = message.Table(12);
    EXPECT_EQ(record.Scalar<uint32_t>(4), 1u);
    EXPECT_FALSE(record.Has(6));
    EXPECT_FALSE(record.Has(8));
    EXPECT_FALSE(record.Has(10));

    const SharedMem* view = GetMessage(bytes.data())->payload_as_SharedMem();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->block(), nullptr);
    EXPECT_EQ(view->data(), nullptr);
    std::unique_ptr<MessageT> unpacked(GetMessage(bytes.data())->UnPack());
    ASSERT_NE(unpacked->payload.AsSharedMem(), nullptr);
    EXPECT_TRUE(unpacked->payload.AsSharedMem()->block.empty());
    EXPECT_TRUE(unpacked->payload.AsSharedMem()->address.empty());
    EXPECT_TRUE(unpacked->payload.AsSharedMem()->data.empty());

    // An all-default message has no fields at all.
    MessageT empty;
    const auto emptyBytes = Bytes(Pack(empty));
    ASSERT_TRUE(VerifyCopy(emptyBytes));
    const RawTable emptyTable = RawTable::Root(emptyBytes);
    for (const uint16_t slot : {4, 6, 8, 10, 12}) {
        EXPECT_FALSE(emptyTable.Has(slot)) << slot;
    }
}

TEST(WireMessage, PayloadTagWithoutObjectPacksWithoutPayload) {
    kxtest::ScopedTestHome home;
    MessageT message;
    message.version = kMessageVersion;
    message.source = SourceType::Core;
    message.payload.type = Payload::SharedMem;
    const auto buffer = Pack(message);
    ASSERT_TRUE(VerifyMessage(buffer.data(), buffer.size()));
    EXPECT_EQ(GetMessage(buffer.data())->payload_type(), Payload::NONE);
    EXPECT_EQ(GetMessage(buffer.data())->payload(), nullptr);
    EXPECT_EQ(GetMessage(buffer.data())->source(), SourceType::Core);
}

TEST(WireMessage, SourceZeroStillVerifies) {
    kxtest::ScopedTestHome home;
    const auto buffer = Pack(HeartbeatObject(1, SourceType::None));
    ASSERT_TRUE(VerifyMessage(buffer.data(), buffer.size()));
    EXPECT_EQ(GetMessage(buffer.data())->source(), SourceType::None);
    EXPECT_EQ(GetMessage(buffer.data())->payload_as_Heartbeat()->version(), 1u);
}

TEST(WireMessage, MalformedBuffersAreRejected) {
    kxtest::ScopedTestHome home;
    const auto good = Bytes(BuildDataRecord(3, SourceType::Core, "TestBlock", "A", "data"));
    ASSERT_TRUE(VerifyCopy(good));

    EXPECT_FALSE(VerifyMessage(nullptr, 0));
    EXPECT_FALSE(VerifyMessage(nullptr, 64));
    // Shorter than 12 bytes: rejected before anything is read past them.
    EXPECT_FALSE(VerifyCopy(good.data(), 11));
    EXPECT_FALSE(VerifyCopy(good.data(), 0));

    auto withRoot = [&](uint32_t root) {
        auto bytes = good;
        std::memcpy(bytes.data(), &root, 4);
        return bytes;
    };
    EXPECT_FALSE(VerifyCopy(withRoot(0)));
    EXPECT_FALSE(VerifyCopy(withRoot(0x80000000u)));
    EXPECT_FALSE(VerifyCopy(withRoot(0x80000000u | 12u)));
    EXPECT_FALSE(VerifyCopy(withRoot(static_cast<uint32_t>(good.size()))));
    EXPECT_FALSE(VerifyCopy(withRoot(static_cast<uint32_t>(good.size()) - 1)));
    EXPECT_FALSE(VerifyCopy(withRoot(0xFFFFFFF0u)));

    // Every truncation that cuts into a referenced byte fails; only trailing
    // alignment padding may go.
    const RawTable record = RawTable::Root(good).Table(12);
    size_t referencedEnd = 0;
    for (const uint16_t slot : {6, 8, 10}) {
        referencedEnd = std::max<size_t>(referencedEnd,
                                         record.Target(slot) + 4 + record.String(slot).size() + 1);
    }
    ASSERT_LE(referencedEnd, good.size());
    for (size_t size = 0; size < referencedEnd; ++size) {
        EXPECT_FALSE(VerifyCopy(good.data(), size)) << size;
    }
    EXPECT_TRUE(VerifyCopy(good.data(), referencedEnd));

    // A string whose length runs past the end.
    auto longString = good;
    const uint32_t dataAt = record.Target(10);
    const uint32_t hugeLength = 0x7FFFFFF0u;
    std::memcpy(longString.data() + dataAt, &hugeLength, 4);
    EXPECT_FALSE(VerifyCopy(longString));

    // A vtable offset that points outside the buffer.
    auto badVtable = good;
    uint32_t root = 0;
    std::memcpy(&root, good.data(), 4);
    const int32_t farAway = -0x100000;
    std::memcpy(badVtable.data() + root, &farAway, 4);
    EXPECT_FALSE(VerifyCopy(badVtable));
}

TEST(WireMessage, RandomAndDamagedBuffersNeverCrashTheVerifier) {
    kxtest::ScopedTestHome home;
    std::mt19937 random(20261207);
    const std::vector<std::vector<uint8_t>> seeds = {
        Bytes(BuildHeartbeat(1, SourceType::Connect)),
        Bytes(BuildDataRecord(2, SourceType::Core, "TestBlock", "TestAddress", "some data")),
        Bytes(BuildDataRecord(0, SourceType::None, "", "", "")),
        Bytes(Pack(MessageT{})),
    };
    int accepted = 0;
    for (int i = 0; i < 4000; ++i) {
        std::vector<uint8_t> bytes;
        const int kind = i % 4;
        if (kind == 0) {
            bytes.resize(random() % 200);
            for (auto& b : bytes) {
                b = static_cast<uint8_t>(random());
            }
        } else {
            bytes = seeds[random() % seeds.size()];
            const int flips = 1 + static_cast<int>(random() % 6);
            for (int f = 0; f < flips && !bytes.empty(); ++f) {
                bytes[random() % bytes.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
            }
            if (kind == 2) {
                bytes.resize(random() % (bytes.size() + 1));
            } else if (kind == 3) {
                bytes.resize(bytes.size() + random() % 16, static_cast<uint8_t>(random()));
            }
        }
        accepted += VerifyCopy(bytes) ? 1 : 0;
    }
    // Single flips in payload bytes keep a buffer valid now and then.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 4000);
}

// The transport file's tables: slots and byte layout of every field.
TEST(TransportConfigLayout, SlotsOnTheRawBytes) {
    kxtest::ScopedTestHome home;
    using namespace KXFakeShm::Config;
    TransportConfigT config;
    config.version = 1;
    config.ipc = std::make_unique<SocketTransportConfigT>();
    config.ipc->enabled = true;
    config.ipc->url = "ipc:///run/kx.ipc";
    config.sharedMem = std::make_unique<SharedMemTransportConfigT>();
    config.sharedMem->enabled = true;
    config.tcp = std::make_unique<SocketTransportConfigT>();
    config.tcp->enabled = true;
    config.tcp->url = "tcp://127.0.0.1:40001";
    config.tuning = std::make_unique<TuningConfigT>();
    auto& t = *config.tuning;
    t.SocketReceiveNonBlocking = true;
    t.SocketReceiveTimeout = -3;
    t.SocketSendNonBlocking = true;
    t.SocketSendTimeout = 4;
    t.SocketReconnectTimeMin = 5;
    t.SocketReconnectTimeMax = 6;
    t.WorkerRetryInterval = 7;
    t.HeartbeatInterval = 8;
    t.LivenessTimeout = 9;
    t.LatencySmoothingWindow = 10;
    t.ThroughputSmoothingWindow = 0x100000000ULL;
    t.SharedMemHeartbeatBlockSize = 12;
    t.SharedMemLivenessTimeout = 13;

    flatbuffers::FlatBufferBuilder builder(1024);
    builder.Finish(TransportConfig::Pack(builder, &config));
    const std::vector<uint8_t> bytes(builder.GetBufferPointer(),
                                     builder.GetBufferPointer() + builder.GetSize());
    ASSERT_TRUE(VerifyRoot<TransportConfig>(bytes.data(), bytes.size()));

    const RawTable root = RawTable::Root(bytes);
    EXPECT_EQ(root.Scalar<uint32_t>(4), 1u);
    const RawTable ipc = root.Table(6);
    EXPECT_EQ(ipc.Scalar<uint8_t>(4), 1);
    EXPECT_EQ(ipc.String(6), "ipc:///run/kx.ipc");
    EXPECT_EQ(root.Table(8).Scalar<uint8_t>(4), 1);
    const RawTable tcp = root.Table(10);
    EXPECT_EQ(tcp.Scalar<uint8_t>(4), 1);
    EXPECT_EQ(tcp.String(6), "tcp://127.0.0.1:40001");
    const RawTable tuning = root.Table(12);
    EXPECT_EQ(tuning.VtableSize(), 4 + 2 * 13);
    EXPECT_EQ(tuning.Scalar<uint8_t>(4), 1);
    EXPECT_EQ(tuning.Scalar<int32_t>(6), -3);
    EXPECT_EQ(tuning.Scalar<uint8_t>(8), 1);
    EXPECT_EQ(tuning.Scalar<int32_t>(10), 4);
    EXPECT_EQ(tuning.Scalar<int32_t>(12), 5);
    EXPECT_EQ(tuning.Scalar<int32_t>(14), 6);
    EXPECT_EQ(tuning.Scalar<uint64_t>(16), 7u);
    EXPECT_EQ(tuning.Scalar<uint64_t>(18), 8u);
    EXPECT_EQ(tuning.Scalar<uint64_t>(20), 9u);
    EXPECT_EQ(tuning.Scalar<uint64_t>(22), 10u);
    EXPECT_EQ(tuning.Scalar<uint64_t>(24), 0x100000000ULL);
    EXPECT_EQ(tuning.Scalar<uint32_t>(26), 12u);
    EXPECT_EQ(tuning.Scalar<uint64_t>(28), 13u);

    // Damaged copies of the file are refused by the same checks.
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        auto damaged = bytes;
        damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
        if (i % 2 == 1) {
            damaged.resize(random() % damaged.size());
        }
        std::unique_ptr<uint8_t[]> copy(new uint8_t[damaged.size() + 1]);
        std::memcpy(copy.get(), damaged.data(), damaged.size());
        if (VerifyRoot<TransportConfig>(copy.get(), damaged.size())) {
            std::unique_ptr<TransportConfigT> unpacked(GetTransportConfig(copy.get())->UnPack());
        }
    }
}

}  // namespace
