#include "engine/eventrecord.h"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "base/configdataloader.h"
#include "base/stringformat.h"
#include "engine/threadinfra.h"
#include "platform/text.h"

namespace {

// Event text as UTF-8, whole: an unpaired surrogate becomes U+FFFD and a
// NUL stays (the outputs write it their own way).
std::string BstrText(BSTR text) {
    if (text == nullptr) return std::string();
    return platform::Utf16ToUtf8Lossy(std::u16string_view(text, SysStringLen(text)));
}

// Every element of a string array; none when it has none or cannot be read.
std::vector<std::string> ArrayStrings(SAFEARRAY* array) {
    std::vector<std::string> items;
    LONG lower = 0;
    LONG upper = -1;
    if (array == nullptr || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper < lower) {
        return items;
    }
    // Read in place: the elements are converted straight from the array's
    // own strings, not from a copy of each.
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return items;
    const auto* elements = static_cast<const BSTR*>(data);
    const size_t count = static_cast<size_t>(upper - lower + 1);
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) items.push_back(BstrText(elements[i]));
    SafeArrayUnaccessData(array);
    return items;
}

std::string ArrayBytes(SAFEARRAY* array) {
    LONG lower = 0;
    LONG upper = -1;
    void* data = nullptr;
    if (array == nullptr || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper < lower ||
        FAILED(SafeArrayAccessData(array, &data))) {
        return std::string();
    }
    std::string bytes(static_cast<const char*>(data), static_cast<size_t>(upper - lower + 1));
    SafeArrayUnaccessData(array);
    return bytes;
}

TEventValue Number(std::string text) {
    TEventValue value;
    value.kind = TEventValue::TKind::Number;
    value.text = std::move(text);
    return value;
}

// The decimal text of an integer, as printf's %d / %u writes it (without
// going through a format string: several of every record's properties are
// integers).
template <class Integer>
std::string Decimal(Integer number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return std::string(digits, end);
}

struct PropertyRead {
    TEventProperty property;
    const char16_t* name;
    const char* failure;  // null: the record does not need it
    // The class's type is unsigned 32-bit (RecordNumber, EventIdentifier):
    // WMI hands such a property over as VT_I4, so a value past 2^31
    // arrives negative and is read back as the unsigned number it is.
    bool unsigned32 = false;
};

// Read order of the event's properties: the six the record needs first,
// with the warning of each failure, then the rest.
constexpr PropertyRead kProperties[kEventPropertyCount] = {
    {TEventProperty::TimeGenerated, u"TimeGenerated", "Error retrieving TimeGenerated"},
    {TEventProperty::InsertionStrings, u"InsertionStrings", "Error retrieving Message"},
    {TEventProperty::EventCode, u"EventCode", "Error retrieving EventCode"},
    {TEventProperty::Type, u"Type", "Error retrieving Type"},
    {TEventProperty::Logfile, u"LogFile", "Error retrieving LogFile"},
    {TEventProperty::SourceName, u"SourceName", "Error retrieving EventSource"},
    {TEventProperty::Category, u"Category", nullptr},
    {TEventProperty::CategoryString, u"CategoryString", nullptr},
    {TEventProperty::ComputerName, u"ComputerName", nullptr},
    {TEventProperty::Data, u"Data", nullptr},
    {TEventProperty::EventIdentifier, u"EventIdentifier", nullptr, true},
    {TEventProperty::EventType, u"EventType", nullptr},
    {TEventProperty::Message, u"Message", nullptr},
    {TEventProperty::RecordNumber, u"RecordNumber", nullptr, true},
    {TEventProperty::TimeWritten, u"TimeWritten", nullptr},
    {TEventProperty::User, u"User", nullptr},
};

}  // namespace

