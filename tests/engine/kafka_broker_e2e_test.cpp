// The listener feeding a real Apache Kafka broker end to end (one node,
// KRaft, run by scripts/kafka-broker on loopback), read back by kcat: every
// record once and in order per host across a kill -9 and a restart with a
// state file; 100,000 records through one partition (more than the mock
// cluster keeps); a topic the broker creates, and one it refuses until it is
// made; and the SASL_SSL listener with SCRAM-SHA-512: a wrong password
// loses nothing and says so in STATS, the right one delivers everything,
// and no password reaches the log. The fault cases (brokers down, refused
// produce, full queue) are kafka_e2e_test's, against the mock cluster.
//
// Skipped where Java or Kafka's jars cannot be had (scripts/test makes them
// ready; with CI=true the tests fail instead).
#include <gtest/gtest.h>
#include <librdkafka/rdkafka.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/kafkalistenerfixture.h"
#include "tests/server/kafkabroker.h"

namespace {

// The broker a suite shares, started once for it and stopped after it.
class SharedBroker {
  public:
    void Start(const std::string& version, const std::vector<std::string>& settings = {}) {
        dir = std::make_unique<TempDir>();
        broker = std::make_unique<KafkaBroker>(dir->File("broker"), version, settings);
        if (broker->Ok()) {
            std::cout << "Kafka " << broker->Value("version") << " started in "
                      << broker->Value("startup_ms") << " ms, resident " << broker->Value("rss_kb")
                      << " kB\n";
        }
    }
    void Stop() {
        broker.reset();
        dir.reset();
    }
    KafkaBroker* operator->() const { return broker.get(); }
    explicit operator bool() const { return broker != nullptr; }

  private:
    std::unique_ptr<TempDir> dir;
    std::unique_ptr<KafkaBroker> broker;
};

// Skips (or, with CI=true, fails) the test when the broker cannot be had;
// fails it when the broker did not start.
#define REQUIRE_BROKER(b)                                                   \
    do {                                                                    \
        if (!(b)->Available()) {                                            \
            if (KafkaBroker::Required()) FAIL() << (b)->Unavailable();      \
            GTEST_SKIP() << "no Kafka broker here: " << (b)->Unavailable(); \
        }                                                                   \
        ASSERT_TRUE((b)->Ok()) << (b)->Failure();                           \
    } while (0)

// The test's own topics on a broker the suite shares.
std::string TopicOfThisTest() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    return name;
}

// Whether numbers, as one host's records were read from Kafka, are
// 1 .. total, each at least once, in order: ascending but for at most
// `restarts` steps back, each to a record already read (a restart reading
// again from its resume point).
::testing::AssertionResult InOrderWithRestarts(const std::vector<int64_t>& numbers, int64_t total,
                                               int restarts) {
    int64_t highest = 0;
    int stepsBack = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const int64_t n = numbers[i];
        if (n > highest + 1) {
            return ::testing::AssertionFailure()
                   << "record " << highest + 1 << " missing before " << n << " at " << i;
        }
        if (i > 0 && n <= numbers[i - 1]) {
            if (++stepsBack > restarts) {
                return ::testing::AssertionFailure()
                       << "out of order: " << numbers[i - 1] << " then " << n << " at " << i;
            }
        }
        highest = std::max(highest, n);
    }
    if (highest != total) {
        return ::testing::AssertionFailure() << "read up to " << highest << " of " << total;
    }
    return ::testing::AssertionSuccess();
}

// Whether numbers hold each of 1 .. total at least once, in at most
// `passes` ascending runs (each step back starts a new pass).
::testing::AssertionResult EachOnceInPasses(const std::vector<int64_t>& numbers, int64_t total,
                                            int passes) {
    std::set<int64_t> seen(numbers.begin(), numbers.end());
    int runs = numbers.empty() ? 0 : 1;
    for (size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] <= numbers[i - 1]) ++runs;
    }
    if (runs > passes) return ::testing::AssertionFailure() << runs << " passes";
    for (int64_t n = 1; n <= total; ++n) {
        if (seen.count(n) == 0) return ::testing::AssertionFailure() << "record " << n << " lost";
    }
    if (static_cast<int64_t>(seen.size()) != total) {
        return ::testing::AssertionFailure() << "unknown records among " << seen.size();
    }
    return ::testing::AssertionSuccess();
}

