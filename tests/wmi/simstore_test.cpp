// Tests of the simulated hosts' store: opening and schema checks, hosts,
// per-host record numbering, field round trips, the record and time-window
// queries, and a reader and writers in separate processes at the same time.

#include "wmi/sim/simstore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <thread>

#include "tests/app/tempdir.h"
#include "wmi/cim/cimtime.h"
#include "wmi/sim/simtime.h"

namespace fs = std::filesystem;
using namespace wmi::sim;
using wmi::cim::FormatDmtf;

namespace {

// Runs one SQL text on the file outside SimStore (to set up damaged stores).
void RawSql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* msg = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
    EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (msg ? msg : "");
    sqlite3_free(msg);
    sqlite3_close(db);
}

SimEvent MakeEvent(int64_t timeGenerated, std::string source = "Test") {
    SimEvent e;
    e.logFile = "System";
    e.eventCode = 7036;
    e.eventIdentifier = 0x40001B7C;
    e.eventType = 3;
    e.sourceName = std::move(source);
    e.timeGenerated = timeGenerated;
    e.timeWritten = timeGenerated + 5;
    e.computerName = "WIN-TEST";
    return e;
}

class SimStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        path = dir.File("hosts.db");
        std::string error;
        ASSERT_EQ(store.open(path, true, &error), SimResult::Ok) << error;
    }

    // Adds `name` and `n` events with times 1000, 2000, ... (microseconds).
    void AddHostWithEvents(const std::string& name, int n) {
        SimHost h;
        h.name = name;
        h.computerName = "C-" + name;
        ASSERT_EQ(store.addHost(h), SimResult::Ok);
        std::vector<SimEvent> events;
        for (int i = 1; i <= n; ++i) {
            events.push_back(MakeEvent(i * 1000, "S" + std::to_string(i)));
        }
        ASSERT_EQ(store.appendEvents(name, events), SimResult::Ok);
    }

    TempDir dir;
    std::string path;
    SimStore store;
};

// ---- Time texts ---------------------------------------------------------------

TEST(SimTimeTest, MalformedUserTimesAreRefused) {
    const char* user[] = {"2016070818125",
                          "2016-07-08",
                          "2016-07-08T18:12:51.1234567",
                          "2016-07-08T18:12:51.",
                          "2016-07-08T18:12:51+01:00",
                          "2016-02-30T00:00:00",
                          "yesterday"};
    for (const char* t : user) {
        int64_t v = 7;
        EXPECT_FALSE(ParseUserTime(t, v)) << t;
    }
}

TEST(SimTimeTest, UserTimeForms) {
    struct Case {
        const char* text;
        const char* dmtf;
    } cases[] = {
        {"20160708181251", "20160708181251.000000+000"},
        {"2016-07-08T18:12:51", "20160708181251.000000+000"},
        {"2016-07-08 18:12:51Z", "20160708181251.000000+000"},
        {"2016-07-08T18:12:51.5Z", "20160708181251.500000+000"},
        {"2016-07-08T18:12:51.775240", "20160708181251.775240+000"},
        {"20160708191251.775240+060", "20160708181251.775240+000"},
    };
    for (const Case& c : cases) {
        int64_t v = 0;
        ASSERT_TRUE(ParseUserTime(c.text, v)) << c.text;
        EXPECT_EQ(FormatDmtf(v), c.dmtf) << c.text;
    }
}

// ---- Opening -----------------------------------------------------------------

TEST(SimStoreOpenTest, MissingFileWithoutCreateIsNotFoundAndNotCreated) {
    TempDir dir;
    SimStore store;
    std::string error;
    const std::string path = dir.File("absent.db");
    EXPECT_EQ(store.open(path, false, &error), SimResult::NotFound);
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(store.isOpen());
}

