// Test peers: see TestPeers.h.
#include "support/TestPeers.h"

#include <mmreg.h>

#include <algorithm>
#include <cstdint>

#include <dshowx/DSTraceSample.h>

const CLSID CTestSink::CLSID_TestSink = {0x6c1e5a10, 0x4b2d, 0x4f51, {0x9a, 0x3e, 0x21, 0x7d, 0x0b, 0x58, 0xc4, 0x01}};
const CLSID CTestSource::CLSID_TestSource = {
    0x6c1e5a11, 0x4b2d, 0x4f51, {0x9a, 0x3e, 0x21, 0x7d, 0x0b, 0x58, 0xc4, 0x01}};

namespace
{
typedef CComObjectRootMT::ObjectLock CFilterLock;

bool IsComplete(const AM_MEDIA_TYPE* pmt)
{
    return pmt->majortype != GUID_NULL && pmt->subtype != GUID_NULL && pmt->formattype != GUID_NULL;
}

// GUID_NULL fields of the pattern match anything; a pattern with a format
// block wants the same block.
bool MatchesPattern(const AM_MEDIA_TYPE& pattern, const AM_MEDIA_TYPE* pmt)
{
    if (pattern.majortype != GUID_NULL && pattern.majortype != pmt->majortype)
        return false;
    if (pattern.subtype != GUID_NULL && pattern.subtype != pmt->subtype)
        return false;
    if (pattern.formattype != GUID_NULL && pattern.formattype != pmt->formattype)
        return false;
    if (pattern.cbFormat == 0)
        return true;
    return pattern.cbFormat == pmt->cbFormat && pmt->pbFormat != nullptr &&
           memcmp(pattern.pbFormat, pmt->pbFormat, pmt->cbFormat) == 0;
}

template <class T>
CComPtr<T> CreateObject()
{
    CComObject<T>* p = nullptr;
    if (FAILED(CComObject<T>::CreateInstance(&p)))
        return nullptr;
    return CComPtr<T>(p);
}

// An out-parameter answer: E_POINTER for a null pointer, else S_OK.
template <class T, class TValue>
HRESULT PutOut(T* p, const TValue& value)
{
    if (p == nullptr)
        return E_POINTER;
    *p = value;
    return S_OK;
}

// A broken neighbour's fault: a write through a pointer the compiler cannot
// see is bad.
void RaiseAccessViolation()
{
    volatile uintptr_t addr = 0x10;
    *reinterpret_cast<volatile int*>(addr) = 1;
}

// ---------------------------------------------------------------------------
// Enumerator over a copy of a vector; TItems says how an item goes out.
template <class TItems>
class CVectorEnum : public CComObjectRootMT, public TItems::Enum
{
public:
    typedef typename TItems::Enum Enum;
    typedef typename TItems::Item Item;
    typedef typename TItems::Out Out;

    BEGIN_COM_MAP(CVectorEnum)
    COM_INTERFACE_ENTRY(Enum)
    END_COM_MAP()

    static HRESULT Make(const std::vector<Item>& items, size_t nPos, Enum** ppEnum)
    {
        if (ppEnum == nullptr)
            return E_POINTER;
        *ppEnum = nullptr;
        CComPtr<CVectorEnum> sp = CreateObject<CVectorEnum>();
        if (!sp)
            return E_OUTOFMEMORY;
        sp->m_items = items;
        sp->m_nPos = nPos;
        return sp->QueryInterface(__uuidof(Enum), reinterpret_cast<void**>(ppEnum));
    }

    STDMETHODIMP Next(ULONG c, Out* pp, ULONG* pnFetched) override
    {
        if (pp == nullptr || (c > 1 && pnFetched == nullptr))
            return E_POINTER;
        ULONG n = 0;
        for (; n < c && m_nPos < m_items.size(); ++n, ++m_nPos)
            TItems::Copy(m_items[m_nPos], &pp[n]);
        if (pnFetched)
            *pnFetched = n;
        return n == c ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG c) override
    {
        m_nPos = std::min<size_t>(m_items.size(), m_nPos + c);
        return m_nPos < m_items.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override { return m_nPos = 0, S_OK; }
    STDMETHODIMP Clone(Enum** pp) override { return Make(m_items, m_nPos, pp); }

private:
    std::vector<Item> m_items;
    size_t m_nPos = 0;
};

struct CPinItems
{
    typedef IEnumPins Enum;
    typedef CComPtr<IPin> Item;
    typedef IPin* Out;
    static void Copy(const Item& spPin, IPin** ppPin) { spPin.CopyTo(ppPin); }
};

struct CTypeItems
{
    typedef IEnumMediaTypes Enum;
    typedef CMType Item;
    typedef AM_MEDIA_TYPE* Out;
    static void Copy(const CMType& mt, AM_MEDIA_TYPE** ppmt) { *ppmt = MTDup(&mt); }
};

HRESULT MakeTypeEnum(const std::vector<CMType>& types, IEnumMediaTypes** ppEnum)
{
    return CVectorEnum<CTypeItems>::Make(types, 0, ppEnum);
}
} // namespace

// ---------------------------------------------------------------------------
// CTestAllocator

CComPtr<CTestAllocator> CTestAllocator::Create() { return CreateObject<CTestAllocator>(); }

HRESULT CTestAllocator::FinalConstruct()
{
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(&m_spInner));
}

STDMETHODIMP CTestAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual)
{
    if (FAILED(m_hrSetProperties))
        return m_hrSetProperties;
    const HRESULT hr = m_spInner->SetProperties(pRequest, pActual);
    if (SUCCEEDED(hr) && pActual != nullptr && m_cbReportedAlign != 0)
        pActual->cbAlign = m_cbReportedAlign;
    return hr;
}

