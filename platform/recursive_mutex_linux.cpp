#include "platform/recursive_mutex.h"

namespace platform {

RecursiveMutex::RecursiveMutex() {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return;
    if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
        pthread_mutex_init(&mutex_, &attr) == 0) {
        valid_ = true;
    }
    pthread_mutexattr_destroy(&attr);
}

RecursiveMutex::~RecursiveMutex() {
    if (valid_) pthread_mutex_destroy(&mutex_);
}

void RecursiveMutex::lock() { pthread_mutex_lock(&mutex_); }
void RecursiveMutex::unlock() { pthread_mutex_unlock(&mutex_); }
bool RecursiveMutex::tryLock() { return pthread_mutex_trylock(&mutex_) == 0; }

}  // namespace platform
