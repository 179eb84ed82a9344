#include <gtest/gtest.h>

#include <ftxui/dom/elements.hpp>
#include <ftxui/screen/screen.hpp>
#include <mutex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "kxfakeshm/FakeSharedMem.h"
#include "tests/kxfakeshm-connect-client/ClientState.h"
#include "tests/kxfakeshm-connect-client/Dashboard.h"

namespace {

using KXClient::DashboardView;
using KXClient::GetClientState;

// The client's state is process-wide; every case of this binary starts from the
// state a fresh client has, whatever order the cases run in.
class FreshClientState : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        KXClient::ClientState& state = GetClientState();
        state.running = true;
        state.payloadSizeIndex = 0;
        for (KXClient::PayloadSlot* slot : {&state.ipc, &state.sharedMem, &state.tcp}) {
            std::lock_guard<KXCommon::HybridSharedMutex> lock(slot->payloadMutex);
            slot->currentPayload.clear();
            std::lock_guard<KXCommon::HybridSharedMutex> regenerate(slot->regenerateMutex);
            slot->regenerate = false;
        }
    }
};
const bool kFreshClientStateInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshClientState);
    return true;
}();

constexpr int kWidth = 160;
constexpr int kHeight = 45;

// The rendered screen as rows of cells (a wide character's second cell is empty).
using Cells = std::vector<std::vector<std::string>>;

Cells RenderCells(const ftxui::Element& element, int width = kWidth, int height = kHeight) {
    auto screen =
        ftxui::Screen::Create(ftxui::Dimension::Fixed(width), ftxui::Dimension::Fixed(height));
    ftxui::Render(screen, element);
    Cells cells(height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            cells[y].push_back(screen.PixelAt(x, y).character);
        }
    }
    return cells;
}

std::string Join(const std::vector<std::string>& row, size_t from = 0,
                 size_t to = std::string::npos) {
    std::string text;
    for (size_t x = from; x < row.size() && x < to; ++x) {
        text += row[x];
    }
    return text;
}

