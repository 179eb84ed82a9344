// The connect client's dashboard in a real terminal: the client runs inside a
// private tmux server (a fixed 160x45 window), the Core peer beside it as a
// child of this test. The screen is read with capture-pane, keys are sent
// with send-keys, and what the client writes to the terminal is recorded with
// pipe-pane.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

const std::string kAlive = "\U0001F7E2";
const std::string kDead = "\U0001F534";
const std::string kActive = "\u2705";
const std::string kInactive = "\u274C";

// Runs a program to completion and returns its standard output.
std::string RunProgram(const std::string& program, const std::vector<std::string>& args) {
    kxtest::ChildProcess child;
    if (!child.Start(program, args)) {
        ADD_FAILURE() << "cannot start " << program;
        return {};
    }
    if (!child.Wait(30s)) {
        ADD_FAILURE() << program << " did not finish";
        return {};
    }
    std::string out;
    for (const auto& line : child.AllLines()) {
        out += line + "\n";
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The log lines' messages (the text after the preamble's "| ").
std::vector<std::string> LogMessages(const std::string& log) {
    std::vector<std::string> messages;
    for (const auto& line : Lines(log)) {
        const auto bar = line.find("| ");
        messages.push_back(bar == std::string::npos ? line : line.substr(bar + 2));
    }
    return messages;
}

// The uptime "(   2.072s)" of the first log line whose message is `message`.
double UptimeOf(const std::string& log, const std::string& message) {
    for (const auto& line : Lines(log)) {
        if (line.size() >= message.size() &&
            line.compare(line.size() - message.size(), message.size(), message) == 0) {
            const auto open = line.find('(');
            if (open != std::string::npos) {
                return std::stod(line.substr(open + 1));
            }
        }
    }
    return -1.0;
}

// One footer toggle: its liveness and activity marks.
struct Toggle {
    bool found = false;
    bool alive = false;
    bool active = false;
};

Toggle FindToggle(const std::string& screen, const std::string& label, const std::string& key) {
    const std::regex pattern(label + " (" + kAlive + "|" + kDead + ")(" + kActive + "|" +
                             kInactive + ") < " + key + " >");
    std::smatch match;
    Toggle toggle;
    if (std::regex_search(screen, match, pattern)) {
        toggle.found = true;
        toggle.alive = match[1] == kAlive;
        toggle.active = match[2] == kActive;
    }
    return toggle;
}

// The values of a row, one per panel, in panel order (TCP, IPC, SharedMem).
std::vector<std::string> RowValues(const std::string& screen, const std::string& label) {
    std::vector<std::string> values;
    std::string padded = label;
    padded.resize(12, ' ');
    const std::regex pattern(std::regex_replace(padded, std::regex(R"([+])"), R"(\+)") +
                             ": ([^\u2502]*?) *\u2502");
    for (const auto& line : Lines(screen)) {
        for (std::sregex_iterator it(line.begin(), line.end(), pattern), end; it != end; ++it) {
            values.push_back((*it)[1]);
        }
    }
    return values;
}

class ClientTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(KX_TMUX).empty()) {
            GTEST_SKIP() << "tmux is not installed";
        }
        socket_ = home_.Root() + "/tmux.sock";
        logPath_ = home_.DataDir() + "/kxfakeshm-connect-client.log";
        rcPath_ = home_.Root() + "/client.rc";
        panePath_ = home_.Root() + "/pane.out";
        goPath_ = home_.Root() + "/go";
        stderrPath_ = home_.Root() + "/client.err";
    }

    void TearDown() override {
        if (HasFailure()) {
            const std::string log = kxtest::ReadFile(home_.DataDir() + "/kxfakeshm-core-peer.log");
            std::cerr << "--- the end of the Core peer's log ---\n"
                      << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
        }
        if (started_) {
            Tmux({"kill-server"});
        }
        if (peer_.Pid() > 0) {
            peer_.Signal(SIGINT);
            const auto status = peer_.Wait(20s);
            if (!status.has_value()) {
                const std::string log =
                    kxtest::ReadFile(home_.DataDir() + "/kxfakeshm-core-peer.log");
                ADD_FAILURE() << "the Core peer did not stop; the end of its log:\n"
                              << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
            }
        }
        // Segments of the fixed names that the two peers may leave behind.
        for (const char* name : {"/TestBlock", "/KXFakeShmHeartbeat"}) {
            shm_unlink(name);
        }
    }

    std::string Tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {"-u", "-f", "/dev/null", "-S", socket_});
        return RunProgram(KX_TMUX, args);
    }

    // Starts the Core peer, then the client in the tmux window with `args`.
    void StartClient(const std::vector<std::string>& args) {
        ASSERT_TRUE(peer_.Start(kxtest::ProgramPath("kxfakeshm-core-peer"), {}));
        std::string command = "'" + kxtest::ProgramPath("kxfakeshm-connect-client") + "'";
        for (const auto& a : args) {
            command += " " + a;
        }
        StartInTerminal(command);
    }

    // Runs `command` in the tmux window, recording the pane's output, and waits
    // until the dashboard is up. With `shellAfter` standard error stays on the
    // terminal and an interactive shell takes the pane over once the client ends.
    void StartInTerminal(const std::string& command, bool shellAfter = false) {
        const std::string wrapper = home_.Root() + "/run-client.sh";
        // Ctrl-C reaches the whole foreground group; the wrapper outlives it to
        // record the exit status. Standard error (startup log lines, sanitizer
        // reports) goes to a file, off the dashboard's terminal.
        const std::string script =
            "#!/bin/bash\n"
            "trap : INT\n"
            "while [ ! -e '" +
            goPath_ + "' ]; do sleep 0.05; done\n" + command +
            (shellAfter ? std::string() : " 2>'" + stderrPath_ + "'") + "\n" + "echo $? > '" +
            rcPath_ + "'\n" +
            (shellAfter ? "PS1='prompt$ ' exec /bin/bash --norc --noprofile -i\n" : "");
        ASSERT_TRUE(kxtest::WriteFile(wrapper, script));
        Tmux(
            {"new-session", "-d", "-x", "160", "-y", "45", "-s", "client", "/bin/bash " + wrapper});
        started_ = true;
        Tmux({"pipe-pane", "-t", "client", "-O", "cat >> '" + panePath_ + "'"});
        ASSERT_TRUE(kxtest::WriteFile(goPath_, ""));
        ASSERT_TRUE(WaitForScreen([](const std::string& s) {
            return s.find("Quit < ESC / Q / Ctrl-C >") != std::string::npos;
        })) << Screen();
    }

    std::string Screen() { return Tmux({"capture-pane", "-p", "-t", "client"}); }

    bool WaitForScreen(const std::function<bool(const std::string&)>& condition,
                       std::chrono::milliseconds deadline = 20s) {
        return kxtest::WaitFor([&] { return condition(Screen()); }, deadline, 100ms);
    }

    void SendKey(const std::string& key) { Tmux({"send-keys", "-t", "client", key}); }

    // The client: the only child of the wrapper that runs in the pane.
    pid_t ClientPid() {
        std::string pane = Tmux({"display", "-p", "-t", "client", "#{pane_pid}"});
        pane.erase(pane.find_last_not_of("\n") + 1);
        const std::string children =
            kxtest::ReadFile("/proc/" + pane + "/task/" + pane + "/children");
        return children.empty() ? -1 : static_cast<pid_t>(std::stol(children));
    }

    std::string TransportFile() const { return home_.DataDir() + "/kxfakeshm-transport.bin"; }

    // A hang detector, not a speed check: a process that has watched a file ends
    // only once the kernel has reaped its inotify marks, which on a loaded 2-core
    // machine took up to 10 s, and the wrapper's Core peer waits for the same.
    bool WaitForExit() {
#if defined(KX_SANITIZER_BUILD)
        constexpr auto kQuitBound = 60s;
#else
        constexpr auto kQuitBound = 30s;
#endif
        return kxtest::WaitFor(
            [&] { return kxtest::ReadFile(rcPath_).find('\n') != std::string::npos; }, kQuitBound);
    }

    // Sends the quit key and checks the orderly end: exit code 0, the cursor
    // restored on the terminal, the joins and the terminations in the log.
    void QuitAndVerify(const std::string& key) {
        SendKey(key);
        VerifyOrderlyEnd(key);
    }

    // A signal from outside takes the quit key's path.
    void SignalAndVerify(int signal) {
        const pid_t client = ClientPid();
        ASSERT_GT(client, 0);
        ASSERT_EQ(::kill(client, signal), 0);
        VerifyOrderlyEnd(strsignal(signal));
        EXPECT_FALSE(kxtest::FileExists(TransportFile()));
        // The log ends with the termination lines.
        // (The log's own summaries of repeated lines may follow them.)
        std::vector<std::string> messages = LogMessages(kxtest::ReadFile(logPath_));
        while (!messages.empty() && messages.back().rfind("last message repeated", 0) == 0) {
            messages.pop_back();
        }
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), "KXLog termination has succeeded!");
    }

    void VerifyOrderlyEnd(const std::string& key) {
        // Six threads, one library call or 100 ms each, then the exits: far below
        // the bound of WaitForExit (a sanitizer build copies a 10 MB payload many
        // times slower).
        ASSERT_TRUE(WaitForExit()) << "the client did not end after " << key << "\n" << Screen();
        EXPECT_EQ(kxtest::ReadFile(rcPath_), "0\n") << kxtest::ReadFile(stderrPath_);
        const std::string stderrText = kxtest::ReadFile(stderrPath_);
        for (const char* report : {"AddressSanitizer", "ThreadSanitizer", "runtime error:"}) {
            EXPECT_EQ(stderrText.find(report), std::string::npos) << stderrText;
        }

        EXPECT_TRUE(kxtest::WaitFor([&] {
            return kxtest::ReadFile(panePath_).find("\x1b[2 q\x1b[?25h") != std::string::npos;
        })) << "cursor restore not seen on the terminal";

        const std::string log = kxtest::ReadFile(logPath_);
        const std::vector<std::string> messages = LogMessages(log);
        const std::vector<std::string> expected = {
            "Joining TUI refresher thread...",
            "Joining ipcWriteMessageThread...",
            "Joining sharedMemWriteMessageThread...",
            "Joining tcpWriteMessageThread...",
            "Joining ipcPayloadGeneratorThread...",
            "Joining sharedMemPayloadGeneratorThread...",
            "Joining tcpPayloadGeneratorThread...",
            "Attempting FakeSharedMem termination...",
            "FakeSharedMem termination has succeeded!",
            "Attempting KXLog termination...",
            "KXLog termination has succeeded!",
        };
        size_t at = 0;
        for (const auto& message : expected) {
            while (at < messages.size() && messages[at] != message) {
                ++at;
            }
            ASSERT_LT(at, messages.size()) << "missing or out of order: " << message;
            ++at;
        }
        const double quitAt = UptimeOf(log, "Joining TUI refresher thread...");
        const double joinedAt = UptimeOf(log, "Attempting FakeSharedMem termination...");
        ASSERT_GE(quitAt, 0.0);
        // Generous bound; the joins normally take about one 100 ms sleep.
        EXPECT_LT(joinedAt - quitAt, 10.0) << "the client's threads took long to end";
        RecordProperty("join_seconds", std::to_string(joinedAt - quitAt));
    }

    kxtest::ScopedTestHome home_;
    kxtest::ChildProcess peer_;
    std::string socket_;
    std::string logPath_;
    std::string rcPath_;
    std::string panePath_;
    std::string goPath_;
    std::string stderrPath_;
    bool started_ = false;
};

