#include "wmi/wsman/envelope.h"

#include <cstdio>
#include <cstring>
#include <pugixml.hpp>
#include <random>

#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/wsman/soapxml.h"

namespace wmi::wsman {

namespace {

using namespace soap;
using cim::EqualsIgnoringCase;
using cim::ParseInteger;

// Objects nested deeper than this (TargetInstance holds one level) are
// refused rather than followed.
constexpr int kMaxDepth = 8;

// ---- Writing -------------------------------------------------------------

// The header every request carries, up to (not including) </s:Header>.
void RequestHeader(std::string& out, const RequestOptions& options, const char* action,
                   const char* resource = kResourceCimv2) {
    AppendEnvelopeOpen(out);
    out += "<s:Header><a:To>";
    AppendEscaped(out, options.to);
    out += "</a:To><w:ResourceURI s:mustUnderstand=\"true\">";
    out += resource;
    out += "</w:ResourceURI><a:ReplyTo><a:Address s:mustUnderstand=\"true\">";
    out += kAnonymous;
    out += "</a:Address></a:ReplyTo><a:Action s:mustUnderstand=\"true\">";
    out += action;
    out += "</a:Action><w:MaxEnvelopeSize s:mustUnderstand=\"true\">";
    out += std::to_string(options.maxEnvelopeSize);
    out += "</w:MaxEnvelopeSize><a:MessageID>";
    AppendEscaped(out, options.messageId.empty() ? NewMessageId() : options.messageId);
    out +=
        "</a:MessageID><w:Locale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/>"
        "<p:DataLocale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/><w:OperationTimeout>";
    out += FormatDuration(options.operationTimeoutMs);
    out += "</w:OperationTimeout>";
}

void WqlFilter(std::string& out, std::string_view wql) {
    out += "<w:Filter Dialect=\"";
    out += kDialectWql;
    out += "\">";
    AppendEscaped(out, wql);
    out += "</w:Filter>";
}

// ---- Reading -------------------------------------------------------------

bool IsNil(pugi::xml_node node) {
    pugi::xml_attribute nil = Attribute(node, kNsXsi, "nil");
    return nil && (std::strcmp(nil.value(), "true") == 0 || std::strcmp(nil.value(), "1") == 0);
}

// A date-time property: cim:Datetime (ISO 8601) inside, or the text itself
// in ISO or DMTF form; the DMTF text with the offset +000.
bool DateTimeOf(pugi::xml_node node, std::string& dmtf) {
    pugi::xml_node datetime = Child(node, kNsCim, "Datetime");
    std::string text = TextOf(datetime ? datetime : node);
    int64_t micros = 0;
    if (!cim::ParseRfc3339(text, micros) && !cim::ParseDmtf(text, micros)) return false;
    dmtf = cim::FormatDmtf(micros);
    return true;
}

bool ParseInstance(pugi::xml_node node, int depth, Instance& out, std::string& error);

// The class an embedded object names in xsi:type ("p:Win32_NTLogEvent_Type").
std::string EmbeddedClass(pugi::xml_node node) {
    pugi::xml_attribute type = Attribute(node, kNsXsi, "type");
    std::string name(type ? LocalName(type.value()) : std::string_view());
    const std::string suffix = "_Type";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        name.resize(name.size() - suffix.size());
    }
    return name;
}

// A property the class does not declare (or a class this side does not
// know): text, a text array when repeated, a date-time, or an object.
bool GenericValue(const std::vector<pugi::xml_node>& nodes, int depth, Value& value,
                  std::string& error) {
    if (nodes.size() > 1) {
        value.kind = Value::Kind::TextArray;
        value.cimType = CIM_STRING | CIM_FLAG_ARRAY;
        for (pugi::xml_node n : nodes) value.texts.push_back(TextOf(n));
        return true;
    }
    pugi::xml_node node = nodes.front();
    if (IsNil(node)) {
        value.kind = Value::Kind::Null;
        return true;
    }
    pugi::xml_node inner = FirstElement(node);
    if (!inner) {
        value.kind = Value::Kind::Text;
        value.text = TextOf(node);
        return true;
    }
    if (Is(inner, kNsCim, "Datetime")) {
        value.kind = Value::Kind::Text;
        value.cimType = CIM_DATETIME;
        if (!DateTimeOf(node, value.text)) {
            error = "property " + std::string(LocalName(node.name())) + ": not a date-time";
            return false;
        }
        return true;
    }
    auto object = std::make_shared<Instance>();
    if (!ParseInstance(node, depth + 1, *object, error)) return false;
    object->className = EmbeddedClass(node);
    value.kind = Value::Kind::Object;
    value.cimType = CIM_OBJECT;
    value.object = std::move(object);
    return true;
}

// A property of Win32_NTLogEvent, typed as the class declares it.
bool EventValue(cim::EventProperty property, const std::vector<pugi::xml_node>& nodes, Value& value,
                std::string& error) {
    const char* name = cim::NameOf(property);
    value.cimType = cim::CimTypeOf(property);
    cim::PropertyKind kind = cim::KindOf(property);
    if (kind == cim::PropertyKind::TextArray) {
        // One element per entry; a single xsi:nil element is NULL.
        if (nodes.size() == 1 && IsNil(nodes.front())) {
            value.kind = Value::Kind::Null;
            return true;
        }
        value.kind = Value::Kind::TextArray;
        for (pugi::xml_node n : nodes) {
            if (FirstElement(n)) {
                error = std::string("property ") + name + " holds an element, not a text";
                return false;
            }
            value.texts.push_back(TextOf(n));
        }
        return true;
    }
    if (nodes.size() != 1) {
        error = std::string("property ") + name + " appears more than once";
        return false;
    }
    pugi::xml_node node = nodes.front();
    if (IsNil(node)) {
        value.kind = Value::Kind::Null;
        return true;
    }
    switch (kind) {
        case cim::PropertyKind::Number: {
            int64_t number = 0;
            bool byte = value.cimType == CIM_UINT8;
            if (!ParseInteger(TextOf(node), number) || number < (byte ? 0 : INT32_MIN) ||
                number > (byte ? 255 : UINT32_MAX)) {
                error = std::string("property ") + name + ": '" + TextOf(node) +
                        "' is not a number of its type";
                return false;
            }
            value.kind = byte ? Value::Kind::UInt8 : Value::Kind::Int32;
            value.number = number;
            return true;
        }
        case cim::PropertyKind::DateTime:
            value.kind = Value::Kind::Text;
            if (!DateTimeOf(node, value.text)) {
                error = std::string("property ") + name + ": not a date-time";
                return false;
            }
            return true;
        default:
            if (FirstElement(node)) {
                error = std::string("property ") + name + " holds an element, not a text";
                return false;
            }
            value.kind = Value::Kind::Text;
            value.text = TextOf(node);
            return true;
    }
}

bool ParseInstance(pugi::xml_node node, int depth, Instance& out, std::string& error) {
    if (depth > kMaxDepth) {
        error = "objects nested too deeply";
        return false;
    }
    out.className = std::string(LocalName(node.name()));
    const bool logEvent =
        out.className == cim::kNtLogEventClass || EmbeddedClass(node) == cim::kNtLogEventClass;
    bool seen[cim::kEventPropertyCount] = {};
    // Group the property elements by name, keeping the order of first
    // appearance (an array's entries are consecutive on the wire, but a
    // repeated name anywhere belongs to the same property).
    std::vector<std::pair<std::string_view, std::vector<pugi::xml_node>>> groups;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element) continue;
        std::string_view name = LocalName(c.name());
        if (!groups.empty() && groups.back().first == name) {
            groups.back().second.push_back(c);
            continue;
        }
        bool found = false;
        for (auto& g : groups) {
            if (g.first == name) {
                g.second.push_back(c);
                found = true;
                break;
            }
        }
        if (!found) groups.push_back({name, {c}});
    }
    out.properties.reserve(groups.size() + (logEvent ? cim::kEventPropertyCount : 0));
    for (auto& [name, nodes] : groups) {
        Value value;
        cim::EventProperty property;
        bool known = logEvent && cim::FindEventProperty(name, property);
        if (known) {
            seen[static_cast<size_t>(property)] = true;
            if (!EventValue(property, nodes, value, error)) return false;
        } else if (!GenericValue(nodes, depth, value, error)) {
            return false;
        }
        out.properties.emplace_back(std::string(name), std::move(value));
    }
    if (logEvent) {
        // A property without elements: an empty array, or NULL.
        for (size_t i = 0; i < cim::kEventPropertyCount; ++i) {
            if (seen[i]) continue;
            auto property = static_cast<cim::EventProperty>(i);
            Value value;
            value.cimType = cim::CimTypeOf(property);
            if (cim::KindOf(property) == cim::PropertyKind::TextArray) {
                value.kind = Value::Kind::TextArray;
            }
            out.properties.emplace_back(cim::NameOf(property), std::move(value));
        }
    }
    return true;
}

