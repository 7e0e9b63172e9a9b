// Standing subscriptions: the forms of a [SUBSCRIPTIONS] value, the entries
// refused with the one line that names them, credentials by reference, and
// the configuration dump that start-up logs, which must hold no password.
#include "app/standingsubscriptions.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/app/tempdir.h"
#include "tests/app/testglobals.h"

namespace {

const std::map<std::string, std::string> kCredentials = {
    {"READER", "CORP\\reader s3cret"},
    {"SPACED", "  bob   two words  "},
    {"NOPASSWORD", "onlyuser"},
};

TEST(StandingSubscription, FormsAsAddWritesThem) {
    struct Case {
        const char* value;
        const char* host;
        const char* category;
        const char* severity;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {"10.0.0.5 Security * reader", "10.0.0.5", "Security", "*", "CORP\\reader", "s3cret"},
        {"web1 \"Directory Service\" 2", "web1", "Directory Service", "2", "", ""},
        {"  h\tSystem   3  ", "h", "System", "3", "", ""},
        {"h \"A B\" * READER", "h", "A B", "*", "CORP\\reader", "s3cret"},
        // Blanks inside a password are kept; those around it are not.
        {"h System 5 spaced", "h", "System", "5", "bob", "two words"},
    };
    for (const Case& c : cases) {
        TStandingSubscription s;
        std::string error;
        ASSERT_TRUE(ParseStandingSubscription("E", c.value, kCredentials, &s, &error))
            << c.value << ": " << error;
        EXPECT_EQ(s.host, c.host) << c.value;
        EXPECT_EQ(s.category, c.category) << c.value;
        EXPECT_EQ(s.severity, c.severity) << c.value;
        EXPECT_EQ(s.user, c.user) << c.value;
        EXPECT_EQ(s.password, c.password) << c.value;
    }
}

TEST(StandingSubscription, BadEntriesAreRefusedWithOneLineNamingThem) {
    struct Case {
        const char* value;
        const char* reason;  // part of the line
    };
    const Case cases[] = {
        {"", "is not \"host category severity [credential]\""},
        {"h System", "is not \"host category severity [credential]\""},
        {"h System 3 reader extra", "is not \"host category severity [credential]\""},
        {"h \"Directory Service 3", "double quote that is not closed"},
        {"h \"A B\"x 3", "double quote that is not closed"},
        {"h:1 System 3", "no usable host"},
        {"h Sys:tem 3", "no usable category"},
        // The severities REPLAY refuses.
        {"h System 12", "severity that is not 1 to 5 or *: \"12\""},
        {"h System x", "severity that is not 1 to 5 or *: \"x\""},
        {"h System 0", "severity that is not 1 to 5 or *: \"0\""},
        {"h System 6", "severity that is not 1 to 5 or *: \"6\""},
        {"h System 9", "severity that is not 1 to 5 or *: \"9\""},
        // Words past the fourth (a password written in place of a
        // credential's name) are not quoted.
        {"h System 3 CORP\\reader s3cret",
         "is not \"host category severity [credential]\": \"h System 3 CORP\\reader ****\""},
        {"h System 3 writer", "names credential \"writer\", which [CREDENTIALS] does not have"},
        {"h System 3 nopassword", "whose value is not \"user password\""},
    };
    for (const Case& c : cases) {
        TStandingSubscription s;
        std::string error;
        EXPECT_FALSE(ParseStandingSubscription("DC1", c.value, kCredentials, &s, &error))
            << c.value;
        EXPECT_EQ(error.rfind("SUBSCRIPTIONS.DC1 ", 0), 0u) << c.value << ": " << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.value << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.value;
        EXPECT_EQ(error.find("s3cret"), std::string::npos) << c.value;
    }
}

TEST(StandingSubscription, TheSectionsOfAConfigurationFile) {
    TempDir dir;
    TestGlobals globals;
    globals.LoadConfig(dir,
                       "[SUBSCRIPTIONS]\n"
                       "dc1-security=10.0.0.5 Security * reader\n"
                       "web1=10.0.0.9 \"Directory Service\" 2\n"
                       "[CREDENTIALS]\n"
                       "reader=CORP\\reader s3cret\n"
                       "[KAFKA]\n"
                       "BROKERS=127.0.0.1:1\n"
                       "sasl.password=k4fka-pw\n"
                       "sasl.oauthbearer.client.secret=0auth-secret\n"
                       "ssl.key.pem=PEM-KEY-TEXT\n"
                       "compression.type=zstd\n");
    std::string error;
    std::vector<TStandingSubscription> list = ReadStandingSubscriptions(&error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "DC1-SECURITY");
    EXPECT_EQ(list[0].user, "CORP\\reader");
    EXPECT_EQ(list[0].password, "s3cret");
    EXPECT_EQ(list[1].category, "Directory Service");

    // The start-up dump masks the credentials and the Kafka secrets, and
    // keeps what is no secret.
    const std::string dump = g_config->ListPairsMasked();
    for (const char* secret : {"s3cret", "CORP\\reader", "k4fka-pw", "0auth-secret", "PEM-KEY"}) {
        EXPECT_EQ(dump.find(secret), std::string::npos) << secret << " in " << dump;
    }
    EXPECT_NE(dump.find("KAFKA.COMPRESSION.TYPE=zstd"), std::string::npos) << dump;
    EXPECT_NE(dump.find("SUBSCRIPTIONS.WEB1=10.0.0.9"), std::string::npos) << dump;
}

// One host's log is one subscription: log names compare without regard to
// case, and a second entry for it (another severity too, which ADD would
// take as a replacement) is refused, naming both entries.
TEST(StandingSubscription, TwinsAreRefusedNamingBothEntries) {
    struct Case {
        const char* entries;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {"a=host System *\nb=host System 2\n",
         "SUBSCRIPTIONS.B is the same subscription as SUBSCRIPTIONS.A: \"host System\""},
        {"a=host System *\nb=host SYSTEM *\n",
         "SUBSCRIPTIONS.B is the same subscription as SUBSCRIPTIONS.A: \"host SYSTEM\""},
        {"a=host \"Directory Service\" 1\nb=host \"directory service\" 3\n",
         "SUBSCRIPTIONS.B is the same subscription as SUBSCRIPTIONS.A: \"host directory "
         "service\""},
        {"a=host System *\nb=host Security *\nc=other System *\n", ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        TestGlobals globals;
        globals.LoadConfig(dir, std::string("[SUBSCRIPTIONS]\n") + c.entries);
        std::string error;
        const std::vector<TStandingSubscription> list = ReadStandingSubscriptions(&error);
        EXPECT_EQ(error, c.error) << c.entries;
        EXPECT_EQ(list.empty(), *c.error != '\0') << c.entries;
    }
}

TEST(StandingSubscription, AMissingCredentialEndsTheReading) {
    TempDir dir;
    TestGlobals globals;
    globals.LoadConfig(dir, "[SUBSCRIPTIONS]\na=h System 3\nb=h Security 3 nobody\n");
    std::string error;
    EXPECT_TRUE(ReadStandingSubscriptions(&error).empty());
    EXPECT_EQ(error.rfind("SUBSCRIPTIONS.B names credential \"nobody\"", 0), 0u) << error;
}

}  // namespace