STDMETHODIMP CTestAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps)
{
    if (FAILED(m_hrGetProperties))
        return m_hrGetProperties;
    const HRESULT hr = m_spInner->GetProperties(pProps);
    if (SUCCEEDED(hr) && m_cbReportedAlign != 0)
        pProps->cbAlign = m_cbReportedAlign;
    return hr;
}

STDMETHODIMP CTestAllocator::Commit()
{
    InterlockedIncrement(&m_nCommit);
    if (m_hrCommit != S_OK)
        return m_hrCommit;
    const HRESULT hr = m_spInner->Commit();
    if (SUCCEEDED(hr))
        m_bCommitted = true;
    return hr;
}

STDMETHODIMP CTestAllocator::Decommit()
{
    InterlockedIncrement(&m_nDecommit);
    if (m_hrDecommit != S_OK)
        return m_hrDecommit;
    const HRESULT hr = m_spInner->Decommit();
    if (SUCCEEDED(hr))
        m_bCommitted = false;
    return hr;
}

void CTestAllocator::SetNextBufferType(const AM_MEDIA_TYPE& mt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mtNext = mt;
    m_bTypePending = true;
    m_bClear = true;
}

STDMETHODIMP CTestAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd,
                                       DWORD dwFlags)
{
    const HRESULT hr = m_spInner->GetBuffer(ppBuffer, pStart, pEnd, dwFlags);
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_mutex);
    BYTE* pb = nullptr;
    if (m_bClear && SUCCEEDED((*ppBuffer)->GetPointer(&pb)))
        memset(pb, 0, (*ppBuffer)->GetSize());
    if (m_bTypePending)
        (*ppBuffer)->SetMediaType(&m_mtNext);
    m_bTypePending = false;
    return hr;
}

STDMETHODIMP CTestAllocator::ReleaseBuffer(IMediaSample* pBuffer) { return m_spInner->ReleaseBuffer(pBuffer); }

// ---------------------------------------------------------------------------
// CTestPeerFilter

STDMETHODIMP CTestPeerFilter::GetClassID(CLSID* pClsid)
{
    return PutOut(pClsid, m_clsidPosed != GUID_NULL ? m_clsidPosed : ClassId());
}

STDMETHODIMP CTestPeerFilter::Stop()
{
    CFilterLock lock(this);
    if (m_eState == State_Stopped)
        return S_OK;
    const HRESULT hr = OnStateChange(m_eState, State_Stopped);
    if (FAILED(hr))
        return hr;
    m_eState = State_Stopped;
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::Pause()
{
    CFilterLock lock(this);
    if (m_eState == State_Paused)
        return S_OK;
    const HRESULT hr = OnStateChange(m_eState, State_Paused);
    if (FAILED(hr))
        return hr;
    m_eState = State_Paused;
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::Run(REFERENCE_TIME tStart)
{
    CFilterLock lock(this);
    if (m_eState == State_Running)
        return S_OK;
    if (m_eState == State_Stopped)
    {
        const HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    m_tStart = tStart;
    const HRESULT hr = OnStateChange(State_Paused, State_Running);
    if (FAILED(hr))
        return hr;
    m_eState = State_Running;
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::GetState(DWORD, FILTER_STATE* pState) { return PutOut(pState, m_eState); }

STDMETHODIMP CTestPeerFilter::SetSyncSource(IReferenceClock* pClock)
{
    CFilterLock lock(this);
    m_spClock = pClock;
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::GetSyncSource(IReferenceClock** ppClock)
{
    if (ppClock == nullptr)
        return E_POINTER;
    CFilterLock lock(this);
    *ppClock = nullptr;
    m_spClock.CopyTo(ppClock);
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::EnumPins(IEnumPins** ppEnum)
{
    return CVectorEnum<CPinItems>::Make({GetPin()}, 0, ppEnum);
}

STDMETHODIMP CTestPeerFilter::FindPin(LPCWSTR pszId, IPin** ppPin)
{
    if (pszId == nullptr || ppPin == nullptr)
        return E_POINTER;
    *ppPin = nullptr;
    LPWSTR pszPinId = nullptr;
    if (FAILED(GetPin()->QueryId(&pszPinId)))
        return E_OUTOFMEMORY;
    const bool bMatch = wcscmp(pszPinId, pszId) == 0;
    CoTaskMemFree(pszPinId);
    if (!bMatch)
        return VFW_E_NOT_FOUND;
    *ppPin = GetPin();
    (*ppPin)->AddRef();
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::QueryFilterInfo(FILTER_INFO* pInfo)
{
    if (pInfo == nullptr)
        return E_POINTER;
    CFilterLock lock(this);
    wcscpy(pInfo->achName, m_szName);
    pInfo->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pszName)
{
    CFilterLock lock(this);
    m_pGraph = pGraph;
    m_szName[0] = L'\0';
    if (pszName != nullptr)
        lstrcpynW(m_szName, pszName, ARRAYSIZE(m_szName));
    return S_OK;
}

STDMETHODIMP CTestPeerFilter::QueryVendorInfo(LPWSTR* ppszVendorInfo)
{
    if (ppszVendorInfo == nullptr)
        return E_POINTER;
    *ppszVendorInfo = nullptr;
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// CTestPinBase

STDMETHODIMP CTestPinBase::ConnectedTo(IPin** ppPin)
{
    if (ppPin == nullptr)
        return E_POINTER;
    CFilterLock lock(m_pFilter);
    *ppPin = nullptr;
    if (!m_spConnected)
        return VFW_E_NOT_CONNECTED;
    return m_spConnected.CopyTo(ppPin);
}

STDMETHODIMP CTestPinBase::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return E_POINTER;
    CFilterLock lock(m_pFilter);
    if (!m_spConnected)
    {
        MTInit(pmt);
        return VFW_E_NOT_CONNECTED;
    }
    if (FAILED(m_hrConnectionType))
    {
        MTInit(pmt);
        return m_hrConnectionType;
    }
    return MTCopy(pmt, &m_mt);
}

STDMETHODIMP CTestPinBase::QueryPinInfo(PIN_INFO* pInfo)
{
    if (pInfo == nullptr)
        return E_POINTER;
    pInfo->pFilter = m_pFilter;
    m_pFilter->AddRef();
    pInfo->dir = m_eDir;
    lstrcpynW(pInfo->achName, m_pszName, MAX_PIN_NAME);
    return S_OK;
}

STDMETHODIMP CTestPinBase::QueryDirection(PIN_DIRECTION* pDir) { return PutOut(pDir, m_eDir); }

STDMETHODIMP CTestPinBase::QueryId(LPWSTR* ppszId)
{
    if (ppszId == nullptr)
        return E_POINTER;
    const size_t cb = (wcslen(m_pszName) + 1) * sizeof(WCHAR);
    *ppszId = static_cast<LPWSTR>(CoTaskMemAlloc(cb));
    if (*ppszId == nullptr)
        return E_OUTOFMEMORY;
    memcpy(*ppszId, m_pszName, cb);
    return S_OK;
}

STDMETHODIMP CTestPinBase::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

bool CTestPinBase::IsConnected()
{
    CFilterLock lock(m_pFilter);
    return m_spConnected != nullptr;
}

CMType CTestPinBase::ConnectionType()
{
    CFilterLock lock(m_pFilter);
    return m_mt;
}

// ---------------------------------------------------------------------------
// CTestSink

CComPtr<CTestSink> CTestSink::Create() { return CreateObject<CTestSink>(); }

CTestSink::CTestSink() { m_hEos = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

CTestSink::~CTestSink() { CloseHandle(m_hEos); }

void CTestSink::SetAcceptedTypes(std::vector<CMType> types)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accepted = std::move(types);
}

void CTestSink::SetEnumTypes(std::vector<CMType> types)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_enum = std::move(types);
}

void CTestSink::SetAllocator(IMemAllocator* pAllocator)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_spAllocator = pAllocator;
}

void CTestSink::SetRequirements(const ALLOCATOR_PROPERTIES& props)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requirements = props;
}

void CTestSink::SetRequirementsResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hrRequirements = hr;
}

void CTestSink::SetReceiveResult(size_t nIndex, HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_receiveResults.emplace_back(nIndex, hr);
}

void CTestSink::SetQueryInterfaceFault(REFIID iid)
{
    m_iidFault = iid;
    m_bFault = true;
}

HRESULT CTestSink::SendQuality(const Quality& q)
{
    CComPtr<IPin> spPeer = m_pin.Connected();
    if (!spPeer)
        return VFW_E_NOT_CONNECTED;
    CComPtr<IQualityControl> spQc;
    HRESULT hr = spPeer.QueryInterface(&spQc);
    if (FAILED(hr))
        return hr;
    return spQc->Notify(this, q);
}

bool CTestSink::WaitForEndOfStream(DWORD dwMilliseconds)
{
    return WaitForSingleObject(m_hEos, dwMilliseconds) == WAIT_OBJECT_0;
}

void CTestSink::ClearRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_samples.clear();
    m_segments.clear();
    m_propertyCalls.clear();
    m_nReceived = 0;
    m_nEos = m_nBeginFlush = m_nEndFlush = m_nWhileStopped = m_nWhileFlushing = 0;
}

std::vector<SampleRecord> CTestSink::Samples()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samples;
}

size_t CTestSink::SampleCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samples.size();
}

