#include "wmi/wsman/channelquery.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/logger.h"
#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/wsman/channelevent.h"
#include "wmi/wsman/exchange.h"
#include "wmi/wsman/wsmanenumerator.h"

namespace wmi::wsman {

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
        *result = new WsmanEnumerator(transport, settings, notification, std::string(),
                                      ChannelQuery{std::move(query), std::move(typeConditions)},
                                      response.context, response.subscriptionId);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
}

}  // namespace wmi::wsman
