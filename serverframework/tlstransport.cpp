#include "serverframework/tlstransport.h"

#include "serverframework/sslsession.h"

std::unique_ptr<CTlsTransport> CTlsTransport::Attach(SSL* ssl) {
    BIO* bioIn = nullptr;
    BIO* bioOut = nullptr;
    if (SslAttachMemoryBios(ssl, &bioIn, &bioOut) != 1) return nullptr;
    return std::unique_ptr<CTlsTransport>(new CTlsTransport(ssl, bioIn, bioOut));
}

CTlsTransport::~CTlsTransport() { Shutdown(); }

void CTlsTransport::Receive(char* data, long count, TTransportInput* in) {
    if (ssl == nullptr) {
        in->ok = false;
        return;
    }
    TSslStepResult step = SslFeed(ssl, bioIn, bioOut, data, count);
    in->ok = step.status == 1;
    in->sslError = step.sslError;
    in->established = step.handshakeFinished;
    in->toPeer = std::move(step.records);
    in->owned = std::move(step.plaintext);
    in->data = in->owned.data();
    in->length = static_cast<long>(in->owned.size());
}

bool CTlsTransport::Seal(const char** data, long* length, std::string* storage, int* sslError) {
    *sslError = 0;
    if (ssl == nullptr) return false;
    TSslStepResult step = SslEncrypt(ssl, bioOut, *data, *length);
    if (step.status == 0) {
        *sslError = step.sslError;
        return false;
    }
    *storage = std::move(step.records);
    *data = storage->data();
    *length = static_cast<long>(storage->size());
    return true;
}

void CTlsTransport::Shutdown() {
    if (ssl == nullptr) return;
    SslFreeSession(ssl);
    ssl = nullptr;
    bioIn = nullptr;
    bioOut = nullptr;
}
