// The WS-Management envelope layer: documents in Windows' wire structure
// (tests/wmi/wsman/fixtures) read into items and faults. The simulated
// endpoint's side is tested in tests/wmi/sim/wsman/serverenvelope_test.cpp.

#include "wmi/wsman/envelope.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/wmi/simfixture.h"
#include "tests/wmi/wsman/wirefixture.h"
#include "wmi/wsman/wsmanobject.h"

using namespace wmi::wsman;
using simtest::GetProperty;
using simtest::Read;
using wsmantest::Fixture;

namespace {

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

TEST(WsmanEnvelopeTest, IdentifyAnswersAreKnownByNameInAnyNamespace) {
    const std::string open =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header/><s:Body>";
    const std::string close = "</s:Body></s:Envelope>";
    const char* const answers[] = {
        // As Windows answers.
        "<wsmid:IdentifyResponse "
        "xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
        "<wsmid:ProtocolVersion>http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd"
        "</wsmid:ProtocolVersion><wsmid:ProductVendor>Vendor</wsmid:ProductVendor>"
        "</wsmid:IdentifyResponse>",
        // The identity schema as the default namespace.
        "<IdentifyResponse "
        "xmlns=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
        "<ProductVendor>Vendor</ProductVendor></IdentifyResponse>",
        // The SOAP namespace.
        "<s:IdentifyResponse><s:ProductVendor>Vendor</s:ProductVendor></s:IdentifyResponse>",
        // WS-Management's namespace under another prefix.
        "<x:IdentifyResponse xmlns:x=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\">"
        "<x:ProductVendor>Vendor</x:ProductVendor></x:IdentifyResponse>",
        // A namespace of the host's own.
        "<IdentifyResponse xmlns=\"urn:example:identity\"><ProductVendor>Vendor</ProductVendor>"
        "</IdentifyResponse>",
    };
    for (const char* answer : answers) {
        Response response;
        std::string error;
        ASSERT_TRUE(ParseResponse(open + answer + close, response, error)) << answer << error;
        EXPECT_EQ(response.kind, Response::Kind::Identify) << answer;
        EXPECT_EQ(response.productVendor, "Vendor") << answer;
    }
    // Another element is not an Identify answer, whatever its namespace.
    Response response;
    std::string error;
    EXPECT_FALSE(ParseResponse(open +
                                   "<wsmid:Identify xmlns:wsmid=\"http://schemas.dmtf.org/wbem/"
                                   "wsman/identity/1/wsmanidentity.xsd\"/>" +
                                   close,
                               response, error));
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
    std::string markup = good;
    markup.replace(markup.find("<p:Logfile>Security</p:Logfile>"), 31,
                   "<p:Logfile><p:Unreadable/></p:Logfile>");
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
    };
    for (const Case& c : cases) {
        Response r;
        std::string error;
        EXPECT_FALSE(ParseResponse(c.text, r, error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }

    // A record that cannot be read is that record's fault: the answer is
    // read, the record is kept as unreadable with the reason and what could
    // be read of where it stands, and the records after it are read.
    struct ItemCase {
        const char* what;
        std::string text;
        const char* reason;
        bool logfileKept;
    };
    const ItemCase items[] = {
        {"bad number", badNumber, "property EventCode: '4x24' is not a number of its type", true},
        {"bad time", badTime, "property TimeGenerated: not a date-time", true},
        {"scalar twice", twice, "property Logfile appears more than once", false},
        {"uint8 out of range", byteTooBig, "property EventType: '400' is not a number of its type",
         true},
        {"an element for a text", markup, "property Logfile holds an element, not a text", false},
    };
    for (const ItemCase& c : items) {
        Response r;
        std::string error;
        ASSERT_TRUE(ParseResponse(c.text, r, error)) << c.what << ": " << error;
        ASSERT_EQ(r.items.size(), 3u) << c.what;
        const Instance& bad = r.items[0];
        EXPECT_EQ(bad.unreadable, c.reason) << c.what;
        EXPECT_EQ(bad.className, "Win32_NTLogEvent") << c.what;
        const Value* record = bad.Find("RecordNumber");
        ASSERT_NE(record, nullptr) << c.what;
        EXPECT_EQ(record->number, 4294967295) << c.what;
        EXPECT_NE(bad.Find("TimeWritten"), nullptr) << c.what;
        EXPECT_EQ(bad.Find("Logfile") != nullptr, c.logfileKept) << c.what;
        EXPECT_EQ(bad.Find("EventCode"), nullptr) << c.what;
        for (size_t i = 1; i < 3; ++i) {
            EXPECT_TRUE(r.items[i].unreadable.empty()) << c.what << " " << i;
            EXPECT_NE(r.items[i].Find("EventCode"), nullptr) << c.what << " " << i;
        }
    }
}

}  // namespace
