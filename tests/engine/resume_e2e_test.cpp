// Resume points end to end: a real command server on loopback with the real
// engine, simulated hosts in a real SQLite store driven by the quellon-sim
// tool (down, up, emit, clear) while the engine reads them, and, for
// restarts, the quellon program itself with a state file.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/controller.h"
#include "engine/resumestore.h"
#include "server/wmilogeventserver.h"
#include "tests/app/builtprogram.h"
#include "tests/app/quellonprocess.h"
#include "tests/app/tempdir.h"
#include "tests/app/testglobals.h"
#include "tests/serverframework/lineclient.h"
#include "tests/serverframework/loopbackport.h"
#include "tests/wmi/simfixture.h"
#include "wmi/locatorfactory.h"

extern char** environ;

namespace {

const char* const kHost = "127.0.0.2";
const char* const kOtherHost = "127.0.0.3";

// The settings of the listener program (RestartTest); the in-process tests
// give the engine the same as options.
const char* const kIni =
    "[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n"
    "[PERFORMANCE]\nConnectionProcessors=2\nEventRetriever=2\nWT_FOR_WQ=0\n"
    "[OTHERS]\nMinReconnectInterval=1\nMaxReconnectInterval=1\nCHECKTERMINATEFLAG=100\n"
    "EVENTWAITPERCONNECTION=100\nNUMBEROFEVENTSTOPOOL=50\n";

TEngineOptions EngineOptions() {
    TEngineOptions options;
    options.connectorCount = 2;
    options.queryThreadCount = 2;
    options.withinInterval = 0;
    options.minReconnectInterval = 1;
    options.maxReconnectInterval = 1;
    options.checkTerminateMs = 100;
    options.pollTimeoutMs = 100;
    options.batchSize = 50;
    return options;
}

// The event code of an NTEVENT line ("NTEVENT: host time code ..."), -1 for
// another line.
int CodeOf(const std::string& line) {
    if (line.rfind("NTEVENT: ", 0) != 0) return -1;
    size_t at = line.find(' ', line.find(' ', 9) + 1);  // after host and time
    return std::atoi(line.c_str() + at + 1);
}

// Runs quellon-sim on the store; its exit code.
int Sim(const std::string& store, std::vector<std::string> args) {
    const std::string program = BuiltProgram("quellon-sim");
    args.insert(args.begin(), {program, "--store", store});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Everything a client received, read by the test's thread.
class Received {
  public:
    explicit Received(LineClient& client) : client(client) {}

    // Reads until a line starting with prefix arrives; false on time-out.
    bool Until(const std::string& prefix) {
        for (;;) {
            std::string line = client.ReadLine();
            if (line.empty()) return false;
            lines.push_back(line);
            if (line.rfind(prefix, 0) == 0) return true;
        }
    }
    // Reads until `count` records have arrived in all; false on time-out.
    bool UntilRecords(size_t count) {
        while (Codes().size() < count) {
            std::string line = client.ReadLine();
            if (line.empty()) return false;
            lines.push_back(line);
        }
        return true;
    }
    std::vector<int> Codes() const {
        std::vector<int> codes;
        for (const std::string& l : lines) {
            if (CodeOf(l) >= 0) codes.push_back(CodeOf(l));
        }
        return codes;
    }
    // Position of the first line starting with prefix, or npos.
    size_t IndexOf(const std::string& prefix) const {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].rfind(prefix, 0) == 0) return i;
        }
        return std::string::npos;
    }

    std::vector<std::string> lines;

  private:
    LineClient& client;
};

