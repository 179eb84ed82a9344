#pragma once

// Command-line grammar shared by this tree's programs. The argument vector is
// first split into parameters (name/value pairs) and flags; a program then
// declares its typed options in a CommandLineOptions table, which checks for
// help and applies the parameters in ascending key order, stopping at the first
// bad one with the program's own message.

#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace KXCommon {

struct SplitArguments {
    // Byte-wise key order; of repeated keys the first value is kept.
    std::map<std::string, std::string> parameters;
    std::set<std::string> flags;
};

// True when a double can be extracted from the start of `text` with stream
// extraction ("-5", "-1.5", "-5x" all read as numbers).
bool ReadsAsNumber(const std::string& text);

// An option starts with '-' and does not read as a number.
bool IsOptionArgument(const std::string& text);

// Splits `argv` (argv[0] included, as the process received it). An option's
// name is its text without the leading dashes; "name=value" is a parameter, an
// option followed by a non-option is a parameter that consumes the next
// argument, any other option is a flag. Everything else is positional and
// dropped.
SplitArguments SplitCommandLine(int argc, const char* const* argv);
SplitArguments SplitCommandLine(const std::vector<std::string>& arguments);

// Typed value parsers: the whole text must match, nothing is written on failure.
// Yes/no: exactly "yes" or "no". Int32: optional '-', then decimal digits.
// UInt32/UInt64: decimal digits only. Ranges are those of the target type.
bool ParseYesNo(std::string_view text, bool& value);
bool ParseInt32(std::string_view text, int32_t& value);
bool ParseUInt32(std::string_view text, uint32_t& value);
bool ParseUInt64(std::string_view text, uint64_t& value);

// `format` with its first "{}" replaced by `value` (unchanged when it has none).
std::string FormatOptionMessage(std::string_view format, std::string_view value);

class CommandLineOptions {
  public:
    // `unknownKeyFormat` gets the offending key (without dashes) in its "{}".
    explicit CommandLineOptions(std::string unknownKeyFormat);

    // Each option names the field it writes and the message shown, with the
    // offending value in its "{}", when the value does not parse. The targets
    // must outlive the table. A repeated name replaces the earlier declaration.
    CommandLineOptions& AddYesNo(std::string name, bool* target, std::string errorFormat);
    // A number outside [min, max] is refused like one that does not parse.
    CommandLineOptions& AddInt32(std::string name, int32_t* target, std::string errorFormat,
                                 int32_t min = std::numeric_limits<int32_t>::min(),
                                 int32_t max = std::numeric_limits<int32_t>::max());
    CommandLineOptions& AddUInt32(std::string name, uint32_t* target, std::string errorFormat,
                                  uint32_t min = 0,
                                  uint32_t max = std::numeric_limits<uint32_t>::max());
    CommandLineOptions& AddUInt64(std::string name, uint64_t* target, std::string errorFormat,
                                  uint64_t min = 0,
                                  uint64_t max = std::numeric_limits<uint64_t>::max());

    bool Has(const std::string& name) const;

    // Splits `argv` and applies it. A flag "h" or "help" sets `helpRequested`
    // and returns true before any parameter is looked at. Otherwise every
    // parameter is applied in key order; the first unknown key or bad value
    // stops the walk and returns false with its message in `error` (targets of
    // the keys before it have been written).
    bool Parse(int argc, const char* const* argv, bool& helpRequested, std::string& error) const;
    bool Apply(const SplitArguments& arguments, bool& helpRequested, std::string& error) const;

  private:
    // The target's type selects the value syntax (bool: yes/no).
    using Target = std::variant<bool*, int32_t*, uint32_t*, uint64_t*>;
    struct Option {
        Target target;
        std::string errorFormat;
        int64_t min = std::numeric_limits<int64_t>::min();
        uint64_t max = std::numeric_limits<uint64_t>::max();
    };

    CommandLineOptions& Add(std::string name, Target target, std::string errorFormat,
                            int64_t min = std::numeric_limits<int64_t>::min(),
                            uint64_t max = std::numeric_limits<uint64_t>::max());

    std::string unknownKeyFormat_;
    std::map<std::string, Option> options_;
};

}  // namespace KXCommon
