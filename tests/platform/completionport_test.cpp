#include "platform/completionport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "tests/platform/eventually.h"
#include "tests/platform/loopbackclient.h"

using platform::Completion;
using platform::CompletionPort;
using platform::IoStatus;

namespace {

// A connected TCP pair on 127.0.0.1: `client` is an ordinary blocking socket
// the test drives by hand, `server` the accepted non-blocking end that goes
// into the port.
struct TcpPair {
    std::unique_ptr<LoopbackClient> client;
    int server = -1;

    TcpPair() {
        int listener = -1;
        EXPECT_TRUE(platform::OpenListener("127.0.0.1", 0, 8, &listener).ok());
        const uint16_t port = platform::LocalPort(listener);
        // The connection completes in the listener's backlog; the accept
        // below takes it.
        client = std::make_unique<LoopbackClient>(port);
        EXPECT_TRUE(client->Connected());
        EXPECT_TRUE(platform::AcceptConnection(listener, &server).ok());
        EXPECT_GE(server, 0);
        platform::CloseSocket(listener);
    }
    // Closes the client end with a reset instead of an orderly close.
    void ResetClient() { client->Reset(); }
    // Waits until the server end has seen the client's close or reset (it
    // reports a hang-up, an error or the end of the peer's data), without
    // taking anything from it.
    bool ServerSeesPeerGone() const { return SocketSeesPeerGone(server, 10000); }
    // Caps the server's send buffer so that a few megabytes cannot all be
    // taken at once while the client does not read.
    void CapSendBuffer() { SetSocketSendBuffer(server, 65536); }
    bool Write(const char* text, size_t length) { return client->Send(text, length); }
};

struct Request {
    char buffer[256] = {};
};

const uintptr_t kKey = 0x1234;

class CompletionPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(port.Create()); }

    // Next completion within a generous bound; fails the test on time-out.
    Completion Next() {
        Completion c;
        EXPECT_EQ(1, port.Dequeue(&c, 5000)) << "no completion within 5 s";
        return c;
    }
    void ExpectNothingMore() {
        Completion c;
        EXPECT_EQ(0, port.Dequeue(&c, 100)) << "unexpected completion for request " << c.request;
    }

    CompletionPort port;
};

TEST_F(CompletionPortTest, ReceiveCompletesOnceWithKeyRequestAndData) {
    TcpPair pair;
    ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey));
    Request r;
    ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, sizeof r.buffer - 1, &r));
    ASSERT_TRUE(pair.Write("hello", 5));
    Completion c = Next();
    EXPECT_EQ(kKey, c.key);
    EXPECT_EQ(&r, c.request);
    EXPECT_EQ(IoStatus::kOk, c.result.status);
    EXPECT_EQ(5u, c.bytes);
    EXPECT_EQ("hello", std::string(r.buffer, c.bytes));
    ExpectNothingMore();
    EXPECT_EQ(IoStatus::kOk, port.CloseSocket(pair.server));
}

TEST_F(CompletionPortTest, ReceivePostedOnAnotherThreadWakesBlockedDequeue) {
    TcpPair pair;
    ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey));
    Request r;
    std::atomic<bool> receiveTaken{false};
    std::thread worker([&] {
        Completion c = Next();
        EXPECT_EQ(&r, c.request);
        EXPECT_EQ(3u, c.bytes);
        receiveTaken = true;
        c = Next();
        EXPECT_EQ(0u, c.key) << "the hand-posted completion";
        EXPECT_EQ(nullptr, c.request);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, sizeof r.buffer, &r));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(pair.Write("abc", 3));
    // The hand-posted completion goes in only after the receive came out.
    EXPECT_TRUE(Eventually([&] { return receiveTaken.load(); }));
    ASSERT_TRUE(port.Post(0, nullptr, 0));
    worker.join();
    port.CloseSocket(pair.server);
}

