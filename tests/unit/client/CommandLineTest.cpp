#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kxcommon/CommandLine.h"

namespace {

using KXCommon::CommandLineOptions;
using KXCommon::SplitCommandLine;

using Params = std::map<std::string, std::string>;
using Flags = std::set<std::string>;

KXCommon::SplitArguments Split(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/program");
    return SplitCommandLine(arguments);
}

TEST(CommandLineSplit, NegativeNumbersAndNumericPrefixesAreValues) {
    const auto split = Split({"--a", "-5", "--b", "-1.5", "--c", "-5x", "--d", "-.5", "--e", "3"});
    EXPECT_EQ(split.parameters,
              (Params{{"a", "-5"}, {"b", "-1.5"}, {"c", "-5x"}, {"d", "-.5"}, {"e", "3"}}));
    EXPECT_TRUE(split.flags.empty());

    EXPECT_TRUE(KXCommon::ReadsAsNumber("-5"));
    EXPECT_TRUE(KXCommon::ReadsAsNumber("-1e3"));
    EXPECT_FALSE(KXCommon::ReadsAsNumber("-x5"));
    EXPECT_FALSE(KXCommon::ReadsAsNumber("--5"));
    EXPECT_FALSE(KXCommon::ReadsAsNumber("-"));
    EXPECT_FALSE(KXCommon::IsOptionArgument("-5"));
    EXPECT_FALSE(KXCommon::IsOptionArgument("tcp"));
    EXPECT_FALSE(KXCommon::IsOptionArgument(""));
    EXPECT_TRUE(KXCommon::IsOptionArgument("--5"));
}

TEST(CommandLineSplit, NamesLoseAllLeadingDashes) {
    EXPECT_EQ(Split({"-tcp", "yes"}).parameters, (Params{{"tcp", "yes"}}));
    EXPECT_EQ(Split({"--tcp", "yes"}).parameters, (Params{{"tcp", "yes"}}));
    EXPECT_EQ(Split({"---tcp", "yes"}).parameters, (Params{{"tcp", "yes"}}));
    // A value that itself starts with dashes and is not a number is an option.
    const auto split = Split({"--x", "--5"});
    EXPECT_TRUE(split.parameters.empty());
    EXPECT_EQ(split.flags, (Flags{"x", "5"}));
}

TEST(CommandLineSplit, NameEqualsValueSplitsAtTheFirstEquals) {
    EXPECT_EQ(Split({"--tcp=yes"}).parameters, (Params{{"tcp", "yes"}}));
    EXPECT_EQ(Split({"--a=b=c"}).parameters, (Params{{"a", "b=c"}}));
    EXPECT_EQ(Split({"--heartbeat-interval-ms="}).parameters,
              (Params{{"heartbeat-interval-ms", ""}}));
    // The pair form does not consume the next argument.
    const auto split = Split({"--a=1", "2", "--b", "-3"});
    EXPECT_EQ(split.parameters, (Params{{"a", "1"}, {"b", "-3"}}));
    EXPECT_EQ(Split({"--tcp=yes"}).parameters, Split({"--tcp", "yes"}).parameters);
}

TEST(CommandLineSplit, FirstValueOfARepeatedKeyWins) {
    EXPECT_EQ(Split({"--tcp", "yes", "--tcp", "no"}).parameters, (Params{{"tcp", "yes"}}));
    EXPECT_EQ(Split({"--tcp=no", "--tcp", "yes"}).parameters, (Params{{"tcp", "no"}}));
}

TEST(CommandLineSplit, OptionWithoutValueIsAFlagAndPositionalsAreDropped) {
    const auto split = Split({"hello", "--tcp", "--ipc", "yes", "world", "--help"});
    EXPECT_EQ(split.parameters, (Params{{"ipc", "yes"}}));
    EXPECT_EQ(split.flags, (Flags{"tcp", "help"}));

    // The program name is positional; so is everything after a consumed value.
    const char* argv[] = {"prog", "-h", "1", "x"};
    const auto fromArgv = SplitCommandLine(4, argv);
    EXPECT_EQ(fromArgv.parameters, (Params{{"h", "1"}}));
    EXPECT_TRUE(fromArgv.flags.empty());

    EXPECT_TRUE(SplitCommandLine(0, nullptr).parameters.empty());
}

TEST(CommandLineValues, YesNoIsExact) {
    bool value = false;
    EXPECT_TRUE(KXCommon::ParseYesNo("yes", value));
    EXPECT_TRUE(value);
    EXPECT_TRUE(KXCommon::ParseYesNo("no", value));
    EXPECT_FALSE(value);
    for (const char* bad : {"Yes", "YES", "No", "y", "true", "1", "", " yes", "yes "}) {
        value = true;
        EXPECT_FALSE(KXCommon::ParseYesNo(bad, value)) << bad;
        EXPECT_TRUE(value) << "target written on failure for " << bad;
    }
}

TEST(CommandLineValues, Int32TakesAnOptionalMinusAndTheFullRange) {
    int32_t value = 7;
    EXPECT_TRUE(KXCommon::ParseInt32("-5", value));
    EXPECT_EQ(value, -5);
    EXPECT_TRUE(KXCommon::ParseInt32("2147483647", value));
    EXPECT_EQ(value, INT32_MAX);
    EXPECT_TRUE(KXCommon::ParseInt32("-2147483648", value));
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_TRUE(KXCommon::ParseInt32("-0", value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(KXCommon::ParseInt32("007", value));
    EXPECT_EQ(value, 7);
    for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999", "+1", " 1", "1 ",
                            "-", "", "--1", "1.0", "1e3", "0x10", "5x"}) {
        value = 42;
        EXPECT_FALSE(KXCommon::ParseInt32(bad, value)) << bad;
        EXPECT_EQ(value, 42) << bad;
    }
}

TEST(CommandLineValues, UnsignedTakeDigitsOnlyWithinTheirRange) {
    uint32_t u32 = 9;
    EXPECT_TRUE(KXCommon::ParseUInt32("4294967295", u32));
    EXPECT_EQ(u32, UINT32_MAX);
    EXPECT_TRUE(KXCommon::ParseUInt32("0", u32));
    EXPECT_EQ(u32, 0U);
    u32 = 9;
    EXPECT_FALSE(KXCommon::ParseUInt32("4294967296", u32));
    EXPECT_EQ(u32, 9U);

    uint64_t u64 = 9;
    EXPECT_TRUE(KXCommon::ParseUInt64("18446744073709551615", u64));
    EXPECT_EQ(u64, UINT64_MAX);
    EXPECT_TRUE(KXCommon::ParseUInt64("4294967296", u64));
    EXPECT_EQ(u64, 4294967296ULL);
    for (const char* bad : {"18446744073709551616", "99999999999999999999", "10ms", "+10", "-5",
                            "-0", "", " 1", "1 ", "1.5", "0x1"}) {
        u64 = 9;
        u32 = 9;
        EXPECT_FALSE(KXCommon::ParseUInt64(bad, u64)) << bad;
        EXPECT_FALSE(KXCommon::ParseUInt32(bad, u32)) << bad;
        EXPECT_EQ(u64, 9U) << bad;
        EXPECT_EQ(u32, 9U) << bad;
    }
}

TEST(CommandLineValues, MessageFormatGetsTheValueInItsFirstPlaceholder) {
    EXPECT_EQ(KXCommon::FormatOptionMessage("Bad '{}'!", "10ms"), "Bad '10ms'!");
    EXPECT_EQ(KXCommon::FormatOptionMessage("Bad '{}' {}", ""), "Bad '' {}");
    EXPECT_EQ(KXCommon::FormatOptionMessage("No placeholder", "x"), "No placeholder");
    EXPECT_EQ(KXCommon::FormatOptionMessage("{}", "{}"), "{}");
}

// A table like a program declares it.
struct Targets {
    bool tcp = false;
    int32_t timeout = 1;
    uint32_t blockSize = 1024;
    uint64_t interval = 1;
    uint64_t duration = 0;

