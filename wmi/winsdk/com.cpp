// COM start-up and security stand-ins, the proxy blanket, task memory,
// CoCreateInstance and the status-code text object.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "wmi/comobject.h"
#include "wmi/locatorfactory.h"
#include "wmi/winsdk/wbem.h"

namespace wmi {

namespace {

std::atomic<DWORD> g_defaultAuthnLevel{RPC_C_AUTHN_LEVEL_CONNECT};

std::u16string CopyText(const USHORT* text, ULONG length) {
    if (text == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace

DWORD DefaultAuthenticationLevel() { return g_defaultAuthnLevel.load(); }

ProxyBlanket::ProxyBlanket()
    : authnSvc(RPC_C_AUTHN_DEFAULT),
      authzSvc(RPC_C_AUTHZ_NONE),
      authnLevel(DefaultAuthenticationLevel()),
      impLevel(RPC_C_IMP_LEVEL_IMPERSONATE),
      capabilities(EOAC_NONE) {}

HRESULT ProxyBlanket::Query(DWORD* authnSvcOut, DWORD* authzSvcOut, OLECHAR** principalOut,
                            DWORD* authnLevelOut, DWORD* impLevelOut,
                            RPC_AUTH_IDENTITY_HANDLE* authInfoOut, DWORD* capabilitiesOut) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    if (principalOut != nullptr) {
        *principalOut = nullptr;
        if (principal) {
            size_t bytes = (principal->size() + 1) * sizeof(OLECHAR);
            auto* copy = static_cast<OLECHAR*>(CoTaskMemAlloc(bytes));
            if (copy == nullptr) return E_OUTOFMEMORY;
            std::memcpy(copy, principal->c_str(), bytes);
            *principalOut = copy;
        }
    }
    if (authnSvcOut != nullptr) *authnSvcOut = authnSvc;
    if (authzSvcOut != nullptr) *authzSvcOut = authzSvc;
    if (authnLevelOut != nullptr) *authnLevelOut = authnLevel;
    if (impLevelOut != nullptr) *impLevelOut = impLevel;
    if (capabilitiesOut != nullptr) *capabilitiesOut = capabilities;
    if (authInfoOut != nullptr) *authInfoOut = identity ? &identity->view : nullptr;
    return S_OK;
}

HRESULT ProxyBlanket::Set(DWORD authnSvcIn, DWORD authzSvcIn, OLECHAR* principalIn,
                          DWORD authnLevelIn, DWORD impLevelIn, RPC_AUTH_IDENTITY_HANDLE authInfo,
                          DWORD capabilitiesIn) {
    std::optional<BlanketIdentity> next;
    if (authInfo != nullptr && authInfo != COLE_DEFAULT_AUTHINFO) {
        const auto* given = static_cast<const COAUTHIDENTITY*>(authInfo);
        if (given->Flags != SEC_WINNT_AUTH_IDENTITY_UNICODE) return E_INVALIDARG;
        next.emplace();
        next->user = CopyText(given->User, given->UserLength);
        next->domain = CopyText(given->Domain, given->DomainLength);
        next->password = CopyText(given->Password, given->PasswordLength);
        next->flags = given->Flags;
    }
    RSLibrary::RSSynchronizeGuard guard(lock);
    authnSvc = authnSvcIn;
    authzSvc = authzSvcIn;
    if (principalIn == COLE_DEFAULT_PRINCIPAL || principalIn == nullptr) {
        principal.reset();
    } else {
        principal = std::u16string(principalIn);
    }
    authnLevel = authnLevelIn;
    impLevel = impLevelIn;
    capabilities = capabilitiesIn;
    bool same = identity.has_value() == next.has_value() &&
                (!next || (identity->user == next->user && identity->domain == next->domain &&
                           identity->password == next->password));
    if (!same) {
        identity = std::move(next);
        if (identity) {
            auto view = [](std::u16string& text) { return reinterpret_cast<USHORT*>(text.data()); };
            identity->view = COAUTHIDENTITY{
                view(identity->user),     static_cast<ULONG>(identity->user.size()),
                view(identity->domain),   static_cast<ULONG>(identity->domain.size()),
                view(identity->password), static_cast<ULONG>(identity->password.size()),
                identity->flags};
        }
    }
    return S_OK;
}

ProxyBlanket* BlanketOf(IUnknown* object) {
    auto* proxy = dynamic_cast<ProxyObject*>(object);
    return proxy == nullptr ? nullptr : &proxy->Blanket();
}

// ---- Locator selection ----------------------------------------------------

namespace {

// Guards the selection state below. A leaf lock: the factory function and
// the provider are called after it is released.
struct FactoryState {
    RSLibrary::RSCriticalSection lock;
    LocatorFactory factory GUARDED_BY(lock);
    LocatorFactory selected GUARDED_BY(lock);
};

FactoryState& State() {
    static FactoryState state;
    return state;
}

}  // namespace

LocatorFactory NoProvider() {
    return [](IWbemLocator**) -> HRESULT { return REGDB_E_CLASSNOTREG; };
}

void SelectProvider(LocatorFactory provider) {
    FactoryState& state = State();
    RSLibrary::RSSynchronizeGuard guard(state.lock);
    state.selected = std::move(provider);
}

void SetLocatorFactory(LocatorFactory factory) {
    FactoryState& state = State();
    RSLibrary::RSSynchronizeGuard guard(state.lock);
    state.factory = std::move(factory);
}

HRESULT CreateLocator(IWbemLocator** locator) {
    if (locator == nullptr) return E_POINTER;
    *locator = nullptr;
    FactoryState& state = State();
    LocatorFactory factory;
    {
        RSLibrary::RSSynchronizeGuard guard(state.lock);
        factory = state.factory ? state.factory : state.selected;
    }
    if (factory) return factory(locator);
    return REGDB_E_CLASSNOTREG;
}

// ---- Status-code texts ----------------------------------------------------

namespace {

struct CodeText {
    HRESULT code;
    const char16_t* text;
};

// The codes this interface and its providers return.
const CodeText kCodeTexts[] = {
    {WBEM_E_FAILED, u"Generic failure"},
    {WBEM_E_NOT_FOUND, u"Not found"},
    {WBEM_E_OUT_OF_MEMORY, u"Out of memory"},
    {WBEM_E_INVALID_PARAMETER, u"Invalid parameter"},
    {WBEM_E_INVALID_NAMESPACE, u"Invalid namespace"},
    {WBEM_E_INVALID_CLASS, u"Invalid class"},
    {WBEM_E_INITIALIZATION_FAILURE, u"Initialization failure"},
    {WBEM_E_INVALID_QUERY, u"Invalid query"},
    {WBEM_E_INVALID_QUERY_TYPE, u"Invalid query language"},
    {WBEM_E_NOT_EVENT_CLASS, u"Not an event class"},
    {WBEM_E_LOCAL_CREDENTIALS, u"User credentials cannot be used for local connections"},
    {E_ACCESSDENIED, u"Access is denied."},
    {E_OUTOFMEMORY, u"Not enough memory resources are available to complete this operation."},
    {E_INVALIDARG, u"The parameter is incorrect."},
    {REGDB_E_CLASSNOTREG, u"Class not registered"},
    {RPC_S_SERVER_UNAVAILABLE_HR, u"The RPC server is unavailable."},
    {RPC_S_CALL_FAILED_HR, u"The remote procedure call failed."},
    {HTTP_E_INVALID_SERVER_RESPONSE_HR, u"The server returned an invalid or unrecognized response"},
    {HTTP_E_SECURE_FAILURE_HR,
     u"The server's TLS certificate could not be verified (see WSMAN.CAFILE)"},
};

class StatusCodeText : public ComObject<IWbemStatusCodeText> {
  public:
    HRESULT GetErrorCodeText(HRESULT code, LCID, LONG, BSTR* text) override {
        if (text == nullptr) return WBEM_E_INVALID_PARAMETER;
        *text = nullptr;
        for (const CodeText& entry : kCodeTexts) {
            if (entry.code == code) {
                *text = SysAllocString(entry.text);
                return *text == nullptr ? WBEM_E_OUT_OF_MEMORY : WBEM_S_NO_ERROR;
            }
        }
        return WBEM_E_FAILED;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemStatusCodeText; }
};

}  // namespace

}  // namespace wmi

// ---- The COM entry points -------------------------------------------------

HRESULT CoInitializeEx(void*, DWORD) { return S_OK; }

void CoUninitialize() {}

HRESULT CoInitializeSecurity(void*, LONG, void*, void*, DWORD authnLevel, DWORD, void*, DWORD,
                             void*) {
    if (authnLevel != RPC_C_AUTHN_LEVEL_DEFAULT) wmi::g_defaultAuthnLevel = authnLevel;
    return S_OK;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    IUnknown* made = nullptr;
    if (clsid == CLSID_WbemLocator) {
        IWbemLocator* locator = nullptr;
        HRESULT hr = wmi::CreateLocator(&locator);
        if (FAILED(hr)) return hr;
        made = locator;
    } else if (clsid == CLSID_WbemStatusCodeText) {
        made = new wmi::StatusCodeText();
    } else {
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT hr = made->QueryInterface(iid, object);
    made->Release();
    return hr;
}

HRESULT CoQueryProxyBlanket(IUnknown* proxy, DWORD* authnSvc, DWORD* authzSvc, OLECHAR** principal,
                            DWORD* authnLevel, DWORD* impLevel, RPC_AUTH_IDENTITY_HANDLE* authInfo,
                            DWORD* capabilities) {
    if (proxy == nullptr) return E_INVALIDARG;
    wmi::ProxyBlanket* blanket = wmi::BlanketOf(proxy);
    if (blanket == nullptr) return E_NOINTERFACE;
    return blanket->Query(authnSvc, authzSvc, principal, authnLevel, impLevel, authInfo,
                          capabilities);
}

HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnSvc, DWORD authzSvc, OLECHAR* principal,
                          DWORD authnLevel, DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE authInfo,
                          DWORD capabilities) {
    if (proxy == nullptr) return E_INVALIDARG;
    wmi::ProxyBlanket* blanket = wmi::BlanketOf(proxy);
    if (blanket == nullptr) return E_NOINTERFACE;
    return blanket->Set(authnSvc, authzSvc, principal, authnLevel, impLevel, authInfo,
                        capabilities);
}

void* CoTaskMemAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void CoTaskMemFree(void* memory) { std::free(memory); }
