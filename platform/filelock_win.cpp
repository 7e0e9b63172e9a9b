// DESIGN
// The file is opened with every sharing mode, so the process's other
// handles (SQLite's) keep working, and the hold is a lock of one byte far
// beyond any data (LockFileEx, exclusive, failing at once). Windows' byte
// locks are mandatory, so the byte is one SQLite never reads or locks (its
// own lock bytes lie at 1 GiB); the system releases the lock when the handle
// closes or the process ends.
#include <windows.h>

#include "platform/filelock.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

HANDLE Native(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

FileLock::~FileLock() { Release(); }

bool FileLock::Acquire(const std::string& path, std::string* error) {
    Release();
    std::u16string wide = Utf8ToUtf16(path);
    HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (error != nullptr) {
            *error = "cannot be opened for reading and writing: system error " +
                     std::to_string(GetLastError());
        }
        return false;
    }
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD saved = GetLastError();
        CloseHandle(file);
        if (error != nullptr) {
            *error = saved == ERROR_LOCK_VIOLATION
                         ? std::string("is used by another process")
                         : "cannot be locked: system error " + std::to_string(saved);
        }
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

void FileLock::Release() {
    if (handle_ < 0) return;
    CloseHandle(Native(handle_));  // ends the hold
    handle_ = -1;
}

}  // namespace platform
