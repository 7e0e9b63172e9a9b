// Start-up's reading of the [KAFKA] section: the keys it knows, the others
// handed to librdkafka lower-cased, the queue bound's range, and a section
// that turns the output on refused where the build has no Kafka output.
#include "app/startup.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/app/tempdir.h"
#include "tests/app/testglobals.h"

namespace {

TEST(KafkaSettings, TheSectionsKeysAndLibraryProperties) {
    TempDir dir;
    TestGlobals globals;
    globals.LoadConfig(dir,
                       "[KAFKA]\n"
                       "TOPIC=events\n"
                       "NoticeTopic=notices\n"
                       "QUEUEBYTES=1048576\n"
                       "Compression.Type=zstd\n"
                       "linger.ms=5\n");
    std::string error;
    TKafkaSettings kafka = ReadKafkaSettings(&error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(kafka.brokers, "");  // no BROKERS: the output is off
    EXPECT_EQ(kafka.topic, "events");
    EXPECT_EQ(kafka.noticeTopic, "notices");
    EXPECT_EQ(kafka.queueBytes, 1048576u);
    ASSERT_EQ(kafka.properties.size(), 2u);
    EXPECT_EQ(kafka.properties[0].first, "compression.type");
    EXPECT_EQ(kafka.properties[0].second, "zstd");
    EXPECT_EQ(kafka.properties[1].first, "linger.ms");
}

TEST(KafkaSettings, QueueBytesInItsRange) {
    struct Case {
        const char* value;
        bool accepted;
    };
    const Case cases[] = {
        {"1048575", false}, {"1048576", true}, {"1099511627776", true}, {"1099511627777", false},
        {"12MB", false},    {"", false},       {"-1048576", false},     {"268435456", true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        TestGlobals globals;
        globals.LoadConfig(dir, std::string("[KAFKA]\nQUEUEBYTES=") + c.value + "\n");
        std::string error;
        TKafkaSettings kafka = ReadKafkaSettings(&error);
        if (c.accepted) {
            EXPECT_EQ(error, "") << c.value;
            EXPECT_EQ(std::to_string(kafka.queueBytes), c.value) << c.value;
        } else {
            EXPECT_EQ(error.rfind("KAFKA.QUEUEBYTES is not a number", 0), 0u)
                << c.value << ": " << error;
        }
    }
}

// BROKERS turns the output on: read as it is where the build has the
// output (Linux), refused with one line where it has not (Windows). Blank
// BROKERS leave it off everywhere.
TEST(KafkaSettings, BrokersTurnTheOutputOnWhereTheBuildHasIt) {
    TempDir dir;
    TestGlobals globals;
    globals.LoadConfig(dir, "[KAFKA]\nBROKERS=127.0.0.1:9092\n");
    std::string error;
    TKafkaSettings kafka = ReadKafkaSettings(&error);
    if (KafkaOutputBuilt()) {
        EXPECT_EQ(error, "");
        EXPECT_EQ(kafka.brokers, "127.0.0.1:9092");
    } else {
        EXPECT_EQ(error.rfind("KAFKA.BROKERS is set, but this build has no Kafka output", 0), 0u)
            << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }

    globals.LoadConfig(dir, "[KAFKA]\nBROKERS=  \t\nTOPIC=t\n");
    error.clear();
    kafka = ReadKafkaSettings(&error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(kafka.brokers, "");
}

}  // namespace
