// quellon-load: a load driver for the command server. N clients connect,
// read the greeting and log in; then each sends NOOP and waits for its reply,
// again and again, until a fixed total number of commands has been answered.
// Reports commands per second and the 50th and 99th percentile round trip.
// With --tls the connections speak TLS 1.2 to a TLS port. With --handshakes
// the driver measures connection set-up instead: each of N threads connects,
// completes a full TLS 1.2 handshake (no session resumption), reads the
// greeting and closes, until TOTAL handshakes are done; it reports
// handshakes per second.
//
//   quellon-load --port P [--host 127.0.0.1] [--clients N] [--commands TOTAL]
//                [--user U] [--password W] [--tls] [--handshakes TOTAL]
//
// One thread drives every connection through epoll, as redis-benchmark
// does, so that the figures compare like with like. Connections talk through
// a Transport (plain or TLS, MakeTransport).
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "loadclient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 7668;
    int clients = 3;
    long commands = 100000;
    std::string user = "alice";
    std::string password = "secret";
    bool tls = false;
    long handshakes = 0;  // > 0: measure handshakes instead of commands
};

// The byte stream of one connection. Send and Receive follow send(2) and
// recv(2): a count, 0 for the end of the stream (Receive), or -1 with errno
// (EAGAIN when the socket is not ready).
class Transport {
  public:
    explicit Transport(int fd) : fd(fd) {}
    virtual ~Transport() { close(fd); }
    virtual ssize_t Send(const char* data, size_t length) = 0;
    virtual ssize_t Receive(char* buffer, size_t size) = 0;
    int Descriptor() const { return fd; }

  protected:
    const int fd;
};

class PlainTransport : public Transport {
  public:
    using Transport::Transport;
    ssize_t Send(const char* data, size_t length) override {
        return ::send(fd, data, length, MSG_NOSIGNAL);
    }
    ssize_t Receive(char* buffer, size_t size) override { return ::recv(fd, buffer, size, 0); }
};

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "quellon-load: %s\n", text.c_str());
    std::exit(1);
}

// The client context of every TLS connection: TLS 1.2, no verification of
// the server (the figures are about the transport, not the trust chain).
SSL_CTX* ClientContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        if (made == nullptr) Fail("cannot create a TLS context");
        SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(made, TLS1_2_VERSION);
        SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_OFF);
        // Whole records per recv, as the server's own reads are.
        SSL_CTX_set_read_ahead(made, 1);
        return made;
    }();
    return context;
}

// Waits until fd is ready for what the last TLS call wanted.
void WaitFor(int fd, int sslError) {
    pollfd p{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    if (poll(&p, 1, 10000) != 1) Fail("no progress on a TLS connection within 10 s");
}

// TLS over a non-blocking socket. The handshake is completed in the
// constructor; afterwards "not ready" from OpenSSL is reported as EAGAIN.
class TlsTransport : public Transport {
  public:
    explicit TlsTransport(int fd) : Transport(fd), ssl(SSL_new(ClientContext())) {
        SSL_set_fd(ssl, fd);
        SSL_set_connect_state(ssl);
        for (;;) {
            ERR_clear_error();
            int result = SSL_connect(ssl);
            if (result == 1) break;
            int error = SSL_get_error(ssl, result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                Fail("TLS handshake failed (SSL error " + std::to_string(error) + ")");
            }
            WaitFor(fd, error);
        }
    }
    ~TlsTransport() override { SSL_free(ssl); }

    ssize_t Send(const char* data, size_t length) override {
        ERR_clear_error();
        int n = SSL_write(ssl, data, static_cast<int>(length));
        return n > 0 ? n : Failed(n);
    }
    ssize_t Receive(char* buffer, size_t size) override {
        ERR_clear_error();
        int n = SSL_read(ssl, buffer, static_cast<int>(size));
        return n > 0 ? n : Failed(n);
    }

  private:
    ssize_t Failed(int result) {
        switch (SSL_get_error(ssl, result)) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                errno = EAGAIN;
                return -1;
            case SSL_ERROR_ZERO_RETURN:
                return 0;
            default:
                if (errno == 0) errno = ECONNRESET;
                return -1;
        }
    }

    SSL* ssl;
};

std::unique_ptr<Transport> MakeTransport(int fd, const Options& options) {
    if (options.tls) return std::make_unique<TlsTransport>(fd);
    return std::make_unique<PlainTransport>(fd);
}

int Connect(const Options& options) {
    return loadclient::Connect(options.host, options.port, Fail);
}

// After the greeting and login: ready, waiting for the reply to a NOOP, or
// done with its share.
enum class Phase { kReady, kWaiting, kDone };

struct Connection {
    std::unique_ptr<Transport> transport;
    loadclient::LoginStep login = loadclient::LoginStep::kGreeting;
    Phase phase = Phase::kReady;
    std::string input;
    Clock::time_point sentAt;
};

class Driver {
  public:
    explicit Driver(const Options& o) : options(o) {}

