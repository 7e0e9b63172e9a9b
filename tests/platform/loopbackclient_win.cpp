#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "tests/platform/loopbackclient.h"

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

SOCKET NewSocket() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return INVALID_SOCKET;
    return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

SOCKET Native(intptr_t handle) { return static_cast<SOCKET>(handle); }

}  // namespace

LoopbackClient::LoopbackClient(uint16_t port, int timeoutMs, int receiveBuffer,
                               const char* source) {
    SOCKET s = NewSocket();
    handle = s == INVALID_SOCKET ? -1 : static_cast<intptr_t>(s);
    if (handle < 0) return;
    if (receiveBuffer > 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                   sizeof receiveBuffer);
    }
    DWORD timeout = static_cast<DWORD>(timeoutMs);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
            bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            return;
        }
    }
    sockaddr_in sa = Loopback(port);
    connected = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

LoopbackClient::~LoopbackClient() { Close(); }

uint16_t LoopbackClient::LocalPort() const {
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(Native(handle), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

bool LoopbackClient::Send(const char* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        int chunk = length - sent > 0x10000000 ? 0x10000000 : static_cast<int>(length - sent);
        int n = ::send(Native(handle), data + sent, chunk, 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

long LoopbackClient::Receive(char* buffer, size_t size) {
    int n =
        recv(Native(handle), buffer, size > 0x10000000 ? 0x10000000 : static_cast<int>(size), 0);
    if (n < 0) {
        const int error = WSAGetLastError();
        reset = error == WSAECONNRESET || error == WSAECONNABORTED;
        return -1;
    }
    reset = false;
    return n;
}

bool LoopbackClient::HasData() {
    u_long waiting = 0;
    return ioctlsocket(Native(handle), FIONREAD, &waiting) == 0 && waiting > 0;
}

int LoopbackClient::TakeError() {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(Native(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0) {
        error = WSAGetLastError();
    }
    return error == WSAECONNRESET ? ECONNRESET : error;
}

void LoopbackClient::ShutdownWrite() { shutdown(Native(handle), SD_SEND); }

void LoopbackClient::Shutdown() { shutdown(Native(handle), SD_BOTH); }

void LoopbackClient::Reset() {
    linger l{1, 0};
    setsockopt(Native(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    Close();
}

void LoopbackClient::Close() {
    if (handle >= 0) closesocket(Native(handle));
    handle = -1;
}

uint16_t FreeLoopbackPort() {
    SOCKET s = NewSocket();
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    uint16_t port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(s);
    return port;
}

bool LoopbackConnects(uint16_t port) {
    SOCKET s = NewSocket();
    sockaddr_in address = Loopback(port);
    bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    closesocket(s);
    return connected;
}

bool SocketSeesPeerGone(int socket, int timeoutMs) {
    // WSAPoll reports the peer's end of data or reset as POLLHUP.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        WSAPOLLFD p{};
        p.fd = static_cast<SOCKET>(socket);
        p.events = POLLRDNORM;
        if (WSAPoll(&p, 1, 10) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

void SetSocketSendBuffer(int socket, int bytes) {
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_SNDBUF,
               reinterpret_cast<const char*>(&bytes), sizeof bytes);
}
