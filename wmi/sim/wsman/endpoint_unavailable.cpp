// The simulated WS-Management endpoint where the WS-Management libraries are
// not part of the build (the Windows build): it does not start, and says so.
#include "wmi/sim/wsman/endpoint.h"

namespace wmi::wsman {

class Endpoint::Impl {};

Endpoint::Endpoint(EndpointOptions /*options*/) {}

Endpoint::~Endpoint() = default;

bool Endpoint::Start(std::string& error) {
    error = "the WS-Management endpoint is not available in this build";
    return false;
}

void Endpoint::Stop() {}

uint16_t Endpoint::Port() const { return 0; }

size_t Endpoint::OpenContexts() const { return 0; }

}  // namespace wmi::wsman
