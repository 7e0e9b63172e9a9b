// The simulated WS-Management endpoint's side of the envelopes
// (wmi/wsman/envelope.h holds the provider's): requests read, answers and
// faults written, and the simulated hosts' objects serialised as items the
// way a Windows host writes them. Test tooling beside the simulator, out of
// what the listener links. Pure functions, callable from any thread.
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wmi/sim/simstore.h"
#include "wmi/wsman/envelope.h"

namespace wmi::wsman {

struct Request {
    enum class Kind { Identify, Enumerate, Pull, Release, Subscribe, Unsubscribe, Other };
    Kind kind = Kind::Other;
    std::string action;
    std::string messageId;
    std::string to;
    std::string resourceUri;
    int64_t operationTimeoutMs = -1;  // -1: none given
    std::string filterDialect;
    std::string filter;
    std::string context;         // Pull, Release
    uint32_t maxElements = 1;    // Pull
    std::string deliveryMode;    // Subscribe
    std::string subscriptionId;  // Unsubscribe (e:Identifier header)
    // The event log resource (filter dialect kDialectEventQuery): the first
    // Select of the QueryList, its Path (the channel) and its XPath.
    std::string queryPath;
    std::string queryXPath;
    bool readExistingEvents = false;  // Subscribe: w:Option ReadExistingEvents
    std::string contentFormat;        // Subscribe: w:ContentFormat, "" when not given
    int64_t heartbeatsMs = -1;        // Subscribe: w:Heartbeats, -1 when not given
    bool sendBookmarks = false;       // Subscribe: w:SendBookmarks
    // Subscribe: the w:Bookmark's first Bookmark, RecordId -1 when none.
    std::string bookmarkChannel;
    int64_t bookmarkRecordId = -1;
};

// Reads one request; false with `error` for a document that is not a SOAP
// envelope.
bool ParseRequest(std::string_view text, Request& out, std::string& error);

std::string IdentifyResponse(std::string_view productVersion);
std::string EnumerateResponse(std::string_view relatesTo, std::string_view context);
// `items` are serialised instances (InstanceXml); `context` is left out when
// `end` is set.
std::string PullResponse(std::string_view relatesTo, std::string_view context,
                         const std::vector<std::string>& items, bool end);
// A Pull answer of an event log subscription or enumeration: `items` are
// event items (EventItemXml); a non-empty `bookmarkXml` goes into the header
// as the w:Bookmark, `heartbeat` adds a w:Heartbeat header (an answer with no
// events at the end of the heartbeat interval).
std::string EventPullResponse(std::string_view relatesTo, std::string_view context,
                              const std::vector<std::string>& items, bool end,
                              std::string_view bookmarkXml, bool heartbeat);
std::string ReleaseResponse(std::string_view relatesTo);
std::string SubscribeResponse(std::string_view relatesTo, std::string_view address,
                              std::string_view identifier, std::string_view context);
std::string UnsubscribeResponse(std::string_view relatesTo);
// `code` "Sender" or "Receiver", `subcode` a qualified fault name with one of
// the envelope's prefixes (w:, a:, n:, e:; "w:TimedOut"),
// `detailCode` the f:WSManFault Code, `machine` the host's name.
std::string FaultResponse(std::string_view relatesTo, std::string_view code,
                          std::string_view subcode, std::string_view reason, uint32_t detailCode,
                          std::string_view machine);

// The item element of a WMI object, with its namespaces declared on it, as
// Windows serialises it: one element per property in the class's order,
// xsi:nil for NULL, one element per array entry (none for an empty array),
// date-times as cim:Datetime in RFC 3339 UTC, embedded objects inline.
// `object` must answer __CLASS; Win32_NTLogEvent and
// __InstanceCreationEvent are known.
bool InstanceXml(IWbemClassObject* object, std::string& out);

// The Event XML of a stored record as Windows Event Log writes it: System
// (a record without channel fields shows its classic ones: the source as
// provider, the level of its type, its insertion strings as unnamed Data),
// then EventData or UserData, and with `rendered` the RenderingInfo (the
// level, opcode, task and keyword names, and the record's message when it
// has one). Appended to `out`.
void EventXml(const sim::SimEvent& e, bool rendered, std::string& out);
// The w:Event item that carries EventXml in a Pull answer.
std::string EventItemXml(const sim::SimEvent& e, bool rendered);
// "<BookmarkList><Bookmark Channel=.. RecordId=.. IsCurrent="true"/></BookmarkList>".
std::string BookmarkXml(std::string_view channel, int64_t recordId);

}  // namespace wmi::wsman