std::string RightTrimmed(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string Dump(const Cells& cells) {
    std::string text;
    for (const auto& row : cells) {
        text += Join(row) + "\n";
    }
    return text;
}

// Finds `needle` in the screen; returns its row and first cell, or -1.
std::pair<int, int> Find(const Cells& cells, const std::string& needle) {
    for (size_t y = 0; y < cells.size(); ++y) {
        for (size_t x = 0; x < cells[y].size(); ++x) {
            if (Join(cells[y], x).rfind(needle, 0) == 0) {
                return {static_cast<int>(y), static_cast<int>(x)};
            }
        }
    }
    return {-1, -1};
}

// The panel's text from its title's row and column down, up to its border.
std::vector<std::string> PanelColumn(const Cells& cells, const std::string& title, int rows) {
    const auto [y0, x0] = Find(cells, title);
    std::vector<std::string> column;
    if (y0 < 0) {
        return column;
    }
    for (int y = y0; y < y0 + rows && y < static_cast<int>(cells.size()); ++y) {
        size_t end = x0;
        while (end < cells[y].size() && cells[y][end] != "\u2502") {
            ++end;
        }
        column.push_back(RightTrimmed(Join(cells[y], x0, end)));
    }
    // The line under the title is a separator; the rows follow it.
    if (column.size() >= 2) {
        EXPECT_NE(column[1].find("\u2500\u2500\u2500"), std::string::npos) << title;
        column.erase(column.begin() + 1);
    }
    return column;
}

DashboardView SampleView() {
    DashboardView view;
    view.tcp = {true, true, 12'000'000, 11'500'000, "abcdefghijklmnop", 1536, 2048, 512, 0};
    view.ipc = {false, true, 3'000, 999, "-", 0, 0, 1'048'576, 1'073'741'824};
    view.sharedMem = {true, false, 999, 0, "0123456789ABCDEF", 10'485'760, 77, 1023, 88};
    view.payloadSizeLabel = "100 KB";
    return view;
}

TEST(ClientDashboardView, TitlePanelsRowsAndFooter) {
    const Cells cells = RenderCells(KXClient::RenderDashboard(SampleView()));
    SCOPED_TRACE(Dump(cells));

    const auto title = Find(cells, "KXFakeShm Connect Client");
    const auto tcp = Find(cells, "TCP Transport");
    const auto ipc = Find(cells, "IPC Transport");
    const auto shm = Find(cells, "SharedMem Transport");
    const auto footer = Find(cells, "Quit < ESC / Q / Ctrl-C >");
    ASSERT_GE(title.first, 0);
    ASSERT_GE(tcp.first, 0);
    ASSERT_GE(footer.first, 0);
    // Title above the panels, the panels side by side in the order TCP, IPC,
    // SharedMem, the footer below them; separators in between.
    EXPECT_LT(title.first, tcp.first);
    EXPECT_EQ(ipc.first, tcp.first);
    EXPECT_EQ(shm.first, tcp.first);
    EXPECT_LT(tcp.second, ipc.second);
    EXPECT_LT(ipc.second, shm.second);
    EXPECT_GT(footer.first, tcp.first + 10);
    EXPECT_NE(Join(cells[title.first + 1]).find("\u2500\u2500\u2500"), std::string::npos);
    EXPECT_NE(Join(cells[footer.first - 1]).find("\u2500\u2500\u2500"), std::string::npos);

    EXPECT_EQ(PanelColumn(cells, "TCP Transport", 11), (std::vector<std::string>{
                                                           "TCP Transport",
                                                           "Latency     : 12 ms",
                                                           "Smoothed    : 11 ms",
                                                           "Block       : TestBlock",
                                                           "Address     : TestAddress",
                                                           "Preview     : abcdefghijklmnop",
                                                           "Write Rate  : 1.50 KB/s",
                                                           "Write + Meta: 2.00 KB/s",
                                                           "Read Rate   : 512 B/s",
                                                           "Read + Meta : N/A",
                                                       }));
    EXPECT_EQ(PanelColumn(cells, "IPC Transport", 11), (std::vector<std::string>{
                                                           "IPC Transport",
                                                           "Latency     : 3 \u00B5s",
                                                           "Smoothed    : 999 ns",
                                                           "Block       : TestBlock",
                                                           "Address     : TestAddress",
                                                           "Preview     : -",
                                                           "Write Rate  : N/A",
                                                           "Write + Meta: N/A",
                                                           "Read Rate   : 1.00 MB/s",
                                                           "Read + Meta : 1.00 GB/s",
                                                       }));
    // SharedMem has no "+ Meta" rows.
    EXPECT_EQ(PanelColumn(cells, "SharedMem Transport", 10), (std::vector<std::string>{
                                                                 "SharedMem Transport",
                                                                 "Latency     : 999 ns",
                                                                 "Smoothed    : N/A",
                                                                 "Block       : TestBlock",
                                                                 "Address     : TestAddress",
                                                                 "Preview     : 0123456789ABCDEF",
                                                                 "Write Rate  : 10.00 MB/s",
                                                                 "Read Rate   : 1023 B/s",
                                                                 "",
                                                             }));

    const std::string footerText = Join(cells[footer.first], footer.second);
    EXPECT_EQ(RightTrimmed(footerText.substr(0, footerText.rfind("\u2502"))),
              "Quit < ESC / Q / Ctrl-C > | TCP \U0001F7E2\u2705 < 1 > | IPC \U0001F534\u2705 < 2 > "
              "| SharedMem \U0001F7E2\u274C < 3 > | Payload Size [ 100 KB ] < S >");
}

TEST(ClientDashboardView, ToggleMarksFollowLivenessAndActivity) {
    auto toggle = [](bool active, bool alive) {
        const Cells cells =
            RenderCells(KXClient::MakeTransportToggle("IPC", active, alive, "2"), 20, 1);
        return RightTrimmed(Join(cells[0]));
    };
    EXPECT_EQ(toggle(true, true), "IPC \U0001F7E2\u2705 < 2 >");
    EXPECT_EQ(toggle(false, true), "IPC \U0001F7E2\u274C < 2 >");
    EXPECT_EQ(toggle(true, false), "IPC \U0001F534\u2705 < 2 >");
    EXPECT_EQ(toggle(false, false), "IPC \U0001F534\u274C < 2 >");
}

TEST(ClientDashboardView, FrameReadsTheLibraryAndTheSlots) {
    kxtest::ScopedTestHome home;
    GetClientState().tcp.currentPayload = "TCPPAYLOAD0123456789";
    GetClientState().payloadSizeIndex = 3;
    const DashboardView view = KXClient::ReadDashboardView();
    // Without an initialised library nothing is alive or active, and every
    // statistic reads 0.
    for (const KXClient::TransportView* t : {&view.tcp, &view.ipc, &view.sharedMem}) {
        EXPECT_FALSE(t->alive);
        EXPECT_FALSE(t->active);
        EXPECT_EQ(t->latency, 0U);
        EXPECT_EQ(t->writeBytes, 0U);
        EXPECT_EQ(t->readMetaBytes, 0U);
    }
    EXPECT_EQ(view.tcp.preview, "TCPPAYLOAD012345");
    EXPECT_EQ(view.ipc.preview, "-");
    EXPECT_EQ(view.payloadSizeLabel, "1 MB");
}

TEST(ClientDashboardKeys, SizeKeyCyclesThroughAllSizesAndAsksForFreshPayloads) {
    KXClient::ClientState& state = GetClientState();
    const char* expected[] = {"10 KB", "100 KB", "1 MB", "10 MB", "1 KB"};
    for (int press = 0; press < 5; ++press) {
        for (KXClient::PayloadSlot* slot : {&state.ipc, &state.sharedMem, &state.tcp}) {
            std::lock_guard<KXCommon::HybridSharedMutex> lock(slot->regenerateMutex);
            slot->regenerate = false;
        }
        const auto key = ftxui::Event::Character(press % 2 == 0 ? 's' : 'S');
        EXPECT_TRUE(KXClient::HandleDashboardEvent(key, [] { FAIL() << "left the loop"; }));
        EXPECT_EQ(KXClient::PayloadSizeLabel(), expected[press]);
        for (KXClient::PayloadSlot* slot : {&state.ipc, &state.sharedMem, &state.tcp}) {
            std::lock_guard<KXCommon::HybridSharedMutex> lock(slot->regenerateMutex);
            EXPECT_TRUE(slot->regenerate);
        }
    }
    EXPECT_TRUE(state.running);
}

TEST(ClientDashboardKeys, QuitKeysStopTheClientAndLeaveTheLoop) {
    const std::vector<ftxui::Event> quitKeys = {ftxui::Event::Escape, ftxui::Event::Special("\x03"),
                                                ftxui::Event::Character('q'),
                                                ftxui::Event::Character('Q')};
    for (const ftxui::Event& key : quitKeys) {
        GetClientState().running = true;
        int left = 0;
        EXPECT_TRUE(KXClient::HandleDashboardEvent(key, [&] { ++left; }));
        EXPECT_EQ(left, 1);
        EXPECT_FALSE(GetClientState().running);
    }
}

TEST(ClientDashboardKeys, ToggleWithoutLibraryChangesNothingAndOtherKeysPass) {
    kxtest::ScopedTestHome home;
    GetClientState().running = true;
    auto& library = KXFakeShm::FakeSharedMem::Instance();
    for (const char key : {'1', '2', '3'}) {
        EXPECT_TRUE(KXClient::HandleDashboardEvent(ftxui::Event::Character(key),
                                                   [] { FAIL() << "left the loop"; }));
        EXPECT_FALSE(library.IsInitialized());
        EXPECT_EQ(library.GetTransports(), 0);
    }
    for (const ftxui::Event& other :
         {ftxui::Event::Character('x'), ftxui::Event::Character('4'), ftxui::Event::Custom,
          ftxui::Event::Return, ftxui::Event::ArrowUp}) {
        EXPECT_FALSE(KXClient::HandleDashboardEvent(other, [] { FAIL() << "left the loop"; }));
    }
    EXPECT_TRUE(GetClientState().running);
    EXPECT_EQ(KXClient::PayloadSizeLabel(), "1 KB");
}

}  // namespace

