// Redirectors: interfaces that a pin answers on behalf of the filter on the
// other side of ours. Every call is forwarded to that neighbour unchanged and
// traced with its result, so that inserting the spy does not hide seeking,
// property sets or overlay mixer settings from the application.
#pragma once

#include <windows.h>
#include <ddraw.h>
#include <strmif.h>
#include <uuids.h>

#include <dshowx/DSDefines.h>
#include <dshowx/DSFunctions.h>
#include <dshowx/DSParsers.h>
#include <dshowx/DSTrace.h>
#include <winapi/ComObject.h>
#include <winapi/ComPtr.h>
#include <winapi/Debugging.h>
#include <winapi/Functions.h>

#include <utility>

// ---------------------------------------------------------------------------
// Overlay mixer pin configuration: public platform interfaces that the
// MinGW headers do not declare.

typedef enum _AM_ASPECT_RATIO_MODE
{
    AM_ARMODE_STRETCHED = 0,
    AM_ARMODE_LETTER_BOX = 1,
    AM_ARMODE_CROP = 2,
    AM_ARMODE_STRETCHED_AS_PRIMARY = 3,
} AM_ASPECT_RATIO_MODE;

MIDL_INTERFACE("593CDDE1-0759-11D1-9E69-00C04FD7C15B")
IMixerPinConfig : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetRelativePosition(DWORD dwLeft, DWORD dwTop, DWORD dwRight, DWORD dwBottom) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRelativePosition(DWORD * pdwLeft, DWORD * pdwTop, DWORD * pdwRight,
                                                          DWORD * pdwBottom) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetZOrder(DWORD dwZOrder) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetZOrder(DWORD * pdwZOrder) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetColorKey(COLORKEY * pColorKey) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetColorKey(COLORKEY * pColorKey, DWORD * pColor) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBlendingParameter(DWORD dwBlendingParameter) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBlendingParameter(DWORD * pdwBlendingParameter) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetAspectRatioMode(AM_ASPECT_RATIO_MODE amAspectRatioMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAspectRatioMode(AM_ASPECT_RATIO_MODE * pamAspectRatioMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStreamTransparent(BOOL bStreamTransparent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamTransparent(BOOL * pbStreamTransparent) = 0;
};
__CRT_UUID_DECL(IMixerPinConfig, 0x593CDDE1, 0x0759, 0x11D1, 0x9E, 0x69, 0x00, 0xC0, 0x4F, 0xD7, 0xC1, 0x5B)

MIDL_INTERFACE("EBF47182-8764-11D1-9E69-00C04FD7C15B")
IMixerPinConfig2 : public IMixerPinConfig
{
    virtual HRESULT STDMETHODCALLTYPE SetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) = 0;
};
__CRT_UUID_DECL(IMixerPinConfig2, 0xEBF47182, 0x8764, 0x11D1, 0x9E, 0x69, 0x00, 0xC0, 0x4F, 0xD7, 0xC1, 0x5B)

// "AM_ARMODE_..." for the four modes, else "UNKNOWN AM_ASPECT_RATIO_MODE".
inline LPCWSTR AspectRatioMode2Name(AM_ASPECT_RATIO_MODE eMode)
{
    switch (eMode)
    {
    case AM_ARMODE_STRETCHED:
        return L"AM_ARMODE_STRETCHED";
    case AM_ARMODE_LETTER_BOX:
        return L"AM_ARMODE_LETTER_BOX";
    case AM_ARMODE_CROP:
        return L"AM_ARMODE_CROP";
    case AM_ARMODE_STRETCHED_AS_PRIMARY:
        return L"AM_ARMODE_STRETCHED_AS_PRIMARY";
    }
    return L"UNKNOWN AM_ASPECT_RATIO_MODE";
}

// ---------------------------------------------------------------------------
// Forwarding shared by all redirectors: each method writes its entry line
// with the pin's tag, looks up the neighbour's interface, forwards the call
// unchanged and traces the result.

// Whether the "Redirection:" line follows every call or only failures (the
// methods that write a detail line on success).
enum ERedirReport
{
    REDIR_REPORT_ALWAYS,
    REDIR_REPORT_FAILURE,
};

namespace RedirDetail
{
// Asks pSource for the neighbour's interface I: null when there is none.
// A source that fails is trusted to have left nothing worth releasing.
template <class I, class TSource>
I* LookUp(TSource* pSource, HRESULT* phrLookup = nullptr)
{
    void* pv = nullptr;
    const HRESULT hr = pSource->QueryRedirect(__uuidof(I), &pv);
    if (phrLookup != nullptr)
        *phrLookup = hr;
    return SUCCEEDED(hr) ? static_cast<I*>(pv) : nullptr;
}

// Forwards once the entry line is written: pTarget (owned by the caller,
// may be null) receives call(pTarget) and the result is traced; without a
// target the answer is hrNoTarget. These lines carry no object tag: they
// continue the entry line above them.
template <class I, class TCall>
HRESULT Forward(I* pTarget, HRESULT hrNoTarget, DWORD dwLevel, LPCWSTR pszMethod, TCall&& call,
                ERedirReport eReport = REDIR_REPORT_ALWAYS)
{
    if (pTarget == nullptr)
    {
        TraceW(TRACE_CAT_INTERFACE, dwLevel, L"Can't redirect %s\n", pszMethod);
        return hrNoTarget;
    }
    const HRESULT hr = call(pTarget);
    if (eReport == REDIR_REPORT_ALWAYS || FAILED(hr))
        TraceW(TRACE_CAT_INTERFACE, dwLevel, L"Redirection: %s=0x%X\n", pszMethod, hr);
    return hr;
}

// Looks up and forwards, for a source whose every failed lookup means "no
// target".
template <class I, class TSource, class TCall>
HRESULT Redirect(TSource* pSource, DWORD dwLevel, LPCWSTR pszMethod, TCall&& call,
                 ERedirReport eReport = REDIR_REPORT_ALWAYS)
{
    CComPtr<I> spTarget;
    spTarget.Attach(LookUp<I>(pSource));
    return Forward(static_cast<I*>(spTarget), E_NOTIMPL, dwLevel, pszMethod, call, eReport);
}

inline LPCWSTR FormatName(const GUID* pFormat, LPWSTR pszName, int cchName)
{
    return pFormat != nullptr ? Guid2Name(*pFormat, pszName, cchName) : L"NULL";
}

// Out-values are read back only when the caller gave somewhere to put them.
template <class T>
T ValueOr0(const T* p)
{
    return p != nullptr ? *p : T();
}
} // namespace RedirDetail

// ---------------------------------------------------------------------------
// IMediaSeeking on the output pin, forwarded upstream.
// TPin provides HRESULT QueryRedirect(REFIID, void**) (the neighbour's
// interface or a failure) and LPCWSTR GetTraceName() (its object tag).

template <class TPin>
class IMediaSeekingRedir : public IMediaSeeking
{
public:
    STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::GetCapabilities()\n", Name());
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::GetCapabilities(pCapabilities)",
                        [&](IMediaSeeking* p) { return p->GetCapabilities(pCapabilities); });
    }
    STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::CheckCapabilities()\n", Name());
        const DWORD dwIn = RedirDetail::ValueOr0(pCapabilities);
        const HRESULT hr = Redirect(
            TRACE_LEVEL_CALL, L"IMediaSeeking::CheckCapabilities()",
            [&](IMediaSeeking* p) { return p->CheckCapabilities(pCapabilities); }, REDIR_REPORT_FAILURE);
        if (SUCCEEDED(hr))
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::CheckCapabilities(): in=0x%X, out=0x%X\n", Name(), dwIn,
                   RedirDetail::ValueOr0(pCapabilities));
        return hr;
    }
    STDMETHODIMP IsFormatSupported(const GUID* pFormat) override
    {
        WCHAR szFormat[128];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::IsFormatSupported( %s )\n", Name(),
               RedirDetail::FormatName(pFormat, szFormat, 128));
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::IsFormatSupported(pFormat)",
                        [&](IMediaSeeking* p) { return p->IsFormatSupported(pFormat); });
    }
    STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::QueryPreferredFormat()\n", Name());
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::QueryPreferredFormat(pFormat)",
                        [&](IMediaSeeking* p) { return p->QueryPreferredFormat(pFormat); });
    }
    // Polled often by graph managers: detail level only.
    STDMETHODIMP GetTimeFormat(GUID* pFormat) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMediaSeeking::GetTimeFormat()\n", Name());
        return Redirect(TRACE_LEVEL_DETAIL, L"IMediaSeeking::GetTimeFormatW(pFormat)",
                        [&](IMediaSeeking* p) { return p->GetTimeFormat(pFormat); });
    }
    STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override
    {
        WCHAR szFormat[128];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMediaSeeking::IsUsingTimeFormat( %s )\n", Name(),
               RedirDetail::FormatName(pFormat, szFormat, 128));
        return Redirect(TRACE_LEVEL_DETAIL, L"IMediaSeeking::IsUsingTimeFormat(pFormat)",
                        [&](IMediaSeeking* p) { return p->IsUsingTimeFormat(pFormat); });
    }
    STDMETHODIMP SetTimeFormat(const GUID* pFormat) override
    {
        WCHAR szFormat[128];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::SetTimeFormat( %s )\n", Name(),
               RedirDetail::FormatName(pFormat, szFormat, 128));
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::SetTimeFormat(pFormat)",
                        [&](IMediaSeeking* p) { return p->SetTimeFormat(pFormat); });
    }
    // The duration is what an application most wants to see when it shows
    // no progress bar, so its outcome is traced at error level.
    STDMETHODIMP GetDuration(LONGLONG* pDuration) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMediaSeeking::GetDuration()\n", Name());
        CComPtr<IMediaSeeking> spTarget;
        spTarget.Attach(RedirDetail::LookUp<IMediaSeeking>(Pin()));
        if (!spTarget)
        {
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_ERROR, L"### %s IMediaSeeking::GetDuration(): can't redirect\n", Name());
            return E_NOTIMPL;
        }
        const HRESULT hr = spTarget->GetDuration(pDuration);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_ERROR, L"### %s IMediaSeeking::GetDuration(): upstream GetDuration()=0x%X\n", Name(),
                   hr);
            return hr;
        }
        WCHAR szDuration[32];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_ERROR, L"%s IMediaSeeking::GetDuration(): duration=%s\n", Name(),
               RefTime2Str(RedirDetail::ValueOr0(pDuration), szDuration));
        return hr;
    }
    STDMETHODIMP GetStopPosition(LONGLONG* pStop) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMediaSeeking::GetStopPosition()\n", Name());
        return Redirect(TRACE_LEVEL_DETAIL, L"IMediaSeeking::GetStopPosition(pStop)",
                        [&](IMediaSeeking* p) { return p->GetStopPosition(pStop); });
    }
    STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::GetCurrentPosition()\n", Name());
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::GetCurrentPosition(pCurrent)",
                        [&](IMediaSeeking* p) { return p->GetCurrentPosition(pCurrent); });
    }
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                   const GUID* pSourceFormat) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::ConvertTimeFormat()\n", Name());
        const HRESULT hr = Redirect(
            TRACE_LEVEL_CALL, L"IMediaSeeking::ConvertTimeFormat()",
            [&](IMediaSeeking* p) { return p->ConvertTimeFormat(pTarget, pTargetFormat, Source, pSourceFormat); },
            REDIR_REPORT_FAILURE);
        if (SUCCEEDED(hr))
        {
            WCHAR szTarget[128];
            WCHAR szSource[128];
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::ConvertTimeFormat(): %I64i {%s} = %I64i {%s} \n", Name(),
                   RedirDetail::ValueOr0(pTarget), RedirDetail::FormatName(pTargetFormat, szTarget, 128), Source,
                   RedirDetail::FormatName(pSourceFormat, szSource, 128));
        }
        return hr;
    }
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override
    {
        WCHAR szCurrent[32];
        WCHAR szStop[32];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::SetPositions( %s, 0x%X, %s, 0x%X )\n", Name(),
               pCurrent != nullptr ? RefTime2Str(*pCurrent, szCurrent) : L"NULL", dwCurrentFlags,
               pStop != nullptr ? RefTime2Str(*pStop, szStop) : L"NULL", dwStopFlags);
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags)",
                        [&](IMediaSeeking* p) { return p->SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags); });
    }
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::GetPositions()\n", Name());
        const HRESULT hr = Redirect(
            TRACE_LEVEL_CALL, L"IMediaSeeking::GetPositions()", [&](IMediaSeeking* p) { return p->GetPositions(pCurrent, pStop); },
            REDIR_REPORT_FAILURE);
        if (SUCCEEDED(hr))
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::GetPositions(): current=%I64i, stop=%I64i\n", Name(),
                   RedirDetail::ValueOr0(pCurrent), RedirDetail::ValueOr0(pStop));
        return hr;
    }
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::GetAvailable()\n", Name());
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::GetAvailable(pEarliest, pLatest)",
                        [&](IMediaSeeking* p) { return p->GetAvailable(pEarliest, pLatest); });
    }
    STDMETHODIMP SetRate(double dRate) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::SetRate( %g )\n", Name(), dRate);
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::SetRate(dRate)", [&](IMediaSeeking* p) { return p->SetRate(dRate); });
    }
    STDMETHODIMP GetRate(double* pdRate) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::GetRate()\n", Name());
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::GetRate(pdRate)", [&](IMediaSeeking* p) { return p->GetRate(pdRate); });
    }
    STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSeeking::GetPreroll()\n", Name());
        return Redirect(TRACE_LEVEL_CALL, L"IMediaSeeking::GetPreroll(pllPreroll)",
                        [&](IMediaSeeking* p) { return p->GetPreroll(pllPreroll); });
    }

