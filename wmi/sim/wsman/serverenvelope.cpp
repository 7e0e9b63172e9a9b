#include "wmi/sim/wsman/serverenvelope.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <pugixml.hpp>

#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/sim/wsman/eventxpath.h"
#include "wmi/wsman/soapxml.h"

namespace wmi::wsman {

namespace {

using namespace soap;

// The security profile an Identify answer offers: SPNEGO (Kerberos or
// NTLM) over HTTP.
constexpr const char* kProfileSpnegoKerberos =
    "http://schemas.dmtf.org/wbem/wsman/1/wsman/secprofile/http/spnego-kerberos";

// The envelope's opening and header; `extra` (header blocks) goes in last.
void ResponseHeader(std::string& out, const std::string& action, std::string_view relatesTo,
                    std::string_view extra = {}) {
    AppendEnvelopeOpen(out);
    out += "<s:Header><a:To>";
    out += kAnonymous;
    out += "</a:To><a:Action>";
    AppendEscaped(out, action);
    out += "</a:Action><a:MessageID>";
    out += NewMessageId();
    out += "</a:MessageID><a:RelatesTo>";
    AppendEscaped(out, relatesTo);
    out += "</a:RelatesTo>";
    out += extra;
    out += "</s:Header>";
}

}  // namespace

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
    for (pugi::xml_node o : Child(header, kNsWsman, "OptionSet").children()) {
        if (Is(o, kNsWsman, "Option") &&
            std::string_view(o.attribute("Name").value()) == "ReadExistingEvents") {
            out.readExistingEvents = true;
        }
    }
    auto filter = [&](pugi::xml_node parent) {
        pugi::xml_node f = Child(parent, kNsWsman, "Filter");
        if (!f) f = Child(parent, kNsEnumeration, "Filter");
        if (!f) f = Child(parent, kNsEventing, "Filter");
        out.filterDialect = f.attribute("Dialect").value();
        out.filter = TextOf(f);
        if (out.filterDialect == kDialectEventQuery) {
            pugi::xml_node list = FirstElement(f);
            pugi::xml_node query =
                LocalName(list.name()) == "QueryList" ? FirstElement(list) : pugi::xml_node();
            pugi::xml_node select = FirstElement(query);
            if (LocalName(query.name()) == "Query" && LocalName(select.name()) == "Select") {
                out.queryPath = select.attribute("Path").value();
                out.queryXPath = TextOf(select);
            }
        }
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
        if (max && (!cim::ParseInteger(TextOf(max), n) || n < 1)) {
            error = "malformed MaxElements";
            return false;
        }
        out.maxElements = static_cast<uint32_t>(std::min<int64_t>(n, 1000000));
    } else if (out.action == kActionRelease && Is(content, kNsEnumeration, "Release")) {
        out.kind = Request::Kind::Release;
        out.context = TextOf(Child(content, kNsEnumeration, "EnumerationContext"));
    } else if (out.action == kActionSubscribe && Is(content, kNsEventing, "Subscribe")) {
        out.kind = Request::Kind::Subscribe;
        pugi::xml_node delivery = Child(content, kNsEventing, "Delivery");
        out.deliveryMode = delivery.attribute("Mode").value();
        out.contentFormat = TextOf(Child(delivery, kNsWsman, "ContentFormat"));
        if (pugi::xml_node beats = Child(delivery, kNsWsman, "Heartbeats");
            beats && !ParseDuration(TextOf(beats), out.heartbeatsMs)) {
            error = "malformed Heartbeats";
            return false;
        }
        out.sendBookmarks = static_cast<bool>(Child(content, kNsWsman, "SendBookmarks"));
        pugi::xml_node list = FirstElement(Child(content, kNsWsman, "Bookmark"));
        pugi::xml_node mark = FirstElement(list);
        if (LocalName(mark.name()) == "Bookmark") {
            out.bookmarkChannel = mark.attribute("Channel").value();
            int64_t id = -1;
            if (!cim::ParseInteger(mark.attribute("RecordId").value(), id) || id < 0) {
                error = "malformed Bookmark RecordId";
                return false;
            }
            out.bookmarkRecordId = id;
        }
        filter(content);
    } else if (out.action == kActionUnsubscribe) {
        out.kind = Request::Kind::Unsubscribe;
    }
    return true;
}

