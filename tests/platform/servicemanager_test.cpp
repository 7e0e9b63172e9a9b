#include "platform/servicemanager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/tempdir.h"
#include "tests/platform/eventually.h"
#include "tests/platform/notifysocket.h"
#include "tests/platform/unitfolder.h"

namespace {

using UnitFolder = UnitFolderTest;

TEST_F(UnitFolder, UnitCarriesEscapedSettingsAndNoInstallSection) {
    ASSERT_TRUE(platform::OpenServiceManager());
    ASSERT_TRUE(platform::RegisterService("quellon", "100% events",
                                          "\"/opt/q/quellon\" -s -c \"a$b\\c%d.ini\"", ".\\root",
                                          "secret"));
    std::string text = ReadWholeFile(unit);
    EXPECT_EQ(text,
              "[Unit]\nDescription=100%% events\n\n[Service]\nType=notify\n"
              "ExecStart=\"/opt/q/quellon\" -s -c \"a$$b\\\\c%%d.ini\"\nUser=root\n");
    EXPECT_EQ(text.find("secret"), std::string::npos) << "the password was written to the unit";
    EXPECT_TRUE(platform::ServiceExists("quellon"));
}

TEST_F(UnitFolder, RefusesWhatCannotBeWrittenSafely) {
    struct Case {
        const char* what;
        std::string display, commandLine, account;
    } cases[] = {
        {"line break in display name", "x\nExecStartPre=/bin/false", "\"/q\" -s", ""},
        {"line break in arguments", "x", "\"/q\" -s\r\nUser=nobody", ""},
        {"unknown account", "x", "\"/q\" -s", ".\\quellon-no-such-user"},
        {"empty account name", "x", "\"/q\" -s", "CORP\\"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(platform::RegisterService("quellon", c.display, c.commandLine, c.account, ""))
            << c.what;
        EXPECT_FALSE(platform::ServiceExists("quellon")) << c.what;
    }
}

TEST_F(UnitFolder, CreateDoesNotOverwriteAndDeleteRemovesOnce) {
    ASSERT_TRUE(platform::RegisterService("quellon", "first", "\"/q\" -s", "", ""));
    EXPECT_FALSE(platform::RegisterService("quellon", "second", "\"/q\" -s", "", ""));
    EXPECT_NE(ReadWholeFile(unit).find("Description=first\n"), std::string::npos);
    EXPECT_TRUE(platform::DeleteService("quellon"));
    EXPECT_FALSE(platform::ServiceExists("quellon"));
    EXPECT_FALSE(platform::DeleteService("quellon"));
}

TEST_F(UnitFolder, ManagerDoesNotOpenOnAMissingFolderOrAFile) {
    std::string missing = dir + "/missing";
    setenv("QUELLON_UNIT_DIR", missing.c_str(), 1);
    EXPECT_FALSE(platform::OpenServiceManager());
    std::string file = dir + "/plain";
    std::ofstream(file) << "x";
    setenv("QUELLON_UNIT_DIR", file.c_str(), 1);
    EXPECT_FALSE(platform::OpenServiceManager());
    unlink(file.c_str());
    setenv("QUELLON_UNIT_DIR", dir.c_str(), 1);
}

// ---- Dispatch ----

// What the service routines of one dispatcher run see and do.
struct ServiceRun {
    std::atomic<int> stops{0};
    std::atomic<int> interrogates{0};
    std::atomic<unsigned long> handlerThread{0};
    std::atomic<bool> secondDispatcherRefused{false};
    std::atomic<bool> wrongNameRefused{false};
    std::atomic<bool> extraStopRaised{false};
};
ServiceRun* g_run = nullptr;
platform::ServiceStatusHandle g_handle = 0;

void handler(uint32_t control) {
    g_run->handlerThread = platform::CurrentThreadId();
    if (control == platform::kServiceControlStop) ++g_run->stops;
    if (control == platform::kServiceControlInterrogate) ++g_run->interrogates;
}

void report(uint32_t state) {
    platform::ServiceStatus status;
    status.currentState = state;
    status.controlsAccepted = platform::kServiceAcceptStop;
    EXPECT_TRUE(platform::ReportServiceStatus(g_handle, status)) << state;
}

// A service that starts, raises SIGTERM and SIGHUP (the dispatcher turns
// them into controls), runs until stopped and ends.
void serviceMain(int argc, char** argv) {
    EXPECT_EQ(argc, 1);
    EXPECT_STREQ(argv[0], "quellon");
    g_run->wrongNameRefused = platform::RegisterServiceHandler("other", &handler) == 0;
    g_run->secondDispatcherRefused = !platform::StartServiceDispatcher("quellon", &serviceMain);
    g_handle = platform::RegisterServiceHandler("quellon", &handler);
    ASSERT_NE(g_handle, 0u);
    report(platform::kServiceStartPending);
    // A stop while starting is held until the service runs.
    kill(getpid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_run->stops.load(), 0) << "stop delivered while starting";
    report(platform::kServiceRunning);
    report(platform::kServiceRunning);  // no second READY
    kill(getpid(), SIGHUP);
    EXPECT_TRUE(Eventually([] { return g_run->stops.load() >= 1; }, 10000));
    EXPECT_TRUE(Eventually([] { return g_run->interrogates.load() >= 1; }, 10000));
    report(platform::kServiceStopPending);
    // Once stopping, further stops are not delivered.
    kill(getpid(), SIGINT);
    g_run->extraStopRaised = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    report(platform::kServiceStopped);
}

TEST(ServiceDispatcher, StatusReachesNotifySocketInOrderAndSignalsBecomeControls) {
    std::string path = "/tmp/quellon-notify-" + std::to_string(getpid());
    std::string abstractName = "@quellon-notify-" + std::to_string(getpid());
    for (const std::string& name : {path, abstractName}) {
        NotifySocket manager(name);
        ASSERT_TRUE(manager.bound) << name;
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        ServiceRun run;
        g_run = &run;
        sigset_t before, after;
        pthread_sigmask(SIG_SETMASK, nullptr, &before);

        EXPECT_TRUE(platform::StartServiceDispatcher("quellon", &serviceMain)) << name;

        pthread_sigmask(SIG_SETMASK, nullptr, &after);
        unsetenv("NOTIFY_SOCKET");
        EXPECT_EQ(sigismember(&after, SIGTERM), sigismember(&before, SIGTERM)) << name;
        EXPECT_EQ(sigismember(&after, SIGHUP), sigismember(&before, SIGHUP)) << name;
        EXPECT_TRUE(run.extraStopRaised) << name;
        EXPECT_EQ(run.stops.load(), 1) << name;
        EXPECT_EQ(run.interrogates.load(), 1) << name;
        EXPECT_EQ(run.handlerThread.load(), platform::CurrentThreadId())
            << "controls must run on the dispatching thread";
        EXPECT_TRUE(run.wrongNameRefused) << name;
        EXPECT_TRUE(run.secondDispatcherRefused) << name;
        EXPECT_EQ(manager.drain(),
                  (std::vector<std::string>{"STATUS=Starting", "READY=1\nSTATUS=Running",
                                            "STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped"}))
            << name;
        g_run = nullptr;
    }
}

void endsAtOnce(int, char**) {}

TEST(ServiceDispatcher, RunsWithoutServiceManagerAndRefusesStaleHandles) {
    unsetenv("NOTIFY_SOCKET");
    platform::ServiceStatusHandle old = g_handle;
    EXPECT_TRUE(platform::StartServiceDispatcher("quellon", &endsAtOnce));
    platform::ServiceStatus status;
    EXPECT_FALSE(platform::ReportServiceStatus(old, status)) << "handle outlived its dispatcher";
    EXPECT_EQ(platform::RegisterServiceHandler("quellon", &handler), 0u);
}

}  // namespace
