// Delivered means sent, end to end: the quellon program with a state file,
// simulated hosts in a real SQLite store and clients on loopback sockets. A
// resume point moves only past records a client's socket took, so a stop
// (SIGTERM), a kill -9 or a time with no client logged in loses nothing,
// and a kill -9 repeats only records past the stored point.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/resumestore.h"
#include "tests/app/builtprogram.h"
#include "tests/app/quellonprocess.h"
#include "tests/app/tempdir.h"
#include "tests/serverframework/lineclient.h"
#include "tests/serverframework/loopbackport.h"
#include "wmi/sim/simstore.h"

namespace {

const char* const kHost = "127.0.0.2";
const TResumeKey kKey{kHost, "System", "*", ""};

// The event code of an NTEVENT line ("NTEVENT: host time code ..."), -1 for
// another line.
int CodeOf(const std::string& line) {
    if (line.rfind("NTEVENT: ", 0) != 0) return -1;
    size_t at = line.find(' ', line.find(' ', 9) + 1);  // after host and time
    return std::atoi(line.c_str() + at + 1);
}

// A client that logs in, subscribes and collects the codes it receives.
// Its wait for each line is long: a catch-up's first send follows the read
// of a whole batch, which a sanitizer build on a loaded machine has taken
// more than 15 s to do.
class Subscriber {
  public:
    Subscriber(uint16_t port, int receiveBuffer = 0)
        : client(std::make_unique<LineClient>(port, 60000, receiveBuffer)) {}

    bool Login() {
        return client->Login("alice", "secret").rfind("OK authentication successful", 0) == 0;
    }
    bool Subscribe() {
        client->SendLine("ADD 127.0.0.2 System *");
        return Until("OK ");
    }
    // Reads until a line starting with prefix; false at a time-out or the end.
    bool Until(const std::string& prefix) {
        for (;;) {
            std::string line = client->ReadLine();
            if (line.empty()) return false;
            Note(line);
            if (line.rfind(prefix, 0) == 0) return true;
        }
    }
    // Reads until `count` records arrived in all; false at a time-out or the
    // end.
    bool UntilRecords(size_t count) {
        while (codes.size() < count) {
            std::string line = client->ReadLine();
            if (line.empty()) return false;
            Note(line);
        }
        return true;
    }
    // Reads everything up to the end of the connection (or a time-out).
    // A last line cut off by the close (the part of a send the socket had
    // taken) is no record: it is left out.
    void ReadToEnd() {
        for (;;) {
            std::string line = client->ReadLine();
            if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return;
            Note(line);
        }
    }
    // Reads on until the listener answers a NOOP: nothing sent before it is
    // left unread.
    bool Drain() {
        client->SendLine("NOOP");
        return Until("OK noop");
    }

    std::unique_ptr<LineClient> client;
    std::vector<int> codes;
    std::vector<std::string> lines;

