// The WMI objects of the simulated hosts: Win32_NTLogEvent made from one
// store record, and the __InstanceCreationEvent that carries one in its
// TargetInstance property; the values of a record's properties (by the
// class's table, wmi/cim/ntlogevent.h) and whether a record satisfies a
// query. Objects are immutable after creation; Get may be called from any
// thread.
#pragma once

#include <wbemidl.h>

#include <string_view>

#include "wmi/cim/ntlogevent.h"
#include "wmi/cim/wql.h"
#include "wmi/sim/simstore.h"

namespace wmi::sim {

using cim::EventProperty;
using cim::PropertyKind;

// The value of a Number property of `event`.
int64_t NumberOf(const SimEvent& event, EventProperty property);
// The value of a Text property; null when the record has none.
const std::string* TextOf(const SimEvent& event, EventProperty property);
// The value of a DateTime property, UTC microseconds.
int64_t TimeOf(const SimEvent& event, EventProperty property);

// Whether `event` satisfies every condition of `query`.
bool Matches(const cim::WqlQuery& query, const SimEvent& event);

// The Win32_NTLogEvent of `event`, with one reference.
IWbemClassObject* MakeLogEventObject(SimEvent&& event);
// An __InstanceCreationEvent whose TargetInstance is `target`; takes over
// the caller's reference to `target`. Returns one reference.
IWbemClassObject* MakeCreationEvent(IWbemClassObject* target);

}  // namespace wmi::sim
