#include "platform/timerqueue.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

namespace platform {

using Clock = std::chrono::steady_clock;

struct TimerCompletionTag {};

namespace {
TimerCompletionTag g_waitTag;
}  // namespace

TimerCompletion const WAIT_FOR_TIMER_CALLBACKS = &g_waitTag;

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

    std::mutex m;
    std::condition_variable wake;  // the thread's sleep; signalled by new earlier timers and deletion
    std::condition_variable idle;  // signalled after each callback
    // Guarded by m.
    std::set<Entry> schedule;
    std::unordered_map<TimerQueueTimer*, std::unique_ptr<TimerQueueTimer>> timers;
    uint64_t runningId = 0;          // timer whose callback runs; 0: none
    bool deleting = false;
    bool threadFreesQueue = false;   // the queue was deleted without a join
    std::thread worker;
    std::thread::id workerId;        // constant once the queue is handed out

    void run();
    void unschedule(TimerQueueTimer* timer) {
        if (timer->scheduled) schedule.erase(Entry(timer->due, timer->id, timer));
        timer->scheduled = false;
    }
    void arm(TimerQueueTimer* timer, Clock::time_point due) {
        timer->due = due;
        timer->scheduled = true;
        schedule.insert(Entry(due, timer->id, timer));
    }
};

namespace {

std::mutex g_idLock;
uint64_t g_nextTimerId = 1;

uint64_t nextTimerId() {
    std::lock_guard<std::mutex> lk(g_idLock);
    return g_nextTimerId++;
}

}  // namespace

void TimerQueue::run() {
    std::unique_lock<std::mutex> lk(m);
    while (!deleting) {
        if (schedule.empty()) {
            wake.wait(lk);
            continue;
        }
        const Entry first = *schedule.begin();
        const Clock::time_point due = std::get<0>(first);
        if (due > Clock::now()) {
            wake.wait_until(lk, due);
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
        lk.unlock();
        callback(parameter, true);
        lk.lock();
        runningId = 0;
        idle.notify_all();
    }
    const bool freeQueue = threadFreesQueue;
    lk.unlock();
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
    std::lock_guard<std::mutex> lk(queue->m);
    queue->workerId = queue->worker.get_id();
    return queue;
}

bool CreateTimerQueueTimer(TimerHandle* newTimer, TimerQueueHandle queue, TimerCallback callback, void* parameter,
                           uint32_t dueMs, uint32_t periodMs, uint32_t flags) {
    if (newTimer == nullptr || queue == nullptr || callback == nullptr) return false;
    auto timer = std::make_unique<TimerQueueTimer>();
    timer->id = nextTimerId();
    timer->callback = callback;
    timer->parameter = parameter;
    timer->period = std::chrono::milliseconds((flags & WT_EXECUTEONLYONCE) != 0 ? 0 : periodMs);
    const Clock::time_point due = Clock::now() + std::chrono::milliseconds(dueMs);

    std::lock_guard<std::mutex> lk(queue->m);
    if (queue->deleting) return false;
    TimerQueueTimer* handle = timer.get();
    // The handle reaches the creator before the timer is armed: the thread
    // cannot look at the schedule until this lock is released.
    *newTimer = handle;
    queue->timers.emplace(handle, std::move(timer));
    const bool earliest = queue->schedule.empty() || due < std::get<0>(*queue->schedule.begin());
    queue->arm(handle, due);
    if (earliest) queue->wake.notify_one();
    return true;
}

bool DeleteTimerQueueTimer(TimerQueueHandle queue, TimerHandle timer, TimerCompletion completion) {
    if (queue == nullptr || timer == nullptr) return false;
    std::unique_lock<std::mutex> lk(queue->m);
    auto it = queue->timers.find(timer);
    if (it == queue->timers.end()) return false;
    const uint64_t id = timer->id;
    queue->unschedule(timer);
    queue->timers.erase(it);
    if (completion != nullptr && std::this_thread::get_id() != queue->workerId) {
        queue->idle.wait(lk, [&] { return queue->runningId != id; });
    }
    return true;
}

bool DeleteTimerQueueEx(TimerQueueHandle queue, TimerCompletion completion) {
    if (queue == nullptr) return false;
    const bool onQueueThread = std::this_thread::get_id() == queue->workerId;
    const bool join = completion != nullptr && !onQueueThread;
    {
        std::lock_guard<std::mutex> lk(queue->m);
        if (queue->deleting) return false;
        queue->deleting = true;
        queue->schedule.clear();
        queue->timers.clear();
        if (!join) {
            queue->threadFreesQueue = true;
            queue->worker.detach();
        }
        queue->wake.notify_all();
    }
    if (join) {
        queue->worker.join();
        delete queue;
    }
    return true;
}

bool DeleteTimerQueue(TimerQueueHandle queue) { return DeleteTimerQueueEx(queue, WAIT_FOR_TIMER_CALLBACKS); }

}  // namespace platform
