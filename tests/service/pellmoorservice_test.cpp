#include "service/pellmoorservice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/commandline.h"
#include "platform/paths.h"
#include "tests/serverframework/loopbackport.h"
#include "tests/serverframework/tls_test_support.h"
#include "wmi/sim/simstore.h"

extern char** environ;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/quellon-service-XXXXXX";
        path = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

std::string configText(int port, const std::string& logFile) {
    return "[LISTEN]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(port) +
           "\n[Logger]\nfilename=" + logFile +
           "\nlevel=DEBUG\n"
           "[LOCAL_AUTH]\nUSERNAME=monitor\nPASSWORD=s3cret-pw\n"
           "[PERFORMANCE]\nConnectionProcessors=1\nEventRetriever=1\n"
           "[OTHERS]\nCHECKTERMINATEFLAG=200\n";
}

// The service host as a child process, with its standard streams in files.
class ServiceProcess {
public:
    ServiceProcess(const std::vector<std::string>& args, const std::vector<std::string>& env,
                   const std::string& outputFile) {
        std::string host = platform::ProgramDirectory() + "quellon_servicehost";
        std::vector<std::string> argStrings = {host};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argStrings) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings = env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (entry.rfind("NOTIFY_SOCKET=", 0) == 0 || entry.rfind("QUELLON_", 0) == 0) continue;
            envStrings.push_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid, host.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ServiceProcess() {
        if (pid > 0 && !exited) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // True when the child ended within the time; status then holds its status.
    bool waitExit(std::chrono::milliseconds limit) {
        Clock::time_point end = Clock::now() + limit;
        while (!exited) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                exited = true;
                break;
            }
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    pid_t pid = -1;
    int status = 0;
    bool exited = false;
};

// The service manager's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path(path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~NotifySocket() { close(fd); }
    // Collects datagrams until one contains want or the time is up.
    bool waitFor(const std::string& want, std::chrono::milliseconds limit) {
        Clock::time_point end = Clock::now() + limit;
        for (;;) {
            for (const std::string& m : messages) {
                if (contains(m, want)) return true;
            }
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char buffer[512];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) messages.emplace_back(buffer, static_cast<size_t>(n));
        }
    }
    int index(const std::string& want) const {
        for (size_t i = 0; i < messages.size(); ++i) {
            if (contains(messages[i], want)) return static_cast<int>(i);
        }
        return -1;
    }
    std::string path;
    int fd;
    std::vector<std::string> messages;
};

