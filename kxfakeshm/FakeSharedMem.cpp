// The facade's queries and writes: what a caller asks of a running library.
// Each takes only the lock of what it reads (a channel slot, a series, the store).

#include "kxfakeshm/FakeSharedMem.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <limits>
#include <mutex>
#include <thread>

#include "kxconnectshm/SharedMem.h"
#include "kxfakeshm/Errors.h"
#include "kxfakeshm/HotReload.h"
#include "kxfakeshm/Impl.h"
#include "kxfakeshm/SocketTransport.h"
#include "kxfakeshm/TransportFile.h"
#include "kxfakeshm/Transports.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

constexpr uint32_t kTestStoreSize = 20971520;  // 20 MiB, the store segment of WriteTo

// The store is written only while SharedMem is one of the selected transports.
bool SharedMemSelected(const Impl& impl, std::string& error) {
    if (impl.Selected(SharedMem)) {
        return true;
    }
    error =
        "FakeSharedMem has failed to write to the SharedMem store: The SharedMem transport is "
        "not enabled!";
    return false;
}

}  // namespace

Impl& LibraryState() {
    return *FakeSharedMem::Instance().impl_;
}

FakeSharedMem::FakeSharedMem() : impl_(std::make_unique<Impl>(*this)) {}

FakeSharedMem::~FakeSharedMem() = default;

bool FakeSharedMem::IsInitialized() const {
    return impl_->Initialized();
}

uint8_t FakeSharedMem::GetTransports() const {
    return impl_->Initialized() ? impl_->transports.load() : 0;
}

EPeer FakeSharedMem::GetPeer() const {
    return impl_->peer.load();
}
bool FakeSharedMem::IsIpcEnabled() const {
    return impl_->Selected(Ipc);
}
bool FakeSharedMem::IsSharedMemEnabled() const {
    return impl_->Selected(SharedMem);
}

bool FakeSharedMem::WriteViaIpc(const std::string& block, const std::string& address,
                                const std::string& data, std::string& error) {
    return WriteVia(*impl_, IpcTransport(), block, address, data, error);
}

bool FakeSharedMem::WriteViaTcp(const std::string& block, const std::string& address,
                                const std::string& data, std::string& error) {
    return WriteVia(*impl_, TcpTransport(), block, address, data, error);
}

namespace {

void RecordStoreWrite(Impl& impl, const std::string& block, const std::string& address,
                      const std::string& data) {
    if (auto channel = impl.sharedMemChannel.Get()) {
        const uint64_t window = impl.tuning.Snapshot().ThroughputSmoothingWindow * kMsNs;
        const uint64_t bytes = block.size() + address.size() + data.size();
        channel->stats.write.Record(NowNs(), bytes, window);
        channel->stats.recordsWritten.Add(bytes);
    }
}

}  // namespace

bool FakeSharedMem::WriteTo(const std::string& block, const std::string& address,
                            const std::string& data, std::string& error) {
    error.clear();
    Impl& impl = *impl_;
    if (!impl.Initialized()) {
        return true;
    }
    const uint8_t set = impl.transports.load();
    bool result = true;
    if ((set & Ipc) != 0) {
        result = WriteVia(impl, IpcTransport(), block, address, data, error);
    }
    if ((set & Tcp) != 0 && result) {
        result = WriteVia(impl, TcpTransport(), block, address, data, error);
    }
    if ((set & SharedMem) != 0) {
        result = result &&
                 ::KXConnectShm::SharedMem::WriteTo(block, address, data, error, kTestStoreSize);
        if (result) {
            RecordStoreWrite(impl, block, address, data);
        }
    }
    return result;
}

bool FakeSharedMem::WriteViaSharedMem(const std::string& block, const std::string& address,
                                      const std::string& data, std::string& error) {
    error.clear();
    Impl& impl = *impl_;
    if (!SharedMemSelected(impl, error)) {
        return false;
    }
    if (!::KXConnectShm::SharedMem::WriteTo(block, address, data, error, kTestStoreSize)) {
        return false;
    }
    RecordStoreWrite(impl, block, address, data);
    return true;
}

