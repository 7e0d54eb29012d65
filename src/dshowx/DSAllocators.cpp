// Non-template parts of the framework's allocator: property correction,
// buffer memory, sample storage, the sample's IMediaSample2 methods and the
// virtual memory block owner.
#include <dshowx/DSAllocators.h>

#include <winapi/Functions.h>

#include <climits>

namespace
{
constexpr WCHAR c_szInvalid[] = L"???";
constexpr WCHAR c_szNull[] = L"NULL";

LPCWSTR TrueFalse(bool b) { return b ? L"TRUE" : L"FALSE"; }

// A field of AM_SAMPLE2_PROPERTIES counts as given when it lies entirely
// within the first cb bytes.
#define PROPS_FIELD_GIVEN(field, cb) \
    (offsetof(AM_SAMPLE2_PROPERTIES, field) + sizeof(AM_SAMPLE2_PROPERTIES::field) <= (cb))
} // namespace

// ---- States and properties -----------------------------------------------------

LPCWSTR AllocatorStateName(LONG eState)
{
    static const LPCWSTR s_names[] = {L"AS_Create", L"AS_Init", L"AS_Prop", L"AS_Commit", L"AS_Run", L"AS_Decommit"};
    if (eState < 0 || eState >= static_cast<LONG>(ARRAYSIZE(s_names)))
        return L"AS_???";
    return s_names[eState];
}

HRESULT CorrectAllocProps(ALLOCATOR_PROPERTIES* pProps)
{
    if (!TRACE_ASSERT(pProps != nullptr))
        return E_POINTER;
    ALLOCATOR_PROPERTIES props = *pProps;
    if (props.cBuffers <= 0 || props.cbBuffer <= 0 || props.cbAlign < 0 || props.cbPrefix < 0)
    {
        TRACE_ASSERT_TEXT(false, "CorrectAllocProps(): Invalid numbers of buffers or buffer size");
        return VFW_E_SIZENOTSET;
    }
    if (props.cbAlign > 0x10000)
    {
        TRACE_ASSERT_TEXT(false, "CorrectAllocProps(): very big alignment > 64KB");
        return VFW_E_BADALIGN;
    }
    if (props.cbAlign == 0)
    {
        props.cbAlign = 1;
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"### CorrectAllocProps(): alignment changed from 0 to 1\n");
    }
    if ((props.cbAlign & (props.cbAlign - 1)) != 0)
    {
        LONG cbAlign = 1;
        while (cbAlign < props.cbAlign)
            cbAlign *= 2;
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"### CorrectAllocProps(): Alignment changed from 0x%X to 0x%X\n",
               static_cast<unsigned>(props.cbAlign), static_cast<unsigned>(cbAlign));
        props.cbAlign = cbAlign;
    }
    // In 64 bits: prefix plus buffer near 2 GB would wrap in 32 bits and
    // give a size that the buffers do not have.
    const LONGLONG llUnits = (static_cast<LONGLONG>(props.cbBuffer) + props.cbPrefix + props.cbAlign - 1) /
                             props.cbAlign * props.cbAlign;
    const LONGLONG llBuffer = llUnits - props.cbPrefix;
    if (llBuffer > LONG_MAX)
    {
        TRACE_ASSERT_TEXT(false, "CorrectAllocProps(): Invalid numbers of buffers or buffer size");
        return VFW_E_SIZENOTSET;
    }
    if (llBuffer != props.cbBuffer)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE,
               L"### CorrectAllocProps(): input props = { %i, %i, %i, %i }, corrected size of buffer = %i\n",
               props.cBuffers, props.cbBuffer, props.cbAlign, props.cbPrefix, static_cast<LONG>(llBuffer));
        props.cbBuffer = static_cast<LONG>(llBuffer);
    }
    *pProps = props;
    return S_OK;
}

DWORD SystemAllocationGranularity()
{
    static DWORD s_dwGranularity = 0;
    if (s_dwGranularity == 0)
    {
        SYSTEM_INFO si = {};
        GetSystemInfo(&si);
        s_dwGranularity = si.dwAllocationGranularity != 0 ? si.dwAllocationGranularity : 0x10000;
    }
    return s_dwGranularity;
}

