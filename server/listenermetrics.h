// CListenerMetrics: turns the listener's figures (the command server's
// Snapshot: its clients, the engine's subscriptions, the outputs) into the
// metric families the metrics endpoint serves, named after Prometheus'
// conventions with the "quellon_" prefix. Labels are the subscription's
// host, category and severity as the client gave them (never its user or
// password) and the output's name.
//
// Counters stay monotonic for the life of the process: a subscription's
// counters start again at 0 when it is deleted and added again (or
// replaced), so the last value of each series is kept and added on. What
// is kept of subscriptions that went away is bounded (kMaxRetired, each
// for kRetiredFor), so clients that add and delete subscriptions cannot
// grow it without bound.
//
// Owned by the metrics endpoint; Collect is called by its worker thread,
// one call at a time (historyLock makes any thread safe).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "server/metricstext.h"
#include "server/wmilogeventserver.h"

class CListenerMetrics {
  public:
    static constexpr size_t kMaxRetired = 4096;
    static constexpr int64_t kRetiredFor = 3600;  // seconds

    // The process' start time (seconds since 1970) and the build's version
    // and date for quellon_start_time_seconds and quellon_build_info.
    CListenerMetrics(int64_t startedAt, std::string version, std::string buildDate);

    // Every family, from the figures taken at now (seconds since 1970).
    std::vector<TMetricFamily> Collect(const TListenerStats& stats, int64_t now)
        EXCLUDES(historyLock);

    // The name of every family Collect serves, with a sample's suffix
    // ("_total", "_info") where its type gives one.
    static std::vector<std::string> SampleNames();

  private:
    using TKey = std::tuple<std::string, std::string, std::string>;
    // One subscription's counters as last seen, and what earlier lives of
    // the same labels had counted.
    struct THistory {
        uint64_t seen[5] = {0, 0, 0, 0, 0};
        uint64_t carried[5] = {0, 0, 0, 0, 0};
        int64_t lastSeenAt = 0;
    };
    // The counter's value for the series: carried plus now, after carrying
    // what an earlier life had when now fell below what was seen.
    uint64_t Monotonic(THistory& history, int index, uint64_t now);
    // Forgets the oldest retired entries past the bounds.
    void Prune(int64_t now) REQUIRES(historyLock);

    const int64_t startedAt;
    const std::string version;
    const std::string buildDate;

    // historyLock: guards history; a leaf, taken with no other lock held.
    platform::Mutex historyLock;
    std::map<TKey, THistory> history GUARDED_BY(historyLock);
};
