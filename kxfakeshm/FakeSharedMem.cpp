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

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void LoadTuningFileIfPresent(Impl& impl) {
    if (!FileExists(TuningFilePath())) {
        return;
    }
    std::string reason;
    if (!LoadTuningFile(impl.peer.load(), impl.tuning, reason)) {
        KXLOG_ERROR("Failed to load the FakeSharedMem tuning configuration file '{}': {}",
                    TuningFilePath(), reason);
    }
}

// Channels, then workers, each only when selected, in the fixed order.
bool BringUpTransports(Impl& impl, uint8_t set, bool workerAfterEachChannel, std::string& error) {
    if (workerAfterEachChannel) {
        for (TransportKind kind : kTransportOrder) {
            if ((set & kind) != 0 &&
                (!InitializeChannel(impl, kind, error) || !StartWorker(impl, kind, error))) {
                return false;
            }
        }
        return true;
    }
    for (TransportKind kind : kTransportOrder) {
        if ((set & kind) != 0 && !InitializeChannel(impl, kind, error)) {
            return false;
        }
    }
    for (TransportKind kind : kTransportOrder) {
        if ((set & kind) != 0 && !StartWorker(impl, kind, error)) {
            return false;
        }
    }
    return true;
}

// The Core peer learns its transports from the Connect peer's file. Without a
// usable file it runs SharedMem only until the Connect peer writes one.
bool InitializeCoreTransports(Impl& impl, std::string& error) {
    std::string reason;
    if (FileExists(TransportFilePath())) {
        if (LoadTransportFile(impl, reason)) {
            for (TransportKind kind : kTransportOrder) {
                if ((impl.transports.load() & kind) != 0 && !StartWorker(impl, kind, error)) {
                    return false;
                }
            }
            return true;
        }
        KXLOG_WARNING("FakeSharedMem has failed to load the configuration file '{}': {}",
                      TransportFilePath(), reason);
        if (!TearDownTransports(impl, error)) {
            return false;
        }
    }
    KXLOG_INFO("Reverting back KXFakeShm transport configuration to SharedMem only...");
    impl.transports = SharedMem;
    return BringUpTransports(impl, SharedMem, false, error);
}

bool InitializeTransports(Impl& impl, EPeer peer, uint8_t transports, std::string& error) {
    std::lock_guard lock(impl.apiMutex);
    KXLOG_INFO("Initializing FakeSharedMem...");
    error.clear();
    try {
        if (impl.transports.load() != 0) {
            return KX_FAIL(error,
                           "FakeSharedMem initialization has failed: Already initialized; "
                           "initialization aborted!");
        }
        if (transports == 0) {
            return KX_FAIL(error,
                           "FakeSharedMem initialization has failed: Should be initialized "
                           "with at least one trasnport!");
        }
        impl.peer = peer;
        impl.transports = transports;

        std::string reason;
        bool ok;
        if (peer == EPeer::Core) {
            ok = InitializeCoreTransports(impl, reason) && InitializeFileWatchers(impl, reason);
        } else {
            LoadTuningFileIfPresent(impl);
            ok = BringUpTransports(impl, transports, false, reason) &&
                 SaveTransportFile(impl, reason) && InitializeFileWatchers(impl, reason);
        }
        if (!ok) {
            return KX_FAIL(error, "FakeSharedMem initialization has failed: " + reason);
        }
        KXLOG_INFO("FakeSharedMem has been initialized successfully!");
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(
            error,
            fmt::format("Encountered an error while initializing FakeSharedMem: {}", e.what()));
    } catch (...) {
        return KX_FAIL(error, "Encountered an unknown error while initializing FakeSharedMem!");
    }
}

}  // namespace

const char* PeerName(EPeer peer) {
    switch (peer) {
        case EPeer::None:
            return "None";
        case EPeer::Connect:
            return "Connect";
        case EPeer::Core:
            return "Core";
    }
    return "Unknown";
}