HRESULT CreateMemoryAllocator(IMemAllocator** ppAllocator, IUnknown* pOwner)
{
    if (ppAllocator == nullptr)
        return E_POINTER;
    *ppAllocator = nullptr;
    CComObject<CMemoryAllocator>* pObject = nullptr;
    HRESULT hr = CComObject<CMemoryAllocator>::CreateInstance(&pObject);
    if (FAILED(hr))
        return hr;
    // The creation reference keeps the object alive until the caller has its own.
    pObject->AddRef();
    hr = pObject->QueryInterface(__uuidof(IMemAllocator), reinterpret_cast<void**>(ppAllocator));
    if (SUCCEEDED(hr) && pOwner != nullptr)
    {
        CComPtr<IMemAllocOwner> spOwner;
        if (SUCCEEDED(pObject->QueryInterface(__uuidof(IMemAllocOwner), reinterpret_cast<void**>(&spOwner.p))))
            spOwner->SetOwner(pOwner);
    }
    pObject->Release();
    return hr;
}

// ---- Buffer memory and sample storage ----------------------------------------------

HRESULT CBufferOnVirtualAlloc::Alloc(SIZE_T cb)
{
    Free();
    if (cb == 0)
        return E_INVALIDARG;
    return m_block.Alloc(cb, FALSE) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CSampleArray::Rebuild(LONG n)
{
    TRACE_ASSERT_TEXT(m_nFree == m_nAll, "m_nFree == m_nAll");
    Release();
    if (n <= 0)
        return E_INVALIDARG;
    m_ppArr = new (std::nothrow) void*[n];
    if (m_ppArr == nullptr)
        return E_OUTOFMEMORY;
    m_nCapacity = n;
    for (; m_nAll < n; ++m_nAll)
    {
        m_ppArr[m_nAll] = ::operator new(m_cbBlock, std::nothrow);
        if (m_ppArr[m_nAll] == nullptr)
        {
            m_nFree = m_nAll;
            Release();
            return E_OUTOFMEMORY;
        }
    }
    m_nFree = m_nAll;
    return S_OK;
}

void CSampleArray::Release()
{
    for (LONG i = 0; i < m_nAll; ++i)
        ::operator delete(m_ppArr[i]);
    delete[] m_ppArr;
    m_ppArr = nullptr;
    m_nCapacity = 0;
    m_nAll = 0;
    m_nFree = 0;
}

namespace
{
// A block is a few dozen words, zeroed once per sample handed out: stores in
// place cost less than the call into the runtime's memset, which the
// compiler would otherwise turn this loop back into.
__attribute__((optimize("no-tree-loop-distribute-patterns"))) void ZeroBlock(void* pBlock, size_t cb)
{
    size_t* pw = static_cast<size_t*>(pBlock);
    const size_t cWords = cb / sizeof(size_t);
    for (size_t i = 0; i < cWords; ++i)
        pw[i] = 0;
    BYTE* pb = reinterpret_cast<BYTE*>(pw + cWords);
    for (size_t i = 0; i < cb % sizeof(size_t); ++i)
        pb[i] = 0;
}
} // namespace

void* CSampleArray::Get()
{
    void* pBlock = nullptr;
    if (m_nFree > 0)
    {
        pBlock = m_ppArr[--m_nFree];
    }
    else
    {
        if (m_nAll == m_nCapacity)
        {
            // Every block is out: the pointers move to an array twice as large.
            const LONG nCapacity = m_nCapacity > 0 ? m_nCapacity * 2 : 1;
            void** ppArr = new (std::nothrow) void*[nCapacity];
            if (ppArr == nullptr)
                return nullptr;
            for (LONG i = 0; i < m_nAll; ++i)
                ppArr[i] = m_ppArr[i];
            delete[] m_ppArr;
            m_ppArr = ppArr;
            m_nCapacity = nCapacity;
        }
        pBlock = ::operator new(m_cbBlock, std::nothrow);
        if (pBlock == nullptr)
            return nullptr;
        m_ppArr[m_nAll++] = pBlock;
    }
    ZeroBlock(pBlock, m_cbBlock);
    return pBlock;
}

bool CSampleArray::Return(void* pBlock)
{
    // Blocks out occupy indices m_nFree and above; the returned one swaps
    // to the border of the free range.
    for (LONG i = m_nFree; i < m_nAll; ++i)
    {
        if (m_ppArr[i] != pBlock)
            continue;
        m_ppArr[i] = m_ppArr[m_nFree];
        m_ppArr[m_nFree++] = pBlock;
        return true;
    }
    TRACE_ASSERT_TEXT(false, "CSampleArray::Return(): block is not out");
    return false;
}

// ---- Sample ----------------------------------------------------------------------------

void IMediaSample2Wrapper::FreeMediaType()
{
    if (m_pMediaType != nullptr)
        MTDelete(m_pMediaType);
    m_pMediaType = nullptr;
    m_dwFlags &= ~SAMPLE_TYPECHANGED;
}

void IMediaSample2Wrapper::TraceFlag(LPCWSTR pszFormat, DWORD dwLevel, bool bValue) const
{
    TraceW(TRACE_CAT_INTERFACE, dwLevel, pszFormat, GetDebugName(), TrueFalse(bValue));
}

STDMETHODIMP IMediaSample2Wrapper::GetPointer(BYTE** ppBuffer)
{
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::GetPointer(): pBuffer=0x%X\n", GetDebugName(),
           TracePtr32(m_pBuffer));
    if (ppBuffer == nullptr)
        return E_POINTER;
    *ppBuffer = m_pBuffer;
    if (!TRACE_ASSERT_TEXT(m_pBuffer != nullptr, "m_pBuffer != NULL"))
        return E_FAIL;
    return S_OK;
}

