// The name of the machine this process runs on, as the management
// interface needs it to recognise connections to the local machine.
// Thread-safe.
#pragma once

#include <string>

namespace platform {

// The machine's host name (empty when it cannot be read).
std::string LocalComputerName();

}  // namespace platform