namespace {

using KXClient::HistoryRecorder;

// Ten seconds of one busy transport, fed as 4 frames a second: latency rising a
// decade every few seconds, the write rate stepping up, and the peer down in the
// seventh second.
HistoryRecorder RecordedHistory() {
    HistoryRecorder history;
    const auto start = HistoryRecorder::Clock::time_point{} + std::chrono::hours(1);
    for (int second = 0; second <= 10; ++second) {
        for (int frame = 0; frame < 4; ++frame) {
            DashboardView view = SampleView();
            view.tcp.latency = second < 4 ? 5'000 : second < 8 ? 500'000 : 50'000'000;
            view.tcp.writeBytes = static_cast<uint64_t>(second) * 100'000;
            view.tcp.alive = second != 6 || frame != 2;
            history.Add(start + std::chrono::milliseconds(second * 1000 + frame * 250), view);
        }
    }
    return history;
}

TEST(ClientDashboardView, HistoryGraphsTheLastMinuteFromRecordedFigures) {
    const HistoryRecorder history = RecordedHistory();
    ASSERT_EQ(history.Tcp().size(), 10U);
    EXPECT_EQ(history.Tcp()[6].alive, false);
    EXPECT_EQ(history.Tcp()[5].latencyP50, 500'000U);

    // 60 columns inside the border: one per second, the ten recorded seconds at
    // the right end, the fifty before them blank.
    const Cells cells =
        RenderCells(KXClient::RenderTransportHistory("TCP", history.Tcp(), 62, 12), 62, 12);
    std::vector<std::string> rows;
    for (const auto& row : cells) {
        rows.push_back(Join(row));
    }
    SCOPED_TRACE(Dump(cells));
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "╭────────────────────────────────────────────────────────────╮",
                        "│TCP - last 60 s                                             │",
                        "│Latency p50 (log)                                 max 100 ms│",
                        "│                                                          ██│",
                        "│                                                      ██████│",
                        "│                                                  ██████████│",
                        "│Write Rate                                   max 878.91 KB/s│",
                        "│                                                        ▄███│",
                        "│                                                     ▄██████│",
                        "│                                                  ▄█████████│",
                        "│                                                        x   │",
                        "╰────────────────────────────────────────────────────────────╯",
                    }));
}

