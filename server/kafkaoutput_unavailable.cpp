// The Kafka output where librdkafka is not part of the build (the Windows
// build): there is none, and start-up refuses a [KAFKA] section that turns
// it on before it gets here.
#include "server/kafkasettings.h"

bool KafkaOutputBuilt() { return false; }

std::unique_ptr<CBroadcastSink> StartKafkaOutput(const TKafkaSettings& /*settings*/,
                                                 std::string* error) {
    *error = "KAFKA.BROKERS: the Kafka output is not part of this build";
    return nullptr;
}
