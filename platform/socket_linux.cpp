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
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        return {IoStatus::kInvalid, EINVAL};
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return SetupFailure(errno);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(fd, backlog == kMaxListenBacklog ? SOMAXCONN : backlog) != 0) {
        int error = errno;
        close(fd);
        return SetupFailure(error);
    }
    *listener = fd;
    return {};
}

uint16_t LocalPort(int socket) {
    sockaddr_in sa;
    socklen_t length = sizeof sa;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
        sa.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(sa.sin_port);
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

std::string PeerAddressText(int socket) {
    sockaddr_in sa;
    socklen_t length = sizeof sa;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
        sa.sin_family != AF_INET) {
        return "unknown";
    }
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) == nullptr) return "unknown";
    char result[32];
    std::snprintf(result, sizeof result, "%s:%d", text, static_cast<int>(ntohs(sa.sin_port)));
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
