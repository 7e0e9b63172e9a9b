// What the engine tells of its subscriptions and replays at one moment: the
// figures STATS prints and the metrics endpoint exposes, taken in one pass
// under the dispatcher's list lock (CDispatchThread::SnapshotStatistics) and
// owned by the caller afterwards. Plain values; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TSubscriptionStats {
    std::string host;
    std::string category;
    std::string severity;
    bool replay = false;
    // The stage as LIST names it ("EventWait", "Output Blocked", ...).
    std::string state;
    // Announced CONNECTION_FAILED and not re-established since.
    bool failing = false;
    uint64_t delivered = 0;
    uint64_t caughtUp = 0;
    // Records that could not be read, and those catch-ups left out over
    // their cap; both skipped.
    uint64_t skipped = 0;
    uint64_t overCap = 0;
    uint32_t reconnects = 0;
    // Seconds since 1970 (UTC), 0: none yet.
    int64_t lastDeliveredAt = 0;
    int64_t lastErrorAt = 0;
    // TimeWritten of the last record delivered, µs since 1970; 0: unknown.
    int64_t lastWrittenMicros = 0;
    // The last error's text, empty for none.
    std::string lastError;
};

struct TEngineStats {
    // In order of acceptance.
    std::vector<TSubscriptionStats> subscriptions;
    // Events delivered per second over the last minute.
    double eventsPerSecond = 0;
    // Events delivered since the engine was made, by every subscription
    // and replay.
    uint64_t eventsDelivered = 0;
    // "ok" or "failing" with a state file, else empty.
    std::string stateFile;
};
