// The WS-Management provider and endpoint where their libraries (libcurl,
// pugixml, GSSAPI) are not part of the build (the Windows build, which reads
// its hosts through WMI itself): selecting the provider is refused with a
// text that says so, and the endpoint does not start.
#include "wmi/wsman/endpoint.h"
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

class Endpoint::Impl {};

Endpoint::Endpoint(EndpointOptions /*options*/) {}

Endpoint::~Endpoint() = default;

bool Endpoint::Start(std::string& error) {
    error = "the WS-Management endpoint is not available in this build";
    return false;
}

void Endpoint::Stop() {}

uint16_t Endpoint::Port() const { return 0; }

size_t Endpoint::OpenContexts() const { return 0; }

}  // namespace wmi::wsman
