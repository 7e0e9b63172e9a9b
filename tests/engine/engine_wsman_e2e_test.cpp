// The subscription engine end to end on the WS-Management provider: the
// configuration selects WMI.PROVIDER=wsman, and the simulated endpoint
// serves the store's hosts over HTTPS with Basic authentication, or over
// plain HTTP with NTLM and sealed messages. The records delivered must be
// byte for byte those the simulated provider delivers for the same store
// (the lines engine_e2e_test expects).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "engine/controller.h"
#include "server/wmilogeventserver.h"
#include "tests/app/testglobals.h"
#include "tests/platform/eventually.h"
#include "tests/serverframework/lineclient.h"
#include "tests/wmi/evtxsamples.h"
#include "tests/wmi/wsman/wsmanfixture.h"
#include "wmi/locatorfactory.h"
#include "wmi/sim/evtximport.h"

using wmi::sim::SimEvent;
using wmi::sim::SimResult;

namespace {

const char* const kLive = "127.0.0.2";
const char* const kHistory = "127.0.0.3";
const char* const kGuarded = "127.0.0.4";
const char* const kSilent = "127.0.0.5";

const char* const kIni =
    "[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n"
    "[PERFORMANCE]\nConnectionProcessors=2\nEventRetriever=2\nWT_FOR_WQ=1\n"
    "[OTHERS]\nMinReconnectInterval=1\nMaxReconnectInterval=2\nCHECKTERMINATEFLAG=100\n"
    "EVENTWAITPERCONNECTION=100\nNUMBEROFEVENTSTOPOOL=50\n"
    "[WMI]\nPROVIDER=wsman\n";

SimEvent MakeEvent(int64_t seconds, const std::string& log, int type, const std::string& source,
                   uint32_t code, std::optional<std::vector<std::string>> inserts) {
    SimEvent e;
    e.logFile = log;
    e.eventCode = code;
    e.eventIdentifier = code;
    e.eventType = type;
    e.typeText = wmi::sim::EventTypeText(type);
    e.sourceName = source;
    e.timeGenerated = seconds * 1000000;
    e.timeWritten = e.timeGenerated;
    e.insertionStrings = std::move(inserts);
    e.computerName = "WIN-A";
    return e;
}

// A host that takes connections and requests and never answers: a listener
// on kSilent at the endpoint's port. It tells when a request has come in
// and when the listener has closed that connection.
class SilentHost {
  public:
    explicit SilentHost(uint16_t port) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        inet_pton(AF_INET, kSilent, &address.sin_addr);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener, 8), 0);
        thread = std::thread([this] { Run(); });
    }
    ~SilentHost() {
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }

    // Whether `count` requests have come in (and, with `closed`, their
    // connections been closed by the listener) within `limitSeconds`.
    bool WaitFor(int count, bool closed, int limitSeconds) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(limitSeconds),
                                [&] { return requests >= count && (!closed || closes >= count); });
    }

  private:
    void Run() {
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) return;
            char buffer[4096];
            bool counted = false;
            while (recv(fd, buffer, sizeof buffer, 0) > 0) {
                if (!counted) Count(requests);
                counted = true;
            }
            close(fd);
            if (counted) Count(closes);
        }
    }
    void Count(int& counter) {
        std::lock_guard<std::mutex> guard(lock);
        ++counter;
        changed.notify_all();
    }

    int listener = -1;
    std::thread thread;
    std::mutex lock;  // guards requests and closes
    std::condition_variable changed;
    int requests = 0;  // connections on which a request came in
    int closes = 0;    // of them, closed by the listener
};

// While it lives, KRB5_CONFIG names a configuration at `path` that finds
// no KDC, without asking DNS; the variable is as it was afterwards.
class KerberosWithoutDns {
  public:
    explicit KerberosWithoutDns(const std::string& path) {
        if (const char* value = getenv("KRB5_CONFIG")) saved = value;
        FILE* file = fopen(path.c_str(), "w");
        EXPECT_NE(file, nullptr) << path;
        if (file != nullptr) {
            fputs(
                "[libdefaults]\n dns_lookup_kdc = false\n dns_lookup_realm = false\n"
                " dns_uri_lookup = false\n rdns = false\n dns_canonicalize_hostname = false\n",
                file);
            fclose(file);
        }
        setenv("KRB5_CONFIG", path.c_str(), 1);
    }
    ~KerberosWithoutDns() {
        if (saved) {
            setenv("KRB5_CONFIG", saved->c_str(), 1);
        } else {
            unsetenv("KRB5_CONFIG");
        }
    }
    KerberosWithoutDns(const KerberosWithoutDns&) = delete;
    KerberosWithoutDns& operator=(const KerberosWithoutDns&) = delete;

  private:
    std::optional<std::string> saved;
};

class WsmanEngineTest : public wsmantest::WsmanFixture {
  protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void SetUp() override {
        WsmanFixture::SetUp();
        AddHost(kLive);
        AddHost(kHistory);
        AddHost(kGuarded, true, "CORP\\bob", "pw");
        if (HasFatalFailure()) return;
    }

    // Starts the endpoint and the listener configured for it.
    void StartBoth(bool https, const std::string& auth = "basic") {
        StartEndpoint(https, auth);
        if (HasFatalFailure()) return;
        StartListener(https, auth);
    }

