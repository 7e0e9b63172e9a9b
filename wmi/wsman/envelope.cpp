#include "wmi/wsman/envelope.h"

#include <cstdio>
#include <cstring>
#include <pugixml.hpp>
#include <random>

#include "wmi/sim/ntlogevent.h"
#include "wmi/sim/simtime.h"
#include "wmi/sim/wql.h"

namespace wmi::wsman {

namespace {

using sim::EqualsIgnoringCase;

// Objects nested deeper than this (TargetInstance holds one level) are
// refused rather than followed.
constexpr int kMaxDepth = 8;

// ---- Writing -------------------------------------------------------------

const char* const kEnvelopeOpen =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
    "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
    "xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd\" "
    "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
    "xmlns:e=\"http://schemas.xmlsoap.org/ws/2004/08/eventing\">";

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                    // Not allowed in XML 1.0 even as a reference; dropped.
                    break;
                }
                out += c;
        }
    }
}

// The header every request carries, up to (not including) </s:Header>.
void RequestHeader(std::string& out, const RequestOptions& options, const char* action) {
    out += kEnvelopeOpen;
    out += "<s:Header><a:To>";
    AppendEscaped(out, options.to);
    out += "</a:To><w:ResourceURI s:mustUnderstand=\"true\">";
    out += kResourceCimv2;
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

void ResponseHeader(std::string& out, const std::string& action, std::string_view relatesTo) {
    out += kEnvelopeOpen;
    out += "<s:Header><a:To>";
    out += kAnonymous;
    out += "</a:To><a:Action>";
    AppendEscaped(out, action);
    out += "</a:Action><a:MessageID>";
    out += NewMessageId();
    out += "</a:MessageID><a:RelatesTo>";
    AppendEscaped(out, relatesTo);
    out += "</a:RelatesTo></s:Header>";
}

// ---- Reading -------------------------------------------------------------

std::string_view LocalName(const char* qualified) {
    const char* colon = std::strchr(qualified, ':');
    return colon == nullptr ? std::string_view(qualified) : std::string_view(colon + 1);
}

// The namespace URI bound to the prefix of `qualified` where `scope` stands;
// "" when unbound.
const char* NamespaceOf(pugi::xml_node scope, const char* qualified) {
    const char* colon = std::strchr(qualified, ':');
    char attribute[80] = "xmlns";
    if (colon != nullptr) {
        size_t length = static_cast<size_t>(colon - qualified);
        if (length + 7 > sizeof attribute) return "";
        attribute[5] = ':';
        std::memcpy(attribute + 6, qualified, length);
        attribute[6 + length] = '\0';
    }
    for (pugi::xml_node n = scope; n; n = n.parent()) {
        if (n.type() != pugi::node_element) break;
        pugi::xml_attribute a = n.attribute(attribute);
        if (a) return a.value();
    }
    return "";
}

bool Is(pugi::xml_node node, const char* ns, std::string_view local) {
    return node.type() == pugi::node_element && LocalName(node.name()) == local &&
           std::strcmp(NamespaceOf(node, node.name()), ns) == 0;
}

pugi::xml_node Child(pugi::xml_node parent, const char* ns, std::string_view local) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (Is(c, ns, local)) return c;
    }
    return {};
}

pugi::xml_node FirstElement(pugi::xml_node parent) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element) return c;
    }
    return {};
}

// The attribute `local` of namespace `ns` on `node`.
pugi::xml_attribute Attribute(pugi::xml_node node, const char* ns, std::string_view local) {
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
        if (LocalName(a.name()) == local && std::strchr(a.name(), ':') != nullptr &&
            std::strcmp(NamespaceOf(node, a.name()), ns) == 0) {
            return a;
        }
    }
    return {};
}

std::string TextOf(pugi::xml_node node) { return node.text().get(); }

bool IsNil(pugi::xml_node node) {
    pugi::xml_attribute nil = Attribute(node, kNsXsi, "nil");
    return nil && (std::strcmp(nil.value(), "true") == 0 || std::strcmp(nil.value(), "1") == 0);
}

bool ParseInteger(std::string_view text, int64_t& value) {
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size() || text.size() - i > 18) return false;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

