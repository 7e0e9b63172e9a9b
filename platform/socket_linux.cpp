#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/socket.h"

namespace platform {

int OpenListener(const std::string& address, uint16_t port, int backlog) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        return -EINVAL;
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return -errno;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
        int error = errno;
        close(fd);
        return -error;
    }
    return fd;
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

int AcceptConnection(int listener) {
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            // Replies and records go out at once: without this, a small
            // write that follows another one waits for the peer's delayed
            // acknowledgement (the greeting after the last TLS handshake
            // flight waited 40 ms).
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        if (errno != EINTR) return -errno;
    }
}

AcceptFailure ClassifyAcceptError(int error) {
    if (error < 0) error = -error;
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
            return AcceptFailure::kRetry;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::kPause;
        default:
            return AcceptFailure::kStop;
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

}  // namespace platform
