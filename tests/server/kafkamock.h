// Kafka for tests: librdkafka's mock cluster (in-process brokers on
// loopback ports the library picks) and Debian's kcat as an independent
// consumer that reads a topic from its beginning. The cluster lives as long
// as the object; only the test's own thread calls it.
#pragma once

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <rapidjson/document.h>
#include <stdio.h>

#include <string>
#include <vector>

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

    struct Message {
        int partition = -1;
        long long offset = -1;
        std::string key;
        std::string payload;
    };

    // Every message of the topic, as kcat reads it (-C -J -e from the
    // beginning): in offset order within each partition.
    std::vector<Message> Read(const std::string& topic) const {
        const std::string command =
            "kcat -C -q -J -e -o beginning -b " + Bootstraps() + " -t " + topic + " 2>/dev/null";
        std::vector<Message> messages;
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return messages;
        std::string line;
        char buffer[65536];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            line += buffer;
            if (line.empty() || line.back() != '\n') continue;
            rapidjson::Document d;
            d.Parse(line.c_str(), line.size());
            line.clear();
            if (d.HasParseError() || !d.IsObject()) continue;
            Message m;
            m.partition = d["partition"].GetInt();
            m.offset = d["offset"].GetInt64();
            if (d["key"].IsString()) m.key.assign(d["key"].GetString(), d["key"].GetStringLength());
            if (d["payload"].IsString()) {
                m.payload.assign(d["payload"].GetString(), d["payload"].GetStringLength());
            }
            messages.push_back(std::move(m));
        }
        pclose(pipe);
        return messages;
    }

  private:
    rd_kafka_t* handle = nullptr;
    rd_kafka_mock_cluster_t* cluster = nullptr;
};
