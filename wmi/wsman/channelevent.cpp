#include "wmi/wsman/channelevent.h"

#include <cerrno>
#include <cstdlib>

#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/soapxml.h"

namespace wmi::wsman {

namespace {

using namespace soap;

// An unsigned number in decimal, or hexadecimal after 0x; false when it is
// not one or exceeds `max`.
bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t& value) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\r' ||
                             text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                             text.back() == '\t')) {
        text.remove_suffix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20) return false;
    std::string digits(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(digits.c_str(), &end, base);
    if (*end != '\0' || errno != 0 || digits[0] == '-' || digits[0] == '+' || v > max) return false;
    value = v;
    return true;
}

// The number in element `name` of `parent` (0 when the element is absent
// or empty); false when it holds something else.
bool NumberChild(pugi::xml_node parent, const char* name, uint64_t max, uint64_t& value,
                 std::string& error) {
    value = 0;
    pugi::xml_node el = Child(parent, kNsEvent, name);
    std::string text = TextOf(el);
    if (!el || text.empty()) return true;
    if (!ParseUnsigned(text, max, value)) {
        error = std::string(name) + " '" + text + "' is not a number";
        return false;
    }
    return true;
}

bool NumberAttribute(pugi::xml_node el, const char* name, uint64_t max, uint64_t& value,
                     std::string& error) {
    value = 0;
    pugi::xml_attribute a = el.attribute(name);
    std::string_view text = a.value();
    if (!a || text.empty()) return true;
    if (!ParseUnsigned(text, max, value)) {
        error = std::string(name) + " '" + std::string(text) + "' is not a number";
        return false;
    }
    return true;
}

// The XML of every child of `el`, as written by pugixml without indentation.
std::string InnerXml(pugi::xml_node el) {
    struct Writer : pugi::xml_writer {
        std::string text;
        void write(const void* data, size_t size) override {
            text.append(static_cast<const char*>(data), size);
        }
    } writer;
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
        c.print(writer, "", pugi::format_raw);
    }
    return writer.text;
}

constexpr const char* kEventTypeTexts[] = {
    "", "Error", "Warning", "Information", "Audit Success", "Audit Failure"};

std::string SystemTimeText(int64_t micros) { return cim::FormatRfc3339(micros); }

// The leaf elements under `el` in document order, named by their local
// names (UserData's values).
void CollectLeaves(pugi::xml_node el, int depth, std::vector<ChannelDataValue>& out) {
    if (depth > 32) return;
    bool leaf = true;
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element) continue;
        leaf = false;
        CollectLeaves(c, depth + 1, out);
    }
    if (leaf && depth > 0) out.push_back({std::string(LocalName(el.name())), TextOf(el)});
}

}  // namespace

bool ParseChannelEvent(pugi::xml_node event, ChannelEvent& out, std::string& error) {
    out = ChannelEvent();
    if (!Is(event, kNsEvent, "Event")) {
        error = "item is not an Event element";
        return false;
    }
    pugi::xml_node system = Child(event, kNsEvent, "System");
    if (!system) {
        error = "Event without System";
        return false;
    }
    pugi::xml_node provider = Child(system, kNsEvent, "Provider");
    out.providerName = provider.attribute("Name").value();
    out.providerGuid = provider.attribute("Guid").value();
    out.eventSourceName = provider.attribute("EventSourceName").value();
    pugi::xml_node eventId = Child(system, kNsEvent, "EventID");
    uint64_t n = 0;
    if (!eventId || !ParseUnsigned(TextOf(eventId), 0xFFFFFFFFu, n)) {
        error = "Event without a valid EventID";
        return false;
    }
    out.eventId = static_cast<uint32_t>(n);
    if (!NumberAttribute(eventId, "Qualifiers", 0xFFFF, n, error)) return false;
    out.qualifiers = static_cast<uint32_t>(n);
    struct {
        const char* name;
        uint64_t max;
        uint32_t* field;
    } const kSmall[] = {{"Version", 255, &out.version},
                        {"Level", 255, &out.level},
                        {"Task", 0xFFFF, &out.task},
                        {"Opcode", 255, &out.opcode}};
    for (const auto& f : kSmall) {
        if (!NumberChild(system, f.name, f.max, n, error)) return false;
        *f.field = static_cast<uint32_t>(n);
    }
    if (!NumberChild(system, "Keywords", UINT64_MAX, out.keywords, error)) return false;
    pugi::xml_node created = Child(system, kNsEvent, "TimeCreated");
    if (!cim::ParseRfc3339(created.attribute("SystemTime").value(), out.timeCreated)) {
        error = "Event without a valid TimeCreated";
        return false;
    }
    pugi::xml_node recordId = Child(system, kNsEvent, "EventRecordID");
    if (!recordId || !ParseUnsigned(TextOf(recordId), UINT64_MAX, out.eventRecordId)) {
        error = "Event without a valid EventRecordID";
        return false;
    }
    out.activityId = Child(system, kNsEvent, "Correlation").attribute("ActivityID").value();
    pugi::xml_node execution = Child(system, kNsEvent, "Execution");
    if (!NumberAttribute(execution, "ProcessID", 0xFFFFFFFFu, n, error)) return false;
    out.processId = static_cast<uint32_t>(n);
    if (!NumberAttribute(execution, "ThreadID", 0xFFFFFFFFu, n, error)) return false;
    out.threadId = static_cast<uint32_t>(n);
    out.channel = TextOf(Child(system, kNsEvent, "Channel"));
    out.computer = TextOf(Child(system, kNsEvent, "Computer"));
    if (pugi::xml_attribute sid = Child(system, kNsEvent, "Security").attribute("UserID")) {
        out.userSid = sid.value();
    }
    if (pugi::xml_node data = Child(event, kNsEvent, "EventData")) {
        for (pugi::xml_node d = data.first_child(); d; d = d.next_sibling()) {
            if (Is(d, kNsEvent, "Data") || Is(d, kNsEvent, "ComplexData")) {
                out.eventData.push_back({d.attribute("Name").value(), TextOf(d)});
            }
        }
    } else if (pugi::xml_node user = Child(event, kNsEvent, "UserData")) {
        out.userData = InnerXml(user);
        for (pugi::xml_node c = FirstElement(user); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element) CollectLeaves(c, 0, out.eventData);
        }
    }
    if (pugi::xml_node info = Child(event, kNsEvent, "RenderingInfo")) {
        if (pugi::xml_node message = Child(info, kNsEvent, "Message")) {
            out.message = TextOf(message);
        }
        out.levelText = TextOf(Child(info, kNsEvent, "Level"));
        out.taskText = TextOf(Child(info, kNsEvent, "Task"));
        out.opcodeText = TextOf(Child(info, kNsEvent, "Opcode"));
        for (pugi::xml_node k = Child(Child(info, kNsEvent, "Keywords"), kNsEvent, "Keyword"); k;
             k = k.next_sibling()) {
            if (Is(k, kNsEvent, "Keyword")) out.keywordTexts.push_back(TextOf(k));
        }
    }
    return true;
}

