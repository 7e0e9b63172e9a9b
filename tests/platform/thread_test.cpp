#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/waitable.h"
#include "tests/platform/eventually.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

struct CalendarCase {
    uint64_t fileTime;
    CalendarTime expected;
};

// What a body and its finish routine share with the test.
struct Shared {
    std::atomic<bool> release{false};
    std::atomic<int> ticks{0};
    std::atomic<bool> finished{false};
};

void tickUntilReleased(void* arg) {
    auto* shared = static_cast<Shared*>(arg);
    while (!shared->release.load()) {
        shared->ticks.fetch_add(1);
        std::this_thread::sleep_for(1ms);
    }
}

void markFinished(void* arg) { static_cast<Shared*>(arg)->finished.store(true); }

bool sameTime(const CalendarTime& a, const CalendarTime& b) {
    return a.year == b.year && a.month == b.month && a.dayOfWeek == b.dayOfWeek && a.day == b.day &&
           a.hour == b.hour && a.minute == b.minute && a.second == b.second &&
           a.milliseconds == b.milliseconds;
}

}  // namespace

TEST(FileTimeToCalendarTime, ConvertsDatesAndDurations) {
    const CalendarCase cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {50976010000000ULL, {1601, 3, 4, 1, 0, 0, 1, 0}},  // a duration of 59 days and 1 s
        {116444736000000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {125963012967890000ULL, {2000, 2, 2, 29, 12, 34, 56, 789}},
        {133801631999990000ULL, {2024, 12, 2, 31, 23, 59, 59, 999}},
        {157520160000000000ULL, {2100, 3, 1, 1, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const CalendarTime got = fileTimeToCalendarTime(c.fileTime);
        EXPECT_TRUE(sameTime(got, c.expected))
            << c.fileTime << " gave " << got.year << "-" << got.month << "-" << got.day << " dow "
            << got.dayOfWeek << " " << got.hour << ":" << got.minute << ":" << got.second << "."
            << got.milliseconds;
    }
}

TEST(PlatformThread, WaitReportsEndAndFinishRunsAfterBody) {
    Shared shared;
    auto thread = Thread::start(tickUntilReleased, markFinished, &shared);
    ASSERT_TRUE(thread);
    EXPECT_EQ(thread->waitFor(20), kWaitTimedOut);
    EXPECT_TRUE(thread->bodyRunning());
    shared.release = true;
    EXPECT_EQ(thread->waitFor(kWaitForever), kWaitAcquired);
    EXPECT_TRUE(shared.finished);
    EXPECT_FALSE(thread->bodyRunning());
    EXPECT_FALSE(thread->kill()) << "a thread whose body returned cannot be abandoned";
}

TEST(PlatformThread, KilledThreadCountsAsEndedAndSkipsItsFinish) {
    // Static: the abandoned body may outlive this test's frame.
    static Shared shared;
    shared.release = false;
    shared.finished = false;
    auto thread = Thread::start(tickUntilReleased, markFinished, &shared);
    ASSERT_TRUE(thread);
    EXPECT_TRUE(thread->kill());
    EXPECT_EQ(thread->waitFor(0), kWaitAcquired);
    EXPECT_TRUE(thread->bodyRunning());
    shared.release = true;
    EXPECT_TRUE(Eventually([&] { return !thread->bodyRunning(); }))
        << "the released body did not return";
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(shared.finished) << "finish ran on an abandoned thread";
}

TEST(PlatformThread, EndOfThreadAbandonsItsMutexesBeforeTheWaitReturns) {
    WaitableMutex mutex;
    auto thread = Thread::start([](void* m) { static_cast<WaitableMutex*>(m)->wait(kWaitForever); },
                                nullptr, &mutex);
    ASSERT_TRUE(thread);
    ASSERT_EQ(thread->waitFor(kWaitForever), kWaitAcquired);
    EXPECT_EQ(mutex.wait(0), kWaitAbandoned);
    EXPECT_TRUE(mutex.release());
    EXPECT_EQ(mutex.wait(0), kWaitAcquired) << "abandonment is reported once";
    EXPECT_TRUE(mutex.release());
}

TEST(PlatformThread, SuspensionsNestAndStopTheBody) {
    Shared shared;
    auto thread = Thread::start(tickUntilReleased, nullptr, &shared);
    ASSERT_TRUE(thread);
    while (shared.ticks.load() < 3) std::this_thread::sleep_for(1ms);

    ASSERT_TRUE(thread->suspend());
    ASSERT_TRUE(thread->suspend());
    const int parkedAt = shared.ticks.load();
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(shared.ticks.load(), parkedAt) << "a suspended body kept running";

    ASSERT_TRUE(thread->resume());
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(shared.ticks.load(), parkedAt) << "one resume undid two suspensions";

    ASSERT_TRUE(thread->resume());
    EXPECT_TRUE(Eventually([&] { return shared.ticks.load() > parkedAt; }))
        << "the body did not run again after resume";

    shared.release = true;
    EXPECT_EQ(thread->waitFor(kWaitForever), kWaitAcquired);
    EXPECT_FALSE(thread->suspend()) << "an ended thread cannot be suspended";
}

TEST(PlatformThread, PriorityAndTimesOfALiveAndAnEndedThread) {
    Shared shared;
    auto thread = Thread::start(tickUntilReleased, nullptr, &shared);
    ASSERT_TRUE(thread);

    // Lowering is always allowed; raising may need rights the tests lack.
    int32_t priority = 99;
    ASSERT_TRUE(thread->getPriority(&priority));
    ASSERT_TRUE(thread->setPriority(kPriorityIdle));
    ASSERT_TRUE(thread->getPriority(&priority));
    EXPECT_EQ(priority, kPriorityIdle);
    EXPECT_FALSE(thread->setPriority(7)) << "not a priority level";

    ThreadTimes live;
    ASSERT_TRUE(thread->getTimes(&live));
    EXPECT_GT(live.creation, 116444736000000000ULL);
    EXPECT_EQ(live.exit, 0u);

    shared.release = true;
    ASSERT_EQ(thread->waitFor(kWaitForever), kWaitAcquired);
    ThreadTimes ended;
    ASSERT_TRUE(thread->getTimes(&ended));
    EXPECT_EQ(ended.creation, live.creation);
    EXPECT_GE(ended.exit, ended.creation);
    EXPECT_GE(ended.kernel + ended.user, live.kernel + live.user);
    EXPECT_FALSE(thread->getPriority(&priority)) << "an ended thread has no priority";
}

TEST(PlatformThread, ThreadCannotSuspendItself) {
    struct Self {
        std::atomic<Thread*> thread{nullptr};
        std::atomic<int> result{-1};
    } self;
    auto thread = Thread::start(
        [](void* arg) {
            auto* s = static_cast<Self*>(arg);
            while (s->thread.load() == nullptr) std::this_thread::sleep_for(1ms);
            s->result = s->thread.load()->suspend() ? 1 : 0;
        },
        nullptr, &self);
    ASSERT_TRUE(thread);
    self.thread = thread.get();
    ASSERT_EQ(thread->waitFor(5000), kWaitAcquired) << "the thread parked itself";
    EXPECT_EQ(self.result.load(), 0);
}
