#include "kxlog/KXLog.h"

#include <pthread.h>
#include <unistd.h>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

#include "kxcommon/HybridMutex.h"

namespace kxlog {

// One text seen recently at a call site.
struct RepeatEntry {
    std::string text;
    int verbosity = 0;
    bool used = false;
    int64_t lastNs = 0;         // last occurrence
    int64_t windowStartNs = 0;  // when this text's last full line or count was written
    uint64_t pending = 0;       // occurrences not written yet
};

// Everything a call site needs to collapse repeats. Owned by the registry in State
// and never freed, so a call site may point at it for the life of the process.
// A call site keeps a few texts, not only the last: one statement shared by the
// IPC and TCP paths alternates between their texts and must collapse as well.
struct RepeatState {
    explicit RepeatState(CallSite& s) : site(&s) {}
    KXCommon::HybridMutex mutex;
    CallSite* const site;
    std::array<RepeatEntry, 4> entries;
    const RepeatEntry* lastWritten = nullptr;  // whose text the site wrote last
    uint64_t pending = 0;                      // sum over entries; mirrored in site->repeats
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kCollapseWindowNs = 1'000'000'000;
constexpr auto kFlushInterval = std::chrono::milliseconds(100);
constexpr size_t kThreadNameLength = 16;
constexpr size_t kOsThreadNameLength = 15;
constexpr size_t kSourceColumns = 23;

// Constant-initialised, so usable before any dynamic initialisation has run.
std::atomic<int> g_cutoff{kInfo};
std::atomic<int> g_stderrVerbosity{kInfo};
// Set once the flusher has stopped at process exit: from then on every line is flushed.
std::atomic<bool> g_flushEachLine{false};

thread_local char t_threadName[kThreadNameLength + 1] = {};

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

int64_t ProcessStartNs() {
    static const int64_t start = SteadyNs();
    return start;
}

// Pins the uptime origin during static initialisation, i.e. at process start.
[[maybe_unused]] const int64_t g_processStart = ProcessStartNs();

int Clamp(int verbosity) {
    return std::clamp(verbosity, static_cast<int>(kOff), static_cast<int>(kMax));
}

bool Admits(int cutoff, int verbosity) {
    return cutoff > kOff && verbosity <= cutoff;
}

struct FileSink {
    FileSink(std::string p, std::shared_ptr<spdlog::sinks::sink> s, int c)
        : path(std::move(p)), sink(std::move(s)), cutoff(c) {}
    const std::string path;
    const std::shared_ptr<spdlog::sinks::sink> sink;
    std::atomic<int> cutoff;
};

struct State {
    State() : stderrSink(std::make_shared<spdlog::sinks::stderr_sink_mt>()) {
        stderrSink->set_pattern("%v");
    }

    const std::shared_ptr<spdlog::sinks::sink> stderrSink;  // cut-off in g_stderrVerbosity

    // Guards the list of file sinks and serialises cut-off changes.
    KXCommon::HybridSharedMutex sinksMutex;
    std::vector<std::unique_ptr<FileSink>> files;