private:
    TPin* Pin() { return static_cast<TPin*>(this); }
    LPCWSTR Name() { return Pin()->GetTraceName(); }
    // The target is looked up anew for every call, so a reconnected
    // upstream filter is followed at once.
    template <class TCall>
    HRESULT Redirect(DWORD dwLevel, LPCWSTR pszMethod, TCall&& call, ERedirReport eReport = REDIR_REPORT_ALWAYS)
    {
        return RedirDetail::Redirect<IMediaSeeking>(Pin(), dwLevel, pszMethod, call, eReport);
    }
};

// ---------------------------------------------------------------------------
// IKsPropertySet on the input pin, forwarded downstream. TPin provides the
// same two members as for IMediaSeekingRedir.

template <class TPin>
class IKsPropertySetRedir : public IKsPropertySet
{
public:
    STDMETHODIMP Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                     DWORD cbPropData) override
    {
        WCHAR szSet[128];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL,
               L"%s IKsPropertySet::Set( guid=%s, ID=%u, pInst=0x%X, cbInst=%u, pProp=0x%X, cbProp=%u )\n", Name(),
               Guid2Name(guidPropSet, szSet, 128), dwPropID, TracePtr32(pInstanceData), cbInstanceData,
               TracePtr32(pPropData), cbPropData);
        return Redirect(L"IKsPropertySet::Set(guidPropSet,dwPropID,pInstanceData,cbInstanceData,pPropData,cbPropData)",
                        [&](IKsPropertySet* p) {
                            return p->Set(guidPropSet, dwPropID, pInstanceData, cbInstanceData, pPropData, cbPropData);
                        });
    }
    STDMETHODIMP Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                     DWORD cbPropData, DWORD* pcbReturned) override
    {
        WCHAR szSet[128];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IKsPropertySet::Get( guidPropSet=%s, dwPropID=%u )\n", Name(),
               Guid2Name(guidPropSet, szSet, 128), dwPropID);
        return Redirect(L"IKsPropertySet::Get(guidPropSet,dwPropID, pInstanceData,cbInstanceData,pPropData,cbPropData, "
                        L"pcbReturned)",
                        [&](IKsPropertySet* p) {
                            return p->Get(guidPropSet, dwPropID, pInstanceData, cbInstanceData, pPropData, cbPropData,
                                          pcbReturned);
                        });
    }
    STDMETHODIMP QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) override
    {
        WCHAR szSet[128];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IKsPropertySet::QuerySupported( guidPropSet=%s, dwPropID=%u )\n", Name(),
               Guid2Name(guidPropSet, szSet, 128), dwPropID);
        return Redirect(L"IKsPropertySet::QuerySupported(guidPropSet,dwPropID,pTypeSupport)",
                        [&](IKsPropertySet* p) { return p->QuerySupported(guidPropSet, dwPropID, pTypeSupport); });
    }

