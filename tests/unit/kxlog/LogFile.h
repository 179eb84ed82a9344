#pragma once

// Reading back what the log wrote: lines split into the preamble's fields.

#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"

// GCC 12 reports false -Wmaybe-uninitialized inside <regex> in sanitizer builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif

namespace kxlogtest {

struct LogLine {
    std::string date;    // YYYY-MM-DD
    std::string time;    // HH:MM:SS.mmm
    std::string uptime;  // the %8.3f field without "s"
    std::string thread;  // the 16 columns between the brackets
    std::string file;    // the 23 columns before ':'
    std::string line;    // the 5 columns after ':'
    std::string level;   // the 5 columns before '|'
    std::string message;
};

inline std::optional<LogLine> ParseLine(const std::string& text) {
    static const std::regex kPreamble(
        R"(^(\d{4}-\d{2}-\d{2}) (\d{2}:\d{2}:\d{2}\.\d{3}) \(([ 0-9]{3}[0-9]\.[0-9]{3})s\) )"
        R"(\[(.{16})\] (.{23}):(.{5}) (.{5})\| (.*)$)");
    std::smatch m;
    if (!std::regex_match(text, m, kPreamble)) {
        return std::nullopt;
    }
    return LogLine{m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]};
}

inline bool FullMatch(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

inline std::vector<std::string> ReadLines(const std::string& path) {
    const std::string content = kxtest::ReadFile(path);
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < content.size()) {
        size_t end = content.find('\n', begin);
        if (end == std::string::npos) {
            end = content.size();
        }
        lines.push_back(content.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

// Every line of the file parsed; a line that does not match the preamble is an error.
inline std::vector<LogLine> ReadLog(const std::string& path, std::string& badLine) {
    std::vector<LogLine> parsed;
    badLine.clear();
    for (const auto& text : ReadLines(path)) {
        auto line = ParseLine(text);
        if (!line) {
            badLine = text;
            return {};
        }
        parsed.push_back(*line);
    }
    return parsed;
}

inline std::string Padded(const std::string& text, size_t width, bool right) {
    if (text.size() >= width) {
        return text;
    }
    const std::string pad(width - text.size(), ' ');
    return right ? pad + text : text + pad;
}

}  // namespace kxlogtest
