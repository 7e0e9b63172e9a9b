// The simulated-hosts provider: a locator whose connections reach the hosts
// of a SimStore and whose services answer WQL from the hosts' records.
//
// ConnectServer("\\H\root\cimv2", user, password) checks, in this order:
//   credentials given for the local machine (localhost, 127.0.0.1, ".",
//     this machine's name) -> WBEM_E_LOCAL_CREDENTIALS (0x80041064);
//   H not in the store, or down -> RPC_S_SERVER_UNAVAILABLE_HR (0x800706BA);
//   H requires a user and the given user (any case) or password differ
//     -> E_ACCESSDENIED (0x80070005); the local machine is not asked;
//   a namespace other than root\cimv2 (any case, '/' or '\') ->
//     WBEM_E_INVALID_NAMESPACE (0x8004100E).
// The services handle re-checks the host on every query: gone or down gives
// RPC_S_CALL_FAILED_HR. Queries: see wql.h and simenumerator.h.
//
// Every object is reference-counted and may be used from any thread; the
// store may be written by another process at the same time.
#pragma once

#include <wbemidl.h>

#include <string>

#include "wmi/locatorfactory.h"

namespace wmi::sim {

// A locator serving the store at `storePath`. WBEM_E_INITIALIZATION_FAILURE
// when the store cannot be opened.
HRESULT CreateSimLocator(const std::string& storePath, IWbemLocator** locator);

// Whether `host` names the machine this process runs on.
bool IsLocalMachine(const std::string& host);

}  // namespace wmi::sim

namespace wmi {

// The simulated hosts of the store at `path` (taken as it is), for
// SelectProvider.
LocatorFactory SimProvider(const std::string& path);

// Tests: serves the simulated hosts of the store at `path` before the
// selected provider (SetLocatorFactory with SimProvider(path)); the empty
// path goes back to the selected one.
void UseSimStore(const std::string& path);

}  // namespace wmi
