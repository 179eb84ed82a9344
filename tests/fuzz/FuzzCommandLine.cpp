// The command-line grammar: the input is split at NUL bytes into an argument
// vector (argv[0] first) and run through the shared splitter, the typed value
// parsers and the client's option table.

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "FuzzSupport.h"
#include "kxcommon/CommandLine.h"
#include "kxfakeshm/Tuning.h"
#include "tests/kxfakeshm-connect-client/ClientCommandLine.h"

namespace {

// The typed parsers against the standard conversion: the whole text, decimal only.
template <typename T>
void CheckNumber(std::string_view text, bool parsed, T value) {
    T expected{};
    const bool plain = !text.empty() && text.front() != '+' &&
                       !(text.size() > 1 && text[0] == '-' && text[1] == '+');
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), expected, 10);
    const bool standard = plain && ec == std::errc() && end == text.data() + text.size() &&
                          !(text.size() == 1 && text[0] == '-');
    if (parsed != standard || (parsed && value != expected)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kxfuzz::PrivateHome("command-line");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments{"kxfakeshm-connect-client"};
    size_t start = 0;
    while (start <= input.size() && arguments.size() < 64) {
        const size_t end = input.find('\0', start);
        arguments.push_back(input.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }

    const KXCommon::SplitArguments split = KXCommon::SplitCommandLine(arguments);
    for (const auto& [key, value] : split.parameters) {
        // Every value is checked by each typed parser as the option table would.
        int32_t i32 = 0;
        uint32_t u32 = 0;
        uint64_t u64 = 0;
        bool yesNo = false;
        CheckNumber(value, KXCommon::ParseInt32(value, i32), i32);
        CheckNumber(value, KXCommon::ParseUInt32(value, u32), u32);
        CheckNumber(value, KXCommon::ParseUInt64(value, u64), u64);
        if (KXCommon::ParseYesNo(value, yesNo) != (value == "yes" || value == "no")) {
            __builtin_trap();
        }
        if (!key.empty() && key.front() == '-') {
            __builtin_trap();
        }
    }

    KXClient::TransportFlags flags;
    KXFakeShm::Tuning tuning;
    bool help = false;
    std::string error;
    const bool parsed = KXClient::ParseClientCommandLine(static_cast<int>(argv.size()), argv.data(),
                                                         flags, tuning, help, error);
    if (parsed == !error.empty()) {
        __builtin_trap();
    }
    if (parsed && !help && !flags.tcp && !flags.ipc && !flags.sharedmem) {
        __builtin_trap();
    }
    return 0;
}
