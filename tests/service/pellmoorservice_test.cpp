#include "service/pellmoorservice.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/commandline.h"
#include "platform/paths.h"
#include "tests/app/quellonprocess.h"
#include "tests/app/tempdir.h"
#include "tests/platform/notifysocket.h"
#include "tests/platform/unitfolder.h"
#include "tests/serverframework/lineclient.h"
#include "tests/serverframework/loopbackport.h"
#include "tests/serverframework/tls_test_support.h"
#include "wmi/sim/simstore.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartLimitMs = 20000;
constexpr int kStopLimitMs = 40000;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string configText(int port, const std::string& logFile) {
    return "[LISTEN]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(port) +
           "\n[Logger]\nfilename=" + logFile +
           "\nlevel=DEBUG\n"
           "[LOCAL_AUTH]\nUSERNAME=monitor\nPASSWORD=s3cret-pw\n"
           "[PERFORMANCE]\nConnectionProcessors=1\nEventRetriever=1\n"
           "[OTHERS]\nCHECKTERMINATEFLAG=200\n";
}

// The service host as a child process, run with args and with the test's
// environment less the service manager's socket and every QUELLON_ variable,
// plus env; both output streams go to outputFile.
class ServiceProcess : public QuellonProcess {
  public:
    ServiceProcess(const std::vector<std::string>& args, const std::vector<std::string>& env,
                   const std::string& outputFile)
        : QuellonProcess(platform::ProgramDirectory() + "quellon_servicehost", args,
                         Environment(env), outputFile) {}

  private:
    static std::vector<std::string> Environment(std::vector<std::string> env) {
        for (const std::string& entry : CurrentEnvironment()) {
            if (entry.rfind("NOTIFY_SOCKET=", 0) == 0 || entry.rfind("QUELLON_", 0) == 0) continue;
            env.push_back(entry);
        }
        return env;
    }
};

// A plain client of the command server that keeps everything it received,
// so that a test can wait for lines that arrive in either order. The
// service reports RUNNING before its run loop starts the server, so the
// first connects may be refused: they are tried again for up to limitMs.
class Client {
  public:
    Client(int port, int limitMs) {
        Eventually(
            [&] {
                connection =
                    std::make_unique<LineClient>(static_cast<uint16_t>(port), kStopLimitMs);
                return connection->Connected();
            },
            limitMs);
    }
    bool connected() const { return connection->Connected(); }
    void send(const std::string& text) { connection->SendRaw(text); }
    // Reads lines until the text received so far contains want; false when
    // a read ends first at the time-out or the end of the connection.
    bool receive(const std::string& want) {
        while (!contains(received, want)) {
            std::string line = connection->ReadLine();
            received += line;
            if (line.empty() || line.back() != '\n') return contains(received, want);
        }
        return true;
    }
    std::string received;

  private:
    std::unique_ptr<LineClient> connection;
};

