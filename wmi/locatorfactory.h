// Chooses what CoCreateInstance(CLSID_WbemLocator) returns. The start-up
// code selects the provider from its configuration (SelectProvider); until
// it does, there is none (REGDB_E_CLASSNOTREG). Tests put a locator of
// their own, or a provider's, before the selected one (SetLocatorFactory;
// the simulated hosts' UseSimStore). Each provider makes its own factory
// (wmi/sim/simprovider.h, wmi/wsman/wsmanprovider.h). Thread-safe; meant to
// be set before connections are made.
#pragma once

#include <wbemidl.h>

#include <functional>
#include <string>

namespace wmi {

// Makes a new locator: returns a code and, on success, a locator with one
// reference.
using LocatorFactory = std::function<HRESULT(IWbemLocator** locator)>;

// No provider: every locator fails with REGDB_E_CLASSNOTREG, as for a
// provider name nobody answers to.
LocatorFactory NoProvider();

// The provider the start-up code chose; an empty function goes back to
// none.
void SelectProvider(LocatorFactory provider);

// Makes new locators with `factory`, before the selected provider; an
// empty function goes back to the selected one.
void SetLocatorFactory(LocatorFactory factory);

// A locator of the selected provider; what CoCreateInstance uses.
HRESULT CreateLocator(IWbemLocator** locator);

}  // namespace wmi
