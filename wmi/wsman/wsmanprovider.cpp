#include "wmi/wsman/wsmanprovider.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "platform/mutex.h"
#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/cim/resource.h"
#include "wmi/cim/wql.h"
#include "wmi/comobject.h"
#include "wmi/wsman/channelquery.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/exchange.h"
#include "wmi/wsman/wsmanenumerator.h"
#include "wmi/wsman/wsmanobject.h"

namespace wmi::wsman {

namespace {

using cim::EqualsIgnoringCase;

// Subscriptions refused by the host (Windows before Server 2012 offers no
// WS-Eventing for WMI events): the notification query's conditions become a
// data query polled every WITHIN seconds (one second at least). Each poll
// asks for the records written since the newest one seen (the first since
// the second the subscription began, by this machine's clock), puts the answer in the
// order the records were written (a host may answer newest first) and hands
// out those whose RecordNumber comes after the last one seen of their
// log, each wrapped as the __InstanceCreationEvent a subscription would have
// delivered.
class PollingEnumerator : public ComObject<IEnumWbemClassObject> {
  public:
    PollingEnumerator(std::shared_ptr<Transport> hostTransport, const WsmanSettings& hostSettings,
                      std::string dataQuery, int64_t pollEveryMs)
        : transport(std::move(hostTransport)),
          settings(hostSettings),
          base(std::move(dataQuery)),
          withinMs(pollEveryMs) {
        platform::MutexLock guard(pollLock);
        // Windows stamps TimeWritten in whole seconds: a record written
        // later in this second carries the second's start. A record of the
        // same second written just before is delivered too (the engine
        // drops what a catch-up has already sent).
        mark = cim::NowMicros() / 1000000 * 1000000;
        nextPoll = Clock::now() + std::chrono::milliseconds(withinMs);
    }

    HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        if (objects == nullptr || returned == nullptr) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        if (count == 0 || (timeout < 0 && timeout != WBEM_INFINITE)) {
            return WBEM_E_INVALID_PARAMETER;
        }
        platform::MutexLock guard(pollLock);
        try {
            const bool forever = timeout == WBEM_INFINITE;
            const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
            while (true) {
                if (broken != S_OK) return broken;
                if (pending.size() < count && Clock::now() >= nextPoll) {
                    HRESULT hr = Poll();
                    nextPoll = Clock::now() + std::chrono::milliseconds(withinMs);
                    if (FAILED(hr)) return broken = hr;
                }
                if (pending.size() >= count || (!forever && Clock::now() >= deadline)) break;
                auto wake = nextPoll;
                if (!forever) wake = std::min(wake, deadline);
                std::this_thread::sleep_until(wake);
            }
            while (*returned < count && !pending.empty()) {
                objects[(*returned)++] = MakeObject(std::move(pending.front()));
                pending.pop_front();
            }
            return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_TIMEDOUT;
        } catch (const std::bad_alloc&) {
            while (*returned > 0) objects[--*returned]->Release();
            return WBEM_E_OUT_OF_MEMORY;
        }
    }

  protected:
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

  private:
    using Clock = std::chrono::steady_clock;

    // One data query to its end; new records into `pending`.
    HRESULT Poll() REQUIRES(pollLock) {
        std::string wql = base + (base.find(" WHERE ") == std::string::npos ? " WHERE " : " AND ") +
                          "TimeWritten >= '" + cim::FormatDmtf(mark) + "'";
        Response response;
        HRESULT hr = Exchange(
            *transport, EnumerateRequest(Options(*transport, settings.operationTimeoutMs), wql),
            settings.operationTimeoutMs, ExchangeFor::Operation, "Enumerate", response);
        if (FAILED(hr)) return hr;
        if (response.kind == Response::Kind::Fault) {
            if (FaultCode(response.fault) == WBEM_S_TIMEDOUT) return WBEM_S_TIMEDOUT;
            return EndingFault(*transport, "Enumerate", "polled subscription", response.fault);
        }
        std::string context = response.context;
        bool end = response.endOfSequence;
        std::vector<Instance> answer;
        while (!end) {
            hr = Exchange(*transport,
                          PullRequest(Options(*transport, settings.operationTimeoutMs), context,
                                      settings.maxElements),
                          settings.operationTimeoutMs, ExchangeFor::Operation, "Pull", response);
            if (FAILED(hr)) return hr;
            if (response.kind == Response::Kind::Fault) {
                if (FaultCode(response.fault) == WBEM_S_TIMEDOUT) continue;
                return EndingFault(*transport, "Pull", "polled subscription", response.fault);
            }
            if (response.kind != Response::Kind::Pull) return HTTP_E_INVALID_SERVER_RESPONSE_HR;
            for (Instance& item : response.items) answer.push_back(std::move(item));
            end = response.endOfSequence;
            context = response.context;
        }
        PutInWriteOrder(answer);
        for (Instance& item : answer) Take(std::move(item));
        return S_OK;
    }

