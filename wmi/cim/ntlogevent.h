// The class Win32_NTLogEvent as every provider and the engine see it: its
// properties, how each compares in a query and its CIM type. Also the
// ASCII name a property is asked for by (IWbemClassObject::Get). Constant
// tables and pure functions, callable from any thread.
#pragma once

#include <wbemidl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wmi::cim {

inline constexpr const char* kNtLogEventClass = "Win32_NTLogEvent";
inline constexpr const char* kCreationEventClass = "__InstanceCreationEvent";

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

// Whether record `number` of a log comes after record `last`. RecordNumber
// is unsigned 32-bit and wraps: counted modulo 2^32, a number up to 2^31
// ahead is later, so a log going from near 2^32 to a small number has
// wrapped (or was cleared) and its new records are not taken for old ones.
constexpr bool RecordNumberAfter(uint32_t last, uint32_t number) {
    return static_cast<uint32_t>(number - last - 1u) < 0x80000000u;
}

// Whether log name `name` is an event channel, read through the event log
// resource, rather than a classic log of Win32_NTLogEvent: a name with a
// '/' (every channel a manifest defines is "Provider/Type":
// "Microsoft-Windows-Sysmon/Operational"), and the two channels of the
// Windows Logs folder that are not classic logs, "ForwardedEvents" and
// "Setup" (ASCII case ignored). Every other name (Application, System,
// Security, "Directory Service", "Windows PowerShell", ...) is a classic log.
bool IsChannelName(std::string_view name);

// A property name given to Get, narrowed to ASCII: every character past
// ASCII becomes 0x7F, so that it matches no name.
std::string NarrowName(LPCWSTR name);

}  // namespace wmi::cim
