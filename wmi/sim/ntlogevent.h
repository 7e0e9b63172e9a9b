// The WMI objects of the simulated hosts: Win32_NTLogEvent made from one
// store record, and the __InstanceCreationEvent that carries one in its
// TargetInstance property. Also the property table the query evaluator
// shares with them. Objects are immutable after creation; Get may be called
// from any thread.
#pragma once

#include <wbemidl.h>

#include <string_view>

#include "wmi/sim/simstore.h"

namespace wmi::sim {

enum class EventProperty {
    Category,
    CategoryString,
    ComputerName,
    EventCode,
    EventIdentifier,
    EventType,
    InsertionStrings,
    Logfile,
    Message,
    RecordNumber,
    SourceName,
    TimeGenerated,
    TimeWritten,
    Type,
    User,
};

constexpr size_t kEventPropertyCount = 15;

// How a property compares in a query.
enum class PropertyKind { Number, Text, DateTime, TextArray };

// The property of Win32_NTLogEvent called `name` (any case); false when the
// class has none.
bool FindEventProperty(std::string_view name, EventProperty& property);
PropertyKind KindOf(EventProperty property);
// The property's name as the class spells it, and its CIM type.
const char* NameOf(EventProperty property);
CIMTYPE CimTypeOf(EventProperty property);

// The value of a Number property of `event`.
int64_t NumberOf(const SimEvent& event, EventProperty property);
// The value of a Text property; null when the record has none.
const std::string* TextOf(const SimEvent& event, EventProperty property);
// The value of a DateTime property, UTC microseconds.
int64_t TimeOf(const SimEvent& event, EventProperty property);

// The Win32_NTLogEvent of `event`, with one reference.
IWbemClassObject* MakeLogEventObject(SimEvent&& event);
// An __InstanceCreationEvent whose TargetInstance is `target`; takes over
// the caller's reference to `target`. Returns one reference.
IWbemClassObject* MakeCreationEvent(IWbemClassObject* target);

}  // namespace wmi::sim