private:
    TPin* Pin() { return static_cast<TPin*>(this); }
    LPCWSTR Name() { return Pin()->GetTraceName(); }
    template <class TCall>
    HRESULT Redirect(LPCWSTR pszMethod, TCall&& call)
    {
        return RedirDetail::Redirect<IKsPropertySet>(Pin(), TRACE_LEVEL_CALL, pszMethod, call);
    }
};

// ---------------------------------------------------------------------------
// IMixerPinConfig and IMixerPinConfig2, forwarded downstream.
// T provides HRESULT QueryRedirect(REFIID, void**), bool HasRedirectTarget()
// (a failed lookup found a target that lacks the interface, rather than no
// target at all) and LPCWSTR GetTraceName().

template <class T>
class IMixerPinConfigRedir : public IMixerPinConfig2
{
public:
    STDMETHODIMP SetRelativePosition(DWORD dwLeft, DWORD dwTop, DWORD dwRight, DWORD dwBottom) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::SetRelativePosition( rect = [%i:%i]:[%i:%i] )\n", Name(),
               dwLeft, dwTop, dwRight, dwBottom);
        return Redirect<IMixerPinConfig>(L"IMixerPinConfig::SetRelativePosition(dwLeft, dwTop, dwRight, dwBottom)",
                                         [&](IMixerPinConfig* p) {
                                             return p->SetRelativePosition(dwLeft, dwTop, dwRight, dwBottom);
                                         });
    }
    STDMETHODIMP GetRelativePosition(DWORD* pdwLeft, DWORD* pdwTop, DWORD* pdwRight, DWORD* pdwBottom) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s: IMixerPinConfig::GetRelativePosition\n", Name());
        const HRESULT hr = Redirect<IMixerPinConfig>(
            L"IMixerPinConfig::GetRelativePosition()",
            [&](IMixerPinConfig* p) { return p->GetRelativePosition(pdwLeft, pdwTop, pdwRight, pdwBottom); },
            REDIR_REPORT_FAILURE);
        if (SUCCEEDED(hr))
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetRelativePosition()=0x%X, rect = [%i:%i]:[%i:%i]\n",
                   Name(), hr, RedirDetail::ValueOr0(pdwLeft), RedirDetail::ValueOr0(pdwTop),
                   RedirDetail::ValueOr0(pdwRight), RedirDetail::ValueOr0(pdwBottom));
        return hr;
    }
    STDMETHODIMP SetZOrder(DWORD dwZOrder) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::SetZOrder\n", Name());
        return Redirect<IMixerPinConfig>(L"IMixerPinConfig::SetZOrder(dwZOrder)",
                                         [&](IMixerPinConfig* p) { return p->SetZOrder(dwZOrder); });
    }
    STDMETHODIMP GetZOrder(DWORD* pdwZOrder) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetZOrder\n", Name());
        return Redirect<IMixerPinConfig>(L"IMixerPinConfig::GetZOrder(pdwZOrder)",
                                         [&](IMixerPinConfig* p) { return p->GetZOrder(pdwZOrder); });
    }
    STDMETHODIMP SetColorKey(COLORKEY* pColorKey) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::SetColorKey\n", Name());
        return Redirect<IMixerPinConfig>(L"IMixerPinConfig::SetColorKey(pColorKey)",
                                         [&](IMixerPinConfig* p) { return p->SetColorKey(pColorKey); });
    }
    STDMETHODIMP GetColorKey(COLORKEY* pColorKey, DWORD* pColor) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetColorKey\n", Name());
        return Redirect<IMixerPinConfig>(L"IMixerPinConfig::GetColorKey(pColorKey, pColor)",
                                         [&](IMixerPinConfig* p) { return p->GetColorKey(pColorKey, pColor); });
    }
    STDMETHODIMP SetBlendingParameter(DWORD dwBlendingParameter) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::SetBlendingParameter\n", Name());
        return Redirect<IMixerPinConfig>(
            L"IMixerPinConfig::SetBlendingParameter(dwBlendingParameter)",
            [&](IMixerPinConfig* p) { return p->SetBlendingParameter(dwBlendingParameter); });
    }
    STDMETHODIMP GetBlendingParameter(DWORD* pdwBlendingParameter) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetBlendingParameter\n", Name());
        return Redirect<IMixerPinConfig>(
            L"IMixerPinConfig::GetBlendingParameter(pdwBlendingParameter)",
            [&](IMixerPinConfig* p) { return p->GetBlendingParameter(pdwBlendingParameter); });
    }
    STDMETHODIMP SetAspectRatioMode(AM_ASPECT_RATIO_MODE amAspectRatioMode) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::SetAspectRatioMode( %s )\n", Name(),
               AspectRatioMode2Name(amAspectRatioMode));
        return Redirect<IMixerPinConfig>(L"IMixerPinConfig::SetAspectRatioMode(amAspectRatioMode)",
                                         [&](IMixerPinConfig* p) { return p->SetAspectRatioMode(amAspectRatioMode); });
    }
    STDMETHODIMP GetAspectRatioMode(AM_ASPECT_RATIO_MODE* pamAspectRatioMode) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetAspectRatioMode\n", Name());
        const HRESULT hr = Redirect<IMixerPinConfig>(
            L"IMixerPinConfig::GetAspectRatioMode()",
            [&](IMixerPinConfig* p) { return p->GetAspectRatioMode(pamAspectRatioMode); }, REDIR_REPORT_FAILURE);
        if (SUCCEEDED(hr))
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetAspectRatioMode()=0x%X, AspectRatioMode = %s\n",
                   Name(), hr,
                   pamAspectRatioMode != nullptr ? AspectRatioMode2Name(*pamAspectRatioMode)
                                                 : L"UNKNOWN AM_ASPECT_RATIO_MODE");
        return hr;
    }
    STDMETHODIMP SetStreamTransparent(BOOL bStreamTransparent) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::SetStreamTransparent\n", Name());
        return Redirect<IMixerPinConfig>(L"IMixerPinConfig::SetStreamTransparent(bStreamTransparent)",
                                         [&](IMixerPinConfig* p) { return p->SetStreamTransparent(bStreamTransparent); });
    }
    STDMETHODIMP GetStreamTransparent(BOOL* pbStreamTransparent) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetStreamTransparent\n", Name());
        return Redirect<IMixerPinConfig>(
            L"IMixerPinConfig::GetStreamTransparent(pbStreamTransparent)",
            [&](IMixerPinConfig* p) { return p->GetStreamTransparent(pbStreamTransparent); });
    }

    // IMixerPinConfig2
    STDMETHODIMP SetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::SetOverlaySurfaceColorControls\n", Name());
        // The record is the caller's; a null one is the target's to refuse.
        if (pColorControl != nullptr)
        {
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL,
                   L"DDCOLORCONTROL : dwSize=%u  dwFlags=0x%X  lBrightness=%i  lContrast=%i  lHue=%i\n",
                   pColorControl->dwSize, pColorControl->dwFlags, pColorControl->lBrightness, pColorControl->lContrast,
                   pColorControl->lHue);
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"DDCOLORCONTROL : lSaturation=%i  lSharpness=%i  lGamma=%i  lColorEnable=%i\n",
                   pColorControl->lSaturation, pColorControl->lSharpness, pColorControl->lGamma,
                   pColorControl->lColorEnable);
        }
        return Redirect<IMixerPinConfig2>(
            L"IMixerPinConfig2::SetOverlaySurfaceColorControls()",
            [&](IMixerPinConfig2* p) { return p->SetOverlaySurfaceColorControls(pColorControl); });
    }
    STDMETHODIMP GetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMixerPinConfig::GetOverlaySurfaceColorControls\n", Name());
        if (pColorControl != nullptr)
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"DDCOLORCONTROL : dwSize=%u  dwFlags=0x%X\n", pColorControl->dwSize,
                   pColorControl->dwFlags);
        const HRESULT hr = Redirect<IMixerPinConfig2>(
            L"IMixerPinConfig2::GetOverlaySurfaceColorControls()",
            [&](IMixerPinConfig2* p) { return p->GetOverlaySurfaceColorControls(pColorControl); },
            REDIR_REPORT_FAILURE);
        if (SUCCEEDED(hr) && pColorControl != nullptr)
            TraceSurfaceProperties(*pColorControl);
        return hr;
    }

