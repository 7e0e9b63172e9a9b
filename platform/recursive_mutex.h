// A re-entrant lock: the owning thread may take it again and must release it
// as many times. This is what stands behind the library's critical section
// and the logger's write lock. Annotated for the thread-safety analysis like
// the plain lock (platform/mutex.h), with a scoped holder of its own.
#pragma once

#include <cstddef>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") RecursiveMutex {
  public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    // False when the underlying mutex could not be created; the object must
    // then not be locked.
    bool valid() const { return valid_; }

    void lock() ACQUIRE();
    void unlock() RELEASE();
    bool tryLock() TRY_ACQUIRE(true);

  private:
    // The system's lock object lives in this storage (no allocation per lock;
    // each implementation checks that its object fits).
    static constexpr size_t kStorageSize = 64;
    alignas(16) unsigned char storage_[kStorageSize];
    bool valid_ = false;
};

// Holds one level of a RecursiveMutex for the life of a block.
class SCOPED_CAPABILITY RecursiveMutexLock {
  public:
    explicit RecursiveMutexLock(RecursiveMutex& m) ACQUIRE(m) : held(m) { held.lock(); }
    ~RecursiveMutexLock() RELEASE() { held.unlock(); }
    RecursiveMutexLock(const RecursiveMutexLock&) = delete;
    RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

  private:
    RecursiveMutex& held;
};

}  // namespace platform
