#pragma once

// The process log. Every component logs through KXLOG(verbosity, format, args...):
// the line is formatted only when the verbosity passes the current cut-off (the
// largest of the sinks' cut-offs). Verbosities follow the classic integer model:
// FATAL -3, ERROR -2, WARNING -1, INFO 0, 1..9 for detail; -9 switches a sink off.
// Lines at ERROR and above are flushed as they are written, the others every 100 ms.
// A FATAL line is written, the sinks are flushed and the process aborts; a FATAL
// always aborts, even when every sink is switched off.

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kxlog {

enum Verbosity : int {
    kOff = -9,
    kFatal = -3,
    kError = -2,
    kWarning = -1,
    kInfo = 0,
    kMax = 9,
};

struct RepeatState;

// One per logging statement (a static in the macro): where the line comes from,
// plus the state the repeat suppression keeps for that call site.
struct CallSite {
    // Parentheses in the macro keep it usable inside other macros' arguments.
    constexpr CallSite(std::string_view sourceFile, unsigned sourceLine) noexcept
        : file(sourceFile), line(sourceLine) {}

    std::string_view file;  // source path within the tree, without extension
    unsigned line;
    std::atomic<uint64_t> repeats{0};    // repeats not yet reported
    std::atomic<RepeatState*> repeat{};  // last text and its lock, made on first use
};

// Cuts the extension off the compiler's file name at compile time; the build
// maps the source root away, so what remains is e.g. "kxfakeshm/FakeSharedMem".
constexpr std::string_view SourcePath(std::string_view file) {
    const auto slash = file.rfind('/');
    const auto dot = file.rfind('.');
    if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
        return file.substr(0, dot);
    }
    return file;
}

// The largest cut-off of all sinks; lines above it are not even formatted.
int CurrentCutoff() noexcept;

int GetStderrVerbosity() noexcept;
void SetStderrVerbosity(int verbosity) noexcept;

// Adds a file sink in append mode with its own cut-off. False (and `error`) when
// the file cannot be opened.
bool AddFile(const std::string& path, int verbosity, std::string& error);

// Thread names of at most 16 characters for the log (the OS name keeps 15).
void SetThreadName(std::string_view name);
std::string GetThreadName();

// Parses "-v N", "-v=N", "-vN" and the names INFO, WARNING, ERROR, FATAL, OFF
// from a copy of the arguments and sets the standard-error cut-off from it.
void ApplyVerbosityFlag(int argc, const char* const* argv);

// Reports pending repeat counts and flushes every sink.
void Flush();

// Back to the log of a process that has just started: every file sink dropped,
// pending repeat counts discarded unreported, standard error at INFO, and the
// calling thread without a name. For test programs that run their cases one
// after another in one process; only while no other thread logs.
void ResetForTests();

// Writes one line (already formatted) with the preamble. Aborts on FATAL. An ERROR or
// WARNING that repeats a text of its call site within a second of its last
// occurrence is counted instead and reported as "last message repeated N times".
void Write(int verbosity, CallSite& site, std::string_view message);

}  // namespace kxlog

#define KXLOG(verbosity, ...)                                                                    \
    do {                                                                                         \
        const int kxlogVerbosity_ = (verbosity);                                                 \
        if (kxlogVerbosity_ <= ::kxlog::CurrentCutoff() || kxlogVerbosity_ <= ::kxlog::kFatal) { \
            static ::kxlog::CallSite kxlogSite_(::kxlog::SourcePath(__FILE__), __LINE__);        \
            ::kxlog::Write(kxlogVerbosity_, kxlogSite_, ::fmt::format(__VA_ARGS__));             \
        }                                                                                        \
    } while (false)

#define KXLOG_FATAL(...) KXLOG(::kxlog::kFatal, __VA_ARGS__)
#define KXLOG_ERROR(...) KXLOG(::kxlog::kError, __VA_ARGS__)
#define KXLOG_WARNING(...) KXLOG(::kxlog::kWarning, __VA_ARGS__)
#define KXLOG_INFO(...) KXLOG(::kxlog::kInfo, __VA_ARGS__)
