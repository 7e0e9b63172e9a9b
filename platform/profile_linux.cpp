#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/profile.h"

namespace platform {
namespace {

constexpr const char* kSpace = " \t\r\n\v\f";

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

struct Section {
    std::string name;
    std::vector<std::string> entries;
};

// Sections of the file in order of first appearance, repeated sections merged.
std::vector<Section> ParseFile(const std::string& fileName) {
    std::vector<Section> sections;
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return sections;
    std::stringstream whole;
    whole << in.rdbuf();
    std::string content = whole.str();
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);

    Section* current = nullptr;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        // An entry is handed over as a C string: it ends at an embedded NUL.
        size_t nul = line.find('\0');
        if (nul != std::string::npos) line.erase(nul);
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name =
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            current = nullptr;
            // A section without a name could not be listed (an empty string
            // ends the list); its entries are ignored like those before the
            // first section.
            if (name.empty()) continue;
            for (Section& s : sections) {
                if (SameName(s.name, name)) current = &s;
            }
            if (current == nullptr) {
                sections.push_back(Section{name, {}});
                current = &sections.back();
            }
            continue;
        }
        if (current == nullptr) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            current->entries.push_back(line);
        } else {
            std::string name = Trim(line.substr(0, eq));
            std::string value = Trim(line.substr(eq + 1));
            current->entries.push_back(name + "=" + value);
        }
    }
    return sections;
}

size_t FillList(const std::vector<std::string>& items, char* buffer, size_t size, size_t* needed) {
    size_t required = 1;
    for (const std::string& item : items) required += item.size() + 1;
    if (needed != nullptr) *needed = required;
    if (buffer == nullptr || size == 0) return 0;
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    size_t used = 0;
    bool cut = false;
    for (const std::string& item : items) {
        // Room must stay for this string's NUL and the list's final NUL.
        if (used + item.size() + 1 > size - 1) {
            cut = true;
            break;
        }
        std::memcpy(buffer + used, item.data(), item.size());
        used += item.size();
        buffer[used++] = '\0';
    }
    buffer[used] = '\0';
    if (used + 1 < size) buffer[used + 1] = '\0';
    return cut ? size - 2 : used;
}

}  // namespace

size_t ReadProfileSectionNames(char* buffer, size_t size, const std::string& fileName,
                               size_t* needed) {
    std::vector<std::string> names;
    for (const Section& s : ParseFile(fileName)) names.push_back(s.name);
    return FillList(names, buffer, size, needed);
}

size_t ReadProfileSection(const std::string& section, char* buffer, size_t size,
                          const std::string& fileName, size_t* needed) {
    for (const Section& s : ParseFile(fileName)) {
        if (SameName(s.name, section)) return FillList(s.entries, buffer, size, needed);
    }
    return FillList({}, buffer, size, needed);
}

}  // namespace platform
