#include "server/loginbudget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "serverframework/sourceblock.h"

namespace {

using namespace std::chrono_literals;
using Clock = CLoginBudget::Clock;

// The command server keys the budget by source block: the failures of 100
// addresses of one IPv6 /64 (one per connection, as from a host that takes
// a new address for each) add up to one budget, which then slows them all
// and limits their waiting connections; a neighbouring /64, and the same
// addresses keyed each on its own (a /128 block), are not affected.
TEST(LoginBudgetTest, TheAddressesOfOneBlockShareABudget) {
    const struct {
        int v6Bits;
        bool shared;
    } cases[] = {{64, true}, {128, false}};
    for (const auto& c : cases) {
        TSourceBlockBits bits;
        bits.v6 = c.v6Bits;
        CLoginBudget budget;
        const Clock::time_point t0 = Clock::now();
        std::chrono::milliseconds last{0};
        for (int i = 1; i <= 100; ++i) {
            char peer[64];
            std::snprintf(peer, sizeof peer, "[2001:db8:0:7:%x::%x]:4%03d", i * 7, i, i);
            const std::string block = SourceBlockOf(peer, bits);
            ASSERT_TRUE(budget.Admit(block, t0)) << peer;
            budget.Release(block);
            last = budget.Failed(block, t0);
        }
        const std::string lastBlock = SourceBlockOf("[2001:db8:0:7:2bc::64]:5000", bits);
        const std::string neighbour = SourceBlockOf("[2001:db8:0:8::1]:5000", bits);
        EXPECT_EQ(c.shared, budget.OverBudget(lastBlock, t0)) << c.v6Bits;
        if (c.shared) {
            EXPECT_GE(last, CLoginBudget::kMaxFailureDelay) << c.v6Bits;
        } else {
            EXPECT_EQ(CLoginBudget::kFailureDelay, last) << c.v6Bits;
        }
        EXPECT_FALSE(budget.OverBudget(neighbour, t0)) << c.v6Bits;
        EXPECT_EQ(CLoginBudget::kFailureDelay, budget.Failed(neighbour, t0)) << c.v6Bits;
        for (int i = 0; i < CLoginBudget::kMaxWaitingOverBudget; ++i) {
            EXPECT_TRUE(budget.Admit(lastBlock, t0)) << c.v6Bits << " " << i;
        }
        EXPECT_EQ(!c.shared, budget.Admit(lastBlock, t0)) << c.v6Bits;
    }
}

// Within the budget a failure waits one second; the replies of one address
// are spaced so that at most ten a second are answered, however many
// connections it uses; beyond ten failures in a minute each waits twice as
// long as the one before, up to a minute; a minute later it is forgotten.
TEST(LoginBudgetTest, FailuresOfOneAddressBackOff) {
    CLoginBudget budget;
    const Clock::time_point t0 = Clock::now();
    // Ten failures at the same moment (ten connections): one second, then
    // a tenth of a second apart.
    for (int i = 0; i < CLoginBudget::kFreeFailures; ++i) {
        EXPECT_EQ(std::chrono::milliseconds(1000 + 100 * i), budget.Failed("10.0.0.1", t0)) << i;
    }
    EXPECT_FALSE(budget.OverBudget("10.0.0.1", t0));
    // Another address is not affected.
    EXPECT_EQ(1000ms, budget.Failed("10.0.0.2", t0));

    const Clock::time_point t1 = t0 + 5s;
    // The last one also waits for the answer before it.
    const std::chrono::milliseconds expected[] = {2000ms,  4000ms,  8000ms, 16000ms,
                                                  32000ms, 60000ms, 60100ms};
    for (std::chrono::milliseconds want : expected) {
        EXPECT_EQ(want, budget.Failed("10.0.0.1", t1)) << want.count();
    }
    EXPECT_TRUE(budget.OverBudget("10.0.0.1", t1));
    EXPECT_FALSE(budget.OverBudget("10.0.0.2", t1));

    // The failures leave the window a minute after they happened.
    EXPECT_TRUE(budget.OverBudget("10.0.0.1", t0 + 59s));
    EXPECT_FALSE(budget.OverBudget("10.0.0.1", t1 + 60s));
    EXPECT_EQ(1000ms, budget.Failed("10.0.0.1", t1 + 2min));
}

// Connections not logged in are limited only while the address is over its
// budget; releasing one makes room for the next.
TEST(LoginBudgetTest, AnAddressOverItsBudgetHoldsFewWaitingConnections) {
    CLoginBudget budget;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(budget.Admit("10.0.0.1", t0)) << i;
    for (int i = 0; i < 100; ++i) budget.Release("10.0.0.1");

    for (int i = 0; i <= CLoginBudget::kFreeFailures; ++i) budget.Failed("10.0.0.1", t0);
    for (int i = 0; i < CLoginBudget::kMaxWaitingOverBudget; ++i) {
        EXPECT_TRUE(budget.Admit("10.0.0.1", t0)) << i;
    }
    EXPECT_FALSE(budget.Admit("10.0.0.1", t0));
    EXPECT_TRUE(budget.Admit("10.0.0.2", t0)) << "another address was limited";
    budget.Release("10.0.0.1");
    EXPECT_TRUE(budget.Admit("10.0.0.1", t0));
    EXPECT_FALSE(budget.Admit("10.0.0.1", t0));
    // Once the failures are a minute old, the address is free again.
    EXPECT_TRUE(budget.Admit("10.0.0.1", t0 + 61s));
}

}  // namespace
