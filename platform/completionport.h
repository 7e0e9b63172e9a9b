// CompletionPort: a queue of finished socket requests, in the manner of an
// I/O completion port. The owner associates each connected socket with a
// completion key, posts receives and sends on it, each carrying a request
// pointer of its own, and one thread takes the finished requests out with
// Dequeue. Owned by the connection server; Associate, PostReceive, PostSend,
// CloseSocket and Post may be called from any thread, Dequeue from one thread
// at a time (the worker), Create and Close while no other thread uses it.
//
// Contract:
//  - Every request that PostReceive or PostSend accepted (result kOk) comes out
//    of Dequeue exactly once, with its request pointer, the key of its socket
//    and a byte count.
//  - A receive completes when data arrives (bytes > 0), when the peer has
//    closed (bytes 0, result kOk), or with a failed result on a reset
//    (kPeerReset) or other socket error. At most one receive may be pending
//    per socket.
//  - A send completes once all its bytes were handed to the system (bytes =
//    length), or with a failed result when the socket failed first. Sends on one
//    socket go out in the order they were posted. A send that fails at once,
//    before any byte went out, is not accepted: PostSend returns the failure
//    and no completion follows.
//  - CloseSocket shuts the socket down and closes it; its pending requests
//    then complete with kCanceled, so the owner can free them. A socket set
//    to reset on close (platform::SetResetOnClose) is closed without the
//    shutdown, so its peer sees the reset rather than an end of stream.
//  - Post queues a completion by hand; the connection server posts key 0 to
//    end its worker.
//
// How each system builds the port is told in the DESIGN block of its
// implementation (completionport_linux.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/ioresult.h"

namespace platform {

struct Completion {
    uintptr_t key = 0;        // the socket's completion key; 0 only when posted by hand
    void* request = nullptr;  // as posted
    uint32_t bytes = 0;       // bytes received or sent
    IoResult result;          // kOk: the request succeeded; else what failed it
};

class CompletionPort {
  public:
    CompletionPort();
    // Closes the port (Close).
    ~CompletionPort();
    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;

    // Opens the port. Returns false when the system objects cannot be made.
    bool Create();

    // Adds a connected non-blocking socket under key (not 0). The socket
    // stays the caller's, but from now on it is closed with CloseSocket.
    // kAlreadyAssociated when the socket is associated already, kInvalid for
    // a negative socket or key 0, kNotAssociated when the port is not open.
    IoResult Associate(int socket, uintptr_t key);

    // Receives up to size (> 0) bytes into buffer. Buffer and request must
    // stay valid until the completion. kOk when accepted, kNotAssociated for
    // a socket that is not associated, kBusy when a receive is already
    // pending, kInvalid for size 0.
    IoResult PostReceive(int socket, char* buffer, uint32_t size, void* request);

    // Sends length (> 0) bytes. Data and request must stay valid until the
    // completion. kOk when accepted; kNotAssociated for a socket that is not
    // associated, kInvalid for length 0, or the failure of a send that failed
    // at once (kPeerReset for a peer that reset or closed, ...), in which
    // case nothing was sent or queued.
    IoResult PostSend(int socket, const char* data, uint32_t length, void* request);

    // Bytes of the socket's accepted sends that the system has not taken
    // yet: what waits in the port for the socket to become writable. 0 for a
    // socket that is not associated.
    size_t QueuedBytes(int socket);

    // Removes the socket from the port, shuts it down in both directions and
    // closes it; its pending requests complete with kCanceled. kOk, kFailed
    // when the system reported an error closing it (it is closed all the
    // same), or kNotAssociated for a socket that is not associated (then
    // nothing is done).
    IoResult CloseSocket(int socket);

    // Queues a completion with these values and error 0. False when closed.
    bool Post(uintptr_t key, void* request, uint32_t bytes);

    // Takes the oldest finished request, waiting up to timeoutMs
    // milliseconds for one (negative: without limit). Returns 1 with
    // *completion filled, 0 on time-out, -1 when the port is not open or
    // waiting failed.
    int Dequeue(Completion* completion, int timeoutMs);

    // Closes the port. Associated sockets stay open (they are the owner's);
    // queued and pending requests are dropped without completion, so the
    // owner closes its sockets and drains the queue first.
    void Close();

  private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace platform
