// TCP socket helpers for the connection server: the listening socket its
// accept thread blocks on, the accept call itself, the peer-address text and
// closing. Sockets are plain descriptors; every socket made here is
// close-on-exec, and accepted sockets are non-blocking, ready to be
// associated with a CompletionPort (platform/completionport.h).
//
// Stateless and thread-safe. Errors come back as negative errno values so
// that callers can tell the expected conditions (EINTR, EAGAIN, ECONNRESET,
// EPIPE) from the rest without reading errno themselves.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Opens a blocking TCP listener with SO_REUSEADDR, bound to the dotted IPv4
// address (empty: any address) and port (0: a port the system picks), and
// listening with the given backlog. Returns the descriptor, or -errno
// (-EINVAL for an address that is not a dotted IPv4 address).
int OpenListener(const std::string& address, uint16_t port, int backlog);

// The local port a socket is bound to, or 0 when it cannot be read.
uint16_t LocalPort(int socket);

// Blocks until a connection arrives on the listener. Returns the connected
// socket (non-blocking, close-on-exec, TCP_NODELAY), or -errno. Retries by itself when a
// signal interrupts the wait.
int AcceptConnection(int listener);

// How an accept loop goes on after AcceptConnection failed.
enum class AcceptFailure {
    kRetry,  // the failed connection was the peer's (aborted, network error): accept again
    kPause,  // out of descriptors or memory: accept again after a pause
    kStop,   // the listener is closed or unusable: leave the loop
};
AcceptFailure ClassifyAcceptError(int error);

// Makes every AcceptConnection blocked on the listener return (-EINVAL) and
// every later one fail at once; the descriptor stays open until
// CloseSocket. Closing alone does not wake a thread blocked in accept on
// Linux; shutting the listener down in both directions does.
void WakeListener(int listener);

// Closes a descriptor. A negative descriptor is ignored.
void CloseSocket(int socket);

// The peer of a connected socket as "a.b.c.d:port" (dotted IPv4 address,
// port in host order), or "unknown" when it cannot be read.
std::string PeerAddressText(int socket);

}  // namespace platform
