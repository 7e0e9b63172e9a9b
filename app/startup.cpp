#include "app/startup.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "app/metricsendpoint.h"
#include "base/configdataloader.h"
#include "base/logger.h"
#include "base/stringformat.h"
#include "engine/controller.h"
#include "platform/paths.h"
#include "server/wmilogeventserver.h"
#include "serverframework/abstractthread.h"
#include "wmi/locatorfactory.h"
#include "wmi/native/wmiprovider.h"
#include "wmi/sim/simprovider.h"
#include "wmi/wsman/httptransport.h"
#include "wmi/wsman/wsmanprovider.h"

const char* const kDefaultConfigName = "quellon.ini";

std::string FindConfigFile(const std::string& name, bool* fellBack) {
    if (fellBack != nullptr) *fellBack = false;
    std::string path = platform::IsAbsolutePath(name)
                           ? name
                           : platform::JoinPath(platform::CurrentDirectory(), name);
    if (platform::FileExists(path)) return path;
    if (fellBack != nullptr) *fellBack = true;
    path = platform::JoinPath(platform::FallbackConfigDirectory(), kDefaultConfigName);
    if (platform::FileExists(path)) return path;
    return std::string();
}

int LoadConfigStore(const std::string& path, std::FILE* errorStream) {
    if (g_config == nullptr) g_config = new CConfigDataLoader(path);
    const char* problem = nullptr;
    try {
        return g_config->Load();
    } catch (const CConfigDataLoader::ELargeFile&) {
        problem = "is too large (a section or the list of sections exceeds 19000 bytes)";
    } catch (const CConfigDataLoader::EInvalidKeyValuePair&) {
        problem = "has an entry without a name (a line starting with \"=\")";
    }
    std::fprintf(errorStream, "Error: configuration file %s %s\r\n", path.c_str(), problem);
    std::fflush(errorStream);
    // A half-read table is not used: nothing may start on it.
    delete g_config;
    g_config = nullptr;
    return 0;
}

std::string CleanLogFileName(const std::string& value) {
    std::string name = value;
    for (char& c : name) {
        if (c == '"') c = ' ';
    }
    const char* space = " \t\r\n\v\f";
    size_t first = name.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    size_t last = name.find_last_not_of(space);
    return name.substr(first, last - first + 1);
}

bool CreateLoggerFromConfig(std::string* logPath) {
    if (g_config == nullptr) return false;
    try {
        std::string path =
            g_config->ResolvePath(CleanLogFileName(g_config->GetKeyValue("Logger.filename")));
        std::string levelText = g_config->GetKeyValue("Logger.level");
        g_logger = new CLogger(path, levelText);
        // The thread library cannot log by itself (the logger is built on
        // it); from now on its warnings reach the log file.
        RSLibrary::setLogHook([](int level, int line, const char* file, const char* text) {
            Log(g_logger, level, line, file, "%s", text);
        });
        if (logPath != nullptr) *logPath = path;
        return true;
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return false;
    }
}

int LoadConfigFile(const std::string& name) {
    std::string path = FindConfigFile(name);
    if (path.empty()) {
        std::fputs(CConfigDataLoader::LoadMessage(108).c_str(), stdout);
        std::fflush(stdout);
        return 0;
    }
    std::fputs(StringFormat(CConfigDataLoader::LoadMessage(109).c_str(), path.c_str()).c_str(),
               stdout);
    std::fflush(stdout);
    return LoadConfigStore(path, stdout);
}

bool InitLogger() {
    std::string path;
    if (!CreateLoggerFromConfig(&path)) {
        std::fputs("logger file name or debug level not set\r\n", stdout);
        return false;
    }
    std::printf("Log file %s\r\n", path.c_str());
    return true;
}

