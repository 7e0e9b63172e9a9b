#include "serverframework/sslsession.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <string>

#include "serverframework/sslcontext.h"
#include "tests/serverframework/tls_test_support.h"

namespace {

using tlstest::CMemoryClient;
using tlstest::TClientOptions;
using tlstest::TestCerts;

constexpr unsigned char kAlertRecord = 0x15;

// One process-wide server context built from the test certificates.
const CSslContext& ServerContext() {
    static CSslContext* context = [] {
        const auto& certs = TestCerts();
        auto* c = new CSslContext();
        c->InitSSL(certs.serverPem, certs.password, certs.dhPem, certs.caList);
        return c;
    }();
    return *context;
}

// The server end of one connection, as the connection server holds it.
struct ServerEnd {
    SSL* ssl = nullptr;
    BIO* bioIn = nullptr;
    BIO* bioOut = nullptr;

    ServerEnd() {
        ssl = ServerContext().NewSession();
        EXPECT_NE(ssl, nullptr);
        EXPECT_EQ(SslAttachMemoryBios(ssl, &bioIn, &bioOut), 1);
    }
    ~ServerEnd() { SslFreeSession(ssl); }

    TSslStepResult Feed(const std::string& bytes) {
        return SslFeed(ssl, bioIn, bioOut, bytes.data(), static_cast<long>(bytes.size()));
    }
    TSslStepResult Encrypt(const std::string& text) {
        return SslEncrypt(ssl, bioOut, text.data(), static_cast<long>(text.size()));
    }
};

// Runs the handshake to its end, passing each flight across. Returns the
// server's last step; the server must not report the handshake finished
// before its last flight.
TSslStepResult Handshake(CMemoryClient& client, ServerEnd& server) {
    TSslStepResult last;
    for (int round = 0; round < 10; ++round) {
        int state = client.Connect();
        if (state == -1) break;
        std::string flight = client.TakeOutput();
        if (state == 1 && flight.empty()) break;
        last = server.Feed(flight);
        if (last.status == 0) break;
        client.Give(last.records);
        if (state == 1) break;
    }
    return last;
}

TEST(SslSessionTest, ErrorClassesAndTexts) {
    struct Case {
        int value;
        bool fatal;
        const char* text;
    };
    const Case cases[] = {
        {SSL_ERROR_NONE, false, "Unknown error"},
        {SSL_ERROR_SSL, true, "A failure in the SSL library occurred"},
        {SSL_ERROR_WANT_READ, false, "Unknown error"},
        {SSL_ERROR_WANT_WRITE, false, "Unknown error"},
        {SSL_ERROR_WANT_X509_LOOKUP, true,
         "The operation did not complete because an application callback set by "
         "SSL_CTX_set_client_cert_cb() has asked to be called again"},
        {SSL_ERROR_SYSCALL, true, "Some I/O error occurred."},
        {SSL_ERROR_ZERO_RETURN, true, "Unknown error"},
        {SSL_ERROR_WANT_CONNECT, false,
         "The underlying BIO was not connected yet to the peer and the call would block in "
         "connect/accept"},
        {SSL_ERROR_WANT_ACCEPT, false,
         "The underlying BIO was not connected yet to the peer and the call would block in "
         "connect/accept"},
        {SSL_ERROR_WANT_ASYNC, true, "Unknown error"},
        {-1, true, "Unknown error"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SslErrorIsFatal(c.value), c.fatal) << c.value;
        EXPECT_STREQ(SslErrorText(c.value), c.text) << c.value;
    }
}

TEST(SslSessionTest, HandshakeThenBothDirections) {
    CMemoryClient client;
    ServerEnd server;

    // ClientHello alone does not finish the handshake.
    ASSERT_EQ(client.Connect(), 0);
    TSslStepResult hello = server.Feed(client.TakeOutput());
    ASSERT_EQ(hello.status, 1);
    EXPECT_FALSE(hello.handshakeFinished);
    EXPECT_FALSE(hello.records.empty());
    client.Give(hello.records);

    TSslStepResult last = Handshake(client, server);
    ASSERT_EQ(last.status, 1) << SslErrorText(last.sslError);
    EXPECT_TRUE(last.handshakeFinished);
    EXPECT_TRUE(last.plaintext.empty());
    ASSERT_EQ(client.Connect(), 1);
    EXPECT_EQ(SSL_version(client.ssl()), TLS1_2_VERSION);
    // The chain in the certificate file lets the client verify the server.
    EXPECT_EQ(SSL_get_verify_result(client.ssl()), X509_V_OK);

    ASSERT_TRUE(client.Write("LOGIN user pass\r\n"));
    TSslStepResult in = server.Feed(client.TakeOutput());
    EXPECT_EQ(in.status, 1);
    EXPECT_EQ(in.plaintext, "LOGIN user pass\r\n");
    EXPECT_TRUE(in.records.empty());

    TSslStepResult out = server.Encrypt("200 OK\r\n");
    ASSERT_EQ(out.status, 1);
    EXPECT_EQ(out.records.find("200 OK"), std::string::npos) << "sent in the clear";
    client.Give(out.records);
    EXPECT_EQ(client.ReadAll(), "200 OK\r\n");
}

TEST(SslSessionTest, DheOnlyClientGetsTheConfiguredGroup) {
    TClientOptions options;
    options.maxVersion = TLS1_2_VERSION;
    options.cipherList = "DHE-RSA-AES128-GCM-SHA256";
    CMemoryClient client(options);
    ServerEnd server;
    TSslStepResult last = Handshake(client, server);
    ASSERT_EQ(last.status, 1) << SslErrorText(last.sslError);
    ASSERT_TRUE(last.handshakeFinished);
    EXPECT_STREQ(SSL_get_cipher_name(client.ssl()), "DHE-RSA-AES128-GCM-SHA256");
    EVP_PKEY* serverKey = nullptr;
    ASSERT_EQ(SSL_get_peer_tmp_key(client.ssl(), &serverKey), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(serverKey), 2048);
    EVP_PKEY_free(serverKey);
}

TEST(SslSessionTest, OtherProtocolVersionsAreRefused) {
    struct Case {
        const char* name;
        int minVersion;
        int maxVersion;
    };
    const Case cases[] = {
        {"TLS 1.0 only", TLS1_VERSION, TLS1_VERSION},
        {"TLS 1.1 only", TLS1_1_VERSION, TLS1_1_VERSION},
        {"TLS 1.3 only", TLS1_3_VERSION, TLS1_3_VERSION},
    };
    for (const Case& c : cases) {
        TClientOptions options;
        options.minVersion = c.minVersion;
        options.maxVersion = c.maxVersion;
        CMemoryClient client(options);
        ServerEnd server;
        ASSERT_EQ(client.Connect(), 0) << c.name;
        TSslStepResult result = server.Feed(client.TakeOutput());
        EXPECT_EQ(result.status, 0) << c.name;
        EXPECT_EQ(result.sslError, SSL_ERROR_SSL) << c.name;
        EXPECT_FALSE(result.handshakeFinished) << c.name;
        // The refusal goes back as an alert, so the client learns why.
        ASSERT_FALSE(result.records.empty()) << c.name;
        EXPECT_EQ(static_cast<unsigned char>(result.records[0]), kAlertRecord) << c.name;
        client.Give(result.records);
        EXPECT_EQ(client.Connect(), -1) << c.name;
    }
}

TEST(SslSessionTest, GarbageInsteadOfClientHelloIsFatal) {
    const std::string inputs[] = {
        "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n",
        std::string("\x16\x03\x01\x00\x05\x01\x00\x00\x01\xff", 10),
    };
    for (const std::string& input : inputs) {
        ServerEnd server;
        TSslStepResult result = server.Feed(input);
        EXPECT_EQ(result.status, 0) << input;
        EXPECT_EQ(result.sslError, SSL_ERROR_SSL) << input;
        EXPECT_TRUE(SslErrorIsFatal(result.sslError)) << input;
    }
}

TEST(SslSessionTest, RecordsSplitAndJoinedAcrossReads) {
    CMemoryClient client;
    ServerEnd server;
    ASSERT_TRUE(Handshake(client, server).handshakeFinished);

    // One record arriving a byte at a time gives its text only with the
    // last byte.
    ASSERT_TRUE(client.Write("LIST\r\n"));
    std::string record = client.TakeOutput();
    std::string plaintext;
    for (size_t i = 0; i < record.size(); ++i) {
        TSslStepResult step = server.Feed(record.substr(i, 1));
        ASSERT_EQ(step.status, 1) << "byte " << i;
        if (i + 1 < record.size()) {
            EXPECT_TRUE(step.plaintext.empty()) << "byte " << i;
        }
        plaintext += step.plaintext;
    }
    EXPECT_EQ(plaintext, "LIST\r\n");

    // Several records in one read all come out.
    ASSERT_TRUE(client.Write("PING\r\n"));
    ASSERT_TRUE(client.Write("QUIT\r\n"));
    TSslStepResult joined = server.Feed(client.TakeOutput());
    EXPECT_EQ(joined.plaintext, "PING\r\nQUIT\r\n");
}

TEST(SslSessionTest, LargeTransfersBothWays) {
    CMemoryClient client;
    ServerEnd server;
    ASSERT_TRUE(Handshake(client, server).handshakeFinished);

    std::string big;
    for (int i = 0; big.size() < 100000; ++i) big += "NTEVENT:" + std::to_string(i) + "\r\n";

    ASSERT_TRUE(client.Write(big));
    TSslStepResult in = server.Feed(client.TakeOutput());
    ASSERT_EQ(in.status, 1);
    EXPECT_EQ(in.plaintext, big);

    TSslStepResult out = server.Encrypt(big);
    ASSERT_EQ(out.status, 1);
    client.Give(out.records);
    EXPECT_EQ(client.ReadAll(), big);
}

// On a resumed session the client's last flight and its first command can
// travel together; the command must come out with the end of the handshake.
TEST(SslSessionTest, CommandArrivingWithEndOfHandshakeIsKept) {
    SSL_SESSION* session = nullptr;
    {
        CMemoryClient first;
        ServerEnd server;
        ASSERT_TRUE(Handshake(first, server).handshakeFinished);
        ASSERT_EQ(first.Connect(), 1);
        session = SSL_get1_session(first.ssl());
        ASSERT_NE(session, nullptr);
        // A client freed without shutdown would mark its session as not
        // resumable.
        SSL_shutdown(first.ssl());
    }
    TClientOptions options;
    options.session = session;
    CMemoryClient client(options);
    ServerEnd server;
    ASSERT_EQ(client.Connect(), 0);
    TSslStepResult hello = server.Feed(client.TakeOutput());
    ASSERT_EQ(hello.status, 1);
    EXPECT_FALSE(hello.handshakeFinished);
    client.Give(hello.records);
    ASSERT_EQ(client.Connect(), 1);
    EXPECT_EQ(SSL_session_reused(client.ssl()), 1);
    ASSERT_TRUE(client.Write("LOGIN user pass\r\n"));

    TSslStepResult last = server.Feed(client.TakeOutput());
    EXPECT_EQ(last.status, 1);
    EXPECT_TRUE(last.handshakeFinished);
    EXPECT_EQ(last.plaintext, "LOGIN user pass\r\n");
    SSL_SESSION_free(session);
}

TEST(SslSessionTest, CloseNotifyEndsTheConnection) {
    CMemoryClient client;
    ServerEnd server;
    ASSERT_TRUE(Handshake(client, server).handshakeFinished);
    ASSERT_TRUE(client.Write("LOGOUT\r\n"));
    SSL_shutdown(client.ssl());
    TSslStepResult result = server.Feed(client.TakeOutput());
    EXPECT_EQ(result.plaintext, "LOGOUT\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.sslError, SSL_ERROR_ZERO_RETURN);
    EXPECT_STREQ(SslErrorText(result.sslError), "Unknown error");
}

TEST(SslSessionTest, EncryptBeforeHandshakeSendsNothing) {
    ServerEnd server;
    TSslStepResult result = server.Encrypt("200 hello\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.sslError, 0);
    EXPECT_EQ(result.records.find("200 hello"), std::string::npos);
}

TEST(SslSessionTest, FreeInEveryStateLeavesNoErrors) {
    { ServerEnd untouched; }
    {
        CMemoryClient client;
        ServerEnd midHandshake;
        ASSERT_EQ(client.Connect(), 0);
        ASSERT_EQ(midHandshake.Feed(client.TakeOutput()).status, 1);
    }
    {
        ServerEnd failed;
        ASSERT_EQ(failed.Feed("garbage, not a ClientHello").status, 0);
    }
    {
        CMemoryClient client;
        ServerEnd finished;
        ASSERT_TRUE(Handshake(client, finished).handshakeFinished);
    }
    EXPECT_EQ(ERR_peek_error(), 0u);
    SslFreeSession(nullptr);
}

}  // namespace
