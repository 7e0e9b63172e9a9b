#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file.h"

namespace platform {

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path) {
    Close();
    if (path.empty()) return false;
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

long AppendFile::Size() const {
    if (handle_ < 0) return 0;
    struct stat st;
    if (fstat(static_cast<int>(handle_), &st) != 0) return -1;
    return static_cast<long>(st.st_size);
}

bool AppendFile::Write(const char* data, size_t length) {
    if (handle_ < 0) return false;
    while (length > 0) {
        ssize_t written = ::write(static_cast<int>(handle_), data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

void AppendFile::Sync() {
    if (handle_ >= 0) fsync(static_cast<int>(handle_));
}

void AppendFile::Close() {
    if (handle_ < 0) return;
    close(static_cast<int>(handle_));
    handle_ = -1;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace platform
