#include "platform/timerqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/platform/eventually.h"

using namespace platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Collects the callbacks of one test: which timer, on which thread, when.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> tags;
    std::vector<std::thread::id> threads;
    std::vector<Clock::duration> times;
    Clock::time_point start = Clock::now();

    bool waitForCount(size_t n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, limit, [&] { return tags.size() >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> lk(m);
        return tags.size();
    }
};

struct Shot {
    Recorder* recorder;
    int tag;
};

void record(void* parameter, bool fired) {
    auto* shot = static_cast<Shot*>(parameter);
    std::lock_guard<std::mutex> lk(shot->recorder->m);
    shot->recorder->tags.push_back(fired ? shot->tag : -shot->tag);
    shot->recorder->threads.push_back(std::this_thread::get_id());
    shot->recorder->times.push_back(Clock::now() - shot->recorder->start);
    shot->recorder->cv.notify_all();
}

// A callback that stays inside until the test opens the gate.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;
    bool left = false;

    void pass() {
        std::unique_lock<std::mutex> lk(m);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [&] { return open; });
        left = true;
        cv.notify_all();
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return entered; });
    }
    void openGate() {
        std::lock_guard<std::mutex> lk(m);
        open = true;
        cv.notify_all();
    }
    bool hasLeft() {
        std::lock_guard<std::mutex> lk(m);
        return left;
    }
    void waitLeft() {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return left; });
    }
};

void passGate(void* parameter, bool) { static_cast<Gate*>(parameter)->pass(); }

}  // namespace

TEST(TimerQueue, FiresOnceEachInDueOrderOnTheQueueThread) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    Recorder recorder;
    const uint32_t dues[] = {60, 20, 40, 20, 0};
    std::vector<Shot> shots;
    for (int i = 0; i < 5; ++i) shots.push_back({&recorder, i + 1});
    std::vector<TimerHandle> handles(5, nullptr);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(CreateTimerQueueTimer(&handles[i], queue, record, &shots[i], dues[i], 0,
                                          kTimerExecuteInTimerThread));
        ASSERT_NE(handles[i], nullptr);
    }
    ASSERT_TRUE(recorder.waitForCount(5));
    std::this_thread::sleep_for(100ms);

    std::lock_guard<std::mutex> lk(recorder.m);
    EXPECT_EQ(recorder.tags, (std::vector<int>{5, 2, 4, 3, 1}))
        << "by due time, then creation order";
    for (size_t i = 0; i < recorder.tags.size(); ++i) {
        const int tag = recorder.tags[i];
        EXPECT_GE(recorder.times[i], std::chrono::milliseconds(dues[tag - 1]))
            << "timer " << tag << " fired early";
        EXPECT_EQ(recorder.threads[i], recorder.threads[0]) << "callbacks ran on different threads";
    }
    EXPECT_NE(recorder.threads[0], std::this_thread::get_id());
    EXPECT_TRUE(DeleteTimerQueue(queue));
}

TEST(TimerQueue, ZeroDelayCallbackFindsItsHandleAndDeletesItsOwnTimer) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    // The callback reads the handle from its record, as the reconnect
    // callback does, and deletes its own timer (waiting would deadlock if
    // the queue waited for its own thread).
    struct Record {
        TimerQueueHandle queue;
        TimerHandle timer = nullptr;
        std::atomic<int> outcome{
            0};  // 1 ok, 2 handle missing, 3 delete failed, 4 second delete accepted
    };
    auto callback = [](void* parameter, bool) {
        auto* r = static_cast<Record*>(parameter);
        if (r->timer == nullptr) {
            r->outcome = 2;
        } else if (!DeleteTimerQueueTimer(r->queue, r->timer, WAIT_FOR_TIMER_CALLBACKS)) {
            r->outcome = 3;
        } else if (DeleteTimerQueueTimer(r->queue, r->timer, nullptr)) {
            r->outcome = 4;
        } else {
            r->outcome = 1;
        }
    };
    for (int i = 0; i < 200; ++i) {
        Record r;
        r.queue = queue;
        ASSERT_TRUE(CreateTimerQueueTimer(&r.timer, queue, callback, &r, 0));
        const auto limit = Clock::now() + 5s;
        while (r.outcome.load() == 0 && Clock::now() < limit) std::this_thread::yield();
        ASSERT_EQ(r.outcome.load(), 1) << "round " << i;
    }
    EXPECT_TRUE(DeleteTimerQueue(queue));
}

TEST(TimerQueue, DeletedTimerNeverFires) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    Recorder recorder;
    Shot cancelled{&recorder, 1};
    Shot kept{&recorder, 2};
    TimerHandle cancelledTimer = nullptr;
    TimerHandle keptTimer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&cancelledTimer, queue, record, &cancelled, 30));
    ASSERT_TRUE(CreateTimerQueueTimer(&keptTimer, queue, record, &kept, 60));
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, cancelledTimer, nullptr));
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, cancelledTimer, nullptr))
        << "a deleted handle is no longer valid";
    // The queue calls its timers by due time on one thread: once the kept
    // timer (60 ms) has fired, the cancelled one (30 ms) would have fired
    // before it.
    ASSERT_TRUE(recorder.waitForCount(1));
    {
        std::lock_guard<std::mutex> lk(recorder.m);
        EXPECT_EQ(recorder.tags, std::vector<int>{2});
    }
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, keptTimer, nullptr))
        << "a fired one-shot timer is deleted by its owner";
    EXPECT_TRUE(DeleteTimerQueue(queue));
}