TEST(SimStoreOpenTest, ForeignFilesAreRefusedAndLeftUntouched) {
    TempDir dir;
    struct Case {
        const char* name;
        bool create;
    } cases[] = {
        {"text", false}, {"text", true}, {"foreign", true}, {"newer", true}, {"empty", false}};
    {
        std::ofstream(dir.File("text")) << "this is not a database\n";
        std::ofstream(dir.File("empty"));
        RawSql(dir.File("foreign"), "CREATE TABLE t(x); INSERT INTO t VALUES (1);");
        SimStore s;
        ASSERT_EQ(s.open(dir.File("newer"), true), SimResult::Ok);
        s.close();
        RawSql(dir.File("newer"), "UPDATE schema_version SET version = 99");
    }
    for (const Case& c : cases) {
        const std::string before = ReadWholeFile(dir.File(c.name));
        SimStore store;
        std::string error;
        EXPECT_EQ(store.open(dir.File(c.name), c.create, &error), SimResult::Failed) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_FALSE(store.isOpen()) << c.name;
        EXPECT_EQ(ReadWholeFile(dir.File(c.name)), before) << c.name;
    }
}

TEST(SimStoreOpenTest, CreatesWalStoreAndReopensItsContent) {
    TempDir dir;
    const std::string path = dir.File("s.db");
    {
        SimStore store;
        ASSERT_EQ(store.open(path, true), SimResult::Ok);
        SimHost h;
        h.name = "10.1.2.3";
        ASSERT_EQ(store.addHost(h), SimResult::Ok);
    }
    // An existing empty file (as 'touch' leaves it) is a fine place to create a store.
    std::ofstream(dir.File("touched"));
    SimStore touched;
    EXPECT_EQ(touched.open(dir.File("touched"), true), SimResult::Ok);

    SimStore store;
    ASSERT_EQ(store.open(path, false), SimResult::Ok);
    SimHost h;
    EXPECT_EQ(store.getHost("10.1.2.3", h), SimResult::Ok);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST(SimStoreOpenTest, ClosedStoreFailsEveryCall) {
    SimStore store;
    std::string error;
    std::vector<SimHost> hosts;
    int64_t n = 0;
    EXPECT_EQ(store.listHosts(hosts, &error), SimResult::Failed);
    EXPECT_EQ(store.newestRecord("h", n, &error), SimResult::Failed);
    EXPECT_FALSE(error.empty());
}

// ---- Hosts ---------------------------------------------------------------------

TEST_F(SimStoreTest, HostsAddGetListAndErrors) {
    SimHost a;
    a.name = "wks-b";
    a.computerName = "WKS-B";
    a.user = "admin";
    a.password = "";
    SimHost b;
    b.name = "10.0.0.5";
    b.computerName = "SRV";
    b.up = false;
    ASSERT_EQ(store.addHost(a), SimResult::Ok);
    ASSERT_EQ(store.addHost(b), SimResult::Ok);

    std::string error;
    EXPECT_EQ(store.addHost(a, &error), SimResult::AlreadyExists);
    EXPECT_NE(error.find("wks-b"), std::string::npos) << error;
    SimHost unnamed;
    EXPECT_EQ(store.addHost(unnamed), SimResult::Invalid);
    // Names are exact: another spelling is another host.
    SimHost upper;
    upper.name = "WKS-B";
    EXPECT_EQ(store.addHost(upper), SimResult::Ok);

    SimHost got;
    ASSERT_EQ(store.getHost("wks-b", got), SimResult::Ok);
    EXPECT_EQ(got.computerName, "WKS-B");
    EXPECT_TRUE(got.up);
    ASSERT_TRUE(got.user.has_value());
    EXPECT_EQ(*got.user, "admin");
    ASSERT_TRUE(got.password.has_value());  // an empty password is still required
    EXPECT_EQ(*got.password, "");
    ASSERT_EQ(store.getHost("10.0.0.5", got), SimResult::Ok);
    EXPECT_FALSE(got.up);
    EXPECT_FALSE(got.user.has_value());
    EXPECT_FALSE(got.password.has_value());
    EXPECT_EQ(store.getHost("10.0.0.6", got, &error), SimResult::NotFound);
    EXPECT_NE(error.find("10.0.0.6"), std::string::npos) << error;

    std::vector<SimHost> hosts;
    ASSERT_EQ(store.listHosts(hosts), SimResult::Ok);
    ASSERT_EQ(hosts.size(), 3u);
    EXPECT_EQ(hosts[0].name, "10.0.0.5");
    EXPECT_EQ(hosts[1].name, "WKS-B");
    EXPECT_EQ(hosts[2].name, "wks-b");
}

TEST_F(SimStoreTest, HostStateChanges) {
    AddHostWithEvents("h", 0);
    SimHost got;
    ASSERT_EQ(store.setHostUp("h", false), SimResult::Ok);
    ASSERT_EQ(store.getHost("h", got), SimResult::Ok);
    EXPECT_FALSE(got.up);
    // Setting the state it already has is not an error.
    ASSERT_EQ(store.setHostUp("h", false), SimResult::Ok);
    ASSERT_EQ(store.setHostUp("h", true), SimResult::Ok);
    ASSERT_EQ(store.getHost("h", got), SimResult::Ok);
    EXPECT_TRUE(got.up);
    EXPECT_EQ(store.setHostUp("nobody", true), SimResult::NotFound);
}

TEST_F(SimStoreTest, RemovingAHostRemovesItsRecords) {
    AddHostWithEvents("gone", 5);
    AddHostWithEvents("kept", 3);
    ASSERT_EQ(store.removeHost("gone"), SimResult::Ok);
    EXPECT_EQ(store.removeHost("gone"), SimResult::NotFound);
    int64_t n = 0;
    EXPECT_EQ(store.eventCount("gone", n), SimResult::NotFound);
    ASSERT_EQ(store.eventCount("kept", n), SimResult::Ok);
    EXPECT_EQ(n, 3);
    // A host added again under the old name starts a fresh log.
    AddHostWithEvents("gone", 2);
    ASSERT_EQ(store.newestRecord("gone", n), SimResult::Ok);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(store.eventCount("gone", n), SimResult::Ok);
    EXPECT_EQ(n, 2);
}

// ---- Records ---------------------------------------------------------------------

TEST_F(SimStoreTest, RecordNumbersArePerHostAndWrittenBack) {
    AddHostWithEvents("a", 0);
    AddHostWithEvents("b", 0);
    int64_t newest = -1;
    ASSERT_EQ(store.newestRecord("a", newest), SimResult::Ok);
    EXPECT_EQ(newest, 0);

    for (int round = 0; round < 3; ++round) {
        for (const char* host : {"a", "b"}) {
            std::vector<SimEvent> batch{MakeEvent(1), MakeEvent(2)};
            batch[0].host = "ignored";
            ASSERT_EQ(store.appendEvents(host, batch), SimResult::Ok);
            EXPECT_EQ(batch[0].recordNumber, round * 2 + 1) << host;
            EXPECT_EQ(batch[1].recordNumber, round * 2 + 2) << host;
            EXPECT_EQ(batch[0].host, host);
        }
    }
    std::vector<SimEvent> all;
    ASSERT_EQ(store.eventsAfter("b", 0, SIZE_MAX, all), SimResult::Ok);
    ASSERT_EQ(all.size(), 6u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].recordNumber, static_cast<int64_t>(i + 1));
        EXPECT_EQ(all[i].host, "b");
    }
    ASSERT_EQ(store.newestRecord("a", newest), SimResult::Ok);
    EXPECT_EQ(newest, 6);

    std::vector<SimEvent> empty;
    ASSERT_EQ(store.appendEvents("a", empty), SimResult::Ok);
    std::vector<SimEvent> one{MakeEvent(1)};
    EXPECT_EQ(store.appendEvents("nobody", one), SimResult::NotFound);
    EXPECT_EQ(one[0].recordNumber, 0);
}

