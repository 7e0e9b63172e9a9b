#include "wmi/wsman/wsmanenumerator.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/logger.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/wsman/channelevent.h"
#include "wmi/wsman/exchange.h"
#include "wmi/wsman/wsmanobject.h"

namespace wmi::wsman {

namespace {

// Whether `type` meets every EventType condition.
bool Admitted(const std::vector<cim::WqlCondition>& conditions, int type) {
    for (const cim::WqlCondition& c : conditions) {
        const int64_t v = c.number;
        bool ok = true;
        switch (c.op) {
            case cim::WqlOp::Equal:
                ok = type == v;
                break;
            case cim::WqlOp::NotEqual:
                ok = type != v;
                break;
            case cim::WqlOp::Less:
                ok = type < v;
                break;
            case cim::WqlOp::LessEqual:
                ok = type <= v;
                break;
            case cim::WqlOp::Greater:
                ok = type > v;
                break;
            case cim::WqlOp::GreaterEqual:
                ok = type >= v;
                break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

WsmanEnumerator::WsmanEnumerator(std::shared_ptr<Transport> hostTransport,
                                 const WsmanSettings& hostSettings, bool isNotification,
                                 std::string query, std::optional<ChannelQuery> channelQuery,
                                 std::string enumerationContext, std::string hostSubscriptionId)
    : transport(std::move(hostTransport)),
      settings(hostSettings),
      notification(isNotification),
      wql(std::move(query)),
      channel(std::move(channelQuery)),
      context(std::move(enumerationContext)),
      subscriptionId(std::move(hostSubscriptionId)) {}

WsmanEnumerator::~WsmanEnumerator() {
    // Tell the host it can forget the enumeration or subscription.
    platform::MutexLock guard(pollLock);
    if (ended || broken != S_OK) return;
    RequestOptions options = Options(*transport, kGoodbyeTimeoutMs);
    std::string envelope = notification ? UnsubscribeRequest(options, subscriptionId)
                                        : ReleaseRequest(options, context);
    transport->Post(envelope, kGoodbyeTimeoutMs);
}

HRESULT WsmanEnumerator::Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                              ULONG* returned) {
    if (objects == nullptr || returned == nullptr) return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    if (count == 0 || (timeout < 0 && timeout != WBEM_INFINITE)) {
        return WBEM_E_INVALID_PARAMETER;
    }
    platform::MutexLock guard(pollLock);
    try {
        for (;;) {
            HRESULT hr = PullOnce(timeout == WBEM_INFINITE ? settings.operationTimeoutMs : timeout,
                                  count, objects, returned);
            if (hr != WBEM_S_TIMEDOUT || timeout != WBEM_INFINITE || *returned > 0) {
                return hr;
            }
        }
    } catch (const std::bad_alloc&) {
        while (*returned > 0) objects[--*returned]->Release();
        return WBEM_E_OUT_OF_MEMORY;
    }
}

std::string WsmanEnumerator::What() const {
    if (channel) return "channel " + channel->subscription.channel;
    return notification ? "subscription" : "enumeration";
}

HRESULT WsmanEnumerator::PullOnce(int64_t timeoutMs, ULONG count, IWbemClassObject** objects,
                                  ULONG* returned) {
    if (broken != S_OK) return broken;
    if (ended) return WBEM_S_FALSE;
    uint32_t wanted = std::min<uint32_t>(count, settings.maxElements);
    // A data query's records are there to be read: the host may take the
    // whole operation time-out to send them, whatever the caller waits for
    // new ones. A subscription's Pull waits for new events only as long as
    // the caller does, and its answer may still take the operation time-out
    // to come.
    const int64_t operationMs = notification ? timeoutMs : settings.operationTimeoutMs;
    const int64_t waitMs = std::max(timeoutMs, settings.operationTimeoutMs);
    Response response;
    HRESULT hr =
        Exchange(*transport, PullRequest(Options(*transport, operationMs), context, wanted), waitMs,
                 ExchangeFor::Operation, "Pull", response);
    if (FAILED(hr)) return broken = hr;
    if (response.kind == Response::Kind::Fault) {
        if (notification && SubscriptionLost(response.fault)) return Resubscribe();
        if (FaultCode(response.fault) == WBEM_S_TIMEDOUT) return WBEM_S_TIMEDOUT;
        return broken = EndingFault(*transport, "Pull", What().c_str(), response.fault);
    }
    // A WQL answer carries objects, a channel's events; never both kinds.
    const size_t got = channel ? response.events.size() : response.items.size();
    const bool foreign = channel ? !response.items.empty() : !response.events.empty();
    if (response.kind != Response::Kind::Pull || got > wanted || foreign) {
        LOG(WARN,
            "WS-Management: Pull to %s: the answer is not a pull answer of at most %u "
            "items",
            transport->Url().c_str(), wanted);
        return broken = HTTP_E_INVALID_SERVER_RESPONSE_HR;
    }
    if (channel) {
        TakeEvents(response, objects, returned);
    } else {
        for (Instance& item : response.items) {
            objects[(*returned)++] = MakeObject(std::make_shared<Instance>(std::move(item)));
        }
    }
    if (response.endOfSequence) {
        ended = true;
        return WBEM_S_FALSE;
    }
    if (!response.context.empty()) context = response.context;
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_TIMEDOUT;
}

void WsmanEnumerator::TakeEvents(const Response& response, IWbemClassObject** objects,
                                 ULONG* returned) {
    for (const ChannelEvent& e : response.events) {
        lastRecordId = std::max(lastRecordId, e.eventRecordId);
        if (!Admitted(channel->typeConditions, EventTypeOfChannelEvent(e.level, e.keywords))) {
            continue;
        }
        auto record = std::make_shared<Instance>(NtLogEventOf(e));
        if (!notification) {
            objects[(*returned)++] = MakeObject(std::move(record));
            continue;
        }
        auto event = std::make_shared<Instance>();
        event->className = cim::kCreationEventClass;
        Value target;
        target.kind = Value::Kind::Object;
        target.cimType = CIM_OBJECT;
        target.object = std::move(record);
        event->properties.emplace_back("TargetInstance", std::move(target));
        objects[(*returned)++] = MakeObject(std::move(event));
    }
}

HRESULT WsmanEnumerator::Resubscribe() {
    RequestOptions options = Options(*transport, settings.operationTimeoutMs);
    std::string envelope;
    if (channel) {
        LOG(INFO,
            "WS-Management: the subscription to channel %s at %s has ended on the host; "
            "subscribing again after record %llu",
            channel->subscription.channel.c_str(), transport->Url().c_str(),
            static_cast<unsigned long long>(lastRecordId));
        ChannelSubscription again = channel->subscription;
        if (lastRecordId > 0) again.bookmarkRecordId = lastRecordId;
        envelope = ChannelSubscribeRequest(options, again);
    } else {
        LOG(INFO, "WS-Management: the subscription at %s has ended on the host; subscribing again",
            transport->Url().c_str());
        envelope = SubscribeRequest(options, wql, 0);
    }
    Response response;
    HRESULT hr = Exchange(*transport, envelope, settings.operationTimeoutMs, ExchangeFor::Operation,
                          "Subscribe", response);
    if (FAILED(hr)) return broken = hr;
    if (response.kind != Response::Kind::Subscribe) {
        return broken = response.kind == Response::Kind::Fault ? FaultCode(response.fault)
                                                               : HTTP_E_INVALID_SERVER_RESPONSE_HR;
    }
    context = response.context;
    subscriptionId = response.subscriptionId;
    return WBEM_S_TIMEDOUT;
}

}  // namespace wmi::wsman