TEST(ServiceProcess, ServesClientsAndStopsCleanlyOnSigterm) {
    TempDir dir;
    int port = FreePort();
    // One simulated host for the service to subscribe to.
    {
        wmi::sim::SimStore store;
        ASSERT_EQ(store.open(dir.File("hosts.db"), true), wmi::sim::SimResult::Ok);
        wmi::sim::SimHost host;
        host.name = "127.0.0.2";
        host.computerName = "WIN-A";
        ASSERT_EQ(store.addHost(host), wmi::sim::SimResult::Ok);
    }
    std::ofstream(dir.File("quellon.ini")) << configText(port, dir.File("quellon.log"))
                                           << "[WMI]\nSIMSTORE=" << dir.File("hosts.db") << "\n";
    NotifySocket manager(dir.File("notify"));
    ServiceProcess service(
        {"-s", "-c", dir.File("quellon.ini")},
        {"NOTIFY_SOCKET=" + dir.File("notify"), "QUELLON_DEBUG_FILE=" + dir.File("debug.log")},
        dir.File("output.txt"));
    ASSERT_TRUE(service.Started());
    ASSERT_TRUE(manager.waitFor("READY=1", kStartLimitMs)) << ReadWholeFile(dir.File("debug.log"));

    Client client(port, kStartLimitMs);
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.receive("200 Halcrest WMI Event Listener")) << client.received;
    client.send("login monitor s3cret-pw\r\n");
    EXPECT_TRUE(client.receive("OK authentication successful")) << client.received;
    client.send("NOOP\r\n");
    EXPECT_TRUE(client.receive("OK noop\r\n")) << client.received;
    client.send("ADD 127.0.0.2 * *\r\n");
    // The reply and the engine's broadcast travel separately; either may come first.
    for (const char* line :
         {"OK queuing subscription for 127.0.0.2 * *\r\n", "CONNECTION_OK 127.0.0.2 * *\r\n"}) {
        EXPECT_TRUE(client.receive(line)) << client.received;
    }

    ASSERT_TRUE(service.Signal(SIGTERM));
    EXPECT_TRUE(client.receive("Server shutdown\r\n")) << client.received;
    // The engine stops after the notice: the subscription is deleted first.
    EXPECT_TRUE(client.receive("OK Deleted Host 127.0.0.2 * *\r\n")) << client.received;
    int exitCode = service.WaitForExit(kStopLimitMs);
    ASSERT_NE(exitCode, -1) << "the service did not end after SIGTERM";
    EXPECT_EQ(exitCode, 0);

    EXPECT_TRUE(manager.waitFor("STATUS=Stopped", 1000));
    int ready = manager.index("READY=1");
    int stopping = manager.index("STOPPING=1");
    int stopped = manager.index("STATUS=Stopped");
    EXPECT_LT(ready, stopping);
    EXPECT_LT(stopping, stopped);
    EXPECT_EQ(stopped, static_cast<int>(manager.messages.size()) - 1);

    std::string debug = ReadWholeFile(dir.File("debug.log"));
    EXPECT_TRUE(contains(debug, "Using Config File: " + dir.File("quellon.ini"))) << debug;
    EXPECT_TRUE(contains(debug, "Starting the server now")) << debug;
    EXPECT_TRUE(contains(debug, "CNTService::Handler(1)")) << debug;
    std::string log = ReadWholeFile(dir.File("quellon.log"));
    EXPECT_TRUE(contains(log, "LOCAL_AUTH.PASSWORD=****")) << log;
    EXPECT_FALSE(contains(log, "PASSWORD=s3cret-pw")) << "the log shows the plain password";
}

TEST(ServiceProcess, RelativeNameFallsBackToTheConfigurationDirectory) {
    TempDir dir;
    std::filesystem::create_directory(dir.File("etc"));
    int port = FreePort();
    std::ofstream(dir.File("etc/quellon.ini")) << configText(port, dir.File("quellon.log"));
    NotifySocket manager(dir.File("notify"));
    ServiceProcess service(
        {"-s", "-c", "not-here.ini"},
        {"NOTIFY_SOCKET=" + dir.File("notify"), "QUELLON_DEBUG_FILE=" + dir.File("debug.log"),
         "QUELLON_SYSCONFDIR=" + dir.File("etc")},
        dir.File("output.txt"));
    ASSERT_TRUE(manager.waitFor("READY=1", kStartLimitMs)) << ReadWholeFile(dir.File("debug.log"));
    service.Signal(SIGTERM);
    ASSERT_NE(service.WaitForExit(kStopLimitMs), -1);
    std::string debug = ReadWholeFile(dir.File("debug.log"));
    EXPECT_TRUE(contains(debug, "not-here.ini\nCurrent directory check failed\n")) << debug;
    EXPECT_TRUE(contains(ReadWholeFile(dir.File("output.txt")),
                         "Using Config File: " + dir.File("etc/quellon.ini") + "\r\n"));
}

