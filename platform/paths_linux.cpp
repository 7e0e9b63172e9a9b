#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/paths.h"

namespace platform {

std::string ProgramPath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::string ProgramDirectory() {
    std::string path = ProgramPath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash + 1);
}

bool IsAbsolutePath(const std::string& name) { return !name.empty() && name[0] == '/'; }

std::string FallbackConfigDirectory() {
    const char* dir = std::getenv("QUELLON_SYSCONFDIR");
    if (dir != nullptr && dir[0] != '\0') return dir;
    return "/etc";
}

std::string CurrentDirectory() {
    std::vector<char> buffer(4096);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
        if (errno != ERANGE) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

bool ChangeDirectory(const std::string& dir) { return !dir.empty() && chdir(dir.c_str()) == 0; }

bool FileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string FullPath(const std::string& name) {
    std::string raw;
    if (IsAbsolutePath(name)) {
        raw = name;
    } else {
        std::string cwd = CurrentDirectory();
        if (cwd.empty()) return std::string();
        raw = JoinPath(cwd, name);
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= raw.size()) {
        size_t slash = raw.find('/', pos);
        if (slash == std::string::npos) slash = raw.size();
        std::string part = raw.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    if (parts.empty()) return std::string(1, '/');
    std::string full;
    for (const std::string& part : parts) {
        full.push_back('/');
        full.append(part);
    }
    // A trailing '/' of the name names a directory; keep it.
    if (raw.back() == '/') full.push_back('/');
    return full;
}

}  // namespace platform
