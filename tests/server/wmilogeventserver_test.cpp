#include "server/wmilogeventserver.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/capturesink.h"
#include "tests/app/tempdir.h"
#include "tests/app/testglobals.h"
#include "tests/server/fakeengine.h"
#include "tests/server/strangers.h"
#include "tests/serverframework/lineclient.h"

namespace {

using servertest::Call;
// The engine's calls and results of the running test.
servertest::FakeEngineScript g_script;

const char* const kAuth = "[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n";
const std::string kNotVerified =
    "ERROR unable to verify authentication information, please try again\r\n";
const std::string kHelpReply =
    "OK Help. following commands are available:\r\n"
    "1. ADD <hostname> <category> <severity> [ <username> <password> ] - to add a new host\r\n"
    "\tseverity levels are:\r\n"
    "\t\t1 - Error\r\n"
    " \t\t2 - Warning\r\n"
    "\t\t3 - Information\r\n"
    "\t\t4 - Security audit success\r\n"
    "\t\t5 - Security audit failure\r\n"
    "2. Replay <hostname> <category> <severity> <timefrom> <timeto> [ <username> <password> ] - "
    "to replay events from a host\r\n"
    "3. DELETE <hostname> [category] - to delete a host\r\n"
    "4. LIST - to list the configured/added hosts with configurations\r\n"
    "5. NOOP - no operation, just a ping\r\n"
    "6. LOGOUT - to log out of the server\r\n"
    "7. LOGLEVEL [trace|debug|info|warn|error|fatal]\r\n"
    "8. STATS - to show each subscription's counts, lag and last error\r\n"
    ".\r\n"
    ".\r\n";

// The command server with a count of the bytes its reads handed to the
// protocol. A test that waits until the server has consumed what it sent
// (SendConsumed) knows that its next send arrives in a read of its own: the
// count grows only after the read was answered and the next one posted.
class ObservedServer : public CWmiLogEventServer {
  public:
    std::atomic<long> bytesRead{0};

  protected:
    long OnDataReceived(CIOCPClientContext* context, long flags, char* data,
                        long byteCount) override {
        long result = CWmiLogEventServer::OnDataReceived(context, flags, data, byteCount);
        bytesRead += byteCount;
        return result;
    }
};

// The error the client's connection meets within a few seconds
// (ECONNRESET when the server reset it), 0 when none; reads nothing.
int AwaitError(LineClient& client) {
    int error = 0;
    Eventually([&] {
        error = client.TakeError();
        return error != 0;
    });
    return error;
}

class CommandServerTest : public ::testing::Test {
  protected:
    // Starts a server on a loopback port with the given configuration file
    // text, a logger at logLevel writing into the temporary folder (none for
    // an empty level), and the recording engine when withController is
    // set. The process-wide pointers are set before the server's threads
    // start and restored after they ended.
    void StartServer(const std::string& ini, bool withController = false,
                     const std::string& logLevel = "INFO") {
        g_script.Reset();
        globals.LoadConfig(dir, ini);
        globals.StartLogger(dir, logLevel, &sink);

        server = std::make_unique<ObservedServer>();
        if (withController) server->SetController(new servertest::FakeEngine(g_script));
        server->SetListenAddress("127.0.0.1");
        ASSERT_EQ(1, server->Start(1000, 0, 0));
        port = server->GetListenPort();
    }
    void StopServer() {
        if (server) server->Stop();
        server.reset();
    }
    void TearDown() override {
        StopServer();
        EXPECT_EQ(0, g_script.liveEngines) << "the server did not delete its engine";
    }
    std::unique_ptr<LineClient> LoggedInClient() {
        auto client = std::make_unique<LineClient>(port);
        std::string reply = client->Login("alice", "secret");
        EXPECT_EQ("OK authentication successful (users=" +
                      std::to_string(server->GetConnectionCount()) + ")\r\n",
                  reply);
        return client;
    }

    // Sends text and waits until the server's reads have taken all of it.
    void SendConsumed(LineClient& client, const std::string& text) {
        long before = server->bytesRead.load();
        ASSERT_TRUE(client.SendRaw(text));
        ASSERT_TRUE(Eventually([&] {
            return server->bytesRead.load() >= before + static_cast<long>(text.size());
        })) << "the server did not read what was sent";
    }

    TempDir dir;
    CaptureSink sink;
    TestGlobals globals;  // after sink, which must outlive the logger
    std::unique_ptr<ObservedServer> server;
    uint16_t port = 0;
};

TEST_F(CommandServerTest, GreetsWithBannerVersionAndBuildDate) {
    StartServer(kAuth);
    LineClient client(port);
    std::string greeting = client.ReadLine();
    const std::string head = "200 Halcrest WMI Event Listener (v5.5 build ";
    const std::string tail = ") Ready To Authenticate\r\n";
    ASSERT_EQ(head.size() + 11 + tail.size(), greeting.size()) << greeting;
    EXPECT_EQ(head, greeting.substr(0, head.size()));
    EXPECT_EQ(tail, greeting.substr(greeting.size() - tail.size()));
    std::string date = greeting.substr(head.size(), 11);  // "Mmm dd yyyy"
    EXPECT_EQ(std::string(__DATE__).substr(7), date.substr(7)) << date;
}

TEST_F(CommandServerTest, LoginOutcomes) {
    StartServer(kAuth);
    struct Case {
        std::string line;
        std::string reply;
    } cases[] = {
        {"LOGIN alice secret", "OK authentication successful (users=1)\r\n"},
        {"login ALICE SeCrEt", "OK authentication successful (users=1)\r\n"},
        {"Login\talice\tsecret", "ERROR invalid command - Login\talice\tsecret\r\n"},
        {"LOGIN alice wrong", kNotVerified},
        {"LOGIN bob secret", kNotVerified},
        {"LOGIN alice", "ERROR insufficient/incorrect parameters\r\n"},
        {"LOGIN alice:x secret", "ERROR insufficient/incorrect parameters\r\n"},
        // The match ends at the colon: the password compared is "sec".
        {"LOGIN alice sec:ret", kNotVerified},
        {"LOGIN alice " + std::string(128, 'p'), kNotVerified},
        {"LOGIN " + std::string(128, 'u') + " secret", kNotVerified},
    };
    for (const Case& c : cases) {
        LineClient client(port);
        client.ReadLine();
        client.SendLine(c.line);
        EXPECT_EQ(c.reply, client.ReadLine()) << c.line;
        // Still connected, and logged in exactly when the reply said so.
        client.SendLine("NOOP");
        bool loggedIn = c.reply.rfind("OK authentication", 0) == 0;
        EXPECT_EQ(loggedIn ? "OK noop\r\n" : "ERROR please login first\r\n", client.ReadLine())
            << c.line;
        // The user count of the next case counts this client until the
        // server has seen it go.
        client.Close();
        ASSERT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; })) << c.line;
    }
}

TEST_F(CommandServerTest, LoginFailsWhenAuthenticationKeysAreMissing) {
    for (const char* ini :
         {"[LISTEN]\nPORT=1\n", "[LOCAL_AUTH]\nUSERNAME=alice\n", "[LOCAL_AUTH]\nPASSWORD=secret\n",
          "[LOCAL_AUTH]\nUSERNAME=\nPASSWORD=\n"}) {
        StartServer(ini);
        LineClient client(port);
        EXPECT_EQ(kNotVerified, client.Login("alice", "secret")) << ini;
        StopServer();
    }
}

