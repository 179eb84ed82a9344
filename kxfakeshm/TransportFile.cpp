#include "kxfakeshm/TransportFile.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "TransportConfig_generated.h"
#include "kxcommon/DataDirectory.h"
#include "kxfakeshm/Errors.h"
#include "kxfakeshm/Transports.h"
#include "kxfakeshm/WireMessage.h"
#include "kxlog/KXLog.h"

namespace KXFakeShm {
namespace {

constexpr uint32_t kTransportFileVersion = 1;

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Writes the whole buffer to a temporary file beside `path` (owner-only) and
// renames it over `path`, so a reader never sees a half-written file.
bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t size,
                         std::string& reason) {
    if (!KXCommon::EnsureParentDirectory(path, reason)) {
        return false;
    }
    // A name of its own per save: two writers (a second Connect peer refused at
    // Initialize, a test) never write into each other's temporary file.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        reason = fmt::format("open '{}': {}", temporary, std::strerror(errno));
        return false;
    }
    fchmod(fd, 0600);
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            reason = fmt::format("write '{}': {}", temporary, std::strerror(errno));
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        reason = fmt::format("rename '{}': {}", temporary, std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::unique_ptr<Config::SocketTransportConfigT> SocketConfig(const Impl& impl, TransportKind kind) {
    auto config = std::make_unique<Config::SocketTransportConfigT>();
    config->enabled = impl.Initialized() && (impl.transports.load() & kind) != 0;
    if (auto channel = impl.Slot(kind).Get()) {
        config->url = channel->Url();
    }
    return config;
}

std::unique_ptr<Config::TuningConfigT> TuningConfig(const Tuning& t) {
    auto c = std::make_unique<Config::TuningConfigT>();
    c->SocketReceiveNonBlocking = t.SocketReceiveNonBlocking;
    c->SocketReceiveTimeout = t.SocketReceiveTimeout;
    c->SocketSendNonBlocking = t.SocketSendNonBlocking;
    c->SocketSendTimeout = t.SocketSendTimeout;
    c->SocketReconnectTimeMin = t.SocketReconnectTimeMin;
    c->SocketReconnectTimeMax = t.SocketReconnectTimeMax;
    c->WorkerRetryInterval = t.WorkerRetryInterval;
    c->HeartbeatInterval = t.HeartbeatInterval;
    c->LivenessTimeout = t.LivenessTimeout;
    c->LatencySmoothingWindow = t.LatencySmoothingWindow;
    c->ThroughputSmoothingWindow = t.ThroughputSmoothingWindow;
    c->SharedMemHeartbeatBlockSize = t.SharedMemHeartbeatBlockSize;
    c->SharedMemLivenessTimeout = t.SharedMemLivenessTimeout;
    return c;
}

void ApplyTuningConfig(const Config::TuningConfig& c, Tuning& t) {
    t.SocketReceiveNonBlocking = c.SocketReceiveNonBlocking();
    t.SocketReceiveTimeout = c.SocketReceiveTimeout();
    t.SocketSendNonBlocking = c.SocketSendNonBlocking();
    t.SocketSendTimeout = c.SocketSendTimeout();
    t.SocketReconnectTimeMin = c.SocketReconnectTimeMin();
    t.SocketReconnectTimeMax = c.SocketReconnectTimeMax();
    t.WorkerRetryInterval = c.WorkerRetryInterval();
    t.HeartbeatInterval = c.HeartbeatInterval();
    t.LivenessTimeout = c.LivenessTimeout();
    t.LatencySmoothingWindow = c.LatencySmoothingWindow();
    t.ThroughputSmoothingWindow = c.ThroughputSmoothingWindow();
    t.SharedMemHeartbeatBlockSize = c.SharedMemHeartbeatBlockSize();
    t.SharedMemLivenessTimeout = c.SharedMemLivenessTimeout();
}

}  // namespace

const std::string& TransportFilePath() {
    return DataFilePath("kxfakeshm-transport.bin");
}

bool SaveTransportFile(Impl& impl, std::string& error) {
    error.clear();
    const std::string& path = TransportFilePath();
    KXLOG_INFO("Saving the FakeSharedMem transport intermediate configuration file '{}'...", path);
    try {
        const EPeer peer = impl.peer.load();
        if (peer != EPeer::Connect) {
            return KX_FAIL(error, fmt::format("The FakeSharedMem transport intermediate "
                                              "configuration file '{}' can only be saved via the "
                                              "'Connect' peer and not '{}'!",
                                              path, PeerName(peer)));
        }
        Config::TransportConfigT config;
        config.version = kTransportFileVersion;
        config.ipc = SocketConfig(impl, Ipc);
        config.sharedMem = std::make_unique<Config::SharedMemTransportConfigT>();
        config.sharedMem->enabled = (impl.transports.load() & SharedMem) != 0;
        config.tcp = SocketConfig(impl, Tcp);
        config.tuning = TuningConfig(impl.tuning.Snapshot());

        flatbuffers::FlatBufferBuilder builder(1024);
        builder.Finish(Config::TransportConfig::Pack(builder, &config));

        std::string reason;
        if (!WriteFileAtomically(path, builder.GetBufferPointer(), builder.GetSize(), reason)) {
            KXLOG_ERROR("{}", reason);
            return KX_FAIL(error, fmt::format("Failed to save the FakeSharedMem transport "
                                              "intermediate configuration file '{}' to disk: "
                                              "Failed to open the file for writing!",
                                              path));
        }
        KXLOG_INFO(
            "The FakeSharedMem transport intermediate configuration file '{}' has been "
            "saved successfully!",
            path);
        if (!SaveTuningFile(peer, impl.tuning, reason)) {
            return KX_FAIL(error, fmt::format("Failed to save the FakeSharedMem tuning "
                                              "configuration file '{}' to disk: {}!",
                                              TuningFilePath(), reason));
        }
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to save the FakeSharedMem transport intermediate "
                                          "configuration file '{}' to disk: {}",
                                          path, e.what()));
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to save the FakeSharedMem transport intermediate "
                                          "configuration file '{}' to disk due to an unknown "
                                          "error!",
                                          path));
    }
}

