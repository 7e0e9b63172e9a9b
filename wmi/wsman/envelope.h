// The SOAP envelopes of WS-Management as a Windows host speaks them (WinRM,
// over HTTP POST to /wsman): the names and addresses of the protocol, the
// requests the provider sends (Identify, Enumerate with a WQL filter, Pull,
// Release, Subscribe in pull mode, Unsubscribe) and what it reads from the
// answers (enumeration contexts, items, the end of a sequence, faults). The
// simulated endpoint's side of the conversation is
// wmi/sim/wsman/serverenvelope.h.
//
// Every text that goes into an envelope (addresses, WQL, identifiers) is
// escaped, so no value can leave its element. Documents are read with
// pugixml; prefixes are resolved through the xmlns declarations in scope,
// so a peer may name its namespaces as it likes (wmi/wsman/soapxml.h).
//
// Items are mapped onto WMI's typed values here (see Instance): the result
// of a parse is plain data, safe to hand to any thread. Pure functions.
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wmi/wsman/channelevent.h"

namespace wmi::wsman {

// ---- Namespaces and fixed texts ------------------------------------------
inline constexpr const char* kNsSoap = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr const char* kNsAddressing = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
inline constexpr const char* kNsWsman = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
inline constexpr const char* kNsMsWsman = "http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd";
inline constexpr const char* kNsEnumeration = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
inline constexpr const char* kNsEventing = "http://schemas.xmlsoap.org/ws/2004/08/eventing";
inline constexpr const char* kNsIdentity =
    "http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd";
inline constexpr const char* kNsFault = "http://schemas.microsoft.com/wbem/wsman/1/wsmanfault";
inline constexpr const char* kNsXsi = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr const char* kNsCim = "http://schemas.dmtf.org/wbem/wscim/1/common";

// Every WMI class of root/cimv2, addressed through a WQL filter.
inline constexpr const char* kResourceCimv2 =
    "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*";
// The prefix of a class's own resource URI (class name appended).
inline constexpr const char* kResourceCimv2Prefix =
    "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/";
inline constexpr const char* kDialectWql = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
inline constexpr const char* kDeliveryPull = "http://schemas.dmtf.org/wbem/wsman/1/wsman/Pull";
// The event log resource: the channels of Windows Event Log, filtered by an
// event query (a QueryList of XPath selections), events as Event XML.
inline constexpr const char* kResourceEventLog =
    "http://schemas.microsoft.com/wbem/wsman/1/windows/EventLog";
inline constexpr const char* kDialectEventQuery =
    "http://schemas.microsoft.com/win/2004/08/events/eventquery";
inline constexpr const char* kNsEvent = "http://schemas.microsoft.com/win/2004/08/events/event";
// The Action attribute of an event item.
inline constexpr const char* kActionEvent = "http://schemas.dmtf.org/wbem/wsman/1/wsman/Event";
inline constexpr const char* kAnonymous =
    "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";

inline constexpr const char* kActionEnumerate =
    "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate";
inline constexpr const char* kActionPull = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull";
inline constexpr const char* kActionRelease =
    "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Release";
inline constexpr const char* kActionSubscribe =
    "http://schemas.xmlsoap.org/ws/2004/08/eventing/Subscribe";
inline constexpr const char* kActionUnsubscribe =
    "http://schemas.xmlsoap.org/ws/2004/08/eventing/Unsubscribe";
inline constexpr const char* kActionFault = "http://schemas.dmtf.org/wbem/wsman/1/wsman/fault";

// The media type of a SOAP 1.2 message, as WinRM writes it.
inline constexpr const char* kSoapContentType = "application/soap+xml;charset=UTF-8";
// The same without parameters, as a received Content-Type starts.
inline constexpr const char* kSoapMediaType = "application/soap+xml";

// WSManFault codes (the Win32 error of the WinRM service, as an unsigned
// HRESULT in decimal).
inline constexpr uint32_t kFaultTimedOut = 2150858793u;           // 0x80338029
inline constexpr uint32_t kFaultInvalidContext = 2150858756u;     // 0x80338004
inline constexpr uint32_t kFaultUnsupportedAction = 2150858770u;  // 0x80338012
inline constexpr uint32_t kFaultAccessDenied = 5u;
inline constexpr uint32_t kFaultChannelNotFound = 15007u;    // ERROR_EVT_CHANNEL_NOT_FOUND
inline constexpr uint32_t kFaultInvalidEventQuery = 15001u;  // ERROR_EVT_INVALID_QUERY

// The escaped form of `text` for element content and attribute values.
std::string EscapeXml(std::string_view text);
// A fresh "uuid:..." message identifier (random, version 4).
std::string NewMessageId();
// "PT12.345S" for a time in milliseconds (xs:duration as Windows writes it).
std::string FormatDuration(int64_t millis);
// The milliseconds of an xs:duration ("PT60S", "PT0.500S", "P1DT2H3M4.5S");
// false when malformed.
bool ParseDuration(std::string_view text, int64_t& millis);

// ---- Requests (provider side) --------------------------------------------
struct RequestOptions {
    std::string to;         // http(s)://host:port/wsman
    std::string messageId;  // NewMessageId() when empty
    int64_t operationTimeoutMs = 60000;
    uint32_t maxEnvelopeSize = 512000;
};

std::string IdentifyRequest();
std::string EnumerateRequest(const RequestOptions& options, std::string_view wql);
std::string PullRequest(const RequestOptions& options, std::string_view context,
                        uint32_t maxElements);
std::string ReleaseRequest(const RequestOptions& options, std::string_view context);
// A pull-mode subscription with `wql` as its filter; `expiresMs` 0: none.
std::string SubscribeRequest(const RequestOptions& options, std::string_view wql,
                             int64_t expiresMs);
// The event log resource: an enumeration of `channel` through `xpath`
// (a replay's time window).
std::string ChannelEnumerateRequest(const RequestOptions& options, std::string_view channel,
                                    std::string_view xpath);
struct ChannelSubscription {
    std::string channel;
    std::string xpath = "*";
    bool rendered = true;             // ContentFormat RenderedText, else Raw
    bool readExistingEvents = false;  // start at the channel's oldest record
    uint64_t bookmarkRecordId = 0;    // above 0: start after this record
    int64_t heartbeatMs = 0;          // above 0: w:Heartbeats
};
// A pull-mode subscription to a channel; the host is asked to send
// bookmarks.
std::string ChannelSubscribeRequest(const RequestOptions& options,
                                    const ChannelSubscription& subscription);
// Ends the subscription the host called `identifier` (from its
// SubscribeResponse).
std::string UnsubscribeRequest(const RequestOptions& options, std::string_view identifier);

// ---- Instances -----------------------------------------------------------
struct Instance;

// One property value, already in the form IWbemClassObject::Get gives it.
struct Value {
    enum class Kind { Null, Int32, UInt8, Text, TextArray, Object };
    Kind kind = Kind::Null;
    int64_t number = 0;              // Int32 (as VT_I4), UInt8 (as VT_UI1)
    std::string text;                // Text (date-times already in DMTF form)
    std::vector<std::string> texts;  // TextArray
    std::shared_ptr<const Instance> object;
    CIMTYPE cimType = CIM_STRING;
};

// A WMI object read from an item: its class and its properties in document
// order (names as the host spelled them).
struct Instance {
    std::string className;
    std::vector<std::pair<std::string, Value>> properties;
    // Not empty: why the item could not be read. Such an instance holds only
    // what could be read of where the record stands (Logfile, RecordNumber,
    // TimeWritten; an event's in its TargetInstance), so that the reader can
    // name it and go past it.
    std::string unreadable;