void SleepMilliseconds(uint64_t ms) {
    if (ms < 1) {
        return;
    }
    constexpr uint64_t kMaxMs = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / kMsNs;
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = ms >= kMaxMs ? std::chrono::steady_clock::time_point::max()
                                       : now + std::chrono::milliseconds(static_cast<int64_t>(ms));
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_until(deadline);
    }
}

const char* TransportWord(TransportKind kind) {
    switch (kind) {
        case Ipc:
            return "IPC";
        case Tcp:
            return "TCP";
        default:
            return "SharedMem";
    }
}

bool InitializeChannel(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? InitializeSharedMemChannel(impl, error)
                             : InitializeSocketChannel(impl, SocketTransportOf(kind), error);
}

bool TerminateChannel(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? TerminateSharedMemChannel(impl, error)
                             : TerminateSocketChannel(impl, SocketTransportOf(kind), error);
}

bool StartWorker(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? StartSharedMemWorker(impl, error)
                             : StartSocketWorker(impl, SocketTransportOf(kind), error);
}

bool StopWorker(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? StopSharedMemWorker(impl, error)
                             : StopSocketWorker(impl, SocketTransportOf(kind), error);
}

bool IsWorkerRunning(Impl& impl, TransportKind kind, std::string& error) {
    return kind == SharedMem ? IsSharedMemWorkerRunning(impl, error)
                             : IsSocketWorkerRunning(impl, SocketTransportOf(kind), error);
}

bool TearDownTransports(Impl& impl, std::string& error) {
    for (TransportKind kind : kTransportOrder) {
        if (!impl.Slot(kind).Get()) {
            continue;
        }
        std::string ignored;
        if (IsWorkerRunning(impl, kind, ignored) && !StopWorker(impl, kind, error)) {
            return false;
        }
        if (!TerminateChannel(impl, kind, error)) {
            return false;
        }
    }
    return true;
}

bool PeerAlive(const Impl& impl, TransportKind kind) {
    auto channel = impl.Slot(kind).Get();
    if (!channel || !channel->peerConnected) {
        return false;
    }
    const Tuning tuning = impl.tuning.Snapshot();
    const uint64_t timeout =
        (kind == SharedMem ? tuning.SharedMemLivenessTimeout : tuning.LivenessTimeout) *
        kTenMsUnitNs;
    const uint64_t last = channel->lastReceivedTime.load();
    const uint64_t now = NowNs();
    return last != 0 && now >= last && now - last <= timeout;
}

Impl& LibraryState() {
    return *FakeSharedMem::Instance().impl_;
}

FakeSharedMem::FakeSharedMem() : impl_(std::make_unique<Impl>(*this)) {}

FakeSharedMem::~FakeSharedMem() = default;

bool FakeSharedMem::Initialize(EPeer peer, uint8_t transports, const Tuning& tuning,
                               std::string& error) {
    try {
        {
            std::lock_guard lock(impl_->apiMutex);
            KXLOG_INFO("Initializing FakeSharedMem with specialized tuning parameters...");
            error.clear();
            impl_->tuning.Store(tuning);
        }
        return InitializeTransports(*impl_, peer, transports, error);
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Encountered an error while initializing FakeSharedMem "
                                          "with specialized tuning parameters: {}",
                                          e.what()));
    } catch (...) {
        return KX_FAIL(error,
                       "Encountered an unknown error while initializing FakeSharedMem with "
                       "specialized tuning parameters!");
    }
}

