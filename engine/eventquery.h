// The WQL queries the engine sends for its subscriptions: a notification
// query for new Win32_NTLogEvent instances of a live subscription, and a
// data query for the instances of a replay's time window. The connector
// thread calls SendEventQuery when it has connected a subscription; the
// text is assembled from six fixed format texts and the subscription's
// category, severity limit and time window. Stateless; any thread.
#pragma once

#include <time.h>
#include <wbemidl.h>

#include <cstdint>
#include <string>
#include <string_view>

// What a query is built from, taken from the subscription record.
struct TEventQueryFields {
    bool isReplay = false;
    int32_t withinInterval = 60;  // seconds between WMI's looks (live)
    std::string_view category;    // log file, "*" for every log
    std::string_view eventType;   // highest event type wanted, "*" for all
    std::string_view timeFrom;    // YYYYMMDDhhmmss, UTC (replay)
    std::string_view timeTo;      // YYYYMMDDhhmmss, UTC (replay)
};

// The query text: the live or replay base, then the LogFile clause unless
// the category is "*", then the EventType clause unless the severity is
// "*". Values are inserted as they are.
std::string BuildEventQuery(const TEventQueryFields& fields);

// False when a value could leave its place in the query text and change
// its meaning: a single quote or backslash in the category or a replay
// bound (which stand between quotes), or a severity (which stands bare)
// that is not a decimal number.
bool EventQueryValuesAreSafe(const TEventQueryFields& fields);

// Starts a WQL query on `services` with flags return-immediately |
// forward-only: ExecNotificationQuery when `notification`, else ExecQuery.
// Returns the platform's code; on success *eventEnum holds the enumerator
// (one reference, the caller's). Raises std::bad_alloc when the text cannot
// be allocated.
HRESULT ExecWql(IWbemServices* services, const std::string& text, bool notification,
                IEnumWbemClassObject** eventEnum);

// Builds the query, logs "Sending query <text>" at DEBUG and starts it on
// `services` with language "WQL" and flags return-immediately |
// forward-only: ExecNotificationQuery for a live subscription, ExecQuery
// for a replay. Returns the platform's code; on success *eventEnum holds the
// enumerator (one reference, the caller's). A query whose values are not
// safe is not sent: WBEM_E_INVALID_QUERY, as WMI answers a malformed query.
// Raises std::bad_alloc when the text cannot be allocated.
HRESULT SendEventQuery(IWbemServices* services, const TEventQueryFields& fields,
                       IEnumWbemClassObject** eventEnum);

// True for the codes with which WMI refuses a query itself (invalid query,
// query type or class): asking again cannot succeed, unlike a failure to
// reach the host.
bool IsQueryRefusal(HRESULT code);

// A replay bound, fourteen digits YYYYMMDDhhmmss of the listener's local
// time, as the same instant in UTC, same form; daylight saving time is that
// of the date. A text that is not such a date (wrong length, a month 13) is
// returned unchanged, for WMI to judge.
std::string LocalStampToUtc(std::string_view localStamp);

// `when` in UTC as fourteen digits YYYYMMDDhhmmss.
std::string UtcStamp(time_t when);
