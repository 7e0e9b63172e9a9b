#include "wmi/wsman/channelenumerator.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/logger.h"
#include "platform/mutex.h"
#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/comobject.h"
#include "wmi/wsman/channelevent.h"
#include "wmi/wsman/exchange.h"
#include "wmi/wsman/wsmanobject.h"

namespace wmi::wsman {

namespace {

// A query of Win32_NTLogEvent on an event channel (its Logfile names one,
// cim::IsChannelName), run against the event log resource: a subscription
// (notification) or an enumeration of the channel through an XPath made
// from the query's conditions. Each event is handed out as the
// Win32_NTLogEvent it stands for (NtLogEventOf), wrapped as the
// __InstanceCreationEvent a subscription of the class delivers. EventType
// conditions are applied here (levels tell only part of it); the host
// filters the levels they admit, the record ids and the times. A
// subscription the host has lost is made again from the last record read
// (a bookmark), so nothing is read twice or missed.
class ChannelEnumerator : public ComObject<IEnumWbemClassObject> {
  public:
    ChannelEnumerator(std::shared_ptr<Transport> hostTransport, const WsmanSettings& hostSettings,
                      bool isNotification, ChannelSubscription query,
                      std::vector<cim::WqlCondition> typeTests, std::string enumerationContext,
                      std::string hostSubscriptionId)
        : transport(std::move(hostTransport)),
          settings(hostSettings),
          notification(isNotification),
          subscription(std::move(query)),
          typeConditions(std::move(typeTests)),
          context(std::move(enumerationContext)),
          subscriptionId(std::move(hostSubscriptionId)) {}

    ~ChannelEnumerator() override {
        platform::MutexLock guard(pollLock);
        if (ended || broken != S_OK) return;
        RequestOptions options = Options(*transport, kGoodbyeTimeoutMs);
        transport->Post(notification ? UnsubscribeRequest(options, subscriptionId)
                                     : ReleaseRequest(options, context),
                        kGoodbyeTimeoutMs);
    }

    HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        if (objects == nullptr || returned == nullptr) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        if (count == 0 || (timeout < 0 && timeout != WBEM_INFINITE)) {
            return WBEM_E_INVALID_PARAMETER;
        }
        platform::MutexLock guard(pollLock);
        try {
            for (;;) {
                HRESULT hr =
                    PullOnce(timeout == WBEM_INFINITE ? settings.operationTimeoutMs : timeout,
                             count, objects, returned);
                if (hr != WBEM_S_TIMEDOUT || timeout != WBEM_INFINITE || *returned > 0) return hr;
            }
        } catch (const std::bad_alloc&) {
            while (*returned > 0) objects[--*returned]->Release();
            return WBEM_E_OUT_OF_MEMORY;
        }
    }

  protected:
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