bool LoadTransportFile(Impl& impl, std::string& error) {
    error.clear();
    const std::string& path = TransportFilePath();
    KXLOG_INFO("Loading the FakeSharedMem transport intermediate configuration file '{}'...", path);
    try {
        const EPeer peer = impl.peer.load();
        if (peer != EPeer::Core) {
            return KX_FAIL(error, fmt::format("The FakeSharedMem transport intermediate "
                                              "configuration file '{}' can only be loaded via the "
                                              "'Core' peer and not '{}'!",
                                              path, PeerName(peer)));
        }
        if (!FileExists(path)) {
            return KX_FAIL(error, fmt::format("The FakeSharedMem transport intermediate "
                                              "configuration file '{}' does not exist!",
                                              path));
        }
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        if (!in) {
            return KX_FAIL(error, fmt::format("Failed to open the FakeSharedMem transport "
                                              "intermediate configuration file '{}' for reading!",
                                              path));
        }
        const std::streamoff length = in.tellg();
        if (length <= 0) {
            return KX_FAIL(error, fmt::format("The FakeSharedMem transport intermediate "
                                              "configuration file '{}' is empty or invalid!",
                                              path));
        }
        std::vector<uint8_t> buffer(static_cast<size_t>(length));
        in.seekg(0);
        if (!in.read(reinterpret_cast<char*>(buffer.data()), length)) {
            return KX_FAIL(error, fmt::format("Failed to read the FakeSharedMem transport "
                                              "intermediate configuration file '{}'!",
                                              path));
        }
        if (!Wire::VerifyRoot<Config::TransportConfig>(buffer.data(), buffer.size())) {
            return KX_FAIL(error, fmt::format("The FakeSharedMem transport intermediate "
                                              "configuration file '{}' is corrupted or invalid!",
                                              path));
        }
        const auto* config = Config::GetTransportConfig(buffer.data());
        if (config->version() != kTransportFileVersion) {
            KXLOG_WARNING(
                "The FakeSharedMem transport intermediate configuration file '{}' "
                "version mismatch: (expected {}, got {})",
                path, kTransportFileVersion, config->version());
        }
        uint8_t set = 0;
        std::string ipcUrl;
        std::string tcpUrl;
        if (const auto* ipc = config->ipc()) {
            set |= ipc->enabled() ? Ipc : 0;
            if (ipc->url() != nullptr) {
                ipcUrl = ipc->url()->str();
            }
        }
        if (config->sharedMem() != nullptr && config->sharedMem()->enabled()) {
            set |= SharedMem;
        }
        if (const auto* tcp = config->tcp()) {
            set |= tcp->enabled() ? Tcp : 0;
            if (tcp->url() != nullptr) {
                tcpUrl = tcp->url()->str();
            }
        }
        // A file that enables nothing describes no Connect peer we could follow; a
        // Core peer keeps what it runs (or, starting, falls back to SharedMem).
        if (set == 0) {
            return KX_FAIL(error, fmt::format("The FakeSharedMem transport intermediate "
                                              "configuration file '{}' enables no transport!",
                                              path));
        }
        if (const auto* tuning = config->tuning()) {
            Tuning updated = impl.tuning.Snapshot();
            ApplyTuningConfig(*tuning, updated);
            if (const char* key = FirstTuningValueOutOfRange(updated)) {
                return KX_FAIL(error, fmt::format("The FakeSharedMem transport intermediate "
                                                  "configuration file '{}' has an invalid '{}' "
                                                  "value!",
                                                  path, key));
            }
            impl.tuning.Store(updated);
        }

        std::string reason;
        if (!TearDownTransports(impl, reason)) {
            return KX_FAIL(error,
                           "FakeSharedMem has failed to load configuration from disk: " + reason);
        }
        impl.transports = set;
        auto bringUp = [&](TransportKind kind, const std::string& url) {
            if ((set & kind) != 0 && !InitializeChannel(impl, kind, reason)) {
                return false;
            }
            if (auto channel = impl.Slot(kind).Get(); channel && kind != SharedMem) {
                std::lock_guard lock(channel->urlMutex);
                channel->dialUrl = url;
            }
            return true;
        };
        if (!bringUp(Ipc, ipcUrl) || !bringUp(Tcp, tcpUrl) || !bringUp(SharedMem, {})) {
            return KX_FAIL(error,
                           "FakeSharedMem has failed to load configuration from disk: " + reason);
        }
        KXLOG_INFO(
            "The FakeSharedMem transport intermediate configuration file '{}' has been "
            "loaded successfully!",
            path);
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to load the FakeSharedMem transport intermediate "
                                          "configuration file '{}' from disk: {}",
                                          path, e.what()));
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to load the FakeSharedMem transport intermediate "
                                          "configuration file '{}' from disk due to an unknown "
                                          "error!",
                                          path));
    }
}

bool EraseTransportFile(std::string& error) {
    error.clear();
    const std::string& path = TransportFilePath();
    KXLOG_INFO("Erasing the FakeSharedMem transport intermediate configuration file '{}'...", path);
    try {
        if (!FileExists(path)) {
            KXLOG_WARNING(
                "The FakeSharedMem transport intermediate configuration file '{}' does "
                "not exist; nothing to erase!",
                path);
            return true;
        }
        if (std::remove(path.c_str()) != 0) {
            return KX_FAIL(error, fmt::format("Failed to erase the FakeSharedMem transport "
                                              "intermediate configuration file '{}'!",
                                              path));
        }
        KXLOG_INFO(
            "The FakeSharedMem transport intermediate configuration file '{}' has been "
            "erased successfully!",
            path);
        return true;
    } catch (const std::exception& e) {
        return KX_FAIL(error, fmt::format("Failed to erase the FakeSharedMem transport "
                                          "intermediate configuration file '{}': {}",
                                          path, e.what()));
    } catch (...) {
        return KX_FAIL(error, fmt::format("Failed to erase the FakeSharedMem transport "
                                          "intermediate configuration file '{}' due to an unknown "
                                          "error!",
                                          path));
    }
}

}  // namespace KXFakeShm
