// A service for servicemanager_win_test: run by the service control manager
// with one argument, a file to append to. Its main routine reports RUNNING,
// then STOPPED, and appends "main returned" a moment later (as a service's
// last step after its final report may be delayed); the dispatcher's caller
// appends "dispatcher returned" when StartServiceDispatcher has returned.
// The file shows in which order the two ends came.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/servicemanager.h"

namespace {

const char* const kName = "quellon_dispatch_test";
std::string g_file;

void Append(const char* line) {
    std::FILE* file = std::fopen(g_file.c_str(), "a");
    if (file == nullptr) return;
    std::fprintf(file, "%s\n", line);
    std::fclose(file);
}

void OnControl(uint32_t) {}

void Main(int, char**) {
    platform::ServiceStatusHandle handle = platform::RegisterServiceHandler(kName, OnControl);
    platform::ServiceStatus status;
    status.currentState = platform::kServiceRunning;
    platform::ReportServiceStatus(handle, status);
    status.currentState = platform::kServiceStopped;
    platform::ReportServiceStatus(handle, status);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Append("main returned");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    g_file = argv[1];
    bool dispatched = platform::StartServiceDispatcher(kName, Main);
    Append(dispatched ? "dispatcher returned" : "no dispatcher");
    return 0;
}
