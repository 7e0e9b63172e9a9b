// DESIGN
// The system's timer queues (CreateTimerQueue, CreateTimerQueueTimer). Every
// timer is created with WT_EXECUTEINTIMERTHREAD, so the callbacks of a queue
// run one at a time on the system's timer thread, as timerqueue.h promises.
//
// Each timer handle given out is a record of ours (the callback, its
// parameter, the system's timer handle); the system calls a trampoline with
// the record. The queue's lock is held while a timer is created, so a
// callback due at once waits in the trampoline until the handle is stored
// and the record is live; the lock is never held while the system waits
// for a callback. A record whose timer was deleted while its callback might
// still be running (deleted without waiting, or from inside a callback) is
// retired and freed later on the timer thread, at the start of the queue's
// next callback, when no callback of the queue can be running, or with the
// queue.
//
// Due times: the system's timer may call back a fraction of a millisecond
// before the due time as the steady clock counts it (Wine's timers showed
// up to 0.3 ms); a due time above 0 is given one millisecond more, so a
// callback runs after its due time, as timerqueue.h promises.
//
// Waiting: WAIT_FOR_TIMER_CALLBACKS becomes the system's INVALID_HANDLE_VALUE
// completion event, except inside a callback of the same queue, where the
// system would wait for the caller itself: there nothing is waited for.
#include <windows.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "platform/timerqueue.h"

namespace platform {

struct TimerCompletionTag {};

namespace {
TimerCompletionTag g_waitTag;
}  // namespace

TimerCompletion const WAIT_FOR_TIMER_CALLBACKS = &g_waitTag;

struct TimerQueueTimer {
    TimerQueue* queue = nullptr;
    TimerCallback callback = nullptr;
    void* parameter = nullptr;
    HANDLE native = nullptr;
};

struct TimerQueue {
    HANDLE native = nullptr;
    // Guards the fields below. A leaf lock.
    Mutex lock;
    std::set<TimerQueueTimer*> live GUARDED_BY(lock);
    std::vector<TimerQueueTimer*> retired GUARDED_BY(lock);
    bool deleting GUARDED_BY(lock) = false;
    // Set when the queue was deleted from inside its own callback: the
    // trampoline frees it when that callback returns.
    bool freeAfterCallback GUARDED_BY(lock) = false;

    ~TimerQueue() {
        MutexLock guard(lock);
        for (TimerQueueTimer* timer : live) delete timer;
        for (TimerQueueTimer* timer : retired) delete timer;
    }
};

namespace {

// The queue whose callback runs on this thread, if any.
thread_local TimerQueue* callbackQueue = nullptr;

void CALLBACK Trampoline(void* parameter, BOOLEAN) {
    auto* timer = static_cast<TimerQueueTimer*>(parameter);
    TimerQueue* queue = timer->queue;
    {
        MutexLock guard(queue->lock);
        for (TimerQueueTimer* old : queue->retired) {
            if (old != timer) delete old;
        }
        bool selfRetired = false;
        for (TimerQueueTimer* old : queue->retired) selfRetired |= old == timer;
        queue->retired.clear();
        if (selfRetired) queue->retired.push_back(timer);
        if (queue->deleting || queue->live.count(timer) == 0) return;
    }
    TimerQueue* outer = callbackQueue;
    callbackQueue = queue;
    timer->callback(timer->parameter, true);
    callbackQueue = outer;
    bool freeQueue;
    {
        MutexLock guard(queue->lock);
        freeQueue = queue->freeAfterCallback;
    }
    if (freeQueue) delete queue;
}

}  // namespace

TimerQueueHandle CreateTimerQueue() {
    HANDLE native = ::CreateTimerQueue();
    if (native == nullptr) return nullptr;
    auto* queue = new TimerQueue;
    queue->native = native;
    return queue;
}

bool CreateTimerQueueTimer(TimerHandle* newTimer, TimerQueueHandle queue, TimerCallback callback,
                           void* parameter, uint32_t dueMs, uint32_t periodMs, uint32_t flags) {
    if (queue == nullptr || callback == nullptr || newTimer == nullptr) return false;
    auto* timer = new TimerQueueTimer{queue, callback, parameter, nullptr};
    ULONG nativeFlags = WT_EXECUTEINTIMERTHREAD;
    if ((flags & kTimerExecuteOnlyOnce) != 0 || periodMs == 0) {
        nativeFlags |= WT_EXECUTEONLYONCE;
        periodMs = 0;
    }
    MutexLock guard(queue->lock);
    if (queue->deleting) {
        delete timer;
        return false;
    }
    const DWORD nativeDue = dueMs == 0 || dueMs == UINT32_MAX ? dueMs : dueMs + 1;
    if (!::CreateTimerQueueTimer(&timer->native, queue->native, Trampoline, timer, nativeDue,
                                 periodMs, nativeFlags)) {
        delete timer;
        return false;
    }
    queue->live.insert(timer);
    *newTimer = timer;
    return true;
}

bool DeleteTimerQueueTimer(TimerQueueHandle queue, TimerHandle timer, TimerCompletion completion) {
    if (queue == nullptr || timer == nullptr) return false;
    HANDLE native;
    {
        MutexLock guard(queue->lock);
        if (queue->live.erase(timer) == 0) return false;
        native = timer->native;
    }
    const bool wait = completion == WAIT_FOR_TIMER_CALLBACKS && callbackQueue != queue;
    // Without waiting the system may report ERROR_IO_PENDING: the timer is
    // deleted all the same, its running callback finishes on its own.
    ::DeleteTimerQueueTimer(queue->native, native, wait ? INVALID_HANDLE_VALUE : nullptr);
    MutexLock guard(queue->lock);
    if (wait) {
        delete timer;
    } else {
        queue->retired.push_back(timer);
    }
    return true;
}

bool DeleteTimerQueueEx(TimerQueueHandle queue, TimerCompletion completion) {
    if (queue == nullptr) return false;
    {
        MutexLock guard(queue->lock);
        queue->deleting = true;
        if (callbackQueue == queue) queue->freeAfterCallback = true;
    }
    if (callbackQueue == queue) {
        ::DeleteTimerQueueEx(queue->native, nullptr);
        return true;
    }
    if (completion == WAIT_FOR_TIMER_CALLBACKS) {
        ::DeleteTimerQueueEx(queue->native, INVALID_HANDLE_VALUE);
        delete queue;
        return true;
    }
    // Returns at once; the queue's records go once its callbacks are done.
    std::thread([queue] {
        ::DeleteTimerQueueEx(queue->native, INVALID_HANDLE_VALUE);
        delete queue;
    }).detach();
    return true;
}

bool DeleteTimerQueue(TimerQueueHandle queue) {
    return DeleteTimerQueueEx(queue, WAIT_FOR_TIMER_CALLBACKS);
}

}  // namespace platform
