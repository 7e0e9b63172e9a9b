// TCP socket helpers for the connection server: the listening socket its
// accept thread blocks on, the accept call itself, the peer-address text and
// closing. Sockets are plain integers (negative: none); no socket made here
// is inherited by programs this process starts, and accepted sockets are
// non-blocking, ready to be associated with a CompletionPort
// (platform/completionport.h).
//
// Stateless and thread-safe. Failures come back as an IoResult
// (platform/ioresult.h), so callers tell the expected conditions from the
// rest by kind, never by a system error number.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ioresult.h"

namespace platform {

// Opens a blocking TCP listener that may take over a port left in TIME_WAIT,
// bound to the address (a dotted IPv4 address; an IPv6 address such as "::1"
// or "::", the latter taking IPv4 clients too where the system allows it;
// empty: any IPv4 address) and port (0: a port the system picks), and
// listening with the given backlog (kMaxListenBacklog: the largest the
// system allows). On success stores the socket in *listener; kInvalid for
// an address that is neither, kFailed (or kNoResources) when the system
// refuses, with the system's error code.
constexpr int kMaxListenBacklog = -1;
IoResult OpenListener(const std::string& address, uint16_t port, int backlog, int* listener);

// The local port a socket is bound to, or 0 when it cannot be read.
uint16_t LocalPort(int socket);

// Blocks until a connection arrives on the listener and stores the connected
// socket (non-blocking, not inherited, sending small writes at once) in
// *socket. Retries by itself when a signal interrupts the wait. Failures:
// kPeerReset when the new connection failed before it was taken (the
// listener is fine), kNoResources when descriptors or memory ran out, kClosed
// once the listener was woken, kFailed otherwise.
IoResult AcceptConnection(int listener, int* socket);

// How an accept loop goes on after AcceptConnection failed.
enum class AcceptFailure {
    kRetry,  // the failed connection was the peer's (aborted, network error): accept again
    kPause,  // out of descriptors or memory: accept again after a pause
    kStop,   // the listener is closed or unusable: leave the loop
};
inline AcceptFailure ClassifyAcceptError(const IoResult& failure) {
    switch (failure.status) {
        case IoStatus::kOk:
        case IoStatus::kPeerReset:
            return AcceptFailure::kRetry;
        case IoStatus::kNoResources:
            return AcceptFailure::kPause;
        default:
            return AcceptFailure::kStop;
    }
}

// Makes every AcceptConnection blocked on the listener return (kClosed) and
// every later one fail at once; the socket stays open until CloseSocket.
// (On Linux closing alone does not wake a thread blocked in accept; shutting
// the listener down in both directions does.)
void WakeListener(int listener);

// Closes a socket. A negative socket is ignored.
void CloseSocket(int socket);

// Makes the close of a connected socket a reset: when it is closed (here or
// by CompletionPort::CloseSocket), what it has not sent yet is discarded and
// the peer is sent a reset at once instead of an orderly end of stream, so a
// peer that stopped reading learns at once that it was dropped, and no unsent
// data outlives the connection in the system. For connections the server
// ends by force; an ordinary close stays graceful. Returns false when the
// system refused (the close then stays graceful). A negative socket is
// ignored (false).
bool SetResetOnClose(int socket);

// Whether SetResetOnClose was applied to the socket.
bool ResetsOnClose(int socket);

// The peer of a connected socket as "a.b.c.d:port" (dotted IPv4 address,
// also for an IPv4 client of an IPv6 listener) or "[v6 address]:port", or
// "unknown" when it cannot be read.
std::string PeerAddressText(int socket);

// True when the peer of a connected socket has closed its side or reset the
// connection, whether or not data it sent before is still unread. Does not
// block and reads nothing.
bool PeerHasClosed(int socket);

}  // namespace platform
