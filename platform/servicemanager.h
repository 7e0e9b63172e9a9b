// The service control manager of the listener, on systemd. Two halves:
//
// Registration. A service is a unit file "<name>.service" in the unit folder
// (/etc/systemd/system, or $QUELLON_UNIT_DIR). Creating the service writes
// Description=, ExecStart=, Type=notify and User= (when an account is given)
// and no [Install] section, so the service runs when started by hand. The
// folder is the "manager": it opens when it exists and may be written. These
// calls are made by the installing process on one thread.
//
// Dispatch. StartServiceDispatcher() runs a service's main routine on a thread
// of its own and turns SIGTERM and SIGINT into the stop control and SIGHUP
// into the interrogate control, delivered to the registered handler on the
// dispatching thread. Status reports become READY=1, STOPPING=1 and STATUS=
// datagrams on $NOTIFY_SOCKET when it is set; without a service manager the
// dispatcher runs all the same. One dispatcher per process at a time.
//
// What systemd cannot give: there is no password to store (the account runs
// without one) and no logon right to grant; a unit written while systemd runs
// is seen after "systemctl daemon-reload".
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

// The unit folder: $QUELLON_UNIT_DIR when set and not empty, else
// /etc/systemd/system.
std::string ServiceUnitDirectory();

// Full path of the unit file of serviceName.
std::string ServiceUnitPath(const std::string& serviceName);

// True when the unit folder exists, is a folder and may be written: the
// condition for creating, querying and deleting services.
bool OpenServiceManager();

// True when the unit file of serviceName exists.
bool ServiceExists(const std::string& serviceName);

// Writes the unit file of serviceName. commandLine is the whole command of a
// service start: the quoted program path followed by its arguments, as one
// text (double quotes group words); it is escaped for systemd so that the
// program receives exactly these words. account is empty (the service runs as
// root) or "domain\user"; the unit names only the user, which must exist.
// The password has no place in a unit and is not written. Returns false,
// writing nothing, when the service exists already, when a text holds a line
// break (a unit line cannot carry one), when the user does not exist, or when
// the file cannot be written.
bool RegisterService(const std::string& serviceName, const std::string& displayName,
                     const std::string& commandLine, const std::string& account,
                     const std::string& password);

// Removes the unit file of serviceName. False when it does not exist or cannot
// be removed. A running service is not stopped.
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
// routine returns. Call it before the process starts other threads: SIGTERM,
// SIGINT and SIGHUP are blocked in the calling thread and in every thread
// started from it, and taken by the dispatcher alone; the previous signal mask
// is restored on return. Controls are held while the service is starting
// (no status or START_PENDING reported) and delivered once it runs; a stop the
// service does not accept, and any control once it is stopping or stopped, is
// dropped. Returns true after the routine has returned, false when no
// dispatcher could be started (one is running already, or the platform failed).
bool StartServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain);

// Registers the control handler of the running service. Called from the
// service's main routine. Returns 0 when no dispatcher runs serviceName.
ServiceStatusHandle RegisterServiceHandler(const std::string& serviceName,
                                           ServiceHandlerFunction handler);

// Reports the service's status; thread-safe. A change of state is sent to
// $NOTIFY_SOCKET: READY=1 on RUNNING, STOPPING=1 on STOP_PENDING, and a
// STATUS= line with every change. False for a handle that is not the current
// one; an unreachable notify socket is not a failure.
bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Numeric id of the calling thread, as the debug output shows it.
unsigned long CurrentThreadId();

}  // namespace platform