protected:
    T* Self() { return static_cast<T*>(this); }
    LPCWSTR Name() { return Self()->GetTraceName(); }

    // The target is the source's IMixerPinConfig object, asked for the
    // interface I that the method needs.
    template <class I, class TCall>
    HRESULT Redirect(LPCWSTR pszMethod, TCall&& call, ERedirReport eReport = REDIR_REPORT_ALWAYS)
    {
        HRESULT hrLookup = S_OK;
        CComPtr<I> spTarget;
        spTarget.Attach(RedirDetail::LookUp<I>(Self(), &hrLookup));
        // A target that lacks I answers for itself; only a missing target
        // is "not implemented".
        const HRESULT hrNoTarget = FAILED(hrLookup) && Self()->HasRedirectTarget() ? hrLookup : E_NOTIMPL;
        return RedirDetail::Forward(static_cast<I*>(spTarget), hrNoTarget, TRACE_LEVEL_CALL, pszMethod, call, eReport);
    }

    // "*** Surface properties" with each field its flag marks valid.
    void TraceSurfaceProperties(const DDCOLORCONTROL& cc)
    {
        static const LPCWSTR s_aszField[] = {L"  Brightness=%i", L"  Contrast=%i", L"  Hue=%i",       L"  Saturation=%i",
                                             L"  Sharpness=%i",  L"  Gamma=%i",    L"  ColorEnable=%i"};
        const LONG alValue[] = {cc.lBrightness, cc.lContrast, cc.lHue,        cc.lSaturation,
                                cc.lSharpness,  cc.lGamma,    cc.lColorEnable};
        WCHAR szFields[256] = L"";
        for (size_t i = 0; i < sizeof(alValue) / sizeof(alValue[0]); ++i)
            if (cc.dwFlags & (1u << i))
                StrAppend(szFields, 256, s_aszField[i], alValue[i]);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"*** Surface properties : dwFlags=0x%X%s\n", cc.dwFlags, szFields);
    }
};

