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

SOCKET NewSocket() {
    return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

IoResult OpenListener(const std::string& address, uint16_t port, int backlog, int* listener) {
    *listener = -1;
    if (!StartWinsock()) return {IoStatus::kFailed, WSANOTINITIALISED};
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        return {IoStatus::kInvalid, WSAEINVAL};
    }
    SOCKET s = NewSocket();
    if (s == INVALID_SOCKET) return SetupFailure(WSAGetLastError());
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
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
    sockaddr_in sa{};
    int length = sizeof sa;
    if (getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
        sa.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

IoResult AcceptConnection(int listener, int* socket) {
    *socket = -1;
    HANDLE wake = WakeEventOf(listener);
    if (wake != nullptr && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
        return {IoStatus::kClosed, 0};
    }
    SOCKET s = NewSocket();
    if (s == INVALID_SOCKET) return SetupFailure(WSAGetLastError());
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        closesocket(s);
        return {IoStatus::kNoResources, static_cast<int>(GetLastError())};
    }
    constexpr DWORD kAddressSpace = sizeof(sockaddr_in) + 16;
    char addresses[2 * kAddressSpace];
    DWORD received = 0;
    IoResult result;
    const SOCKET listenSocket = static_cast<SOCKET>(listener);
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

std::string PeerAddressText(int socket) {
    sockaddr_in sa{};
    int length = sizeof sa;
    if (getpeername(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
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
    // WSAPoll reports a peer's end of stream (graceful or reset) as POLLHUP
    // whether or not data is still unread.
    WSAPOLLFD entry{};
    entry.fd = static_cast<SOCKET>(socket);
    entry.events = POLLRDNORM;
    if (WSAPoll(&entry, 1, 0) != 1) return false;
    return (entry.revents & (POLLHUP | POLLERR)) != 0;
}

}  // namespace platform
