#include "engine/eventrate.h"

void CEventRate::Add(uint64_t count, int64_t second) {
    if (count == 0 || second < 0) return;
    total.fetch_add(count, std::memory_order_relaxed);
    platform::MutexLock guard(lock);
    TBucket& bucket = buckets[static_cast<size_t>(second % kWindowSeconds)];
    if (bucket.second != second) {
        bucket.second = second;
        bucket.count = 0;
    }
    bucket.count += count;
}

double CEventRate::PerSecond(int64_t second) {
    platform::MutexLock guard(lock);
    uint64_t total = 0;
    for (const TBucket& bucket : buckets) {
        if (bucket.second > second - kWindowSeconds && bucket.second <= second)
            total += bucket.count;
    }
    return static_cast<double>(total) / kWindowSeconds;
}
