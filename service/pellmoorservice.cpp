#include "service/pellmoorservice.h"

#include <cstdio>

#include "app/cominit.h"
#include "app/commandline.h"
#include "app/startup.h"
#include "base/configdataloader.h"
#include "base/logger.h"
#include "base/stringformat.h"
#include "platform/mutex.h"
#include "platform/paths.h"
#include "platform/privilege.h"
#include "server/wmilogeventserver.h"

namespace {

const char* const kServiceName = "quellon";
const char* const kDefaultDisplayName = "Tarnwick WMI Event Listener";

// Writes text to standard error at once: nothing is left in a buffer when
// the process ends.
void WriteError(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

// A reason the started service cannot serve: to the log and the debug output.
void ReportServeError(const std::string& text) {
    LOG(ERROR, "%s", text.c_str());
    CNTService::DebugOutput(text.c_str());
}

}  // namespace

// A manual-reset event: once set it stays set, and every wait returns.
class CStopEvent {
  public:
    void Set() {
        platform::MutexLock guard(lock);
        signalled = true;
        changed.notifyAll();
    }
    void Wait() {
        platform::MutexLock guard(lock);
        while (!signalled) changed.wait();
    }

  private:
    platform::Mutex lock;  // guards signalled; a leaf lock
    platform::CondVar changed{lock};
    bool signalled GUARDED_BY(lock) = false;
};

CWmiLogEventServer* g_server = nullptr;
CStopEvent* g_stopEvent = nullptr;

PellmoorService::PellmoorService(const char* serviceName)
    : CNTService(serviceName), configFile(kDefaultConfigName) {
    g_config = nullptr;
}

PellmoorService::~PellmoorService() {
    {
        // The stop control normally stopped the server already; a server
        // still running must not be deleted with its threads alive.
        RSLibrary::RSSynchronizeGuard guard(serverLock);
        if (serverStarted && g_server != nullptr) g_server->Stop();
        serverStarted = false;
    }
    delete g_server;
    g_server = nullptr;
    ReleaseConfigAndLogger();
    // No thread can wait on the event any more: Run has returned and the
    // dispatcher, which runs the stop control, has ended.
    delete g_stopEvent;
    g_stopEvent = nullptr;
}

int PellmoorService::ParseArguments(int argc, const char* const* argv) {
    CCommandLineArgs args;
    args.Parse(argc, argv);
    configFile = args.HasSwitch("-c") ? args.GetValue("-c", 0, kDefaultConfigName)
                                      : std::string(kDefaultConfigName);
    return 1;
}

int PellmoorService::LoadConfigFile(const std::string& name) {
    std::string first = platform::IsAbsolutePath(name)
                            ? name
                            : platform::JoinPath(platform::CurrentDirectory(), name);
    DebugOutput(first.c_str());
    bool fellBack = false;
    std::string path = FindConfigFile(name, &fellBack);
    if (fellBack) DebugOutput("Current directory check failed");
    if (path.empty()) {
        std::string text = CConfigDataLoader::LoadMessage(108);
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        DebugOutput(text.c_str());
        return 0;
    }
    std::string usingLine = StringFormat(CConfigDataLoader::LoadMessage(109).c_str(), path.c_str());
    WriteError(usingLine);
    DebugOutput(usingLine.c_str());

    // The store names a refused file on the stream it is given; the text is
    // caught here so that it reaches the debug output as well.
    std::FILE* reasons = std::tmpfile();
    int loaded = LoadConfigStore(path, reasons != nullptr ? reasons : stderr);
    if (reasons != nullptr) {
        std::string text;
        std::rewind(reasons);
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, reasons)) > 0) text.append(buffer, n);
        std::fclose(reasons);
        if (!text.empty()) {
            WriteError(text);
            DebugOutput(text.c_str());
        }
    }
    return loaded;
}

void PellmoorService::ReportStartError(const std::string& text) {
    WriteError(text);
    DebugOutput(text.c_str());
}

