#include "wmi/sim/simprovider.h"

#include <memory>
#include <new>

#include "platform/computername.h"
#include "wmi/comobject.h"
#include "wmi/sim/simenumerator.h"
#include "wmi/sim/storeconnections.h"
#include "wmi/sim/wql.h"

namespace wmi::sim {

namespace {

bool Given(BSTR text) { return text != nullptr && SysStringLen(text) > 0; }

class SimServices : public WqlServices {
  public:
    SimServices(std::shared_ptr<StoreConnections> s, std::string h)
        : store(std::move(s)), host(std::move(h)) {}

  protected:
    HRESULT RunWql(std::string text, bool notification, IEnumWbemClassObject** result) override {
        WqlQuery query;
        HRESULT hr = ParseWql(text, notification, query);
        if (FAILED(hr)) return hr;
        int64_t newest = 0;
        {
            StoreLease lease(*store);
            SimHost state;
            if (!lease || lease->getHost(host, state) != SimResult::Ok || !state.up ||
                lease->newestRecord(host, newest) != SimResult::Ok) {
                return RPC_S_CALL_FAILED_HR;
            }
        }
        *result = new SimEnumerator(store, host, std::move(query), newest);
        return WBEM_S_NO_ERROR;
    }

  private:
    const std::shared_ptr<StoreConnections> store;
    const std::string host;
};

class SimLocator : public ComObject<IWbemLocator> {
  public:
    explicit SimLocator(std::shared_ptr<StoreConnections> s) : store(std::move(s)) {}

    HRESULT ConnectServer(BSTR networkResource, BSTR user, BSTR password, BSTR, LONG, BSTR,
                          IWbemContext*, IWbemServices** services) override {
        if (services == nullptr) return WBEM_E_INVALID_PARAMETER;
        *services = nullptr;
        try {
            std::string host, nameSpace;
            if (!SplitResource(Utf8FromBstr(networkResource), host, nameSpace)) {
                return WBEM_E_INVALID_NAMESPACE;
            }
            bool local = IsLocalMachine(host);
            if (local && (Given(user) || Given(password))) return WBEM_E_LOCAL_CREDENTIALS;
            SimHost state;
            {
                StoreLease lease(*store);
                if (!lease) return WBEM_E_FAILED;
                SimResult found = lease->getHost(host, state);
                if (found == SimResult::NotFound) return RPC_S_SERVER_UNAVAILABLE_HR;
                if (found != SimResult::Ok) return WBEM_E_FAILED;
            }
            if (!state.up) return RPC_S_SERVER_UNAVAILABLE_HR;
            if (!local && state.user) {
                if (!EqualsIgnoringCase(Utf8FromBstr(user), *state.user) ||
                    Utf8FromBstr(password) != state.password.value_or("")) {
                    return E_ACCESSDENIED;
                }
            }
            if (!EqualsIgnoringCase(nameSpace, "root\\cimv2")) return WBEM_E_INVALID_NAMESPACE;
            *services = new SimServices(store, host);
            return WBEM_S_NO_ERROR;
        } catch (const std::bad_alloc&) {
            return WBEM_E_OUT_OF_MEMORY;
        }
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemLocator; }

  private:
    const std::shared_ptr<StoreConnections> store;
};

}  // namespace

bool SplitResource(const std::string& resource, std::string& host, std::string& nameSpace) {
    auto isSlash = [](char c) { return c == '\\' || c == '/'; };
    if (resource.size() < 2 || !isSlash(resource[0]) || !isSlash(resource[1])) return false;
    size_t end = 2;
    while (end < resource.size() && !isSlash(resource[end])) ++end;
    host = resource.substr(2, end - 2);
    nameSpace = end < resource.size() ? resource.substr(end + 1) : std::string();
    for (char& c : nameSpace) {
        if (c == '/') c = '\\';
    }
    return true;
}

bool IsLocalMachine(const std::string& host) {
    if (EqualsIgnoringCase(host, "localhost") || host == "127.0.0.1" || host == ".") return true;
    std::string self = platform::LocalComputerName();
    if (self.empty()) return false;
    if (EqualsIgnoringCase(host, self)) return true;
    size_t dot = self.find('.');
    return dot != std::string::npos && EqualsIgnoringCase(host, self.substr(0, dot));
}

HRESULT CreateSimLocator(const std::string& storePath, IWbemLocator** locator) {
    if (locator == nullptr) return E_POINTER;
    *locator = nullptr;
    try {
        std::shared_ptr<StoreConnections> store = StoreConnections::For(storePath);
        {
            StoreLease probe(*store);
            if (!probe) return WBEM_E_INITIALIZATION_FAILURE;
        }
        *locator = new SimLocator(std::move(store));
        return WBEM_S_NO_ERROR;
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
}

}  // namespace wmi::sim
