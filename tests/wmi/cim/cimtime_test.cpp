// The shared time codec: DMTF texts both ways, with the strictness every
// provider and the engine rely on, and the RFC 3339 texts of the wire and
// of the outputs.

#include "wmi/cim/cimtime.h"

#include <gtest/gtest.h>

using namespace wmi::cim;

namespace {

TEST(CimTimeTest, DmtfRoundTrip) {
    struct Case {
        int64_t micros;
        const char* text;
    } cases[] = {
        {0, "19700101000000.000000+000"},
        {1468001571775240, "20160708181251.775240+000"},
        {1582934400000001, "20200229000000.000001+000"},    // leap day
        {-11644473600000000, "16010101000000.000000+000"},  // FILETIME epoch
        {-1, "19691231235959.999999+000"},
        {253402300799999999, "99991231235959.999999+000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatDmtf(c.micros), c.text) << c.micros;
        int64_t parsed = 42;
        EXPECT_TRUE(ParseDmtf(c.text, parsed)) << c.text;
        EXPECT_EQ(parsed, c.micros) << c.text;
    }
}

// Years outside four digits keep printf's layout (a sign, a fifth digit);
// the four-digit years are placed digit by digit. Both sides of each edge.
TEST(CimTimeTest, FormatsAtTheEdgesOfFourDigitYears) {
    struct Case {
        int64_t micros;
        const char* dmtf;
        const char* rfc3339;
    } cases[] = {
        {-62135596800000000LL, "00010101000000.000000+000", "0001-01-01T00:00:00.000000Z"},
        {-62167219200000000LL, "00000101000000.000000+000", "0000-01-01T00:00:00.000000Z"},
        {-62167219200000001LL, "-0011231235959.999999+000", "-001-12-31T23:59:59.999999Z"},
        {253402300799999999LL, "99991231235959.999999+000", "9999-12-31T23:59:59.999999Z"},
        {253402300800000000LL, "100000101000000.000000+000", "10000-01-01T00:00:00.000000Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatDmtf(c.micros), c.dmtf) << c.micros;
        EXPECT_EQ(FormatRfc3339(c.micros), c.rfc3339) << c.micros;
    }
}

TEST(CimTimeTest, DmtfOffsetsAreMinutesEastOfUtc) {
    int64_t utc = 0;
    ASSERT_TRUE(ParseDmtf("20160708181251.000000+060", utc));
    EXPECT_EQ(FormatDmtf(utc), "20160708171251.000000+000");
    ASSERT_TRUE(ParseDmtf("20160708181251.000000-300", utc));
    EXPECT_EQ(FormatDmtf(utc), "20160708231251.000000+000");
}

TEST(CimTimeTest, MalformedDmtfTimesAreRefused) {
    const char* dmtf[] = {
        "",
        "20160708181251.775240+00",    // short
        "20160708181251.775240+0000",  // long
        "20161308181251.775240+000",   // month 13
        "20160230181251.000000+000",   // 30 February
        "20150229000000.000000+000",   // no leap day in 2015
        "20160708241251.000000+000",   // hour 24
        "20160708186051.000000+000",   // minute 60
        "20160708181260.000000+000",   // second 60
        "2016070818125a.000000+000",
        "20160708181251,775240+000",
        "20160708181251.775240*000",
        "00000101000000.000000+000",  // year 0
    };
    for (const char* t : dmtf) {
        int64_t v = 7;
        EXPECT_FALSE(ParseDmtf(t, v)) << t;
        EXPECT_EQ(v, 7) << t;
    }
}

TEST(CimTimeTest, Rfc3339BothWays) {
    struct Case {
        int64_t micros;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {1796953369123456, "2026-12-11T01:42:49.123456Z"},
        {1582934400000001, "2020-02-29T00:00:00.000001Z"},
        {-1, "1969-12-31T23:59:59.999999Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatRfc3339(c.micros), c.text) << c.micros;
        int64_t parsed = 42;
        EXPECT_TRUE(ParseRfc3339(c.text, parsed)) << c.text;
        EXPECT_EQ(parsed, c.micros) << c.text;
    }
    // Other zones, no zone, nine fraction digits (past six dropped).
    struct Read {
        const char* text;
        const char* dmtf;
    } reads[] = {
        {"2023-11-14T23:13:20.5+01:00", "20231114221320.500000+000"},
        {"2023-11-14T17:13:20-05:00", "20231114221320.000000+000"},
        {"2023-11-14 22:13:20", "20231114221320.000000+000"},
        {"2023-11-14T22:13:20.123456789Z", "20231114221320.123456+000"},
    };
    for (const Read& r : reads) {
        int64_t parsed = 0;
        ASSERT_TRUE(ParseRfc3339(r.text, parsed)) << r.text;
        EXPECT_EQ(FormatDmtf(parsed), r.dmtf) << r.text;
    }
    for (const char* bad :
         {"", "2023-11-14", "2023-11-14T22:13:20.", "2023-11-14T22:13:20.1234567890Z",
          "2024-02-30T00:00:00Z", "2023-11-14T22:13:20+1:00", "2023-11-14T22:13:20+24:00",
          "2023-11-14T22:13:20Zjunk"}) {
        int64_t v = 7;
        EXPECT_FALSE(ParseRfc3339(bad, v)) << bad;
        EXPECT_EQ(v, 7) << bad;
    }
}

}  // namespace
