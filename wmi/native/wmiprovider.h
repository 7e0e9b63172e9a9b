// The "wmi" provider: real Windows hosts read through the system's own WMI
// (platform/wmiclient.h: COM and DCOM on Windows). Its locator, services,
// enumerators and class objects are the management interface's, so the
// engine drives it as it drives the simulated hosts: ConnectServer opens a
// session with the subscription's account, ExecQuery and
// ExecNotificationQuery start the host's queries, Next reads them with its
// time-out, and Get reads the copied properties. Codes pass through as the
// host gave them, so failures reach clients with the texts they know. Where
// the system has no WMI (Linux), every connection fails with
// REGDB_E_CLASSNOTREG; the start-up refuses the provider there first.
// Objects are thread-safe as the interfaces require; an enumerator is read
// by one thread at a time.
#pragma once

#include "wmi/locatorfactory.h"

namespace wmi::native {

// Locators of the system's WMI.
LocatorFactory WmiProvider();

// True where the system has WMI (Windows).
bool WmiAvailable();

}  // namespace wmi::native