  private:
    bool Admitted(int type) const {
        for (const cim::WqlCondition& c : typeConditions) {
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

    HRESULT PullOnce(int64_t timeoutMs, ULONG count, IWbemClassObject** objects, ULONG* returned)
        REQUIRES(pollLock) {
        if (broken != S_OK) return broken;
        if (ended) return WBEM_S_FALSE;
        uint32_t wanted = std::min<uint32_t>(count, settings.maxElements);
        Response response;
        HRESULT hr =
            Exchange(*transport, PullRequest(Options(*transport, timeoutMs), context, wanted),
                     timeoutMs, ExchangeFor::Operation, "Pull", response);
        if (FAILED(hr)) return broken = hr;
        if (response.kind == Response::Kind::Fault) {
            if (notification && SubscriptionLost(response.fault)) return Resubscribe();
            hr = FaultCode(response.fault);
            if (hr == WBEM_S_TIMEDOUT) return hr;
            LOG(WARN, "WS-Management: Pull of channel %s from %s ended with fault %s/%s (%u): %s",
                subscription.channel.c_str(), transport->Url().c_str(), response.fault.code.c_str(),
                response.fault.subcode.c_str(), response.fault.wsmanCode,
                response.fault.reason.c_str());
            return broken = hr;
        }
        if (response.kind != Response::Kind::Pull || response.events.size() > wanted ||
            !response.items.empty()) {
            LOG(WARN,
                "WS-Management: Pull of channel %s from %s: the answer is not a pull answer of at "
                "most %u events",
                subscription.channel.c_str(), transport->Url().c_str(), wanted);
            return broken = HTTP_E_INVALID_SERVER_RESPONSE_HR;
        }
        for (const ChannelEvent& e : response.events) {
            lastRecordId = std::max(lastRecordId, e.eventRecordId);
            if (!Admitted(EventTypeOfChannelEvent(e.level, e.keywords))) continue;
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
        if (response.endOfSequence) {
            ended = true;
            return WBEM_S_FALSE;
        }
        if (!response.context.empty()) context = response.context;
        return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_TIMEDOUT;
    }

    HRESULT Resubscribe() REQUIRES(pollLock) {
        LOG(INFO,
            "WS-Management: the subscription to channel %s at %s has ended on the host; "
            "subscribing again after record %llu",
            subscription.channel.c_str(), transport->Url().c_str(),
            static_cast<unsigned long long>(lastRecordId));
        ChannelSubscription again = subscription;
        if (lastRecordId > 0) again.bookmarkRecordId = lastRecordId;
        Response response;
        HRESULT hr = Exchange(
            *transport,
            ChannelSubscribeRequest(Options(*transport, settings.operationTimeoutMs), again),
            settings.operationTimeoutMs, ExchangeFor::Operation, "Subscribe", response);
        if (FAILED(hr)) return broken = hr;
        if (response.kind != Response::Kind::Subscribe) {
            return broken = response.kind == Response::Kind::Fault
                                ? FaultCode(response.fault)
                                : HTTP_E_INVALID_SERVER_RESPONSE_HR;
        }
        context = response.context;
        subscriptionId = response.subscriptionId;
        return WBEM_S_TIMEDOUT;
    }

    // Constant after construction.
    const std::shared_ptr<Transport> transport;
    const WsmanSettings settings;
    const bool notification;
    const ChannelSubscription subscription;
    const std::vector<cim::WqlCondition> typeConditions;

    // Serialises Next; the transport's lock is taken under it (lock order:
    // platform/thread_annotations.h).
    platform::Mutex pollLock;
    std::string context GUARDED_BY(pollLock);
    std::string subscriptionId GUARDED_BY(pollLock);
    uint64_t lastRecordId GUARDED_BY(pollLock) = 0;  // the newest EventRecordID read
    bool ended GUARDED_BY(pollLock) = false;
    HRESULT broken GUARDED_BY(pollLock) = S_OK;
};

}  // namespace

bool ChannelQueryOf(const cim::WqlQuery& query, std::string& channel, std::string& xpath,
                    std::vector<cim::WqlCondition>& typeConditions, HRESULT& hr) {
    hr = WBEM_S_NO_ERROR;
    channel.clear();
    for (const cim::WqlCondition& c : query.conditions) {
        if (c.property == cim::EventProperty::Logfile && c.op == cim::WqlOp::Equal &&
            cim::IsChannelName(c.text)) {
            channel = c.text;
        }
    }
    if (channel.empty()) return false;
    static const char* const kOps[] = {"=", "!=", "<", "<=", ">", ">="};
    std::vector<std::string> tests;
    int highestType = 5;
    for (const cim::WqlCondition& c : query.conditions) {
        const char* op = kOps[static_cast<int>(c.op)];
        switch (c.property) {
            case cim::EventProperty::Logfile:
                if (c.op != cim::WqlOp::Equal || !cim::EqualsIgnoringCase(c.text, channel)) {
                    hr = WBEM_E_INVALID_QUERY;
                }
                break;
            case cim::EventProperty::RecordNumber:
                tests.push_back("EventRecordID" + std::string(op) + std::to_string(c.number));
                break;
            case cim::EventProperty::TimeGenerated:
            case cim::EventProperty::TimeWritten:
                tests.push_back("TimeCreated[@SystemTime" + std::string(op) + "'" +
                                cim::FormatRfc3339(c.number) + "']");
                break;
            case cim::EventProperty::EventType:
                typeConditions.push_back(c);
                if (c.op == cim::WqlOp::LessEqual) {
                    highestType = std::min<int>(highestType, static_cast<int>(c.number));
                } else if (c.op == cim::WqlOp::Less) {
                    highestType = std::min<int>(highestType, static_cast<int>(c.number) - 1);
                }
                break;
            default:
                hr = WBEM_E_INVALID_QUERY;
        }
    }
    const std::string levels = LevelTest(std::max(highestType, 1));
    if (!levels.empty()) tests.insert(tests.begin(), levels);
    xpath = "*";
    if (!tests.empty()) {
        xpath = "*[System[";
        for (size_t i = 0; i < tests.size(); ++i) xpath += (i ? " and " : "") + tests[i];
        xpath += "]]";
    }
    return true;
}

HRESULT RunChannelQuery(const std::shared_ptr<Transport>& transport, const WsmanSettings& settings,
                        ChannelSubscription query, std::vector<cim::WqlCondition> typeConditions,
                        bool notification, IEnumWbemClassObject** result) {
    RequestOptions options = Options(*transport, settings.operationTimeoutMs);
    Response response;
    HRESULT hr =
        Exchange(*transport,
                 notification ? ChannelSubscribeRequest(options, query)
                              : ChannelEnumerateRequest(options, query.channel, query.xpath),
                 settings.operationTimeoutMs, ExchangeFor::Operation,
                 notification ? "Subscribe" : "Enumerate", response);
    if (FAILED(hr)) return hr;
    if (response.kind == Response::Kind::Fault) {
        LOG(WARN, "WS-Management: %s refused channel %s: fault %s/%s (%u): %s",
            transport->Url().c_str(), query.channel.c_str(), response.fault.code.c_str(),
            response.fault.subcode.c_str(), response.fault.wsmanCode,
            response.fault.reason.c_str());
        hr = FaultCode(response.fault);
        if (response.fault.wsmanCode == kFaultChannelNotFound) hr = WBEM_E_INVALID_QUERY;
        return hr == WBEM_S_TIMEDOUT ? RPC_S_CALL_FAILED_HR : hr;
    }
    const Response::Kind expected =
        notification ? Response::Kind::Subscribe : Response::Kind::Enumerate;
    if (response.kind != expected || !response.items.empty() || !response.events.empty()) {
        return HTTP_E_INVALID_SERVER_RESPONSE_HR;
    }
    try {
        *result = new ChannelEnumerator(transport, settings, notification, std::move(query),
                                        std::move(typeConditions), response.context,
                                        response.subscriptionId);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
}

}  // namespace wmi::wsman
