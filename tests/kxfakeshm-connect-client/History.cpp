#include "tests/kxfakeshm-connect-client/History.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "tests/kxfakeshm-connect-client/Dashboard.h"

namespace KXClient {
namespace {

// The latency axis starts at 1 us: the receive path cannot tell shorter apart.
constexpr double kLatencyFloorLog10 = 3.0;
constexpr uint64_t kLatencyMinimumTop = 10'000;  // 10 us

// The figure of the second behind `slot` of a fixed 60-slot axis whose right end
// is now; slots before the first recorded second are empty.
const HistorySecond* SecondAt(const TransportHistory& history, size_t slot) {
    const size_t missing = kHistorySeconds - std::min(history.size(), kHistorySeconds);
    return slot < missing ? nullptr : &history[slot - missing];
}

// The slots one of `columns` equal columns covers (at least one).
std::pair<size_t, size_t> SlotsOf(int column, int columns) {
    const size_t first = static_cast<size_t>(column) * kHistorySeconds / columns;
    const size_t last = static_cast<size_t>(column + 1) * kHistorySeconds / columns;
    return {first, std::max(last, first + 1)};
}

// A decade boundary, so the axis reads as a round figure and does not wander
// with every new maximum.
uint64_t LatencyTop(const TransportHistory& history) {
    uint64_t highest = 0;
    for (const HistorySecond& s : history) {
        highest = std::max(highest, s.latencyP50);
    }
    uint64_t top = kLatencyMinimumTop;
    while (top < highest && top <= UINT64_MAX / 10) {
        top *= 10;
    }
    return top;
}

uint64_t RateTop(const TransportHistory& history) {
    uint64_t highest = 0;
    for (const HistorySecond& s : history) {
        highest = std::max(highest, s.writeRate);
    }
    return highest;
}

int LatencyHeight(uint64_t value, uint64_t top, int height) {
    if (value == 0) {
        return 0;
    }
    const double span = std::log10(static_cast<double>(top)) - kLatencyFloorLog10;
    const double at = std::log10(static_cast<double>(value)) - kLatencyFloorLog10;
    const int h = static_cast<int>(std::lround(at / span * height));
    return std::clamp(h, 1, height);
}

int RateHeight(uint64_t value, uint64_t top, int height) {
    if (value == 0 || top == 0) {
        return 0;
    }
    const auto h = static_cast<int>(
        std::lround(static_cast<double>(value) / static_cast<double>(top) * height));
    return std::clamp(h, 1, height);
}

// FTXUI asks for twice as many values as there are columns; each value covers
// its share of the minute.
template <typename Height>
ftxui::Element Graph(const TransportHistory& history, Height height) {
    return ftxui::graph([&history, height](int width, int graphHeight) {
        // -1 leaves a column blank: no second recorded there yet. A recorded
        // zero draws the baseline.
        std::vector<int> values(static_cast<size_t>(std::max(width, 0)), -1);
        for (int x = 0; x < width; ++x) {
            const auto [first, last] = SlotsOf(x, width);
            int h = -1;
            for (size_t slot = first; slot < last; ++slot) {
                if (const HistorySecond* s = SecondAt(history, slot)) {
                    h = std::max(h, height(*s, graphHeight));
                }
            }
            values[static_cast<size_t>(x)] = h;
        }
        return values;
    });
}

// "x" under the columns in which the peer was not alive at some frame.
std::string DownMarks(const TransportHistory& history, int columns) {
    std::string marks;
    for (int c = 0; c < columns; ++c) {
        const auto [first, last] = SlotsOf(c, columns);
        bool down = false;
        for (size_t slot = first; slot < last; ++slot) {
            const HistorySecond* s = SecondAt(history, slot);
            down = down || (s != nullptr && !s->alive);
        }
        marks += down ? 'x' : ' ';
    }
    return marks;
}

ftxui::Element AxisLine(const std::string& label, const std::string& top) {
    return ftxui::hbox({ftxui::text(label), ftxui::filler(), ftxui::text("max " + top)});
}

}  // namespace

void HistoryRecorder::Add(Clock::time_point now, const DashboardView& view) {
    if (!started_) {
        started_ = true;
        secondStart_ = now;
    }
    // Every whole second passed closes one entry; a long stall of the screen
    // closes empty seconds for the time nobody looked.
    while (now - secondStart_ >= std::chrono::seconds(1)) {
        Close();
        secondStart_ += std::chrono::seconds(1);
    }
    const TransportView* views[] = {&view.tcp, &view.ipc, &view.sharedMem};
    for (size_t i = 0; i < open_.size(); ++i) {
        Open& open = open_[i];
        open.any = true;
        open.alive = open.alive && views[i]->alive;
        open.writeRate = views[i]->writeBytes;
        if (views[i]->latency != 0) {
            open.latencies.push_back(views[i]->latency);
        }
    }
}

void HistoryRecorder::Close() {
    for (size_t i = 0; i < open_.size(); ++i) {
        Open& open = open_[i];
        HistorySecond second;
        if (!open.latencies.empty()) {
            auto middle = open.latencies.begin() + static_cast<long>(open.latencies.size() / 2);
            std::nth_element(open.latencies.begin(), middle, open.latencies.end());
            second.latencyP50 = *middle;
        }
        second.writeRate = open.writeRate;
        // A second without any frame keeps the liveness last seen.
        second.alive = open.any ? open.alive : (closed_[i].empty() || closed_[i].back().alive);
        closed_[i].push_back(second);
        if (closed_[i].size() > kHistorySeconds) {
            closed_[i].pop_front();
        }
        open = Open{};
    }
}

ftxui::Element RenderTransportHistory(const std::string& title, const TransportHistory& history,
                                      int width, int height) {
    const int graphRows = std::max(1, (height - 6) / 2);
    const int columns = std::max(1, width - 2);
    const uint64_t latencyTop = LatencyTop(history);
    const uint64_t rateTop = RateTop(history);
    auto latency = [latencyTop](const HistorySecond& s, int h) {
        return LatencyHeight(s.latencyP50, latencyTop, h);
    };
    auto rate = [rateTop](const HistorySecond& s, int h) {
        return RateHeight(s.writeRate, rateTop, h);
    };
    return ftxui::vbox({
               ftxui::text(title + " - last 60 s") | ftxui::bold,
               AxisLine("Latency p50 (log)", FormatLatency(static_cast<int64_t>(
                                                 std::min<uint64_t>(latencyTop, INT64_MAX)))),
               Graph(history, latency) | ftxui::size(ftxui::HEIGHT, ftxui::EQUAL, graphRows),
               AxisLine("Write Rate", FormatRate(rateTop)),
               Graph(history, rate) | ftxui::size(ftxui::HEIGHT, ftxui::EQUAL, graphRows),
               ftxui::text(DownMarks(history, columns)) | ftxui::color(ftxui::Color::Red),
           }) |
           ftxui::border | ftxui::size(ftxui::WIDTH, ftxui::EQUAL, width) |
           ftxui::size(ftxui::HEIGHT, ftxui::EQUAL, height);
}

ftxui::Element RenderHistory(const DashboardView& view, const HistoryRecorder& history, int width,
                             int rows) {
    struct Shown {
        const char* title;
        const TransportHistory* seconds;
    };
    std::vector<Shown> shown;
    if (view.tcp.active) {
        shown.push_back({"TCP", &history.Tcp()});
    }
    if (view.ipc.active) {
        shown.push_back({"IPC", &history.Ipc()});
    }
    if (view.sharedMem.active) {
        shown.push_back({"SharedMem", &history.SharedMem()});
    }
    if (rows < kHistoryMinRows || shown.empty() || width < static_cast<int>(shown.size())) {
        return ftxui::emptyElement();
    }
    ftxui::Elements panels;
    const int each = width / static_cast<int>(shown.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        // The last panel takes the columns the division leaves over.
        const int w = i + 1 == shown.size() ? width - each * static_cast<int>(i) : each;
        panels.push_back(RenderTransportHistory(shown[i].title, *shown[i].seconds, w, rows));
    }
    return ftxui::hbox(std::move(panels));
}

}  // namespace KXClient
