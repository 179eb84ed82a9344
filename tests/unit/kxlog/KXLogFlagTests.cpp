// The "-v" verbosity flag, parsed from a copy of the arguments.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "kxlog/KXLog.h"

namespace {

constexpr int kBefore = 4;  // a cut-off no case sets, to see whether a case changed it

int ApplyTo(std::vector<const char*> args) {
    kxlog::SetStderrVerbosity(kBefore);
    args.insert(args.begin(), "program");
    args.push_back(nullptr);
    kxlog::ApplyVerbosityFlag(static_cast<int>(args.size()) - 1, args.data());
    return kxlog::GetStderrVerbosity();
}

struct FlagCase {
    std::vector<const char*> args;
    int expected;
};

TEST(KXLogFlag, AcceptedFormsSetTheStderrCutoff) {
    kxtest::ScopedTestHome home;
    const std::vector<FlagCase> cases = {
        {{"-v", "9"}, 9},
        {{"-v=9"}, 9},
        {{"-v9"}, 9},
        {{"-v", "INFO"}, kxlog::kInfo},
        {{"-v", "WARNING"}, kxlog::kWarning},
        {{"-v", "ERROR"}, kxlog::kError},
        {{"-v", "FATAL"}, kxlog::kFatal},
        {{"-v", "OFF"}, kxlog::kOff},
        {{"-v=OFF"}, kxlog::kOff},
        {{"-v=WARNING"}, kxlog::kWarning},
        {{"-v", "-1"}, kxlog::kWarning},
        {{"-v-2"}, kxlog::kError},
        {{"-v", "0"}, kxlog::kInfo},
        {{"-v", "12"}, 9},
        {{"-v", "-20"}, kxlog::kOff},
        {{"-tcp", "yes", "-v", "2", "position"}, 2},
        {{"-v", "2", "-v", "7"}, 7},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const char* arg : c.args) {
            shown += std::string(arg) + " ";
        }
        EXPECT_EQ(ApplyTo(c.args), c.expected) << shown;
    }
    // The overall cut-off follows.
    ApplyTo({"-v", "6"});
    EXPECT_EQ(kxlog::CurrentCutoff(), 6);
}

TEST(KXLogFlag, OtherArgumentsAndBadValuesLeaveTheCutoffAlone) {
    kxtest::ScopedTestHome home;
    const std::vector<std::vector<const char*>> cases = {
        {},
        {"9"},
        {"-v"},
        {"-v="},
        {"-v", "loud"},
        {"-v", "3x"},
        {"-v", "99999999999999999999"},
        {"-vINFO"},
        {"-verbose", "9"},
        {"--v", "9"},
        {"-tcp", "yes"},
        {"--", "-v", "9"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const char* arg : args) {
            shown += std::string(arg) + " ";
        }
        EXPECT_EQ(ApplyTo(args), kBefore) << shown;
    }
    // The program name is not an option, and an empty vector is harmless.
    const char* programOnly[] = {"-v9", nullptr};
    kxlog::SetStderrVerbosity(kBefore);
    kxlog::ApplyVerbosityFlag(1, programOnly);
    kxlog::ApplyVerbosityFlag(0, nullptr);
    EXPECT_EQ(kxlog::GetStderrVerbosity(), kBefore);
}

}  // namespace
