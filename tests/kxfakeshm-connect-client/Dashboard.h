#pragma once

// The full-screen dashboard: per transport its latency, rates and payload
// preview, and a footer with the keys that quit, toggle transports and cycle
// the payload size.

#include <cstdint>
#include <functional>
#include <string>

#include <ftxui/component/event.hpp>
#include <ftxui/dom/elements.hpp>

#include "tests/kxfakeshm-connect-client/ClientState.h"
#include "tests/kxfakeshm-connect-client/History.h"

namespace KXClient {

// What one frame shows of one transport.
struct TransportView {
    bool alive = false;   // the library's peer-alive query
    bool active = false;  // the transport's bit in the library's current set
    uint64_t latency = 0;
    uint64_t smoothedLatency = 0;
    std::string preview = "-";
    uint64_t writeBytes = 0;
    uint64_t writeMetaBytes = 0;
    uint64_t readBytes = 0;
    uint64_t readMetaBytes = 0;
};

struct DashboardView {
    TransportView tcp;
    TransportView ipc;
    TransportView sharedMem;
    std::string payloadSizeLabel;
};

// "N/A" for v <= 0, else whole ms, µs or ns.
std::string FormatLatency(int64_t nanoseconds);
// "N/A" for 0, "<n> B/s" below 1024, else "<x.xx> KB/s", "MB/s" or "GB/s".
std::string FormatRate(uint64_t bytes);

// The first 16 characters of the slot's payload, "-" when it is empty.
std::string PayloadPreview(PayloadSlot& slot);
// The label of the selected payload size, e.g. "1 KB".
std::string PayloadSizeLabel();

// One footer entry: "<label> ", liveness mark, activity mark, " < <key> >".
ftxui::Element MakeTransportToggle(const std::string& label, bool active, bool alive,
                                   const std::string& key);

// Reads the library's statistics and the client's state afresh.
DashboardView ReadDashboardView();

// The whole document of one frame. With a history and the screen's size, the
// rows left free below the panels show the last minute of each active transport.
ftxui::Element RenderDashboard(const DashboardView& view);
ftxui::Element RenderDashboard(const DashboardView& view, const HistoryRecorder* history, int width,
                               int height);

// Quit requests from outside (SIGHUP, SIGTERM, SIGINT) only set a flag; the
// dashboard's loop, or the entry function before it, takes the quit path.
void InstallQuitSignalHandlers();
bool QuitSignalled();

// The key table. The quit keys, or any event after a quit signal, stop the
// client's threads and call `leaveLoop`. Returns true when the event was handled.
bool HandleDashboardEvent(const ftxui::Event& event, const std::function<void()>& leaveLoop);

// Runs the dashboard on the terminal until a quit key (Escape, Q, Ctrl-C) or
// a quit signal; the client's threads are told to stop when it returns.
void RunTui();

}  // namespace KXClient