    CommandLineOptions Table() {
        CommandLineOptions options("Unknown: '{}'");
        options.AddYesNo("tcp", &tcp, "Bad tcp: '{}'")
            .AddInt32("timeout-ms", &timeout, "Bad timeout: '{}'")
            .AddUInt32("block-size", &blockSize, "Bad block size: '{}'")
            .AddUInt64("interval-ms", &interval, "Bad interval: '{}'")
            .AddUInt64("duration-s", &duration, "Bad duration: '{}'");
        return options;
    }
};

bool ParseWith(Targets& targets, std::vector<std::string> arguments, bool& help,
               std::string& error) {
    arguments.insert(arguments.begin(), "prog");
    std::vector<const char*> argv;
    for (const auto& a : arguments) {
        argv.push_back(a.c_str());
    }
    return targets.Table().Parse(static_cast<int>(argv.size()), argv.data(), help, error);
}

TEST(CommandLineOptions, AppliesEveryKindToItsTarget) {
    Targets t;
    bool help = true;
    std::string error = "stale";
    ASSERT_TRUE(ParseWith(t,
                          {"--tcp", "yes", "--timeout-ms", "-5", "--block-size=4294967295",
                           "--interval-ms", "18446744073709551615", "positional", "--verbose"},
                          help, error));
    EXPECT_FALSE(help);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(t.tcp);
    EXPECT_EQ(t.timeout, -5);
    EXPECT_EQ(t.blockSize, UINT32_MAX);
    EXPECT_EQ(t.interval, UINT64_MAX);
    EXPECT_EQ(t.duration, 0U);

    Targets untouched;
    ASSERT_TRUE(ParseWith(untouched, {}, help, error));
    EXPECT_FALSE(untouched.tcp);
    EXPECT_EQ(untouched.timeout, 1);
    EXPECT_TRUE(untouched.Table().Has("duration-s"));
    EXPECT_FALSE(untouched.Table().Has("help"));
}

TEST(CommandLineOptions, BadValuesReportTheProgramsMessageWithTheValue) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--tcp", "Yes"}, "Bad tcp: 'Yes'"},
        {{"--timeout-ms", "+1"}, "Bad timeout: '+1'"},
        {{"--block-size", "4294967296"}, "Bad block size: '4294967296'"},
        {{"--interval-ms", "10ms"}, "Bad interval: '10ms'"},
        {{"--interval-ms", "-5"}, "Bad interval: '-5'"},
        {{"--interval-ms="}, "Bad interval: ''"},
        {{"--interval-ms", "18446744073709551616"}, "Bad interval: '18446744073709551616'"},
        {{"--foo", "1"}, "Unknown: 'foo'"},
        {{"---foo=1"}, "Unknown: 'foo'"},
        {{"-h", "1"}, "Unknown: 'h'"},
    };
    for (const auto& [arguments, message] : cases) {
        Targets t;
        bool help = true;
        std::string error;
        EXPECT_FALSE(ParseWith(t, arguments, help, error)) << message;
        EXPECT_FALSE(help);
        EXPECT_EQ(error, message);
    }
}