bool FakeSharedMem::WriteTo_NotCreate(const std::string& block, const std::string& address,
                                      const std::string& data, std::string& error) {
    error.clear();
    Impl& impl = *impl_;
    if (!SharedMemSelected(impl, error)) {
        return false;
    }
    if (!KXConnectShm::SharedMem::WriteTo_NotCreate(block, address, data, error)) {
        return false;
    }
    RecordStoreWrite(impl, block, address, data);
    return true;
}

bool FakeSharedMem::ReadReceivedData(TransportKind transport, const std::string& block,
                                     const std::string& address, std::string& data) const {
    data.clear();
    if (transport == SharedMem) {
        // SharedMem records live in the store, not in a channel's table. A missing
        // segment or entry is no failure worth a text: nothing has been written yet.
        if (!impl_->Selected(SharedMem)) {
            return false;
        }
        namespace Store = ::KXConnectShm::SharedMem;
        std::string error;
        {
            Store::QuietFailures quiet;
            if (Store::ReadFrom(block, address, data, error)) {
                return true;
            }
        }
        if (!error.empty() && !Store::NothingWrittenAt(error, block, address)) {
            KXLOG_ERROR("{}", error);
        }
        return false;
    }
    auto channel = impl_->Slot(transport).Get();
    if (!channel) {
        return false;
    }
    ReceivedRecord record;
    {
        std::lock_guard lock(channel->receivedDataLock);
        const auto b = channel->receivedData.find(block);
        if (b == channel->receivedData.end()) {
            return false;
        }
        const auto a = b->second.find(address);
        if (a == b->second.end()) {
            return false;
        }
        record = a->second;
    }
    // The copy happens outside the lock, so the receive path never waits for it.
    data.assign(record.data);
    return true;
}

bool FakeSharedMem::IsPeerAlive(TransportKind transport) const {
    return PeerAlive(*impl_, transport);
}

namespace {

template <typename Read>
uint64_t ChannelFigure(const Impl& impl, TransportKind kind, Read read) {
    auto channel = impl.Slot(kind).Get();
    return channel ? read(*channel) : 0;
}

// A byte total read as a rate: the window as of now, so that a link that has
// gone quiet shows its rate falling instead of its last busy second.
uint64_t WindowTotal(const Impl& impl, TransportKind kind, StatSeries LinkStatistics::*series) {
    auto channel = impl.Slot(kind).Get();
    if (!channel) {
        return 0;
    }
    const uint64_t window = impl.tuning.Snapshot().ThroughputSmoothingWindow * kMsNs;
    return (channel->stats.*series).TotalAt(NowNs(), window);
}

}  // namespace

uint64_t FakeSharedMem::GetLatency(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.latency.load(); });
}
uint64_t FakeSharedMem::GetSmoothedLatency(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.smoothedLatency.load(); });
}
uint64_t FakeSharedMem::GetReadBytes(TransportKind transport) const {
    return WindowTotal(*impl_, transport, &LinkStatistics::read);
}
uint64_t FakeSharedMem::GetWriteBytes(TransportKind transport) const {
    return WindowTotal(*impl_, transport, &LinkStatistics::write);
}
uint64_t FakeSharedMem::GetReadMetaBytes(TransportKind transport) const {
    return transport == SharedMem ? 0 : WindowTotal(*impl_, transport, &LinkStatistics::readMeta);
}
uint64_t FakeSharedMem::GetWriteMetaBytes(TransportKind transport) const {
    return transport == SharedMem ? 0 : WindowTotal(*impl_, transport, &LinkStatistics::writeMeta);
}

uint64_t FakeSharedMem::GetLatencyPercentile(TransportKind transport, double percentile) const {
    return ChannelFigure(*impl_, transport, [percentile](auto& c) {
        return c.stats.latencyHistogram.Percentile(percentile);
    });
}
uint64_t FakeSharedMem::GetTotalReadBytes(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.recordsRead.Bytes(); });
}
uint64_t FakeSharedMem::GetTotalReadMessages(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.recordsRead.Messages(); });
}
uint64_t FakeSharedMem::GetTotalWriteBytes(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.recordsWritten.Bytes(); });
}
uint64_t FakeSharedMem::GetTotalWriteMessages(TransportKind transport) const {
    return ChannelFigure(*impl_, transport,
                         [](auto& c) { return c.stats.recordsWritten.Messages(); });
}

Tuning FakeSharedMem::GetTuning() const {
    return impl_->tuning.Snapshot();
}

}  // namespace KXFakeShm
