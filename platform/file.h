// Files by name, as the log needs them: an append-only file that is opened
// (created when missing), sized, written to, flushed to the disk and closed;
// renaming and removing by name.
//
// An AppendFile is used by one thread at a time (its owner serialises the
// calls); the free functions are thread-safe. Failures are reported as false
// (or -1 for a size) and never end the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class AppendFile {
  public:
    AppendFile() = default;
    // Closes the file (Close).
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens path for appending, creating it when missing readable and
    // writable by the owner, readable by the owner's group and closed to
    // everyone else (the log holds addresses, user names and commands); a
    // file already open is closed first. The
    // file is not inherited by programs this process starts. False when path
    // is empty or the file cannot be opened.
    bool Open(const std::string& path);

    bool IsOpen() const { return handle_ >= 0; }

    // The file's size in bytes: 0 when no file is open, -1 when it cannot be
    // read.
    long Size() const;

    // Appends all length bytes, going on after partial writes and
    // interruptions. False when a write failed (what went before it stays
    // written) or no file is open.
    bool Write(const char* data, size_t length);

    // Hands what was written to the disk before returning.
    void Sync();

    // Closes the file; without an open file, nothing.
    void Close();

  private:
    intptr_t handle_ = -1;
};

// Renames from to to, replacing an existing to. False on failure.
bool RenameFile(const std::string& from, const std::string& to);

// Removes the file. False when it did not exist or cannot be removed.
bool RemoveFile(const std::string& path);

}  // namespace platform
