#include "wmi/cim/wql.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/wmi/simfixture.h"
#include "wmi/sim/ntlogevent.h"

using namespace wmi::cim;
using wmi::sim::SimEvent;

namespace {

#define LIVE \
    "SELECT * FROM __InstanceCreationEvent WITHIN 60 WHERE TargetInstance ISA 'Win32_NTLogEvent'"
#define DATA "SELECT * FROM Win32_NTLogEvent"

struct ParseCase {
    const char* text;
    bool notification;
    HRESULT expected;
};

const ParseCase kParseCases[] = {
    // The forms the engine sends.
    {LIVE, true, WBEM_S_NO_ERROR},
    {LIVE " AND TargetInstance.LogFile = 'System'", true, WBEM_S_NO_ERROR},
    {LIVE " AND TargetInstance.EventType <= 2", true, WBEM_S_NO_ERROR},
    {LIVE " AND TargetInstance.LogFile = 'System' AND TargetInstance.EventType <= 2", true,
     WBEM_S_NO_ERROR},
    {DATA " WHERE TimeGenerated > '20240101000000.000000+000' AND TimeGenerated < "
          "'20240102000000.000000+000'",
     false, WBEM_S_NO_ERROR},
    {DATA " WHERE TimeGenerated > '20240101000000.000000+000' AND TimeGenerated < "
          "'20240102000000.000000+000' AND LogFile = 'Application' AND EventType <= 3",
     false, WBEM_S_NO_ERROR},
    // Case, spacing, other operators and literal forms.
    {"select * from __instancecreationevent within 5 where targetinstance isa \"win32_ntlogevent\" "
     "and TARGETINSTANCE.logfile <> 'x'",
     true, WBEM_S_NO_ERROR},
    {"SELECT*FROM Win32_NTLogEvent WHERE EventCode>=7036 AND EventCode!=1\r\n", false,
     WBEM_S_NO_ERROR},
    {"SELECT * FROM __InstanceCreationEvent WITHIN 0 WHERE TargetInstance ISA 'Win32_NTLogEvent'",
     true, WBEM_S_NO_ERROR},
    {"SELECT * FROM __InstanceCreationEvent WITHIN 0.5 WHERE TargetInstance ISA 'Win32_NTLogEvent'",
     true, WBEM_S_NO_ERROR},
    {DATA " WHERE EventType <= '3'", false, WBEM_S_NO_ERROR},
    {DATA " WHERE SourceName = 42", false, WBEM_S_NO_ERROR},
    {DATA " WHERE LogFile = 'O\\'Brien' AND User = 'NT AUTHORITY\\\\SYSTEM'", false,
     WBEM_S_NO_ERROR},
    // Broken or injected literals.
    {DATA " WHERE LogFile = 'Sys'tem'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE LogFile = 'System", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE LogFile = 'System\\'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE LogFile = 'Sys\\tem'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE LogFile = 'x' OR LogFile <> 'x'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE (EventType <= 3)", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE EventType <= 3;", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE EventType <= 3 AND", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE", false, WBEM_E_INVALID_QUERY},
    {"SELECT * FROM", false, WBEM_E_INVALID_QUERY},
    {"", false, WBEM_E_INVALID_QUERY},
    {"SELECT Message FROM Win32_NTLogEvent", false, WBEM_E_INVALID_QUERY},
    // Values and properties the class cannot take.
    {DATA " WHERE NoSuchProperty = 1", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE InsertionStrings = 'a'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE EventType <= 'abc'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE EventType <= 2.5", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE RecordNumber = 99999999999999999999", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE TimeGenerated > '2024'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE TimeGenerated > '20241301000000.000000+000'", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE TimeGenerated > 20240101", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE TargetInstance.LogFile = 'x'", false, WBEM_E_INVALID_QUERY},
    {DATA " WITHIN 5", false, WBEM_E_INVALID_QUERY},
    {DATA " WHERE TargetInstance ISA 'Win32_NTLogEvent'", false, WBEM_E_INVALID_QUERY},
    {LIVE " AND LogFile = 'System'", true, WBEM_E_INVALID_QUERY},
    {LIVE " AND TargetInstance.NoSuch = 1", true, WBEM_E_INVALID_QUERY},
    {"SELECT * FROM __InstanceCreationEvent WHERE TargetInstance ISA 'Win32_NTLogEvent'", true,
     WBEM_E_INVALID_QUERY},
    {"SELECT * FROM __InstanceCreationEvent WITHIN -5 WHERE TargetInstance ISA 'Win32_NTLogEvent'",
     true, WBEM_E_INVALID_QUERY},
    {"SELECT * FROM __InstanceCreationEvent WITHIN 60", true, WBEM_E_INVALID_QUERY},
    {LIVE " AND TargetInstance ISA 'Win32_NTLogEvent'", true, WBEM_E_INVALID_QUERY},
    // Classes.
    {"SELECT * FROM Win32_NTLogEvnt", false, WBEM_E_INVALID_CLASS},
    {"SELECT * FROM __InstanceCreationEvent", false, WBEM_E_INVALID_CLASS},
    {"SELECT * FROM __InstanceDeletionEvent WITHIN 60 WHERE TargetInstance ISA 'Win32_NTLogEvent'",
     true, WBEM_E_INVALID_CLASS},
    {"SELECT * FROM __InstanceCreationEvent WITHIN 60 WHERE TargetInstance ISA 'Win32_Process'",
     true, WBEM_E_INVALID_CLASS},
    {DATA, true, WBEM_E_NOT_EVENT_CLASS},
};

TEST(Wql, ParsesWhatItSupportsAndRejectsTheRest) {
    for (const ParseCase& c : kParseCases) {
        WqlQuery query;
        EXPECT_EQ(ParseWql(c.text, c.notification, query), c.expected) << c.text;
    }
}

TEST(Wql, WithinIsKeptInMicroseconds) {
    WqlQuery query;
    ASSERT_EQ(ParseWql("SELECT * FROM __InstanceCreationEvent WITHIN 2.25 WHERE TargetInstance ISA "
                       "'Win32_NTLogEvent'",
                       true, query),
              WBEM_S_NO_ERROR);
    EXPECT_EQ(query.withinMicros, 2250000);
    EXPECT_TRUE(query.notification);
}

TEST(Wql, EscapedQuoteStaysInsideTheLiteral) {
    WqlQuery query;
    ASSERT_EQ(ParseWql(DATA " WHERE LogFile = 'x\\' AND EventType <> \\'0'", false, query),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(query.conditions.size(), 1u);
    EXPECT_EQ(query.conditions[0].text, "x' AND EventType <> '0");
}

// A parsed query evaluated on a simulated host's record
// (wmi/sim/ntlogevent.h), the way the engine's queries are answered.
struct MatchCase {
    const char* where;
    bool expected;
};

const MatchCase kMatchCases[] = {
    {"LogFile = 'system'", true},
    {"LOGFILE = 'SYSTEM'", true},
    {"LogFile <> 'System'", false},
    {"LogFile = 'Syst'", false},
    {"EventType <= 2", true},
    {"EventType <= 1", false},
    {"EventType < 2", false},
    {"EventType >= 2", true},
    {"EventType > 2", false},
    {"EventType = 2", true},
    {"EventType != 2", false},
    {"EventCode = '7036'", true},
    {"EventIdentifier = 1073748860", true},
    {"SourceName = 'Service Control Manager'", true},
    {"SourceName < 'T'", true},
    {"SourceName > 'service control manager'", false},
    {"TimeGenerated > '20240101115959.999999+000'", true},
    {"TimeGenerated > '20240101120000.000000+000'", false},
    {"TimeGenerated >= '20240101120000.000000+000'", true},
    // 14:00 two hours east of UTC is 12:00 UTC: compared as times, not texts.
    {"TimeGenerated < '20240101140000.000000+120'", false},
    {"TimeGenerated <= '20240101140000.000000+120'", true},
    {"TimeWritten = '20240101120001.000000+000'", true},
    {"Message = 'x'", false},
    {"Message <> 'x'", false},
    {"User = 'nt authority\\\\system'", true},
    {"EventType <= 3 AND LogFile = 'Application'", false},
    {"EventType <= 3 AND LogFile = 'System' AND RecordNumber = 17", true},
};

TEST(Wql, EvaluatesComparisonsOnAnEvent) {
    SimEvent event = simtest::MakeEvent("System", 2, 7036);
    event.eventIdentifier = 1073748860;
    event.sourceName = "Service Control Manager";
    event.timeWritten = simtest::kNoon + 1000000;
    event.message.reset();
    event.user = "NT AUTHORITY\\SYSTEM";
    event.recordNumber = 17;
    for (const MatchCase& c : kMatchCases) {
        std::string text = std::string(DATA " WHERE ") + c.where;
        WqlQuery query;
        ASSERT_EQ(ParseWql(text, false, query), WBEM_S_NO_ERROR) << text;
        EXPECT_EQ(wmi::sim::Matches(query, event), c.expected) << text;
    }
}

TEST(Wql, TimeBoundsOfExclusiveWindow) {
    WqlQuery query;
    ASSERT_EQ(
        ParseWql(DATA
                 " WHERE TimeGenerated > '20240101120000.000000+000' AND TimeGenerated < "
                 "'20240101120010.000000+000' AND TimeGenerated >= '20240101115000.000000+000'",
                 false, query),
        WBEM_S_NO_ERROR);
    int64_t from = 0, to = 0;
    TimeGeneratedBounds(query, from, to);
    EXPECT_EQ(from, simtest::kNoon + 1);
    EXPECT_EQ(to, simtest::kNoon + 10000000 - 1);

    ASSERT_EQ(ParseWql(DATA " WHERE EventType = 1", false, query), WBEM_S_NO_ERROR);
    TimeGeneratedBounds(query, from, to);
    EXPECT_EQ(from, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(to, std::numeric_limits<int64_t>::max());
}

// The record number a data query may start paging after: the strongest
// lower bound, and 0 when there is none (an upper bound or <> is no floor).
TEST(Wql, RecordNumberFloorOfDataQueries) {
    const struct {
        const char* where;
        int64_t floor;
    } cases[] = {
        {"EventType = 1", 0},
        {"RecordNumber > 41", 41},
        {"RecordNumber >= 41", 40},
        {"RecordNumber = 41", 40},
        {"RecordNumber < 41", 0},
        {"RecordNumber <> 41", 0},
        {"RecordNumber > 5 AND LogFile = 'System' AND RecordNumber >= 30", 29},
    };
    for (const auto& c : cases) {
        std::string text = std::string(DATA " WHERE ") + c.where;
        WqlQuery query;
        ASSERT_EQ(ParseWql(text, false, query), WBEM_S_NO_ERROR) << text;
        EXPECT_EQ(RecordNumberFloor(query), c.floor) << text;
    }
}

}  // namespace

// RecordNumber is unsigned 32-bit and wraps: a number up to 2^31 ahead,
// counted modulo 2^32, comes later.
TEST(Wql, RecordNumberAfterCountsAcrossTheWrap) {
    const struct {
        uint32_t last;
        uint32_t number;
        bool after;
    } cases[] = {
        {1, 2, true},
        {2, 2, false},
        {3, 2, false},
        {2147483647u, 2147483648u, true},  // across 2^31
        {2147483648u, 2147483647u, false},
        {4294967290u, 4294967295u, true},
        {4294967295u, 1, true},  // wrapped near 2^32
        {4294967290u, 5, true},
        {5, 4294967290u, false},
        {100, 1, false},  // a cleared log far from the wrap: not later by number
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wmi::cim::RecordNumberAfter(c.last, c.number), c.after)
            << c.last << " then " << c.number;
    }
}
