#include "serverframework/sslcontext.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/logger.h"
#include "serverframework/sslsession.h"

CSslContext::CSslContext()
    : sslContext(nullptr), errorBio(nullptr), password(nullptr), passwordLength(0) {}

CSslContext::~CSslContext() {
    Free();
    if (password != nullptr) {
        OPENSSL_cleanse(password, passwordLength);
        delete[] password;
        password = nullptr;
    }
}

void CSslContext::Free() {
    SSL_CTX_free(sslContext);
    sslContext = nullptr;
    BIO_free(errorBio);
    errorBio = nullptr;
}

void CSslContext::FatalExit(BIO* bio, const char* text) {
    LOG(FATAL, "Fatal error: %s ... Exiting", text);
    if (bio != nullptr) {
        BIO_printf(bio, "%s\r\n", text);
        (void)BIO_flush(bio);
    } else {
        std::fprintf(stderr, "%s\r\n", text);
    }
    std::fprintf(stdout, "%s\n", text);
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(0);
}

int CSslContext::PasswordCallback(char* buffer, int size, int, void* userdata) {
    const CSslContext* self = static_cast<const CSslContext*>(userdata);
    if (self == nullptr || self->password == nullptr || size < 0 ||
        static_cast<size_t>(size) < self->passwordLength + 1) {
        return 0;
    }
    std::memcpy(buffer, self->password, self->passwordLength + 1);
    return static_cast<int>(self->passwordLength);
}

int CSslContext::InitSSL(const std::string& certificateFile, const std::string& pass,
                         const std::string& dhFile, const std::string& caListFile) {
    LOG(DEBUG, "Loading SSL certificates from %s", certificateFile.c_str());

    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

    if (errorBio == nullptr) {
        errorBio = BIO_new_fp(stderr, BIO_NOCLOSE);
    }

    // A repeated set-up replaces the earlier context.
    SSL_CTX_free(sslContext);
    sslContext = SSL_CTX_new(TLS_server_method());
    if (sslContext == nullptr || SSL_CTX_set_min_proto_version(sslContext, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(sslContext, TLS1_2_VERSION) != 1) {
        FatalExit(errorBio, "Error creating the context");
    }

    if (SSL_CTX_use_certificate_chain_file(sslContext, certificateFile.c_str()) != 1) {
        FatalExit(errorBio, "Can't read certificate file");
    }

    if (!pass.empty() && pass.size() > kMaxPasswordLength) {
        FatalExit(errorBio, "Unexpected condition: password is too long.");
    }
    if (password != nullptr) {
        OPENSSL_cleanse(password, passwordLength);
        delete[] password;
    }
    passwordLength = pass.size();
    password = new (std::nothrow) char[passwordLength + 1];
    if (password == nullptr) {
        passwordLength = 0;
        FatalExit(errorBio,
                  "Unexpected condition: pass is NULL - possible memory allocation error");
    }
    std::memcpy(password, pass.c_str(), passwordLength + 1);

    SSL_CTX_set_default_passwd_cb(sslContext, &CSslContext::PasswordCallback);
    SSL_CTX_set_default_passwd_cb_userdata(sslContext, this);

    if (SSL_CTX_use_PrivateKey_file(sslContext, certificateFile.c_str(), SSL_FILETYPE_PEM) <= 0) {
        FatalExit(errorBio, "Error setting the key file in _use_PrivateKey_file()");
    }

    // The trusted list is loaded, but no verification mode is set: clients
    // are not asked for certificates.
    if (SSL_CTX_load_verify_locations(sslContext, caListFile.c_str(), nullptr) < 1) {
        FatalExit(errorBio, "Can't load trusted CA list");
    }

    BIO* dhBio = BIO_new_file(dhFile.c_str(), "r");
    if (dhBio == nullptr) {
        FatalExit(errorBio, "Couldn't open DH file");
    }
    EVP_PKEY* dhParams = PEM_read_bio_Parameters(dhBio, nullptr);
    BIO_free(dhBio);
    // Only Diffie-Hellman parameters (PKCS#3 or X9.42) serve for DHE; other
    // parameter files (EC, DSA) are refused like a file without parameters.
    bool isDh =
        dhParams != nullptr && (EVP_PKEY_is_a(dhParams, "DH") || EVP_PKEY_is_a(dhParams, "DHX"));
    // On success the context takes ownership of the parameters.
    if (!isDh || SSL_CTX_set0_tmp_dh_pkey(sslContext, dhParams) != 1) {
        EVP_PKEY_free(dhParams);
        FatalExit(errorBio, "Couldn't set DH parameters");
    }
    ERR_clear_error();
    return 1;
}

SSL* CSslContext::NewSession() const {
    if (sslContext == nullptr) {
        return nullptr;
    }
    SSL* ssl = SSL_new(sslContext);
    if (ssl != nullptr) {
        SSL_set_accept_state(ssl);
    }
    return ssl;
}

void CSslContext::ReportRecvError(int sslError) const { Report("Recv", sslError); }

void CSslContext::ReportSendError(int sslError) const { Report("Send", sslError); }

void CSslContext::Report(const char* direction, int sslError) const {
    const char* text = SslErrorText(sslError);
    if (errorBio != nullptr) {
        BIO_printf(errorBio, "Error in SSL %s: %s\r\n", direction, text);
        (void)BIO_flush(errorBio);
    } else {
        std::fprintf(stderr, "Error in SSL %s: %s\r\n", direction, text);
    }
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char detail[256];
        ERR_error_string_n(code, detail, sizeof detail);
        LOG(DEBUG, "TLS %s error: %s", direction, detail);
    }
}
