#include "app/startup.h"

#include <cstring>

#include "app/configdataloader.h"
#include "app/logger.h"
#include "app/stringformat.h"
#include "platform/paths.h"
#include "serverframework/abstractthread.h"

const char* const kDefaultConfigName = "quellon.ini";

std::string VersionBanner() {
    std::string format = CConfigDataLoader::LoadMessage(105);
    std::string version = CConfigDataLoader::LoadMessage(106);
    return StringFormat(format.c_str(), version.c_str(), __DATE__);
}

const char* BuildTime() { return __TIME__; }

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

TListenSettings ReadListenSettings() {
    TListenSettings settings;
    if (g_config == nullptr) return settings;
    settings.port = static_cast<int>(ConfigInteger("LISTEN.PORT", kDefaultListenPort));
    try {
        settings.address = g_config->GetKeyValue("LISTEN.ADDRESS");
    } catch (const CConfigDataLoader::EInvalidKey&) {
    }
    // A refusal leaves its reason in settings.error.
    ReadTlsSettings(settings.tlsSettings, settings.error);
    return settings;
}

void ReleaseConfigAndLogger() {
    RSLibrary::setLogHook(nullptr);
    delete g_config;
    g_config = nullptr;
    delete g_logger;
    g_logger = nullptr;
}
