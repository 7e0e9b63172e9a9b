// quellon-load: a load driver for the command server. N clients connect,
// read the greeting and log in; then each sends NOOP and waits for its reply,
// again and again, until a fixed total number of commands has been answered.
// Reports commands per second and the 50th and 99th percentile round trip.
//
//   quellon-load --port P [--host 127.0.0.1] [--clients N] [--commands TOTAL]
//                [--user U] [--password W]
//
// One thread drives every connection through epoll, as redis-benchmark
// does, so that the figures compare like with like. Connections talk through
// a Transport; a TLS transport plugs in at MakeTransport.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 7668;
    int clients = 3;
    long commands = 100000;
    std::string user = "alice";
    std::string password = "secret";
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

std::unique_ptr<Transport> MakeTransport(int fd, const Options&) {
    return std::make_unique<PlainTransport>(fd);
}

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "quellon-load: %s\n", text.c_str());
    std::exit(1);
}

int Connect(const Options& options) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(options.port));
    if (inet_pton(AF_INET, options.host.c_str(), &sa.sin_addr) != 1) {
        Fail("not an IPv4 address: " + options.host);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Fail(std::string("connect: ") + std::strerror(errno));
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

enum class Phase { kGreeting, kLogin, kReady, kWaiting, kDone };

struct Connection {
    std::unique_ptr<Transport> transport;
    Phase phase = Phase::kGreeting;
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
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = i;
            epoll_ctl(epollFd, EPOLL_CTL_ADD, connections[i].transport->Descriptor(), &event);
        }
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
        size_t end;
        while ((end = c.input.find("\r\n")) != std::string::npos) {
            std::string line = c.input.substr(0, end);
            c.input.erase(0, end + 2);
            OnLine(c, line);
        }
    }

    void OnLine(Connection& c, const std::string& line) {
        switch (c.phase) {
            case Phase::kGreeting:
                if (line.rfind("200 ", 0) != 0) Fail("unexpected greeting: " + line);
                c.phase = Phase::kLogin;
                Write(c, "LOGIN " + options.user + " " + options.password + "\r\n");
                return;
            case Phase::kLogin:
                if (line.rfind("OK authentication", 0) != 0) Fail("login refused: " + line);
                c.phase = Phase::kReady;
                if (++loggedIn == options.clients) {
                    started = Clock::now();
                    for (Connection& each : connections) {
                        if (issued < options.commands) SendNoop(each);
                    }
                }
                return;
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

int main(int argc, char** argv) {
    Driver driver(Parse(argc, argv));
    driver.Run();
    driver.Report();
    return 0;
}
