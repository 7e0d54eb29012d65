// Snapshots of sample properties and the copiers that write them into a
// sample of another allocator.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <dshowx/DSFunctions.h>
#include <dshowx/DSTrace.h>
#include <dshowx/DSTypes.h>
#include <dshowx/DSVideo.h>
#include <winapi/ComPtr.h>
#include <winapi/Debugging.h>

#include <stddef.h>

// Which properties a snapshot loads and saves.
enum : WORD
{
    PM_START = 0x0001,
    PM_STOP = 0x0002,
    PM_MEDIATIME = 0x0004,
    PM_SYNCPOINT = 0x0010,
    PM_PREROLL = 0x0020,
    PM_DISCONTINUITY = 0x0040,
    PM_TYPEFLAGS = 0x0080,
    PM_MEDIATYPE = 0x0100,
    PM_DATA = 0x1000,
    PM_ACTLEN = 0x2000,
    PM_STREAMID = 0x8000,
    PM_ALL = 0xFFFF,
};

// Failure code of a call that reported a success other than S_OK.
inline HRESULT FailureOf(HRESULT hr)
{
    return FAILED(hr) ? hr : E_FAIL;
}

// Copies the bytes as they are. cbSrc is the source buffer's size.
class CSampleCopier
{
public:
    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, long lActual, WORD wMask, long cbSrc);
};

// Copies a picture row by row between the row widths of two video types.
class COverlayMixerCopier
{
public:
    HRESULT SetProperties(const AM_MEDIA_TYPE* pmt, bool bSource);
    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, long lActual, WORD wMask, long cbSrc);

protected:
    int m_nFormat = -1;
    DWORD m_fccType = 0;
    long m_nHeight = 0;
    long m_nWidthSrc = 0;
    long m_nWidthDst = 0;
    long m_cbImageSrc = 0;
    long m_cbImageDst = 0;
};

template <class Copier>
class CSampleT : public Copier
{
public:
    CSampleT() = default;
    ~CSampleT() { Reset(); }
    CSampleT(const CSampleT&) = delete;
    CSampleT& operator=(const CSampleT&) = delete;

    HRESULT Load(IMediaSample* pSrc, WORD wMask);
    HRESULT Save(IMediaSample* pDst, WORD wMask);
    HRESULT Copy(IMediaSample* pSrc, IMediaSample* pDst, WORD wMask)
    {
        const HRESULT hrLoad = Load(pSrc, wMask);
        if (FAILED(hrLoad))
            return hrLoad;
        const HRESULT hrSave = Save(pDst, static_cast<WORD>(wMask & m_wLoaded));
        if (FAILED(hrSave) || (hrLoad == S_OK && hrSave != S_OK))
            return hrSave;
        return hrLoad;
    }

    WORD LoadedMask() const { return m_wLoaded; }
    REFERENCE_TIME StartTime() const { return m_tS; }
    REFERENCE_TIME StopTime() const { return m_tE; }
    long ActualLength() const { return m_lActual; }
    const AM_MEDIA_TYPE* MediaType() const { return m_pmt; }

protected:
    void Reset()
    {
        m_wLoaded = 0;
        if (m_pmt != nullptr)
            MTDelete(m_pmt);
        m_pmt = nullptr;
        m_pbBuf = nullptr;
        m_cbBuf = 0;
    }
    HRESULT LoadAll(IMediaSample* pSrc, WORD wMask);
    HRESULT LoadTimes(IMediaSample* pSrc, WORD wMask);
    HRESULT LoadFlag(IMediaSample* pSrc, WORD wBit, HRESULT (STDMETHODCALLTYPE IMediaSample::*pfn)(), bool* pb,
                     LPCWSTR pszCall, LPCSTR pszAssert);
    HRESULT LoadProperties2(IMediaSample* pSrc, WORD wMask);
    HRESULT LoadMediaType(IMediaSample* pSrc);
    HRESULT LoadBuffer(IMediaSample* pSrc, WORD wMask);
    HRESULT SaveProperties2(IMediaSample* pDst, WORD m);
    HRESULT SaveCalls(IMediaSample* pDst, WORD m);

    WORD m_wLoaded = 0;
    bool m_bEverLoaded = false;
    REFERENCE_TIME m_tS = 0, m_tE = 0;
    LONGLONG m_llMS = 0, m_llME = 0;
    bool m_bSyncPoint = false, m_bPreroll = false, m_bDiscontinuity = false;
    DWORD m_dwTypeSpecificFlags = 0;
    AM_MEDIA_TYPE* m_pmt = nullptr;
    long m_lActual = 0;
    BYTE* m_pbBuf = nullptr;
    long m_cbBuf = 0;
    DWORD m_dwStreamId = 0;
};

