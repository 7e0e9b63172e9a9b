// The event log resource end to end: the provider's channel requests and
// Event XML reader against the simulated endpoint serving real channel logs
// (Sysmon, Windows Defender) imported into a simulated host, over a real
// socket. Replayed windows field by field against the store, live events
// once each and in order with bookmarks (record ids past 2^32), a resume
// from a bookmark, the severity filter, heartbeats, and the faults of a
// channel the host lacks or refuses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/wmi/evtxsamples.h"
#include "tests/wmi/wsman/wsmanfixture.h"
#include "wmi/sim/evtximport.h"
#include "wmi/wsman/channelevent.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/httptransport.h"
#include "wmi/wsman/wsmanprovider.h"

namespace {

using namespace wmi::wsman;
using wmi::sim::SimEvent;
using wmi::sim::SimResult;

constexpr const char* kHost = "127.0.0.2";
constexpr const char* kGuarded = "127.0.0.3";  // requires CORP\bob
constexpr const char* kSysmon = "Microsoft-Windows-Sysmon/Operational";
constexpr const char* kDefender = "Microsoft-Windows-Windows Defender/Operational";

class ChannelTest : public wsmantest::WsmanFixture {
  protected:
    void SetUp() override {
        WsmanFixture::SetUp();
        AddHost(kHost);
        AddHost(kGuarded, true, "CORP\\bob", "s3cret");
        for (const char* host : {kHost, kGuarded}) {
            std::vector<wmi::sim::EvtxReadReport> reports;
            std::string error;
            ASSERT_EQ(wmi::sim::ImportEvtxFiles(
                          store, host,
                          {SamplesDir() + "/ID11,13,17,18-PSexec as system execution.evtx",
                           SamplesDir() + "/ID5007-Defender threat exclusion (native).evtx"},
                          reports, &error),
                      SimResult::Ok)
                << error;
        }
    }

    // The endpoint over plain HTTP with Basic, and a transport to `host`.
    void Start(std::vector<std::string> denied = {}) {
        deniedChannels = std::move(denied);
        StartEndpoint(false);
        Connect(kHost, "", "");
    }

    void Connect(const char* host, const std::string& user, const std::string& password) {
        transport = std::make_unique<Transport>(host, settings.transport, user, password);
    }

    // Posts `envelope` and reads the answer.
    Response Send(const std::string& envelope) {
        HttpOutcome outcome = transport->Post(envelope, 20000);
        Response r;
        std::string error;
        EXPECT_EQ(outcome.kind, HttpOutcome::Kind::Answer) << outcome.error;
        EXPECT_TRUE(ParseResponse(outcome.body, r, error)) << error << "\n" << outcome.body;
        return r;
    }

    RequestOptions Options(int64_t timeoutMs = 5000) {
        RequestOptions o;
        o.to = transport->Url();
        o.operationTimeoutMs = timeoutMs;
        return o;
    }

    // Every event of an enumeration of `channel` through `xpath`.
    std::vector<ChannelEvent> Replay(const std::string& channel, const std::string& xpath) {
        std::vector<ChannelEvent> events;
        Response r = Send(ChannelEnumerateRequest(Options(), channel, xpath));
        EXPECT_EQ(r.kind, Response::Kind::Enumerate) << r.fault.reason;
        std::string context = r.context;
        for (int i = 0; i < 100 && !context.empty(); ++i) {
            r = Send(PullRequest(Options(), context, 4));
            EXPECT_EQ(r.kind, Response::Kind::Pull) << r.fault.reason;
            if (r.kind != Response::Kind::Pull) break;
            events.insert(events.end(), r.events.begin(), r.events.end());
            context = r.endOfSequence ? "" : r.context;
        }
        EXPECT_TRUE(context.empty()) << "the enumeration did not end";
        return events;
    }

    std::vector<SimEvent> Stored(const std::string& channel) {
        std::vector<SimEvent> out;
        EXPECT_EQ(store.logEventsAfter(kHost, channel, 0, SIZE_MAX, out), SimResult::Ok);
        return out;
    }