TEST(ServiceProcess, FailedStartEndsTheServiceWithItsReasonInTheDebugOutput) {
    struct Case {
        const char* what;
        std::string config;  // written to quellon.ini unless empty
        std::vector<std::string> reasons;
    } cases[] = {
        {"no configuration file",
         "",
         {"Current directory check failed", "Failed to open the config file",
          "Loading Configfile Failed."}},
        {"no Logger.level",
         "[LISTEN]\nPORT=1\n[Logger]\nfilename=/tmp/x.log\n",
         {"logger file name or debug level not set."}},
        {"entry without a name",
         "[LISTEN]\nPORT=1\n=7668\n",
         {"Error: configuration file", "Loading Configfile Failed."}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::filesystem::create_directory(dir.File("etc"));
        if (!c.config.empty()) std::ofstream(dir.File("quellon.ini")) << c.config;
        NotifySocket manager(dir.File("notify"));
        ServiceProcess service(
            {"-s", "-c", dir.File("quellon.ini")},
            {"NOTIFY_SOCKET=" + dir.File("notify"), "QUELLON_DEBUG_FILE=" + dir.File("debug.log"),
             "QUELLON_SYSCONFDIR=" + dir.File("etc")},
            dir.File("output.txt"));
        int exitCode = service.WaitForExit(kStartLimitMs);
        ASSERT_NE(exitCode, -1) << c.what;
        EXPECT_EQ(exitCode, 0) << c.what;
        manager.waitFor("STATUS=Stopped", 1000);
        EXPECT_EQ(manager.index("READY=1"), -1) << c.what;
        EXPECT_NE(manager.index("STATUS=Stopped"), -1) << c.what;
        std::string debug = ReadWholeFile(dir.File("debug.log"));
        for (const std::string& reason : c.reasons) {
            EXPECT_TRUE(contains(debug, reason)) << c.what << ": " << reason << "\n" << debug;
        }
    }
}

TEST(ServiceProcess, TlsEnabledInAnyCaseListensOnTheTlsPortOnly) {
    const tlstest::TTestCerts& certs = tlstest::TestCerts();
    TempDir dir;
    int port = FreePort();
    int tlsPort = FreePort();
    std::ofstream(dir.File("quellon.ini"))
        << configText(port, dir.File("quellon.log"))
        << "[SSL]\nSSLENABLED=TRUE\nSSLPORT=" << tlsPort << "\nSERVERCERTFILE=" << certs.serverPem
        << "\nSERVERCERTPASSWORD=" << certs.password << "\nDHFILE=" << certs.dhPem
        << "\nCALIST=" << certs.caList << "\n";
    NotifySocket manager(dir.File("notify"));
    ServiceProcess service(
        {"-s", "-c", dir.File("quellon.ini")},
        {"NOTIFY_SOCKET=" + dir.File("notify"), "QUELLON_DEBUG_FILE=" + dir.File("debug.log")},
        dir.File("output.txt"));
    ASSERT_TRUE(manager.waitFor("READY=1", kStartLimitMs)) << ReadWholeFile(dir.File("debug.log"));

    tlstest::CSocketClient client;
    ASSERT_TRUE(
        Eventually([&] { return client.Connect(static_cast<uint16_t>(tlsPort)); }, kStartLimitMs))
        << ReadWholeFile(dir.File("output.txt"));
    EXPECT_TRUE(contains(client.ReadLine(), "200 Halcrest WMI Event Listener"));
    EXPECT_EQ(client.Login("monitor", "s3cret-pw").rfind("OK authentication successful", 0), 0u);
    EXPECT_FALSE(TcpConnects(static_cast<uint16_t>(port)))
        << "the plain port listens while TLS is enabled";

    service.Signal(SIGTERM);
    EXPECT_TRUE(
        contains(client.ReadUntil("Server shutdown\r\n", kStopLimitMs), "Server shutdown\r\n"));
    int exitCode = service.WaitForExit(kStopLimitMs);
    ASSERT_NE(exitCode, -1);
    EXPECT_EQ(exitCode, 0);
}

// A service that reaches RUNNING but cannot serve ends by itself, with the
// reason in the log and the debug output.
TEST(ServiceProcess, ServiceThatCannotServeEndsByItself) {
    int busyPort = FreePort();
    int busy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(busyPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    struct Case {
        const char* what;
        std::string extra;
        int port;
        std::string reason;
    } cases[] = {
        {"TLS without a certificate", "[SSL]\nSSLENABLED=true\nSSLPORT=1\n", FreePort(),
         "SSL.SERVERCERTFILE is not set"},
        {"port in use", "", busyPort,
         "could not listen on 127.0.0.1 port " + std::to_string(busyPort)},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::ofstream(dir.File("quellon.ini"))
            << configText(c.port, dir.File("quellon.log")) << c.extra;
        NotifySocket manager(dir.File("notify"));
        ServiceProcess service(
            {"-s", "-c", dir.File("quellon.ini")},
            {"NOTIFY_SOCKET=" + dir.File("notify"), "QUELLON_DEBUG_FILE=" + dir.File("debug.log")},
            dir.File("output.txt"));
        int exitCode = service.WaitForExit(kStartLimitMs);
        ASSERT_NE(exitCode, -1) << c.what;
        EXPECT_EQ(exitCode, 0) << c.what;
        EXPECT_TRUE(manager.waitFor("STATUS=Stopped", 1000)) << c.what;
        EXPECT_TRUE(contains(ReadWholeFile(dir.File("debug.log")), c.reason)) << c.what;
        EXPECT_TRUE(contains(ReadWholeFile(dir.File("quellon.log")), c.reason)) << c.what;
    }
    close(busy);
}

// ---- Install and uninstall commands ----

class InstallCommands : public UnitFolderTest {
  protected:
    // Runs one command line (without the program name) and returns what it
    // printed on standard output.
    std::string run(std::vector<std::string> args) {
        args.insert(args.begin(), "quellon");
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        CCommandLineArgs parsed;
        parsed.Parse(static_cast<int>(argv.size()), argv.data());
        CaptureStdout();
        if (parsed.HasSwitch("-i")) {
            InstallServiceCommand(parsed);
        } else {
            UninstallServiceCommand();
        }
        return GetCapturedStdout();
    }
};

TEST_F(InstallCommands, InstallTwiceThenUninstallTwice) {
    std::string exe = " Exe path " + platform::ProgramPath() + "\r\n";
    EXPECT_EQ(run({"-i"}),
              exe + "Service \"Tarnwick WMI Event Listener\" installed successfully.\r\n");
    std::string text = ReadWholeFile(unit);
    EXPECT_TRUE(
        contains(text, "ExecStart=\"" + platform::ProgramPath() + "\" -s -c \"quellon.ini\"\n"))
        << text;
    EXPECT_EQ(run({"-i", "-c", "other.ini"}), "Service is already installed.\r\n");
    EXPECT_EQ(ReadWholeFile(unit), text);
    EXPECT_EQ(run({"-u"}), "Uninstalled Service Successfully.\r\n");
    EXPECT_EQ(run({"-u"}), "Uninstall Failed! Please check if the service is installed.\r\n");
}

TEST_F(InstallCommands, Accounts) {
    std::string exe = " Exe path " + platform::ProgramPath() + "\r\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
        bool installed;
    } cases[] = {
        {{"-i", "alice"}, "Error: please specify both username and password\r\n", false},
        {{"-i", ".\\quellon-no-such-user", "pw"},
         exe + "Error: failed to install service; please verify username and password\r\n",
         false},
        {{"-i", ".\\root", "pw", "-n", "Event Listener", "-c", "/etc/q.ini"},
         exe + "Service \"Event Listener\" installed successfully.\r\n"
               "Installed service as Event Listener-c -s -c \"/etc/q.ini\"\r\n",
         true},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(run(c.args), c.out) << c.args[1];
        testing::internal::GetCapturedStderr();
        std::string text = ReadWholeFile(unit);
        EXPECT_EQ(!text.empty(), c.installed) << c.args[1];
        if (c.installed) {
            EXPECT_TRUE(contains(text, "\nUser=root\n")) << text;
            EXPECT_TRUE(contains(text, "\nDescription=Event Listener\n")) << text;
        }
        unlink(unit.c_str());
    }
}

}  // namespace