namespace {

// Every numeric setting and the values it works with; a configured value
// outside its range, or one that is not a whole number, ends start-up.
// Intervals are checked as written (below 100: seconds).
struct TNumericSetting {
    const char* key;
    long long min;
    long long max;
};
constexpr TNumericSetting kNumericSettings[] = {
    // 0: a port the system picks.
    {"LISTEN.PORT", 0, 65535},
    {"LISTEN.MAXCONNECTIONS", 1, 10000},
    // 0: no login time-out.
    {"LISTEN.LOGINTIMEOUT", 0, 86400},
    {"LISTEN.OUTPUTLIMIT", 65536, 17179869184},
    // 0: no soft output bound.
    {"LISTEN.OUTPUTSOFTLIMIT", 0, 17179869184},
    {"LISTEN.OUTPUTSOFTSECONDS", 0, 86400},
    {"LISTEN.MAXHANDSHAKES", 1, 100000},
    // 0: no per-source bound.
    {"LISTEN.PERSOURCEMAXSTARTUPS", 0, 100000},
    // Prefix lengths; 0: the whole family is one source.
    {"LISTEN.PERSOURCENETBLOCKV4", 0, 32},
    {"LISTEN.PERSOURCENETBLOCKV6", 0, 128},
    {"PERFORMANCE.ConnectionProcessors", 1, 1024},
    {"PERFORMANCE.EventRetriever", 1, 1024},
    // 0: no WITHIN interval (the provider's own delivery).
    {"PERFORMANCE.WT_FOR_WQ", 0, 86400},
    {"OTHERS.MinReconnectInterval", 1, 86400},
    {"OTHERS.MaxReconnectInterval", 1, 86400},
    {"OTHERS.CHECKTERMINATEFLAG", 1, 600000},
    {"OTHERS.EVENTWAITPERCONNECTION", 1, 600000},
    {"OTHERS.NUMBEROFEVENTSTOPOOL", 1, 50},
    {"OTHERS.MAXCATCHUPEVENTS", 0, 100000000},
    {"METRICS.MAXCONNECTIONS", 1, 1000},
};

// The value of text when it is a whole decimal number (blanks around it
// allowed, an optional sign); false otherwise.
bool WholeNumber(const std::string& text, long long* value) {
    const char* const blanks = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return false;
    std::string number = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    size_t digits = number[0] == '+' || number[0] == '-' ? 1 : 0;
    if (digits == number.size()) return false;
    for (size_t i = digits; i < number.size(); ++i) {
        if (number[i] < '0' || number[i] > '9') return false;
    }
    *value = DecimalPrefix(number);
    return true;
}

}  // namespace

std::string CheckNumericSettings() {
    if (g_config == nullptr) return std::string();
    for (const TNumericSetting& setting : kNumericSettings) {
        std::string text;
        try {
            text = g_config->GetKeyValue(setting.key);
        } catch (const CConfigDataLoader::EInvalidKey&) {
            continue;
        }
        long long value = 0;
        if (!WholeNumber(text, &value) || value < setting.min || value > setting.max) {
            return StringFormat("%s is not a number from %lld to %lld: \"%s\"", setting.key,
                                setting.min, setting.max, text.c_str());
        }
    }
    return std::string();
}

std::string CheckConfigFile() {
    if (g_config == nullptr) return std::string();
    for (const std::string& conflict : g_config->Conflicts()) {
        LOG(WARN, "%s is given more than once with different values; the first is used",
            conflict.c_str());
    }
    const std::vector<std::string>& faults = g_config->Faults();
    return faults.empty() ? std::string() : faults.front();
}

