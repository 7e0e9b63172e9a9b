// The enumerator of an Enumerate (a data query) or a Subscribe (an event
// query) on a WS-Management host: Next is a Pull with MaxElements
// min(count, WSMAN.MAXELEMENTS) and Next's time-out as OperationTimeout (a
// TimedOut fault, or a heartbeat, is WBEM_S_TIMEDOUT with nothing;
// EndOfSequence WBEM_S_FALSE); a subscription the host no longer knows is
// made anew; releasing an unfinished enumerator sends Release or
// Unsubscribe.
//
// Two kinds of query share it: WQL on Win32_NTLogEvent, whose items are the
// host's objects; and a query on an event channel (the event log resource),
// whose Event XML events are handed out as the Win32_NTLogEvent each stands
// for (NtLogEventOf), wrapped as the __InstanceCreationEvent a subscription
// of the class delivers, after the EventType conditions the host could not
// apply; a lost channel subscription is made again after the last record
// read (a bookmark), so nothing is read twice or missed.
//
// Reference-counted; any thread may call Next, one at a time (pollLock).
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "wmi/cim/wql.h"
#include "wmi/comobject.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/httptransport.h"
#include "wmi/wsman/wsmanprovider.h"

namespace wmi::wsman {

// A query on an event channel: its subscription (channel, XPath, options)
// and the EventType conditions applied to each event.
struct ChannelQuery {
    ChannelSubscription subscription;
    std::vector<cim::WqlCondition> typeConditions;
};

class WsmanEnumerator : public ComObject<IEnumWbemClassObject> {
  public:
    // The answer of an Enumerate or (`notification`) a Subscribe of `wql`,
    // or of `channel` when it is set, with the context (and for a
    // subscription its identifier) the host gave.
    WsmanEnumerator(std::shared_ptr<Transport> hostTransport, const WsmanSettings& hostSettings,
                    bool notification, std::string wql, std::optional<ChannelQuery> channel,
                    std::string enumerationContext, std::string hostSubscriptionId);
    ~WsmanEnumerator() override;

    HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override;

  protected:
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

  private:
    HRESULT PullOnce(int64_t timeoutMs, ULONG count, IWbemClassObject** objects, ULONG* returned)
        REQUIRES(pollLock);
    // A channel answer's events that the EventType conditions admit into
    // `objects`, as Win32_NTLogEvent (wrapped for a subscription).
    void TakeEvents(const Response& response, IWbemClassObject** objects, ULONG* returned)
        REQUIRES(pollLock);
    HRESULT Resubscribe() REQUIRES(pollLock);
    // "the subscription" / "the enumeration" / "channel C", for the log.
    std::string What() const;

    // Constant after construction.
    const std::shared_ptr<Transport> transport;
    const WsmanSettings settings;
    const bool notification;
    const std::string wql;
    const std::optional<ChannelQuery> channel;

    // Serialises Next (one exchange at a time per enumerator). The
    // transport's lock is taken under it (lock order:
    // platform/thread_annotations.h).
    platform::Mutex pollLock;
    std::string context GUARDED_BY(pollLock);
    std::string subscriptionId GUARDED_BY(pollLock);
    uint64_t lastRecordId GUARDED_BY(pollLock) = 0;  // a channel's newest EventRecordID read
    bool ended GUARDED_BY(pollLock) = false;
    HRESULT broken GUARDED_BY(pollLock) = S_OK;
};

}  // namespace wmi::wsman
