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

}  // namespace wmi::wsman
