// The command server over TLS: real handshakes between OpenSSL clients and a
// CWmiLogEventServer listening on a loopback TLS port.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/wmilogeventserver.h"
#include "tests/app/tempdir.h"
#include "tests/app/testglobals.h"
#include "tests/platform/eventually.h"
#include "tests/server/fakeengine.h"
#include "tests/server/strangers.h"
#include "tests/serverframework/loopbackport.h"
#include "tests/serverframework/tls_test_support.h"

namespace {

using tlstest::CMemoryClient;
using tlstest::CSocketClient;
using tlstest::TClientOptions;
using tlstest::TestCerts;

const char* const kAuth = "[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n";
const std::string kLoggedIn = "OK authentication successful (users=";
const std::string kGreetingHead = "200 Halcrest WMI Event Listener (v5.5 build ";
const std::string kGreetingTail = ") Ready To Authenticate\r\n";

bool IsGreeting(const std::string& line) {
    return line.rfind(kGreetingHead, 0) == 0 && line.size() > kGreetingTail.size() &&
           line.compare(line.size() - kGreetingTail.size(), kGreetingTail.size(), kGreetingTail) ==
               0;
}

class TlsServerTest : public ::testing::Test {
  protected:
    // Starts a TLS-only server with the test certificates on a loopback port.
    void StartServer(const std::string& ini = kAuth) {
        globals.LoadConfig(dir, ini);
        globals.StartLogger(dir, "DEBUG");

        const auto& certs = TestCerts();
        server = std::make_unique<CWmiLogEventServer>();
        server->SetController(new servertest::FakeEngine(engineScript));
        server->SetListenAddress("127.0.0.1");
        ASSERT_EQ(1, server->InitSSL(certs.serverPem, certs.password, certs.dhPem, certs.caList));
        plainPort = FreePort();
        tlsPort = FreePort();
        ASSERT_EQ(1, server->Start(1000, plainPort, tlsPort));
        ASSERT_EQ(tlsPort, server->GetListenPort());
    }
    void StopServer() {
        if (server) server->Stop();
        server.reset();
    }
    void TearDown() override { StopServer(); }

    std::unique_ptr<CSocketClient> LoggedInClient() {
        auto client = std::make_unique<CSocketClient>();
        EXPECT_TRUE(client->Connect(tlsPort));
        std::string reply = client->Login("alice", "secret");
        EXPECT_EQ(0u, reply.rfind(kLoggedIn, 0)) << reply;
        return client;
    }

    // Waits until the server counts `count` connections (generous bound).
    bool WaitForConnectionCount(int count) {
        return Eventually([&] { return server->GetConnectionCount() == count; });
    }