bool PellmoorService::Prepare() {
    if (LoadConfigFile(configFile) == 0) {
        ReportStartError("Loading Configfile Failed.");
        return false;
    }
    std::string logPath;
    if (!CreateLoggerFromConfig(&logPath)) {
        ReportStartError("logger file name or debug level not set.");
        return false;
    }
    DebugOutput(("Log file " + logPath).c_str());
    // The listing is the message itself, not a format; secrets are masked.
    LOG(INFO, "%s", g_config->ListPairsMasked().c_str());
    SetTokenSecurity();
    if (g_stopEvent == nullptr) g_stopEvent = new CStopEvent();
    return true;
}

int PellmoorService::SetTokenSecurity() {
    DebugOutput("Setting token Security");
    if (!platform::EnablePrivilege("SeSecurityPrivilege"))
        DebugOutput("AdjustTokenPrivileges Failed!");
    return 1;
}

void PellmoorService::Run() {
    TListenSettings settings = ReadListenSettings();
    DebugOutput("Starting the server now");
    LOG(INFO, "Starting Server.");
    if (!settings.error.empty()) {
        ReportServeError(settings.error + "; the server is not started");
        return;
    }
    {
        RSLibrary::RSSynchronizeGuard guard(serverLock);
        if (stopRequested) return;
        std::string refusal;
        const TServerStart started = StartCommandServer(settings, &g_server, &refusal);
        if (started == TServerStart::kNoStateFile || started == TServerStart::kNotSetUp) {
            ReportServeError(refusal + "; the service stops");
            return;
        }
        if (started != TServerStart::kStarted) {
            ReportServeError(StringFormat("The server could not listen on %s; the service stops",
                                          ListenTarget(settings).c_str()));
            return;
        }
        serverStarted = true;
    }
    g_stopEvent->Wait();
}

void PellmoorService::StopServer() {
    {
        RSLibrary::RSSynchronizeGuard guard(serverLock);
        stopRequested = true;
        if (serverStarted && g_server != nullptr) {
            AbortWmiRequests();
            g_server->Stop();
            serverStarted = false;
            LOG(INFO, "Server Stopped.");
        }
    }
    if (g_stopEvent != nullptr) g_stopEvent->Set();
}

void PellmoorService::RequestStop() { StopServer(); }

void PellmoorService::Shutdown() { StopServer(); }

void InstallServiceCommand(const CCommandLineArgs& args) {
    PellmoorService service(kServiceName);
    if (service.IsInstalled()) {
        std::fputs("Service is already installed.\r\n", stdout);
        return;
    }
    std::string commandLine = "-s -c \"" + args.GetValue("-c", 0, kDefaultConfigName) + "\"";
    std::string displayName = args.GetValue("-n", 0, kDefaultDisplayName);
    std::string user = args.GetValue("-i", 0, "");
    if (user.empty()) {
        service.Install(displayName, commandLine, "", "");
        return;
    }
    std::string password = args.GetValue("-i", 1, "");
    if (password.empty()) {
        std::fputs("Error: please specify both username and password\r\n", stdout);
        return;
    }
    if (!service.Install(displayName, commandLine, user, password)) {
        std::fputs("Error: failed to install service; please verify username and password\r\n",
                   stdout);
    } else {
        std::printf("Installed service as %s-c %s\r\n", displayName.c_str(), commandLine.c_str());
    }
}

void UninstallServiceCommand() {
    PellmoorService service(kServiceName);
    service.Uninstall();
}

int RunServiceCommand(int argc, const char* const* argv) {
    WriteError("Now starting as service");
    CNTService::DebugOutput("Now starting as service");
    InitializeCom();
    PellmoorService service(kServiceName);
    service.ParseArguments(argc, argv);
    if (!service.StartDispatcher()) {
        std::string text = "The service dispatcher could not be started";
        WriteError("\r\n" + text + "\r\n");
        CNTService::DebugOutput(text.c_str());
    }
    return 0;
}
