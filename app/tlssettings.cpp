#include "app/tlssettings.h"

#include <strings.h>

#include "base/configdataloader.h"

namespace {

// The value of a key, or false when the key is absent.
bool Read(const char* key, std::string& value) {
    try {
        value = g_config->GetKeyValue(key);
        return true;
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return false;
    }
}

}  // namespace

bool ReadTlsSettings(TTlsSettings& settings, std::string& error) {
    settings = TTlsSettings();
    error.clear();
    std::string enabled;
    if (g_config == nullptr || !Read("SSL.SSLENABLED", enabled) ||
        strcasecmp(enabled.c_str(), "true") != 0) {
        return true;
    }
    settings.enabled = true;

    const char* const required[] = {"SSL.SSLPORT", "SSL.SERVERCERTFILE", "SSL.SERVERCERTPASSWORD",
                                    "SSL.DHFILE", "SSL.CALIST"};
    std::string values[5];
    for (int i = 0; i < 5; ++i) {
        if (!Read(required[i], values[i])) {
            error = std::string("SSL.SSLENABLED is true but ") + required[i] + " is not set";
            return false;
        }
    }
    settings.port = static_cast<int>(DecimalPrefix(values[0]) & 0xFFFF);
    if (settings.port == 0) {
        error = "SSL.SSLPORT is not a port number (1 to 65535): \"" + values[0] + "\"";
        return false;
    }
    settings.certificateFile = g_config->ResolvePath(values[1]);
    settings.password = values[2];
    settings.dhFile = g_config->ResolvePath(values[3]);
    settings.caListFile = g_config->ResolvePath(values[4]);
    return true;
}
