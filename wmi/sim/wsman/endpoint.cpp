#include "wmi/sim/wsman/endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "platform/socket.h"
#include "wmi/cim/ascii.h"
#include "wmi/sim/newestfirst.h"
#include "wmi/sim/simprovider.h"
#include "wmi/sim/simstore.h"
#include "wmi/sim/wsman/eventxpath.h"
#include "wmi/sim/wsman/serverenvelope.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/gsscontext.h"

namespace wmi::wsman {

namespace {

// How often the watcher looks at the store's hosts.
constexpr std::chrono::milliseconds kHostScan{100};
// Limits on what a client may send.
constexpr size_t kMaxHeader = 64 * 1024;
constexpr size_t kMaxBody = 4 * 1024 * 1024;
// Objects per Pull at most, whatever MaxElements asks for.
constexpr uint32_t kMaxPull = 1000;
// OperationTimeout when the request gives none, and its upper bound.
constexpr int64_t kDefaultTimeoutMs = 60000;
constexpr int64_t kMaxTimeoutMs = 600000;
// A Pull waiting for events looks for them this often.
constexpr int64_t kPullSliceMs = 50;
// Records a channel Pull reads from the store at a time.
constexpr size_t kChannelPage = 500;
// The channels every Windows host has, whether or not they hold records.
constexpr const char* kAlwaysThere[] = {"Application", "System", "Security"};

bool IsLoopbackAddress(const std::string& name) {
    in_addr address{};
    return inet_pton(AF_INET, name.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

using cim::ToLowerAscii;

struct HttpRequest {
    std::string method, target;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    const std::string* Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? nullptr : &it->second;
    }
};

// One accepted connection: its socket, and TLS when the endpoint has it.
class Stream {
  public:
    Stream(int f, SSL* s) : fd(f), ssl(s) {}
    ~Stream() {
        if (ssl != nullptr) SSL_free(ssl);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool Handshake() { return ssl == nullptr || SSL_accept(ssl) == 1; }

    // Whether a request starts within `ms` milliseconds (bytes already
    // read count; so does the end of the connection, which the read sees).
    bool Awaits(int ms) {
        if (!pending.empty() || (ssl != nullptr && SSL_pending(ssl) > 0)) return true;
        pollfd one{fd, POLLIN, 0};
        int n;
        do {
            n = poll(&one, 1, ms);
        } while (n < 0 && errno == EINTR);
        return n != 0;
    }

    // Bytes read (0 at the end or on failure).
    size_t Read(char* buffer, size_t size) {
        if (ssl != nullptr) {
            int n = SSL_read(ssl, buffer, static_cast<int>(size));
            return n > 0 ? static_cast<size_t>(n) : 0;
        }
        ssize_t n;
        do {
            n = recv(fd, buffer, size, 0);
        } while (n < 0 && errno == EINTR);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }

    bool Write(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            if (ssl != nullptr) {
                int n = SSL_write(ssl, data.data() + done, static_cast<int>(data.size() - done));
                if (n <= 0) return false;
                done += static_cast<size_t>(n);
            } else {
                ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                done += static_cast<size_t>(n);
            }
        }
        return true;
    }

    // Reads one request; false at the end of the connection or for one too
    // large or malformed to answer.
    bool ReadRequest(HttpRequest& request) {
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (pending.size() > kMaxHeader || !Fill()) return false;
        }
        std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        size_t lineEnd = head.find("\r\n");
        std::string line = head.substr(0, lineEnd);
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        if (sp1 == std::string::npos || sp2 == sp1) return false;
        request = HttpRequest();
        request.method = line.substr(0, sp1);
        request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (at < head.size()) {
            size_t next = head.find("\r\n", at);
            if (next == std::string::npos) next = head.size();
            std::string field = head.substr(at, next - at);
            size_t colon = field.find(':');
            if (colon != std::string::npos) {
                size_t v = colon + 1;
                while (v < field.size() && field[v] == ' ') ++v;
                request.headers[ToLowerAscii(field.substr(0, colon))] = field.substr(v);
            }
            at = next + 2;
        }
        size_t length = 0;
        if (const std::string* value = request.Header("content-length")) {
            int64_t n = 0;
            if (!cim::ParseInteger(*value, n) || n < 0 || static_cast<uint64_t>(n) > kMaxBody) {
                return false;
            }
            length = static_cast<size_t>(n);
        } else if (request.Header("transfer-encoding") != nullptr) {
            return false;  // clients of WinRM send a length
        }
        while (pending.size() < length) {
            if (!Fill()) return false;
        }
        request.body = pending.substr(0, length);
        pending.erase(0, length);
        return true;
    }

  private:
    bool Fill() {
        char buffer[16384];
        size_t n = Read(buffer, sizeof buffer);
        if (n == 0) return false;
        pending.append(buffer, n);
        return true;
    }

    const int fd;
    SSL* const ssl;
    std::string pending;
};

std::string HttpResponse(int status, const char* reason, const std::string& body,
                         const std::string& extraHeaders = "",
                         const char* type = kSoapContentType) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    out += "Server: quellon-sim\r\n";
    if (!body.empty()) out += std::string("Content-Type: ") + type + "\r\n";
    out += extraHeaders;
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    out += body;
    return out;
}

bool DecodeBasic(const std::string& header, std::string& user, std::string& password) {
    if (header.size() < 6 || !cim::EqualsIgnoringCase(header.substr(0, 6), "basic ")) return false;
    std::string decoded;
    if (!DecodeBase64(header.substr(6), decoded)) return false;
    size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

class Bstr {
  public:
    explicit Bstr(const std::string* text) : value(text ? BstrFromUtf8(*text) : nullptr) {}
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return value; }

  private:
    BSTR value;
};

// An enumeration or subscription the endpoint keeps between requests.
// What an enumeration or subscription of the event log resource reads:
// one channel of the host from after a record id, through its XPath.
struct ChannelCursor {
    std::string channel;
    EventXPath xpath;
    int64_t afterRecordId = 0;  // the last record read; guarded by the context's pullLock
    int64_t endRecordId = -1;   // an enumeration ends after this record; -1: a subscription
    bool rendered = false;
    int64_t heartbeatMs = -1;  // -1: no heartbeats
    bool sendBookmarks = false;
};

struct Context {
    std::string host;
    bool notification = false;
    std::string subscriptionId;
    IEnumWbemClassObject* enumerator = nullptr;  // one reference, owned; null for a channel
    std::unique_ptr<ChannelCursor> channel;      // the event log resource; null for WQL
    // Serialises the Pulls of one context (a client may pull from two
    // connections); Next takes the simulated hosts' pollLock and store
    // locks under it (the endpoint's lock order: endpoint.h).
    platform::Mutex pullLock;

