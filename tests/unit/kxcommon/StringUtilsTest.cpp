#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "kxcommon/StringUtils.h"

namespace {

using KXCommon::StringUtils::ParseUInt64;

TEST(StringUtilsParseUInt64, AcceptsPlainDecimalDigits) {
    EXPECT_EQ(ParseUInt64("0"), 0u);
    EXPECT_EQ(ParseUInt64("7"), 7u);
    EXPECT_EQ(ParseUInt64("1234567890"), 1234567890u);
    EXPECT_EQ(ParseUInt64("000042"), 42u);
}

TEST(StringUtilsParseUInt64, AcceptsTheLargestValueAndRejectsOverflow) {
    EXPECT_EQ(ParseUInt64("18446744073709551615"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(ParseUInt64("18446744073709551614"), std::numeric_limits<uint64_t>::max() - 1);
    // One above the limit, through the last digit and through the running value.
    EXPECT_EQ(ParseUInt64("18446744073709551616"), 0u);
    EXPECT_EQ(ParseUInt64("18446744073709551620"), 0u);
    EXPECT_EQ(ParseUInt64("18446744073709551700"), 0u);
    EXPECT_EQ(ParseUInt64("99999999999999999999"), 0u);
    EXPECT_EQ(ParseUInt64("184467440737095516150"), 0u);
    // Still in range although the running value passes the limit's tenth early.
    EXPECT_EQ(ParseUInt64("1844674407370955162"), 1844674407370955162ULL);
}

TEST(StringUtilsParseUInt64, RejectsAnythingButDigits) {
    EXPECT_EQ(ParseUInt64(""), 0u);
    EXPECT_EQ(ParseUInt64("12a"), 0u);
    EXPECT_EQ(ParseUInt64("12 "), 0u);
    EXPECT_EQ(ParseUInt64(" 12"), 0u);
    EXPECT_EQ(ParseUInt64("+12"), 0u);
    EXPECT_EQ(ParseUInt64("-12"), 0u);
    EXPECT_EQ(ParseUInt64("-0"), 0u);
    EXPECT_EQ(ParseUInt64("0x10"), 0u);
    EXPECT_EQ(ParseUInt64("1.5"), 0u);
    EXPECT_EQ(ParseUInt64(std::string("12\0"
                                      "3",
                                      4)),
              0u);
}

}  // namespace