TEST_F(CommandServerTest, CommandsBeforeLogin) {
    StartServer(kAuth);
    LineClient client(port);
    client.ReadLine();
    struct Case {
        const char* line;
        const char* reply;
    } cases[] = {
        {"HELP", "ERROR please login first\r\n"},
        {"NOOP", "ERROR please login first\r\n"},
        {"ADD host System 3", "ERROR please login first\r\n"},
        {"LOGOUT", "ERROR please login first\r\n"},
        {"STATS", "ERROR please login first\r\n"},
        {"FOO", "ERROR invalid command - FOO\r\n"},
        {"", "OK waiting for next command\r\n"},
    };
    for (const Case& c : cases) {
        client.SendLine(c.line);
        EXPECT_EQ(c.reply, client.ReadLine()) << c.line;
    }
}

TEST_F(CommandServerTest, RepliesOfALoggedInSession) {
    StartServer(kAuth);
    auto client = LoggedInClient();
    struct Case {
        std::string line;
        std::string reply;
    } cases[] = {
        {"NOOP", "OK noop\r\n"},
        {"noop extra words", "OK noop\r\n"},
        {"", "OK waiting for next command\r\n"},
        {" NOOP", "ERROR invalid command -  NOOP\r\n"},
        {"FOO bar", "ERROR invalid command - FOO bar\r\n"},
        {"LOGIN alice secret", "OK already logged in\r\n"},
        {"LOGLEVEL", "OK INFO\r\n"},
        {"LOGLEVEL debug", "OK updated log level\r\n"},
        {"loglevel", "OK DEBUG\r\n"},
        {"LOGLEVEL warning", "OK updated log level\r\n"},
        {"LogLevel", "OK WARN\r\n"},
        {"LOGLEVELdebug", "ERROR invalid command - LOGLEVELdebug\r\n"},
        {"HELP", kHelpReply},
        // Without an engine, well-formed subscription commands are refused
        // and malformed ones still get the parameter error.
        {"ADD host System 3", "ERROR subscription engine not available\r\n"},
        {"ADD host System", "ERROR insufficient/incorrect parameters\r\n"},
        {"DELETE host", "ERROR subscription engine not available\r\n"},
        {"DELETE", "ERROR insufficient/incorrect parameters\r\n"},
        {"REPLAY h System 3 20240101000000 0", "ERROR subscription engine not available\r\n"},
        {"REPLAY h System 3 2024", "ERROR insufficient/incorrect parameters\r\n"},
        {"LIST", "ERROR subscription engine not available\r\n"},
        {"STATS", "ERROR subscription engine not available\r\n"},
        // 255 characters pass, 256 are refused.
        {"NOOP " + std::string(250, 'x'), "OK noop\r\n"},
        {"NOOP " + std::string(251, 'x'),
         "ERROR invalid command - Command length exceeds the allowed 256 chars.\r\n"},
    };
    for (const Case& c : cases) {
        client->SendLine(c.line);
        std::string reply = client->ReadLine();
        while (reply.size() < c.reply.size() && reply.size() > 0 &&
               c.reply.compare(0, reply.size(), reply) == 0) {
            reply += client->ReadLine();  // multi-line replies
        }
        EXPECT_EQ(c.reply, reply) << c.line;
    }
}

TEST_F(CommandServerTest, LogLevelWithoutALoggerIsRefused) {
    StartServer(kAuth, false, "");
    auto client = LoggedInClient();
    client->SendLine("LOGLEVEL");
    EXPECT_EQ("ERROR no log file is configured\r\n", client->ReadLine());
    client->SendLine("LOGLEVEL debug");
    EXPECT_EQ("ERROR no log file is configured\r\n", client->ReadLine());
}

// The level argument is trimmed; a level the logger does not know is refused
// with the accepted levels and leaves the level as it was.
TEST_F(CommandServerTest, LogLevelArgumentIsTrimmedAndAnUnknownOneRefused) {
    StartServer(kAuth);
    auto client = LoggedInClient();
    const std::string updated = "OK updated log level\r\n";
    auto unknown = [](const std::string& level) {
        return "ERROR unknown log level \"" + level +
               "\"; the levels are trace, debug, info, warn, error and fatal (or 0 to 5)\r\n";
    };
    struct Case {
        std::string line;
        std::string reply;
        std::string levelAfter;
    } cases[] = {
        {"LOGLEVEL bogus", unknown("bogus"), "INFO"},
        {"LOGLEVEL debug ", updated, "DEBUG"},
        {"LOGLEVEL \tError\t", updated, "ERROR"},
        {"LOGLEVEL  ", "OK ERROR\r\n", "ERROR"},
        {"LOGLEVEL tra", unknown("tra"), "ERROR"},
        {"LOGLEVEL information", updated, "INFO"},
        {"LOGLEVEL 5", updated, "FATAL"},
        {"LOGLEVEL 0", updated, "TRACE"},
        {"LOGLEVEL 6", unknown("6"), "TRACE"},
        {"LOGLEVEL -1", unknown("-1"), "TRACE"},
        {"LOGLEVEL 1x", unknown("1x"), "TRACE"},
        {"LOGLEVEL warn x", unknown("warn x"), "TRACE"},
        {"LOGLEVEL WARN", updated, "WARN"},
    };
    for (const Case& c : cases) {
        client->SendLine(c.line);
        EXPECT_EQ(c.reply, client->ReadLine()) << c.line;
        client->SendLine("LOGLEVEL");
        EXPECT_EQ("OK " + c.levelAfter + "\r\n", client->ReadLine()) << c.line;
    }
}

TEST_F(CommandServerTest, LogoutExitAndQuitCloseTheConnection) {
    StartServer(kAuth);
    for (const char* command : {"LOGOUT", "exit", "Quit"}) {
        auto client = LoggedInClient();
        client->SendLine(command);
        EXPECT_EQ("OK logging off\r\n", client->ReadLine()) << command;
        EXPECT_TRUE(client->WaitClosed()) << command;
        EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; })) << command;
    }
}

TEST_F(CommandServerTest, LineAssemblyAcrossAndWithinReads) {
    StartServer(kAuth);
    auto client = LoggedInClient();

    SendConsumed(*client, "NO");
    client->SendRaw("OP\r\n");
    EXPECT_EQ("OK noop\r\n", client->ReadLine()) << "a line split across two reads";

    SendConsumed(*client, "NOOP\r");
    client->SendRaw("\n");
    EXPECT_EQ("ERROR invalid command - NOOP\r\r\n", client->ReadLine())
        << "CR in one read, LF in the next: the CR stays in the line";

    client->SendRaw("NOOP\n");
    EXPECT_EQ("OK noop\r\n", client->ReadLine()) << "a bare LF ends a line";

    // Several lines in one read are each answered, in order; a partial line
    // after them waits for the rest.
    SendConsumed(*client, "NOOP\r\nFOO\r\nLIST\nNO");
    EXPECT_EQ("OK noop\r\n", client->ReadLine());
    EXPECT_EQ("ERROR invalid command - FOO\r\n", client->ReadLine());
    EXPECT_EQ("ERROR subscription engine not available\r\n", client->ReadLine());
    client->SendRaw("OP\r\n");
    EXPECT_EQ("OK noop\r\n", client->ReadLine()) << "the partial line was kept";

    // A login and the commands after it in the same read.
    LineClient fresh(port);
    fresh.ReadLine();
    fresh.SendRaw("LOGIN alice secret\r\nNOOP\r\nQUIT\r\nNOOP\r\n");
    EXPECT_EQ("OK authentication successful (users=2)\r\n", fresh.ReadLine());
    EXPECT_EQ("OK noop\r\n", fresh.ReadLine());
    EXPECT_EQ("OK logging off\r\n", fresh.ReadLine());
    EXPECT_TRUE(fresh.WaitClosed()) << "nothing after QUIT is answered";
}

