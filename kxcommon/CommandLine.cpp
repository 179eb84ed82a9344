#include "kxcommon/CommandLine.h"

#include <exception>
#include <limits>
#include <locale>
#include <sstream>
#include <type_traits>
#include <utility>

namespace KXCommon {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only, the whole text, at most `limit`.
bool ParseDigits(std::string_view text, uint64_t limit, uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    uint64_t result = 0;
    for (const char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (result > (limit - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

}  // namespace

bool ReadsAsNumber(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double number = 0.0;
    in >> number;
    return !in.fail();
}

bool IsOptionArgument(const std::string& text) {
    return !text.empty() && text.front() == '-' && !ReadsAsNumber(text);
}

SplitArguments SplitCommandLine(const std::vector<std::string>& arguments) {
    SplitArguments split;
    const size_t count = arguments.size();
    for (size_t i = 0; i < count; ++i) {
        const std::string& argument = arguments[i];
        if (!IsOptionArgument(argument)) {
            continue;
        }
        const auto nameStart = argument.find_first_not_of('-');
        const std::string name =
            nameStart == std::string::npos ? std::string() : argument.substr(nameStart);
        if (const auto equals = name.find('='); equals != std::string::npos) {
            split.parameters.emplace(name.substr(0, equals), name.substr(equals + 1));
        } else if (i + 1 < count && !IsOptionArgument(arguments[i + 1])) {
            split.parameters.emplace(name, arguments[i + 1]);
            ++i;
        } else {
            split.flags.insert(name);
        }
    }
    return split;
}

SplitArguments SplitCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv != nullptr; ++i) {
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    return SplitCommandLine(arguments);
}

bool ParseYesNo(std::string_view text, bool& value) {
    if (text == "yes") {
        value = true;
        return true;
    }
    if (text == "no") {
        value = false;
        return true;
    }
    return false;
}

bool ParseInt32(std::string_view text, int32_t& value) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    // The negative range reaches one further than the positive one.
    const uint64_t limit =
        static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) + (negative ? 1U : 0U);
    uint64_t magnitude = 0;
    if (!ParseDigits(text, limit, magnitude)) {
        return false;
    }
    value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                     : static_cast<int32_t>(magnitude);
    return true;
}

bool ParseUInt32(std::string_view text, uint32_t& value) {
    uint64_t parsed = 0;
    if (!ParseDigits(text, std::numeric_limits<uint32_t>::max(), parsed)) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool ParseUInt64(std::string_view text, uint64_t& value) {
    return ParseDigits(text, std::numeric_limits<uint64_t>::max(), value);
}

std::string FormatOptionMessage(std::string_view format, std::string_view value) {
    std::string message(format);
    if (const auto at = message.find("{}"); at != std::string::npos) {
        message.replace(at, 2, value);
    }
    return message;
}

CommandLineOptions::CommandLineOptions(std::string unknownKeyFormat)
    : unknownKeyFormat_(std::move(unknownKeyFormat)) {}

CommandLineOptions& CommandLineOptions::Add(std::string name, Target target,
                                            std::string errorFormat, int64_t min, uint64_t max) {
    options_.insert_or_assign(std::move(name), Option{target, std::move(errorFormat), min, max});
    return *this;
}

CommandLineOptions& CommandLineOptions::AddYesNo(std::string name, bool* target,
                                                 std::string errorFormat) {
    return Add(std::move(name), target, std::move(errorFormat));
}

CommandLineOptions& CommandLineOptions::AddInt32(std::string name, int32_t* target,
                                                 std::string errorFormat, int32_t min,
                                                 int32_t max) {
    return Add(std::move(name), target, std::move(errorFormat), min,
               max < 0 ? 0 : static_cast<uint64_t>(max));
}

CommandLineOptions& CommandLineOptions::AddUInt32(std::string name, uint32_t* target,
                                                  std::string errorFormat, uint32_t min,
                                                  uint32_t max) {
    return Add(std::move(name), target, std::move(errorFormat), min, max);
}

CommandLineOptions& CommandLineOptions::AddUInt64(std::string name, uint64_t* target,
                                                  std::string errorFormat, uint64_t min,
                                                  uint64_t max) {
    const auto low = min > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                         ? std::numeric_limits<int64_t>::max()
                         : static_cast<int64_t>(min);
    return Add(std::move(name), target, std::move(errorFormat), low, max);
}

bool CommandLineOptions::Has(const std::string& name) const {
    return options_.count(name) != 0;
}

bool CommandLineOptions::Apply(const SplitArguments& arguments, bool& helpRequested,
                               std::string& error) const {
    error.clear();
    helpRequested = false;
    try {
        if (arguments.flags.count("h") != 0 || arguments.flags.count("help") != 0) {
            helpRequested = true;
            return true;
        }
        // Named references, not a structured binding: clang 14 cannot capture one.
        for (const auto& parameter : arguments.parameters) {
            const std::string& key = parameter.first;
            const std::string& value = parameter.second;
            const auto option = options_.find(key);
            if (option == options_.end()) {
                error = FormatOptionMessage(unknownKeyFormat_, key);
                return false;
            }
            const Option& o = option->second;
            const bool parsed = std::visit(
                [&value, &o](auto* target) {
                    using T = std::remove_pointer_t<decltype(target)>;
                    if constexpr (std::is_same_v<T, bool>) {
                        return ParseYesNo(value, *target);
                    } else {
                        T number{};
                        bool ok;
                        if constexpr (std::is_same_v<T, int32_t>) {
                            ok = ParseInt32(value, number) && number >= o.min &&
                                 (number < 0 || static_cast<uint64_t>(number) <= o.max);
                        } else {
                            if constexpr (std::is_same_v<T, uint32_t>) {
                                ok = ParseUInt32(value, number);
                            } else {
                                ok = ParseUInt64(value, number);
                            }
                            ok = ok && number <= o.max &&
                                 (o.min <= 0 || number >= static_cast<uint64_t>(o.min));
                        }
                        if (ok) {
                            *target = number;
                        }
                        return ok;
                    }
                },
                o.target);
            if (!parsed) {
                error = FormatOptionMessage(option->second.errorFormat, value);
                return false;
            }
        }
        return true;
    } catch (const std::exception& e) {
        error = FormatOptionMessage("Failed to parse the command line: {}", e.what());
    } catch (...) {
        error = "Failed to parse the command line: unknown error!";
    }
    return false;
}

bool CommandLineOptions::Parse(int argc, const char* const* argv, bool& helpRequested,
                               std::string& error) const {
    error.clear();
    helpRequested = false;
    try {
        return Apply(SplitCommandLine(argc, argv), helpRequested, error);
    } catch (const std::exception& e) {
        error = FormatOptionMessage("Failed to parse the command line: {}", e.what());
    } catch (...) {
        error = "Failed to parse the command line: unknown error!";
    }
    return false;
}

}  // namespace KXCommon