    // Sorts an answer in the order of writing: by TimeWritten, then by log,
    // then by RecordNumber counted modulo 2^32 (a log wraps from 4294967295
    // to 0, and records on both sides of the wrap may share a second). A
    // record without them goes first; Take drops it.
    static void PutInWriteOrder(std::vector<Instance>& answer) {
        struct Order {
            int64_t micros = 0;
            std::string log;
            uint32_t number = 0;
            size_t at = 0;  // place in the answer
        };
        std::vector<Order> orders(answer.size());
        // Per log, a number that the log's numbers in the answer lie within
        // 2^31 of: each number is ranked by its distance after it.
        std::map<std::string, uint32_t> origin;
        for (size_t i = 0; i < answer.size(); ++i) {
            const Instance& item = answer[i];
            Order& order = orders[i];
            order.at = i;
            const Value* written = item.Find("TimeWritten");
            if (written == nullptr || !cim::ParseDmtf(written->text, order.micros)) {
                order.micros = 0;
            }
            if (const Value* log = item.Find("Logfile")) order.log = log->text;
            const Value* record = item.Find("RecordNumber");
            if (record == nullptr || record->kind != Value::Kind::Int32) continue;
            const uint32_t number = static_cast<uint32_t>(record->number);
            const uint32_t base = origin.try_emplace(order.log, number - 0x80000000u).first->second;
            order.number = static_cast<uint32_t>(number - base);
        }
        std::stable_sort(orders.begin(), orders.end(), [](const Order& a, const Order& b) {
            return std::tie(a.micros, a.log, a.number) < std::tie(b.micros, b.log, b.number);
        });
        std::vector<Instance> sorted;
        sorted.reserve(answer.size());
        for (const Order& order : orders) sorted.push_back(std::move(answer[order.at]));
        answer = std::move(sorted);
    }

    void Take(Instance&& item) REQUIRES(pollLock) {
        const Value* log = item.Find("Logfile");
        const Value* record = item.Find("RecordNumber");
        const Value* written = item.Find("TimeWritten");
        if (log == nullptr || record == nullptr || record->kind != Value::Kind::Int32) return;
        const uint32_t number = static_cast<uint32_t>(record->number);
        auto [last, fresh] = lastRecord.try_emplace(log->text, 0);
        if (!fresh && !cim::RecordNumberAfter(last->second, number)) return;
        last->second = number;
        int64_t micros = 0;
        if (written != nullptr && cim::ParseDmtf(written->text, micros)) {
            mark = std::max(mark, micros);
        }
        auto event = std::make_shared<Instance>();
        event->className = "__InstanceCreationEvent";
        Value target;
        target.kind = Value::Kind::Object;
        target.cimType = CIM_OBJECT;
        target.object = std::make_shared<Instance>(std::move(item));
        event->properties.emplace_back("TargetInstance", std::move(target));
        pending.push_back(std::move(event));
    }

    // Constant after construction.
    const std::shared_ptr<Transport> transport;
    const WsmanSettings settings;
    const std::string base;  // the data query without the time bound
    const int64_t withinMs;

