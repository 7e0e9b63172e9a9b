// A re-entrant lock: the owning thread may take it again and must release it
// as many times. This is what stands behind the library's critical section.
#pragma once

#include <pthread.h>

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
    pthread_mutex_t mutex_;
    bool valid_ = false;
};

}  // namespace platform
