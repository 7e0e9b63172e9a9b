// Waitable lock primitives behind the library's mutex and semaphore: a
// re-entrant mutex with an owner, timed waits and abandonment, and a counting
// semaphore with a maximum. Every wait reports the raw result the library
// passes on (kWaitAcquired, kWaitAbandoned, kWaitTimedOut, kWaitFailed).
//
// Owned by the library object that created them; thread-safe. A wait time
// below zero waits without limit.
//
// Abandonment: each thread keeps a record of the mutexes it owns. When a
// thread ends while it still owns one (its thread-local record is destroyed,
// or a platform::Thread routine returns), the mutex is released on its behalf
// and marked abandoned; the next waiter receives kWaitAbandoned instead of
// kWaitAcquired and owns the mutex as usual.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

constexpr uint32_t kWaitAcquired = 0x0;
constexpr uint32_t kWaitAbandoned = 0x80;
constexpr uint32_t kWaitTimedOut = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// Wait time meaning "no limit".
constexpr int32_t kWaitForever = -1;

// Something a thread can wait on with a time limit.
class Waitable {
  public:
    virtual ~Waitable() = default;

    // Waits until the object is acquired or the time has passed; returns one
    // of the kWait* results.
    virtual uint32_t wait(int32_t milliseconds) = 0;
};

// A re-entrant mutex with an owner. The owner may wait again without
// blocking and must release as many times.
class WaitableMutex final : public Waitable {
  public:
    WaitableMutex();
    ~WaitableMutex() override;
    WaitableMutex(const WaitableMutex&) = delete;
    WaitableMutex& operator=(const WaitableMutex&) = delete;

    // kWaitAcquired, kWaitAbandoned (the previous owner ended without
    // releasing; the caller now owns the mutex) or kWaitTimedOut.
    uint32_t wait(int32_t milliseconds) override;

    // Gives up one level of ownership; false (and nothing changes) when the
    // calling thread does not own the mutex.
    bool release();

    struct State;

  private:
    std::shared_ptr<State> state;
};

// A counting semaphore with a maximum and no owner: any thread may release.
class WaitableSemaphore final : public Waitable {
  public:
    // Requires 0 <= initialCount <= maximumCount and maximumCount > 0;
    // otherwise valid() is false and every wait fails.
    WaitableSemaphore(int32_t initialCount, int32_t maximumCount);
    ~WaitableSemaphore() override;
    WaitableSemaphore(const WaitableSemaphore&) = delete;
    WaitableSemaphore& operator=(const WaitableSemaphore&) = delete;

    bool valid() const { return valid_; }

    // Takes one count: kWaitAcquired or kWaitTimedOut (kWaitFailed when not
    // valid).
    uint32_t wait(int32_t milliseconds) override;

    // Adds count (> 0) to the count. Refused, with nothing changed, when the
    // result would pass the maximum.
    bool release(int32_t count);

    struct State;

  private:
    bool valid_;
    std::unique_ptr<State> state;
};

// Releases, as abandoned, every WaitableMutex the calling thread still owns.
// Called by a thread that is about to end; idempotent.
void abandonMutexesOfCurrentThread();

}  // namespace platform
