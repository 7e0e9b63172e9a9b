#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/filelock.h"

namespace platform {

FileLock::~FileLock() { Release(); }

// flock, not fcntl: an fcntl lock belongs to the process and would be lost
// when any descriptor of the file closes (SQLite opens and closes its own);
// an flock hold belongs to this descriptor alone and ends with it.
bool FileLock::Acquire(const std::string& path, std::string* error) {
    Release();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        const int saved = errno;
        if (error != nullptr) {
            *error = std::string("cannot be opened for reading and writing: ") + strerror(saved);
        }
        return false;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int saved = errno;
        close(fd);
        if (error != nullptr) {
            *error = saved == EWOULDBLOCK ? std::string("is used by another process")
                                          : std::string("cannot be locked: ") + strerror(saved);
        }
        return false;
    }
    handle_ = fd;
    return true;
}

void FileLock::Release() {
    if (handle_ < 0) return;
    close(static_cast<int>(handle_));  // ends the hold
    handle_ = -1;
}

}  // namespace platform
