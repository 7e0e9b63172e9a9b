#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "platform/waitable.h"

namespace platform {

struct WaitableMutex::State {
    // Guards the ownership record below. A leaf lock: held only inside one
    // wait, release or abandonment, with nothing else taken under it.
    Mutex m;
    CondVar cv{m};                         // signalled when the mutex becomes free
    std::thread::id owner GUARDED_BY(m);   // meaningful while depth > 0
    uint32_t depth GUARDED_BY(m) = 0;      // levels of ownership held by owner
    bool abandoned GUARDED_BY(m) = false;  // the last owner ended without releasing
};

struct WaitableSemaphore::State {
    State(int32_t initialCount, int32_t maximumCount)
        : count(initialCount), maximum(maximumCount) {}

    // Guards count. A leaf lock: held only inside one wait or release, with
    // nothing else taken under it.
    Mutex m;
    CondVar cv{m};  // signalled when counts are added
    int32_t count GUARDED_BY(m);
    const int32_t maximum;
};

namespace {

// The mutexes the current thread owns. The records point at the shared state
// of each mutex, so a mutex destroyed by someone else leaves only an expired
// entry behind.
class HeldMutexes {
  public:
    ~HeldMutexes() { abandonAll(); }

    void add(const std::shared_ptr<WaitableMutex::State>& state) {
        std::erase_if(held,
                      [](const std::weak_ptr<WaitableMutex::State>& w) { return w.expired(); });
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
            MutexLock lk(state->m);
            if (state->depth > 0 && state->owner == me) {
                state->depth = 0;
                state->owner = std::thread::id();
                state->abandoned = true;
                state->cv.notifyAll();
            }
        }
    }

  private:
    std::vector<std::weak_ptr<WaitableMutex::State>> held;
};

thread_local HeldMutexes t_held;

// The time limit of one wait, counted from its start; below zero there is
// none.
class WaitLimit {
  public:
    explicit WaitLimit(int32_t milliseconds)
        : forever(milliseconds < 0),
          deadline(std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(forever ? 0 : milliseconds)) {}

    // Sleeps once on cv (whose Mutex the caller holds); false when the limit
    // has passed.
    bool sleep(CondVar& cv) const {
        if (forever) {
            cv.wait();
            return true;
        }
        return cv.waitUntil(deadline);
    }

  private:
    const bool forever;
    const std::chrono::steady_clock::time_point deadline;
};

}  // namespace

void abandonMutexesOfCurrentThread() { t_held.abandonAll(); }

WaitableMutex::WaitableMutex() : state(std::make_shared<State>()) {}

WaitableMutex::~WaitableMutex() = default;

uint32_t WaitableMutex::wait(int32_t milliseconds) {
    const std::thread::id me = std::this_thread::get_id();
    bool wasAbandoned;
    {
        MutexLock lk(state->m);
        if (state->depth > 0 && state->owner == me) {
            ++state->depth;
            return kWaitAcquired;
        }
        const WaitLimit limit(milliseconds);
        while (state->depth > 0) {
            if (!limit.sleep(state->cv) && state->depth > 0) return kWaitTimedOut;
        }
        state->owner = me;
        state->depth = 1;
        wasAbandoned = state->abandoned;
        state->abandoned = false;
    }
    t_held.add(state);
    return wasAbandoned ? kWaitAbandoned : kWaitAcquired;
}

bool WaitableMutex::release() {
    const std::thread::id me = std::this_thread::get_id();
    {
        MutexLock lk(state->m);
        if (state->depth == 0 || state->owner != me) return false;
        if (--state->depth > 0) return true;
        state->owner = std::thread::id();
        state->cv.notifyAll();
    }
    t_held.remove(state.get());
    return true;
}

WaitableSemaphore::WaitableSemaphore(int32_t initialCount, int32_t maximumCount)
    : valid_(initialCount >= 0 && maximumCount > 0 && initialCount <= maximumCount),
      state(std::make_unique<State>(valid_ ? initialCount : 0, valid_ ? maximumCount : 0)) {}

WaitableSemaphore::~WaitableSemaphore() = default;

uint32_t WaitableSemaphore::wait(int32_t milliseconds) {
    if (!valid_) return kWaitFailed;
    MutexLock lk(state->m);
    const WaitLimit limit(milliseconds);
    while (state->count == 0) {
        if (!limit.sleep(state->cv) && state->count == 0) return kWaitTimedOut;
    }
    --state->count;
    return kWaitAcquired;
}

bool WaitableSemaphore::release(int32_t count) {
    if (!valid_ || count <= 0) return false;
    MutexLock lk(state->m);
    if (static_cast<int64_t>(state->count) + count > state->maximum) return false;
    state->count += count;
    if (count == 1) {
        state->cv.notifyOne();
    } else {
        state->cv.notifyAll();
    }
    return true;
}

}  // namespace platform
