// The provider's reading of Event XML: valid events with every field at its
// bounds, malformed ones refused with a reason, the Win32_NTLogEvent view of
// a channel event, the type of a level and keywords, and the XPath texts
// the provider sends.

#include "wmi/wsman/channelevent.h"

#include <gtest/gtest.h>

#include <string>

#include "wmi/wsman/envelope.h"

namespace {

using namespace wmi::wsman;

const std::string kNs = "xmlns=\"http://schemas.microsoft.com/win/2004/08/events/event\"";

// An Event with `system` inside System and `rest` after it.
std::string EventXmlOf(const std::string& system, const std::string& rest = "") {
    return "<Event " + kNs + "><System>" + system + "</System>" + rest + "</Event>";
}

const std::string kMinimal =
    "<EventID>4</EventID><TimeCreated SystemTime=\"2021-12-04T21:19:16.7419950Z\"/>"
    "<EventRecordID>1</EventRecordID>";

TEST(ChannelEventTest, EveryFieldAtItsBounds) {
    const std::string xml = EventXmlOf(
        "<Provider Name=\"Microsoft-Windows-Sysmon\" "
        "Guid=\"{5770385f-c22a-43e0-bf4c-06f5698ffbd9}\""
        " EventSourceName=\"Sysmon\"/><EventID Qualifiers=\"65535\">4294967295</EventID>"
        "<Version>255</Version><Level>255</Level><Task>65535</Task><Opcode>255</Opcode>"
        "<Keywords>0xffffffffffffffff</Keywords>"
        "<TimeCreated SystemTime=\"2021-12-04T21:19:16.7419959Z\"/>"
        "<EventRecordID>18446744073709551615</EventRecordID>"
        "<Correlation ActivityID=\"{C43202E9-CB0F-0000-D030-32C40FCBD701}\"/>"
        "<Execution ProcessID=\"4294967295\" ThreadID=\"0\"/>"
        "<Channel>Microsoft-Windows-Sysmon/Operational</Channel><Computer>pc &amp; co</Computer>"
        "<Security UserID=\"S-1-5-18\"/>",
        "<EventData><Data Name=\"RuleName\">-</Data><Data>unnamed</Data><Data Name=\"E\"/>"
        "</EventData><RenderingInfo Culture=\"en-US\"><Message>Process "
        "Create:\r\nx&#13;\ny</Message>"
        "<Level>Information</Level><Task>Process Create (rule: ProcessCreate)</Task>"
        "<Opcode>Info</Opcode><Keywords><Keyword>A</Keyword><Keyword>B</Keyword></Keywords>"
        "</RenderingInfo>");
    ChannelEvent e;
    std::string error;
    ASSERT_TRUE(ParseChannelEvent(xml, e, error)) << error;
    EXPECT_EQ(e.providerName, "Microsoft-Windows-Sysmon");
    EXPECT_EQ(e.providerGuid, "{5770385f-c22a-43e0-bf4c-06f5698ffbd9}");
    EXPECT_EQ(e.eventSourceName, "Sysmon");
    EXPECT_EQ(e.eventId, 4294967295u);
    EXPECT_EQ(e.qualifiers, 65535u);
    EXPECT_EQ(e.version, 255u);
    EXPECT_EQ(e.level, 255u);
    EXPECT_EQ(e.task, 65535u);
    EXPECT_EQ(e.opcode, 255u);
    EXPECT_EQ(e.keywords, UINT64_MAX);
    EXPECT_EQ(e.timeCreated, 1638652756741995);  // digits past µs dropped
    EXPECT_EQ(e.eventRecordId, UINT64_MAX);
    EXPECT_EQ(e.activityId, "{C43202E9-CB0F-0000-D030-32C40FCBD701}");
    EXPECT_EQ(e.processId, 4294967295u);
    EXPECT_EQ(e.threadId, 0u);
    EXPECT_EQ(e.channel, "Microsoft-Windows-Sysmon/Operational");
    EXPECT_EQ(e.computer, "pc & co");
    EXPECT_EQ(e.userSid, "S-1-5-18");
    ASSERT_EQ(e.eventData.size(), 3u);
    EXPECT_EQ(e.eventData[0].name, "RuleName");
    EXPECT_EQ(e.eventData[1].name, "");
    EXPECT_EQ(e.eventData[1].value, "unnamed");
    EXPECT_EQ(e.eventData[2].value, "");
    EXPECT_FALSE(e.userData.has_value());
    // A raw CR LF is a line end to XML (read as LF); a CR written as a
    // character reference stays.
    EXPECT_EQ(e.message, "Process Create:\nx\r\ny");
    EXPECT_EQ(e.levelText, "Information");
    EXPECT_EQ(e.keywordTexts, (std::vector<std::string>{"A", "B"}));
}

TEST(ChannelEventTest, UserDataIsKeptAsXmlAndItsLeavesAsNamedValues) {
    ChannelEvent e;
    std::string error;
    ASSERT_TRUE(ParseChannelEvent(
        EventXmlOf(kMinimal,
                   "<UserData><Print xmlns=\"urn:p\"><Name>a &amp; b</Name><Inner><Deep>1</Deep>"
                   "</Inner><Empty/></Print></UserData>"),
        e, error))
        << error;
    ASSERT_TRUE(e.userData.has_value());
    EXPECT_NE(e.userData->find("<Name>a &amp; b</Name>"), std::string::npos) << *e.userData;
    ASSERT_EQ(e.eventData.size(), 3u);
    EXPECT_EQ(e.eventData[0].name, "Name");
    EXPECT_EQ(e.eventData[0].value, "a & b");
    EXPECT_EQ(e.eventData[1].name, "Deep");
    EXPECT_EQ(e.eventData[2].name, "Empty");
    EXPECT_FALSE(e.userSid.has_value());
    EXPECT_FALSE(e.message.has_value());
}

TEST(ChannelEventTest, MalformedEventsAreRefusedWithAReason) {
    const struct {
        std::string xml;
        std::string reason;
    } kCases[] = {
        {"<Event><System>" + kMinimal + "</System></Event>", "not an Event"},  // no namespace
        {"<Other " + kNs + "/>", "not an Event"},
        {"<Event " + kNs + "/>", "without System"},
        {EventXmlOf("<TimeCreated SystemTime=\"2021-12-04T21:19:16Z\"/><EventRecordID>1"
                    "</EventRecordID>"),
         "EventID"},
        {EventXmlOf(
             "<EventID>4294967296</EventID><TimeCreated SystemTime=\"2021-12-04T21:19:16Z\"/>"
             "<EventRecordID>1</EventRecordID>"),
         "EventID"},
        {EventXmlOf("<EventID>-1</EventID><TimeCreated SystemTime=\"2021-12-04T21:19:16Z\"/>"
                    "<EventRecordID>1</EventRecordID>"),
         "EventID"},
        {EventXmlOf("<EventID Qualifiers=\"65536\">4</EventID><TimeCreated "
                    "SystemTime=\"2021-12-04T21:19:16Z\"/><EventRecordID>1</EventRecordID>"),
         "Qualifiers"},
        {EventXmlOf(kMinimal + "<Level>256</Level>"), "Level"},
        {EventXmlOf(kMinimal + "<Keywords>0x1ffffffffffffffff</Keywords>"), "Keywords"},
        {EventXmlOf(kMinimal + "<Task>x</Task>"), "Task"},
        {EventXmlOf("<EventID>4</EventID><TimeCreated SystemTime=\"yesterday\"/>"
                    "<EventRecordID>1</EventRecordID>"),
         "TimeCreated"},
        {EventXmlOf("<EventID>4</EventID><EventRecordID>1</EventRecordID>"), "TimeCreated"},
        {EventXmlOf("<EventID>4</EventID><TimeCreated SystemTime=\"2021-12-04T21:19:16Z\"/>"),
         "EventRecordID"},
        {EventXmlOf("<EventID>4</EventID><TimeCreated SystemTime=\"2021-12-04T21:19:16Z\"/>"
                    "<EventRecordID>18446744073709551616</EventRecordID>"),
         "EventRecordID"},
        {EventXmlOf(kMinimal + "<Execution ProcessID=\"4294967296\"/>"), "ProcessID"},
        {"<Event " + kNs + "><System>", "malformed"},
    };
    for (const auto& c : kCases) {
        ChannelEvent e;
        std::string error;
        EXPECT_FALSE(ParseChannelEvent(c.xml, e, error)) << c.xml;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.xml << "\n" << error;
    }
}

TEST(ChannelEventTest, TypeFromKeywordsThenLevel) {
    const struct {
        uint32_t level;
        uint64_t keywords;
        int type;
    } kCases[] = {
        {0, 0x8020000000000000ULL, 4},
        {2, 0x0010000000000000ULL, 5},
        {1, 0, 1},
        {2, 0, 1},
        {3, 0, 2},
        {4, 0, 3},
        {0, 0, 3},
        {5, 0, 3},
        {255, 0x8000000000000000ULL, 3},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(EventTypeOfChannelEvent(c.level, c.keywords), c.type)
            << c.level << " " << c.keywords;
    }
}

TEST(ChannelEventTest, XPathTexts) {
    EXPECT_EQ(LevelXPath(0), "*");
    EXPECT_EQ(LevelXPath(5), "*");
    EXPECT_EQ(LevelXPath(3), "*");
    EXPECT_EQ(LevelXPath(1), "*[System[(Level=1 or Level=2)]]");
    EXPECT_EQ(LevelXPath(2), "*[System[(Level=1 or Level=2 or Level=3)]]");
    EXPECT_EQ(LevelXPath(0, 4294967296ULL), "*[System[EventRecordID>4294967296]]");
    EXPECT_EQ(LevelXPath(1, 7), "*[System[(Level=1 or Level=2) and EventRecordID>7]]");
    EXPECT_EQ(TimeWindowXPath(1638652756741995, 1638652757000000),
              "*[System[TimeCreated[@SystemTime>='2021-12-04T21:19:16.741995Z' and "
              "@SystemTime<'2021-12-04T21:19:17.000000Z']]]");
}

const Value* Property(const Instance& i, const char* name) {
    const Value* v = i.Find(name);
    EXPECT_NE(v, nullptr) << name;
    return v;
}

TEST(ChannelEventTest, NtLogEventView) {
    ChannelEvent e;
    e.providerName = "Microsoft-Windows-Sysmon";
    e.eventId = 0x10001;  // past 16 bits: EventCode keeps the low ones
    e.qualifiers = 0x8000;
    e.level = 2;
    e.task = 1;
    e.taskText = "Process Create";
    e.timeCreated = 1638652756741995;
    e.eventRecordId = (uint64_t{1} << 32) + 5;
    e.channel = "Microsoft-Windows-Sysmon/Operational";
    e.computer = "pc";
    e.eventData = {{"RuleName", "first"}, {"", "second"}};
    const Instance i = NtLogEventOf(e);
    EXPECT_EQ(i.className, "Win32_NTLogEvent");
    EXPECT_EQ(i.properties.size(), 15u);
    EXPECT_EQ(Property(i, "EventCode")->number, 1);
    EXPECT_EQ(Property(i, "EventIdentifier")->number, (int64_t{0x8000} << 16) | 0x10001);
    EXPECT_EQ(Property(i, "EventType")->kind, Value::Kind::UInt8);
    EXPECT_EQ(Property(i, "EventType")->number, 1);
    EXPECT_EQ(Property(i, "Type")->text, "Error");
    EXPECT_EQ(Property(i, "RecordNumber")->number, 5);  // the class's 32 bits
    EXPECT_EQ(Property(i, "SourceName")->text, "Microsoft-Windows-Sysmon");
    EXPECT_EQ(Property(i, "Logfile")->text, "Microsoft-Windows-Sysmon/Operational");
    EXPECT_EQ(Property(i, "TimeGenerated")->text, "20211204211916.741995+000");
    EXPECT_EQ(Property(i, "TimeWritten")->text, "20211204211916.741995+000");
    EXPECT_EQ(Property(i, "CategoryString")->text, "Process Create");
    EXPECT_EQ(Property(i, "InsertionStrings")->texts,
              (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(Property(i, "Message")->kind, Value::Kind::Null);
    EXPECT_EQ(Property(i, "User")->kind, Value::Kind::Null);
    e.eventData.clear();
    e.eventSourceName = "Sysmon";
    e.message = "m";
    e.userSid = "S-1-5-18";
    const Instance j = NtLogEventOf(e);
    EXPECT_EQ(Property(j, "InsertionStrings")->kind, Value::Kind::Null);
    EXPECT_EQ(Property(j, "SourceName")->text, "Sysmon");
    EXPECT_EQ(Property(j, "Message")->text, "m");
    EXPECT_EQ(Property(j, "User")->text, "S-1-5-18");
}

}  // namespace
