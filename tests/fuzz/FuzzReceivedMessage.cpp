// The received-message path of the IPC and TCP transports: raw bytes as a peer
// would send them, in an NNG message, through verification and the handler.
// The first byte picks the transport and this process's role; the rest is the
// message body.

#include <nng/nng.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "FuzzSupport.h"
#include "kxfakeshm/Impl.h"
#include "kxfakeshm/SocketTransport.h"

namespace {

using namespace KXFakeShm;

void PrepareChannels(Impl& impl) {
    for (TransportKind kind : {Ipc, Tcp}) {
        ChannelSlot& slot = impl.Slot(kind);
        std::lock_guard lock(slot.mutex);
        if (!slot.channel) {
            slot.channel = std::make_shared<TransportChannel>();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kxfuzz::PrivateHome("received-message");
    PrepareChannels(LibraryState());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    Impl& impl = LibraryState();
    const SocketTransport& transport = (data[0] & 1) != 0 ? TcpTransport() : IpcTransport();
    impl.peer = (data[0] & 2) != 0 ? EPeer::Core : EPeer::Connect;
    impl.transports = Ipc | Tcp;

    nng_msg* msg = nullptr;
    if (nng_msg_alloc(&msg, size - 1) != 0) {
        return 0;
    }
    if (size > 1) {
        std::memcpy(nng_msg_body(msg), data + 1, size - 1);
    }
    std::string error;
    const bool handled = HandleMessage(impl, transport, msg, error);
    // A rejected message leaves a reason; an accepted one leaves none.
    if (handled != error.empty()) {
        __builtin_trap();
    }
    if (auto channel = impl.Slot(transport.kind).Get()) {
        // Keep the table small: only the newest record per key matters.
        std::lock_guard lock(channel->receivedDataLock);
        if (channel->receivedData.size() > 64) {
            channel->receivedData.clear();
        }
    }
    return 0;
}
