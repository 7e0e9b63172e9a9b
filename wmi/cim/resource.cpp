#include "wmi/cim/resource.h"

namespace wmi::cim {

bool SplitResource(const std::string& resource, std::string& host, std::string& nameSpace) {
    auto isSlash = [](char c) { return c == '\\' || c == '/'; };
    if (resource.size() < 2 || !isSlash(resource[0]) || !isSlash(resource[1])) return false;
    size_t end = 2;
    while (end < resource.size() && !isSlash(resource[end])) ++end;
    host = resource.substr(2, end - 2);
    nameSpace = end < resource.size() ? resource.substr(end + 1) : std::string();
    for (char& c : nameSpace) {
        if (c == '/') c = '\\';
    }
    return true;
}

}  // namespace wmi::cim
