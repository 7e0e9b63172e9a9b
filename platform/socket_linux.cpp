#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/socket.h"

namespace platform {

namespace {

// The kind of a failure of socket, bind or listen.
IoResult SetupFailure(int error) {
    switch (error) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return {IoStatus::kNoResources, error};
        default:
            return {IoStatus::kFailed, error};
    }
}

// The kind of a failure of accept.
IoResult AcceptFailureOf(int error) {
    switch (error) {
        // Linux reports pending network errors of the new connection through
        // accept; they end that connection, not the listener.
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EINTR:
        case EAGAIN:
        case EPERM:
            return {IoStatus::kPeerReset, error};
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return {IoStatus::kNoResources, error};
        // A listener shut down by WakeListener.
        case EINVAL:
            return {IoStatus::kClosed, error};
        default:
            return {IoStatus::kFailed, error};
    }
}

}  // namespace

IoResult OpenListener(const std::string& address, uint16_t port, int backlog, int* listener) {
    *listener = -1;
    // An address with a colon is IPv6 ("::" any, "::1" loopback); the
    // others, and the empty one (any IPv4 address), IPv4.
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    socklen_t length;
    int family;
    if (address.find(':') != std::string::npos) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = family = AF_INET6;
        sa->sin6_port = htons(port);
        if (inet_pton(AF_INET6, address.c_str(), &sa->sin6_addr) != 1) {
            return {IoStatus::kInvalid, EINVAL};
        }
        length = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = family = AF_INET;
        sa->sin_port = htons(port);
        sa->sin_addr.s_addr = htonl(INADDR_ANY);
        if (!address.empty() && inet_pton(AF_INET, address.c_str(), &sa->sin_addr) != 1) {
            return {IoStatus::kInvalid, EINVAL};
        }
        length = sizeof *sa;
    }

    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return SetupFailure(errno);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        listen(fd, backlog == kMaxListenBacklog ? SOMAXCONN : backlog) != 0) {
        int error = errno;
        close(fd);
        return SetupFailure(error);
    }
    *listener = fd;
    return {};
}

uint16_t LocalPort(int socket) {
    sockaddr_storage sa;
    socklen_t length = sizeof sa;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
    if (sa.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
    if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port);
    return 0;
}

IoResult AcceptConnection(int listener, int* socket) {
    *socket = -1;
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            // Replies and records go out at once: without this, a small
            // write that follows another one waits for the peer's delayed
            // acknowledgement (the greeting after the last TLS handshake
            // flight waited 40 ms).
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            *socket = fd;
            return {};
        }
        if (errno != EINTR) return AcceptFailureOf(errno);
    }
}

void WakeListener(int listener) {
    if (listener >= 0) shutdown(listener, SHUT_RDWR);
}

void CloseSocket(int socket) {
    if (socket >= 0) close(socket);
}

bool SetResetOnClose(int socket) {
    if (socket < 0) return false;
    // Lingering with a zero time-out: close discards the send queue and
    // sends RST, even from FIN-WAIT-1.
    linger abortive{1, 0};
    return setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) == 0;
}

bool ResetsOnClose(int socket) {
    if (socket < 0) return false;
    linger current{};
    socklen_t length = sizeof current;
    if (getsockopt(socket, SOL_SOCKET, SO_LINGER, &current, &length) != 0) return false;
    return current.l_onoff != 0 && current.l_linger == 0;
}

std::string PeerAddressText(int socket) {
    sockaddr_storage sa;
    socklen_t length = sizeof sa;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return "unknown";
    char text[INET6_ADDRSTRLEN];
    char result[INET6_ADDRSTRLEN + 16];
    if (sa.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&sa);
        if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) == nullptr) return "unknown";
        std::snprintf(result, sizeof result, "%s:%d", text, static_cast<int>(ntohs(v4->sin_port)));
        return result;
    }
    if (sa.ss_family != AF_INET6) return "unknown";
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&sa);
    const int port = static_cast<int>(ntohs(v6->sin6_port));
    // An IPv4 client of a listener on "::" is shown as the IPv4 address it
    // is, so that it reads (and is counted) the same on either listener.
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        if (inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text) == nullptr) {
            return "unknown";
        }
        std::snprintf(result, sizeof result, "%s:%d", text, port);
        return result;
    }
    if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) == nullptr) return "unknown";
    std::snprintf(result, sizeof result, "[%s]:%d", text, port);
    return result;
}

bool PeerHasClosed(int socket) {
    pollfd entry{};
    entry.fd = socket;
    entry.events = POLLRDHUP;
    if (poll(&entry, 1, 0) != 1) return false;
    return (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace platform