// Renumbering keeps the records' order and makes the next record follow
// the highest; past 4294967295 the numbers go on (RecordNumber presents
// them modulo 2^32).
TEST_F(SimStoreTest, RenumberingMovesTheRecordsAndTheNextNumber) {
    AddHostWithEvents("h", 3);
    AddHostWithEvents("other", 2);
    AddHostWithEvents("empty", 0);
    ASSERT_EQ(store.renumberRecords("h", 4294967294LL), SimResult::Ok);
    std::vector<SimEvent> one{MakeEvent(9)};
    ASSERT_EQ(store.appendEvents("h", one), SimResult::Ok);
    EXPECT_EQ(one[0].recordNumber, 4294967297LL);
    std::vector<SimEvent> all;
    ASSERT_EQ(store.eventsAfter("h", 0, SIZE_MAX, all), SimResult::Ok);
    ASSERT_EQ(all.size(), 4u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].recordNumber, 4294967294LL + static_cast<int64_t>(i)) << i;
        EXPECT_EQ(all[i].sourceName, i < 3 ? "S" + std::to_string(i + 1) : "Test") << i;
    }
    // Back down again, and the other host untouched.
    ASSERT_EQ(store.renumberRecords("h", 1), SimResult::Ok);
    int64_t newest = 0;
    ASSERT_EQ(store.newestRecord("h", newest), SimResult::Ok);
    EXPECT_EQ(newest, 4);
    ASSERT_EQ(store.newestRecord("other", newest), SimResult::Ok);
    EXPECT_EQ(newest, 2);

    struct Case {
        const char* host;
        int64_t first;
        SimResult expected;
    } cases[] = {
        {"h", 0, SimResult::Invalid},
        {"empty", 5, SimResult::Invalid},
        {"nobody", 5, SimResult::NotFound},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(store.renumberRecords(c.host, c.first, &error), c.expected)
            << c.host << " " << c.first;
        EXPECT_FALSE(error.empty()) << c.host << " " << c.first;
    }
}

