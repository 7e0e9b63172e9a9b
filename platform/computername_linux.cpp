#include "platform/computername.h"

#include <unistd.h>

#include <climits>

namespace platform {

std::string LocalComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace platform