TEST_F(CommandServerTest, DataWithoutALineEndIsBoundedAndClosesTheConnection) {
    StartServer(kAuth);
    // An unfinished line may hold 4096 bytes; the 4097th is invalid data.
    struct Case {
        const char* name;
        std::vector<std::string> sends;
        bool refused;
    } cases[] = {
        {"4095 bytes in one read, then a line end", {std::string(4095, 'a'), "\r\n"}, false},
        {"4097 bytes in one read", {std::string(4097, 'a')}, true},
        {"3000 + 1097 bytes in two reads", {std::string(3000, 'a'), std::string(1097, 'a')}, true},
    };
    for (const Case& c : cases) {
        auto client = LoggedInClient();
        // Each part arrives in a read of its own.
        for (const std::string& s : c.sends) SendConsumed(*client, s);
        if (c.refused) {
            EXPECT_EQ("Invalid data received!\r\n", client->ReadLine()) << c.name;
            EXPECT_TRUE(client->WaitClosed()) << c.name;
            EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; }))
                << c.name << ": the slot was not freed";
        } else {
            EXPECT_EQ("ERROR invalid command - " + std::string(4095, 'a') + "\r\n",
                      client->ReadLine())
                << c.name;
            client->SendLine("NOOP");
            EXPECT_EQ("OK noop\r\n", client->ReadLine()) << c.name;
            client->SendLine("LOGOUT");
            client->ReadLine();
            EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; }));
        }
    }
}

// Any number of complete lines sent at once is answered, line by line and in
// order, also when the lines cross the server's reads (5000 bytes each); only
// the unfinished line at the end counts toward the 4096-byte bound.
TEST_F(CommandServerTest, PipelinedLinesAreAllAnsweredInOrder) {
    StartServer(kAuth);
    struct Case {
        int lines;            // "X<n>" lines sent in one go
        size_t unfinished;    // bytes of an unfinished line sent after them
        bool unfinishedFits;  // the unfinished line is kept, not refused
    } cases[] = {
        {1, 0, true},      {410, 0, true},    {700, 0, true},     {3000, 0, true},
        {700, 4095, true}, {700, 4096, true}, {700, 4097, false}, {3000, 4097, false},
    };
    for (const Case& c : cases) {
        std::string name =
            std::to_string(c.lines) + " lines, then " + std::to_string(c.unfinished) + " bytes";
        auto client = LoggedInClient();
        std::string batch;
        for (int i = 0; i < c.lines; ++i) batch += "X" + std::to_string(i) + "\r\n";
        batch += std::string(c.unfinished, 'u');
        ASSERT_TRUE(client->SendRaw(batch)) << name;
        for (int i = 0; i < c.lines; ++i) {
            ASSERT_EQ("ERROR invalid command - X" + std::to_string(i) + "\r\n", client->ReadLine())
                << name;
        }
        if (!c.unfinishedFits) {
            EXPECT_EQ("Invalid data received!\r\n", client->ReadLine()) << name;
            EXPECT_TRUE(client->WaitClosed()) << name;
        } else {
            client->SendRaw("\r\nNOOP\r\n");
            if (c.unfinished > 0) {
                EXPECT_EQ("ERROR invalid command - " + std::string(c.unfinished, 'u') + "\r\n",
                          client->ReadLine())
                    << name;
            } else {
                EXPECT_EQ("OK waiting for next command\r\n", client->ReadLine()) << name;
            }
            EXPECT_EQ("OK noop\r\n", client->ReadLine()) << name;
            client->SendLine("LOGOUT");
            EXPECT_EQ("OK logging off\r\n", client->ReadLine()) << name;
        }
        client.reset();
        ASSERT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; })) << name;
    }
}

// A line with a NUL byte is an invalid command (shown up to the NUL); the
// lines around it are answered.
TEST_F(CommandServerTest, ALineWithANulByteIsAnInvalidCommand) {
    StartServer(kAuth);
    auto client = LoggedInClient();
    using namespace std::string_literals;
    struct Case {
        std::string sent;
        std::vector<std::string> replies;
    } cases[] = {
        {"NOOP\r\nNO\0OP\r\nNOOP\r\n"s,
         {"OK noop\r\n", "ERROR invalid command - NO\r\n", "OK noop\r\n"}},
        {"\0\r\nNOOP\r\n"s, {"ERROR invalid command - \r\n", "OK noop\r\n"}},
        {"NOOP\0\r\nLIST\0 x\r\nNOOP\r\n"s,
         {"ERROR invalid command - NOOP\r\n", "ERROR invalid command - LIST\r\n", "OK noop\r\n"}},
    };
    for (const Case& c : cases) {
        client->SendRaw(c.sent);
        for (const std::string& reply : c.replies) {
            EXPECT_EQ(reply, client->ReadLine()) << c.replies.front();
        }
    }
    // Before login too.
    LineClient fresh(port);
    fresh.ReadLine();
    fresh.SendRaw("LOGIN alice\0 secret\r\nLOGIN alice secret\r\n"s);
    EXPECT_EQ("ERROR invalid command - LOGIN alice\r\n", fresh.ReadLine());
    EXPECT_EQ("OK authentication successful (users=2)\r\n", fresh.ReadLine());
}

// "Max user count reached (3)" is for a newcomer that finds every slot held
// by a logged-in client; a logout frees one.
TEST_F(CommandServerTest, ConnectionLimitRefusesTheFourthAndFreesSlotsOnLogout) {
    StartServer(kAuth);  // LISTEN.MAXCONNECTIONS absent: 3
    auto first = LoggedInClient();
    auto second = LoggedInClient();
    auto third = LoggedInClient();

    LineClient fourth(port);
    EXPECT_EQ("Max user count reached (3)", fourth.ReadBytes(100));
    EXPECT_TRUE(fourth.WaitClosed());
    EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 3; }));

    first->SendLine("LOGOUT");
    EXPECT_EQ("OK logging off\r\n", first->ReadLine());
    ASSERT_TRUE(Eventually([&] { return server->GetConnectionCount() == 2; }));
    LineClient fifth(port);
    EXPECT_EQ(0u, fifth.ReadLine().rfind("200 ", 0)) << "a freed slot is usable again";
}

// A full listener gives up a connection that has not logged in for the
// newcomer, rather than refusing the newcomer: the oldest of the source
// block that holds the most such connections, reset as a forced
// disconnect. Logged-in clients never give way.
TEST_F(CommandServerTest, AFullListenerDropsTheOldestConnectionNotLoggedIn) {
    const struct {
        const char* name;
        // Sources of the connections that fill the three slots, in order;
        // "L" logs in from 127.0.0.1.
        std::vector<const char*> holders;
        // The one that gives way to a newcomer from 127.0.0.9.
        int dropped;
    } cases[] = {
        {"the oldest waiting", {"L", "127.0.0.2", "127.0.0.3"}, 1},
        {"the block with the most waiting", {"127.0.0.2", "127.0.0.3", "127.0.0.3"}, 1},
        {"of equal blocks the oldest", {"127.0.0.3", "127.0.0.2", "L"}, 0},
    };
    for (const auto& c : cases) {
        StartServer(kAuth);
        std::vector<std::unique_ptr<LineClient>> holders;
        for (const char* source : c.holders) {
            if (std::string(source) == "L") {
                holders.push_back(LoggedInClient());
                continue;
            }
            holders.push_back(std::make_unique<LineClient>(port, 5000, 0, source));
            ASSERT_EQ(0u, holders.back()->ReadLine().rfind("200 ", 0)) << c.name;
        }
        LineClient newcomer(port, 5000, 0, "127.0.0.9");
        EXPECT_EQ("OK authentication successful (users=3)\r\n", newcomer.Login("alice", "secret"))
            << c.name;
        EXPECT_EQ(ECONNRESET, AwaitError(*holders[c.dropped])) << c.name << ": not reset";
        for (size_t i = 0; i < holders.size(); ++i) {
            if (static_cast<int>(i) == c.dropped) continue;
            holders[i]->SendLine("NOOP");
            std::string reply = holders[i]->ReadLine();
            EXPECT_TRUE(reply == "OK noop\r\n" || reply.rfind("ERROR", 0) == 0)
                << c.name << " " << i << ": " << reply;
        }
        EXPECT_NE(std::string::npos,
                  sink.Text().find("not logged in while every connection slot is taken"))
            << c.name << "\n"
            << sink.Text();
        StopServer();
    }
}