TEST_F(SimStoreTest, AFailedAppendStoresNothing) {
    AddHostWithEvents("h", 2);
    for (int badType : {0, 6, -1}) {
        std::vector<SimEvent> batch{MakeEvent(1), MakeEvent(2), MakeEvent(3)};
        batch[2].eventType = badType;
        std::string error;
        EXPECT_EQ(store.appendEvents("h", batch, &error), SimResult::Invalid) << badType;
        EXPECT_FALSE(error.empty());
        for (const SimEvent& e : batch) {
            EXPECT_EQ(e.recordNumber, 0) << badType;
        }
    }
    int64_t n = 0;
    ASSERT_EQ(store.eventCount("h", n), SimResult::Ok);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(store.newestRecord("h", n), SimResult::Ok);
    EXPECT_EQ(n, 2);
}

TEST_F(SimStoreTest, EveryFieldRoundTrips) {
    AddHostWithEvents("h", 0);
    using Strings = std::optional<std::vector<std::string>>;
    struct Case {
        Strings strings;
        std::optional<std::string> message;
        std::optional<std::string> user;
    } cases[] = {
        {std::nullopt, std::nullopt, std::nullopt},
        {std::vector<std::string>{}, std::string(), std::string()},  // empty list, not none
        {std::vector<std::string>{""}, std::string("m"), std::string("S-1-5-18")},
        {std::vector<std::string>{"a", "", "b c", std::string("nul\0inside", 10),
                                  "\xc3\xa9t\xc3\xa9", std::string(70000, 'x')},
         std::string("line1\r\nline2"), std::string("DOMAIN\\user")},
    };
    std::vector<SimEvent> batch;
    for (const Case& c : cases) {
        SimEvent e = MakeEvent(1468001571775240);
        e.logFile = "Microsoft-Windows-Shell-Core/Operational";
        e.eventCode = 0xFFFF;
        e.eventIdentifier = 0xC000FFFF;
        e.eventType = 5;
        e.typeText = "Audit Failure";
        e.sourceName = "Source \"quoted\" name";
        e.timeWritten = -11644473600000000;
        e.insertionStrings = c.strings;
        e.message = c.message;
        e.category = 12544;
        e.categoryString = "Logon";
        e.user = c.user;
        e.computerName = "dc01.example.local";
        batch.push_back(e);
    }
    ASSERT_EQ(store.appendEvents("h", batch), SimResult::Ok);

    std::vector<SimEvent> got;
    ASSERT_EQ(store.eventsAfter("h", 0, SIZE_MAX, got), SimResult::Ok);
    ASSERT_EQ(got.size(), batch.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const SimEvent& w = batch[i];
        const SimEvent& g = got[i];
        EXPECT_EQ(g.recordNumber, w.recordNumber) << i;
        EXPECT_EQ(g.logFile, w.logFile) << i;
        EXPECT_EQ(g.eventCode, w.eventCode) << i;
        EXPECT_EQ(g.eventIdentifier, w.eventIdentifier) << i;
        EXPECT_EQ(g.eventType, w.eventType) << i;
        EXPECT_EQ(g.typeText, w.typeText) << i;
        EXPECT_EQ(g.sourceName, w.sourceName) << i;
        EXPECT_EQ(g.timeGenerated, w.timeGenerated) << i;
        EXPECT_EQ(g.timeWritten, w.timeWritten) << i;
        EXPECT_EQ(g.insertionStrings, w.insertionStrings) << i;
        EXPECT_EQ(g.message, w.message) << i;
        EXPECT_EQ(g.category, w.category) << i;
        EXPECT_EQ(g.categoryString, w.categoryString) << i;
        EXPECT_EQ(g.user, w.user) << i;
        EXPECT_EQ(g.computerName, w.computerName) << i;
    }
}

