#include "engine/resumepoint.h"

#include "wmi/cim/cimtime.h"

bool DmtfToMicros(const std::string& text, int64_t* micros) {
    return wmi::cim::ParseDmtf(text, *micros);
}

std::string MicrosToDmtf(int64_t micros) { return wmi::cim::FormatDmtf(micros); }