TEST(ClientDashboardView, HistoryFillsTheSpaceBelowThePanelsOfActiveTransports) {
    const HistoryRecorder history = RecordedHistory();
    const DashboardView view = SampleView();  // TCP and IPC active, SharedMem not
    const Cells cells = RenderCells(KXClient::RenderDashboard(view, &history, kWidth, kHeight));
    SCOPED_TRACE(Dump(cells));
    // The panels above are those of the dashboard without history.
    const Cells plain = RenderCells(KXClient::RenderDashboard(view));
    EXPECT_EQ(PanelColumn(cells, "TCP Transport", 11), PanelColumn(plain, "TCP Transport", 11));
    EXPECT_EQ(PanelColumn(cells, "SharedMem Transport", 10),
              PanelColumn(plain, "SharedMem Transport", 10));

    const auto panels = Find(cells, "TCP Transport");
    const auto tcp = Find(cells, "TCP - last 60 s");
    const auto ipc = Find(cells, "IPC - last 60 s");
    const auto footer = Find(cells, "Quit < ESC / Q / Ctrl-C >");
    ASSERT_GE(tcp.first, 0);
    EXPECT_EQ(ipc.first, tcp.first);
    EXPECT_LT(tcp.second, ipc.second);
    EXPECT_GT(tcp.first, panels.first + 10);
    EXPECT_LT(tcp.first, footer.first);
    EXPECT_EQ(Find(cells, "SharedMem - last 60 s").first, -1);
    EXPECT_GE(Find(cells, "max 100 ms").first, 0);
    EXPECT_GE(Find(cells, "max 878.91 KB/s").first, 0);
    // The graphs take the rows down to the footer's separator.
    EXPECT_NE(Join(cells[footer.first - 2]).find("\u2570"), std::string::npos);
}

TEST(ClientDashboardView, NarrowScreenWrapsTheFooterAndShortOneHidesTheHistory) {
    const HistoryRecorder history = RecordedHistory();
    const Cells narrow =
        RenderCells(KXClient::RenderDashboard(SampleView(), &history, 80, 24), 80, 24);
    SCOPED_TRACE(Dump(narrow));
    for (const char* entry :
         {"Quit < ESC / Q / Ctrl-C >", "TCP \U0001F7E2\u2705 < 1 >", "IPC \U0001F534\u2705 < 2 >",
          "SharedMem \U0001F7E2\u274C < 3 >", "Payload Size [ 100 KB ] < S >"}) {
        EXPECT_GE(Find(narrow, entry).first, 0) << entry;
    }
    EXPECT_EQ(Find(narrow, "TCP - last 60 s").first, -1);

    // Eight free rows below the panels show the history; seven do not.
    const auto shown =
        RenderCells(KXClient::RenderDashboard(SampleView(), &history, kWidth, 27), kWidth, 27);
    EXPECT_GE(Find(shown, "TCP - last 60 s").first, 0) << Dump(shown);
    const auto hidden =
        RenderCells(KXClient::RenderDashboard(SampleView(), &history, kWidth, 26), kWidth, 26);
    EXPECT_EQ(Find(hidden, "TCP - last 60 s").first, -1) << Dump(hidden);
    EXPECT_GE(Find(hidden, "Payload Size [ 100 KB ] < S >").first, 0) << Dump(hidden);
}

}  // namespace
