// 32-bit result codes of the management interface, with the values WMI and
// COM use, so that callers test and store them as they would on Windows:
// negative is failure, 0 and positive values are success (1 "false", 0x40004
// "timed out"). Pure constants; usable from any thread.
#pragma once

#include <cstdint>

using HRESULT = int32_t;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Builds a failure code from its unsigned spelling (0x8004....).
constexpr HRESULT MakeFailure(uint32_t code) { return static_cast<HRESULT>(code); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

constexpr HRESULT WBEM_S_NO_ERROR = 0;
constexpr HRESULT WBEM_S_FALSE = 1;
constexpr HRESULT WBEM_S_TIMEDOUT = 0x40004;

constexpr HRESULT WBEM_E_FAILED = MakeFailure(0x80041001);
constexpr HRESULT WBEM_E_NOT_FOUND = MakeFailure(0x80041002);
constexpr HRESULT WBEM_E_OUT_OF_MEMORY = MakeFailure(0x80041006);
constexpr HRESULT WBEM_E_INVALID_PARAMETER = MakeFailure(0x80041008);
constexpr HRESULT WBEM_E_INVALID_NAMESPACE = MakeFailure(0x8004100E);
constexpr HRESULT WBEM_E_INVALID_OBJECT = MakeFailure(0x8004100F);
constexpr HRESULT WBEM_E_INVALID_CLASS = MakeFailure(0x80041010);
constexpr HRESULT WBEM_E_INITIALIZATION_FAILURE = MakeFailure(0x80041014);
constexpr HRESULT WBEM_E_INVALID_QUERY = MakeFailure(0x80041017);
constexpr HRESULT WBEM_E_INVALID_QUERY_TYPE = MakeFailure(0x80041018);
constexpr HRESULT WBEM_E_CALL_CANCELLED = MakeFailure(0x80041032);
constexpr HRESULT WBEM_E_NOT_EVENT_CLASS = MakeFailure(0x80041050);
constexpr HRESULT WBEM_E_LOCAL_CREDENTIALS = MakeFailure(0x80041064);

constexpr HRESULT E_NOINTERFACE = MakeFailure(0x80004002);
constexpr HRESULT E_POINTER = MakeFailure(0x80004003);
constexpr HRESULT E_FAIL = MakeFailure(0x80004005);
constexpr HRESULT E_ACCESSDENIED = MakeFailure(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = MakeFailure(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeFailure(0x80070057);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeFailure(0x80040154);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeFailure(0x80040110);

// RPC failures seen through COM (facility Win32).
constexpr HRESULT RPC_S_SERVER_UNAVAILABLE_HR = MakeFailure(0x800706BA);
constexpr HRESULT RPC_S_CALL_FAILED_HR = MakeFailure(0x800706BE);

// HTTP failures seen through WS-Management (facility Win32, WinHTTP codes).
constexpr HRESULT HTTP_E_INVALID_SERVER_RESPONSE_HR = MakeFailure(0x80072F78);
constexpr HRESULT HTTP_E_SECURE_FAILURE_HR = MakeFailure(0x80072F8F);
