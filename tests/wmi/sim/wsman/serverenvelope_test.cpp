// The simulated endpoint's side of the WS-Management envelopes: the
// requests the provider writes read back by the endpoint's parser (and the
// fixtures of a Windows client's requests), the endpoint's answers read
// back by the provider, and the simulated hosts' objects written as items
// and read back with the same values.

#include "wmi/sim/wsman/serverenvelope.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/wmi/simfixture.h"
#include "tests/wmi/wsman/wirefixture.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/sim/ntlogevent.h"
#include "wmi/wsman/wsmanobject.h"

using namespace wmi::wsman;
using simtest::GetProperty;
using simtest::Read;
using wsmantest::Fixture;

namespace {

TEST(WsmanServerEnvelopeTest, RequestsFromTheFixturesAndFromTheBuilders) {
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

// The endpoint writes the simulated hosts' objects; the provider reads them
// back into objects whose every property reads as the original's.
TEST(WsmanServerEnvelopeTest, SimulatedObjectsSurviveTheWire) {
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
        for (size_t p = 0; p < wmi::cim::kEventPropertyCount; ++p) {
            std::string name = wmi::cim::NameOf(static_cast<wmi::cim::EventProperty>(p));
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
