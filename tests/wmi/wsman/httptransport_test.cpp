// The transport's Negotiate set-up when GSSAPI cannot start: the error must
// name the mechanism and the step that failed, with GSSAPI's reason, and no
// request may go out with some other identity instead. Kerberos here has
// no realm and no tickets (a krb5.conf of its own, an empty ticket cache),
// so acquiring credentials fails at once, before any connection is made.
#include "wmi/wsman/httptransport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/app/tempdir.h"

namespace {

using wmi::wsman::HttpOutcome;
using wmi::wsman::Transport;
using wmi::wsman::TransportSettings;

class NegotiateSetUp : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.Write("krb5.conf",
                  "[libdefaults]\n dns_lookup_kdc = false\n dns_lookup_realm = false\n");
        setenv("KRB5_CONFIG", dir.File("krb5.conf").c_str(), 1);
        setenv("KRB5CCNAME", ("FILE:" + dir.File("ccache")).c_str(), 1);
        setenv("KRB5_CLIENT_KTNAME", dir.File("client.keytab").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KRB5_CONFIG");
        unsetenv("KRB5CCNAME");
        unsetenv("KRB5_CLIENT_KTNAME");
    }
    TempDir dir;
};

TEST_F(NegotiateSetUp, FailedCredentialAcquisitionIsReportedWithItsCause) {
    struct Case {
        const char* user;
        const char* expected;  // the start of the error
    } cases[] = {
        {"CORP\\bob", "Negotiate (kerberos): acquiring Kerberos credentials for bob@CORP: "},
        {"", "Negotiate (kerberos): acquiring the process's own Kerberos credentials: "},
    };
    for (const Case& c : cases) {
        TransportSettings settings;
        settings.auth = "kerberos";
        settings.port = 9;  // never reached: nothing is sent without credentials
        settings.connectTimeoutMs = 1000;
        Transport transport("127.0.0.1", settings, c.user, c.user[0] == '\0' ? "" : "pw");
        HttpOutcome outcome = transport.Post("<s:Envelope/>", 1000);
        EXPECT_EQ(outcome.kind, HttpOutcome::Kind::AccessDenied) << c.user << ": " << outcome.error;
        EXPECT_EQ(outcome.error.rfind(c.expected, 0), 0u) << c.user << ": " << outcome.error;
        // GSSAPI's own words follow the step.
        EXPECT_GT(outcome.error.size(), std::string(c.expected).size()) << c.user;
    }
}

}  // namespace