CComPtr<IMemAllocator> CTestSink::NotifiedAllocator()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_spNotified;
}

BOOL CTestSink::NotifiedReadOnly()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bNotifiedReadOnly;
}

std::vector<SegmentRecord> CTestSink::Segments()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_segments;
}

std::vector<PropertySetCall> CTestSink::PropertySetCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_propertyCalls;
}

bool CTestSink::Accepts(const AM_MEDIA_TYPE* pmt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_accepted.empty())
        return pmt->majortype != GUID_NULL;
    for (const CMType& mt : m_accepted)
        if (MatchesPattern(mt, pmt))
            return true;
    return false;
}

void CTestSink::RecordPropertyCall(char cOp, REFGUID guidSet, DWORD dwPropId, DWORD cbData)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_propertyCalls.push_back({cOp, guidSet, dwPropId, cbData});
}

// EC_COMPLETE to the graph, as a renderer reports the end of its stream.
void CTestSink::NotifyComplete()
{
    if (m_pGraph == nullptr)
        return;
    CComPtr<IMediaEventSink> spEvents;
    if (SUCCEEDED(m_pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&spEvents))))
        spEvents->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
}

HRESULT CTestSink::OnStateChange(FILTER_STATE, FILTER_STATE eTo)
{
    if (eTo == State_Stopped)
    {
        m_bEosPending = false;
        m_bFlushing = false;
        ResetEvent(m_hEos);
    }
    if (eTo == State_Running && m_bEosPending)
    {
        m_bEosPending = false;
        NotifyComplete();
    }
    return S_OK;
}

// --- Input pin

CComPtr<IPin> CTestSink::CInputPin::Connected()
{
    CFilterLock lock(m_pFilter);
    return m_spConnected;
}