TEST_F(SimStoreTest, ChannelFieldsRoundTrip) {
    AddHostWithEvents("h", 0);
    SimChannelFields full;
    full.providerName = "Microsoft-Windows-Sysmon";
    full.providerGuid = "{5770385F-C22A-43E0-BF4C-06F5698FFBD9}";
    full.version = 255;
    full.level = 255;
    full.task = 65535;
    full.opcode = 255;
    full.keywords = 0xFFFFFFFFFFFFFFFFULL;  // every bit, the top one too
    full.activityId = "{C43202E9-CB0F-0000-D030-32C40FCBD701}";
    full.processId = 0xFFFFFFFF;
    full.threadId = 1;
    full.eventData = {{"RuleName", "-"},
                      {"", "unnamed"},
                      {"Empty", ""},
                      {"Nul", std::string("a\0b", 3)},
                      {"Big", std::string(70000, 'y')}};
    SimChannelFields userData;
    userData.userData = "<Print xmlns=\"urn:x\"><Name>a &amp; b</Name></Print>";
    SimChannelFields empty;  // every field at its zero, no data
    SimChannelFields emptyUserData;
    emptyUserData.userData = "";  // an empty UserData, not none
    const std::optional<SimChannelFields> cases[] = {std::nullopt, full, userData, empty,
                                                     emptyUserData};
    std::vector<SimEvent> batch;
    for (const auto& c : cases) {
        SimEvent e = MakeEvent(1000);
        e.logFile = "Microsoft-Windows-Sysmon/Operational";
        e.channel = c;
        batch.push_back(e);
    }
    ASSERT_EQ(store.appendEvents("h", batch), SimResult::Ok);
    std::vector<SimEvent> got;
    ASSERT_EQ(store.eventsAfter("h", 0, SIZE_MAX, got), SimResult::Ok);
    ASSERT_EQ(got.size(), batch.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].channel, batch[i].channel) << i;
        EXPECT_EQ(got[i].eventRecordId, static_cast<int64_t>(i) + 1) << i;
    }
}

