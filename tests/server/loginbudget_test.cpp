#include "server/loginbudget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = CLoginBudget::Clock;

TEST(LoginBudgetTest, AddressOfDropsThePort) {
    const struct {
        const char* peer;
        const char* address;
    } cases[] = {
        {"10.0.0.1:50123", "10.0.0.1"},
        {"[::1]:50123", "[::1]"},
        {"unknown", "unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.address, CLoginBudget::AddressOf(c.peer)) << c.peer;
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
