// The subscription engine end to end: a real command server on loopback, the
// real controller, dispatcher, connector and query threads, and simulated
// hosts in a real SQLite store that the test writes while the engine reads.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "engine/controller.h"
#include "server/wmilogeventserver.h"
#include "tests/app/tempdir.h"
#include "tests/app/testglobals.h"
#include "tests/serverframework/lineclient.h"
#include "tests/wmi/evtxsamples.h"
#include "tests/wmi/simfixture.h"
#include "wmi/locatorfactory.h"
#include "wmi/sim/evtximport.h"

using wmi::sim::SimEvent;
using wmi::sim::SimResult;

namespace {

const char* const kLive = "127.0.0.2";
// The listener's zone in these tests: UTC-5, with daylight saving time.
const char* const kLocalZone = "EST5EDT,M3.2.0,M11.1.0";
const char* const kHistory = "127.0.0.3";

const char* const kIni = "[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n";

// Short intervals so that polls, terminate checks and reconnects happen
// within a test's patience.
TEngineOptions ShortIntervals() {
    TEngineOptions options;
    options.connectorCount = 2;
    options.queryThreadCount = 2;
    options.withinInterval = 1;
    options.minReconnectInterval = 1;
    options.maxReconnectInterval = 2;
    options.checkTerminateMs = 100;
    options.pollTimeoutMs = 100;
    options.batchSize = 50;
    return options;
}

SimEvent MakeEvent(int64_t seconds, const std::string& log, int type, const std::string& source,
                   uint32_t code, std::optional<std::vector<std::string>> inserts) {
    static const char* const kTypes[] = {
        "", "Error", "Warning", "Information", "Audit Success", "Audit Failure"};
    SimEvent e;
    e.logFile = log;
    e.eventCode = code;
    e.eventIdentifier = code;
    e.eventType = type;
    e.typeText = kTypes[type];
    e.sourceName = source;
    e.timeGenerated = seconds * 1000000;
    e.timeWritten = e.timeGenerated;
    e.insertionStrings = std::move(inserts);
    e.computerName = "WIN-A";
    return e;
}

class EngineTest : public simtest::SimStoreFixture {
  protected:
    static void SetUpTestSuite() {
        // The engine runs in a zone other than UTC, as on most hosts: five
        // hours behind UTC with daylight saving from the second Sunday of
        // March to the first Sunday of November (a rule written out, so no
        // zone database is needed). Set before anything reads local time.
        setenv("TZ", kLocalZone, 1);
        tzset();
    }

    void ExpectLocalTimeIsNotUtc() {
        time_t instant = 1700000000;  // 2023-11-14 22:13:20 UTC
        tm local{};
        localtime_r(&instant, &local);
        EXPECT_EQ(local.tm_hour, 17) << "local time is not 5 hours behind UTC";
    }

    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost(kLive);
        AddHost(kHistory);
        if (HasFatalFailure()) return;
        wmi::UseSimStore(path);

        globals.LoadConfig(dir, kIni);
        globals.StartLogger(dir, "DEBUG");

        server = std::make_unique<CWmiLogEventServer>();
        server->SetController(new CController(options));
        server->SetListenAddress("127.0.0.1");
        ASSERT_EQ(1, server->Start(1000, 0, 0));
        port = server->GetListenPort();
    }

    void TearDown() override {
        if (HasFailure()) {
            // The engine's own account of what happened, for the failure report.
            std::cerr << "---- quellon.log (tail) ----\n"
                      << TailOfFile(dir.File("quellon.log"), 6000) << "\n";
        }
        if (server) server->Stop();
        server.reset();
        wmi::UseSimStore("");
    }

    std::unique_ptr<LineClient> Client() {
        auto client = std::make_unique<LineClient>(port, 10000);
        EXPECT_EQ(client->Login("alice", "secret").substr(0, 31),
                  "OK authentication successful (u");
        return client;
    }

    static std::string WaitFor(LineClient& client, const std::string& prefix,
                               std::vector<std::string>* skipped = nullptr) {
        return client.ReadUntil(prefix, skipped);
    }

    // Reads lines until every expected line has arrived, in any order: a
    // command's reply and the engine's notices about the same subscription
    // are written by different threads. False (with the lines read) on a
    // time-out.
    static bool WaitForAll(LineClient& client, std::vector<std::string> expected,
                           std::vector<std::string>* others = nullptr) {
        while (!expected.empty()) {
            std::string line = client.ReadLine();
            if (line.empty()) {
                ADD_FAILURE() << "still waiting for " << ::testing::PrintToString(expected);
                return false;
            }
            auto it = std::find(expected.begin(), expected.end(), line);
            if (it != expected.end()) {
                expected.erase(it);
            } else if (others) {
                others->push_back(line);
            }
        }
        return true;
    }

    // The complete reply of LIST.
    static std::string List(LineClient& client) {
        client.SendLine("LIST");
        std::string reply = WaitFor(client, "OK List Follows");
        for (;;) {
            std::string line = client.ReadLine();
            reply += line;
            if (line == ".\r\n" || line.empty()) break;
        }
        return reply;
    }

    // The NTEVENT records among `lines`.
    static std::vector<std::string> Records(const std::vector<std::string>& lines) {
        std::vector<std::string> records;
        for (const std::string& line : lines) {
            if (line.rfind("NTEVENT", 0) == 0) records.push_back(line);
        }
        return records;
    }

    // The event code of a record of host `host`: the field after the time.
    static std::string CodeOf(const std::string& record, const std::string& host) {
        std::string rest = record.substr(std::string("NTEVENT: ").size() + host.size() + 1);
        rest = rest.substr(rest.find(' ') + 1);
        return rest.substr(0, rest.find(' '));
    }

    TEngineOptions options = ShortIntervals();  // the engine SetUp starts
    TestGlobals globals;
    std::unique_ptr<CWmiLogEventServer> server;
    uint16_t port = 0;
};

