#include "serverframework/synchronization.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// These tests lock re-entrantly, release from the wrong thread and expect
// raises, on purpose; the static lock analysis cannot follow that.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

using namespace RSLibrary;

namespace {

// A lock whose lock() raises, as an abandoned mutex does.
class ThrowingLock : public RSSynchronizationObject {
  public:
    int unlocks = 0;
    void unLock() override { ++unlocks; }
    void lock() override { throw "SOMETHING"; }
    bool tryLock() override { return false; }
};

// Counts lock levels so a test can see exactly how often a guard releases.
class CountingLock : public RSSynchronizationObject {
  public:
    int depth = 0;
    void unLock() override { --depth; }
    void lock() override { ++depth; }
    bool tryLock() override {
        ++depth;
        return true;
    }
};

}  // namespace

TEST(RSCriticalSection, IsReentrantForItsOwner) {
    RSCriticalSection cs;
    ASSERT_TRUE(cs.isInitialized());
    cs.lock();
    cs.lock();
    EXPECT_TRUE(cs.tryLock());
    std::atomic<bool> otherGotIt{true};
    std::thread([&] {
        otherGotIt = cs.tryLock();
        if (otherGotIt) cs.unLock();
    }).join();
    EXPECT_FALSE(otherGotIt) << "another thread took a held critical section";
    cs.unLock();
    cs.unLock();
    cs.unLock();
    std::thread([&] {
        otherGotIt = cs.tryLock();
        if (otherGotIt) cs.unLock();
    }).join();
    EXPECT_TRUE(otherGotIt) << "section still held after balanced unLock calls";
}

TEST(RSSynchronizeGuard, SwallowsLockExceptionAndReleasesNothing) {
    ThrowingLock lock;
    {
        RSSynchronizeGuard guard(lock);
        EXPECT_FALSE(guard.isInitialized());
        EXPECT_FALSE(guard.isLocked());
    }
    EXPECT_EQ(lock.unlocks, 0);
}

TEST(RSSynchronizeGuard, UnlockThenDestroyReleasesOnce) {
    CountingLock lock;
    {
        RSSynchronizeGuard guard(lock);
        EXPECT_EQ(lock.depth, 1);
        guard.unLock();
        EXPECT_EQ(lock.depth, 0);
        guard.unLock();
        EXPECT_EQ(lock.depth, 0);
        guard.lock();
        guard.lock();
        EXPECT_EQ(lock.depth, 1);
    }
    EXPECT_EQ(lock.depth, 0);
}

TEST(RSException, CarriesCodeSiteAndMessageThroughCopies) {
    try {
        RS_THROW("Initialization Failure.", RS_E_INITIALIZATION);
    } catch (const RSException& e) {
        RSException copy(e);
        EXPECT_STREQ(copy.what(), "Initialization Failure.");
        EXPECT_EQ(copy.getCode(), 0xF0000002u);
        EXPECT_GT(copy.getLine(), 0);
        EXPECT_NE(std::string(copy.getFile()).find("synchronization_test"), std::string::npos);
    }
}
