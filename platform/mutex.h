// The plain (not re-entrant) lock of the platform layer, its scoped holder
// and a condition variable that waits on it. They wrap std::mutex and
// std::condition_variable and carry the thread-safety annotations, so the
// data a platform object guards can be marked GUARDED_BY its Mutex and the
// Clang build checks every access. Each lock is owned by the object that
// declares it; every member is thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }

  private:
    friend class CondVar;
    std::mutex mutex;
};

// Holds a Mutex for the life of a block.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : held(m) { held.lock(); }
    ~MutexLock() RELEASE() { held.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& held;
};

// Waits for a change made under one Mutex. The caller holds that Mutex
// around every wait and tests its condition in a loop: a wait gives the
// Mutex up while it sleeps, holds it again when it returns, and may return
// without a notification.
class CondVar {
  public:
    explicit CondVar(Mutex& m) : mutex(m) {}
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void wait() {
        std::unique_lock<std::mutex> lk(mutex.mutex, std::adopt_lock);
        cv.wait(lk);
        lk.release();
    }

    // False once the deadline has passed.
    bool waitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lk(mutex.mutex, std::adopt_lock);
        const bool notified = cv.wait_until(lk, deadline) == std::cv_status::no_timeout;
        lk.release();
        return notified;
    }

    void notifyOne() { cv.notify_one(); }
    void notifyAll() { cv.notify_all(); }

  private:
    Mutex& mutex;
    std::condition_variable cv;
};

}  // namespace platform