// The record up to the stream identifier, or up to the type-specific flags.
constexpr DWORD SAMPLE_PROPS_WITH_STREAMID = offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId) + sizeof(DWORD);
constexpr DWORD SAMPLE_PROPS_WITH_TYPEFLAGS = offsetof(AM_SAMPLE2_PROPERTIES, dwTypeSpecificFlags) + sizeof(DWORD);

template <class Copier>
HRESULT CSampleT<Copier>::LoadTimes(IMediaSample* pSrc, WORD wMask)
{
    const HRESULT hr = pSrc->GetTime(&m_tS, &m_tE);
    WCHAR sz1[32], sz2[32];
    if (hr == S_OK)
    {
        m_wLoaded |= wMask & (PM_START | PM_STOP);
        if (m_tE == m_tS)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"### CSampleT::Load(): GetTime(): m_tE==m_tS=%s\n", RefTime2Str(m_tS, sz1));
            m_tE = m_tS + 1;
        }
        else if (m_tS > m_tE)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): GetTime(): m_tS > m_tE,  m_tS=%s  m_tE=%s\n",
                   RefTime2Str(m_tS, sz1), RefTime2Str(m_tE, sz2));
            TRACE_ASSERT_TEXT(false, "CSampleT::Load(): GetTime(): start time > end time ");
            m_tE = m_tS + 1;
        }
    }
    else if (hr == VFW_S_NO_STOP_TIME)
        m_wLoaded |= wMask & PM_START;
    else
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL, L"### CSampleT::Load(): GetTime()=0x%X\n", hr);
    return S_OK;
}

template <class Copier>
HRESULT CSampleT<Copier>::LoadFlag(IMediaSample* pSrc, WORD wBit, HRESULT (STDMETHODCALLTYPE IMediaSample::*pfn)(),
                                   bool* pb, LPCWSTR pszCall, LPCSTR pszAssert)
{
    const HRESULT hr = (pSrc->*pfn)();
    if (hr == S_OK || hr == S_FALSE)
    {
        *pb = hr == S_OK;
        m_wLoaded |= wBit;
        return S_OK;
    }
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): %s()=0x%X\n", pszCall, hr);
    TRACE_ASSERT_TEXT(false, pszAssert);
    return FailureOf(hr);
}

template <class Copier>
HRESULT CSampleT<Copier>::LoadProperties2(IMediaSample* pSrc, WORD wMask)
{
    CComPtr<IMediaSample2> spMS2;
    if (FAILED(pSrc->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&spMS2))) || !spMS2)
        return S_OK;
    const DWORD cbData = (wMask & PM_STREAMID) ? SAMPLE_PROPS_WITH_STREAMID : SAMPLE_PROPS_WITH_TYPEFLAGS;
    AM_SAMPLE2_PROPERTIES rgProps = {};
    const HRESULT hr = spMS2->GetProperties(cbData, reinterpret_cast<BYTE*>(&rgProps));
    if (FAILED(hr) || rgProps.cbData < cbData)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): spMS2->GetProperties()=0x%X, cbData=%u, rgProps.cbData=%u\n",
               hr, cbData, rgProps.cbData);
        TRACE_ASSERT_TEXT(false, "CSampleT::Load(): spMS2->GetProperties() FAILED");
        return FailureOf(hr);
    }
    if (wMask & PM_TYPEFLAGS)
    {
        m_dwTypeSpecificFlags = rgProps.dwTypeSpecificFlags;
        m_wLoaded |= PM_TYPEFLAGS;
    }
    if (wMask & PM_STREAMID)
    {
        m_dwStreamId = rgProps.dwStreamId;
        m_wLoaded |= PM_STREAMID;
    }
    return S_OK;
}

template <class Copier>
HRESULT CSampleT<Copier>::LoadMediaType(IMediaSample* pSrc)
{
    AM_MEDIA_TYPE* pmt = nullptr;
    const HRESULT hr = pSrc->GetMediaType(&pmt);
    if (hr != S_OK)
        return S_OK;
    if (pmt == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): GetMediaType()=S_OK, pMT=NULL\n");
        TRACE_ASSERT_TEXT(false, "CSampleT::Load(): GetMediaType()=S_OK, pMT=NULL");
        return E_FAIL;
    }
    m_pmt = pmt;
    m_wLoaded |= PM_MEDIATYPE;
    return S_OK;
}