class ResumeTest : public simtest::SimStoreFixture {
  protected:
    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost(kHost);
        AddHost(kOtherHost);
        if (HasFatalFailure()) return;
        wmi::UseSimStore(path);
        globals.LoadConfig(dir, kIni);
        globals.StartLogger(dir, "DEBUG");
        server = std::make_unique<CWmiLogEventServer>();
        server->SetController(new CController(options));
        server->SetListenAddress("127.0.0.1");
        ASSERT_EQ(1, server->Start(1000, 0, 0));
        client = std::make_unique<LineClient>(server->GetListenPort(), 15000);
        ASSERT_EQ(client->Login("alice", "secret").substr(0, 31),
                  "OK authentication successful (u");
        seen = std::make_unique<Received>(*client);
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "---- quellon.log (tail) ----\n"
                      << TailOfFile(dir.File("quellon.log"), 8000) << "\n";
        }
        seen.reset();
        client.reset();
        if (server) server->Stop();
        server.reset();
        wmi::UseSimStore("");
    }

    void Emit(const char* host, const char* log, int type, int code) {
        ASSERT_EQ(Sim(path, {"emit", host, "--log", log, "--type", std::to_string(type), "--source",
                             "Src", "--code", std::to_string(code)}),
                  0)
            << code;
    }
    void Down(const char* host = kHost) {
        ASSERT_EQ(Sim(path, {"host", "down", host}), 0);
        ASSERT_TRUE(seen->Until("CONNECTION_FAILED"));
    }
    void Up(const char* host = kHost) {
        ASSERT_EQ(Sim(path, {"host", "up", host}), 0);
        ASSERT_TRUE(seen->Until("CONNECTION_REESTAB"));
    }
    void Subscribe(const std::string& line) {
        client->SendLine(line);
        ASSERT_TRUE(seen->Until("CONNECTION_OK"));
    }

    TEngineOptions options = EngineOptions();
    TestGlobals globals;
    std::unique_ptr<CWmiLogEventServer> server;
    std::unique_ptr<LineClient> client;
    std::unique_ptr<Received> seen;
};

