#include "wmi/native/wmiprovider.h"

#include <memory>
#include <new>
#include <string>

#include "platform/text.h"
#include "platform/wmiclient.h"
#include "wmi/cim/ascii.h"
#include "wmi/comobject.h"

namespace wmi::native {

namespace {

HRESULT PutText(VARIANT* value, std::string_view text) {
    BSTR copy = BstrFromUtf8(text);
    if (copy == nullptr) return WBEM_E_OUT_OF_MEMORY;
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return WBEM_S_NO_ERROR;
}

std::string Utf8(LPCWSTR text) {
    if (text == nullptr) return std::string();
    std::u16string_view view(text);
    return platform::Utf16ToUtf8(view);
}

IWbemClassObject* MakeObject(std::shared_ptr<const platform::WmiObject> object);

// One item of a host's answer, as copied by the platform layer.
class NativeObject : public ComObject<IWbemClassObject> {
  public:
    explicit NativeObject(std::shared_ptr<const platform::WmiObject> o) : object(std::move(o)) {}

    HRESULT Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
        const std::string wanted = Utf8(name);
        for (const platform::WmiProperty& property : object->properties) {
            if (!cim::EqualsIgnoringCase(property.name, wanted)) continue;
            if (type != nullptr) *type = CimType(property.value);
            if (value == nullptr) return WBEM_S_NO_ERROR;
            VariantInit(value);
            return Put(property.value, value);
        }
        return WBEM_E_NOT_FOUND;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

  private:
    // The copy keeps the value's kind, not its declared type: a null comes
    // out as a string, a boolean as a whole number.
    static CIMTYPE CimType(const platform::WmiValue& v) {
        using Kind = platform::WmiValue::Kind;
        switch (v.kind) {
            case Kind::kTexts:
                return CIM_STRING | CIM_FLAG_ARRAY;
            case Kind::kBytes:
                return CIM_UINT8 | CIM_FLAG_ARRAY;
            case Kind::kObject:
                return CIM_OBJECT;
            case Kind::kInteger:
                return v.variantType == VT_UI1 ? CIM_UINT8 : CIM_SINT32;
            case Kind::kBoolean:
                return CIM_SINT32;
            case Kind::kText:
            case Kind::kNull:
                break;
        }
        return CIM_STRING;
    }

    static HRESULT Put(const platform::WmiValue& v, VARIANT* value) {
        using Kind = platform::WmiValue::Kind;
        switch (v.kind) {
            case Kind::kNull:
            case Kind::kBytes:
                value->vt = VT_NULL;
                return WBEM_S_NO_ERROR;
            case Kind::kText:
                return PutText(value, v.text);
            case Kind::kTexts:
                return StringArrayToVariant(v.texts, value);
            case Kind::kObject:
                value->vt = VT_UNKNOWN;
                value->punkVal = MakeObject(v.object);
                return value->punkVal == nullptr ? WBEM_E_OUT_OF_MEMORY : WBEM_S_NO_ERROR;
            case Kind::kBoolean:
            case Kind::kInteger:
                // The kinds a WMI proxy gives for Win32_NTLogEvent: uint8 as
                // VT_UI1, uint16 and the 32-bit numbers as VT_I4.
                if (v.variantType == VT_UI1) {
                    value->vt = VT_UI1;
                    value->bVal = static_cast<BYTE>(v.integer);
                } else {
                    value->vt = VT_I4;
                    value->lVal = static_cast<LONG>(v.integer);
                }
                return WBEM_S_NO_ERROR;
        }
        return WBEM_E_FAILED;
    }

    const std::shared_ptr<const platform::WmiObject> object;
};

IWbemClassObject* MakeObject(std::shared_ptr<const platform::WmiObject> object) {
    if (!object) return nullptr;
    return new (std::nothrow) NativeObject(std::move(object));
}

class NativeEnumerator : public ComObject<IEnumWbemClassObject> {
  public:
    explicit NativeEnumerator(std::unique_ptr<platform::WmiQuery> q) : query(std::move(q)) {}

    HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        if (objects == nullptr || returned == nullptr) return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        std::vector<platform::WmiObject> items;
        const int32_t timeoutMs = timeout == static_cast<LONG>(WBEM_INFINITE) ? -1 : timeout;
        HRESULT hr = query->Next(timeoutMs, count, &items);
        for (platform::WmiObject& item : items) {
            if (*returned >= count) break;
            IWbemClassObject* made =
                MakeObject(std::make_shared<const platform::WmiObject>(std::move(item)));
            if (made == nullptr) return WBEM_E_OUT_OF_MEMORY;
            objects[(*returned)++] = made;
        }
        return hr;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

  private:
    const std::unique_ptr<platform::WmiQuery> query;
};

class NativeServices : public WqlServices {
  public:
    explicit NativeServices(std::shared_ptr<platform::WmiSession> s) : session(std::move(s)) {}

  protected:
    HRESULT RunWql(std::string wql, bool notification, IEnumWbemClassObject** result) override {
        std::unique_ptr<platform::WmiQuery> query;
        HRESULT hr = session->Exec(wql, notification, &query);
        if (FAILED(hr)) return hr;
        *result = new NativeEnumerator(std::move(query));
        return WBEM_S_NO_ERROR;
    }

  private:
    const std::shared_ptr<platform::WmiSession> session;
};

class NativeLocator : public ComObject<IWbemLocator> {
  public:
    HRESULT ConnectServer(BSTR networkResource, BSTR user, BSTR password, BSTR, LONG, BSTR,
                          IWbemContext*, IWbemServices** services) override {
        if (services == nullptr || networkResource == nullptr) return WBEM_E_INVALID_PARAMETER;
        *services = nullptr;
        // "\\host\namespace": the host is what lies between the two
        // backslashes and the next one.
        std::string resource = Utf8(networkResource);
        std::string host;
        if (resource.rfind("\\\\", 0) == 0) {
            size_t end = resource.find('\\', 2);
            host = resource.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        }
        std::unique_ptr<platform::WmiSession> session;
        HRESULT hr = platform::ConnectWmi(host, Utf8(user), Utf8(password), &session);
        if (FAILED(hr)) return hr;
        *services = new NativeServices(std::shared_ptr<platform::WmiSession>(std::move(session)));
        return WBEM_S_NO_ERROR;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemLocator; }
};

}  // namespace

LocatorFactory WmiProvider() {
    return [](IWbemLocator** locator) -> HRESULT {
        *locator = new (std::nothrow) NativeLocator();
        return *locator == nullptr ? E_OUTOFMEMORY : S_OK;
    };
}

bool WmiAvailable() { return platform::WmiAvailable(); }

}  // namespace wmi::native