    // The property called `name` (ASCII case ignored), or null.
    const Value* Find(std::string_view name) const;
};

// The Win32_NTLogEvent a channel event stands for, as the engine reads a
// classic one: Logfile the channel, RecordNumber the low 32 bits of the
// EventRecordID (the class's width), EventCode the EventID's low 16 bits and
// EventIdentifier with the qualifiers, EventType from the keywords and level
// (EventTypeOfChannelEvent) and its Type text, SourceName the provider's
// event-source name when it has one, else its name, Category the task and
// CategoryString its rendered name, TimeGenerated and TimeWritten both the
// creation time, InsertionStrings the data values (NULL when none), Message
// the rendered message (NULL when not rendered), User the SID (NULL when
// none), ComputerName.
Instance NtLogEventOf(const ChannelEvent& event);

// ---- Responses (provider side) -------------------------------------------
struct Fault {
    std::string code;     // s:Sender / s:Receiver (local part)
    std::string subcode;  // local part, e.g. "TimedOut", "AccessDenied"
    std::string reason;
    uint32_t wsmanCode = 0;  // f:WSManFault Code, 0 when absent
};

struct Response {
    enum class Kind {
        Identify,
        Enumerate,
        Pull,
        Release,
        Subscribe,
        Unsubscribe,
        Fault,
    };
    Kind kind = Kind::Fault;
    std::string context;         // Enumerate, Pull (absent at the end), Subscribe
    bool endOfSequence = false;  // Pull, Enumerate
    std::vector<Instance> items;
    // Pull of the event log resource: its events, the record id of the
    // bookmark the host sent (0: none) and whether it was a heartbeat.
    std::vector<ChannelEvent> events;
    uint64_t bookmarkRecordId = 0;
    bool heartbeat = false;
    std::string subscriptionId;  // Subscribe: the identifier for Unsubscribe
    std::string productVendor;   // Identify
    Fault fault;
};

// Reads one answer. False, with a readable `error`, for a document that is
// not a well-formed SOAP envelope of a known kind, or whose items cannot be
// mapped (a number that is not one, a date-time that is not one, an item
// nested beyond reason).
bool ParseResponse(std::string_view text, Response& out, std::string& error);

}  // namespace wmi::wsman
