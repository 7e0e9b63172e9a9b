#include "serverframework/waitable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// These tests lock re-entrantly, release from the wrong thread and expect
// raises, on purpose; the static lock analysis cannot follow that.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

using namespace RSLibrary;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Runs fn on a thread of its own and waits for it to end.
template <typename Fn>
void onOtherThread(Fn fn) {
    std::thread(fn).join();
}

// The text of a plain-text exception raised by fn, or "" when none was.
template <typename Fn>
std::string plainTextRaisedBy(Fn fn) {
    try {
        fn();
    } catch (const char* text) {
        return text;
    }
    return "";
}

}  // namespace

TEST(RSSemaphore, TwoRaisesBeforeOneWaitWakeTheWaiterOnce) {
    RSSemaphore signal("", 1, 1);
    ASSERT_TRUE(signal.isInitialized());
    EXPECT_EQ(signal.wait(0), platform::kWaitAcquired)
        << "initial count 1 lets the first wait through";
    EXPECT_EQ(signal.wait(0), platform::kWaitTimedOut);
    signal.unLock();
    signal.unLock();  // already at its maximum: ignored
    EXPECT_EQ(signal.wait(0), platform::kWaitAcquired);
    EXPECT_EQ(signal.wait(10), platform::kWaitTimedOut) << "the second raise was not ignored";
}

TEST(RSSemaphore, CountAndMaximum) {
    RSSemaphore counter("counter", 0, 3);
    ASSERT_TRUE(counter.isInitialized());
    EXPECT_EQ(counter.getName(), "counter");
    EXPECT_FALSE(counter.release(0));
    EXPECT_FALSE(counter.release(-1));
    EXPECT_TRUE(counter.release(2));
    EXPECT_FALSE(counter.release(2)) << "2 + 2 passes the maximum of 3";
    EXPECT_TRUE(counter.release(1));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(counter.wait(0), platform::kWaitAcquired) << "count " << i;
    EXPECT_EQ(counter.wait(0), platform::kWaitTimedOut);
}

TEST(RSSemaphore, ImpossibleCountsLeaveItNotInitialised) {
    const struct {
        int32_t initial;
        int32_t maximum;
    } cases[] = {{2, 1}, {0, 0}, {-1, 1}, {1, -1}};
    for (const auto& c : cases) {
        RSSemaphore semaphore("", c.initial, c.maximum);
        EXPECT_FALSE(semaphore.isInitialized()) << c.initial << "/" << c.maximum;
        EXPECT_EQ(semaphore.getHandle(), nullptr);
        EXPECT_EQ(semaphore.wait(0), platform::kWaitFailed);
        EXPECT_FALSE(semaphore.release(1));
        semaphore.unLock();
        EXPECT_EQ(plainTextRaisedBy([&] { semaphore.lock(); }), "SOMETHING")
            << "lock of an object without handle must not spin";
    }
}

TEST(RSSemaphore, AnyThreadMayRaiseIt) {
    RSSemaphore signal("", 0, 1);
    std::thread producer([&] {
        std::this_thread::sleep_for(20ms);
        signal.unLock();
    });
    EXPECT_EQ(signal.wait(5000), platform::kWaitAcquired);
    producer.join();
}

TEST(RSMutex, TryLockAcrossThreads) {
    RSMutex mutex("");
    ASSERT_TRUE(mutex.isInitialized());
    ASSERT_TRUE(mutex.tryLock());
    ASSERT_TRUE(mutex.tryLock()) << "the owner takes it again";

    bool other = true;
    auto start = Clock::now();
    onOtherThread([&] { other = mutex.tryLock(); });
    EXPECT_FALSE(other);
    EXPECT_LT(Clock::now() - start, 2s) << "tryLock blocked";

    mutex.unLock();
    onOtherThread([&] { other = mutex.tryLock(); });
    EXPECT_FALSE(other) << "one unLock released both levels";

    mutex.unLock();
    onOtherThread([&] {
        other = mutex.tryLock();
        if (other) mutex.unLock();
    });
    EXPECT_TRUE(other) << "still held after balanced unLock calls";
}

TEST(RSMutex, UnlockByANonOwnerRaisesSomething) {
    RSMutex mutex("name");
    EXPECT_EQ(mutex.getName(), "name");
    EXPECT_EQ(plainTextRaisedBy([&] { mutex.unLock(); }), "SOMETHING") << "nobody owns it";

    mutex.lock();
    std::string raised;
    onOtherThread([&] { raised = plainTextRaisedBy([&] { mutex.unLock(); }); });
    EXPECT_EQ(raised, "SOMETHING");
    EXPECT_EQ(plainTextRaisedBy([&] { mutex.unLock(); }), "")
        << "the refused release changed the owner";
}

TEST(RSMutex, WaitTimesOutOnAHeldMutex) {
    RSMutex mutex("");
    mutex.lock();
    uint32_t result = 0;
    Clock::duration took{};
    onOtherThread([&] {
        const auto start = Clock::now();
        result = mutex.wait(10);
        took = Clock::now() - start;
    });
    EXPECT_EQ(result, platform::kWaitTimedOut);
    EXPECT_GE(took, 10ms);
    EXPECT_LT(took, 2s);
    mutex.unLock();
}

TEST(RSMutex, AbandonedMutexIsReportedOnceAndOwnedByTheWaiter) {
    RSMutex mutex("");
    onOtherThread([&] { mutex.lock(); });  // ends without unLock

    EXPECT_EQ(mutex.wait(1000), platform::kWaitAbandoned);
    bool other = true;
    onOtherThread([&] { other = mutex.tryLock(); });
    EXPECT_FALSE(other) << "the abandoned wait did not hand over ownership";
    mutex.unLock();
    EXPECT_EQ(mutex.wait(0), platform::kWaitAcquired);
    mutex.unLock();
}

TEST(RSMutex, LockOnAnAbandonedMutexRaisesAndHoldsNothing) {
    RSMutex mutex("");
    onOtherThread([&] { mutex.lock(); });
    EXPECT_EQ(plainTextRaisedBy([&] { mutex.lock(); }), "SOMETHING");

    bool other = false;
    onOtherThread([&] {
        other = mutex.tryLock();
        if (other) mutex.unLock();
    });
    EXPECT_TRUE(other) << "the raising lock kept the mutex";

    onOtherThread([&] { mutex.lock(); });
    {
        RSSynchronizeGuard guard(mutex);
        EXPECT_FALSE(guard.isInitialized()) << "a guard on an abandoned mutex holds nothing";
        EXPECT_FALSE(guard.isLocked());
    }
}

TEST(RSMutex, LockRunsTheTimeoutHandlerAtEverySlice) {
    RSMutex mutex("");
    static std::atomic<int> misses{0};
    misses = 0;
    mutex.setTimeout(5);
    mutex.setTimeoutHandler([](RSWaitableSynchronizationObject*) { misses.fetch_add(1); });
    EXPECT_EQ(mutex.getTimeout(), 5);
    EXPECT_NE(mutex.getTimeoutHandler(), nullptr);

    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        mutex.lock();
        held = true;
        while (!release.load()) std::this_thread::sleep_for(1ms);
        mutex.unLock();
    });
    while (!held.load()) std::this_thread::sleep_for(1ms);
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        release = true;
    });
    mutex.lock();
    EXPECT_GE(misses.load(), 1);
    mutex.unLock();
    releaser.join();
    owner.join();
}
