// The rules that keep secrets out of the settings' listing and refusals:
// which entry names hold one, and how much of a value may be quoted.
#include "base/secretmask.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SecretMask, NamesThatHoldASecret) {
    struct Case {
        const char* name;
        bool secret;
    };
    const Case cases[] = {
        {"PASSWORD", true},
        {"serverCertPassword", true},
        {"sasl.oauthbearer.client.secret", true},
        {"ApiToken", true},
        {"ssl.key.pem", true},
        {"ssl_key", true},
        {"sasl.jaas.config", true},
        {"SASL.JAAS.CONFIG", true},
        {"sasl.oauthbearer.config", true},
        {"sasl.username", false},
        {"compression.type", false},
        {"BROKERS", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(NamesSecret(c.name), c.secret) << c.name;
}

TEST(SecretMask, ValuesAreQuotedUpToTheirFourthWord) {
    struct Case {
        const char* value;
        const char* shown;
    };
    const Case cases[] = {
        {"h System * CORP\\reader pw", "h System * CORP\\reader ****"},
        {"h System * reader", "h System * reader"},
        {"h System * reader   ", "h System * reader   "},
        {"h\tSystem\t*\treader\tpw more", "h\tSystem\t*\treader\t****"},
        {"h \"Directory Service\" 2 reader pw", "h \"Directory Service\" 2 reader ****"},
        {"h \"Directory Service 2 reader pw", "h ****"},
        {"h \"A B\"x 2 reader pw", "h \"A B\"x 2 reader ****"},
        {"  h a b c d", "  h a b c ****"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(KeepWords(c.value, 4), c.shown) << c.value;
}

}  // namespace