TEventValue EventValueFromVariant(const VARIANT& v) {
    TEventValue value;
    using K = TEventValue::TKind;
    switch (v.vt) {
        case VT_EMPTY:
            value.kind = K::Empty;
            return value;
        case VT_NULL:
            value.kind = K::Null;
            return value;
        case VT_I2:
            return Number(Decimal(static_cast<int>(v.iVal)));
        case VT_BOOL:
            value.kind = K::Boolean;
            value.text = Decimal(static_cast<int>(v.boolVal));
            return value;
        case VT_I4:
            return Number(Decimal(static_cast<long>(v.lVal)));
        case VT_R4:
            return Number(StringFormat("%f", static_cast<double>(v.fltVal)));
        case VT_R8:
            return Number(StringFormat("%E", v.dblVal));
        case VT_BSTR:
            value.kind = K::Text;
            value.text = BstrText(v.bstrVal);
            return value;
        case VT_I1:
            value.kind = K::Other;
            value.text = std::string(1, v.cVal);
            return value;
        case VT_UI1:
            return Number(Decimal(static_cast<int>(v.bVal)));
        case VT_UI2:
            return Number(Decimal(v.uiVal));
        case VT_UI4:
            return Number(Decimal(static_cast<unsigned long>(v.ulVal)));
        case VT_INT:
            return Number(Decimal(static_cast<int>(v.intVal)));
        case VT_UINT:
            return Number(Decimal(static_cast<unsigned>(v.uintVal)));
        case VT_CLSID:
            value.kind = K::Other;
            value.text = "CLSID";
            return value;
        case VT_ARRAY | VT_BSTR:
            value.kind = K::TextArray;
            value.items = ArrayStrings(v.parray);
            return value;
        case VT_ARRAY | VT_UI1:
            value.kind = K::Bytes;
            value.text = ArrayBytes(v.parray);
            return value;
        default:
            value.kind = K::Other;
            value.text = "<UNKNOWN>";
            return value;
    }
}

std::string VariantToText(const VARIANT& v) { return EventValueFromVariant(v).RecordText(); }

bool ReadEventData(const std::string& host, IWbemClassObject* event, TEventData* data,
                   std::string* failure) {
    if (event == nullptr) {
        *failure = "NULL targetInstanceObj found";
        return false;
    }
    data->host = host;
    for (const PropertyRead& read : kProperties) {
        VARIANT value;
        VariantInit(&value);
        TEventValue& slot = (*data)[read.property];
        if (FAILED(event->Get(read.name, 0, &value, nullptr, nullptr))) {
            VariantClear(&value);
            if (read.failure != nullptr) {
                *failure = read.failure;
                return false;
            }
            slot = TEventValue();
            continue;
        }
        slot = read.unsigned32 && value.vt == VT_I4
                   ? Number(Decimal(static_cast<uint32_t>(value.lVal)))
                   : EventValueFromVariant(value);
        VariantClear(&value);
    }
    const TEventValue& log = (*data)[TEventProperty::Logfile];
    const TEventValue& number = (*data)[TEventProperty::RecordNumber];
    const TEventValue& written = (*data)[TEventProperty::TimeWritten];
    data->positioned = log.kind == TEventValue::TKind::Text &&
                       number.kind == TEventValue::TKind::Number &&
                       written.kind == TEventValue::TKind::Text;
    if (data->positioned) {
        data->log = log.text;
        data->position.recordNumber =
            static_cast<uint32_t>(std::strtoull(number.text.c_str(), nullptr, 10));
        data->position.timeWritten = written.text;
    }
    return true;
}

bool BuildEventRecord(const TSubscriptionNode& node, IWbemClassObject* event, std::string* record,
                      std::string* failure) {
    TEventData data;
    if (!ReadEventData(node.host, event, &data, failure)) return false;
    *record = FormatEventRecord(data);
    return true;
}

bool ReadRecordPosition(IWbemClassObject* event, std::string* logFile, TLogPosition* position) {
    if (event == nullptr) return false;
    VARIANT log, number, written;
    VariantInit(&log);
    VariantInit(&number);
    VariantInit(&written);
    bool ok = SUCCEEDED(event->Get(u"LogFile", 0, &log, nullptr, nullptr)) && log.vt == VT_BSTR &&
              SUCCEEDED(event->Get(u"RecordNumber", 0, &number, nullptr, nullptr)) &&
              (number.vt == VT_I4 || number.vt == VT_UI4) &&
              SUCCEEDED(event->Get(u"TimeWritten", 0, &written, nullptr, nullptr)) &&
              written.vt == VT_BSTR;
    if (ok) {
        *logFile = BstrText(log.bstrVal);
        // The class's RecordNumber is unsigned 32-bit; WMI hands such a
        // property over as VT_I4, so a number past 2^31 arrives negative.
        position->recordNumber = number.vt == VT_I4 ? static_cast<uint32_t>(number.lVal)
                                                    : static_cast<uint32_t>(number.ulVal);
        position->timeWritten = BstrText(written.bstrVal);
    }
    VariantClear(&log);
    VariantClear(&number);
    VariantClear(&written);
    return ok;
}