bool AllLinksUp(const std::string& screen) {
    for (const auto& [label, key] : std::vector<std::pair<std::string, std::string>>{
             {"TCP", "1"}, {"IPC", "2"}, {"SharedMem", "3"}}) {
        const Toggle t = FindToggle(screen, label, key);
        if (!t.alive || !t.active) {
            return false;
        }
    }
    const auto rates = RowValues(screen, "Write Rate");
    return rates.size() == 3 && rates[0] != "N/A" && rates[1] != "N/A" && rates[2] != "N/A";
}

TEST_F(ClientTerminal, DashboardShowsTheLinksAndFollowsTheKeys) {
    StartClient({"--tcp", "yes", "--ipc", "yes", "--sharedmem", "yes"});
    ASSERT_TRUE(WaitForScreen(AllLinksUp)) << Screen();

    // The Core peer receives the 1 KB payloads on every transport.
    for (const char* transport : {"tcp", "ipc", "sharedmem"}) {
        const std::string wanted = std::string("{\"transport\":\"") + transport + "\"";
        EXPECT_TRUE(kxtest::WaitFor(
            [&] {
                peer_.ReadLines();
                for (const auto& line : peer_.AllLines()) {
                    if (line.rfind(wanted, 0) == 0 &&
                        line.find("\"last_record_bytes\":1024,") != std::string::npos) {
                        return true;
                    }
                }
                return false;
            },
            20s, 100ms))
            << transport;
    }

    const std::string screen = Screen();
    const std::vector<std::string> lines = Lines(screen);
    ASSERT_EQ(lines.size(), 45U) << screen;
    const auto title = screen.find("KXFakeShm Connect Client");
    const auto tcp = screen.find("TCP Transport");
    const auto ipc = screen.find("IPC Transport");
    const auto shm = screen.find("SharedMem Transport");
    const auto footer = screen.find("Quit < ESC / Q / Ctrl-C > | TCP ");
    ASSERT_NE(title, std::string::npos) << screen;
    EXPECT_LT(title, tcp);
    EXPECT_LT(tcp, ipc);
    EXPECT_LT(ipc, shm);
    EXPECT_LT(shm, footer);
    EXPECT_NE(footer, std::string::npos) << screen;
    EXPECT_NE(screen.find(" | Payload Size [ 1 KB ] < S >"), std::string::npos) << screen;
    // The three panels side by side on one line.
    EXPECT_EQ(screen.rfind('\n', tcp), screen.rfind('\n', shm));
    for (const char* label :
         {"Latency", "Smoothed", "Block", "Address", "Preview", "Write Rate", "Read Rate"}) {
        EXPECT_EQ(RowValues(screen, label).size(), 3U) << label << "\n" << screen;
    }
    EXPECT_EQ(RowValues(screen, "Write + Meta").size(), 2U) << screen;
    EXPECT_EQ(RowValues(screen, "Read + Meta").size(), 2U) << screen;
    EXPECT_EQ(RowValues(screen, "Block"),
              (std::vector<std::string>{"TestBlock", "TestBlock", "TestBlock"}));
    for (const auto& preview : RowValues(screen, "Preview")) {
        EXPECT_TRUE(std::regex_match(preview, std::regex("[0-9A-Za-z]{16}"))) << preview;
    }

    // Below the panels, the last minute of every active transport; its graphs
    // move as seconds pass.
    const auto history = screen.find("TCP - last 60 s");
    EXPECT_NE(history, std::string::npos) << screen;
    EXPECT_LT(shm, history);
    EXPECT_LT(history, footer);
    EXPECT_EQ(screen.rfind('\n', history),
              screen.rfind('\n', screen.find("SharedMem - last 60 s")));
    auto graphs = [](const std::string& s) {
        const auto from = s.find("TCP - last 60 s");
        return from == std::string::npos ? std::string() : s.substr(from, s.rfind("Quit <") - from);
    };
    const std::string before = graphs(screen);
    EXPECT_TRUE(WaitForScreen([&](const std::string& s) { return graphs(s) != before; }))
        << Screen();

    // S walks the sizes and returns to the first.
    for (const char* label : {"10 KB", "100 KB", "1 MB", "10 MB", "1 KB"}) {
        SendKey("S");
        EXPECT_TRUE(WaitForScreen([&](const std::string& s) {
            return s.find(std::string("Payload Size [ ") + label + " ] < S >") != std::string::npos;
        })) << label
            << "\n"
            << Screen();
    }

    // 1 switches TCP off; the activity mark follows, the others stay on.
    SendKey("1");
    EXPECT_TRUE(WaitForScreen([](const std::string& s) {
        const Toggle t = FindToggle(s, "TCP", "1");
        return t.found && !t.active && !t.alive;
    })) << Screen();
    EXPECT_TRUE(FindToggle(Screen(), "IPC", "2").active);
    EXPECT_TRUE(FindToggle(Screen(), "SharedMem", "3").active);
    // And on again: active at once, alive once the Core peer has followed.
    SendKey("1");
    EXPECT_TRUE(WaitForScreen([](const std::string& s) {
        const Toggle t = FindToggle(s, "TCP", "1");
        return t.active && t.alive;
    })) << Screen();

    // At 80x24 the footer wraps and keeps every key.
    Tmux({"resize-window", "-t", "client", "-x", "80", "-y", "24"});
    EXPECT_TRUE(WaitForScreen([](const std::string& s) {
        return Lines(s).size() == 24U && s.find("Quit < ESC / Q / Ctrl-C >") != std::string::npos &&
               FindToggle(s, "TCP", "1").found && FindToggle(s, "IPC", "2").found &&
               FindToggle(s, "SharedMem", "3").found &&
               s.find("Payload Size [ 1 KB ] < S >") != std::string::npos;
    })) << Screen();

    QuitAndVerify("Q");
}