    TempDir dir;
    TestGlobals globals;
    servertest::FakeEngineScript engineScript;  // outlives the server
    std::unique_ptr<CWmiLogEventServer> server;
    uint16_t plainPort = 0;
    uint16_t tlsPort = 0;
};

TEST_F(TlsServerTest, GreetingAfterHandshakeThenLoginCommandsAndShutdownNotice) {
    StartServer();
    EXPECT_FALSE(TcpConnects(plainPort)) << "the plain port must stay closed";

    CSocketClient client;
    ASSERT_TRUE(client.ConnectTcp(tlsPort));
    bool closed = false;
    EXPECT_EQ("", client.ReadRaw(300, &closed)) << "nothing may come before the handshake";
    EXPECT_FALSE(closed);
    ASSERT_TRUE(client.Handshake());
    EXPECT_EQ(TLS1_2_VERSION, SSL_version(client.ssl()));

    std::string greeting = client.ReadLine();
    EXPECT_TRUE(IsGreeting(greeting)) << greeting;
    ASSERT_TRUE(client.Send("LOGIN alice secret\r\n"));
    EXPECT_EQ(kLoggedIn + "1)\r\n", client.ReadLine());
    ASSERT_TRUE(client.Send("NOOP\r\n"));
    EXPECT_EQ("OK noop\r\n", client.ReadLine());
    ASSERT_TRUE(client.Send("LIST\r\n"));
    EXPECT_EQ("OK List Follows for 0 entries (0 unreachable):\r\n.\r\n",
              client.ReadUntil("\r\n.\r\n"));
    // A command split over two records is assembled like a split read.
    ASSERT_TRUE(client.Send("NO"));
    ASSERT_TRUE(client.Send("OP\r\n"));
    EXPECT_EQ("OK noop\r\n", client.ReadLine());

    server->SendToAllClients("NTEVENT:record\r\n.\r\n");
    EXPECT_EQ("NTEVENT:record\r\n.\r\n", client.ReadUntil("\r\n.\r\n"));

    StopServer();
    EXPECT_EQ("Server shutdown\r\n", client.ReadLine());
    EXPECT_TRUE(client.WaitForClose(5000));
}

TEST_F(TlsServerTest, OtherProtocolVersionsAreRefusedAndHoldNoSlot) {
    StartServer();
    struct Case {
        const char* name;
        int minVersion;
        int maxVersion;
    };
    const Case cases[] = {
        {"TLS 1.0", TLS1_VERSION, TLS1_VERSION},
        {"TLS 1.1", TLS1_1_VERSION, TLS1_1_VERSION},
        {"TLS 1.3", TLS1_3_VERSION, TLS1_3_VERSION},
    };
    testing::internal::CaptureStderr();
    for (const Case& c : cases) {
        TClientOptions options;
        options.minVersion = c.minVersion;
        options.maxVersion = c.maxVersion;
        CSocketClient client(options);
        ASSERT_TRUE(client.ConnectTcp(tlsPort)) << c.name;
        EXPECT_FALSE(client.Handshake()) << c.name;
        EXPECT_TRUE(client.WaitForClose(5000)) << c.name << ": the server must close it";
    }
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("Error in SSL Recv: A failure in the SSL library occurred\r\n"),
              std::string::npos)
        << errors;

    EXPECT_EQ(0, server->GetConnectionCount());
    auto client = LoggedInClient();
    EXPECT_EQ(1, server->GetConnectionCount());
}

TEST_F(TlsServerTest, PlainClientOnTheTlsPortGetsNoGreeting) {
    StartServer();
    CSocketClient plain;
    ASSERT_TRUE(plain.ConnectTcp(tlsPort));
    bool closed = false;
    EXPECT_EQ("", plain.ReadRaw(300, &closed));
    EXPECT_FALSE(closed);

    testing::internal::CaptureStderr();
    ASSERT_TRUE(plain.SendRaw("LOGIN alice secret\r\n"));
    std::string answer = plain.ReadRaw(2000, &closed);
    std::string errors = testing::internal::GetCapturedStderr();
    // Not a TLS record at all: OpenSSL sends no alert, the server closes.
    EXPECT_TRUE(closed);
    EXPECT_EQ(answer.find("200"), std::string::npos) << answer;
    EXPECT_NE(errors.find("Error in SSL Recv: "), std::string::npos) << errors;
    EXPECT_EQ(0, server->GetConnectionCount());
}

TEST_F(TlsServerTest, BrokenPeersDoNotDisturbTheOthers) {
    StartServer();
    auto steady = LoggedInClient();

    testing::internal::CaptureStderr();
    // Garbage instead of a ClientHello.
    CSocketClient garbage;
    ASSERT_TRUE(garbage.ConnectTcp(tlsPort));
    ASSERT_TRUE(garbage.SendRaw(std::string(300, '\x16')));
    EXPECT_TRUE(garbage.WaitForClose(5000));

    // A client that stops in the middle of the handshake: a part of its
    // ClientHello, then silence. It stays open but is never greeted.
    CMemoryClient hello;
    ASSERT_EQ(0, hello.Connect());
    std::string clientHello = hello.TakeOutput();
    CSocketClient stalled;
    ASSERT_TRUE(stalled.ConnectTcp(tlsPort));
    ASSERT_TRUE(stalled.SendRaw(clientHello.substr(0, clientHello.size() / 2)));

    // A client that resets its connection right after logging in.
    auto resetting = LoggedInClient();
    EXPECT_EQ(2, server->GetConnectionCount());
    resetting->Reset();
    EXPECT_TRUE(WaitForConnectionCount(1));
    testing::internal::GetCapturedStderr();

    ASSERT_TRUE(steady->Send("NOOP\r\n"));
    EXPECT_EQ("OK noop\r\n", steady->ReadLine());
    bool closed = false;
    EXPECT_EQ("", stalled.ReadRaw(100, &closed));
    EXPECT_FALSE(closed);
    auto another = LoggedInClient();
    EXPECT_EQ(2, server->GetConnectionCount());
    // Stop closes the stalled connection as well.
    StopServer();
    EXPECT_TRUE(stalled.WaitForClose(5000));
}