template <class Copier>
HRESULT CSampleT<Copier>::LoadBuffer(IMediaSample* pSrc, WORD wMask)
{
    m_lActual = pSrc->GetActualDataLength();
    bool bData = false;
    if (wMask & PM_DATA)
    {
        BYTE* pbBuf = nullptr;
        const HRESULT hr = pSrc->GetPointer(&pbBuf);
        if (FAILED(hr))
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): GetPointer()=0x%X\n", hr);
        else if (pbBuf == nullptr)
        {
            if (m_lActual != 0)
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): GetPointer()=S_OK, pbBuf==NULL\n");
        }
        else
        {
            const long cbBuf = pSrc->GetSize();
            if (cbBuf > 0)
            {
                m_pbBuf = pbBuf;
                m_cbBuf = cbBuf;
                m_wLoaded |= PM_DATA;
                bData = true;
            }
            else
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): GetPointer()/GetSize(), pbBuf=0x%IX, cbBuf==0\n",
                       reinterpret_cast<UINT_PTR>(pbBuf));
        }
    }
    if (!(wMask & PM_ACTLEN))
        return S_OK;
    // A negative length is no size either: refused like one above the buffer.
    if ((bData && m_lActual > m_cbBuf) || m_lActual < 0)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): GetActualDataLength()=%i, cbBuf=%i\n", m_lActual,
               m_cbBuf);
        TRACE_ASSERT_TEXT(false, "CSampleT::Load(): GetActualDataLength() > buffer size");
        return E_FAIL;
    }
    m_wLoaded |= PM_ACTLEN;
    return S_OK;
}

template <class Copier>
HRESULT CSampleT<Copier>::Load(IMediaSample* pSrc, WORD wMask)
{
    const HRESULT hr = LoadAll(pSrc, wMask);
    if (m_wLoaded != 0)
        m_bEverLoaded = true;
    return hr;
}

template <class Copier>
HRESULT CSampleT<Copier>::LoadAll(IMediaSample* pSrc, WORD wMask)
{
    Reset();
    if (!TRACE_ASSERT_TEXT(pSrc != NULL, "pSrc != NULL") || !TRACE_ASSERT_TEXT(wMask != 0, "wMask != 0"))
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    if (wMask & (PM_START | PM_STOP))
        LoadTimes(pSrc, wMask);
    if (wMask & PM_MEDIATIME)
    {
        const HRESULT hrTime = pSrc->GetMediaTime(&m_llMS, &m_llME);
        WCHAR sz1[32], sz2[32];
        if (hrTime == S_OK)
        {
            m_wLoaded |= PM_MEDIATIME;
            if (m_llMS > m_llME)
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): GetMediaTime(): m_llMS=%s > m_llME=%s\n",
                       LongLong2Str(m_llMS, sz1), LongLong2Str(m_llME, sz2));
        }
        else
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL, L"### CSampleT::Load(): GetMediaTime()=0x%X\n", hrTime);
    }
    if ((wMask & PM_SYNCPOINT) &&
        FAILED(hr = LoadFlag(pSrc, PM_SYNCPOINT, &IMediaSample::IsSyncPoint, &m_bSyncPoint, L"IsSyncPoint",
                             "CSampleT::Load(): IsSyncPoint() FAILED")))
        return hr;
    if ((wMask & PM_PREROLL) && FAILED(hr = LoadFlag(pSrc, PM_PREROLL, &IMediaSample::IsPreroll, &m_bPreroll,
                                                     L"IsPreroll", "CSampleT::Load(): IsPreroll() FAILED")))
        return hr;
    if ((wMask & PM_DISCONTINUITY) &&
        FAILED(hr = LoadFlag(pSrc, PM_DISCONTINUITY, &IMediaSample::IsDiscontinuity, &m_bDiscontinuity,
                             L"IsDiscontinuity", "CSampleT::Load(): IsDiscontinuity() FAILED")))
        return hr;
    if ((wMask & (PM_TYPEFLAGS | PM_STREAMID)) && FAILED(hr = LoadProperties2(pSrc, wMask)))
        return hr;
    if ((wMask & PM_MEDIATYPE) && FAILED(hr = LoadMediaType(pSrc)))
        return hr;
    if ((wMask & (PM_DATA | PM_ACTLEN)) && FAILED(hr = LoadBuffer(pSrc, wMask)))
        return hr;

    if (m_wLoaded == 0)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Load(): Can't load wanted (0x%x) properties\n", wMask);
        return E_FAIL;
    }
    if (wMask == PM_ALL || m_wLoaded == wMask)
        return S_OK;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL, L"CSampleT::Load(): Not all wanted properties was loaded: wanted 0x%X, loaded 0x%X\n",
           wMask, m_wLoaded);
    return S_FALSE;
}

