#pragma once

// The last minute of every transport, one entry per second, and its graphs: the
// median one-way latency of each second on a log scale, the write rate, and a
// mark for the seconds in which the peer was not alive.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <ftxui/dom/elements.hpp>

namespace KXClient {

struct DashboardView;

struct HistorySecond {
    uint64_t latencyP50 = 0;  // ns, 0 when no latency was seen in that second
    uint64_t writeRate = 0;   // the windowed write total at the end of that second
    bool alive = true;        // false when the peer was down at any frame of it
};

// One transport's seconds, oldest first, at most kHistorySeconds of them.
using TransportHistory = std::deque<HistorySecond>;

inline constexpr size_t kHistorySeconds = 60;
// Below this many free rows the history is left out.
inline constexpr int kHistoryMinRows = 8;

// Folds the frames' figures into seconds. Every frame feeds one view; a second
// is closed when the first frame of a later second arrives.
class HistoryRecorder {
  public:
    using Clock = std::chrono::steady_clock;

    void Add(Clock::time_point now, const DashboardView& view);

    const TransportHistory& Tcp() const { return closed_[0]; }
    const TransportHistory& Ipc() const { return closed_[1]; }
    const TransportHistory& SharedMem() const { return closed_[2]; }

  private:
    struct Open {
        std::vector<uint64_t> latencies;
        uint64_t writeRate = 0;
        bool alive = true;
        bool any = false;
    };
    void Close();

    bool started_ = false;
    Clock::time_point secondStart_{};
    std::array<Open, 3> open_{};
    std::array<TransportHistory, 3> closed_{};
};

// The graphs of one transport in `width` x `height` cells (border included).
ftxui::Element RenderTransportHistory(const std::string& title, const TransportHistory& history,
                                      int width, int height);

// The graphs of every active transport side by side in `width` x `rows` cells,
// or an empty element when `rows` is below kHistoryMinRows or none is active.
ftxui::Element RenderHistory(const DashboardView& view, const HistoryRecorder& history, int width,
                             int rows);

}  // namespace KXClient