    // Starts the listener configured for the running endpoint.
    void StartListener(bool https, const std::string& auth = "basic") {
        std::string ini = kIni;
        if (!stateFile.empty()) {
            const std::string others = "[OTHERS]\n";
            ini.insert(ini.find(others) + others.size(), "STATEFILE=" + stateFile + "\n");
        }
        const std::string within = "WT_FOR_WQ=1";
        ini.replace(ini.find(within), within.size(), "WT_FOR_WQ=" + std::to_string(pollSeconds));
        const std::string longest = "MaxReconnectInterval=2";
        ini.replace(ini.find(longest), longest.size(),
                    "MaxReconnectInterval=" + std::to_string(maxReconnectSeconds));
        ini += "[WSMAN]\nAUTH=" + auth +
               "\nOPERATIONTIMEOUT=" + std::to_string(operationTimeoutSeconds) +
               "\nPORT=" + std::to_string(endpoint->Port()) + "\n";
        ini += https ? "TRANSPORT=https\nCAFILE=" + dir.File("cert.pem") + "\n"
                     : "TRANSPORT=http\n" +
                           std::string(auth == "basic" ? "ALLOWUNENCRYPTED=true\n" : "");
        globals.LoadConfig(dir, ini);
        globals.StartLogger(dir, "DEBUG");
        // Start-up's own choice of provider, from the configuration.
        ASSERT_EQ(CheckWsmanSettings(), "");
        SelectWmiProvider();
        server = std::make_unique<CWmiLogEventServer>();
        server->SetController(new CController(ReadEngineOptions()));
        server->SetListenAddress("127.0.0.1");
        ASSERT_EQ(1, server->Start(1000, 0, 0));
        port = server->GetListenPort();
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "---- quellon.log (tail) ----\n"
                      << TailOfFile(dir.File("quellon.log"), 6000) << "\n";
        }
        if (server) server->Stop();
        server.reset();
        wmi::SelectProvider(nullptr);
        WsmanFixture::TearDown();
    }

    // A client whose wait for each line is long enough for a sanitizer build
    // on a loaded machine (a subscription falling back to polling has taken
    // more than 10 s there to deliver its first record).
    std::unique_ptr<LineClient> Client() {
        auto client = std::make_unique<LineClient>(port, 30000);
        EXPECT_EQ(client->Login("alice", "secret").substr(0, 31),
                  "OK authentication successful (u");
        return client;
    }

    static std::string WaitFor(LineClient& client, const std::string& prefix,
                               std::vector<std::string>* skipped = nullptr) {
        return client.ReadUntil(prefix, skipped);
    }

    // A live subscription to `host` (with `credentials` after the
    // severity), three records, the lines they become.
    void LiveRecordsArriveByteForByte(const std::string& host, const std::string& credentials) {
        Append(host, {MakeEvent(1600000000, "System", 3, "Old", 1, std::nullopt)});
        auto client = Client();
        client->SendLine("ADD " + host + " * *" + credentials);
        EXPECT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK " + host + " * *\r\n");
        Append(host,
               {MakeEvent(1700000000, "Security", 4, "Microsoft-Windows-Security-Auditing", 4624,
                          std::vector<std::string>{"S-1-5-18", "SYSTEM"}),
                MakeEvent(1700000001, "System", 2, "Service Control Manager", 7036, std::nullopt),
                MakeEvent(1700000002, "Application", 1, "My \"App\"", 1000,
                          std::vector<std::string>{})});
        EXPECT_EQ(
            WaitFor(*client, "NTEVENT"),
            "NTEVENT: " + host +
                " 20231114221320.000000+000 4624 "
                "Microsoft-Windows-Security-Auditing Security \"Audit Success\" S-1-5-18\r\n");
        EXPECT_EQ(client->ReadLine(), ".\r\n");
        EXPECT_EQ(client->ReadLine(), "NTEVENT: " + host +
                                          " 20231114221321.000000+000 7036 \"Service Control "
                                          "Manager\" System Warning <NULL>\r\n");
        EXPECT_EQ(client->ReadLine(), ".\r\n");
        EXPECT_EQ(client->ReadLine(), "NTEVENT: " + host +
                                          " 20231114221322.000000+000 1000 \"My \\\"App\\\"\" "
                                          "Application Error \r\n");
        EXPECT_EQ(client->ReadLine(), ".\r\n");
    }

    // Records numbered across 2^31 (kLive) and near 2^32 then wrapped by a
    // clear (kHistory), through outages, subscribed or polled as the
    // endpoint decides: each arrives once, in order, and no query asks for
    // a negative number.
    void RecordNumbersPast2To31ThroughOutages() {
        NumberNextRecordFrom(kLive, 2147483646);
        NumberNextRecordFrom(kHistory, 4294967290);
        StartBoth(true);
        if (HasFatalFailure()) return;
        auto client = Client();
        for (const char* host : {kLive, kHistory}) {
            SCOPED_TRACE(host);
            // Written from now on: a poll asks for what was written since
            // the subscription began.
            int64_t second = time(nullptr) + 1;
            const std::string name = host;
            client->SendLine("ADD " + name + " System *");
            ASSERT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK " + name + " System *\r\n");
            int code = 0;
            std::vector<std::string> lines;
            auto until = [&](const std::string& prefix) {
                lines.push_back(WaitFor(*client, prefix, &lines));
            };
            auto write = [&](int count) {
                for (int i = 0; i < count; ++i) {
                    Append(name, {MakeEvent(++second, "System", 3, "Src",
                                            static_cast<uint32_t>(++code), std::nullopt)});
                }
            };
            auto outage = [&](bool clear) {
                ASSERT_EQ(store.setHostUp(name, false), SimResult::Ok);
                until("CONNECTION_FAILED  " + name);
                if (clear) {
                    int64_t removed = 0;
                    ASSERT_EQ(store.clearLog(name, "", removed), SimResult::Ok);
                }
                write(3);
                ASSERT_EQ(store.setHostUp(name, true), SimResult::Ok);
                until("CONNECTION_REESTAB " + name);
                for (int i = 0; i < 3; ++i) until("NTEVENT");
            };
            write(1);
            until("NTEVENT");
            outage(false);
            if (name == kHistory) outage(true);
            write(1);
            const int written = code;
            client->SendLine("NOOP");
            // Everything written arrives before the NOOP's answer once the
            // last live record is in.
            std::vector<int> codes;
            for (int round = 0; round < 3 && (codes.empty() || codes.back() != written); ++round) {
                until("OK noop");
                codes.clear();
                for (const std::string& line : lines) {
                    if (line.rfind("NTEVENT", 0) != 0) continue;
                    std::string rest = line.substr(line.find(' ', line.find(' ', 9) + 1) + 1);
                    codes.push_back(std::atoi(rest.c_str()));
                }
                if (codes.empty() || codes.back() != written) {
                    sleep(2);
                    client->SendLine("NOOP");
                }
            }
            std::vector<int> expected;
            for (int i = 1; i <= written; ++i) expected.push_back(i);
            EXPECT_EQ(codes, expected);
        }
        const std::string log = ReadWholeFile(dir.File("quellon.log"));
        EXPECT_EQ(log.find("RecordNumber >= -"), std::string::npos);
        EXPECT_NE(log.find("RecordNumber >= 4294967290"), std::string::npos);
    }

    // A record the host sends that cannot be parsed (the simulated host's
    // damaged record, which the endpoint cannot write as a value) is
    // skipped with one ERROR naming host, log and record; the records after
    // it arrive, live and in a replay.
    void ARecordThatCannotBeParsedIsSkipped() {
        DamagePoisonRecords();
        StartBoth(true);
        if (HasFatalFailure()) return;
        auto client = Client();
        auto codes = [](const std::vector<std::string>& lines) {
            std::vector<std::string> found;
            for (const std::string& line : lines) {
                if (line.rfind("NTEVENT", 0) != 0) continue;
                // NTEVENT: host time code ...
                const size_t time = line.find(' ', 9) + 1;
                const size_t code = line.find(' ', time) + 1;
                found.push_back(line.substr(code, line.find(' ', code) - code));
            }
            return found;
        };
        client->SendLine("ADD 127.0.0.2 * *");
        ASSERT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 * *\r\n");
        // Written from now on: a poll asks for what was written since the
        // subscription began.
        const int64_t second = time(nullptr) + 1;
        const std::vector<std::string> text = {"text"};
        Append(kLive, {MakeEvent(second, "System", 3, "Before", 1, text),
                       MakeEvent(second + 1, "System", 3, "PoisonLength", 2, text),
                       MakeEvent(second + 2, "System", 3, "After", 3, text)});
        std::vector<std::string> lines;
        lines.push_back(WaitFor(*client, "NTEVENT", &lines));
        lines.push_back(WaitFor(*client, "NTEVENT", &lines));
        EXPECT_EQ(codes(lines), (std::vector<std::string>{"1", "3"}));
        for (const std::string& line : lines) {
            EXPECT_EQ(line.rfind("CONNECTION_FAILED", 0), std::string::npos) << line;
        }

        Append(kHistory, {MakeEvent(1700000011, "System", 3, "First", 11, text),
                          MakeEvent(1700000012, "System", 3, "PoisonShort", 12, text),
                          MakeEvent(1700000013, "System", 3, "Third", 13, text)});
        client->SendLine("REPLAY 127.0.0.3 * * 20000101000000 0");
        lines.clear();
        ASSERT_FALSE(WaitFor(*client, "REPLAY_FINISHED 127.0.0.3", &lines).empty());
        EXPECT_EQ(codes(lines), (std::vector<std::string>{"11", "13"}));

        const std::string log = ReadWholeFile(dir.File("quellon.log"));
        for (const char* where : {"Record 2 of log System of host 127.0.0.2 cannot be read",
                                  "Record 2 of log System of host 127.0.0.3 cannot be read",
                                  "a record cannot be read: property InsertionStrings holds an "
                                  "element, not a text"}) {
            EXPECT_NE(log.find(where), std::string::npos) << where;
        }
    }

    // Record numbers that wrap from 4294967295 to 0, on every road: live
    // (records on both sides of the wrap written in one second), catch-up
    // (from a point after the wrap, above which the records written before
    // it still lie; from a point before the wrap, with records after it)
    // and REPLAY (a window holding the wrap). Each record arrives once, in
    // the order written, and the log says which logs wrapped.
    void WrappedLogOnEveryRoad() {
        for (const char* host : {kLive, kHistory}) {
            Append(host, {MakeEvent(1600000000, "Setup", 3, "Setup", 0, std::nullopt)});
            // The next record of the host is 4294967294.
            ASSERT_EQ(store.renumberRecords(host, 4294967293LL), SimResult::Ok);
        }
        StartBoth(true);
        if (HasFatalFailure()) return;
        auto client = Client();
        std::vector<std::string> lines;
        auto until = [&](const std::string& prefix) {
            lines.push_back(WaitFor(*client, prefix, &lines));
        };
        client->SendLine("ADD 127.0.0.2 System *");
        until("CONNECTION_OK 127.0.0.2");
        // Written from now on: a poll asks for what was written since the
        // subscription began.
        const int64_t base = time(nullptr) + 1;
        int code = 0;
        auto write = [&](const char* host, int count, bool oneSecond) {
            std::vector<SimEvent> events;
            for (int i = 0; i < count; ++i) {
                ++code;
                events.push_back(MakeEvent(oneSecond ? base : base + code, "System", 3, "Src",
                                           static_cast<uint32_t>(code), std::nullopt));
            }
            Append(host, events);
        };
        auto outage = [&](const std::string& host, int written) {
            ASSERT_EQ(store.setHostUp(host, false), SimResult::Ok);
            until("CONNECTION_FAILED  " + host);
            write(host.c_str(), written, false);
            ASSERT_EQ(store.setHostUp(host, true), SimResult::Ok);
            until("CONNECTION_REESTAB " + host);
            for (int i = 0; i < written; ++i) until("NTEVENT");
        };
        // Live: 4294967294, 4294967295, 0 and 1 in one second.
        write(kLive, 4, true);
        for (int i = 0; i < 4; ++i) until("NTEVENT");
        // Catch-up from record 1: 4294967294 and 4294967295 are older.
        outage(kLive, 2);
        if (HasFatalFailure()) return;
        // Catch-up from 4294967294: 4294967295, then 0 and 1.
        client->SendLine("ADD 127.0.0.3 System *");
        until("CONNECTION_OK 127.0.0.3");
        write(kHistory, 1, false);
        until("NTEVENT");
        outage(kHistory, 3);
        if (HasFatalFailure()) return;
        // REPLAY of kLive's window, wrap and all.
        auto stamp = [](time_t when) {
            struct tm utc;
            gmtime_r(&when, &utc);
            char text[16];
            strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
            return std::string(text);
        };
        client->SendLine("REPLAY 127.0.0.2 System * " + stamp(base - 1) + " " + stamp(base + 100));
        until("REPLAY_FINISHED 127.0.0.2");
        std::vector<std::string> got;
        for (const std::string& line : lines) {
            if (line.rfind("NTEVENT", 0) != 0) continue;
            // "NTEVENT: HOST TIME CODE ...": the host's last figure and the code.
            const size_t host = line.find(' ') + 1;
            const size_t timeAt = line.find(' ', host) + 1;
            const size_t codeAt = line.find(' ', timeAt) + 1;
            got.push_back(line.substr(host + 8, timeAt - host - 9) + ":" +
                          line.substr(codeAt, line.find(' ', codeAt) - codeAt));
        }
        const std::vector<std::string> expected = {"2:1", "2:2", "2:3", "2:4",  "2:5", "2:6",
                                                   "3:7", "3:8", "3:9", "3:10", "2:1", "2:2",
                                                   "2:3", "2:4", "2:5", "2:6"};
        EXPECT_EQ(got, expected);
        const std::string log = ReadWholeFile(dir.File("quellon.log"));
        size_t wrapped = 0;
        for (size_t at = log.find("Log System wrapped"); at != std::string::npos;
             at = log.find("Log System wrapped", at + 1)) {
            ++wrapped;
        }
        EXPECT_EQ(wrapped, 2u) << log;
    }

    // A host that accepts the query and then fails every Pull (subscribed:
    // the subscription's and the catch-up's; polled: the data query's) is
    // one failure series: one CONNECTION_FAILED and no CONNECTION_REESTAB,
    // the reconnects 1, 2 then 4 seconds apart with reconnectTryNo growing
    // with them, and the fault that ended the query logged at WARN.
    void EveryPullFailing(bool polled) {
        failDataPulls = true;
        failSubscribe = polled;
        failSubscriptionPulls = !polled;
        maxReconnectSeconds = 4;
        StartBoth(true);
        if (HasFatalFailure()) return;
        auto client = Client();
        client->SendLine("ADD 127.0.0.2 * *");
        EXPECT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 * *\r\n");
        std::vector<std::string> lines;
        std::string failed = WaitFor(*client, "CONNECTION_FAILED  127.0.0.2", &lines);
        EXPECT_NE(failed.find(" - Generic failure"), std::string::npos) << failed;
        const std::string scheduled = "Scheduled reconnect in ";
        // The delays the dispatcher chose and the try numbers it logged.
        std::vector<std::string> reconnects;
        ASSERT_TRUE(Eventually(
            [&] {
                const std::string log = ReadWholeFile(dir.File("quellon.log"));
                reconnects.clear();
                for (size_t at = log.find(scheduled); at != std::string::npos;
                     at = log.find(scheduled, at + 1)) {
                    const size_t end = log.find_first_of("\r\n", at);
                    const std::string line = log.substr(at, end - at);
                    const size_t tryNo = line.find("reconnectTryNo:");
                    reconnects.push_back(
                        std::to_string(std::atoi(line.c_str() + scheduled.size())) + "s#" +
                        (tryNo == std::string::npos ? "-" : line.substr(tryNo + 15)));
                }
                return reconnects.size() >= 3;
            },
            30000));
        reconnects.resize(3);
        EXPECT_EQ(reconnects, (std::vector<std::string>{"1s#1", "2s#2", "4s#3"}));
        client->SendLine("NOOP");
        WaitFor(*client, "OK noop", &lines);
        for (const std::string& line : lines) {
            EXPECT_EQ(line.rfind("CONNECTION_", 0), std::string::npos) << line;
        }
        const std::string log = ReadWholeFile(dir.File("quellon.log"));
        const size_t ended =
            log.find(std::string("ended the ") + (polled ? "polled subscription" : "subscription") +
                     " with fault Receiver/InternalError (2147749889)");
        ASSERT_NE(ended, std::string::npos) << log;
        const size_t lineStart = log.rfind('\n', ended) + 1;
        EXPECT_NE(log.substr(lineStart, ended - lineStart).find("(WARN)"), std::string::npos)
            << log.substr(lineStart, ended - lineStart);
        EXPECT_EQ(log.find("the listener is stopping"), std::string::npos) << log;
    }

    int maxReconnectSeconds = 2;
    int operationTimeoutSeconds = 5;
    int pollSeconds = 1;    // WT_FOR_WQ
    std::string stateFile;  // [OTHERS] STATEFILE when not empty
    TestGlobals globals;
    std::unique_ptr<CWmiLogEventServer> server;
    uint16_t port = 0;
};

