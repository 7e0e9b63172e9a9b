#include "server/loginbudget.h"

#include <algorithm>

namespace {

// Failures kept per address: beyond the budget, enough for the delay to
// reach its longest; older ones no longer change anything.
constexpr size_t kKeptFailures = CLoginBudget::kFreeFailures + 8;
// Size of the table above which addresses without state are forgotten.
constexpr size_t kSweepAbove = 1024;

}  // namespace

void CLoginBudget::Expire(TAddress& entry, Clock::time_point now) {
    while (!entry.failures.empty() && now - entry.failures.front() >= kWindow) {
        entry.failures.pop_front();
    }
}

void CLoginBudget::Sweep(Clock::time_point now) {
    if (addresses.size() <= kSweepAbove) return;
    for (auto it = addresses.begin(); it != addresses.end();) {
        Expire(it->second, now);
        if (it->second.waiting == 0 && it->second.failures.empty()) {
            it = addresses.erase(it);
        } else {
            ++it;
        }
    }
}

bool CLoginBudget::Admit(const std::string& address, Clock::time_point now) {
    platform::MutexLock guard(lock);
    Sweep(now);
    TAddress& entry = addresses[address];
    Expire(entry, now);
    if (static_cast<int>(entry.failures.size()) > kFreeFailures &&
        entry.waiting >= kMaxWaitingOverBudget) {
        return false;
    }
    ++entry.waiting;
    return true;
}

void CLoginBudget::Release(const std::string& address) {
    platform::MutexLock guard(lock);
    auto found = addresses.find(address);
    if (found == addresses.end() || found->second.waiting == 0) return;
    --found->second.waiting;
    if (found->second.waiting == 0 && found->second.failures.empty()) addresses.erase(found);
}

std::chrono::milliseconds CLoginBudget::Failed(const std::string& address, Clock::time_point now) {
    platform::MutexLock guard(lock);
    Sweep(now);
    TAddress& entry = addresses[address];
    Expire(entry, now);
    entry.failures.push_back(now);
    if (entry.failures.size() > kKeptFailures) entry.failures.pop_front();
    auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(kFailureDelay);
    const int beyond = static_cast<int>(entry.failures.size()) - kFreeFailures;
    for (int i = 0; i < beyond && delay < kMaxFailureDelay; ++i) delay *= 2;
    delay =
        std::min(delay, std::chrono::duration_cast<std::chrono::milliseconds>(kMaxFailureDelay));
    Clock::time_point answer = std::max(now + delay, entry.lastAnswer + kAnswerSpacing);
    entry.lastAnswer = answer;
    return std::chrono::ceil<std::chrono::milliseconds>(answer - now);
}

bool CLoginBudget::OverBudget(const std::string& address, Clock::time_point now) {
    platform::MutexLock guard(lock);
    auto found = addresses.find(address);
    if (found == addresses.end()) return false;
    Expire(found->second, now);
    return static_cast<int>(found->second.failures.size()) > kFreeFailures;
}