// The three setters a renderer-less graph calls while it is built: they
// succeed without a target, so that the application's set-up goes on.
template <class T>
class IMixerPinConfigRedirFix : public IMixerPinConfigRedir<T>
{
    typedef IMixerPinConfigRedir<T> Base;

public:
    STDMETHODIMP SetRelativePosition(DWORD dwLeft, DWORD dwTop, DWORD dwRight, DWORD dwBottom) override
    {
        if (!HostSet())
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s: IMixerPinConfig::SetRelativePosition(): host not set, return S_OK\n",
                   this->Name());
            return S_OK;
        }
        return Base::SetRelativePosition(dwLeft, dwTop, dwRight, dwBottom);
    }
    STDMETHODIMP SetAspectRatioMode(AM_ASPECT_RATIO_MODE amAspectRatioMode) override
    {
        if (!HostSet())
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s: IMixerPinConfig::SetAspectRatioMode(): host not set, return S_OK\n",
                   this->Name());
            return S_OK;
        }
        return Base::SetAspectRatioMode(amAspectRatioMode);
    }
    STDMETHODIMP SetStreamTransparent(BOOL bStreamTransparent) override
    {
        if (!HostSet())
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s: IMixerPinConfig::SetStreamTransparent(): host not set, return S_OK\n",
                   this->Name());
            return S_OK;
        }
        return Base::SetStreamTransparent(bStreamTransparent);
    }

