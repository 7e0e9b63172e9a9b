// Debug output: the stand-in for the platform's debugger trace channel,
// written by the service framework and the service application where no
// console exists. Messages go to syslog at LOG_DEBUG with the ident
// "quellon" (the journal keeps them under a service manager). Thread-safe.
#pragma once

namespace platform {

// Sends one text to the debug output. A null text is ignored.
void DebugOutput(const char* text);

}  // namespace platform
