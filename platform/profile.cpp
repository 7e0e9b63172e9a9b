#include "platform/profile.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

constexpr const char* kSpace = " \t\r\n\v\f";

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

// Section names compare without regard to ASCII case: they are looked up
// by their upper-cased form.
std::string NameKey(std::string name) {
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}

struct Section {
    std::string name;
    std::vector<std::string> entries;
};

}  // namespace

// Sections in order of first appearance, repeated sections merged; the index
// maps a section's upper-cased name to its place.
struct ProfileFile::Parsed {
    std::vector<Section> sections;
    std::unordered_map<std::string, size_t> index;
    std::vector<ProfileFault> faults;
};

namespace {

// Reads and parses the whole file in one pass.
void ParseFile(const std::string& fileName, std::vector<Section>& sections,
               std::unordered_map<std::string, size_t>& index, std::vector<ProfileFault>& faults) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return;
    std::stringstream whole;
    whole << in.rdbuf();
    std::string content = whole.str();
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);

    Section* current = nullptr;
    bool sectionSeen = false;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        // An entry is handed over as a C string: it ends at an embedded NUL,
        // which is reported, since the rest of the line is lost.
        size_t nul = line.find('\0');
        if (nul != std::string::npos) line.erase(nul);
        line = Trim(line);
        auto entryName = [&line] {
            size_t eq = line.find('=');
            return eq == std::string::npos ? line : Trim(line.substr(0, eq));
        };
        bool comment = !line.empty() && (line[0] == ';' || line[0] == '#');
        if (nul != std::string::npos && !comment) {
            faults.push_back({ProfileFault::Kind::kNulByte,
                              current != nullptr ? current->name : std::string(), entryName()});
        }
        if (line.empty() || comment) continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name =
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            current = nullptr;
            sectionSeen = true;
            // A section without a name could not be listed (an empty string
            // ends the list); its entries are ignored like those before the
            // first section.
            if (name.empty()) continue;
            auto [place, added] = index.emplace(NameKey(name), sections.size());
            if (added) sections.push_back(Section{name, {}});
            current = &sections[place->second];
            continue;
        }
        if (current == nullptr) {
            if (!sectionSeen) {
                faults.push_back({ProfileFault::Kind::kBeforeSection, std::string(), entryName()});
            }
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            current->entries.push_back(line);
        } else {
            std::string name = Trim(line.substr(0, eq));
            std::string value = Trim(line.substr(eq + 1));
            current->entries.push_back(name + "=" + value);
        }
    }
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

ProfileFile::ProfileFile(const std::string& fileName) {
    auto reading = std::make_unique<Parsed>();
    ParseFile(fileName, reading->sections, reading->index, reading->faults);
    parsed = std::move(reading);
}

ProfileFile::~ProfileFile() = default;

size_t ProfileFile::ReadSectionNames(char* buffer, size_t size, size_t* needed) const {
    std::vector<std::string> names;
    names.reserve(parsed->sections.size());
    for (const Section& s : parsed->sections) names.push_back(s.name);
    return FillList(names, buffer, size, needed);
}

size_t ProfileFile::ReadSection(const std::string& section, char* buffer, size_t size,
                                size_t* needed) const {
    auto found = parsed->index.find(NameKey(section));
    if (found == parsed->index.end()) return FillList({}, buffer, size, needed);
    return FillList(parsed->sections[found->second].entries, buffer, size, needed);
}

const std::vector<ProfileFault>& ProfileFile::Faults() const { return parsed->faults; }

size_t ReadProfileSectionNames(char* buffer, size_t size, const std::string& fileName,
                               size_t* needed) {
    return ProfileFile(fileName).ReadSectionNames(buffer, size, needed);
}

size_t ReadProfileSection(const std::string& section, char* buffer, size_t size,
                          const std::string& fileName, size_t* needed) {
    return ProfileFile(fileName).ReadSection(section, buffer, size, needed);
}

}  // namespace platform
