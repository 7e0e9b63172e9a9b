#include "base/secretmask.h"

namespace {

const char* const kBlanks = " \t";

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

bool NamesSecret(const std::string& entryName) {
    const std::string name = Upper(entryName);
    for (const char* word : {"PASSWORD", "SECRET", "TOKEN", "KEY"}) {
        if (name.find(word) != std::string::npos) return true;
    }
    return name == "SASL.JAAS.CONFIG" || EndsWith(name, "OAUTHBEARER.CONFIG");
}

std::string KeepWords(const std::string& value, size_t kept) {
    const std::string masked = "****";
    size_t at = value.find_first_not_of(kBlanks);
    for (size_t words = 0; at != std::string::npos; ++words) {
        if (words == kept) return value.substr(0, at) + masked;
        size_t end;
        if (value[at] == '"') {
            size_t close = value.find('"', at + 1);
            if (close == std::string::npos) return value.substr(0, at) + masked;
            end = value.find_first_of(kBlanks, close + 1);
        } else {
            end = value.find_first_of(kBlanks, at);
        }
        at = end == std::string::npos ? end : value.find_first_not_of(kBlanks, end);
    }
    return value;
}
