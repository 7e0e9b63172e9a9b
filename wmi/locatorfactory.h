// Chooses what CoCreateInstance(CLSID_WbemLocator) returns. The start-up
// code selects the provider from its configuration (SelectProvider); until
// it does, the simulated hosts of "simhosts.db" in the program's directory
// serve. Tests point the simulated hosts at a store of their own, or put a
// locator of their own in its place; either comes before the selected
// provider. Thread-safe; meant to be set before connections are made.
#pragma once

#include <wbemidl.h>

#include <functional>
#include <string>

namespace wmi {

// Makes a new locator: returns a code and, on success, a locator with one
// reference.
using LocatorFactory = std::function<HRESULT(IWbemLocator** locator)>;

// The simulated hosts of the store at `path` (taken as it is).
LocatorFactory SimProvider(const std::string& path);
// No provider: every locator fails with REGDB_E_CLASSNOTREG, as for a
// provider name nobody answers to.
LocatorFactory NoProvider();

// The provider the start-up code chose; an empty function goes back to the
// default.
void SelectProvider(LocatorFactory provider);

// Serves the simulated hosts of the store at `path`, whatever provider was
// selected; the empty path goes back to the selected one.
void UseSimStore(const std::string& path);

// Makes new locators with `factory`, before anything else; an empty
// function goes back to UseSimStore's store or the selected provider.
void SetLocatorFactory(LocatorFactory factory);

// A locator of the selected provider; what CoCreateInstance uses.
HRESULT CreateLocator(IWbemLocator** locator);

}  // namespace wmi
