#include "platform/waitable.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

struct WaitableMutex::State {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;   // meaningful while depth > 0
    uint32_t depth = 0;      // levels of ownership held by owner
    bool abandoned = false;  // the last owner ended without releasing
};

struct WaitableSemaphore::State {
    std::mutex m;
    std::condition_variable cv;
    int32_t count;
    int32_t maximum;
};

namespace {

// The mutexes the current thread owns. The records point at the shared state
// of each mutex, so a mutex destroyed by someone else leaves only an expired
// entry behind.
class HeldMutexes {
public:
    ~HeldMutexes() { abandonAll(); }

    void add(const std::shared_ptr<WaitableMutex::State>& state) {
        std::erase_if(held, [](const std::weak_ptr<WaitableMutex::State>& w) { return w.expired(); });
        held.push_back(state);
    }

    void remove(const WaitableMutex::State* state) {
        std::erase_if(held, [state](const std::weak_ptr<WaitableMutex::State>& w) {
            auto locked = w.lock();
            return !locked || locked.get() == state;
        });
    }

    void abandonAll() {
        const std::thread::id me = std::this_thread::get_id();
        std::vector<std::weak_ptr<WaitableMutex::State>> owned;
        owned.swap(held);
        for (const auto& w : owned) {
            auto state = w.lock();
            if (!state) continue;
            std::lock_guard<std::mutex> lk(state->m);
            if (state->depth > 0 && state->owner == me) {
                state->depth = 0;
                state->owner = std::thread::id();
                state->abandoned = true;
                state->cv.notify_all();
            }
        }
    }

private:
    std::vector<std::weak_ptr<WaitableMutex::State>> held;
};

thread_local HeldMutexes t_held;

// Waits on cv until ready() holds or the time has passed; false on time-out.
template <typename Ready>
bool waitUntilReady(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, int32_t milliseconds,
                    Ready ready) {
    if (milliseconds < 0) {
        cv.wait(lk, ready);
        return true;
    }
    return cv.wait_for(lk, std::chrono::milliseconds(milliseconds), ready);
}

}  // namespace

void abandonMutexesOfCurrentThread() { t_held.abandonAll(); }

WaitableMutex::WaitableMutex() : state(std::make_shared<State>()) {}

WaitableMutex::~WaitableMutex() = default;

uint32_t WaitableMutex::wait(int32_t milliseconds) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lk(state->m);
    if (state->depth > 0 && state->owner == me) {
        ++state->depth;
        return kWaitAcquired;
    }
    if (!waitUntilReady(state->cv, lk, milliseconds, [this] { return state->depth == 0; })) {
        return kWaitTimedOut;
    }
    state->owner = me;
    state->depth = 1;
    const bool wasAbandoned = state->abandoned;
    state->abandoned = false;
    lk.unlock();
    t_held.add(state);
    return wasAbandoned ? kWaitAbandoned : kWaitAcquired;
}

bool WaitableMutex::release() {
    const std::thread::id me = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lk(state->m);
        if (state->depth == 0 || state->owner != me) return false;
        if (--state->depth > 0) return true;
        state->owner = std::thread::id();
        state->cv.notify_all();
    }
    t_held.remove(state.get());
    return true;
}

WaitableSemaphore::WaitableSemaphore(int32_t initialCount, int32_t maximumCount)
    : valid_(initialCount >= 0 && maximumCount > 0 && initialCount <= maximumCount),
      state(std::make_unique<State>()) {
    state->count = valid_ ? initialCount : 0;
    state->maximum = valid_ ? maximumCount : 0;
}

WaitableSemaphore::~WaitableSemaphore() = default;

uint32_t WaitableSemaphore::wait(int32_t milliseconds) {
    if (!valid_) return kWaitFailed;
    std::unique_lock<std::mutex> lk(state->m);
    if (!waitUntilReady(state->cv, lk, milliseconds, [this] { return state->count > 0; })) {
        return kWaitTimedOut;
    }
    --state->count;
    return kWaitAcquired;
}

bool WaitableSemaphore::release(int32_t count) {
    if (!valid_ || count <= 0) return false;
    std::lock_guard<std::mutex> lk(state->m);
    if (static_cast<int64_t>(state->count) + count > state->maximum) return false;
    state->count += count;
    if (count == 1) {
        state->cv.notify_one();
    } else {
        state->cv.notify_all();
    }
    return true;
}

}  // namespace platform