TEST_F(EngineTest, LiveSubscriptionDeliversNewEventsAsRecords) {
    Append(kLive, {MakeEvent(1600000000, "System", 3, "Old", 1, std::nullopt)});
    auto client = Client();
    auto observer = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    WaitForAll(*client, {"OK queuing subscription for 127.0.0.2 * *\r\n",
                         "CONNECTION_OK 127.0.0.2 * *\r\n"});
    WaitFor(*observer, "CONNECTION_OK");

    Append(
        kLive,
        {MakeEvent(1700000000, "Security", 4, "Microsoft-Windows-Security-Auditing", 4624,
                   std::vector<std::string>{"S-1-5-18", "SYSTEM"}),
         MakeEvent(1700000001, "System", 2, "Service Control Manager", 7036, std::nullopt),
         MakeEvent(1700000002, "Application", 1, "My \"App\"", 1000, std::vector<std::string>{})});
    // Both logged-in clients receive every record, byte for byte; the
    // history before the subscription is not delivered.
    for (LineClient* c : {client.get(), observer.get()}) {
        EXPECT_EQ(WaitFor(*c, "NTEVENT"),
                  "NTEVENT: 127.0.0.2 20231114221320.000000+000 4624 "
                  "Microsoft-Windows-Security-Auditing Security \"Audit Success\" S-1-5-18\r\n");
        EXPECT_EQ(c->ReadLine(), ".\r\n");
        EXPECT_EQ(c->ReadLine(),
                  "NTEVENT: 127.0.0.2 20231114221321.000000+000 7036 \"Service Control Manager\" "
                  "System Warning <NULL>\r\n");
        EXPECT_EQ(c->ReadLine(), ".\r\n");
        EXPECT_EQ(
            c->ReadLine(),
            "NTEVENT: 127.0.0.2 20231114221322.000000+000 1000 \"My \\\"App\\\"\" Application "
            "Error \r\n");
        EXPECT_EQ(c->ReadLine(), ".\r\n");
    }
}

TEST_F(EngineTest, SeverityAndCategoryFilterTheLiveQuery) {
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 System 2");
    EXPECT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 System 2\r\n");
    Append(kLive, {MakeEvent(1700000000, "System", 3, "Info", 1, std::nullopt),
                   MakeEvent(1700000001, "Security", 1, "OtherLog", 2, std::nullopt),
                   MakeEvent(1700000002, "System", 1, "Wanted", 3, std::nullopt)});
    std::string record = WaitFor(*client, "NTEVENT");
    EXPECT_NE(record.find(" 3 Wanted System Error "), std::string::npos) << record;
}

TEST_F(EngineTest, ListDeleteReplaceAndRefusals) {
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 System 3 CORP\\bob pw");
    WaitFor(*client, "CONNECTION_OK");
    client->SendLine("ADD 127.0.0.3 * *");
    WaitFor(*client, "CONNECTION_OK");
    EXPECT_EQ(List(*client),
              "OK List Follows for 2 entries (0 unreachable):\r\n"
              "127.0.0.2 System 3 CORP\\bob EventWait\r\n"
              "127.0.0.3 * * - EventWait\r\n.\r\n");

    client->SendLine("ADD 127.0.0.3 * *");
    EXPECT_EQ(WaitFor(*client, "ERROR"), "ERROR subscription for 127.0.0.3 * * already exists\r\n");
    client->SendLine("ADD no-such-host.invalid * *");
    EXPECT_EQ(WaitFor(*client, "ERROR"), "ERROR Invalid host for no-such-host.invalid * *\r\n");

    // Same host and category with another severity replaces the first.
    client->SendLine("ADD 127.0.0.2 System 2");
    WaitForAll(*client,
               {"OK queuing subscription for 127.0.0.2 System 2\r\n",
                "CONNECTION_OK 127.0.0.2 System 2\r\n", "OK Deleted Host 127.0.0.2 System 3\r\n"});

    client->SendLine("DELETE 127.0.0.3");
    WaitForAll(*client, {"OK queued deletion of subscription for 1 host(s)\r\n",
                         "OK Deleted Host 127.0.0.3 * *\r\n"});
    client->SendLine("DELETE 127.0.0.3");
    EXPECT_EQ(WaitFor(*client, "ERROR"), "ERROR no matching subscription found\r\n");

    client->SendLine("DELETE * *");
    WaitForAll(*client, {"OK queued deletion of subscription for 1 host(s)\r\n",
                         "OK Deleted Host 127.0.0.2 System 2\r\n"});
    EXPECT_EQ(List(*client), "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n");
}

// Windows' log names do not depend on case: System, SYSTEM and system are
// one log, so ADD, DELETE and LIST take them as one subscription, and each
// record of the log arrives once.
TEST_F(EngineTest, LogNamesCompareWithoutRegardToCase) {
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 System *");
    WaitForAll(*client, {"OK queuing subscription for 127.0.0.2 System *\r\n",
                         "CONNECTION_OK 127.0.0.2 System *\r\n"});
    struct Step {
        const char* line;
        std::vector<std::string> expected;
    };
    const Step steps[] = {
        {"ADD 127.0.0.2 SYSTEM *",
         {"ERROR subscription for 127.0.0.2 SYSTEM * already exists\r\n"}},
        {"ADD 127.0.0.2 system *",
         {"ERROR subscription for 127.0.0.2 system * already exists\r\n"}},
        // Another severity replaces it, as for the same spelling.
        {"ADD 127.0.0.2 sYSTEM 2",
         {"OK queuing subscription for 127.0.0.2 sYSTEM 2\r\n",
          "CONNECTION_OK 127.0.0.2 sYSTEM 2\r\n", "OK Deleted Host 127.0.0.2 System *\r\n"}},
    };
    for (const Step& step : steps) {
        client->SendLine(step.line);
        EXPECT_TRUE(WaitForAll(*client, step.expected)) << step.line;
    }
    EXPECT_EQ(List(*client),
              "OK List Follows for 1 entries (0 unreachable):\r\n"
              "127.0.0.2 sYSTEM 2 - EventWait\r\n.\r\n");
    Append(kLive, {MakeEvent(1700000000, "System", 1, "Once", 41, std::nullopt),
                   MakeEvent(1700000001, "System", 1, "Marker", 42, std::nullopt)});
    std::vector<std::string> lines;
    WaitFor(*client, "NTEVENT", &lines);
    std::string marker = WaitFor(*client, "NTEVENT", &lines);
    EXPECT_NE(marker.find(" 42 Marker "), std::string::npos) << marker;
    EXPECT_TRUE(Records(lines).empty()) << ::testing::PrintToString(lines);
    client->SendLine("DELETE 127.0.0.2 SYSTEM");
    EXPECT_TRUE(WaitForAll(*client, {"OK queued deletion of subscription for 1 host(s)\r\n",
                                     "OK Deleted Host 127.0.0.2 sYSTEM 2\r\n"}));
    EXPECT_EQ(List(*client), "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n");
}

