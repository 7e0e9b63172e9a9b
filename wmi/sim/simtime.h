// Time conversions for the simulated hosts: the store keeps times as
// microseconds since 1970-01-01 00:00:00 UTC; WMI shows them as DMTF
// date-time texts "yyyymmddHHMMSS.mmmmmm+UUU" (UUU: offset from UTC in
// minutes, sign + or -). Pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wmi::sim {

// The DMTF text of a UTC time, always with the offset "+000".
std::string FormatDmtf(int64_t microsUtc);

// Parses a DMTF text (exactly 25 characters, offset in minutes) into UTC
// microseconds. False for anything malformed or out of range (month 13,
// day 32, hour 24, ...); `microsUtc` is then unchanged.
bool ParseDmtf(std::string_view text, int64_t& microsUtc);

// Parses the time forms the quellon-sim tool accepts: a DMTF text, 14
// digits "YYYYMMDDhhmmss" (UTC), or ISO "YYYY-MM-DDThh:mm:ss[.ffffff][Z]"
// (UTC). False when malformed.
bool ParseUserTime(std::string_view text, int64_t& microsUtc);

// Parses an ISO 8601 / xs:dateTime text "YYYY-MM-DDThh:mm:ss[.fffffffff]"
// with "Z", "+hh:mm", "-hh:mm" or no zone (UTC) into UTC microseconds
// (fraction digits past six are dropped). False when malformed.
bool ParseIso8601(std::string_view text, int64_t& microsUtc);

// The ISO 8601 text "YYYY-MM-DDThh:mm:ss.ffffffZ" of a UTC time.
std::string FormatIso8601(int64_t microsUtc);

// The current time in UTC microseconds.
int64_t NowMicros();

}  // namespace wmi::sim