    // Guards the registry; taken before no other lock of this file.
    KXCommon::HybridMutex repeatsMutex;
    std::vector<std::unique_ptr<RepeatState>> repeats;
};

State& Core() {
    // Never destroyed: threads that outlive main and static destructors may still log.
    static State* const state = new State();
    return *state;
}

void RecomputeCutoffLocked(State& state) {
    int cutoff = g_stderrVerbosity.load(std::memory_order_relaxed);
    for (const auto& file : state.files) {
        cutoff = std::max(cutoff, file->cutoff.load(std::memory_order_relaxed));
    }
    g_cutoff.store(cutoff, std::memory_order_relaxed);
}

std::string_view ThreadNameView() {
    if (t_threadName[0] == '\0') {
        std::snprintf(t_threadName, sizeof(t_threadName), "%ld", static_cast<long>(gettid()));
    }
    return t_threadName;
}

// localtime_r takes a process-wide lock; a line per second per thread is enough.
constexpr std::time_t kNoSecond = std::numeric_limits<std::time_t>::min();
thread_local std::time_t t_localSeconds = kNoSecond;
thread_local std::tm t_localTime{};

const std::tm& LocalTime(std::time_t seconds) {
    if (seconds != t_localSeconds) {
        localtime_r(&seconds, &t_localTime);
        t_localSeconds = seconds;
    }
    return t_localTime;
}

void AppendLevel(fmt::memory_buffer& out, int verbosity) {
    switch (verbosity) {
        case kFatal:
            fmt::format_to(std::back_inserter(out), "{:>5}", "FATL");
            return;
        case kError:
            fmt::format_to(std::back_inserter(out), "{:>5}", "ERR");
            return;
        case kWarning:
            fmt::format_to(std::back_inserter(out), "{:>5}", "WARN");
            return;
        case kInfo:
            fmt::format_to(std::back_inserter(out), "{:>5}", "INFO");
            return;
        default:
            fmt::format_to(std::back_inserter(out), "{:>5}", verbosity);
            return;
    }
}

void FormatLine(fmt::memory_buffer& out, int verbosity, std::string_view file, unsigned line,
                std::string_view message) {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::tm& tm = LocalTime(static_cast<std::time_t>(seconds.count()));
    const double uptime = static_cast<double>(SteadyNs() - ProcessStartNs()) / 1e9;
    if (file.size() > kSourceColumns) {
        file.remove_prefix(file.size() - kSourceColumns);
    }
    fmt::format_to(std::back_inserter(out),
                   "{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} ({:8.3f}s) [{:<16}] {:>23}:{:<5} ",
                   tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                   millis, uptime, ThreadNameView(), file, line);
    AppendLevel(out, verbosity);
    out.append(std::string_view("| "));
    out.append(message);
}

spdlog::level::level_enum SpdlogLevel(int verbosity) {
    if (verbosity <= kFatal) {
        return spdlog::level::critical;
    }
    if (verbosity == kError) {
        return spdlog::level::err;
    }
    if (verbosity == kWarning) {
        return spdlog::level::warn;
    }
    return verbosity == kInfo ? spdlog::level::info : spdlog::level::debug;
}

void LogTo(spdlog::sinks::sink& sink, const spdlog::details::log_msg& msg, bool flush) {
    try {
        sink.log(msg);
        if (flush) {
            sink.flush();
        }
    } catch (...) {
        // A sink that cannot write (disk full, closed terminal) must not take the caller down.
    }
}

// Formats the line once and hands it to every sink whose cut-off admits it; each
// sink writes a whole line under its own lock. True when some sink took it.
bool Emit(int verbosity, std::string_view file, unsigned line, std::string_view message,
          bool forceStderr = false) {
    State& state = Core();
    fmt::memory_buffer buffer;
    FormatLine(buffer, verbosity, file, line, message);
    const spdlog::details::log_msg msg(spdlog::string_view_t(), SpdlogLevel(verbosity),
                                       spdlog::string_view_t(buffer.data(), buffer.size()));
    // A line at ERROR or above may be the last one before the process dies; it must
    // be in the file by then, not in a buffer the 100 ms flusher has yet to empty.
    const bool flush = verbosity <= kError || g_flushEachLine.load(std::memory_order_relaxed);
    bool written = false;
    std::shared_lock lock(state.sinksMutex);
    if (forceStderr || Admits(g_stderrVerbosity.load(std::memory_order_relaxed), verbosity)) {
        LogTo(*state.stderrSink, msg, flush);
        written = true;
    }
    for (const auto& entry : state.files) {
        if (Admits(entry->cutoff.load(std::memory_order_relaxed), verbosity)) {
            LogTo(*entry->sink, msg, flush);
            written = true;
        }
    }
    return written;
}

void FlushSinks() {
    State& state = Core();
    std::shared_lock lock(state.sinksMutex);
    try {
        state.stderrSink->flush();
    } catch (...) {
    }
    for (const auto& entry : state.files) {
        try {
            entry->sink->flush();
        } catch (...) {
        }
    }
}

RepeatState& RepeatStateOf(CallSite& site) {
    if (RepeatState* existing = site.repeat.load(std::memory_order_acquire)) {
        return *existing;
    }
    State& state = Core();
    std::lock_guard lock(state.repeatsMutex);
    if (RepeatState* existing = site.repeat.load(std::memory_order_acquire)) {
        return *existing;
    }
    auto made = std::make_unique<RepeatState>(site);
    RepeatState* raw = made.get();
    state.repeats.push_back(std::move(made));
    site.repeat.store(raw, std::memory_order_release);
    return *raw;
}

// Writes the pending count of one text. A count follows the text it is about: if
// the site wrote another text since, the text is written again first and stands
// for one of the pending occurrences. Caller holds repeat.mutex.
void ReportEntryLocked(RepeatState& repeat, RepeatEntry& entry, int64_t nowNs) {
    if (entry.pending == 0) {
        return;
    }
    uint64_t count = entry.pending;
    const CallSite& site = *repeat.site;
    if (repeat.lastWritten != &entry) {
        Emit(entry.verbosity, site.file, site.line, entry.text);
        repeat.lastWritten = &entry;
        --count;
    }
    if (count > 0) {
        Emit(entry.verbosity, site.file, site.line,
             fmt::format("last message repeated {} times", count));
    }
    repeat.pending -= entry.pending;
    entry.pending = 0;
    entry.windowStartNs = nowNs;
    repeat.site->repeats.store(repeat.pending, std::memory_order_relaxed);
}

// Writes the counts of every text of the site (`dueOnly`: of those whose window
// has run for a second), the last written text first. Caller holds repeat.mutex.
void ReportSiteLocked(RepeatState& repeat, int64_t nowNs, bool dueOnly) {
    auto due = [&](const RepeatEntry& e) {
        return e.pending > 0 && (!dueOnly || nowNs - e.windowStartNs >= kCollapseWindowNs);
    };
    for (RepeatEntry& entry : repeat.entries) {
        if (&entry == repeat.lastWritten && due(entry)) {
            ReportEntryLocked(repeat, entry, nowNs);
        }
    }
    for (RepeatEntry& entry : repeat.entries) {
        if (due(entry)) {
            ReportEntryLocked(repeat, entry, nowNs);
        }
    }
}

// Reports the pending counts of all call sites (`all`) or of the texts whose window
// has run for a second.
void ReportRepeats(bool all) {
    std::vector<RepeatState*> sites;
    {
        State& state = Core();
        std::lock_guard lock(state.repeatsMutex);
        sites.reserve(state.repeats.size());
        for (const auto& repeat : state.repeats) {
            sites.push_back(repeat.get());
        }
    }
    for (RepeatState* repeat : sites) {
        if (repeat->site->repeats.load(std::memory_order_relaxed) == 0) {
            continue;
        }
        std::lock_guard lock(repeat->mutex);
        ReportSiteLocked(*repeat, SteadyNs(), !all);
    }
}

void WriteCollapsing(int verbosity, CallSite& site, std::string_view message) {
    RepeatState& repeat = RepeatStateOf(site);
    std::lock_guard lock(repeat.mutex);
    const int64_t now = SteadyNs();
    for (RepeatEntry& entry : repeat.entries) {
        if (entry.used && entry.verbosity == verbosity && now - entry.lastNs < kCollapseWindowNs &&
            entry.text == message) {
            entry.lastNs = now;
            ++entry.pending;
            ++repeat.pending;
            site.repeats.store(repeat.pending, std::memory_order_relaxed);
            if (now - entry.windowStartNs >= kCollapseWindowNs) {
                ReportEntryLocked(repeat, entry, now);
            }
            return;
        }
    }
    // A text not seen here within the second: the counts so far go out first, so
    // that the log keeps the order of events; then the text, in the slot of the
    // text seen longest ago.
    ReportSiteLocked(repeat, now, false);
    RepeatEntry* slot = &repeat.entries[0];
    for (RepeatEntry& entry : repeat.entries) {
        if (!entry.used || entry.lastNs < slot->lastNs) {
            slot = &entry;
            if (!entry.used) {
                break;
            }
        }
    }
    Emit(verbosity, site.file, site.line, message);
    slot->text.assign(message);
    slot->verbosity = verbosity;
    slot->used = true;
    slot->lastNs = now;
    slot->windowStartNs = now;
    slot->pending = 0;
    repeat.lastWritten = slot;
}

[[noreturn]] void WriteFatal(CallSite& site, std::string_view message) noexcept {
    try {
        ReportRepeats(true);
        if (!Emit(kFatal, site.file, site.line, message)) {
            // Every sink is off; the reason for the abort still has to be seen somewhere.
            Emit(kFatal, site.file, site.line, message, true);
        }
        FlushSinks();
    } catch (...) {
    }
    std::abort();
}

// Owns the background thread that flushes the sinks and reports due repeat counts.
// A function-local static: joined at process exit, after which Emit flushes itself.
class Flusher {
  public:
    Flusher()
        : ownerPid_(getpid()),
          thread_(std::make_unique<std::jthread>([this](std::stop_token stop) { Run(stop); })) {}