TEST_F(WsmanEngineTest, LiveEventsOverHttpsWithBasic) {
    StartBoth(true);
    LiveRecordsArriveByteForByte(kLive, "");
}

TEST_F(WsmanEngineTest, LiveEventsOverHttpWithNtlmSealing) {
    StartBoth(false);
    LiveRecordsArriveByteForByte(kGuarded, " CORP\\bob pw");
    // Wrong credentials: NTLM refuses them as Basic does.
    auto client = Client();
    client->SendLine("ADD 127.0.0.4 System * CORP\\bob nope");
    std::string denied = WaitFor(*client, "CONNECTION_FAILED");
    EXPECT_NE(denied.find(" - Access is denied.\r\n"), std::string::npos) << denied;
}

TEST_F(WsmanEngineTest, ARecordThatCannotBeParsedIsSkippedSubscribed) {
    ARecordThatCannotBeParsedIsSkipped();
}

TEST_F(WsmanEngineTest, ARecordThatCannotBeParsedIsSkippedPolled) {
    eventing = false;
    ARecordThatCannotBeParsedIsSkipped();
}

TEST_F(WsmanEngineTest, RecordNumbersPast2To31Subscribed) {
    RecordNumbersPast2To31ThroughOutages();
}

TEST_F(WsmanEngineTest, RecordNumbersPast2To31Polled) {
    eventing = false;
    RecordNumbersPast2To31ThroughOutages();
}