    ~Context() {
        if (enumerator != nullptr) enumerator->Release();
    }
};

}  // namespace

class Endpoint::Impl {
  public:
    explicit Impl(EndpointOptions o) : options(std::move(o)) {}
    ~Impl() { Stop(); }

    bool Start(std::string& error) {
        if (options.auth != "basic" && options.auth != "ntlm" && options.auth != "negotiate") {
            error = "authentication '" + options.auth + "' is not offered by this endpoint";
            return false;
        }
        std::string storeError;
        if (store.open(options.storePath, false, &storeError) != sim::SimResult::Ok) {
            error = "cannot open the store '" + options.storePath + "': " + storeError;
            return false;
        }
        if (FAILED(sim::CreateSimLocator(options.storePath, &locator))) {
            error = "cannot serve the store '" + options.storePath + "'";
            return false;
        }
        if (!options.certFile.empty()) {
            tls = SSL_CTX_new(TLS_server_method());
            if (tls == nullptr ||
                SSL_CTX_use_certificate_chain_file(tls, options.certFile.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(tls, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_check_private_key(tls) != 1) {
                error = "cannot use the certificate '" + options.certFile + "' and key '" +
                        options.keyFile + "'";
                return false;
            }
        }
        port = options.port;
        if (port == 0) {
            // Every host listens on the same port: take one the system
            // hands out on the first loopback address.
            int probe = -1;
            if (!platform::OpenListener("127.0.0.1", 0, 1, &probe).ok()) {
                error = "cannot find a free port";
                return false;
            }
            port = platform::LocalPort(probe);
            platform::CloseSocket(probe);
        }
        if (options.auth != "basic") {
            if (options.ntlmUserFile.empty()) {
                error = "authentication '" + options.auth + "' needs a file for the NTLM users";
                return false;
            }
            // The acceptor of gss-ntlmssp finds the users' passwords here;
            // it exists, empty, until the first scan writes the users.
            FILE* file = std::fopen(options.ntlmUserFile.c_str(), "w");
            if (file == nullptr) {
                error = "cannot create the NTLM user file '" + options.ntlmUserFile + "'";
                return false;
            }
            std::fclose(file);
            userFile = options.ntlmUserFile;
        }
        if (pipe2(wake, O_CLOEXEC) != 0) {
            error = "cannot create the wake-up pipe";
            return false;
        }
        ScanHosts();
        watcher = std::thread([this] { Watch(); });
        return true;
    }

    void Stop() {
        if (!watcher.joinable()) return;
        stopping = true;
        char byte = 0;
        (void)!write(wake[1], &byte, 1);
        watcher.join();
        std::list<std::unique_ptr<Connection>> all;
        {
            platform::MutexLock guard(lock);
            for (auto& [name, host] : hosts) platform::CloseSocket(host.listener);
            hosts.clear();
            for (auto& c : connections) shutdown(c->fd, SHUT_RDWR);
            all.swap(connections);
        }
        for (auto& c : all) c->thread.join();
        {
            platform::MutexLock guard(contextLock);
            contexts.clear();
        }
        close(wake[0]);
        close(wake[1]);
        if (locator != nullptr) locator->Release();
        locator = nullptr;
        if (tls != nullptr) SSL_CTX_free(tls);
        tls = nullptr;
        if (!userFile.empty()) unlink(userFile.c_str());
    }

    uint16_t Port() const { return port; }

    size_t OpenContexts() {
        platform::MutexLock guard(contextLock);
        return contexts.size();
    }

    size_t SealedWithoutContext() const { return sealedWithoutContext; }

  private:
    struct Host {
        int listener = -1;
        std::string computerName;
    };

    struct Connection {
        int fd = -1;
        std::string host;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    // ---- Watcher thread ----

    void Watch() {
        auto nextScan = std::chrono::steady_clock::now() + kHostScan;
        while (!stopping) {
            std::vector<pollfd> fds;
            std::vector<std::string> names;
            fds.push_back({wake[0], POLLIN, 0});
            names.emplace_back();
            {
                platform::MutexLock guard(lock);
                for (auto& [name, host] : hosts) {
                    if (host.listener < 0) continue;
                    fds.push_back({host.listener, POLLIN, 0});
                    names.push_back(name);
                }
            }
            int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            nextScan - std::chrono::steady_clock::now())
                                            .count());
            poll(fds.data(), fds.size(), wait < 0 ? 0 : wait);
            if (stopping) break;
            for (size_t i = 1; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                // Answers go out whole at once: TLS writes them record by
                // record, and Nagle would hold the last one back.
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                StartConnection(fd, names[i]);
            }
            if (std::chrono::steady_clock::now() >= nextScan) {
                ScanHosts();
                ReapConnections();
                nextScan = std::chrono::steady_clock::now() + kHostScan;
            }
        }
    }

    // Opens listeners for loopback hosts that are up and closes those of
    // hosts that are down or gone.
    void ScanHosts() {
        std::vector<sim::SimHost> list;
        if (store.listHosts(list) != sim::SimResult::Ok) return;
        std::map<std::string, std::string> up;
        std::string users;
        for (const sim::SimHost& h : list) {
            if (h.up && IsLoopbackAddress(h.name)) up[h.name] = h.computerName;
            if (h.user) {
                // DOMAIN:USER:PASSWORD, the domain empty for a bare user.
                size_t slash = h.user->find('\\');
                users += (slash == std::string::npos
                              ? ":" + *h.user
                              : h.user->substr(0, slash) + ":" + h.user->substr(slash + 1)) +
                         ":" + h.password.value_or("") + "\n";
            }
        }
        if (!userFile.empty() && users != userFileText) {
            std::string next = userFile + ".new";
            FILE* f = std::fopen(next.c_str(), "w");
            if (f != nullptr) {
                std::fputs(users.c_str(), f);
                std::fclose(f);
                std::rename(next.c_str(), userFile.c_str());
                userFileText = users;
            }
        }
        platform::MutexLock guard(lock);
        for (auto it = hosts.begin(); it != hosts.end();) {
            if (up.count(it->first) == 0) {
                platform::CloseSocket(it->second.listener);
                // Open connections of the host end at their next request.
                for (auto& c : connections) {
                    if (c->host == it->first) shutdown(c->fd, SHUT_RDWR);
                }
                it = hosts.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& [name, computer] : up) {
            Host& host = hosts[name];
            host.computerName = computer;
            if (host.listener < 0 && !platform::OpenListener(name, port, 64, &host.listener).ok()) {
                host.listener = -1;
            }
        }
    }

    bool HostUp(const std::string& name, std::string* computer = nullptr) {
        platform::MutexLock guard(lock);
        auto it = hosts.find(name);
        if (it == hosts.end()) return false;
        if (computer != nullptr) *computer = it->second.computerName;
        return true;
    }

    void StartConnection(int fd, const std::string& host) {
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->host = host;
        Connection* c = connection.get();
        platform::MutexLock guard(lock);
        connections.push_back(std::move(connection));
        c->thread = std::thread([this, c] {
            Serve(c);
            c->done = true;
        });
    }

    void ReapConnections() {
        std::list<std::unique_ptr<Connection>> finished;
        {
            platform::MutexLock guard(lock);
            for (auto it = connections.begin(); it != connections.end();) {
                if ((*it)->done) {
                    finished.push_back(std::move(*it));
                    it = connections.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& c : finished) c->thread.join();
    }

    // ---- Connection threads ----

    void Serve(Connection* c) {
        // A peer that goes away mid-answer must not end the process: with
        // SIGPIPE blocked in this thread, TLS writes fail with EPIPE.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        SSL* ssl = nullptr;
        if (tls != nullptr) {
            ssl = SSL_new(tls);
            if (ssl != nullptr) SSL_set_fd(ssl, c->fd);
        }
        {
            Stream stream(c->fd, ssl);
            if ((tls == nullptr || ssl != nullptr) && stream.Handshake()) ServeRequests(c, stream);
        }
        ERR_clear_error();
        shutdown(c->fd, SHUT_RDWR);
        close(c->fd);
    }

    // Credentials checked on this connection and the services they opened.
    struct Session {
        bool checked = false;
        std::string user, password;
        bool given = false;
        IWbemServices* services = nullptr;
        // Negotiate: the connection's security context.
        std::unique_ptr<SecurityContext> security;
        ~Session() {
            if (services != nullptr) services->Release();
        }
        void Forget() {
            if (services != nullptr) services->Release();
            services = nullptr;
            checked = false;
        }
    };

    void ServeRequests(Connection* c, Stream& stream) {
        Session session;
        HttpRequest request;
        const int idleMs = options.idleCloseSeconds * 1000;
        while (!stopping && (idleMs <= 0 || stream.Awaits(idleMs)) && stream.ReadRequest(request)) {
            std::string computer;
            if (!HostUp(c->host, &computer)) return;
            std::string answer;
            if (!Answer(c->host, computer, request, session, answer)) return;
            if (!stream.Write(answer)) return;
            if (options.closeAfterHandshake && request.body.empty() && session.security &&
                session.security->Established()) {
                return;
            }
            const std::string* connection = request.Header("connection");
            if (connection != nullptr && ToLowerAscii(*connection) == "close") return;
        }
    }

    // The HTTP answer to one request; false when the connection is to be
    // dropped instead (the host went down under it).
    bool Answer(const std::string& host, const std::string& computer, const HttpRequest& request,
                Session& session, std::string& answer) {
        if (request.method != "POST") {
            answer = HttpResponse(405, "Method Not Allowed", "");
            return true;
        }
        if (request.target != "/wsman") {
            answer = HttpResponse(404, "Not Found", "");
            return true;
        }
        const std::string* type = request.Header("content-type");
        const std::string lowerType = type == nullptr ? "" : ToLowerAscii(*type);
        const bool sealed = lowerType.find("multipart/encrypted") == 0;
        const bool negotiate = options.auth != "basic";
        std::string challenge;
        if (sealed && (!session.security || !session.security->Established()) &&
            request.Header("authorization") == nullptr) {
            // Sealed with the context of another connection: Windows cannot
            // read it and answers nothing.
            ++sealedWithoutContext;
            return false;
        }
        if (negotiate) {
            if (!Negotiate(host, request, session, challenge, answer)) return false;
            if (!answer.empty()) return true;
            if (request.body.empty()) {
                // The empty request that completes the handshake.
                answer = HttpResponse(200, "OK", "", challenge);
                return true;
            }
        } else if (!CheckBasic(host, request, session, answer)) {
            return false;
        } else if (!answer.empty()) {
            return true;
        }
        std::string body;
        std::string error;
        if (sealed) {
            if (!session.security || !session.security->Established() ||
                !session.security->Unseal(request.body, body, error)) {
                answer = Unauthorized();
                return true;
            }
        } else if (lowerType.find(kSoapMediaType) != 0) {
            answer = HttpResponse(415, "Unsupported Media Type", "");
            return true;
        } else if (negotiate && tls == nullptr) {
            // Over plain HTTP a negotiated connection must seal its messages.
            answer = Unauthorized();
            return true;
        } else {
            body = request.body;
        }
        Request soap;
        if (!ParseRequest(body, soap, error)) {
            answer = Fault("", "Sender", "w:SchemaValidationError", error, 2150858817u, computer);
        } else if (!Dispatch(host, computer, soap, session.services, answer)) {
            return false;
        }
        if (sealed) {
            // Seal the envelope of the answer built above, keeping its
            // status line.
            size_t split = answer.find("\r\n\r\n");
            std::string statusLine = answer.substr(0, answer.find("\r\n"));
            std::string envelope = answer.substr(split + 4);
            std::string sealedBody;
            if (!session.security->Seal(envelope, sealedBody, error)) return false;
            int status = std::atoi(statusLine.c_str() + 9);
            answer = HttpResponse(status, statusLine.substr(13).c_str(), sealedBody, challenge,
                                  kSealedContentType);
        }
        return true;
    }

    // Basic: the credentials of the request checked (once per connection
    // and credentials). `answer` is set when the request is refused.
    bool CheckBasic(const std::string& host, const HttpRequest& request, Session& session,
                    std::string& answer) {
        std::string user, password;
        bool given = false;
        if (const std::string* authorization = request.Header("authorization")) {
            given = DecodeBasic(*authorization, user, password);
            if (!given) {
                answer = Unauthorized();
                return true;
            }
        }
        if (!session.checked || session.given != given || session.user != user ||
            session.password != password) {
            session.Forget();
            HRESULT hr = Connect(host, given ? &user : nullptr, given ? &password : nullptr,
                                 &session.services);
            if (hr == E_ACCESSDENIED) {
                answer = Unauthorized();
                return true;
            }
            if (FAILED(hr)) return false;
            session.checked = true;
            session.given = given;
            session.user = user;
            session.password = password;
        }
        return true;
    }

    // Negotiate (NTLM): one step of the handshake when the request carries
    // a token. `answer` is set while the handshake goes on or when it
    // failed; `challenge` gets the last token for the final answer.
    bool Negotiate(const std::string& host, const HttpRequest& request, Session& session,
                   std::string& challenge, std::string& answer) {
        const std::string* authorization = request.Header("authorization");
        if (authorization == nullptr) {
            if (!session.checked) answer = Unauthorized();
            return true;
        }
        size_t space = authorization->find(' ');
        std::string scheme = ToLowerAscii(authorization->substr(0, space));
        std::string token, reply, error;
        if ((scheme != "negotiate" && scheme != "ntlm") || space == std::string::npos ||
            !DecodeBase64(authorization->substr(space + 1), token)) {
            answer = Unauthorized();
            return true;
        }
        if (!session.security || session.security->Established()) {
            session.Forget();
            session.security = SecurityContext::Acceptor();
        }
        if (!session.security->Step(token, reply, error)) {
            session.security.reset();
            answer = Unauthorized();
            return true;
        }
        std::string header = "WWW-Authenticate: " + authorization->substr(0, space) +
                             (reply.empty() ? "" : " " + EncodeBase64(reply)) + "\r\n";
        if (!session.security->Established()) {
            answer = HttpResponse(401, "Unauthorized", "", header);
            return true;
        }
        if (!reply.empty()) challenge = header;
        // NTLM has proved the password; the host's own user decides.
        sim::SimHost state;
        if (store.getHost(host, state) != sim::SimResult::Ok) return false;
        if (state.user && !SameUser(session.security->PeerName(), *state.user)) {
            session.security.reset();
            answer = Unauthorized();
            return true;
        }
        HRESULT hr = Connect(host, state.user ? &*state.user : nullptr,
                             state.user ? &*state.password : nullptr, &session.services);
        if (FAILED(hr)) return false;
        session.checked = true;
        return true;
    }

    // "DOMAIN\user" against "DOMAIN\user" or "user", ASCII case ignored.
    static bool SameUser(const std::string& peer, const std::string& required) {
        if (cim::EqualsIgnoringCase(peer, required)) return true;
        auto bare = [](const std::string& name) {
            size_t slash = name.find('\\');
            return slash == std::string::npos ? name : name.substr(slash + 1);
        };
        return required.find('\\') == std::string::npos &&
               cim::EqualsIgnoringCase(bare(peer), required);
    }

    std::string Unauthorized() const {
        return HttpResponse(401, "Unauthorized", "",
                            options.auth == "basic" ? "WWW-Authenticate: Basic realm=\"WSMAN\"\r\n"
                                                    : "WWW-Authenticate: Negotiate\r\n");
    }

    HRESULT Connect(const std::string& host, const std::string* user, const std::string* password,
                    IWbemServices** services) {
        std::string path = "\\\\" + host + "\\root\\cimv2";
        Bstr resource(&path), u(user), p(password);
        HRESULT hr = locator->ConnectServer(resource, u, p, nullptr, 0, nullptr, nullptr, services);
        if (hr == WBEM_E_LOCAL_CREDENTIALS) {
            hr = locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                        services);
        }
        return hr;
    }

    static std::string Fault(const std::string& relatesTo, const char* code, const char* subcode,
                             const std::string& reason, uint32_t detail,
                             const std::string& machine) {
        return HttpResponse(500, "Internal Server Error",
                            FaultResponse(relatesTo, code, subcode, reason, detail, machine));
    }

    // A failed WMI call as the fault Windows' WMI plug-in gives.
    static std::string WmiFault(const Request& soap, HRESULT hr, const std::string& machine) {
        bool filter = hr == WBEM_E_INVALID_QUERY || hr == WBEM_E_INVALID_CLASS ||
                      hr == WBEM_E_NOT_EVENT_CLASS || hr == WBEM_E_INVALID_QUERY_TYPE;
        const char* reason =
            filter ? "The data source could not process the filter. The filter might be missing "
                     "or it might be invalid. Change the filter and try the request again."
                   : "The WS-Management service cannot process the request. The WMI service "
                     "returned an error.";
        return Fault(soap.messageId, filter ? "Sender" : "Receiver",
                     filter ? "w:CannotProcessFilter" : "w:InternalError", reason,
                     static_cast<uint32_t>(hr), machine);
    }

    bool Dispatch(const std::string& host, const std::string& machine, const Request& soap,
                  IWbemServices* services, std::string& answer) {
        switch (soap.kind) {
            case Request::Kind::Identify:
                answer = HttpResponse(200, "OK", IdentifyResponse("OS: 0.0.0 SP: 0.0 Stack: 3.0"));
                return true;
            case Request::Kind::Enumerate:
            case Request::Kind::Subscribe:
                return Start(host, machine, soap, services, answer);
            case Request::Kind::Pull:
                return Pull(host, machine, soap, answer);
            case Request::Kind::Release:
            case Request::Kind::Unsubscribe: {
                bool found = false;
                {
                    platform::MutexLock guard(contextLock);
                    for (auto it = contexts.begin(); it != contexts.end(); ++it) {
                        const Context& c = *it->second;
                        bool match = soap.kind == Request::Kind::Release
                                         ? it->first == soap.context
                                         : c.subscriptionId == soap.subscriptionId;
                        if (match && c.host == host) {
                            contexts.erase(it);
                            found = true;
                            break;
                        }
                    }
                }
                if (!found) {
                    answer = soap.kind == Request::Kind::Release
                                 ? Fault(soap.messageId, "Sender", "n:InvalidEnumerationContext",
                                         "The enumeration context supplied in the message is not "
                                         "valid.",
                                         kFaultInvalidContext, machine)
                                 : Fault(soap.messageId, "Sender", "e:InvalidMessage",
                                         "The subscription is not known.", 2150858843u, machine);
                    return true;
                }
                answer = HttpResponse(200, "OK",
                                      soap.kind == Request::Kind::Release
                                          ? ReleaseResponse(soap.messageId)
                                          : UnsubscribeResponse(soap.messageId));
                return true;
            }
            case Request::Kind::Other:
                break;
        }
        answer =
            Fault(soap.messageId, "Sender", "a:ActionNotSupported",
                  "The action is not supported by the service.", kFaultUnsupportedAction, machine);
        return true;
    }

    // Enumerate or Subscribe on the event log resource: the channel of the
    // QueryList's Select, read from the store directly.
    bool StartChannel(const std::string& host, const std::string& machine, const Request& soap,
                      std::string& answer) {
        const bool subscribe = soap.kind == Request::Kind::Subscribe;
        if (soap.filterDialect != kDialectEventQuery || soap.queryPath.empty()) {
            answer =
                Fault(soap.messageId, "Sender", "w:FilterDialectRequestedUnavailable",
                      "The requested filtering dialect is not supported.", 2150858774u, machine);
            return true;
        }
        if (subscribe && soap.deliveryMode != kDeliveryPull) {
            answer = Fault(soap.messageId, "Receiver", "e:DeliveryModeRequestedUnavailable",
                           "The requested delivery mode is not supported.", 2150858831u, machine);
            return true;
        }
        auto cursor = std::make_unique<ChannelCursor>();
        cursor->channel = soap.queryPath;
        std::string why;
        if (!cursor->xpath.Compile(soap.queryXPath, why)) {
            answer = Fault(soap.messageId, "Sender", "w:CannotProcessFilter",
                           "The specified query is invalid. (" + why + ")", kFaultInvalidEventQuery,
                           machine);
            return true;
        }
        for (const std::string& denied : options.deniedChannels) {
            if (cim::EqualsIgnoringCase(denied, cursor->channel)) {
                answer = Fault(soap.messageId, "Sender", "w:AccessDenied", "Access is denied.",
                               kFaultAccessDenied, machine);
                return true;
            }
        }
        int64_t newest = 0;
        std::string error;
        if (store.newestRecordId(host, cursor->channel, newest, &error) != sim::SimResult::Ok) {
            return false;  // the host went away: as a failed call
        }
        bool exists = newest > 0;
        for (const char* always : kAlwaysThere) {
            exists = exists || cim::EqualsIgnoringCase(always, cursor->channel);
        }
        if (!exists) {
            answer =
                Fault(soap.messageId, "Receiver",
                      subscribe ? "e:EventSourceUnableToProcess" : "w:InternalError",
                      "The specified channel could not be found.", kFaultChannelNotFound, machine);
            return true;
        }
        if (subscribe) {
            cursor->rendered = soap.contentFormat == "RenderedText";
            cursor->heartbeatMs = soap.heartbeatsMs;
            cursor->sendBookmarks = soap.sendBookmarks;
            if (soap.bookmarkRecordId >= 0 &&
                cim::EqualsIgnoringCase(soap.bookmarkChannel, cursor->channel)) {
                cursor->afterRecordId = soap.bookmarkRecordId;
            } else {
                cursor->afterRecordId = soap.readExistingEvents ? 0 : newest;
            }
        } else {
            cursor->rendered = true;
            cursor->endRecordId = newest;
        }
        auto context = std::make_shared<Context>();
        context->host = host;
        context->notification = subscribe;
        context->channel = std::move(cursor);
        return Register(host, soap, std::move(context), answer);
    }

    // Keeps a started context and answers its Enumerate or Subscribe.
    bool Register(const std::string& host, const Request& soap, std::shared_ptr<Context> context,
                  std::string& answer) {
        const bool subscribe = context->notification;
        std::string id = NewMessageId();
        if (subscribe) context->subscriptionId = NewMessageId();
        {
            platform::MutexLock guard(contextLock);
            contexts[id] = context;
        }
        std::string address = std::string(tls != nullptr ? "https://" : "http://") + host + ":" +
                              std::to_string(port) + "/wsman";
        answer = HttpResponse(
            200, "OK",
            subscribe ? SubscribeResponse(soap.messageId, address, context->subscriptionId, id)
                      : EnumerateResponse(soap.messageId, id));
        return true;
    }

    // A Pull of an event log context: the channel's records after the
    // cursor that match, as soon as one is there, until the
    // OperationTimeout (or, with heartbeats, the heartbeat interval) ends.
    bool PullChannel(const std::string& host, const std::string& machine, const Request& soap,
                     Context& context, std::string& answer) {
        ChannelCursor& cursor = *context.channel;
        int64_t timeout = soap.operationTimeoutMs < 0 ? kDefaultTimeoutMs : soap.operationTimeoutMs;
        timeout = std::min(timeout, kMaxTimeoutMs);
        const bool beat = cursor.heartbeatMs > 0 && cursor.heartbeatMs <= timeout;
        if (beat) timeout = cursor.heartbeatMs;
        const size_t count = std::min(soap.maxElements, kMaxPull);
        // Records read from the store at a time: about what the Pull takes
        // (more pages follow when the query leaves some out).
        const size_t pageSize = std::clamp<size_t>(count, 16, kChannelPage);
        std::vector<std::string> items;
        bool end = false;
        std::vector<sim::SimEvent> page;
        std::string error;
        {
            platform::MutexLock guard(context.pullLock);
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
            for (;;) {
                sim::SimHost h;
                if (store.getHost(host, h, &error) != sim::SimResult::Ok || !h.up) {
                    return false;  // the host went down or away: the call fails
                }
                if (store.logEventsAfter(host, cursor.channel, cursor.afterRecordId, pageSize, page,
                                         &error) != sim::SimResult::Ok) {
                    return false;
                }
                size_t used = 0;
                for (const sim::SimEvent& e : page) {
                    if (cursor.endRecordId >= 0 && e.eventRecordId > cursor.endRecordId) {
                        end = true;
                        break;
                    }
                    ++used;
                    cursor.afterRecordId = e.eventRecordId;
                    if (cursor.xpath.Matches(e)) {
                        items.push_back(EventItemXml(e, cursor.rendered));
                        if (items.size() == count) break;
                    }
                }
                // An enumeration ends at its last record, or when the store
                // has nothing more up to it.
                if (cursor.endRecordId >= 0 && (cursor.afterRecordId >= cursor.endRecordId ||
                                                (used == page.size() && page.size() < pageSize))) {
                    end = true;
                }
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now())
                                .count();
                if (!items.empty() || end || left <= 0 || stopping) break;
                if (page.size() == pageSize) continue;  // more to read now
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::clamp<int64_t>(left, 1, kPullSliceMs)));
            }
        }
        if (end) {
            platform::MutexLock guard(contextLock);
            contexts.erase(soap.context);
        }
        if (items.empty() && !end && !beat) {
            answer = Fault(soap.messageId, "Receiver", "w:TimedOut",
                           "The WS-Management service cannot complete the operation within the "
                           "time specified in OperationTimeout.  ",
                           kFaultTimedOut, machine);
            return true;
        }
        const std::string bookmark = cursor.sendBookmarks && !items.empty()
                                         ? BookmarkXml(cursor.channel, cursor.afterRecordId)
                                         : std::string();
        answer = HttpResponse(200, "OK",
                              EventPullResponse(soap.messageId, soap.context, items, end, bookmark,
                                                items.empty() && !end));
        return true;
    }

