// A minimal in-place filter on the framework: default hooks, samples handed
// on through the output pin (copied when the two sides use different
// allocators). Tests and the benchmark put it between real filters.
#pragma once

#include <dshowx/DSFilters.h>

// {5B7E2C91-4D3A-4F6B-8E1C-9A0D7F3B2E64}
inline constexpr CLSID CLSID_TestInPlaceFilter = {0x5B7E2C91, 0x4D3A, 0x4F6B, {0x8E, 0x1C, 0x9A, 0x0D, 0x7F, 0x3B, 0x2E, 0x64}};

class CTestInPlaceFilter;

class CTestInPin : public CInputPin<CTestInPin, CTestInPlaceFilter>
{
};

class CTestOutPin : public COutputPin<CTestOutPin, CTestInPlaceFilter>
{
public:
    DS_HOOK(AgreeExchange) HRESULT AgreeExchange();
};

class CTestInPlaceFilter : public CTransInPlaceFilter<CTestInPlaceFilter, CTestInPin, CTestOutPin>,
                           public CComCoClass<CTestInPlaceFilter, &CLSID_TestInPlaceFilter>,
                           public IDirectShowDebugImpl<CTestInPlaceFilter>
{
public:
    BEGIN_COM_MAP(CTestInPlaceFilter)
    COM_INTERFACE_ENTRY2(IPersist, IBaseFilter)
    COM_INTERFACE_ENTRY2(IMediaFilter, IBaseFilter)
    COM_INTERFACE_ENTRY(IBaseFilter)
    COM_INTERFACE_ENTRY(IDirectShowDebug)
    END_COM_MAP()

    CTestInPlaceFilter()
    {
        StrCopy(m_szDefaultName, DS_NAME_MAX, L"Test In-Place");
        SetTraceName(L"Test");
    }

    DS_HOOK(GetMediaTypeRedirection) int GetMediaTypeRedirection() { return m_nRedirectMT; }

    DS_HOOK(Filter_JoinFilterGraph) HRESULT Filter_JoinFilterGraph(bool bJoined)
    {
        if (!bJoined)
            ResetFilter();
        return bJoined ? m_hrJoin : S_OK;
    }

    DS_HOOK(Filter_CompleteConnect) HRESULT Filter_CompleteConnect(DWORD dwCookie)
    {
        ++m_anCompleteConnect[dwCookie & 1];
        return m_hrCompleteConnect;
    }

    DS_HOOK(Filter_Disconnect) void Filter_Disconnect(DWORD dwCookie)
    {
        ++m_anDisconnect[dwCookie & 1];
        if (dwCookie == PINDIR_OUTPUT)
            m_bSeparateAllocators = false;
    }

    DS_HOOK(Filter_SendSample) HRESULT Filter_SendSample(DWORD, IMediaSample* pSample)
    {
        InterlockedIncrement(&m_nSamples);
        if (!m_bSeparateAllocators)
            return m_apOut->SendSample(pSample);
        CComPtr<IMediaSample> spOut;
        HRESULT hr = m_apOut->GetSample(&spOut, 0);
        if (FAILED(hr))
            return hr;
        hr = CopySample(spOut, pSample);
        return FAILED(hr) ? hr : m_apOut->SendSample(spOut);
    }

    DS_HOOK(Filter_EndOfStream) HRESULT Filter_EndOfStream(DWORD)
    {
        CComPtr<IPin> spDown = Downstream();
        return spDown != nullptr ? spDown->EndOfStream() : S_OK;
    }
    DS_HOOK(Filter_BeginFlush) HRESULT Filter_BeginFlush(DWORD)
    {
        CComPtr<IPin> spDown = Downstream();
        return spDown != nullptr ? spDown->BeginFlush() : S_OK;
    }
    DS_HOOK(Filter_EndFlush) HRESULT Filter_EndFlush(DWORD)
    {
        CComPtr<IPin> spDown = Downstream();
        return spDown != nullptr ? spDown->EndFlush() : S_OK;
    }
    DS_HOOK(Filter_NewSegment) HRESULT Filter_NewSegment(DWORD, REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
    {
        CComPtr<IPin> spDown = Downstream();
        return spDown != nullptr ? spDown->NewSegment(tStart, tStop, dRate) : S_OK;
    }

    // What tests set or read.
    int m_nRedirectMT = 0;
    HRESULT m_hrCompleteConnect = S_OK;
    HRESULT m_hrJoin = S_OK; // the join hook's answer
    int m_anCompleteConnect[2] = {0, 0};
    int m_anDisconnect[2] = {0, 0};
    LONG volatile m_nSamples = 0;

private:
    CComPtr<IPin> Downstream()
    {
        CComPtr<IPin> spDown;
        if (m_apOut != nullptr)
        {
            CComObjectRootMT::ObjectLock lock(m_apOut);
            spDown = m_apOut->m_spConnected;
        }
        return spDown;
    }

    static HRESULT CopySample(IMediaSample* pDst, IMediaSample* pSrc)
    {
        BYTE* pbSrc = nullptr;
        BYTE* pbDst = nullptr;
        if (FAILED(pSrc->GetPointer(&pbSrc)) || FAILED(pDst->GetPointer(&pbDst)))
            return E_UNEXPECTED;
        const long cb = pSrc->GetActualDataLength();
        if (cb < 0 || cb > pSrc->GetSize() || cb > pDst->GetSize())
            return VFW_E_BUFFER_OVERFLOW;
        memcpy(pbDst, pbSrc, static_cast<size_t>(cb));
        pDst->SetActualDataLength(cb);
        REFERENCE_TIME tStart = 0, tStop = 0;
        const HRESULT hrTime = pSrc->GetTime(&tStart, &tStop);
        if (SUCCEEDED(hrTime))
            pDst->SetTime(&tStart, hrTime == VFW_S_NO_STOP_TIME ? nullptr : &tStop);
        pDst->SetSyncPoint(pSrc->IsSyncPoint() == S_OK);
        pDst->SetDiscontinuity(pSrc->IsDiscontinuity() == S_OK);
        pDst->SetPreroll(pSrc->IsPreroll() == S_OK);
        return S_OK;
    }
};

// Separate allocators once the output uses another allocator than upstream's.
inline HRESULT CTestOutPin::AgreeExchange()
{
    const HRESULT hr = AgreeAllocator();
    if (hr == S_OK && m_pFilter != nullptr && m_pFilter->m_apIn != nullptr)
        m_pFilter->m_bSeparateAllocators = !m_spAllocOut.IsEqualObject(m_pFilter->m_apIn->m_spAllocIn);
    return hr;
}