STDMETHODIMP_(LONG) IMediaSample2Wrapper::GetSize()
{
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::GetSize(): cbBuffer=%u (0x%X)\n", GetDebugName(),
           static_cast<unsigned>(m_cbBuffer), static_cast<unsigned>(m_cbBuffer));
    return m_cbBuffer;
}

STDMETHODIMP IMediaSample2Wrapper::GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd)
{
    const bool bStart = (m_dwFlags & SAMPLE_TIMEVALID) != 0;
    const bool bStop = (m_dwFlags & SAMPLE_STOPVALID) != 0;
    WCHAR szStart[32];
    WCHAR szEnd[32];
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::GetTime(), tS=%s  tE=%s\n", GetDebugName(),
           bStart ? RefTime2Str(m_tStart, szStart) : c_szInvalid,
           bStop ? RefTime2Str(m_tStop, szEnd) : (bStart ? RefTime2Str(m_tStart + 1, szEnd) : c_szInvalid));
    if (pTimeStart == nullptr || pTimeEnd == nullptr)
        return E_INVALIDARG;
    if (bStop)
    {
        *pTimeStart = m_tStart;
        *pTimeEnd = m_tStop;
        return S_OK;
    }
    if (bStart)
    {
        *pTimeStart = m_tStart;
        *pTimeEnd = m_tStart + 1;
        return VFW_S_NO_STOP_TIME;
    }
    return VFW_E_SAMPLE_TIME_NOT_SET;
}

STDMETHODIMP IMediaSample2Wrapper::SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd)
{
    WCHAR szStart[32];
    WCHAR szEnd[32];
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::SetTime( tS=%s  tE=%s )\n", GetDebugName(),
           pTimeStart != nullptr ? RefTime2Str(*pTimeStart, szStart) : c_szNull,
           pTimeEnd != nullptr ? RefTime2Str(*pTimeEnd, szEnd) : c_szNull);
    if (pTimeStart == nullptr)
    {
        TRACE_ASSERT_TEXT(pTimeEnd == nullptr, "pTimeEnd == NULL");
        m_dwFlags &= ~(SAMPLE_TIMEVALID | SAMPLE_STOPVALID);
        m_tStart = 0;
        m_tStop = 0;
        return S_OK;
    }
    if (pTimeEnd != nullptr && *pTimeEnd < *pTimeStart)
    {
        // The texts are built here: the detail trace above is dropped before
        // its arguments are evaluated.
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s IMediaSample::SetTime( tS=%s, tE=%s )\n",
               GetDebugName(), RefTime2Str(*pTimeStart, szStart), RefTime2Str(*pTimeEnd, szEnd));
        return E_INVALIDARG;
    }
    if (pTimeEnd != nullptr)
    {
        m_tStop = *pTimeEnd;
        m_dwFlags |= SAMPLE_STOPVALID;
    }
    else
    {
        m_tStop = 0;
        m_dwFlags &= ~SAMPLE_STOPVALID;
    }
    m_tStart = *pTimeStart;
    m_dwFlags |= SAMPLE_TIMEVALID;
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::IsSyncPoint()
{
    const bool b = (m_dwFlags & SAMPLE_SYNCPOINT) != 0;
    TraceFlag(L"%s IMediaSample::IsSyncPoint(): %s\n", TRACE_LEVEL_VERBOSE, b);
    return b ? S_OK : S_FALSE;
}