TEST_F(SimStoreTest, EventRecordIdsArePerLogAndKeptWhenAboveTheNewest) {
    AddHostWithEvents("h", 0);
    const int64_t past32 = (int64_t{1} << 32) + 7;
    const struct {
        const char* log;
        int64_t given;  // 0: the next
        int64_t want;
    } kCases[] = {
        {"A", 0, 1},           {"A", 0, 2},          {"B", 0, 1},
        {"A", 100, 100},       {"A", 50, 101},  // not above the newest: the next
        {"B", past32, past32}, {"B", 0, past32 + 1}, {"A", 0, 102},
    };
    for (const auto& c : kCases) {
        SimEvent e = MakeEvent(1000);
        e.logFile = c.log;
        e.eventRecordId = c.given;
        std::vector<SimEvent> one{e};
        ASSERT_EQ(store.appendEvents("h", one), SimResult::Ok);
        EXPECT_EQ(one[0].eventRecordId, c.want) << c.log << " " << c.given;
    }
    // The same in one batch: each event against the ones before it.
    std::vector<SimEvent> batch;
    for (const int64_t given : {int64_t{0}, past32 * 2, int64_t{3}}) {
        SimEvent e = MakeEvent(1000);
        e.logFile = "C";
        e.eventRecordId = given;
        batch.push_back(e);
    }
    ASSERT_EQ(store.appendEvents("h", batch), SimResult::Ok);
    EXPECT_EQ(batch[0].eventRecordId, 1);
    EXPECT_EQ(batch[1].eventRecordId, past32 * 2);
    EXPECT_EQ(batch[2].eventRecordId, past32 * 2 + 1);

    int64_t newest = 0;
    ASSERT_EQ(store.newestRecordId("h", "B", newest), SimResult::Ok);
    EXPECT_EQ(newest, past32 + 1);
    ASSERT_EQ(store.newestRecordId("h", "none", newest), SimResult::Ok);
    EXPECT_EQ(newest, 0);
    EXPECT_EQ(store.newestRecordId("nobody", "B", newest), SimResult::NotFound);
    std::vector<SimEvent> page;
    ASSERT_EQ(store.logEventsAfter("h", "A", 2, SIZE_MAX, page), SimResult::Ok);
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[0].eventRecordId, 100);
    EXPECT_EQ(page[2].eventRecordId, 102);
    ASSERT_EQ(store.logEventsAfter("h", "B", past32, SIZE_MAX, page), SimResult::Ok);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].eventRecordId, past32 + 1);
}

TEST(SimStoreOpenTest, AVersion1StoreIsUpgradedKeepingItsRecords) {
    TempDir dir;
    const std::string path = dir.File("v1.db");
    RawSql(path, R"sql(
CREATE TABLE schema_version(version INTEGER NOT NULL);
INSERT INTO schema_version VALUES (1);
CREATE TABLE hosts(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL UNIQUE,
  computer_name TEXT NOT NULL, up INTEGER NOT NULL, user TEXT, password TEXT);
CREATE TABLE events(host_id INTEGER NOT NULL REFERENCES hosts(id) ON DELETE CASCADE,
  record_number INTEGER NOT NULL, log_file TEXT NOT NULL, event_code INTEGER NOT NULL,
  event_identifier INTEGER NOT NULL, event_type INTEGER NOT NULL, type_text TEXT NOT NULL,
  source_name TEXT NOT NULL, time_generated INTEGER NOT NULL, time_written INTEGER NOT NULL,
  insertion_strings BLOB, message TEXT, category INTEGER NOT NULL,
  category_string TEXT NOT NULL, user TEXT, computer_name TEXT NOT NULL,
  PRIMARY KEY(host_id, record_number));
CREATE INDEX events_by_time ON events(host_id, time_generated, record_number);
INSERT INTO hosts(name, computer_name, up) VALUES ('h', 'C', 1);
INSERT INTO events VALUES (1, 7, 'System', 1, 1, 3, 'Information', 'S', 10, 10, NULL, NULL,
  0, '', NULL, 'C');
)sql");
    SimStore store;
    std::string error;
    ASSERT_EQ(store.open(path, false, &error), SimResult::Ok) << error;
    std::vector<SimEvent> got;
    ASSERT_EQ(store.eventsAfter("h", 0, SIZE_MAX, got), SimResult::Ok);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].eventRecordId, 7);
    EXPECT_FALSE(got[0].channel.has_value());
    std::vector<SimEvent> next{MakeEvent(20)};
    ASSERT_EQ(store.appendEvents("h", next), SimResult::Ok);
    EXPECT_EQ(next[0].recordNumber, 8);
    EXPECT_EQ(next[0].eventRecordId, 8);
}

