// The quellon program in console mode with TLS switched on, driven by the
// openssl command-line client: the whole path from the configuration file to
// an encrypted session, and the fatal start-up texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/app/builtprogram.h"
#include "tests/app/quellonprocess.h"
#include "tests/app/tempdir.h"
#include "tests/serverframework/loopbackport.h"
#include "tests/serverframework/tls_test_support.h"

namespace {

using tlstest::TestCerts;

class QuellonTlsTest : public ::testing::Test {
  protected:
    // Writes the configuration file with TLS on and returns its path; `drop`
    // names an SSL entry to leave out, `password` replaces the key password.
    std::string Ini(const std::string& drop = "", const std::string* password = nullptr,
                    const std::string& dhFile = "") {
        const auto& certs = TestCerts();
        std::vector<std::pair<std::string, std::string>> ssl = {
            {"SSLENABLED", "True"},
            {"SSLPORT", std::to_string(tlsPort)},
            {"SERVERCERTFILE", certs.serverPem},
            {"SERVERCERTPASSWORD", password != nullptr ? *password : certs.password},
            {"DHFILE", dhFile.empty() ? certs.dhPem : dhFile},
            {"CALIST", certs.caList},
        };
        std::string text = "[LISTEN]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(plainPort) +
                           "\n[Logger]\nfilename=" + dir.File("quellon.log") +
                           "\nlevel=DEBUG\n[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n[SSL]\n";
        for (const auto& [key, value] : ssl) {
            if (key != drop) text += key + "=" + value + "\n";
        }
        return dir.Write("quellon.ini", text);
    }

    // Runs the openssl client with the given options; its input lines are
    // typed half a second apart, since the server takes one command per read.
    std::string OpensslClient(const std::string& options, const std::vector<std::string>& lines) {
        std::string script = "(";
        for (const std::string& line : lines) script += "printf '" + line + "\\r\\n'; sleep 0.5; ";
        script +=
            "true) | timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(tlsPort) +
            " -quiet -brief -servername localhost " + options + " > '" + dir.File("client.out") +
            "' 2>&1";
        int status = std::system(script.c_str());
        (void)status;
        return ReadWholeFile(dir.File("client.out"));
    }

    TempDir dir;
    uint16_t plainPort = FreePort();
    uint16_t tlsPort = FreePort();
};

TEST_F(QuellonTlsTest, ServesTlsClientsOnTheTlsPortOnly) {
    QuellonProcess quellon(BuiltProgram("quellon"), Ini(), dir.File("out"), dir.File("err"));
    ASSERT_TRUE(quellon.WaitForOutput("Press Q to quit\r\n", 20000))
        << ReadWholeFile(dir.File("out"));
    EXPECT_FALSE(TcpConnects(plainPort));

    std::string session = OpensslClient("-CAfile '" + TestCerts().caPem + "' -verify_return_error",
                                        {"LOGIN alice secret", "NOOP", "LOGOUT"});
    EXPECT_NE(session.find("Protocol version: TLSv1.2"), std::string::npos) << session;
    EXPECT_NE(session.find("Verification: OK"), std::string::npos) << session;
    EXPECT_NE(session.find("200 Halcrest WMI Event Listener (v5.5 build "), std::string::npos)
        << session;
    EXPECT_NE(session.find("OK authentication successful (users=1)\r\n"), std::string::npos)
        << session;
    EXPECT_NE(session.find("OK noop\r\n"), std::string::npos) << session;

    for (const char* version : {"-tls1_1", "-tls1_3"}) {
        std::string refused = OpensslClient(std::string(version) + " -cipher DEFAULT@SECLEVEL=0",
                                            {"LOGIN alice secret"});
        EXPECT_EQ(refused.find("200 "), std::string::npos) << version << "\n" << refused;
    }

    EXPECT_TRUE(quellon.Type("q\n"));
    EXPECT_EQ(0, quellon.WaitForExit(60000));
    EXPECT_NE(ReadWholeFile(dir.File("out")).find("Shutting down..."), std::string::npos);
}

TEST_F(QuellonTlsTest, SetUpFailuresEndTheProgramWithTheirText) {
    const std::string wrong = "wrong password";
    const std::string tooLong(4097, 'p');
    struct Case {
        const char* label;
        const std::string* password;
        std::string dhFile;
        std::string text;
    };
    const Case cases[] = {
        {"wrong key password", &wrong, "", "Error setting the key file in _use_PrivateKey_file()"},
        {"missing DH file", nullptr, dir.File("missing-dh.pem"), "Couldn't open DH file"},
        {"password of 4097 characters", &tooLong, "",
         "Unexpected condition: password is too long."},
    };
    for (const Case& c : cases) {
        QuellonProcess quellon(BuiltProgram("quellon"), Ini("", c.password, c.dhFile),
                               dir.File("out"), dir.File("err"));
        EXPECT_EQ(0, quellon.WaitForExit(20000)) << c.label;
        std::string out = ReadWholeFile(dir.File("out"));
        EXPECT_NE(out.find(c.text + "\n"), std::string::npos) << c.label << "\n" << out;
        EXPECT_EQ(out.find("Press Q to quit"), std::string::npos) << c.label;
        EXPECT_NE(ReadWholeFile(dir.File("err")).find(c.text + "\r\n"), std::string::npos)
            << c.label;
        EXPECT_NE(
            ReadWholeFile(dir.File("quellon.log")).find("Fatal error: " + c.text + " ... Exiting"),
            std::string::npos)
            << c.label;
        EXPECT_FALSE(TcpConnects(tlsPort)) << c.label;
    }
}

// A TLS port that reads as 0 must not leave the protocol on the plain port.
TEST_F(QuellonTlsTest, TlsPortZeroOpensNoPlainPort) {
    for (const char* value : {"0", "none", "65536"}) {
        std::string ini = ReadWholeFile(Ini());
        std::string::size_type at = ini.find("SSLPORT=");
        std::string::size_type end = ini.find('\n', at);
        ini.replace(at, end - at, std::string("SSLPORT=") + value);
        QuellonProcess quellon(BuiltProgram("quellon"), dir.Write("quellon.ini", ini),
                               dir.File("out"), dir.File("err"));
        // Start-up ends with the reason instead of serving anything.
        EXPECT_EQ(0, quellon.WaitForExit(20000)) << value;
        std::string out = ReadWholeFile(dir.File("out"));
        EXPECT_NE(out.find("Error: SSL.SSLPORT is not a port number"), std::string::npos)
            << value << "\n"
            << out;
        EXPECT_EQ(out.find("Press Q to quit"), std::string::npos) << value;
        EXPECT_FALSE(TcpConnects(plainPort)) << value;
    }
}

TEST_F(QuellonTlsTest, MissingTlsKeyEndsStartWithOneLine) {
    for (const char* key :
         {"SSLPORT", "SERVERCERTFILE", "SERVERCERTPASSWORD", "DHFILE", "CALIST"}) {
        std::string ini = Ini(key);
        QuellonProcess quellon(BuiltProgram("quellon"), ini, dir.File("out"), dir.File("err"));
        EXPECT_EQ(0, quellon.WaitForExit(20000)) << key;
        std::string out = ReadWholeFile(dir.File("out"));
        EXPECT_NE(out.find(std::string("SSL.") + key + " is not set"), std::string::npos)
            << key << "\n"
            << out;
        EXPECT_EQ(out.find("Press Q to quit"), std::string::npos) << key;
    }
}

}  // namespace