namespace {

// The value of `key`, or `fallback` when there is no configuration or the
// key is absent.
std::string ConfigText(const char* key, const char* fallback) {
    if (g_config == nullptr) return fallback;
    try {
        return g_config->GetKeyValue(key);
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return fallback;
    }
}

void SelectSimProvider() {
    std::string store = ConfigText("WMI.SIMSTORE", "simhosts.db");
    std::string programDir = platform::ProgramDirectory();
    wmi::SelectProvider(wmi::SimProvider(platform::IsAbsolutePath(store) || programDir.empty()
                                             ? store
                                             : platform::JoinPath(programDir, store)));
}

void SelectWsmanProvider() {
    wmi::wsman::WsmanSettings settings;
    std::string error;
    if (wmi::wsman::ReadWsmanSettings(ConfigText, settings, error)) {
        if (settings.transport.https && !settings.transport.verifyPeer) {
            LOG(WARN,
                "WSMAN.VERIFYPEER=false: the hosts' certificates are not checked; anyone on the "
                "path can pose as a host and read the credentials sent to it");
        }
        wmi::SelectProvider(wmi::wsman::WsmanProvider(settings));
    } else {
        wmi::SelectProvider(wmi::NoProvider());
    }
}

std::string CheckNoSettings() { return std::string(); }

void SelectNativeProvider() { wmi::SelectProvider(wmi::native::WmiProvider()); }

std::string CheckNativeProviderSettings() {
    return wmi::native::WmiAvailable()
               ? std::string()
               : "WMI.PROVIDER=wmi needs the WMI of Windows, which this system does not have; use "
                 "WMI.PROVIDER=sim or wsman";
}

std::string CheckWsmanProviderSettings() {
    wmi::wsman::WsmanSettings settings;
    std::string error;
    return wmi::wsman::ReadWsmanSettings(ConfigText, settings, error) ? "" : error;
}

// The management-interface providers WMI.PROVIDER may name (in any case):
// what is wrong with the provider's own settings (empty: nothing) and how it
// is selected. When the key is absent: "wmi" where the system has WMI
// (Windows), else the first row. A new provider is one more row.
struct TProviderChoice {
    const char* name;
    std::string (*check)();
    void (*select)();
};
constexpr TProviderChoice kProviders[] = {
    {"sim", CheckNoSettings, SelectSimProvider},
    {"wsman", CheckWsmanProviderSettings, SelectWsmanProvider},
    {"wmi", CheckNativeProviderSettings, SelectNativeProvider},
};

// The row WMI.PROVIDER names; null for a name that is none of them.
const TProviderChoice* ConfiguredProvider() {
    std::string name =
        ConfigText("WMI.PROVIDER", wmi::native::WmiAvailable() ? "wmi" : kProviders[0].name);
    for (const TProviderChoice& provider : kProviders) {
        if (strcasecmp(name.c_str(), provider.name) == 0) return &provider;
    }
    return nullptr;
}

}  // namespace

std::string CheckChoiceSettings() {
    if (g_config == nullptr) return std::string();
    std::string text;
    bool present = true;
    try {
        text = g_config->GetKeyValue("SSL.SSLENABLED");
    } catch (const CConfigDataLoader::EInvalidKey&) {
        present = false;
    }
    if (present && strcasecmp(text.c_str(), "true") != 0 &&
        strcasecmp(text.c_str(), "false") != 0) {
        return "SSL.SSLENABLED is neither true nor false: \"" + text + "\"";
    }
    text = ConfigText("Logger.level", "");
    int level = 0;
    if (!text.empty() && !CLogger::ParseLevel(text, &level)) {
        return "Logger.level is not a level (trace, debug, info, warn, error, fatal or 0 to 5): "
               "\"" +
               text + "\"";
    }
    if (ConfiguredProvider() == nullptr) {
        std::string names;
        for (const TProviderChoice& provider : kProviders) {
            names += names.empty() ? provider.name : std::string(", ") + provider.name;
        }
        return "WMI.PROVIDER is not one of the providers (" + names + "): \"" +
               ConfigText("WMI.PROVIDER", "") + "\"";
    }
    return std::string();
}

TListenSettings ReadListenSettings() {
    TListenSettings settings;
    if (g_config == nullptr) return settings;
    settings.error = CheckConfigFile();
    if (settings.error.empty()) settings.error = CheckNumericSettings();
    if (settings.error.empty()) settings.error = CheckChoiceSettings();
    if (settings.error.empty()) settings.error = CheckWsmanSettings();
    if (!settings.error.empty()) return settings;
    settings.port = static_cast<int>(ConfigInteger("LISTEN.PORT", kDefaultListenPort));
    try {
        settings.address = g_config->GetKeyValue("LISTEN.ADDRESS");
    } catch (const CConfigDataLoader::EInvalidKey&) {
    }
    // A refusal leaves its reason in settings.error.
    ReadTlsSettings(settings.tlsSettings, settings.error);
    settings.engine = ReadEngineOptions();
    if (settings.error.empty()) settings.kafka = ReadKafkaSettings(&settings.error);
    if (settings.error.empty()) ReadMetricsSettings(&settings.metrics, &settings.error);
    if (settings.error.empty()) settings.standing = ReadStandingSubscriptions(&settings.error);
    return settings;
}

