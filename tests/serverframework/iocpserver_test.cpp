#include "serverframework/iocpserver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "tests/serverframework/lineclient.h"

namespace {

// Echoes every read back and keeps the open contexts so that the test can
// act on them from its own thread. "close" makes the server close the client;
// "slow" keeps the worker busy in the hook.
class EchoServer : public CIOCPServer {
  public:
    // The worker of a Stop that missed its deadline may still be inside a
    // hook of this object.
    ~EchoServer() override { WaitForAbandonedWorker(); }
    std::atomic<int> started{0};
    std::atomic<int> shutdowns{0};
    std::atomic<int> connected{0};
    std::atomic<int> disconnected{0};
    std::atomic<int> bytesSent{0};
    std::atomic<bool> dataWasTerminated{true};
    std::atomic<long> lastFlags{0};
    std::atomic<int> slowHookMs{0};
    std::atomic<bool> slowHookDone{false};

    // One context that is open, with a reference the caller must Release.
    CIOCPClientContext* TakeOpenContext() {
        std::lock_guard<std::mutex> guard(mutex);
        if (open.empty()) return nullptr;
        CIOCPClientContext* context = *open.begin();
        context->AddRef();
        return context;
    }

  protected:
    void OnServerStarted() override { ++started; }
    void OnServerShutdown() override {
        ++shutdowns;
        while (CIOCPClientContext* context = TakeOpenContext()) {
            CloseClient(context);
            context->Release();
        }
    }
    CIOCPClientContext* CreateClientContext(int socket) override {
        return new CIOCPClientContext(socket);
    }
    CIOCPClientContext* CreateSslClientContext(int, SSL*) override { return nullptr; }
    long OnClientConnected(CIOCPClientContext* context) override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            open.insert(context);
        }
        ++connected;
        PostRead(context, IO_FLAG_AWAITING_LOGIN, 5000);
        return 1;
    }
    long OnClientDisconnected(CIOCPClientContext* context) override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            open.erase(context);
        }
        ++disconnected;
        return 1;
    }
    long OnDataReceived(CIOCPClientContext* context, long flags, char* data,
                        long byteCount) override {
        if (data[byteCount] != '\0') dataWasTerminated = false;
        lastFlags = flags;
        std::string text(data, static_cast<size_t>(byteCount));
        if (text == "close") {
            CloseClient(context);
            return 1;
        }
        if (text == "slow") {
            std::this_thread::sleep_for(std::chrono::milliseconds(slowHookMs.load()));
            slowHookDone = true;
        }
        Send(context, 0, data, byteCount);
        PostRead(context, flags, 5000);
        return 1;
    }
    long OnDataSent(CIOCPClientContext*, long, char*, long byteCount) override {
        bytesSent += static_cast<int>(byteCount);
        return 1;
    }

  private:
    std::mutex mutex;
    std::set<CIOCPClientContext*> open;
};

class IOCPServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server = new EchoServer;
        server->SetListenAddress("127.0.0.1");
        ASSERT_EQ(1, server->Start(1000, 0, 0));
        port = server->GetListenPort();
        ASSERT_NE(0, port);
        EXPECT_EQ(1, server->started.load());
    }
    void TearDown() override {
        server->Stop();
        delete server;
    }

    EchoServer* server = nullptr;
    uint16_t port = 0;
};

TEST_F(IOCPServerTest, EchoesWithFlagsCarriedAndDataTerminated) {
    LineClient client(port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.SendRaw("ping\r\n"));
    EXPECT_EQ("ping\r\n", client.ReadLine());
    EXPECT_TRUE(server->dataWasTerminated.load());
    EXPECT_EQ(IO_FLAG_AWAITING_LOGIN | IO_FLAG_READ, server->lastFlags.load());
    EXPECT_TRUE(Eventually([&] { return server->bytesSent.load() == 6; }));
}

