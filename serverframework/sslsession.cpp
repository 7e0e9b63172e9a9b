#include "serverframework/sslsession.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <climits>

namespace {

// Largest plaintext of one TLS record; reading in pieces of this size takes a
// whole record per SSL_read.
constexpr int kPieceSize = 16384;

// Moves everything OpenSSL has written into bioOut to records.
void DrainOutput(BIO* bioOut, std::string& records) {
    char piece[kPieceSize];
    while (BIO_pending(bioOut) > 0) {
        int n = BIO_read(bioOut, piece, sizeof piece);
        if (n <= 0) {
            break;
        }
        records.append(piece, static_cast<size_t>(n));
    }
}

}  // namespace

bool SslErrorIsFatal(int sslError) {
    switch (sslError) {
        case SSL_ERROR_NONE:
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
        case SSL_ERROR_WANT_CONNECT:
        case SSL_ERROR_WANT_ACCEPT:
            return false;
        default:
            return true;
    }
}

const char* SslErrorText(int sslError) {
    switch (sslError) {
        case SSL_ERROR_SSL:
            return "A failure in the SSL library occurred";
        case SSL_ERROR_WANT_X509_LOOKUP:
            return "The operation did not complete because an application callback set by "
                   "SSL_CTX_set_client_cert_cb() has asked to be called again";
        case SSL_ERROR_SYSCALL:
            return "Some I/O error occurred.";
        case SSL_ERROR_WANT_CONNECT:
        case SSL_ERROR_WANT_ACCEPT:
            return "The underlying BIO was not connected yet to the peer and the call would "
                   "block in connect/accept";
        default:
            return "Unknown error";
    }
}

int SslAttachMemoryBios(SSL* ssl, BIO** bioIn, BIO** bioOut) {
    *bioIn = nullptr;
    *bioOut = nullptr;
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (in == nullptr || out == nullptr) {
        BIO_free(in);
        BIO_free(out);
        return 0;
    }
    // An empty memory BIO reports "retry" to OpenSSL instead of end of file,
    // so a handshake or record that is not complete yet waits for more bytes.
    BIO_set_mem_eof_return(in, -1);
    BIO_set_mem_eof_return(out, -1);
    SSL_set_bio(ssl, in, out);
    *bioIn = in;
    *bioOut = out;
    return 1;
}

TSslStepResult SslFeed(SSL* ssl, BIO* bioIn, BIO* bioOut, const char* data, long count) {
    TSslStepResult result;
    if (count > INT_MAX) {
        result.status = 0;
        return result;
    }
    if (count > 0 && BIO_write(bioIn, data, static_cast<int>(count)) != count) {
        // A memory BIO takes everything or nothing; a partial record must not
        // reach the connection.
        result.status = 0;
        return result;
    }
    char piece[kPieceSize];
    // SSL_get_error consults the thread's error queue, so a stale entry from
    // another connection must not be there; a successful SSL_read adds none.
    ERR_clear_error();
    for (;;) {
        int n = SSL_read(ssl, piece, sizeof piece);
        if (n > 0) {
            result.plaintext.append(piece, static_cast<size_t>(n));
            continue;
        }
        int sslError = SSL_get_error(ssl, n);
        if (SslErrorIsFatal(sslError)) {
            result.status = 0;
            result.sslError = sslError;
        }
        break;
    }
    result.handshakeFinished = SSL_is_init_finished(ssl) != 0;
    DrainOutput(bioOut, result.records);
    return result;
}

TSslStepResult SslEncrypt(SSL* ssl, BIO* bioOut, const char* data, long count) {
    TSslStepResult result;
    if (count > INT_MAX) {
        result.status = 0;
        return result;
    }
    ERR_clear_error();
    int n = SSL_write(ssl, data, static_cast<int>(count));
    if (n <= 0) {
        int sslError = SSL_get_error(ssl, n);
        result.status = 0;
        result.sslError = SslErrorIsFatal(sslError) ? sslError : 0;
    }
    // Also after a failure: an alert may be waiting.
    DrainOutput(bioOut, result.records);
    result.handshakeFinished = SSL_is_init_finished(ssl) != 0;
    return result;
}

void SslFreeSession(SSL* ssl) {
    if (ssl == nullptr) {
        return;
    }
    if (SSL_is_init_finished(ssl)) {
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ERR_clear_error();
}