template <class Copier>
HRESULT CSampleT<Copier>::SaveProperties2(IMediaSample* pDst, WORD m)
{
    CComPtr<IMediaSample2> spMS2;
    if (FAILED(pDst->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&spMS2))) || !spMS2)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Save(): QI( IMediaSample2 ) FAILED\n");
        TRACE_ASSERT_TEXT(false, "CSampleT::Save(): QI( IMediaSample2 ) FAILED");
        return E_NOINTERFACE;
    }
    const DWORD cbData = (m & PM_STREAMID) ? SAMPLE_PROPS_WITH_STREAMID : SAMPLE_PROPS_WITH_TYPEFLAGS;
    AM_SAMPLE2_PROPERTIES rgProps = {};
    HRESULT hr = spMS2->GetProperties(cbData, reinterpret_cast<BYTE*>(&rgProps));
    if (hr != S_OK)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Save(): spMS2->GetProperties()=0x%X\n", hr);
        TRACE_ASSERT_TEXT(false, "CSampleT::Save(): spMS2->GetProperties() FAILED");
        return FailureOf(hr);
    }
    if (m & PM_TYPEFLAGS)
        rgProps.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
    if (m & PM_STREAMID)
        rgProps.dwStreamId = m_dwStreamId;
    rgProps.cbData = cbData;
    hr = spMS2->SetProperties(cbData, reinterpret_cast<const BYTE*>(&rgProps));
    if (hr != S_OK)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Save(): spMS2->SetProperties()=0x%X\n", hr);
        TRACE_ASSERT_TEXT(false, "CSampleT::Save(): spMS2->SetProperties() FAILED");
        return FailureOf(hr);
    }
    return S_OK;
}

template <class Copier>
HRESULT CSampleT<Copier>::SaveCalls(IMediaSample* pDst, WORD m)
{
    struct CStep
    {
        WORD wBit;
        LPCWSTR pszCall;
        LPCSTR pszAssert;
    };
    static const CStep s_steps[] = {
        {PM_START, L"SetTime", "CSampleT::Save(): SetTime() FAILED"},
        {PM_MEDIATIME, L"SetMediaTime", "CSampleT::Save(): SetMediaTime() FAILED"},
        {PM_SYNCPOINT, L"SetSyncPoint", "CSampleT::Save(): SetSyncPoint() FAILED"},
        {PM_PREROLL, L"SetPreroll", "CSampleT::Save(): SetPreroll() FAILED"},
        {PM_DISCONTINUITY, L"SetDiscontinuity", "CSampleT::Save(): SetDiscontinuity() FAILED"},
        {PM_MEDIATYPE, L"SetMediaType", "CSampleT::Save(): SetMediaType() FAILED"},
    };
    for (const CStep& step : s_steps)
    {
        if (!(m & step.wBit))
            continue;
        HRESULT hr = S_OK;
        switch (step.wBit)
        {
        case PM_START: hr = pDst->SetTime(&m_tS, (m & PM_STOP) ? &m_tE : nullptr); break;
        case PM_MEDIATIME: hr = pDst->SetMediaTime(&m_llMS, &m_llME); break;
        case PM_SYNCPOINT: hr = pDst->SetSyncPoint(m_bSyncPoint); break;
        case PM_PREROLL: hr = pDst->SetPreroll(m_bPreroll); break;
        case PM_DISCONTINUITY: hr = pDst->SetDiscontinuity(m_bDiscontinuity); break;
        default: hr = pDst->SetMediaType(m_pmt); break;
        }
        if (hr != S_OK)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Save(): %s()=0x%X\n", step.pszCall, hr);
            TRACE_ASSERT_TEXT(false, step.pszAssert);
            return FailureOf(hr);
        }
    }
    return S_OK;
}

template <class Copier>
HRESULT CSampleT<Copier>::Save(IMediaSample* pDst, WORD wMask)
{
    if (!TRACE_ASSERT_TEXT(pDst != NULL, "pDst != NULL"))
        return E_INVALIDARG;
    const WORD m = static_cast<WORD>(wMask & m_wLoaded);
    if (m == 0)
    {
        if (!m_bEverLoaded)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleT::Save(): sample not loaded yet\n");
            TRACE_ASSERT_TEXT(false, "CSampleT::Save(): sample not loaded yet");
            return E_FAIL;
        }
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"CSampleT::Save(): Can't save wanted properties: wanted 0x%X, exist 0x%X\n", wMask,
               m_wLoaded);
        return S_FALSE;
    }
    HRESULT hr = S_OK;
    if ((m & (PM_TYPEFLAGS | PM_STREAMID)) && FAILED(hr = SaveProperties2(pDst, m)))
        return hr;
    if (FAILED(hr = SaveCalls(pDst, m)))
        return hr;
    if (m & (PM_DATA | PM_ACTLEN))
        return this->CopyBuffer(pDst, m_pbBuf, m_lActual, m, m_cbBuf);
    return S_OK;
}

// Interface redirectors of the pins.
#include <dshowx/DSRedirectors.h>
