#include "wmi/wsman/exchange.h"

#include "base/logger.h"

namespace wmi::wsman {

// What a failed exchange means for the call it serves.
HRESULT OutcomeCode(const HttpOutcome& outcome, ExchangeFor call) {
    switch (outcome.kind) {
        case HttpOutcome::Kind::Answer:
            return S_OK;
        case HttpOutcome::Kind::Unreachable:
            return call == ExchangeFor::Connecting ? RPC_S_SERVER_UNAVAILABLE_HR
                                                   : RPC_S_CALL_FAILED_HR;
        case HttpOutcome::Kind::AccessDenied:
            return E_ACCESSDENIED;
        case HttpOutcome::Kind::Certificate:
            return HTTP_E_SECURE_FAILURE_HR;
        case HttpOutcome::Kind::BadAnswer:
            return HTTP_E_INVALID_SERVER_RESPONSE_HR;
        case HttpOutcome::Kind::Cancelled:
            return WBEM_E_CALL_CANCELLED;
    }
    return WBEM_E_FAILED;
}

HRESULT FaultCode(const Fault& fault) {
    if (fault.subcode == "TimedOut" || fault.wsmanCode == kFaultTimedOut) return WBEM_S_TIMEDOUT;
    if (fault.subcode == "AccessDenied" || fault.wsmanCode == kFaultAccessDenied) {
        return E_ACCESSDENIED;
    }
    // The WMI plug-in passes WMI's own result code on.
    if ((fault.wsmanCode >> 16) == 0x8004) return static_cast<HRESULT>(fault.wsmanCode);
    if (fault.subcode == "CannotProcessFilter") return WBEM_E_INVALID_QUERY;
    return WBEM_E_FAILED;
}

// The subscription is gone on the host's side (expired, or the host
// restarted its service): subscribing again continues it.
bool SubscriptionLost(const Fault& fault) {
    return fault.subcode == "InvalidEnumerationContext" || fault.subcode == "UnableToRenew" ||
           fault.subcode == "DeliveryFailure" || fault.wsmanCode == kFaultInvalidContext;
}

// One exchange: sends `envelope`, reads the answer. S_OK with `response`
// filled, or the failure (logged with `what` and the host).
HRESULT Exchange(Transport& transport, const std::string& envelope, int64_t timeoutMs,
                 ExchangeFor call, const char* what, Response& response) {
    HttpOutcome outcome = transport.Post(envelope, timeoutMs + kNetworkSlackMs);
    HRESULT hr = OutcomeCode(outcome, call);
    if (FAILED(hr)) {
        // A certificate that cannot be verified is a setting to fix: say why.
        if (outcome.kind == HttpOutcome::Kind::Certificate) {
            LOG(WARN, "WS-Management: %s to %s: the certificate cannot be verified: %s", what,
                transport.Url().c_str(), outcome.error.c_str());
        } else {
            LOG(DEBUG, "WS-Management: %s to %s failed: %s", what, transport.Url().c_str(),
                outcome.error.c_str());
        }
        return hr;
    }
    std::string error;
    if (!ParseResponse(outcome.body, response, error)) {
        LOG(WARN, "WS-Management: %s to %s: the answer cannot be read: %s", what,
            transport.Url().c_str(), error.c_str());
        return HTTP_E_INVALID_SERVER_RESPONSE_HR;
    }
    // A record that cannot be read is handed on as such (the engine skips
    // it); what was wrong with it is said here, where the host is known.
    for (const Instance& item : response.items) {
        if (item.unreadable.empty()) continue;
        LOG(WARN, "WS-Management: %s to %s: a record cannot be read: %s", what,
            transport.Url().c_str(), item.unreadable.c_str());
    }
    if (response.kind == Response::Kind::Fault) {
        HRESULT code = FaultCode(response.fault);
        if (code != WBEM_S_TIMEDOUT) {
            LOG(DEBUG, "WS-Management: %s to %s: fault %s/%s (%u): %s", what,
                transport.Url().c_str(), response.fault.code.c_str(),
                response.fault.subcode.c_str(), response.fault.wsmanCode,
                response.fault.reason.c_str());
        }
    }
    return S_OK;
}

HRESULT EndingFault(const Transport& transport, const char* what, const char* ended,
                    const Fault& fault) {
    LOG(WARN, "WS-Management: %s to %s ended the %s with fault %s/%s (%u): %s", what,
        transport.Url().c_str(), ended, fault.code.c_str(), fault.subcode.c_str(), fault.wsmanCode,
        fault.reason.c_str());
    return FaultCode(fault);
}

RequestOptions Options(const Transport& transport, int64_t timeoutMs) {
    RequestOptions options;
    options.to = transport.Url();
    options.operationTimeoutMs = timeoutMs;
    return options;
}

}  // namespace wmi::wsman