  private:
    void Note(const std::string& line) {
        lines.push_back(line);
        if (CodeOf(line) >= 0) codes.push_back(CodeOf(line));
    }
};

class DeliveryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(hostStore.open(hosts, true), wmi::sim::SimResult::Ok);
        wmi::sim::SimHost h;
        h.name = kHost;
        h.computerName = "HOSTA";
        ASSERT_EQ(hostStore.addHost(h), wmi::sim::SimResult::Ok);
        dir.Write("quellon.ini",
                  "[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n"
                  "[PERFORMANCE]\nConnectionProcessors=2\nEventRetriever=2\nWT_FOR_WQ=0\n"
                  "[OTHERS]\nMinReconnectInterval=1\nMaxReconnectInterval=1\n"
                  "CHECKTERMINATEFLAG=100\nEVENTWAITPERCONNECTION=100\nNUMBEROFEVENTSTOPOOL=50\n"
                  "STATEFILE=" +
                      state + "\n[LISTEN]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(port) +
                      "\nMAXCONNECTIONS=5\n[WMI]\nSIMSTORE=" + hosts +
                      "\n[Logger]\nfilename=" + dir.File("quellon.log") + "\nlevel=info\n");
    }

    void TearDown() override {
        if (HasFailure()) {
            std::string text = ReadWholeFile(dir.File("quellon.log"));
            std::cerr << "---- out ----\n"
                      << ReadWholeFile(out) << "---- quellon.log (tail) ----\n"
                      << text.substr(text.size() > 8000 ? text.size() - 8000 : 0) << "\n";
        }
    }

    // The listener in console mode (stopped by typing q), or as a service
    // in the foreground (stopped by SIGTERM); it is listening on return.
    std::unique_ptr<QuellonProcess> Start(bool asService = false) {
        out = dir.File("out" + std::to_string(++runs));
        std::vector<std::string> args = {"-c", dir.File("quellon.ini")};
        if (asService) args.insert(args.begin(), "-s");
        auto p = std::make_unique<QuellonProcess>(BuiltProgram("quellon"), args,
                                                  QuellonProcess::CurrentEnvironment(), out);
        if (asService) {
            bool listening = false;
            for (int i = 0; i < 400 && !listening; ++i) {
                LineClient probe(port, 1000);
                listening = probe.Connected() && !probe.ReadLine().empty();
                if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            EXPECT_TRUE(listening);
        } else {
            EXPECT_TRUE(p->WaitForOutput("Press Q to quit", 20000)) << ReadWholeFile(out);
        }
        return p;
    }

    // Appends records with the codes from..to to the host's System log;
    // long messages, so that a client's socket fills within a few
    // thousand records.
    void Append(int from, int to, size_t textSize = 400) {
        std::vector<wmi::sim::SimEvent> events;
        const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        for (int code = from; code <= to; ++code) {
            wmi::sim::SimEvent e;
            e.logFile = "System";
            e.eventCode = static_cast<uint32_t>(code);
            e.eventIdentifier = e.eventCode;
            e.eventType = 3;
            e.sourceName = "Src";
            e.timeGenerated = e.timeWritten = now + code;
            e.insertionStrings = std::vector<std::string>{std::string(textSize, 'm')};
            e.message = std::string(textSize, 'm');
            e.computerName = "HOSTA";
            events.push_back(std::move(e));
        }
        ASSERT_EQ(hostStore.appendEvents(kHost, events), wmi::sim::SimResult::Ok);
    }

    // The stored System record number (the listener must not run).
    int64_t Stored() {
        CResumeStore store;
        std::string error;
        TResumePoint point;
        if (!store.Open(state, &error) || !store.Load(kKey, &point, &error)) {
            ADD_FAILURE() << error;
            return -1;
        }
        auto found = point.logs.find("System");
        return found == point.logs.end() ? 0 : found->second.recordNumber;
    }

    // A first run that delivers record 1, so that the key has a stored
    // point; stopped in order.
    void FirstRun() {
        auto quellon = Start();
        Subscriber first(port);
        ASSERT_TRUE(first.Login());
        ASSERT_TRUE(first.Subscribe());
        ASSERT_TRUE(first.Until("CONNECTION_OK"));
        Append(1, 1);
        ASSERT_TRUE(first.UntilRecords(1));
        quellon->Type("q\n");
        ASSERT_EQ(quellon->WaitForExit(40000), 0);
        ASSERT_EQ(Stored(), 1);
    }

    // Checks that the codes of every run together hold each of 1..last at
    // least once and nothing else; returns how many arrived twice.
    static size_t Repeats(const std::vector<std::vector<int>>& runs, int last) {
        std::multiset<int> all;
        for (const auto& run : runs) all.insert(run.begin(), run.end());
        size_t repeats = 0;
        for (int code = 1; code <= last; ++code) {
            const size_t n = all.count(code);
            EXPECT_GE(n, 1u) << "record " << code << " was lost";
            if (n > 1) repeats += n - 1;
        }
        EXPECT_EQ(all.size() - repeats, static_cast<size_t>(last)) << "unknown records";
        return repeats;
    }

    TempDir dir;
    std::string hosts = dir.File("hosts.db");
    std::string state = dir.File("state.db");
    wmi::sim::SimStore hostStore;
    uint16_t port = FreePort();
    std::string out;
    int runs = 0;
};

constexpr int kCatchUp = 20000;

