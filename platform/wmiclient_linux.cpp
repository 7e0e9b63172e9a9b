// DESIGN
// Linux has no WMI: every connection fails with kWmiNotAvailable, and no
// code has a text of the system.
#include "platform/wmiclient.h"

namespace platform {

int32_t ConnectWmi(const std::string& /*host*/, const std::string& /*user*/,
                   const std::string& /*password*/, std::unique_ptr<WmiSession>* session) {
    session->reset();
    return kWmiNotAvailable;
}

bool WmiAvailable() { return false; }

std::string WmiErrorText(int32_t /*code*/) { return std::string(); }

}  // namespace platform
