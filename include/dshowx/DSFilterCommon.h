// Small pieces every header of the filter framework shares: the pin and
// filter name length, the trace of an interface method left out, and the
// helpers that compare and merge allocator properties.
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

constexpr DWORD TRACE_CAT_NOTIMPL = 2048;
constexpr size_t DS_NAME_MAX = 128;

inline HRESULT TraceNotImplemented(LPCWSTR pszMethod)
{
    TraceW(TRACE_CAT_NOTIMPL, 0, L"ATL: %s not implemented.\n", pszMethod);
    return E_NOTIMPL;
}

// A success code other than S_OK where the caller needs a yes or no.
inline HRESULT FailureOr(HRESULT hr, HRESULT hrInstead)
{
    return FAILED(hr) ? hr : hrInstead;
}

// ---------------------------------------------------------------------------
// Allocator properties

inline void AllocPropsMerge(ALLOCATOR_PROPERTIES& a, const ALLOCATOR_PROPERTIES& b)
{
    a.cBuffers = a.cBuffers > b.cBuffers ? a.cBuffers : b.cBuffers;
    a.cbBuffer = a.cbBuffer > b.cbBuffer ? a.cbBuffer : b.cbBuffer;
    a.cbAlign = a.cbAlign > b.cbAlign ? a.cbAlign : b.cbAlign;
    a.cbPrefix = a.cbPrefix > b.cbPrefix ? a.cbPrefix : b.cbPrefix;
}

inline void AllocPropsNormalise(ALLOCATOR_PROPERTIES& p)
{
    if (p.cBuffers < 1)
        p.cBuffers = 1;
    if (p.cbBuffer < 1)
        p.cbBuffer = 1;
    if (p.cbAlign == 0)
        p.cbAlign = 1;
}

inline bool AllocPropsSatisfy(const ALLOCATOR_PROPERTIES& req, const ALLOCATOR_PROPERTIES& act)
{
    const bool bOneBit = act.cbAlign > 0 && (act.cbAlign & (act.cbAlign - 1)) == 0;
    return act.cBuffers >= req.cBuffers && act.cbBuffer >= req.cbBuffer && act.cbAlign >= req.cbAlign && bOneBit &&
           act.cbPrefix >= req.cbPrefix;
}

inline bool AllocPropsEqual(const ALLOCATOR_PROPERTIES& a, const ALLOCATOR_PROPERTIES& b)
{
    return a.cBuffers == b.cBuffers && a.cbBuffer == b.cbBuffer && a.cbAlign == b.cbAlign && a.cbPrefix == b.cbPrefix;
}