// A host that accepts the subscription and fails every Pull is reconnected
// with the back-off of any failing host (1, 2, 4 seconds), not at the
// shortest interval forever.
TEST_F(WsmanEngineTest, HostFailingEveryPullBacksOff) {
    failSubscriptionPulls = true;
    maxReconnectSeconds = 4;
    StartBoth(true);
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    EXPECT_EQ(WaitFor(*client, "CONNECTION_OK"), "CONNECTION_OK 127.0.0.2 * *\r\n");
    std::vector<std::chrono::steady_clock::time_point> back;
    for (int i = 0; i < 3; ++i) {
        std::string failed = WaitFor(*client, "CONNECTION_FAILED  127.0.0.2");
        ASSERT_FALSE(failed.empty()) << i;
        ASSERT_FALSE(WaitFor(*client, "CONNECTION_REESTAB 127.0.0.2").empty()) << i;
        back.push_back(std::chrono::steady_clock::now());
    }
    // The third reconnect waited four seconds, the second two.
    EXPECT_GE(back[2] - back[1], std::chrono::milliseconds(3500));
    EXPECT_GE(back[1] - back[0], std::chrono::milliseconds(1500));
    // The log says why: the fault's code, subcode and text.
    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_NE(log.find("(WARN)"), std::string::npos);
    EXPECT_NE(log.find("ended the subscription with fault Receiver/InternalError (2147749889): The "
                       "WS-Management service cannot process the request."),
              std::string::npos)
        << log;
}

