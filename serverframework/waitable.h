// RSLibrary's waitable lock objects: the re-entrant mutex inside every thread
// object and the counting semaphore that wakes the job-queue consumers. Both
// wrap one platform object (platform/waitable.h) and support timed waits that
// return the raw platform result. Each is owned by the object that embeds it;
// every member is thread-safe.
//
// Objects never raise from their constructor: when the platform object
// cannot be created the handle stays null, isInitialized() is false, every
// wait reports kWaitFailed and lock() raises (see below).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/thread_annotations.h"
#include "platform/waitable.h"
#include "serverframework/synchronization.h"

namespace RSLibrary {

// Base of the mutex and the semaphore: a platform wait handle, a slice time
// and a time-out handler for lock(). Slot order after the inherited three:
// wait, getHandle, getTimeout, setTimeout, getTimeoutHandler,
// setTimeoutHandler.
class CAPABILITY("mutex") RSWaitableSynchronizationObject : public RSSynchronizationObject {
  public:
    // Called by lock() with the object each time a slice passes without the
    // object being acquired.
    using TimeoutHandler = void (*)(RSWaitableSynchronizationObject* object);

    void unLock() override RELEASE() = 0;

    // Waits in slices of getTimeout() ms (without limit when the timeout is 0
    // and no handler is set), calling the handler after each slice that
    // passes. Raises the plain text "SOMETHING" (const char*) when the wait
    // reports an abandoned mutex; the ownership that wait handed over is
    // given back first, so the raising call holds nothing. Raises the same
    // text when there is no handle, since no wait could ever succeed.
    void lock() override ACQUIRE();

    // One wait of 0 ms; true when the caller acquired the object (an
    // abandoned mutex is acquired too).
    bool tryLock() override TRY_ACQUIRE(true);

    // One platform wait; returns its raw result: platform::kWaitAcquired (0),
    // kWaitAbandoned (0x80; the caller owns the mutex), kWaitTimedOut
    // (0x102) or kWaitFailed (0xFFFFFFFF, also when there is no handle).
    // A negative time waits without limit.
    virtual uint32_t wait(int32_t milliseconds);

    // The platform object; null when construction could not create it.
    virtual platform::Waitable* getHandle();
    virtual int32_t getTimeout();
    virtual void setTimeout(int32_t milliseconds);
    virtual TimeoutHandler getTimeoutHandler();
    virtual void setTimeoutHandler(TimeoutHandler handler);

  protected:
    RSWaitableSynchronizationObject() = default;
    ~RSWaitableSynchronizationObject();

    // Set once by the derived constructor; constant afterwards.
    std::unique_ptr<platform::Waitable> handle;

  private:
    // Plain settings read by lock(); atomic so a setter may race a lock.
    std::atomic<int32_t> timeout{0};
    std::atomic<TimeoutHandler> timeoutHandler{nullptr};
};

// Re-entrant mutex with an owner: the owner may lock again and must unLock as
// many times. The name is a label only (nothing is shared between
// processes); the system creates unnamed mutexes.
class CAPABILITY("mutex") RSMutex : public RSWaitableSynchronizationObject {
  public:
    explicit RSMutex(const std::string& name);

    // Releases one level of ownership. Raises the plain text "SOMETHING"
    // (const char*) when the calling thread does not own the mutex.
    void unLock() override RELEASE();

    virtual ~RSMutex();
    virtual std::string getName() const;

  private:
    const std::string name;
};

// Counting semaphore with a maximum and no owner. The system uses it as a
// two-state wake-up signal (counts 1 and 1): producers raise it with unLock,
// the consumer waits on it with wait. The name is a label only.
class RSSemaphore : public RSWaitableSynchronizationObject {
  public:
    // Not initialised unless 0 <= initialCount <= maximumCount and
    // maximumCount > 0.
    RSSemaphore(const std::string& name, int32_t initialCount, int32_t maximumCount);

    // Adds one count; ignored when the count is already at its maximum.
    // Deliberately not annotated as a release: any thread may signal.
    void unLock() override;

    virtual ~RSSemaphore();

    // Adds count counts; false (nothing added) when the platform refuses
    // (count not positive, or the maximum would be passed).
    virtual bool release(int32_t count);
    virtual std::string getName() const;

  private:
    const std::string name;
};

}  // namespace RSLibrary
