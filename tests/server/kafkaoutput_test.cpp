// The Kafka output against librdkafka's mock cluster (three brokers on
// loopback), read back by kcat: every record once and in order per host,
// keyed by host; brokers that go down and come back and a partition leader
// that moves lose nothing; with every broker down the queue fills to its
// bound, the output says it is blocked, and everything arrives once the
// brokers are back. Each delivery mark is reported once, delivered when the
// broker took every record of its call and not delivered when one was lost.
#include "server/kafkaoutput.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/eventually.h"
#include "tests/server/kafkamock.h"

namespace {

const char* const kTopic = "events";
const char* const kNotices = "notices";

// Every settled mark with how often it was reported delivered and not.
class RecordingReports : public CDeliveryReports {
  public:
    void Settled(uint64_t mark, bool delivered) override {
        std::lock_guard<std::mutex> guard(mutex);
        auto& counts = settled[mark];
        (delivered ? counts.first : counts.second) += 1;
    }
    std::map<uint64_t, std::pair<int, int>> Settled() {
        std::lock_guard<std::mutex> guard(mutex);
        return settled;
    }

  private:
    std::mutex mutex;
    std::map<uint64_t, std::pair<int, int>> settled;
};

class KafkaOutputTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(mock.Ok()); }

    std::unique_ptr<CKafkaOutput> Output(
        uint64_t queueBytes = 256ull << 20,
        std::vector<std::pair<std::string, std::string>> more = {}) {
        TKafkaSettings settings;
        settings.brokers = mock.Bootstraps();
        settings.topic = kTopic;
        settings.noticeTopic = kNotices;
        settings.queueBytes = queueBytes;
        settings.properties = {{"linger.ms", "2"}, {"log_level", "0"}};
        settings.properties.insert(settings.properties.end(), more.begin(), more.end());
        auto output = std::make_unique<CKafkaOutput>(settings);
        std::string error;
        EXPECT_TRUE(output->Start(&error)) << error;
        output->ReportDeliveryTo(&reports);
        return output;
    }

    // The events of one poll of `host`: records first..first+count-1.
    std::vector<TOutputItem> Events(const std::string& host, int first, int count,
                                    size_t padding = 0) {
        std::vector<TOutputItem> items;
        for (int n = first; n < first + count; ++n) {
            TEventData e;
            e.host = host;
            e[TEventProperty::RecordNumber].kind = TEventValue::TKind::Number;
            e[TEventProperty::RecordNumber].text = std::to_string(n);
            e[TEventProperty::Message].kind = TEventValue::TKind::Text;
            e[TEventProperty::Message].text =
                "message " + std::to_string(n) + "\r\n" + std::string(padding, 'x');
            e.log = "System";
            e.position.recordNumber = n;
            e.positioned = true;
            items.emplace_back(std::move(e));
        }
        return items;
    }

    // Record numbers per key, in the order kcat read them (one partition
    // per key, so in offset order).
    std::map<std::string, std::vector<int64_t>> ReadBack() {
        std::map<std::string, std::vector<int64_t>> byHost;
        for (const KafkaMock::Message& m : mock.Read(kTopic)) {
            rapidjson::Document d;
            d.Parse(m.payload.c_str(), m.payload.size());
            EXPECT_FALSE(d.HasParseError()) << m.payload;
            if (d.HasParseError()) continue;
            EXPECT_EQ(m.key, d["Host"].GetString()) << m.payload;
            byHost[m.key].push_back(d["RecordNumber"].GetInt64());
        }
        return byHost;
    }

    static std::vector<int64_t> Range(int64_t first, int64_t count) {
        std::vector<int64_t> numbers;
        for (int64_t n = first; n < first + count; ++n) numbers.push_back(n);
        return numbers;
    }

    KafkaMock mock{3, {kTopic, kNotices}};
    RecordingReports reports;
};

TEST_F(KafkaOutputTest, EveryRecordOnceInOrderPerHostKeyedByHost) {
    auto output = Output();
    const std::vector<std::string> hosts = {"10.0.0.1", "10.0.0.2", "dc1.corp"};
    uint64_t mark = 0;
    for (int batch = 0; batch < 10; ++batch) {
        for (const std::string& host : hosts) {
            output->Deliver(Events(host, 1 + batch * 50, 50), ++mark);
        }
    }
    TNotice notice;
    notice.kind = TNoticeKind::ConnectionFailed;
    notice.host = "10.0.0.1";
    notice.category = "*";
    notice.severity = "*";
    notice.error = "down";
    output->Deliver({TOutputItem(notice)}, 0);
    ASSERT_TRUE(Eventually([&] { return output->AcknowledgedRecords() == 1501; }, 30000))
        << output->AcknowledgedRecords();
    EXPECT_EQ(output->QueuedRecords(), 0u);
    EXPECT_EQ(output->QueuedBytes(), 0u);
    const auto byHost = ReadBack();
    ASSERT_EQ(byHost.size(), hosts.size());
    for (const std::string& host : hosts) {
        EXPECT_EQ(byHost.at(host), Range(1, 500)) << host;
    }
    // Every mark once, delivered; none for the notice's 0.
    const auto settled = reports.Settled();
    ASSERT_EQ(settled.size(), mark);
    for (const auto& [m, counts] : settled) {
        EXPECT_EQ(counts, std::make_pair(1, 0)) << m;
    }
    std::vector<KafkaMock::Message> notices = mock.Read(kNotices);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].key, "10.0.0.1");
    EXPECT_NE(notices[0].payload.find("\"Notice\":\"CONNECTION_FAILED\""), std::string::npos);
    const std::string stats = output->StatisticsLines().at(0);
    EXPECT_NE(stats.find("kafka brokers_up="), std::string::npos) << stats;
    EXPECT_NE(stats.find(" queued=0 queued_bytes=0 acked=1501 "), std::string::npos) << stats;
}

