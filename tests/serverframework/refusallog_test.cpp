#include "serverframework/refusallog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = CRefusalLog::Clock;

std::vector<std::string> Texts(const std::vector<CRefusalLog::TLine>& lines) {
    std::vector<std::string> texts;
    for (const auto& line : lines) texts.push_back(line.text);
    return texts;
}

// A flood from one source: the first refusal is logged, the next ones of
// the minute are counted and given in one line once the minute is over;
// while the flood goes on, one count line a minute and nothing else; after
// a quiet minute the source is forgotten and logged in full again.
TEST(RefusalLogTest, AFloodIsOneLineAMinute) {
    CRefusalLog log;
    const Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(log.Note("10.0.0.1/32", "over the per-source limit", 3, t0));
    for (int i = 1; i < 7080; ++i) {
        ASSERT_FALSE(log.Note("10.0.0.1/32", "over the per-source limit", 3,
                              t0 + std::chrono::milliseconds(i * 8)))
            << i;
    }
    EXPECT_TRUE(log.Due(t0 + 59s).empty()) << "the minute is not over";
    auto due = log.Due(t0 + 60s);
    ASSERT_EQ(1u, due.size());
    EXPECT_EQ(3, due[0].level);
    EXPECT_EQ(
        "7079 more connections from 10.0.0.1/32 within the last minute: over the "
        "per-source limit",
        due[0].text);

    // Still flooding: counted, not logged; one count line for that minute.
    EXPECT_FALSE(log.Note("10.0.0.1/32", "over the per-source limit", 3, t0 + 61s));
    EXPECT_FALSE(log.Note("10.0.0.1/32", "over the per-source limit", 3, t0 + 119s));
    EXPECT_TRUE(log.Due(t0 + 119s).empty());
    EXPECT_EQ(std::vector<std::string>{"2 more connections from 10.0.0.1/32 within the last "
                                       "minute: over the per-source limit"},
              Texts(log.Due(t0 + 120s)));

    // A quiet minute: nothing to say, and the next refusal is new again.
    EXPECT_TRUE(log.Due(t0 + 181s).empty());
    EXPECT_TRUE(log.Note("10.0.0.1/32", "over the per-source limit", 3, t0 + 182s));
}

// Sources and kinds are counted apart; a refusal that comes after its
// minute but before the count was given joins the count, so the source
// still gets no more than one line a minute.
TEST(RefusalLogTest, SourcesAndKindsAreApart) {
    CRefusalLog log;
    const Clock::time_point t0 = Clock::now();
    const struct {
        const char* source;
        const char* kind;
        int atSeconds;
        bool logged;
    } cases[] = {
        {"10.0.0.1/32", "a", 0, true},   {"10.0.0.1/32", "a", 1, false},
        {"10.0.0.1/32", "b", 1, true},   {"10.0.0.2/32", "a", 2, true},
        {"::/64", "a", 3, true},         {"::/64", "a", 30, false},
        {"10.0.0.1/32", "a", 70, false},  // after its minute, before Due
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.logged, log.Note(c.source, c.kind, 2, t0 + std::chrono::seconds(c.atSeconds)))
            << c.source << " " << c.kind << " " << c.atSeconds;
    }
    EXPECT_EQ((std::vector<std::string>{
                  "2 more connections from 10.0.0.1/32 within the last minute: a",
                  "1 more connections from ::/64 within the last minute: a",
              }),
              Texts(log.Due(t0 + 71s)));
}

// The table stays bounded whatever the number of sources: past its size
// the refusals of new sources are counted together; at shutdown every
// count is given at once, however young.
TEST(RefusalLogTest, ManySourcesShareOneEntryAndShutdownGivesEverything) {
    CRefusalLog log;
    const Clock::time_point t0 = Clock::now();
    for (size_t i = 0; i < CRefusalLog::kMaxSources; ++i) {
        ASSERT_TRUE(log.Note("block" + std::to_string(i), "k", 3, t0)) << i;
    }
    EXPECT_TRUE(log.Note("one too many", "k", 3, t0)) << "the first of the others is logged";
    for (int i = 0; i < 500; ++i) {
        ASSERT_FALSE(log.Note("another" + std::to_string(i), "k", 3, t0)) << i;
    }
    EXPECT_FALSE(log.Note("block0", "k", 3, t0));
    EXPECT_EQ((std::vector<std::string>{
                  "1 more connections from block0 within the last minute: k",
                  "500 more connections from other sources within the last minute: k",
              }),
              Texts(log.Due(t0 + 1s, true)));
    EXPECT_TRUE(log.Note("block0", "k", 3, t0 + 2s)) << "the table was emptied";
}

}  // namespace
