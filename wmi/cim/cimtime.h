// The time codec of WMI's date-times, shared by the engine, every provider
// and every output. Times are held as microseconds since 1970-01-01
// 00:00:00 UTC. WMI shows them as DMTF date-time texts
// "yyyymmddHHMMSS.mmmmmm+UUU" (UUU: offset from UTC in minutes, sign + or
// -); WS-Management carries them as xs:dateTime, and outputs write them as
// RFC 3339 UTC with microseconds ("2026-12-11T01:42:49.123456Z"). Pure
// functions, callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wmi::cim {

// The DMTF text of a UTC time, always with the offset "+000".
std::string FormatDmtf(int64_t microsUtc);

// Parses a DMTF text (exactly 25 characters, offset in minutes) into UTC
// microseconds. False for anything malformed or out of range (month 13,
// February 30, hour 24, second 60, ...); `microsUtc` is then unchanged.
bool ParseDmtf(std::string_view text, int64_t& microsUtc);

// Parses an RFC 3339 / xs:dateTime text "YYYY-MM-DDThh:mm:ss[.fffffffff]"
// (a space is taken for the T) with "Z", "+hh:mm", "-hh:mm" or no zone
// (UTC) into UTC microseconds; fraction digits past six are dropped. False
// when malformed or out of range; `microsUtc` is then unchanged.
bool ParseRfc3339(std::string_view text, int64_t& microsUtc);

// The RFC 3339 text "YYYY-MM-DDThh:mm:ss.ffffffZ" of a UTC time.
std::string FormatRfc3339(int64_t microsUtc);

// The current time in UTC microseconds.
int64_t NowMicros();

}  // namespace wmi::cim