TEST_F(TlsServerTest, ConnectionLimitIsAnsweredEncrypted) {
    StartServer(std::string(kAuth) + "[LISTEN]\nMAXCONNECTIONS=1\n");
    auto first = LoggedInClient();
    CSocketClient second;
    ASSERT_TRUE(second.Connect(tlsPort));
    EXPECT_EQ("Max user count reached (1)", second.ReadUntil("\r\n", 2000));
    EXPECT_TRUE(second.WaitForClose(5000));
    EXPECT_TRUE(WaitForConnectionCount(1));
    ASSERT_TRUE(first->Send("NOOP\r\n"));
    EXPECT_EQ("OK noop\r\n", first->ReadLine());
}

// The client's last handshake flight and its first command in one segment:
// the command must be answered without the client sending anything more.
// A resumed session lets the client finish the handshake last.
TEST_F(TlsServerTest, CommandSentWithTheEndOfTheHandshakeIsAnswered) {
    StartServer();
    SSL_SESSION* session = nullptr;
    {
        CSocketClient first;
        ASSERT_TRUE(first.Connect(tlsPort));
        EXPECT_TRUE(IsGreeting(first.ReadLine()));
        session = SSL_get1_session(first.ssl());
        first.Close();
    }
    ASSERT_TRUE(WaitForConnectionCount(0));
    TClientOptions options;
    options.session = session;
    CMemoryClient client(options);
    CSocketClient wire;
    ASSERT_TRUE(wire.ConnectTcp(tlsPort));

    ASSERT_EQ(0, client.Connect());
    ASSERT_TRUE(wire.SendRaw(client.TakeOutput()));
    int state = 0;
    for (int i = 0; i < 50 && state == 0; ++i) {
        bool closed = false;
        client.Give(wire.ReadRaw(100, &closed));
        ASSERT_FALSE(closed);
        state = client.Connect();
    }
    ASSERT_EQ(1, state);
    ASSERT_EQ(1, SSL_session_reused(client.ssl()));
    ASSERT_TRUE(client.Write("LOGIN alice secret\r\n"));
    ASSERT_TRUE(wire.SendRaw(client.TakeOutput()));

    std::string text;
    for (int i = 0; i < 50 && text.find(kLoggedIn) == std::string::npos; ++i) {
        bool closed = false;
        client.Give(wire.ReadRaw(100, &closed));
        text += client.ReadAll();
        if (closed) break;
    }
    std::string::size_type lineEnd = text.find("\r\n");
    ASSERT_NE(lineEnd, std::string::npos) << text;
    EXPECT_TRUE(IsGreeting(text.substr(0, lineEnd + 2))) << text;
    EXPECT_EQ(kLoggedIn + "1)\r\n", text.substr(lineEnd + 2)) << text;
    SSL_SESSION_free(session);
}

// Broadcasts from another thread interleave with command replies on the same
// connections; every record must decrypt, so they must reach each socket in
// the order they were encrypted.
TEST_F(TlsServerTest, BroadcastsWhileClientsSendCommands) {
    StartServer();
    constexpr int kClients = 3;
    constexpr int kBroadcasts = 200;
    constexpr int kCommands = 100;
    std::vector<std::unique_ptr<CSocketClient>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(LoggedInClient());

    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            CSocketClient& client = *clients[i];
            int events = 0;
            int replies = 0;
            int sent = 0;
            while (events < kBroadcasts || replies < kCommands) {
                if (sent == replies && sent < kCommands) {
                    if (!client.Send("NOOP\r\n")) break;
                    ++sent;
                }
                std::string line = client.ReadLine();
                if (line == "OK noop\r\n") {
                    ++replies;
                } else if (line.rfind("NTEVENT:", 0) == 0) {
                    ++events;
                } else {
                    break;
                }
            }
            if (events != kBroadcasts || replies != kCommands) failed = true;
        });
    }
    std::thread broadcaster([&] {
        for (int i = 0; i < kBroadcasts; ++i) {
            server->SendToAllClients("NTEVENT:" + std::to_string(i) + " System Information");
        }
    });
    broadcaster.join();
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(failed.load());
}

