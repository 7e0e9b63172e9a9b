#include "app/cominit.h"

#include <wbemidl.h>

void InitializeCom() {
    // Results are ignored: a thread that cannot join the apartment logs it
    // when it first needs the management interface.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
}
