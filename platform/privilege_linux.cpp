#include "platform/privilege.h"

namespace platform {

bool EnablePrivilege(const char* /*name*/) { return false; }

}  // namespace platform