// A record that cannot be read (its insertion strings damaged in the
// store: a length prefix of 0x7fffffff, or 2 bytes) is skipped with one
// ERROR naming host, log and record, counted in STATS and, in a catch-up,
// in EVENTS_SKIPPED; the subscription goes on with the next record, live,
// after a reconnect and in a replay.
TEST_F(EngineTest, ARecordThatCannotBeReadIsSkippedOnEveryRoad) {
    DamagePoisonRecords();
    if (HasFatalFailure()) return;
    auto client = Client();
    auto codes = [&](const std::vector<std::string>& lines) {
        std::vector<std::string> found;
        for (const std::string& record : Records(lines)) found.push_back(CodeOf(record, kLive));
        return found;
    };
    auto event = [](int64_t second, const char* source, uint32_t code) {
        return MakeEvent(second, "System", 3, source, code, std::vector<std::string>{"text"});
    };

    // Live: records 1 to 4, the middle two damaged.
    client->SendLine("ADD 127.0.0.2 * *");
    ASSERT_TRUE(WaitForAll(*client, {"OK queuing subscription for 127.0.0.2 * *\r\n",
                                     "CONNECTION_OK 127.0.0.2 * *\r\n"}));
    Append(kLive, {event(1700000001, "Before", 1), event(1700000002, "PoisonLength", 2),
                   event(1700000003, "PoisonShort", 3), event(1700000004, "After", 4)});
    std::vector<std::string> lines;
    lines.push_back(WaitFor(*client, "NTEVENT", &lines));
    lines.push_back(WaitFor(*client, "NTEVENT", &lines));
    EXPECT_EQ(codes(lines), (std::vector<std::string>{"1", "4"}));

    // Catch-up: records 5 to 7 written while the host was down, 6 damaged.
    ASSERT_EQ(store.setHostUp(kLive, false), SimResult::Ok);
    ASSERT_FALSE(WaitFor(*client, "CONNECTION_FAILED").empty());
    Append(kLive, {event(1700000005, "Gap", 5), event(1700000006, "PoisonLength", 6),
                   event(1700000007, "Tail", 7)});
    ASSERT_EQ(store.setHostUp(kLive, true), SimResult::Ok);
    lines.clear();
    for (std::string line; codes(lines).size() < 2; lines.push_back(line)) {
        line = client->ReadLine();
        ASSERT_FALSE(line.empty()) << ::testing::PrintToString(lines);
    }
    EXPECT_EQ(codes(lines), (std::vector<std::string>{"5", "7"}));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "EVENTS_SKIPPED 127.0.0.2 * * 1\r\n"),
              lines.end())
        << ::testing::PrintToString(lines);

    // Live again: a record written later arrives.
    Append(kLive, {event(1700000008, "Later", 8)});
    lines.clear();
    lines.push_back(WaitFor(*client, "NTEVENT", &lines));
    EXPECT_EQ(codes(lines), (std::vector<std::string>{"8"}));
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("CONNECTION_FAILED", 0), std::string::npos) << line;
    }

    // Replay: the history host's damaged record is left out of the window.
    Append(kHistory, {event(1700000011, "First", 11), event(1700000012, "PoisonShort", 12),
                      event(1700000013, "Third", 13)});
    client->SendLine("REPLAY 127.0.0.3 * * 20000101000000 0");
    lines.clear();
    ASSERT_FALSE(WaitFor(*client, "REPLAY_FINISHED 127.0.0.3", &lines).empty());
    std::vector<std::string> replayed;
    for (const std::string& record : Records(lines)) replayed.push_back(CodeOf(record, kHistory));
    EXPECT_EQ(replayed, (std::vector<std::string>{"11", "13"}));

    client->SendLine("STATS");
    std::string stats = WaitFor(*client, "127.0.0.2 * * live");
    const size_t at = stats.find(" skipped=");
    ASSERT_NE(at, std::string::npos) << stats;
    EXPECT_GE(std::atoi(stats.c_str() + at + 9), 3) << stats;

    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    for (const char* where : {"Record 2 of log System of host 127.0.0.2 cannot be read",
                              "Record 3 of log System of host 127.0.0.2 cannot be read",
                              "Record 6 of log System of host 127.0.0.2 cannot be read",
                              "Record 2 of log System of host 127.0.0.3 cannot be read"}) {
        const size_t found = log.find(where);
        ASSERT_NE(found, std::string::npos) << where;
        const size_t start = log.rfind('\n', found) + 1;  // npos + 1: the first line
        EXPECT_NE(log.substr(start, found - start).find("(ERROR)"), std::string::npos)
            << log.substr(start, found - start) << where;
    }
}

