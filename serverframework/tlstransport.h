// CTlsTransport: the TLS transport of one connection (see
// serverframework/transport.h), an SSL object in server state with two
// memory BIOs, driven by the steps of serverframework/sslsession.h. Made by
// the connection server's accept thread; used under its sendLock.
#pragma once

#include <memory>

#include "serverframework/transport.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

class CTlsTransport final : public CConnectionTransport {
  public:
    // A transport over ssl with two memory BIOs attached to it, after which
    // the transport owns ssl. Null when the BIOs cannot be made; ssl is then
    // still the caller's.
    static std::unique_ptr<CTlsTransport> Attach(SSL* ssl);
    // Shutdown.
    ~CTlsTransport() override;

    bool Established() const override { return false; }
    void Receive(char* data, long count, TTransportInput* in) override;
    bool Seal(const char** data, long* length, std::string* storage, int* sslError) override;
    // SSL_shutdown when the handshake completed (the close-notify it makes is
    // not sent), then SSL_free with both BIOs.
    void Shutdown() override;

  private:
    CTlsTransport(SSL* ssl, BIO* bioIn, BIO* bioOut) : ssl(ssl), bioIn(bioIn), bioOut(bioOut) {}

    SSL* ssl;
    BIO* bioIn;
    BIO* bioOut;
};
