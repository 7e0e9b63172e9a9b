// The built quellon program in console mode, with every kind of password in
// play: the client login password and the TLS key password of the
// configuration file, the credentials a client gives for a host in ADD and
// REPLAY, wrong ones, and mistyped command lines that carry them. A client
// drives it over loopback against a simulated host that requires its
// credentials, the operator stops it with "q", and then no password may be
// found in the log file (nor on the console), at TRACE and at DEBUG, over
// plain TCP and over TLS.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/app/builtprogram.h"
#include "tests/app/quellonprocess.h"
#include "tests/app/tempdir.h"
#include "tests/serverframework/lineclient.h"
#include "tests/serverframework/loopbackport.h"
#include "tests/serverframework/tls_test_support.h"

namespace {

// Distinctive values, so that any trace of them in the log is a leak.
const char* const kLoginUser = "monitor";
const char* const kLoginPassword = "Lp7-Qx2Wv9";
const char* const kWrongLoginPassword = "Wl2-Ja7Gs5";
const char* const kPemPassword = "Kp3-Zr8Mn4";
const char* const kHostUser = "hostuser";
const char* const kHostPassword = "Hp5-Tb6Yc1";
const char* const kWrongHostPassword = "Wh9-Ud4Fe2";

// A simulated host that is not the local machine, so that the credentials
// given for it are used rather than dropped.
const char* const kHost = "127.0.0.2";

const int kReadTimeoutMs = 15000;

// Runs a program to its end; its exit code, or -1 when it could not run.
int RunToEnd(const std::vector<std::string>& args, const std::string& outPath) {
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One client connection, plain or TLS, read line by line.
class Session {
  public:
    virtual ~Session() = default;
    virtual bool Connected() const = 0;
    virtual bool SendRaw(const std::string& bytes) = 0;
    // The next line with its CR LF; "" or a partial line on a time-out.
    virtual std::string ReadLine() = 0;

    bool SendLine(const std::string& line) { return SendRaw(line + "\r\n"); }

    // Reads until a line starting with each of the prefixes has arrived, in
    // any order: replies and the engine's notices come from different
    // threads. False, with what is still missing, on a time-out.
    testing::AssertionResult WaitForAll(std::vector<std::string> prefixes) {
        std::string seen;
        while (!prefixes.empty()) {
            std::string line = ReadLine();
            if (line.empty() || line.back() != '\n') {
                return testing::AssertionFailure()
                       << "still waiting for " << testing::PrintToString(prefixes) << " after:\n"
                       << seen;
            }
            seen += line;
            auto it = std::find_if(prefixes.begin(), prefixes.end(), [&](const std::string& p) {
                return line.compare(0, p.size(), p) == 0;
            });
            if (it != prefixes.end()) prefixes.erase(it);
        }
        return testing::AssertionSuccess();
    }
};

class PlainSession : public Session {
  public:
    explicit PlainSession(uint16_t port) : client(port, kReadTimeoutMs) {}
    bool Connected() const override { return client.Connected(); }
    bool SendRaw(const std::string& bytes) override { return client.SendRaw(bytes); }
    std::string ReadLine() override { return client.ReadLine(); }

  private:
    LineClient client;
};

class TlsSession : public Session {
  public:
    explicit TlsSession(uint16_t port) { connected = client.Connect(port); }
    bool Connected() const override { return connected; }
    bool SendRaw(const std::string& bytes) override { return client.Send(bytes); }
    std::string ReadLine() override { return client.ReadLine(kReadTimeoutMs); }

  private:
    tlstest::CSocketClient client;
    bool connected = false;
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Variant {
    const char* level;
    bool tls;
};

class SecretsTest : public testing::TestWithParam<Variant> {
  protected:
    void SetUp() override {
        simTool = BuiltProgram("quellon-sim");
        store = dir.File("hosts.db");
        ASSERT_EQ(0, Sim({"host", "add", kHost, "--computer", "WIN-SECRETS", "--user", kHostUser,
                          "--password", kHostPassword}))
            << ReadWholeFile(dir.File("sim.out"));
    }

    int Sim(std::vector<std::string> args) {
        args.insert(args.begin(), {simTool, "--store", store});
        return RunToEnd(args, dir.File("sim.out"));
    }

    // The configuration: both configured passwords set; the TLS keys are
    // present also when TLS is off, so that they are in the pair list.
    std::string WriteIni() {
        std::string ssl;
        if (GetParam().tls) {
            const tlstest::TTestCerts& certs = tlstest::TestCerts();
            std::string pem = dir.File("server.pem");
            EXPECT_TRUE(tlstest::WriteServerPemWithPassword(pem, kPemPassword));
            ssl = "SSLENABLED=true\nSSLPORT=" + std::to_string(port) + "\nSERVERCERTFILE=" + pem +
                  "\nDHFILE=" + certs.dhPem + "\nCALIST=" + certs.caList + "\n";
        } else {
            ssl =
                "SSLENABLED=false\nSSLPORT=0\nSERVERCERTFILE=server.pem\nDHFILE=dh.pem\n"
                "CALIST=ca.pem\n";
        }
        return dir.Write(
            "quellon.ini",
            "[LISTEN]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(port) +
                "\n[Logger]\nfilename=" + LogPath() + "\nlevel=" + GetParam().level +
                "\n[LOCAL_AUTH]\nUSERNAME=" + kLoginUser + "\nPASSWORD=" + kLoginPassword +
                "\n[SSL]\n" + ssl + "SERVERCERTPASSWORD=" + kPemPassword +
                "\n[WMI]\nSIMSTORE=" + store +
                "\n[PERFORMANCE]\nConnectionProcessors=2\nEventRetriever=2\nWT_FOR_WQ=1\n"
                "[OTHERS]\nMinReconnectInterval=1\nMaxReconnectInterval=2\nNUMBEROFEVENTSTOPOOL="
                "50\n"
                "CHECKTERMINATEFLAG=100\nEVENTWAITPERCONNECTION=100\n");
    }

    std::unique_ptr<Session> Connect() {
        if (GetParam().tls) return std::make_unique<TlsSession>(port);
        return std::make_unique<PlainSession>(port);
    }

    std::string LogPath() const { return dir.File("quellon.log"); }

    TempDir dir;
    std::string simTool;
    std::string store;
    uint16_t port = FreePort();
};

TEST_P(SecretsTest, NoPasswordReachesTheLogFile) {
    const std::string user = kLoginUser;
    const std::string password = kLoginPassword;
    const std::string host = kHost;
    QuellonProcess quellon(BuiltProgram("quellon"), WriteIni(), dir.File("console.out"));
    ASSERT_TRUE(quellon.WaitForOutput("Press Q to quit\r\n", 30000))
        << ReadWholeFile(dir.File("console.out"));

    std::unique_ptr<Session> client = Connect();
    ASSERT_TRUE(client->Connected());
    ASSERT_TRUE(client->WaitForAll({"200 "}));

    // Before login: credentials in a refused command, mistyped logins and a
    // wrong password.
    const std::vector<std::pair<std::string, std::string>> early = {
        {"ADD " + host + " System * " + kHostUser + " " + kHostPassword,
         "ERROR please login first"},
        {"LOGIN:" + user + ":" + password, "ERROR invalid command - "},
        {"Login\t" + user + "\t" + password, "ERROR invalid command - "},
        {"LOGN " + user + " " + password, "ERROR invalid command - "},
        {"LOGIN " + user + " " + kWrongLoginPassword, "ERROR unable to verify"},
    };
    for (const auto& [line, reply] : early) {
        client->SendLine(line);
        ASSERT_TRUE(client->WaitForAll({reply})) << line;
    }
    client->SendLine("LOGIN " + user + " " + password);
    ASSERT_TRUE(client->WaitForAll({"OK authentication successful"}));

    // Logged in: LOGIN again (once in another case), a subscription with the
    // host's credentials, which connects, and an event from the host.
    client->SendLine("LOGIN " + user + " " + password);
    ASSERT_TRUE(client->WaitForAll({"OK already logged in"}));
    client->SendLine("login " + Lower(user) + " " + Lower(password));
    ASSERT_TRUE(client->WaitForAll({"OK already logged in"}));
    client->SendLine("ADD " + host + " System * " + kHostUser + " " + kHostPassword);
    ASSERT_TRUE(client->WaitForAll({"OK queuing subscription for " + host + " System *",
                                    "CONNECTION_OK " + host + " System *"}));
    ASSERT_EQ(0, Sim({"emit", kHost, "--log", "System", "--type", "1", "--source", "Secrets",
                      "--code", "4625", "--insert", "an event"}))
        << ReadWholeFile(dir.File("sim.out"));
    ASSERT_TRUE(client->WaitForAll({"NTEVENT: "}));

    // Refused host credentials (a wrong password, and credentials that
    // cannot be parsed and so are not given), a replay with the right ones,
    // and mistyped or over-long lines that still carry a password.
    client->SendLine("ADD " + host + " Application * " + kHostUser + " " + kWrongHostPassword);
    ASSERT_TRUE(client->WaitForAll({"OK queuing subscription for " + host + " Application *",
                                    "CONNECTION_FAILED  " + host + " Application *"}));
    client->SendLine("ADD " + host + " Security * " + kHostUser + ":" + kHostPassword);
    ASSERT_TRUE(client->WaitForAll({"OK queuing subscription for " + host + " Security *",
                                    "CONNECTION_FAILED  " + host + " Security *"}));
    client->SendLine("REPLAY " + host + " System * 20000101000000 0 " + kHostUser + " " +
                     kHostPassword);
    ASSERT_TRUE(client->WaitForAll({"OK replaying events for requested time period",
                                    "REPLAY_FINISHED " + host + " System *"}));
    client->SendLine("ADDX " + host + " Setup * " + kHostUser + " " + kHostPassword);
    ASSERT_TRUE(client->WaitForAll({"ERROR invalid command - "}));
    client->SendLine("NOOP " + std::string(260, 'x') + " " + password);
    ASSERT_TRUE(client->WaitForAll({"ERROR invalid command - Command length exceeds"}));
    client->SendLine("LIST");
    ASSERT_TRUE(client->WaitForAll({"OK List Follows"}));
    client->SendLine("DELETE * *");
    ASSERT_TRUE(client->WaitForAll({"OK queued deletion"}));

    // A second client sends a password inside data that is refused whole.
    // The server closes that connection, possibly before it has read all of
    // it, so the reply may be lost to a reset; the log shows the refusal.
    std::unique_ptr<Session> flood = Connect();
    ASSERT_TRUE(flood->Connected());
    ASSERT_TRUE(flood->WaitForAll({"200 "}));
    flood->SendRaw("LOGIN " + user + " " + password + " " + std::string(4200, 'y'));
    flood->ReadLine();

    ASSERT_TRUE(quellon.Type("q\n"));
    ASSERT_EQ(0, quellon.WaitForExit(60000)) << ReadWholeFile(dir.File("console.out"));

    const std::string log = ReadWholeFile(LogPath());
    const std::string console = ReadWholeFile(dir.File("console.out"));
    // Logins compare passwords without regard to case, so no spelling of one
    // may appear.
    for (const char* secret :
         {kLoginPassword, kWrongLoginPassword, kPemPassword, kHostPassword, kWrongHostPassword}) {
        EXPECT_EQ(std::string::npos, Lower(log).find(Lower(secret)))
            << secret << " in the log file:\n"
            << log;
        EXPECT_EQ(std::string::npos, Lower(console).find(Lower(secret)))
            << secret << " on the console:\n"
            << console;
    }

    // The paths that handle the secrets did run and did log, so the absence
    // above means something: the masked listing, the protocol's lines, the
    // pool's and the connectors' lines, and at TRACE the broadcast and the
    // credentials step of the pool.
    const bool trace = std::string(GetParam().level) == "TRACE";
    struct Expected {
        std::string text;
        bool traceOnly;
    };
    const std::vector<Expected> expected = {
        {"LOCAL_AUTH.PASSWORD=****,LOCAL_AUTH.USERNAME=monitor,", false},
        {"SSL.SERVERCERTPASSWORD=****,", false},
        {"Command {ADD " + host + " System * hostuser} recvd from", false},
        {"Invalid command {LOGIN} recvd from", false},
        {"Invalid command {Login monitor} recvd from", false},
        {"Invalid command {LOGN monitor ****} recvd from", false},
        {"Unsuccessful login command recvd from", false},
        {"Successful login command recvd from", false},
        {"Command {LOGIN monitor} recvd from", false},
        {"Command {ADD} recvd from", false},
        {"host={" + host + "}, category={System}, severity={*}", false},
        {"host={" + host + "}, category={System}, severity={*}, fromTime={20000101000000}", false},
        {"Invalid command {ADDX} recvd from", false},
        {"Command length exceeds the allowed 256 chars.", false},
        {"Invalid data received from", false},
        {"[connector] Connection succeeded for - \\\\" + host + "\\root\\cimv2, user:hostuser",
         false},
        {"[connector] Connection failed for \\\\" + host + "\\root\\cimv2, user:hostuser", false},
        {"WmiConnector: Connection failed to {\\\\" + host + "\\root\\cimv2, hostuser}", false},
        {"WmiConnector: user=hostuser; domain=", true},
        {"Sending data to all connected clients - NTEVENT: ", true},
        {"Sending data to all connected clients - CONNECTION_FAILED", true},
    };
    for (const Expected& e : expected) {
        if (e.traceOnly && !trace) continue;
        EXPECT_NE(std::string::npos, log.find(e.text)) << e.text << " not in the log:\n" << log;
    }
    if (GetParam().tls) {
        EXPECT_NE(std::string::npos, log.find("Loading SSL certificates from")) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(LevelsAndTransports, SecretsTest,
                         testing::Values(Variant{"TRACE", false}, Variant{"DEBUG", false},
                                         Variant{"TRACE", true}),
                         [](const testing::TestParamInfo<Variant>& info) {
                             return std::string(info.param.level) +
                                    (info.param.tls ? "Tls" : "Plain");
                         });

}  // namespace