TEST_F(CompletionPortTest, PeerCloseAndResetEndReceives) {
    struct Case {
        const char* name;
        bool reset;
        bool postFirst;  // receive posted before the peer goes away
    } cases[] = {
        {"orderly close, receive pending", false, true},
        {"orderly close, receive posted after", false, false},
        {"reset, receive pending", true, true},
        {"reset, receive posted after", true, false},
    };
    for (const Case& k : cases) {
        TcpPair pair;
        ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey)) << k.name;
        Request r;
        if (k.postFirst) {
            ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, 100, &r)) << k.name;
        }
        if (k.reset) {
            pair.ResetClient();
        } else {
            pair.client->ShutdownWrite();
        }
        if (!k.postFirst) {
            ASSERT_TRUE(pair.ServerSeesPeerGone()) << k.name;
            ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, 100, &r)) << k.name;
        }
        Completion c = Next();
        EXPECT_EQ(&r, c.request) << k.name;
        EXPECT_EQ(0u, c.bytes) << k.name;
        if (k.reset) {
            EXPECT_EQ(IoStatus::kPeerReset, c.result.status) << k.name;
        } else {
            EXPECT_EQ(IoStatus::kOk, c.result.status) << k.name;
        }
        ExpectNothingMore();
        port.CloseSocket(pair.server);
    }
}

TEST_F(CompletionPortTest, DataBeforeCloseIsDeliveredBeforeTheZeroByteCompletion) {
    TcpPair pair;
    ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey));
    ASSERT_TRUE(pair.Write("last", 4));
    pair.client->ShutdownWrite();
    ASSERT_TRUE(pair.ServerSeesPeerGone());
    Request r;
    ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, 100, &r));
    EXPECT_EQ(4u, Next().bytes);
    ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, 100, &r));
    Completion c = Next();
    EXPECT_EQ(0u, c.bytes);
    EXPECT_EQ(IoStatus::kOk, c.result.status);
    port.CloseSocket(pair.server);
}

TEST_F(CompletionPortTest, LargeSendsFinishInOrderOnWritability) {
    TcpPair pair;
    pair.CapSendBuffer();
    ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey));
    std::string first(4 << 20, 'a');
    std::string second(1000, 'b');
    for (size_t i = 0; i < first.size(); i += 4096) {
        first[i] = static_cast<char>('A' + (i / 4096) % 26);
    }
    Request r1, r2;
    ASSERT_EQ(IoStatus::kOk, port.PostSend(pair.server, first.data(), first.size(), &r1));
    ASSERT_EQ(IoStatus::kOk, port.PostSend(pair.server, second.data(), second.size(), &r2));
    ExpectNothingMore();  // the peer reads nothing yet, so the first send cannot finish

    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        while (received.size() < first.size() + second.size()) {
            long n = pair.client->Receive(buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, n);
        }
    });
    Completion c1 = Next();
    Completion c2 = Next();
    reader.join();
    EXPECT_EQ(&r1, c1.request);
    EXPECT_EQ(first.size(), c1.bytes);
    EXPECT_EQ(&r2, c2.request);
    EXPECT_EQ(second.size(), c2.bytes);
    EXPECT_EQ(IoStatus::kOk, c1.result.status);
    EXPECT_EQ(IoStatus::kOk, c2.result.status);
    EXPECT_TRUE(received == first + second) << "bytes reordered or lost";
    port.CloseSocket(pair.server);
}

TEST_F(CompletionPortTest, ClosingASocketFailsItsPendingRequestsOnce) {
    TcpPair pair;
    pair.CapSendBuffer();
    ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey));
    std::string big(4 << 20, 'x');
    Request receive, send1, send2;
    ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, receive.buffer, 100, &receive));
    ASSERT_EQ(IoStatus::kOk, port.PostSend(pair.server, big.data(), big.size(), &send1));
    ASSERT_EQ(IoStatus::kOk, port.PostSend(pair.server, big.data(), 10, &send2));
    ExpectNothingMore();

    EXPECT_EQ(IoStatus::kOk, port.CloseSocket(pair.server));
    std::vector<void*> seen;
    for (int i = 0; i < 3; ++i) {
        Completion c = Next();
        EXPECT_EQ(IoStatus::kCanceled, c.result.status);
        EXPECT_EQ(kKey, c.key);
        seen.push_back(c.request);
    }
    EXPECT_EQ((std::vector<void*>{&receive, &send1, &send2}), seen);
    ExpectNothingMore();
    EXPECT_EQ(IoStatus::kNotAssociated, port.CloseSocket(pair.server))
        << "a closed socket left the port";
    EXPECT_EQ(IoStatus::kNotAssociated,
              port.PostReceive(pair.server, receive.buffer, 100, &receive));
}