// A date-time property: cim:Datetime (ISO 8601) inside, or the text itself
// in ISO or DMTF form; the DMTF text with the offset +000.
bool DateTimeOf(pugi::xml_node node, std::string& dmtf) {
    pugi::xml_node datetime = Child(node, kNsCim, "Datetime");
    std::string text = TextOf(datetime ? datetime : node);
    int64_t micros = 0;
    if (!sim::ParseIso8601(text, micros) && !sim::ParseDmtf(text, micros)) return false;
    dmtf = sim::FormatDmtf(micros);
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
bool EventValue(sim::EventProperty property, const std::vector<pugi::xml_node>& nodes, Value& value,
                std::string& error) {
    const char* name = sim::NameOf(property);
    value.cimType = sim::CimTypeOf(property);
    sim::PropertyKind kind = sim::KindOf(property);
    if (kind == sim::PropertyKind::TextArray) {
        // One element per entry; a single xsi:nil element is NULL.
        if (nodes.size() == 1 && IsNil(nodes.front())) {
            value.kind = Value::Kind::Null;
            return true;
        }
        value.kind = Value::Kind::TextArray;
        for (pugi::xml_node n : nodes) value.texts.push_back(TextOf(n));
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
        case sim::PropertyKind::Number: {
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
        case sim::PropertyKind::DateTime:
            value.kind = Value::Kind::Text;
            if (!DateTimeOf(node, value.text)) {
                error = std::string("property ") + name + ": not a date-time";
                return false;
            }
            return true;
        default:
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
        out.className == "Win32_NTLogEvent" || EmbeddedClass(node) == "Win32_NTLogEvent";
    bool seen[sim::kEventPropertyCount] = {};
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
    out.properties.reserve(groups.size() + (logEvent ? sim::kEventPropertyCount : 0));
    for (auto& [name, nodes] : groups) {
        Value value;
        sim::EventProperty property;
        bool known = logEvent && sim::FindEventProperty(name, property);
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
        for (size_t i = 0; i < sim::kEventPropertyCount; ++i) {
            if (seen[i]) continue;
            auto property = static_cast<sim::EventProperty>(i);
            Value value;
            value.cimType = sim::CimTypeOf(property);
            if (sim::KindOf(property) == sim::PropertyKind::TextArray) {
                value.kind = Value::Kind::TextArray;
            }
            out.properties.emplace_back(sim::NameOf(property), std::move(value));
        }
    }
    return true;
}

bool ParseItems(pugi::xml_node items, Response& out, std::string& error) {
    for (pugi::xml_node item = items.first_child(); item; item = item.next_sibling()) {
        if (item.type() != pugi::node_element) continue;
        pugi::xml_node object = item;
        // Events may come wrapped (w:Item / w:Event around the object).
        if (Is(object, kNsWsman, "Item") || Is(object, kNsWsman, "Event")) {
            object = FirstElement(object);
            if (!object) continue;
        }
        Instance instance;
        if (!ParseInstance(object, 0, instance, error)) return false;
        out.items.push_back(std::move(instance));
    }
    return true;
}

bool ParseDocument(std::string_view text, pugi::xml_document& doc, pugi::xml_node& header,
                   pugi::xml_node& body, std::string& error) {
    pugi::xml_parse_result parsed =
        doc.load_buffer(text.data(), text.size(),
                        pugi::parse_default | pugi::parse_ws_pcdata_single, pugi::encoding_utf8);
    if (!parsed) {
        error = std::string("malformed XML: ") + parsed.description() + " at offset " +
                std::to_string(parsed.offset);
        return false;
    }
    pugi::xml_node envelope = doc.document_element();
    if (!Is(envelope, kNsSoap, "Envelope")) {
        error = "not a SOAP 1.2 envelope";
        return false;
    }
    header = Child(envelope, kNsSoap, "Header");
    body = Child(envelope, kNsSoap, "Body");
    if (!body) {
        error = "envelope without a body";
        return false;
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
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
           "<s:Header/><s:Body><wsmid:Identify/></s:Body></s:Envelope>";
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
    if (Is(content, kNsIdentity, "IdentifyResponse")) {
        out.kind = Response::Kind::Identify;
        out.productVendor = TextOf(Child(content, kNsIdentity, "ProductVendor"));
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

// ---- The endpoint's side -------------------------------------------------

bool ParseRequest(std::string_view text, Request& out, std::string& error) {
    out = Request();
    pugi::xml_document doc;
    pugi::xml_node header, body;
    if (!ParseDocument(text, doc, header, body, error)) return false;
    out.action = TextOf(Child(header, kNsAddressing, "Action"));
    out.messageId = TextOf(Child(header, kNsAddressing, "MessageID"));
    out.to = TextOf(Child(header, kNsAddressing, "To"));
    out.resourceUri = TextOf(Child(header, kNsWsman, "ResourceURI"));
    pugi::xml_node timeout = Child(header, kNsWsman, "OperationTimeout");
    if (timeout && !ParseDuration(TextOf(timeout), out.operationTimeoutMs)) {
        error = "malformed OperationTimeout";
        return false;
    }
    out.subscriptionId = TextOf(Child(header, kNsEventing, "Identifier"));
    pugi::xml_node content = FirstElement(body);
    auto filter = [&](pugi::xml_node parent) {
        pugi::xml_node f = Child(parent, kNsWsman, "Filter");
        if (!f) f = Child(parent, kNsEnumeration, "Filter");
        if (!f) f = Child(parent, kNsEventing, "Filter");
        out.filterDialect = f.attribute("Dialect").value();
        out.filter = TextOf(f);
    };
    if (Is(content, kNsIdentity, "Identify")) {
        out.kind = Request::Kind::Identify;
    } else if (out.action == kActionEnumerate && Is(content, kNsEnumeration, "Enumerate")) {
        out.kind = Request::Kind::Enumerate;
        filter(content);
    } else if (out.action == kActionPull && Is(content, kNsEnumeration, "Pull")) {
        out.kind = Request::Kind::Pull;
        out.context = TextOf(Child(content, kNsEnumeration, "EnumerationContext"));
        int64_t n = 1;
        pugi::xml_node max = Child(content, kNsEnumeration, "MaxElements");
        if (max && (!ParseInteger(TextOf(max), n) || n < 1)) {
            error = "malformed MaxElements";
            return false;
        }
        out.maxElements = static_cast<uint32_t>(std::min<int64_t>(n, 1000000));
    } else if (out.action == kActionRelease && Is(content, kNsEnumeration, "Release")) {
        out.kind = Request::Kind::Release;
        out.context = TextOf(Child(content, kNsEnumeration, "EnumerationContext"));
    } else if (out.action == kActionSubscribe && Is(content, kNsEventing, "Subscribe")) {
        out.kind = Request::Kind::Subscribe;
        out.deliveryMode = Child(content, kNsEventing, "Delivery").attribute("Mode").value();
        filter(content);
    } else if (out.action == kActionUnsubscribe) {
        out.kind = Request::Kind::Unsubscribe;
    }
    return true;
}

std::string IdentifyResponse(std::string_view productVersion) {
    std::string out =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:wsmid=\"http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd\">"
        "<s:Header/><s:Body><wsmid:IdentifyResponse><wsmid:ProtocolVersion>"
        "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd</wsmid:ProtocolVersion>"
        "<wsmid:ProductVendor>quellon simulated host</wsmid:ProductVendor>"
        "<wsmid:ProductVersion>";
    AppendEscaped(out, productVersion);
    out +=
        "</wsmid:ProductVersion><wsmid:SecurityProfiles><wsmid:SecurityProfileName>"
        "http://schemas.dmtf.org/wbem/wsman/1/wsman/secprofile/http/spnego-kerberos"
        "</wsmid:SecurityProfileName></wsmid:SecurityProfiles></wsmid:IdentifyResponse>"
        "</s:Body></s:Envelope>";
    return out;
}

std::string EnumerateResponse(std::string_view relatesTo, std::string_view context) {
    std::string out;
    ResponseHeader(out, std::string(kActionEnumerate) + "Response", relatesTo);
    out += "<s:Body><n:EnumerateResponse><n:EnumerationContext>";
    AppendEscaped(out, context);
    out += "</n:EnumerationContext></n:EnumerateResponse></s:Body></s:Envelope>";
    return out;
}

std::string PullResponse(std::string_view relatesTo, std::string_view context,
                         const std::vector<std::string>& items, bool end) {
    std::string out;
    size_t size = 1000;
    for (const std::string& item : items) size += item.size();
    out.reserve(size);
    ResponseHeader(out, std::string(kActionPull) + "Response", relatesTo);
    out += "<s:Body><n:PullResponse>";
    if (!end) {
        out += "<n:EnumerationContext>";
        AppendEscaped(out, context);
        out += "</n:EnumerationContext>";
    }
    out += "<n:Items>";
    for (const std::string& item : items) out += item;
    out += "</n:Items>";
    if (end) out += "<n:EndOfSequence/>";
    out += "</n:PullResponse></s:Body></s:Envelope>";
    return out;
}

std::string ReleaseResponse(std::string_view relatesTo) {
    std::string out;
    ResponseHeader(out, std::string(kActionRelease) + "Response", relatesTo);
    out += "<s:Body/></s:Envelope>";
    return out;
}

std::string SubscribeResponse(std::string_view relatesTo, std::string_view address,
                              std::string_view identifier, std::string_view context) {
    std::string out;
    ResponseHeader(out, std::string(kActionSubscribe) + "Response", relatesTo);
    out += "<s:Body><e:SubscribeResponse><e:SubscriptionManager><a:Address>";
    AppendEscaped(out, address);
    out += "</a:Address><a:ReferenceParameters><e:Identifier>";
    AppendEscaped(out, identifier);
    out += "</e:Identifier></a:ReferenceParameters></e:SubscriptionManager>";
    out += "<n:EnumerationContext>";
    AppendEscaped(out, context);
    out += "</n:EnumerationContext></e:SubscribeResponse></s:Body></s:Envelope>";
    return out;
}

std::string UnsubscribeResponse(std::string_view relatesTo) {
    std::string out;
    ResponseHeader(out, std::string(kActionUnsubscribe) + "Response", relatesTo);
    out += "<s:Body/></s:Envelope>";
    return out;
}

std::string FaultResponse(std::string_view relatesTo, std::string_view code,
                          std::string_view subcode, std::string_view reason, uint32_t detailCode,
                          std::string_view machine) {
    std::string out;
    ResponseHeader(out, kActionFault, relatesTo);
    out += "<s:Body><s:Fault><s:Code><s:Value>s:";
    AppendEscaped(out, code);
    out += "</s:Value><s:Subcode><s:Value>";
    AppendEscaped(out, subcode);
    out += "</s:Value></s:Subcode></s:Code><s:Reason><s:Text xml:lang=\"en-US\">";
    AppendEscaped(out, reason);
    out += "</s:Text></s:Reason><s:Detail><f:WSManFault xmlns:f=\"";
    out += kNsFault;
    out += "\" Code=\"";
    out += std::to_string(detailCode);
    out += "\" Machine=\"";
    AppendEscaped(out, machine);
    out += "\"><f:Message>";
    AppendEscaped(out, reason);
    out += "</f:Message></f:WSManFault></s:Detail></s:Fault></s:Body></s:Envelope>";
    return out;
}

// ---- Serialising objects -------------------------------------------------

namespace {

// Reads a property with Get; false when the object does not have it.
bool GetValue(IWbemClassObject* object, const char* name, VARIANT& value) {
    std::u16string wide(name, name + std::strlen(name));
    VariantInit(&value);
    return SUCCEEDED(object->Get(wide.c_str(), 0, &value, nullptr, nullptr));
}

void PropertyXml(std::string& out, const char* prefix, const char* name, const VARIANT& value,
                 CIMTYPE cimType) {
    auto open = [&] {
        out += '<';
        out += prefix;
        out += ':';
        out += name;
    };
    auto close = [&] {
        out += "</";
        out += prefix;
        out += ':';
        out += name;
        out += '>';
    };
    switch (value.vt) {
        case VT_NULL:
        case VT_EMPTY:
            open();
            out += " xsi:nil=\"true\"/>";
            return;
        case VT_I4:
            open();
            out += '>';
            out += std::to_string(cimType == CIM_SINT32
                                      ? value.lVal
                                      : static_cast<int64_t>(static_cast<uint32_t>(value.lVal)));
            close();
            return;
        case VT_UI1:
            open();
            out += '>';
            out += std::to_string(value.bVal);
            close();
            return;
        case VT_BSTR: {
            open();
            out += '>';
            std::string text = Utf8FromBstr(value.bstrVal);
            int64_t micros = 0;
            if (cimType == CIM_DATETIME && sim::ParseDmtf(text, micros)) {
                out += "<cim:Datetime>";
                out += sim::FormatIso8601(micros);
                out += "</cim:Datetime>";
            } else {
                AppendEscaped(out, text);
            }
            close();
            return;
        }
        case VT_ARRAY | VT_BSTR: {
            auto* slots = static_cast<BSTR*>(value.parray->pvData);
            for (ULONG i = 0; i < value.parray->rgsabound[0].cElements; ++i) {
                open();
                out += '>';
                AppendEscaped(out, Utf8FromBstr(slots[i]));
                close();
            }
            return;
        }
        default:
            return;
    }
}

bool LogEventBody(IWbemClassObject* object, const char* prefix, std::string& out) {
    for (size_t i = 0; i < sim::kEventPropertyCount; ++i) {
        auto property = static_cast<sim::EventProperty>(i);
        VARIANT value;
        if (!GetValue(object, sim::NameOf(property), value)) return false;
        PropertyXml(out, prefix, sim::NameOf(property), value, sim::CimTypeOf(property));
        VariantClear(&value);
    }
    return true;
}

const char* const kInstanceNamespaces =
    "xmlns:cim=\"http://schemas.dmtf.org/wbem/wscim/1/common\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"";

}  // namespace

bool InstanceXml(IWbemClassObject* object, std::string& out) {
    VARIANT className;
    if (!GetValue(object, "__CLASS", className) || className.vt != VT_BSTR) {
        VariantClear(&className);
        return false;
    }
    std::string name = Utf8FromBstr(className.bstrVal);
    VariantClear(&className);
    if (name == "Win32_NTLogEvent") {
        out += "<p:Win32_NTLogEvent xmlns:p=\"";
        out += kResourceCimv2Prefix;
        out += "Win32_NTLogEvent\" ";
        out += kInstanceNamespaces;
        out += " xsi:type=\"p:Win32_NTLogEvent_Type\">";
        if (!LogEventBody(object, "p", out)) return false;
        out += "</p:Win32_NTLogEvent>";
        return true;
    }
    if (name == "__InstanceCreationEvent") {
        VARIANT target;
        if (!GetValue(object, "TargetInstance", target)) return false;
        out += "<p:__InstanceCreationEvent xmlns:p=\"";
        out += kResourceCimv2Prefix;
        out += "__InstanceCreationEvent\" ";
        out += kInstanceNamespaces;
        out += " xsi:type=\"p:__InstanceCreationEvent_Type\">";
        bool ok = true;
        if (target.vt == VT_UNKNOWN && target.punkVal != nullptr) {
            IWbemClassObject* inner = nullptr;
            ok = SUCCEEDED(target.punkVal->QueryInterface(IID_IWbemClassObject,
                                                          reinterpret_cast<void**>(&inner)));
            if (ok) {
                out += "<p:TargetInstance xmlns:q=\"";
                out += kResourceCimv2Prefix;
                out += "Win32_NTLogEvent\" xsi:type=\"q:Win32_NTLogEvent_Type\">";
                ok = LogEventBody(inner, "q", out);
                out += "</p:TargetInstance>";
                inner->Release();
            }
        } else {
            out += "<p:TargetInstance xsi:nil=\"true\"/>";
        }
        VariantClear(&target);
        out += "</p:__InstanceCreationEvent>";
        return ok;
    }
    return false;
}

}  // namespace wmi::wsman
