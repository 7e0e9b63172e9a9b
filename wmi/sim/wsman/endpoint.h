// A simulated WS-Management endpoint: serves the hosts of a simulated hosts'
// store to WS-Management clients as Windows hosts would (WinRM's /wsman),
// so that the WS-Management provider, and clients nobody here wrote, can be
// run against something real. Test tooling beside the simulator: quellon-sim
// (serve --wsman), the tests and the benchmarks link it; the listener does
// not. As such it makes its POSIX socket, pipe and signal calls itself
// rather than through platform/.
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
// with InstanceXml (wmi/sim/wsman/serverenvelope.h). Credentials are
// checked by ConnectServer with the user and password the client sent, so
// a host's required user applies over WS-Management as it does in-process.
// Authentication: Basic (over HTTP or HTTPS), or with --auth ntlm /
// negotiate the Negotiate scheme through GSSAPI: NTLM from gss-ntlmssp (the
// store's host users written to the user file EndpointOptions names) and
// Kerberos with the keytab KRB5_KTNAME names; a negotiated connection over
// plain HTTP must seal its messages, and its answers are sealed
// (wmi/wsman/gsscontext.h).
// Locks, outermost first (the endpoint's own order, apart from the
// product's): a context's pullLock (taken after contextLock is let go) ->
// the simulated hosts' pollLock and store locks; contextLock -> a store's
// lock (when the last reference to an enumeration goes under it); the
// endpoint's lock (listeners and connections) is a leaf.
// Stop closes the listeners, shuts every connection down and joins every
// thread; enumerations still open are released.
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wmi::wsman {

struct EndpointOptions {
    std::string storePath;
    uint16_t port = 5985;  // 0: one the system picks (see Endpoint::Port)
    std::string certFile;  // TLS (HTTPS) when both are given
    std::string keyFile;
    std::string auth = "basic";
    // ntlm / negotiate: the file the endpoint keeps the store's host users
    // in for gss-ntlmssp's acceptor. The acceptor finds it through the
    // environment variable NTLM_USER_FILE, which the process sets to this
    // path before Start (the endpoint leaves the environment alone). Written
    // at Start and whenever the hosts' users change; removed by Stop.
    std::string ntlmUserFile;
    // false: Subscribe is refused as unsupported, as Windows before Server
    // 2012 refuses it.
    bool eventing = true;
    // true: data queries (Enumerate) are answered newest first, as a Windows
    // host may answer them; the simulated hosts answer oldest first.
    bool newestFirst = false;
    // true: Subscribe succeeds but every Pull of a subscription is answered
    // with an InternalError fault, as a host whose event source is broken.
    bool failSubscriptionPulls = false;
    // true: Subscribe is answered with an InternalError fault while data
    // queries work, as a host that cannot run the event query.
    bool failSubscribe = false;
    // true: data queries (Enumerate) are answered with an InternalError
    // fault, as a host whose WMI service fails every query.
    bool failDataQueries = false;
    // true: Enumerate succeeds but every Pull of a data query is answered
    // with an InternalError fault (with failSubscriptionPulls: every Pull).
    bool failDataPulls = false;
    // Above 0: every Pull is answered no sooner than this many milliseconds
    // after it came, as a slow or busy host answers (its OperationTimeout
    // counts from then on). Stop ends such a wait.
    int64_t slowPullMs = 0;
    // true: a connection is closed right after its Negotiate handshake has
    // completed, so every sealed request finds it gone, as a host (or a
    // balancer in front of it) that drops such connections.
    bool closeAfterHandshake = false;
    // Channels of the event log resource that every host refuses with
    // "Access is denied.", as a host refuses an account that may not read
    // them (ASCII case ignored).
    std::vector<std::string> deniedChannels;
    // Above 0: a connection that sends no request for this many seconds is
    // closed, as HTTP.sys, proxies and load balancers close idle ones.
    int idleCloseSeconds = 0;
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
    // Sealed requests that came on a connection with no security context
    // (it had not authenticated). Such a request cannot be read: the
    // endpoint drops its connection without an answer, as Windows does.
    size_t SealedWithoutContext() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace wmi::wsman