std::string IdentifyResponse(std::string_view productVersion) {
    std::string out = "<s:Envelope xmlns:s=\"";
    out += kNsSoap;
    out += "\" xmlns:wsmid=\"";
    out += kNsIdentity;
    out += "\"><s:Header/><s:Body><wsmid:IdentifyResponse><wsmid:ProtocolVersion>";
    out += kNsWsman;
    out +=
        "</wsmid:ProtocolVersion><wsmid:ProductVendor>quellon simulated host"
        "</wsmid:ProductVendor><wsmid:ProductVersion>";
    AppendEscaped(out, productVersion);
    out += "</wsmid:ProductVersion><wsmid:SecurityProfiles><wsmid:SecurityProfileName>";
    out += kProfileSpnegoKerberos;
    out +=
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
    return EventPullResponse(relatesTo, context, items, end, {}, false);
}

std::string EventPullResponse(std::string_view relatesTo, std::string_view context,
                              const std::vector<std::string>& items, bool end,
                              std::string_view bookmarkXml, bool heartbeat) {
    std::string extra;
    if (!bookmarkXml.empty()) {
        extra += "<w:Bookmark>";
        extra += bookmarkXml;
        extra += "</w:Bookmark>";
    }
    if (heartbeat) extra += "<w:Heartbeat/>";
    std::string out;
    size_t size = 1000 + extra.size();
    for (const std::string& item : items) size += item.size();
    out.reserve(size);
    ResponseHeader(out, std::string(kActionPull) + "Response", relatesTo, extra);
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
            if (cimType == CIM_DATETIME && cim::ParseDmtf(text, micros)) {
                out += "<cim:Datetime>";
                out += cim::FormatRfc3339(micros);
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

// A property the simulated host cannot read (a damaged record) goes out as
// an element no reader can take for a value, as a host's damaged record
// would: the record's other properties still say where it stands.
bool LogEventBody(IWbemClassObject* object, const char* prefix, std::string& out) {
    for (size_t i = 0; i < cim::kEventPropertyCount; ++i) {
        auto property = static_cast<cim::EventProperty>(i);
        const char* name = cim::NameOf(property);
        VARIANT value;
        if (!GetValue(object, name, value)) {
            VariantClear(&value);
            out += std::string("<") + prefix + ":" + name + "><" + prefix + ":Unreadable/></" +
                   prefix + ":" + name + ">";
            continue;
        }
        PropertyXml(out, prefix, name, value, cim::CimTypeOf(property));
        VariantClear(&value);
    }
    return true;
}

// The namespaces every item declares besides its class's.
void AppendInstanceNamespaces(std::string& out) {
    out += "xmlns:cim=\"";
    out += kNsCim;
    out += "\" xmlns:xsi=\"";
    out += kNsXsi;
    out += '"';
}

}  // namespace

bool InstanceXml(IWbemClassObject* object, std::string& out) {
    VARIANT className;
    if (!GetValue(object, "__CLASS", className) || className.vt != VT_BSTR) {
        VariantClear(&className);
        return false;
    }
    std::string name = Utf8FromBstr(className.bstrVal);
    VariantClear(&className);
    if (name == cim::kNtLogEventClass) {
        out += "<p:Win32_NTLogEvent xmlns:p=\"";
        out += kResourceCimv2Prefix;
        out += "Win32_NTLogEvent\" ";
        AppendInstanceNamespaces(out);
        out += " xsi:type=\"p:Win32_NTLogEvent_Type\">";
        if (!LogEventBody(object, "p", out)) return false;
        out += "</p:Win32_NTLogEvent>";
        return true;
    }
    if (name == cim::kCreationEventClass) {
        VARIANT target;
        if (!GetValue(object, "TargetInstance", target)) return false;
        out += "<p:__InstanceCreationEvent xmlns:p=\"";
        out += kResourceCimv2Prefix;
        out += "__InstanceCreationEvent\" ";
        AppendInstanceNamespaces(out);
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

// ---- Event XML ---------------------------------------------------------------

namespace {

constexpr uint64_t kAuditSuccessKeyword = 0x0020000000000000ULL;
constexpr uint64_t kAuditFailureKeyword = 0x0010000000000000ULL;
constexpr uint64_t kClassicKeyword = 0x0080000000000000ULL;

// The System fields of a record that has no channel fields of its own.
sim::SimChannelFields ClassicFields(const sim::SimEvent& e) {
    sim::SimChannelFields c;
    c.providerName = e.sourceName;
    c.level = LevelOf(e);
    c.task = static_cast<uint32_t>(e.category);
    c.keywords = kClassicKeyword | (e.eventType == 4   ? kAuditSuccessKeyword
                                    : e.eventType == 5 ? kAuditFailureKeyword
                                                       : 0);
    if (e.insertionStrings) {
        for (const std::string& v : *e.insertionStrings) c.eventData.push_back({"", v});
    }
    return c;
}

const char* LevelName(uint32_t level) {
    static constexpr const char* kNames[] = {"Information", "Critical",    "Error",
                                             "Warning",     "Information", "Verbose"};
    return level < 6 ? kNames[level] : "";
}

void Element(std::string& out, const char* name, std::string_view text) {
    out += '<';
    out += name;
    out += '>';
    AppendEscaped(out, text);
    out += "</";
    out += name;
    out += '>';
}

void Attribute(std::string& out, const char* name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    AppendEscaped(out, value);
    out += '"';
}

// "2021-12-04T21:19:16.7419950Z", the seven fraction digits Windows writes.
std::string SystemTime(int64_t micros) {
    std::string t = cim::FormatRfc3339(micros);
    if (!t.empty() && t.back() == 'Z') t.insert(t.size() - 1, "0");
    return t;
}

}  // namespace

void EventXml(const sim::SimEvent& e, bool rendered, std::string& out) {
    const sim::SimChannelFields c = e.channel ? *e.channel : ClassicFields(e);
    out += "<Event xmlns=\"";
    out += kNsEvent;
    out += "\"><System><Provider";
    Attribute(out, "Name", c.providerName);
    if (!c.providerGuid.empty()) Attribute(out, "Guid", c.providerGuid);
    if (e.sourceName != c.providerName) Attribute(out, "EventSourceName", e.sourceName);
    out += "/><EventID";
    if (e.eventIdentifier >> 16)
        Attribute(out, "Qualifiers", std::to_string(e.eventIdentifier >> 16));
    out += '>';
    out += std::to_string(e.eventCode);
    out += "</EventID>";
    Element(out, "Version", std::to_string(c.version));
    Element(out, "Level", std::to_string(c.level));
    Element(out, "Task", std::to_string(c.task));
    Element(out, "Opcode", std::to_string(c.opcode));
    char keywords[32];
    std::snprintf(keywords, sizeof keywords, "0x%llx", static_cast<unsigned long long>(c.keywords));
    Element(out, "Keywords", keywords);
    out += "<TimeCreated";
    Attribute(out, "SystemTime", SystemTime(e.timeGenerated));
    out += "/>";
    Element(out, "EventRecordID", std::to_string(e.eventRecordId));
    out += "<Correlation";
    if (!c.activityId.empty()) Attribute(out, "ActivityID", c.activityId);
    out += "/><Execution";
    Attribute(out, "ProcessID", std::to_string(c.processId));
    Attribute(out, "ThreadID", std::to_string(c.threadId));
    out += "/>";
    Element(out, "Channel", e.logFile);
    Element(out, "Computer", e.computerName);
    out += "<Security";
    if (e.user) Attribute(out, "UserID", *e.user);
    out += "/></System>";
    if (c.userData) {
        out += "<UserData>";
        out += *c.userData;  // well-formed XML as the record holds it
        out += "</UserData>";
    } else if (!c.eventData.empty()) {
        out += "<EventData>";
        for (const sim::SimDataValue& v : c.eventData) {
            out += "<Data";
            if (!v.name.empty()) Attribute(out, "Name", v.name);
            out += '>';
            AppendEscaped(out, v.value);
            out += "</Data>";
        }
        out += "</EventData>";
    }
    if (rendered) {
        out += "<RenderingInfo Culture=\"en-US\">";
        if (e.message) Element(out, "Message", *e.message);
        Element(out, "Level", LevelName(c.level));
        Element(out, "Task", c.task == 0 ? "None" : "");
        Element(out, "Opcode", c.opcode == 0 ? "Info" : "");
        Element(out, "Channel", e.logFile);
        Element(out, "Provider", c.providerName);
        out += "<Keywords>";
        if (c.keywords & kAuditSuccessKeyword) Element(out, "Keyword", "Audit Success");
        if (c.keywords & kAuditFailureKeyword) Element(out, "Keyword", "Audit Failure");
        if (c.keywords & kClassicKeyword) Element(out, "Keyword", "Classic");
        out += "</Keywords></RenderingInfo>";
    }
    out += "</Event>";
}

std::string EventItemXml(const sim::SimEvent& e, bool rendered) {
    std::string out = "<w:Event Action=\"";
    out += kActionEvent;
    out += "\">";
    EventXml(e, rendered, out);
    out += "</w:Event>";
    return out;
}

std::string BookmarkXml(std::string_view channel, int64_t recordId) {
    std::string out = "<BookmarkList><Bookmark";
    Attribute(out, "Channel", channel);
    Attribute(out, "RecordId", std::to_string(recordId));
    out += " IsCurrent=\"true\"/></BookmarkList>";
    return out;
}

}  // namespace wmi::wsman
