// Small pieces every header of the filter framework shares: the pin and
// filter name length, the trace of an interface method left out, and the
// answer of an operation that must say yes or no.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <dshowx/DSAllocators.h>
#include <dshowx/DSDefines.h>
#include <dshowx/DSEnums.h>
#include <dshowx/DSFunctions.h>
#include <dshowx/DSParsers.h>
#include <dshowx/DSRedirectors.h>
#include <dshowx/DSTrace.h>
#include <dshowx/DSTraceSample.h>
#include <dshowx/DSTypes.h>
#include <winapi/ComObject.h>
#include <winapi/ComPtr.h>
#include <winapi/Functions.h>
#include <winapi/Wrappers.h>

constexpr size_t DS_NAME_MAX = 128;

inline HRESULT TraceNotImplemented(LPCWSTR pszMethod)
{
    TraceW(TRACE_CAT_NOTIMPL, TRACE_LEVEL_ALWAYS, L"ATL: %s not implemented.\n", pszMethod);
    return E_NOTIMPL;
}

// A success code other than S_OK where the caller needs a yes or no.
inline HRESULT FailureOr(HRESULT hr, HRESULT hrInstead)
{
    return FAILED(hr) ? hr : hrInstead;
}