// A plain client of the command server. The service reports RUNNING before
// its run loop starts the server, so the first connects may be refused.
class Client {
public:
    Client(int port, std::chrono::milliseconds limit) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Clock::time_point end = Clock::now() + limit;
        for (;;) {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (connected || Clock::now() > end) break;
            close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Client() { close(fd); }
    void send(const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // Reads until the received text contains want, the peer closes or the
    // time is up; returns everything received so far.
    std::string readUntil(const std::string& want, std::chrono::milliseconds limit) {
        Clock::time_point end = Clock::now() + limit;
        while (!contains(received, want)) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char buffer[4096];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
        }
        return received;
    }
    int fd;
    bool connected = false;
    std::string received;
};

constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStopLimit = std::chrono::seconds(40);

TEST(ServiceProcess, ServesClientsAndStopsCleanlyOnSigterm) {
    TempDir dir;
    int port = FreePort();
    // One simulated host for the service to subscribe to.
    {
        wmi::sim::SimStore store;
        ASSERT_EQ(store.open(dir / "hosts.db", true), wmi::sim::SimResult::Ok);
        wmi::sim::SimHost host;
        host.name = "127.0.0.2";
        host.computerName = "WIN-A";
        ASSERT_EQ(store.addHost(host), wmi::sim::SimResult::Ok);
    }
    std::ofstream(dir / "quellon.ini") << configText(port, dir / "quellon.log")
                                       << "[WMI]\nSIMSTORE=" << (dir / "hosts.db") << "\n";
    NotifySocket manager(dir / "notify");
    ServiceProcess service({"-s", "-c", dir / "quellon.ini"},
                           {"NOTIFY_SOCKET=" + (dir / "notify"),
                            "QUELLON_DEBUG_FILE=" + (dir / "debug.log")},
                           dir / "output.txt");
    ASSERT_GT(service.pid, 0);
    ASSERT_TRUE(manager.waitFor("READY=1", kStartLimit)) << readFile(dir / "debug.log");

    Client client(port, kStartLimit);
    ASSERT_TRUE(client.connected);
    EXPECT_TRUE(contains(client.readUntil("\r\n", kStartLimit), "200 Halcrest WMI Event Listener"))
        << client.received;
    client.send("login monitor s3cret-pw\r\n");
    EXPECT_TRUE(contains(client.readUntil("users=", kStartLimit), "OK authentication successful"))
        << client.received;
    client.send("NOOP\r\n");
    EXPECT_TRUE(contains(client.readUntil("OK noop\r\n", kStartLimit), "OK noop\r\n"))
        << client.received;
    client.send("ADD 127.0.0.2 * *\r\n");
    // The reply and the engine's broadcast travel separately; either may come first.
    for (const char* line : {"OK queuing subscription for 127.0.0.2 * *\r\n",
                             "CONNECTION_OK 127.0.0.2 * *\r\n"}) {
        EXPECT_TRUE(contains(client.readUntil(line, kStartLimit), line)) << client.received;
    }

    ASSERT_EQ(kill(service.pid, SIGTERM), 0);
    EXPECT_TRUE(contains(client.readUntil("Server shutdown\r\n", kStopLimit), "Server shutdown\r\n"))
        << client.received;
    // The engine stops after the notice: the subscription is deleted first.
    EXPECT_TRUE(contains(client.readUntil("OK Deleted Host 127.0.0.2 * *\r\n", kStopLimit),
                         "OK Deleted Host 127.0.0.2 * *\r\n"))
        << client.received;
    ASSERT_TRUE(service.waitExit(kStopLimit)) << "the service did not end after SIGTERM";
    EXPECT_TRUE(WIFEXITED(service.status) && WEXITSTATUS(service.status) == 0) << service.status;

    EXPECT_TRUE(manager.waitFor("STATUS=Stopped", std::chrono::seconds(1)));
    int ready = manager.index("READY=1");
    int stopping = manager.index("STOPPING=1");
    int stopped = manager.index("STATUS=Stopped");
    EXPECT_LT(ready, stopping);
    EXPECT_LT(stopping, stopped);
    EXPECT_EQ(stopped, static_cast<int>(manager.messages.size()) - 1);

    std::string debug = readFile(dir / "debug.log");
    EXPECT_TRUE(contains(debug, "Using Config File: " + (dir / "quellon.ini"))) << debug;
    EXPECT_TRUE(contains(debug, "Starting the server now")) << debug;
    EXPECT_TRUE(contains(debug, "CNTService::Handler(1)")) << debug;
    std::string log = readFile(dir / "quellon.log");
    EXPECT_TRUE(contains(log, "LOCAL_AUTH.PASSWORD=****")) << log;
    EXPECT_FALSE(contains(log, "PASSWORD=s3cret-pw")) << "the log shows the plain password";
}

TEST(ServiceProcess, RelativeNameFallsBackToTheConfigurationDirectory) {
    TempDir dir;
    std::filesystem::create_directory(dir / "etc");
    int port = FreePort();
    std::ofstream(dir / "etc/quellon.ini") << configText(port, dir / "quellon.log");
    NotifySocket manager(dir / "notify");
    ServiceProcess service({"-s", "-c", "not-here.ini"},
                           {"NOTIFY_SOCKET=" + (dir / "notify"),
                            "QUELLON_DEBUG_FILE=" + (dir / "debug.log"),
                            "QUELLON_SYSCONFDIR=" + (dir / "etc")},
                           dir / "output.txt");
    ASSERT_TRUE(manager.waitFor("READY=1", kStartLimit)) << readFile(dir / "debug.log");
    kill(service.pid, SIGTERM);
    ASSERT_TRUE(service.waitExit(kStopLimit));
    std::string debug = readFile(dir / "debug.log");
    EXPECT_TRUE(contains(debug, "not-here.ini\nCurrent directory check failed\n")) << debug;
    EXPECT_TRUE(contains(readFile(dir / "output.txt"),
                         "Using Config File: " + (dir / "etc/quellon.ini") + "\r\n"));
}

TEST(ServiceProcess, FailedStartEndsTheServiceWithItsReasonInTheDebugOutput) {
    struct Case {
        const char* what;
        std::string config;  // written to quellon.ini unless empty
        std::vector<std::string> reasons;
    } cases[] = {
        {"no configuration file", "",
         {"Current directory check failed", "Failed to open the config file",
          "Loading Configfile Failed."}},
        {"no Logger.level", "[LISTEN]\nPORT=1\n[Logger]\nfilename=/tmp/x.log\n",
         {"logger file name or debug level not set."}},
        {"entry without a name", "[LISTEN]\nPORT=1\n=7668\n",
         {"Error: configuration file", "Loading Configfile Failed."}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::filesystem::create_directory(dir / "etc");
        if (!c.config.empty()) std::ofstream(dir / "quellon.ini") << c.config;
        NotifySocket manager(dir / "notify");
        ServiceProcess service({"-s", "-c", dir / "quellon.ini"},
                               {"NOTIFY_SOCKET=" + (dir / "notify"),
                                "QUELLON_DEBUG_FILE=" + (dir / "debug.log"),
                                "QUELLON_SYSCONFDIR=" + (dir / "etc")},
                               dir / "output.txt");
        ASSERT_TRUE(service.waitExit(kStartLimit)) << c.what;
        EXPECT_TRUE(WIFEXITED(service.status) && WEXITSTATUS(service.status) == 0) << c.what;
        manager.waitFor("STATUS=Stopped", std::chrono::seconds(1));
        EXPECT_EQ(manager.index("READY=1"), -1) << c.what;
        EXPECT_NE(manager.index("STATUS=Stopped"), -1) << c.what;
        std::string debug = readFile(dir / "debug.log");
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
    std::ofstream(dir / "quellon.ini")
        << configText(port, dir / "quellon.log") << "[SSL]\nSSLENABLED=TRUE\nSSLPORT=" << tlsPort
        << "\nSERVERCERTFILE=" << certs.serverPem << "\nSERVERCERTPASSWORD=" << certs.password
        << "\nDHFILE=" << certs.dhPem << "\nCALIST=" << certs.caList << "\n";
    NotifySocket manager(dir / "notify");
    ServiceProcess service({"-s", "-c", dir / "quellon.ini"},
                           {"NOTIFY_SOCKET=" + (dir / "notify"),
                            "QUELLON_DEBUG_FILE=" + (dir / "debug.log")},
                           dir / "output.txt");
    ASSERT_TRUE(manager.waitFor("READY=1", kStartLimit)) << readFile(dir / "debug.log");

    tlstest::CSocketClient client;
    bool connected = false;
    for (Clock::time_point end = Clock::now() + kStartLimit; !connected && Clock::now() < end;) {
        connected = client.Connect(static_cast<uint16_t>(tlsPort));
        if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(connected) << readFile(dir / "output.txt");
    EXPECT_TRUE(contains(client.ReadLine(), "200 Halcrest WMI Event Listener"));
    EXPECT_EQ(client.Login("monitor", "s3cret-pw").rfind("OK authentication successful", 0), 0u);
    Client plain(port, std::chrono::milliseconds(0));
    EXPECT_FALSE(plain.connected) << "the plain port listens while TLS is enabled";

    kill(service.pid, SIGTERM);
    EXPECT_TRUE(contains(client.ReadUntil("Server shutdown\r\n", 40000), "Server shutdown\r\n"));
    ASSERT_TRUE(service.waitExit(kStopLimit));
    EXPECT_TRUE(WIFEXITED(service.status) && WEXITSTATUS(service.status) == 0) << service.status;
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
         "could not listen on port " + std::to_string(busyPort)},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::ofstream(dir / "quellon.ini") << configText(c.port, dir / "quellon.log") << c.extra;
        NotifySocket manager(dir / "notify");
        ServiceProcess service({"-s", "-c", dir / "quellon.ini"},
                               {"NOTIFY_SOCKET=" + (dir / "notify"),
                                "QUELLON_DEBUG_FILE=" + (dir / "debug.log")},
                               dir / "output.txt");
        ASSERT_TRUE(service.waitExit(kStartLimit)) << c.what;
        EXPECT_TRUE(WIFEXITED(service.status) && WEXITSTATUS(service.status) == 0) << c.what;
        EXPECT_TRUE(manager.waitFor("STATUS=Stopped", std::chrono::seconds(1))) << c.what;
        EXPECT_TRUE(contains(readFile(dir / "debug.log"), c.reason)) << c.what;
        EXPECT_TRUE(contains(readFile(dir / "quellon.log"), c.reason)) << c.what;
    }
    close(busy);
}

// ---- Install and uninstall commands ----

class InstallCommands : public ::testing::Test {
protected:
    void SetUp() override { setenv("QUELLON_UNIT_DIR", dir.path.c_str(), 1); }
    void TearDown() override { unsetenv("QUELLON_UNIT_DIR"); }

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
    TempDir dir;
};

TEST_F(InstallCommands, InstallTwiceThenUninstallTwice) {
    std::string exe = " Exe path " + platform::ProgramPath() + "\r\n";
    EXPECT_EQ(run({"-i"}),
              exe + "Service \"Tarnwick WMI Event Listener\" installed successfully.\r\n");
    std::string unit = readFile(dir / "quellon.service");
    EXPECT_TRUE(contains(unit, "ExecStart=\"" + platform::ProgramPath() + "\" -s -c \"quellon.ini\"\n"))
        << unit;
    EXPECT_EQ(run({"-i", "-c", "other.ini"}), "Service is already installed.\r\n");
    EXPECT_EQ(readFile(dir / "quellon.service"), unit);
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
         exe + "Error: failed to install service; please verify username and password\r\n", false},
        {{"-i", ".\\root", "pw", "-n", "Event Listener", "-c", "/etc/q.ini"},
         exe + "Service \"Event Listener\" installed successfully.\r\n"
               "Installed service as Event Listener-c -s -c \"/etc/q.ini\"\r\n",
         true},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(run(c.args), c.out) << c.args[1];
        testing::internal::GetCapturedStderr();
        std::string unit = readFile(dir / "quellon.service");
        EXPECT_EQ(!unit.empty(), c.installed) << c.args[1];
        if (c.installed) {
            EXPECT_TRUE(contains(unit, "\nUser=root\n")) << unit;
            EXPECT_TRUE(contains(unit, "\nDescription=Event Listener\n")) << unit;
        }
        unlink((dir / "quellon.service").c_str());
    }
}

}  // namespace
