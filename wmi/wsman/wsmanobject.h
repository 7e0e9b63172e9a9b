// The IWbemClassObject of an item read from a WS-Management answer: Get
// hands out the values Instance already holds in WMI's variant kinds, and an
// embedded object (an event's TargetInstance) as another such object.
// Immutable; Get may be called from any thread.
#pragma once

#include <wbemidl.h>

#include <memory>

#include "wmi/wsman/envelope.h"

namespace wmi::wsman {

// A new object (one reference) over `instance`.
IWbemClassObject* MakeObject(std::shared_ptr<const Instance> instance);

}  // namespace wmi::wsman
