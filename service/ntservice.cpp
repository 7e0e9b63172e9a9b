#include "service/ntservice.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/debugoutput.h"
#include "platform/paths.h"

namespace {

// Longest domain or account name Install accepts.
constexpr size_t kMaxAccountPart = 256;

// How often the default Run looks at isRunning.
constexpr auto kRunPollInterval = std::chrono::milliseconds(50);

}  // namespace

CNTService* CNTService::s_service = nullptr;

CNTService::CNTService(const char* name) : statusHandle(0), isRunning(0) {
    std::snprintf(serviceName, sizeof serviceName, "%s", name != nullptr ? name : "");
    status.serviceType = platform::kServiceOwnProcess;
    status.currentState = platform::kServiceStopped;
    status.controlsAccepted = platform::kServiceAcceptStop;
    s_service = this;
}

CNTService::~CNTService() {
    DebugPrint("CNTService::~CNTService()");
    if (s_service == this) s_service = nullptr;
}

void CNTService::Run() {
    DebugPrint("Entering CNTService::Run()");
    while (isRunning.load()) std::this_thread::sleep_for(kRunPollInterval);
}

bool CNTService::Prepare() { return true; }
void CNTService::RequestStop() {}
void CNTService::Interrogate() {}
void CNTService::Pause() {}
void CNTService::Resume() {}
void CNTService::Shutdown() {}
bool CNTService::UserControl(uint32_t) { return false; }

bool CNTService::IsInstalled() {
    return platform::OpenServiceManager() && platform::ServiceExists(serviceName);
}

bool CNTService::Install(const std::string& displayName, const std::string& arguments,
                         const std::string& user, const std::string& password) {
    if (!platform::OpenServiceManager()) {
        std::fputs("Error Installing! Couldn't open the SCM.\r\n", stderr);
        return false;
    }
    std::string programPath = platform::ProgramPath();
    std::printf(" Exe path %s\r\n", programPath.c_str());
    std::string commandLine = "\"" + programPath + "\" " + arguments;

    bool created;
    if (user.empty()) {
        created = platform::RegisterService(serviceName, displayName, commandLine, "", "");
    } else {
        std::string::size_type slash = user.find('\\');
        if (slash == std::string::npos) {
            std::fputs("Specify user as .\\user or domain\\user\r\n", stderr);
            return false;
        }
        if (!SetupServiceAccount(user.substr(0, slash), user.substr(slash + 1))) {
            std::fputs("Error Installing! Couldn't find user/domain specified.\r\n", stderr);
            return false;
        }
        created = platform::RegisterService(serviceName, displayName, commandLine, user, password);
    }
    if (!created) {
        std::fputs("Error Installing! Unknown Reason.\r\n", stderr);
        return false;
    }
    std::printf("Service \"%s\" installed successfully.\r\n", displayName.c_str());
    return true;
}

bool CNTService::SetupServiceAccount(const std::string& domain, const std::string& user) {
    if (domain.size() > kMaxAccountPart) {
        std::fputs("Invalid domain name. Domain name is too long than accepted 256 characters.\r\n",
                   stderr);
        return false;
    }
    if (user.size() > kMaxAccountPart) {
        std::fputs("Invalid user name. User name is too long than accepted 256 characters.\r\n",
                   stderr);
        return false;
    }
    // The account is looked up by its name alone; the domain part only tells
    // local from other accounts where the platform has domains. There is no
    // logon right to grant.
    return ResolveAccountSid(user);
}

bool CNTService::ResolveAccountSid(const std::string& user) {
    return platform::AccountExists(user);
}

bool CNTService::Uninstall() {
    if (!platform::OpenServiceManager()) {
        std::fputs("Uninstall Failed! Couldn't open SCM.\r\n", stderr);
        return false;
    }
    if (!platform::ServiceExists(serviceName)) {
        std::fputs("Uninstall Failed! Please check if the service is installed.\r\n", stdout);
        return false;
    }
    bool deleted = platform::DeleteService(serviceName);
    std::fputs(deleted ? "Uninstalled Service Successfully.\r\n"
                       : "Uninstall Failed! Please check if the service is installed.\r\n",
               stdout);
    return deleted;
}

bool CNTService::StartDispatcher() {
    return platform::StartServiceDispatcher(serviceName, &CNTService::ServiceMain);
}