// SIGTERM while a catch-up of 20,000 records is under way and the client
// has stopped reading: what was queued gets a bounded time to go out (the
// client reads nothing meanwhile, so most of it does not), the point is
// kept past what the sockets took, and the next run delivers the rest: none
// lost, and twice only the part of one send the socket had begun to take.
TEST_F(DeliveryTest, SigtermMidCatchUpLosesNothingAndRepeatsAtMostOneSend) {
    FirstRun();
    ASSERT_FALSE(HasFatalFailure());
    Append(2, kCatchUp + 1);
    auto quellon = Start(true);
    Subscriber before(port, 4096);
    ASSERT_TRUE(before.Login());
    ASSERT_TRUE(before.Subscribe());
    ASSERT_TRUE(before.UntilRecords(2000));
    ASSERT_TRUE(quellon->Signal(SIGTERM));
    // Not reading until the listener has ended, past its time to drain.
    ASSERT_EQ(quellon->WaitForExit(40000), 0);
    before.ReadToEnd();  // what the system held for the client
    // A send counts once the socket took all of it: the point stands at the
    // end of the last whole send, so what the client got of the next one
    // (a catch-up sends 1000 records at a time) comes again.
    const int64_t stored = Stored();
    EXPECT_LE(stored, before.codes.back()) << "the point passed records the client never got";
    EXPECT_LT(before.codes.back() - stored, 1000);
    EXPECT_LT(stored, kCatchUp + 1) << "the client took everything: nothing was left to drain";

    quellon = Start();
    Subscriber after(port);
    ASSERT_TRUE(after.Login());
    ASSERT_TRUE(after.Subscribe());
    ASSERT_TRUE(after.UntilRecords(static_cast<size_t>(kCatchUp + 1 - stored)));
    ASSERT_TRUE(after.Drain());
    EXPECT_EQ(after.codes.front(), stored + 1);
    const size_t repeats = Repeats({{1}, before.codes, after.codes}, kCatchUp + 1);
    EXPECT_EQ(repeats, static_cast<size_t>(before.codes.back() - stored));
    std::cout << "SIGTERM mid-catch-up: received " << before.codes.size() << " before the stop, "
              << after.codes.size() << " after the restart, " << repeats << " twice\n";
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// kill -9 during a catch-up: the stored point is never past what the
// client received, and the next run delivers everything after it, so the
// repeats are exactly the records the client got past the stored point
// (those sent since the last batch was written).
TEST_F(DeliveryTest, KillMidCatchUpRepeatsOnlyWhatFollowsTheStoredPoint) {
    FirstRun();
    ASSERT_FALSE(HasFatalFailure());
    Append(2, kCatchUp + 1);
    auto quellon = Start();
    Subscriber before(port);
    ASSERT_TRUE(before.Login());
    ASSERT_TRUE(before.Subscribe());
    ASSERT_TRUE(before.UntilRecords(2000));
    ASSERT_TRUE(quellon->Signal(SIGKILL));
    ASSERT_EQ(quellon->WaitForExit(10000), 128 + SIGKILL);
    before.ReadToEnd();  // what the system held for the client
    const int64_t stored = Stored();
    ASSERT_GE(stored, 1);
    EXPECT_LE(stored, before.codes.back()) << "the point passed records the client never got";

    quellon = Start();
    Subscriber after(port);
    ASSERT_TRUE(after.Login());
    ASSERT_TRUE(after.Subscribe());
    ASSERT_TRUE(after.UntilRecords(static_cast<size_t>(kCatchUp + 1 - stored)));
    ASSERT_TRUE(after.Drain());
    ASSERT_FALSE(after.codes.empty());
    EXPECT_EQ(after.codes.front(), stored + 1);
    const size_t repeats = Repeats({{1}, before.codes, after.codes}, kCatchUp + 1);
    EXPECT_EQ(repeats, static_cast<size_t>(before.codes.back() - stored));
    std::cout << "kill -9 mid-catch-up: received " << before.codes.size() << ", stored point "
              << stored << ", repeated " << repeats << "\n";
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// kill -9 while one client reads and another has stopped reading with
// records queued for it: the point waits for the slow client's socket, so
// none of what it never got is lost; the reading client may see again
// what it got while the slow one had not yet taken it.
TEST_F(DeliveryTest, KillWithASlowClientLosesNothingOfItsQueue) {
    FirstRun();
    ASSERT_FALSE(HasFatalFailure());
    auto quellon = Start();
    Subscriber slow(port, 4096);
    ASSERT_TRUE(slow.Login());
    ASSERT_TRUE(slow.Subscribe());
    ASSERT_TRUE(slow.Until("CONNECTION_OK"));
    Subscriber fast(port);
    ASSERT_TRUE(fast.Login());
    // About 12 MB: more than the system buffers of the slow client's
    // connection hold.
    constexpr int kLive = 6000;
    for (int from = 2; from <= kLive + 1; from += 1000) {
        Append(from, std::min(from + 999, kLive + 1), 1000);
        ASSERT_FALSE(HasFatalFailure());
    }
    ASSERT_TRUE(fast.UntilRecords(kLive));
    // The slow client's output is backed up: STATS counts its queued
    // records.
    fast.client->SendLine("STATS");
    ASSERT_TRUE(fast.Until("clients="));
    const std::string totals = fast.lines.back();
    EXPECT_EQ(totals.find("queued_for_clients=0"), std::string::npos) << totals;
    EXPECT_NE(totals.find("state_file=ok"), std::string::npos) << totals;
    ASSERT_TRUE(quellon->Signal(SIGKILL));
    ASSERT_EQ(quellon->WaitForExit(10000), 128 + SIGKILL);
    slow.ReadToEnd();
    fast.ReadToEnd();
    const int64_t stored = Stored();
    ASSERT_LT(stored, kLive + 1) << "the point passed the slow client's queue";
    const int slowLast = slow.codes.empty() ? 1 : slow.codes.back();
    EXPECT_LE(stored, slowLast);

    quellon = Start();
    Subscriber after(port);
    ASSERT_TRUE(after.Login());
    ASSERT_TRUE(after.Subscribe());
    ASSERT_TRUE(after.UntilRecords(static_cast<size_t>(kLive + 1 - stored)));
    ASSERT_TRUE(after.Drain());
    EXPECT_EQ(after.codes.front(), stored + 1);
    // What the slow client never got arrives now.
    std::vector<int> slowRun = slow.codes;
    Repeats({{1}, slowRun, after.codes}, kLive + 1);
    std::cout << "kill -9 with a slow client: it received " << slow.codes.size() << " of " << kLive
              << ", stored point " << stored << ", re-sent " << after.codes.size() << "\n";
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// Records read while no client is logged in went to nobody: the point
// stays, and the next client to log in receives them (a catch-up) before
// what is written after, each once, without a new ADD.
TEST_F(DeliveryTest, RecordsWrittenWithNoClientArriveAtTheNextLogin) {
    auto quellon = Start();
    {
        Subscriber first(port);
        ASSERT_TRUE(first.Login());
        ASSERT_TRUE(first.Subscribe());
        ASSERT_TRUE(first.Until("CONNECTION_OK"));
        Append(1, 1);
        ASSERT_TRUE(first.UntilRecords(1));
        first.client->SendLine("LOGOUT");
        first.ReadToEnd();
    }
    Append(2, 50);
    // Time for the engine to read them and send them to nobody.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Subscriber next(port);
    ASSERT_TRUE(next.Login());
    ASSERT_TRUE(next.UntilRecords(49));
    Append(51, 51);
    ASSERT_TRUE(next.UntilRecords(50));
    ASSERT_TRUE(next.Drain());
    std::vector<int> expected;
    for (int code = 2; code <= 51; ++code) expected.push_back(code);
    EXPECT_EQ(next.codes, expected);
    quellon->Type("q\n");
    ASSERT_EQ(quellon->WaitForExit(40000), 0);
    EXPECT_EQ(Stored(), 51);
    EXPECT_NE(ReadWholeFile(dir.File("quellon.log")).find("Records went undelivered"),
              std::string::npos);
}

// The state file is one listener's: a second one on the same file, or one
// given a file that is not a state file, ends its start-up with one line
// naming the file, and listens on nothing.
TEST_F(DeliveryTest, AStateFileThatCannotBeUsedEndsStartUp) {
    auto first = Start();
    const struct {
        const char* what;
        std::string reason;
    } cases[] = {
        {"held", "is used by another process"},
        {"text", "cannot be read: file is not a database"},
    };
    for (const auto& c : cases) {
        if (std::string(c.what) == "text") {
            first->Type("q\n");
            ASSERT_EQ(first->WaitForExit(40000), 0);
            dir.Write("state.db", std::string(8192, 't'));
            std::remove((state + "-wal").c_str());
            std::remove((state + "-shm").c_str());
        }
        const std::string output = dir.File(std::string("refused-") + c.what);
        QuellonProcess second(BuiltProgram("quellon"), dir.File("quellon.ini"), output);
        // Ended by itself (as other refused settings, with exit code 0).
        EXPECT_GE(second.WaitForExit(20000), 0) << c.what;
        const std::string text = ReadWholeFile(output);
        const std::string line = "Error: state file '" + state + "' " + c.reason + "\r\n";
        EXPECT_NE(text.find(line), std::string::npos) << c.what << ": " << text;
        EXPECT_EQ(text.find("Press Q to quit"), std::string::npos) << text;
    }
    EXPECT_EQ(ReadWholeFile(state), std::string(8192, 't')) << "the file is left alone";
}

}  // namespace
