#include <syslog.h>

#include <mutex>

#include "platform/debugoutput.h"

namespace platform {

void DebugOutput(const char* text) {
    if (text == nullptr) return;
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("quellon", LOG_PID, LOG_USER); });
    syslog(LOG_DEBUG, "%s", text);
}

}  // namespace platform
