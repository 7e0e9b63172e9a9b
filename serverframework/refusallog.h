// CRefusalLog: keeps a flood of refused or dropped connections (and of
// connections that come and go without logging in) from flooding the log.
// The first refusal of a kind from a source block is logged in full
// by the caller; the repeats within the following minute are only counted,
// and once the minute is over one line gives their count. A source that
// stays quiet for a minute starts afresh. The table is bounded: past
// kMaxSources entries, the refusals of further sources are counted
// together under "other sources".
//
// Owned by the connection server (CIOCPServer). Note is called by the accept
// thread, the worker thread and the application's threads; Due by the
// worker (and by Stop once the worker has ended). Every member is
// thread-safe. Times are given by the caller, so tests need no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class CRefusalLog {
  public:
    using Clock = std::chrono::steady_clock;

    // How long the repeats of a logged refusal are counted before their
    // count is logged.
    static constexpr auto kPeriod = std::chrono::seconds(60);
    // Sources and kinds kept at once; further ones share one entry.
    static constexpr size_t kMaxSources = 1024;
    // The source the refusals past kMaxSources are counted under.
    static constexpr const char* kOtherSources = "other sources";

    // One line the caller is to log at `level` (the level of the refusal).
    struct TLine {
        int level;
        std::string text;
    };

    // A refusal of `kind` (a short constant text: "over the per-source
    // limit") of a connection from `source` at now, which the caller would
    // log at `level`. True when the caller is to log it in full (the first
    // of its source and kind in kPeriod); false when it was counted.
    bool Note(const std::string& source, const std::string& kind, int level, Clock::time_point now);

    // The count lines that are due at now: for each source and kind whose
    // kPeriod has passed with repeats counted, "N more connections from
    // <source> within the last minute: <kind>", in source order; entries whose
    // period passed without repeats are forgotten. With `all`, every count is
    // given whatever its age and the table emptied (at shutdown).
    std::vector<TLine> Due(Clock::time_point now, bool all = false);

  private:
    struct TEntry {
        Clock::time_point since;  // start of the current period
        int level = 0;
        int repeats = 0;  // counted, not logged, in the current period
    };

    // Guards entries. A leaf: nothing else is taken under it (lock order:
    // platform/thread_annotations.h).
    platform::Mutex lock;
    // By source and kind.
    std::map<std::pair<std::string, std::string>, TEntry> entries GUARDED_BY(lock);
};
