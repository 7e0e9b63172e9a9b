// The listener feeding Kafka end to end: the quellon program with standing
// subscriptions to simulated hosts (a real SQLite store) and its Kafka
// output pointed at librdkafka's mock cluster (three brokers on loopback),
// read back by kcat. Every record arrives once, in order per host, with
// every field equal to the store's; after a kill -9 mid-stream and a
// restart with a state file, none is lost and repeats stay within what was
// not yet acknowledged.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/kafkalistenerfixture.h"
#include "tests/server/kafkamock.h"
#include "wmi/cim/cimtime.h"

namespace {

class KafkaEndToEnd : public KafkaListenerFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(mock.Ok());
        KafkaListenerFixture::SetUp();
    }
    std::string Bootstraps() override { return mock.Bootstraps(); }
    std::vector<KafkaMessage> ReadTopic(const std::string& topic) override {
        return mock.Read(topic);
    }

    KafkaMock mock{3, {"quellon-events", "quellon-notices"}};
};

TEST_F(KafkaEndToEnd, EveryRecordOnceInOrderWithTheStoresFields) {
    auto quellon = Start();
    // Texts that test the JSON: line breaks, non-ASCII, quotes; a null user
    // and message, no and empty insertion strings.
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t i = 0; i < 200; ++i) {
        wmi::sim::SimEvent e = Event(i % 2 == 0 ? "System" : "Application", 1000 + i);
        e.message = "Line one\r\nline \"two\" caf\xC3\xA9 \xE2\x82\xAC " + std::to_string(i);
        e.user =
            i % 3 == 0 ? std::optional<std::string>() : std::string("CORP\\u") + char('a' + i % 26);
        if (i % 5 == 0) e.insertionStrings = std::vector<std::string>{};
        if (i % 7 == 0) e.insertionStrings.reset();
        e.category = static_cast<int32_t>(i % 4);
        e.categoryString = "Cat " + std::to_string(i % 4);
        events.push_back(e);
    }
    Append(kHostA, events);
    Append(kHostB, events);
    // Host B's subscription takes System only: 100 of its 200.
    ASSERT_TRUE(Eventually(
        [&] {
            auto byHost = NumbersByHost();
            return byHost[kHostA].size() >= 200 && byHost[kHostB].size() >= 100;
        },
        30000));
    auto byHost = NumbersByHost();
    std::vector<int64_t> all;
    for (int64_t n = 1; n <= 200; ++n) all.push_back(n);
    std::vector<int64_t> odd;
    for (int64_t n = 1; n <= 200; n += 2) odd.push_back(n);
    EXPECT_EQ(byHost[kHostA], all);
    EXPECT_EQ(byHost[kHostB], odd);

    // Field by field against the store.
    std::vector<wmi::sim::SimEvent> stored;
    ASSERT_EQ(store.eventsAfter(kHostA, 0, 1000, stored), wmi::sim::SimResult::Ok);
    std::map<int64_t, const wmi::sim::SimEvent*> byNumber;
    for (const auto& e : stored) byNumber[e.recordNumber] = &e;
    size_t checked = 0;
    for (const KafkaMessage& m : mock.Read("quellon-events")) {
        if (m.key != kHostA) continue;
        rapidjson::Document d;
        d.Parse(m.payload.c_str(), m.payload.size());
        ASSERT_FALSE(d.HasParseError()) << m.payload;
        const wmi::sim::SimEvent& e = *byNumber.at(d["RecordNumber"].GetInt64());
        EXPECT_STREQ(d["Host"].GetString(), kHostA);
        EXPECT_EQ(d["Logfile"].GetString(), e.logFile) << m.payload;
        EXPECT_EQ(d["EventCode"].GetUint(), e.eventCode) << m.payload;
        EXPECT_EQ(d["EventIdentifier"].GetUint(), e.eventIdentifier) << m.payload;
        EXPECT_EQ(d["EventType"].GetInt(), e.eventType) << m.payload;
        EXPECT_EQ(d["Type"].GetString(), e.typeText) << m.payload;
        EXPECT_EQ(d["SourceName"].GetString(), e.sourceName) << m.payload;
        EXPECT_EQ(d["ComputerName"].GetString(), e.computerName) << m.payload;
        EXPECT_EQ(d["Category"].GetInt(), e.category) << m.payload;
        EXPECT_EQ(d["CategoryString"].GetString(), e.categoryString) << m.payload;
        EXPECT_EQ(d["TimeGenerated"].GetString(), wmi::cim::FormatRfc3339(e.timeGenerated))
            << m.payload;
        EXPECT_EQ(d["TimeWritten"].GetString(), wmi::cim::FormatRfc3339(e.timeWritten))
            << m.payload;
        if (e.user) {
            EXPECT_EQ(d["User"].GetString(), *e.user) << m.payload;
        } else {
            EXPECT_TRUE(d["User"].IsNull()) << m.payload;
        }
        ASSERT_TRUE(e.message.has_value());
        EXPECT_EQ(std::string(d["Message"].GetString(), d["Message"].GetStringLength()), *e.message)
            << m.payload;
        if (!e.insertionStrings) {
            EXPECT_TRUE(d["InsertionStrings"].IsNull()) << m.payload;
        } else {
            ASSERT_TRUE(d["InsertionStrings"].IsArray()) << m.payload;
            EXPECT_EQ(d["InsertionStrings"].Size(), e.insertionStrings->size()) << m.payload;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 200u);
    // No password reached the log.
    EXPECT_EQ(ReadWholeFile(dir.File("quellon.log")).find(kCredentialPassword), std::string::npos);
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

TEST_F(KafkaEndToEnd, KillMidStreamAndRestartLosesNothing) {
    auto quellon = Start();
    // Records keep coming while the listener is killed.
    Writer writer(path, {kHostA});
    // Killed while records flow: some were sent, some not yet read.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(quellon->Signal(SIGKILL));
    ASSERT_EQ(quellon->WaitForExit(10000), 128 + SIGKILL);
    const size_t beforeRestart = NumbersByHost()[kHostA].size();
    const int writtenAtKill = writer.Written();
    quellon = Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int total = writer.Stop();
    ASSERT_TRUE(Eventually(
        [&] {
            auto numbers = NumbersByHost()[kHostA];
            return std::set<int64_t>(numbers.begin(), numbers.end()).size() ==
                   static_cast<size_t>(total);
        },
        60000))
        << "written " << total;
    std::vector<int64_t> numbers = NumbersByHost()[kHostA];
    std::set<int64_t> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(*distinct.begin(), 1);
    EXPECT_EQ(*distinct.rbegin(), total);
    // Repeats are records that were in Kafka already when the listener
    // died but not yet acknowledged or not yet in the state file: fewer
    // than what had arrived by then.
    const size_t repeats = numbers.size() - distinct.size();
    std::cout << "written " << total << " (" << writtenAtKill << " at the kill), read "
              << numbers.size() << ", repeated " << repeats << " (" << beforeRestart
              << " read before the restart)\n";
    EXPECT_LT(beforeRestart, static_cast<size_t>(total)) << "the kill was not mid-stream";
    EXPECT_LT(repeats, beforeRestart);
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// A small queue, so that Kafka's absence fills it quickly.
class KafkaSmallQueue : public KafkaEndToEnd {
  protected:
    KafkaSmallQueue() { kafkaExtra = "QUEUEBYTES=1048576\n"; }
};

TEST_F(KafkaSmallQueue, KafkaDownFillsTheQueueBlocksTheSubscriptionThenEverythingArrives) {
    auto quellon = Start();
    LineClient client(port, 15000);
    ASSERT_EQ(client.Login("alice", "secret").substr(0, 31), "OK authentication successful (u");
    for (int id = 1; id <= 3; ++id) mock.BrokerDown(id);
    // About 2 KB a record: the 1 MiB queue holds some 500.
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t i = 0; i < 2000; ++i) {
        wmi::sim::SimEvent e = Event("System", i);
        e.message = std::string(2000, 'm');
        events.push_back(e);
    }
    Append(kHostA, events);
    std::string list;
    ASSERT_TRUE(Eventually(
        [&] {
            list = Reply(client, "LIST");
            return list.find("127.0.0.2 * * CORP\\reader Output Blocked") != std::string::npos;
        },
        30000))
        << list;
    // librdkafka counts a broker down once its connection attempt fails,
    // which may come after the queue has filled.
    std::string stats;
    EXPECT_TRUE(Eventually(
        [&] {
            stats = Reply(client, "STATS");
            return stats.find("kafka brokers_up=0/") != std::string::npos;
        },
        30000))
        << stats;
    EXPECT_NE(stats.find("state=\"Output Blocked\""), std::string::npos) << stats;
    for (int id = 1; id <= 3; ++id) mock.BrokerUp(id);
    ASSERT_TRUE(Eventually(
        [&] {
            auto numbers = NumbersByHost()[kHostA];
            return std::set<int64_t>(numbers.begin(), numbers.end()).size() == 2000;
        },
        60000));
    ASSERT_TRUE(Eventually(
        [&] { return Reply(client, "LIST").find("Output Blocked") == std::string::npos; }, 10000));
    client.SendLine("LOGOUT");
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// The NTEVENT records host A's events give to a logged-in client, counted
// by a thread of its own while the test goes on.
class EventWatcher {
  public:
    explicit EventWatcher(uint16_t port) : client(port, 300) {
        login = client.Login("alice", "secret");
        reader = std::thread([this] {
            while (watching.load()) {
                const std::string line = client.ReadLine();
                if (line.rfind(std::string("NTEVENT: ") + KafkaListenerFixture::kHostA + " ", 0) ==
                    0) {
                    ++records;
                }
            }
        });
    }
    ~EventWatcher() {
        watching = false;
        reader.join();
    }
    EventWatcher(const EventWatcher&) = delete;
    EventWatcher& operator=(const EventWatcher&) = delete;

    std::string login;
    std::atomic<size_t> records{0};

  private:
    LineClient client;
    std::atomic<bool> watching{true};
    std::thread reader;
};

// Kafka blocked does not pause the clients: they get every record while
// it is, once each; what Kafka refused meanwhile is read again for Kafka
// alone once it takes records again, and all of it arrives.
TEST_F(KafkaSmallQueue, ClientsKeepReceivingWhileKafkaIsBlockedAndKafkaGetsItAllAfter) {
    auto quellon = Start();
    LineClient control(port, 15000);
    ASSERT_EQ(control.Login("alice", "secret").substr(0, 31), "OK authentication successful (u");
    EventWatcher watcher(port);
    ASSERT_EQ(watcher.login.substr(0, 31), "OK authentication successful (u");
    for (int id = 1; id <= 3; ++id) mock.BrokerDown(id);
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t i = 0; i < 2000; ++i) {
        wmi::sim::SimEvent e = Event("System", i);
        e.message = std::string(2000, 'm');
        events.push_back(e);
    }
    Append(kHostA, events);
    std::string list;
    ASSERT_TRUE(Eventually(
        [&] {
            list = Reply(control, "LIST");
            return list.find("127.0.0.2 * * CORP\\reader Output Blocked") != std::string::npos;
        },
        30000))
        << list;
    // Written while Kafka is blocked: the clients get these too.
    events.clear();
    for (uint32_t i = 0; i < 100; ++i) events.push_back(Event("System", 5000 + i));
    Append(kHostA, events);
    ASSERT_TRUE(Eventually([&] { return watcher.records.load() >= 2100; }, 30000))
        << watcher.records.load();
    EXPECT_NE(Reply(control, "LIST").find("Output Blocked"), std::string::npos)
        << "Kafka took records with every broker down";

    for (int id = 1; id <= 3; ++id) mock.BrokerUp(id);
    ASSERT_TRUE(Eventually(
        [&] {
            auto numbers = NumbersByHost()[kHostA];
            return std::set<int64_t>(numbers.begin(), numbers.end()).size() == 2100;
        },
        60000));
    std::vector<int64_t> numbers = NumbersByHost()[kHostA];
    EXPECT_EQ(*std::min_element(numbers.begin(), numbers.end()), 1);
    EXPECT_EQ(*std::max_element(numbers.begin(), numbers.end()), 2100);
    ASSERT_TRUE(Eventually(
        [&] { return Reply(control, "STATS").find(" queued=0 ") != std::string::npos; }, 10000));
    // What was read again for Kafka did not go to the clients again.
    EXPECT_EQ(watcher.records.load(), 2100u);
    control.SendLine("LOGOUT");
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// Records a broker refused (an error answer to Produce that librdkafka
// does not retry) are read again and arrive once the fault has cleared.
TEST_F(KafkaEndToEnd, RecordsTheBrokerRefusedAreReadAgainAndArrive) {
    auto quellon = Start();
    Append(kHostA, {Event("System", 1), Event("System", 2)});
    ASSERT_TRUE(Eventually([&] { return NumbersByHost()[kHostA].size() >= 2; }, 30000));
    mock.FailProduce(4, RD_KAFKA_RESP_ERR_TOPIC_AUTHORIZATION_FAILED);
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t i = 0; i < 300; ++i) events.push_back(Event("System", 100 + i));
    Append(kHostA, events);
    ASSERT_TRUE(Eventually(
        [&] {
            auto numbers = NumbersByHost()[kHostA];
            return std::set<int64_t>(numbers.begin(), numbers.end()).size() == 302;
        },
        60000));
    const std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_NE(log.find("a record was not delivered"), std::string::npos)
        << "the broker refused nothing";
    EXPECT_NE(log.find("Records went undelivered; catching up"), std::string::npos);
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

}  // namespace