TEST_F(CommandServerTest, ConfiguredConnectionLimit) {
    StartServer(std::string(kAuth) + "[LISTEN]\nMAXCONNECTIONS=1\n");
    auto first = LoggedInClient();
    LineClient second(port);
    EXPECT_EQ("Max user count reached (1)", second.ReadBytes(100));
}

// A client that closes while the worker is still busy with its lines leaves
// a free slot at once: the next client is greeted, not refused.
TEST_F(CommandServerTest, AClosedClientsSlotIsFreeForTheNextAtOnce) {
    StartServer(std::string(kAuth) + "[LISTEN]\nMAXCONNECTIONS=1\n");
    std::string batch;
    for (int i = 0; i < 3000; ++i) batch += "X" + std::to_string(i) + "\r\n";
    for (int round = 0; round < 5; ++round) {
        {
            auto leaving = LoggedInClient();
            leaving->SendRaw(batch);
        }
        LineClient next(port);
        EXPECT_EQ(0u, next.ReadLine().rfind("200 ", 0)) << "round " << round;
        next.Close();
        ASSERT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; }))
            << "round " << round << ": " << server->GetConnectionCount();
    }
}

TEST_F(CommandServerTest, BroadcastReachesOnlyLoggedInClients) {
    StartServer(kAuth);
    auto a = LoggedInClient();
    auto b = LoggedInClient();
    LineClient anonymous(port);
    anonymous.ReadLine();

    server->SendToAllClients("NTEVENT: one\r\n.\r\n \t\r\n");
    server->SendToAllClients("plain");
    for (LineClient* c : {a.get(), b.get()}) {
        EXPECT_EQ("NTEVENT: one\r\n", c->ReadLine());
        EXPECT_EQ(".\r\n", c->ReadLine());
        EXPECT_EQ("plain\r\n", c->ReadLine());
    }
    anonymous.SendLine("NOOP");
    EXPECT_EQ("ERROR please login first\r\n", anonymous.ReadLine())
        << "a client that has not logged in received a broadcast";

    b->SendLine("LOGOUT");
    EXPECT_EQ("OK logging off\r\n", b->ReadLine());
    ASSERT_TRUE(Eventually([&] { return server->GetConnectionCount() == 2; }));
    server->SendToAllClients("after");
    EXPECT_EQ("after\r\n", a->ReadLine());
    EXPECT_TRUE(b->WaitClosed());
}

TEST_F(CommandServerTest, BroadcastOfSeveralTextsSendsTheBytesOfOneBroadcastEach) {
    StartServer(kAuth);
    auto a = LoggedInClient();
    auto b = LoggedInClient();

    // Event records, trailing blanks, and an empty text.
    const std::vector<std::string> texts = {"NTEVENT: one\r\n.\r\n", "plain \t\r\n", "",
                                            "NTEVENT: two \"x y\"\r\n.\r\n"};
    const std::string expected = "NTEVENT: one\r\n.\r\nplain\r\n\r\nNTEVENT: two \"x y\"\r\n.\r\n";
    server->SendLinesToClients(texts, 0);
    server->SendLinesToClients({}, 0);
    server->SendToAllClients("after");
    for (LineClient* c : {a.get(), b.get()}) {
        EXPECT_EQ(expected, c->ReadBytes(expected.size()));
        EXPECT_EQ("after\r\n", c->ReadLine()) << "an empty list must send nothing";
    }
}

// Collects the delivery reports of the command server.
class ReportCollector : public CDeliveryReports {
  public:
    void Settled(uint64_t mark, bool delivered) override {
        std::lock_guard<std::mutex> guard(mutex);
        reports[mark].push_back(delivered);
    }
    // The reports of mark so far.
    std::vector<bool> Of(uint64_t mark) {
        std::lock_guard<std::mutex> guard(mutex);
        return reports[mark];
    }

  private:
    std::mutex mutex;
    std::map<uint64_t, std::vector<bool>> reports;
};

// A mark is reported once, and only when every logged-in client's socket
// took its bytes or the client is gone: delivered when some client took it,
// not delivered when nobody was there to take it.
TEST_F(CommandServerTest, ADeliveryMarkIsReportedOnceEveryLoggedInClientTookIt) {
    StartServer(kAuth);
    ReportCollector reports;
    server->ReportDeliveryTo(&reports);
    EXPECT_FALSE(server->Receiving());
    server->SendLinesToClients({"NTEVENT: nobody\r\n.\r\n"}, 1);
    EXPECT_EQ(reports.Of(1), std::vector<bool>{false}) << "nobody logged in: at once";

    auto reader = LoggedInClient();
    auto stalled = std::make_unique<LineClient>(port, 5000, 4096);
    ASSERT_EQ(stalled->Login("alice", "secret").rfind("OK authentication", 0), 0u);
    EXPECT_TRUE(server->Receiving());
    // Far more than the system buffers of the stalled connection hold.
    const std::string record = "NTEVENT: " + std::string(64 * 1024, 'r') + "\r\n.\r\n";
    constexpr uint64_t kMarks = 200;
    std::thread readerThread([&] {
        for (uint64_t i = 0; i < 2 * kMarks; ++i) reader->ReadLine();
    });
    for (uint64_t mark = 2; mark < 2 + kMarks; ++mark) server->SendLinesToClients({record}, mark);
    readerThread.join();
    ASSERT_TRUE(Eventually([&] { return !reports.Of(2).empty(); }));
    EXPECT_TRUE(reports.Of(1 + kMarks).empty())
        << "the stalled client has not taken the last record: not reported yet";

    stalled.reset();  // its queued sends end with the connection
    ASSERT_TRUE(Eventually([&] { return !reports.Of(1 + kMarks).empty(); }));
    for (uint64_t mark = 2; mark < 2 + kMarks; ++mark) {
        EXPECT_EQ(reports.Of(mark), std::vector<bool>{true}) << mark << ": the reader took it";
    }
    server->ReportDeliveryTo(nullptr);
    server->SendLinesToClients({"NTEVENT: late\r\n.\r\n"}, 9999);
    reader->ReadLine();
    EXPECT_TRUE(reports.Of(9999).empty()) << "no report after ReportDeliveryTo(nullptr)";
}

TEST_F(CommandServerTest, AClientThatResetsDuringABroadcastDoesNotDisturbTheOthers) {
    StartServer(std::string(kAuth) + "[LISTEN]\nMAXCONNECTIONS=10\n");
    auto a = LoggedInClient();
    auto b = LoggedInClient();
    auto c = LoggedInClient();
    std::thread broadcaster([&] {
        for (int i = 0; i < 200; ++i) server->SendToAllClients("tick " + std::to_string(i));
    });
    b->Reset();
    broadcaster.join();
    for (LineClient* client : {a.get(), c.get()}) {
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ("tick " + std::to_string(i) + "\r\n", client->ReadLine()) << i;
        }
        client->SendLine("NOOP");
        EXPECT_EQ("OK noop\r\n", client->ReadLine());
    }
    EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 2; }));
}

TEST_F(CommandServerTest, StopBroadcastsShutdownStopsTheEngineThenClosesClients) {
    StartServer(kAuth, true);
    TNotice deleted;
    deleted.kind = TNoticeKind::Deleted;
    deleted.host = "h";
    deleted.category = "System";
    deleted.severity = "3";
    g_script.noticeOnStop = deleted;
    auto a = LoggedInClient();
    auto b = LoggedInClient();
    LineClient anonymous(port);
    anonymous.ReadLine();
    StopServer();
    for (LineClient* c : {a.get(), b.get()}) {
        EXPECT_EQ("Server shutdown\r\n", c->ReadLine());
        EXPECT_EQ("OK Deleted Host h System 3\r\n", c->ReadLine());
        EXPECT_TRUE(c->WaitClosed());
    }
    EXPECT_TRUE(anonymous.WaitClosed());
    std::vector<Call> calls = g_script.Take();
    EXPECT_EQ((std::vector<Call>{{"Start"}, {"Stop"}}), calls);
}

