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
#include "app/configdataloader.h"
#include "app/logger.h"
#include "app/startup.h"
#include "platform/privilege.h"

namespace {

const char* const kServiceName = "quellon";
const char* const kDefaultDisplayName = "Tarnwick WMI Event Listener";

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

// "-i [user [password]] [-n name] [-c file]".
void InstallService(const CCommandLineArgs& args) {
    std::string commandLine = "-s -c \"" + args.GetValue("-c", 0, kDefaultConfigName) + "\"";
    std::string displayName = args.GetValue("-n", 0, kDefaultDisplayName);
    std::string user = args.GetValue("-i", 0, "");
    if (!user.empty() && args.GetValue("-i", 1, "").empty()) {
        std::fputs("Error: please specify both username and password\r\n", stdout);
        return;
    }
    std::printf(
        "Installing the service \"%s\" as \"%s\" with arguments %s is not available in this "
        "build.\r\n",
        kServiceName, displayName.c_str(), commandLine.c_str());
}

// "-u".
void UninstallService() {
    std::printf("Uninstalling the service \"%s\" is not available in this build.\r\n",
                kServiceName);
}

// "-s".
void RunAsService(const CCommandLineArgs& /*args*/) {
    InitializeCom();
    std::printf("Running as the service \"%s\" is not available in this build.\r\n", kServiceName);
}

// Creates and starts the command server with the listening settings. The
// command server is not part of this build yet: only the start is logged.
void StartServer(const TListenSettings& settings) {
    LOG(INFO, "Starting Server.");
    if (!settings.missingKey.empty()) {
        LOG(ERROR, "TLS is enabled but %s is not set; the server is not started",
            settings.missingKey.c_str());
        std::printf(
            "Error: SSL.SSLENABLED is true but %s is not set; the server is not started\r\n",
            settings.missingKey.c_str());
        return;
    }
    LOG(WARN, "no command server in this build; nothing listens on port %d",
        settings.tls ? settings.tlsPort : settings.port);
}

// Stops and deletes the command server started by StartServer.
void StopServer() { LOG(INFO, "Server Stopped."); }

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
    StartServer(settings);

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
        InstallService(args);
    } else if (args.HasSwitch("-u")) {
        UninstallService();
    } else if (serviceMode) {
        RunAsService(args);
    } else {
        RunConsole(args);
    }
    return 0;
}