// The value of `name=` in a STATS reply's kafka line ("" when absent).
std::string KafkaStat(const std::string& stats, const std::string& name) {
    const size_t line = stats.find("kafka brokers_up=");
    if (line == std::string::npos) return "";
    const size_t at = stats.find(" " + name + "=", line);
    if (at == std::string::npos) return "";
    const size_t from = at + name.size() + 2;
    const size_t end =
        stats[from] == '"' ? stats.find('"', from + 1) + 1 : stats.find_first_of(" \r\n", from);
    return stats.substr(from, end - from);
}

class KafkaBrokerEndToEnd : public KafkaListenerFixture {
  protected:
    static void SetUpTestSuite() { broker.Start(""); }
    static void TearDownTestSuite() { broker.Stop(); }

    void SetUp() override {
        REQUIRE_BROKER(broker);
        topic = TopicOfThisTest();
        kafkaExtra += "TOPIC=" + topic + "\nNOTICETOPIC=" + topic + "-notices\n";
        KafkaListenerFixture::SetUp();
    }
    std::string Bootstraps() override { return broker->Plaintext(); }
    std::vector<KafkaMessage> ReadTopic(const std::string& name) override {
        return broker->Read(name);
    }

    static SharedBroker broker;
    std::string topic;
};
SharedBroker KafkaBrokerEndToEnd::broker;