private:
    bool HostSet()
    {
        CComPtr<IMixerPinConfig> spTarget;
        spTarget.Attach(RedirDetail::LookUp<IMixerPinConfig>(this->Self()));
        return spTarget != nullptr;
    }
};

// ---------------------------------------------------------------------------
// Tear-off redirector: looks its target up through the owner pin on the
// first call that needs it and keeps it until told to reconnect.
// T: the concrete tear-off class (provides GetTraceName through the name
// virtual below); TOwner: the pin (RedirectTarget, GetUnknown); TRedirBase:
// the redirector implementation; ITarget: the interface cached.

template <class T, class TOwner, class TRedirBase, class ITarget>
class CTearOffRedirector : public CComTearOffObjectBase<TOwner>, public TRedirBase
{
public:
    // The object tag of the tear-off's lines.
    virtual LPCWSTR GetTraceName() = 0;

    HRESULT FinalConstruct()
    {
        // The target is not looked up before a call needs it.
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"%s FinalConstruct\n", GetTraceName());
        return S_OK;
    }

    // The cached target asked for riid. E_NOINTERFACE without a target.
    HRESULT QueryRedirect(REFIID riid, void** ppv)
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!TRACE_ASSERT(this->m_pOwner != nullptr))
            return E_UNEXPECTED;
        const CComPtr<ITarget> spTarget = CachedTarget(riid);
        if (!spTarget)
            return E_NOINTERFACE;
        return spTarget->QueryInterface(riid, ppv);
    }

    bool HasRedirectTarget()
    {
        ObjectLock lock(this);
        return m_spTarget != nullptr;
    }