void CNTService::ServiceMain(int, char**) {
    CNTService* service = s_service;
    if (service == nullptr) return;
    service->DebugPrint("Entering CNTService::ServiceMain()");
    {
        RSLibrary::RSSynchronizeGuard guard(service->statusLock);
        service->status.currentState = platform::kServiceStartPending;
    }
    platform::ServiceStatusHandle handle =
        platform::RegisterServiceHandler(service->serviceName, &CNTService::Handler);
    {
        RSLibrary::RSSynchronizeGuard guard(service->statusLock);
        service->statusHandle = handle;
    }
    if (handle == 0) return;

    // Set before RUNNING is reported: a stop control can arrive as soon as it
    // is, and must not be undone by setting the flag afterwards.
    service->isRunning = 1;
    if (service->Initialize()) {
        {
            RSLibrary::RSSynchronizeGuard guard(service->statusLock);
            service->status.exitCode = 0;
            service->status.checkPoint = 0;
            service->status.waitHint = 0;
        }
        service->Run();
    } else {
        service->isRunning = 0;
    }
    service->SetStatus(platform::kServiceStopped);
}

bool CNTService::Initialize() {
    DebugPrint("Entering CNTService::Initialize()");
    SetStatus(platform::kServiceStartPending);
    bool prepared = Prepare();
    int lastError = errno;
    {
        RSLibrary::RSSynchronizeGuard guard(statusLock);
        status.exitCode = static_cast<uint32_t>(lastError);
        status.checkPoint = 0;
        status.waitHint = 0;
    }
    if (!prepared) {
        SetStatus(platform::kServiceStopped);
        return false;
    }
    SetStatus(platform::kServiceRunning);
    DebugPrint("Leaving CNTService::Initialize()");
    return true;
}

void CNTService::Handler(uint32_t control) {
    CNTService* service = s_service;
    if (service == nullptr) return;
    service->DebugPrint("CNTService::Handler(%lu)", static_cast<unsigned long>(control));
    switch (control) {
        case platform::kServiceControlStop:
            service->SetStatus(platform::kServiceStopPending);
            service->RequestStop();
            service->isRunning = 0;
            break;
        case platform::kServiceControlPause:
            service->Pause();
            break;
        case platform::kServiceControlContinue:
            service->Resume();
            break;
        case platform::kServiceControlInterrogate:
            service->Interrogate();
            break;
        case platform::kServiceControlShutdown:
            service->Shutdown();
            break;
        default:
            if (control >= 128) service->UserControl(control);
            break;
    }
    RSLibrary::RSSynchronizeGuard guard(service->statusLock);
    platform::ReportServiceStatus(service->statusHandle, service->status);
}

void CNTService::SetStatus(uint32_t state) {
    RSLibrary::RSSynchronizeGuard guard(statusLock);
    DebugPrint("CNTService::SetStatus(%lu, %lu)", static_cast<unsigned long>(statusHandle),
               static_cast<unsigned long>(state));
    status.currentState = state;
    platform::ReportServiceStatus(statusHandle, status);
}

platform::ServiceStatus CNTService::GetStatus() {
    RSLibrary::RSSynchronizeGuard guard(statusLock);
    return status;
}

void CNTService::DebugPrint(const char* format, ...) {
    char line[1024];
    int prefix =
        std::snprintf(line, sizeof line, "[%s](%lu): ", serviceName, platform::CurrentThreadId());
    if (prefix < 0) return;
    size_t used = static_cast<size_t>(prefix) < sizeof line - 2 ? static_cast<size_t>(prefix)
                                                                : sizeof line - 2;
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(line + used, sizeof line - 1 - used, format, args);
    va_end(args);
    if (written > 0) {
        used += static_cast<size_t>(written) < sizeof line - 1 - used ? static_cast<size_t>(written)
                                                                      : sizeof line - 2 - used;
    }
    line[used] = '\n';
    line[used + 1] = '\0';
    DebugOutput(line);
}

void CNTService::DebugOutput(const char* text) {
    if (text == nullptr) return;
    platform::DebugOutput(text);
    const char* copy = std::getenv("QUELLON_DEBUG_FILE");
    if (copy == nullptr || *copy == '\0') return;
    std::FILE* file = std::fopen(copy, "a");
    if (file == nullptr) return;
    size_t length = std::strlen(text);
    std::string lineText(text, length);
    if (length == 0 || text[length - 1] != '\n') lineText += '\n';
    // The line leaves the stream's buffer in one append when the file is
    // closed, so lines from several threads do not interleave.
    std::fwrite(lineText.data(), 1, lineText.size(), file);
    std::fclose(file);
}