TEST(CommandLineOptions, TheKeyThatSortsFirstIsReported) {
    Targets t;
    bool help = false;
    std::string error;
    EXPECT_FALSE(
        ParseWith(t, {"--zzz", "1", "--timeout-ms", "x", "--interval-ms", "y"}, help, error));
    EXPECT_EQ(error, "Bad interval: 'y'");
    EXPECT_FALSE(ParseWith(t, {"--tcp", "maybe", "--aaa", "1"}, help, error));
    EXPECT_EQ(error, "Unknown: 'aaa'");
    // Byte order: upper case sorts before lower case, '-' before letters.
    EXPECT_FALSE(ParseWith(t, {"--b", "1", "--B", "1", "--a-", "1"}, help, error));
    EXPECT_EQ(error, "Unknown: 'B'");
}

TEST(CommandLineOptions, HelpFlagWinsOverBadParameters) {
    for (const char* flag : {"-h", "--help", "---help"}) {
        Targets t;
        bool help = false;
        std::string error = "stale";
        EXPECT_TRUE(ParseWith(t, {"--foo", "1", "--tcp", "maybe", flag}, help, error)) << flag;
        EXPECT_TRUE(help);
        EXPECT_EQ(error, "");
        // Nothing is applied once help is asked for.
        EXPECT_FALSE(t.tcp);
    }
    Targets t;
    bool help = false;
    std::string error;
    EXPECT_TRUE(ParseWith(t, {"--tcp", "yes", "--hel"}, help, error));
    EXPECT_FALSE(help);
    EXPECT_TRUE(t.tcp);
}

}  // namespace
