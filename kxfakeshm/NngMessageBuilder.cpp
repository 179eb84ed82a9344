#include "kxfakeshm/NngMessageBuilder.h"

#include <new>
#include <utility>

namespace KXFakeShm {
namespace {

class NngAllocationFailure : public std::bad_alloc {};

// The builder's storage: one NNG message body at a time.
class NngMessageAllocator final : public flatbuffers::Allocator {
  public:
    NngMessageAllocator() = default;
    NngMessageAllocator(const NngMessageAllocator&) = delete;
    NngMessageAllocator& operator=(const NngMessageAllocator&) = delete;
    ~NngMessageAllocator() override { Free(); }

    uint8_t* allocate(size_t size) override {
        Free();
        if (nng_msg_alloc(&msg_, size) != 0) {
            msg_ = nullptr;
            throw NngAllocationFailure();
        }
        return Body();
    }

    void deallocate(uint8_t* p, size_t) override {
        if (msg_ != nullptr && p == Body()) {
            Free();
        }
    }

    uint8_t* reallocate_downward(uint8_t* old, size_t oldSize, size_t newSize, size_t inUseBack,
                                 size_t inUseFront) override {
        nng_msg* grown = nullptr;
        if (nng_msg_alloc(&grown, newSize) != 0) {
            throw NngAllocationFailure();
        }
        auto* body = static_cast<uint8_t*>(nng_msg_body(grown));
        memcpy_downward(old, oldSize, body, newSize, inUseBack, inUseFront);
        Free();
        msg_ = grown;
        return body;
    }

    // Hands over the message cut to [data, data + size), the finished buffer the
    // builder leaves at the end of its storage; trimming moves no bytes.
    nng_msg* Release(const uint8_t* data, size_t size) {
        nng_msg* msg = std::exchange(msg_, nullptr);
        if (msg == nullptr) {
            return nullptr;
        }
        nng_msg_trim(msg, static_cast<size_t>(data - static_cast<uint8_t*>(nng_msg_body(msg))));
        nng_msg_chop(msg, nng_msg_len(msg) - size);
        return msg;
    }

  private:
    uint8_t* Body() const { return static_cast<uint8_t*>(nng_msg_body(msg_)); }
    void Free() {
        if (msg_ != nullptr) {
            nng_msg_free(std::exchange(msg_, nullptr));
        }
    }

    nng_msg* msg_ = nullptr;
};

}  // namespace

nng_msg* BuildNngMessage(size_t capacity,
                         const std::function<void(flatbuffers::FlatBufferBuilder&)>& build) {
    try {
        NngMessageAllocator allocator;
        flatbuffers::FlatBufferBuilder builder(capacity, &allocator);
        build(builder);
        return allocator.Release(builder.GetBufferPointer(), builder.GetSize());
    } catch (const NngAllocationFailure&) {
        return nullptr;
    }
}

}  // namespace KXFakeShm
