// The [KAFKA] section as start-up reads it, and the one way start-up makes
// the Kafka output from it. The output itself (CKafkaOutput, on
// librdkafka) is part of the Linux build only; where it is not built,
// KafkaOutputBuilt says so and start-up refuses a section that turns it on.
// Plain values and free functions, called by start-up on its one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/broadcastsink.h"

struct TKafkaSettings {
    // KAFKA.BROKERS: the bootstrap list; empty: the output is off.
    std::string brokers;
    std::string topic = "quellon-events";         // KAFKA.TOPIC
    std::string noticeTopic = "quellon-notices";  // KAFKA.NOTICETOPIC
    uint64_t queueBytes = 256ull * 1024 * 1024;   // KAFKA.QUEUEBYTES
    // Every other key of the section, its name lower-cased, for librdkafka.
    std::vector<std::pair<std::string, std::string>> properties;
};

// Whether this build has the Kafka output.
bool KafkaOutputBuilt();

// Makes the Kafka output for settings (brokers set) and starts it. Null,
// with a one-line reason in *error, when librdkafka refuses the
// configuration (naming the property) or the build has no Kafka output.
std::unique_ptr<CBroadcastSink> StartKafkaOutput(const TKafkaSettings& settings,
                                                 std::string* error);
