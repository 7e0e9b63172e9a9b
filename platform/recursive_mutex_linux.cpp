#include <pthread.h>

#include <new>

#include "platform/recursive_mutex.h"

namespace platform {
namespace {

pthread_mutex_t* Native(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

}  // namespace

RecursiveMutex::RecursiveMutex() {
    static_assert(sizeof(pthread_mutex_t) <= kStorageSize, "pthread_mutex_t does not fit");
    static_assert(alignof(pthread_mutex_t) <= 16, "pthread_mutex_t needs a larger alignment");
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return;
    pthread_mutex_t* mutex = new (storage_) pthread_mutex_t;
    if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
        pthread_mutex_init(mutex, &attr) == 0) {
        valid_ = true;
    }
    pthread_mutexattr_destroy(&attr);
}

RecursiveMutex::~RecursiveMutex() {
    if (valid_) pthread_mutex_destroy(Native(storage_));
}

void RecursiveMutex::lock() { pthread_mutex_lock(Native(storage_)); }
void RecursiveMutex::unlock() { pthread_mutex_unlock(Native(storage_)); }
bool RecursiveMutex::tryLock() { return pthread_mutex_trylock(Native(storage_)) == 0; }

}  // namespace platform
