// CIOCPClientContext: the record of one client connection of the connection
// server (CIOCPServer). The subclass's factory hooks create it; its pointer is
// the completion key of the connection's socket. Read by the accept thread,
// the worker thread, broadcasting threads and the thread that stops the
// server, under the rules stated per field.
//
// Lifetime is reference counted: the connection holds one reference from
// creation until CloseClient, and every read or write the server has posted
// holds one more until the worker has handled its completion. The memory goes
// with the last reference, so a completion still queued for a closed client
// never meets a freed record. Per-connection state that a pending completion
// might still read belongs in the destructor, not in OnClientDisconnected.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "serverframework/synchronization.h"
#include "serverframework/transport.h"

class CIOCPClientContext : public RSLibrary::RSNonCopyable {
  public:
    // Takes the connected socket; starts with the connection's reference.
    explicit CIOCPClientContext(int socket) : socket(socket) {}

    // Adds a reference; the caller must already hold one.
    void AddRef() { references.fetch_add(1, std::memory_order_relaxed); }
    // Drops a reference and frees the record with the last one.
    void Release() {
        if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // Constant after creation.
    const int socket;

    // What the connection's bytes pass through: plain unless the accept path
    // attaches a TLS transport before the context is associated. Used under
    // the server's sendLock; the object lives as long as the context.
    std::unique_ptr<CConnectionTransport> transport = std::make_unique<CPlainTransport>();
    // True from the creation of a TLS context until its handshake completed
    // and OnClientConnected is called; such a connection is not announced to
    // the application, so its close does not call OnClientDisconnected.
    // Written by the worker thread, read by the thread that closes.
    std::atomic<bool> inHandshake{false};
    // Application data that arrived together with the end of the handshake;
    // the server hands it to the first command read. Under the server's
    // sendLock.
    std::string earlyPlaintext;

    // Peer as "a.b.c.d:port" or "unknown", and the time of the accept;
    // written by the accept thread before the socket is associated,
    // read-only afterwards.
    std::string address;
    std::chrono::steady_clock::time_point acceptedAt;
    // The source block of address (serverframework/sourceblock.h) that the
    // per-source bounds count it against; written by the accept thread
    // under the server's sendLock before the socket is associated,
    // read-only afterwards.
    std::string sourceBlock;
    // Counted among its block's connections not logged in, from the accept
    // to the login or the close. Under the server's sendLock.
    bool countedStartup = false;

    // Set once by the application (CIOCPServer::MarkLoggedIn); chooses the
    // connection's output bound and stops its login clock.
    std::atomic<bool> loggedIn{false};

    // Output bookkeeping of the connection server (CIOCPServer's connection
    // limits; the unsent output itself is counted by the completion port):
    // whether it is above the soft bound, and since when; written under
    // sendLock, the flag also read without it.
    std::atomic<bool> aboveSoftLimit{false};
    std::chrono::steady_clock::time_point aboveSoftLimitSince;
    // A bound was passed and the close is on its way; later sends are
    // dropped. Under sendLock.
    bool overLimit = false;
    // The server drops the connection by force (a bound passed, too many
    // failed logins): its close resets it. Set before CloseClient runs, read
    // by CloseClient under sendLock.
    std::atomic<bool> resetOnClose{false};
    // The read the application posted while the output was backed up; it
    // is posted once the output has drained. Written under sendLock; the
    // flag also read without it.
    std::atomic<bool> readParked{false};
    long parkedReadFlags = 0;
    long parkedReadSize = 0;

    // Command protocol state; worker thread only. The part of a command line
    // received so far; the unanswered rest of a read and the held reply
    // while a failed login waits out its delay; failed logins so far.
    std::string commandBuffer;
    std::string pendingInput;
    std::string heldReply;
    int failedLogins = 0;
    // Counted in the command server's login budget as a connection of its
    // address that has not logged in; cleared by whichever of the login and
    // the close comes first (set on the thread that announces the
    // connection, before its first read).
    std::atomic<bool> inLoginBudget{false};

    // Set once, under the server's sendLock, when CloseClient closes the
    // socket; read without the lock by the worker to skip completions of a
    // closed client.
    std::atomic<bool> closed{false};

  protected:
    // Only Release deletes; a server may keep state of its own in a
    // subclass.
    virtual ~CIOCPClientContext() = default;

  private:
    std::atomic<int> references{1};
};
