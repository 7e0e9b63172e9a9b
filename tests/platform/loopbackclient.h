// The client side of loopback TCP for tests: a blocking socket connected to
// 127.0.0.1 that a test drives by hand (send, receive with a time-out,
// half-close, reset), and the few socket questions tests ask about a
// server's end. One implementation per system (loopbackclient_linux.cpp,
// loopbackclient_win.cpp), chosen in tests/platform/loopbackclient.cmake;
// used by one test thread at a time per object.
#pragma once

#include <cstddef>
#include <cstdint>

class LoopbackClient {
  public:
    // Connects to 127.0.0.1:port, from the loopback address `source` (such
    // as "127.0.0.2"; null: the system's choice). timeoutMs bounds every
    // Receive; a receiveBuffer above 0 sets the receive buffer before
    // connecting.
    explicit LoopbackClient(uint16_t port, int timeoutMs = 5000, int receiveBuffer = 0,
                            const char* source = nullptr);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool Connected() const { return connected; }

    // The client's own port, 0 when it cannot be read.
    uint16_t LocalPort() const;

    // Sends every byte; false when the connection failed first.
    bool Send(const char* data, size_t length);

    // Up to size bytes: the count, 0 at the end of the peer's data, -1 at
    // the time-out or a failure (PeerReset() tells a reset). Goes on by
    // itself after an interruption.
    long Receive(char* buffer, size_t size);

    // True when data waits to be read; does not wait.
    bool HasData();

    // True when the last Receive failed because the peer reset.
    bool PeerReset() const { return reset; }

    // The error the connection has met (ECONNRESET of <cerrno> once the
    // peer reset it, else the system's code), 0 when none; reading it clears
    // it. Reads no data and does not wait.
    int TakeError();

    // Ends the sending direction (the peer reads the end of data).
    void ShutdownWrite();

    // Ends both directions: a Receive blocked on another thread returns.
    void Shutdown();

    // Closes with a reset instead of an orderly close.
    void Reset();

    void Close();

  private:
    intptr_t handle;
    bool connected = false;
    bool reset = false;
};

// A port of 127.0.0.1 that was free a moment ago; 0 when none was given.
uint16_t FreeLoopbackPort();

// True when something accepts a TCP connection on 127.0.0.1:port (it is
// closed again at once).
bool LoopbackConnects(uint16_t port);

// Waits up to timeoutMs until a connected socket of the platform layer
// sees its peer's close or reset, without reading anything.
bool SocketSeesPeerGone(int socket, int timeoutMs);

// Sets a socket's send buffer size.
void SetSocketSendBuffer(int socket, int bytes);
