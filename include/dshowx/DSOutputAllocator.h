// The output pin's allocator: which allocator it delivers in (upstream's,
// downstream's or its own), how that is agreed with downstream and how it is
// committed and decommitted with the filter's state.
//
// CAllocatorMatch<TPin> requires of TPin: m_csDelivery (COutputPin's
// delivery lock, which guards the allocator pointer and its properties),
// m_szTag, IsConnected() and the object lock.
// CTransInPlaceAllocator<TPin> further requires m_pFilter with the
// Filter_GetTransInPlaceAlloc hook, m_dwCookie, m_spMemInput and
// GetUnknown().
#pragma once

#include <dshowx/DSFilterCommon.h>

enum EAllocSrc
{
    eAS_None = 0,
    eAS_Upstream = 1,
    eAS_Internal = 2,
    eAS_Downstream = 3,
};

inline LPCWSTR AllocSrcText(EAllocSrc e)
{
    switch (e)
    {
    case eAS_Upstream:
        return L"upstream";
    case eAS_Internal:
        return L"internal";
    case eAS_Downstream:
        return L"downstream";
    default:
        return L"none";
    }
}

template <class TPin>
class CAllocatorMatch
{
public:
    void AttachAllocator(IMemAllocator* pAllocator, EAllocSrc eSrc)
    {
        TPin* p = static_cast<TPin*>(this);
        if (!TRACE_ASSERT(pAllocator != nullptr) || !TRACE_ASSERT(eSrc != eAS_None))
            return;
        ALLOCATOR_PROPERTIES props = {};
        TRACE_ASSERT_TEXT(pAllocator->GetProperties(&props) == S_OK, "CAllocatorMatch::AttachAllocator(): GetProperties() != S_OK");
        {
            CScopedLock delivery(&p->m_csDelivery);
            m_props = props;
            m_spAllocOut = pAllocator;
            m_eAllocSrc = eSrc;
        }
        TraceW(TRACE_CAT_GENERAL, 8, L"@@@@ %s CAllocatorMatch::AttachAllocator(): %s allocator is used\n", p->m_szTag,
               AllocSrcText(eSrc));
        Debug_Allocator(TRACE_CAT_GENERAL, 8, pAllocator, p->m_szTag);
    }

    // Commits the allocator when the filter leaves Stopped, decommits it on the way back.
    HRESULT AllocatorActivate(bool bActive)
    {
        TPin* p = static_cast<TPin*>(this);
        if (!p->IsConnected())
            return VFW_E_NOT_CONNECTED;
        CComObjectRootMT::ObjectLock lock(p);
        if (m_spAllocOut == nullptr)
            return VFW_E_NO_ALLOCATOR;
        if (m_bActivate == bActive)
            return S_OK;
        HRESULT hr = bActive ? m_spAllocOut->Commit() : m_spAllocOut->Decommit();
        if (hr != S_OK)
            return FailureOr(hr, E_FAIL);
        if (bActive)
            TRACE_ASSERT_TEXT(m_spAllocOut->GetProperties(&m_props) == S_OK,
                              "CAllocatorMatch::AllocatorActivate(): GetProperties() != S_OK");
        m_bActivate = bActive;
        return S_OK;
    }

    void ReleaseAllocator()
    {
        TPin* p = static_cast<TPin*>(this);
        CComPtr<IMemAllocator> spOld;
        {
            CScopedLock delivery(&p->m_csDelivery);
            spOld.Attach(m_spAllocOut.Detach());
            ZeroMemory(&m_props, sizeof(m_props));
            m_bActivate = false;
            m_eAllocSrc = eAS_None;
        }
        if (spOld != nullptr)
            spOld->Decommit();
    }

    ALLOCATOR_PROPERTIES m_props = {};
    CComPtr<IMemAllocator> m_spAllocOut;
    bool m_bActivate = false;
    EAllocSrc m_eAllocSrc = eAS_None;
};