TEST_F(KafkaBrokerEndToEnd, KillMinusNineAndRestartEveryRecordInOrderPerHost) {
    auto quellon = Start();
    // Records keep coming to both hosts while the listener is killed.
    Writer writer(path, {kHostA, kHostB});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(quellon->Signal(SIGKILL));
    ASSERT_EQ(quellon->WaitForExit(10000), 128 + SIGKILL);
    auto beforeRestart = NumbersByHost(topic);
    quellon = Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int total = writer.Stop();
    ASSERT_TRUE(Eventually(
        [&] {
            auto byHost = NumbersByHost(topic);
            return std::set<int64_t>(byHost[kHostA].begin(), byHost[kHostA].end()).size() ==
                       static_cast<size_t>(total) &&
                   std::set<int64_t>(byHost[kHostB].begin(), byHost[kHostB].end()).size() ==
                       static_cast<size_t>(total);
        },
        90000))
        << "written " << total;
    auto byHost = NumbersByHost(topic);
    for (const char* host : {kHostA, kHostB}) {
        const std::vector<int64_t>& numbers = byHost[host];
        EXPECT_TRUE(InOrderWithRestarts(numbers, total, 1)) << host;
        const size_t repeats = numbers.size() - static_cast<size_t>(total);
        std::cout << host << ": written " << total << ", read " << numbers.size() << ", repeated "
                  << repeats << "\n";
        // Repeats are records the broker had when the listener died whose
        // acknowledgement had not reached the state file: fewer than had
        // arrived by then.
        EXPECT_LE(repeats, beforeRestart[host].size()) << host;
        EXPECT_LT(beforeRestart[host].size(), static_cast<size_t>(total))
            << host << ": the kill was not mid-stream";
    }
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// 100,000 records of about 600 bytes: some 60 MB in one partition, where the
// mock cluster keeps about 5 MB. The topic and the notices topic are made by
// the broker on first use (auto.create.topics.enable, its default).
TEST_F(KafkaBrokerEndToEnd, HundredThousandRecordsThroughOnePartitionInOrder) {
    constexpr int kRecords = 100000;
    auto quellon = Start();
    LineClient client(port, 15000);
    ASSERT_EQ(client.Login("alice", "secret").substr(0, 31), "OK authentication successful (u");
    for (int done = 0; done < kRecords; done += 5000) {
        std::vector<wmi::sim::SimEvent> batch;
        for (int i = 0; i < 5000; ++i) {
            wmi::sim::SimEvent e = Event("Application", 2000 + i % 7);
            e.message = std::string(400, 'a' + static_cast<char>(i % 26));
            batch.push_back(e);
        }
        Append(kHostA, batch);
    }
    // Acknowledged by the broker, as the output counts (one STATS a
    // second, not a read of the whole topic).
    std::string stats;
    ASSERT_TRUE(Eventually(
        [&] {
            stats = Reply(client, "STATS");
            const std::string acked = KafkaStat(stats, "acked");
            if (!acked.empty() && std::stoll(acked) >= kRecords) return true;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            return false;
        },
        240000))
        << stats;
    std::vector<KafkaMessage> messages = ReadTopic(topic);
    std::vector<int64_t> numbers;
    std::set<int> partitions;
    size_t bytes = 0;
    long long expectedOffset = 0;
    for (const KafkaMessage& m : messages) {
        ASSERT_EQ(m.key, kHostA);
        rapidjson::Document d;
        d.Parse(m.payload.c_str(), m.payload.size());
        ASSERT_FALSE(d.HasParseError()) << m.payload;
        numbers.push_back(d["RecordNumber"].GetInt64());
        partitions.insert(m.partition);
        EXPECT_EQ(m.offset, expectedOffset++);
        bytes += m.payload.size();
    }
    EXPECT_EQ(partitions.size(), 1u);
    ASSERT_EQ(numbers.size(), static_cast<size_t>(kRecords));
    EXPECT_TRUE(InOrderWithRestarts(numbers, kRecords, 0));
    EXPECT_GT(bytes, 50u * 1000 * 1000);
    // Each subscription's CONNECTION_OK on the notices topic, keyed by host.
    std::set<std::string> connected;
    for (const KafkaMessage& m : ReadTopic(topic + "-notices")) {
        if (m.payload.find("\"Notice\":\"CONNECTION_OK\"") != std::string::npos) {
            connected.insert(m.key);
        }
    }
    EXPECT_EQ(connected, (std::set<std::string>{kHostA, kHostB}));
    client.SendLine("LOGOUT");
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// A broker that creates no topic on first use: the records wait (STATS says
// why, nothing is acknowledged or dropped) until the topic is made, then
// every one arrives in order.
class KafkaBrokerWithoutAutoCreate : public KafkaListenerFixture {
  protected:
    static void SetUpTestSuite() { broker.Start("", {"auto.create.topics.enable=false"}); }
    static void TearDownTestSuite() { broker.Stop(); }

    void SetUp() override {
        REQUIRE_BROKER(broker);
        // librdkafka gives up on an unknown topic after this (30 s by
        // default), and the listener reads the records again.
        kafkaExtra = "TOPIC=not-made-yet\ntopic.metadata.propagation.max.ms=2000\n";
        KafkaListenerFixture::SetUp();
    }
    std::string Bootstraps() override { return broker->Plaintext(); }
    std::vector<KafkaMessage> ReadTopic(const std::string& name) override {
        return broker->Read(name);
    }

    // Makes topic (one partition) through the broker's admin API; "" or
    // librdkafka's reason.
    std::string CreateTopic(const std::string& name) {
        char reason[512];
        rd_kafka_conf_t* conf = rd_kafka_conf_new();
        rd_kafka_conf_set(conf, "bootstrap.servers", broker->Plaintext().c_str(), reason,
                          sizeof reason);
        std::unique_ptr<rd_kafka_t, decltype(&rd_kafka_destroy)> admin(
            rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason), &rd_kafka_destroy);
        if (!admin) return reason;
        std::unique_ptr<rd_kafka_NewTopic_t, decltype(&rd_kafka_NewTopic_destroy)> topic(
            rd_kafka_NewTopic_new(name.c_str(), 1, 1, reason, sizeof reason),
            &rd_kafka_NewTopic_destroy);
        std::unique_ptr<rd_kafka_queue_t, decltype(&rd_kafka_queue_destroy)> queue(
            rd_kafka_queue_new(admin.get()), &rd_kafka_queue_destroy);
        rd_kafka_NewTopic_t* topics[] = {topic.get()};
        rd_kafka_CreateTopics(admin.get(), topics, 1, nullptr, queue.get());
        std::unique_ptr<rd_kafka_event_t, decltype(&rd_kafka_event_destroy)> event(
            rd_kafka_queue_poll(queue.get(), 30000), &rd_kafka_event_destroy);
        if (!event) return "no answer to CreateTopics";
        if (rd_kafka_event_error(event.get()) != RD_KAFKA_RESP_ERR_NO_ERROR) {
            return rd_kafka_event_error_string(event.get());
        }
        size_t count = 0;
        const rd_kafka_topic_result_t** results = rd_kafka_CreateTopics_result_topics(
            rd_kafka_event_CreateTopics_result(event.get()), &count);
        if (count == 1 && rd_kafka_topic_result_error(results[0]) != RD_KAFKA_RESP_ERR_NO_ERROR) {
            return rd_kafka_topic_result_error_string(results[0]);
        }
        return "";
    }

    static SharedBroker broker;
};
SharedBroker KafkaBrokerWithoutAutoCreate::broker;

TEST_F(KafkaBrokerWithoutAutoCreate, RecordsWaitForATopicTheBrokerRefusesThenAllArrive) {
    auto quellon = Start();
    LineClient client(port, 15000);
    ASSERT_EQ(client.Login("alice", "secret").substr(0, 31), "OK authentication successful (u");
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t i = 0; i < 300; ++i) events.push_back(Event("System", 100 + i));
    Append(kHostA, events);
    std::string stats;
    ASSERT_TRUE(Eventually(
        [&] {
            stats = Reply(client, "STATS");
            if (KafkaStat(stats, "last_error").find("not-made-yet") != std::string::npos ||
                KafkaStat(stats, "last_error").find("nknown topic") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return false;
        },
        60000))
        << stats;
    std::cout << "while the topic is missing: last_error=" << KafkaStat(stats, "last_error")
              << "\n";
    EXPECT_EQ(KafkaStat(stats, "acked"), "0") << stats;
    EXPECT_NE(KafkaStat(stats, "errors"), "0") << stats;
    EXPECT_TRUE(ReadTopic("not-made-yet").empty());
    ASSERT_EQ(CreateTopic("not-made-yet"), "");
    ASSERT_TRUE(Eventually(
        [&] {
            auto numbers = NumbersByHost("not-made-yet")[kHostA];
            return std::set<int64_t>(numbers.begin(), numbers.end()).size() == 300;
        },
        120000));
    // Records are read again from their resume point until the topic is
    // there: each at least once. The records queued after the refused ones
    // may reach the topic first, so the refused ones come again with them
    // (one read again, as the README says), each pass in order.
    EXPECT_TRUE(EachOnceInPasses(NumbersByHost("not-made-yet")[kHostA], 300, 2));
    client.SendLine("LOGOUT");
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
}

// The SASL_SSL listener with SCRAM-SHA-512, as a site runs Kafka. librdkafka
// before 2.6.1 (Debian 12 has 2.0.2) sends a SCRAM proof Kafka 4 brokers
// refuse, so with such a library the broker is of the 3.9 line.
class KafkaBrokerSaslSsl : public KafkaListenerFixture {
  protected:
    static void SetUpTestSuite() {
        broker.Start(rd_kafka_version() >= 0x020601ff ? "" : KafkaBroker::kThreeNine);
    }
    static void TearDownTestSuite() { broker.Stop(); }

    void SetUp() override {
        REQUIRE_BROKER(broker);
        topic = TopicOfThisTest();
        SimStoreFixture::SetUp();
        AddHost(kHostA);
        AddHost(kHostB);
    }
    // Writes quellon.ini for the SASL_SSL listener with this password.
    void WriteIniWithPassword(const std::string& password) {
        kafkaExtra = "TOPIC=" + topic + "\nNOTICETOPIC=" + topic +
                     "-notices\n"
                     "security.protocol=SASL_SSL\nsasl.mechanism=SCRAM-SHA-512\n"
                     "sasl.username=" +
                     broker->Value("user") + "\nsasl.password=" + password +
                     "\nssl.ca.location=" + broker->Value("ca") + "\n";
        WriteIni();
    }
    std::string Bootstraps() override { return broker->SaslSsl(); }
    // Read back through the SASL_SSL listener too.
    std::vector<KafkaMessage> ReadTopic(const std::string& name) override {
        return broker->ReadSecured(name, broker->Value("user"), broker->Value("password"));
    }

    // Whether a file of the run shows a password.
    void ExpectNoSecretIn(const std::string& file, const std::string& password) {
        const std::string text = ReadWholeFile(file);
        EXPECT_EQ(text.find(password), std::string::npos) << file;
        EXPECT_EQ(text.find(kCredentialPassword), std::string::npos) << file;
    }

    static SharedBroker broker;
    std::string topic;
};
SharedBroker KafkaBrokerSaslSsl::broker;

TEST_F(KafkaBrokerSaslSsl, RightPasswordDeliversEverythingAndNoSecretIsLogged) {
    const std::string password = broker->Value("password");
    WriteIniWithPassword(password);
    auto quellon = Start();
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t i = 0; i < 500; ++i) events.push_back(Event(i % 2 ? "System" : "Security", i));
    Append(kHostA, events);
    Append(kHostB, events);
    ASSERT_TRUE(Eventually(
        [&] {
            auto byHost = NumbersByHost(topic);
            return byHost[kHostA].size() >= 500 && byHost[kHostB].size() >= 250;
        },
        60000));
    auto byHost = NumbersByHost(topic);
    EXPECT_TRUE(InOrderWithRestarts(byHost[kHostA], 500, 0));
    EXPECT_EQ(byHost[kHostA].size(), 500u);
    EXPECT_EQ(byHost[kHostB].size(), 250u);
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
    ExpectNoSecretIn(dir.File("quellon.log"), password);
    ExpectNoSecretIn(out, password);
}