    std::unique_ptr<Transport> transport;
};

void ExpectSame(const ChannelEvent& got, const SimEvent& want) {
    const std::string at = want.logFile + " #" + std::to_string(want.eventRecordId);
    ASSERT_TRUE(want.channel.has_value()) << at;
    const wmi::sim::SimChannelFields& c = *want.channel;
    EXPECT_EQ(got.eventRecordId, static_cast<uint64_t>(want.eventRecordId)) << at;
    EXPECT_EQ(got.providerName, c.providerName) << at;
    EXPECT_EQ(got.providerGuid, c.providerGuid) << at;
    EXPECT_EQ(got.eventId, want.eventCode) << at;
    EXPECT_EQ(got.qualifiers, want.eventIdentifier >> 16) << at;
    EXPECT_EQ(got.version, c.version) << at;
    EXPECT_EQ(got.level, c.level) << at;
    EXPECT_EQ(got.task, c.task) << at;
    EXPECT_EQ(got.opcode, c.opcode) << at;
    EXPECT_EQ(got.keywords, c.keywords) << at;
    EXPECT_EQ(got.timeCreated, want.timeGenerated) << at;
    EXPECT_EQ(got.activityId, c.activityId) << at;
    EXPECT_EQ(got.processId, c.processId) << at;
    EXPECT_EQ(got.threadId, c.threadId) << at;
    EXPECT_EQ(got.channel, want.logFile) << at;
    EXPECT_EQ(got.computer, want.computerName) << at;
    EXPECT_EQ(got.userSid, want.user) << at;
    ASSERT_EQ(got.eventData.size(), c.eventData.size()) << at;
    for (size_t i = 0; i < c.eventData.size(); ++i) {
        EXPECT_EQ(got.eventData[i].name, c.eventData[i].name) << at << " value " << i;
        EXPECT_EQ(got.eventData[i].value, c.eventData[i].value) << at << " value " << i;
    }
    EXPECT_EQ(got.levelText, c.level == 2   ? "Error"
                             : c.level == 3 ? "Warning"
                                            : "Information")
        << at;
}

TEST_F(ChannelTest, ReplayOfAWindowGivesTheChannelsRecordsFieldByField) {
    Start();
    const std::vector<SimEvent> stored = Stored(kSysmon);
    ASSERT_EQ(stored.size(), 15u);
    // The whole log, then a window that leaves out the first and the last
    // record (bounds: from inclusive, to exclusive).
    std::vector<ChannelEvent> all = Replay(
        kSysmon, TimeWindowXPath(stored.front().timeGenerated, stored.back().timeGenerated + 1));
    ASSERT_EQ(all.size(), stored.size());
    for (size_t i = 0; i < all.size(); ++i) ExpectSame(all[i], stored[i]);

    std::vector<ChannelEvent> inner = Replay(
        kSysmon, TimeWindowXPath(stored.front().timeGenerated + 1, stored.back().timeGenerated));
    for (const ChannelEvent& e : inner) {
        EXPECT_GT(e.timeCreated, stored.front().timeGenerated);
        EXPECT_LT(e.timeCreated, stored.back().timeGenerated);
    }
    EXPECT_LT(inner.size(), all.size());
    EXPECT_GT(inner.size(), 0u);
}

// The same events on the sealed road (NTLM over plain HTTP) and over HTTPS.
TEST_F(ChannelTest, SealedAndHttpsRoadsCarryTheSameEvents) {
    const struct {
        bool https;
        const char* auth;
    } kRoads[] = {{false, "ntlm"}, {true, "basic"}};
    for (const auto& road : kRoads) {
        SCOPED_TRACE(road.auth);
        StartEndpoint(road.https, road.auth);
        Connect(kGuarded, "CORP\\bob", "s3cret");
        ChannelSubscription sub;
        sub.channel = kSysmon;
        sub.readExistingEvents = true;
        Response r = Send(ChannelSubscribeRequest(Options(), sub));
        ASSERT_EQ(r.kind, Response::Kind::Subscribe) << r.fault.reason;
        std::vector<ChannelEvent> got;
        for (int i = 0; i < 20 && got.size() < 15; ++i) {
            Response p = Send(PullRequest(Options(), r.context, 10));
            got.insert(got.end(), p.events.begin(), p.events.end());
        }
        std::vector<SimEvent> stored;
        ASSERT_EQ(store.logEventsAfter(kGuarded, kSysmon, 0, SIZE_MAX, stored), SimResult::Ok);
        ASSERT_EQ(got.size(), stored.size());
        for (size_t i = 0; i < got.size(); ++i) ExpectSame(got[i], stored[i]);
        Send(UnsubscribeRequest(Options(), r.subscriptionId));
        transport.reset();
        endpoint->Stop();
    }
}

// The provider's road: a WQL subscription whose Logfile is a channel, read
// through IEnumWbemClassObject as Win32_NTLogEvent objects; when the host's
// service restarts (its subscriptions forgotten), the provider subscribes
// again after the last record read: nothing lost, nothing twice.
TEST_F(ChannelTest, ProviderResumesALostChannelSubscriptionAfterItsBookmark) {
    Start();
    IWbemLocator* locator = nullptr;
    ASSERT_EQ(CreateWsmanLocator(settings, &locator), S_OK);
    IWbemServices* services = nullptr;
    // Owned BSTRs for the calls below.
    struct Text {
        explicit Text(const std::string& s) : b(wmi::BstrFromUtf8(s)) {}
        ~Text() { SysFreeString(b); }
        BSTR b;
    };
    const Text resource(std::string("\\\\") + kHost + "\\root\\cimv2");
    ASSERT_EQ(locator->ConnectServer(resource.b, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     &services),
              S_OK);
    const Text language("WQL");
    const Text query(std::string("SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE "
                                 "TargetInstance ISA 'Win32_NTLogEvent' AND "
                                 "TargetInstance.Logfile = '") +
                     kSysmon + "' AND TargetInstance.EventType <= 3");
    IEnumWbemClassObject* events = nullptr;
    ASSERT_EQ(services->ExecNotificationQuery(language.b, query.b, 0x30, nullptr, &events), S_OK);

    std::vector<SimEvent> fresh = Stored(kSysmon);
    fresh.resize(4);
    for (SimEvent& e : fresh) e.eventRecordId = 0;
    // The record numbers of up to `want` events, waiting at most `rounds`
    // half seconds.
    auto codes = [&](size_t want, int rounds = 40) {
        std::vector<int64_t> got;
        for (int i = 0; i < rounds && got.size() < want; ++i) {
            IWbemClassObject* objects[10];
            ULONG n = 0;
            events->Next(500, 10, objects, &n);
            for (ULONG k = 0; k < n; ++k) {
                VARIANT target, record;
                VariantInit(&target);
                VariantInit(&record);
                objects[k]->Get(u"TargetInstance", 0, &target, nullptr, nullptr);
                auto* instance = static_cast<IWbemClassObject*>(target.punkVal);
                instance->Get(u"RecordNumber", 0, &record, nullptr, nullptr);
                got.push_back(static_cast<uint32_t>(record.lVal));
                VariantClear(&record);
                VariantClear(&target);
                objects[k]->Release();
            }
        }
        return got;
    };
    Append(kHost, {fresh[0], fresh[1]});
    const std::vector<int64_t> first = codes(2);
    ASSERT_EQ(first.size(), 2u);
    // The host's service restarts on the same port: its subscriptions are
    // gone; two records are written meanwhile.
    endpointPort = endpoint->Port();
    endpoint->Stop();
    Append(kHost, {fresh[2], fresh[3]});
    StartEndpoint(false);
    const std::vector<int64_t> rest = codes(2);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0], first[1] + 1);
    EXPECT_EQ(rest[1], first[1] + 2);
    EXPECT_TRUE(codes(1, 4).empty()) << "a record came twice";
    events->Release();
    services->Release();
    locator->Release();
}

