// CMetricsServer: the metrics endpoint. A connection server of its own
// (threads, port and bounds apart from the command server's) that answers
// HTTP GET (and HEAD) of /metrics with the listener's figures in the
// Prometheus text format, or OpenMetrics when the scraper's Accept header
// asks for it, optionally over TLS and behind a bearer token. Owned by the
// command server it reports on (CWmiLogEventServer::AddCompanion), which
// stops it first at shutdown; made and started by the start-up steps.
//
// DESIGN
//  Threads: the connection server's accept and worker threads; the worker
//  reads requests and calls the render function, which takes the command
//  server's and the engine's figures (their locks, briefly), so it must
//  never be called with an engine lock held.
//  One request per connection: the answer says "Connection: close" and the
//  connection is left for the scraper to close; anything it sends later is
//  read and dropped.
//  Bounds, so a slow or hostile scraper cannot take memory or threads from
//  the listener: a request (request line and headers) of at most
//  kMaxRequestBytes, else 431 (the rest is read and dropped); every
//  connection is reset settings.timeout (10 s) after its accept, however
//  far it got (a scrape of a large listener takes milliseconds); at most
//  maxConnections
//  connections (TLS handshakes included): when one more arrives, the
//  oldest that has not sent a whole request yet is reset to make room,
//  else the newcomer; an answer's bytes are bounded by kMaxAnswerBytes of
//  unsent output.
//  Token: compared in time that does not depend on where it differs; a
//  missing or wrong one gets 401 with no body. Neither the token nor the
//  Authorization header is ever logged.
//  Locks: connectionLock (the connections in accept order), a leaf taken
//  on the accept and worker threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "server/metricstext.h"
#include "serverframework/iocpserver.h"

// The [METRICS] section.
struct TMetricsSettings {
    // METRICS.LISTEN split: an IPv4 or IPv6 address and a port; the
    // endpoint is off while address is empty.
    std::string address;
    int port = 0;
    // METRICS.TLS: serve HTTPS with the listener's certificate settings
    // (SSL.SERVERCERTFILE, SSL.SERVERCERTPASSWORD, SSL.DHFILE, SSL.CALIST;
    // full paths).
    bool tls = false;
    std::string certificateFile;
    std::string password;
    std::string dhFile;
    std::string caListFile;
    // METRICS.TOKEN: the bearer token scrapers must send; empty: none.
    std::string token;
    // METRICS.MAXCONNECTIONS.
    int maxConnections = 8;
    // Every connection is reset this long after its accept.
    std::chrono::milliseconds timeout{10000};
};

class CMetricsServer : public CIOCPServer {
  public:
    static constexpr size_t kMaxRequestBytes = 8192;
    static constexpr size_t kMaxAnswerBytes = 64u << 20;

    // render gives the body of a scrape in the format asked for; it is
    // called on the worker thread.
    CMetricsServer(TMetricsSettings settings, std::function<std::string(TExpositionFormat)> render);
    ~CMetricsServer() override;

    // Parses METRICS.LISTEN, "address:port" with an IPv6 address in
    // brackets ("[::1]:9464"); false when it is not of that form or the
    // port is not 1 to 65535.
    static bool ParseListen(const std::string& text, std::string* address, int* port);

    // Whether the two texts are equal, in a time that depends only on
    // their lengths.
    static bool SameSecret(const std::string& given, const std::string& expected);

    // The answer to one complete request (request line and headers, up to
    // and without the blank line that ends them): status line, headers and
    // body. Worker thread.
    std::string Answer(const std::string& request);

  protected:
    void OnServerStarted() override;
    void OnServerShutdown() override;
    CIOCPClientContext* CreateClientContext(int socket) override;
    long OnClientConnected(CIOCPClientContext* context) override;
    long OnClientDisconnected(CIOCPClientContext* context) override;
    long OnDataReceived(CIOCPClientContext* context, long flags, char* data,
                        long byteCount) override;
    long OnDataSent(CIOCPClientContext* context, long flags, char* data, long byteCount) override;

  private:
    struct TConnection;

    const TMetricsSettings settings;
    const std::function<std::string(TExpositionFormat)> render;

    // connectionLock: guards connections, every open connection in accept
    // order. A leaf (platform/thread_annotations.h).
    platform::Mutex connectionLock;
    std::deque<TConnection*> connections GUARDED_BY(connectionLock);
};
