#include "wmi/wsman/wsmanobject.h"

#include <string>

#include "wmi/cim/ascii.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/comobject.h"

namespace wmi::wsman {

namespace {

HRESULT PutText(VARIANT* value, std::string_view text) {
    BSTR copy = BstrFromUtf8(text);
    if (copy == nullptr) return WBEM_E_OUT_OF_MEMORY;
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return WBEM_S_NO_ERROR;
}

class WsmanObject : public ComObject<IWbemClassObject> {
  public:
    explicit WsmanObject(std::shared_ptr<const Instance> i) : instance(std::move(i)) {}

    HRESULT Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
        if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
        std::string narrow = cim::NarrowName(name);
        if (cim::EqualsIgnoringCase(narrow, "__CLASS")) {
            if (type != nullptr) *type = CIM_STRING;
            if (value == nullptr) return WBEM_S_NO_ERROR;
            VariantInit(value);
            return PutText(value, instance->className);
        }
        const Value* property = instance->Find(narrow);
        // What an item that could not be read lacks cannot be read.
        if (property == nullptr) {
            return instance->unreadable.empty() ? WBEM_E_NOT_FOUND : WBEM_E_INVALID_OBJECT;
        }
        if (type != nullptr) *type = property->cimType;
        if (value == nullptr) return WBEM_S_NO_ERROR;
        VariantInit(value);
        switch (property->kind) {
            case Value::Kind::Null:
                value->vt = VT_NULL;
                return WBEM_S_NO_ERROR;
            case Value::Kind::Int32:
                value->vt = VT_I4;
                value->lVal = static_cast<LONG>(property->number);
                return WBEM_S_NO_ERROR;
            case Value::Kind::UInt8:
                value->vt = VT_UI1;
                value->bVal = static_cast<BYTE>(property->number);
                return WBEM_S_NO_ERROR;
            case Value::Kind::Text:
                return PutText(value, property->text);
            case Value::Kind::TextArray:
                return StringArrayToVariant(property->texts, value);
            case Value::Kind::Object:
                value->vt = VT_UNKNOWN;
                value->punkVal = MakeObject(property->object);
                return WBEM_S_NO_ERROR;
        }
        return WBEM_E_FAILED;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

  private:
    const std::shared_ptr<const Instance> instance;
};

}  // namespace

IWbemClassObject* MakeObject(std::shared_ptr<const Instance> instance) {
    return new WsmanObject(std::move(instance));
}

}  // namespace wmi::wsman
