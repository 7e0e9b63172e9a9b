#include "wmi/sim/ntlogevent.h"

#include <utility>

#include "wmi/comobject.h"
#include "wmi/sim/simtime.h"

namespace wmi::sim {

namespace {

struct PropertyInfo {
    const char* name;
    EventProperty property;
    PropertyKind kind;
    CIMTYPE cimType;
};

const PropertyInfo kProperties[kEventPropertyCount] = {
    {"Category", EventProperty::Category, PropertyKind::Number, CIM_UINT16},
    {"CategoryString", EventProperty::CategoryString, PropertyKind::Text, CIM_STRING},
    {"ComputerName", EventProperty::ComputerName, PropertyKind::Text, CIM_STRING},
    {"EventCode", EventProperty::EventCode, PropertyKind::Number, CIM_UINT16},
    {"EventIdentifier", EventProperty::EventIdentifier, PropertyKind::Number, CIM_UINT32},
    {"EventType", EventProperty::EventType, PropertyKind::Number, CIM_UINT8},
    {"InsertionStrings", EventProperty::InsertionStrings, PropertyKind::TextArray,
     CIM_STRING | CIM_FLAG_ARRAY},
    {"Logfile", EventProperty::Logfile, PropertyKind::Text, CIM_STRING},
    {"Message", EventProperty::Message, PropertyKind::Text, CIM_STRING},
    {"RecordNumber", EventProperty::RecordNumber, PropertyKind::Number, CIM_UINT32},
    {"SourceName", EventProperty::SourceName, PropertyKind::Text, CIM_STRING},
    {"TimeGenerated", EventProperty::TimeGenerated, PropertyKind::DateTime, CIM_DATETIME},
    {"TimeWritten", EventProperty::TimeWritten, PropertyKind::DateTime, CIM_DATETIME},
    {"Type", EventProperty::Type, PropertyKind::Text, CIM_STRING},
    {"User", EventProperty::User, PropertyKind::Text, CIM_STRING},
};

char LowerAscii(char32_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

// Case-insensitive comparison of an ASCII name with a query or caller text.
template <class Char>
bool NameEquals(const char* name, const Char* text, size_t length) {
    size_t i = 0;
    for (; i < length; ++i) {
        if (name[i] == '\0') return false;
        char32_t c = static_cast<char32_t>(text[i]);
        if (c > 0x7F || LowerAscii(c) != LowerAscii(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return name[i] == '\0';
}

size_t WideLength(LPCWSTR text) {
    size_t n = 0;
    while (text[n] != u'\0') ++n;
    return n;
}

const PropertyInfo& InfoOf(EventProperty property) {
    return kProperties[static_cast<size_t>(property)];
}

HRESULT PutText(VARIANT* value, std::string_view text) {
    BSTR copy = BstrFromUtf8(text);
    if (copy == nullptr) return WBEM_E_OUT_OF_MEMORY;
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return WBEM_S_NO_ERROR;
}

void PutLong(VARIANT* value, int64_t number) {
    value->vt = VT_I4;
    value->lVal = static_cast<LONG>(number);
}

void FillTypeAndFlavor(CIMTYPE cimType, CIMTYPE* type, LONG* flavor) {
    if (type != nullptr) *type = cimType;
    if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
}

class LogEventObject : public ComObject<IWbemClassObject> {
  public:
    explicit LogEventObject(SimEvent&& e) : event(std::move(e)) {}

    HRESULT Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        size_t length = WideLength(name);
        if (NameEquals("__CLASS", name, length)) {
            FillTypeAndFlavor(CIM_STRING, type, flavor);
            return value == nullptr ? WBEM_S_NO_ERROR : PutText(value, "Win32_NTLogEvent");
        }
        const PropertyInfo* info = nullptr;
        for (const PropertyInfo& candidate : kProperties) {
            if (NameEquals(candidate.name, name, length)) {
                info = &candidate;
                break;
            }
        }
        if (info == nullptr) return WBEM_E_NOT_FOUND;
        FillTypeAndFlavor(info->cimType, type, flavor);
        if (value == nullptr) return WBEM_S_NO_ERROR;
        VariantInit(value);
        switch (info->kind) {
            case PropertyKind::Number:
                if (info->property == EventProperty::EventType) {
                    value->vt = VT_UI1;
                    value->bVal = static_cast<BYTE>(event.eventType);
                } else {
                    PutLong(value, NumberOf(event, info->property));
                }
                return WBEM_S_NO_ERROR;
            case PropertyKind::Text: {
                const std::string* text = TextOf(event, info->property);
                if (text == nullptr) {
                    value->vt = VT_NULL;
                    return WBEM_S_NO_ERROR;
                }
                return PutText(value, *text);
            }
            case PropertyKind::DateTime:
                return PutText(value, FormatDmtf(TimeOf(event, info->property)));
            case PropertyKind::TextArray:
                return PutStrings(value);
        }
        return WBEM_E_FAILED;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

  private:
    HRESULT PutStrings(VARIANT* value) {
        if (!event.insertionStrings) {
            value->vt = VT_NULL;
            return WBEM_S_NO_ERROR;
        }
        return StringArrayToVariant(*event.insertionStrings, value);
    }

    const SimEvent event;
};

class CreationEventObject : public ComObject<IWbemClassObject> {
  public:
    explicit CreationEventObject(IWbemClassObject* t) : target(t) {}
    ~CreationEventObject() override {
        if (target != nullptr) target->Release();
    }

    HRESULT Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        size_t length = WideLength(name);
        if (NameEquals("__CLASS", name, length)) {
            FillTypeAndFlavor(CIM_STRING, type, flavor);
            return value == nullptr ? WBEM_S_NO_ERROR : PutText(value, "__InstanceCreationEvent");
        }
        if (!NameEquals("TargetInstance", name, length)) return WBEM_E_NOT_FOUND;
        FillTypeAndFlavor(CIM_OBJECT, type, flavor);
        if (value == nullptr) return WBEM_S_NO_ERROR;
        VariantInit(value);
        if (target == nullptr) {
            value->vt = VT_NULL;
        } else {
            target->AddRef();
            value->vt = VT_UNKNOWN;
            value->punkVal = target;
        }
        return WBEM_S_NO_ERROR;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

  private:
    IWbemClassObject* const target;  // one reference, owned
};

}  // namespace

bool FindEventProperty(std::string_view name, EventProperty& property) {
    for (const PropertyInfo& info : kProperties) {
        if (NameEquals(info.name, name.data(), name.size())) {
            property = info.property;
            return true;
        }
    }
    return false;
}

PropertyKind KindOf(EventProperty property) { return InfoOf(property).kind; }

const char* NameOf(EventProperty property) { return InfoOf(property).name; }

CIMTYPE CimTypeOf(EventProperty property) { return InfoOf(property).cimType; }

int64_t NumberOf(const SimEvent& event, EventProperty property) {
    switch (property) {
        case EventProperty::Category:
            return event.category;
        case EventProperty::EventCode:
            return event.eventCode;
        case EventProperty::EventIdentifier:
            return event.eventIdentifier;
        case EventProperty::EventType:
            return event.eventType;
        case EventProperty::RecordNumber:
            return event.recordNumber;
        default:
            return 0;
    }
}

const std::string* TextOf(const SimEvent& event, EventProperty property) {
    switch (property) {
        case EventProperty::CategoryString:
            return &event.categoryString;
        case EventProperty::ComputerName:
            return &event.computerName;
        case EventProperty::Logfile:
            return &event.logFile;
        case EventProperty::Message:
            return event.message ? &*event.message : nullptr;
        case EventProperty::SourceName:
            return &event.sourceName;
        case EventProperty::Type:
            return &event.typeText;
        case EventProperty::User:
            return event.user ? &*event.user : nullptr;
        default:
            return nullptr;
    }
}

int64_t TimeOf(const SimEvent& event, EventProperty property) {
    return property == EventProperty::TimeWritten ? event.timeWritten : event.timeGenerated;
}

IWbemClassObject* MakeLogEventObject(SimEvent&& event) {
    if (event.typeText.empty()) event.typeText = EventTypeText(event.eventType);
    return new LogEventObject(std::move(event));
}

IWbemClassObject* MakeCreationEvent(IWbemClassObject* target) {
    return new CreationEventObject(target);
}

}  // namespace wmi::sim
