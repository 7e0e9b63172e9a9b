// One request and its answer on a WS-Management host, as the provider's
// enumerators make them: the time allowed on top of an operation's own
// time-out, what a failed exchange or a fault means as a WMI result code,
// and the request options of a host's transport. Pure functions apart from
// Exchange, which sends on the caller's transport (any thread; the
// transport serialises) and logs what failed, never a credential.
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <string>

#include "wmi/wsman/envelope.h"
#include "wmi/wsman/httptransport.h"

namespace wmi::wsman {

// Time allowed for the network on top of an operation's own time-out: one
// deadline for the whole request (connecting, authenticating, answering),
// so a host that trickles its answer or never sends the body it announced
// fails soon after the operation time-out.
inline constexpr int64_t kNetworkSlackMs = 3000;
// Time allowed to Release or Unsubscribe when an enumerator goes.
inline constexpr int64_t kGoodbyeTimeoutMs = 5000;

// Which call an exchange serves: an unreachable host means "no server"
// while connecting (ConnectServer), and a broken call afterwards.
enum class ExchangeFor { Connecting, Operation };

// What a failed exchange means for the call it serves (S_OK for an answer).
HRESULT OutcomeCode(const HttpOutcome& outcome, ExchangeFor call);

// The WMI result code of a fault: WBEM_S_TIMEDOUT for a time-out,
// E_ACCESSDENIED, the WMI code a fault carries (0x8004xxxx),
// WBEM_E_INVALID_QUERY for a filter the host cannot process, else
// WBEM_E_FAILED.
HRESULT FaultCode(const Fault& fault);

// The subscription is gone on the host's side (expired, or the host
// restarted its service): subscribing again continues it.
bool SubscriptionLost(const Fault& fault);

// One exchange: sends `envelope`, reads the answer. S_OK with `response`
// filled (a fault too), or the failure (logged with `what` and the host).
HRESULT Exchange(Transport& transport, const std::string& envelope, int64_t timeoutMs,
                 ExchangeFor call, const char* what, Response& response);

// A fault that ends an enumeration, a subscription or the polling that
// stands for one (`ended` names which): the host will not answer that query
// again, and the reason is a matter for the operator. Logged at WARN with
// the fault's code, subcode and text; returns its code.
HRESULT EndingFault(const Transport& transport, const char* what, const char* ended,
                    const Fault& fault);

// The request options of `transport`'s host with `timeoutMs`.
RequestOptions Options(const Transport& transport, int64_t timeoutMs);

}  // namespace wmi::wsman
