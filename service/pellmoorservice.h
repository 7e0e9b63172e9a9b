// PellmoorService: the listener when it runs as a service. It supplies the
// service's start work (configuration file, logger, privilege, stop event),
// its run loop (build and start the command server on the configured port
// or TLS port, as console mode does, then wait for the stop event) and its
// stop reaction (stop the server, release the wait).
//
// The service-mode entry (RunServiceCommand) owns the one object; it creates
// it, lets it read "-c" from the command line and starts the dispatcher.
// Prepare and Run run on the service thread, RequestStop and Shutdown on the
// dispatching thread while Run waits. The object owns the process-wide
// g_config, g_logger, g_server and g_stopEvent it creates and deletes them in
// its destructor (server, store, logger, event), after the dispatcher has
// returned.
//
// Standard output and standard error reach nobody when a service manager
// starts the process; every line that explains a failed start also goes to
// the debug output (CNTService::DebugOutput) or, once it exists, the log.
#pragma once

#include <string>

#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"
#include "service/ntservice.h"

class CWmiLogEventServer;
class CStopEvent;

// The command server and the stop event of service mode; null outside it.
extern CWmiLogEventServer* g_server;
extern CStopEvent* g_stopEvent;

class PellmoorService : public CNTService {
  public:
    // Sets configFile to "quellon.ini" and g_config to null.
    explicit PellmoorService(const char* serviceName);

    // Deletes the server, the configuration store, the logger and the stop
    // event, and sets the pointers to null.
    ~PellmoorService() override;

    // Starts the server (plain or TLS) and waits for the stop event. Returns
    // at once, without starting anything, when TLS is enabled with a key
    // missing, when the server does not start, or when a stop came first.
    void Run() override;

    // Loads the configuration, creates the logger, enables the privilege and
    // creates the stop event. False, with the reason in the
    // debug output and on standard error, when the configuration file is
    // missing or refused or a logger key is absent.
    bool Prepare() override;

    // The stop control: stops a started server (clients receive "Server
    // shutdown") and signals the stop event.
    void RequestStop() override;
    void Shutdown() override;

    // Takes the configuration file name from "-c" (default "quellon.ini").
    // Returns 1.
    int ParseArguments(int argc, const char* const* argv);

    // Finds the file (the name against the current directory, else
    // quellon.ini in the fallback configuration directory), creates g_config
    // for it and loads it. Non-zero when a file was found and loaded.
    int LoadConfigFile(const std::string& name);

    // Enables the security privilege; a failure is only traced. Returns 1.
    int SetTokenSecurity();

    const std::string& GetConfigFile() const { return configFile; }

  private:
    // Writes a start-up failure to standard error and the debug output.
    void ReportStartError(const std::string& text);
    void StopServer();

    // Set by ParseArguments before the dispatcher starts; read by Prepare.
    std::string configFile;

    // Orders the server start in Run against the stop control: a stop that
    // arrives before the start keeps the server from starting, one that
    // arrives after it stops the server. Outermost lock of the service (lock
    // order: platform/thread_annotations.h).
    RSLibrary::RSCriticalSection serverLock;
    bool serverStarted GUARDED_BY(serverLock) = false;
    bool stopRequested GUARDED_BY(serverLock) = false;
};

// The three command-line actions of the service host, for the entry point.
class CCommandLineArgs;

// "-i [user password] [-n name] [-c file]": registers the service "quellon"
// to run "-s -c \"file\"" (file as typed, default quellon.ini) under the
// display name (default "Tarnwick WMI Event Listener"), for the system
// account or the given account. Prints its result.
void InstallServiceCommand(const CCommandLineArgs& args);

// "-u": removes the registration of "quellon". Prints its result.
void UninstallServiceCommand();

// "-s": runs the process as the service "quellon" until it is stopped.
// Call it before the process starts any thread. Returns 0.
int RunServiceCommand(int argc, const char* const* argv);
