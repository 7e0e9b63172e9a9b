// Host names: whether a host given by a client can be reached by name.
// Stateless and thread-safe; a look-up may block while the system's resolver
// asks the network.
#pragma once

#include <string>

namespace platform {

// True for a dotted IPv4 address, or a name the system's resolver turns into
// an address (of any family).
bool HostResolves(const std::string& host);

}  // namespace platform
