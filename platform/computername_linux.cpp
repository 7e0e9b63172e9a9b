#include <unistd.h>

#include <climits>

#include "platform/computername.h"

namespace platform {

std::string LocalComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace platform
