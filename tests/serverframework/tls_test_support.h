// Helpers shared by the TLS tests: a throw-away certificate set made once per
// test program, and a TLS 1.x client that runs over memory BIOs so a test
// can pass bytes between it and the server side by hand.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

namespace tlstest {

// The files of scripts/make-test-certs, made once per test program in a
// temporary folder that the program removes when it ends.
struct TTestCerts {
    std::string dir;
    std::string password;
    std::string serverPem;  // certificate, CA certificate, encrypted key
    std::string caPem;      // test CA certificate
    std::string caList;     // trusted CA list
    std::string dhPem;      // ffdhe2048 parameters
};
const TTestCerts& TestCerts();

// A fresh path inside the certificate folder (nothing is created).
std::string TempPath(const std::string& name);

// Writes text to path; false on failure.
bool WriteFile(const std::string& path, const std::string& text);

// The server certificate and CA certificate of TestCerts() with the server
// key re-encrypted under password (written in the clear when password is
// empty), as one PEM file at path.
bool WriteServerPemWithPassword(const std::string& path, const std::string& password);

// Options of a test client.
struct TClientOptions {
    int minVersion = TLS1_VERSION;
    int maxVersion = TLS1_3_VERSION;
    // OpenSSL cipher list for TLS 1.2 and below; empty keeps the default.
    std::string cipherList;
    // Verify the server's chain against the test CA and the name localhost.
    bool verify = true;
    // Resume this session (not owned).
    SSL_SESSION* session = nullptr;
};

// The client end of a TLS connection over two memory BIOs.
class CMemoryClient {
  public:
    explicit CMemoryClient(const TClientOptions& options = TClientOptions());
    ~CMemoryClient();
    CMemoryClient(const CMemoryClient&) = delete;
    CMemoryClient& operator=(const CMemoryClient&) = delete;

    SSL* ssl() const { return ssl_; }
    // Everything the client has written for the network since the last call.
    std::string TakeOutput();
    // Bytes from the network for the client.
    void Give(const std::string& bytes);
    // One SSL_connect step: 1 done, 0 wants more input, -1 failed.
    int Connect();
    // Encrypts text into the client's output; false on failure.
    bool Write(const std::string& text);
    // Decrypts everything that can be decrypted from the input given so far.
    std::string ReadAll();

  private:
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;
    BIO* out_ = nullptr;
};

// A TLS client over a real TCP connection to 127.0.0.1, with blocking
// calls bounded by a receive time-out.
class CSocketClient {
  public:
    explicit CSocketClient(const TClientOptions& options = TClientOptions());
    ~CSocketClient();
    CSocketClient(const CSocketClient&) = delete;
    CSocketClient& operator=(const CSocketClient&) = delete;

    // Opens the TCP connection, from the loopback address `source` (such as
    // "127.0.0.2") when one is given; false on failure.
    bool ConnectTcp(uint16_t port, const std::string& source = std::string());
    // Runs the TLS handshake on the open connection; false when it failed.
    bool Handshake();
    // ConnectTcp and Handshake.
    bool Connect(uint16_t port, const std::string& source = std::string()) {
        return ConnectTcp(port, source) && Handshake();
    }

    // Encrypts and sends text; false on failure.
    bool Send(const std::string& text);
    // Sends raw bytes on the TCP connection; false on failure.
    bool SendRaw(const std::string& bytes);
    // Decrypted text up to and including the next terminator; what arrived
    // before the connection ended or timeoutMs passed without data otherwise.
    std::string ReadUntil(const std::string& terminator, int timeoutMs = 5000);
    // The next line with its CR LF (ReadUntil "\r\n").
    std::string ReadLine(int timeoutMs = 5000) { return ReadUntil("\r\n", timeoutMs); }
    // LOGIN user password after reading the greeting; the reply line.
    std::string Login(const std::string& user, const std::string& password);
    // Raw bytes received within timeoutMs (empty when none); closed is set
    // when the peer closed or reset the connection.
    std::string ReadRaw(int timeoutMs, bool* closed);
    // True when the peer has closed or reset the connection, waiting up to
    // timeoutMs for it (TLS records that arrive meanwhile are dropped).
    bool WaitForClose(int timeoutMs);
    // Closes the connection with a reset instead of a graceful close.
    void Reset();
    // Sends close-notify (when the handshake completed) and closes.
    void Close();

    SSL* ssl() const { return ssl_; }
    int socket() const { return fd_; }

  private:
    void SetTimeout(int timeoutMs);

    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    bool handshakeDone_ = false;
    std::string pending_;
};

}  // namespace tlstest
