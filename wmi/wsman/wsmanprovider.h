// The WS-Management provider: reaches real Windows hosts (WinRM) behind the
// same locator, services, enumerator and object interfaces the simulated
// hosts offer, so the engine cannot tell them apart.
//
//   ConnectServer("\\H\root\cimv2", user, password): one Identify to H with
//     the credentials; unreachable or refusing -> RPC_S_SERVER_UNAVAILABLE_HR,
//     401/403 -> E_ACCESSDENIED, a certificate that cannot be verified ->
//     HTTP_E_SECURE_FAILURE_HR, an answer that is not WS-Management ->
//     HTTP_E_INVALID_SERVER_RESPONSE_HR; another namespace ->
//     WBEM_E_INVALID_NAMESPACE.
//   ExecQuery(WQL) -> Enumerate with the WQL as filter; Next -> Pull with
//     MaxElements min(count, WSMAN.MAXELEMENTS) and Next's time-out as
//     OperationTimeout: a TimedOut fault is WBEM_S_TIMEDOUT with nothing,
//     EndOfSequence WBEM_S_FALSE; releasing an unfinished enumerator sends
//     Release.
//   ExecNotificationQuery(WQL) -> Subscribe in pull mode with the WQL as
//     filter; Next -> Pull as above (no items: WBEM_S_TIMEDOUT); a
//     subscription the host no longer knows is made anew; releasing sends
//     Unsubscribe. A host that refuses subscriptions as unsupported (before
//     Windows Server 2012) is polled with a data query of the same
//     conditions every WITHIN seconds instead (see PollingEnumerator).
//   A fault carrying a WMI code (0x8004xxxx) gives that code; a host that
//   stops answering gives RPC_S_CALL_FAILED_HR from then on. A call made
//   under a CallCancel that is cancelled (wmi/callcancel.h) ends with
//   WBEM_E_CALL_CANCELLED, a request in flight within about a second.
//
// One services handle keeps one Transport (connections and, over TLS,
// sessions reused) for its host and credentials. Every object is
// reference-counted and may be used from any thread; one enumerator is
// polled by one thread at a time. Credentials never appear in the log.
#pragma once

#include <wbemidl.h>

#include <functional>
#include <string>

#include "wmi/locatorfactory.h"
#include "wmi/wsman/httptransport.h"

namespace wmi::wsman {

struct WsmanSettings {
    TransportSettings transport;
    int64_t operationTimeoutMs = 60000;  // Identify, Enumerate, Subscribe
    uint32_t maxElements = 50;
    bool allowUnencrypted = false;
};

// The value of a configuration key, or `fallback` when it is absent.
using SettingLookup = std::function<std::string(const char* key, const char* fallback)>;

// Reads the WSMAN.* keys: TRANSPORT (http, https; default http), PORT
// (5985 / 5986 by transport), AUTH (negotiate, kerberos, ntlm, basic;
// default negotiate), CAFILE, VERIFYPEER (default true), OPERATIONTIMEOUT
// (seconds, default 60), MAXELEMENTS (default 50) and ALLOWUNENCRYPTED
// (default false). False with `error` for a value out of its range, and for
// a combination that would send a password in clear text (basic over http
// without ALLOWUNENCRYPTED=true). kerberos, ntlm and negotiate (Kerberos,
// else NTLM) seal every message over http.
bool ReadWsmanSettings(const SettingLookup& value, WsmanSettings& settings, std::string& error);

// A locator of this provider, with one reference.
HRESULT CreateWsmanLocator(const WsmanSettings& settings, IWbemLocator** locator);

// The provider for wmi::SelectProvider: locators on `settings`.
LocatorFactory WsmanProvider(const WsmanSettings& settings);

}  // namespace wmi::wsman
