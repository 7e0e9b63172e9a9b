// A simulated hosts' store served by the WS-Management endpoint on a port
// the system picks, over HTTPS with a throw-away self-signed certificate for
// the loopback hosts (or over plain HTTP), and the provider settings that
// reach it with Basic authentication, or with NTLM (sealed messages over
// plain HTTP).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/wmi/simfixture.h"
#include "wmi/sim/wsman/endpoint.h"
#include "wmi/wsman/wsmanprovider.h"

namespace wsmantest {

// Makes cert.pem / key.pem in `dir`: a self-signed certificate (its own
// trust anchor) for the loopback hosts the tests use.
inline bool MakeCertificate(const TempDir& dir) {
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=quellon-wsman-test -addext "
        "subjectAltName=IP:127.0.0.2,IP:127.0.0.3,IP:127.0.0.4,IP:127.0.0.5 -keyout " +
        dir.File("key.pem") + " -out " + dir.File("cert.pem") + " 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

class WsmanFixture : public simtest::SimStoreFixture {
  protected:
    // Starts the endpoint; call after the hosts are added (it also picks up
    // hosts added later).
    void StartEndpoint(bool https = true, const std::string& auth = "basic") {
        wmi::wsman::EndpointOptions options;
        options.storePath = path;
        options.port = endpointPort;
        options.auth = auth;
        options.eventing = eventing;
        options.newestFirst = newestFirst;
        options.failSubscriptionPulls = failSubscriptionPulls;
        options.idleCloseSeconds = idleCloseSeconds;
        options.failSubscribe = failSubscribe;
        options.failDataQueries = failDataQueries;
        options.failDataPulls = failDataPulls;
        options.slowPullMs = slowPullMs;
        options.closeAfterHandshake = closeAfterHandshake;
        options.deniedChannels = deniedChannels;
        if (auth != "basic") {
            // The process names the endpoint's user file for gss-ntlmssp.
            options.ntlmUserFile = dir.File("ntlm-users");
            setenv("NTLM_USER_FILE", options.ntlmUserFile.c_str(), 1);
        }
        if (https) {
            ASSERT_TRUE(MakeCertificate(dir));
            options.certFile = dir.File("cert.pem");
            options.keyFile = dir.File("key.pem");
        }
        endpoint = std::make_unique<wmi::wsman::Endpoint>(options);
        std::string error;
        ASSERT_TRUE(endpoint->Start(error)) << error;
        settings.transport.https = https;
        settings.transport.port = endpoint->Port();
        settings.transport.auth = auth;
        settings.transport.caFile = https ? dir.File("cert.pem") : "";
        settings.allowUnencrypted = !https && auth == "basic";
        settings.operationTimeoutMs = 5000;
    }

    void TearDown() override {
        if (endpoint) endpoint->Stop();
    }

    bool eventing = true;                // false: the endpoint refuses subscriptions
    bool newestFirst = false;            // true: data queries are answered newest first
    bool failSubscriptionPulls = false;  // true: every Pull of a subscription fails
    int idleCloseSeconds = 0;            // above 0: idle connections are closed
    bool failSubscribe = false;          // true: Subscribe fails, data queries work
    bool failDataQueries = false;        // true: Enumerate fails
    bool failDataPulls = false;          // true: every Pull of a data query fails
    int64_t slowPullMs = 0;              // above 0: every Pull answers this late
    bool closeAfterHandshake = false;    // true: Negotiate connections close once authenticated
    std::vector<std::string> deniedChannels;  // refused with "Access is denied."
    uint16_t endpointPort = 0;                // 0: one the system picks
    std::unique_ptr<wmi::wsman::Endpoint> endpoint;
    wmi::wsman::WsmanSettings settings;
};

}  // namespace wsmantest