TEST_F(CommandServerTest, SubscriptionCommandsReachTheControllerWithTheirFields) {
    StartServer(kAuth, true);
    auto client = LoggedInClient();
    ASSERT_EQ((std::vector<Call>{{"Start"}}), g_script.Take());
    const std::string pad(255 - std::string("ADD host System 3 ").size(), 'u');
    struct Case {
        std::string line;
        int result;  // addResult or deleteResult for the call
        std::string reply;
        Call call;
    } cases[] = {
        {"ADD host System 3",
         0,
         "OK queuing subscription for host System 3\r\n",
         {"Add", "host", "System", "3", "", ""}},
        {"add host System *",
         0,
         "OK queuing subscription for host System *\r\n",
         {"Add", "host", "System", "*", "", ""}},
        {"ADD host System 3 alice",
         0,
         "OK queuing subscription for host System 3\r\n",
         {"Add", "host", "System", "3", "", ""}},
        {"ADD host System 10",
         0,
         "OK queuing subscription for host System 1\r\n",
         {"Add", "host", "System", "1", "", ""}},
        {"ADD h Directory Service 3",
         0,
         "OK queuing subscription for h Directory Service 3\r\n",
         {"Add", "h Directory", "Service", "3", "", ""}},
        {"ADD host System 3 bob pw",
         0,
         "OK queuing subscription for host System 3\r\n",
         {"Add", "host", "System", "3", "bob", "pw"}},
        {"ADD host System 3 " + pad,
         0,
         "OK queuing subscription for host System 3\r\n",
         {"Add", "host", "System", "3", "", ""}},
        {"ADD host System 3",
         -1,
         "ERROR subscription for host System 3 already exists\r\n",
         {"Add", "host", "System", "3", "", ""}},
        {"ADD nohost System 3",
         -2,
         "ERROR Invalid host for nohost System 3\r\n",
         {"Add", "nohost", "System", "3", "", ""}},
        {"ADD host System x", 0, "ERROR insufficient/incorrect parameters\r\n", {}},
        {"DELETE host",
         2,
         "OK queued deletion of subscription for 2 host(s)\r\n",
         {"Delete", "host", "*", "*"}},
        {"DELETE host System",
         1,
         "OK queued deletion of subscription for 1 host(s)\r\n",
         {"Delete", "host", "System", "*"}},
        {"DELETE * *", 0, "ERROR no matching subscription found\r\n", {"Delete", "*", "*", "*"}},
        {"REPLAY h System 3 20240101000000 0",
         0,
         "OK replaying events for requested time period\r\n",
         {"Replay", "h", "System", "3", "20240101000000", "0", "", ""}},
        {"REPLAY h System 3 20240101000000 20240102000000 carol pw",
         0,
         "OK replaying events for requested time period\r\n",
         {"Replay", "h", "System", "3", "20240101000000", "20240102000000", "carol", "pw"}},
        {"REPLAY h System 3 20240101000000 0 carol pw",
         0,
         "OK replaying events for requested time period\r\n",
         {"Replay", "h", "System", "3", "20240101000000", "0", "carol", "pw"}},
        {"REPLAY h System 3 2024010100000 0", 0, "ERROR insufficient/incorrect parameters\r\n", {}},
        {"LIST everything", 0, "OK List Follows for 0 entries (0 unreachable):\r\n.\r\n", {"List"}},
        // The engine is told how many clients are logged in (this one) and
        // how many event records wait for them (none).
        {"stats", 0, "OK Stats Follows for 0 entries\r\nclients=1\r\n.\r\n", {"Stats", "1", "0"}},
    };
    for (const Case& c : cases) {
        g_script.addResult = c.result;
        g_script.deleteResult = c.result;
        client->SendLine(c.line);
        std::string reply = client->ReadLine();
        if (c.call == Call{"List"}) reply += client->ReadLine();
        if (!c.call.empty() && c.call[0] == "Stats") {
            reply += client->ReadLine();
            reply += client->ReadLine();
        }
        EXPECT_EQ(c.reply, reply) << c.line;
        std::vector<Call> calls = g_script.Take();
        std::vector<Call> expected;
        if (!c.call.empty()) expected.push_back(c.call);
        EXPECT_EQ(expected, calls) << c.line;
    }
    client->SendLine("ADD host System 3 " + pad + "u");
    EXPECT_EQ("ERROR invalid command - Command length exceeds the allowed 256 chars.\r\n",
              client->ReadLine());
}

// Lines the engine must not see: words after a password (they would run
// into the credentials), replay times that name no moment or a window that
// ends before it starts, replay severities a query cannot use. Each is
// refused with the parameters error and reaches no engine call.
TEST_F(CommandServerTest, CommandsWithImpossibleFieldsAreRefused) {
    StartServer(kAuth, true);
    auto client = LoggedInClient();
    g_script.Take();
    const std::string kRefused = "ERROR insufficient/incorrect parameters\r\n";
    for (const char* line : {
             "ADD 10.0.0.1 * * alice s3cr3t-G1 ADD 10.0.0.2 * * bob pw2",
             "ADD h System 3 bob pw extra",
             "ADD h \"Directory Service\" 3 bob pw extra",
             "REPLAY h System 3 20240101000000 0 carol pw extra",
             "REPLAY h System 3 20241301000000 0",
             "REPLAY h System 3 20230229000000 0",
             "REPLAY h System 3 20240230000000 0",
             "REPLAY h System 3 20240101240000 0",
             "REPLAY h System 3 20240101006000 0",
             "REPLAY h System 3 20240102000000 20240101000000",
             "REPLAY h System 3 20240101000000 20241232000000",
             "REPLAY h System 0 20240101000000 0",
             "REPLAY h System 6 20240101000000 0",
             "REPLAY h System -1 20240101000000 0",
             "REPLAY h System 10 20240101000000 0",
         }) {
        client->SendLine(line);
        EXPECT_EQ(kRefused, client->ReadLine()) << line;
        EXPECT_TRUE(g_script.Take().empty()) << line << ": the engine was called";
    }
    // The edges still pass: a leap day, the last second of a day, a window
    // of one moment, the wildcard severity, the fullest ADD.
    for (const char* line : {
             "REPLAY h System 5 20240229235959 0",
             "REPLAY h System * 20240101000000 20240101000000",
             "ADD h \"Directory Service\" 3 bob pw",
         }) {
        client->SendLine(line);
        EXPECT_EQ(0u, client->ReadLine().rfind("OK ", 0)) << line;
        EXPECT_EQ(1u, g_script.Take().size()) << line;
    }
}

// Credentials are left out of the log by their position, whatever else is
// wrong with the line, also when a second command is glued onto it.
TEST_F(CommandServerTest, GluedCommandsKeepTheirCredentialsOutOfTheLog) {
    StartServer(kAuth, true, "TRACE");
    // Before login every line is logged as it came (commands "w/o
    // authentication", others as invalid commands).
    LineClient early(port);
    early.ReadLine();
    for (const char* line : {
             "ADD 10.0.0.1 * * alice s3cr3t-G1 ADD 10.0.0.2 * * bob pw2-glued",
             "NOOP LOGIN alice pw3-glued",
             "DELETE h REPLAY h System 3 20240101000000 0 carol pw4-glued",
             "FOO ADD h System 3 bob pw5-glued",
             "ADD h \"Directory Service 3 bob pw6-open-quote",
         }) {
        early.SendLine(line);
        early.ReadLine();
    }
    early.SendLine("");
    ASSERT_EQ("OK waiting for next command\r\n", early.ReadLine());
    StopServer();
    const std::string log = sink.Text();
    for (const char* secret : {"s3cr3t", "glued", "open-quote"}) {
        EXPECT_EQ(std::string::npos, log.find(secret)) << secret << " in the log:\n" << log;
    }
    for (const char* kept :
         {"{ADD 10.0.0.1 * * alice}", "{NOOP LOGIN alice}",
          "{DELETE h REPLAY h System 3 20240101000000 0}", "{FOO ADD h System 3 bob}", "{ADD}"}) {
        EXPECT_NE(std::string::npos, log.find(kept)) << kept << " not in the log:\n" << log;
    }
}