// A host that takes 3.5 s to answer every Pull, with WSMAN.OPERATIONTIMEOUT=10:
// a REPLAY and the catch-up after an outage get their records (their Pulls
// carry the operation time-out, and wait for it), with no CONNECTION_FAILED
// beyond the outage's.
TEST_F(WsmanEngineTest, SlowHostIsReplayedAndCaughtUp) {
    slowPullMs = 3500;
    operationTimeoutSeconds = 10;
    std::vector<SimEvent> history;
    for (int i = 0; i < 5; ++i) {
        history.push_back(MakeEvent(1700000000 + i, "System", 3, "Old",
                                    static_cast<uint32_t>(i + 1), std::nullopt));
    }
    Append(kHistory, history);
    StartBoth(true);
    if (HasFatalFailure()) return;
    auto client = Client();
    client->SendLine("REPLAY 127.0.0.3 System * 20231114221300 20231114221500");
    std::vector<std::string> lines;
    EXPECT_EQ(WaitFor(*client, "REPLAY_FINISHED", &lines),
              "REPLAY_FINISHED 127.0.0.3 System * 20231114221300 20231114221500\r\n");
    size_t replayed = 0;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("CONNECTION_", 0), std::string::npos) << line;
        if (line.rfind("NTEVENT: 127.0.0.3 ", 0) == 0) ++replayed;
    }
    EXPECT_EQ(replayed, 5u);

    client->SendLine("ADD 127.0.0.2 System *");
    EXPECT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 System *\r\n");
    Append(kLive, {MakeEvent(time(nullptr) + 1, "System", 3, "Live", 1, std::nullopt)});
    EXPECT_NE(WaitFor(*client, "NTEVENT").find(" 1 Live "), std::string::npos);
    ASSERT_EQ(store.setHostUp(kLive, false), SimResult::Ok);
    WaitFor(*client, "CONNECTION_FAILED  127.0.0.2");
    for (uint32_t code = 2; code <= 4; ++code) {
        Append(kLive, {MakeEvent(time(nullptr) + code, "System", 3, "Away", code, std::nullopt)});
    }
    ASSERT_EQ(store.setHostUp(kLive, true), SimResult::Ok);
    lines.clear();
    WaitFor(*client, "CONNECTION_REESTAB 127.0.0.2", &lines);
    for (uint32_t code = 2; code <= 4; ++code) {
        std::string record = WaitFor(*client, "NTEVENT", &lines);
        EXPECT_NE(record.find(" " + std::to_string(code) + " Away "), std::string::npos) << record;
    }
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("CONNECTION_", 0), std::string::npos) << line;
        EXPECT_EQ(line.rfind("NTEVENT", 0), std::string::npos) << line;
    }
}

TEST_F(WsmanEngineTest, WrappedLogOnEveryRoadSubscribed) { WrappedLogOnEveryRoad(); }

