// Tests of the quellon-sim tool, run as a child process on a store in a
// temporary folder: host commands, emit, import, play (by count and stopped
// by SIGTERM while this process reads the store), and the error paths, each
// of which must leave the store as it was.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/app/tempdir.h"
#include "tests/wmi/evtxsamples.h"
#include "wmi/cim/cimtime.h"
#include "wmi/sim/simstore.h"
#include "wmi/sim/simtime.h"

namespace fs = std::filesystem;
using namespace wmi::sim;
using wmi::cim::FormatDmtf;
using wmi::cim::NowMicros;

namespace {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

// Starts the tool in `cwd` with stdout and stderr going to files there.
pid_t Spawn(const std::string& cwd, const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        const int out = open("tool.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open("tool.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(QUELLON_SIM_TOOL)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

Outcome Collect(const std::string& cwd, pid_t pid) {
    Outcome o;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        o.code = WEXITSTATUS(status);
    }
    o.out = ReadWholeFile(cwd + "/tool.out");
    o.err = ReadWholeFile(cwd + "/tool.err");
    return o;
}

std::string Join(const std::vector<std::string>& args) {
    std::string s;
    for (const std::string& a : args) {
        s += (s.empty() ? "" : " ") + a;
    }
    return s;
}

// Everything a command could change, in comparable form.
std::string Snapshot(const std::string& path) {
    if (!fs::exists(path)) {
        return "<no store>";
    }
    SimStore store;
    std::string error;
    if (store.open(path, false, &error) != SimResult::Ok) {
        return "<unopenable: " + error + ">";
    }
    std::ostringstream s;
    std::vector<SimHost> hosts;
    store.listHosts(hosts);
    for (const SimHost& h : hosts) {
        int64_t count = 0;
        int64_t newest = 0;
        store.eventCount(h.name, count);
        store.newestRecord(h.name, newest);
        s << h.name << "|" << h.computerName << "|" << h.up << "|" << h.user.value_or("-") << "|"
          << h.password.value_or("-") << "|" << count << "|" << newest << "\n";
    }
    return s.str();
}

size_t Lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class QuellonSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        store = dir.File("sim.db");
        good = SamplesDir() + "/Application_no_crc32.evtx";
        std::ofstream(dir.File("corrupt.evtx")) << "ElfFile\0 this is no event log";
    }

    Outcome Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--store", store});
        return Collect(dir.path(), Spawn(dir.path(), args));
    }

    // A store with host "h" holding the 17 records of the small sample log
    // and host "empty" without records.
    void MakeStore() {
        ASSERT_EQ(Run({"host", "add", "h", "--computer", "WIN-H"}).code, 0);
        ASSERT_EQ(Run({"host", "add", "empty"}).code, 0);
        const Outcome o = Run({"import", "h", good});
        ASSERT_EQ(o.code, 0) << o.err;
    }

    std::vector<SimEvent> Events(const std::string& host, int64_t after = 0) {
        SimStore s;
        std::vector<SimEvent> events;
        EXPECT_EQ(s.open(store, false), SimResult::Ok);
        EXPECT_EQ(s.eventsAfter(host, after, SIZE_MAX, events), SimResult::Ok);
        return events;
    }

    TempDir dir;
    std::string store;
    std::string good;
};