TEST_F(CommandServerTest, NoPasswordReachesTheLog) {
    StartServer(kAuth, true, "TRACE");
    LineClient early(port);
    early.ReadLine();
    // Mistyped commands that still carry a password: the keyword is known
    // only by its beginning, the fields cannot be parsed, or the configured
    // password stands somewhere in an unknown line (in any case).
    const std::string longLine = "FOO " + std::string(260, 'x') + " SeCrEt";
    for (const std::string& line :
         {std::string("ADD h System 3 bob hostpw-early"), std::string("LOGIN alice wrongpw-early"),
          std::string("Login\talice\tsecret"), std::string(" LOGIN alice secret"),
          std::string("LOGIN:alice:secret"), std::string("LOGINX alice wrongpw-loginx"),
          std::string("-ADD h System 3 bob hostpw-dash"), std::string("LOGN alice SECRET"),
          std::string("secret"), longLine}) {
        early.SendLine(line);
        early.ReadLine();
    }
    auto client = LoggedInClient();
    for (const char* line :
         {"LOGIN alice secret", "ADD h System 3 bob hostpw-add",
          "REPLAY h System 3 20240101000000 0 carol hostpw-replay",
          "REPLAY\th System 3 20240101000000 0 carol hostpw-tab",
          "ADD\th\tSystem\t3\tbob\thostpw-tab2", "ADDX h System 3 bob hostpw-addx",
          "LOGIN alice:secret", "REPLAY h System 3 20240101000000 0 carol:hostpw-colon"}) {
        client->SendLine(line);
        client->ReadLine();
    }
    client->SendLine("NOOP");
    ASSERT_EQ("OK noop\r\n", client->ReadLine());
    StopServer();
    std::string log = sink.Text();
    ASSERT_NE(std::string::npos, log.find("Successful login command")) << "nothing was logged";
    for (const char* secret : {"secret", "hostpw", "wrongpw"}) {
        EXPECT_EQ(std::string::npos, log.find(secret)) << secret << " in the log:\n" << log;
    }
    EXPECT_NE(std::string::npos, log.find("ADD h System 3 bob"))
        << "the user name of a credentialed line is kept";
    for (const char* kept :
         {"Invalid command {LOGIN}", "Invalid command {LOGINX alice}", "Invalid command {-ADD}",
          "Invalid command {LOGN alice ****}", "Invalid command {****}", "Command {LOGIN} recvd"}) {
        EXPECT_NE(std::string::npos, log.find(kept)) << kept << " not in the log:\n" << log;
    }
}

// Many clients connect, log in, ping and leave while another thread
// broadcasts without pause: every reply must arrive intact between the
// broadcast lines, and nothing may be left behind (run under the sanitizers).
TEST_F(CommandServerTest, ClientsComeAndGoDuringBroadcasts) {
    // Twenty clients of one address connect at once.
    StartServer(std::string(kAuth) + "[LISTEN]\nMAXCONNECTIONS=50\nPERSOURCEMAXSTARTUPS=50\n");
    std::atomic<bool> broadcasting{true};
    std::thread broadcaster([&] {
        // Paced so that slow clients on a loaded machine (or under the
        // sanitizers) are not simply buried under broadcast lines.
        while (broadcasting) {
            server->SendToAllClients("tick");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 20; ++i) {
        clients.emplace_back([&] {
            for (int round = 0; round < 3; ++round) {
                LineClient client(port);
                auto next = [&] {
                    std::string line;
                    do {
                        line = client.ReadLine();
                    } while (line == "tick\r\n");
                    return line;
                };
                if (next().rfind("200 ", 0) != 0) ++failures;
                client.SendLine("LOGIN alice secret");
                if (next().rfind("OK authentication successful", 0) != 0) ++failures;
                client.SendLine("NOOP");
                if (next() != "OK noop\r\n") ++failures;
                if (round == 1) {
                    client.Reset();
                } else if (round == 2) {
                    client.SendLine("QUIT");
                    if (next() != "OK logging off\r\n") ++failures;
                }
            }
        });
    }
    for (auto& t : clients) t.join();
    broadcasting = false;
    broadcaster.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; }))
        << server->GetConnectionCount() << " connections left";
}

}  // namespace

// ---------------------------------------------------------------------------
// Idle, guessing and slow clients.
namespace {

// A client whose socket keeps only a little unread data, so that what the
// server sends and the client does not read stays with the server.
std::unique_ptr<LineClient> SmallWindowClient(uint16_t port) {
    return std::make_unique<LineClient>(port, 5000, /*receiveBuffer=*/4096);
}

bool HasText(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

}  // namespace

TEST_F(CommandServerTest, AConnectionThatDoesNotLogInInTimeIsClosed) {
    StartServer(std::string(kAuth) + "[LISTEN]\nLOGINTIMEOUT=1\n");
    LineClient idle(port);
    idle.ReadLine();
    auto active = LoggedInClient();
    EXPECT_TRUE(idle.WaitClosed()) << "the idle connection was not closed";
    EXPECT_TRUE(HasText(sink.Text(), "not logged in within 1 s")) << sink.Text();
    // The logged-in one, as old as the idle one, stays.
    active->SendLine("NOOP");
    EXPECT_EQ("OK noop\r\n", active->ReadLine());
}

TEST_F(CommandServerTest, FailedLoginsAreAnsweredLateAndTheThirdCloses) {
    StartServer(kAuth);
    auto other = LoggedInClient();

    LineClient guesser(port);
    guesser.ReadLine();
    // Three guesses and a NOOP in one read: each reply waits a second, and
    // the NOOP after the third failure is never answered.
    guesser.SendRaw("LOGIN alice a\r\nLOGIN alice b\r\nLOGIN alice c\r\nNOOP\r\n");
    // Meanwhile every other connection is served.
    for (int i = 0; i < 20; ++i) {
        other->SendLine("NOOP");
        ASSERT_EQ("OK noop\r\n", other->ReadLine()) << i;
    }
    EXPECT_FALSE(guesser.HasData()) << "a failed login was answered at once";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kNotVerified, guesser.ReadLine()) << i;
    EXPECT_TRUE(guesser.WaitClosed());
    std::string log = sink.Text();
    for (const char* line : {"Failed login 1 of 3 from 127.0.0.1:", "Failed login 3 of 3 from",
                             "after 3 failed logins"}) {
        EXPECT_TRUE(HasText(log, line)) << line << "\n" << log;
    }

    // Two failures, then the right password: logged in.
    LineClient late(port);
    late.ReadLine();
    late.SendRaw("LOGIN alice a\r\nLOGIN alice\r\nLOGIN alice secret\r\nNOOP\r\n");
    EXPECT_EQ(kNotVerified, late.ReadLine());
    EXPECT_EQ("ERROR insufficient/incorrect parameters\r\n", late.ReadLine());
    EXPECT_EQ(0u, late.ReadLine().rfind("OK authentication successful", 0));
    EXPECT_EQ("OK noop\r\n", late.ReadLine());
}