TEST_F(WsmanEngineTest, WrappedLogOnEveryRoadPolled) {
    eventing = false;
    WrappedLogOnEveryRoad();
}

TEST_F(WsmanEngineTest, EveryPullFailingSubscribedIsOneFailure) { EveryPullFailing(false); }

TEST_F(WsmanEngineTest, EveryPullFailingPolledIsOneFailure) { EveryPullFailing(true); }

// NTLM and Negotiate over plain HTTP to a host that closes connections idle
// for two seconds, polled every three: each poll finds its connection gone
// and authenticates on a new one before it sends anything sealed. No
// CONNECTION_FAILED, every record once, and the host never receives a
// sealed request on a connection that has not authenticated.
TEST_F(WsmanEngineTest, SealedRequestsOnlyOnAuthenticatedConnections) {
    eventing = false;
    idleCloseSeconds = 2;
    pollSeconds = 3;
    // Negotiate tries Kerberos for CORP\bob before NTLM, on every new
    // connection: with the machine's configuration that looks the realm's
    // KDC up in DNS, and a slow resolver held each poll up beyond the
    // client's wait. A configuration without DNS lookups fails the
    // Kerberos attempt at once.
    KerberosWithoutDns kerberos(dir.File("krb5.conf"));
    for (const char* auth : {"ntlm", "negotiate"}) {
        SCOPED_TRACE(auth);
        if (server) server->Stop();
        server.reset();
        if (endpoint) endpoint->Stop();
        StartBoth(false, auth);
        if (HasFatalFailure()) return;
        auto client = Client();
        client->SendLine("ADD 127.0.0.4 * * CORP\\bob pw");
        ASSERT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.4 * *\r\n");
        std::vector<std::string> lines;
        for (uint32_t code = 1; code <= 3; ++code) {
            Append(kGuarded,
                   {MakeEvent(time(nullptr) + 1, "System", 3, "Src", code, std::nullopt)});
            std::string record = WaitFor(*client, "NTEVENT", &lines);
            ASSERT_NE(record.find(" " + std::to_string(code) + " Src "), std::string::npos)
                << record;
            sleep(3);  // longer than the host keeps an idle connection
        }
        client->SendLine("NOOP");
        WaitFor(*client, "OK noop", &lines);
        for (const std::string& line : lines) {
            EXPECT_EQ(line.rfind("CONNECTION_", 0), std::string::npos) << line;
            EXPECT_EQ(line.rfind("NTEVENT", 0), std::string::npos) << line;
        }
        EXPECT_EQ(endpoint->SealedWithoutContext(), 0u);
    }
}

// A host that answers Subscribe with InternalError while the same
// conditions work as a data query is polled, as hosts without event
// subscriptions are, and the log says which fault it gave.
TEST_F(WsmanEngineTest, SubscribeRefusedWithAFaultIsPolled) {
    failSubscribe = true;
    StartBoth(true);
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    EXPECT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 * *\r\n");
    Append(kLive, {MakeEvent(time(nullptr) + 1, "System", 3, "Polled", 42, std::nullopt)});
    std::vector<std::string> lines;
    std::string record = WaitFor(*client, "NTEVENT", &lines);
    EXPECT_NE(record.find(" 42 Polled "), std::string::npos) << record;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("CONNECTION_", 0), std::string::npos) << line;
    }
    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_NE(log.find("refused the subscription with fault Receiver/InternalError (2147749889)"),
              std::string::npos)
        << log;
}

// A host that refuses the subscription with a fault and fails the same
// conditions as a data query too is not polled: clients see one
// CONNECTION_FAILED, and the connector tries again after 1, 2, then 4
// seconds (the back-off of any failing host), with no notice in between.
TEST_F(WsmanEngineTest, SubscribeAndDataQueryBothFailingBacksOff) {
    failSubscribe = true;
    failDataQueries = true;
    maxReconnectSeconds = 4;
    StartBoth(true);
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 * *");
    std::vector<std::string> lines;
    std::string failed = WaitFor(*client, "CONNECTION_FAILED  127.0.0.2", &lines);
    EXPECT_NE(failed.find(" - Generic failure"), std::string::npos) << failed;
    const std::string scheduled = "Scheduled reconnect in ";
    // The delays the dispatcher chose, in order, once four are logged.
    std::vector<int> delays;
    ASSERT_TRUE(Eventually(
        [&] {
            const std::string log = ReadWholeFile(dir.File("quellon.log"));
            delays.clear();
            for (size_t at = log.find(scheduled); at != std::string::npos;
                 at = log.find(scheduled, at + 1)) {
                delays.push_back(std::atoi(log.c_str() + at + scheduled.size()));
            }
            return delays.size() >= 4;
        },
        30000));
    EXPECT_EQ(delays, (std::vector<int>{1, 2, 4, 4}));
    client->SendLine("NOOP");
    WaitFor(*client, "OK noop", &lines);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("CONNECTION_", 0), std::string::npos) << line;
        EXPECT_EQ(line.rfind("NTEVENT", 0), std::string::npos) << line;
    }
    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_EQ(log.find("polling with a data query"), std::string::npos) << log;
}

TEST_F(WsmanEngineTest, ReplayDeliversTheWindowThenFinishes) {
    std::vector<SimEvent> history;
    for (int i = 0; i < 120; ++i) {
        history.push_back(MakeEvent(1700000000 + i, i % 2 ? "System" : "Application", 3, "Src",
                                    static_cast<uint32_t>(i), std::nullopt));
    }
    Append(kHistory, history);
    StartBoth(true);
    auto client = Client();
    client->SendLine("REPLAY 127.0.0.3 System * 20231114221329 20231114221500");
    std::vector<std::string> lines;
    std::string finished = WaitFor(*client, "REPLAY_FINISHED", &lines);
    EXPECT_EQ(finished, "REPLAY_FINISHED 127.0.0.3 System * 20231114221329 20231114221500\r\n");
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
}

