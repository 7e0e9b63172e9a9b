// Queries of Win32_NTLogEvent on an event channel, run on the event log
// resource: the provider's services hand a parsed query here when its
// Logfile condition names a channel (cim::IsChannelName); its events come
// through a WsmanEnumerator (wmi/wsman/wsmanenumerator.h). Pure apart from
// RunChannelQuery's exchange on the caller's transport (any thread).
#pragma once

#include <wbemidl.h>

#include <memory>
#include <string>
#include <vector>

#include "wmi/cim/wql.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/httptransport.h"
#include "wmi/wsman/wsmanprovider.h"

namespace wmi::wsman {

// The event-log-resource form of a parsed query whose Logfile condition
// names a channel: the channel, the XPath of the conditions the host can
// apply (RecordNumber as EventRecordID, TimeGenerated and TimeWritten as
// TimeCreated, the levels an EventType bound admits) and the EventType
// conditions applied to each event. False when the query names no channel;
// WBEM_E_INVALID_QUERY in `hr` for a condition that has no such form.
bool ChannelQueryOf(const cim::WqlQuery& query, std::string& channel, std::string& xpath,
                    std::vector<cim::WqlCondition>& typeConditions, HRESULT& hr);

// Subscribes to the channel of `query` (notification) or enumerates it on
// `transport`'s host; WBEM_S_NO_ERROR with `*result` (one reference), or
// the failure: the host's fault as the nearest WMI code (a channel the host
// does not have: WBEM_E_INVALID_QUERY; one the account may not read:
// E_ACCESSDENIED), logged at WARN with the host's own reason.
HRESULT RunChannelQuery(const std::shared_ptr<Transport>& transport, const WsmanSettings& settings,
                        ChannelSubscription query, std::vector<cim::WqlCondition> typeConditions,
                        bool notification, IEnumWbemClassObject** result);

}  // namespace wmi::wsman