// Failed logins count per address across connections: past ten in a
// minute the address may hold only three connections that have not logged
// in; the next is refused with a line. Once they are gone, a new connection
// logs in at once.
TEST_F(CommandServerTest, FailedLoginsAcrossConnectionsSpendTheAddresssBudget) {
    StartServer(std::string(kAuth) + "[LISTEN]\nMAXCONNECTIONS=10\n");
    std::vector<std::unique_ptr<LineClient>> guessers;
    for (int i = 0; i < 4; ++i) {
        guessers.push_back(std::make_unique<LineClient>(port, 10000));
        guessers.back()->ReadLine();
        guessers.back()->SendRaw("LOGIN alice a\r\nLOGIN alice b\r\nLOGIN alice c\r\n");
    }
    // Each answer is sent before the next line of its connection is taken,
    // so once two answers each have come, all twelve failures are counted.
    for (auto& guesser : guessers) {
        for (int i = 0; i < 2; ++i) ASSERT_EQ(kNotVerified, guesser->ReadLine()) << i;
    }
    LineClient refused(port);
    EXPECT_EQ("ERROR too many failed logins from this address, try again later\r\n",
              refused.ReadLine());
    EXPECT_TRUE(refused.WaitOrderlyEnd());
    EXPECT_TRUE(HasText(sink.Text(), "its source 127.0.0.1/32 failed to log in too often"))
        << sink.Text();

    for (auto& guesser : guessers) {
        EXPECT_EQ(kNotVerified, guesser->ReadLine());
        EXPECT_TRUE(guesser->WaitClosed());
    }
    ASSERT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; }));
    LineClient late(port);
    EXPECT_EQ(0u, late.Login("alice", "secret").rfind("OK authentication successful", 0));
}

// A logged-in client that stops reading: past the hard bound it is closed at
// once, above the soft bound for its time it is closed later; the client
// that reads gets every line either way.
TEST_F(CommandServerTest, AClientThatDoesNotReadIsClosedAndTheOthersGetEverything) {
    struct Case {
        const char* settings;
        const char* logged;
    } cases[] = {
        {"OUTPUTLIMIT=300000\n", "bytes of output pending, limit 300000"},
        {"OUTPUTLIMIT=100000000\nOUTPUTSOFTLIMIT=300000\nOUTPUTSOFTSECONDS=1\n",
         "for 1 s, soft limit 300000"},
    };
    for (const Case& c : cases) {
        StartServer(std::string(kAuth) + "[LISTEN]\n" + c.settings);
        auto healthy = LoggedInClient();
        auto slow = SmallWindowClient(port);
        ASSERT_EQ(0u, slow->Login("alice", "secret").rfind("OK authentication", 0));

        const int kLines = 30000;
        const std::string filler(200, 'e');
        std::atomic<int> received{0};
        std::atomic<bool> inOrder{true};
        std::thread reader([&] {
            for (int i = 0; i < kLines; ++i) {
                if (healthy->ReadLine() != std::to_string(i) + filler + "\r\n") inOrder = false;
                ++received;
            }
        });
        for (int i = 0; i < kLines; ++i) server->SendToAllClients(std::to_string(i) + filler);
        reader.join();
        EXPECT_EQ(kLines, received.load()) << c.settings;
        EXPECT_TRUE(inOrder.load()) << c.settings;
        EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 1; }))
            << c.settings << ": the slow client is still connected";
        EXPECT_TRUE(HasText(sink.Text(), c.logged)) << c.settings << "\n" << sink.Text();
        healthy->SendLine("NOOP");
        EXPECT_EQ("OK noop\r\n", healthy->ReadLine()) << c.settings;
        StopServer();
    }
}

// Before login the bound is small and fixed: a client that sends lines and
// never reads the replies is closed.
TEST_F(CommandServerTest, AClientNotLoggedInThatDoesNotReadIsClosed) {
    StartServer(kAuth);
    auto flooder = SmallWindowClient(port);
    flooder->ReadLine();
    const std::string emptyLines(4000, '\n');
    // Stops when the server has closed the connection.
    for (int i = 0; i < 2000 && flooder->SendRaw(emptyLines); ++i) {
        if (server->GetConnectionCount() == 0) break;
    }
    EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; }));
    EXPECT_TRUE(HasText(sink.Text(), "bytes of output pending, limit 65536")) << sink.Text();
}

// The sockets of the listener on port, other than the listening one, that
// still hold data the peer has not acknowledged, as lines of
// /proc/net/tcp ("local remote state tx_queue:rx_queue").
std::vector<std::string> SocketsWithUnsentData(uint16_t port) {
    std::vector<std::string> found;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        unsigned localPort = std::stoul(local.substr(local.find(':') + 1), nullptr, 16);
        unsigned long unsent = std::stoul(queues.substr(0, queues.find(':')), nullptr, 16);
        if (localPort == port && state != "0A" && unsent > 0) {
            found.push_back(local + " " + remote + " " + state + " " + queues);
        }
    }
    return found;
}

