#include "wmi/sim/simprovider.h"

#include <memory>
#include <new>

#include "platform/computername.h"
#include "wmi/cim/ascii.h"
#include "wmi/cim/resource.h"
#include "wmi/cim/wql.h"
#include "wmi/comobject.h"
#include "wmi/locatorfactory.h"
#include "wmi/sim/simenumerator.h"
#include "wmi/sim/storeconnections.h"

namespace wmi::sim {

namespace {

bool Given(BSTR text) { return text != nullptr && SysStringLen(text) > 0; }

class SimServices : public WqlServices {
  public:
    SimServices(std::shared_ptr<StoreConnections> s, std::string h)
        : store(std::move(s)), host(std::move(h)) {}

  protected:
    HRESULT RunWql(std::string text, bool notification, IEnumWbemClassObject** result) override {
        cim::WqlQuery query;
        HRESULT hr = cim::ParseWql(text, notification, query);
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
            if (!cim::SplitResource(Utf8FromBstr(networkResource), host, nameSpace)) {
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
                if (!cim::EqualsIgnoringCase(Utf8FromBstr(user), *state.user) ||
                    Utf8FromBstr(password) != state.password.value_or("")) {
                    return E_ACCESSDENIED;
                }
            }
            if (!cim::EqualsIgnoringCase(nameSpace, cim::kNamespaceCimv2))
                return WBEM_E_INVALID_NAMESPACE;
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

bool IsLocalMachine(const std::string& host) {
    if (cim::EqualsIgnoringCase(host, "localhost") || host == "127.0.0.1" || host == ".")
        return true;
    std::string self = platform::LocalComputerName();
    if (self.empty()) return false;
    if (cim::EqualsIgnoringCase(host, self)) return true;
    size_t dot = self.find('.');
    return dot != std::string::npos && cim::EqualsIgnoringCase(host, self.substr(0, dot));
}

}  // namespace wmi::sim

namespace wmi {

LocatorFactory SimProvider(const std::string& path) {
    return [path](IWbemLocator** locator) { return sim::CreateSimLocator(path, locator); };
}

void UseSimStore(const std::string& path) {
    SetLocatorFactory(path.empty() ? LocatorFactory() : SimProvider(path));
}

}  // namespace wmi

namespace wmi::sim {

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
