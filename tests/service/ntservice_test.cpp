#include "service/ntservice.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "tests/app/tempdir.h"
#include "tests/platform/unitfolder.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using ServiceInstall = UnitFolderTest;

TEST_F(ServiceInstall, WithoutAccountWritesUnitThatStartsServiceMode) {
    CNTService service("quellon");
    EXPECT_FALSE(service.IsInstalled());

    CaptureStdout();
    bool installed =
        service.Install("Tarnwick WMI Event Listener", "-s -c \"my conf.ini\"", "", "");
    std::string out = GetCapturedStdout();

    ASSERT_TRUE(installed);
    EXPECT_TRUE(service.IsInstalled());
    std::string program = platform::ProgramPath();
    EXPECT_EQ(out, " Exe path " + program +
                       "\r\nService \"Tarnwick WMI Event Listener\" installed successfully.\r\n");
    std::string text = ReadWholeFile(unit);
    EXPECT_TRUE(contains(text, "\nDescription=Tarnwick WMI Event Listener\n")) << text;
    EXPECT_TRUE(contains(text, "\nExecStart=\"" + program + "\" -s -c \"my conf.ini\"\n")) << text;
    EXPECT_TRUE(contains(text, "\nType=notify\n")) << text;
    EXPECT_FALSE(contains(text, "User=")) << text;
    EXPECT_FALSE(contains(text, "[Install]")) << text;

    CaptureStdout();
    CaptureStderr();
    EXPECT_FALSE(service.Install("Other", "-s", "", ""));
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Error Installing! Unknown Reason.\r\n");
    EXPECT_EQ(ReadWholeFile(unit), text) << "an existing unit was changed";
}

TEST_F(ServiceInstall, AccountRules) {
    struct Case {
        std::string user;
        std::string error;     // expected on standard error; empty: installed
        std::string userLine;  // expected User= line when installed
    } cases[] = {
        {"root", "Specify user as .\\user or domain\\user\r\n", ""},
        {".\\quellon-no-such-user", "Error Installing! Couldn't find user/domain specified.\r\n",
         ""},
        {std::string(257, 'd') + "\\root",
         "Invalid domain name. Domain name is too long than accepted 256 characters.\r\n"
         "Error Installing! Couldn't find user/domain specified.\r\n",
         ""},
        {".\\" + std::string(257, 'u'),
         "Invalid user name. User name is too long than accepted 256 characters.\r\n"
         "Error Installing! Couldn't find user/domain specified.\r\n",
         ""},
        {std::string(256, 'd') + "\\quellon-no-such-user",
         "Error Installing! Couldn't find user/domain specified.\r\n", ""},
        {".\\root", "", "\nUser=root\n"},
        {"CORP\\root", "", "\nUser=root\n"},
    };
    for (const Case& c : cases) {
        CNTService service("quellon");
        CaptureStdout();
        CaptureStderr();
        bool installed = service.Install("Listener", "-s -c \"q.ini\"", c.user, "pw");
        std::string out = GetCapturedStdout();
        std::string err = GetCapturedStderr();
        if (c.error.empty()) {
            EXPECT_TRUE(installed) << c.user;
            EXPECT_EQ(err, "") << c.user;
            EXPECT_TRUE(contains(out, "Service \"Listener\" installed successfully.\r\n"))
                << c.user;
            EXPECT_TRUE(contains(ReadWholeFile(unit), c.userLine)) << c.user;
            unlink(unit.c_str());
        } else {
            EXPECT_FALSE(installed) << c.user;
            EXPECT_EQ(err, c.error) << c.user;
            EXPECT_FALSE(service.IsInstalled()) << c.user;
        }
    }
}

TEST_F(ServiceInstall, UninstallRemovesUnitOnce) {
    CNTService service("quellon");
    CaptureStdout();
    ASSERT_TRUE(service.Install("Listener", "-s -c \"q.ini\"", "", ""));
    GetCapturedStdout();

    CaptureStdout();
    EXPECT_TRUE(service.Uninstall());
    EXPECT_EQ(GetCapturedStdout(), "Uninstalled Service Successfully.\r\n");
    EXPECT_FALSE(service.IsInstalled());

    CaptureStdout();
    EXPECT_FALSE(service.Uninstall());
    EXPECT_EQ(GetCapturedStdout(),
              "Uninstall Failed! Please check if the service is installed.\r\n");
}

TEST_F(ServiceInstall, ManagerThatCannotBeOpened) {
    std::string missing = dir + "/missing";
    setenv("QUELLON_UNIT_DIR", missing.c_str(), 1);
    CNTService service("quellon");
    EXPECT_FALSE(service.IsInstalled());
    CaptureStdout();
    CaptureStderr();
    EXPECT_FALSE(service.Install("Listener", "-s", "", ""));
    EXPECT_FALSE(service.Uninstall());
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(
        GetCapturedStderr(),
        "Error Installing! Couldn't open the SCM.\r\nUninstall Failed! Couldn't open SCM.\r\n");
}

// ---- Running ----