    bool Start(const std::string& host, const std::string& machine, const Request& soap,
               IWbemServices* services, std::string& answer) {
        const bool subscribe = soap.kind == Request::Kind::Subscribe;
        if (soap.resourceUri == kResourceEventLog) {
            if (subscribe ? options.failSubscribe : options.failDataQueries) {
                answer = WmiFault(soap, WBEM_E_FAILED, machine);
                return true;
            }
            if (subscribe && !options.eventing) {
                answer = Fault(soap.messageId, "Sender", "a:ActionNotSupported",
                               "The action is not supported by the service.",
                               kFaultUnsupportedAction, machine);
                return true;
            }
            return StartChannel(host, machine, soap, answer);
        }
        if (soap.filterDialect != kDialectWql || soap.resourceUri != kResourceCimv2) {
            answer =
                Fault(soap.messageId, "Sender", "w:FilterDialectRequestedUnavailable",
                      "The requested filtering dialect is not supported.", 2150858774u, machine);
            return true;
        }
        if (subscribe ? options.failSubscribe : options.failDataQueries) {
            answer = WmiFault(soap, WBEM_E_FAILED, machine);
            return true;
        }
        if (subscribe && !options.eventing) {
            answer = Fault(soap.messageId, "Sender", "a:ActionNotSupported",
                           "The action is not supported by the service.", kFaultUnsupportedAction,
                           machine);
            return true;
        }
        if (subscribe && soap.deliveryMode != kDeliveryPull) {
            answer = Fault(soap.messageId, "Receiver", "e:DeliveryModeRequestedUnavailable",
                           "The requested delivery mode is not supported.", 2150858831u, machine);
            return true;
        }
        auto context = std::make_shared<Context>();
        context->host = host;
        context->notification = subscribe;
        std::string wql = soap.filter;
        std::string language = "WQL";
        Bstr l(&language), q(&wql);
        HRESULT hr = subscribe ? services->ExecNotificationQuery(
                                     l, q, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                     nullptr, &context->enumerator)
                               : services->ExecQuery(
                                     l, q, WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                     nullptr, &context->enumerator);
        if (SUCCEEDED(hr) && !subscribe && options.newestFirst) {
            IEnumWbemClassObject* oldestFirst = context->enumerator;
            context->enumerator = nullptr;
            hr = sim::NewestFirst(oldestFirst, 10000, &context->enumerator);
            oldestFirst->Release();
        }
        if (hr == RPC_S_CALL_FAILED_HR) return false;
        if (FAILED(hr)) {
            answer = WmiFault(soap, hr, machine);
            return true;
        }
        return Register(host, soap, std::move(context), answer);
    }