    ~Flusher() {
        if (getpid() != ownerPid_) {
            // A forked child has no flusher thread; joining (or detaching) its copied
            // handle would hang or throw, so the handle is left alone.
            static_cast<void>(thread_.release());
            return;
        }
        thread_->request_stop();
        thread_->join();
        g_flushEachLine.store(true, std::memory_order_relaxed);
        ReportRepeats(true);
        FlushSinks();
    }

    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;

  private:
    void Run(std::stop_token stop) {
        SetThreadName("log flusher");
        std::unique_lock lock(mutex_);
        while (!stop.stop_requested()) {
            wake_.wait_for(lock, stop, kFlushInterval, [] { return false; });
            lock.unlock();
            ReportRepeats(false);
            FlushSinks();
            lock.lock();
        }
    }

    KXCommon::HybridMutex mutex_;
    std::condition_variable_any wake_;
    const pid_t ownerPid_;
    std::unique_ptr<std::jthread> thread_;  // last: starts once the members above exist
};

State& S() {
    State& state = Core();
    static Flusher flusher;
    return state;
}

}  // namespace

int CurrentCutoff() noexcept {
    return g_cutoff.load(std::memory_order_relaxed);
}

int GetStderrVerbosity() noexcept {
    return g_stderrVerbosity.load(std::memory_order_relaxed);
}

void SetStderrVerbosity(int verbosity) noexcept {
    try {
        State& state = S();
        std::unique_lock lock(state.sinksMutex);
        g_stderrVerbosity.store(Clamp(verbosity), std::memory_order_relaxed);
        RecomputeCutoffLocked(state);
    } catch (...) {
        // Only a broken lock throws here; the cut-offs stay as they were.
    }
}

bool AddFile(const std::string& path, int verbosity, std::string& error) {
    error.clear();
    try {
        State& state = S();
        std::unique_lock lock(state.sinksMutex);
        for (const auto& entry : state.files) {
            if (entry->path == path) {
                // A second sink on one file would write every line twice.
                entry->cutoff.store(Clamp(verbosity), std::memory_order_relaxed);
                RecomputeCutoffLocked(state);
                return true;
            }
        }
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
        sink->set_pattern("%v");
        state.files.push_back(std::make_unique<FileSink>(path, std::move(sink), Clamp(verbosity)));
        RecomputeCutoffLocked(state);
        return true;
    } catch (const std::exception& e) {
        error = fmt::format("Failed to open the log file {}: {}", path, e.what());
    } catch (...) {
        error = fmt::format("Failed to open the log file {}: Unknown error!", path);
    }
    return false;
}

void SetThreadName(std::string_view name) {
    const size_t length = std::min(name.size(), kThreadNameLength);
    std::memcpy(t_threadName, name.data(), length);
    t_threadName[length] = '\0';
    std::array<char, kOsThreadNameLength + 1> osName{};
    std::memcpy(osName.data(), t_threadName,
                std::min(std::strlen(t_threadName), kOsThreadNameLength));
    pthread_setname_np(pthread_self(), osName.data());
}

std::string GetThreadName() {
    return std::string(ThreadNameView());
}

namespace {

bool VerbosityFromText(const char* text, int& verbosity) {
    static constexpr std::pair<const char*, int> kNames[] = {
        {"OFF", kOff}, {"INFO", kInfo}, {"WARNING", kWarning}, {"ERROR", kError}, {"FATAL", kFatal},
    };
    for (const auto& [name, value] : kNames) {
        if (std::strcmp(text, name) == 0) {
            verbosity = value;
            return true;
        }
    }
    if (*text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') {
        return false;
    }
    verbosity = Clamp(static_cast<int>(std::clamp<long>(number, kOff, kMax)));
    return true;
}

}  // namespace

void ApplyVerbosityFlag(int argc, const char* const* argv) {
    if (argv == nullptr) {
        return;
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            break;
        }
        // "-v", "-v=N", "-vN"; "-verbose" and the like are someone else's options.
        if (std::strncmp(arg, "-v", 2) != 0 || std::isalpha(static_cast<unsigned char>(arg[2]))) {
            continue;
        }
        const char* value = arg + 2;
        if (*value == '\0') {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                KXLOG_WARNING("Missing verbosity level after -v");
                return;
            }
            value = argv[++i];
        }
        if (*value == '=') {
            ++value;
        }
        int verbosity = 0;
        if (!VerbosityFromText(value, verbosity)) {
            KXLOG_WARNING(
                "Invalid verbosity. Expected integer, INFO, WARNING, ERROR or OFF, got '{}'",
                value);
            continue;
        }
        SetStderrVerbosity(verbosity);
    }
}