// Event text that is not valid text keeps the rest of its characters (each
// invalid sequence U+FFFD), a NUL is written \0 in its quoted field, and the
// subscription says so once in the log.
TEST_F(EngineTest, TextThatIsNotTextKeepsTheRestAndIsWarnedOnce) {
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    ASSERT_TRUE(WaitForAll(*client, {"OK queuing subscription for 127.0.0.2 * *\r\n",
                                     "CONNECTION_OK 127.0.0.2 * *\r\n"}));
    struct Case {
        std::string insert;
        std::string field;  // the record's last field
    };
    const Case cases[] = {
        {"bad \xC3 rest", "\"bad \xEF\xBF\xBD rest\""},
        {"\xED\xA0\x80lone", "\xEF\xBF\xBDlone"},  // an encoded surrogate
        {std::string("a\0b", 3), "\"a\\0b\""},
        {"fine", "fine"},
    };
    std::vector<SimEvent> events;
    uint32_t code = 0;
    for (const Case& c : cases) {
        ++code;
        events.push_back(MakeEvent(1700000000 + code, "System", 3, "Src", code,
                                   std::vector<std::string>{c.insert}));
    }
    Append(kLive, events);
    for (const Case& c : cases) {
        const std::string record = WaitFor(*client, "NTEVENT");
        const std::string tail = " Information " + c.field + "\r\n";
        ASSERT_GE(record.size(), tail.size()) << c.field;
        EXPECT_EQ(record.substr(record.size() - tail.size()), tail) << c.field;
    }
    client->SendLine("NOOP");
    WaitFor(*client, "OK noop");
    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    const std::string warning = "A record's text holds characters that are not text";
    const size_t first = log.find(warning);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;
}

TEST_F(EngineTest, HostDownIsAnnouncedOnceAndReconnectsWhenBackUp) {
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    WaitFor(*client, "CONNECTION_OK");
    ASSERT_EQ(store.setHostUp(kLive, false), SimResult::Ok);

    std::string failed = WaitFor(*client, "CONNECTION_FAILED");
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.substr(0, 41), "CONNECTION_FAILED  127.0.0.2 * * " + failed.substr(33, 8));
    EXPECT_NE(failed.find(" - The remote procedure call failed.\r\n"), std::string::npos) << failed;
    std::string failedAt = failed.substr(33, 14);

    // Reconnect attempts fail quietly (1 s, 2 s, 2 s ...) while LIST shows
    // the failure with its first time.
    // The failure is recorded on the subscription before the notice goes
    // out; the attempts may still be under way.
    std::string list;
    for (int i = 0; i < 50 && list.find("(1 unreachable)") == std::string::npos; ++i) {
        list = List(*client);
    }
    EXPECT_NE(list.find("(1 unreachable)"), std::string::npos) << list;
    EXPECT_NE(list.find("127.0.0.2 * * - [CONNECTION_FAILED at " + failedAt + " \""),
              std::string::npos)
        << list;
    // Two more reconnect attempts, seen in the engine's log, must pass
    // without a notice; the NOOP after them flushes what was sent before.
    auto attempts = [&] {
        std::string log = ReadWholeFile(dir.File("quellon.log"));
        size_t count = 0;
        for (size_t at = log.find("Connection failed for"); at != std::string::npos;
             at = log.find("Connection failed for", at + 1)) {
            ++count;
        }
        return count;
    };
    std::vector<std::string> seen;
    client->SendLine("NOOP");
    WaitFor(*client, "OK noop", &seen);
    const size_t attemptsBefore = attempts();
    EXPECT_TRUE(Eventually([&] { return attempts() >= attemptsBefore + 2; }, 20000))
        << "no reconnect attempts";
    client->SendLine("NOOP");
    WaitFor(*client, "OK noop", &seen);
    for (const std::string& line : seen)
        EXPECT_EQ(line.find("CONNECTION_FAILED"), std::string::npos) << line;

    ASSERT_EQ(store.setHostUp(kLive, true), SimResult::Ok);
    std::string back = WaitFor(*client, "CONNECTION_REESTAB");
    EXPECT_EQ(back.substr(0, 33), "CONNECTION_REESTAB 127.0.0.2 * * ") << back;
    Append(kLive, {MakeEvent(1700000000, "System", 3, "AfterOutage", 42, std::nullopt)});
    std::string record = WaitFor(*client, "NTEVENT");
    EXPECT_NE(record.find("AfterOutage"), std::string::npos) << record;
}

TEST_F(EngineTest, ReplayDeliversTheWindowInOrderThenFinishes) {
    std::vector<SimEvent> history;
    for (int i = 0; i < 120; ++i) {
        history.push_back(MakeEvent(1700000000 + i, i % 2 ? "System" : "Application", 3, "Src",
                                    static_cast<uint32_t>(i), std::nullopt));
    }
    Append(kHistory, history);
    ExpectLocalTimeIsNotUtc();
    auto client = Client();
    // Both bounds are exclusive and in local time (22:13:29 UTC is 17:13:29
    // here): seconds 10 .. 99 of the history, System only.
    client->SendLine("REPLAY 127.0.0.3 System * 20231114171329 20231114171500");
    std::vector<std::string> lines;
    WaitForAll(*client,
               {"OK replaying events for requested time period\r\n",
                "REPLAY_FINISHED 127.0.0.3 System * 20231114171329 20231114171500\r\n"},
               &lines);
    std::vector<std::string> codes;
    for (const std::string& line : lines) {
        if (line.rfind("NTEVENT", 0) != 0) continue;
        codes.push_back(
            line.substr(std::string("NTEVENT: 127.0.0.3 20231114221320.000000+000 ").size()));
    }
    ASSERT_EQ(codes.size(), 45u);
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(codes[i].substr(0, codes[i].find(' ')), std::to_string(11 + 2 * i)) << i;
    }
    // A finished replay is no longer listed; its first connection is not
    // announced.
    for (const std::string& line : lines) EXPECT_EQ(line.find("CONNECTION_OK"), std::string::npos);
    EXPECT_EQ(List(*client), "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n");

    // End time 0 means now: the whole history.
    client->SendLine("REPLAY 127.0.0.3 * * 20000101000000 0");
    lines.clear();
    std::string finished = WaitFor(*client, "REPLAY_FINISHED", &lines);
    EXPECT_EQ(finished.substr(0, 56),
              "REPLAY_FINISHED 127.0.0.3 * * 20000101000000 " + finished.substr(45, 11));
    size_t records = 0;
    for (const std::string& line : lines) records += line.rfind("NTEVENT", 0) == 0;
    EXPECT_EQ(records, 120u);
}

