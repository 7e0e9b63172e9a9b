// quellon-serverhost: runs the command server alone, without the
// subscription engine, for load measurements.
//
//   quellon-serverhost --config FILE [--port P] [--bind ADDRESS] [--tls]
//
// Loads the configuration file, creates a logger when the file names one
// (Logger.filename and Logger.level), starts the server on the given port
// (0: a free port) and address (default 127.0.0.1), prints
// "listening on <port>" and serves until SIGINT or SIGTERM. With --tls the
// server is set up from the file's SSL keys (SSL.SSLENABLED must be true)
// and listens for TLS only, on --port when it is given, else on SSL.SSLPORT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/tlssettings.h"
#include "base/configdataloader.h"
#include "base/logger.h"
#include "server/wmilogeventserver.h"

namespace {

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "quellon-serverhost: %s\n", text.c_str());
    std::exit(1);
}

std::unique_ptr<CLogger> LoggerFromConfig(const CConfigDataLoader& config) {
    try {
        return std::make_unique<CLogger>(config.GetKeyValue("Logger.filename"),
                                         config.GetKeyValue("Logger.level"));
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return nullptr;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string configFile;
    std::string bind = "127.0.0.1";
    int port = 0;
    bool tls = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--tls") {
            tls = true;
            continue;
        }
        if (i + 1 >= argc) Fail("missing value after " + arg);
        std::string value = argv[++i];
        if (arg == "--config") {
            configFile = value;
        } else if (arg == "--port") {
            port = std::atoi(value.c_str());
        } else if (arg == "--bind") {
            bind = value;
        } else {
            Fail("unknown option " + arg);
        }
    }
    if (configFile.empty()) Fail("--config is required");

    // The signals are taken with sigwait on this thread; blocking them before
    // the server starts its threads keeps them off those threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CConfigDataLoader config(configFile);
    config.Load();
    g_config = &config;
    std::unique_ptr<CLogger> logger = LoggerFromConfig(config);
    g_logger = logger.get();

    auto server = std::make_unique<CWmiLogEventServer>();
    server->SetListenAddress(bind);
    int tlsPort = 0;
    if (tls) {
        TTlsSettings settings;
        std::string error;
        if (!ReadTlsSettings(settings, error)) Fail(error);
        if (!settings.enabled) Fail("--tls needs SSL.SSLENABLED=true in the configuration");
        server->InitSSL(settings.certificateFile, settings.password, settings.dhFile,
                        settings.caListFile);
        tlsPort = port != 0 ? port : settings.port;
    }
    if (server->Start(1000, port, tlsPort) != 1) Fail("the server did not start");
    std::printf("listening on %u\n", static_cast<unsigned>(server->GetListenPort()));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&signals, &signal);
    server->Stop();
    server.reset();
    g_logger = nullptr;
    g_config = nullptr;
    return 0;
}