    // Serialises Next; the transport's lock is taken under it (lock order:
    // platform/thread_annotations.h).
    platform::Mutex pollLock;
    int64_t mark GUARDED_BY(pollLock);  // TimeWritten the next poll starts at
    Clock::time_point nextPoll GUARDED_BY(pollLock);
    std::map<std::string, uint32_t> lastRecord GUARDED_BY(pollLock);  // per log
    std::deque<std::shared_ptr<const Instance>> pending GUARDED_BY(pollLock);
    HRESULT broken GUARDED_BY(pollLock) = S_OK;
};

// The data query of a notification query's conditions; false when the text
// is not a notification query this provider can poll.
bool DataQueryOf(const std::string& notification, std::string& wql, int64_t& withinMs) {
    cim::WqlQuery query;
    if (FAILED(cim::ParseWql(notification, true, query))) return false;
    static const char* const kOps[] = {"=", "<>", "<", "<=", ">", ">="};
    wql = "SELECT * FROM Win32_NTLogEvent";
    const char* joint = " WHERE ";
    for (const cim::WqlCondition& c : query.conditions) {
        wql += joint;
        joint = " AND ";
        wql += cim::NameOf(c.property);
        wql += ' ';
        wql += kOps[static_cast<int>(c.op)];
        wql += ' ';
        switch (cim::KindOf(c.property)) {
            case cim::PropertyKind::Number:
                wql += std::to_string(c.number);
                break;
            case cim::PropertyKind::DateTime:
                wql += "'" + cim::FormatDmtf(c.number) + "'";
                break;
            default: {
                wql += '\'';
                for (char ch : c.text) {
                    if (ch == '\'' || ch == '\\') wql += '\\';
                    wql += ch;
                }
                wql += '\'';
            }
        }
    }
    withinMs = std::max<int64_t>(query.withinMicros / 1000, 1000);
    return true;
}

// Whether a Subscribe fault says the host offers no event subscriptions,
// or none for such a filter (the faults WS-Eventing defines for that).
bool SubscriptionsUnsupported(const Fault& fault) {
    return fault.subcode == "ActionNotSupported" ||
           fault.subcode == "DeliveryModeRequestedUnavailable" ||
           fault.subcode == "EventSourceUnableToProcess" ||
           fault.subcode == "FilteringNotSupported" ||
           fault.subcode == "FilteringRequestedUnavailable" ||
           fault.wsmanCode == kFaultUnsupportedAction;
}

class WsmanServices : public WqlServices {
  public:
    WsmanServices(std::shared_ptr<Transport> t, const WsmanSettings& s)
        : transport(std::move(t)), settings(s) {}

  protected:
    // Whether the host answers data query `wql` (its enumeration is
    // released at once).
    bool DataQueryWorks(const std::string& wql) {
        Response response;
        if (FAILED(Exchange(
                *transport, EnumerateRequest(Options(*transport, settings.operationTimeoutMs), wql),
                settings.operationTimeoutMs, ExchangeFor::Operation, "Enumerate", response)) ||
            response.kind != Response::Kind::Enumerate) {
            return false;
        }
        transport->Post(ReleaseRequest(Options(*transport, kGoodbyeTimeoutMs), response.context),
                        kGoodbyeTimeoutMs);
        return true;
    }

