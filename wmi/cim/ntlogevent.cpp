#include "wmi/cim/ntlogevent.h"

#include "wmi/cim/ascii.h"

namespace wmi::cim {

namespace {

struct PropertyInfo {
    std::string_view name;  // over a literal, so NameOf can hand out data()
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

const PropertyInfo& InfoOf(EventProperty property) {
    return kProperties[static_cast<size_t>(property)];
}

}  // namespace

bool FindEventProperty(std::string_view name, EventProperty& property) {
    for (const PropertyInfo& info : kProperties) {
        if (EqualsIgnoringCase(info.name, name)) {
            property = info.property;
            return true;
        }
    }
    return false;
}

PropertyKind KindOf(EventProperty property) { return InfoOf(property).kind; }

const char* NameOf(EventProperty property) { return InfoOf(property).name.data(); }

CIMTYPE CimTypeOf(EventProperty property) { return InfoOf(property).cimType; }

std::string NarrowName(LPCWSTR name) {
    std::string out;
    out.reserve(std::char_traits<char16_t>::length(name));
    for (; *name != 0; ++name) {
        out += *name < 0x80 ? static_cast<char>(*name) : '\x7F';
    }
    return out;
}

bool IsChannelName(std::string_view name) {
    return name.find('/') != std::string_view::npos ||
           EqualsIgnoringCase(name, "ForwardedEvents") || EqualsIgnoringCase(name, "Setup");
}

}  // namespace wmi::cim