// A loopback port nothing listens on (bound, read back and closed).
uint16_t ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

// brokers_up counts the brokers of the cluster's metadata that are up,
// though the producer connects only to those it needs; with no broker of
// the bootstrap list answering, none of its entries.
TEST_F(KafkaOutputTest, BrokersUpCountsTheBrokersOfTheCluster) {
    struct Case {
        const char* what;
        bool cluster;  // the mock cluster; else three ports nobody listens on
        const char* expected;
    };
    const Case cases[] = {
        {"every broker up", true, "kafka brokers_up=3/3 "},
        {"no broker answers", false, "kafka brokers_up=0/3 "},
    };
    for (const Case& c : cases) {
        std::unique_ptr<CKafkaOutput> output;
        if (c.cluster) {
            output = Output();
            output->Deliver(Events("10.0.0.1", 1, 10), 0);
        } else {
            TKafkaSettings settings;
            for (int i = 0; i < 3; ++i) {
                settings.brokers +=
                    (i == 0 ? "" : ",") + std::string("127.0.0.1:") + std::to_string(ClosedPort());
            }
            settings.topic = kTopic;
            settings.noticeTopic = kNotices;
            settings.queueBytes = 1 << 20;
            settings.properties = {{"log_level", "0"}};
            output = std::make_unique<CKafkaOutput>(settings);
            std::string error;
            ASSERT_TRUE(output->Start(&error)) << c.what << ": " << error;
        }
        std::string stats;
        EXPECT_TRUE(Eventually(
            [&] {
                stats = output->StatisticsLines().at(0);
                return stats.rfind(c.expected, 0) == 0;
            },
            20000))
            << c.what << ": " << stats;
    }
}