// Sends the debug output to a file of its own for the life of a test.
class ServiceRun : public ::testing::Test {
  protected:
    void SetUp() override {
        debugFile = "/tmp/quellon-debug-" + std::to_string(getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
        unlink(debugFile.c_str());
        setenv("QUELLON_DEBUG_FILE", debugFile.c_str(), 1);
        unsetenv("NOTIFY_SOCKET");
    }
    void TearDown() override {
        unsetenv("QUELLON_DEBUG_FILE");
        unlink(debugFile.c_str());
    }
    // The trace lines without their "[name](thread): " prefix.
    std::vector<std::string> traces() {
        std::vector<std::string> lines;
        std::istringstream in(ReadWholeFile(debugFile));
        std::string line;
        while (std::getline(in, line)) {
            std::string::size_type colon = line.find("): ");
            lines.push_back(colon == std::string::npos ? line : line.substr(colon + 3));
        }
        return lines;
    }
    std::string debugFile;
};

// Records the hooks the framework calls, from whichever thread.
class RecordingService : public CNTService {
  public:
    explicit RecordingService(bool prepareResult, bool stopWhileStarting = false)
        : CNTService("quellon"),
          prepareResult(prepareResult),
          stopWhileStarting(stopWhileStarting) {}

    bool Prepare() override {
        record("Prepare");
        if (stopWhileStarting) {
            kill(getpid(), SIGTERM);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return prepareResult;
    }
    void RequestStop() override { record("RequestStop"); }
    void Interrogate() override { record("Interrogate"); }
    void Pause() override { record("Pause"); }
    void Resume() override { record("Resume"); }
    void Shutdown() override { record("Shutdown"); }
    bool UserControl(uint32_t code) override {
        record("UserControl(" + std::to_string(code) + ")");
        return true;
    }

    std::vector<std::string> hooks() {
        std::lock_guard<std::mutex> guard(mutex);
        return calls;
    }

  protected:
    void record(const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back(what);
    }

  private:
    bool prepareResult;
    bool stopWhileStarting;
    std::mutex mutex;
    std::vector<std::string> calls;
};

TEST_F(ServiceRun, StopWhileStartingIsHeldUntilRunningAndDefaultRunEnds) {
    RecordingService service(true, true);
    ASSERT_TRUE(service.StartDispatcher());
    EXPECT_EQ(service.hooks(), (std::vector<std::string>{"Prepare", "RequestStop"}));
    EXPECT_EQ(service.GetStatus().currentState, platform::kServiceStopped);

    // The held stop runs on the dispatching thread as soon as RUNNING is
    // reported, so it may overtake the last steps of the start; only these
    // orders are fixed.
    std::vector<std::string> lines = traces();
    auto at = [&](const std::string& part) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (contains(lines[i], part)) return static_cast<int>(i);
        }
        return -1;
    };
    std::string all = ReadWholeFile(debugFile);
    int started = at("Entering CNTService::ServiceMain()");
    int initializing = at("Entering CNTService::Initialize()");
    int startPending = at(", 2)");
    int running = at(", 4)");
    int handler = at("CNTService::Handler(1)");
    int stopPending = at(", 3)");
    EXPECT_EQ(started, 0) << all;
    EXPECT_EQ(initializing, 1) << all;
    EXPECT_EQ(startPending, 2) << all;
    EXPECT_GT(running, startPending) << all;
    EXPECT_GT(handler, running) << all;
    EXPECT_GT(stopPending, handler) << all;
    EXPECT_GE(at("Entering CNTService::Run()"), 0) << all;
    EXPECT_GE(at("Leaving CNTService::Initialize()"), 0) << all;
    ASSERT_EQ(lines.size(), 9u) << all;
    EXPECT_TRUE(contains(lines.back(), "CNTService::SetStatus(")) << all;
    EXPECT_TRUE(contains(lines.back(), ", 1)")) << all;
}

TEST_F(ServiceRun, FailedPrepareStopsWithoutRun) {
    RecordingService service(false);
    ASSERT_TRUE(service.StartDispatcher());
    EXPECT_EQ(service.hooks(), (std::vector<std::string>{"Prepare"}));
    EXPECT_EQ(service.GetStatus().currentState, platform::kServiceStopped);
    std::string text = ReadWholeFile(debugFile);
    EXPECT_FALSE(contains(text, "Entering CNTService::Run()")) << text;
    EXPECT_FALSE(contains(text, ", 4)")) << "RUNNING was reported: " << text;
}

// Runs the controls a service manager cannot send through signals straight
// into the handler, then stops itself.
class ControlService : public RecordingService {
  public:
    ControlService() : RecordingService(true) {}
    void Run() override {
        for (uint32_t control : {2u, 3u, 4u, 5u, 6u, 127u, 200u}) CNTService::Handler(control);
        kill(getpid(), SIGTERM);
        CNTService::Run();
    }
};

TEST_F(ServiceRun, ControlsReachTheirHooks) {
    ControlService service;
    ASSERT_TRUE(service.StartDispatcher());
    EXPECT_EQ(service.hooks(),
              (std::vector<std::string>{"Prepare", "Pause", "Resume", "Interrogate", "Shutdown",
                                        "UserControl(200)", "RequestStop"}));
    EXPECT_TRUE(contains(ReadWholeFile(debugFile), "CNTService::Handler(6)\n"));
}

TEST_F(ServiceRun, DebugPrintBoundsLongLines) {
    CNTService service("quellon");
    service.DebugPrint("%s", std::string(2000, 'x').c_str());
    service.DebugPrint("short %d", 7);
    std::string text = ReadWholeFile(debugFile);
    std::string::size_type firstEnd = text.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    EXPECT_EQ(firstEnd + 1, 1023u) << "a cut line must keep its line end within 1023 characters";
    std::string prefix = "[quellon](" + std::to_string(platform::CurrentThreadId()) + "): ";
    EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text.substr(0, 40);
    EXPECT_EQ(text.substr(firstEnd + 1), prefix + "short 7\n");
}

}  // namespace