TEST_F(QuellonSimTest, HostCommands) {
    Outcome o = Run({"host", "add", "10.0.0.7", "--computer", "SRV7", "--user", "admin",
                     "--password", "s3cret", "--down"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("added host 10.0.0.7"), std::string::npos) << o.out;
    EXPECT_EQ(Snapshot(store), "10.0.0.7|SRV7|0|admin|s3cret|0|0\n");

    o = Run({"host", "up", "10.0.0.7"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out, "host 10.0.0.7 is up\n");
    ASSERT_EQ(Run({"host", "add", "plain"}).code, 0);
    EXPECT_EQ(Snapshot(store), "10.0.0.7|SRV7|1|admin|s3cret|0|0\nplain|plain|1|-|-|0|0\n");

    o = Run({"host", "list"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out,
              "10.0.0.7 up computer=SRV7 user=admin records=0 newest=0\n"
              "plain up computer=plain user=- records=0 newest=0\n");

    o = Run({"host", "down", "plain"});
    ASSERT_EQ(o.code, 0) << o.err;
    o = Run({"host", "remove", "10.0.0.7"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out, "removed host 10.0.0.7 and its 0 records\n");
    EXPECT_EQ(Snapshot(store), "plain|plain|0|-|-|0|0\n");
}

TEST_F(QuellonSimTest, EmitStoresOneEvent) {
    MakeStore();
    Outcome o =
        Run({"emit", "h", "--log", "System", "--type", "2", "--source", "Disk Monitor", "--code",
             "11", "--insert", "disk 0", "--insert", "", "--time", "2024-02-29T12:30:45.5Z"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("emitted record 18 to host h"), std::string::npos) << o.out;

    const int64_t before = NowMicros();
    o = Run({"emit", "h", "--log=Application", "--type=1", "--source=App", "--code=65535"});
    const int64_t after = NowMicros();
    ASSERT_EQ(o.code, 0) << o.err;

    const std::vector<SimEvent> events = Events("h", 17);
    ASSERT_EQ(events.size(), 2u);
    const SimEvent& a = events[0];
    EXPECT_EQ(a.recordNumber, 18);
    EXPECT_EQ(a.logFile, "System");
    EXPECT_EQ(a.eventType, 2);
    EXPECT_EQ(a.typeText, "Warning");
    EXPECT_EQ(a.sourceName, "Disk Monitor");
    EXPECT_EQ(a.eventCode, 11u);
    EXPECT_EQ(a.eventIdentifier, 11u);
    EXPECT_EQ(a.insertionStrings, (std::vector<std::string>{"disk 0", ""}));
    EXPECT_EQ(FormatDmtf(a.timeGenerated), "20240229123045.500000+000");
    EXPECT_EQ(a.timeWritten, a.timeGenerated);
    EXPECT_EQ(a.computerName, "WIN-H");
    EXPECT_FALSE(a.message.has_value());

    const SimEvent& b = events[1];
    EXPECT_EQ(b.recordNumber, 19);
    EXPECT_EQ(b.eventType, 1);
    EXPECT_EQ(b.eventCode, 65535u);
    EXPECT_FALSE(b.insertionStrings.has_value());
    EXPECT_GE(b.timeGenerated, before);
    EXPECT_LE(b.timeGenerated, after);
}

// A host that is down still gets records (its log goes on while the
// listener cannot reach it), and clearing a log removes only that log's
// records: when it held the newest ones, the next record numbers start again
// below the old newest, as they do on a cleared event log.
TEST_F(QuellonSimTest, DownHostsTakeRecordsAndClearRemovesOneLog) {
    MakeStore();
    ASSERT_EQ(Run({"host", "down", "h"}).code, 0);
    for (const char* log : {"System", "Security", "System"}) {
        const Outcome o =
            Run({"emit", "h", "--log", log, "--type", "3", "--source", "S", "--code", "1"});
        ASSERT_EQ(o.code, 0) << log << ": " << o.err;
    }
    Outcome o = Run({"play", "h", "--count", "5"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("played 5 records to host h as records 21..25"), std::string::npos)
        << o.out;

    // Records 18 and 20 are System; 21..25 are copies of the imported history
    // (Application, like records 1..17).
    o = Run({"clear", "h", "--log", "System"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("cleared 2 records of log System from host h; the next record is 26"),
              std::string::npos)
        << o.out;
    std::vector<SimEvent> left = Events("h", 17);
    ASSERT_EQ(left.size(), 6u);
    EXPECT_EQ(left[0].recordNumber, 19);
    EXPECT_EQ(left[0].logFile, "Security");

    o = Run({"clear", "h", "--log", "Application"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(
        o.out.find("cleared 22 records of log Application from host h; the next record is 20"),
        std::string::npos)
        << o.out;
    o = Run({"emit", "h", "--log", "Application", "--type", "1", "--source", "S", "--code", "2"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("emitted record 20 to host h"), std::string::npos) << o.out;

    o = Run({"clear", "h"});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("cleared 2 records of every log from host h; the next record is 1"),
              std::string::npos)
        << o.out;
    EXPECT_TRUE(Events("h").empty());

    o = Run({"clear", "nobody"});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("unknown host 'nobody'"), std::string::npos) << o.err;
    o = Run({"clear", "h", "--log="});
    EXPECT_EQ(o.code, 2) << o.err;
}

TEST_F(QuellonSimTest, ImportReportsEachFile) {
    ASSERT_EQ(Run({"host", "add", "h"}).code, 0);
    const std::string kerberos =
        SamplesDir() + "/ID4768-4771-Kerberos brutforce with non existing users.evtx";
    const Outcome o = Run({"import", "h", good, kerberos});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out, good + ": 17 records as records 1..17\n" + kerberos +
                         ": 52 records as records 18..69\nimported 69 records into host h\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(Snapshot(store), "h|h|1|-|-|69|69\n");
}

TEST_F(QuellonSimTest, ErrorsNameTheProblemAndLeaveTheStoreUnchanged) {
    MakeStore();
    const std::string corrupt = dir.File("corrupt.evtx");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    } cases[] = {
        {{"emit", "nobody", "--log", "L", "--type", "1", "--source", "S", "--code", "1"},
         1,
         "unknown host 'nobody'"},
        {{"import", "nobody", good}, 1, "unknown host 'nobody'"},
        {{"play", "nobody", "--count", "1"}, 1, "unknown host 'nobody'"},
        {{"host", "up", "nobody"}, 1, "unknown host 'nobody'"},
        {{"host", "remove", "nobody"}, 1, "unknown host 'nobody'"},
        {{"host", "add", "h"}, 1, "host 'h' already exists"},
        {{"import", "h", corrupt}, 1, corrupt + ": not a readable .evtx file"},
        {{"import", "h", good, corrupt}, 1, corrupt + ": not a readable .evtx file"},
        {{"import", "h", dir.File("missing.evtx")}, 1, dir.File("missing.evtx") + ": no such file"},
        {{"import", "h", dir.path()}, 1, dir.path() + ": is a folder"},
        {{"play", "empty", "--count", "5"}, 1, "host 'empty' has no records to play"},
        {{"renumber", "empty", "7"}, 1, "host 'empty' has no records to renumber"},
        {{"renumber", "nobody", "7"}, 1, "unknown host 'nobody'"},
        {{"renumber", "h", "0"}, 2, "FIRST: 0 is not in 1"},
        {{"renumber", "h"}, 2, "expected renumber HOST FIRST"},
        {{"serve", "--wsman", "--slow-pull", "1.2345"}, 2, "--slow-pull: '1.2345' is not"},
        {{"serve", "--wsman", "--slow-pull", "-1"}, 2, "--slow-pull: '-1' is not"},
        {{"serve", "--wsman", "--slow-pull", "3601"}, 2, "--slow-pull: 3601 is not in 0 to 3600"},
        {{"emit", "h", "--log", "L", "--type", "1", "--source", "S", "--code", "1", "--time",
          "2024-02-30T00:00:00"},
         2,
         "--time: '2024-02-30T00:00:00' is not a time"},
        {{"emit", "h", "--log", "L", "--type", "1", "--source", "S", "--code", "1", "--time",
          "20240101"},
         2,
         "--time: '20240101' is not a time"},
        {{"emit", "h", "--log", "L", "--type", "6", "--source", "S", "--code", "1"},
         2,
         "--type: 6 is not in 1 to 5"},
        {{"emit", "h", "--log", "L", "--type", "0", "--source", "S", "--code", "1"}, 2, "--type"},
        {{"emit", "h", "--log", "L", "--type", "1", "--source", "S", "--code", "65536"},
         2,
         "--code: 65536 is not in 0 to 65535"},
        {{"emit", "h", "--log", "L", "--type", "1", "--source", "S", "--code", "12a"},
         2,
         "--code: '12a' is not a number"},
        {{"emit", "h", "--type", "1", "--source", "S", "--code", "1"}, 2, "missing option --log"},
        {{"emit", "h", "--log", "L", "--type", "1", "--source", "S", "--code", "1", "--log", "M"},
         2,
         "option --log given twice"},
        {{"emit", "h", "--log", "L", "--type", "1", "--source", "S", "--code", "1", "--colour",
          "red"},
         2,
         "unknown option --colour"},
        {{"emit", "h", "--log"}, 2, "option --log needs a value"},
        {{"play", "h", "--rate", "-1"}, 2, "--rate"},
        {{"play", "h", "--count", "0"}, 2, "--count: 0 is not in 1"},
        {{"play", "h", "extra"}, 2, "expected play HOST"},
        {{"import", "h"}, 2, "expected import HOST FILE.evtx"},
        {{"host", "add"}, 2, "expected host add NAME"},
        {{"host", "add", "x", "--password", "p"}, 2, "--password needs --user"},
        {{"host", "rename", "h"}, 2, "unknown host command 'rename'"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{}, 2, "no command given"},
    };
    const std::string before = Snapshot(store);
    ASSERT_NE(before.find("h|WIN-H|1|-|-|17|17"), std::string::npos) << before;
    for (const Case& c : cases) {
        const Outcome o = Run(c.args);
        const std::string what = Join(c.args);
        EXPECT_EQ(o.code, c.code) << what << "\n" << o.err;
        EXPECT_NE(o.err.find("quellon-sim: " + c.message), std::string::npos) << what << "\n"
                                                                              << o.err;
        // One line names the problem (a malformed command line also points to --help).
        EXPECT_EQ(Lines(o.err), c.code == 1 ? 1u : 2u) << what << "\n" << o.err;
        EXPECT_EQ(Snapshot(store), before) << what;
    }
}

TEST_F(QuellonSimTest, MissingStoreIsReportedAndNotCreated) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"host", "list"},
          {"host", "up", "h"},
          {"play", "h"},
          {"import", "h", good},
          {"emit", "h", "--log", "L", "--type", "1", "--source", "S", "--code", "1"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.code, 1) << Join(args);
        EXPECT_EQ(o.err, "quellon-sim: store '" + store +
                             "' does not exist (create it with 'quellon-sim host add')\n")
            << Join(args);
        EXPECT_FALSE(fs::exists(store)) << Join(args);
    }
    // Without --store the tool works on simhosts.db in the current folder.
    const Outcome o = Collect(dir.path(), Spawn(dir.path(), {"host", "add", "local"}));
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(Snapshot(dir.File("simhosts.db")), "local|local|1|-|-|0|0\n");
}

TEST_F(QuellonSimTest, PlayCountWritesFreshCopiesOfTheHistory) {
    MakeStore();
    const std::vector<SimEvent> history = Events("h");
    ASSERT_EQ(history.size(), 17u);

    const int64_t before = NowMicros();
    const Outcome o = Run({"play", "h", "--count", "40", "--rate", "0"});
    const int64_t after = NowMicros();
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("played 40 records to host h as records 18..57"), std::string::npos)
        << o.out;

    const std::vector<SimEvent> played = Events("h", 17);
    ASSERT_EQ(played.size(), 40u);
    for (size_t i = 0; i < played.size(); ++i) {
        const SimEvent& copy = played[i];
        const SimEvent& original = history[i % history.size()];
        EXPECT_EQ(copy.recordNumber, static_cast<int64_t>(18 + i));
        EXPECT_EQ(copy.sourceName, original.sourceName) << i;
        EXPECT_EQ(copy.eventIdentifier, original.eventIdentifier) << i;
        EXPECT_EQ(copy.insertionStrings, original.insertionStrings) << i;
        EXPECT_GE(copy.timeGenerated, before) << i;
        EXPECT_LE(copy.timeGenerated, after) << i;
        EXPECT_EQ(copy.timeWritten, copy.timeGenerated) << i;
    }
    // A second play cycles over the original history only, not over the copies.
    ASSERT_EQ(Run({"play", "h", "--count", "3"}).code, 0);
    const std::vector<SimEvent> again = Events("h", 57);
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0].sourceName, Events("h")[0].sourceName);
}

TEST_F(QuellonSimTest, EmitAndPlayWorkOnChannels) {
    ASSERT_EQ(Run({"host", "add", "h", "--computer", "WIN-H"}).code, 0);
    const std::string sysmon = "Microsoft-Windows-Sysmon/Operational";
    const std::string past32 = std::to_string((int64_t{1} << 32) + 1);
    Outcome o = Run({"emit", "h", "--log", sysmon, "--type", "2", "--source",
                     "Microsoft-Windows-Sysmon", "--code", "1", "--data", "Image=C:\\x.exe",
                     "--data", "CommandLine=x -a=b", "--record-id", past32});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("EventRecordID " + past32), std::string::npos) << o.out;
    o = Run({"emit", "h", "--log", sysmon, "--type", "4", "--source", "S", "--code", "2", "--level",
             "0"});
    ASSERT_EQ(o.code, 0) << o.err;
    std::vector<SimEvent> events = Events("h");
    ASSERT_EQ(events.size(), 2u);
    ASSERT_TRUE(events[0].channel.has_value());
    EXPECT_EQ(events[0].eventRecordId, (int64_t{1} << 32) + 1);
    EXPECT_EQ(events[0].channel->level, 3u);
    EXPECT_EQ(events[0].channel->providerName, "Microsoft-Windows-Sysmon");
    EXPECT_EQ(events[0].channel->eventData,
              (std::vector<SimDataValue>{{"Image", "C:\\x.exe"}, {"CommandLine", "x -a=b"}}));
    EXPECT_EQ(events[0].insertionStrings, (std::vector<std::string>{"C:\\x.exe", "x -a=b"}));
    ASSERT_TRUE(events[1].channel.has_value());
    EXPECT_EQ(events[1].eventRecordId, (int64_t{1} << 32) + 2);
    EXPECT_EQ(events[1].channel->keywords, 0x8020000000000000ULL);

    // play --log copies that channel's records only, with its next ids.
    o = Run({"import", "h", good, SamplesDir() + "/ID11,13,17,18-PSexec as system execution.evtx"});
    ASSERT_EQ(o.code, 0) << o.err;
    o = Run({"play", "h", "--count", "20", "--log", sysmon});
    ASSERT_EQ(o.code, 0) << o.err;
    const std::vector<SimEvent> played = Events("h", 2 + 17 + 15);
    ASSERT_EQ(played.size(), 20u);
    // The imported Sysmon records' own ids are below the channel's newest:
    // they took 2^32 + 3 .. 2^32 + 17.
    int64_t id = (int64_t{1} << 32) + 17;
    for (const SimEvent& e : played) {
        EXPECT_EQ(e.logFile, sysmon) << e.recordNumber;
        EXPECT_TRUE(e.channel.has_value()) << e.recordNumber;
        EXPECT_EQ(e.eventRecordId, ++id) << e.recordNumber;
    }
    o = Run({"play", "h", "--count", "1", "--log", "Nothing/Operational"});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("has no records of log 'Nothing/Operational' to play"), std::string::npos)
        << o.err;

    const struct {
        std::vector<std::string> extra;
        std::string message;
    } kBad[] = {
        {{"--data", "novalue"}, "--data: 'novalue' is not NAME=VALUE"},
        {{"--data", "a=b", "--insert", "c"}, "--insert and --data do not go together"},
        {{"--record-id", "0"}, "--record-id: 0 is not in 1"},
        {{"--level", "256"}, "--level: 256 is not in 0 to 255"},
    };
    for (const auto& c : kBad) {
        std::vector<std::string> args{"emit", "h",        "--log", sysmon,   "--type",
                                      "1",    "--source", "S",     "--code", "1"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        o = Run(args);
        EXPECT_EQ(o.code, 2) << Join(args);
        EXPECT_NE(o.err.find(c.message), std::string::npos) << Join(args) << "\n" << o.err;
    }
}