// Event channels through the event log resource: a Sysmon log and a
// Windows Defender one (a channel name with blanks) imported into a host;
// live records of each arrive once, in order, as NTEVENT lines of the
// classic layout (the channel as Logfile, the provider as SourceName, the
// level's type, the SID); a severity filter lets only the levels it admits
// through; a replay gives its window; a channel the host lacks fails with
// the host's reason.
TEST_F(WsmanEngineTest, ChannelEventsThroughTheEventLogResource) {
    std::vector<wmi::sim::EvtxReadReport> reports;
    std::string error;
    ASSERT_EQ(wmi::sim::ImportEvtxFiles(
                  store, kLive,
                  {SamplesDir() + "/ID11,13,17,18-PSexec as system execution.evtx",
                   SamplesDir() + "/ID5007-Defender threat exclusion (native).evtx"},
                  reports, &error),
              SimResult::Ok)
        << error;
    const std::string sysmon = "Microsoft-Windows-Sysmon/Operational";
    const std::string defender = "Microsoft-Windows-Windows Defender/Operational";
    std::vector<SimEvent> history;
    ASSERT_EQ(store.eventsAfter(kLive, 0, SIZE_MAX, history), SimResult::Ok);
    StartBoth(true);
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 " + sysmon + " *");
    EXPECT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 " + sysmon + " *\r\n");
    client->SendLine("ADD 127.0.0.2 \"" + defender + "\" 2");
    EXPECT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 \"" + defender + "\" 2\r\n");
    client->SendLine("ADD 127.0.0.2 Microsoft-Windows-Nothing/Operational *");
    const std::string refused = WaitFor(*client, "CONNECTION_FAILED");
    EXPECT_EQ(
        refused.rfind("CONNECTION_FAILED  127.0.0.2 Microsoft-Windows-Nothing/Operational *", 0),
        0u)
        << refused;

    // New records: the first two Sysmon ones again (a process creation and a
    // registry event, level 4), two Defender ones at levels 4 (filtered
    // out) and 3.
    std::vector<SimEvent> fresh{history[0], history[1], history[15], history[16]};
    for (SimEvent& e : fresh) e.eventRecordId = 0;
    fresh[3].channel->level = 3;
    Append(kLive, fresh);
    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) lines.push_back(WaitFor(*client, "NTEVENT", &lines));
    // In order within each subscription (the two may interleave).
    std::vector<std::string> events;
    std::vector<std::string> defenderEvents;
    for (const std::string& line : lines) {
        if (line.rfind("NTEVENT", 0) != 0) continue;
        (line.find(defender) != std::string::npos ? defenderEvents : events).push_back(line);
    }
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(defenderEvents.size(), 1u);
    // The classic layout: code, source, log, type, message (the first data
    // value, as for a classic event).
    const std::string sysmonLine = " 1 Microsoft-Windows-Sysmon " + sysmon +
                                   " Information \"technique_id=T1035,technique_name=Service "
                                   "Execution\"\r\n";
    EXPECT_NE(events[0].find(sysmonLine), std::string::npos) << events[0];
    EXPECT_NE(events[1].find(" 13 Microsoft-Windows-Sysmon " + sysmon + " Information "),
              std::string::npos)
        << events[1];
    EXPECT_NE(defenderEvents[0].find(" 5007 \"Microsoft-Windows-Windows Defender\" \"" + defender +
                                     "\" Warning "),
              std::string::npos)
        << defenderEvents[0];
    client->SendLine("NOOP");
    lines.clear();
    WaitFor(*client, "OK noop", &lines);
    for (const std::string& line : lines) {
        EXPECT_NE(line.rfind("NTEVENT", 0), 0u) << "a record came twice or unfiltered: " << line;
    }

    // A replay of the Sysmon log's first five records' times.
    const std::string from = wmi::cim::FormatDmtf(history[0].timeGenerated - 1000000).substr(0, 14);
    const std::string to = wmi::cim::FormatDmtf(history[4].timeGenerated + 1000000).substr(0, 14);
    client->SendLine("REPLAY 127.0.0.2 " + sysmon + " * " + from + " " + to);
    lines.clear();
    WaitFor(*client, "REPLAY_FINISHED", &lines);
    size_t replayed = 0;
    for (const std::string& line : lines) replayed += line.rfind("NTEVENT", 0) == 0;
    // The window's records: the history's and the live copies of the first
    // two (they keep their times).
    std::vector<SimEvent> all;
    ASSERT_EQ(store.logEventsAfter(kLive, sysmon, 0, SIZE_MAX, all), SimResult::Ok);
    size_t inWindow = 0;
    for (const SimEvent& e : all) {
        inWindow += e.timeGenerated / 1000000 > history[0].timeGenerated / 1000000 - 1 &&
                    e.timeGenerated / 1000000 < history[4].timeGenerated / 1000000 + 1;
    }
    EXPECT_EQ(replayed, inWindow);
    EXPECT_GE(replayed, 5u);
}