TEST_F(EngineTest, StopAnnouncesShutdownThenDeletesEverySubscriptionThenCloses) {
    auto a = Client();
    auto b = Client();
    a->SendLine("ADD 127.0.0.2 * *");
    WaitFor(*a, "CONNECTION_OK");
    a->SendLine("ADD 127.0.0.3 System *");
    WaitFor(*a, "CONNECTION_OK 127.0.0.3");
    ASSERT_EQ(store.setHostUp(kHistory, false), SimResult::Ok);  // one waits for a reconnect
    WaitFor(*b, "CONNECTION_FAILED");

    server->Stop();
    for (LineClient* c : {a.get(), b.get()}) {
        std::vector<std::string> lines;
        EXPECT_EQ(WaitFor(*c, "Server shutdown", &lines), "Server shutdown\r\n");
        std::vector<std::string> after;
        while (true) {
            std::string line = c->ReadLine();
            if (line.empty()) break;
            after.push_back(line);
        }
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, (std::vector<std::string>{"OK Deleted Host 127.0.0.2 * *\r\n",
                                                   "OK Deleted Host 127.0.0.3 System *\r\n"}));
        EXPECT_TRUE(c->WaitClosed());
    }
    server.reset();
}

// Event text with line breaks, in any field, stays inside its record: each
// record is exactly one line and its "." line, so no text can pass for a
// record end or a notice.
TEST_F(EngineTest, LineBreaksInEventTextStayInsideTheirRecord) {
    struct Case {
        const char* log;
        const char* source;
        std::optional<std::vector<std::string>> inserts;
        const char* expected;  // the record line after "NTEVENT: 127.0.0.2 <time> <code> "
    };
    const Case cases[] = {
        {"Security", "Forger",
         std::vector<std::string>{"x\r\n.\r\nCONNECTION_OK 10.0.0.1 Security *"},
         "Forger Security Information \"x\\r\\n.\\r\\nCONNECTION_OK 10.0.0.1 Security *\"\r\n"},
        {"Application", "Src", std::vector<std::string>{"one\ntwo"},
         "Src Application Information \"one\\ntwo\"\r\n"},
        {"Application", "Src\r", std::vector<std::string>{"cr"},
         "\"Src\\r\" Application Information cr\r\n"},
        {"Odd\nLog", "Src", std::vector<std::string>{"lf in the log name"},
         "Src \"Odd\\nLog\" Information \"lf in the log name\"\r\n"},
        {"System", "Src", std::vector<std::string>{"\r\n"},
         "Src System Information \"\\r\\n\"\r\n"},
    };
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    WaitFor(*client, "CONNECTION_OK");
    std::vector<SimEvent> events;
    for (size_t i = 0; i < std::size(cases); ++i) {
        events.push_back(MakeEvent(1700000000, cases[i].log, 3, cases[i].source,
                                   static_cast<uint32_t>(i), cases[i].inserts));
    }
    Append(kLive, events);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(client->ReadLine(), "NTEVENT: 127.0.0.2 20231114221320.000000+000 " +
                                          std::to_string(i) + " " + cases[i].expected)
            << i;
        EXPECT_EQ(client->ReadLine(), ".\r\n") << i;
    }
    // Nothing else arrived: the next line is the reply to NOOP.
    client->SendLine("NOOP");
    EXPECT_EQ(client->ReadLine(), "OK noop\r\n");
}

// The same with real event text: the bundled Application log holds events
// whose first insertion string has line feeds (Software Protection 1066).
TEST_F(EngineTest, RealEventTextKeepsTheRecordFraming) {
    std::vector<wmi::sim::EvtxReadReport> reports;
    std::string error;
    ASSERT_EQ(wmi::sim::ImportEvtxFiles(
                  store, kHistory, {SamplesDir() + "/Application_no_crc32.evtx"}, reports, &error),
              SimResult::Ok)
        << error;
    int64_t imported = 0;
    ASSERT_EQ(store.eventCount(kHistory, imported), SimResult::Ok);
    auto client = Client();
    client->SendLine("REPLAY 127.0.0.3 * * 19700102000000 0");
    size_t records = 0;
    size_t withLineBreaks = 0;
    for (;;) {
        std::string line = client->ReadLine();
        ASSERT_FALSE(line.empty()) << "after " << records << " records";
        if (line.rfind("REPLAY_FINISHED", 0) == 0) break;
        if (line.rfind("OK replaying", 0) == 0) continue;
        ASSERT_EQ(line.rfind("NTEVENT: 127.0.0.3 ", 0), 0u) << line;
        ASSERT_EQ(client->ReadLine(), ".\r\n") << line;
        ++records;
        withLineBreaks += line.find("\\n") != std::string::npos;
    }
    EXPECT_EQ(records, static_cast<size_t>(imported));
    EXPECT_GT(withLineBreaks, 0u);
}

