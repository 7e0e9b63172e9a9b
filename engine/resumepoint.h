// Resume points: where a live subscription stands in each event log it
// covers, so that after a reconnect, or a restart with a state file, it can
// deliver what the host wrote meanwhile and nothing twice.
//
// A TResumePoint is a plain value. The node that carries it is read and
// written only by the thread that holds the node; the state file
// (CResumeStore) keeps copies.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

// The last record delivered from one event log: its RecordNumber and its
// TimeWritten as WMI gives it (DMTF text, yyyymmddHHMMSS.mmmmmm+UUU).
struct TLogPosition {
    // RecordNumber is an unsigned 32-bit value; a busy log passes 2^31.
    uint32_t recordNumber = 0;
    std::string timeWritten;

    bool operator==(const TLogPosition&) const = default;
};

struct TResumePoint {
    // When the subscription's first live query started (DMTF, UTC): records
    // of a log it has delivered nothing from count from here.
    std::string since;
    // By log file name.
    std::map<std::string, TLogPosition> logs;

    bool empty() const { return since.empty() && logs.empty(); }
    bool operator==(const TResumePoint&) const = default;
};

// What identifies a subscription across restarts.
struct TResumeKey {
    std::string host;
    std::string category;
    std::string severity;
    std::string user;

    bool operator<(const TResumeKey& other) const {
        return std::tie(host, category, severity, user) <
               std::tie(other.host, other.category, other.severity, other.user);
    }
    bool operator==(const TResumeKey&) const = default;
};

// Microseconds since 1970-01-01 UTC of a DMTF time (the offset, in minutes
// east of UTC, is taken off); false for a text that is not one, or not a
// date of the calendar. The engine's spelling of wmi/cim/cimtime.h.
bool DmtfToMicros(const std::string& text, int64_t* micros);

// The DMTF text of a UTC time, with the offset +000.
std::string MicrosToDmtf(int64_t micros);