    HRESULT RunWql(std::string wql, bool notification, IEnumWbemClassObject** result) override {
        cim::WqlQuery parsed;
        if (SUCCEEDED(cim::ParseWql(wql, notification, parsed))) {
            ChannelSubscription channel;
            std::vector<cim::WqlCondition> typeConditions;
            HRESULT invalid = WBEM_S_NO_ERROR;
            if (ChannelQueryOf(parsed, channel.channel, channel.xpath, typeConditions, invalid)) {
                if (FAILED(invalid)) return invalid;
                channel.heartbeatMs = settings.operationTimeoutMs / 2;
                return RunChannelQuery(transport, settings, std::move(channel),
                                       std::move(typeConditions), notification, result);
            }
        }
        RequestOptions options = Options(*transport, settings.operationTimeoutMs);
        Response response;
        HRESULT hr = Exchange(
            *transport,
            notification ? SubscribeRequest(options, wql, 0) : EnumerateRequest(options, wql),
            settings.operationTimeoutMs, ExchangeFor::Operation,
            notification ? "Subscribe" : "Enumerate", response);
        if (FAILED(hr)) return hr;
        const Response::Kind expected =
            notification ? Response::Kind::Subscribe : Response::Kind::Enumerate;
        std::string polled;
        int64_t withinMs = 0;
        if (notification && response.kind == Response::Kind::Fault &&
            DataQueryOf(wql, polled, withinMs)) {
            const Fault& fault = response.fault;
            const HRESULT code = FaultCode(fault);
            if (SubscriptionsUnsupported(fault)) {
                LOG(INFO,
                    "WS-Management: %s offers no event subscriptions; polling with a data query "
                    "every %lld ms instead",
                    transport->Url().c_str(), static_cast<long long>(withinMs));
                *result = new PollingEnumerator(transport, settings, std::move(polled), withinMs);
                return WBEM_S_NO_ERROR;
            }
            // Another refusal (a host that cannot run the event query): if
            // the same conditions work as a data query, poll them.
            if (code != E_ACCESSDENIED && code != WBEM_S_TIMEDOUT && DataQueryWorks(polled)) {
                LOG(WARN,
                    "WS-Management: %s refused the subscription with fault %s/%s (%u): %s; "
                    "polling with a data query every %lld ms instead",
                    transport->Url().c_str(), fault.code.c_str(), fault.subcode.c_str(),
                    fault.wsmanCode, fault.reason.c_str(), static_cast<long long>(withinMs));
                *result = new PollingEnumerator(transport, settings, std::move(polled), withinMs);
                return WBEM_S_NO_ERROR;
            }
        }
        if (response.kind == Response::Kind::Fault) {
            hr = FaultCode(response.fault);
            return hr == WBEM_S_TIMEDOUT ? RPC_S_CALL_FAILED_HR : hr;
        }
        if (response.kind != expected || !response.items.empty()) {
            return HTTP_E_INVALID_SERVER_RESPONSE_HR;
        }
        *result = new WsmanEnumerator(transport, settings, notification, std::move(wql),
                                      std::nullopt, response.context, response.subscriptionId);
        return WBEM_S_NO_ERROR;
    }

  private:
    const std::shared_ptr<Transport> transport;
    const WsmanSettings settings;
};

class WsmanLocator : public ComObject<IWbemLocator> {
  public:
    explicit WsmanLocator(const WsmanSettings& s) : settings(s) {}