// What can be read of where an item that cannot be read stands: its
// event's Logfile, RecordNumber and TimeWritten, each read on its own (the
// event is the item, or the item's TargetInstance).
Instance UnreadableItem(pugi::xml_node object, std::string why) {
    Instance event;
    event.className = cim::kNtLogEventClass;
    pugi::xml_node source = object;
    for (pugi::xml_node c = object.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && LocalName(c.name()) == "TargetInstance") source = c;
    }
    for (cim::EventProperty property :
         {cim::EventProperty::Logfile, cim::EventProperty::RecordNumber,
          cim::EventProperty::TimeWritten}) {
        std::vector<pugi::xml_node> nodes;
        for (pugi::xml_node c = source.first_child(); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element &&
                EqualsIgnoringCase(LocalName(c.name()), cim::NameOf(property))) {
                nodes.push_back(c);
            }
        }
        Value value;
        std::string ignored;
        if (!nodes.empty() && EventValue(property, nodes, value, ignored)) {
            event.properties.emplace_back(cim::NameOf(property), std::move(value));
        }
    }
    event.unreadable = why;
    if (source == object) return event;
    Instance creation;
    creation.className = std::string(LocalName(object.name()));
    Value target;
    target.kind = Value::Kind::Object;
    target.cimType = CIM_OBJECT;
    target.object = std::make_shared<Instance>(std::move(event));
    creation.properties.emplace_back("TargetInstance", std::move(target));
    creation.unreadable = std::move(why);
    return creation;
}

