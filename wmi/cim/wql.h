// The WQL of Win32_NTLogEvent every provider understands: the two query
// forms the engine sends and a little more, parsed into conditions on the
// class's properties (wmi/cim/ntlogevent.h).
//
//   SELECT * FROM __InstanceCreationEvent WITHIN n
//       WHERE TargetInstance ISA 'Win32_NTLogEvent' [AND TargetInstance.P op v]...
//   SELECT * FROM Win32_NTLogEvent [WHERE P op v [AND P op v]...]
//
// Keywords, class and property names ignore case. op is =, <>, !=, <, <=,
// >, >=; v is a number or a string in single or double quotes, in which a
// backslash escapes the next quote or backslash. Strings compare without
// regard to case, numbers as numbers, TimeGenerated / TimeWritten as times
// (v in DMTF form). A property without a value (Message, User) matches no
// comparison (each provider evaluates a query on its own records). Pure
// functions, callable from any thread.
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wmi/cim/ntlogevent.h"

namespace wmi::cim {

enum class WqlOp { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual };

struct WqlCondition {
    EventProperty property;
    WqlOp op;
    int64_t number = 0;  // Number and DateTime properties (UTC microseconds)
    std::string text;    // Text properties
};

struct WqlQuery {
    bool notification = false;             // __InstanceCreationEvent
    int64_t withinMicros = 0;              // WITHIN, notification queries only
    std::vector<WqlCondition> conditions;  // all must hold
};

// Parses `text` for ExecNotificationQuery (notification true) or ExecQuery.
// WBEM_S_NO_ERROR and `query` filled; WBEM_E_INVALID_QUERY for text it
// cannot parse or a property the class does not have; WBEM_E_INVALID_CLASS
// for an unknown class; WBEM_E_NOT_EVENT_CLASS for a notification query on
// a data class.
HRESULT ParseWql(std::string_view text, bool notification, WqlQuery& query);

// The TimeGenerated range [from, to] (inclusive, UTC microseconds) outside
// which no record can match; the whole range when the query sets no bound.
void TimeGeneratedBounds(const WqlQuery& query, int64_t& from, int64_t& to);

// The highest record number below which no record can match (0 when the
// query sets no lower bound on RecordNumber): a data query starts paging
// after it instead of at the host's first record.
int64_t RecordNumberFloor(const WqlQuery& query);

}  // namespace wmi::cim
