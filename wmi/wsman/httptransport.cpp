#include "wmi/wsman/httptransport.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "wmi/callcancel.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/gsscontext.h"

namespace wmi::wsman {

namespace {

// Idle connections kept per transport; more calls at once make more, which
// are closed when given back beyond this.
constexpr size_t kMaxIdle = 8;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Set by Transport::AbortAll.
std::atomic<bool> g_abortAll{false};

// What may end a transfer early: AbortAll, or the caller's CallCancel.
struct Interrupt {
    const CallCancel* cancel = nullptr;  // the caller's, for the call under way
    bool cancelled = false;              // the caller's CallCancel ended a transfer
};

// libcurl calls it about once a second at least during a transfer.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* interrupt = static_cast<Interrupt*>(user);
    if (g_abortAll.load()) return 1;  // non-zero ends the transfer
    if (interrupt->cancel != nullptr && interrupt->cancel->Cancelled()) {
        interrupt->cancelled = true;
        return 1;
    }
    return 0;
}

struct Collected {
    std::string body;
    size_t limit = 0;
    bool tooLarge = false;
    std::string challenge;  // the token of WWW-Authenticate: Negotiate
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* collected = static_cast<Collected*>(user);
    size_t n = size * count;
    if (collected->body.size() + n > collected->limit) {
        collected->tooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    collected->body.append(data, n);
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* collected = static_cast<Collected*>(user);
    size_t n = size * count;
    std::string_view line(data, n);
    const std::string_view name = "www-authenticate:";
    if (line.size() > name.size() && strncasecmp(data, name.data(), name.size()) == 0) {
        line.remove_prefix(name.size());
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        size_t space = line.find(' ');
        std::string_view scheme = line.substr(0, space);
        if (space != std::string_view::npos &&
            (strncasecmp(scheme.data(), "Negotiate", scheme.size()) == 0 ||
             strncasecmp(scheme.data(), "NTLM", scheme.size()) == 0)) {
            collected->challenge = std::string(line.substr(space + 1));
        }
    }
    return n;
}

bool HasType(const std::string& type, const char* wanted) {
    return strncasecmp(type.c_str(), wanted, std::strlen(wanted)) == 0;
}

struct CurlRelease {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct HeaderListRelease {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListRelease>;

// `list` with `line` appended; the list is unchanged when that fails.
void Append(HeaderList& list, const std::string& line) {
    if (curl_slist* longer = curl_slist_append(list.get(), line.c_str())) {
        (void)list.release();
        list.reset(longer);
    }
}

// Whether libcurl may open a new socket for the transfer under way. A
// sealed message belongs to the security context of the connection that
// authenticated; when that connection has gone, libcurl would silently send
// the request again on a new one, which the host cannot read. Refused, the
// transfer fails before anything is sent and the caller authenticates anew.
struct SocketGate {
    bool mayOpen = true;
    bool refused = false;  // a new socket was asked for and refused
};

int OnSocket(void* user, curl_socket_t, curlsocktype purpose) {
    auto* gate = static_cast<SocketGate*>(user);
    if (purpose == CURLSOCKTYPE_IPCXN && !gate->mayOpen) {
        gate->refused = true;
        return CURL_SOCKOPT_ERROR;
    }
    return CURL_SOCKOPT_OK;
}

}  // namespace

struct Transport::Connection {
    std::unique_ptr<CURL, CurlRelease> curl;
    SocketGate gate;
    Interrupt interrupt;
    std::unique_ptr<SecurityContext> security;  // Negotiate: made by Authenticate
};

Transport::Transport(std::string h, TransportSettings s, std::string u, std::string p)
    : host(std::move(h)),
      settings(std::move(s)),
      user(std::move(u)),
      password(std::move(p)),
      url(std::string(settings.https ? "https://" : "http://") + host + ":" +
          std::to_string(settings.port) + "/wsman"),
      negotiate(settings.auth != "basic"),
      sealing(negotiate && !settings.https) {
    GlobalInit();
}

Transport::~Transport() {
    platform::MutexLock guard(lock);
    idle.clear();
}

std::unique_ptr<Transport::Connection> Transport::Take() {
    {
        platform::MutexLock guard(lock);
        if (!idle.empty()) {
            std::unique_ptr<Connection> connection = std::move(idle.back());
            idle.pop_back();
            return connection;
        }
    }
    auto connection = std::make_unique<Connection>();
    connection->curl.reset(curl_easy_init());
    if (!connection->curl) return nullptr;
    CURL* curl = connection->curl.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, settings.https ? "https" : "http");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    // An answer that announces a longer body is refused before it is read.
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(settings.maxResponse));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &connection->interrupt);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, OnSocket);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, &connection->gate);
    if (settings.https) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings.verifyPeer ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, settings.verifyPeer ? 2L : 0L);
        if (!settings.caFile.empty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str());
    }
    if (!negotiate && !user.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }
    return connection;
}

