// The shared ASCII helpers: case folding only for A-Z, and the one integer
// parser the query text, WS-Management's numbers and the settings use.

#include "wmi/cim/ascii.h"

#include <gtest/gtest.h>

#include <limits>

using namespace wmi::cim;

namespace {

TEST(CimAsciiTest, CaseFoldsOnlyAsciiLetters) {
    EXPECT_EQ(ToLowerAscii("Win32_NTLogEvent @[`{"), "win32_ntlogevent @[`{");
    // Bytes of UTF-8 text are not letters.
    EXPECT_EQ(ToLowerAscii("\xC3\x89T\xC3\xA9"), "\xC3\x89t\xC3\xA9");
    EXPECT_TRUE(EqualsIgnoringCase("root\\CIMV2", "ROOT\\cimv2"));
    EXPECT_FALSE(EqualsIgnoringCase("abc", "abcd"));
    EXPECT_FALSE(EqualsIgnoringCase("\xC3\x89", "\xC3\xA9"));
    EXPECT_EQ(CompareIgnoringCase("System", "SYSTEM"), 0);
    EXPECT_EQ(CompareIgnoringCase("Sys", "system"), -1);
    EXPECT_EQ(CompareIgnoringCase("t", "SYSTEM"), 1);
    // Past ASCII, bytes compare unsigned.
    EXPECT_EQ(CompareIgnoringCase("\xC3", "z"), 1);
}

TEST(CimAsciiTest, IntegersWholeTextOnly) {
    const struct {
        const char* text;
        int64_t value;
    } good[] = {
        {"0", 0},
        {"42", 42},
        {"-7", -7},
        {"+7", 7},
        {"007", 7},
        {"2150858793", 2150858793},
        {"9223372036854775807", std::numeric_limits<int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
    };
    for (const auto& c : good) {
        int64_t v = 1;
        EXPECT_TRUE(ParseInteger(c.text, v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    for (const char* bad : {"", "-", "+", "+-1", "--1", " 1", "1 ", "1.5", "0x10", "12a",
                            "9223372036854775808", "-9223372036854775809"}) {
        int64_t v = 1;
        EXPECT_FALSE(ParseInteger(bad, v)) << bad;
        EXPECT_EQ(v, 1) << bad;
    }
}

}  // namespace
