#include "server/metricsserver.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/logger.h"
#include "base/stringformat.h"

struct CMetricsServer::TConnection : CIOCPClientContext {
    explicit TConnection(int socket) : CIOCPClientContext(socket) {}
    // The request read so far; worker thread.
    std::string request;
    // The answer went out; later bytes are dropped. Worker thread, read by
    // the accept thread under connectionLock.
    std::atomic<bool> answered{false};
};

namespace {

constexpr long kReadSize = 4096;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Status(int code, const char* reason, const std::string& headers = std::string()) {
    return StringFormat("HTTP/1.1 %d %s\r\n", code, reason) + headers +
           "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace

CMetricsServer::CMetricsServer(TMetricsSettings settings,
                               std::function<std::string(TExpositionFormat)> render)
    : settings(std::move(settings)), render(std::move(render)) {
    SetListenAddress(this->settings.address);
}

CMetricsServer::~CMetricsServer() { WaitForAbandonedWorker(); }

bool CMetricsServer::ParseListen(const std::string& text, std::string* address, int* port) {
    std::string host;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        rest = text.substr(close + 2);
        if (host.find(':') == std::string::npos) return false;
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
        rest = text.substr(colon + 1);
        // An IPv6 address goes in brackets, so that its port is plain.
        if (host.find(':') != std::string::npos) return false;
    }
    if (host.empty() || rest.empty() || rest.size() > 5 ||
        rest.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int value = std::stoi(rest);
    if (value < 1 || value > 65535) return false;
    *address = host;
    *port = value;
    return true;
}

bool CMetricsServer::SameSecret(const std::string& given, const std::string& expected) {
    const size_t length = std::max(given.size(), expected.size());
    unsigned difference = given.size() != expected.size() ? 1u : 0u;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        difference |= static_cast<unsigned>(a ^ b);
    }
    return difference == 0;
}

std::string CMetricsServer::Answer(const std::string& request) {
    // Request line: method, target, version.
    const size_t lineEnd = request.find('\n');
    std::string line = request.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) {
        return Status(400, "Bad Request");
    }
    const std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));

    std::string authorization;
    std::string accept;
    size_t at = lineEnd == std::string::npos ? request.size() : lineEnd + 1;
    while (at < request.size()) {
        size_t end = request.find('\n', at);
        if (end == std::string::npos) end = request.size();
        std::string header = request.substr(at, end - at);
        if (!header.empty() && header.back() == '\r') header.pop_back();
        at = end + 1;
        const size_t colon = header.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = Lower(Trim(header.substr(0, colon)));
        if (name == "authorization") authorization = Trim(header.substr(colon + 1));
        if (name == "accept") accept = header.substr(colon + 1);
    }

    if (!settings.token.empty()) {
        // "Bearer" in any case, then the token.
        std::string given;
        if (authorization.size() > 7 && Lower(authorization.substr(0, 7)) == "bearer ") {
            given = Trim(authorization.substr(7));
        }
        if (!SameSecret(given, settings.token)) {
            return Status(401, "Unauthorized", "WWW-Authenticate: Bearer realm=\"quellon\"\r\n");
        }
    }
    if (target != "/metrics") return Status(404, "Not Found");
    const bool head = method == "HEAD";
    if (method != "GET" && !head) return Status(405, "Method Not Allowed", "Allow: GET, HEAD\r\n");

    const TExpositionFormat format = ChooseExpositionFormat(accept);
    std::string body = render(format);
    std::string answer = StringFormat(
        "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
        ExpositionContentType(format), body.size());
    if (!head) answer += body;
    return answer;
}

void CMetricsServer::OnServerStarted() {
    TConnectionLimits limits;
    limits.loginTimeout = settings.timeout;
    limits.preLoginOutputLimit = kMaxAnswerBytes;
    limits.maxHandshakes = settings.maxConnections;
    SetConnectionLimits(limits);
    LOG(INFO, "Metrics endpoint listening on %s port %u%s%s", settings.address.c_str(),
        static_cast<unsigned>(GetListenPort()), settings.tls ? " (TLS)" : "",
        settings.token.empty() ? "" : ", bearer token required");
}