// Log names with a blank: a category in double quotes for ADD, REPLAY and
// DELETE; the log name quoted in records, notices and LIST.
TEST_F(EngineTest, QuotedCategoriesWorkForEveryCommandAndComeBackQuoted) {
    Append(kHistory, {MakeEvent(1700000010, "DNS Server", 2, "DNS", 7, std::nullopt),
                      MakeEvent(1700000011, "DNS", 2, "DNS", 8, std::nullopt)});
    auto client = Client();
    struct Step {
        const char* command;
        std::vector<std::string> expected;  // in any order
    };
    const Step steps[] = {
        {"ADD 127.0.0.2 \"Directory Service\" 3",
         {"OK queuing subscription for 127.0.0.2 \"Directory Service\" 3\r\n",
          "CONNECTION_OK 127.0.0.2 \"Directory Service\" 3\r\n"}},
        {"ADD 127.0.0.2 \"Windows PowerShell\" * CORP\\bob pw",
         {"OK queuing subscription for 127.0.0.2 \"Windows PowerShell\" *\r\n",
          "CONNECTION_OK 127.0.0.2 \"Windows PowerShell\" *\r\n"}},
        {"ADD 127.0.0.2 \"Directory Service\" 3",
         {"ERROR subscription for 127.0.0.2 \"Directory Service\" 3 already exists\r\n"}},
        {"REPLAY 127.0.0.3 \"DNS Server\" * 20231114171300 20231114171400",
         {"OK replaying events for requested time period\r\n",
          "NTEVENT: 127.0.0.3 20231114221330.000000+000 7 DNS \"DNS Server\" Warning <NULL>\r\n",
          ".\r\n", "REPLAY_FINISHED 127.0.0.3 \"DNS Server\" * 20231114171300 20231114171400\r\n"}},
        {"REPLAY 127.0.0.3 \"DNS Server\" 2 20231114171300 0 CORP\\bob pw",
         {"OK replaying events for requested time period\r\n",
          "NTEVENT: 127.0.0.3 20231114221330.000000+000 7 DNS \"DNS Server\" Warning <NULL>\r\n",
          ".\r\n"}},
    };
    for (const Step& step : steps) {
        client->SendLine(step.command);
        EXPECT_TRUE(WaitForAll(*client, step.expected)) << step.command;
    }
    WaitFor(*client, "REPLAY_FINISHED 127.0.0.3 \"DNS Server\" 2 20231114171300 ");

    Append(kLive, {MakeEvent(1700000020, "Directory Service", 2, "NTDS General", 1644,
                             std::vector<std::string>{"a query"})});
    EXPECT_EQ(WaitFor(*client, "NTEVENT"),
              "NTEVENT: 127.0.0.2 20231114221340.000000+000 1644 \"NTDS General\" "
              "\"Directory Service\" Warning \"a query\"\r\n");
    const std::string expected =
        "OK List Follows for 2 entries (0 unreachable):\r\n"
        "127.0.0.2 \"Directory Service\" 3 - EventWait\r\n"
        "127.0.0.2 \"Windows PowerShell\" * CORP\\bob EventWait\r\n.\r\n";
    std::string list;
    for (int i = 0; i < 50 && list != expected; ++i) list = List(*client);
    EXPECT_EQ(list, expected);

    client->SendLine("DELETE 127.0.0.2 \"Directory Service\"");
    EXPECT_TRUE(WaitForAll(*client, {"OK queued deletion of subscription for 1 host(s)\r\n",
                                     "OK Deleted Host 127.0.0.2 \"Directory Service\" 3\r\n"}));
    // One-word categories are matched as before.
    client->SendLine("DELETE 127.0.0.2 Directory");
    EXPECT_EQ(client->ReadLine(), "ERROR no matching subscription found\r\n");
}

// Replay bounds are the listener's local time; the query asks for the same
// instants in UTC, with daylight saving time where the zone has it.
struct ZoneCase {
    const char* zone;
    int64_t utcBase;   // events at utcBase + 0 .. 9 s, codes 0 .. 9
    const char* from;  // local time of utcBase
    const char* to;    // local time of utcBase + 5 s
};

void PrintTo(const ZoneCase& zone, std::ostream* out) { *out << zone.zone << " " << zone.from; }

class EngineTimeZoneTest : public EngineTest, public ::testing::WithParamInterface<ZoneCase> {
  protected:
    void SetUp() override {
        // The listener runs in the zone; no engine thread runs yet.
        setenv("TZ", GetParam().zone, 1);
        tzset();
        EngineTest::SetUp();
    }
    void TearDown() override {
        EngineTest::TearDown();
        setenv("TZ", kLocalZone, 1);
        tzset();
    }
};

TEST_P(EngineTimeZoneTest, ReplayWindowIsLocalTime) {
    const ZoneCase& zone = GetParam();
    std::vector<SimEvent> events;
    for (int i = 0; i < 10; ++i) {
        events.push_back(MakeEvent(zone.utcBase + i, "System", 3, "Src", static_cast<uint32_t>(i),
                                   std::nullopt));
    }
    // And one a minute ago, for an end time of "0".
    const time_t now = time(nullptr);
    events.push_back(MakeEvent(now - 60, "System", 3, "Src", 100, std::nullopt));
    Append(kHistory, events);
    auto client = Client();

    // Both bounds exclusive: codes 1 to 4.
    client->SendLine(std::string("REPLAY 127.0.0.3 System * ") + zone.from + " " + zone.to);
    std::vector<std::string> lines;
    EXPECT_EQ(
        WaitFor(*client, "REPLAY_FINISHED", &lines),
        std::string("REPLAY_FINISHED 127.0.0.3 System * ") + zone.from + " " + zone.to + "\r\n");
    std::vector<std::string> codes;
    for (const std::string& record : Records(lines)) codes.push_back(CodeOf(record, kHistory));
    EXPECT_EQ(codes, (std::vector<std::string>{"1", "2", "3", "4"})) << zone.zone;

    // An hour ago up to now, both in local time: the recent event only.
    time_t hourAgo = now - 3600;
    struct tm local;
    localtime_r(&hourAgo, &local);
    char from[32];
    strftime(from, sizeof from, "%Y%m%d%H%M%S", &local);
    client->SendLine(std::string("REPLAY 127.0.0.3 System * ") + from + " 0");
    lines.clear();
    const std::string head = std::string("REPLAY_FINISHED 127.0.0.3 System * ") + from + " ";
    std::string finished = WaitFor(*client, "REPLAY_FINISHED", &lines);
    EXPECT_EQ(finished.substr(0, head.size()), head) << zone.zone;
    codes.clear();
    for (const std::string& record : Records(lines)) codes.push_back(CodeOf(record, kHistory));
    EXPECT_EQ(codes, (std::vector<std::string>{"100"})) << zone.zone;
}

