// A Connect peer: listens on the transports its arguments name (tcp, ipc,
// sharedmem; all three when none is named), writes a counter record every 100 ms
// to each transport whose peer is alive, and prints the link figures once a
// second, until SIGINT or SIGTERM.

#include <kxfakeshm/FakeSharedMem.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <thread>

using namespace KXFakeShm;

static std::atomic<bool> stopRequested{false};

static const struct {
    TransportKind kind;
    std::string name;
} kTransports[] = {{Tcp, "tcp"}, {Ipc, "ipc"}, {SharedMem, "sharedmem"}};

static bool Write(FakeSharedMem& library, TransportKind kind, const std::string& record,
                  std::string& error) {
    const std::string block = "TestBlock", address = "TestAddress";
    if (kind != SharedMem) {
        return kind == Tcp ? library.WriteViaTcp(block, address, record, error)
                           : library.WriteViaIpc(block, address, record, error);
    }
    // WriteTo_NotCreate needs the store entry. WriteTo creates it, but it also
    // sends over the active socket transports and stops at the first that fails.
    return library.WriteTo_NotCreate(block, address, record, error) ||
           library.WriteTo(block, address, record, error);
}

int main(int argc, char** argv) {
    uint8_t transports = 0;
    for (int i = 1; i < argc; ++i) {
        const uint8_t before = transports;
        for (const auto& t : kTransports) {
            transports |= t.name == argv[i] ? t.kind : 0;
        }
        if (transports == before) {
            std::cerr << "Usage: " << argv[0] << " [tcp] [ipc] [sharedmem]\n";
            return std::string(argv[i]) == "--help" ? 0 : 2;
        }
    }
    transports = transports != 0 ? transports : Tcp | Ipc | SharedMem;
    std::signal(SIGINT, [](int) { stopRequested = true; });
    std::signal(SIGTERM, [](int) { stopRequested = true; });

    Tuning tuning;                            // the defaults; a tuning file on disk overrides them
    tuning.SocketReceiveNonBlocking = false;  // workers wait in receive instead of polling
    FakeSharedMem& library = FakeSharedMem::Instance();
    std::string error;
    if (!library.Initialize(EPeer::Connect, transports, tuning, error)) {
        std::cerr << error << "\n";
        library.Terminate(error);  // a failed Initialize leaves what it started
        return 1;
    }
    const uint64_t window = library.GetTuning().ThroughputSmoothingWindow;
    auto next = std::chrono::steady_clock::now();
    for (uint64_t counter = 1; !stopRequested; ++counter) {
        const std::string record = "counter " + std::to_string(counter);
        for (const auto& t : kTransports) {
            const bool alive = library.IsPeerAlive(t.kind);  // false when not active
            if (alive && !Write(library, t.kind, record, error)) {
                std::cerr << t.name << ": " << error << "\n";
            }
            if (counter % 10 == 0 && (transports & t.kind) != 0) {
                std::cout << t.name << " alive=" << alive
                          << " latency=" << library.GetLatency(t.kind) / 1000
                          << "us smoothed=" << library.GetSmoothedLatency(t.kind) / 1000
                          << "us written=" << library.GetWriteBytes(t.kind)
                          << "B read=" << library.GetReadBytes(t.kind) << "B (last " << window
                          << " ms)" << std::endl;
            }
        }
        next += std::chrono::milliseconds(100);
        std::this_thread::sleep_until(next);
    }
    if (!library.Terminate(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    return 0;
}