TEST_F(CompletionPortTest, SendToAResetPeerFailsWithoutACompletion) {
    TcpPair pair;
    ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey));
    Request r;
    ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, 100, &r));
    pair.ResetClient();
    Completion c = Next();
    ASSERT_EQ(IoStatus::kPeerReset, c.result.status) << "the reset reached the receive";
    platform::IoResult sent = port.PostSend(pair.server, "data", 4, &r);
    EXPECT_EQ(IoStatus::kPeerReset, sent.status) << "error " << sent.code;
    ExpectNothingMore();
    port.CloseSocket(pair.server);
}

TEST_F(CompletionPortTest, RefusesMisuse) {
    TcpPair pair;
    Request r;
    EXPECT_EQ(IoStatus::kNotAssociated, port.PostReceive(pair.server, r.buffer, 10, &r))
        << "not associated";
    EXPECT_EQ(IoStatus::kNotAssociated, port.PostSend(pair.server, "x", 1, &r)) << "not associated";
    ASSERT_EQ(IoStatus::kOk, port.Associate(pair.server, kKey));
    EXPECT_EQ(IoStatus::kAlreadyAssociated, port.Associate(pair.server, kKey));
    EXPECT_EQ(IoStatus::kInvalid, port.PostReceive(pair.server, r.buffer, 0, &r));
    EXPECT_EQ(IoStatus::kInvalid, port.PostSend(pair.server, "x", 0, &r));
    ASSERT_EQ(IoStatus::kOk, port.PostReceive(pair.server, r.buffer, 10, &r));
    EXPECT_EQ(IoStatus::kBusy, port.PostReceive(pair.server, r.buffer, 10, &r));
    port.CloseSocket(pair.server);
    EXPECT_EQ(IoStatus::kCanceled, Next().result.status);
}

TEST_F(CompletionPortTest, DequeueTimesOutAndFailsOnClosedPort) {
    Completion c;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, port.Dequeue(&c, 200));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(0, port.Dequeue(&c, 0));
    port.Close();
    EXPECT_EQ(-1, port.Dequeue(&c, 0));
    EXPECT_FALSE(port.Post(0, nullptr, 0));
}

// Many threads send on several sockets while one thread dequeues and another
// closes half of the sockets midway: every accepted request must come out
// exactly once, and refused ones never.
TEST_F(CompletionPortTest, EveryAcceptedRequestCompletesExactlyOnceUnderConcurrency) {
    constexpr int kSockets = 6;
    constexpr int kSendsPerThread = 400;
    std::vector<std::unique_ptr<TcpPair>> pairs;
    for (int i = 0; i < kSockets; ++i) {
        pairs.push_back(std::make_unique<TcpPair>());
        ASSERT_EQ(IoStatus::kOk, port.Associate(pairs[i]->server, static_cast<uintptr_t>(i + 1)));
    }
    struct Tracked {
        std::atomic<int> accepted{0};
        std::atomic<int> completed{0};
    };
    std::vector<Tracked> tracked(kSockets * kSendsPerThread);
    std::atomic<int> outstanding{0};
    std::atomic<int> posted{0};

    std::atomic<bool> readersRun{true};
    std::vector<std::thread> readers;
    for (int i = 0; i < kSockets; ++i) {
        readers.emplace_back([&, i] {
            char buffer[4096];
            while (readersRun) {
                long n = pairs[i]->client->Receive(buffer, sizeof buffer);
                if (n <= 0) break;
            }
        });
    }
    std::thread worker([&] {
        Completion c;
        for (;;) {
            ASSERT_EQ(1, port.Dequeue(&c, 10000));
            if (c.key == 0) break;
            static_cast<Tracked*>(c.request)->completed++;
            outstanding--;
        }
    });
    std::vector<std::thread> senders;
    const std::string payload(300, 'p');
    for (int i = 0; i < kSockets; ++i) {
        senders.emplace_back([&, i] {
            for (int j = 0; j < kSendsPerThread; ++j) {
                Tracked* t = &tracked[i * kSendsPerThread + j];
                outstanding++;
                posted++;
                if (port.PostSend(pairs[i]->server, payload.data(), payload.size(), t).ok()) {
                    t->accepted++;
                } else {
                    outstanding--;
                }
            }
        });
    }
    // Close every other socket once the senders are well under way.
    while (posted < kSockets * kSendsPerThread / 4) std::this_thread::yield();
    for (int i = 0; i < kSockets; i += 2) port.CloseSocket(pairs[i]->server);
    for (auto& t : senders) t.join();
    Eventually([&] { return outstanding <= 0; }, 10000);
    port.Post(0, nullptr, 0);
    worker.join();
    for (int i = 1; i < kSockets; i += 2) port.CloseSocket(pairs[i]->server);
    readersRun = false;
    for (int i = 0; i < kSockets; ++i) pairs[i]->client->Shutdown();
    for (auto& t : readers) t.join();

    for (size_t k = 0; k < tracked.size(); ++k) {
        EXPECT_EQ(tracked[k].accepted.load(), tracked[k].completed.load()) << "request " << k;
    }
}

