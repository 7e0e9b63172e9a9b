// Start-up steps shared by console mode (app/pellmoor.cpp) and the service
// application: finding and loading the configuration file into g_config,
// creating g_logger from it, reading the listening and engine settings,
// building and starting the command server, and releasing both objects at
// the end. Called on the main thread (console) or the
// service's main thread, before any worker thread exists and after all have
// stopped; none of them is thread-safe.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/standingsubscriptions.h"
#include "app/tlssettings.h"
#include "base/version.h"
#include "engine/engineoptions.h"
#include "server/kafkasettings.h"
#include "server/metricsserver.h"

class CWmiLogEventServer;

// Default configuration file name and the listening port used when
// LISTEN.PORT is absent.
extern const char* const kDefaultConfigName;  // "quellon.ini"
constexpr int kDefaultListenPort = 7668;

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
    // The subscription engine the server serves.
    TEngineOptions engine;
    int port = kDefaultListenPort;  // LISTEN.PORT, decimal prefix
    // LISTEN.ADDRESS: the local address to listen on (for example 127.0.0.1
    // to serve this machine only); empty (absent) listens on every address.
    std::string address;
    // SSL.SSLENABLED (tlsSettings.enabled) and, when it is, the TLS port and
    // files.
    TTlsSettings tlsSettings;
    // The [KAFKA] section; the output is on when kafka.brokers is set.
    TKafkaSettings kafka;
    // The [METRICS] section; the endpoint is on when metrics.address is set.
    TMetricsSettings metrics;
    // The standing subscriptions of [SUBSCRIPTIONS], added once the server
    // listens.
    std::vector<TStandingSubscription> standing;
    // Empty when the server can be started; otherwise a one-line reason
    // naming the key (a NUL byte in the file, a key before any section, a
    // numeric setting out of its range, a choice that is none of its values,
    // a TLS key absent or a TLS port that is not one while TLS is enabled, a
    // bad standing subscription).
    std::string error;
};

// Reads the listening and engine settings from g_config (defaults when it
// is null); resolving the TLS files makes the program's directory current.
// A fault of the file (CheckConfigFile), a numeric setting out of its range
// (CheckNumericSettings), a choice that is none of its values
// (CheckChoiceSettings) or a provider's or TLS setting that cannot work
// leaves the reason in error. Needs the logger for CheckConfigFile's
// warnings.
TListenSettings ReadListenSettings();

// Logs a WARN for each key that g_config's file gives more than once with
// different values (the first is used), and returns the first fault of the
// file that makes it unusable, naming the key (a NUL byte in a line, an entry
// before any [section]); empty when there is none.
std::string CheckConfigFile();

// Checks the settings that take one of a few values: SSL.SSLENABLED (true
// or false, in any case), Logger.level (a level name or 0 to 5; empty keeps
// the default) and WMI.PROVIDER (one of the providers, in any case). Empty
// when all present ones do, otherwise one line naming the first key that
// does not, what it takes and its value.
std::string CheckChoiceSettings();

// Checks every numeric setting present in g_config against the values it
// works with: empty when all do, otherwise one line naming the first key
// that does not, its accepted range and its value, such as
// OTHERS.CHECKTERMINATEFLAG is not a number from 1 to 600000: "0"
std::string CheckNumericSettings();

// The engine's settings from g_config, each key once (defaults when it is
// null or a key is absent; the poll timeout and batch size only when both
// of their keys are present). Intervals of the "below 100 counts as
// seconds" kind are given in ms.
TEngineOptions ReadEngineOptions();

// The [KAFKA] section of g_config: BROKERS, TOPIC, NOTICETOPIC, QUEUEBYTES
// and every other key, lower-cased, as a librdkafka property. A QUEUEBYTES
// that is not a number from 1048576 to 1099511627776, or BROKERS set where
// the build has no Kafka output (KafkaOutputBuilt), leaves the one-line
// reason in *error.
TKafkaSettings ReadKafkaSettings(std::string* error);

// Selects the management-interface provider from WMI.PROVIDER, one of the
// providers of one table in startup.cpp, in any case ("sim", also when
// absent on Linux: the simulated hosts of WMI.SIMSTORE, relative to the
// program's directory, "simhosts.db" when absent; "wsman": real Windows hosts
// over WS-Management on the WSMAN.* settings; "wmi", also when absent on
// Windows: real hosts through the system's WMI, refused on Linux). Another name (refused at
// start-up by CheckChoiceSettings) selects no provider: every connection fails.
void SelectWmiProvider();

// Ends the requests the providers have in flight to hosts (a WS-Management
// host that does not answer), so that stopping the server does not wait for
// their time-outs. Called once, when the listener stops.
void AbortWmiRequests();

// What is wrong with the selected provider's own settings (for wsman, the
// WSMAN.* settings: a value out of range, Basic over plain HTTP without
// WSMAN.ALLOWUNENCRYPTED=true); empty when nothing is, or for a provider
// without settings or an unknown one.
std::string CheckWsmanSettings();

// Where the server listens, for a line that names it: the address
// (LISTEN.ADDRESS; "every address" when empty) and the port in use (the TLS
// port when TLS is enabled), such as "::1 port 7668".
std::string ListenTarget(const TListenSettings& settings);

// How StartCommandServer ended.
enum class TServerStart {
    kStarted,
    kRefused,       // settings.error is set: nothing was built
    kNotListening,  // the port could not be opened
    kNotSetUp,      // the Kafka output, the metrics endpoint or a standing subscription was
                    // refused: *refusal says which
    kNoStateFile,   // OTHERS.STATEFILE cannot be used: *refusal says why
};

// Builds the command server of console mode and of the service and starts
// it: selects the management-interface provider, gives the server a
// subscription engine with settings.engine and the listening address, sets
// up TLS when it is enabled (a failure ends the process with its fatal
// message) and listens on the plain port, or on the TLS port only when TLS
// is enabled. The state file, when set, is opened and held before anything
// listens; when it cannot be used the result is kNoStateFile with one line
// naming it in *refusal (when given). Once it listens, starts the metrics
// endpoint when [METRICS] sets one (one that cannot listen stops the server
// again, kNotSetUp), then adds the standing
// subscriptions as ADD would; one that the engine refuses (a host that does
// not resolve, the same subscription twice) stops the server again, with
// one line naming the entry in *refusal. On kStarted *server is the running
// server, which the caller stops and deletes; otherwise it is null.
TServerStart StartCommandServer(const TListenSettings& settings, CWmiLogEventServer** server,
                                std::string* refusal = nullptr);

// Deletes g_config, then g_logger, and sets both to null.
void ReleaseConfigAndLogger();
