// A Core peer: follows the transport file of the Connect peer (which transports,
// which endpoints, which tuning) and prints every new record that arrives on a
// transport, until SIGINT or SIGTERM.

#include <kxfakeshm/FakeSharedMem.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <thread>

using namespace KXFakeShm;

namespace {

std::atomic<bool> stopRequested{false};

struct Transport {
    TransportKind kind;
    const char* name;
    std::string last;  // the record printed last
};

}  // namespace

int main() {
    std::signal(SIGINT, [](int) { stopRequested = true; });
    std::signal(SIGTERM, [](int) { stopRequested = true; });

    FakeSharedMem& library = FakeSharedMem::Instance();
    std::string error;
    // The transports come from the Connect peer's transport file (SharedMem alone
    // until there is one); the set given here only has to be non-empty.
    if (!library.Initialize(EPeer::Core, Tcp | Ipc | SharedMem, Tuning{}, error)) {
        std::cerr << error << "\n";
        library.Terminate(error);  // a failed Initialize leaves what it started
        return 1;
    }
    Transport transports[] = {{Tcp, "tcp", {}}, {Ipc, "ipc", {}}, {SharedMem, "sharedmem", {}}};
    while (!stopRequested) {
        // Only the newest record per (block, address) is kept: polling reads that.
        const uint8_t active = library.GetTransports();
        for (Transport& t : transports) {
            std::string record;
            if ((active & t.kind) != 0 &&
                library.ReadReceivedData(t.kind, "TestBlock", "TestAddress", record) &&
                record != t.last) {
                std::cout << t.name << ": " << record << std::endl;
                t.last = record;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!library.Terminate(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    return 0;
}
