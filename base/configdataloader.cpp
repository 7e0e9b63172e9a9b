#include "base/configdataloader.h"

#include <climits>
#include <cstring>
#include <vector>

#include "base/secretmask.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "resources/messages.h"

CConfigDataLoader* g_config = nullptr;

namespace {

// Read buffers start at 5000 bytes and grow by 2000; a list that would need
// a buffer of 20000 bytes or more (so more than 19000) is refused.
constexpr size_t kFirstBufferSize = 5000;
constexpr size_t kBufferGrowth = 2000;
constexpr size_t kBufferLimit = 20000;

std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

CConfigDataLoader::CConfigDataLoader(const std::string& name) : fileName(name) {}

CConfigDataLoader::~CConfigDataLoader() = default;

size_t CConfigDataLoader::ReadSectionNames(char* buffer, size_t size, size_t* needed) {
    if (reading != nullptr) return reading->ReadSectionNames(buffer, size, needed);
    return platform::ReadProfileSectionNames(buffer, size, fileName, needed);
}

size_t CConfigDataLoader::ReadSection(const std::string& section, char* buffer, size_t size,
                                      size_t* needed) {
    if (reading != nullptr) return reading->ReadSection(section, buffer, size, needed);
    return platform::ReadProfileSection(section, buffer, size, fileName, needed);
}

int CConfigDataLoader::Load() {
    pairs.clear();
    faults.clear();
    conflicts.clear();

    // The file is read once; every list of this load comes from that reading
    // (asking the file afresh for each of n sections costs n readings).
    platform::ProfileFile file(fileName);
    reading = &file;
    struct EndOfLoad {
        const platform::ProfileFile*& reading;
        ~EndOfLoad() { reading = nullptr; }
    } endOfLoad{reading};

    // One buffer size serves the whole load: it grows whenever a list does
    // not fit, and later lists start from the grown size.
    size_t size = kFirstBufferSize;
    auto readWhole = [&size](std::vector<char>& buffer, const auto& read) {
        size_t needed = 0;
        buffer.assign(size, '\0');
        read(buffer.data(), size, &needed);
        while (needed > size) {
            size += kBufferGrowth;
            if (size >= kBufferLimit) throw ELargeFile();
            buffer.assign(size, '\0');
            read(buffer.data(), size, &needed);
        }
    };

    std::vector<char> names;
    readWhole(names, [this](char* buffer, size_t length, size_t* needed) {
        ReadSectionNames(buffer, length, needed);
    });
    for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
        std::vector<char> entries;
        readWhole(entries, [this, name](char* buffer, size_t length, size_t* needed) {
            ReadSection(name, buffer, length, needed);
        });
        ParseSection(name, entries.data());
    }
    for (const platform::ProfileFault& fault : file.Faults()) {
        std::string key = fault.section.empty() ? fault.name : fault.section + "." + fault.name;
        // A line that is nothing but a NUL byte and what follows it.
        if (fault.name.empty()) {
            key = fault.section.empty() ? "a line" : "a line of [" + fault.section + "]";
        }
        switch (fault.kind) {
            case platform::ProfileFault::Kind::kNulByte:
                faults.push_back(key + " holds a NUL byte");
                break;
            case platform::ProfileFault::Kind::kBeforeSection:
                faults.push_back(key + " is set before any [section]");
                break;
        }
    }
    return 1;
}

void CConfigDataLoader::SplitPair(const std::string& entry, std::string& name, std::string& value) {
    size_t eq = entry.find('=');
    if (eq == 0) throw EInvalidKeyValuePair();
    if (eq == std::string::npos) {
        name.clear();
        value = entry;
        return;
    }
    name = entry.substr(0, eq);
    value = entry.substr(eq + 1);
}

void CConfigDataLoader::ParseSection(const std::string& section, const char* entries) {
    for (const char* entry = entries; *entry != '\0'; entry += std::strlen(entry) + 1) {
        std::string name;
        std::string value;
        SplitPair(entry, name, value);
        // The first occurrence of a key wins; emplace leaves it in place.
        auto [place, added] = pairs.emplace(UpperCase(section + "." + name), value);
        if (!added && place->second != value) {
            std::string conflict = section + "." + name;
            bool known = false;
            for (const std::string& seen : conflicts) known = known || seen == conflict;
            if (!known) conflicts.push_back(conflict);
        }
    }
}

std::string CConfigDataLoader::GetKeyValue(const std::string& key) const {
    auto found = pairs.find(UpperCase(key));
    if (found == pairs.end()) throw EInvalidKey();
    return found->second;
}

std::string CConfigDataLoader::ListPairs() const {
    std::string text;
    for (const auto& [key, value] : pairs) text += key + "=" + value + ",";
    return text;
}

std::string CConfigDataLoader::ListPairsMasked() const {
    std::string text;
    for (const auto& [key, value] : pairs) {
        const size_t dot = key.find('.');
        const std::string name = dot == std::string::npos ? key : key.substr(dot + 1);
        // An entry written without "=" has no name and keeps its whole line
        // as the value; a line such as "PASSWORD secret" is still a secret.
        bool secret = NamesSecret(name) || (name.empty() && NamesSecret(value));
        // A credential's value is "user password"; METRICS.TOKEN names a
        // secret as it is.
        if (key.rfind("CREDENTIALS.", 0) == 0) secret = true;
        std::string shown = secret ? std::string("****") : value;
        // A standing subscription is "host category severity [credential]";
        // a word past those is a mistake, most likely a password.
        if (!secret && key.rfind("SUBSCRIPTIONS.", 0) == 0) shown = KeepWords(value, 4);
        text += key + "=" + shown + ",";
    }
    return text;
}

std::vector<std::pair<std::string, std::string>> CConfigDataLoader::SectionEntries(
    const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    const std::string prefix = UpperCase(section) + ".";
    for (auto it = pairs.lower_bound(prefix); it != pairs.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        entries.emplace_back(it->first.substr(prefix.size()), it->second);
    }
    return entries;
}

std::string CConfigDataLoader::ResolvePath(const std::string& name) const {
    std::string programDir = platform::ProgramDirectory();
    if (!programDir.empty()) platform::ChangeDirectory(programDir);
    std::string full = platform::FullPath(name);
    return full.empty() ? platform::JoinPath(programDir, name) : full;
}

std::string CConfigDataLoader::LoadMessage(int id) {
    const char* text = resources::FindMessage(id);
    return text == nullptr ? std::string() : std::string(text);
}

long long DecimalPrefix(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate towards the sign so that LLONG_MIN is reachable; values
    // beyond the range stop at its bound.
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (negative) {
            if (value < (LLONG_MIN + digit) / 10) return LLONG_MIN;
            value = value * 10 - digit;
        } else {
            if (value > (LLONG_MAX - digit) / 10) return LLONG_MAX;
            value = value * 10 + digit;
        }
    }
    return value;
}

long long ConfigInteger(const char* key, long long defaultValue) {
    if (g_config == nullptr) return defaultValue;
    try {
        return DecimalPrefix(g_config->GetKeyValue(key));
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return defaultValue;
    }
}
