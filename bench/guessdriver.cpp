// quellon-guess: a password-guessing driver for the command server, to
// measure how many failed logins one client address gets answered. N
// connections from one address read the greeting and send wrong LOGINs, one
// at a time each, for a fixed time; a connection the server closes (after
// its third failure, or refused at once) is opened again at once. Reports
// the failed logins answered per second over the run, the connections
// opened and those refused with an ERROR line.
//
//   quellon-guess --port P [--host 127.0.0.1] [--connections N] [--seconds S]
//                 [--user U]
//
// One thread drives every connection through epoll.
#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "loadclient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 7668;
    int connections = 300;
    double seconds = 10;
    std::string user = "monitor";
};

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "quellon-guess: %s\n", text.c_str());
    std::exit(1);
}

struct Connection {
    int fd = -1;
    std::string input;
};

struct Counts {
    long answered = 0;  // "ERROR unable to verify ..." replies
    long opened = 0;
    long refused = 0;  // other ERROR lines (a connection refused at once)
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
        } else if (arg == "--connections") {
            options.connections = std::atoi(value().c_str());
        } else if (arg == "--seconds") {
            options.seconds = std::atof(value().c_str());
        } else if (arg == "--user") {
            options.user = value();
        } else {
            Fail("unknown argument " + arg);
        }
    }
    if (options.connections < 1 || options.seconds <= 0) Fail("nothing to run");
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) Fail("epoll_create1 failed");
    std::vector<Connection> connections(static_cast<size_t>(options.connections));
    Counts counts;
    long guess = 0;

    auto open = [&](size_t index) {
        Connection& c = connections[index];
        c.fd = loadclient::Connect(options.host, options.port, Fail);
        c.input.clear();
        loadclient::WatchReadable(epollFd, c.fd, index);
        ++counts.opened;
    };
    auto send = [&](Connection& c, const std::string& text) {
        // A short reply line fits any socket buffer; a failed send shows as
        // the close that follows.
        if (::send(c.fd, text.data(), text.size(), MSG_NOSIGNAL) < 0) return;
    };
    auto guessOn = [&](Connection& c) {
        send(c, "LOGIN " + options.user + " guess-" + std::to_string(++guess) + "\r\n");
    };

    for (size_t i = 0; i < connections.size(); ++i) open(i);
    const Clock::time_point start = Clock::now();
    const auto runTime = std::chrono::duration<double>(options.seconds);
    std::vector<epoll_event> events(256);
    while (Clock::now() - start < runTime) {
        int ready = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 50);
        for (int e = 0; e < ready; ++e) {
            const size_t index = events[e].data.u64;
            Connection& c = connections[index];
            char buffer[4096];
            ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
                close(c.fd);
                open(index);
                continue;
            }
            c.input.append(buffer, static_cast<size_t>(n));
            loadclient::TakeLines(c.input, [&](std::string_view line) {
                if (line.substr(0, 4) == "200 ") {
                    guessOn(c);
                } else if (line.find("unable to verify") != std::string_view::npos) {
                    ++counts.answered;
                    guessOn(c);
                } else if (line.substr(0, 5) == "ERROR") {
                    ++counts.refused;
                }
            });
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "%d connections from one address for %.1f s: %ld failed logins answered (%.1f/s), "
        "%ld connections opened, %ld refused with a line\n",
        options.connections, elapsed, counts.answered, counts.answered / elapsed, counts.opened,
        counts.refused);
    for (Connection& c : connections) close(c.fd);
    close(epollFd);
    return 0;
}
