// platform/servicemanager.h on the Windows service control manager: a
// service registered with RegisterService, started by the SCM, whose
// StartServiceDispatcher must return only after its main routine has
// returned (the caller then destroys what the routine uses).
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/paths.h"
#include "platform/servicemanager.h"
#include "tests/app/tempdir.h"

namespace {

const char* const kName = "quellon_dispatch_test";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(WindowsServiceManager, DispatcherReturnsAfterTheMainRoutine) {
    TempDir dir;
    const std::string file = dir.File("ends.txt");
    const std::string host = platform::ProgramDirectory() + "servicedispatch_win_host.exe";
    ASSERT_TRUE(platform::OpenServiceManager());
    platform::DeleteService(kName);  // left by an earlier run
    ASSERT_TRUE(platform::RegisterService(kName, "quellon dispatch test",
                                          "\"" + host + "\" \"" + file + "\"", "", ""));
    ASSERT_TRUE(platform::ServiceExists(kName));

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceW(manager, L"quellon_dispatch_test", SERVICE_START);
    ASSERT_NE(service, nullptr);
    EXPECT_NE(StartServiceW(service, 0, nullptr), 0) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    std::string ends;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        ends = ReadFile(file);
        // The host's last line comes when the dispatcher has returned.
        if (ends.find("dispatcher") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ("main returned\ndispatcher returned\n", ends);
    EXPECT_TRUE(platform::DeleteService(kName));
}

}  // namespace