TKafkaSettings ReadKafkaSettings(std::string* error) {
    TKafkaSettings kafka;
    if (g_config == nullptr) return kafka;
    for (const auto& [name, value] : g_config->SectionEntries("KAFKA")) {
        if (name == "BROKERS") {
            kafka.brokers = value;
        } else if (name == "TOPIC") {
            kafka.topic = value;
        } else if (name == "NOTICETOPIC") {
            kafka.noticeTopic = value;
        } else if (name == "QUEUEBYTES") {
            long long bytes = 0;
            if (!WholeNumber(value, &bytes) || bytes < 1048576 || bytes > 1099511627776) {
                *error = StringFormat(
                    "KAFKA.QUEUEBYTES is not a number from 1048576 to 1099511627776: \"%s\"",
                    value.c_str());
                return kafka;
            }
            kafka.queueBytes = static_cast<uint64_t>(bytes);
        } else if (!name.empty()) {
            std::string property = name;
            for (char& c : property) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            kafka.properties.emplace_back(property, value);
        }
    }
    if (kafka.brokers.find_first_not_of(" \t") == std::string::npos) kafka.brokers.clear();
    if (!kafka.brokers.empty() && !KafkaOutputBuilt()) {
        *error =
            "KAFKA.BROKERS is set, but this build has no Kafka output (the Windows build "
            "leaves out librdkafka): remove the [KAFKA] section";
    }
    return kafka;
}

TEngineOptions ReadEngineOptions() {
    TEngineOptions options;
    auto read = [](const char* key, int32_t fallback) {
        return static_cast<int32_t>(ConfigInteger(key, fallback));
    };
    options.connectorCount = read("PERFORMANCE.ConnectionProcessors", options.connectorCount);
    options.queryThreadCount = read("PERFORMANCE.EventRetriever", options.queryThreadCount);
    options.maxReconnectInterval =
        read("OTHERS.MaxReconnectInterval", options.maxReconnectInterval);
    options.minReconnectInterval =
        read("OTHERS.MinReconnectInterval", options.minReconnectInterval);
    options.checkTerminateMs = static_cast<int32_t>(
        IntervalMilliseconds(ConfigInteger("OTHERS.CHECKTERMINATEFLAG", options.checkTerminateMs)));
    options.withinInterval = read("PERFORMANCE.WT_FOR_WQ", options.withinInterval);
    options.maxCatchUp = ConfigInteger("OTHERS.MAXCATCHUPEVENTS", options.maxCatchUp);
    if (g_config == nullptr) return options;
    try {
        std::string stateFile = g_config->GetKeyValue("OTHERS.STATEFILE");
        std::string programDir = platform::ProgramDirectory();
        options.stateFile =
            stateFile.empty() || platform::IsAbsolutePath(stateFile) || programDir.empty()
                ? stateFile
                : platform::JoinPath(programDir, stateFile);
    } catch (const CConfigDataLoader::EInvalidKey&) {
    }
    try {
        // Both keys are read before either value is set: one absent key
        // leaves both defaults.
        long wait = DecimalPrefix(g_config->GetKeyValue("OTHERS.EVENTWAITPERCONNECTION"));
        long long batch = DecimalPrefix(g_config->GetKeyValue("OTHERS.NUMBEROFEVENTSTOPOOL"));
        options.pollTimeoutMs = static_cast<int32_t>(IntervalMilliseconds(wait));
        // The engine brings the batch into its range; a value beyond int32
        // stays beyond it.
        options.batchSize =
            static_cast<int32_t>(std::clamp<long long>(batch, INT32_MIN, INT32_MAX));
    } catch (const CConfigDataLoader::EInvalidKey&) {
    }
    return options;
}

