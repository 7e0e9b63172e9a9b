#include "wmi/comobject.h"

#include <new>

#include "wmi/cim/ascii.h"

namespace wmi {

HRESULT WqlServices::ExecQuery(BSTR language, BSTR query, LONG, IWbemContext*,
                               IEnumWbemClassObject** result) {
    return Exec(language, query, false, result);
}

HRESULT WqlServices::ExecNotificationQuery(BSTR language, BSTR query, LONG flags, IWbemContext*,
                                           IEnumWbemClassObject** result) {
    const LONG required = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
    if ((flags & required) != required) {
        if (result != nullptr) *result = nullptr;
        return WBEM_E_INVALID_PARAMETER;
    }
    return Exec(language, query, true, result);
}

HRESULT WqlServices::Exec(BSTR language, BSTR text, bool notification,
                          IEnumWbemClassObject** result) {
    if (result == nullptr) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    if (!cim::EqualsIgnoringCase(Utf8FromBstr(language), "WQL")) {
        return WBEM_E_INVALID_QUERY_TYPE;
    }
    try {
        return RunWql(Utf8FromBstr(text), notification, result);
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    }
}

HRESULT StringArrayToVariant(const std::vector<std::string>& strings, VARIANT* value) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(strings.size()));
    if (array == nullptr) return WBEM_E_OUT_OF_MEMORY;
    auto* slots = static_cast<BSTR*>(array->pvData);
    for (size_t i = 0; i < strings.size(); ++i) {
        slots[i] = BstrFromUtf8(strings[i]);
        if (slots[i] == nullptr) {
            SafeArrayDestroy(array);
            return WBEM_E_OUT_OF_MEMORY;
        }
    }
    value->vt = VT_ARRAY | VT_BSTR;
    value->parray = array;
    return WBEM_S_NO_ERROR;
}

}  // namespace wmi
