// DESIGN
// Winsock. Listeners and accepted sockets are overlapped sockets that are
// not inherited (WSA_FLAG_NO_HANDLE_INHERIT), so the completion port can
// take them. Accepting is AcceptEx on an event, waited on together with the
// listener's wake event: WakeListener sets that event (manual reset, so
// every accept now and later sees it), and a waiting accept cancels its
// AcceptEx and returns kClosed. The wake events live in a table keyed by the
// listener, made by OpenListener and closed by CloseSocket. A listener made
// elsewhere has no wake event and accepts until it is closed.
//
// Windows lets a new listener take a port whose earlier connections wait in
// TIME_WAIT without any option, and SO_REUSEADDR would let another program
// bind the same port, so no option is set.
#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <unordered_map>

#include "platform/mutex.h"
#include "platform/socket.h"
#include "platform/winsock_win.h"

namespace platform {

namespace {

IoResult SetupFailure(int error) {
    switch (error) {
        case WSAEMFILE:
        case WSAENOBUFS:
        case ERROR_NOT_ENOUGH_MEMORY:
            return {IoStatus::kNoResources, error};
        default:
            return {IoStatus::kFailed, error};
    }
}

IoResult AcceptFailureOf(int error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENETDOWN:
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAETIMEDOUT:
        case ERROR_NETNAME_DELETED:
        case ERROR_CONNECTION_ABORTED:
            return {IoStatus::kPeerReset, error};
        case WSAEMFILE:
        case WSAENOBUFS:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return {IoStatus::kNoResources, error};
        case WSAENOTSOCK:
        case WSAEINVAL:
        case ERROR_OPERATION_ABORTED:
            return {IoStatus::kClosed, error};
        default:
            return {IoStatus::kFailed, error};
    }
}

// The wake events of the listeners made by OpenListener.
struct WakeTable {
    // Guards events. A leaf lock.
    Mutex lock;
    std::unordered_map<int, HANDLE> events GUARDED_BY(lock);
};

WakeTable& Wakes() {
    static WakeTable* table = new WakeTable;
    return *table;
}

HANDLE WakeEventOf(int listener) {
    WakeTable& table = Wakes();
    MutexLock guard(table.lock);
    auto it = table.events.find(listener);
    return it == table.events.end() ? nullptr : it->second;
}

SOCKET NewSocket(int family) {
    return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

// The family a socket was made for (AF_INET when it cannot be read).
int FamilyOf(SOCKET s) {
    sockaddr_storage local{};
    int length = sizeof local;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) return AF_INET;
    return local.ss_family;
}

}  // namespace

IoResult OpenListener(const std::string& address, uint16_t port, int backlog, int* listener) {
    *listener = -1;
    if (!StartWinsock()) return {IoStatus::kFailed, WSANOTINITIALISED};
    // An address with a colon is IPv6 ("::" any, "::1" loopback); the
    // others, and the empty one (any IPv4 address), IPv4.
    sockaddr_storage storage{};
    int length;
    int family;
    if (address.find(':') != std::string::npos) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = family = AF_INET6;
        sa->sin6_port = htons(port);
        if (inet_pton(AF_INET6, address.c_str(), &sa->sin6_addr) != 1) {
            return {IoStatus::kInvalid, WSAEINVAL};
        }
        length = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = family = AF_INET;
        sa->sin_port = htons(port);
        sa->sin_addr.s_addr = htonl(INADDR_ANY);
        if (!address.empty() && inet_pton(AF_INET, address.c_str(), &sa->sin_addr) != 1) {
            return {IoStatus::kInvalid, WSAEINVAL};
        }
        length = sizeof *sa;
    }
    SOCKET s = NewSocket(family);
    if (s == INVALID_SOCKET) return SetupFailure(WSAGetLastError());
    if (family == AF_INET6) {
        // Windows makes IPv6 sockets IPv6-only by default; "::" takes IPv4
        // clients too, as the contract asks.
        DWORD off = 0;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    }
    if (bind(s, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        listen(s, backlog == kMaxListenBacklog ? SOMAXCONN : backlog) != 0) {
        int error = WSAGetLastError();
        closesocket(s);
        return SetupFailure(error);
    }
    HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (wake == nullptr) {
        int error = static_cast<int>(GetLastError());
        closesocket(s);
        return SetupFailure(error);
    }
    *listener = static_cast<int>(s);
    WakeTable& table = Wakes();
    MutexLock guard(table.lock);
    table.events[*listener] = wake;
    return {};
}

