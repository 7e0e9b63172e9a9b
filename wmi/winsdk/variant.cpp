#include "wmi/winsdk/variant.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/text.h"
#include "wmi/winsdk/wbem.h"

// ---- Counted strings ----------------------------------------------------

namespace {

// Layout: [uint32 byte length][UTF-16 characters][NUL]; the BSTR points at
// the first character.
constexpr size_t kPrefix = sizeof(uint32_t);

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > (UINT32_MAX - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
    size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    uint32_t byteLength = static_cast<uint32_t>(bytes);
    std::memcpy(block, &byteLength, kPrefix);
    auto* chars = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (text != nullptr) {
        std::memcpy(chars, text, bytes);
    } else {
        std::memset(chars, 0, bytes);
    }
    chars[length] = u'\0';
    return chars;
}

BSTR SysAllocString(LPCOLESTR text) {
    if (text == nullptr) return nullptr;
    UINT length = 0;
    while (text[length] != u'\0') ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (text == nullptr) return;
    std::free(reinterpret_cast<unsigned char*>(text) - kPrefix);
}

UINT SysStringLen(BSTR text) {
    if (text == nullptr) return 0;
    uint32_t byteLength;
    std::memcpy(&byteLength, reinterpret_cast<unsigned char*>(text) - kPrefix, kPrefix);
    return byteLength / sizeof(OLECHAR);
}

// ---- Safe arrays ----------------------------------------------------------

SAFEARRAY* SafeArrayCreateVector(VARTYPE type, LONG lowerBound, ULONG count) {
    if (type != VT_BSTR) return nullptr;
    auto* array = new (std::nothrow) SAFEARRAY{};
    if (array == nullptr) return nullptr;
    array->cDims = 1;
    array->fFeatures = FADF_BSTR;
    array->cbElements = sizeof(BSTR);
    array->rgsabound[0].cElements = count;
    array->rgsabound[0].lLbound = lowerBound;
    if (count > 0) {
        array->pvData = std::calloc(count, sizeof(BSTR));
        if (array->pvData == nullptr) {
            delete array;
            return nullptr;
        }
    }
    return array;
}

UINT SafeArrayGetDim(SAFEARRAY* array) { return array == nullptr ? 0 : array->cDims; }

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* lowerBound) {
    if (array == nullptr || lowerBound == nullptr || dimension != 1) return E_INVALIDARG;
    *lowerBound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* upperBound) {
    if (array == nullptr || upperBound == nullptr || dimension != 1) return E_INVALIDARG;
    *upperBound = static_cast<LONG>(array->rgsabound[0].lLbound +
                                    static_cast<int64_t>(array->rgsabound[0].cElements) - 1);
    return S_OK;
}

namespace {

// Slot of `index` in a BSTR array, or nullptr outside the bounds.
BSTR* ElementSlot(SAFEARRAY* array, const LONG* index) {
    if (array == nullptr || index == nullptr || !(array->fFeatures & FADF_BSTR)) return nullptr;
    int64_t offset = static_cast<int64_t>(*index) - array->rgsabound[0].lLbound;
    if (offset < 0 || offset >= static_cast<int64_t>(array->rgsabound[0].cElements)) return nullptr;
    return static_cast<BSTR*>(array->pvData) + offset;
}

}  // namespace

HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* index, void* out) {
    BSTR* slot = ElementSlot(array, index);
    if (slot == nullptr || out == nullptr) return E_INVALIDARG;
    BSTR copy = nullptr;
    if (*slot != nullptr) {
        copy = SysAllocStringLen(*slot, SysStringLen(*slot));
        if (copy == nullptr) return E_OUTOFMEMORY;
    }
    *static_cast<BSTR*>(out) = copy;
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* index, void* value) {
    BSTR* slot = ElementSlot(array, index);
    if (slot == nullptr) return E_INVALIDARG;
    auto source = static_cast<BSTR>(value);
    BSTR copy = nullptr;
    if (source != nullptr) {
        copy = SysAllocStringLen(source, SysStringLen(source));
        if (copy == nullptr) return E_OUTOFMEMORY;
    }
    SysFreeString(*slot);
    *slot = copy;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
    if (array == nullptr || data == nullptr) return E_INVALIDARG;
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
    if (array == nullptr || array->cLocks == 0) return E_INVALIDARG;
    --array->cLocks;
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (array == nullptr) return S_OK;
    if (array->cLocks != 0) return E_FAIL;
    auto* elements = static_cast<BSTR*>(array->pvData);
    for (ULONG i = 0; elements != nullptr && i < array->rgsabound[0].cElements; ++i) {
        SysFreeString(elements[i]);
    }
    std::free(array->pvData);
    delete array;
    return S_OK;
}

// ---- Tagged values --------------------------------------------------------

void VariantInit(VARIANT* value) {
    if (value == nullptr) return;
    value->vt = VT_EMPTY;
    value->wReserved1 = value->wReserved2 = value->wReserved3 = 0;
    value->llVal = 0;
}

HRESULT VariantClear(VARIANT* value) {
    if (value == nullptr) return E_INVALIDARG;
    if (value->vt & VT_ARRAY) {
        SafeArrayDestroy(value->parray);
    } else if (value->vt == VT_BSTR) {
        SysFreeString(value->bstrVal);
    } else if (value->vt == VT_UNKNOWN) {
        if (value->punkVal != nullptr) value->punkVal->Release();
    }
    VariantInit(value);
    return S_OK;
}

// ---- Text conversion ------------------------------------------------------

namespace wmi {

std::string Utf8FromBstr(BSTR text) {
    if (text == nullptr) return {};
    return platform::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

BSTR BstrFromUtf8(std::string_view text) {
    if (text.size() <= UINT32_MAX && platform::AsciiPrefix(text) == text.size()) {
        // ASCII: widened straight into the string, with no UTF-16 copy
        // between (every text property of every record comes through here).
        BSTR copy = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
        if (copy == nullptr) return nullptr;
        for (size_t i = 0; i < text.size(); ++i) copy[i] = static_cast<OLECHAR>(text[i]);
        return copy;
    }
    std::u16string wide = platform::Utf8ToUtf16Lossy(text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace wmi