// Written while the host was down: the records of the subscribed log up to
// its severity arrive after CONNECTION_REESTAB, once each and in order,
// before what is written after it; the other log and the milder types never.
TEST_F(ResumeTest, RecordsWrittenWhileDownArriveOnceInOrderBeforeLiveOnes) {
    Subscribe("ADD 127.0.0.2 System 2");
    Emit(kHost, "System", 1, 1);
    ASSERT_TRUE(seen->UntilRecords(1));
    Down();
    const struct {
        const char* log;
        int type;
        int code;
    } writes[] = {{"System", 2, 2}, {"Application", 1, 900}, {"System", 3, 901},
                  {"System", 1, 3}, {"Security", 2, 902},    {"System", 4, 903},
                  {"System", 2, 4}, {"Application", 2, 904}, {"System", 1, 5}};
    for (const auto& w : writes) Emit(kHost, w.log, w.type, w.code);
    Up();
    const size_t reestab = seen->lines.size() - 1;
    Emit(kHost, "System", 2, 6);
    Emit(kHost, "Application", 1, 905);
    ASSERT_TRUE(seen->UntilRecords(6));
    EXPECT_EQ(seen->Codes(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    // The caught-up records come after the reconnect notice.
    for (size_t i = 0; i < reestab; ++i) {
        EXPECT_LT(CodeOf(seen->lines[i]), 2) << seen->lines[i];
    }
    // Nothing more: NOOP's reply is the next line.
    client->SendLine("NOOP");
    ASSERT_TRUE(seen->Until("OK noop"));
    EXPECT_EQ(seen->Codes(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

// Down and up ten times while records are written all along:
// every record arrives exactly once.
TEST_F(ResumeTest, FlappingTenTimesDeliversEveryRecordExactlyOnce) {
    Subscribe("ADD 127.0.0.2 * *");
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int code = 1; !stop && code < 10000; ++code) {
            if (Sim(path, {"emit", kHost, "--log", code % 3 ? "System" : "Application", "--type",
                           "3", "--source", "Src", "--code", std::to_string(code)}) != 0) {
                break;
            }
            written = code;
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });
    for (int i = 0; i < 10 && !HasFatalFailure(); ++i) {
        Down();
        Up();
    }
    stop = true;
    writer.join();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GT(written.load(), 10);
    ASSERT_TRUE(seen->UntilRecords(static_cast<size_t>(written.load())))
        << seen->Codes().size() << " of " << written.load() << ": "
        << ::testing::PrintToString(seen->Codes());
    std::vector<int> codes = seen->Codes();
    std::vector<int> expected(static_cast<size_t>(written.load()));
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i + 1);
    EXPECT_EQ(codes, expected);
}

// A log cleared while the host was away numbers its records again from
// below the resume point; the catch-up notices (the point's record is gone,
// or another record now has its number) and delivers what the log holds
// since the point's time.
TEST_F(ResumeTest, ClearedLogIsDetectedAndCaughtUpFromThePointsTime) {
    Subscribe("ADD 127.0.0.2 System *");
    for (int code : {1, 2, 3}) Emit(kHost, "System", 3, code);
    ASSERT_TRUE(seen->UntilRecords(3));  // records 1..3; the point is record 3
    Down();
    ASSERT_EQ(Sim(path, {"clear", kHost, "--log", "System"}), 0);
    for (int code : {4, 5}) Emit(kHost, "System", 3, code);  // records 1 and 2 again
    Up();
    ASSERT_TRUE(seen->UntilRecords(5));

    // Now the point is record 2; after this clear record 2 exists again,
    // written later.
    Down();
    ASSERT_EQ(Sim(path, {"clear", kHost}), 0);
    for (int code : {6, 7, 8}) Emit(kHost, "System", 3, code);
    Up();
    ASSERT_TRUE(seen->UntilRecords(8));
    client->SendLine("NOOP");
    ASSERT_TRUE(seen->Until("OK noop"));
    EXPECT_EQ(seen->Codes(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    std::string log = ReadWholeFile(dir.File("quellon.log"));
    size_t warnings = 0;
    for (size_t at = log.find("was cleared or wrapped"); at != std::string::npos;
         at = log.find("was cleared or wrapped", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, 2u) << log;
}

// RecordNumber is unsigned 32-bit: a log numbered across 2^31, and one near
// 2^32 that then wraps (cleared, numbering again from 1), loses nothing and
// repeats nothing through outages, and no query asks for a negative number.
TEST_F(ResumeTest, RecordNumbersPast2To31AndAWrapNear2To32) {
    const struct {
        const char* name;
        int64_t first;  // the number of the first record delivered
        bool wrap;
    } cases[] = {{"across 2^31", 2147483646, false}, {"near 2^32", 4294967290, true}};
    int host = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "127.0.1." + std::to_string(++host);
        AddHost(name);
        NumberNextRecordFrom(name, c.first);
        ASSERT_FALSE(HasFatalFailure());
        const size_t before = seen->Codes().size();
        Subscribe("ADD " + name + " System *");
        auto emit = [&](int code) { Emit(name.c_str(), "System", 3, code); };
        auto codesSince = [&] {
            std::vector<int> codes = seen->Codes();
            return std::vector<int>(codes.begin() + static_cast<std::ptrdiff_t>(before),
                                    codes.end());
        };
        emit(1);
        ASSERT_TRUE(seen->UntilRecords(before + 1));
        Down(name.c_str());
        for (int code : {2, 3, 4}) emit(code);  // first + 1 .. first + 3
        Up(name.c_str());
        emit(5);
        ASSERT_TRUE(seen->UntilRecords(before + 5));
        if (c.wrap) {
            Down(name.c_str());
            ASSERT_EQ(Sim(path, {"clear", name}), 0);
            for (int code : {6, 7}) emit(code);  // records 1 and 2
            Up(name.c_str());
            emit(8);
            ASSERT_TRUE(seen->UntilRecords(before + 8));
        }
        client->SendLine("NOOP");
        ASSERT_TRUE(seen->Until("OK noop"));
        std::vector<int> expected{1, 2, 3, 4, 5};
        if (c.wrap) expected.insert(expected.end(), {6, 7, 8});
        EXPECT_EQ(codesSince(), expected);
        client->SendLine("DELETE " + name);
        ASSERT_TRUE(seen->Until("OK Deleted Host"));
    }
    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_NE(log.find("RecordNumber >= 2147483646"), std::string::npos);
    EXPECT_NE(log.find("RecordNumber >= 4294967290"), std::string::npos);
    EXPECT_EQ(log.find("RecordNumber >= -"), std::string::npos);
}

// The value of `key=` in a STATS line (up to the next blank, or the quoted
// text), "" when absent.
std::string Field(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(" \r", at) - at);
}

// STATS after known traffic: three records live (written two minutes ago),
// an outage, two caught up; a replay of a host that is down keeps failing.
TEST_F(ResumeTest, StatsShowCountsLagAndLastError) {
    Subscribe("ADD 127.0.0.2 System *");
    const int64_t twoMinutesAgo = (static_cast<int64_t>(time(nullptr)) - 120) * 1000000;
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t code = 1; code <= 3; ++code) {
        events.push_back(simtest::MakeEvent("System", 3, code, twoMinutesAgo + code));
    }
    Append(kHost, events);
    ASSERT_TRUE(seen->UntilRecords(3));
    Down();
    Emit(kHost, "System", 3, 4);
    Emit(kHost, "System", 3, 5);
    Up();
    ASSERT_TRUE(seen->UntilRecords(5));
    ASSERT_EQ(Sim(path, {"host", "down", kOtherHost}), 0);
    client->SendLine("REPLAY 127.0.0.3 * * 20000101000000 0");
    ASSERT_TRUE(seen->Until("CONNECTION_FAILED  127.0.0.3"));

    client->SendLine("STATS");
    ASSERT_TRUE(seen->Until("OK Stats Follows for 2 entries"));
    std::vector<std::string> reply;
    for (std::string line = client->ReadLine(); !line.empty() && line != ".\r\n";
         line = client->ReadLine()) {
        reply.push_back(line);
    }
    ASSERT_EQ(reply.size(), 3u) << ::testing::PrintToString(reply);
    const std::string& totals = reply[0];
    EXPECT_EQ(totals.rfind("clients=1 subscriptions=1 events_per_second=", 0), 0u) << totals;
    EXPECT_GT(std::atof(Field(totals, "events_per_second").c_str()), 0.0) << totals;
    EXPECT_EQ(Field(totals, "queued_for_clients"), "0") << totals;

    const std::string& live = reply[1];
    EXPECT_EQ(live.rfind("127.0.0.2 System * live state=EventWait ", 0), 0u) << live;
    EXPECT_EQ(Field(live, "delivered"), "5") << live;
    EXPECT_EQ(Field(live, "caught_up"), "2") << live;
    EXPECT_EQ(Field(live, "reconnects"), "1") << live;
    EXPECT_EQ(Field(live, "last_event").size(), 14u) << live;
    // The poll that found the host gone failed first; when the machine is
    // slow, a reconnect may also have been refused before the host came back.
    const std::string lastError = Field(live, "last_error");
    EXPECT_TRUE(lastError == "The remote procedure call failed." ||
                lastError == "The RPC server is unavailable.")
        << live;
    // The last record delivered was written just now: its lag is small,
    // unlike the two minutes of the first three.
    EXPECT_LT(std::atoi(Field(live, "lag").c_str()), 100) << live;

    const std::string& replay = reply[2];
    EXPECT_EQ(replay.rfind("127.0.0.3 * * replay state=", 0), 0u) << replay;
    EXPECT_EQ(Field(replay, "delivered"), "0") << replay;
    EXPECT_EQ(Field(replay, "last_event"), "-") << replay;
    EXPECT_EQ(Field(replay, "lag"), "-") << replay;
    EXPECT_EQ(Field(replay, "last_error"), "The RPC server is unavailable.") << replay;

    // A failing replay would hold up the shutdown: let it finish.
    ASSERT_EQ(Sim(path, {"host", "up", kOtherHost}), 0);
    ASSERT_TRUE(seen->Until("REPLAY_FINISHED 127.0.0.3"));
}

// Lag is now minus the last delivered record's TimeWritten.
TEST_F(ResumeTest, StatsLagCountsFromTheLastRecordsTimeWritten) {
    Subscribe("ADD 127.0.0.2 System *");
    const int64_t twoMinutesAgo = (static_cast<int64_t>(time(nullptr)) - 120) * 1000000;
    Append(kHost, {simtest::MakeEvent("System", 3, 1, twoMinutesAgo)});
    ASSERT_TRUE(seen->UntilRecords(1));
    client->SendLine("STATS");
    ASSERT_TRUE(seen->Until("OK Stats Follows for 1 entries"));
    client->ReadLine();  // totals
    std::string live = client->ReadLine();
    EXPECT_GE(std::atoi(Field(live, "lag").c_str()), 120) << live;
    EXPECT_EQ(Field(live, "last_error"), "-") << live;
    EXPECT_EQ(client->ReadLine(), ".\r\n");
}

// A replay whose host fails half-way runs its query again after the
// reconnect and skips what it sent before, by the same per-log points: every
// record of the window arrives exactly once, in order.
class ResumeSmallBatchTest : public ResumeTest {
  protected:
    ResumeSmallBatchTest() { options.batchSize = 1; }
};

TEST_F(ResumeSmallBatchTest, InterruptedReplaySendsEveryRecordOnce) {
    // Enough records that the replay is still running when the host goes
    // down: the store is marked down in-process, not by starting
    // quellon-sim, so a loaded machine cannot let the replay finish first.
    const int kEvents = 10000;
    std::vector<wmi::sim::SimEvent> history;
    for (int i = 0; i < kEvents; ++i) {
        history.push_back(simtest::MakeEvent(i % 3 ? "System" : "Application", 3,
                                             static_cast<uint32_t>(i),
                                             (1700000000LL + i / 100) * 1000000));
    }
    Append(kOtherHost, history);
    client->SendLine("REPLAY 127.0.0.3 * * 20000101000000 0");
    ASSERT_TRUE(seen->UntilRecords(200));
    ASSERT_EQ(store.setHostUp(kOtherHost, false), wmi::sim::SimResult::Ok);
    ASSERT_TRUE(seen->Until("CONNECTION_FAILED  127.0.0.3"));
    ASSERT_EQ(seen->IndexOf("REPLAY_FINISHED"), std::string::npos)
        << "the replay ended before its host went down";
    ASSERT_EQ(Sim(path, {"host", "up", kOtherHost}), 0);
    ASSERT_TRUE(seen->Until("REPLAY_FINISHED 127.0.0.3"));
    std::vector<int> expected(kEvents);
    for (int i = 0; i < kEvents; ++i) expected[static_cast<size_t>(i)] = i;
    EXPECT_EQ(seen->Codes(), expected);
    EXPECT_NE(seen->IndexOf("CONNECTION_REESTAB 127.0.0.3"), std::string::npos);
}

class ResumeCapTest : public ResumeTest {
  protected:
    ResumeCapTest() { options.maxCatchUp = 20; }
};

// More records than OTHERS.MAXCATCHUPEVENTS (20 here): the newest 20 arrive,
// after one notice with the number skipped.
TEST_F(ResumeCapTest, MoreThanTheCapDeliversTheNewestAndSaysHowManyWereSkipped) {
    Subscribe("ADD 127.0.0.2 System *");
    Emit(kHost, "System", 3, 1);
    ASSERT_TRUE(seen->UntilRecords(1));
    Down();
    std::vector<wmi::sim::SimEvent> events;
    for (int code = 2; code <= 36; ++code) {  // 35 records
        events.push_back(simtest::MakeEvent("System", 3, static_cast<uint32_t>(code)));
        events.back().timeGenerated = events.back().timeWritten =
            static_cast<int64_t>(time(nullptr)) * 1000000 + code;
    }
    Append(kHost, events);
    Up();
    ASSERT_TRUE(seen->UntilRecords(21));
    size_t notice = seen->IndexOf("EVENTS_SKIPPED");
    ASSERT_NE(notice, std::string::npos);
    EXPECT_EQ(seen->lines[notice], "EVENTS_SKIPPED 127.0.0.2 System * 15\r\n");
    std::vector<int> expected{1};
    for (int code = 17; code <= 36; ++code) expected.push_back(code);
    EXPECT_EQ(seen->Codes(), expected);
    for (size_t i = notice; i < seen->lines.size(); ++i) {
        if (CodeOf(seen->lines[i]) >= 0) {
            EXPECT_GE(CodeOf(seen->lines[i]), 17);
        }
    }
    EXPECT_NE(ReadWholeFile(dir.File("quellon.log")).find("Catch-up skipped the 15 oldest of 35"),
              std::string::npos);
}

// DELETE forgets the subscription's point: the same ADD afterwards starts
// from now, not from where the deleted one stood.
TEST_F(ResumeTest, DeleteForgetsTheStoredPoint) {
    const std::string state = dir.File("state.db");
    server->Stop();
    server.reset();
    options.stateFile = state;
    server = std::make_unique<CWmiLogEventServer>();
    server->SetController(new CController(options));
    server->SetListenAddress("127.0.0.1");
    ASSERT_EQ(1, server->Start(1000, 0, 0));
    client = std::make_unique<LineClient>(server->GetListenPort(), 15000);
    client->Login("alice", "secret");
    seen = std::make_unique<Received>(*client);

    Subscribe("ADD 127.0.0.2 System *");
    Emit(kHost, "System", 3, 1);
    ASSERT_TRUE(seen->UntilRecords(1));
    client->SendLine("DELETE 127.0.0.2");
    ASSERT_TRUE(seen->Until("OK Deleted Host"));
    Emit(kHost, "System", 3, 2);  // between the DELETE and the next ADD: not wanted
    Subscribe("ADD 127.0.0.2 System *");
    Emit(kHost, "System", 3, 3);
    ASSERT_TRUE(seen->UntilRecords(2));
    EXPECT_EQ(seen->Codes(), (std::vector<int>{1, 3}));
}

// The quellon program with a state file: records written while it was
// stopped, or after it was killed with SIGKILL, arrive after the same ADD,
// none twice once its point was written.
class RestartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wmi::sim::SimStore store;
        ASSERT_EQ(store.open(hosts, true), wmi::sim::SimResult::Ok);
        wmi::sim::SimHost h;
        h.name = kHost;
        h.computerName = "HOSTA";
        ASSERT_EQ(store.addHost(h), wmi::sim::SimResult::Ok);
        dir.Write("quellon.ini", std::string(kIni) + "STATEFILE=" + state +
                                     "\n[LISTEN]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(port) +
                                     "\n[WMI]\nSIMSTORE=" + hosts + "\n[Logger]\nfilename=" +
                                     dir.File("quellon.log") + "\nlevel=debug\n");
    }

    void TearDown() override {
        if (HasFailure()) {
            std::string text = ReadWholeFile(dir.File("quellon.log"));
            std::cerr << "---- out ----\n"
                      << ReadWholeFile(out) << "---- quellon.log (tail) ----\n"
                      << text.substr(text.size() > 8000 ? text.size() - 8000 : 0) << "\n";
        }
    }

    std::unique_ptr<QuellonProcess> Start() {
        // A fresh output file per run, so that the wait sees this run's.
        out = dir.File("out" + std::to_string(++runs));
        auto p =
            std::make_unique<QuellonProcess>(BuiltProgram("quellon"), dir.File("quellon.ini"), out);
        EXPECT_TRUE(p->WaitForOutput("Press Q to quit", 20000)) << ReadWholeFile(out);
        return p;
    }

    // A logged-in client with the subscription added; its records so far.
    std::unique_ptr<LineClient> Subscribe() {
        auto c = std::make_unique<LineClient>(port, 15000);
        EXPECT_EQ(c->Login("alice", "secret").substr(0, 31), "OK authentication successful (u");
        c->SendLine("ADD 127.0.0.2 System *");
        return c;
    }

    void Emit(int code) {
        ASSERT_EQ(Sim(hosts, {"emit", kHost, "--log", "System", "--type", "3", "--source", "Src",
                              "--code", std::to_string(code)}),
                  0);
    }

    // The stored record number of the subscription's System log, read
    // beside the running listener (which holds the file: a CResumeStore
    // would be refused), -1 when the file cannot be read.
    int64_t StoredRecord() {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(state.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(db);
            return -1;
        }
        int64_t record = -1;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT record_number FROM positions WHERE host='127.0.0.2' AND "
                               "category='System' AND severity='*' AND log_file='System'",
                               -1, &st, nullptr) == SQLITE_OK) {
            const int rc = sqlite3_step(st);
            record = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : rc == SQLITE_DONE ? 0 : -1;
        }
        sqlite3_finalize(st);
        sqlite3_close_v2(db);
        return record;
    }

    TempDir dir;
    std::string hosts = dir.File("hosts.db");
    std::string state = dir.File("state.db");
    uint16_t port = FreePort();
    std::string out;
    int runs = 0;
};