    bool Pull(const std::string& host, const std::string& machine, const Request& soap,
              std::string& answer) {
        std::shared_ptr<Context> context;
        {
            platform::MutexLock guard(contextLock);
            auto it = contexts.find(soap.context);
            if (it != contexts.end() && it->second->host == host) context = it->second;
        }
        if (!context) {
            answer = Fault(soap.messageId, "Sender", "n:InvalidEnumerationContext",
                           "The enumeration context supplied in the message is not valid.",
                           kFaultInvalidContext, machine);
            return true;
        }
        if (options.slowPullMs > 0) {
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(options.slowPullMs);
            while (!stopping && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kPullSliceMs));
            }
        }
        if (context->notification ? options.failSubscriptionPulls : options.failDataPulls) {
            answer = WmiFault(soap, WBEM_E_FAILED, machine);
            return true;
        }
        if (context->channel) return PullChannel(host, machine, soap, *context, answer);
        int64_t timeout = soap.operationTimeoutMs < 0 ? kDefaultTimeoutMs : soap.operationTimeoutMs;
        if (timeout > kMaxTimeoutMs) timeout = kMaxTimeoutMs;
        ULONG count = std::min(soap.maxElements, kMaxPull);
        std::vector<IWbemClassObject*> objects(count, nullptr);
        ULONG returned = 0;
        HRESULT hr;
        {
            // Answer as soon as something has come (as Windows does), not
            // only when MaxElements have: look in short slices until the
            // OperationTimeout is spent.
            platform::MutexLock guard(context->pullLock);
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
            for (;;) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now())
                                .count();
                LONG slice = static_cast<LONG>(std::clamp<int64_t>(left, 0, kPullSliceMs));
                hr = context->enumerator->Next(slice, count, objects.data(), &returned);
                if (hr != WBEM_S_TIMEDOUT || returned > 0 || left <= kPullSliceMs || stopping) {
                    break;
                }
            }
        }
        if (hr == RPC_S_CALL_FAILED_HR) return false;
        if (FAILED(hr)) {
            answer = WmiFault(soap, hr, machine);
            return true;
        }
        std::vector<std::string> items(returned);
        bool ok = true;
        for (ULONG i = 0; i < returned; ++i) {
            ok = ok && InstanceXml(objects[i], items[i]);
            objects[i]->Release();
        }
        if (!ok) {
            answer = WmiFault(soap, WBEM_E_FAILED, machine);
            return true;
        }
        const bool end = hr == WBEM_S_FALSE;
        if (end) {
            platform::MutexLock guard(contextLock);
            contexts.erase(soap.context);
        }
        if (returned == 0 && !end) {
            answer = Fault(soap.messageId, "Receiver", "w:TimedOut",
                           "The WS-Management service cannot complete the operation within the "
                           "time specified in OperationTimeout.  ",
                           kFaultTimedOut, machine);
            return true;
        }
        answer = HttpResponse(200, "OK", PullResponse(soap.messageId, soap.context, items, end));
        return true;
    }

    // Constant after Start.
    const EndpointOptions options;
    uint16_t port = 0;
    IWbemLocator* locator = nullptr;
    SSL_CTX* tls = nullptr;
    int wake[2] = {-1, -1};
    std::thread watcher;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> sealedWithoutContext{0};  // see Endpoint::SealedWithoutContext
    // Thread-safe on its own (the store object serialises its calls).
    sim::SimStore store;
    // Negotiate: the NTLM user file the acceptor reads (NTLM_USER_FILE),
    // written by the watcher thread only.
    std::string userFile;
    std::string userFileText;

    // Guards the hosts' listeners and the connection list. A leaf: nothing
    // is taken under it (the endpoint's lock order: endpoint.h).
    platform::Mutex lock;
    std::map<std::string, Host> hosts GUARDED_BY(lock);
    std::list<std::unique_ptr<Connection>> connections GUARDED_BY(lock);

    // Guards the open enumerations and subscriptions. A context's pullLock
    // is taken only after it is let go; the last reference to an
    // enumeration may go under it, reaching a store's lock (the endpoint's
    // lock order: endpoint.h).
    platform::Mutex contextLock;
    std::map<std::string, std::shared_ptr<Context>> contexts GUARDED_BY(contextLock);
};

Endpoint::Endpoint(EndpointOptions options) : impl(std::make_unique<Impl>(std::move(options))) {}

Endpoint::~Endpoint() = default;

bool Endpoint::Start(std::string& error) { return impl->Start(error); }

void Endpoint::Stop() { impl->Stop(); }

uint16_t Endpoint::Port() const { return impl->Port(); }

size_t Endpoint::OpenContexts() const { return impl->OpenContexts(); }

size_t Endpoint::SealedWithoutContext() const { return impl->SealedWithoutContext(); }

}  // namespace wmi::wsman
