// The simulated endpoint's event queries: what compiles, what is refused,
// and which records each query selects (levels, ids past 2^32, time bounds
// to the microsecond, and/or/parentheses).

#include "wmi/sim/wsman/eventxpath.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using wmi::sim::SimEvent;
using wmi::wsman::EventXPath;

SimEvent Record(uint32_t level, int64_t id, int64_t time) {
    SimEvent e;
    e.eventType = 3;
    e.eventCode = 1;
    e.eventRecordId = id;
    e.timeGenerated = time;
    e.channel.emplace();
    e.channel->level = level;
    return e;
}

// 2021-12-04T21:19:16.741995Z
constexpr int64_t kT = 1638652756741995;

TEST(EventXPathTest, SelectsWhatItSays) {
    const SimEvent error = Record(2, 10, kT);
    const SimEvent warning = Record(3, (int64_t{1} << 32) + 1, kT + 1);
    const SimEvent info = Record(4, 12, kT - 1);
    const struct {
        std::string xpath;
        bool error, warning, info;
    } kCases[] = {
        {"*", true, true, true},
        {" * ", true, true, true},
        {"*[System[(Level=1 or Level=2)]]", true, false, false},
        {"*[System[(Level=1 or Level=2 or Level=3)]]", true, true, false},
        {"*[System[Level!=3]]", true, false, true},
        {"*[System[EventRecordID>4294967296]]", false, true, false},
        {"*[System[EventRecordID>=10 and EventRecordID<=12]]", true, false, true},
        {"*[System[TimeCreated[@SystemTime>='2021-12-04T21:19:16.741995Z']]]", true, true, false},
        {"*[System[TimeCreated[@SystemTime>='2021-12-04T21:19:16.7419950Z' and "
         "@SystemTime<'2021-12-04T21:19:16.741996Z']]]",
         true, false, false},
        {"*[System[TimeCreated[@SystemTime<\"2021-12-04T21:19:16.741995Z\"]]]", false, false, true},
        {"*[System[(Level=2 and EventRecordID=10) or (Level=4)]]", true, false, true},
        {"*[System[EventID=1 and Task=0 and Opcode=0]]", true, true, true},
    };
    for (const auto& c : kCases) {
        EventXPath x;
        std::string why;
        ASSERT_TRUE(x.Compile(c.xpath, why)) << c.xpath << ": " << why;
        EXPECT_EQ(x.Matches(error), c.error) << c.xpath;
        EXPECT_EQ(x.Matches(warning), c.warning) << c.xpath;
        EXPECT_EQ(x.Matches(info), c.info) << c.xpath;
    }
}

TEST(EventXPathTest, RefusesWhatItCannotCompile) {
    const char* const kCases[] = {
        "",
        "Event",
        "*[]",
        "*[System[Level=]]",
        "*[System[Level=1]",
        "*[System[Level=1]]]",
        "*[System[Level=1]] extra",
        "*[System[Level==1]]",
        "*[System[Colour=1]]",
        "*[System[Level=1 and]]",
        "*[System[TimeCreated[@SystemTime>='yesterday']]]",
        "*[System[TimeCreated[@SystemTime>'2021-12-04T21:19:16Z]]]",
        "*[System[TimeCreated[Level=1]]]",
        "*[System[EventRecordID>1234567890123456789012]]",
        "*[System[((((((((((((((((((((((((((((((((((Level=1))))))))))))))))))))))))))))))))))]]",
    };
    for (const char* xpath : kCases) {
        EventXPath x;
        std::string why;
        EXPECT_FALSE(x.Compile(xpath, why)) << xpath;
        EXPECT_FALSE(why.empty()) << xpath;
    }
}

TEST(EventXPathTest, ARecordWithoutChannelFieldsHasTheLevelOfItsType) {
    const struct {
        int type;
        uint32_t level;
    } kCases[] = {{1, 2}, {2, 3}, {3, 4}, {4, 0}, {5, 0}};
    for (const auto& c : kCases) {
        SimEvent e;
        e.eventType = c.type;
        EXPECT_EQ(wmi::wsman::LevelOf(e), c.level) << c.type;
    }
}

}  // namespace
