// DESIGN
// Winsock's resolver (getaddrinfo); the socket library is started the first
// time a name is looked up.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/resolver.h"
#include "platform/winsock_win.h"

namespace platform {

bool HostResolves(const std::string& host) {
    if (!StartWinsock()) return false;
    in_addr address;
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return false;
    freeaddrinfo(result);
    return true;
}

}  // namespace platform
