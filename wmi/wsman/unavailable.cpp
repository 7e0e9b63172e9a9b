// The WS-Management provider where its libraries (libcurl, pugixml,
// GSSAPI) are not part of the build (the Windows build, which reads its
// hosts through WMI itself): selecting the provider is refused with a text
// that says so.
#include "wmi/wsman/httptransport.h"
#include "wmi/wsman/wsmanprovider.h"

namespace wmi::wsman {

namespace {

constexpr const char* kUnavailable =
    "WMI.PROVIDER=wsman is not available in this build; use WMI.PROVIDER=wmi or sim";

}  // namespace

bool ReadWsmanSettings(const SettingLookup& /*value*/, WsmanSettings& /*settings*/,
                       std::string& error) {
    error = kUnavailable;
    return false;
}

HRESULT CreateWsmanLocator(const WsmanSettings& /*settings*/, IWbemLocator** locator) {
    if (locator != nullptr) *locator = nullptr;
    return REGDB_E_CLASSNOTREG;
}

LocatorFactory WsmanProvider(const WsmanSettings& /*settings*/) { return NoProvider(); }

// No request of this provider is ever in flight here.
void Transport::AbortAll(bool /*abort*/) {}

}  // namespace wmi::wsman