    void Run() {
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        connections.resize(static_cast<size_t>(options.clients));
        for (size_t i = 0; i < connections.size(); ++i) {
            connections[i].transport = MakeTransport(Connect(options), options);
            loadclient::WatchReadable(epollFd, connections[i].transport->Descriptor(), i);
        }
        // A TLS transport may hold the greeting already: it can arrive with
        // the end of the handshake and be read ahead.
        for (Connection& c : connections) OnReadable(c);
        samples.reserve(static_cast<size_t>(options.commands));
        std::vector<epoll_event> events(connections.size());
        while (answered < options.commands) {
            int n = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 10000);
            if (n == 0) Fail("no reply within 10 s");
            if (n < 0) {
                if (errno == EINTR) continue;
                Fail(std::string("epoll_wait: ") + std::strerror(errno));
            }
            for (int i = 0; i < n; ++i) OnReadable(connections[events[i].data.u64]);
        }
        finished = Clock::now();
        close(epollFd);
    }

    void Report() {
        double seconds = std::chrono::duration<double>(finished - started).count();
        std::vector<uint32_t> sorted = samples;
        auto percentile = [&](double p) -> uint32_t {
            if (sorted.empty()) return 0;
            size_t k = std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()));
            std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(k), sorted.end());
            return sorted[k];
        };
        uint32_t p50 = percentile(0.50);
        uint32_t p99 = percentile(0.99);
        std::printf(
            "clients=%d commands=%ld seconds=%.3f commands_per_second=%.0f p50_us=%u p99_us=%u\n",
            options.clients, answered, seconds, answered / seconds, p50, p99);
    }

  private:
    void Write(Connection& c, const std::string& text) {
        size_t sent = 0;
        while (sent < text.size()) {
            ssize_t n = c.transport->Send(text.data() + sent, text.size() - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                Fail(std::string("send: ") + std::strerror(errno));
            }
        }
    }

    void SendNoop(Connection& c) {
        ++issued;
        c.phase = Phase::kWaiting;
        c.sentAt = Clock::now();
        Write(c, "NOOP\r\n");
    }

    void OnReadable(Connection& c) {
        char buffer[16384];
        for (;;) {
            ssize_t n = c.transport->Receive(buffer, sizeof buffer);
            if (n > 0) {
                c.input.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) Fail("the server closed a connection: " + c.input);
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno != EINTR) Fail(std::string("recv: ") + std::strerror(errno));
        }
        loadclient::TakeLines(c.input, [&](std::string_view line) { OnLine(c, line); });
    }

    void OnLine(Connection& c, std::string_view line) {
        switch (loadclient::Login(
            c.login, line, options.user, options.password,
            [&](const std::string& text) { Write(c, text); }, Fail)) {
            case loadclient::LoginResult::kPending:
                return;
            case loadclient::LoginResult::kLoggedIn:
                if (++loggedIn == options.clients) {
                    started = Clock::now();
                    for (Connection& each : connections) {
                        if (issued < options.commands) SendNoop(each);
                    }
                }
                return;
            case loadclient::LoginResult::kNotMine:
                break;
        }
        switch (c.phase) {
            case Phase::kWaiting:
                if (line != "OK noop") return;  // a broadcast line
                samples.push_back(static_cast<uint32_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c.sentAt)
                        .count()));
                ++answered;
                if (issued < options.commands) {
                    SendNoop(c);
                } else {
                    c.phase = Phase::kDone;
                }
                return;
            case Phase::kReady:
            case Phase::kDone:
                return;
        }
    }

    const Options options;
    int epollFd = -1;
    std::vector<Connection> connections;
    std::vector<uint32_t> samples;
    int loggedIn = 0;
    long issued = 0;
    long answered = 0;
    Clock::time_point started;
    Clock::time_point finished;
};

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--host") {
            options.host = value();
        } else if (arg == "--port") {
            options.port = std::atoi(value().c_str());
        } else if (arg == "--clients") {
            options.clients = std::atoi(value().c_str());
        } else if (arg == "--commands") {
            options.commands = std::atol(value().c_str());
        } else if (arg == "--user") {
            options.user = value();
        } else if (arg == "--password") {
            options.password = value();
        } else if (arg == "--tls") {
            options.tls = true;
        } else if (arg == "--handshakes") {
            options.handshakes = std::atol(value().c_str());
            options.tls = true;
        } else {
            Fail("unknown option " + arg);
        }
    }
    if (options.clients < 1 || options.commands < 1 || options.port < 1 || options.port > 65535) {
        Fail("--clients, --commands and --port must be positive (port at most 65535)");
    }
    return options;
}

}  // namespace

// Connects, completes a full TLS handshake, reads the greeting line and
// closes, `count` times in a row.
void HandshakeLoop(const Options& options, long count) {
    char buffer[4096];
    for (long i = 0; i < count; ++i) {
        int fd = Connect(options);
        TlsTransport transport(fd);
        std::string input;
        while (input.find("\r\n") == std::string::npos) {
            ssize_t n = transport.Receive(buffer, sizeof buffer);
            if (n > 0) {
                input.append(buffer, static_cast<size_t>(n));
            } else if (n == 0) {
                Fail("the server closed a connection before its greeting");
            } else if (errno == EAGAIN) {
                WaitFor(fd, SSL_ERROR_WANT_READ);
            } else if (errno != EINTR) {
                Fail(std::string("recv: ") + std::strerror(errno));
            }
        }
        if (input.rfind("200 ", 0) != 0) Fail("unexpected greeting: " + input);
    }
}

void MeasureHandshakes(const Options& options) {
    std::vector<std::thread> threads;
    Clock::time_point started = Clock::now();
    for (int i = 0; i < options.clients; ++i) {
        long share = options.handshakes / options.clients +
                     (i < options.handshakes % options.clients ? 1 : 0);
        threads.emplace_back([&options, share] { HandshakeLoop(options, share); });
    }
    for (std::thread& thread : threads) thread.join();
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("clients=%d handshakes=%ld seconds=%.3f handshakes_per_second=%.0f\n",
                options.clients, options.handshakes, seconds, options.handshakes / seconds);
}

int main(int argc, char** argv) {
    Options options = Parse(argc, argv);
    if (options.handshakes > 0) {
        MeasureHandshakes(options);
        return 0;
    }
    Driver driver(options);
    driver.Run();
    driver.Report();
    return 0;
}
