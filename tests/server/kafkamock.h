// Kafka for tests: librdkafka's mock cluster (in-process brokers on
// loopback ports the library picks), read back by kcat (tests/server/kcat.h).
// The cluster lives as long as the object; only the test's own thread calls
// it.
#pragma once

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <string>
#include <vector>

#include "tests/server/kcat.h"

class KafkaMock {
  public:
    // A cluster of `brokers` brokers with the topics given, each of
    // `partitions` partitions replicated on every broker.
    KafkaMock(int brokers, const std::vector<std::string>& topics, int partitions = 3) {
        rd_kafka_conf_t* conf = rd_kafka_conf_new();
        char reason[256];
        // The handle only keeps the cluster; it sends nothing.
        rd_kafka_conf_set(conf, "log_level", "0", reason, sizeof reason);
        handle = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason);
        cluster = rd_kafka_mock_cluster_new(handle, brokers);
        for (const std::string& topic : topics) {
            rd_kafka_mock_topic_create(cluster, topic.c_str(), partitions, brokers);
        }
    }
    ~KafkaMock() {
        if (cluster != nullptr) rd_kafka_mock_cluster_destroy(cluster);
        if (handle != nullptr) rd_kafka_destroy(handle);
    }
    KafkaMock(const KafkaMock&) = delete;
    KafkaMock& operator=(const KafkaMock&) = delete;

    bool Ok() const { return cluster != nullptr; }
    std::string Bootstraps() const { return rd_kafka_mock_cluster_bootstraps(cluster); }
    void BrokerDown(int id) { rd_kafka_mock_broker_set_down(cluster, id); }
    void BrokerUp(int id) { rd_kafka_mock_broker_set_up(cluster, id); }
    void SetLeader(const std::string& topic, int partition, int broker) {
        rd_kafka_mock_partition_set_leader(cluster, topic.c_str(), partition, broker);
    }
    // The next `count` Produce requests (Kafka API key 0) are answered with
    // `error`.
    void FailProduce(size_t count, rd_kafka_resp_err_t error) {
        std::vector<rd_kafka_resp_err_t> errors(count, error);
        rd_kafka_mock_push_request_errors_array(cluster, 0, errors.size(), errors.data());
    }

    using Message = KafkaMessage;

    // Every message of the topic, as kcat reads it.
    std::vector<Message> Read(const std::string& topic) const {
        return KcatRead(Bootstraps(), topic);
    }

  private:
    rd_kafka_t* handle = nullptr;
    rd_kafka_mock_cluster_t* cluster = nullptr;
};