    HRESULT ConnectServer(BSTR networkResource, BSTR user, BSTR password, BSTR, LONG, BSTR,
                          IWbemContext*, IWbemServices** services) override {
        if (services == nullptr) return WBEM_E_INVALID_PARAMETER;
        *services = nullptr;
        try {
            std::string host, nameSpace;
            if (!cim::SplitResource(Utf8FromBstr(networkResource), host, nameSpace) ||
                !EqualsIgnoringCase(nameSpace, cim::kNamespaceCimv2)) {
                return WBEM_E_INVALID_NAMESPACE;
            }
            auto transport = std::make_shared<Transport>(
                host, settings.transport, Utf8FromBstr(user), Utf8FromBstr(password));
            // Identify with the credentials: the host is there, speaks
            // WS-Management and takes them.
            Response response;
            HRESULT hr = Exchange(*transport, IdentifyRequest(), settings.operationTimeoutMs,
                                  ExchangeFor::Connecting, "Identify", response);
            if (FAILED(hr)) return hr;
            if (response.kind == Response::Kind::Fault) return FaultCode(response.fault);
            if (response.kind != Response::Kind::Identify) return HTTP_E_INVALID_SERVER_RESPONSE_HR;
            *services = new WsmanServices(std::move(transport), settings);
            return WBEM_S_NO_ERROR;
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemLocator; }

  private:
    const WsmanSettings settings;
};

bool ReadFlag(const std::string& text, bool& flag) {
    if (strcasecmp(text.c_str(), "true") == 0 || text == "1" ||
        strcasecmp(text.c_str(), "yes") == 0) {
        flag = true;
    } else if (strcasecmp(text.c_str(), "false") == 0 || text == "0" ||
               strcasecmp(text.c_str(), "no") == 0) {
        flag = false;
    } else {
        return false;
    }
    return true;
}

bool ReadNumber(const std::string& text, int64_t min, int64_t max, int64_t& number) {
    if (text.empty() || text.size() > 9) return false;
    number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    return number >= min && number <= max;
}

}  // namespace

bool ReadWsmanSettings(const SettingLookup& value, WsmanSettings& settings, std::string& error) {
    settings = WsmanSettings();
    std::string transport = cim::ToLowerAscii(value("WSMAN.TRANSPORT", "http"));
    if (transport != "http" && transport != "https") {
        error = "WSMAN.TRANSPORT must be http or https, not '" + transport + "'";
        return false;
    }
    settings.transport.https = transport == "https";
    int64_t number = 0;
    std::string port = value("WSMAN.PORT", "");
    if (port.empty()) {
        settings.transport.port = settings.transport.https ? 5986 : 5985;
    } else if (ReadNumber(port, 1, 65535, number)) {
        settings.transport.port = static_cast<uint16_t>(number);
    } else {
        error = "WSMAN.PORT must be a port number, not '" + port + "'";
        return false;
    }
    std::string auth = cim::ToLowerAscii(value("WSMAN.AUTH", "negotiate"));
    if (auth != "negotiate" && auth != "kerberos" && auth != "ntlm" && auth != "basic") {
        error = "WSMAN.AUTH must be negotiate, kerberos, ntlm or basic, not '" + auth + "'";
        return false;
    }
    settings.transport.auth = auth;
    settings.transport.caFile = value("WSMAN.CAFILE", "");
    std::string flag = value("WSMAN.VERIFYPEER", "true");
    if (!ReadFlag(flag, settings.transport.verifyPeer)) {
        error = "WSMAN.VERIFYPEER must be true or false, not '" + flag + "'";
        return false;
    }
    flag = value("WSMAN.ALLOWUNENCRYPTED", "false");
    if (!ReadFlag(flag, settings.allowUnencrypted)) {
        error = "WSMAN.ALLOWUNENCRYPTED must be true or false, not '" + flag + "'";
        return false;
    }
    std::string timeout = value("WSMAN.OPERATIONTIMEOUT", "60");
    if (!ReadNumber(timeout, 1, 3600, number)) {
        error = "WSMAN.OPERATIONTIMEOUT must be 1 to 3600 seconds, not '" + timeout + "'";
        return false;
    }
    settings.operationTimeoutMs = number * 1000;
    std::string elements = value("WSMAN.MAXELEMENTS", "50");
    if (!ReadNumber(elements, 1, 1000, number)) {
        error = "WSMAN.MAXELEMENTS must be 1 to 1000, not '" + elements + "'";
        return false;
    }
    settings.maxElements = static_cast<uint32_t>(number);
    if (!settings.transport.https && auth == "basic" && !settings.allowUnencrypted) {
        // Basic over plain HTTP would send the password, and every message,
        // in clear text.
        error =
            "WSMAN.AUTH=basic over WSMAN.TRANSPORT=http sends the password in clear text; "
            "use https, or set WSMAN.ALLOWUNENCRYPTED=true for a host that allows it";
        return false;
    }
    return true;
}

LocatorFactory WsmanProvider(const WsmanSettings& settings) {
    return [settings](IWbemLocator** locator) { return CreateWsmanLocator(settings, locator); };
}

HRESULT CreateWsmanLocator(const WsmanSettings& settings, IWbemLocator** locator) {
    if (locator == nullptr) return E_POINTER;
    try {
        *locator = new WsmanLocator(settings);
        return WBEM_S_NO_ERROR;
    } catch (const std::bad_alloc&) {
        *locator = nullptr;
        return WBEM_E_OUT_OF_MEMORY;
    }
}

}  // namespace wmi::wsman
