// The time forms the quellon-sim tool and the .evtx import accept, read
// with the shared time codec (wmi/cim/cimtime.h). Pure functions, callable
// from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace wmi::sim {

// Parses a DMTF text, 14 digits "YYYYMMDDhhmmss" (UTC), or
// "YYYY-MM-DDThh:mm:ss[.ffffff][Z]" (UTC) into UTC microseconds. False when
// malformed; `microsUtc` is then unchanged.
bool ParseUserTime(std::string_view text, int64_t& microsUtc);

}  // namespace wmi::sim