std::string CheckWsmanSettings() {
    const TProviderChoice* provider = ConfiguredProvider();
    return provider == nullptr ? std::string() : provider->check();
}

void AbortWmiRequests() { wmi::wsman::Transport::AbortAll(true); }

void SelectWmiProvider() {
    const TProviderChoice* provider = ConfiguredProvider();
    if (provider == nullptr) {
        wmi::SelectProvider(wmi::NoProvider());
        return;
    }
    provider->select();
}

std::string ListenTarget(const TListenSettings& settings) {
    const int port = settings.tlsSettings.enabled ? settings.tlsSettings.port : settings.port;
    const std::string& address = settings.address;
    return StringFormat("%s port %d", address.empty() ? "every address" : address.c_str(), port);
}

TServerStart StartCommandServer(const TListenSettings& settings, CWmiLogEventServer** server,
                                std::string* refusal) {
    *server = nullptr;
    if (!settings.error.empty()) return TServerStart::kRefused;
    auto controller = std::make_unique<CController>(settings.engine);
    std::string error;
    if (!controller->OpenStateFile(&error)) {
        if (refusal != nullptr) *refusal = error;
        return TServerStart::kNoStateFile;
    }
    SelectWmiProvider();
    auto* built = new CWmiLogEventServer();
    built->SetController(controller.release());
    if (!settings.kafka.brokers.empty()) {
        std::string error;
        std::unique_ptr<CBroadcastSink> kafka = StartKafkaOutput(settings.kafka, &error);
        if (kafka == nullptr) {
            LOG(ERROR, "%s", error.c_str());
            if (refusal != nullptr) *refusal = error;
            delete built;
            return TServerStart::kNotSetUp;
        }
        built->AddOutput(std::move(kafka));
    }
    if (!settings.address.empty()) built->SetListenAddress(settings.address);
    const TTlsSettings& tls = settings.tlsSettings;
    // Returns only on success: a TLS set-up failure ends the process with
    // its fatal message.
    if (tls.enabled) {
        built->InitSSL(tls.certificateFile, tls.password, tls.dhFile, tls.caListFile);
    }
    if (built->Start(1000, settings.port, tls.enabled ? tls.port : 0) == 0) {
        delete built;
        return TServerStart::kNotListening;
    }
    if (!settings.metrics.address.empty()) {
        std::string error;
        if (!StartMetricsEndpoint(settings.metrics, built, &error)) {
            LOG(ERROR, "%s", error.c_str());
            if (refusal != nullptr) *refusal = error;
            built->Stop();
            delete built;
            return TServerStart::kNotSetUp;
        }
    }
    for (const TStandingSubscription& s : settings.standing) {
        // The password stays out of the log; the credential is named.
        LOG(INFO, "Standing subscription %s: %s \"%s\" %s%s%s", s.name.c_str(), s.host.c_str(),
            s.category.c_str(), s.severity.c_str(), s.credential.empty() ? "" : " as ",
            s.credential.c_str());
        const int result =
            built->AddSubscription(s.host, s.category, s.severity, s.user, s.password);
        if (result == 0) continue;
        const char* why = result == -1   ? "is the same subscription as an entry before it"
                          : result == -2 ? "names a host that is neither an address nor a name "
                                           "that resolves"
                                         : "could not be added: the engine is not running";
        std::string line =
            StringFormat("SUBSCRIPTIONS.%s %s: \"%s\"", s.name.c_str(), why, s.host.c_str());
        LOG(ERROR, "%s", line.c_str());
        if (refusal != nullptr) *refusal = line;
        built->Stop();
        delete built;
        return TServerStart::kNotSetUp;
    }
    *server = built;
    return TServerStart::kStarted;
}

void ReleaseConfigAndLogger() {
    RSLibrary::setLogHook(nullptr);
    delete g_config;
    g_config = nullptr;
    delete g_logger;
    g_logger = nullptr;
}
