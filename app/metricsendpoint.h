// The metrics endpoint's start-up steps: reading the [METRICS] section and
// starting the endpoint beside a started command server. Called by the
// start-up code (StartCommandServer) on its own thread, before any client
// is served; not thread-safe.
#pragma once

#include <string>

#include "server/metricsserver.h"

class CWmiLogEventServer;

// The [METRICS] section of g_config. LISTEN absent or blank leaves the
// endpoint off (settings.address empty). False, with a one-line reason
// naming the key in *error, when LISTEN is not "address:port"
// ("[v6-address]:port"), TLS is neither true nor false, or TLS is true and
// one of the certificate keys of [SSL] is missing. The certificate file
// names are resolved against the program's directory.
bool ReadMetricsSettings(TMetricsSettings* settings, std::string* error);

// Starts the endpoint for server (started) and hands it to the server,
// which stops it first at shutdown. False, with the reason in *error, when
// it cannot listen. A certificate that cannot be used ends the process
// with its fatal message, as for the command server.
bool StartMetricsEndpoint(const TMetricsSettings& settings, CWmiLogEventServer* server,
                          std::string* error);
