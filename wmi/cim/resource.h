// The network resource a locator's ConnectServer is given ("\\host\root\cimv2"),
// split into the host and the namespace; shared by every provider. Pure
// functions, callable from any thread.
#pragma once

#include <string>

namespace wmi::cim {

// The one namespace the providers serve, as SplitResource gives it.
inline constexpr const char* kNamespaceCimv2 = "root\\cimv2";

// Splits "\\host\namespace" (either slash) into its parts, the namespace
// with backslashes; false when the text does not name a host.
bool SplitResource(const std::string& resource, std::string& host, std::string& nameSpace);

}  // namespace wmi::cim