void Transport::GiveBack(std::unique_ptr<Connection> connection) {
    platform::MutexLock guard(lock);
    if (idle.size() < kMaxIdle) idle.push_back(std::move(connection));
}

Transport::Reply Transport::Perform(Connection& connection, const std::string& body,
                                    const char* type, const std::string& authorization,
                                    Deadline deadline, Reopen reopen) {
    CURL* curl = connection.curl.get();
    const int64_t timeoutMs = std::max<int64_t>(
        1, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    connection.gate.mayOpen = reopen == Reopen::Allowed;
    connection.gate.refused = false;
    connection.interrupt.cancelled = false;
    Reply reply;
    HttpOutcome& outcome = reply.outcome;
    Collected collected;
    collected.limit = settings.maxResponse;
    HeaderList headers;
    Append(headers, std::string("Content-Type: ") + type);
    Append(headers, "Expect:");
    if (!authorization.empty()) Append(headers, authorization);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &collected);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &collected);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    CURLcode code = curl_easy_perform(curl);
    reply.reopenRefused = connection.gate.refused;
    connection.gate.mayOpen = true;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.status);
    char* typeText = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &typeText);
    reply.contentType = typeText != nullptr ? typeText : "";
    // The handle outlives the header list and the error buffer.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    reply.challenge = std::move(collected.challenge);
    std::string detail = message[0] != '\0' ? message : curl_easy_strerror(code);
    const std::string tooLarge =
        "answer larger than " + std::to_string(settings.maxResponse) + " bytes";
    switch (code) {
        case CURLE_OK:
            outcome.body = std::move(collected.body);
            reply.received = true;
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            outcome.kind = HttpOutcome::Kind::Certificate;
            outcome.error = detail;
            break;
        case CURLE_ABORTED_BY_CALLBACK:
            // Which callback ended the transfer says why.
            if (connection.interrupt.cancelled) {
                outcome.kind = HttpOutcome::Kind::Cancelled;
                outcome.error = "request cancelled by its caller";
            } else if (reply.reopenRefused) {
                outcome.kind = HttpOutcome::Kind::Unreachable;
                outcome.error =
                    "the host closed the authenticated connection; a sealed request is not "
                    "sent on a new one";
            } else if (g_abortAll.load()) {
                outcome.kind = HttpOutcome::Kind::Unreachable;
                outcome.error = "request aborted: the listener is stopping";
            } else {
                outcome.kind = HttpOutcome::Kind::Unreachable;
                outcome.error = detail;
            }
            break;
        case CURLE_PARTIAL_FILE:
            outcome.kind = HttpOutcome::Kind::BadAnswer;
            outcome.error = "answer cut off: " + detail;
            break;
        case CURLE_FILESIZE_EXCEEDED:
            outcome.kind = HttpOutcome::Kind::BadAnswer;
            outcome.error = tooLarge;
            break;
        case CURLE_WRITE_ERROR:
            if (collected.tooLarge) {
                outcome.kind = HttpOutcome::Kind::BadAnswer;
                outcome.error = tooLarge;
                break;
            }
            [[fallthrough]];
        default:
            outcome.kind = HttpOutcome::Kind::Unreachable;
            outcome.error = detail;
            break;
    }
    return reply;
}

bool Transport::Authenticate(Connection& connection, Deadline deadline, HttpOutcome& outcome) {
    const SecurityContext::Mechanism mechanism =
        settings.auth == "ntlm"       ? SecurityContext::Mechanism::Ntlm
        : settings.auth == "kerberos" ? SecurityContext::Mechanism::Kerberos
                                      : SecurityContext::Mechanism::Negotiate;
    std::string error;
    connection.security = SecurityContext::Initiator(mechanism, user, password, host, error);
    if (!connection.security) {
        outcome.kind = HttpOutcome::Kind::AccessDenied;
        outcome.error = "Negotiate (" + settings.auth + "): " + error;
        return false;
    }
    // Names the mechanism in use, for the messages below.
    auto failed = [&](const std::string& why) {
        outcome.kind = HttpOutcome::Kind::AccessDenied;
        outcome.error =
            std::string("Negotiate (") + connection.security->MechanismName() + "): " + why;
        connection.security.reset();
        return false;
    };
    std::string token, challenge;
    for (int round = 0; round < 4; ++round) {
        if (!connection.security->Step(challenge, token, error)) return failed(error);
        if (token.empty() && connection.security->Established()) return true;
        std::string authorization = "Authorization: Negotiate " + EncodeBase64(token);
        // The first round may open a connection; the rest belong to it.
        Reply reply = Perform(connection, "", kSoapContentType, authorization, deadline,
                              round == 0 ? Reopen::Allowed : Reopen::Refused);
        outcome = std::move(reply.outcome);
        if (!reply.received) {
            connection.security.reset();
            return false;
        }
        if (connection.security->Established()) {
            if (outcome.status == 200) return true;
            break;
        }
        std::string decoded;
        if ((outcome.status != 401 && outcome.status != 200) || reply.challenge.empty() ||
            !DecodeBase64(reply.challenge, decoded)) {
            break;
        }
        challenge = std::move(decoded);
        if (outcome.status == 200) {
            // Kerberos: the host accepted and proves itself in its answer
            // (mutual authentication); the last step checks that proof.
            if (!connection.security->Step(challenge, token, error)) return failed(error);
            if (!connection.security->Established()) break;
            return true;
        }
    }
    return failed("HTTP status " + std::to_string(outcome.status) + " during the handshake");
}