// A channel subscription through an outage of its host and an orderly
// restart of the listener with a state file: the records written meanwhile
// arrive once each, in order, before the live ones.
TEST_F(WsmanEngineTest, ChannelSubscriptionResumesAfterAnOutageAndARestart) {
    std::vector<wmi::sim::EvtxReadReport> reports;
    std::string error;
    ASSERT_EQ(wmi::sim::ImportEvtxFiles(
                  store, kLive, {SamplesDir() + "/ID11,13,17,18-PSexec as system execution.evtx"},
                  reports, &error),
              SimResult::Ok)
        << error;
    std::vector<SimEvent> history;
    ASSERT_EQ(store.eventsAfter(kLive, 0, SIZE_MAX, history), SimResult::Ok);
    const std::string sysmon = "Microsoft-Windows-Sysmon/Operational";
    uint32_t code = 100;
    auto write = [&](int count) {
        for (int i = 0; i < count; ++i) {
            SimEvent e = history[0];
            e.eventRecordId = 0;
            e.eventCode = e.eventIdentifier = code++;
            Append(kLive, {e});
        }
    };
    std::vector<uint32_t> codes;
    auto read = [&](LineClient& client, int count) {
        std::vector<std::string> lines;
        for (int i = 0; i < count; ++i) {
            const std::string line = WaitFor(client, "NTEVENT", &lines);
            codes.push_back(static_cast<uint32_t>(
                std::atoi(line.c_str() +
                          std::string("NTEVENT: 127.0.0.2 20211204211916.741995+000 ").size())));
        }
    };
    stateFile = dir.File("state.db");
    StartBoth(true);
    {
        auto client = Client();
        client->SendLine("ADD 127.0.0.2 " + sysmon + " *");
        ASSERT_EQ(WaitFor(*client, "CONNECTION"), "CONNECTION_OK 127.0.0.2 " + sysmon + " *\r\n");
        write(2);
        read(*client, 2);
        ASSERT_EQ(store.setHostUp(kLive, false), SimResult::Ok);
        WaitFor(*client, "CONNECTION_FAILED  127.0.0.2");
        write(2);
        ASSERT_EQ(store.setHostUp(kLive, true), SimResult::Ok);
        WaitFor(*client, "CONNECTION_REESTAB 127.0.0.2");
        read(*client, 2);
    }
    server->Stop();
    server.reset();
    write(2);
    StartListener(true);
    auto client = Client();
    client->SendLine("ADD 127.0.0.2 " + sysmon + " *");
    read(*client, 2);
    write(1);
    read(*client, 1);
    client->SendLine("NOOP");
    std::vector<std::string> rest;
    WaitFor(*client, "OK noop", &rest);
    for (const std::string& line : rest) {
        EXPECT_NE(line.rfind("NTEVENT", 0), 0u) << "a record came twice: " << line;
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{100, 101, 102, 103, 104, 105, 106}));
}

TEST_F(WsmanEngineTest, HostDownAndBackAndWrongCredentials) {
    StartBoth(true);
    auto client = Client();
    client->SendLine("ADD 127.0.0.4 * * CORP\\bob wrong");
    std::string denied = WaitFor(*client, "CONNECTION_FAILED");
    EXPECT_NE(denied.find("127.0.0.4 * *"), std::string::npos) << denied;
    EXPECT_NE(denied.find(" - Access is denied.\r\n"), std::string::npos) << denied;

    client->SendLine("ADD 127.0.0.2 * *");
    EXPECT_EQ(WaitFor(*client, "CONNECTION_OK"), "CONNECTION_OK 127.0.0.2 * *\r\n");
    ASSERT_EQ(store.setHostUp(kLive, false), SimResult::Ok);
    std::string failed = WaitFor(*client, "CONNECTION_FAILED  127.0.0.2");
    EXPECT_NE(failed.find(" - The remote procedure call failed.\r\n"), std::string::npos) << failed;
    ASSERT_EQ(store.setHostUp(kLive, true), SimResult::Ok);
    std::string back = WaitFor(*client, "CONNECTION_REESTAB 127.0.0.2");
    EXPECT_EQ(back.substr(0, 33), "CONNECTION_REESTAB 127.0.0.2 * * ") << back;
    Append(kLive, {MakeEvent(1700000000, "System", 3, "AfterOutage", 42, std::nullopt)});
    std::string record = WaitFor(*client, "NTEVENT");
    EXPECT_NE(record.find("AfterOutage"), std::string::npos) << record;
}

// A DELETE of a subscription whose host takes the request and never
// answers ends the request at once: the deletion is announced, and the
// host sees the connection closed, long before the request's own deadline
// (63 s here, beyond every wait of this test). Shutdown does the same for
// a subscription still waiting on such a host: the listener stops without
// leaving its dispatcher behind.
TEST_F(WsmanEngineTest, DeleteAndShutdownEndRequestsWaitingOnAHost) {
    operationTimeoutSeconds = 60;
    StartBoth(false);
    if (HasFatalFailure()) return;
    SilentHost silent(endpoint->Port());
    auto client = Client();
    client->SendLine("ADD 127.0.0.5 * *");
    ASSERT_TRUE(silent.WaitFor(1, false, 20));
    client->SendLine("DELETE 127.0.0.5");
    // The command's reply and the notice, in whichever order they come.
    std::vector<std::string> lines;
    EXPECT_EQ(WaitFor(*client, "OK Deleted", &lines), "OK Deleted Host 127.0.0.5 * *\r\n");
    bool queued = false;
    for (const std::string& line : lines) {
        queued = queued || line == "OK queued deletion of subscription for 1 host(s)\r\n";
        EXPECT_EQ(line.rfind("CONNECTION_", 0), std::string::npos) << line;
    }
    if (!queued) {
        EXPECT_EQ(WaitFor(*client, "OK queued"),
                  "OK queued deletion of subscription for 1 host(s)\r\n");
    }
    EXPECT_TRUE(silent.WaitFor(1, true, 20));

    client->SendLine("ADD 127.0.0.5 * *");
    ASSERT_TRUE(silent.WaitFor(2, false, 20));
    server->Stop();
    EXPECT_TRUE(silent.WaitFor(2, true, 20));
    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
}

}  // namespace
