// DESIGN
// The system's own objects: a mutex (CreateMutex) and a semaphore
// (CreateSemaphore), waited on with WaitForSingleObject, whose results are
// the raw results of waitable.h. Windows itself releases a mutex whose owner
// thread ends and hands the next waiter WAIT_ABANDONED, so
// abandonMutexesOfCurrentThread has nothing left to do here: the release
// happens when the thread's end is signalled, before any wait for that end
// returns.
#include <windows.h>

#include "platform/waitable.h"

namespace platform {

namespace {

DWORD Milliseconds(int32_t milliseconds) {
    return milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
}

}  // namespace

struct WaitableMutex::State {
    HANDLE handle = nullptr;
    ~State() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

WaitableMutex::WaitableMutex() : state(std::make_shared<State>()) {
    state->handle = CreateMutexW(nullptr, FALSE, nullptr);
}

WaitableMutex::~WaitableMutex() = default;

uint32_t WaitableMutex::wait(int32_t milliseconds) {
    if (state->handle == nullptr) return kWaitFailed;
    return WaitForSingleObject(state->handle, Milliseconds(milliseconds));
}

bool WaitableMutex::release() { return state->handle != nullptr && ReleaseMutex(state->handle); }

struct WaitableSemaphore::State {
    HANDLE handle = nullptr;
    ~State() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

WaitableSemaphore::WaitableSemaphore(int32_t initialCount, int32_t maximumCount)
    : valid_(false), state(new State) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) return;
    state->handle = CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr);
    valid_ = state->handle != nullptr;
}

WaitableSemaphore::~WaitableSemaphore() = default;

uint32_t WaitableSemaphore::wait(int32_t milliseconds) {
    if (!valid_) return kWaitFailed;
    return WaitForSingleObject(state->handle, Milliseconds(milliseconds));
}

bool WaitableSemaphore::release(int32_t count) {
    return valid_ && count > 0 && ReleaseSemaphore(state->handle, count, nullptr);
}

void abandonMutexesOfCurrentThread() {}

}  // namespace platform