TEST_F(IOCPServerTest, PeerCloseAndResetEachDisconnectOnce) {
    for (bool reset : {false, true}) {
        int before = server->disconnected.load();
        LineClient client(port);
        ASSERT_TRUE(client.SendRaw("x\r\n"));
        ASSERT_EQ("x\r\n", client.ReadLine());
        if (reset) {
            client.Reset();
        } else {
            client.Close();
        }
        EXPECT_TRUE(Eventually([&] { return server->disconnected.load() == before + 1; }))
            << (reset ? "reset" : "orderly close");
    }
    // Stop hands every completion queued so far to the worker before it
    // ends, so a second disconnect of either client would be counted now.
    server->Stop();
    EXPECT_EQ(2, server->disconnected.load()) << "a client was disconnected twice";
}

TEST_F(IOCPServerTest, ClosedClientRefusesSendsAndReadsAndClosesOnce) {
    LineClient client(port);
    ASSERT_TRUE(Eventually([&] { return server->connected.load() == 1; }));
    CIOCPClientContext* context = server->TakeOpenContext();
    ASSERT_NE(nullptr, context);

    EXPECT_TRUE(server->Send(context, 0, "", 0)) << "zero length sends nothing and succeeds";
    client.Reset();
    // The reset fails the pending read, which closes the client.
    ASSERT_TRUE(Eventually([&] { return server->disconnected.load() == 1; }));
    EXPECT_FALSE(server->Send(context, 0, "late", 4));
    EXPECT_EQ(0, server->PostRead(context, 0, 5000));
    EXPECT_EQ(-1, server->CloseClient(context));
    EXPECT_EQ(0, server->CloseClient(nullptr));
    EXPECT_EQ(1, server->disconnected.load());
    context->Release();
}

TEST_F(IOCPServerTest, ClosingFromAnotherThreadWhileAReadIsPendingIsSafe) {
    for (int i = 0; i < 20; ++i) {
        LineClient client(port);
        ASSERT_TRUE(Eventually([&] { return server->connected.load() == i + 1; }));
        CIOCPClientContext* context = server->TakeOpenContext();
        ASSERT_NE(nullptr, context);
        std::thread sender([&] { client.SendRaw("data that races the close\r\n"); });
        EXPECT_EQ(0, server->CloseClient(context));
        sender.join();
        context->Release();
    }
    EXPECT_TRUE(Eventually([&] { return server->disconnected.load() == 20; }));
}

TEST_F(IOCPServerTest, StopClosesClientsAndEndsAccepting) {
    LineClient a(port), b(port);
    ASSERT_TRUE(Eventually([&] { return server->connected.load() == 2; }));
    server->Stop();
    EXPECT_EQ(1, server->shutdowns.load());
    EXPECT_TRUE(a.WaitClosed());
    EXPECT_TRUE(b.WaitClosed());
    EXPECT_EQ(0, server->GetListenPort());
    LineClient late(port, 500);
    EXPECT_FALSE(late.Connected()) << "the listener is still open after Stop";
    // Restarting works and serves again.
    ASSERT_EQ(1, server->Start(1000, 0, 0));
    LineClient again(server->GetListenPort());
    ASSERT_TRUE(again.SendRaw("again\r\n"));
    EXPECT_EQ("again\r\n", again.ReadLine());
}

TEST_F(IOCPServerTest, StartFailsOnAPortInUseOrWhenRunning) {
    EXPECT_EQ(0, server->Start(1000, 0, 0)) << "already running";
    EchoServer other;
    other.SetListenAddress("127.0.0.1");
    int listener = -1;
    ASSERT_TRUE(platform::OpenListener("127.0.0.1", 0, 1, &listener).ok());
    // SO_REUSEADDR does not let a second listener bind a port that an
    // active listener holds.
    EXPECT_EQ(0, other.Start(1000, platform::LocalPort(listener), 0));
    EXPECT_EQ(0, other.started.load());
    platform::CloseSocket(listener);
    other.Stop();
}

TEST_F(IOCPServerTest, StopWithABusyWorkerReturnsAfterItsDeadline) {
    server->slowHookMs = 4500;
    LineClient client(port);
    ASSERT_TRUE(client.SendRaw("slow"));
    ASSERT_TRUE(Eventually([&] { return server->lastFlags.load() != 0; }));
    auto start = std::chrono::steady_clock::now();
    server->Stop();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(2500));
    EXPECT_LT(took, std::chrono::milliseconds(4400)) << "Stop waited for the busy worker";
    // TearDown deletes the server, which waits for the worker to finish.
}

}  // namespace