TEST_F(ChannelTest, AChannelNameWithBlanksIsServed) {
    Start();
    std::vector<ChannelEvent> events = Replay(kDefender, "*");
    const std::vector<SimEvent> stored = Stored(kDefender);
    ASSERT_EQ(events.size(), 4u);
    for (size_t i = 0; i < events.size(); ++i) ExpectSame(events[i], stored[i]);
}

TEST_F(ChannelTest, LiveEventsComeOnceEachInOrderWithBookmarks) {
    Start();
    ChannelSubscription sub;
    sub.channel = kSysmon;
    sub.heartbeatMs = 300;
    Response r = Send(ChannelSubscribeRequest(Options(), sub));
    ASSERT_EQ(r.kind, Response::Kind::Subscribe) << r.fault.reason;
    const std::string context = r.context;

    // Nothing new yet: a heartbeat, not the existing records.
    r = Send(PullRequest(Options(), context, 100));
    ASSERT_EQ(r.kind, Response::Kind::Pull) << r.fault.reason;
    EXPECT_TRUE(r.heartbeat);
    EXPECT_TRUE(r.events.empty());

    // Three new records, the first numbered past 2^32.
    std::vector<SimEvent> fresh = Stored(kSysmon);
    fresh.resize(3);
    const int64_t first = (int64_t{1} << 32) + 5;
    for (SimEvent& e : fresh) e.eventRecordId = 0;
    fresh[0].eventRecordId = first;
    Append(kHost, fresh);

    std::vector<ChannelEvent> got;
    uint64_t bookmark = 0;
    for (int i = 0; i < 20 && got.size() < 3; ++i) {
        r = Send(PullRequest(Options(), context, 2));
        ASSERT_EQ(r.kind, Response::Kind::Pull) << r.fault.reason;
        got.insert(got.end(), r.events.begin(), r.events.end());
        if (!r.events.empty()) bookmark = r.bookmarkRecordId;
    }
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].eventRecordId, static_cast<uint64_t>(first) + i) << i;
        EXPECT_FALSE(got[i].keywordTexts.empty() && got[i].levelText.empty()) << i;
    }
    EXPECT_EQ(bookmark, static_cast<uint64_t>(first) + 2);
    r = Send(PullRequest(Options(), context, 100));
    EXPECT_TRUE(r.events.empty()) << "a record came twice";

    // A new subscription from the first one's bookmark: the rest only.
    ChannelSubscription resume = sub;
    resume.bookmarkRecordId = static_cast<uint64_t>(first);
    r = Send(ChannelSubscribeRequest(Options(), resume));
    ASSERT_EQ(r.kind, Response::Kind::Subscribe) << r.fault.reason;
    std::vector<ChannelEvent> rest;
    for (int i = 0; i < 20 && rest.size() < 2; ++i) {
        Response p = Send(PullRequest(Options(), r.context, 100));
        rest.insert(rest.end(), p.events.begin(), p.events.end());
    }
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].eventRecordId, static_cast<uint64_t>(first) + 1);
    EXPECT_EQ(rest[1].eventRecordId, static_cast<uint64_t>(first) + 2);
}

