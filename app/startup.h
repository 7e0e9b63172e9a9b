// Start-up steps shared by console mode (app/pellmoor.cpp) and the service
// application: finding and loading the configuration file into g_config,
// creating g_logger from it, reading the listening settings, and releasing
// both objects at the end. Called on the main thread (console) or the
// service's main thread, before any worker thread exists and after all have
// stopped; none of them is thread-safe.
#pragma once

#include <cstdio>
#include <string>

#include "app/tlssettings.h"

// Default configuration file name and the listening port used when
// LISTEN.PORT is absent.
extern const char* const kDefaultConfigName;  // "quellon.ini"
constexpr int kDefaultListenPort = 7668;

// "Halcrest WMI Event Listener (v5.5 build <build date>)": catalogue message
// 105 with the version (106) and the date this program was built.
std::string VersionBanner();
// Build time of the program, "HH:MM:SS".
const char* BuildTime();

// Path of the configuration file: the name itself when absolute, else the
// current directory joined with it. When nothing exists there, the fallback
// configuration directory joined with "quellon.ini" (whatever name was
// given). Empty when that does not exist either. *fellBack, when given,
// tells whether the fallback was taken.
std::string FindConfigFile(const std::string& name, bool* fellBack = nullptr);

// Creates g_config for path unless one exists, and loads it. Returns the
// load result (1). When the file is refused (a section or the section list
// over 19000 bytes, or an entry that begins with "=") prints one line naming
// the file to errorStream, deletes g_config and returns 0.
int LoadConfigStore(const std::string& path, std::FILE* errorStream);

// Logger.filename as the logger takes it: every double quote replaced by a
// blank, white space removed at both ends.
std::string CleanLogFileName(const std::string& value);

// Creates g_logger from Logger.filename (cleaned and resolved against the
// program's directory, which becomes the current directory) and
// Logger.level. Returns false, creating nothing, when g_config or either key
// is absent. *logPath receives the resolved path.
bool CreateLoggerFromConfig(std::string* logPath);

// Console steps, with their console texts on standard output:
// LoadConfigFile announces the name's resolution ("Using Config File: ...",
// or "Failed to open the config file") and returns non-zero when a file was
// found and loaded; InitLogger prints "Log file <path>" or
// "logger file name or debug level not set".
int LoadConfigFile(const std::string& name);
bool InitLogger();

// What the server is started with, read from g_config.
struct TListenSettings {
    int port = kDefaultListenPort;  // LISTEN.PORT, decimal prefix
    // LISTEN.ADDRESS: the local address to listen on (for example 127.0.0.1
    // to serve this machine only); empty (absent) listens on every address.
    std::string address;
    // SSL.SSLENABLED (tlsSettings.enabled) and, when it is, the TLS port and
    // files.
    TTlsSettings tlsSettings;
    // Empty when the server can be started; otherwise a one-line reason (a
    // TLS key absent or a TLS port that is not one while TLS is enabled).
    std::string error;
};

// Reads the listening settings from g_config (defaults when it is null);
// resolving the TLS files makes the program's directory current.
TListenSettings ReadListenSettings();

// Deletes g_config, then g_logger, and sets both to null.
void ReleaseConfigAndLogger();
