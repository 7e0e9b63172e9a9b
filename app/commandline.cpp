#include "app/commandline.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMaxSwitchLength = 256;

}  // namespace

bool CCommandLineArgs::IsSwitch(const char* argument) {
    return argument != nullptr && argument[0] == '-' && argument[1] != '\0' &&
           !(argument[1] >= '0' && argument[1] <= '9');
}

bool CCommandLineArgs::Validate(int argc, const char* const* argv) const {
    std::fputs("Validating command line arguments.\r\n", stdout);
    int i = 1;
    while (i < argc) {
        if (!IsSwitch(argv[i])) {
            ++i;  // before the first switch: not counted
            continue;
        }
        if (std::strlen(argv[i]) > kMaxSwitchLength) return false;
        size_t sum = 0;
        for (++i; i < argc && !IsSwitch(argv[i]); ++i) {
            if (argv[i] != nullptr) sum += std::strlen(argv[i]);
            if (sum > kMaxSwitchLength) return false;
        }
    }
    std::fputs("Validation of command line arguments is successful.\r\n\n", stdout);
    return true;
}

int CCommandLineArgs::Parse(int argc, const char* const* argv) {
    options.clear();
    std::string current;
    for (int i = 1; i < argc; ++i) {
        if (IsSwitch(argv[i])) {
            current = argv[i];
            std::vector<std::string> values;
            if (i + 1 < argc && !IsSwitch(argv[i + 1])) {
                ++i;
                if (argv[i] != nullptr && argv[i][0] != '\0') values.push_back(argv[i]);
            }
            // A repeated switch leaves the first occurrence's list in place.
            options.emplace(current, std::move(values));
        } else if (argv[i] != nullptr) {
            auto found = options.find(current);
            if (found != options.end()) found->second.push_back(argv[i]);
        }
    }
    return static_cast<int>(options.size());
}

bool CCommandLineArgs::HasSwitch(const std::string& name) const {
    return options.find(name) != options.end();
}

std::string CCommandLineArgs::GetValue(const std::string& name, size_t index,
                                       const std::string& defaultValue) const {
    auto found = options.find(name);
    if (found == options.end() || index >= found->second.size()) return defaultValue;
    return found->second[index];
}
