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
#include "tests/wmi/simfixture.h"
#include "wmi/locatorfactory.h"

using wmi::sim::SimEvent;
using wmi::sim::SimResult;

namespace {

const char* const kLive = "127.0.0.2";
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
        setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
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
            std::string text = ReadWholeFile(dir.File("quellon.log"));
            std::cerr << "---- quellon.log (tail) ----\n"
                      << text.substr(text.size() > 6000 ? text.size() - 6000 : 0) << "\n";
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

    // Reads lines until one starts with `prefix`; returns it ("" on time-out).
    // Lines read on the way are appended to *skipped when given.
    static std::string WaitFor(LineClient& client, const std::string& prefix,
                               std::vector<std::string>* skipped = nullptr) {
        for (int i = 0; i < 10000; ++i) {
            std::string line = client.ReadLine();
            if (line.empty()) return "";
            if (line.rfind(prefix, 0) == 0) return line;
            if (skipped) skipped->push_back(line);
        }
        return "";
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
    // The notice goes out just before the failure is recorded on the
    // subscription, so LIST may need a second look.
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
    // Both bounds are exclusive: seconds 10 .. 99 of the history, System only.
    client->SendLine("REPLAY 127.0.0.3 System * 20231114221329 20231114221500");
    std::vector<std::string> lines;
    WaitForAll(*client,
               {"OK replaying events for requested time period\r\n",
                "REPLAY_FINISHED 127.0.0.3 System * 20231114221329 20231114221500\r\n"},
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
    // A replay is never listed and its first connection is not announced.
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