HRESULT CTestSink::CInputPin::QueryPropertySet(REFIID riid, void** ppv)
{
    if (!m_pSink->m_bPropertySet)
        return S_FALSE;
    *ppv = static_cast<IKsPropertySet*>(this);
    AddRef();
    (void)riid;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::QueryInterface(REFIID riid, void** ppv)
{
    if (m_pSink->m_fnQueryHook)
        m_pSink->m_fnQueryHook(riid);
    if (m_pSink->m_bFault && IsEqualIID(riid, m_pSink->m_iidFault))
        RaiseAccessViolation();
    return _InternalQueryInterface(riid, ppv);
}

STDMETHODIMP CTestSink::CInputPin::Connect(IPin*, const AM_MEDIA_TYPE*) { return E_UNEXPECTED; }

STDMETHODIMP CTestSink::CInputPin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
{
    if (pConnector == nullptr || pmt == nullptr)
        return E_POINTER;
    InterlockedIncrement(&m_pSink->m_nReceiveConnection);
    CFilterLock lock(m_pFilter);
    // The current peer may change the type while connected.
    const bool bReconnect = m_spConnected && m_spConnected.IsEqualObject(pConnector);
    if (m_spConnected && !bReconnect)
        return VFW_E_ALREADY_CONNECTED;
    if (!bReconnect && m_pFilter->State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (bReconnect && m_pSink->m_hrReconnect != S_OK)
        return m_pSink->m_hrReconnect;
    PIN_DIRECTION eDir = PINDIR_INPUT;
    if (FAILED(pConnector->QueryDirection(&eDir)) || eDir != PINDIR_OUTPUT)
        return VFW_E_INVALID_DIRECTION;
    if (!m_pSink->Accepts(pmt))
        return VFW_E_TYPE_NOT_ACCEPTED;
    m_spConnected = pConnector;
    m_mt = *pmt;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::Disconnect()
{
    CFilterLock lock(m_pFilter);
    if (!m_spConnected)
        return S_FALSE;
    if (m_pFilter->State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    m_spConnected.Release();
    m_mt.Clear();
    std::lock_guard<std::mutex> records(m_pSink->m_mutex);
    m_pSink->m_spNotified.Release();
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return E_POINTER;
    return m_pSink->Accepts(pmt) ? S_OK : S_FALSE;
}

STDMETHODIMP CTestSink::CInputPin::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    std::vector<CMType> types;
    {
        std::lock_guard<std::mutex> lock(m_pSink->m_mutex);
        types = m_pSink->m_enum;
    }
    return MakeTypeEnum(types, ppEnum);
}

STDMETHODIMP CTestSink::CInputPin::EndOfStream()
{
    InterlockedIncrement(&m_pSink->m_nEos);
    SetEvent(m_pSink->m_hEos);
    CFilterLock lock(m_pFilter);
    if (m_pSink->m_eState == State_Running)
        m_pSink->NotifyComplete();
    else if (m_pSink->m_eState == State_Paused)
        m_pSink->m_bEosPending = true;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::BeginFlush()
{
    InterlockedIncrement(&m_pSink->m_nBeginFlush);
    m_pSink->m_bFlushing = true;
    ResetEvent(m_pSink->m_hEos);
    CFilterLock lock(m_pFilter);
    m_pSink->m_bEosPending = false;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::EndFlush()
{
    InterlockedIncrement(&m_pSink->m_nEndFlush);
    m_pSink->m_bFlushing = false;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    std::lock_guard<std::mutex> lock(m_pSink->m_mutex);
    m_pSink->m_segments.push_back({tStart, tStop, dRate});
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::GetAllocator(IMemAllocator** ppAllocator)
{
    if (ppAllocator == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_pSink->m_mutex);
    *ppAllocator = nullptr;
    if (!m_pSink->m_spAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pSink->m_spAllocator.CopyTo(ppAllocator);
}

STDMETHODIMP CTestSink::CInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    if (pAllocator == nullptr)
        return E_POINTER;
    InterlockedIncrement(&m_pSink->m_nNotify);
    std::lock_guard<std::mutex> lock(m_pSink->m_mutex);
    m_pSink->m_spNotified = pAllocator;
    m_pSink->m_bNotifiedReadOnly = bReadOnly;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps)
{
    if (pProps == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_pSink->m_mutex);
    if (FAILED(m_pSink->m_hrRequirements))
        return m_pSink->m_hrRequirements;
    *pProps = m_pSink->m_requirements;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::Receive(IMediaSample* pSample)
{
    if (pSample == nullptr)
        return E_POINTER;
    const FILTER_STATE eState = m_pSink->m_eState;
    if (eState == State_Stopped)
    {
        InterlockedIncrement(&m_pSink->m_nWhileStopped);
        return VFW_E_WRONG_STATE;
    }
    if (m_pSink->m_bFlushing)
    {
        InterlockedIncrement(&m_pSink->m_nWhileFlushing);
        return S_FALSE;
    }
    SampleRecord rec;
    rec.eStateAtReceive = eState;
    rec.hrTime = pSample->GetTime(&rec.tStart, &rec.tStop);
    rec.cbActual = pSample->GetActualDataLength();
    BYTE* pb = nullptr;
    // The length a sample claims is checked against its buffer before it is read.
    const long cbRead = std::max(0L, std::min(rec.cbActual, pSample->GetSize()));
    if (SUCCEEDED(pSample->GetPointer(&pb)) && pb != nullptr)
        rec.dwCrc = Crc32(pb, static_cast<size_t>(cbRead));
    rec.bSync = pSample->IsSyncPoint() == S_OK;
    rec.bDiscontinuity = pSample->IsDiscontinuity() == S_OK;
    rec.bPreroll = pSample->IsPreroll() == S_OK;
    AM_MEDIA_TYPE* pmt = nullptr;
    if (pSample->GetMediaType(&pmt) == S_OK && pmt != nullptr)
    {
        rec.bMediaType = true;
        // An in-band type change becomes the connection's type.
        CFilterLock lock(m_pFilter);
        m_mt = *pmt;
        MTDelete(pmt);
    }
    std::lock_guard<std::mutex> lock(m_pSink->m_mutex);
    const size_t nIndex = m_pSink->m_nReceived++;
    m_pSink->m_samples.push_back(rec);
    for (const auto& script : m_pSink->m_receiveResults)
        if (script.first == nIndex)
            return script.second;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::ReceiveMultiple(IMediaSample** pSamples, long nSamples, long* pnProcessed)
{
    if (pSamples == nullptr || pnProcessed == nullptr)
        return E_POINTER;
    *pnProcessed = 0;
    HRESULT hr = S_OK;
    for (long i = 0; i < nSamples && hr == S_OK; ++i)
    {
        hr = Receive(pSamples[i]);
        if (hr == S_OK)
            ++*pnProcessed;
    }
    return hr;
}

STDMETHODIMP CTestSink::CInputPin::Set(REFGUID guidSet, DWORD dwPropId, LPVOID, DWORD, LPVOID, DWORD cbPropData)
{
    m_pSink->RecordPropertyCall('S', guidSet, dwPropId, cbPropData);
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::Get(REFGUID guidSet, DWORD dwPropId, LPVOID, DWORD, LPVOID pPropData,
                                       DWORD cbPropData, DWORD* pcbReturned)
{
    m_pSink->RecordPropertyCall('G', guidSet, dwPropId, cbPropData);
    if (pPropData != nullptr)
        memset(pPropData, 0, cbPropData);
    if (pcbReturned != nullptr)
        *pcbReturned = cbPropData;
    return S_OK;
}

STDMETHODIMP CTestSink::CInputPin::QuerySupported(REFGUID guidSet, DWORD dwPropId, DWORD* pTypeSupport)
{
    m_pSink->RecordPropertyCall('Q', guidSet, dwPropId, 0);
    if (pTypeSupport == nullptr)
        return E_POINTER;
    *pTypeSupport = KSPROPERTY_SUPPORT_GET | KSPROPERTY_SUPPORT_SET;
    return S_OK;
}

HRESULT CTestSink::CInputPin::QueryMixer(REFIID riid, void** ppv)
{
    const int nWanted = IsEqualIID(riid, __uuidof(IMixerPinConfig2)) ? 2 : 1;
    if (m_pSink->m_nMixerVersion < nWanted)
        return S_FALSE;
    *ppv = static_cast<IMixerPinConfig2*>(this);
    AddRef();
    return S_OK;
}

std::vector<const char*> CTestSink::MixerCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mixerCalls;
}

MixerPinState CTestSink::MixerState()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mixer;
}

HRESULT CTestSink::MixerCall(const char* pszName, const std::function<HRESULT(MixerPinState&)>& change)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mixerCalls.push_back(pszName);
    return change(m_mixer);
}

#define MIXER_CALL(body) m_pSink->MixerCall(__func__, [&](MixerPinState & st) -> HRESULT { body })
#define MIXER_OUT(p) \
    if ((p) == nullptr) \
        return E_POINTER;

STDMETHODIMP CTestSink::CInputPin::SetRelativePosition(DWORD dwLeft, DWORD dwTop, DWORD dwRight, DWORD dwBottom)
{
    return MIXER_CALL(if (dwLeft > dwRight || dwTop > dwBottom || dwRight > 10000 || dwBottom > 10000) return E_INVALIDARG;
                      st.dwLeft = dwLeft; st.dwTop = dwTop; st.dwRight = dwRight; st.dwBottom = dwBottom;
                      return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::GetRelativePosition(DWORD* pdwLeft, DWORD* pdwTop, DWORD* pdwRight,
                                                       DWORD* pdwBottom)
{
    return MIXER_CALL(MIXER_OUT(pdwLeft) MIXER_OUT(pdwTop) MIXER_OUT(pdwRight) MIXER_OUT(pdwBottom)
                      *pdwLeft = st.dwLeft; *pdwTop = st.dwTop; *pdwRight = st.dwRight; *pdwBottom = st.dwBottom;
                      return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::SetZOrder(DWORD dwZOrder)
{
    return MIXER_CALL(st.dwZOrder = dwZOrder; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::GetZOrder(DWORD* pdwZOrder)
{
    return MIXER_CALL(MIXER_OUT(pdwZOrder) *pdwZOrder = st.dwZOrder; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::SetColorKey(COLORKEY* pColorKey)
{
    return MIXER_CALL(MIXER_OUT(pColorKey) st.colorKey = *pColorKey; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::GetColorKey(COLORKEY* pColorKey, DWORD* pColor)
{
    return MIXER_CALL(if (pColorKey != nullptr) *pColorKey = st.colorKey;
                      if (pColor != nullptr) *pColor = st.colorKey.LowColorValue; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::SetBlendingParameter(DWORD dwBlendingParameter)
{
    return MIXER_CALL(if (dwBlendingParameter > 255) return E_INVALIDARG; st.dwBlending = dwBlendingParameter;
                      return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::GetBlendingParameter(DWORD* pdwBlendingParameter)
{
    return MIXER_CALL(MIXER_OUT(pdwBlendingParameter) *pdwBlendingParameter = st.dwBlending; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::SetAspectRatioMode(AM_ASPECT_RATIO_MODE eMode)
{
    return MIXER_CALL(st.eAspect = eMode; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::GetAspectRatioMode(AM_ASPECT_RATIO_MODE* peMode)
{
    return MIXER_CALL(MIXER_OUT(peMode) *peMode = st.eAspect; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::SetStreamTransparent(BOOL bStreamTransparent)
{
    return MIXER_CALL(st.bTransparent = bStreamTransparent; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::GetStreamTransparent(BOOL* pbStreamTransparent)
{
    return MIXER_CALL(MIXER_OUT(pbStreamTransparent) *pbStreamTransparent = st.bTransparent; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::SetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl)
{
    return MIXER_CALL(MIXER_OUT(pColorControl) st.colorControl = *pColorControl; return S_OK;);
}

STDMETHODIMP CTestSink::CInputPin::GetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl)
{
    return MIXER_CALL(MIXER_OUT(pColorControl) *pColorControl = st.colorControl; return S_OK;);
}

#undef MIXER_OUT
#undef MIXER_CALL

// ---------------------------------------------------------------------------
// CTestSource

CComPtr<CTestSource> CTestSource::Create() { return CreateObject<CTestSource>(); }

CTestSource::CTestSource() { m_types.push_back(DefaultAudioType()); }

CTestSource::~CTestSource() { StopThread(); }

CMType CTestSource::DefaultAudioType()
{
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    WAVEFORMATEX wfx = {};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = 44100;
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = 4;
    wfx.nAvgBytesPerSec = 44100 * 4;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = 4;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.cbFormat = sizeof(wfx);
    mt.pbFormat = MTAllocFormat(sizeof(wfx), &wfx);
    return mt;
}

void CTestSource::FillPattern(BYTE* pb, long cb, unsigned nIndex)
{
    DWORD dwState = 0x9E3779B9u * (nIndex + 1);
    for (long i = 0; i < cb; ++i)
    {
        dwState = dwState * 1664525u + 1013904223u;
        pb[i] = static_cast<BYTE>(dwState >> 24);
    }
}

void CTestSource::SetMediaTypes(std::vector<CMType> types)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_types = std::move(types);
}

CComPtr<IMemAllocator> CTestSource::Allocator()
{
    CFilterLock lock(this);
    return m_spAllocator;
}

CComPtr<IMemInputPin> CTestSource::Input()
{
    CFilterLock lock(this);
    return m_spInput;
}

std::vector<HRESULT> CTestSource::Results()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results;
}

void CTestSource::Record(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.push_back(hr);
}

Quality CTestSource::LastQuality()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastQuality;
}

// A source commits its allocator when streaming may start and decommits it
// when stopped, which also releases a thread waiting in GetBuffer.
HRESULT CTestSource::OnStateChange(FILTER_STATE eFrom, FILTER_STATE eTo)
{
    if (!m_spAllocator)
        return S_OK;
    if (eFrom == State_Stopped && eTo != State_Stopped)
        return m_spAllocator->Commit();
    if (eTo == State_Stopped)
        return m_spAllocator->Decommit();
    return S_OK;
}

HRESULT CTestSource::MakeSample(long cbSample, REFERENCE_TIME tDuration, const AM_MEDIA_TYPE* pmt,
                                const std::function<void(BYTE*, long)>& fill, IMediaSample** ppSample)
{
    *ppSample = nullptr;
    CComPtr<IMemAllocator> spAllocator = Allocator();
    if (!spAllocator)
        return VFW_E_NOT_CONNECTED;
    CComPtr<IMediaSample> spSample;
    HRESULT hr = spAllocator->GetBuffer(&spSample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    if (cbSample < 0 || cbSample > spSample->GetSize())
        return VFW_E_BUFFER_OVERFLOW;
    BYTE* pb = nullptr;
    hr = spSample->GetPointer(&pb);
    if (FAILED(hr))
        return hr;
    REFERENCE_TIME tStart = 0, tStop = 0;
    unsigned nIndex = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nIndex = m_nSample++;
        tStart = m_tNext;
        tStop = tStart + tDuration;
        m_tNext = tStop;
    }
    if (fill)
        fill(pb, cbSample);
    else
        FillPattern(pb, cbSample, nIndex);
    spSample->SetActualDataLength(cbSample);
    spSample->SetTime(&tStart, &tStop);
    spSample->SetSyncPoint(TRUE);
    if (pmt != nullptr)
    {
        hr = spSample->SetMediaType(const_cast<AM_MEDIA_TYPE*>(pmt));
        if (FAILED(hr))
            return hr;
    }
    *ppSample = spSample.Detach();
    return S_OK;
}

HRESULT CTestSource::Deliver(int n, long cbSample, REFERENCE_TIME tDuration)
{
    for (int i = 0; i < n; ++i)
    {
        const HRESULT hr = DeliverOne(cbSample, tDuration);
        if (hr != S_OK)
            return hr;
    }
    return S_OK;
}

HRESULT CTestSource::DeliverOne(long cbSample, REFERENCE_TIME tDuration, const AM_MEDIA_TYPE* pmt,
                                const std::function<void(BYTE*, long)>& fill)
{
    CComPtr<IMemInputPin> spInput = Input();
    if (!spInput)
        return VFW_E_NOT_CONNECTED;
    CComPtr<IMediaSample> spSample;
    HRESULT hr = MakeSample(cbSample, tDuration, pmt, fill, &spSample);
    if (SUCCEEDED(hr))
        hr = spInput->Receive(spSample);
    Record(hr);
    return hr;
}

HRESULT CTestSource::DeliverMultiple(int n, long cbSample, REFERENCE_TIME tDuration, long* pnProcessed)
{
    if (pnProcessed)
        *pnProcessed = 0;
    CComPtr<IMemInputPin> spInput = Input();
    if (!spInput)
        return VFW_E_NOT_CONNECTED;
    std::vector<CComPtr<IMediaSample>> samples(static_cast<size_t>(std::max(0, n)));
    HRESULT hr = S_OK;
    for (auto& sp : samples)
    {
        hr = MakeSample(cbSample, tDuration, nullptr, {}, &sp);
        if (FAILED(hr))
            break;
    }
    long nProcessed = 0;
    if (SUCCEEDED(hr))
    {
        std::vector<IMediaSample*> raw;
        for (auto& sp : samples)
            raw.push_back(sp);
        hr = spInput->ReceiveMultiple(raw.data(), n, &nProcessed);
    }
    if (pnProcessed)
        *pnProcessed = nProcessed;
    Record(hr);
    return hr;
}

HRESULT CTestSource::SendEndOfStream()
{
    CComPtr<IPin> sp = m_pin.Connected();
    return sp ? sp->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CTestSource::SendBeginFlush()
{
    CComPtr<IPin> sp = m_pin.Connected();
    return sp ? sp->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CTestSource::SendEndFlush()
{
    CComPtr<IPin> sp = m_pin.Connected();
    return sp ? sp->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CTestSource::SendNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    CComPtr<IPin> sp = m_pin.Connected();
    return sp ? sp->NewSegment(tStart, tStop, dRate) : VFW_E_NOT_CONNECTED;
}

HRESULT CTestSource::Renotify(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    CComPtr<IMemInputPin> spInput = Input();
    return spInput ? spInput->NotifyAllocator(pAllocator, bReadOnly) : VFW_E_NOT_CONNECTED;
}

HRESULT CTestSource::ReconnectWith(const AM_MEDIA_TYPE& mt)
{
    CComPtr<IPin> spPeer = m_pin.Connected();
    if (!spPeer)
        return VFW_E_NOT_CONNECTED;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_alsoAccepted.emplace_back(mt);
    }
    const HRESULT hr = spPeer->ReceiveConnection(&m_pin, &mt);
    if (SUCCEEDED(hr))
    {
        CFilterLock lock(this);
        m_pin.SetType(mt);
    }
    return hr;
}

void CTestSource::ChangeConnectionType(const AM_MEDIA_TYPE& mt)
{
    CFilterLock lock(this);
    m_pin.SetType(mt);
}

HRESULT CTestSource::StartThread(long cbSample, REFERENCE_TIME tDuration, DWORD dwSleepMs)
{
    if (m_thread.joinable())
        return E_UNEXPECTED;
    if (!Input())
        return VFW_E_NOT_CONNECTED;
    m_bStopThread = false;
    m_thread = std::thread([=] { ThreadLoop(cbSample, tDuration, dwSleepMs); });
    return S_OK;
}

void CTestSource::StopThread()
{
    m_bStopThread = true;
    if (m_thread.joinable())
        m_thread.join();
}

void CTestSource::ThreadLoop(long cbSample, REFERENCE_TIME tDuration, DWORD dwSleepMs)
{
    CComPtr<IMemInputPin> spInput = Input();
    while (!m_bStopThread)
    {
        CComPtr<IMediaSample> spSample;
        const HRESULT hrMake = MakeSample(cbSample, tDuration, nullptr, {}, &spSample);
        if (FAILED(hrMake))
        {
            // Decommitted while stopped: wait for the next commit or the end.
            Sleep(1);
            continue;
        }
        const HRESULT hr = spInput->Receive(spSample);
        InterlockedIncrement(hr == S_OK ? &m_nThreadSent : &m_nThreadRefused);
        if (dwSleepMs != 0)
            Sleep(dwSleepMs);
    }
}

// --- Output pin

CComPtr<IPin> CTestSource::COutputPin::Connected()
{
    CFilterLock lock(m_pFilter);
    return m_spConnected;
}

HRESULT CTestSource::COutputPin::QuerySeeking(REFIID, void** ppv)
{
    if (!m_pSource->m_bSeeking)
        return E_NOINTERFACE;
    *ppv = static_cast<IMediaSeeking*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (pReceivePin == nullptr)
        return E_POINTER;
    CFilterLock lock(m_pFilter);
    if (m_spConnected)
        return VFW_E_ALREADY_CONNECTED;
    if (m_pFilter->State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (pmt != nullptr && IsComplete(pmt))
        return TryConnect(pReceivePin, pmt);
    std::vector<CMType> types;
    {
        std::lock_guard<std::mutex> records(m_pSource->m_mutex);
        types = m_pSource->m_types;
    }
    for (const CMType& mt : types)
    {
        if (pmt != nullptr && !MatchesPattern(*pmt, &mt))
            continue;
        if (SUCCEEDED(TryConnect(pReceivePin, &mt)))
            return S_OK;
    }
    return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CTestSource::COutputPin::TryConnect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    PIN_DIRECTION eDir = PINDIR_OUTPUT;
    if (FAILED(pReceivePin->QueryDirection(&eDir)) || eDir != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;
    HRESULT hr = pReceivePin->ReceiveConnection(this, pmt);
    if (FAILED(hr))
        return hr;
    CComPtr<IMemInputPin> spInput;
    hr = pReceivePin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spInput));
    if (SUCCEEDED(hr))
        hr = DecideAllocator(spInput);
    if (FAILED(hr))
    {
        pReceivePin->Disconnect();
        return hr;
    }
    m_spConnected = pReceivePin;
    m_mt = *pmt;
    m_pSource->m_spInput = spInput;
    return S_OK;
}

// Properties are ours merged with the sink's requirements (the larger of
// each); the sink's allocator is tried first unless the policy says no.
HRESULT CTestSource::COutputPin::DecideAllocator(IMemInputPin* pInput)
{
    ALLOCATOR_PROPERTIES req = m_pSource->m_request;
    ALLOCATOR_PROPERTIES down = {0, 0, 0, 0};
    if (SUCCEEDED(pInput->GetAllocatorRequirements(&down)))
    {
        req.cBuffers = std::max(req.cBuffers, down.cBuffers);
        req.cbBuffer = std::max(req.cbBuffer, down.cbBuffer);
        req.cbAlign = std::max(req.cbAlign, down.cbAlign);
        req.cbPrefix = std::max(req.cbPrefix, down.cbPrefix);
    }
    if (req.cbAlign <= 0)
        req.cbAlign = 1;
    const BOOL bReadOnly = m_pSource->m_bReadOnly;
    if (m_pSource->m_ePolicy == AllocDownstreamFirst)
    {
        CComPtr<IMemAllocator> sp;
        ALLOCATOR_PROPERTIES actual = {0, 0, 0, 0};
        if (SUCCEEDED(pInput->GetAllocator(&sp)) && sp && SUCCEEDED(sp->SetProperties(&req, &actual)) &&
            SUCCEEDED(pInput->NotifyAllocator(sp, bReadOnly)))
        {
            m_pSource->m_spAllocator = sp;
            m_pSource->m_actual = actual;
            m_pSource->m_bDownstreamAllocator = true;
            return S_OK;
        }
    }
    CComPtr<IMemAllocator> sp = m_pSource->m_spOwnAllocator;
    if (!sp)
    {
        HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                      reinterpret_cast<void**>(&sp));
        if (FAILED(hr))
            return hr;
    }
    ALLOCATOR_PROPERTIES actual = {0, 0, 0, 0};
    HRESULT hr = sp->SetProperties(&req, &actual);
    if (FAILED(hr))
        return hr;
    hr = pInput->NotifyAllocator(sp, bReadOnly);
    if (FAILED(hr))
        return hr;
    m_pSource->m_spAllocator = sp;
    m_pSource->m_actual = actual;
    m_pSource->m_bDownstreamAllocator = false;
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) { return E_UNEXPECTED; }

STDMETHODIMP CTestSource::COutputPin::Disconnect()
{
    CFilterLock lock(m_pFilter);
    if (!m_spConnected)
        return S_FALSE;
    if (m_pFilter->State() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    m_spConnected.Release();
    m_mt.Clear();
    m_pSource->m_spInput.Release();
    m_pSource->m_spAllocator.Release();
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_pSource->m_mutex);
    for (const CMType& mt : m_pSource->m_types)
        if (mt == *pmt)
            return S_OK;
    for (const CMType& mt : m_pSource->m_alsoAccepted)
        if (mt == *pmt)
            return S_OK;
    return S_FALSE;
}

STDMETHODIMP CTestSource::COutputPin::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    std::vector<CMType> types;
    {
        std::lock_guard<std::mutex> lock(m_pSource->m_mutex);
        types = m_pSource->m_types;
    }
    return MakeTypeEnum(types, ppEnum);
}

STDMETHODIMP CTestSource::COutputPin::Notify(IBaseFilter*, Quality q)
{
    std::lock_guard<std::mutex> lock(m_pSource->m_mutex);
    InterlockedIncrement(&m_pSource->m_nQuality);
    m_pSource->m_lastQuality = q;
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::SetSink(IQualityControl*) { return S_OK; }

namespace
{
const LONGLONG kDuration = 10 * 10000000LL;
const DWORD kSeekingCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards | AM_SEEKING_CanSeekBackwards |
                           AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetCurrentPos;
} // namespace

STDMETHODIMP CTestSource::COutputPin::GetCapabilities(DWORD* pCapabilities)
{
    return PutOut(pCapabilities, kSeekingCaps);
}

STDMETHODIMP CTestSource::COutputPin::CheckCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    const DWORD dwAsked = *pCapabilities;
    *pCapabilities &= kSeekingCaps;
    if (*pCapabilities == dwAsked)
        return S_OK;
    return *pCapabilities != 0 ? S_FALSE : E_FAIL;
}

STDMETHODIMP CTestSource::COutputPin::IsFormatSupported(const GUID* pFormat)
{
    if (pFormat == nullptr)
        return E_POINTER;
    return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

STDMETHODIMP CTestSource::COutputPin::QueryPreferredFormat(GUID* pFormat) { return GetTimeFormat(pFormat); }

STDMETHODIMP CTestSource::COutputPin::GetTimeFormat(GUID* pFormat) { return PutOut(pFormat, TIME_FORMAT_MEDIA_TIME); }

STDMETHODIMP CTestSource::COutputPin::IsUsingTimeFormat(const GUID* pFormat) { return IsFormatSupported(pFormat); }

STDMETHODIMP CTestSource::COutputPin::SetTimeFormat(const GUID* pFormat)
{
    if (pFormat == nullptr)
        return E_POINTER;
    return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CTestSource::COutputPin::GetDuration(LONGLONG* pDuration) { return PutOut(pDuration, kDuration); }

STDMETHODIMP CTestSource::COutputPin::GetStopPosition(LONGLONG* pStop)
{
    return PutOut(pStop, m_pSource->m_nSetPositions != 0 ? m_pSource->m_tSetStop : kDuration);
}

STDMETHODIMP CTestSource::COutputPin::GetCurrentPosition(LONGLONG* pCurrent)
{
    return PutOut(pCurrent, m_pSource->m_tSetCurrent);
}

STDMETHODIMP CTestSource::COutputPin::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat,
                                                        LONGLONG llSource, const GUID* pSourceFormat)
{
    if (pTarget == nullptr)
        return E_POINTER;
    const bool bTargetOk = pTargetFormat == nullptr || *pTargetFormat == TIME_FORMAT_MEDIA_TIME;
    const bool bSourceOk = pSourceFormat == nullptr || *pSourceFormat == TIME_FORMAT_MEDIA_TIME;
    if (!bTargetOk || !bSourceOk)
        return E_INVALIDARG;
    *pTarget = llSource;
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                                   DWORD dwStopFlags)
{
    InterlockedIncrement(&m_pSource->m_nSetPositions);
    if (pCurrent != nullptr && (dwCurrentFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning)
        m_pSource->m_tSetCurrent = *pCurrent;
    if (pStop != nullptr && (dwStopFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning)
        m_pSource->m_tSetStop = *pStop;
    else if (m_pSource->m_nSetPositions == 1)
        m_pSource->m_tSetStop = kDuration;
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    if (pCurrent != nullptr)
        GetCurrentPosition(pCurrent);
    if (pStop != nullptr)
        GetStopPosition(pStop);
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    if (pEarliest != nullptr)
        *pEarliest = 0;
    if (pLatest != nullptr)
        *pLatest = kDuration;
    return S_OK;
}

STDMETHODIMP CTestSource::COutputPin::SetRate(double dRate) { return dRate > 0 ? S_OK : E_INVALIDARG; }

STDMETHODIMP CTestSource::COutputPin::GetRate(double* pdRate) { return PutOut(pdRate, 1.0); }

STDMETHODIMP CTestSource::COutputPin::GetPreroll(LONGLONG* pllPreroll) { return PutOut(pllPreroll, 0); }
