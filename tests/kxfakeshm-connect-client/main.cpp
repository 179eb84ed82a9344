// kxfakeshm-connect-client: drives the FakeSharedMem library as the Connect
// peer, loads every enabled transport with random payloads and shows the
// links on a full-screen dashboard until the user quits.

#include <fmt/format.h>
#include <unistd.h>

#include <array>
#include <exception>
#include <iostream>
#include <thread>

#include "kxlog/KXLog.h"
#include "tests/kxfakeshm-connect-client/ClientCommandLine.h"
#include "tests/kxfakeshm-connect-client/ClientState.h"
#include "tests/kxfakeshm-connect-client/Dashboard.h"
#include "tests/kxfakeshm-connect-client/Lifecycle.h"
#include "tests/kxfakeshm-connect-client/Version.h"
#include "tests/kxfakeshm-connect-client/Workers.h"

namespace {

using namespace KXClient;

constexpr const char* kNeedsTerminal =
    "kxfakeshm-connect-client needs an interactive terminal (use kxfakeshm-core-peer for a "
    "headless peer)";

struct NamedThread {
    const char* name;
    void (*entry)();
    std::thread thread;
};

// The six client threads in start order; joined in the order of kJoinOrder.
// Should anything unwind past them, they are stopped and joined all the same.
class ClientThreads {
  public:
    void Start() {
        for (NamedThread& named : threads_) {
            try {
                named.thread = std::thread(named.entry);
            } catch (const std::exception& e) {
                ExitWithFatal(fmt::format("Failed to start {}: {}", named.name, e.what()));
            }
        }
    }

    void JoinAll() {
        for (const size_t index : kJoinOrder) {
            NamedThread& named = threads_[index];
            KXLOG_INFO("Joining {}...", named.name);
            if (named.thread.joinable()) {
                named.thread.join();
            }
        }
    }

    ~ClientThreads() {
        StopRunning();
        for (NamedThread& named : threads_) {
            if (named.thread.joinable()) {
                named.thread.join();
            }
        }
    }

  private:
    std::array<NamedThread, 6> threads_{{
        {"ipcPayloadGeneratorThread", IpcPayloadGenerator, {}},
        {"sharedMemPayloadGeneratorThread", SharedMemPayloadGenerator, {}},
        {"tcpPayloadGeneratorThread", TcpPayloadGenerator, {}},
        {"ipcWriteMessageThread", WriteMessageWorker_Ipc, {}},
        {"sharedMemWriteMessageThread", WriteMessageWorker_SharedMem, {}},
        {"tcpWriteMessageThread", WriteMessageWorker_Tcp, {}},
    }};
    // Writers first, so that no write is in flight while the generators stop.
    static constexpr std::array<size_t, 6> kJoinOrder{3, 4, 5, 0, 1, 2};
};

int Run(int argc, char** argv) {
    if (VersionRequested(argc, argv)) {
        std::cout << VersionText("kxfakeshm-connect-client");
        return 0;
    }
    InitializeKXLog();

    TransportFlags flags;
    KXFakeShm::Tuning tuning;
    ParseCommandLineArguments(argc, argv, flags, tuning);
    // Without a terminal the dashboard has no keys to read and nowhere to draw;
    // it would spin on end-of-input and flood a redirected output.
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) {
        KXLOG_ERROR("{}", kNeedsTerminal);
        std::cerr << kNeedsTerminal << std::endl;
        TerminateKXLog();
        return 1;
    }
    PrintCommandLineArguments(flags, tuning);
    InitializeFakeSharedMem(flags.tcp, flags.ipc, flags.sharedmem, tuning);
    // From here on a hang-up, SIGTERM or Ctrl-C ends the client in order.
    InstallQuitSignalHandlers();

    ClientState& state = GetClientState();
    state.running.store(true);
    {
        ClientThreads threads;
        threads.Start();

        // The dashboard owns the terminal; log lines go to the file only.
        const int stderrVerbosity = kxlog::GetStderrVerbosity();
        kxlog::SetStderrVerbosity(kxlog::kOff);
        if (!QuitSignalled()) {
            RunTui();
        }
        kxlog::SetStderrVerbosity(stderrVerbosity);

        StopRunning();
        threads.JoinAll();
    }

    TerminateFakeSharedMem();
    TerminateKXLog();

    std::cout << "\x1b[2 q"
              << "\x1b[?25h" << std::flush;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        ExitWithFatal(fmt::format("kxfakeshm-connect-client has failed: {}", e.what()));
    } catch (...) {
        ExitWithFatal("kxfakeshm-connect-client has failed: unknown error!");
    }
}
