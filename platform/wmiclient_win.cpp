// DESIGN
// The system's COM and WMI (wbemidl.h). Every call first joins the calling
// thread to the multi-threaded apartment (once per thread), and the first
// connection sets the process's COM security (CoInitializeSecurity:
// default authentication, impersonation, no cloaking); a process that set
// it before keeps its own (RPC_E_TOO_LATE).
//
// Connecting: IWbemLocator::ConnectServer to \\host\root\cimv2 with the
// account; a connection to this machine must not name one (WMI refuses
// WBEM_E_LOCAL_CREDENTIALS), so it goes with the process's identity. The
// account also becomes the proxy blanket (CoSetProxyBlanket, packet
// privacy, impersonation) of the services and of every enumerator a query
// returns: DCOM would otherwise call the host as the process's own user.
// The identity the blanket points to lives as long as the session and its
// queries (shared).
//
// Queries are semi-synchronous and forward only (WBEM_FLAG_RETURN_IMMEDIATELY
// | WBEM_FLAG_FORWARD_ONLY); Next reads with its time-out and copies each
// item's non-system properties into plain values. COM references are owned
// by ComRef, BSTRs and VARIANTs by small holders.
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <windows.h>

#include <cstring>
#include <mutex>

#include "platform/computername.h"
#include "platform/text.h"
#include "platform/wmiclient.h"

