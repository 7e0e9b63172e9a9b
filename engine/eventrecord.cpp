#include "engine/eventrecord.h"

#include "base/configdataloader.h"
#include "base/stringconvertor.h"
#include "base/stringformat.h"
#include "engine/threadinfra.h"

namespace {

std::string BstrText(BSTR text) {
    if (text == nullptr) return std::string();
    return CStringConvertor::WideToNarrow(std::u16string_view(text, SysStringLen(text)));
}

std::string FirstArrayString(SAFEARRAY* array) {
    LONG lower = 0;
    LONG upper = -1;
    if (array == nullptr || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper < lower) {
        return std::string();
    }
    BSTR first = nullptr;
    if (FAILED(SafeArrayGetElement(array, &lower, &first))) return std::string();
    std::string text = BstrText(first);
    SysFreeString(first);
    return text;
}

struct PropertyRead {
    const char16_t* name;
    const char* failure;
};

// Read order of the event's properties, with the warning of each failure.
constexpr PropertyRead kProperties[] = {
    {u"TimeGenerated", "Error retrieving TimeGenerated"},
    {u"InsertionStrings", "Error retrieving Message"},
    {u"EventCode", "Error retrieving EventCode"},
    {u"Type", "Error retrieving Type"},
    {u"LogFile", "Error retrieving LogFile"},
    {u"SourceName", "Error retrieving EventSource"},
};

}  // namespace

std::string VariantToText(const VARIANT& v) {
    switch (v.vt) {
        case VT_EMPTY:
            return "<EMPTY>";
        case VT_NULL:
            return "<NULL>";
        case VT_I2:
            return StringFormat("%d", static_cast<int>(v.iVal));
        case VT_BOOL:
            return StringFormat("%d", static_cast<int>(v.boolVal));
        case VT_I4:
            return StringFormat("%ld", static_cast<long>(v.lVal));
        case VT_R4:
            return StringFormat("%f", static_cast<double>(v.fltVal));
        case VT_R8:
            return StringFormat("%E", v.dblVal);
        case VT_BSTR:
            return BstrText(v.bstrVal);
        case VT_I1:
            return std::string(1, v.cVal);
        case VT_UI1:
            return StringFormat("%i", static_cast<int>(v.bVal));
        case VT_UI2:
            return StringFormat("%hu", v.uiVal);
        case VT_UI4:
            return StringFormat("%lu", static_cast<unsigned long>(v.ulVal));
        case VT_INT:
            return StringFormat("%i", static_cast<int>(v.intVal));
        case VT_UINT:
            return StringFormat("%u", static_cast<unsigned>(v.uintVal));
        case VT_CLSID:
            return "CLSID";
        case VT_ARRAY | VT_BSTR:
            return FirstArrayString(v.parray);
        default:
            return "<UNKNOWN>";
    }
}

std::string QuoteField(const std::string& text) {
    if (text.find_first_of(" \r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') {
            quoted += "\\\"";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\n') {
            quoted += "\\n";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string QuoteLineBreaks(const std::string& text) {
    if (text.find_first_of("\r\n") == std::string::npos) return text;
    return QuoteField(text);
}

bool BuildEventRecord(const TSubscriptionNode& node, IWbemClassObject* event, std::string* record,
                      std::string* failure) {
    if (event == nullptr) {
        *failure = "NULL targetInstanceObj found";
        return false;
    }
    std::string texts[6];
    for (size_t i = 0; i < 6; ++i) {
        VARIANT value;
        VariantInit(&value);
        if (FAILED(event->Get(kProperties[i].name, 0, &value, nullptr, nullptr))) {
            VariantClear(&value);
            *failure = kProperties[i].failure;
            return false;
        }
        texts[i] = VariantToText(value);
        VariantClear(&value);
    }
    const std::string& time = texts[0];
    const std::string& message = texts[1];
    const std::string& code = texts[2];
    const std::string& type = texts[3];
    const std::string& logFile = texts[4];
    const std::string& source = texts[5];
    // Every field is one line: a line break inside one would end the record
    // early and let event text pass for protocol lines.
    *record = StringFormat(
        CConfigDataLoader::LoadMessage(123).c_str(), QuoteLineBreaks(node.host).c_str(),
        QuoteField(time).c_str(), QuoteLineBreaks(code).c_str(), QuoteField(source).c_str(),
        QuoteField(logFile).c_str(), QuoteField(type).c_str(), QuoteField(message).c_str());
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
