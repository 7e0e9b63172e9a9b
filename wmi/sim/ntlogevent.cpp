#include "wmi/sim/ntlogevent.h"

#include <utility>

#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"
#include "wmi/comobject.h"

namespace wmi::sim {

namespace {

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

template <class T>
bool Compare(cim::WqlOp op, const T& a, const T& b) {
    switch (op) {
        case cim::WqlOp::Equal:
            return a == b;
        case cim::WqlOp::NotEqual:
            return a != b;
        case cim::WqlOp::Less:
            return a < b;
        case cim::WqlOp::LessEqual:
            return a <= b;
        case cim::WqlOp::Greater:
            return a > b;
        case cim::WqlOp::GreaterEqual:
            return a >= b;
    }
    return false;
}

class LogEventObject : public ComObject<IWbemClassObject> {
  public:
    explicit LogEventObject(SimEvent&& e) : event(std::move(e)) {}

    HRESULT Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        const std::string narrow = cim::NarrowName(name);
        if (cim::EqualsIgnoringCase(narrow, "__CLASS")) {
            FillTypeAndFlavor(CIM_STRING, type, flavor);
            return value == nullptr ? WBEM_S_NO_ERROR : PutText(value, cim::kNtLogEventClass);
        }
        EventProperty property;
        if (!cim::FindEventProperty(narrow, property)) return WBEM_E_NOT_FOUND;
        FillTypeAndFlavor(cim::CimTypeOf(property), type, flavor);
        if (value == nullptr) return WBEM_S_NO_ERROR;
        VariantInit(value);
        switch (cim::KindOf(property)) {
            case PropertyKind::Number:
                if (property == EventProperty::EventType) {
                    value->vt = VT_UI1;
                    value->bVal = static_cast<BYTE>(event.eventType);
                } else {
                    PutLong(value, NumberOf(event, property));
                }
                return WBEM_S_NO_ERROR;
            case PropertyKind::Text: {
                const std::string* text = TextOf(event, property);
                if (text == nullptr) {
                    value->vt = VT_NULL;
                    return WBEM_S_NO_ERROR;
                }
                return PutText(value, *text);
            }
            case PropertyKind::DateTime:
                return PutText(value, cim::FormatDmtf(TimeOf(event, property)));
            case PropertyKind::TextArray:
                return PutStrings(value);
        }
        return WBEM_E_FAILED;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

  private:
    HRESULT PutStrings(VARIANT* value) {
        // A damaged record's strings cannot be read, as a host's record
        // whose data is corrupt.
        if (event.damaged) return WBEM_E_INVALID_OBJECT;
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
        const std::string narrow = cim::NarrowName(name);
        if (cim::EqualsIgnoringCase(narrow, "__CLASS")) {
            FillTypeAndFlavor(CIM_STRING, type, flavor);
            return value == nullptr ? WBEM_S_NO_ERROR : PutText(value, cim::kCreationEventClass);
        }
        if (!cim::EqualsIgnoringCase(narrow, "TargetInstance")) return WBEM_E_NOT_FOUND;
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
            // Unsigned 32-bit: a log's numbers wrap from 4294967295 to 0.
            return static_cast<uint32_t>(event.recordNumber);
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

bool Matches(const cim::WqlQuery& query, const SimEvent& event) {
    for (const cim::WqlCondition& condition : query.conditions) {
        bool holds = false;
        switch (cim::KindOf(condition.property)) {
            case PropertyKind::Number:
                holds =
                    Compare(condition.op, NumberOf(event, condition.property), condition.number);
                break;
            case PropertyKind::DateTime:
                holds = Compare(condition.op, TimeOf(event, condition.property), condition.number);
                break;
            case PropertyKind::Text: {
                const std::string* value = TextOf(event, condition.property);
                holds = value != nullptr &&
                        Compare(condition.op, cim::CompareIgnoringCase(*value, condition.text), 0);
                break;
            }
            case PropertyKind::TextArray:
                holds = false;
                break;
        }
        if (!holds) return false;
    }
    return true;
}

IWbemClassObject* MakeLogEventObject(SimEvent&& event) {
    if (event.typeText.empty()) event.typeText = EventTypeText(event.eventType);
    return new LogEventObject(std::move(event));
}

IWbemClassObject* MakeCreationEvent(IWbemClassObject* target) {
    return new CreationEventObject(target);
}

}  // namespace wmi::sim