STDMETHODIMP IMediaSample2Wrapper::SetSyncPoint(BOOL bIsSyncPoint)
{
    TraceFlag(L"%s IMediaSample::SetSyncPoint( %s )\n", TRACE_LEVEL_DETAIL, bIsSyncPoint != FALSE);
    SetFlag(SAMPLE_SYNCPOINT, bIsSyncPoint);
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::IsPreroll()
{
    const bool b = (m_dwFlags & SAMPLE_PREROLL) != 0;
    TraceFlag(L"%s IMediaSample::IsPreroll(): %s\n", TRACE_LEVEL_VERBOSE, b);
    return b ? S_OK : S_FALSE;
}

STDMETHODIMP IMediaSample2Wrapper::SetPreroll(BOOL bIsPreroll)
{
    TraceFlag(L"%s IMediaSample::SetPreroll( %s )\n", TRACE_LEVEL_DETAIL, bIsPreroll != FALSE);
    SetFlag(SAMPLE_PREROLL, bIsPreroll);
    return S_OK;
}

STDMETHODIMP_(LONG) IMediaSample2Wrapper::GetActualDataLength()
{
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::GetActualDataLength(): cbActual=%u\n",
           GetDebugName(), static_cast<unsigned>(m_lActual));
    return m_lActual;
}

STDMETHODIMP IMediaSample2Wrapper::SetActualDataLength(LONG lActual)
{
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMediaSample::SetActualDataLength( %u )\n", GetDebugName(),
           static_cast<unsigned>(lActual));
    if (lActual > m_cbBuffer)
    {
        TRACE_ASSERT_TEXT(false, "Actual sample's data length greater then buffer size");
        return VFW_E_BUFFER_OVERFLOW;
    }
    // A negative length would reach readers as a huge unsigned size.
    if (lActual < 0)
        return VFW_E_BUFFER_OVERFLOW;
    m_lActual = lActual;
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::GetMediaType(AM_MEDIA_TYPE** ppMediaType)
{
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::GetMediaType()\n", GetDebugName());
    if (ppMediaType == nullptr)
        return E_POINTER;
    *ppMediaType = nullptr;
    if ((m_dwFlags & SAMPLE_TYPECHANGED) == 0 || m_pMediaType == nullptr)
        return S_FALSE;
    *ppMediaType = MTDup(m_pMediaType);
    return *ppMediaType != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP IMediaSample2Wrapper::SetMediaType(AM_MEDIA_TYPE* pMediaType)
{
    if (pMediaType != nullptr)
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSample::SetMediaType()\n", GetDebugName());
        Debug_MediaType(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, pMediaType, nullptr);
    }
    else if (m_pMediaType != nullptr)
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMediaSample::SetMediaType( NULL )\n", GetDebugName());
    }
    FreeMediaType();
    if (pMediaType == nullptr)
        return S_OK;
    m_pMediaType = MTDup(pMediaType);
    if (m_pMediaType == nullptr)
        return E_OUTOFMEMORY;
    m_dwFlags |= SAMPLE_TYPECHANGED;
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::IsDiscontinuity()
{
    const bool b = (m_dwFlags & SAMPLE_DISCONTINUITY) != 0;
    TraceFlag(L"%s IMediaSample::IsDiscontinuity(): current is %s\n", TRACE_LEVEL_VERBOSE, b);
    return b ? S_OK : S_FALSE;
}

