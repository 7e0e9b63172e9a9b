#include "serverframework/sslcontext.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstdio>
#include <string>

#include "base/logger.h"
#include "serverframework/sslsession.h"
#include "tests/app/tempdir.h"
#include "tests/serverframework/tls_test_support.h"

namespace {

using testing::ExitedWithCode;
using testing::HasSubstr;
using tlstest::TempPath;
using tlstest::TestCerts;
using tlstest::WriteFile;
using tlstest::WriteServerPemWithPassword;

struct SetUpFiles {
    std::string certificate;
    std::string password;
    std::string dh;
    std::string caList;
};

SetUpFiles GoodFiles() {
    const auto& certs = TestCerts();
    return {certs.serverPem, certs.password, certs.dhPem, certs.caList};
}

// Runs InitSSL in the current process and checks that a client can complete
// a handshake with the result.
void ExpectUsable(const SetUpFiles& files, const std::string& label) {
    CSslContext context;
    ASSERT_EQ(context.InitSSL(files.certificate, files.password, files.dh, files.caList), 1)
        << label;
    ASSERT_TRUE(context.IsReady()) << label;
    SSL* ssl = context.NewSession();
    ASSERT_NE(ssl, nullptr) << label;
    BIO* in = nullptr;
    BIO* out = nullptr;
    ASSERT_EQ(SslAttachMemoryBios(ssl, &in, &out), 1);
    tlstest::CMemoryClient client;
    bool finished = false;
    for (int round = 0; round < 5 && !finished; ++round) {
        client.Connect();
        std::string flight = client.TakeOutput();
        TSslStepResult step =
            SslFeed(ssl, in, out, flight.data(), static_cast<long>(flight.size()));
        ASSERT_EQ(step.status, 1) << label << ": " << SslErrorText(step.sslError);
        client.Give(step.records);
        finished = step.handshakeFinished;
    }
    EXPECT_TRUE(finished) << label;
    SslFreeSession(ssl);
}

TEST(SslContextTest, LoadsEncryptedKeyChainCaListAndDhParameters) {
    ExpectUsable(GoodFiles(), "test certificates");
}

// OpenSSL hands the password callback a buffer of 1024 bytes, so the longest
// password that can decrypt a key has 1023 characters; up to 4096 characters
// are accepted as long as the key does not need them.
TEST(SslContextTest, PasswordLengthsThatLoad) {
    SetUpFiles files = GoodFiles();
    files.certificate = TempPath("pw1023.pem");
    files.password = std::string(1023, 'k');
    ASSERT_TRUE(WriteServerPemWithPassword(files.certificate, files.password));
    ExpectUsable(files, "encrypted key, 1023-character password");

    files.certificate = TempPath("clear.pem");
    files.password = std::string(4096, 'k');
    ASSERT_TRUE(WriteServerPemWithPassword(files.certificate, ""));
    ExpectUsable(files, "key in the clear, 4096-character password");

    files.password = "";
    ExpectUsable(files, "key in the clear, empty password");
}

// Each failing set-up step ends the process with exit code 0 and its text on
// standard error (CR LF), on standard output (LF) and in the log at FATAL.
TEST(SslContextDeathTest, SetUpFailuresEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const auto& certs = TestCerts();

    std::string keyOnly = TempPath("key-only.pem");
    std::string serverPem = ReadWholeFile(certs.serverPem);
    ASSERT_TRUE(WriteFile(keyOnly, serverPem.substr(serverPem.find("-----BEGIN ENCRYPTED"))));
    // The CA certificate first: the chain then starts with a certificate the
    // key does not belong to.
    std::string mismatch = TempPath("mismatch.pem");
    ASSERT_TRUE(WriteFile(mismatch, ReadWholeFile(certs.caPem) + serverPem));
    std::string ecParams = TempPath("ec.pem");
    ASSERT_EQ(std::system(("openssl ecparam -name prime256v1 -out '" + ecParams + "'").c_str()), 0);
    std::string longKey = TempPath("pw4096.pem");
    ASSERT_TRUE(WriteServerPemWithPassword(longKey, std::string(4096, 'k')));
    std::string pw1024Key = TempPath("pw1024.pem");
    ASSERT_TRUE(WriteServerPemWithPassword(pw1024Key, std::string(1024, 'k')));
    std::string missing = certs.dir + "/does-not-exist.pem";

    struct Case {
        const char* label;
        SetUpFiles files;
        const char* text;
    };
    const SetUpFiles good = GoodFiles();
    const Case cases[] = {
        {"wrong password",
         {good.certificate, "wrong", good.dh, good.caList},
         "Error setting the key file in _use_PrivateKey_file()"},
        {"empty password for an encrypted key",
         {good.certificate, "", good.dh, good.caList},
         "Error setting the key file in _use_PrivateKey_file()"},
        {"missing certificate file",
         {missing, good.password, good.dh, good.caList},
         "Can't read certificate file"},
        {"certificate file without a certificate",
         {keyOnly, good.password, good.dh, good.caList},
         "Can't read certificate file"},
        {"key does not match the certificate",
         {mismatch, good.password, good.dh, good.caList},
         "Error setting the key file in _use_PrivateKey_file()"},
        {"password of 4097 characters",
         {good.certificate, std::string(4097, 'k'), good.dh, good.caList},
         "Unexpected condition: password is too long."},
        {"key encrypted with 4096 characters",
         {longKey, std::string(4096, 'k'), good.dh, good.caList},
         "Error setting the key file in _use_PrivateKey_file()"},
        {"key encrypted with 1024 characters",
         {pw1024Key, std::string(1024, 'k'), good.dh, good.caList},
         "Error setting the key file in _use_PrivateKey_file()"},
        {"missing CA list",
         {good.certificate, good.password, good.dh, missing},
         "Can't load trusted CA list"},
        {"missing DH file",
         {good.certificate, good.password, missing, good.caList},
         "Couldn't open DH file"},
        {"DH file without parameters",
         {good.certificate, good.password, certs.caPem, good.caList},
         "Couldn't set DH parameters"},
        {"EC instead of DH parameters",
         {good.certificate, good.password, ecParams, good.caList},
         "Couldn't set DH parameters"},
    };
    for (const Case& c : cases) {
        std::string logPath = TempPath("fatal.log");
        std::string stdoutPath = TempPath("fatal.out");
        EXPECT_EXIT(
            {
                g_logger = new CLogger(logPath, "DEBUG");
                if (std::freopen(stdoutPath.c_str(), "w", stdout) == nullptr) std::abort();
                CSslContext context;
                context.InitSSL(c.files.certificate, c.files.password, c.files.dh, c.files.caList);
                std::abort();
            },
            ExitedWithCode(0), HasSubstr(std::string(c.text) + "\r\n"))
            << c.label;
        EXPECT_EQ(ReadWholeFile(stdoutPath), std::string(c.text) + "\n") << c.label;
        std::string log = ReadWholeFile(logPath);
        EXPECT_NE(log.find("Loading SSL certificates from " + c.files.certificate),
                  std::string::npos)
            << c.label << "\n"
            << log;
        EXPECT_NE(log.find("FATAL"), std::string::npos) << c.label << "\n" << log;
        EXPECT_NE(log.find("Fatal error: " + std::string(c.text) + " ... Exiting"),
                  std::string::npos)
            << c.label << "\n"
            << log;
    }
}

TEST(SslContextTest, ReportsGoToStandardError) {
    CSslContext context;
    const auto& certs = TestCerts();
    ASSERT_EQ(context.InitSSL(certs.serverPem, certs.password, certs.dhPem, certs.caList), 1);
    testing::internal::CaptureStderr();
    context.ReportRecvError(SSL_ERROR_SSL);
    context.ReportSendError(SSL_ERROR_SYSCALL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error in SSL Recv: A failure in the SSL library occurred\r\n"
              "Error in SSL Send: Some I/O error occurred.\r\n");
    context.Free();
    EXPECT_FALSE(context.IsReady());
    EXPECT_EQ(context.NewSession(), nullptr);
}

}  // namespace
