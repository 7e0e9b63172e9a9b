// The COM-shaped management interface the engine calls: class and interface
// identifiers, reference-counted interfaces (locator, services, enumerator,
// class object, status-code text), the COM start-up and security calls and
// the proxy blanket. Engine code written against it reads as it would on
// Windows; a provider (wmi/sim/ for the simulated hosts) implements the
// interfaces, and CoCreateInstance(CLSID_WbemLocator) picks it (see
// wmi/locatorfactory.h).
//
// Reference counting: every interface pointer handed out carries one
// reference that its receiver gives back with Release(). Objects count
// atomically and may be released on any thread; what else may be called
// concurrently is stated per interface.
#pragma once

#include <cstdint>

#include "wmi/winsdk/hresult.h"
#include "wmi/winsdk/variant.h"

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LCID = ULONG;

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
}

constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr CLSID CLSID_WbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IWbemLocator = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IWbemClassObject = {
    0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID IID_IWbemServices = {
    0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
constexpr IID IID_IEnumWbemClassObject = {
    0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
constexpr CLSID CLSID_WbemStatusCodeText = {
    0xEB87E1BD, 0x3233, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
constexpr IID IID_IWbemStatusCodeText = {
    0xEB87E1BC, 0x3233, 0x11D2, {0xAE, 0xC9, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};

// ---- Constants of the calls the engine makes ------------------------------
constexpr DWORD CLSCTX_INPROC_SERVER = 1;
constexpr DWORD COINIT_MULTITHREADED = 0;

constexpr LONG WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
constexpr LONG WBEM_FLAG_FORWARD_ONLY = 0x20;
constexpr LONG WBEM_FLAG_CONNECT_USE_MAX_WAIT = 0x80;
constexpr LONG WBEM_INFINITE = -1;
constexpr LONG WBEM_FLAVOR_ORIGIN_LOCAL = 0;

constexpr DWORD RPC_C_AUTHN_DEFAULT = 0xFFFFFFFF;
constexpr DWORD RPC_C_AUTHZ_NONE = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
constexpr DWORD RPC_C_AUTHN_LEVEL_PKT = 4;
constexpr DWORD RPC_C_IMP_LEVEL_DEFAULT = 0;
constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr DWORD EOAC_NONE = 0;
constexpr ULONG SEC_WINNT_AUTH_IDENTITY_UNICODE = 2;

// The identity of a proxy blanket: UTF-16 texts with their lengths in
// characters (without NUL).
struct COAUTHIDENTITY {
    USHORT* User;
    ULONG UserLength;
    USHORT* Domain;
    ULONG DomainLength;
    USHORT* Password;
    ULONG PasswordLength;
    ULONG Flags;
};
using RPC_AUTH_IDENTITY_HANDLE = void*;

// "Use the process default" markers for CoSetProxyBlanket.
inline OLECHAR* const COLE_DEFAULT_PRINCIPAL =
    reinterpret_cast<OLECHAR*>(static_cast<intptr_t>(-1));
inline void* const COLE_DEFAULT_AUTHINFO = reinterpret_cast<void*>(static_cast<intptr_t>(-1));

// ---- Interfaces -----------------------------------------------------------

class IUnknown {
  public:
    // E_NOINTERFACE when the object does not offer `iid`; otherwise stores
    // a new reference in *object.
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    // Drops one reference; the object is destroyed with the last one.
    virtual ULONG Release() = 0;

  protected:
    virtual ~IUnknown() = default;
};

class IWbemContext;  // never passed by this system: always null

// One WMI object. Immutable once handed out: Get may be called from any
// thread.
class IWbemClassObject : public IUnknown {
  public:
    // Reads property `name` (case-insensitive) into *value, which the caller
    // clears with VariantClear; *type and *flavor are filled when not null.
    // WBEM_E_NOT_FOUND for a property the class does not have.
    virtual HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) = 0;
};

// A forward-only result set, polled by one thread at a time.
class IEnumWbemClassObject : public IUnknown {
  public:
    // Hands out up to `count` objects into objects[0..], each with one
    // reference, and their number in *returned. Waits at most `timeout` ms
    // (WBEM_INFINITE: no limit) for them. WBEM_S_NO_ERROR with `count`
    // objects; WBEM_S_TIMEDOUT with fewer when the time ran out;
    // WBEM_S_FALSE with fewer when the result set has ended; a failure code
    // (negative, none returned) when the query broke.
    virtual HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                         ULONG* returned) = 0;
};

// A connection to one namespace of one host; shared by many threads.
class IWbemServices : public IUnknown {
  public:
    // Runs a data query (language "WQL"); *result receives the enumerator.
    virtual HRESULT ExecQuery(BSTR language, BSTR query, LONG flags, IWbemContext* context,
                              IEnumWbemClassObject** result) = 0;
    // Starts an event notification query; *result receives the enumerator
    // that delivers the events from now on.
    virtual HRESULT ExecNotificationQuery(BSTR language, BSTR query, LONG flags,
                                          IWbemContext* context, IEnumWbemClassObject** result) = 0;
};

class IWbemLocator : public IUnknown {
  public:
    // Connects to `networkResource` ("\\host\namespace") as `user` with
    // `password` (both may be null: the process's own identity).
    virtual HRESULT ConnectServer(BSTR networkResource, BSTR user, BSTR password, BSTR locale,
                                  LONG securityFlags, BSTR authority, IWbemContext* context,
                                  IWbemServices** services) = 0;
};

class IWbemStatusCodeText : public IUnknown {
  public:
    // *text receives a new BSTR with the readable text of `code`; a failure
    // code when the code is not known.
    virtual HRESULT GetErrorCodeText(HRESULT code, LCID locale, LONG flags, BSTR* text) = 0;
};

// ---- COM start-up, objects and security -----------------------------------

// Join the multithreaded apartment: nothing to do here; always S_OK.
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();
// Records the process's default authentication and impersonation levels,
// which new proxies start with; always S_OK.
HRESULT CoInitializeSecurity(void* securityDescriptor, LONG authServiceCount, void* authServices,
                             void* reserved1, DWORD authnLevel, DWORD impLevel, void* authList,
                             DWORD capabilities, void* reserved3);
// CLSID_WbemLocator gives the configured provider's locator,
// CLSID_WbemStatusCodeText the status-code text object; any other class
// REGDB_E_CLASSNOTREG.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);

// The security settings of a proxy. Query fills every non-null out
// parameter; *principal is allocated with CoTaskMemAlloc (or null), and
// *authInfo points at the proxy's copy of its identity (null for the
// default), valid until the blanket is next set to another identity.
// E_NOINTERFACE for an object that is not a proxy, E_INVALIDARG for null.
HRESULT CoQueryProxyBlanket(IUnknown* proxy, DWORD* authnSvc, DWORD* authzSvc, OLECHAR** principal,
                            DWORD* authnLevel, DWORD* impLevel, RPC_AUTH_IDENTITY_HANDLE* authInfo,
                            DWORD* capabilities);
// Sets them; the identity (a COAUTHIDENTITY*, or COLE_DEFAULT_AUTHINFO) is
// copied, so the caller may free it right after the call.
HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authnSvc, DWORD authzSvc, OLECHAR* principal,
                          DWORD authnLevel, DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE authInfo,
                          DWORD capabilities);

void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* memory);