STDMETHODIMP IMediaSample2Wrapper::SetDiscontinuity(BOOL bDiscontinuity)
{
    TraceFlag(L"%s IMediaSample::SetDiscontinuity( %s )\n", TRACE_LEVEL_DETAIL, bDiscontinuity != FALSE);
    SetFlag(SAMPLE_DISCONTINUITY, bDiscontinuity);
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd)
{
    const bool bValid = (m_dwFlags & SAMPLE_MEDIATIMEVALID) != 0;
    WCHAR szStart[32];
    WCHAR szEnd[32];
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::GetMediaTime(): mS=%s, mE=%s\n",
           GetDebugName(), bValid ? LongLong2Str(m_llMediaStart, szStart) : c_szInvalid,
           bValid ? LongLong2Str(m_llMediaEnd, szEnd) : c_szInvalid);
    if (pTimeStart == nullptr || pTimeEnd == nullptr)
        return E_INVALIDARG;
    if (!bValid)
    {
        *pTimeStart = 0;
        *pTimeEnd = 0;
        return VFW_E_MEDIA_TIME_NOT_SET;
    }
    *pTimeStart = m_llMediaStart;
    *pTimeEnd = m_llMediaEnd;
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd)
{
    WCHAR szStart[32];
    WCHAR szEnd[32];
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample::SetMediaTime( mS=%s, mE=%s )\n",
           GetDebugName(), pTimeStart != nullptr ? LongLong2Str(*pTimeStart, szStart) : c_szNull,
           pTimeEnd != nullptr ? LongLong2Str(*pTimeEnd, szEnd) : c_szNull);
    if (pTimeStart == nullptr)
    {
        TRACE_ASSERT_TEXT(pTimeEnd == nullptr, "pTimeEnd == NULL");
        m_dwFlags &= ~SAMPLE_MEDIATIMEVALID;
        m_llMediaStart = 0;
        m_llMediaEnd = 0;
        return S_OK;
    }
    if (pTimeEnd == nullptr)
        return E_INVALIDARG;
    if (*pTimeEnd == *pTimeStart)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"### %s SetMediaTime(): *pTimeEnd == *pTimeStart = %s\n",
               GetDebugName(), LongLong2Str(*pTimeStart, szStart));
    else if (*pTimeEnd < *pTimeStart)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s SetMediaTime(): *pTimeEnd=%s < *pTimeStart=%s\n",
               GetDebugName(), LongLong2Str(*pTimeEnd, szEnd), LongLong2Str(*pTimeStart, szStart));
    m_llMediaStart = *pTimeStart;
    m_llMediaEnd = *pTimeEnd;
    m_dwFlags |= SAMPLE_MEDIATIMEVALID;
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::GetProperties(DWORD cbProperties, BYTE* pbProperties)
{
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample2::GetProperties( cbProps=%u )\n",
           GetDebugName(), static_cast<unsigned>(cbProperties));
    if (cbProperties == 0)
        return S_OK;
    if (pbProperties == nullptr)
        return E_POINTER;
    AM_SAMPLE2_PROPERTIES props = {};
    props.cbData = cbProperties < sizeof(props) ? cbProperties : static_cast<DWORD>(sizeof(props));
    props.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
    props.dwSampleFlags = m_dwFlags & ~SAMPLE_MEDIATIMEVALID;
    props.lActual = m_lActual;
    props.tStart = m_tStart;
    props.tStop = m_tStop;
    props.dwStreamId = m_dwStreamId;
    props.pMediaType = (m_dwFlags & SAMPLE_TYPECHANGED) != 0 ? m_pMediaType : nullptr;
    props.pbBuffer = m_pBuffer;
    props.cbBuffer = m_cbBuffer;
    memcpy(pbProperties, &props, props.cbData);
    return S_OK;
}

STDMETHODIMP IMediaSample2Wrapper::SetProperties(DWORD cbProperties, const BYTE* pbProperties)
{
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"%s IMediaSample2::SetProperties( cbProps=%u, pbProps=0x%X )\n",
           GetDebugName(), static_cast<unsigned>(cbProperties), TracePtr32(pbProperties));
    if (cbProperties < 8)
        return S_OK;
    if (pbProperties == nullptr)
        return E_POINTER;
    CPropsIn in;
    HRESULT hr = ReadProperties(cbProperties, pbProperties, &in);
    if (FAILED(hr))
        return hr;
    hr = CheckProperties(in);
    if (FAILED(hr))
        return hr;
    DWORD dwNewFlags = in.bFlags ? in.props.dwSampleFlags : m_dwFlags;
    hr = AdoptPropsMediaType(in, &dwNewFlags);
    if (FAILED(hr))
    {
        m_dwFlags &= ~SAMPLE_TYPECHANGED;
        return hr;
    }
    StoreProperties(in, dwNewFlags);
    TraceProperties(in);
    return S_OK;
}

