// The typed values that cross the management interface: counted UTF-16
// strings (BSTR), one-dimensional string arrays (SAFEARRAY) and the tagged
// value (VARIANT) with the variant type codes WMI uses. Whoever receives a
// BSTR, SAFEARRAY or filled VARIANT owns it and frees it with SysFreeString,
// SafeArrayDestroy or VariantClear. All functions are thread-safe; a single
// value is not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "wmi/winsdk/hresult.h"

using BYTE = uint8_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using SHORT = int16_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using INT = int32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using FLOAT = float;
using DOUBLE = double;
using CHAR = char;
using OLECHAR = char16_t;
using LPCOLESTR = const OLECHAR*;
using LPCWSTR = const char16_t*;
using BSTR = OLECHAR*;
using VARIANT_BOOL = int16_t;
using VARTYPE = uint16_t;
using CIMTYPE = LONG;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_CLSID = 72,
    VT_ARRAY = 0x2000,
};

// CIM property types reported next to a value by IWbemClassObject::Get.
enum CIMTYPE_ENUMERATION : CIMTYPE {
    CIM_SINT32 = 3,
    CIM_STRING = 8,
    CIM_OBJECT = 13,
    CIM_UINT8 = 17,
    CIM_UINT16 = 18,
    CIM_UINT32 = 19,
    CIM_DATETIME = 101,
    CIM_FLAG_ARRAY = 0x2000,
};

// ---- Counted strings ----------------------------------------------------
// A BSTR points at UTF-16 text preceded by its length in bytes and followed
// by a NUL. The null BSTR is the empty string.

// Copy of a NUL-terminated text; nullptr for a null argument or when out of
// memory.
BSTR SysAllocString(LPCOLESTR text);
// Copy of `length` characters (or `length` zeroed characters when text is
// null); nullptr when out of memory.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// Frees a string from SysAlloc*; null is allowed.
void SysFreeString(BSTR text);
// Length in characters; 0 for null.
UINT SysStringLen(BSTR text);

// ---- Safe arrays (one dimension, elements BSTR or IUnknown*) -----------
struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

constexpr USHORT FADF_BSTR = 0x0100;

// A vector of `count` null BSTR elements starting at index `lowerBound`.
// Only VT_BSTR is supported; nullptr otherwise or when out of memory.
SAFEARRAY* SafeArrayCreateVector(VARTYPE type, LONG lowerBound, ULONG count);
UINT SafeArrayGetDim(SAFEARRAY* array);
// Bounds of dimension 1; E_INVALIDARG for another dimension or a null array.
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* lowerBound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* upperBound);
// For a BSTR array `*out` (a BSTR*) receives a copy the caller frees.
// DISP_E_BADINDEX-like E_INVALIDARG outside the bounds.
HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* index, void* out);
// Stores a copy of the BSTR `value` at `index`, freeing the old element.
HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* index, void* value);
// In-place access to the element storage (BSTR[]); pair with Unaccess.
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
// Frees the array and its BSTR elements; null is allowed.
HRESULT SafeArrayDestroy(SAFEARRAY* array);

// ---- Tagged values ------------------------------------------------------
class IUnknown;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        SAFEARRAY* parray;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
    };
};

// Sets the value to VT_EMPTY without freeing anything.
void VariantInit(VARIANT* value);
// Frees what the value owns (string, array, interface reference) and sets
// it to VT_EMPTY. E_INVALIDARG for null.
HRESULT VariantClear(VARIANT* value);

namespace wmi {

// The text of a BSTR as UTF-8 (empty for null or invalid UTF-16).
std::string Utf8FromBstr(BSTR text);
// A new BSTR holding the UTF-8 text, each invalid sequence of it as U+FFFD
// (as event text must keep the rest); nullptr only when out of memory.
BSTR BstrFromUtf8(std::string_view text);

}  // namespace wmi