TEST(SocketHelpers, WakeListenerEndsABlockedAcceptAndPeerTextNamesTheClient) {
    int listener = -1;
    ASSERT_TRUE(platform::OpenListener("127.0.0.1", 0, 8, &listener).ok());
    uint16_t port = platform::LocalPort(listener);
    ASSERT_NE(0, port);

    TcpPair pair;
    EXPECT_EQ("127.0.0.1:" + std::to_string(pair.client->LocalPort()),
              platform::PeerAddressText(pair.server));
    EXPECT_EQ("unknown", platform::PeerAddressText(listener));

    platform::IoResult result;
    int accepted = 0;
    std::thread acceptor([&] { result = platform::AcceptConnection(listener, &accepted); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    platform::WakeListener(listener);
    acceptor.join();
    EXPECT_EQ(IoStatus::kClosed, result.status);
    EXPECT_EQ(-1, accepted);
    EXPECT_EQ(platform::AcceptFailure::kStop, platform::ClassifyAcceptError(result));
    platform::CloseSocket(listener);
    platform::CloseSocket(pair.server);

    int none = 0;
    EXPECT_EQ(IoStatus::kInvalid, platform::OpenListener("not-an-address", 0, 8, &none).status);
    EXPECT_EQ(-1, none);
}

// Connects a blocking client of the family to the loopback-or-any listener
// address text on port, accepts it and returns the listener's view of it.
std::string AcceptedPeer(int listener, int family, const char* address, uint16_t port) {
    int client = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage to{};
    socklen_t length;
    if (family == AF_INET6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&to);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(port);
        inet_pton(AF_INET6, address, &sa->sin6_addr);
        length = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&to);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(port);
        inet_pton(AF_INET, address, &sa->sin_addr);
        length = sizeof *sa;
    }
    std::string peer = "not connected";
    if (connect(client, reinterpret_cast<sockaddr*>(&to), length) == 0) {
        int accepted = -1;
        if (platform::AcceptConnection(listener, &accepted).ok()) {
            peer = platform::PeerAddressText(accepted);
            platform::CloseSocket(accepted);
        }
    }
    close(client);
    // The client's port is the machine's choice: only the address is compared.
    return peer.substr(0, peer.rfind(':'));
}

// IPv6 listeners: "::1" serves IPv6 loopback clients, "::" IPv4 clients
// too, which are named by their IPv4 address.
TEST(SocketHelpers, IPv6AddressesListen) {
    const struct {
        const char* listen;
        int family;
        const char* client;
        const char* peer;
    } cases[] = {
        {"::1", AF_INET6, "::1", "[::1]"},
        {"::", AF_INET6, "::1", "[::1]"},
        {"::", AF_INET, "127.0.0.1", "127.0.0.1"},
    };
    for (const auto& c : cases) {
        int listener = -1;
        ASSERT_TRUE(platform::OpenListener(c.listen, 0, 8, &listener).ok()) << c.listen;
        uint16_t port = platform::LocalPort(listener);
        ASSERT_NE(0, port) << c.listen;
        EXPECT_EQ(c.peer, AcceptedPeer(listener, c.family, c.client, port))
            << c.listen << " " << c.client;
        platform::CloseSocket(listener);
    }
    int none = 0;
    EXPECT_EQ(IoStatus::kInvalid, platform::OpenListener("::1::2", 0, 8, &none).status);
}

}  // namespace