// Only the first bytes the record's own size names are read.
HRESULT IMediaSample2Wrapper::ReadProperties(DWORD cbProperties, const BYTE* pbProperties, CPropsIn* pIn)
{
    DWORD cbData = 0;
    memcpy(&cbData, pbProperties, sizeof(cbData));
    const size_t n = cbProperties < cbData ? cbProperties : cbData;
    if (n > sizeof(AM_SAMPLE2_PROPERTIES))
        return E_INVALIDARG;
    memcpy(&pIn->props, pbProperties, n);
    pIn->bFlags = PROPS_FIELD_GIVEN(dwSampleFlags, n);
    pIn->bActual = PROPS_FIELD_GIVEN(lActual, n);
    pIn->bStart = PROPS_FIELD_GIVEN(tStart, n);
    pIn->bStop = PROPS_FIELD_GIVEN(tStop, n);
    pIn->bStreamId = PROPS_FIELD_GIVEN(dwStreamId, n);
    pIn->bType = PROPS_FIELD_GIVEN(pMediaType, n);
    pIn->bBuffer = PROPS_FIELD_GIVEN(pbBuffer, n);
    pIn->bSize = PROPS_FIELD_GIVEN(cbBuffer, n);
    pIn->bTypeFlags = PROPS_FIELD_GIVEN(dwTypeSpecificFlags, n);
    return S_OK;
}

HRESULT IMediaSample2Wrapper::CheckProperties(const CPropsIn& in) const
{
    const AM_SAMPLE2_PROPERTIES& p = in.props;
    if (in.bFlags && (p.dwSampleFlags & ~static_cast<DWORD>(SAMPLE_SETTABLE_FLAGS)) != 0)
        return E_INVALIDARG;
    if (in.bFlags && (p.dwSampleFlags & SAMPLE_TIMEVALID) != 0 && !in.bStop && (m_dwFlags & SAMPLE_STOPVALID) == 0)
        return E_INVALIDARG;
    if (in.bBuffer && p.pbBuffer != nullptr && p.pbBuffer != m_pBuffer)
        return E_INVALIDARG;
    if (in.bSize && p.cbBuffer != 0 && p.cbBuffer != m_cbBuffer)
        return E_INVALIDARG;
    if (in.bSize && in.bActual && p.lActual > p.cbBuffer)
        return E_INVALIDARG;
    // Whatever the record says about the buffer, the length must fit the
    // buffer the sample really has.
    if (in.bActual && (p.lActual < 0 || p.lActual > m_cbBuffer))
        return E_INVALIDARG;
    return S_OK;
}

// A media type is taken only with the type-changed flag; the flag then
// follows whether the sample holds a type.
HRESULT IMediaSample2Wrapper::AdoptPropsMediaType(const CPropsIn& in, DWORD* pdwNewFlags)
{
    DWORD& dwNewFlags = *pdwNewFlags;
    const AM_MEDIA_TYPE* pmt = in.props.pMediaType;
    HRESULT hr = S_OK;
    if (!in.bType)
    {
        if ((dwNewFlags & SAMPLE_TYPECHANGED) != 0 && m_pMediaType == nullptr)
            dwNewFlags &= ~SAMPLE_TYPECHANGED;
    }
    else if ((dwNewFlags & SAMPLE_TYPECHANGED) == 0)
    {
        if (pmt != nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE,
                   L"### %s IMediaSample2::SetProperties(): mediatype without AM_SAMPLE_TYPECHANGED flag is set - ignore it\n",
                   GetDebugName());
            Debug_MediaType(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, pmt, nullptr);
        }
    }
    else
    {
        FreeMediaType();
        if (pmt == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### %s IMediaSample2::SetProperties(): AM_SAMPLE_TYPECHANGED flag is set for pProps->pMediaType = NULL, clear flag\n",
                   GetDebugName());
            dwNewFlags &= ~SAMPLE_TYPECHANGED;
        }
        else
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s IMediaSample2::SetProperties(): received new media type\n",
                   GetDebugName());
            Debug_MediaType(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, pmt, nullptr);
            m_pMediaType = MTDup(pmt);
            if (m_pMediaType == nullptr)
            {
                dwNewFlags &= ~SAMPLE_TYPECHANGED;
                hr = E_OUTOFMEMORY;
            }
        }
    }
    if (m_pMediaType != nullptr)
        dwNewFlags |= SAMPLE_TYPECHANGED;
    else
        dwNewFlags &= ~SAMPLE_TYPECHANGED;
    return hr;
}

