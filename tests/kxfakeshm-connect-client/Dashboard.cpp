#include "tests/kxfakeshm-connect-client/Dashboard.h"

#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <ftxui/component/component.hpp>
#include <ftxui/component/screen_interactive.hpp>
#include <ftxui/screen/terminal.hpp>

#include "kxcommon/HybridMutex.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "kxlog/KXLog.h"
#include "tests/kxfakeshm-connect-client/Lifecycle.h"
#include "tests/kxfakeshm-connect-client/Workers.h"

namespace KXClient {
namespace {

using KXFakeShm::FakeSharedMem;
using KXFakeShm::TransportKind;

constexpr int kLabelWidth = 12;
constexpr size_t kPreviewLength = 16;
constexpr std::chrono::nanoseconds kRefreshPeriod{16'666'000};

// Set by SIGHUP, SIGTERM or SIGINT; read by the entry function before the
// dashboard and by every event of the dashboard's loop.
std::atomic<bool> gQuitSignal{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void RecordQuitSignal(int) {
    gQuitSignal.store(true);
}

// FTXUI creates the screen's task sender when the loop starts and destroys it
// when the loop leaves, without synchronising with Post. The refresher thread
// therefore posts only while the gate is open: it opens on the first frame
// (inside the loop) and closes on the main thread before the loop is asked to
// leave.
class ScreenGate {
  public:
    explicit ScreenGate(ftxui::ScreenInteractive& screen) : screen_(screen) {}

    void Open() {
        std::lock_guard<KXCommon::HybridMutex> lock(mutex_);
        open_ = true;
    }
    void Close() {
        std::lock_guard<KXCommon::HybridMutex> lock(mutex_);
        open_ = false;
    }
    void Post(ftxui::Task task) {
        std::lock_guard<KXCommon::HybridMutex> lock(mutex_);
        if (open_) {
            screen_.Post(std::move(task));
        }
    }

  private:
    ftxui::ScreenInteractive& screen_;
    KXCommon::HybridMutex mutex_;
    bool open_ = false;
};

// A terminal that went away hangs up standard input. The kernel sends SIGHUP to
// the session leader only; one that catches it and waits (make does) leaves the
// client reading end of file for ever, so the hang-up itself is the quit signal.
bool TerminalHungUp() {
    pollfd input{STDIN_FILENO, 0, 0};
    return poll(&input, 1, 0) == 1 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Redraws about 60 times a second on drift-free ticks until the client stops.
// Each redraw is an event, so a quit signal is acted on within one tick.
void RunRefresher(ScreenGate& gate) {
    kxlog::SetThreadName("TuiRefresher");
    const ClientState& state = GetClientState();
    auto tick = std::chrono::steady_clock::now();
    while (state.running.load()) {
        if (TerminalHungUp()) {
            gQuitSignal.store(true);
        }
        gate.Post(ftxui::Event::Custom);
        tick += kRefreshPeriod;
        std::this_thread::sleep_until(tick);
    }
}

int64_t ClampToInt64(uint64_t value) {
    return static_cast<int64_t>(
        std::min<uint64_t>(value, static_cast<uint64_t>(std::numeric_limits<int64_t>::max())));
}

TransportView ReadTransport(FakeSharedMem& library, TransportKind kind, PayloadSlot& slot) {
    TransportView view;
    view.alive = library.IsPeerAlive(kind);
    view.active = library.IsInitialized() && (library.GetTransports() & kind) != 0;
    view.latency = library.GetLatency(kind);
    view.smoothedLatency = library.GetSmoothedLatency(kind);
    view.preview = PayloadPreview(slot);
    view.writeBytes = library.GetWriteBytes(kind);
    view.readBytes = library.GetReadBytes(kind);
    if (kind != KXFakeShm::SharedMem) {
        view.writeMetaBytes = library.GetWriteMetaBytes(kind);
        view.readMetaBytes = library.GetReadMetaBytes(kind);
    }
    return view;
}

ftxui::Element Row(const std::string& label, const std::string& value) {
    return ftxui::hbox({
        ftxui::text(label) | ftxui::size(ftxui::WIDTH, ftxui::EQUAL, kLabelWidth),
        ftxui::text(": "),
        ftxui::text(value),
    });
}

ftxui::Element TransportPanel(const std::string& title, const TransportView& view, bool withMeta) {
    ftxui::Elements rows = {
        ftxui::text(title) | ftxui::bold,
        ftxui::separator(),
        Row("Latency", FormatLatency(ClampToInt64(view.latency))),
        Row("Smoothed", FormatLatency(ClampToInt64(view.smoothedLatency))),
        Row("Block", kTestBlock),
        Row("Address", kTestAddress),
        Row("Preview", view.preview),
        Row("Write Rate", FormatRate(view.writeBytes)),
    };
    if (withMeta) {
        rows.push_back(Row("Write + Meta", FormatRate(view.writeMetaBytes)));
    }
    rows.push_back(Row("Read Rate", FormatRate(view.readBytes)));
    if (withMeta) {
        rows.push_back(Row("Read + Meta", FormatRate(view.readMetaBytes)));
    }
    return ftxui::vbox(std::move(rows)) | ftxui::border | ftxui::flex;
}

// The rows the dashboard needs without the history: the outer border, title and
// separator, the panels, the separator and the footer's lines.
int RowsWithoutHistory(const ftxui::Element& panels, const ftxui::Elements& footerItems,
                       int width) {
    panels->ComputeRequirement();
    int footerLines = 1;
    int lineWidth = 0;
    const int available = std::max(1, width - 2);
    for (const ftxui::Element& item : footerItems) {
        item->ComputeRequirement();
        const int w = item->requirement().min_x;
        if (lineWidth > 0 && lineWidth + w > available) {
            ++footerLines;
            lineWidth = 0;
        }
        lineWidth += w;
    }
    return 2 + 2 + panels->requirement().min_y + 1 + footerLines;
}

// The footer's entries; each separator stays with the entry after it, so a
// narrow screen wraps between whole entries and loses none.
ftxui::Elements FooterItems(const DashboardView& view) {
    using ftxui::text;
    auto entry = [](ftxui::Element element) {
        return ftxui::hbox({text(" | "), std::move(element)});
    };
    return {
        text("Quit < ESC / Q / Ctrl-C >"),
        entry(MakeTransportToggle("TCP", view.tcp.active, view.tcp.alive, "1")),
        entry(MakeTransportToggle("IPC", view.ipc.active, view.ipc.alive, "2")),
        entry(MakeTransportToggle("SharedMem", view.sharedMem.active, view.sharedMem.alive, "3")),
        entry(text(fmt::format("Payload Size [ {} ] < S >", view.payloadSizeLabel))),
    };
}

bool IsQuitKey(const ftxui::Event& event) {
    return event == ftxui::Event::Escape || event.input() == "\x03" ||
           event == ftxui::Event::Character('q') || event == ftxui::Event::Character('Q');
}

}  // namespace

std::string FormatLatency(int64_t nanoseconds) {
    if (nanoseconds <= 0) {
        return "N/A";
    }
    if (const int64_t ms = nanoseconds / 1'000'000; ms >= 1) {
        return fmt::format("{} ms", ms);
    }
    if (const int64_t us = nanoseconds / 1'000; us >= 1) {
        return fmt::format("{} \u00B5s", us);
    }
    return fmt::format("{} ns", nanoseconds);
}

std::string FormatRate(uint64_t bytes) {
    if (bytes == 0) {
        return "N/A";
    }
    auto value = static_cast<double>(bytes);
    if (bytes < 1024) {
        return fmt::format("{:.0f} {}", value, "B/s");
    }
    static constexpr const char* kUnits[] = {"B/s", "KB/s", "MB/s", "GB/s"};
    int divisions = 0;
    while (value >= 1024.0 && divisions < 3) {
        value /= 1024.0;
        ++divisions;
    }
    return fmt::format("{:.2f} {}", value, kUnits[divisions]);
}

std::string PayloadPreview(PayloadSlot& slot) {
    std::shared_lock<KXCommon::HybridSharedMutex> lock(slot.payloadMutex);
    if (slot.currentPayload.empty()) {
        return "-";
    }
    return slot.currentPayload.substr(0, kPreviewLength);
}

std::string PayloadSizeLabel() {
    return SelectedPayloadSize().label;
}

ftxui::Element MakeTransportToggle(const std::string& label, bool active, bool alive,
                                   const std::string& key) {
    return ftxui::hbox({
        ftxui::text(label + " "),
        ftxui::text(alive ? "\U0001F7E2" : "\U0001F534"),
        ftxui::text(active ? "\u2705" : "\u274C"),
        ftxui::text(" < " + key + " >"),
    });
}

DashboardView ReadDashboardView() {
    FakeSharedMem& library = FakeSharedMem::Instance();
    ClientState& state = GetClientState();
    DashboardView view;
    view.tcp = ReadTransport(library, KXFakeShm::Tcp, state.tcp);
    view.ipc = ReadTransport(library, KXFakeShm::Ipc, state.ipc);
    view.sharedMem = ReadTransport(library, KXFakeShm::SharedMem, state.sharedMem);
    view.payloadSizeLabel = PayloadSizeLabel();
    return view;
}

ftxui::Element RenderDashboard(const DashboardView& view) {
    return RenderDashboard(view, nullptr, 0, 0);
}

ftxui::Element RenderDashboard(const DashboardView& view, const HistoryRecorder* history, int width,
                               int height) {
    using ftxui::text;
    ftxui::Element panels = ftxui::hbox({
        TransportPanel("TCP Transport", view.tcp, true),
        TransportPanel("IPC Transport", view.ipc, true),
        TransportPanel("SharedMem Transport", view.sharedMem, false),
    });
    ftxui::Elements footer = FooterItems(view);
    ftxui::Element below = ftxui::filler();
    if (history != nullptr) {
        const int free = height - RowsWithoutHistory(panels, footer, width);
        below = ftxui::vbox({RenderHistory(view, *history, width - 2, free), ftxui::filler()}) |
                ftxui::flex;
    }
    return ftxui::vbox({
               text("KXFakeShm Connect Client") | ftxui::bold,
               ftxui::separator(),
               std::move(panels),
               std::move(below),
               ftxui::separator(),
               ftxui::flexbox(std::move(footer)),
           }) |
           ftxui::border;
}

void InstallQuitSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = RecordQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGHUP, SIGTERM, SIGINT}) {
        sigaction(signal, &action, nullptr);
    }
}