bool ParseChannelEvent(std::string_view xml, ChannelEvent& out, std::string& error) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
    if (!parsed) {
        error = std::string("malformed Event XML: ") + parsed.description();
        return false;
    }
    return ParseChannelEvent(doc.document_element(), out, error);
}

std::string LevelTest(int severity) {
    if (severity == 1) return "(Level=1 or Level=2)";
    if (severity == 2) return "(Level=1 or Level=2 or Level=3)";
    return "";
}

std::string LevelXPath(int severity, uint64_t afterRecordId) {
    std::string test = LevelTest(severity);
    if (afterRecordId > 0) {
        test += (test.empty() ? "" : " and ") + ("EventRecordID>" + std::to_string(afterRecordId));
    }
    return test.empty() ? "*" : "*[System[" + test + "]]";
}

std::string TimeWindowXPath(int64_t fromMicros, int64_t toMicros) {
    return "*[System[TimeCreated[@SystemTime>='" + SystemTimeText(fromMicros) +
           "' and @SystemTime<'" + SystemTimeText(toMicros) + "']]]";
}

Instance NtLogEventOf(const ChannelEvent& e) {
    Instance out;
    out.className = cim::kNtLogEventClass;
    const int type = EventTypeOfChannelEvent(e.level, e.keywords);
    const std::string time = cim::FormatDmtf(e.timeCreated);
    for (size_t i = 0; i < cim::kEventPropertyCount; ++i) {
        const auto property = static_cast<cim::EventProperty>(i);
        Value v;
        v.cimType = cim::CimTypeOf(property);
        auto number = [&v](int64_t n) {
            v.kind = v.cimType == CIM_UINT8 ? Value::Kind::UInt8 : Value::Kind::Int32;
            v.number = n;
        };
        auto text = [&v](std::string t) {
            v.kind = Value::Kind::Text;
            v.text = std::move(t);
        };
        switch (property) {
            case cim::EventProperty::Category:
                number(e.task);
                break;
            case cim::EventProperty::CategoryString:
                text(e.taskText);
                break;
            case cim::EventProperty::ComputerName:
                text(e.computer);
                break;
            case cim::EventProperty::EventCode:
                number(e.eventId & 0xFFFF);
                break;
            case cim::EventProperty::EventIdentifier:
                number((static_cast<int64_t>(e.qualifiers) << 16) | e.eventId);
                break;
            case cim::EventProperty::EventType:
                number(type);
                break;
            case cim::EventProperty::InsertionStrings:
                if (!e.eventData.empty()) {
                    v.kind = Value::Kind::TextArray;
                    for (const ChannelDataValue& d : e.eventData) v.texts.push_back(d.value);
                }
                break;
            case cim::EventProperty::Logfile:
                text(e.channel);
                break;
            case cim::EventProperty::Message:
                if (e.message) text(*e.message);
                break;
            case cim::EventProperty::RecordNumber:
                number(static_cast<uint32_t>(e.eventRecordId));
                break;
            case cim::EventProperty::SourceName:
                text(e.eventSourceName.empty() ? e.providerName : e.eventSourceName);
                break;
            case cim::EventProperty::TimeGenerated:
            case cim::EventProperty::TimeWritten:
                text(time);
                break;
            case cim::EventProperty::Type:
                text(kEventTypeTexts[type]);
                break;
            case cim::EventProperty::User:
                if (e.userSid) text(*e.userSid);
                break;
        }
        out.properties.emplace_back(cim::NameOf(property), std::move(v));
    }
    return out;
}

int EventTypeOfChannelEvent(uint32_t level, uint64_t keywords) {
    if (keywords & 0x0020000000000000ULL) return 4;
    if (keywords & 0x0010000000000000ULL) return 5;
    if (level == 1 || level == 2) return 1;
    if (level == 3) return 2;
    return 3;
}

}  // namespace wmi::wsman
