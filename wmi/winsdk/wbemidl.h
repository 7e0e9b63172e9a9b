// The Linux substitute for the Windows SDK's COM and WMI headers.
//
// The engine and the providers include <wbemidl.h> as they would on Windows.
// On Linux this folder is on the include path (wmi/wmi.cmake) and gives the
// subset the system uses: result codes (hresult.h), typed values and
// SysAllocString (variant.h), the WBEM interfaces and the COM calls
// (wbem.h, com.cpp). A Windows build leaves the folder out and compiles the
// same code against the SDK itself.
#pragma once

#include "wmi/winsdk/hresult.h"
#include "wmi/winsdk/variant.h"
#include "wmi/winsdk/wbem.h"