protected:
    // The next call looks the target up again.
    void ReleaseTarget()
    {
        CComPtr<ITarget> spOld;
        {
            ObjectLock lock(this);
            spOld = std::move(m_spTarget);
        }
        // Released outside the lock: the target's last release may run its
        // destructor, which must not be able to call back into us locked.
    }

private:
    typedef CComObjectRootMT::ObjectLock ObjectLock;

    // The lock guards the cache only, so that a call racing Reconnect on
    // another thread holds its own reference. The lookup runs unlocked: the
    // neighbour's QueryInterface may block or call back into us.
    CComPtr<ITarget> CachedTarget(REFIID riid)
    {
        {
            ObjectLock lock(this);
            if (m_spTarget)
                return m_spTarget;
        }
        CComPtr<ITarget> spFound;
        spFound.Attach(LookUpTarget(riid));
        if (!spFound)
            return nullptr;
        ObjectLock lock(this);
        // A lookup racing on another thread may have filled the cache first.
        if (!m_spTarget)
            m_spTarget = spFound;
        return m_spTarget;
    }

    // The neighbour is foreign code reached through the owner pin: a fault
    // inside it must not take the host down, only leave us without target.
    // Only the raw call is guarded: a landing guard skips destructors, so a
    // smart pointer inside the region would leak its reference.
    ITarget* LookUpTarget(REFIID riid)
    {
        const CComPtr<IUnknown> spPeer = this->m_pOwner->RedirectTarget();
        if (!spPeer)
            return nullptr;
        IUnknown* pPeer = spPeer;
        void* pv = nullptr;
        HRESULT hr = E_FAIL;
        SEH_EXCEPTION_INFO info;
        const bool bCompleted = SEH_Guard([pPeer, &pv, &hr] { hr = pPeer->QueryInterface(__uuidof(ITarget), &pv); },
                                          SEH_DumpCallStackFilter, nullptr, &info);
        if (!bCompleted)
        {
            // Whatever the interrupted call left in pv is not trusted.
            WCHAR szName[128];
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EXCEPTION, L"###Err### %s QueryRedirect( %s ): Exception 0x%X\n", GetTraceName(),
                   Guid2Name(riid, szName, 128), info.dwCode);
            return nullptr;
        }
        return SUCCEEDED(hr) ? static_cast<ITarget*>(pv) : nullptr;
    }

    CComPtr<ITarget> m_spTarget;
};

