// DESIGN
// The NetBIOS name of the machine (GetComputerNameW), the name a client
// gives for the local machine, in UTF-8.
#include <windows.h>

#include "platform/computername.h"
#include "platform/text.h"

namespace platform {

std::string LocalComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length)) return {};
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name), length));
}

}  // namespace platform