bool FakeSharedMem::Reconfigure(uint8_t transports, std::string& error) {
    Impl& impl = *impl_;
    std::lock_guard lock(impl.apiMutex);
    KXLOG_INFO("Reconfiguring FakeSharedMem...");
    error.clear();
    try {
        if (impl.transports.load() == 0) {
            return KX_FAIL(error,
                           "FakeSharedMem reconfiguration has failed: Not initialized yet; "
                           "reconfiguration aborted!");
        }
        if (impl.peer.load() != EPeer::Connect) {
            return KX_FAIL(error,
                           "FakeSharedMem reconfiguration has failed: Can only be "
                           "reconfigured via EPeer::Connect!");
        }
        if (transports == 0) {
            return KX_FAIL(error,
                           "FakeSharedMem reconfiguration has failed: Should be reconfigured "
                           "with at least one transport!");
        }
        std::string reason;
        // The watcher stays stopped while we rewrite our own file, so our writes
        // raise no event.
        if (!StopTransportWatcher(impl, reason) || !EraseTransportFile(reason) ||
            !TearDownTransports(impl, reason)) {
            return KX_FAIL(error, "FakeSharedMem reconfiguration has failed: " + reason);
        }
        impl.transports = transports;
        LoadTuningFileIfPresent(impl);
        if (!BringUpTransports(impl, transports, true, reason) ||
            !SaveTransportFile(impl, reason) || !StartTransportWatcher(impl, reason)) {
            return KX_FAIL(error, "FakeSharedMem reconfiguration has failed: " + reason);
        }
        KXLOG_INFO("FakeSharedMem has been reconfigured successfully!");
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(
            error,
            fmt::format("Encountered an error while initializing FakeSharedMem: {}", e.what()));
    } catch (...) {
        return KX_FAIL(error, "Encountered an unknown error while initializing FakeSharedMem!");
    }
}

bool FakeSharedMem::Terminate(std::string& error) {
    Impl& impl = *impl_;
    std::lock_guard lock(impl.apiMutex);
    KXLOG_INFO("Terminating FakeSharedMem...");
    error.clear();
    try {
        if (impl.transports.load() == 0) {
            return KX_FAIL(error,
                           "FakeSharedMem termination has failed: Not initialized yet; "
                           "termination aborted!");
        }
        std::string reason;
        if (!TerminateFileWatchers(impl, reason) ||
            (impl.peer.load() == EPeer::Connect && !EraseTransportFile(reason)) ||
            !TearDownTransports(impl, reason)) {
            return KX_FAIL(error, "FakeSharedMem termination has failed: " + reason);
        }
        impl.transports = 0;
        impl.peer = EPeer::None;
        KXLOG_INFO("FakeSharedMem has been terminated successfully!");
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(
            error,
            fmt::format("Encountered an error while initializing FakeSharedMem: {}", e.what()));
    } catch (...) {
        return KX_FAIL(error, "Encountered an unknown error while initializing FakeSharedMem!");
    }
}

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

bool FakeSharedMem::WriteTo_NotCreate(const std::string& block, const std::string& address,
                                      const std::string& data, std::string& error) {
    error.clear();
    Impl& impl = *impl_;
    if (!impl.Selected(SharedMem)) {
        error =
            "FakeSharedMem has failed to write to the SharedMem store: The SharedMem transport "
            "is not enabled!";
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
        return false;
    }
    auto channel = impl_->Slot(transport).Get();
    if (!channel) {
        return false;
    }
    std::lock_guard lock(channel->receivedDataLock);
    const auto b = channel->receivedData.find(block);
    if (b == channel->receivedData.end()) {
        return false;
    }
    const auto a = b->second.find(address);
    if (a == b->second.end()) {
        return false;
    }
    data = a->second;
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

}  // namespace

uint64_t FakeSharedMem::GetLatency(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.latency.load(); });
}
uint64_t FakeSharedMem::GetSmoothedLatency(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.smoothedLatency.load(); });
}
uint64_t FakeSharedMem::GetReadBytes(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.read.Total(); });
}
uint64_t FakeSharedMem::GetWriteBytes(TransportKind transport) const {
    return ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.write.Total(); });
}
uint64_t FakeSharedMem::GetReadMetaBytes(TransportKind transport) const {
    return transport == SharedMem
               ? 0
               : ChannelFigure(*impl_, transport, [](auto& c) { return c.stats.readMeta.Total(); });
}
uint64_t FakeSharedMem::GetWriteMetaBytes(TransportKind transport) const {
    return transport == SharedMem ? 0 : ChannelFigure(*impl_, transport, [](auto& c) {
        return c.stats.writeMeta.Total();
    });
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
