// DESIGN
// Windows paths: names are kept in UTF-8 here and handed to the wide
// (UTF-16) calls of the system, so any file name works whatever the ANSI
// code page. A name is absolute when it has a drive and a separator
// ("C:\x", "C:/x") or starts with a separator: "\\host\x" (UNC) or "\x",
// which names the root of the current drive and is not taken against the
// current directory. Both '\' and '/' separate; the forms made here use '\'. The fallback
// configuration directory is the Windows directory (GetWindowsDirectory),
// or QUELLON_SYSCONFDIR when it is set.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/paths.h"
#include "platform/text.h"

namespace platform {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::wstring Wide(const std::string& text) {
    std::u16string utf16 = Utf8ToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(const wchar_t* text, size_t length) {
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

}  // namespace

std::string ProgramPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::string();
        if (n < buffer.size()) return Narrow(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::string ProgramDirectory() {
    std::string path = ProgramPath();
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash + 1);
}

bool IsAbsolutePath(const std::string& name) {
    if (!name.empty() && IsSeparator(name[0])) return true;
    return name.size() >= 3 && name[1] == ':' && IsSeparator(name[2]) &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

std::string FallbackConfigDirectory() {
    const char* dir = std::getenv("QUELLON_SYSCONFDIR");
    if (dir != nullptr && dir[0] != '\0') return dir;
    wchar_t buffer[MAX_PATH];
    UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "C:\\Windows";
    return Narrow(buffer, n);
}

std::string CurrentDirectory() {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::string();
    std::vector<wchar_t> buffer(needed + 1);
    DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n == 0 || n >= buffer.size()) return std::string();
    return Narrow(buffer.data(), n);
}

bool ChangeDirectory(const std::string& dir) {
    return !dir.empty() && SetCurrentDirectoryW(Wide(dir).c_str()) != 0;
}

bool FileExists(const std::string& path) {
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (IsSeparator(dir.back())) return dir + name;
    return dir + "\\" + name;
}

std::string FullPath(const std::string& name) {
    if (name.empty()) return CurrentDirectory();
    std::wstring wide = Wide(name);
    DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return std::string();
    std::vector<wchar_t> buffer(needed + 1);
    DWORD n =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0 || n >= buffer.size()) return std::string();
    return Narrow(buffer.data(), n);
}

}  // namespace platform
