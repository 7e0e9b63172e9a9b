// CEventRate: events delivered per second over the last minute, for STATS.
// Counts in one-second buckets; Add from any thread (the query threads),
// PerSecond from any thread (the command server).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class CEventRate {
  public:
    static constexpr int kWindowSeconds = 60;

    // Counts `count` events delivered at `second` (seconds since 1970).
    void Add(uint64_t count, int64_t second);
    // Events counted in the `kWindowSeconds` seconds before `second`
    // (that second itself included), divided by their number.
    double PerSecond(int64_t second);
    // Every event counted since the object was made. Any thread.
    uint64_t Total() const { return total.load(std::memory_order_relaxed); }

  private:
    struct TBucket {
        int64_t second = -1;
        uint64_t count = 0;
    };
    // Guards the buckets; a leaf lock (platform/thread_annotations.h).
    platform::Mutex lock;
    std::array<TBucket, kWindowSeconds> buckets GUARDED_BY(lock);
    std::atomic<uint64_t> total{0};
};
