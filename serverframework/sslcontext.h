// CSslContext: the server-wide TLS state of the connection server — the
// OpenSSL context (TLS 1.2 only, certificate chain and private key from one
// PEM file, trusted CA list, Diffie-Hellman parameters), the BIO on standard
// error that carries TLS diagnostics, and the copy of the key password that
// the password callback hands to OpenSSL.
//
// Owned by CIOCPServer. InitSSL runs once on the thread that starts the
// server, before any connection exists; a set-up failure ends the process
// (FatalExit). Afterwards the object is read-only until Free: NewSession is
// called on the accept thread and the Report* functions on any thread.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string>

class CSslContext {
  public:
    // The longest key password InitSSL accepts.
    static constexpr size_t kMaxPasswordLength = 4096;

    CSslContext();
    ~CSslContext();
    CSslContext(const CSslContext&) = delete;
    CSslContext& operator=(const CSslContext&) = delete;

    // Builds the TLS context from the three files (full paths) and the key
    // password. Returns 1; on any failure it does not return but ends the
    // process through FatalExit with the text of the failing step.
    //
    // The password (at most kMaxPasswordLength characters, else fatal) is
    // given to OpenSSL only when the buffer OpenSSL offers can hold it with
    // its terminating NUL. OpenSSL 3 offers 1024 bytes when it decrypts a PEM
    // key, so a password of 1024 to 4096 characters passes the length check
    // but the key cannot be decrypted with it: the set-up then ends with the
    // key-file error.
    int InitSSL(const std::string& certificateFile, const std::string& password,
                const std::string& dhFile, const std::string& caListFile);

    // True once InitSSL has built the context and until Free.
    bool IsReady() const { return sslContext != nullptr; }

    // A new connection object in server (accept) state, or null. The caller
    // owns it and attaches the memory BIOs (SslAttachMemoryBios).
    SSL* NewSession() const;

    // Writes "Error in SSL Recv: <text>\r\n" or "Error in SSL Send: <text>\r\n"
    // for an SSL_get_error value to the diagnostics BIO (standard error), and
    // logs OpenSSL's own error queue of the calling thread at DEBUG.
    void ReportRecvError(int sslError) const;
    void ReportSendError(int sslError) const;

    // Releases the context and the diagnostics BIO (the server's Stop). The
    // password copy stays until destruction. Connections made from this
    // context keep their own reference and stay usable until freed.
    void Free();

    // The fatal exit of the TLS set-up: logs "Fatal error: <text> ... Exiting"
    // at FATAL, writes text + "\r\n" to errorBio (standard error when null)
    // and text + "\n" to standard output, and ends the process with exit
    // code 0.
    [[noreturn]] static void FatalExit(BIO* errorBio, const char* text);

  private:
    static int PasswordCallback(char* buffer, int size, int rwflag, void* userdata);
    void Report(const char* direction, int sslError) const;

    SSL_CTX* sslContext;
    BIO* errorBio;
    // Key password with its terminating NUL; passwordLength excludes it.
    char* password;
    size_t passwordLength;
};
