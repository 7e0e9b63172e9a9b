// Building blocks for the objects a provider hands out: ComObject<I> gives
// an interface atomic reference counting, QueryInterface for IUnknown and I,
// and the security settings CoQueryProxyBlanket / CoSetProxyBlanket read and
// write. Providers derive their locator, services, enumerators and class
// objects from it; callers only see the interfaces of <wbemidl.h>.
#pragma once

#include <wbemidl.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"

namespace wmi {

// A copy of the identity given to CoSetProxyBlanket, and the view of it
// that CoQueryProxyBlanket hands out.
struct BlanketIdentity {
    std::u16string user, domain, password;
    ULONG flags = 0;
    COAUTHIDENTITY view{};  // points into the three texts above
};

// The settings of one proxy, as last set. Thread-safe on its own.
class ProxyBlanket {
  public:
    ProxyBlanket();
    HRESULT Query(DWORD* authnSvc, DWORD* authzSvc, OLECHAR** principal, DWORD* authnLevel,
                  DWORD* impLevel, RPC_AUTH_IDENTITY_HANDLE* authInfo, DWORD* capabilities);
    HRESULT Set(DWORD authnSvc, DWORD authzSvc, OLECHAR* principal, DWORD authnLevel,
                DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE authInfo, DWORD capabilities);

  private:
    // Leaf lock: guards every field below; nothing else is taken under it.
    RSLibrary::RSCriticalSection lock;
    DWORD authnSvc GUARDED_BY(lock);
    DWORD authzSvc GUARDED_BY(lock);
    std::optional<std::u16string> principal GUARDED_BY(lock);
    DWORD authnLevel GUARDED_BY(lock);
    DWORD impLevel GUARDED_BY(lock);
    DWORD capabilities GUARDED_BY(lock);
    // Empty: the process default identity. Replaced only when a different
    // identity is set, so that a pointer handed out by Query stays valid
    // while callers keep setting the same one (the query threads do so
    // before every poll).
    std::optional<BlanketIdentity> identity GUARDED_BY(lock);
};

// The authentication level CoInitializeSecurity recorded for new proxies.
DWORD DefaultAuthenticationLevel();

// The part of every provider object that carries its blanket; found from an
// interface pointer by BlanketOf.
class ProxyObject {
  public:
    ProxyBlanket& Blanket() { return blanket; }

  protected:
    ProxyObject() = default;
    virtual ~ProxyObject() = default;

  private:
    ProxyBlanket blanket;
};

template <class Interface>
class ComObject : public Interface, public ProxyObject {
  public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == InterfaceId()) {
            AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        ULONG left = refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

  protected:
    ComObject() = default;
    ~ComObject() override = default;
    // The interface identifier QueryInterface answers besides IUnknown.
    virtual const IID& InterfaceId() const = 0;

  private:
    std::atomic<ULONG> refs{1};
};

// The blanket of an object made by ComObject, or nullptr for anything else.
ProxyBlanket* BlanketOf(IUnknown* object);

// The services of a provider that runs WQL. ExecQuery and
// ExecNotificationQuery check what every provider checks (a result
// pointer, the language "WQL", and for a notification query the flags
// WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY), then hand the
// query's text to RunWql; running out of memory there is
// WBEM_E_OUT_OF_MEMORY.
class WqlServices : public ComObject<IWbemServices> {
  public:
    HRESULT ExecQuery(BSTR language, BSTR query, LONG flags, IWbemContext* context,
                      IEnumWbemClassObject** result) override;
    HRESULT ExecNotificationQuery(BSTR language, BSTR query, LONG flags, IWbemContext* context,
                                  IEnumWbemClassObject** result) override;

  protected:
    const IID& InterfaceId() const override { return IID_IWbemServices; }
    // Runs the query `wql` (UTF-8); *result is null on entry and receives
    // the enumerator.
    virtual HRESULT RunWql(std::string wql, bool notification, IEnumWbemClassObject** result) = 0;

  private:
    HRESULT Exec(BSTR language, BSTR text, bool notification, IEnumWbemClassObject** result);
};

// A string array property's value: VT_ARRAY | VT_BSTR holding `strings`,
// as a WMI proxy gives one. WBEM_E_OUT_OF_MEMORY, *value untouched, when it
// cannot be made.
HRESULT StringArrayToVariant(const std::vector<std::string>& strings, VARIANT* value);

}  // namespace wmi
