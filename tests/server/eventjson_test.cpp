// The JSON of events and notices, read back with a JSON parser: every key,
// the kinds of values (numbers, texts with line breaks and non-ASCII
// characters, null, arrays, base64 bytes) and the RFC 3339 times.
#include "server/eventjson.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

namespace {

TEventValue Text(const std::string& text) {
    TEventValue v;
    v.kind = TEventValue::TKind::Text;
    v.text = text;
    return v;
}

TEventValue Number(const std::string& text) {
    TEventValue v;
    v.kind = TEventValue::TKind::Number;
    v.text = text;
    return v;
}

TEventValue Null() {
    TEventValue v;
    v.kind = TEventValue::TKind::Null;
    return v;
}

TEventData SampleEvent() {
    TEventData e;
    e.host = "dc1.corp";
    e[TEventProperty::ComputerName] = Text("DC1");
    e[TEventProperty::Logfile] = Text("Directory Service");
    e[TEventProperty::RecordNumber] = Number("4294967295");
    e[TEventProperty::EventCode] = Number("4624");
    e[TEventProperty::EventIdentifier] = Number("-2147483648");
    e[TEventProperty::EventType] = Number("4");
    e[TEventProperty::Type] = Text("Audit Success");
    e[TEventProperty::SourceName] = Text("Src \"quoted\" \\ back");
    e[TEventProperty::Category] = Number("12544");
    e[TEventProperty::CategoryString] = Text("Logon");
    e[TEventProperty::TimeGenerated] = Text("20261211014249.123456+000");
    // An offset east of UTC is taken off: 03:42:49 at +120 minutes.
    e[TEventProperty::TimeWritten] = Text("20261211034249.000001+120");
    e[TEventProperty::User] = Null();
    e[TEventProperty::Message] =
        Text("line one\r\nline two\ttab \xC3\xA9t\xC3\xA9 \xE2\x82\xAC\x01");
    TEventValue inserts;
    inserts.kind = TEventValue::TKind::TextArray;
    inserts.items = {"S-1-5-18", "", "caf\xC3\xA9"};
    e[TEventProperty::InsertionStrings] = inserts;
    TEventValue data;
    data.kind = TEventValue::TKind::Bytes;
    data.text = std::string("\x00\xFF\x10 a", 5);
    e[TEventProperty::Data] = data;
    return e;
}

rapidjson::Document Parse(const std::string& json) {
    rapidjson::Document d;
    d.Parse(json.c_str(), json.size());
    EXPECT_FALSE(d.HasParseError()) << json;
    EXPECT_TRUE(d.IsObject()) << json;
    return d;
}

TEST(EventJson, EveryPropertyWithItsKindOfValue) {
    std::string json;
    EventJson(SampleEvent(), &json);
    rapidjson::Document d = Parse(json);
    struct TextKey {
        const char* key;
        const char* value;
    };
    const TextKey texts[] = {
        {"Host", "dc1.corp"},
        {"ComputerName", "DC1"},
        {"Logfile", "Directory Service"},
        {"Type", "Audit Success"},
        {"SourceName", "Src \"quoted\" \\ back"},
        {"CategoryString", "Logon"},
        {"TimeGenerated", "2026-12-11T01:42:49.123456Z"},
        {"TimeWritten", "2026-12-11T01:42:49.000001Z"},
        {"Message", "line one\r\nline two\ttab \xC3\xA9t\xC3\xA9 \xE2\x82\xAC\x01"},
        {"Data", "AP8QIGE="},
    };
    for (const TextKey& t : texts) {
        ASSERT_TRUE(d.HasMember(t.key) && d[t.key].IsString()) << t.key << " in " << json;
        EXPECT_EQ(std::string(d[t.key].GetString(), d[t.key].GetStringLength()), t.value) << t.key;
    }
    EXPECT_EQ(d["RecordNumber"].GetUint64(), 4294967295u);
    EXPECT_EQ(d["EventCode"].GetInt(), 4624);
    EXPECT_EQ(d["EventIdentifier"].GetInt64(), -2147483648LL);
    EXPECT_EQ(d["EventType"].GetInt(), 4);
    EXPECT_EQ(d["Category"].GetInt(), 12544);
    EXPECT_TRUE(d["User"].IsNull());
    ASSERT_TRUE(d["InsertionStrings"].IsArray());
    ASSERT_EQ(d["InsertionStrings"].Size(), 3u);
    EXPECT_STREQ(d["InsertionStrings"][1].GetString(), "");
    EXPECT_STREQ(d["InsertionStrings"][2].GetString(), "caf\xC3\xA9");
    // The object is one line: a consumer may read the topic line by line.
    EXPECT_EQ(json.find('\n'), std::string::npos) << json;
    EXPECT_EQ(d.MemberCount(), 17u);
}

// A NUL in event text stays, as JSON writes it (\u0000); a U+FFFD that
// stands for text that could not be converted is written as it is.
TEST(EventJson, NulsAndReplacementCharactersStayInTheText) {
    TEventData e = SampleEvent();
    e[TEventProperty::Message] = Text(std::string("cut\0here \xEF\xBF\xBD end", 16));
    TEventValue inserts;
    inserts.kind = TEventValue::TKind::TextArray;
    inserts.items = {std::string("a\0b", 3)};
    e[TEventProperty::InsertionStrings] = inserts;
    std::string json;
    EventJson(e, &json);
    EXPECT_NE(json.find("\"Message\":\"cut\\u0000here \xEF\xBF\xBD end\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"InsertionStrings\":[\"a\\u0000b\"]"), std::string::npos) << json;
    rapidjson::Document d = Parse(json);
    EXPECT_EQ(std::string(d["Message"].GetString(), d["Message"].GetStringLength()),
              std::string("cut\0here \xEF\xBF\xBD end", 16));
}

TEST(EventJson, WhatTheHostDidNotGiveIsNull) {
    TEventData e;
    e.host = "h";
    e[TEventProperty::InsertionStrings].kind = TEventValue::TKind::TextArray;  // empty
    e[TEventProperty::Message].kind = TEventValue::TKind::Empty;
    e[TEventProperty::EventCode] = Number("inf");  // not a JSON number: kept as text
    std::string json;
    EventJson(e, &json);
    rapidjson::Document d = Parse(json);
    for (const char* key : {"ComputerName", "User", "Data", "TimeWritten", "Message"}) {
        EXPECT_TRUE(d[key].IsNull()) << key << " in " << json;
    }
    EXPECT_TRUE(d["InsertionStrings"].IsArray() && d["InsertionStrings"].Empty()) << json;
    EXPECT_STREQ(d["EventCode"].GetString(), "inf");
}

// The output formats every record of a batch into one reused string: each
// object must be exactly what a fresh string gets, whatever the string held
// before (a longer record, one whose escapes reserved far more room).
TEST(EventJson, AReusedStringHoldsOnlyTheLatestObject) {
    TEventData longer = SampleEvent();
    longer[TEventProperty::Message] = Text(std::string(3000, '\x01') + "end");
    TEventData shorter;
    shorter.host = "h";
    TNotice notice;
    notice.kind = TNoticeKind::EventsSkipped;
    notice.host = "h";
    notice.count = 3;
    std::string fresh[3];
    EventJson(longer, &fresh[0]);
    EventJson(shorter, &fresh[1]);
    NoticeJson(notice, &fresh[2]);
    std::string reused = "left over";
    for (int round = 0; round < 2; ++round) {
        EventJson(longer, &reused);
        EXPECT_EQ(reused, fresh[0]) << round;
        EventJson(shorter, &reused);
        EXPECT_EQ(reused, fresh[1]) << round;
        NoticeJson(notice, &reused);
        EXPECT_EQ(reused, fresh[2]) << round;
    }
    Parse(fresh[0]);
    EXPECT_NE(fresh[0].find("\\u0001end\""), std::string::npos) << fresh[0].substr(0, 200);
}

TEST(NoticeJson, EachNoticeWithItsOwnKeys) {
    struct Case {
        TNoticeKind kind;
        const char* name;
        std::vector<const char*> extra;
    };
    const Case cases[] = {
        {TNoticeKind::ConnectionFailed, "CONNECTION_FAILED", {"Error"}},
        {TNoticeKind::ConnectionReestab, "CONNECTION_REESTAB", {}},
        {TNoticeKind::EventsSkipped, "EVENTS_SKIPPED", {"Count"}},
        {TNoticeKind::ReplayFinished, "REPLAY_FINISHED", {"From", "To"}},
    };
    for (const Case& c : cases) {
        TNotice n;
        n.kind = c.kind;
        n.host = "10.0.0.5";
        n.category = "Directory Service";
        n.severity = "*";
        n.at = 1796953369;  // 2026-12-11T01:42:49Z
        n.error = "The RPC server is unavailable.\r\n";
        n.count = 42;
        n.timeFrom = "20261210000000";
        n.timeTo = "0";
        std::string json;
        NoticeJson(n, &json);
        rapidjson::Document d = Parse(json);
        EXPECT_STREQ(d["Notice"].GetString(), c.name) << json;
        EXPECT_STREQ(d["Host"].GetString(), "10.0.0.5") << json;
        EXPECT_STREQ(d["Category"].GetString(), "Directory Service") << json;
        EXPECT_STREQ(d["Severity"].GetString(), "*") << json;
        EXPECT_STREQ(d["Time"].GetString(), "2026-12-11T01:42:49.000000Z") << json;
        EXPECT_EQ(d.MemberCount(), 5u + c.extra.size()) << json;
        for (const char* key : c.extra) EXPECT_TRUE(d.HasMember(key)) << key << " in " << json;
        if (c.kind == TNoticeKind::EventsSkipped) {
            EXPECT_EQ(d["Count"].GetUint64(), 42u);
        }
    }
}

}  // namespace