// The media time's flag stays the sample's own: the record cannot set it.
void IMediaSample2Wrapper::StoreProperties(const CPropsIn& in, DWORD dwNewFlags)
{
    if (in.bTypeFlags)
        m_dwTypeSpecificFlags = in.props.dwTypeSpecificFlags;
    m_dwFlags = (m_dwFlags & SAMPLE_MEDIATIMEVALID) | (dwNewFlags & ~static_cast<DWORD>(SAMPLE_MEDIATIMEVALID));
    if (in.bActual)
        m_lActual = in.props.lActual;
    if (in.bStart)
        m_tStart = in.props.tStart;
    if (in.bStop)
        m_tStop = in.props.tStop;
    if (in.bStreamId)
        m_dwStreamId = in.props.dwStreamId;
}

void IMediaSample2Wrapper::TraceProperties(const CPropsIn& in) const
{
    WCHAR szText[256] = L"";
    WCHAR szTime[32];
    if (in.bTypeFlags)
        StrAppend(szText, ARRAYSIZE(szText), L"TypeFlags=0x%X", static_cast<unsigned>(m_dwTypeSpecificFlags));
    if (in.bFlags)
        StrAppend(szText, ARRAYSIZE(szText), L", SampleFlags=0x%X", static_cast<unsigned>(m_dwFlags));
    if (in.bActual)
        StrAppend(szText, ARRAYSIZE(szText), L", cbActual=0x%X", static_cast<unsigned>(m_lActual));
    if (in.bStart)
        StrAppend(szText, ARRAYSIZE(szText), L", tS=%s", RefTime2Str(m_tStart, szTime));
    if (in.bStop)
        StrAppend(szText, ARRAYSIZE(szText), L", tE=%s", RefTime2Str(m_tStop, szTime));
    if (in.bStreamId)
        StrAppend(szText, ARRAYSIZE(szText), L", StreamId=0x%X", static_cast<unsigned>(m_dwStreamId));
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, L"Properties: %s\n", szText);
    if (in.bType && m_pMediaType != nullptr)
        Debug_MediaType(TRACE_CAT_INTERFACE, TRACE_LEVEL_VERBOSE, m_pMediaType, nullptr);
}

// ---- Virtual memory block --------------------------------------------------------------

BOOL CVAlloc::Alloc(SIZE_T cb, BOOL bRound)
{
    const SIZE_T cbGranularity = SystemAllocationGranularity();
    if (bRound && m_pMemory != nullptr)
    {
        const SIZE_T cbCapacity = (m_cbSize + cbGranularity - 1) / cbGranularity * cbGranularity;
        if (cbCapacity >= cb)
        {
            m_cbSize = cb;
            return TRUE;
        }
    }
    Free();
    SIZE_T cbAlloc = cb;
    if (bRound)
    {
        // Near the top of the address space the rounding would wrap to 0.
        if (cbAlloc > static_cast<SIZE_T>(-1) - cbGranularity)
            cbAlloc = static_cast<SIZE_T>(-1);
        else
            cbAlloc = (cbAlloc + cbGranularity - 1) / cbGranularity * cbGranularity;
    }
    if (cbAlloc == 0)
        cbAlloc = 1;
    m_pMemory = VirtualAlloc(nullptr, cbAlloc, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (m_pMemory == nullptr)
    {
        if (m_bTrace)
        {
            MEMORYSTATUSEX ms = {};
            ms.dwLength = sizeof(ms);
            GlobalMemoryStatusEx(&ms);
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### CVAlloc::Alloc( %u ): VirtualAlloc() FAILED. In use %u%% memory, available phys %u from %u MB, virt %u from %u MB\n",
                   static_cast<unsigned>(cb), static_cast<unsigned>(ms.dwMemoryLoad),
                   static_cast<unsigned>(ms.ullAvailPhys / 1048576), static_cast<unsigned>(ms.ullTotalPhys / 1048576),
                   static_cast<unsigned>(ms.ullAvailVirtual / 1048576),
                   static_cast<unsigned>(ms.ullTotalVirtual / 1048576));
        }
        return FALSE;
    }
    m_cbSize = cbAlloc;
    if (m_bTrace)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"CVAlloc::Alloc( %u ): pMemory=%p\n", static_cast<unsigned>(cb),
               m_pMemory);
    return TRUE;
}

void CVAlloc::Free()
{
    if (m_pMemory == nullptr)
        return;
    if (m_bTrace)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"CVAlloc::Free(): pMemory=%p\n", m_pMemory);
    VirtualFree(m_pMemory, 0, MEM_RELEASE);
    m_pMemory = nullptr;
    m_cbSize = 0;
}