TEST_F(SimStoreTest, MissingTypeTextIsFilledFromTheType) {
    AddHostWithEvents("h", 0);
    std::vector<SimEvent> batch;
    for (int t = 1; t <= 5; ++t) {
        SimEvent e = MakeEvent(1);
        e.eventType = t;
        e.typeText.clear();
        batch.push_back(e);
    }
    ASSERT_EQ(store.appendEvents("h", batch), SimResult::Ok);
    std::vector<SimEvent> got;
    ASSERT_EQ(store.eventsAfter("h", 0, SIZE_MAX, got), SimResult::Ok);
    const char* texts[] = {"Error", "Warning", "Information", "Audit Success", "Audit Failure"};
    ASSERT_EQ(got.size(), 5u);
    for (int t = 0; t < 5; ++t) {
        EXPECT_EQ(got[t].typeText, texts[t]);
        EXPECT_EQ(batch[t].typeText, texts[t]);
    }
}

TEST_F(SimStoreTest, EventsAfterPagesInRecordOrder) {
    AddHostWithEvents("h", 10);
    AddHostWithEvents("other", 4);
    struct Case {
        int64_t after;
        size_t limit;
        int64_t first;
        size_t count;
    } cases[] = {
        {0, SIZE_MAX, 1, 10}, {3, 4, 4, 4}, {9, 50, 10, 1},  {10, 50, 0, 0},
        {-5, 2, 1, 2},        {0, 0, 0, 0}, {1000, 5, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<SimEvent> got{MakeEvent(0)};  // stale content must be replaced
        ASSERT_EQ(store.eventsAfter("h", c.after, c.limit, got), SimResult::Ok) << c.after;
        ASSERT_EQ(got.size(), c.count) << c.after << "/" << c.limit;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].recordNumber, c.first + static_cast<int64_t>(i)) << c.after;
            EXPECT_EQ(got[i].sourceName, "S" + std::to_string(got[i].recordNumber));
        }
    }
    std::vector<SimEvent> got{MakeEvent(0)};
    EXPECT_EQ(store.eventsAfter("nobody", 0, 10, got), SimResult::NotFound);
    EXPECT_TRUE(got.empty());
}

TEST_F(SimStoreTest, EventsBetweenUsesInclusiveBoundsAndRecordOrder) {
    SimHost h;
    h.name = "h";
    ASSERT_EQ(store.addHost(h), SimResult::Ok);
    // Times out of record order, as imported logs have them, and a tie.
    const int64_t times[] = {50, 10, 30, 30, 70, 20, 90};
    std::vector<SimEvent> batch;
    for (int64_t t : times) {
        batch.push_back(MakeEvent(t));
    }
    ASSERT_EQ(store.appendEvents("h", batch), SimResult::Ok);

    struct Case {
        int64_t from, to, after;
        size_t limit;
        std::vector<int64_t> records;
    } cases[] = {
        {10, 90, 0, SIZE_MAX, {1, 2, 3, 4, 5, 6, 7}},
        {30, 30, 0, SIZE_MAX, {3, 4}},  // both bounds inclusive
        {31, 69, 0, SIZE_MAX, {1}},     // exclusive bounds as +1 / -1
        {20, 50, 0, 2, {1, 3}},         // record order, limited
        {20, 50, 3, 2, {4, 6}},         // next page after record 3
        {20, 50, 6, 2, {}},
        {91, 1000, 0, SIZE_MAX, {}},
        {90, 10, 0, SIZE_MAX, {}},  // reversed window
    };
    for (const Case& c : cases) {
        std::vector<SimEvent> got;
        ASSERT_EQ(store.eventsBetween("h", c.from, c.to, c.after, c.limit, got), SimResult::Ok);
        std::vector<int64_t> records;
        for (const SimEvent& e : got) {
            records.push_back(e.recordNumber);
        }
        EXPECT_EQ(records, c.records) << "[" << c.from << ", " << c.to << "] after " << c.after;
    }
    std::vector<SimEvent> got;
    EXPECT_EQ(store.eventsBetween("nobody", 0, 100, 0, 10, got), SimResult::NotFound);
}

