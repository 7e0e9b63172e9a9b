// CConnectionTransport: what a connection's bytes pass through between its
// socket and the application: nothing at all for plain TCP (CPlainTransport
// below), TLS records for a TLS connection (serverframework/tlstransport.h).
// The connection server gives every client context one transport, made with
// the context, and reads and sends through it without knowing which kind it
// is.
//
// A transport keeps the state of one connection and is not thread-safe: the
// connection server uses it only under its sendLock, on a context that is not
// closed.
#pragma once

#include <string>

// What one received piece of bytes gave.
struct TTransportInput {
    // False on a fatal transport error: the connection must be closed.
    bool ok = true;
    // The TLS error value of a fatal error, 0 otherwise.
    int sslError = 0;
    // True once the connection carries application data (TLS: the handshake
    // completed).
    bool established = true;
    // Bytes to send to the peer as they are (handshake messages, alerts);
    // also set when ok is false, to tell the peer why.
    std::string toPeer;
    // The application bytes the piece carried: length bytes at data, followed
    // by a NUL. They point into the received piece itself or into owned, and
    // stay valid while both do.
    char* data = nullptr;
    long length = 0;
    std::string owned;
};

class CConnectionTransport {
  public:
    virtual ~CConnectionTransport() = default;

    // True when no handshake is needed before application data.
    virtual bool Established() const = 0;

    // Takes count received bytes (data NUL-terminated at data[count]) and
    // fills *in.
    virtual void Receive(char* data, long count, TTransportInput* in) = 0;

    // Turns length application bytes at *data into the bytes for the socket:
    // *data and *length are left alone when they go out as they are, or
    // pointed at storage. False (sslError set for a TLS error, else 0) when
    // they cannot be sent.
    virtual bool Seal(const char** data, long* length, std::string* storage, int* sslError) = 0;

    // Ends the connection's transport state; later calls fail. Idempotent.
    virtual void Shutdown() = 0;
};

// Plain TCP: bytes go through unchanged.
class CPlainTransport final : public CConnectionTransport {
  public:
    bool Established() const override { return true; }
    void Receive(char* data, long count, TTransportInput* in) override {
        in->data = data;
        in->length = count;
    }
    bool Seal(const char**, long*, std::string*, int*) override { return true; }
    void Shutdown() override {}
};