// Chooses the output allocator: upstream's when it can serve downstream too
// (samples then pass in their own buffers), else downstream's, else our own.
template <class TPin>
class CTransInPlaceAllocator : public CAllocatorMatch<TPin>
{
public:
    HRESULT AllocatorAgree(IMemInputPin* pMemInput)
    {
        TPin* p = static_cast<TPin*>(this);
        TraceW(TRACE_CAT_GENERAL, 8, L"@@@@ %s CTransInPlaceAllocator::AllocatorAgree()\n", p->m_szTag);
        if (pMemInput == nullptr || p->m_pFilter == nullptr)
            return E_POINTER;
        CComPtr<IMemAllocator> spUp;
        bool bUseUp = true, bReadOnly = false;
        HRESULT hr = p->m_pFilter->Filter_GetTransInPlaceAlloc(p->m_dwCookie, &spUp, &bUseUp, &bReadOnly);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"###Err### %s CTransInPlaceAllocator::AllocatorAgree(): Filter_GetTransInPlaceAlloc()=0x%X\n",
                   p->m_szTag, hr);
            return hr;
        }
        ALLOCATOR_PROPERTIES up = {};
        if (spUp != nullptr)
            TRACE_ASSERT(SUCCEEDED(spUp->GetProperties(&up)));
        else
            bUseUp = false;
        const ALLOCATOR_PROPERTIES req = Request(pMemInput, up);
        const bool bShort = up.cBuffers < req.cBuffers || up.cbBuffer < req.cbBuffer || up.cbAlign < req.cbAlign ||
                            up.cbPrefix < req.cbPrefix;
        if (bShort && bUseUp)
            bUseUp = !bReadOnly;
        CComPtr<IMemAllocator> spDown;
        if (pMemInput->GetAllocator(&spDown) != S_OK)
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s CTransInPlaceAllocator::AllocatorAgree(): Downstream filter hasn't allocator\n",
                   p->m_szTag);
            spDown.Release();
        }
        hr = E_FAIL;
        if (bUseUp && (hr = Offer(pMemInput, spUp, req, bReadOnly)) == S_OK)
            return Attach(spUp, eAS_Upstream);
        if (spDown != nullptr && (hr = Offer(pMemInput, spDown, req, false)) == S_OK)
            return Attach(spDown, eAS_Downstream);
        CComPtr<IMemAllocator> spOwn;
        hr = CreateMemoryAllocator(&spOwn, p->GetUnknown());
        if (SUCCEEDED(hr) && (hr = Offer(pMemInput, spOwn, req, false)) == S_OK)
            return Attach(spOwn, eAS_Internal);
        TraceW(TRACE_CAT_GENERAL, 8, L"###Err### %s CTransInPlaceAllocator::AllocatorAgree(): allocator agreement failed, hr=0x%X\n",
               p->m_szTag, hr);
        return FailureOr(hr, E_FAIL);
    }

    // Upstream changed allocators under a pass-through connection: try to
    // carry its new allocator through; roll both sides back when downstream
    // refuses (S_FALSE), fail only when the rollback fails.
    HRESULT AgreePassThroughAllocator(IMemAllocator* pUpAlloc, bool bReadOnly)
    {
        TPin* p = static_cast<TPin*>(this);
        TraceW(TRACE_CAT_GENERAL, 8, L"@@@@ %s CTransInPlaceAllocator::AgreePassThroughAllocator()\n", p->m_szTag);
        if (pUpAlloc == nullptr)
            return E_POINTER;
        TRACE_ASSERT(!this->m_bActivate);
        if (!TRACE_ASSERT(p->IsConnected() && p->m_spMemInput != nullptr && this->m_spAllocOut != nullptr))
            return E_UNEXPECTED;
        ALLOCATOR_PROPERTIES up = {};
        HRESULT hr = pUpAlloc->GetProperties(&up);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_GENERAL, 8,
                   L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): pUpAlloc->GetProperties()=0x%X\n", p->m_szTag, hr);
            TRACE_ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): pUpAlloc->GetProperties() FAILED");
            ZeroMemory(&up, sizeof(up));
        }
        if (bReadOnly && !AllocPropsSatisfy(this->m_props, up))
        {
            TraceW(TRACE_CAT_GENERAL, 8,
                   L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Read-only upstream allocator can't be used as pass through allocator\n",
                   p->m_szTag);
            return S_FALSE;
        }
        ALLOCATOR_PROPERTIES req = up;
        if (!bReadOnly)
            AllocPropsMerge(req, this->m_props);
        hr = Offer(p->m_spMemInput, pUpAlloc, req, bReadOnly);
        if (hr == S_OK)
        {
            this->ReleaseAllocator();
            this->AttachAllocator(pUpAlloc, eAS_Upstream);
            return S_OK;
        }
        TraceW(TRACE_CAT_GENERAL, 8, L"### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): agreement of pass-through allocator failed, hr=0x%X\n",
               p->m_szTag, hr);
        if (!bReadOnly)
        {
            hr = RestoreUpstream(pUpAlloc, up);
            if (hr != S_OK)
                return hr;
        }
        hr = p->m_spMemInput->NotifyAllocator(this->m_spAllocOut, FALSE);
        // Only S_OK restores downstream; a qualified yes is a failed restore.
        if (hr != S_OK)
        {
            TraceW(TRACE_CAT_GENERAL, 8,
                   L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore downstream allocator: pOutPin->m_spMemInput->NotifyAllocator()=0x%X\n",
                   p->m_szTag, hr);
            TRACE_ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore downstream allocator FAILED");
            return FailureOr(hr, E_FAIL);
        }
        return S_FALSE;
    }

    static constexpr ALLOCATOR_PROPERTIES MinimumRequirements() { return ALLOCATOR_PROPERTIES{1, 1, 1, 0}; }

