// The program's entry point: validates and parses the command line, then
// does exactly one thing — print the usage text or the version, install or
// uninstall the service, run as a service, or run the listener in the
// console until the operator types Q. Every path exits with 0.
//
// Console mode runs on the main thread: configuration file, logger,
// management-interface preparation, server start, the wait for Q, then
// shutdown in the order server, configuration store, logger.

#include <cctype>
#include <cstdio>
#include <string>

#include "app/cominit.h"
#include "app/commandline.h"
#include "app/startup.h"
#include "base/configdataloader.h"
#include "base/logger.h"
#include "platform/privilege.h"
#include "server/wmilogeventserver.h"
#include "service/pellmoorservice.h"

namespace {

void PrintUsage() {
    std::fputs(
        "quellon [ -x | -s ] [ -c <config_file> ] [ -v ] [ -h ]  [ -i [user] [pass] [-n name] ]  "
        "[ -u ]\r\n"
        "where:\r\n"
        "\t-x run listener in console mode (default)\r\n"
        "\t-s run as service\r\n"
        "\t-c use specified config file\r\n"
        "\t-v shows current version\r\n"
        "\t-h shows this help message\r\n"
        "\t-i install as service using -n name as long service name (optional user/pass)\r\n"
        "\t-u uninstall service\r\n",
        stdout);
}

void PrintVersion() {
    std::printf("%s @ %s\r\n", VersionBanner().c_str(), BuildTime());
    std::fputs(CConfigDataLoader::LoadMessage(107).c_str(), stdout);
}

void EnableSecurityPrivilege() { platform::EnablePrivilege("SeSecurityPrivilege"); }

// The command server of console mode; created by StartServer, stopped and
// deleted by StopServer.
CWmiLogEventServer* g_consoleServer = nullptr;

// Creates the command server with its subscription engine and starts it on
// the plain port, or on the TLS port only when TLS is enabled. False, with
// one line on standard output and in the log, when a setting cannot work
// or the port cannot be opened: nothing is left running.
bool StartServer(const TListenSettings& settings) {
    if (!settings.error.empty()) {
        LOG(FATAL, "%s; exiting", settings.error.c_str());
        std::printf("Error: %s\r\n", settings.error.c_str());
        return false;
    }
    LOG(INFO, "Starting Server.");
    std::string refusal;
    const TServerStart started = StartCommandServer(settings, &g_consoleServer, &refusal);
    if (started == TServerStart::kNoStateFile) {
        LOG(FATAL, "%s; exiting", refusal.c_str());
        std::printf("Error: %s\r\n", refusal.c_str());
        return false;
    }
    if (started == TServerStart::kNotSetUp) {
        std::printf("Error: %s\r\n", refusal.c_str());
        return false;
    }
    if (started != TServerStart::kStarted) {
        const std::string target = ListenTarget(settings);
        LOG(FATAL, "The server could not listen on %s; exiting", target.c_str());
        std::printf("Error: the server could not listen on %s\r\n", target.c_str());
        return false;
    }
    return true;
}

// Stops the command server (clients receive "Server shutdown", the engine
// drains) and deletes it.
void StopServer() {
    if (g_consoleServer == nullptr) return;
    AbortWmiRequests();
    g_consoleServer->Stop();
    delete g_consoleServer;
    g_consoleServer = nullptr;
    LOG(INFO, "Server Stopped.");
}

// Reads single characters, white space skipped, until "q" or "Q". End of
// input counts as "q".
void WaitForQuit() {
    for (;;) {
        int c = std::fgetc(stdin);
        if (c == EOF) {
            std::fputs("End of input; shutting down as if Q was typed.\r\n", stdout);
            return;
        }
        if (std::isspace(c)) continue;
        if (c == 'q' || c == 'Q') return;
    }
}

int RunConsole(const CCommandLineArgs& args) {
    std::string name = args.GetValue("-c", 0, kDefaultConfigName);
    std::printf("Starting in standalone mode, loading %s\r\n", name.c_str());
    std::fflush(stdout);
    if (LoadConfigFile(name) == 0) {
        ReleaseConfigAndLogger();
        return 0;
    }
    InitLogger();
    // The listing is the message itself, not a format; secrets are masked.
    LOG(DEBUG, "%s", g_config->ListPairsMasked().c_str());
    TListenSettings settings = ReadListenSettings();
    InitializeCom();
    if (!StartServer(settings)) {
        ReleaseConfigAndLogger();
        return 0;
    }

    std::fputs("Press Q to quit\r\n", stdout);
    std::fflush(stdout);
    WaitForQuit();
    std::fputs("Shutting down...", stdout);
    std::fflush(stdout);
    StopServer();
    ReleaseConfigAndLogger();
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    CCommandLineArgs args;
    if (!args.Validate(argc, argv)) {
        std::fputs(
            "Invalid command line parameter. Argument length for each switch is limited to 256 "
            "characters.",
            stdout);
        return 0;
    }
    args.Parse(argc, argv);
    EnableSecurityPrivilege();
    bool serviceMode = args.HasSwitch("-s");

    if (args.HasSwitch("-h")) {
        PrintUsage();
    } else if (args.HasSwitch("-v")) {
        PrintVersion();
    } else if (args.HasSwitch("-i")) {
        InstallServiceCommand(args);
    } else if (args.HasSwitch("-u")) {
        UninstallServiceCommand();
    } else if (serviceMode) {
        RunServiceCommand(argc, argv);
    } else {
        RunConsole(args);
    }
    return 0;
}
