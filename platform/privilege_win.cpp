// DESIGN
// Enables the named privilege (SeSecurityPrivilege, ...) in the process
// token: LookupPrivilegeValue, then AdjustTokenPrivileges, whose success
// must be checked with GetLastError (ERROR_NOT_ALL_ASSIGNED when the account
// does not hold the privilege).
#include <windows.h>

#include "platform/privilege.h"

namespace platform {

bool EnablePrivilege(const char* name) {
    if (name == nullptr) return false;
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                   GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}

}  // namespace platform
