// A re-entrant lock: the owning thread may take it again and must release it
// as many times. This is what stands behind the library's critical section.
#pragma once

#include <cstddef>

namespace platform {

class RecursiveMutex {
  public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    // False when the underlying mutex could not be created; the object must
    // then not be locked.
    bool valid() const { return valid_; }

    void lock();
    void unlock();
    bool tryLock();

  private:
    // The system's lock object lives in this storage (no allocation per lock;
    // each implementation checks that its object fits).
    static constexpr size_t kStorageSize = 64;
    alignas(16) unsigned char storage_[kStorageSize];
    bool valid_ = false;
};

}  // namespace platform
