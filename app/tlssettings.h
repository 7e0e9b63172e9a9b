// TTlsSettings and ReadTlsSettings: the TLS keys of the configuration store,
// read once by the start-up code (console or service) on its own thread
// before the connection server is started.
#pragma once

#include <string>

struct TTlsSettings {
    // SSL.SSLENABLED equals "true" in any case; absent means false.
    bool enabled = false;
    // SSL.SSLPORT by the decimal-prefix rule, low 16 bits (1..65535).
    int port = 0;
    // SSL.SERVERCERTFILE, SSL.DHFILE and SSL.CALIST, resolved against the
    // program's directory; SSL.SERVERCERTPASSWORD as read.
    std::string certificateFile;
    std::string password;
    std::string dhFile;
    std::string caListFile;
};

// Fills settings from g_config. When TLS is enabled all five keys SSL.SSLPORT,
// SSL.SERVERCERTFILE, SSL.SERVERCERTPASSWORD, SSL.DHFILE and SSL.CALIST are
// required, and SSL.SSLPORT must name a port (low 16 bits not 0), since a
// TLS port of 0 would start the server on the plain port.
// Returns true when TLS is off or fully configured; otherwise false with a
// one-line error (no line end) naming the offending key. Resolving the file
// names makes the program's directory the current directory. Without a
// configuration store TLS is off.
bool ReadTlsSettings(TTlsSettings& settings, std::string& error);
