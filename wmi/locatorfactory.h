// Chooses what CoCreateInstance(CLSID_WbemLocator) returns. By default the
// configuration decides: WMI.PROVIDER names the provider ("sim", the only
// one, also when the key is absent) and WMI.SIMSTORE the simulated hosts'
// store, relative to the program's directory ("simhosts.db" when absent).
// Tests point the provider at a store of their own, or put a locator of
// their own in its place. Thread-safe; meant to be set before connections
// are made.
#pragma once

#include <wbemidl.h>

#include <functional>
#include <string>

namespace wmi {

// Serves the simulated hosts of the store at `path`, whatever the
// configuration says; the empty path goes back to the configuration.
void UseSimStore(const std::string& path);

// Makes new locators with `factory` (which returns a code and, on success,
// a locator with one reference); an empty function goes back to the
// configured provider.
using LocatorFactory = std::function<HRESULT(IWbemLocator** locator)>;
void SetLocatorFactory(LocatorFactory factory);

// A locator of the selected provider; what CoCreateInstance uses.
HRESULT CreateLocator(IWbemLocator** locator);

}  // namespace wmi
