// quellon-kafka-mock: librdkafka's mock Kafka cluster as a process of its
// own, for the demo and the Kafka bench: brokers on loopback ports the
// library picks, topics made up front. Prints "BOOTSTRAPS <list>" once the
// cluster runs, then reads commands from standard input, one a line:
//   down N / up N   broker N (1 .. the count) stops / starts answering
//   quit            (or the end of input) ends the cluster
// Usage: quellon-kafka-mock [--brokers N] [--partitions N] [topic ...]
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    int brokers = 3;
    int partitions = 3;
    std::vector<std::string> topics;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--brokers" || arg == "--partitions") && i + 1 < argc) {
            (arg == "--brokers" ? brokers : partitions) = std::atoi(argv[++i]);
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr,
                         "usage: quellon-kafka-mock [--brokers N] [--partitions N] [topic ...]\n");
            return 2;
        } else {
            topics.push_back(arg);
        }
    }
    if (brokers < 1 || partitions < 1) {
        std::fprintf(stderr, "quellon-kafka-mock: --brokers and --partitions take 1 or more\n");
        return 2;
    }
    char reason[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    rd_kafka_conf_set(conf, "log_level", "3", reason, sizeof reason);
    rd_kafka_t* handle = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason);
    if (handle == nullptr) {
        std::fprintf(stderr, "quellon-kafka-mock: %s\n", reason);
        return 1;
    }
    rd_kafka_mock_cluster_t* cluster = rd_kafka_mock_cluster_new(handle, brokers);
    if (cluster == nullptr) {
        std::fprintf(stderr, "quellon-kafka-mock: the mock cluster could not be made\n");
        rd_kafka_destroy(handle);
        return 1;
    }
    for (const std::string& topic : topics) {
        rd_kafka_mock_topic_create(cluster, topic.c_str(), partitions, brokers);
    }
    std::printf("BOOTSTRAPS %s\n", rd_kafka_mock_cluster_bootstraps(cluster));
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        int id = 0;
        if (std::sscanf(line.c_str(), "down %d", &id) == 1) {
            rd_kafka_mock_broker_set_down(cluster, id);
        } else if (std::sscanf(line.c_str(), "up %d", &id) == 1) {
            rd_kafka_mock_broker_set_up(cluster, id);
        } else if (line == "quit") {
            break;
        }
        std::printf("OK %s\n", line.c_str());
        std::fflush(stdout);
    }
    rd_kafka_mock_cluster_destroy(cluster);
    rd_kafka_destroy(handle);
    return 0;
}
