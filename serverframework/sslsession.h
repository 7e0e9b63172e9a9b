// The TLS state of one connection, run over two memory BIOs so that no socket
// is ever handed to OpenSSL: bytes read from the socket are fed into bioIn,
// and what OpenSSL writes into bioOut is returned to the caller to send with
// the server's ordinary send.
//
// These functions keep no state of their own; the SSL object and its BIOs
// live in the connection's CIOCPClientContext. They are not thread-safe for
// one connection: the connection server calls them for a connection either
// on its worker thread or under its sendLock, never from two threads at once.
#pragma once

#include <openssl/ssl.h>

#include <string>

// SSL_get_error values that leave the connection usable: none, want read,
// want write, want connect, want accept. Every other value is fatal for the
// operation that produced it.
bool SslErrorIsFatal(int sslError);

// The text the server reports for an SSL_get_error value.
const char* SslErrorText(int sslError);

// Creates two memory BIOs (bioIn first) and attaches them to ssl with
// SSL_set_bio (reading side first); ssl then owns both and frees them with
// itself. Returns 1, or 0 (nothing attached, both pointers null) when a BIO
// cannot be made.
int SslAttachMemoryBios(SSL* ssl, BIO** bioIn, BIO** bioOut);

// What one step of a connection's TLS state produced.
struct TSslStepResult {
    // 1 when the step succeeded; 0 on a fatal TLS error or when the input
    // could not be stored in bioIn.
    int status = 1;
    // The SSL_get_error value of a fatal error, 0 otherwise (also when the
    // input could not be stored).
    int sslError = 0;
    // TLS records OpenSSL produced (handshake messages, alerts, encrypted
    // application data), to be sent to the peer as they are. Also filled
    // when the step failed: it then carries the alert that tells the peer why.
    std::string records;
    // Decrypted application bytes, possibly empty (a partial record).
    std::string plaintext;
    // SSL_is_init_finished after the step.
    bool handshakeFinished = false;
};

// Feeds count received bytes into the connection and runs it as far as they
// allow: the handshake while it is in progress, then decryption of every
// complete record. Works for both phases, so bytes that complete the
// handshake and carry the first application data come out as one result.
TSslStepResult SslFeed(SSL* ssl, BIO* bioIn, BIO* bioOut, const char* data, long count);

// Encrypts count bytes of application data into records. status 0 when the
// data could not be written (sslError says why; 0 when the connection was
// not ready for application data).
TSslStepResult SslEncrypt(SSL* ssl, BIO* bioOut, const char* data, long count);

// Ends a connection's TLS state: SSL_shutdown when the handshake completed
// (the close-notify it produces is not sent), then SSL_free, which also frees
// both BIOs. A null ssl does nothing. Leaves the calling thread's OpenSSL
// error queue empty.
void SslFreeSession(SSL* ssl);