TEST_F(QuellonSimTest, PlayAtARateRunsUntilStoppedWhileAReaderFollows) {
    MakeStore();
    const pid_t pid = Spawn(dir.path(), {"--store", store, "play", "h", "--rate", "200"});
    ASSERT_GT(pid, 0);

    // Follow the records as the provider would, from another process.
    SimStore reader;
    ASSERT_EQ(reader.open(store, false), SimResult::Ok);
    int64_t seen = 17;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen < 17 + 30 && std::chrono::steady_clock::now() < deadline) {
        std::vector<SimEvent> got;
        ASSERT_EQ(reader.eventsAfter("h", seen, 50, got), SimResult::Ok);
        for (const SimEvent& e : got) {
            ASSERT_EQ(e.recordNumber, seen + 1);
            seen = e.recordNumber;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(seen, 17 + 30) << "play wrote too little before the deadline";
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    const Outcome o = Collect(dir.path(), pid);
    EXPECT_EQ(o.code, 0) << o.err;

    int64_t newest = 0;
    ASSERT_EQ(reader.newestRecord("h", newest), SimResult::Ok);
    EXPECT_NE(o.out.find("played " + std::to_string(newest - 17) + " records to host h"),
              std::string::npos)
        << o.out << " newest " << newest;
}

TEST_F(QuellonSimTest, PlayRateLimitsTheWriting) {
    MakeStore();
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Run({"play", "h", "--rate", "50", "--count", "10"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(Events("h", 17).size(), 10u);
    // Ten records at 50 per second take about 0.2 s; far less means no pacing.
    EXPECT_GE(elapsed, std::chrono::milliseconds(120));
}

}  // namespace