INSTANTIATE_TEST_SUITE_P(
    Zones, EngineTimeZoneTest,
    ::testing::Values(
        ZoneCase{"America/New_York", 1700000000, "20231114171320", "20231114171325"},  // EST
        ZoneCase{"America/New_York", 1688486400, "20230704120000", "20230704120005"},  // EDT
        ZoneCase{"Asia/Kolkata", 1700000000, "20231115034320", "20231115034325"},
        ZoneCase{"Australia/Lord_Howe", 1704844800, "20240110110000", "20240110110005"},   // +11
        ZoneCase{"Australia/Lord_Howe", 1720569600, "20240710103000", "20240710103005"}),  // +10:30
    [](const ::testing::TestParamInfo<ZoneCase>& info) {
        std::string name = std::string(info.param.zone) + "_" + info.param.from;
        for (char& c : name) {
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

// Replays can be seen and stopped: LIST shows them, DELETE removes them,
// a query WMI refuses ends the replay at once, a severity that is not a
// number is refused at the command.
TEST_F(EngineTest, ReplaysAreListedDeletedAndEndWhenRefused) {
    auto client = Client();
    for (const char* severity : {"x", "3a", "-", "**"}) {
        client->SendLine(std::string("REPLAY 127.0.0.3 System ") + severity +
                         " 20231114221329 20231114221500");
        EXPECT_EQ(client->ReadLine(), "ERROR insufficient/incorrect parameters\r\n") << severity;
    }

    // A replay to a host that is down keeps retrying: LIST shows it, DELETE
    // removes it.
    ASSERT_EQ(store.setHostUp(kHistory, false), SimResult::Ok);
    client->SendLine("REPLAY 127.0.0.3 System 2 20231114221329 20231114221500");
    std::string failed = WaitFor(*client, "CONNECTION_FAILED");
    ASSERT_EQ(failed.substr(0, 37), "CONNECTION_FAILED  127.0.0.3 System 2") << failed;
    std::string failedAt = failed.substr(38, 14);
    std::string list;
    for (int i = 0; i < 50 && list.find("(1 unreachable)") == std::string::npos; ++i) {
        list = List(*client);
    }
    EXPECT_EQ(list,
              "OK List Follows for 1 entries (1 unreachable):\r\n"
              "127.0.0.3 System 2 - REPLAY 20231114221329 20231114221500 "
              "[CONNECTION_FAILED at " +
                  failedAt + " \"The RPC server is unavailable.\"]\r\n.\r\n");
    client->SendLine("DELETE 127.0.0.3");
    EXPECT_TRUE(WaitForAll(*client, {"OK queued deletion of subscription for 1 host(s)\r\n",
                                     "OK Deleted Host 127.0.0.3 System 2\r\n"}));
    EXPECT_EQ(List(*client), "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n");
    ASSERT_EQ(store.setHostUp(kHistory, true), SimResult::Ok);

    // A query WMI refuses: one CONNECTION_FAILED, no retry, no finish.
    client->SendLine("REPLAY 127.0.0.3 Sys'tem * 20231114221329 20231114221500");
    std::vector<std::string> seen;
    failed = WaitFor(*client, "CONNECTION_FAILED", &seen);
    EXPECT_EQ(failed.substr(0, 39), "CONNECTION_FAILED  127.0.0.3 Sys'tem * ") << failed;
    list.clear();
    for (int i = 0; i < 50 && list.find("for 0 entries") == std::string::npos; ++i) {
        list = List(*client);
    }
    // Gone from the list means destroyed: no retry can follow, and none was
    // scheduled (the replay of the down host above, severity 2, was).
    EXPECT_EQ(list, "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n");
    std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_NE(log.find("Scheduled reconnect in 1 sec for - \\\\127.0.0.3\\root\\cimv2, user:, "
                       "eventType:2"),
              std::string::npos);
    EXPECT_EQ(log.find("Scheduled reconnect in 1 sec for - \\\\127.0.0.3\\root\\cimv2, user:, "
                       "eventType:*"),
              std::string::npos);
    client->SendLine("NOOP");
    WaitFor(*client, "OK noop", &seen);
    for (const std::string& line : seen) {
        EXPECT_EQ(line.find("CONNECTION_FAILED"), std::string::npos) << line;
        EXPECT_EQ(line.find("REPLAY_FINISHED"), std::string::npos) << line;
        EXPECT_EQ(line.find("CONNECTION_REESTAB"), std::string::npos) << line;
    }
}

// Shutdown drops a replay that waits for its host instead of waiting for
// it to finish.
TEST_F(EngineTest, StopDropsPendingReplays) {
    auto client = Client();
    ASSERT_EQ(store.setHostUp(kHistory, false), SimResult::Ok);
    client->SendLine("REPLAY 127.0.0.3 System * 20231114221329 20231114221500");
    WaitFor(*client, "CONNECTION_FAILED");
    server->Stop();
    EXPECT_EQ(WaitFor(*client, "Server shutdown"), "Server shutdown\r\n");
    EXPECT_EQ(client->ReadLine(), "OK Deleted Host 127.0.0.3 System *\r\n");
    EXPECT_TRUE(client->WaitClosed());
    server.reset();
}

// A replay whose host fails half-way resumes after the last record it sent:
// every record of the window arrives exactly once.
class EngineSmallBatchTest : public EngineTest {
  protected:
    EngineSmallBatchTest() { options.batchSize = 1; }
};

TEST_F(EngineSmallBatchTest, InterruptedReplayResumesAfterItsLastRecord) {
    const int kEvents = 10000;
    std::vector<SimEvent> history;
    for (int i = 0; i < kEvents; ++i) {
        history.push_back(MakeEvent(1700000000 + i / 100, i % 3 ? "System" : "Application", 3,
                                    "Src", static_cast<uint32_t>(i), std::nullopt));
    }
    Append(kHistory, history);
    auto client = Client();
    client->SendLine("REPLAY 127.0.0.3 * * 20231114171300 20231114180000");
    std::vector<std::string> lines;
    for (int records = 0; records < 200;) {
        std::string line = client->ReadLine();
        ASSERT_FALSE(line.empty());
        lines.push_back(line);
        records += line.rfind("NTEVENT", 0) == 0;
    }
    ASSERT_EQ(store.setHostUp(kHistory, false), SimResult::Ok);
    ASSERT_NE(WaitFor(*client, "CONNECTION_FAILED", &lines), "")
        << "the replay ended before its host went down";
    for (const std::string& line : lines) {
        ASSERT_EQ(line.find("REPLAY_FINISHED"), std::string::npos)
            << "the replay ended before its host went down";
    }
    ASSERT_EQ(store.setHostUp(kHistory, true), SimResult::Ok);
    EXPECT_NE(WaitFor(*client, "CONNECTION_REESTAB 127.0.0.3 * * ", &lines), "");
    for (;;) {
        std::string line = client->ReadLine();
        ASSERT_FALSE(line.empty()) << "no REPLAY_FINISHED";
        if (line.rfind("REPLAY_FINISHED", 0) == 0) {
            EXPECT_EQ(line, "REPLAY_FINISHED 127.0.0.3 * * 20231114171300 20231114180000\r\n");
            break;
        }
        lines.push_back(line);
    }
    std::vector<std::string> records = Records(lines);
    ASSERT_EQ(records.size(), static_cast<size_t>(kEvents));
    for (int i = 0; i < kEvents; ++i) {
        ASSERT_EQ(CodeOf(records[i], kHistory), std::to_string(i)) << i;
    }
}

// Subscription commands take effect in the order they arrive, also when
// they come in one read or from two clients at once.
TEST_F(EngineTest, SubscriptionCommandsTakeEffectInArrivalOrder) {
    auto client = Client();
    auto other = Client();
    client->SendRaw("ADD 127.0.0.2 * *\r\nADD 127.0.0.2 * *\r\n");
    EXPECT_EQ(client->ReadLine(), "OK queuing subscription for 127.0.0.2 * *\r\n");
    EXPECT_EQ(WaitFor(*client, "ERROR"), "ERROR subscription for 127.0.0.2 * * already exists\r\n");
    WaitFor(*other, "CONNECTION_OK 127.0.0.2 * *");

    // Two clients at once: one is queued, the other refused.
    client->SendRaw("ADD 127.0.0.3 System *\r\n");
    other->SendRaw("ADD 127.0.0.3 System *\r\n");
    std::vector<std::string> replies;
    for (LineClient* c : {client.get(), other.get()}) {
        for (;;) {
            std::string line = c->ReadLine();
            ASSERT_FALSE(line.empty());
            if (line.rfind("OK queuing", 0) == 0 || line.rfind("ERROR", 0) == 0) {
                replies.push_back(line);
                break;
            }
        }
    }
    std::sort(replies.begin(), replies.end());
    EXPECT_EQ(replies, (std::vector<std::string>{
                           "ERROR subscription for 127.0.0.3 System * already exists\r\n",
                           "OK queuing subscription for 127.0.0.3 System *\r\n"}));

    // DELETE at once followed by the same ADD: the old one leaves, the new
    // one stays.
    client->SendRaw("DELETE 127.0.0.2\r\nADD 127.0.0.2 * *\r\n");
    EXPECT_TRUE(WaitForAll(
        *client, {"OK queued deletion of subscription for 1 host(s)\r\n",
                  "OK queuing subscription for 127.0.0.2 * *\r\n",
                  "OK Deleted Host 127.0.0.2 * *\r\n", "CONNECTION_OK 127.0.0.2 * *\r\n"}));
    std::string list;
    for (int i = 0; i < 50 && list.find("127.0.0.2 * * - EventWait") == std::string::npos; ++i) {
        list = List(*client);
    }
    EXPECT_NE(list.find("OK List Follows for 2 entries (0 unreachable):\r\n"), std::string::npos)
        << list;
    EXPECT_NE(list.find("127.0.0.2 * * - EventWait"), std::string::npos) << list;

    // Every event once: the second record is the second event, not the
    // first one again.
    Append(kLive, {MakeEvent(1700000000, "System", 3, "First", 1, std::nullopt)});
    EXPECT_NE(WaitFor(*client, "NTEVENT").find(" First "), std::string::npos);
    Append(kLive, {MakeEvent(1700000001, "System", 3, "Second", 2, std::nullopt)});
    std::string next = WaitFor(*client, "NTEVENT");
    EXPECT_NE(next.find(" Second "), std::string::npos) << next;
}

// One query thread serving many idle subscriptions and a busy one, with a
// long poll timeout: the busy one is polled again as soon as it has events,
// not after every idle one has waited its turn (which here would take 36 s
// per batch of 50, beyond the client's patience).
class EngineOneQueryThreadTest : public EngineTest {
  protected:
    EngineOneQueryThreadTest() {
        options.queryThreadCount = 1;
        options.pollTimeoutMs = 3000;
    }
};

TEST_F(EngineOneQueryThreadTest, IdleSubscriptionsDoNotHoldUpABusyOne) {
    auto client = Client();
    for (int i = 0; i < 12; ++i) {
        client->SendLine("ADD 127.0.0.3 Idle" + std::to_string(i) + " *");
        ASSERT_NE(WaitFor(*client, "CONNECTION_OK 127.0.0.3 Idle" + std::to_string(i)), "");
    }
    client->SendLine("ADD 127.0.0.2 * *");
    ASSERT_NE(WaitFor(*client, "CONNECTION_OK 127.0.0.2"), "");
    for (int burst = 0; burst < 2; ++burst) {
        std::vector<SimEvent> events;
        for (int i = 0; i < 200; ++i) {
            events.push_back(MakeEvent(1700000000 + burst, "System", 3, "Busy",
                                       static_cast<uint32_t>(burst * 200 + i), std::nullopt));
        }
        Append(kLive, events);
        for (int i = 0; i < 200; ++i) {
            std::string record = WaitFor(*client, "NTEVENT");
            ASSERT_NE(record, "") << "burst " << burst << ", record " << i;
            EXPECT_EQ(CodeOf(record, kLive), std::to_string(burst * 200 + i));
        }
    }
}

// Worker counts below 1 would leave a subscription with nobody to connect
// it; the engine runs one of each instead.
class EngineWithoutWorkersTest : public EngineTest {
  protected:
    EngineWithoutWorkersTest() {
        options.connectorCount = 0;
        options.queryThreadCount = 0;
    }
};

TEST_F(EngineWithoutWorkersTest, SubscriptionStillConnectsAndDelivers) {
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    WaitForAll(*client, {"OK queuing subscription for 127.0.0.2 * *\r\n",
                         "CONNECTION_OK 127.0.0.2 * *\r\n"});
    Append(kLive,
           {MakeEvent(1700000000, "System", 2, "Service Control Manager", 7036, std::nullopt)});
    EXPECT_NE(WaitFor(*client, "NTEVENT"), "");
    std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_NE(log.find("at least 1 of each is used"), std::string::npos);
}

}  // namespace