TEST_F(ChannelTest, SeverityFilterSelectsLevels) {
    Start();
    // Two Sysmon-shaped records of each level 2, 3 and 4 after the history.
    std::vector<SimEvent> fresh = Stored(kSysmon);
    fresh.resize(3);
    fresh[0].channel->level = 2;
    fresh[1].channel->level = 3;
    fresh[2].channel->level = 4;
    for (SimEvent& e : fresh) e.eventRecordId = 0;
    Append(kHost, fresh);
    const struct {
        int severity;
        size_t history;  // the 15 imported records are all level 4
        size_t fresh;
    } kCases[] = {{1, 0, 1}, {2, 0, 2}, {3, 15, 3}, {0, 15, 3}};
    for (const auto& c : kCases) {
        std::vector<ChannelEvent> events = Replay(kSysmon, LevelXPath(c.severity));
        EXPECT_EQ(events.size(), c.history + c.fresh) << "severity " << c.severity;
        for (const ChannelEvent& e : events) {
            EXPECT_LE(EventTypeOfChannelEvent(e.level, e.keywords), std::max(c.severity, 3))
                << "severity " << c.severity;
        }
    }
    // A catch-up from a resume point: only records after it.
    const std::vector<SimEvent> stored = Stored(kSysmon);
    std::vector<ChannelEvent> after =
        Replay(kSysmon, LevelXPath(0, static_cast<uint64_t>(stored[14].eventRecordId)));
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0].eventRecordId, static_cast<uint64_t>(stored[15].eventRecordId));
}

TEST_F(ChannelTest, ChannelsTheHostLacksOrRefusesAreFaults) {
    Start({kDefender});
    const struct {
        std::string channel;
        std::string xpath;
        uint32_t code;
    } kCases[] = {
        {"Microsoft-Windows-Nothing/Operational", "*", kFaultChannelNotFound},
        {kDefender, "*", kFaultAccessDenied},
        {kSysmon, "*[System[Level=]]", kFaultInvalidEventQuery},
        {kSysmon, "Event/System", kFaultInvalidEventQuery},
    };
    for (const auto& c : kCases) {
        ChannelSubscription sub;
        sub.channel = c.channel;
        sub.xpath = c.xpath;
        Response r = Send(ChannelSubscribeRequest(Options(), sub));
        EXPECT_EQ(r.kind, Response::Kind::Fault) << c.channel << " " << c.xpath;
        EXPECT_EQ(r.fault.wsmanCode, c.code) << c.channel << " " << c.xpath;
        EXPECT_FALSE(r.fault.reason.empty()) << c.channel;
        r = Send(ChannelEnumerateRequest(Options(), c.channel, c.xpath));
        EXPECT_EQ(r.kind, Response::Kind::Fault) << c.channel << " " << c.xpath;
        EXPECT_EQ(r.fault.wsmanCode, c.code) << c.channel << " " << c.xpath;
    }
    // The classic logs are there even without records.
    EXPECT_TRUE(Replay("Application", "*").empty());
    EXPECT_EQ(endpoint->OpenContexts(), 0u);
}

}  // namespace
