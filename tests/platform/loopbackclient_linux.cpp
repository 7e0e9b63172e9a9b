#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/platform/loopbackclient.h"

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

}  // namespace

LoopbackClient::LoopbackClient(uint16_t port, int timeoutMs, int receiveBuffer,
                               const char* source) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    handle = fd;
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            return;
        }
    }
    sockaddr_in sa = Loopback(port);
    connected = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

LoopbackClient::~LoopbackClient() { Close(); }

uint16_t LoopbackClient::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

bool LoopbackClient::Send(const char* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(static_cast<int>(handle), data + sent, length - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

long LoopbackClient::Receive(char* buffer, size_t size) {
    ssize_t n;
    // A signal (a child process of the test ending) interrupts a read with a
    // time-out even when nothing handles it: read again.
    do {
        n = recv(static_cast<int>(handle), buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    reset = n < 0 && errno == ECONNRESET;
    return static_cast<long>(n);
}

bool LoopbackClient::HasData() {
    char c;
    return recv(static_cast<int>(handle), &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

int LoopbackClient::TakeError() {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(static_cast<int>(handle), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

void LoopbackClient::ShutdownWrite() { shutdown(static_cast<int>(handle), SHUT_WR); }

void LoopbackClient::Shutdown() { shutdown(static_cast<int>(handle), SHUT_RDWR); }

void LoopbackClient::Reset() {
    linger l{1, 0};
    setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
}

void LoopbackClient::Close() {
    if (handle >= 0) close(static_cast<int>(handle));
    handle = -1;
}

uint16_t FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool LoopbackConnects(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

bool SocketSeesPeerGone(int socket, int timeoutMs) {
    pollfd p{socket, POLLRDHUP, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void SetSocketSendBuffer(int socket, int bytes) {
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}
