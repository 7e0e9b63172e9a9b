// The WS-Management envelope layer: documents in Windows' wire structure
// (tests/wmi/wsman/fixtures) read into items and faults, the requests the
// provider writes read back by the endpoint's parser, and the simulated
// hosts' objects written as items and read back with the same values.

#include "wmi/wsman/envelope.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/app/tempdir.h"
#include "tests/wmi/simfixture.h"
#include "wmi/sim/ntlogevent.h"
#include "wmi/wsman/wsmanobject.h"

using namespace wmi::wsman;
using simtest::GetProperty;
using simtest::Read;

namespace {

std::string Fixture(const std::string& name) {
    const char* src = std::getenv("QUELLON_SOURCE_DIR");
    std::string root = src != nullptr ? src : QUELLON_TEST_SOURCE_ROOT;
    std::string text = ReadWholeFile(root + "/tests/wmi/wsman/fixtures/" + name);
    EXPECT_FALSE(text.empty()) << name;
    return text;
}

Response Parse(const std::string& name) {
    Response response;
    std::string error;
    EXPECT_TRUE(ParseResponse(Fixture(name), response, error)) << name << ": " << error;
    return response;
}

// Reads one property through the COM object, as the engine does.
Read Property(const Instance& instance, const char16_t* name) {
    IWbemClassObject* object = MakeObject(std::make_shared<Instance>(instance));
    Read read = GetProperty(object, name);
    object->Release();
    return read;
}

struct Expected {
    const char16_t* name;
    VARTYPE vt;
    const char* text;
};

void ExpectProperties(const Instance& instance, const std::vector<Expected>& table) {
    for (const Expected& e : table) {
        Read read = Property(instance, e.name);
        std::string name(e.name, e.name + std::char_traits<char16_t>::length(e.name));
        EXPECT_EQ(read.hr, S_OK) << name;
        EXPECT_EQ(read.vt, e.vt) << name;
        EXPECT_EQ(read.text, e.text) << name;
    }
}

TEST(WsmanEnvelopeTest, PullItemsBecomeObjectsWithWmiVariantKinds) {
    Response r = Parse("pull_response.xml");
    ASSERT_EQ(r.kind, Response::Kind::Pull);
    EXPECT_EQ(r.context, "uuid:9C1B8E2A-0D4F-4E7A-A3B5-1C2D3E4F5A6B");
    EXPECT_FALSE(r.endOfSequence);
    ASSERT_EQ(r.items.size(), 3u);
    EXPECT_EQ(r.items[0].className, "Win32_NTLogEvent");
    ExpectProperties(
        r.items[0],
        {
            {u"Category", VT_I4, "12544"},
            {u"CategoryString", VT_BSTR, "Logon"},
            {u"EventCode", VT_I4, "4624"},
            {u"EventType", VT_UI1, "4"},
            {u"InsertionStrings", VT_ARRAY | VT_BSTR, "[S-1-5-18|DC01$|CORP & <lab>]"},
            {u"logfile", VT_BSTR, "Security"},
            {u"Message", VT_BSTR, "An account was successfully logged on.\r\n\r\nSubject:"},
            // uint32 as VT_I4, as WMI hands it out: the top bit wraps.
            {u"RecordNumber", VT_I4, "-1"},
            {u"TimeGenerated", VT_BSTR, "20231114221320.123456+000"},
            // Another zone on the wire is converted to UTC.
            {u"TimeWritten", VT_BSTR, "20231114221320.500000+000"},
            {u"User", VT_NULL, "<NULL>"},
            // A property the simulated hosts do not have comes through as
            // the host sent it.
            {u"Data", VT_NULL, "<NULL>"},
        });
    // One element on the wire is still an array of one.
    ExpectProperties(r.items[1], {
                                     {u"InsertionStrings", VT_ARRAY | VT_BSTR, "[Windows Update]"},
                                     {u"CategoryString", VT_NULL, "<NULL>"},
                                     {u"Message", VT_NULL, "<NULL>"},
                                     {u"User", VT_BSTR, "NT AUTHORITY\\SYSTEM"},
                                     {u"EventIdentifier", VT_I4, "1073748860"},
                                     {u"TimeGenerated", VT_BSTR, "20240229000001.000000+000"},
                                 });
    // No element at all: an empty array; scalars left out are NULL.
    ExpectProperties(r.items[2], {
                                     {u"InsertionStrings", VT_ARRAY | VT_BSTR, "[]"},
                                     {u"Message", VT_NULL, "<NULL>"},
                                     {u"CategoryString", VT_NULL, "<NULL>"},
                                 });
    EXPECT_EQ(Property(r.items[2], u"NoSuchProperty").hr, WBEM_E_NOT_FOUND);
    EXPECT_EQ(Property(r.items[2], u"__CLASS").text, "Win32_NTLogEvent");
}

TEST(WsmanEnvelopeTest, EnumerationAnswers) {
    Response enumerate = Parse("enumerate_response.xml");
    EXPECT_EQ(enumerate.kind, Response::Kind::Enumerate);
    EXPECT_EQ(enumerate.context, "uuid:9C1B8E2A-0D4F-4E7A-A3B5-1C2D3E4F5A6B");

    Response end = Parse("pull_end.xml");
    EXPECT_EQ(end.kind, Response::Kind::Pull);
    EXPECT_TRUE(end.endOfSequence);
    EXPECT_EQ(end.context, "");
    ASSERT_EQ(end.items.size(), 1u);
    ExpectProperties(end.items[0], {{u"InsertionStrings", VT_ARRAY | VT_BSTR, "[]"},
                                    {u"EventType", VT_UI1, "2"}});
    // "[]" above is one empty element: the array has one entry.
    const Value* strings = end.items[0].Find("InsertionStrings");
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(strings->texts, std::vector<std::string>{""});

    Response empty = Parse("pull_empty.xml");
    EXPECT_EQ(empty.kind, Response::Kind::Pull);
    EXPECT_TRUE(empty.items.empty());
    EXPECT_FALSE(empty.endOfSequence);

    EXPECT_EQ(Parse("release_response.xml").kind, Response::Kind::Release);
}

TEST(WsmanEnvelopeTest, Faults) {
    Response timedOut = Parse("pull_timedout.xml");
    ASSERT_EQ(timedOut.kind, Response::Kind::Fault);
    EXPECT_EQ(timedOut.fault.code, "Receiver");
    EXPECT_EQ(timedOut.fault.subcode, "TimedOut");
    EXPECT_EQ(timedOut.fault.wsmanCode, kFaultTimedOut);

    Response invalid = Parse("invalid_query.xml");
    ASSERT_EQ(invalid.kind, Response::Kind::Fault);
    EXPECT_EQ(invalid.fault.code, "Sender");
    EXPECT_EQ(invalid.fault.subcode, "CannotProcessFilter");
    EXPECT_EQ(static_cast<HRESULT>(invalid.fault.wsmanCode), WBEM_E_INVALID_QUERY);
}

TEST(WsmanEnvelopeTest, SubscriptionAndEventItems) {
    Response subscribed = Parse("subscribe_response.xml");
    ASSERT_EQ(subscribed.kind, Response::Kind::Subscribe);
    EXPECT_EQ(subscribed.subscriptionId, "uuid:1F2E3D4C-5B6A-4789-8ABC-DEF012345678");
    EXPECT_EQ(subscribed.context, "uuid:3A4B5C6D-7E8F-4A1B-9C2D-3E4F5A6B7C8D");

    Response events = Parse("pull_events.xml");
    ASSERT_EQ(events.items.size(), 1u);
    IWbemClassObject* event = MakeObject(std::make_shared<Instance>(events.items[0]));
    EXPECT_EQ(GetProperty(event, u"__CLASS").text, "__InstanceCreationEvent");
    IWbemClassObject* target = simtest::TargetOf(event);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(GetProperty(target, u"__CLASS").text, "Win32_NTLogEvent");
    EXPECT_EQ(GetProperty(target, u"InsertionStrings").text, "[Print Spooler|running]");
    EXPECT_EQ(GetProperty(target, u"TimeGenerated").text, "20240301083000.250000+000");
    EXPECT_EQ(GetProperty(target, u"RecordNumber").vt, VT_I4);
    EXPECT_EQ(GetProperty(target, u"Message").vt, VT_NULL);
    target->Release();
    event->Release();
}

TEST(WsmanEnvelopeTest, RequestsFromTheFixturesAndFromTheBuilders) {
    Request enumerate;
    std::string error;
    ASSERT_TRUE(ParseRequest(Fixture("enumerate_request.xml"), enumerate, error)) << error;
    EXPECT_EQ(enumerate.kind, Request::Kind::Enumerate);
    EXPECT_EQ(enumerate.resourceUri, kResourceCimv2);
    EXPECT_EQ(enumerate.filterDialect, kDialectWql);
    EXPECT_EQ(enumerate.filter,
              "SELECT * FROM Win32_NTLogEvent WHERE TimeGenerated > '20231114000000.000000+000' "
              "AND LogFile = 'System'");
    EXPECT_EQ(enumerate.operationTimeoutMs, 60000);

    Request subscribe;
    ASSERT_TRUE(ParseRequest(Fixture("subscribe_request.xml"), subscribe, error)) << error;
    EXPECT_EQ(subscribe.kind, Request::Kind::Subscribe);
    EXPECT_EQ(subscribe.deliveryMode, kDeliveryPull);

    // What the builders write reads back the same, whatever the texts hold:
    // nothing can leave its element.
    const std::string hostile = "x</w:Filter><evil/>&amp;'\"]]><!--";
    RequestOptions options;
    options.to = "http://h:5985/wsman?a=<b>&c";
    options.operationTimeoutMs = 1500;
    Request r;
    ASSERT_TRUE(ParseRequest(EnumerateRequest(options, hostile), r, error)) << error;
    EXPECT_EQ(r.kind, Request::Kind::Enumerate);
    EXPECT_EQ(r.filter, hostile);
    EXPECT_EQ(r.to, options.to);
    EXPECT_EQ(r.operationTimeoutMs, 1500);
    ASSERT_TRUE(ParseRequest(PullRequest(options, hostile, 50), r, error)) << error;
    EXPECT_EQ(r.kind, Request::Kind::Pull);
    EXPECT_EQ(r.context, hostile);
    EXPECT_EQ(r.maxElements, 50u);
    ASSERT_TRUE(ParseRequest(SubscribeRequest(options, hostile, 0), r, error)) << error;
    EXPECT_EQ(r.kind, Request::Kind::Subscribe);
    EXPECT_EQ(r.filter, hostile);
    ASSERT_TRUE(ParseRequest(UnsubscribeRequest(options, hostile), r, error)) << error;
    EXPECT_EQ(r.kind, Request::Kind::Unsubscribe);
    EXPECT_EQ(r.subscriptionId, hostile);
    ASSERT_TRUE(ParseRequest(ReleaseRequest(options, hostile), r, error)) << error;
    EXPECT_EQ(r.kind, Request::Kind::Release);
    ASSERT_TRUE(ParseRequest(IdentifyRequest(), r, error)) << error;
    EXPECT_EQ(r.kind, Request::Kind::Identify);

    // The endpoint's answers read back on the provider's side.
    Response answer;
    ASSERT_TRUE(
        ParseResponse(SubscribeResponse("m", "http://h/wsman", hostile, "ctx"), answer, error));
    EXPECT_EQ(answer.subscriptionId, hostile);
    ASSERT_TRUE(ParseResponse(
        FaultResponse("m", "Receiver", "w:TimedOut", "late & slow", kFaultTimedOut, "H"), answer,
        error));
    EXPECT_EQ(answer.fault.subcode, "TimedOut");
    EXPECT_EQ(answer.fault.reason, "late & slow");
}

TEST(WsmanEnvelopeTest, MalformedDocumentsAreRefusedWithAReason) {
    const std::string good = Fixture("pull_response.xml");
    struct Case {
        const char* what;
        std::string text;
    };
    std::string badNumber = good;
    badNumber.replace(badNumber.find("<p:EventCode>4624<"), 18, "<p:EventCode>4x24<");
    std::string badTime = good;
    badTime.replace(badTime.find("2023-11-14T22:13:20.123456Z"), 4, "20x3");
    std::string twice = good;
    twice.replace(twice.find("<p:Logfile>Security</p:Logfile>"), 31,
                  "<p:Logfile>Security</p:Logfile><p:Logfile>System</p:Logfile>");
    std::string byteTooBig = good;
    byteTooBig.replace(byteTooBig.find("<p:EventType>4<"), 15, "<p:EventType>400<");
    const Case cases[] = {
        {"truncated", good.substr(0, good.size() / 2)},
        {"not XML", "HTTP/1.1 200 OK"},
        {"empty", ""},
        {"no envelope", "<html><body>Service Unavailable</body></html>"},
        {"SOAP 1.1",
         "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\">"
         "<e:Body/></e:Envelope>"},
        {"bad number", badNumber},
        {"bad time", badTime},
        {"scalar twice", twice},
        {"uint8 out of range", byteTooBig},
    };
    for (const Case& c : cases) {
        Response r;
        std::string error;
        EXPECT_FALSE(ParseResponse(c.text, r, error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

// The endpoint writes the simulated hosts' objects; the provider reads them
// back into objects whose every property reads as the original's.
TEST(WsmanEnvelopeTest, SimulatedObjectsSurviveTheWire) {
    using wmi::sim::SimEvent;
    std::vector<SimEvent> events(4);
    events[0].insertionStrings = std::nullopt;
    events[1].insertionStrings = std::vector<std::string>{};
    events[2].insertionStrings = std::vector<std::string>{"only"};
    events[3].insertionStrings = std::vector<std::string>{"a\r\nb", "<x>&", " ", "\xC3\xA9"};
    events[3].message = "M\tline\r\n";
    events[3].user = "CORP\\bob";
    events[3].recordNumber = 3000000000LL;
    events[3].eventCode = 65535;
    events[3].category = 7;
    for (size_t i = 0; i < events.size(); ++i) {
        SimEvent& e = events[i];
        e.logFile = "System";
        e.eventType = static_cast<int>(i % 5) + 1;
        e.sourceName = "Src \"q\" 'a'";
        e.timeGenerated = 1700000000123456LL + static_cast<int64_t>(i);
        e.timeWritten = e.timeGenerated + 1;
        e.computerName = "HOST";
    }
    for (size_t i = 0; i < events.size(); ++i) {
        SimEvent copy = events[i];
        IWbemClassObject* original =
            wmi::sim::MakeCreationEvent(wmi::sim::MakeLogEventObject(std::move(copy)));
        std::string item;
        ASSERT_TRUE(InstanceXml(original, item));
        std::vector<std::string> items{item};
        Response r;
        std::string error;
        ASSERT_TRUE(ParseResponse(PullResponse("m", "ctx", items, false), r, error)) << error;
        ASSERT_EQ(r.items.size(), 1u);
        IWbemClassObject* copied = MakeObject(std::make_shared<Instance>(r.items[0]));
        IWbemClassObject* a = simtest::TargetOf(original);
        IWbemClassObject* b = simtest::TargetOf(copied);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        for (size_t p = 0; p < wmi::sim::kEventPropertyCount; ++p) {
            std::string name = wmi::sim::NameOf(static_cast<wmi::sim::EventProperty>(p));
            std::u16string wide(name.begin(), name.end());
            Read x = GetProperty(a, wide.c_str());
            Read y = GetProperty(b, wide.c_str());
            EXPECT_EQ(x.vt, y.vt) << i << " " << name;
            EXPECT_EQ(x.text, y.text) << i << " " << name;
        }
        a->Release();
        b->Release();
        copied->Release();
        original->Release();
    }
}

}  // namespace
