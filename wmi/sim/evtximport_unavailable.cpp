// The .evtx reader where libevtx is not part of the build (the Windows
// build): reading and importing fail with a text that says so, and nothing
// is written to the store.
#include "wmi/sim/evtximport.h"

namespace wmi::sim {

namespace {

constexpr const char* kUnavailable =
    "reading .evtx files is not available in this build (it has no libevtx); import them with "
    "the Linux quellon-sim into the same store";

}  // namespace

bool ReadEvtxFile(const std::string& /*path*/, std::vector<SimEvent>& /*events*/,
                  EvtxReadReport& /*report*/, std::string* error) {
    if (error != nullptr) *error = kUnavailable;
    return false;
}

SimResult ImportEvtxFiles(SimStore& /*store*/, const std::string& /*host*/,
                          const std::vector<std::string>& /*paths*/,
                          std::vector<EvtxReadReport>& /*reports*/, std::string* error) {
    if (error != nullptr) *error = kUnavailable;
    return SimResult::Failed;
}

}  // namespace wmi::sim