TEST(TimerQueue, DeletingTheQueueCancelsPendingTimers) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    Recorder recorder;
    std::vector<Shot> shots;
    for (int i = 0; i < 10; ++i) shots.push_back({&recorder, i + 1});
    for (auto& shot : shots) {
        TimerHandle timer;
        ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, record, &shot, 10000));
    }
    const auto before = Clock::now();
    EXPECT_TRUE(DeleteTimerQueue(queue));
    EXPECT_LT(Clock::now() - before, 5s) << "deletion waited for pending timers";
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(TimerQueue, DeletingTheQueueWaitsForARunningCallback) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    Gate gate;
    Recorder recorder;
    Shot later{&recorder, 1};
    TimerHandle running;
    TimerHandle pending;
    ASSERT_TRUE(CreateTimerQueueTimer(&running, queue, passGate, &gate, 0));
    ASSERT_TRUE(CreateTimerQueueTimer(&pending, queue, record, &later, 20));
    gate.waitEntered();

    std::atomic<bool> deleted{false};
    std::thread deleter([&] {
        DeleteTimerQueue(queue);
        deleted = true;
    });
    std::this_thread::sleep_for(60ms);
    EXPECT_FALSE(deleted.load()) << "deletion returned while a callback was running";
    gate.openGate();
    deleter.join();
    EXPECT_TRUE(gate.hasLeft());
    EXPECT_EQ(recorder.count(), 0u) << "a timer pending at deletion fired";
}

TEST(TimerQueue, DeletionWithoutWaitLeavesTheRunningCallbackToFinish) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    Gate gate;
    TimerHandle running;
    ASSERT_TRUE(CreateTimerQueueTimer(&running, queue, passGate, &gate, 0));
    gate.waitEntered();
    EXPECT_TRUE(DeleteTimerQueueEx(queue, nullptr));
    EXPECT_FALSE(gate.hasLeft());
    gate.openGate();
    gate.waitLeft();
    // The queue's thread frees the queue once the callback has returned.
    std::this_thread::sleep_for(20ms);
}

TEST(TimerQueue, CallbackMayDeleteItsOwnQueue) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    struct Record {
        TimerQueueHandle queue;
        std::atomic<int> result{-1};
    } r{queue};
    Recorder recorder;
    Shot later{&recorder, 1};
    TimerHandle first;
    TimerHandle second;
    ASSERT_TRUE(CreateTimerQueueTimer(&second, queue, record, &later, 30));
    ASSERT_TRUE(CreateTimerQueueTimer(
        &first, queue,
        [](void* parameter, bool) {
            auto* rec = static_cast<Record*>(parameter);
            rec->result = DeleteTimerQueue(rec->queue) ? 1 : 0;
        },
        &r, 0));
    Eventually([&] { return r.result.load() >= 0; });
    EXPECT_EQ(r.result.load(), 1);
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST(TimerQueue, PeriodicTimerRepeatsUntilDeleted) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    struct Record {
        TimerQueueHandle queue;
        TimerHandle timer = nullptr;
        std::atomic<int> calls{0};
    } r{queue};
    ASSERT_TRUE(CreateTimerQueueTimer(
        &r.timer, queue,
        [](void* parameter, bool) {
            auto* rec = static_cast<Record*>(parameter);
            if (rec->calls.fetch_add(1) + 1 == 3)
                DeleteTimerQueueTimer(rec->queue, rec->timer, nullptr);
        },
        &r, 5, 5));
    ASSERT_TRUE(Eventually([&] { return r.calls.load() >= 3; }));
    // A one-shot marker due 30 ms from now fires on the same thread after
    // every call due before it: a fourth call of the deleted timer (due 5 ms
    // after the third) would come first.
    Recorder markers;
    Shot afterDelete{&markers, 1};
    TimerHandle marker;
    ASSERT_TRUE(CreateTimerQueueTimer(&marker, queue, record, &afterDelete, 30));
    ASSERT_TRUE(markers.waitForCount(1));
    EXPECT_EQ(r.calls.load(), 3);

    TimerHandle once;
    ASSERT_TRUE(CreateTimerQueueTimer(
        &once, queue,
        [](void* parameter, bool) { static_cast<Record*>(parameter)->calls.fetch_add(1); }, &r, 0,
        5, kTimerExecuteOnlyOnce));
    Shot afterOnce{&markers, 2};
    ASSERT_TRUE(CreateTimerQueueTimer(&marker, queue, record, &afterOnce, 30));
    ASSERT_TRUE(markers.waitForCount(2));
    EXPECT_EQ(r.calls.load(), 4) << "kTimerExecuteOnlyOnce ignores the period";
    EXPECT_TRUE(DeleteTimerQueue(queue));
}

TEST(TimerQueue, RefusesMissingArguments) {
    TimerQueueHandle queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
    TimerHandle timer = nullptr;
    Recorder recorder;
    Shot shot{&recorder, 1};
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, nullptr, record, &shot, 0));
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, queue, nullptr, &shot, 0));
    EXPECT_FALSE(CreateTimerQueueTimer(nullptr, queue, record, &shot, 0));
    EXPECT_EQ(timer, nullptr);
    EXPECT_FALSE(DeleteTimerQueueTimer(queue, nullptr, nullptr));
    EXPECT_FALSE(DeleteTimerQueueEx(nullptr, nullptr));
    EXPECT_TRUE(DeleteTimerQueue(queue));
}
