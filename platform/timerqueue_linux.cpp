#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "platform/mutex.h"
#include "platform/timerqueue.h"

namespace platform {

using Clock = std::chrono::steady_clock;

struct TimerCompletionTag {};

namespace {
TimerCompletionTag g_waitTag;
}  // namespace

TimerCompletion const WAIT_FOR_TIMER_CALLBACKS = &g_waitTag;

// The first four fields are constant after creation; due and scheduled are
// guarded by the lock of the timer's queue.
struct TimerQueueTimer {
    uint64_t id;  // unique within the process; never reused
    TimerCallback callback;
    void* parameter;
    std::chrono::milliseconds period;  // 0: one-shot
    Clock::time_point due;             // meaningful while scheduled
    bool scheduled = false;
};

struct TimerQueue {
    // Due time, then creation order, then the timer.
    using Entry = std::tuple<Clock::time_point, uint64_t, TimerQueueTimer*>;

    // Set by CreateTimerQueue before the queue is handed out; worker is
    // detached under m or joined by the one deleting caller.
    std::thread worker;
    std::thread::id workerId;

    // Guards the fields below and the due times of the queue's timers. A
    // leaf lock: callbacks run without it, and nothing else is taken while
    // it is held.
    Mutex m;
    CondVar wake{m};  // the thread's sleep; signalled by new earlier timers and deletion
    CondVar idle{m};  // signalled after each callback
    std::set<Entry> schedule GUARDED_BY(m);
    std::unordered_map<TimerQueueTimer*, std::unique_ptr<TimerQueueTimer>> timers GUARDED_BY(m);
    uint64_t runningId GUARDED_BY(m) = 0;  // timer whose callback runs; 0: none
    bool deleting GUARDED_BY(m) = false;
    bool threadFreesQueue GUARDED_BY(m) = false;  // the queue was deleted without a join

    void run();
    void unschedule(TimerQueueTimer* timer) REQUIRES(m) {
        if (timer->scheduled) schedule.erase(Entry(timer->due, timer->id, timer));
        timer->scheduled = false;
    }
    void arm(TimerQueueTimer* timer, Clock::time_point due) REQUIRES(m) {
        timer->due = due;
        timer->scheduled = true;
        schedule.insert(Entry(due, timer->id, timer));
    }
};

namespace {

std::atomic<uint64_t> g_nextTimerId{1};

}  // namespace

void TimerQueue::run() {
    m.lock();
    while (!deleting) {
        if (schedule.empty()) {
            wake.wait();
            continue;
        }
        const Entry first = *schedule.begin();
        const Clock::time_point due = std::get<0>(first);
        if (due > Clock::now()) {
            wake.waitUntil(due);
            continue;
        }
        TimerQueueTimer* timer = std::get<2>(first);
        unschedule(timer);
        if (timer->period.count() > 0) arm(timer, due + timer->period);
        const TimerCallback callback = timer->callback;
        void* const parameter = timer->parameter;
        runningId = timer->id;
        // The timer may be deleted (and freed) by the callback or by anyone
        // else while it runs; only the copies above are used.
        m.unlock();
        callback(parameter, true);
        m.lock();
        runningId = 0;
        idle.notifyAll();
    }
    const bool freeQueue = threadFreesQueue;
    m.unlock();
    if (freeQueue) delete this;
}

TimerQueueHandle CreateTimerQueue() {
    auto* queue = new (std::nothrow) TimerQueue();
    if (queue == nullptr) return nullptr;
    try {
        queue->worker = std::thread([queue] { queue->run(); });
    } catch (const std::system_error&) {
        delete queue;
        return nullptr;
    }
    MutexLock lk(queue->m);
    queue->workerId = queue->worker.get_id();
    return queue;
}

bool CreateTimerQueueTimer(TimerHandle* newTimer, TimerQueueHandle queue, TimerCallback callback,
                           void* parameter, uint32_t dueMs, uint32_t periodMs, uint32_t flags) {
    if (newTimer == nullptr || queue == nullptr || callback == nullptr) return false;
    auto timer = std::make_unique<TimerQueueTimer>();
    timer->id = g_nextTimerId.fetch_add(1);
    timer->callback = callback;
    timer->parameter = parameter;
    timer->period = std::chrono::milliseconds((flags & kTimerExecuteOnlyOnce) != 0 ? 0 : periodMs);
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(dueMs);

    MutexLock lk(queue->m);
    if (queue->deleting) return false;
    TimerQueueTimer* handle = timer.get();
    // The handle reaches the creator before the timer is armed: the thread
    // cannot look at the schedule until this lock is released.
    *newTimer = handle;
    queue->timers.emplace(handle, std::move(timer));
    const bool earliest = queue->schedule.empty() || due < std::get<0>(*queue->schedule.begin());
    queue->arm(handle, due);
    if (earliest) queue->wake.notifyOne();
    return true;
}

bool DeleteTimerQueueTimer(TimerQueueHandle queue, TimerHandle timer, TimerCompletion completion) {
    if (queue == nullptr || timer == nullptr) return false;
    MutexLock lk(queue->m);
    auto it = queue->timers.find(timer);
    if (it == queue->timers.end()) return false;
    const uint64_t id = timer->id;
    queue->unschedule(timer);
    queue->timers.erase(it);
    if (completion != nullptr && std::this_thread::get_id() != queue->workerId) {
        while (queue->runningId == id) queue->idle.wait();
    }
    return true;
}

bool DeleteTimerQueueEx(TimerQueueHandle queue, TimerCompletion completion) {
    if (queue == nullptr) return false;
    const bool onQueueThread = std::this_thread::get_id() == queue->workerId;
    const bool join = completion != nullptr && !onQueueThread;
    {
        MutexLock lk(queue->m);
        if (queue->deleting) return false;
        queue->deleting = true;
        queue->schedule.clear();
        queue->timers.clear();
        if (!join) {
            queue->threadFreesQueue = true;
            queue->worker.detach();
        }
        queue->wake.notifyAll();
    }
    if (join) {
        queue->worker.join();
        delete queue;
    }
    return true;
}

bool DeleteTimerQueue(TimerQueueHandle queue) {
    return DeleteTimerQueueEx(queue, WAIT_FOR_TIMER_CALLBACKS);
}

}  // namespace platform
