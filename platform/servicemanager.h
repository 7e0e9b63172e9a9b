// The service manager of the listener: the system's registry of services and
// the dispatch of its controls to a running one. Two halves:
//
// Registration. A service is registered under its name with a display name,
// the command that starts it and the account it runs as; it runs when it is
// started by hand (it is not started with the system). These calls are made
// by the installing process on one thread.
//
// Dispatch. StartServiceDispatcher() runs a service's main routine on a thread
// of its own and delivers the service manager's controls (stop, interrogate)
// to the registered handler on the dispatching thread. Status reports go to
// the service manager when the process runs under one; without one the
// dispatcher runs all the same. One dispatcher per process at a time.
//
// How each system maps this onto its own service manager (where a
// registration is kept, which of its signals or messages become which
// control, what a password or logon right turns into) is told in the DESIGN
// block of its implementation (servicemanager_linux.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Service states, with the numbers the service code reports.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;

// Control codes delivered to a service handler.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;

// Bits of ServiceStatus::controlsAccepted.
constexpr uint32_t kServiceAcceptStop = 1;

constexpr uint32_t kServiceOwnProcess = 0x10;

// What a service reports about itself.
struct ServiceStatus {
    uint32_t serviceType = kServiceOwnProcess;
    uint32_t currentState = kServiceStopped;
    uint32_t controlsAccepted = 0;
    uint32_t exitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

// ---- Registration ----

// True when this process may create, query and delete services.
bool OpenServiceManager();

// True when a service of that name is registered.
bool ServiceExists(const std::string& serviceName);

// Registers serviceName. commandLine is the whole command of a service
// start: the quoted program path followed by its arguments, as one text
// (double quotes group words); the program receives exactly these words.
// account is empty (the service runs as the system's administrator) or
// "domain\user", which must exist; a password is kept only where the service
// manager needs one. Returns false, registering nothing, when the service
// exists already, when a text holds a line break, when the account does not
// exist, or when the registration cannot be written.
bool RegisterService(const std::string& serviceName, const std::string& displayName,
                     const std::string& commandLine, const std::string& account,
                     const std::string& password);

// Removes the registration of serviceName. False when it does not exist or
// cannot be removed. A running service is not stopped.
bool DeleteService(const std::string& serviceName);

// True when a local account of that name exists.
bool AccountExists(const std::string& userName);

// ---- Dispatch ----

using ServiceMainFunction = void (*)(int argc, char** argv);
using ServiceHandlerFunction = void (*)(uint32_t control);
// Identifies a registered handler; 0 is no handle.
using ServiceStatusHandle = unsigned long;

// Runs serviceMain(1, {serviceName}) on a new thread and delivers controls to
// the handler that routine registers, on the calling thread, until the
// routine returns. Call it before the process starts other threads: every
// thread started later inherits what the dispatcher set up to receive the
// controls, and the calling thread's set-up is restored on return. Controls
// are held while the service is starting (no status or START_PENDING
// reported) and delivered once it runs; a stop the service does not accept,
// and any control once it is stopping or stopped, is dropped. Returns true
// after the routine has returned, false when no dispatcher could be started
// (one is running already, or the platform failed).
bool StartServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain);

// Registers the control handler of the running service. Called from the
// service's main routine. Returns 0 when no dispatcher runs serviceName.
ServiceStatusHandle RegisterServiceHandler(const std::string& serviceName,
                                           ServiceHandlerFunction handler);

// Reports the service's status to the service manager; thread-safe. Each
// change of state is passed on (running, stopping, and a status text with
// every change). False for a handle that is not the current one; a service
// manager that cannot be reached is not a failure.
bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Numeric id of the calling thread, as the debug output shows it.
unsigned long CurrentThreadId();

}  // namespace platform