TEST_F(ClientTerminal, HangUpTakesTheQuitPath) {
    StartClient({});
    SignalAndVerify(SIGHUP);
}

// A terminal closed while the session's leader catches the hang-up (as make does)
// sends the client no SIGHUP: its input only reads end of file from then on. It
// takes the quit path all the same, instead of spinning on for ever.
TEST_F(ClientTerminal, TerminalClosedWithoutAHangUpSignalTakesTheQuitPath) {
    ASSERT_TRUE(peer_.Start(kxtest::ProgramPath("kxfakeshm-core-peer"), {}));
    StartInTerminal("trap : HUP; '" + kxtest::ProgramPath("kxfakeshm-connect-client") + "'");
    ASSERT_TRUE(kxtest::WaitFor([&] { return kxtest::FileExists(TransportFile()); }));
    const pid_t client = ClientPid();
    ASSERT_GT(client, 0);
    Tmux({"kill-server"});
    started_ = false;
    const bool ended = WaitForExit();
    if (!ended) {
        ::kill(client, SIGKILL);
    }
    ASSERT_TRUE(ended) << "the client did not end when its terminal went away";
    EXPECT_EQ(kxtest::ReadFile(rcPath_), "0\n") << kxtest::ReadFile(stderrPath_);
    EXPECT_FALSE(kxtest::FileExists(TransportFile()));
}