namespace platform {

namespace {

struct Releaser {
    void operator()(IUnknown* unknown) const {
        if (unknown != nullptr) unknown->Release();
    }
};
template <class T>
using ComRef = std::unique_ptr<T, Releaser>;

std::wstring Wide(const std::string& text) {
    std::u16string utf16 = Utf8ToUtf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(const wchar_t* text, size_t length) {
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

// Owns a BSTR.
struct Bstr {
    BSTR text;
    explicit Bstr(const std::wstring& value)
        : text(SysAllocStringLen(value.data(), static_cast<UINT>(value.size()))) {}
    Bstr() : text(nullptr) {}
    ~Bstr() { SysFreeString(text); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
};

// Owns a VARIANT.
struct Variant {
    VARIANT value;
    Variant() { VariantInit(&value); }
    ~Variant() { VariantClear(&value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

bool JoinApartment() {
    thread_local const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return SUCCEEDED(joined) || joined == RPC_E_CHANGED_MODE;
}

void SetProcessSecurity() {
    static std::once_flag once;
    std::call_once(once, [] {
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    });
}

bool IsLocalHost(const std::string& host) {
    if (host.empty() || host == "." || host == "127.0.0.1") return true;
    std::string name = LocalComputerName();
    if (host.size() == 9 && _stricmp(host.c_str(), "localhost") == 0) return true;
    return !name.empty() && _stricmp(host.c_str(), name.c_str()) == 0;
}

// The account and password the proxies of one session carry.
struct Identity {
    std::wstring user, domain, password;
    COAUTHIDENTITY view{};

    Identity(const std::string& account, const std::string& secret) {
        std::wstring whole = Wide(account);
        size_t slash = whole.find(L'\\');
        if (slash != std::wstring::npos) {
            domain = whole.substr(0, slash);
            user = whole.substr(slash + 1);
        } else {
            user = whole;
        }
        password = Wide(secret);
        view.User = reinterpret_cast<USHORT*>(user.data());
        view.UserLength = static_cast<ULONG>(user.size());
        view.Domain = reinterpret_cast<USHORT*>(domain.data());
        view.DomainLength = static_cast<ULONG>(domain.size());
        view.Password = reinterpret_cast<USHORT*>(password.data());
        view.PasswordLength = static_cast<ULONG>(password.size());
        view.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    }
};

HRESULT SetBlanket(IUnknown* proxy, const std::shared_ptr<Identity>& identity) {
    return CoSetProxyBlanket(proxy, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, COLE_DEFAULT_PRINCIPAL,
                             RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IMPERSONATE,
                             identity ? &identity->view : nullptr, EOAC_NONE);
}

std::shared_ptr<const WmiObject> CopyObject(IWbemClassObject* object);

WmiValue CopyValue(VARIANT& value) {
    WmiValue out;
    out.variantType = value.vt;
    switch (value.vt) {
        case VT_BSTR:
            out.kind = WmiValue::Kind::kText;
            if (value.bstrVal != nullptr) {
                out.text = Narrow(value.bstrVal, SysStringLen(value.bstrVal));
            }
            break;
        case VT_BOOL:
            out.kind = WmiValue::Kind::kBoolean;
            out.integer = value.boolVal != VARIANT_FALSE ? 1 : 0;
            break;
        case VT_I1:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = value.cVal;
            break;
        case VT_UI1:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = value.bVal;
            break;
        case VT_I2:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = value.iVal;
            break;
        case VT_UI2:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = value.uiVal;
            break;
        case VT_I4:
        case VT_INT:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = value.lVal;
            break;
        case VT_UI4:
        case VT_UINT:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = value.ulVal;
            break;
        case VT_I8:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = value.llVal;
            break;
        case VT_UI8:
            out.kind = WmiValue::Kind::kInteger;
            out.integer = static_cast<int64_t>(value.ullVal);
            break;
        case VT_UNKNOWN: {
            IWbemClassObject* embedded = nullptr;
            if (value.punkVal != nullptr &&
                SUCCEEDED(value.punkVal->QueryInterface(IID_IWbemClassObject,
                                                        reinterpret_cast<void**>(&embedded)))) {
                ComRef<IWbemClassObject> owner(embedded);
                out.kind = WmiValue::Kind::kObject;
                out.object = CopyObject(embedded);
            }
            break;
        }
        case VT_ARRAY | VT_BSTR:
        case VT_ARRAY | VT_UI1: {
            SAFEARRAY* array = value.parray;
            LONG lower = 0, upper = -1;
            if (array == nullptr || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
                FAILED(SafeArrayGetUBound(array, 1, &upper))) {
                break;
            }
            const bool texts = value.vt == (VT_ARRAY | VT_BSTR);
            out.kind = texts ? WmiValue::Kind::kTexts : WmiValue::Kind::kBytes;
            for (LONG i = lower; i <= upper; ++i) {
                if (texts) {
                    BSTR item = nullptr;
                    if (FAILED(SafeArrayGetElement(array, &i, &item))) continue;
                    out.texts.push_back(item == nullptr ? std::string()
                                                        : Narrow(item, SysStringLen(item)));
                    SysFreeString(item);
                } else {
                    unsigned char byte = 0;
                    if (SUCCEEDED(SafeArrayGetElement(array, &i, &byte))) out.bytes.push_back(byte);
                }
            }
            break;
        }
        default:
            out.variantType = VT_NULL;
            break;
    }
    return out;
}

std::shared_ptr<const WmiObject> CopyObject(IWbemClassObject* object) {
    auto copy = std::make_shared<WmiObject>();
    if (FAILED(object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY))) return copy;
    for (;;) {
        BSTR name = nullptr;
        Variant value;
        if (object->Next(0, &name, &value.value, nullptr, nullptr) != WBEM_S_NO_ERROR) break;
        WmiProperty property;
        property.name = name == nullptr ? std::string() : Narrow(name, SysStringLen(name));
        SysFreeString(name);
        property.value = CopyValue(value.value);
        copy->properties.push_back(std::move(property));
    }
    object->EndEnumeration();
    return copy;
}

class Query final : public WmiQuery {
  public:
    Query(ComRef<IEnumWbemClassObject> items, std::shared_ptr<Identity> identity)
        : items(std::move(items)), identity(std::move(identity)) {}

    int32_t Next(int32_t timeoutMs, uint32_t count, std::vector<WmiObject>* out) override {
        if (!JoinApartment()) return RPC_E_CHANGED_MODE;
        std::vector<IWbemClassObject*> objects(count == 0 ? 1 : count, nullptr);
        ULONG returned = 0;
        HRESULT hr = items->Next(timeoutMs < 0 ? static_cast<LONG>(WBEM_INFINITE) : timeoutMs,
                                 count, objects.data(), &returned);
        for (ULONG i = 0; i < returned && i < objects.size(); ++i) {
            ComRef<IWbemClassObject> owner(objects[i]);
            out->push_back(*CopyObject(objects[i]));
        }
        return hr;
    }

  private:
    ComRef<IEnumWbemClassObject> items;
    std::shared_ptr<Identity> identity;
};

class Session final : public WmiSession {
  public:
    Session(ComRef<IWbemServices> services, std::shared_ptr<Identity> identity)
        : services(std::move(services)), identity(std::move(identity)) {}

    int32_t Exec(const std::string& wql, bool notification,
                 std::unique_ptr<WmiQuery>* query) override {
        query->reset();
        if (!JoinApartment()) return RPC_E_CHANGED_MODE;
        Bstr language(L"WQL");
        Bstr text(Wide(wql));
        if (language.text == nullptr || text.text == nullptr) return E_OUTOFMEMORY;
        const LONG flags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
        IEnumWbemClassObject* items = nullptr;
        HRESULT hr =
            notification
                ? services->ExecNotificationQuery(language.text, text.text, flags, nullptr, &items)
                : services->ExecQuery(language.text, text.text, flags, nullptr, &items);
        if (FAILED(hr)) return hr;
        ComRef<IEnumWbemClassObject> owner(items);
        hr = SetBlanket(items, identity);
        if (FAILED(hr)) return hr;
        *query = std::make_unique<Query>(std::move(owner), identity);
        return S_OK;
    }

  private:
    ComRef<IWbemServices> services;
    std::shared_ptr<Identity> identity;
};

}  // namespace

int32_t ConnectWmi(const std::string& host, const std::string& user, const std::string& password,
                   std::unique_ptr<WmiSession>* session) {
    session->reset();
    if (!JoinApartment()) return RPC_E_CHANGED_MODE;
    SetProcessSecurity();
    IWbemLocator* locator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemLocator, reinterpret_cast<void**>(&locator));
    if (FAILED(hr)) return hr;
    ComRef<IWbemLocator> locatorOwner(locator);

    const bool local = IsLocalHost(host);
    std::shared_ptr<Identity> identity;
    if (!local && !user.empty()) identity = std::make_shared<Identity>(user, password);
    Bstr resource(Wide(local ? std::string("root\\cimv2") : "\\\\" + host + "\\root\\cimv2"));
    Bstr account(identity ? Wide(user) : std::wstring());
    Bstr secret(identity ? Wide(password) : std::wstring());
    IWbemServices* services = nullptr;
    hr = locator->ConnectServer(resource.text, identity ? account.text : nullptr,
                                identity ? secret.text : nullptr, nullptr,
                                WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr, nullptr, &services);
    if (FAILED(hr)) return hr;
    ComRef<IWbemServices> owner(services);
    hr = SetBlanket(services, identity);
    if (FAILED(hr)) return hr;
    *session = std::make_unique<Session>(std::move(owner), identity);
    return S_OK;
}

bool WmiAvailable() { return true; }

std::string WmiErrorText(int32_t code) {
    if (JoinApartment()) {
        IWbemStatusCodeText* status = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_WbemStatusCodeText, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IWbemStatusCodeText,
                                       reinterpret_cast<void**>(&status)))) {
            ComRef<IWbemStatusCodeText> owner(status);
            Bstr text;
            if (SUCCEEDED(status->GetErrorCodeText(code, 0, 0, &text.text)) &&
                text.text != nullptr && SysStringLen(text.text) > 0) {
                std::string result = Narrow(text.text, SysStringLen(text.text));
                while (!result.empty() &&
                       (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
                    result.pop_back();
                }
                return result;
            }
        }
    }
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) return std::string();
    std::string result = Narrow(buffer, length);
    LocalFree(buffer);
    while (!result.empty() &&
           (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
        result.pop_back();
    }
    return result;
}

}  // namespace platform
