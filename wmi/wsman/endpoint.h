// A simulated WS-Management endpoint: serves the hosts of a simulated hosts'
// store to WS-Management clients as Windows hosts would (WinRM's /wsman),
// so that the WS-Management provider, and clients nobody here wrote, can be
// run against something real.
//
// DESIGN
// Every host whose name is a loopback address (127.x.y.z) gets a listening
// socket on that address and the one port of the endpoint while it is up;
// a host that goes down (or away) loses its listener, so connections to it
// are refused, and its open connections are closed at their next request.
// One watcher thread polls the listeners and accepts; every accepted
// connection gets a thread of its own that reads HTTP/1.1 requests (with
// keep-alive), authenticates them and answers. The work behind the answers
// is the simulated-hosts provider's: Enumerate runs ExecQuery, Subscribe
// runs ExecNotificationQuery, Pull calls the enumerator's Next with the
// request's OperationTimeout and MaxElements; the objects are serialised
// with InstanceXml. Credentials are checked by ConnectServer with the
// user and password the client sent, so a host's required user applies
// over WS-Management as it does in-process.
// Authentication: Basic (over HTTP or HTTPS), or with --auth ntlm /
// negotiate the Negotiate scheme through GSSAPI: NTLM from gss-ntlmssp (the
// store's host users written to a user file for it) and Kerberos with the
// keytab KRB5_KTNAME names; a negotiated connection over plain HTTP must
// seal its messages, and its answers are sealed (wmi/wsman/gsscontext.h).
// Stop closes the listeners, shuts every connection down and joins every
// thread; enumerations still open are released.
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <memory>
#include <string>

namespace wmi::wsman {

struct EndpointOptions {
    std::string storePath;
    uint16_t port = 5985;  // 0: one the system picks (see Endpoint::Port)
    std::string certFile;  // TLS (HTTPS) when both are given
    std::string keyFile;
    std::string auth = "basic";
    // false: Subscribe is refused as unsupported, as Windows before Server
    // 2012 refuses it.
    bool eventing = true;
    // true: data queries (Enumerate) are answered newest first, as a Windows
    // host may answer them; the simulated hosts answer oldest first.
    bool newestFirst = false;
};

class Endpoint {
  public:
    explicit Endpoint(EndpointOptions options);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // Opens the store and starts serving; false with `error` when the store,
    // the certificate or the port cannot be used. Call once.
    bool Start(std::string& error);
    // Stops serving and waits for every thread. Idempotent.
    void Stop();
    // The port every host listens on (known after Start).
    uint16_t Port() const;
    // Enumerations and subscriptions open right now.
    size_t OpenContexts() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace wmi::wsman
