// DESIGN
// The service manager is the Service Control Manager.
//
// Registration: CreateService with SERVICE_WIN32_OWN_PROCESS and
// SERVICE_DEMAND_START (started by hand), the command line as the binary
// path, and the account (".\user" or "domain\user") with its password, or
// LocalSystem without one. An account must be allowed to log on as a
// service: registration grants it that right (SeServiceLogonRight) through
// the local security policy. DeleteService marks the service for deletion;
// the SCM removes it once no handle to it is open and it is stopped.
//
// Dispatch: StartServiceCtrlDispatcher connects the calling thread to the
// SCM, which starts the service's main routine on a thread of its own and
// calls the handler on the dispatching thread; the SCM itself refuses
// controls while a service starts and those the service does not accept.
// Outside the SCM the call fails (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT),
// so the program runs as a service only when asked to (-s). The status
// handle of the SCM is a pointer and the caller's handle a number: the
// process has one service, so its handle is the number 1 and the SCM's
// handle is kept here.
//
// StartServiceCtrlDispatcher returns as soon as the service reports
// SERVICE_STOPPED, which the main routine does last but before it has
// returned (it still releases the lock it reported under). The caller
// destroys the service object once the dispatcher returns, so the dispatcher
// waits, in addition, for the routine's thread to leave the routine.
#include <windows.h>

// After windows.h, whose types it uses.
#include <ntsecapi.h>

#include <atomic>
#include <vector>

#include "platform/servicemanager.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr ServiceStatusHandle kTheHandle = 1;

std::wstring Wide(const std::string& text) {
    std::u16string utf16 = Utf8ToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// Owns a handle of the SCM.
struct ScHandle {
    SC_HANDLE handle;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ~ScHandle() {
        if (handle != nullptr) CloseServiceHandle(handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    explicit operator bool() const { return handle != nullptr; }
};

// The security identifier of an account, empty when it does not exist.
std::vector<unsigned char> AccountSid(const std::string& account) {
    std::wstring name = Wide(account);
    // ".\user" names a local account: the local machine's name stands for '.'.
    if (name.size() > 2 && name[0] == L'.' && name[1] == L'\\') name.erase(0, 2);
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) return {};
    std::vector<unsigned char> sid(sidSize);
    std::vector<wchar_t> domain(domainSize + 1);
    if (!LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize,
                            &use)) {
        return {};
    }
    return sid;
}

// Lets the account log on as a service. False when the policy refused.
bool GrantServiceLogonRight(std::vector<unsigned char>& sid) {
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_HANDLE policy = nullptr;
    if (LsaOpenPolicy(nullptr, &attributes, POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, &policy) !=
        0) {
        return false;
    }
    wchar_t right[] = L"SeServiceLogonRight";
    LSA_UNICODE_STRING rightName;
    rightName.Buffer = right;
    rightName.Length = static_cast<USHORT>(wcslen(right) * sizeof(wchar_t));
    rightName.MaximumLength = rightName.Length + sizeof(wchar_t);
    NTSTATUS status = LsaAddAccountRights(policy, sid.data(), &rightName, 1);
    LsaClose(policy);
    return status == 0;
}

// ---- Dispatch state: one service per process ----

std::string g_serviceName;
ServiceMainFunction g_serviceMain = nullptr;
ServiceHandlerFunction g_handler = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
std::atomic<bool> g_dispatching{false};
// Set when the main routine has begun and when it has returned; the second
// is a manual-reset event the dispatching thread waits on.
std::atomic<bool> g_mainBegun{false};
HANDLE g_mainEnded = nullptr;

DWORD WINAPI HandlerEx(DWORD control, DWORD, void*, void*) {
    if (g_handler != nullptr) g_handler(control);
    return NO_ERROR;
}

void WINAPI ServiceMainTrampoline(DWORD, LPWSTR*) {
    g_mainBegun = true;
    char* argv[] = {g_serviceName.data(), nullptr};
    g_serviceMain(1, argv);
    SetEvent(g_mainEnded);
}

}  // namespace

bool OpenServiceManager() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return static_cast<bool>(manager);
}

bool ServiceExists(const std::string& serviceName) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ScHandle service(OpenServiceW(manager.handle, Wide(serviceName).c_str(), SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

bool RegisterService(const std::string& serviceName, const std::string& displayName,
                     const std::string& commandLine, const std::string& account,
                     const std::string& password) {
    if (HasLineBreak(serviceName) || HasLineBreak(displayName) || HasLineBreak(commandLine) ||
        HasLineBreak(account)) {
        return false;
    }
    if (!account.empty()) {
        std::vector<unsigned char> sid = AccountSid(account);
        if (sid.empty()) return false;
        // Without the right the service fails to start; the SCM says why.
        GrantServiceLogonRight(sid);
    }
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return false;
    std::wstring wideAccount = Wide(account);
    std::wstring widePassword = Wide(password);
    ScHandle service(
        CreateServiceW(manager.handle, Wide(serviceName).c_str(), Wide(displayName).c_str(),
                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, Wide(commandLine).c_str(), nullptr, nullptr, nullptr,
                       account.empty() ? nullptr : wideAccount.c_str(),
                       account.empty() ? nullptr : widePassword.c_str()));
    return static_cast<bool>(service);
}

bool DeleteService(const std::string& serviceName) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ScHandle service(OpenServiceW(manager.handle, Wide(serviceName).c_str(), DELETE));
    return service && ::DeleteService(service.handle) != 0;
}

bool AccountExists(const std::string& userName) {
    return !userName.empty() && !AccountSid(userName).empty();
}

bool StartServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain) {
    if (serviceMain == nullptr || g_dispatching.exchange(true)) return false;
    g_mainEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_mainEnded == nullptr) {
        g_dispatching = false;
        return false;
    }
    g_mainBegun = false;
    g_serviceName = serviceName;
    g_serviceMain = serviceMain;
    std::wstring name = Wide(serviceName);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMainTrampoline}, {nullptr, nullptr}};
    bool dispatched = StartServiceCtrlDispatcherW(table) != 0;
    if (g_mainBegun) WaitForSingleObject(g_mainEnded, INFINITE);
    CloseHandle(g_mainEnded);
    g_mainEnded = nullptr;
    g_statusHandle = nullptr;
    g_handler = nullptr;
    g_dispatching = false;
    return dispatched;
}

ServiceStatusHandle RegisterServiceHandler(const std::string& serviceName,
                                           ServiceHandlerFunction handler) {
    if (!g_dispatching || serviceName != g_serviceName) return 0;
    g_handler = handler;
    g_statusHandle = RegisterServiceCtrlHandlerExW(Wide(serviceName).c_str(), HandlerEx, nullptr);
    return g_statusHandle == nullptr ? 0 : kTheHandle;
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    if (handle != kTheHandle || g_statusHandle == nullptr) return false;
    SERVICE_STATUS native{};
    native.dwServiceType = status.serviceType;
    native.dwCurrentState = status.currentState;
    native.dwControlsAccepted = status.controlsAccepted;
    native.dwWin32ExitCode = status.exitCode;
    native.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    native.dwCheckPoint = status.checkPoint;
    native.dwWaitHint = status.waitHint;
    return SetServiceStatus(g_statusHandle, &native) != 0;
}

unsigned long CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace platform