// ---- Concurrency -----------------------------------------------------------------

// A writer process: appends `batches` batches of `perBatch` events to `host`,
// each in its own transaction. Exit status 0 when every append succeeded.
[[noreturn]] void WriterProcess(const std::string& path, const std::string& host, int batches,
                                int perBatch) {
    SimStore store;
    if (store.open(path, false) != SimResult::Ok) {
        _exit(2);
    }
    for (int b = 0; b < batches; ++b) {
        std::vector<SimEvent> batch;
        for (int i = 0; i < perBatch; ++i) {
            batch.push_back(MakeEvent(b * perBatch + i, host));
        }
        std::string error;
        if (store.appendEvents(host, batch, &error) != SimResult::Ok) {
            std::fprintf(stderr, "writer %s: %s\n", host.c_str(), error.c_str());
            _exit(3);
        }
    }
    store.close();
    _exit(0);
}

TEST_F(SimStoreTest, ReaderAndWritersInSeparateProcesses) {
    AddHostWithEvents("w1", 0);
    AddHostWithEvents("w2", 0);
    constexpr int kBatches = 150;
    constexpr int kPerBatch = 4;
    constexpr int64_t kTotal = kBatches * kPerBatch;
    store.close();

    std::vector<pid_t> children;
    for (const char* host : {"w1", "w2"}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            WriterProcess(path, host, kBatches, kPerBatch);
        }
        children.push_back(pid);
    }

    // Poll w1 as the provider would: records arrive whole batches at a time,
    // in order, without gaps or repeats.
    SimStore reader;
    ASSERT_EQ(reader.open(path, false), SimResult::Ok);
    int64_t seen = 0;
    int polls = 0;
    for (int spin = 0; spin < 200000 && seen < kTotal; ++spin) {
        std::vector<SimEvent> got;
        std::string error;
        ASSERT_EQ(reader.eventsAfter("w1", seen, 50, got, &error), SimResult::Ok) << error;
        ++polls;
        for (const SimEvent& e : got) {
            ASSERT_EQ(e.recordNumber, seen + 1);
            seen = e.recordNumber;
        }
        if (got.empty()) {
            usleep(200);
        } else if (got.size() < 50) {
            // A short answer ends at the newest record: a whole batch.
            EXPECT_EQ(seen % kPerBatch, 0) << "a batch was seen half-written";
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
    }
    EXPECT_EQ(seen, kTotal) << "after " << polls << " polls";
    int64_t n = 0;
    ASSERT_EQ(reader.eventCount("w2", n), SimResult::Ok);
    EXPECT_EQ(n, kTotal);
}

TEST_F(SimStoreTest, OneObjectSharedByThreads) {
    AddHostWithEvents("h", 0);
    constexpr int kBatches = 200;
    std::atomic<bool> failed{false};
    // Joined also when an assertion below ends the test early.
    std::jthread writer([&] {
        for (int b = 0; b < kBatches; ++b) {
            std::vector<SimEvent> batch{MakeEvent(b), MakeEvent(b)};
            if (store.appendEvents("h", batch) != SimResult::Ok) {
                failed = true;
            }
        }
    });
    int64_t seen = 0;
    while (seen < 2 * kBatches && !failed) {
        std::vector<SimEvent> got;
        ASSERT_EQ(store.eventsAfter("h", seen, 10, got), SimResult::Ok);
        for (const SimEvent& e : got) {
            ASSERT_EQ(e.recordNumber, seen + 1);
            seen = e.recordNumber;
        }
    }
    writer.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(seen, 2 * kBatches);
}

}  // namespace
