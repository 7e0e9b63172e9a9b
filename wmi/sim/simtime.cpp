#include "wmi/sim/simtime.h"

#include <string>

#include "wmi/cim/cimtime.h"

namespace wmi::sim {

bool ParseUserTime(std::string_view text, int64_t& microsUtc) {
    if (text.size() == 25) return cim::ParseDmtf(text, microsUtc);
    if (text.size() == 14) {
        // The DMTF text of the same instant, without fraction, in UTC.
        return text.find_first_not_of("0123456789") == std::string_view::npos &&
               cim::ParseDmtf(std::string(text) + ".000000+000", microsUtc);
    }
    // The codec's form, narrowed: no zone but Z, at most six fraction
    // digits.
    size_t pos = 19;
    if (text.size() > pos && text[pos] == '.') {
        size_t digits = 0;
        while (++pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++digits;
        if (digits > 6) return false;
    }
    if (text.size() > pos && text.substr(pos) != "Z") return false;
    return cim::ParseRfc3339(text, microsUtc);
}

}  // namespace wmi::sim
