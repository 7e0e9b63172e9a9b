#include "engine/eventquery.h"

#include <new>

#include "base/logger.h"
#include "base/stringformat.h"
#include "platform/text.h"

namespace {

// The six format texts of the queries.
const char* const kLiveBase =
    "SELECT * FROM __InstanceCreationEvent WITHIN %i WHERE TargetInstance ISA 'Win32_NTLogEvent'";
const char* const kLiveCategory = " AND TargetInstance.LogFile = '%s'";
const char* const kLiveSeverity = " AND TargetInstance.EventType <= %s";
const char* const kReplayBase =
    "SELECT * FROM Win32_NTLogEvent WHERE TimeGenerated > '%s.000000+000' AND TimeGenerated < "
    "'%s.000000+000'";
const char* const kReplayCategory = " AND LogFile = '%s'";
const char* const kReplaySeverity = " AND EventType <= %s";

bool IsWildcard(std::string_view value) { return value == "*"; }

bool SafeQuoted(std::string_view value) {
    return value.find('\'') == std::string_view::npos && value.find('\\') == std::string_view::npos;
}

bool IsDecimal(std::string_view value) {
    if (!value.empty() && value[0] == '-') value.remove_prefix(1);
    if (value.empty()) return false;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

std::string BuildEventQuery(const TEventQueryFields& fields) {
    std::string category(fields.category);
    std::string eventType(fields.eventType);
    std::string text;
    if (!fields.isReplay) {
        text = StringFormat(kLiveBase, fields.withinInterval);
        if (!IsWildcard(category)) text += StringFormat(kLiveCategory, category.c_str());
        if (!IsWildcard(eventType)) text += StringFormat(kLiveSeverity, eventType.c_str());
    } else {
        std::string from(fields.timeFrom);
        std::string to(fields.timeTo);
        text = StringFormat(kReplayBase, from.c_str(), to.c_str());
        if (!IsWildcard(category)) text += StringFormat(kReplayCategory, category.c_str());
        if (!IsWildcard(eventType)) text += StringFormat(kReplaySeverity, eventType.c_str());
    }
    return text;
}

bool EventQueryValuesAreSafe(const TEventQueryFields& fields) {
    if (!IsWildcard(fields.category) && !SafeQuoted(fields.category)) return false;
    if (!IsWildcard(fields.eventType) && !IsDecimal(fields.eventType)) return false;
    if (fields.isReplay && (!SafeQuoted(fields.timeFrom) || !SafeQuoted(fields.timeTo)))
        return false;
    return true;
}

HRESULT SendEventQuery(IWbemServices* services, const TEventQueryFields& fields,
                       IEnumWbemClassObject** eventEnum) {
    std::string text = BuildEventQuery(fields);
    if (!EventQueryValuesAreSafe(fields)) {
        LOG(WARN,
            "Refusing query %s: a quoted value holds a quote or backslash, or the "
            "severity is not a number",
            text.c_str());
        return WBEM_E_INVALID_QUERY;
    }
    LOG(DEBUG, "Sending query %s", text.c_str());
    return ExecWql(services, text, !fields.isReplay, eventEnum);
}

HRESULT ExecWql(IWbemServices* services, const std::string& text, bool notification,
                IEnumWbemClassObject** eventEnum) {
    std::u16string wide = platform::Utf8ToUtf16(text);
    BSTR query = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    BSTR language = SysAllocString(u"WQL");
    if (query == nullptr || language == nullptr) {
        SysFreeString(query);
        SysFreeString(language);
        throw std::bad_alloc();
    }
    const LONG flags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
    HRESULT hr = notification
                     ? services->ExecNotificationQuery(language, query, flags, nullptr, eventEnum)
                     : services->ExecQuery(language, query, flags, nullptr, eventEnum);
    SysFreeString(query);
    SysFreeString(language);
    return hr;
}

bool IsQueryRefusal(HRESULT code) {
    return code == WBEM_E_INVALID_QUERY || code == WBEM_E_INVALID_QUERY_TYPE ||
           code == WBEM_E_INVALID_CLASS;
}

std::string LocalStampToUtc(std::string_view localStamp) {
    if (localStamp.size() != 14) return std::string(localStamp);
    for (char c : localStamp) {
        if (c < '0' || c > '9') return std::string(localStamp);
    }
    auto number = [&](size_t at, size_t length) {
        int value = 0;
        for (size_t i = at; i < at + length; ++i) value = value * 10 + (localStamp[i] - '0');
        return value;
    };
    struct tm local = {};
    local.tm_year = number(0, 4) - 1900;
    local.tm_mon = number(4, 2) - 1;
    local.tm_mday = number(6, 2);
    local.tm_hour = number(8, 2);
    local.tm_min = number(10, 2);
    local.tm_sec = number(12, 2);
    local.tm_isdst = -1;  // whatever the zone's rules say for that date
    struct tm checked = local;
    time_t when = mktime(&checked);
    // mktime moves fields that are out of range into the next ones; such a
    // text is not a date.
    if (when == static_cast<time_t>(-1) || local.tm_mon < 0 || local.tm_mon > 11 ||
        checked.tm_mday != local.tm_mday || local.tm_hour > 23 || local.tm_min > 59 ||
        local.tm_sec > 59) {
        return std::string(localStamp);
    }
    return UtcStamp(when);
}

std::string UtcStamp(time_t when) {
    struct tm utc;
    gmtime_r(&when, &utc);
    return StringFormat("%d%02d%02d%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                        utc.tm_hour, utc.tm_min, utc.tm_sec);
}
