// Client-side pieces shared by the load drivers in bench/ (quellon-load and
// quellon-engine-load): a non-blocking TCP connection to a listener, the
// epoll registration of a connection, splitting received bytes into lines,
// and the greeting/LOGIN exchange every connection starts with. Header-only;
// each driver calls these from its single epoll thread and passes its own
// failure handler, which prints the text and ends the process.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace loadclient {

// Reports a fatal problem; never returns.
using FailHandler = void (*)(const std::string& text);

// Connects to address:port (IPv4), turns Nagle off and makes the socket
// non-blocking. Calls fail when the address is not IPv4 or the connection
// is refused.
inline int Connect(const std::string& address, int port, FailHandler fail) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        fail("not an IPv4 address: " + address);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        fail(std::string("connect: ") + std::strerror(errno));
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Adds fd to epollFd for reading; `index` comes back in the event's data.
inline void WatchReadable(int epollFd, int fd, uint64_t index) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = index;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
}

// Hands every complete line of `input` to onLine (without its "\n" or
// "\r\n") and removes those lines from `input`; a partial last line stays.
// onLine must not change `input`.
template <typename OnLine>
void TakeLines(std::string& input, OnLine&& onLine) {
    size_t start = 0;
    for (;;) {
        const void* found = std::memchr(input.data() + start, '\n', input.size() - start);
        if (found == nullptr) break;
        size_t end = static_cast<size_t>(static_cast<const char*>(found) - input.data());
        size_t length = end - start;
        if (length > 0 && input[end - 1] == '\r') --length;
        onLine(std::string_view(input.data() + start, length));
        start = end + 1;
    }
    input.erase(0, start);
}

// Where a connection stands in the exchange that opens it: the greeting
// ("200 ..."), then the reply to LOGIN ("OK authentication ...").
enum class LoginStep { kGreeting, kLogin, kDone };

enum class LoginResult {
    kNotMine,   // the exchange was over already: the line is the caller's
    kPending,   // the line was part of the exchange, which goes on
    kLoggedIn,  // the line completed the exchange
};

// Feeds one received line to the opening exchange of a connection. On the
// greeting it sends "LOGIN user password\r\n" through send (a callable
// taking a std::string); calls fail on an unexpected greeting or a refused
// login.
template <typename Send>
LoginResult Login(LoginStep& step, std::string_view line, const std::string& user,
                  const std::string& password, Send&& send, FailHandler fail) {
    switch (step) {
        case LoginStep::kGreeting:
            if (line.substr(0, 4) != "200 ") fail("unexpected greeting: " + std::string(line));
            step = LoginStep::kLogin;
            send("LOGIN " + user + " " + password + "\r\n");
            return LoginResult::kPending;
        case LoginStep::kLogin:
            if (line.substr(0, 17) != "OK authentication") {
                fail("login refused: " + std::string(line));
            }
            step = LoginStep::kDone;
            return LoginResult::kLoggedIn;
        case LoginStep::kDone:
            break;
    }
    return LoginResult::kNotMine;
}

}  // namespace loadclient