// A read of the terminal that fails (a terminal being closed, before its hang-up
// is complete; here: a background process group that may not read it) is no input
// to the dashboard, which keeps running and quits in order. FTXUI's listener took
// the failure's -1 for a length and read off its buffer until the client crashed.
TEST_F(ClientTerminal, AFailedReadOfTheTerminalIsNoInput) {
    ASSERT_TRUE(peer_.Start(kxtest::ProgramPath("kxfakeshm-core-peer"), {}));
    StartInTerminal("set -m; trap '' TTIN TTOU; '" +
                    kxtest::ProgramPath("kxfakeshm-connect-client") + "' & wait $!");
    SendKey("x");
    const auto redrawn = [&] { return kxtest::ReadFile(panePath_).size(); };
    const size_t before = redrawn();
    EXPECT_TRUE(kxtest::WaitFor([&] { return redrawn() > before; })) << "no redraw after the key";
    SignalAndVerify(SIGTERM);
}

TEST_F(ClientTerminal, TerminateTakesTheQuitPath) {
    StartClient({});
    SignalAndVerify(SIGTERM);
}

// A toggle that cannot bring IPC up (a directory where its socket goes) is fatal;
// the shell gets its terminal back with the reason, and no transport file stays.
TEST_F(ClientTerminal, FatalErrorHandsTheTerminalBackToTheShell) {
    ASSERT_TRUE(peer_.Start(kxtest::ProgramPath("kxfakeshm-core-peer"), {}));
    StartInTerminal("'" + kxtest::ProgramPath("kxfakeshm-connect-client") + "' --tcp yes", true);
    ASSERT_TRUE(WaitForScreen([](const std::string& s) {
        return FindToggle(s, "TCP", "1").active;
    })) << Screen();
    ASSERT_TRUE(kxtest::FileExists(TransportFile()));
    ASSERT_EQ(::mkdir((home_.RuntimeDir() + "/Kelvanorix").c_str(), 0700), 0);
    SendKey("2");
    ASSERT_TRUE(WaitForExit()) << Screen();
    EXPECT_NE(kxtest::ReadFile(rcPath_), "0\n");
    const std::string fatal = "FakeSharedMem reconfiguration has failed: ";
    EXPECT_TRUE(WaitForScreen([&](const std::string& s) {
        return s.find(fatal) != std::string::npos && s.find("\nprompt$") != std::string::npos;
    })) << Screen();
    // Once, not with the operation named twice.
    const std::string screen = Screen();
    EXPECT_EQ(screen.find(fatal + fatal), std::string::npos) << screen;
    EXPECT_EQ(Tmux({"display", "-p", "-t", "client", "#{alternate_on} #{cursor_flag}"}), "0 1\n");
    EXPECT_FALSE(kxtest::FileExists(TransportFile()));
}

