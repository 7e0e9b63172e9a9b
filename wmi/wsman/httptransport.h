// The HTTP(S) road of the WS-Management provider: POSTs an envelope to one
// host's /wsman with libcurl and brings back the answer, or says plainly why
// there is none. A Transport belongs to one host and one set of
// credentials; it keeps a few connections (a libcurl handle each, with its
// open connection, its TLS session and, with Negotiate, its GSSAPI security
// context) and
// hands one to each call, so that calls from several threads run side by
// side and reuse connections and contexts.
//
// Authentication: Basic through libcurl. HTTP Negotiate with Kerberos or
// NTLM as the mechanism (auth kerberos, ntlm or negotiate) is done here with
// GSSAPI: a connection authenticates
// once with empty requests carrying the Negotiate tokens, and over plain
// HTTP every message is then sealed with the connection's context
// (wmi/wsman/gsscontext.h). A connection the host closed authenticates
// again. A caller's CallCancel ends its requests early. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace wmi::wsman {

struct TransportSettings {
    bool https = false;
    uint16_t port = 5985;
    std::string auth = "basic";  // basic, negotiate, kerberos, ntlm
    std::string caFile;          // empty: the system's trusted authorities
    bool verifyPeer = true;
    // Bytes of one answer body at most. A longer one is refused and its
    // connection closed: unread when its Content-Length says so (libcurl's
    // size limit), else once the limit is passed (chunked).
    size_t maxResponse = 16 * 1024 * 1024;
    int64_t connectTimeoutMs = 10000;
};

struct HttpOutcome {
    enum class Kind {
        Answer,        // an envelope came back (status 200 or a SOAP fault)
        Unreachable,   // refused, reset, no route, name unknown, timed out
        AccessDenied,  // 401 or 403
        Certificate,   // the TLS peer could not be verified
        BadAnswer,     // wrong status or type, too large, cut off
        Cancelled,     // the caller's CallCancel ended it (wmi/callcancel.h)
    };
    Kind kind = Kind::Unreachable;
    long status = 0;
    std::string body;
    std::string error;  // what went wrong, for the log (never a credential)
};

class Transport {
  public:
    // `user` and `password` empty: no credentials (the process's own
    // Kerberos identity with negotiate or kerberos).
    Transport(std::string host, TransportSettings settings, std::string user, std::string password);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Every request of the process, in flight or to come, fails at once
    // (within about a second for one in flight) while `abort` is set: at
    // shutdown the listener does not wait for hosts that do not answer.
    // Any thread.
    static void AbortAll(bool abort);

    // The address envelopes are sent to ("http://host:5985/wsman").
    const std::string& Url() const { return url; }

    // Sends `envelope` and waits at most `timeoutMs` for the whole answer,
    // handshake and retries included. Ends early, Cancelled, when the
    // calling thread's CallCancel (wmi/callcancel.h) is or gets cancelled:
    // at once, or within about a second for a request in flight.
    HttpOutcome Post(const std::string& envelope, int64_t timeoutMs);

  private:
    struct Connection;
    using Clock = std::chrono::steady_clock;
    using Deadline = Clock::time_point;
    // Whether a transfer may open a new connection, or must go out on the
    // one its handle holds (a sealed message, a later handshake round).
    enum class Reopen { Allowed, Refused };
    // What one POST brought back.
    struct Reply {
        bool received = false;  // an answer came; else outcome.kind and error say why not
        HttpOutcome outcome;    // status and body of the answer
        std::string contentType;
        std::string challenge;       // the token of WWW-Authenticate: Negotiate (Base64)
        bool reopenRefused = false;  // Reopen::Refused stopped a new connection: nothing sent
    };

    std::unique_ptr<Connection> Take();
    void GiveBack(std::unique_ptr<Connection> connection);
    // One POST of `body` of content `type` on `connection`, with the header
    // line `authorization` unless it is empty, ended at `deadline`.
    Reply Perform(Connection& connection, const std::string& body, const char* type,
                  const std::string& authorization, Deadline deadline, Reopen reopen);
    // The Negotiate handshake on `connection`; false (outcome filled) when
    // it failed.
    bool Authenticate(Connection& connection, Deadline deadline, HttpOutcome& outcome);

    // Constant after construction.
    const std::string host;
    const TransportSettings settings;
    const std::string user;
    const std::string password;
    const std::string url;
    const bool negotiate;  // HTTP Negotiate (Kerberos or NTLM) through GSSAPI
    const bool sealing;    // negotiate over plain HTTP

    // Guards the idle connections. Leaf lock: libcurl and GSSAPI run
    // outside it (platform/thread_annotations.h).
    platform::Mutex lock;
    std::vector<std::unique_ptr<Connection>> idle GUARDED_BY(lock);
};

}  // namespace wmi::wsman