protected:
    // Downstream's requirements (or none) at least the minimum, normalised,
    // then at least what upstream already has.
    static ALLOCATOR_PROPERTIES Request(IMemInputPin* pMemInput, const ALLOCATOR_PROPERTIES& up)
    {
        ALLOCATOR_PROPERTIES req = {};
        if (FAILED(pMemInput->GetAllocatorRequirements(&req)))
            ZeroMemory(&req, sizeof(req));
        AllocPropsMerge(req, MinimumRequirements());
        AllocPropsNormalise(req);
        AllocPropsMerge(req, up);
        return req;
    }

    // Offers an allocator to downstream: sized unless read-only, then notified.
    static HRESULT Offer(IMemInputPin* pMemInput, IMemAllocator* pAllocator, const ALLOCATOR_PROPERTIES& req, bool bReadOnly)
    {
        if (!bReadOnly)
        {
            ALLOCATOR_PROPERTIES want = req, act = {};
            const HRESULT hr = pAllocator->SetProperties(&want, &act);
            if (FAILED(hr))
                return hr;
            if (!AllocPropsSatisfy(req, act))
                return E_FAIL;
        }
        const HRESULT hr = pMemInput->NotifyAllocator(pAllocator, bReadOnly ? TRUE : FALSE);
        return FAILED(hr) ? hr : S_OK;
    }

    HRESULT Attach(IMemAllocator* pAllocator, EAllocSrc eSrc)
    {
        this->AttachAllocator(pAllocator, eSrc);
        return S_OK;
    }

    HRESULT RestoreUpstream(IMemAllocator* pUpAlloc, const ALLOCATOR_PROPERTIES& old)
    {
        TPin* p = static_cast<TPin*>(this);
        ALLOCATOR_PROPERTIES want = old, act = {};
        const HRESULT hr = pUpAlloc->SetProperties(&want, &act);
        if (hr != S_OK)
        {
            TraceW(TRACE_CAT_GENERAL, 8,
                   L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore upstream allocator: pUpAlloc->SetProperties()=0x%X\n",
                   p->m_szTag, hr);
            TRACE_ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore upstream allocator FAILED");
            return FailureOr(hr, E_FAIL);
        }
        if (!AllocPropsEqual(old, act))
            TraceW(TRACE_CAT_GENERAL, 8,
                   L"### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): properties changed: old=[%i,%i,%i,%i], new=[%i,%i,%i,%i]\n",
                   p->m_szTag, old.cBuffers, old.cbBuffer, old.cbAlign, old.cbPrefix, act.cBuffers, act.cbBuffer, act.cbAlign,
                   act.cbPrefix);
        return S_OK;
    }
};