TEST_F(RestartTest, StoppedOrKilledListenerResumesWhereItStopped) {
    auto quellon = Start();
    auto client = Subscribe();
    Received first(*client);
    ASSERT_TRUE(first.Until("CONNECTION_OK"));
    Emit(1);
    ASSERT_TRUE(first.UntilRecords(1));
    quellon->Type("q\n");
    ASSERT_EQ(quellon->WaitForExit(40000), 0);
    client.reset();

    Emit(2);
    Emit(3);
    quellon = Start();
    client = Subscribe();
    Received second(*client);
    ASSERT_TRUE(second.UntilRecords(2));
    Emit(4);
    ASSERT_TRUE(second.UntilRecords(3));
    EXPECT_EQ(second.Codes(), (std::vector<int>{2, 3, 4}));

    // Once the batch holding record 4 is written, a kill -9 loses nothing
    // and repeats nothing.
    for (int i = 0; i < 500 && StoredRecord() < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(StoredRecord(), 4);
    ASSERT_TRUE(quellon->Signal(SIGKILL));
    ASSERT_EQ(quellon->WaitForExit(10000), 128 + SIGKILL);
    client.reset();
    Emit(5);
    quellon = Start();
    client = Subscribe();
    Received third(*client);
    ASSERT_TRUE(third.UntilRecords(1));
    Emit(6);
    ASSERT_TRUE(third.UntilRecords(2));
    client->SendLine("NOOP");
    ASSERT_TRUE(third.Until("OK noop"));
    EXPECT_EQ(third.Codes(), (std::vector<int>{5, 6}));
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

}  // namespace