void CMetricsServer::OnServerShutdown() {
    for (;;) {
        TConnection* connection;
        {
            platform::MutexLock guard(connectionLock);
            if (connections.empty()) break;
            connection = connections.front();
            connections.pop_front();
            connection->AddRef();
        }
        CloseClient(connection);
        connection->Release();
    }
}

CIOCPClientContext* CMetricsServer::CreateClientContext(int socket) {
    return new TConnection(socket);
}

long CMetricsServer::OnClientConnected(CIOCPClientContext* context) {
    auto* connection = static_cast<TConnection*>(context);
    TConnection* victim = nullptr;
    bool admitted = true;
    {
        platform::MutexLock guard(connectionLock);
        if (static_cast<int>(connections.size()) >= settings.maxConnections) {
            // Room for a scraper that asks promptly: the oldest connection
            // that has not asked yet goes, else the newcomer.
            auto waiting = std::find_if(connections.begin(), connections.end(),
                                        [](TConnection* c) { return !c->answered.load(); });
            if (waiting != connections.end()) {
                victim = *waiting;
                victim->AddRef();
                connections.erase(waiting);
            } else {
                admitted = false;
            }
        }
        if (admitted) connections.push_back(connection);
    }
    if (victim != nullptr) {
        LOG(DEBUG, "Metrics endpoint full: resetting the connection from %s for one from %s",
            victim->address.c_str(), connection->address.c_str());
        ResetClient(victim);
        victim->Release();
    }
    if (!admitted) {
        LOG(DEBUG, "Metrics endpoint full: resetting the connection from %s",
            connection->address.c_str());
        ResetClient(context);
        return 1;
    }
    PostRead(context, 0, kReadSize);
    return 1;
}

long CMetricsServer::OnClientDisconnected(CIOCPClientContext* context) {
    platform::MutexLock guard(connectionLock);
    auto it = std::find(connections.begin(), connections.end(), context);
    if (it != connections.end()) connections.erase(it);
    return 1;
}

long CMetricsServer::OnDataReceived(CIOCPClientContext* context, long flags, char* data,
                                    long byteCount) {
    auto* connection = static_cast<TConnection*>(context);
    if (connection->answered.load()) {
        // One request per connection: what follows is dropped until the
        // scraper closes (or the time-out resets it).
        PostRead(context, flags, kReadSize);
        return 1;
    }
    std::string& request = connection->request;
    const size_t before = request.size();
    request.append(data, static_cast<size_t>(std::max<long>(byteCount, 0)));
    // The end of the headers, searched from a little before the new bytes.
    const size_t from = before > 3 ? before - 3 : 0;
    size_t end = request.find("\r\n\r\n", from);
    if (end == std::string::npos) {
        end = request.find("\n\n", from);
    }
    if (end == std::string::npos && request.size() <= kMaxRequestBytes) {
        PostRead(context, flags, kReadSize);
        return 1;
    }
    std::string answer;
    if (end == std::string::npos || end > kMaxRequestBytes) {
        // The rest of an oversized request is read and dropped until the
        // scraper closes or the time-out resets the connection.
        LOG(DEBUG, "Metrics request from %s is over %zu bytes", connection->address.c_str(),
            kMaxRequestBytes);
        answer = Status(431, "Request Header Fields Too Large");
    } else {
        answer = Answer(request.substr(0, end));
    }
    request.clear();
    request.shrink_to_fit();
    connection->answered.store(true);
    Send(context, 0, answer.data(), static_cast<long>(answer.size()));
    PostRead(context, flags, kReadSize);
    return 1;
}

long CMetricsServer::OnDataSent(CIOCPClientContext*, long, char*, long) { return 1; }