bool QuitSignalled() {
    return gQuitSignal.load();
}

bool HandleDashboardEvent(const ftxui::Event& event, const std::function<void()>& leaveLoop) {
    if (IsQuitKey(event) || gQuitSignal.exchange(false)) {
        StopRunning();
        leaveLoop();
        return true;
    }
    if (event == ftxui::Event::Character('1')) {
        ReconfigureFakeSharedMem(KXFakeShm::Tcp);
        return true;
    }
    if (event == ftxui::Event::Character('2')) {
        ReconfigureFakeSharedMem(KXFakeShm::Ipc);
        return true;
    }
    if (event == ftxui::Event::Character('3')) {
        ReconfigureFakeSharedMem(KXFakeShm::SharedMem);
        return true;
    }
    if (event == ftxui::Event::Character('s') || event == ftxui::Event::Character('S')) {
        ClientState& state = GetClientState();
        state.payloadSizeIndex.store((state.payloadSizeIndex.load() + 1) %
                                     ClientState::payloadSizes.size());
        RequestRegeneration();
        return true;
    }
    return false;
}

void RunTui() {
    auto screen = ftxui::ScreenInteractive::Fullscreen();
    ScreenGate gate(screen);
    // A fatal error inside the loop hands the terminal back before it ends the
    // process. Only the loop's own thread may uninstall the screen.
    const std::thread::id loopThread = std::this_thread::get_id();
    const TerminalRestorer restorer = [&screen, &gate,
                                       loopThread](const std::function<void()>& finish) {
        if (std::this_thread::get_id() == loopThread) {
            gate.Close();
            screen.WithRestoredIO(finish)();
        }
    };
    const std::function<void()> leaveLoop = [&] {
        SetTerminalRestorer(nullptr);
        gate.Close();
        screen.Exit();
    };

    HistoryRecorder history;
    bool firstFrame = true;
    auto renderer = ftxui::Renderer([&] {
        if (firstFrame) {
            firstFrame = false;
            // FTXUI puts its own SIGINT and SIGTERM handlers in place when the
            // loop starts (and ours back when it leaves); ours take over again.
            InstallQuitSignalHandlers();
            SetTerminalRestorer(restorer);
            gate.Open();
        }
        const DashboardView view = ReadDashboardView();
        history.Add(std::chrono::steady_clock::now(), view);
        const ftxui::Dimensions size = ftxui::Terminal::Size();
        return RenderDashboard(view, &history, size.dimx, size.dimy);
    });
    auto component = ftxui::CatchEvent(renderer, [&](const ftxui::Event& event) {
        return HandleDashboardEvent(event, leaveLoop);
    });

    // Stops and joins the refresher however the loop is left.
    struct RefresherOwner {
        ScreenGate& gate;
        std::thread thread;
        ~RefresherOwner() {
            SetTerminalRestorer(nullptr);
            gate.Close();
            StopRunning();
            if (thread.joinable()) {
                KXLOG_INFO("Joining TUI refresher thread...");
                thread.join();
            }
        }
    } refresher{gate, {}};
    try {
        refresher.thread = std::thread(RunRefresher, std::ref(gate));
    } catch (const std::exception& e) {
        ExitWithFatal(fmt::format("Failed to start the TUI refresher thread: {}", e.what()));
    }
    screen.Loop(component);
}

}  // namespace KXClient