void Flush() {
    try {
        S();
        ReportRepeats(true);
        FlushSinks();
    } catch (...) {
    }
}

void ResetForTests() {
    try {
        State& state = S();
        FlushSinks();
        std::vector<RepeatState*> sites;
        {
            std::lock_guard lock(state.repeatsMutex);
            for (const auto& repeat : state.repeats) {
                sites.push_back(repeat.get());
            }
        }
        for (RepeatState* repeat : sites) {
            std::lock_guard lock(repeat->mutex);
            repeat->entries = {};
            repeat->lastWritten = nullptr;
            repeat->pending = 0;
            repeat->site->repeats.store(0, std::memory_order_relaxed);
        }
        {
            std::unique_lock lock(state.sinksMutex);
            state.files.clear();
            g_stderrVerbosity.store(kInfo, std::memory_order_relaxed);
            RecomputeCutoffLocked(state);
        }
        t_threadName[0] = '\0';
        // A test may have changed TZ within the second of the cached time.
        t_localSeconds = kNoSecond;
    } catch (...) {
        // Only a broken lock throws here.
    }
}

void Write(int verbosity, CallSite& site, std::string_view message) {
    if (verbosity <= kFatal) {
        WriteFatal(site, message);
    }
    try {
        if (verbosity > CurrentCutoff()) {
            return;
        }
        S();
        if (verbosity == kError || verbosity == kWarning) {
            WriteCollapsing(verbosity, site, message);
        } else {
            Emit(verbosity, site.file, site.line, message);
        }
    } catch (...) {
        // Logging never throws into the caller.
    }
}

}  // namespace kxlog
