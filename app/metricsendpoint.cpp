#include "app/metricsendpoint.h"

#include <strings.h>
#include <time.h>

#include <memory>

#include "base/configdataloader.h"
#include "base/logger.h"
#include "base/stringformat.h"
#include "base/version.h"
#include "server/listenermetrics.h"
#include "server/wmilogeventserver.h"

namespace {

// The value of a key, or false when the key is absent.
bool Read(const char* key, std::string* value) {
    try {
        *value = g_config->GetKeyValue(key);
        return true;
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return false;
    }
}

std::string Trimmed(const std::string& text) {
    const char* const blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

bool ReadMetricsSettings(TMetricsSettings* settings, std::string* error) {
    *settings = TMetricsSettings();
    std::string listen;
    if (g_config == nullptr || !Read("METRICS.LISTEN", &listen)) return true;
    listen = Trimmed(listen);
    if (listen.empty()) return true;
    if (!CMetricsServer::ParseListen(listen, &settings->address, &settings->port)) {
        *error = "METRICS.LISTEN is not an address and port (127.0.0.1:9464, [::1]:9464): \"" +
                 listen + "\"";
        settings->address.clear();
        return false;
    }
    std::string tls;
    if (Read("METRICS.TLS", &tls)) {
        tls = Trimmed(tls);
        if (strcasecmp(tls.c_str(), "true") == 0) {
            settings->tls = true;
        } else if (strcasecmp(tls.c_str(), "false") != 0) {
            *error = "METRICS.TLS is neither true nor false: \"" + tls + "\"";
            return false;
        }
    }
    if (settings->tls) {
        const char* const keys[] = {"SSL.SERVERCERTFILE", "SSL.SERVERCERTPASSWORD", "SSL.DHFILE",
                                    "SSL.CALIST"};
        std::string values[4];
        for (int i = 0; i < 4; ++i) {
            if (!Read(keys[i], &values[i])) {
                *error = std::string("METRICS.TLS is true but ") + keys[i] + " is not set";
                return false;
            }
        }
        settings->certificateFile = g_config->ResolvePath(values[0]);
        settings->password = values[1];
        settings->dhFile = g_config->ResolvePath(values[2]);
        settings->caListFile = g_config->ResolvePath(values[3]);
    }
    std::string token;
    if (Read("METRICS.TOKEN", &token)) settings->token = Trimmed(token);
    std::string connections;
    // Its range is checked with the other numeric settings.
    if (Read("METRICS.MAXCONNECTIONS", &connections)) {
        settings->maxConnections = static_cast<int>(DecimalPrefix(connections));
    }
    return true;
}

bool StartMetricsEndpoint(const TMetricsSettings& settings, CWmiLogEventServer* server,
                          std::string* error) {
    auto metrics = std::make_shared<CListenerMetrics>(static_cast<int64_t>(time(nullptr)),
                                                      VersionNumber(), BuildDate());
    auto endpoint = std::make_unique<CMetricsServer>(settings, [server,
                                                                metrics](TExpositionFormat format) {
        std::string body;
        WriteExposition(metrics->Collect(server->Snapshot(), static_cast<int64_t>(time(nullptr))),
                        format, &body);
        return body;
    });
    if (settings.tls) {
        // Returns only on success.
        endpoint->InitSSL(settings.certificateFile, settings.password, settings.dhFile,
                          settings.caListFile);
    }
    if (endpoint->Start(1000, settings.tls ? 0 : settings.port, settings.tls ? settings.port : 0) ==
        0) {
        *error = StringFormat("the metrics endpoint could not listen on %s port %d",
                              settings.address.c_str(), settings.port);
        return false;
    }
    server->AddCompanion(std::move(endpoint));
    return true;
}