// A class item that cannot be read is that record's fault alone: it is
// kept as an unreadable instance and the items after it are read. A channel
// event that cannot be read fails the answer (error says why).
bool ParseItems(pugi::xml_node items, Response& out, std::string& error) {
    for (pugi::xml_node item = items.first_child(); item; item = item.next_sibling()) {
        if (item.type() != pugi::node_element) continue;
        pugi::xml_node object = item;
        // Events may come wrapped (w:Item / w:Event around the object).
        if (Is(object, kNsWsman, "Item") || Is(object, kNsWsman, "Event")) {
            object = FirstElement(object);
            if (!object) continue;
        }
        if (Is(object, kNsEvent, "Event")) {
            ChannelEvent event;
            if (!ParseChannelEvent(object, event, error)) return false;
            out.events.push_back(std::move(event));
            continue;
        }
        Instance instance;
        std::string why;
        if (!ParseInstance(object, 0, instance, why)) instance = UnreadableItem(object, why);
        out.items.push_back(std::move(instance));
    }
    return true;
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

std::string EscapeXml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscaped(out, text);
    return out;
}

std::string NewMessageId() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    uint64_t a = random(), b = random();
    a = (a & 0xFFFFFFFFFFFF0FFFull) | 0x4000ull;              // version 4
    b = (b & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;  // variant 1
    char text[48];
    std::snprintf(text, sizeof text, "uuid:%08X-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(a & 0xFFFF), static_cast<unsigned>(b >> 48),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return text;
}

std::string FormatDuration(int64_t millis) {
    if (millis < 0) millis = 0;
    char text[40];
    std::snprintf(text, sizeof text, "PT%lld.%03lldS", static_cast<long long>(millis / 1000),
                  static_cast<long long>(millis % 1000));
    return text;
}

bool ParseDuration(std::string_view text, int64_t& millis) {
    if (text.size() < 3 || text[0] != 'P') return false;
    size_t i = 1;
    bool inTime = false, any = false;
    double total = 0;
    while (i < text.size()) {
        if (text[i] == 'T') {
            if (inTime) return false;
            inTime = true;
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) ++i;
        if (i == start || i == text.size() || i - start > 15) return false;
        double number = std::strtod(std::string(text.substr(start, i - start)).c_str(), nullptr);
        char unit = text[i++];
        if (!inTime && unit == 'D') {
            total += number * 86400;
        } else if (inTime && unit == 'H') {
            total += number * 3600;
        } else if (inTime && unit == 'M') {
            total += number * 60;
        } else if (inTime && unit == 'S') {
            total += number;
        } else {
            return false;
        }
        any = true;
    }
    if (!any || total > 1e9) return false;
    millis = static_cast<int64_t>(total * 1000 + 0.5);
    return true;
}

// ---- Requests ------------------------------------------------------------

std::string IdentifyRequest() {
    std::string out = "<s:Envelope xmlns:s=\"";
    out += kNsSoap;
    out += "\" xmlns:wsmid=\"";
    out += kNsIdentity;
    out += "\"><s:Header/><s:Body><wsmid:Identify/></s:Body></s:Envelope>";
    return out;
}

std::string EnumerateRequest(const RequestOptions& options, std::string_view wql) {
    std::string out;
    out.reserve(1400 + wql.size());
    RequestHeader(out, options, kActionEnumerate);
    out += "</s:Header><s:Body><n:Enumerate>";
    WqlFilter(out, wql);
    out += "</n:Enumerate></s:Body></s:Envelope>";
    return out;
}

std::string PullRequest(const RequestOptions& options, std::string_view context,
                        uint32_t maxElements) {
    std::string out;
    out.reserve(1400);
    RequestHeader(out, options, kActionPull);
    out += "</s:Header><s:Body><n:Pull><n:EnumerationContext>";
    AppendEscaped(out, context);
    out += "</n:EnumerationContext><n:MaxElements>";
    out += std::to_string(maxElements);
    out += "</n:MaxElements></n:Pull></s:Body></s:Envelope>";
    return out;
}

std::string ReleaseRequest(const RequestOptions& options, std::string_view context) {
    std::string out;
    RequestHeader(out, options, kActionRelease);
    out += "</s:Header><s:Body><n:Release><n:EnumerationContext>";
    AppendEscaped(out, context);
    out += "</n:EnumerationContext></n:Release></s:Body></s:Envelope>";
    return out;
}

std::string SubscribeRequest(const RequestOptions& options, std::string_view wql,
                             int64_t expiresMs) {
    std::string out;
    RequestHeader(out, options, kActionSubscribe);
    out += "</s:Header><s:Body><e:Subscribe><e:Delivery Mode=\"";
    out += kDeliveryPull;
    out += "\"/>";
    if (expiresMs > 0) {
        out += "<e:Expires>";
        out += FormatDuration(expiresMs);
        out += "</e:Expires>";
    }
    WqlFilter(out, wql);
    out += "</e:Subscribe></s:Body></s:Envelope>";
    return out;
}

namespace {

// The event query of one channel: a QueryList with one Select.
void EventQueryFilter(std::string& out, std::string_view channel, std::string_view xpath) {
    out += "<w:Filter Dialect=\"";
    out += kDialectEventQuery;
    out += "\"><QueryList xmlns=\"\"><Query Id=\"0\"><Select Path=\"";
    AppendEscaped(out, channel);
    out += "\">";
    AppendEscaped(out, xpath);
    out += "</Select></Query></QueryList></w:Filter>";
}

}  // namespace

std::string ChannelEnumerateRequest(const RequestOptions& options, std::string_view channel,
                                    std::string_view xpath) {
    std::string out;
    RequestHeader(out, options, kActionEnumerate, kResourceEventLog);
    out += "</s:Header><s:Body><n:Enumerate>";
    EventQueryFilter(out, channel, xpath);
    out += "</n:Enumerate></s:Body></s:Envelope>";
    return out;
}

std::string ChannelSubscribeRequest(const RequestOptions& options,
                                    const ChannelSubscription& subscription) {
    std::string out;
    RequestHeader(out, options, kActionSubscribe, kResourceEventLog);
    out += "<w:OptionSet xmlns:xsi=\"";
    out += kNsXsi;
    out += "\">";
    if (subscription.readExistingEvents) {
        out += "<w:Option Name=\"ReadExistingEvents\" xsi:nil=\"true\"/>";
    }
    out += "<w:Option Name=\"IgnoreChannelError\" xsi:nil=\"true\"/></w:OptionSet>";
    out += "</s:Header><s:Body><e:Subscribe><e:Delivery Mode=\"";
    out += kDeliveryPull;
    out += "\">";
    if (subscription.heartbeatMs > 0) {
        out += "<w:Heartbeats>";
        out += FormatDuration(subscription.heartbeatMs);
        out += "</w:Heartbeats>";
    }
    out += "<w:Locale xml:lang=\"en-US\"/><w:ContentFormat>";
    out += subscription.rendered ? "RenderedText" : "Raw";
    out += "</w:ContentFormat></e:Delivery>";
    EventQueryFilter(out, subscription.channel, subscription.xpath);
    if (subscription.bookmarkRecordId > 0) {
        out += "<w:Bookmark><BookmarkList xmlns=\"\"><Bookmark Channel=\"";
        AppendEscaped(out, subscription.channel);
        out += "\" RecordId=\"";
        out += std::to_string(subscription.bookmarkRecordId);
        out += "\" IsCurrent=\"true\"/></BookmarkList></w:Bookmark>";
    }
    out += "<w:SendBookmarks/></e:Subscribe></s:Body></s:Envelope>";
    return out;
}

std::string UnsubscribeRequest(const RequestOptions& options, std::string_view identifier) {
    std::string out;
    RequestHeader(out, options, kActionUnsubscribe);
    out += "<e:Identifier>";
    AppendEscaped(out, identifier);
    out += "</e:Identifier></s:Header><s:Body><e:Unsubscribe/></s:Body></s:Envelope>";
    return out;
}

// ---- Responses -----------------------------------------------------------

const Value* Instance::Find(std::string_view name) const {
    for (const auto& [key, value] : properties) {
        if (EqualsIgnoringCase(key, name)) return &value;
    }
    return nullptr;
}

bool ParseResponse(std::string_view text, Response& out, std::string& error) {
    out = Response();
    pugi::xml_document doc;
    pugi::xml_node header, body;
    if (!ParseDocument(text, doc, header, body, error)) return false;
    std::string action = TextOf(Child(header, kNsAddressing, "Action"));
    out.heartbeat = static_cast<bool>(Child(header, kNsWsman, "Heartbeat"));
    if (pugi::xml_node mark = FirstElement(FirstElement(Child(header, kNsWsman, "Bookmark")));
        mark && LocalName(mark.name()) == "Bookmark") {
        uint64_t id = 0;
        std::string_view text = mark.attribute("RecordId").value();
        if (text.empty() || text.size() > 20 ||
            text.find_first_not_of("0123456789") != std::string_view::npos) {
            error = "malformed Bookmark RecordId '" + std::string(text) + "'";
            return false;
        }
        id = std::strtoull(std::string(text).c_str(), nullptr, 10);
        out.bookmarkRecordId = id;
    }
    pugi::xml_node content = FirstElement(body);
    if (!content) {
        // Release and Unsubscribe are answered with an empty body.
        if (EndsWith(action, "/ReleaseResponse")) {
            out.kind = Response::Kind::Release;
            return true;
        }
        if (EndsWith(action, "/UnsubscribeResponse")) {
            out.kind = Response::Kind::Unsubscribe;
            return true;
        }
        error = "empty body in an answer of action '" + action + "'";
        return false;
    }
    if (Is(content, kNsSoap, "Fault")) {
        out.kind = Response::Kind::Fault;
        pugi::xml_node code = Child(content, kNsSoap, "Code");
        out.fault.code = std::string(LocalName(TextOf(Child(code, kNsSoap, "Value")).c_str()));
        pugi::xml_node sub = Child(Child(code, kNsSoap, "Subcode"), kNsSoap, "Value");
        out.fault.subcode = std::string(LocalName(TextOf(sub).c_str()));
        out.fault.reason = TextOf(Child(Child(content, kNsSoap, "Reason"), kNsSoap, "Text"));
        pugi::xml_node detail = Child(content, kNsSoap, "Detail");
        pugi::xml_node wsmanFault = Child(detail, kNsFault, "WSManFault");
        if (wsmanFault) {
            int64_t number = 0;
            if (ParseInteger(wsmanFault.attribute("Code").value(), number) && number >= 0 &&
                number <= UINT32_MAX) {
                out.fault.wsmanCode = static_cast<uint32_t>(number);
            }
            std::string message = TextOf(Child(wsmanFault, kNsFault, "Message"));
            if (out.fault.reason.empty()) out.fault.reason = message;
        }
        return true;
    }
    // Hosts differ in the namespace they put the Identify answer in (the
    // identity schema's, WS-Management's, even SOAP's): it is known by its
    // name, its fields taken from its own namespace.
    if (LocalName(content.name()) == "IdentifyResponse") {
        out.kind = Response::Kind::Identify;
        out.productVendor =
            TextOf(Child(content, NamespaceOf(content, content.name()), "ProductVendor"));
        return true;
    }
    const bool enumerate = Is(content, kNsEnumeration, "EnumerateResponse");
    if (enumerate || Is(content, kNsEnumeration, "PullResponse")) {
        out.kind = enumerate ? Response::Kind::Enumerate : Response::Kind::Pull;
        out.context = TextOf(Child(content, kNsEnumeration, "EnumerationContext"));
        pugi::xml_node items = Child(content, kNsEnumeration, "Items");
        if (!items) items = Child(content, kNsWsman, "Items");
        if (items && !ParseItems(items, out, error)) return false;
        out.endOfSequence = Child(content, kNsEnumeration, "EndOfSequence") ||
                            Child(content, kNsWsman, "EndOfSequence");
        if (out.context.empty() && !out.endOfSequence) {
            error = "enumeration answer without a context";
            return false;
        }
        return true;
    }
    if (Is(content, kNsEventing, "SubscribeResponse")) {
        out.kind = Response::Kind::Subscribe;
        pugi::xml_node manager = Child(content, kNsEventing, "SubscriptionManager");
        pugi::xml_node reference = Child(manager, kNsAddressing, "ReferenceParameters");
        out.subscriptionId = TextOf(Child(reference, kNsEventing, "Identifier"));
        out.context = TextOf(Child(content, kNsEnumeration, "EnumerationContext"));
        if (out.context.empty()) {
            error = "subscription answer without an enumeration context";
            return false;
        }
        return true;
    }
    if (Is(content, kNsEnumeration, "ReleaseResponse")) {
        out.kind = Response::Kind::Release;
        return true;
    }
    if (Is(content, kNsEventing, "UnsubscribeResponse")) {
        out.kind = Response::Kind::Unsubscribe;
        return true;
    }
    error = "unexpected answer element '" + std::string(content.name()) + "'";
    return false;
}

}  // namespace wmi::wsman