TEST_F(KafkaBrokerSaslSsl, WrongPasswordSaysSoInStatsLosesNothingAndTheRightOneDeliversAll) {
    const std::string wrong = "not-" + broker->Value("password");
    WriteIniWithPassword(wrong);
    auto quellon = Start();
    LineClient client(port, 15000);
    ASSERT_EQ(client.Login("alice", "secret").substr(0, 31), "OK authentication successful (u");
    std::vector<wmi::sim::SimEvent> events;
    for (uint32_t i = 0; i < 200; ++i) events.push_back(Event("System", i));
    Append(kHostA, events);
    std::string stats;
    ASSERT_TRUE(Eventually(
        [&] {
            stats = Reply(client, "STATS");
            if (KafkaStat(stats, "last_error").find("uthentication") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return false;
        },
        60000))
        << stats;
    // The records wait (200 events and 2 notices): none was acknowledged,
    // none given up on.
    EXPECT_EQ(KafkaStat(stats, "acked"), "0") << stats;
    EXPECT_EQ(KafkaStat(stats, "queued"), "202") << stats;
    EXPECT_EQ(KafkaStat(stats, "errors"), "0") << stats;
    EXPECT_NE(ReadWholeFile(dir.File("quellon.log")).find("uthentication"), std::string::npos);
    client.SendLine("LOGOUT");
    // Stopped before anything was acknowledged: the state file keeps every
    // record's resume point, and the right password delivers them all.
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
    ExpectNoSecretIn(dir.File("quellon.log"), wrong);
    ExpectNoSecretIn(out, wrong);
    EXPECT_TRUE(NumbersByHost(topic)[kHostA].empty());

    const std::string right = broker->Value("password");
    WriteIniWithPassword(right);
    quellon = Start();
    ASSERT_TRUE(Eventually([&] { return NumbersByHost(topic)[kHostA].size() >= 200; }, 60000));
    EXPECT_TRUE(InOrderWithRestarts(NumbersByHost(topic)[kHostA], 200, 0));
    quellon->Type("q\n");
    EXPECT_EQ(quellon->WaitForExit(40000), 0);
    ExpectNoSecretIn(dir.File("quellon.log"), right);
    ExpectNoSecretIn(out, right);
}

}  // namespace