void Transport::AbortAll(bool abort) { g_abortAll = abort; }

HttpOutcome Transport::Post(const std::string& envelope, int64_t timeoutMs) {
    // One deadline for the whole exchange: handshake, request and a retry.
    const Deadline deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const CallCancel* cancel = CallCancel::Current();
    HttpOutcome outcome;
    if (g_abortAll) {
        outcome.kind = HttpOutcome::Kind::Unreachable;
        outcome.error = "requests aborted: the listener is stopping";
        return outcome;
    }
    if (cancel != nullptr && cancel->Cancelled()) {
        outcome.kind = HttpOutcome::Kind::Cancelled;
        outcome.error = "request cancelled by its caller";
        return outcome;
    }
    std::unique_ptr<Connection> connection = Take();
    if (!connection) {
        outcome.kind = HttpOutcome::Kind::Unreachable;
        outcome.error = "cannot create an HTTP handle";
        return outcome;
    }
    // The connection serves this call only until it is given back.
    connection->interrupt.cancel = cancel;
    std::string contentType;
    // A connection the host has closed since it authenticated is answered
    // with 401 (a new connection knows no context), or, sealed, is not
    // re-opened at all (SocketGate): authenticate once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (negotiate && (!connection->security || !connection->security->Established()) &&
            !Authenticate(*connection, deadline, outcome)) {
            return outcome;
        }
        std::string body = envelope;
        const char* type = kSoapContentType;
        if (sealing) {
            std::string error;
            if (!connection->security->Seal(envelope, body, error)) {
                outcome.kind = HttpOutcome::Kind::AccessDenied;
                outcome.error = std::string("sealing with ") +
                                connection->security->MechanismName() + ": " + error;
                return outcome;
            }
            type = kSealedContentType;
        }
        Reply reply = Perform(*connection, body, type, "", deadline,
                              sealing ? Reopen::Refused : Reopen::Allowed);
        outcome = std::move(reply.outcome);
        contentType = std::move(reply.contentType);
        if (reply.reopenRefused && attempt == 0) {
            // The authenticated connection is gone and the request did not
            // go out: a new connection, authenticated first.
            connection->security.reset();
            continue;
        }
        // The connection may be half-used; the next call starts afresh.
        if (!reply.received) return outcome;
        if (outcome.status != 401 || !negotiate || attempt > 0) break;
        connection->security.reset();
    }
    if (outcome.status == 401 || outcome.status == 403) {
        outcome.kind = HttpOutcome::Kind::AccessDenied;
        outcome.error = "HTTP status " + std::to_string(outcome.status);
        return outcome;
    }
    if (sealing && HasType(contentType, "multipart/encrypted")) {
        std::string message, error;
        if (!connection->security->Unseal(outcome.body, message, error)) {
            outcome.kind = HttpOutcome::Kind::BadAnswer;
            outcome.error = std::string("unsealing with ") + connection->security->MechanismName() +
                            ": " + error;
            return outcome;
        }
        outcome.body = std::move(message);
        contentType = kSoapMediaType;
    } else if (sealing && !outcome.body.empty()) {
        outcome.kind = HttpOutcome::Kind::BadAnswer;
        outcome.error = "an unsealed answer over plain HTTP";
        return outcome;
    }
    const bool soap = HasType(contentType, kSoapMediaType);
    if ((outcome.status != 200 && outcome.status != 400 && outcome.status != 500) || !soap) {
        outcome.kind = HttpOutcome::Kind::BadAnswer;
        outcome.error = "HTTP status " + std::to_string(outcome.status) + " with content type '" +
                        contentType + "'";
        return outcome;
    }
    connection->interrupt.cancel = nullptr;
    GiveBack(std::move(connection));
    outcome.kind = HttpOutcome::Kind::Answer;
    return outcome;
}

}  // namespace wmi::wsman