// A connection the listener drops by force is reset, so the client learns
// it at once (within a second of the logged line; a graceful close of a
// client that stopped reading left it ESTABLISHED and its unsent megabytes in
// the system for minutes), and nothing of it stays queued. An ordinary close
// stays an orderly end of stream after the last reply.
TEST_F(CommandServerTest, AForcedDisconnectIsAResetAndAnOrdinaryCloseIsNot) {
    enum class Client { kSlowReader, kIdle, kGuesser, kLogout };
    struct Case {
        Client client;
        const char* settings;
        const char* logged;
    } cases[] = {
        {Client::kSlowReader,
         "OUTPUTLIMIT=100000000\nOUTPUTSOFTLIMIT=300000\nOUTPUTSOFTSECONDS=1\n",
         "for 1 s, soft limit 300000"},
        {Client::kSlowReader, "OUTPUTLIMIT=300000\n", "bytes of output pending, limit 300000"},
        {Client::kIdle, "LOGINTIMEOUT=1\n", "not logged in within 1 s"},
        {Client::kGuesser, "", "after 3 failed logins"},
        {Client::kLogout, "", ""},
    };
    for (const Case& c : cases) {
        const std::string name = std::string(c.settings) + c.logged;
        StartServer(std::string(kAuth) + "[LISTEN]\n" + c.settings);
        auto client = SmallWindowClient(port);
        switch (c.client) {
            case Client::kSlowReader: {
                ASSERT_EQ(0u, client->Login("alice", "secret").rfind("OK authentication", 0));
                const std::string filler(200, 'e');
                // Broadcasts until the listener gives up on the client.
                for (int i = 0; i < 1000000 && !HasText(sink.Text(), c.logged); ++i) {
                    server->SendToAllClients(std::to_string(i) + filler);
                    if (i % 1000 == 999) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                break;
            }
            case Client::kIdle:
                client->ReadLine();
                break;
            case Client::kGuesser:
                client->ReadLine();
                client->SendRaw("LOGIN alice a\r\nLOGIN alice b\r\nLOGIN alice c\r\n");
                for (int i = 0; i < 3; ++i) ASSERT_EQ(kNotVerified, client->ReadLine()) << i;
                break;
            case Client::kLogout:
                ASSERT_EQ(0u, client->Login("alice", "secret").rfind("OK authentication", 0));
                client->SendLine("LOGOUT");
                ASSERT_EQ("OK logging off\r\n", client->ReadLine());
                EXPECT_TRUE(client->WaitOrderlyEnd()) << "LOGOUT did not end in order";
                EXPECT_EQ(0, client->TakeError());
                StopServer();
                continue;
        }
        ASSERT_TRUE(Eventually([&] { return HasText(sink.Text(), c.logged); })) << name << "\n"
                                                                                << sink.Text();
        // Counted from the logged line, so a slow machine does not make the
        // close itself late.
        int error = 0;
        EXPECT_TRUE(Eventually(
            [&] {
                error = client->TakeError();
                return error != 0;
            },
            1000))
            << name << ": no reset within a second of the logged line";
        EXPECT_EQ(ECONNRESET, error) << name;
        EXPECT_TRUE(Eventually([&] { return server->GetConnectionCount() == 0; })) << name;
        std::vector<std::string> lingering = SocketsWithUnsentData(port);
        EXPECT_TRUE(lingering.empty()) << name << ": " << lingering.size() << " sockets, first "
                                       << (lingering.empty() ? "" : lingering[0]);
        StopServer();
    }
}

// While a client's output is backed up its input is not read, so a client
// that sends many commands without reading the replies does not pass its
// bound: it gets every reply, in order, once it reads.
TEST_F(CommandServerTest, InputWaitsWhileOutputIsBackedUp) {
    StartServer(std::string(kAuth) + "[LISTEN]\nOUTPUTLIMIT=1000000\n");
    auto client = SmallWindowClient(port);
    ASSERT_EQ(0u, client->Login("alice", "secret").rfind("OK authentication", 0));
    const int kLines = 1000000;  // 9 MB of replies
    std::string batch;
    for (int i = 0; i < kLines; ++i) batch += "NOOP\r\n";
    std::atomic<bool> sent{false};
    std::thread sender([&] { sent = client->SendRaw(batch); });
    // The client reads nothing until it has sent everything it could.
    Eventually([&] { return sent.load(); }, 1500);
    int replies = 0;
    while (replies < kLines && client->ReadLine() == "OK noop\r\n") ++replies;
    sender.join();
    EXPECT_EQ(kLines, replies);
    EXPECT_TRUE(sent.load());
    client->SendLine("NOOP");
    EXPECT_EQ("OK noop\r\n", client->ReadLine()) << "the client was closed";
}

// ---------------------------------------------------------------------------
// Connections not logged in, by source block.
namespace {

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

// Six slow connections from one address that reconnect whenever they are
// reset hold the slots, and a real client from another address logs in all
// the same, again and again: with the defaults (a full listener drops the
// oldest connection not logged in), with a per-source bound that keeps the
// strangers to two, and with a /24 block that puts 127.0.0.1 in the
// strangers' block, where it is refused with them, while 127.0.1.1 is not.
TEST_F(CommandServerTest, StrangersThatNeverLogInDoNotKeepAClientOut) {
    const struct {
        const char* name;
        const char* listen;
        const char* client;
        bool gets_in;
        const char* logged;
    } cases[] = {
        {"defaults", "", "127.0.0.1", true, "every connection slot is taken"},
        {"per-source bound", "PERSOURCEMAXSTARTUPS=2\n", "127.0.0.1", true,
         "127.0.0.2/32 holds 2 connections that have not logged in"},
        {"same /24", "PERSOURCEMAXSTARTUPS=2\nPERSOURCENETBLOCKV4=24\n", "127.0.0.1", false,
         "127.0.0.0/24 holds 2 connections that have not logged in"},
        {"other /24", "PERSOURCEMAXSTARTUPS=2\nPERSOURCENETBLOCKV4=24\n", "127.0.1.1", true,
         "127.0.0.0/24 holds 2 connections that have not logged in"},
    };
    for (const auto& c : cases) {
        StartServer(std::string(kAuth) + "[LISTEN]\n" + c.listen);
        {
            Strangers strangers(port, "127.0.0.2", 6);
            // They have been reset and came back many times.
            ASSERT_TRUE(Eventually([&] { return strangers.Connects() >= 30; })) << c.name;
            for (int round = 0; round < 3; ++round) {
                LineClient client(port, 5000, 0, c.client);
                if (!c.gets_in) {
                    EXPECT_EQ(ECONNRESET, AwaitError(client)) << c.name;
                    EXPECT_FALSE(client.HasData()) << c.name << ": greeted";
                    continue;
                }
                std::string reply = client.Login("alice", "secret");
                EXPECT_EQ(0u, reply.rfind("OK authentication successful (users=", 0))
                    << c.name << " round " << round << ": " << reply;
                client.SendLine("LOGOUT");
                EXPECT_EQ("OK logging off\r\n", client.ReadLine()) << c.name;
            }
        }
        EXPECT_TRUE(sink.Text().find(c.logged) != std::string::npos) << c.name << "\n"
                                                                     << sink.Text();
        StopServer();
    }
}

// A refusal that repeats is logged once per source a minute: 50 refused
// connections from one address give one line at once, and their count in
// one line (here at shutdown, before the minute is over).
TEST_F(CommandServerTest, ARepeatedRefusalIsLoggedOnceWithACount) {
    StartServer(std::string(kAuth) + "[LISTEN]\nPERSOURCEMAXSTARTUPS=1\n");
    LineClient holder(port, 5000, 0, "127.0.0.2");
    ASSERT_EQ(0u, holder.ReadLine().rfind("200 ", 0));
    for (int i = 0; i < 50; ++i) {
        LineClient refused(port, 5000, 0, "127.0.0.2");
        ASSERT_TRUE(refused.WaitClosed()) << i;
    }
    LineClient other(port, 5000, 0, "127.0.0.3");
    EXPECT_EQ(0u, other.ReadLine().rfind("200 ", 0)) << "another source was refused";
    const std::string line = "127.0.0.2/32 holds 1 connections that have not logged in";
    EXPECT_EQ(1u, CountOf(sink.Text(), line)) << sink.Text();
    StopServer();
    const std::string log = sink.Text();
    EXPECT_EQ(1u, CountOf(log, line)) << log;
    EXPECT_EQ(1u, CountOf(log,
                          "49 more connections from 127.0.0.2/32 within the last minute: "
                          "over the per-source limit"))
        << log;
}

// The guessing budget counts source blocks: 100 addresses of one /24 (as
// 100 addresses of one IPv6 /64 by default) that try one wrong password
// each spend one budget, so once eleven have failed the block may hold
// only three connections not logged in, and the other addresses of the
// block are refused; another block is served as usual. Keyed by single
// addresses (/32) the same failures spend nothing.
TEST_F(CommandServerTest, OneBlockSharesOneGuessingBudget) {
    const struct {
        int bits;
        int refused;
    } cases[] = {{24, 100 - (CLoginBudget::kFreeFailures + 1)}, {32, 0}};
    for (const auto& c : cases) {
        StartServer(std::string(kAuth) +
                    "[LISTEN]\nMAXCONNECTIONS=300\nPERSOURCEMAXSTARTUPS=0\nPERSOURCENETBLOCKV4=" +
                    std::to_string(c.bits) + "\n");
        std::vector<std::unique_ptr<LineClient>> guessers;
        // The log of an earlier case is still there.
        size_t failures = CountOf(sink.Text(), "Failed login 1 of 3");
        int refused = 0;
        for (int i = 1; i <= 100; ++i) {
            const std::string source = "127.0.0." + std::to_string(i);
            guessers.push_back(std::make_unique<LineClient>(port, 5000, 0, source.c_str()));
            const std::string first = guessers.back()->ReadLine();
            if (first == "ERROR too many failed logins from this address, try again later\r\n") {
                ++refused;
                continue;
            }
            ASSERT_EQ(0u, first.rfind("200 ", 0)) << c.bits << " " << source << ": " << first;
            guessers.back()->SendLine("LOGIN alice wrong");
            // Counted before the next address connects.
            ++failures;
            ASSERT_TRUE(Eventually([&] {
                return CountOf(sink.Text(), "Failed login 1 of 3") == failures;
            })) << c.bits
                << " " << source;
        }
        EXPECT_EQ(c.refused, refused) << c.bits;
        LineClient other(port, 5000, 0, "127.0.1.1");
        EXPECT_EQ(0u, other.Login("alice", "secret").rfind("OK authentication successful", 0))
            << c.bits;
        for (auto& guesser : guessers) guesser->Reset();
        StopServer();
    }
}