uint16_t LocalPort(int socket) {
    sockaddr_storage sa{};
    int length = sizeof sa;
    if (getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        return 0;
    }
    if (sa.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
    if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port);
    return 0;
}

IoResult AcceptConnection(int listener, int* socket) {
    *socket = -1;
    HANDLE wake = WakeEventOf(listener);
    if (wake != nullptr && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
        return {IoStatus::kClosed, 0};
    }
    const SOCKET listenSocket = static_cast<SOCKET>(listener);
    SOCKET s = NewSocket(FamilyOf(listenSocket));
    if (s == INVALID_SOCKET) return SetupFailure(WSAGetLastError());
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        closesocket(s);
        return {IoStatus::kNoResources, static_cast<int>(GetLastError())};
    }
    constexpr DWORD kAddressSpace = sizeof(sockaddr_in6) + 16;
    char addresses[2 * kAddressSpace];
    DWORD received = 0;
    IoResult result;
    if (!AcceptEx(listenSocket, s, addresses, 0, kAddressSpace, kAddressSpace, &received,
                  &overlapped)) {
        int error = WSAGetLastError();
        if (error != ERROR_IO_PENDING) {
            result = AcceptFailureOf(error);
        } else {
            HANDLE events[2] = {overlapped.hEvent, wake};
            DWORD which = WaitForMultipleObjects(wake != nullptr ? 2 : 1, events, FALSE, INFINITE);
            if (which == WAIT_OBJECT_0 + 1) {
                CancelIoEx(reinterpret_cast<HANDLE>(listenSocket), &overlapped);
                result = {IoStatus::kClosed, 0};
            }
            DWORD flags = 0;
            // Waits for a cancelled AcceptEx to let go of the buffers.
            if (!WSAGetOverlappedResult(listenSocket, &overlapped, &received, TRUE, &flags) &&
                result.ok()) {
                result = AcceptFailureOf(WSAGetLastError());
            }
        }
    }
    CloseHandle(overlapped.hEvent);
    if (!result.ok()) {
        closesocket(s);
        return result;
    }
    setsockopt(s, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
               reinterpret_cast<const char*>(&listenSocket), sizeof listenSocket);
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    // Replies and records go out at once, not after the peer's delayed
    // acknowledgement of the previous write.
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    *socket = static_cast<int>(s);
    return {};
}

void WakeListener(int listener) {
    HANDLE wake = WakeEventOf(listener);
    if (wake != nullptr) SetEvent(wake);
}

void CloseSocket(int socket) {
    if (socket < 0) return;
    HANDLE wake = nullptr;
    {
        WakeTable& table = Wakes();
        MutexLock guard(table.lock);
        auto it = table.events.find(socket);
        if (it != table.events.end()) {
            wake = it->second;
            table.events.erase(it);
        }
    }
    closesocket(static_cast<SOCKET>(socket));
    if (wake != nullptr) CloseHandle(wake);
}

bool SetResetOnClose(int socket) {
    if (socket < 0) return false;
    // Lingering with a zero time-out: closing discards the send queue and
    // sends a reset.
    linger abortive{1, 0};
    return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
                      reinterpret_cast<const char*>(&abortive), sizeof abortive) == 0;
}

bool ResetsOnClose(int socket) {
    if (socket < 0) return false;
    linger current{};
    int length = sizeof current;
    if (getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
                   reinterpret_cast<char*>(&current), &length) != 0) {
        return false;
    }
    return current.l_onoff != 0 && current.l_linger == 0;
}

std::string PeerAddressText(int socket) {
    sockaddr_storage sa{};
    int length = sizeof sa;
    if (getpeername(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        return "unknown";
    }
    char text[INET6_ADDRSTRLEN];
    char result[INET6_ADDRSTRLEN + 16];
    if (sa.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
        if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) == nullptr) return "unknown";
        std::snprintf(result, sizeof result, "%s:%d", text, static_cast<int>(ntohs(v4->sin_port)));
        return result;
    }
    if (sa.ss_family != AF_INET6) return "unknown";
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
    const int port = static_cast<int>(ntohs(v6->sin6_port));
    // An IPv4 client of a listener on "::" is shown as the IPv4 address it is.
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
    // WSAPoll reports a peer's end of stream (graceful or reset) as POLLHUP
    // whether or not data is still unread.
    WSAPOLLFD entry{};
    entry.fd = static_cast<SOCKET>(socket);
    entry.events = POLLRDNORM;
    if (WSAPoll(&entry, 1, 0) != 1) return false;
    return (entry.revents & (POLLHUP | POLLERR)) != 0;
}

}  // namespace platform
