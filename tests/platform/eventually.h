// Waiting in tests for something another thread does: polls a condition
// until it holds or a generous limit passes, so that a missing event fails
// the test instead of hanging it.
#pragma once

#include <chrono>
#include <thread>

// Polls condition every few milliseconds for up to timeoutMs; true when it
// became true.
template <typename Condition>
bool Eventually(Condition condition, int timeoutMs = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