TEST_F(TlsServerTest, TlsSetUpWithoutTlsPortOpensNothing) {
    globals.LoadConfig(dir, kAuth);
    const auto& certs = TestCerts();
    server = std::make_unique<CWmiLogEventServer>();
    server->SetListenAddress("127.0.0.1");
    ASSERT_EQ(1, server->InitSSL(certs.serverPem, certs.password, certs.dhPem, certs.caList));
    uint16_t port = FreePort();
    EXPECT_EQ(0, server->Start(1000, port, 0));
    EXPECT_FALSE(TcpConnects(port));
}

TEST_F(TlsServerTest, StartWithoutTlsSetUpRefusesTheTlsPort) {
    globals.LoadConfig(dir, kAuth);
    server = std::make_unique<CWmiLogEventServer>();
    server->SetListenAddress("127.0.0.1");
    uint16_t port = FreePort();
    EXPECT_EQ(0, server->Start(1000, 0, port));
    EXPECT_FALSE(TcpConnects(port));
}

}  // namespace

namespace {

// Unfinished handshakes: with one connection slot, eight may be in progress
// at once; a ninth connection takes the place of the oldest, which is reset,
// and gets in; the login time-out, counted from the accept, closes the
// other unfinished ones.
TEST_F(TlsServerTest, UnfinishedHandshakesAreCappedAndTimedOut) {
    StartServer(std::string(kAuth) + "[LISTEN]\nMAXCONNECTIONS=1\nLOGINTIMEOUT=3\n");
    std::vector<std::unique_ptr<CSocketClient>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(std::make_unique<CSocketClient>());
        // The accept thread takes them in the order they connect.
        ASSERT_TRUE(silent.back()->ConnectTcp(tlsPort)) << i;
    }
    auto ninth = LoggedInClient();
    EXPECT_TRUE(silent[0]->WaitForClose(5000)) << "the oldest handshake did not give way";
    for (size_t i = 1; i < silent.size(); ++i) {
        EXPECT_TRUE(silent[i]->WaitForClose(5000)) << "unfinished handshake " << i;
    }
    std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_NE(std::string::npos, log.find("8 TLS handshakes in progress; the oldest of "
                                          "127.0.0.1/32 gives way"))
        << log;
    EXPECT_NE(std::string::npos, log.find("not logged in within 3 s")) << log;

    ninth->Send("NOOP\r\n");
    EXPECT_EQ("OK noop\r\n", ninth->ReadLine());
}

// Thirty stalled handshakes from one address that reconnect whenever they
// are reset: a real TLS client from another address logs in, again and
// again, whether the per-source bound keeps them to ten (the default) or
// they fill every handshake in progress (no per-source bound) and give way
// one after the other.
TEST_F(TlsServerTest, StalledHandshakesDoNotKeepAClientOut) {
    const struct {
        const char* listen;
        const char* logged;
    } cases[] = {
        {"", "127.0.0.2/32 holds 10 connections that have not logged in"},
        {"PERSOURCEMAXSTARTUPS=0\n", "24 TLS handshakes in progress; the oldest of 127.0.0.2/32"},
    };
    for (const auto& c : cases) {
        StartServer(std::string(kAuth) + "[LISTEN]\n" + c.listen);
        {
            Strangers strangers(tlsPort, "127.0.0.2", 30);
            ASSERT_TRUE(Eventually([&] { return strangers.Connects() >= 60; })) << c.listen;
            for (int round = 0; round < 3; ++round) {
                CSocketClient client;
                ASSERT_TRUE(client.Connect(tlsPort, "127.0.0.1")) << c.listen << round;
                std::string reply = client.Login("alice", "secret");
                EXPECT_EQ(0u, reply.rfind(kLoggedIn, 0)) << c.listen << round << ": " << reply;
            }
        }
        std::string log = ReadWholeFile(dir.File("quellon.log"));
        EXPECT_NE(std::string::npos, log.find(c.logged)) << c.listen << "\n" << log;
        StopServer();
    }
}

}  // namespace
