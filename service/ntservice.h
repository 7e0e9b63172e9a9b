// CNTService: the base class that lets the program run as a service. It
// installs the service with the service control manager (optionally under a
// user account), removes it, tells whether it is installed, hands the process
// to the service dispatcher and runs the service: it registers the control
// handler, reports the service states, calls the subclass's start work and
// run loop, and turns controls into virtual operations.
//
// The entry point owns the one object of a process (the constructor makes it
// the process's service, s_service) and calls Install, Uninstall, IsInstalled
// and StartDispatcher on the main thread. ServiceMain, and with it Initialize,
// Prepare and Run, runs on the thread the dispatcher creates; Handler, and
// with it RequestStop and the other control hooks, runs on the thread that
// called StartDispatcher, concurrently with Run. Trace lines go to the debug
// output, never to the log file or the console; install and uninstall report
// to standard output and standard error.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/printf_format.h"
#include "platform/servicemanager.h"
#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"

class CNTService {
  public:
    // Copies at most 63 characters of the name and becomes the process's
    // service. Initial status: own process, STOPPED, accepts stop.
    explicit CNTService(const char* serviceName);

    // Virtual operations, in slot order.
    virtual ~CNTService();
    // Default: waits while isRunning is set; returns within 5000 ms of the
    // stop control.
    virtual void Run();
    // Start work, on the service thread before RUNNING is reported. Default:
    // true. False ends the service start (STOPPED is reported).
    virtual bool Prepare();
    // The stop control, on the dispatching thread while Run runs.
    virtual void RequestStop();
    virtual void Interrogate();
    virtual void Pause();
    virtual void Resume();
    virtual void Shutdown();
    // Controls 128 and above. Default: false. The result is not used.
    virtual bool UserControl(uint32_t code);

    // True when a service of this name is registered.
    bool IsInstalled();

    // Registers the service: its command line is the quoted program path
    // followed by arguments. An empty user installs it for the system
    // account; otherwise user must be ".\name" or "domain\name" and name a
    // local account. Writes " Exe path ..." and the success line to standard
    // output and each failure to standard error; true when it was created.
    bool Install(const std::string& displayName, const std::string& arguments,
                 const std::string& user, const std::string& password);

    // Removes the registration (a running service is not stopped). Writes its
    // result; true when it was removed.
    bool Uninstall();

    // Runs the service: blocks until ServiceMain has returned. True when the
    // service ran; false when no dispatcher could be started.
    bool StartDispatcher();

    // Entry points called by the dispatcher; they act on s_service.
    static void ServiceMain(int argc, char** argv);
    static void Handler(uint32_t control);

    // START_PENDING, Prepare, then RUNNING (true) or STOPPED (false).
    bool Initialize();

    // Records the current state and reports the whole status.
    void SetStatus(uint32_t state);

    // One trace line "[name](thread id): message" to the debug output,
    // printf-style, cut to fit 1023 characters including the line end.
    void DebugPrint(const char* format, ...) QUELLON_PRINTF_FORMAT(2, 3);

    // Passes one text to the debug output. When QUELLON_DEBUG_FILE names a
    // file, the text is also appended to it as one line (a copy a test or an
    // operator without a system log can read). Thread-safe.
    static void DebugOutput(const char* text);

    // Snapshot of the status, for the subclass and for tests.
    platform::ServiceStatus GetStatus();

  protected:
    // Checks the lengths of the account parts and that the account exists.
    bool SetupServiceAccount(const std::string& domain, const std::string& user);
    // True when a local account of that name exists.
    bool ResolveAccountSid(const std::string& user);

    // Constant after construction.
    char serviceName[64];

    // Guards statusHandle and status, written by the service thread and by the
    // handler on the dispatching thread. Taken alone: only the dispatcher's
    // own leaf lock and the debug output are reached while it is held.
    RSLibrary::RSCriticalSection statusLock;
    platform::ServiceStatusHandle statusHandle GUARDED_BY(statusLock);
    platform::ServiceStatus status GUARDED_BY(statusLock);

    // Set before the service reports RUNNING, cleared by the stop control.
    std::atomic<int> isRunning;

    // The process's service object; the dispatcher's entry points act on it.
    static CNTService* s_service;
};
