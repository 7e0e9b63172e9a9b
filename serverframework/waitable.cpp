#include "serverframework/waitable.h"

#include <new>

namespace RSLibrary {

namespace {

// The plain-text exception of a refused mutex release and an abandoned wait.
[[noreturn]] void raiseSomething() { throw "SOMETHING"; }

}  // namespace

RSWaitableSynchronizationObject::~RSWaitableSynchronizationObject() = default;

void RSWaitableSynchronizationObject::lock() NO_THREAD_SAFETY_ANALYSIS {
    for (;;) {
        if (!handle) raiseSomething();
        const int32_t slice = timeout.load();
        const TimeoutHandler handler = timeoutHandler.load();
        const int32_t waitTime =
            (slice == 0 && handler == nullptr) ? platform::kWaitForever : slice;
        const uint32_t result = handle->wait(waitTime);
        if (result == platform::kWaitAcquired) return;
        if (result == platform::kWaitTimedOut) {
            if (handler != nullptr) handler(this);
            continue;
        }
        if (result == platform::kWaitAbandoned) {
            // Only a mutex is abandoned; the wait made us its owner. Hand the
            // ownership back so the raising call leaves nothing held.
            if (auto* mutex = dynamic_cast<platform::WaitableMutex*>(handle.get()))
                mutex->release();
            raiseSomething();
        }
        // A failed wait: try again.
    }
}

bool RSWaitableSynchronizationObject::tryLock() NO_THREAD_SAFETY_ANALYSIS {
    const uint32_t result = wait(0);
    return result == platform::kWaitAcquired || result == platform::kWaitAbandoned;
}

uint32_t RSWaitableSynchronizationObject::wait(int32_t milliseconds) {
    if (!handle) return platform::kWaitFailed;
    return handle->wait(milliseconds);
}

platform::Waitable* RSWaitableSynchronizationObject::getHandle() { return handle.get(); }

int32_t RSWaitableSynchronizationObject::getTimeout() { return timeout.load(); }

void RSWaitableSynchronizationObject::setTimeout(int32_t milliseconds) {
    timeout.store(milliseconds);
}

RSWaitableSynchronizationObject::TimeoutHandler
RSWaitableSynchronizationObject::getTimeoutHandler() {
    return timeoutHandler.load();
}

void RSWaitableSynchronizationObject::setTimeoutHandler(TimeoutHandler handler) {
    timeoutHandler.store(handler);
}

RSMutex::RSMutex(const std::string& mutexName) : name(mutexName) {
    handle.reset(new (std::nothrow) platform::WaitableMutex());
    initialized = handle != nullptr;
}

RSMutex::~RSMutex() = default;

void RSMutex::unLock() NO_THREAD_SAFETY_ANALYSIS {
    auto* mutex = static_cast<platform::WaitableMutex*>(handle.get());
    if (mutex == nullptr || !mutex->release()) raiseSomething();
}

std::string RSMutex::getName() const { return name; }

RSSemaphore::RSSemaphore(const std::string& semaphoreName, int32_t initialCount,
                         int32_t maximumCount)
    : name(semaphoreName) {
    auto* semaphore = new (std::nothrow) platform::WaitableSemaphore(initialCount, maximumCount);
    if (semaphore != nullptr && !semaphore->valid()) {
        delete semaphore;
        semaphore = nullptr;
    }
    handle.reset(semaphore);
    initialized = handle != nullptr;
}

RSSemaphore::~RSSemaphore() = default;

void RSSemaphore::unLock() {
    if (handle) static_cast<platform::WaitableSemaphore*>(handle.get())->release(1);
}

bool RSSemaphore::release(int32_t count) {
    return handle && static_cast<platform::WaitableSemaphore*>(handle.get())->release(count);
}

std::string RSSemaphore::getName() const { return name; }

}  // namespace RSLibrary