TEST_F(ClientTerminal, CtrlCQuitsInOrderWithTenMegabytePayloadsInFlight) {
    StartClient({"--tcp", "yes", "--ipc", "yes", "--sharedmem", "yes"});
    ASSERT_TRUE(WaitForScreen(AllLinksUp)) << Screen();
    for (int press = 0; press < 4; ++press) {
        SendKey("s");
    }
    ASSERT_TRUE(WaitForScreen([](const std::string& s) {
        return s.find("Payload Size [ 10 MB ] < S >") != std::string::npos;
    })) << Screen();
    // Wait until the big payloads have been written on every transport (a 10 MB
    // payload per write: megabytes per second). Each one in its own screen: on a
    // slow machine a link's rate window can be empty between two 10 MB writes, so
    // the three need not show a rate at the same moment.
    std::array<bool, 3> written{};
    EXPECT_TRUE(WaitForScreen([&written](const std::string& s) {
        const auto rates = RowValues(s, "Write Rate");
        for (size_t i = 0; i < rates.size() && i < written.size(); ++i) {
            written[i] = written[i] || rates[i].find("MB/s") != std::string::npos;
        }
        return written[0] && written[1] && written[2];
    })) << Screen();
    QuitAndVerify("C-c");
}

TEST_F(ClientTerminal, SharedMemOnlyRefusesToSwitchTheLastTransportOff) {
    StartClient({});
    ASSERT_TRUE(WaitForScreen([](const std::string& s) {
        const Toggle shm = FindToggle(s, "SharedMem", "3");
        return shm.alive && shm.active;
    })) << Screen();
    const Toggle tcpBefore = FindToggle(Screen(), "TCP", "1");
    const Toggle ipcBefore = FindToggle(Screen(), "IPC", "2");
    EXPECT_FALSE(tcpBefore.active);
    EXPECT_FALSE(ipcBefore.active);

    SendKey("3");
    // Keys are handled in order: once the size has moved, 3 has been handled.
    SendKey("s");
    ASSERT_TRUE(WaitForScreen([](const std::string& s) {
        return s.find("Payload Size [ 10 KB ] < S >") != std::string::npos;
    })) << Screen();
    const std::string after = Screen();
    EXPECT_TRUE(FindToggle(after, "SharedMem", "3").active) << after;
    EXPECT_FALSE(FindToggle(after, "TCP", "1").active) << after;
    EXPECT_FALSE(FindToggle(after, "IPC", "2").active) << after;
    // The log reaches its file within its flush period.
    const std::string refused =
        "FakeSharedMem reconfiguration has been aborted: at least one transport must be active!";
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return kxtest::ReadFile(logPath_).find(refused) != std::string::npos;
    })) << "no refusal in the log";
    EXPECT_EQ(kxtest::ReadFile(logPath_).find("Reconfiguring FakeSharedMem..."), std::string::npos);

    QuitAndVerify("Escape");
}

// The README's `make run`: the script starts a Core peer beside the client, and
// stops it when the client ends.
TEST_F(ClientTerminal, RunClientScriptPairsTheClientWithACorePeer) {
    StartInTerminal("'" KX_SOURCE_DIR "/scripts/run-client' '" KX_BUILD_DIR "'");
    ASSERT_TRUE(WaitForScreen(AllLinksUp)) << Screen();
    // The client owns the terminal: Ctrl-C reaches it, not the peer.
    QuitAndVerify("C-c");
    const std::string stderrText = kxtest::ReadFile(stderrPath_);
    EXPECT_EQ(stderrText.find("run-client:"), std::string::npos) << stderrText;
}

}  // namespace
