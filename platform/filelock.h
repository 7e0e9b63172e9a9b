// An exclusive hold on a file, so that one process alone works on it (the
// listener's state file of resume points): while one process holds it,
// another's Acquire on the same file fails at once instead of waiting.
//
// The hold ends with Release, with the object, or when the process ends in
// any way (a kill -9 leaves no stale hold behind). It is advisory towards
// programs that do not ask for it, and it does not lock out the process's
// own other handles on the file (SQLite's connection to it keeps working).
// Owned by whoever opened the file; one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class FileLock {
  public:
    FileLock() = default;
    ~FileLock();  // Release
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Opens path for reading and writing (creating it, readable by the
    // owner and group only, when missing) and holds it exclusively. False,
    // with a one-line reason in *error ("is used by another process",
    // "cannot be opened for reading and writing: Permission denied"), when
    // the file cannot be opened so or another process holds it. A hold
    // already taken is released first.
    bool Acquire(const std::string& path, std::string* error);

    // Ends the hold and closes the file; nothing when none is held.
    void Release();

    bool Held() const { return handle_ >= 0; }

  private:
    intptr_t handle_ = -1;
};

}  // namespace platform
