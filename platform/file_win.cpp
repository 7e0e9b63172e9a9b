// DESIGN
// The log's file is a Win32 file handle opened for appending
// (FILE_APPEND_DATA), shared for reading, writing and deletion so that a
// rotation may rename it while another reader has it open, and not
// inherited. Names are UTF-8, handed to the wide calls.
#include <windows.h>

#include "platform/file.h"
#include "platform/text.h"

namespace platform {

namespace {

std::wstring Wide(const std::string& text) {
    std::u16string utf16 = Utf8ToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}

HANDLE Native(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path) {
    Close();
    if (path.empty()) return false;
    HANDLE file = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

long AppendFile::Size() const {
    if (handle_ < 0) return 0;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(Native(handle_), &size)) return -1;
    return static_cast<long>(size.QuadPart);
}

bool AppendFile::Write(const char* data, size_t length) {
    if (handle_ < 0) return false;
    while (length > 0) {
        DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(Native(handle_), data, chunk, &written, nullptr)) return false;
        data += written;
        length -= written;
    }
    return true;
}

void AppendFile::Sync() {
    if (handle_ >= 0) FlushFileBuffers(Native(handle_));
}

void AppendFile::Close() {
    if (handle_ < 0) return;
    CloseHandle(Native(handle_));
    handle_ = -1;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(Wide(path).c_str()) != 0; }

}  // namespace platform