// The input pin's tear-off for IMixerPinConfig and IMixerPinConfig2, listed
// in the pin's map as
//   COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig, CTearOffMixerPinConfigFix<CInputPin>)
//   COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig2, CTearOffMixerPinConfigFix<CInputPin>)
// Its map serves the creation only; later queries go to the owner pin, so
// IKorvexRedirect is reached only through a pointer the owner already holds.
template <class TOwner>
class CTearOffMixerPinConfigFix
    : public CTearOffRedirector<CTearOffMixerPinConfigFix<TOwner>, TOwner,
                                IMixerPinConfigRedirFix<CTearOffMixerPinConfigFix<TOwner>>, IMixerPinConfig>,
      public IKorvexRedirect
{
public:
    BEGIN_COM_MAP(CTearOffMixerPinConfigFix)
    COM_INTERFACE_ENTRY(IMixerPinConfig)
    COM_INTERFACE_ENTRY(IMixerPinConfig2)
    COM_INTERFACE_ENTRY(IKorvexRedirect)
    END_COM_MAP()

    LPCWSTR GetTraceName() override { return L"CTearOffMixerPinConfigFix"; }

    // IKorvexRedirect
    STDMETHODIMP Reconnect() override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IKorvexRedirect::Reconnect\n", GetTraceName());
        this->ReleaseTarget();
        return S_OK;
    }
};