TEST_F(KafkaOutputTest, ABrokerDownAndUpAndALeaderMovedLoseNothing) {
    auto output = Output();
    std::thread producer([&] {
        for (int batch = 0; batch < 40; ++batch) {
            output->Deliver(Events("10.0.0.1", 1 + batch * 50, 50), 0);
            output->Deliver(Events("10.0.0.2", 1 + batch * 50, 50), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mock.BrokerDown(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mock.BrokerUp(1);
    for (int partition = 0; partition < 3; ++partition) mock.SetLeader(kTopic, partition, 2);
    producer.join();
    ASSERT_TRUE(Eventually([&] { return output->QueuedRecords() == 0; }, 60000))
        << output->QueuedRecords();
    const auto byHost = ReadBack();
    for (const char* host : {"10.0.0.1", "10.0.0.2"}) {
        // Every record at least once, the first of each in order.
        std::vector<int64_t> seen = byHost.count(host) ? byHost.at(host) : std::vector<int64_t>{};
        std::set<int64_t> distinct(seen.begin(), seen.end());
        EXPECT_EQ(distinct.size(), 2000u) << host;
        std::vector<int64_t> firsts;
        std::set<int64_t> had;
        for (int64_t n : seen) {
            if (had.insert(n).second) firsts.push_back(n);
        }
        EXPECT_EQ(firsts, Range(1, 2000)) << host;
    }
}

TEST_F(KafkaOutputTest, WithEveryBrokerDownTheQueueFillsToItsBoundThenEverythingArrives) {
    const uint64_t bound = 1u << 20;
    auto output = Output(bound);
    for (int id = 1; id <= 3; ++id) mock.BrokerDown(id);
    // About 1 KiB a record: the bound is reached after about a thousand.
    int delivered = 0;
    while (!output->Blocked() && delivered < 100000) {
        output->Deliver(Events("10.0.0.1", 1 + delivered, 50, 1000), 0);
        delivered += 50;
    }
    ASSERT_TRUE(output->Blocked());
    EXPECT_GE(output->QueuedBytes(), bound);
    // One poll's records past the bound at most.
    EXPECT_LT(output->QueuedBytes(), bound + 50 * 1500);
    EXPECT_EQ(output->AcknowledgedRecords(), 0u);
    for (int id = 1; id <= 3; ++id) mock.BrokerUp(id);
    ASSERT_TRUE(Eventually([&] { return output->QueuedRecords() == 0; }, 60000))
        << output->QueuedRecords();
    EXPECT_FALSE(output->Blocked());
    std::vector<int64_t> seen = ReadBack()["10.0.0.1"];
    EXPECT_EQ(std::set<int64_t>(seen.begin(), seen.end()).size(), static_cast<size_t>(delivered));
    EXPECT_EQ(seen.front(), 1);
}

// At its bound the output refuses events (their mark settled not delivered
// at once, so the engine reads them again later) and still takes notices;
// with room again it takes events again.
TEST_F(KafkaOutputTest, AtItsBoundEventsAreRefusedAndNoticesStillGo) {
    auto output = Output(1u << 20);
    for (int id = 1; id <= 3; ++id) mock.BrokerDown(id);
    int delivered = 0;
    while (!output->Blocked() && delivered < 100000) {
        output->Deliver(Events("10.0.0.1", 1 + delivered, 50, 1000), 0);
        delivered += 50;
    }
    ASSERT_TRUE(output->Blocked());
    const uint64_t queued = output->QueuedRecords();
    output->Deliver(Events("10.0.0.1", 1 + delivered, 10), 7);
    EXPECT_EQ(reports.Settled().count(7), 1u) << "the mark waits for records never queued";
    EXPECT_EQ(reports.Settled()[7], std::make_pair(0, 1));
    TNotice notice;
    notice.kind = TNoticeKind::ConnectionFailed;
    notice.host = "10.0.0.1";
    notice.error = "down";
    output->Deliver({TOutputItem(notice)}, 0);
    EXPECT_EQ(output->QueuedRecords(), queued + 1) << "the notice is queued, the events not";

    for (int id = 1; id <= 3; ++id) mock.BrokerUp(id);
    ASSERT_TRUE(Eventually([&] { return output->QueuedRecords() == 0; }, 60000));
    output->Deliver(Events("10.0.0.1", 1 + delivered, 10), 8);
    ASSERT_TRUE(Eventually([&] { return reports.Settled().count(8) == 1; }, 30000));
    EXPECT_EQ(reports.Settled()[8], std::make_pair(1, 0));
    std::vector<int64_t> seen = ReadBack()["10.0.0.1"];
    EXPECT_EQ(seen.size(), static_cast<size_t>(delivered + 10));
    EXPECT_EQ(mock.Read(kNotices).size(), 1u);
}

// A call whose records are not all taken leaves its mark not delivered,
// whichever record was lost; a mark for nothing is settled at once.
TEST_F(KafkaOutputTest, AMarkIsDeliveredOnlyWhenEveryRecordOfItsCallWas) {
    // A record above message.max.bytes is refused when it is queued.
    auto output = Output(256ull << 20, {{"message.max.bytes", "4000"}});
    std::vector<TOutputItem> lostLast = Events("10.0.0.1", 1, 3);
    std::vector<TOutputItem> big = Events("10.0.0.1", 4, 1, 10000);
    lostLast.push_back(big.front());
    std::vector<TOutputItem> lostFirst = Events("10.0.0.1", 5, 1, 10000);
    for (TOutputItem& item : Events("10.0.0.1", 6, 3)) lostFirst.push_back(std::move(item));
    output->Deliver(lostLast, 1);
    output->Deliver(Events("10.0.0.1", 9, 3), 2);
    output->Deliver(lostFirst, 3);
    output->Deliver({}, 4);
    ASSERT_TRUE(Eventually([&] { return reports.Settled().size() == 4; }, 30000));
    const auto settled = reports.Settled();
    EXPECT_EQ(settled.at(1), std::make_pair(0, 1));
    EXPECT_EQ(settled.at(2), std::make_pair(1, 0));
    EXPECT_EQ(settled.at(3), std::make_pair(0, 1));
    EXPECT_EQ(settled.at(4), std::make_pair(0, 1));
    ASSERT_TRUE(Eventually([&] { return output->QueuedRecords() == 0; }, 30000));
    EXPECT_EQ(output->AcknowledgedRecords(), 9u);
    // Once reports are stopped nothing more is reported.
    output->ReportDeliveryTo(nullptr);
    output->Deliver(Events("10.0.0.1", 12, 1), 5);
    ASSERT_TRUE(Eventually([&] { return output->AcknowledgedRecords() == 10u; }, 30000));
    EXPECT_EQ(reports.Settled().count(5), 0u);
}

TEST_F(KafkaOutputTest, ARefusedPropertyIsNamed) {
    TKafkaSettings settings;
    settings.brokers = mock.Bootstraps();
    settings.properties = {{"compression.type", "bogus"}};
    CKafkaOutput output(settings);
    std::string error;
    EXPECT_FALSE(output.Start(&error));
    EXPECT_EQ(error.rfind("KAFKA.compression.type: ", 0), 0u) << error;
}

}  // namespace
