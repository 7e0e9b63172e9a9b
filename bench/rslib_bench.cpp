// Costs that the engine pays on every job hand-over: an uncontended lock and
// release of each lock kind, a wake-up through the two-state semaphore
// between two threads, and how late a zero-delay timer fires.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/timerqueue.h"
#include "serverframework/synchronization.h"
#include "serverframework/waitable.h"

using namespace RSLibrary;

static void BM_CriticalSectionLockUnlock(benchmark::State& state) {
    RSCriticalSection section;
    for (auto _ : state) {
        section.lock();
        section.unLock();
    }
}
BENCHMARK(BM_CriticalSectionLockUnlock);

static void BM_MutexLockUnlock(benchmark::State& state) {
    RSMutex mutex("");
    for (auto _ : state) {
        mutex.lock();
        mutex.unLock();
    }
}
BENCHMARK(BM_MutexLockUnlock);

// One round trip: this thread raises the consumer's signal and waits for the
// consumer to raise its own in answer.
static void BM_SemaphorePingPong(benchmark::State& state) {
    RSSemaphore ping("", 0, 1);
    RSSemaphore pong("", 0, 1);
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        for (;;) {
            if (ping.wait(100) != platform::kWaitAcquired) {
                if (done.load()) return;
                continue;
            }
            pong.unLock();
        }
    });
    for (auto _ : state) {
        ping.unLock();
        pong.wait(platform::kWaitForever);
    }
    done = true;
    consumer.join();
}
BENCHMARK(BM_SemaphorePingPong)->UseRealTime();

// From creating a zero-delay timer to its callback running on the queue's
// thread.
static void BM_TimerQueueZeroDelayLatency(benchmark::State& state) {
    struct Fired {
        std::mutex m;
        std::condition_variable cv;
        bool fired = false;
    } f;
    platform::TimerQueueHandle queue = platform::CreateTimerQueue();
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lk(f.m);
            f.fired = false;
        }
        platform::TimerHandle timer;
        platform::CreateTimerQueueTimer(
            &timer, queue,
            [](void* p, bool) {
                auto* fired = static_cast<Fired*>(p);
                std::lock_guard<std::mutex> lk(fired->m);
                fired->fired = true;
                fired->cv.notify_all();
            },
            &f, 0);
        std::unique_lock<std::mutex> lk(f.m);
        f.cv.wait(lk, [&] { return f.fired; });
        lk.unlock();
        platform::DeleteTimerQueueTimer(queue, timer, platform::WAIT_FOR_TIMER_CALLBACKS);
    }
    platform::DeleteTimerQueue(queue);
}
BENCHMARK(BM_TimerQueueZeroDelayLatency)->UseRealTime();

BENCHMARK_MAIN();
