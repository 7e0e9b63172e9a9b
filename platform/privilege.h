// Security privileges of the process token. The platform has no per-process
// privilege that corresponds to the one the listener asks for at start-up, so
// enabling one is a no-op that reports failure; every caller ignores the
// result. Thread-safe.
#pragma once

namespace platform {

// Tries to enable the named privilege for the process; false when it was not
// enabled (always, here).
bool EnablePrivilege(const char* name);

}  // namespace platform
