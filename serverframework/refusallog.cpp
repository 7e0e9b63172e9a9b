#include "serverframework/refusallog.h"

#include "base/stringformat.h"

bool CRefusalLog::Note(const std::string& source, const std::string& kind, int level,
                       Clock::time_point now) {
    platform::MutexLock guard(lock);
    auto key = std::make_pair(source, kind);
    auto found = entries.find(key);
    if (found == entries.end() && entries.size() >= kMaxSources) {
        key.first = kOtherSources;
        found = entries.find(key);
    }
    if (found != entries.end() && now - found->second.since < kPeriod) {
        ++found->second.repeats;
        return false;
    }
    if (found != entries.end() && found->second.repeats > 0) {
        // Its period is over, but Due has not given its count yet: this one
        // is counted into a new period so that the line stays one a minute.
        ++found->second.repeats;
        return false;
    }
    TEntry& entry = entries[key];
    entry.since = now;
    entry.level = level;
    entry.repeats = 0;
    return true;
}

std::vector<CRefusalLog::TLine> CRefusalLog::Due(Clock::time_point now, bool all) {
    std::vector<TLine> lines;
    platform::MutexLock guard(lock);
    for (auto it = entries.begin(); it != entries.end();) {
        TEntry& entry = it->second;
        if (!all && now - entry.since < kPeriod) {
            ++it;
            continue;
        }
        if (entry.repeats > 0) {
            lines.push_back(
                {entry.level,
                 StringFormat("%d more connections from %s within the last minute: %s",
                              entry.repeats, it->first.first.c_str(), it->first.second.c_str())});
        }
        if (entry.repeats == 0 || all) {
            it = entries.erase(it);
            continue;
        }
        // The flood goes on: the next period counts from here, and the
        // source stays quiet in the log for another minute.
        entry.since = now;
        entry.repeats = 0;
        ++it;
    }
    return lines;
}
