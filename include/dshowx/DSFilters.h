// The filter framework: a transform filter with one input and one output
// pin, built as class templates over the concrete classes. The framework
// calls the concrete filter's Filter_* hooks directly (no virtual calls), so a
// concrete class replaces a default simply by declaring its own hook.
//
// Locks, always taken in this order and never the other way round:
//   filter lock (the filter's object root)  -> output pin lock
//   input pin lock                          -> (calls into neighbours)
//   input pin streaming lock                   taken only without the pin lock
//   output pin delivery lock                   a leaf: guards two pointers
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

// ---------------------------------------------------------------------------
// Pins

// Polymorphic root of every pin.
class CPin
{
public:
    virtual LPCWSTR GetTraceName() = 0;
    virtual ~CPin() {}
};

// The pin's connection media type.
class CMTSingle
{
public:
    CMType m_mt;
};

template <class TPin, class TFilter>
class CPinBase : public CPin, public CComObjectRootMT, public CMTSingle
{
public:
    typedef TFilter FilterClass;

    CPinBase() { InitializeCriticalSection(&m_csPeer); }
    ~CPinBase() override
    {
        TRACE_ASSERT_TEXT(!IsConnected(), "CPinBase<>::~CPinBase(): pin is connected");
        DeleteCriticalSection(&m_csPeer);
    }

    LPCWSTR GetTraceName() override { return m_szTag; }

    // Links the pin to its filter and names it; pszName empty gives "In 0"
    // or "Out 1" from the direction and the cookie.
    void InitPin(TFilter* pFilter, DWORD dwCookie, LPCWSTR pszName)
    {
        m_dwCookie = dwCookie;
        m_pFilter = pFilter;
        if (pszName != nullptr && pszName[0] != 0)
            StrCopy(m_szName, DS_NAME_MAX, pszName);
        else
            StrFormat(m_szName, DS_NAME_MAX, L"%s %u", DirText(), dwCookie);
        MakeDebugName(m_szTag, DS_NAME_MAX, m_szName, pFilter != nullptr ? pFilter->GetTraceName() : L"[Pin]");
    }
    // Further initialisation of a concrete pin after naming.
    HRESULT PinInit() { return S_OK; }

    LPCWSTR DirText() const { return m_ePinDir == PINDIR_INPUT ? L"In" : L"Out"; }
    bool IsConnected() const { return m_spConnected != nullptr; }
    // The connected pin with a reference of the caller's own: another thread
    // may be disconnecting the pin. Taken under the pin's peer lock, a leaf
    // that the pin holds only to change the pointer, so that it can be read
    // while the other pin's lock is held.
    CComPtr<IPin> ConnectedPeer()
    {
        CScopedLock peer(&m_csPeer);
        return m_spConnected;
    }
    // Changes the peer under the pin lock; the old peer is released after the
    // peer lock, since its last release may call anywhere.
    void SetPeer(IPin* pPeer)
    {
        CComPtr<IPin> spOld;
        CScopedLock peer(&m_csPeer);
        spOld = std::move(m_spConnected);
        m_spConnected = pPeer;
    }
    // The neighbour on the other side of the filter that redirected calls
    // reach (the tear-off queries it itself); null while that side is
    // unconnected.
    CComPtr<IUnknown> RedirectTarget()
    {
        const CComPtr<IPin> spPeer = m_pFilter != nullptr ? m_pFilter->RedirectPeer(m_dwCookie) : nullptr;
        return CComPtr<IUnknown>(spPeer.p);
    }
    FILTER_STATE FilterState() const { return m_pFilter != nullptr ? m_pFilter->m_eState : State_Stopped; }

    bool IsCounterpart(IPin* pPin)
    {
        PIN_DIRECTION eDir = PINDIR_INPUT;
        if (pPin == nullptr || FAILED(pPin->QueryDirection(&eDir)))
            return false;
        return eDir != m_ePinDir;
    }

    bool QueryAcceptMT(const AM_MEDIA_TYPE* pmt)
    {
        if (m_pFilter == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s QueryAcceptMT(): link between filter and pin is broken\n", m_szTag);
            return false;
        }
        return m_pFilter->Filter_QueryAcceptMT(m_dwCookie, pmt);
    }

    HRESULT QueryRedirect(REFIID riid, void** ppv)
    {
        if (m_pFilter == nullptr)
            return E_POINTER;
        return m_pFilter->QueryRedirect(m_dwCookie, riid, ppv);
    }

    // The pin's own redirector of interface I, offered only while the
    // neighbour on the other side of the filter answers I itself.
    template <class I>
    HRESULT QueryRedirectedInterface(REFIID riid, void** ppv)
    {
        IUnknown* pNeighbour = nullptr;
        if (FAILED(QueryRedirect(riid, reinterpret_cast<void**>(&pNeighbour))) || pNeighbour == nullptr)
            return E_NOINTERFACE;
        pNeighbour->Release();
        I* pI = static_cast<I*>(static_cast<TPin*>(this));
        pI->AddRef();
        *ppv = pI;
        return S_OK;
    }

    // Adopts a media type attached to a sample when the filter accepts it.
    HRESULT SetMediaTypeFromSample(IMediaSample* pSample)
    {
        if (pSample == nullptr)
            return E_POINTER;
        AM_MEDIA_TYPE* pmt = nullptr;
        HRESULT hr = pSample->GetMediaType(&pmt);
        if (hr != S_OK)
            return hr;
        if (pmt == nullptr)
            return E_POINTER;
        TraceW(TRACE_CAT_GENERAL, 8, L"%s SetMediaTypeFromSample(): new mediatype is received\n", m_szTag);
        Debug_MediaType(TRACE_CAT_GENERAL, 2, pmt, m_szTag);
        if (!static_cast<TPin*>(this)->QueryAcceptMT(pmt))
        {
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s SetMediaTypeFromSample(): new mediatype is not accepted\n", m_szTag);
            hr = VFW_E_INVALIDMEDIATYPE;
        }
        else
        {
            hr = m_mt.Set(pmt);
        }
        MTDelete(pmt);
        return hr;
    }

    DWORD m_dwCookie = 0;
    PIN_DIRECTION m_ePinDir = PINDIR_INPUT;
    WCHAR m_szName[DS_NAME_MAX] = {};
    CComPtr<IPin> m_spConnected; // written only through SetPeer
    CRITICAL_SECTION m_csPeer;
    bool m_bDisconnecting = false;
    WCHAR m_szTag[DS_NAME_MAX] = {};
    TFilter* m_pFilter = nullptr;
};

// IPin methods both pins share.
template <class TPin>
class IPinImpl : public IPin
{
public:
    STDMETHOD(Disconnect)() override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IPinImpl::Disconnect() [%s]\n", p->m_szTag, p->DirText());
        CComObjectRootMT::ObjectLock lock(p);
        TRACE_ASSERT(!p->m_bDisconnecting);
        if (!p->IsConnected())
            return S_FALSE;
        if (p->FilterState() != State_Stopped)
            return VFW_E_NOT_STOPPED;
        p->m_bDisconnecting = true;
        if (TRACE_ASSERT(p->m_pFilter != nullptr))
            p->m_pFilter->Filter_Disconnect(p->m_dwCookie);
        p->BreakConnection();
        p->m_bDisconnecting = false;
        return S_OK;
    }

    STDMETHOD(ConnectedTo)(IPin** ppPin) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::ConnectedTo() [%s]\n", p->m_szTag, p->DirText());
        if (ppPin == nullptr)
            return E_POINTER;
        *ppPin = nullptr;
        CComPtr<IPin> spPeer;
        {
            CComObjectRootMT::ObjectLock lock(p);
            spPeer = p->m_spConnected;
        }
        if (spPeer == nullptr)
            return VFW_E_NOT_CONNECTED;
        *ppPin = spPeer.Detach();
        return S_OK;
    }

    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* pmt) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::ConnectionMediaType() [%s]\n", p->m_szTag, p->DirText());
        if (pmt == nullptr)
            return E_POINTER;
        CComObjectRootMT::ObjectLock lock(p);
        if (!p->IsConnected())
            return VFW_E_NOT_CONNECTED;
        return p->m_mt.CopyTo(pmt);
    }

    STDMETHOD(QueryPinInfo)(PIN_INFO* pInfo) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::QueryPinInfo() [%s]\n", p->m_szTag, p->DirText());
        if (pInfo == nullptr)
            return E_POINTER;
        pInfo->pFilter = nullptr;
        pInfo->dir = p->m_ePinDir;
        StrCopy(pInfo->achName, DS_NAME_MAX, p->m_szName);
        if (p->m_pFilter == nullptr)
        {
            // Callers release pFilter after S_OK without a check: a pin that
            // outlived its filter answers a failure instead.
            TraceW(TRACE_CAT_GENERAL, 2,
                   L"###Err### %s IPinImpl::QueryPinInfo(): link between filter and pin is broken, pPin->m_pFilter = NULL\n",
                   p->m_szTag);
            return E_UNEXPECTED;
        }
        pInfo->pFilter = static_cast<IBaseFilter*>(p->m_pFilter);
        pInfo->pFilter->AddRef();
        return S_OK;
    }

    STDMETHOD(QueryDirection)(PIN_DIRECTION* pPinDir) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::QueryDirection() [%s]\n", p->m_szTag, p->DirText());
        if (pPinDir == nullptr)
            return E_POINTER;
        *pPinDir = p->m_ePinDir;
        return S_OK;
    }

    STDMETHOD(QueryId)(LPWSTR* pId) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::QueryId() [%s]\n", p->m_szTag, p->DirText());
        if (pId == nullptr)
            return E_POINTER;
        const size_t cb = (wcslen(p->m_szName) + 1) * sizeof(WCHAR);
        *pId = static_cast<LPWSTR>(CoTaskMemAlloc(cb));
        if (*pId == nullptr)
            return E_OUTOFMEMORY;
        memcpy(*pId, p->m_szName, cb);
        return S_OK;
    }

    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* pmt) override
    {
        TPin* p = Pin();
        const bool bAccept = p->QueryAcceptMT(pmt);
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::QueryAccept()=%s [%s]\n", p->m_szTag, bAccept ? L"S_OK" : L"S_FALSE",
               p->DirText());
        return bAccept ? S_OK : S_FALSE;
    }

    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::EnumMediaTypes() [%s]\n", p->m_szTag, p->DirText());
        CComObjectRootMT::ObjectLock lock(p);
        return CComDSEnum<CMediaTypesAccessor<TPin>>::Create(p, 0, ppEnum);
    }

    STDMETHOD(QueryInternalConnections)(IPin**, ULONG*) override
    {
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::QueryInternalConnections not implemented\n", Pin()->m_szTag);
        return E_NOTIMPL;
    }

protected:
    TPin* Pin() { return static_cast<TPin*>(this); }
};

// Quality messages: the sink when one is set, else the pin's own target.
template <class TPin>
class IQualityControlImpl : public IQualityControl
{
public:
    STDMETHOD(SetSink)(IQualityControl* piqc) override
    {
        TPin* p = static_cast<TPin*>(this);
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IQualityControl::SetSink\n", p->m_szTag);
        CComObjectRootMT::ObjectLock lock(p);
        m_pQualitySink = piqc;
        return S_OK;
    }

    STDMETHOD(Notify)(IBaseFilter* pSelf, Quality q) override
    {
        TPin* p = static_cast<TPin*>(this);
        WCHAR szLate[32], szStamp[32];
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IQualityControl::Notify( 0x%p, %s, %i, %s, %s )\n", p->m_szTag, pSelf,
               q.Type == Famine ? L"Famine" : L"Flood", q.Proportion, RefTime2Str(q.Late, szLate),
               RefTime2Str(q.TimeStamp, szStamp));
        CComPtr<IQualityControl> spTarget;
        {
            CComObjectRootMT::ObjectLock lock(p);
            spTarget = m_pQualitySink;
        }
        if (spTarget != nullptr)
            return spTarget->Notify(pSelf, q);
        return p->NotifyDefaultTarget(pSelf, q);
    }

    IQualityControl* m_pQualitySink = nullptr;
};

// ---------------------------------------------------------------------------
// Input pin: IMemInputPin

template <class TPin>
class IMemInputPinImpl : public IMemInputPin
{
public:
    IMemInputPinImpl() { InitializeCriticalSection(&m_csReceive); }
    ~IMemInputPinImpl() { DeleteCriticalSection(&m_csReceive); }

    STDMETHOD(Receive)(IMediaSample* pSample) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IMemInputPinImpl::Receive\n", p->m_szTag);
        if (pSample == nullptr)
            return E_POINTER;
        CComPtr<IMediaSample> spHold(pSample);
        HRESULT hr = CheckReceive(pSample);
        if (hr != S_OK)
            return hr;
        CScopedLock streaming(&m_csReceive);
        // A stop that completed between the checks and this point must not
        // see a sample pass after it returned.
        if (p->FilterState() == State_Stopped)
            return VFW_E_WRONG_STATE;
        return p->m_pFilter->Filter_SendSample(p->m_dwCookie, pSample);
    }

    STDMETHOD(ReceiveMultiple)(IMediaSample** ppSamples, long nSamples, long* nSamplesProcessed) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IMemInputPinImpl::ReceiveMultiple( %u )\n", p->m_szTag, nSamples);
        if (ppSamples == nullptr || nSamplesProcessed == nullptr)
            return E_POINTER;
        if (nSamples <= 0)
            return E_INVALIDARG;
        *nSamplesProcessed = 0;
        IMemInputPin* pSelf = static_cast<IMemInputPin*>(p);
        HRESULT hr = S_OK;
        long i = 0;
        while (i < nSamples && hr == S_OK)
        {
            hr = pSelf->Receive(ppSamples[i]);
            if (hr != S_OK)
                TraceW(TRACE_CAT_GENERAL, 4, L"%s IMemInputPinImpl::ReceiveMultiple( %u ): pPin->Receive( sample %i )=0x%X\n",
                       p->m_szTag, nSamples, i, hr);
            // Downstream's S_FALSE still took the sample; the S_FALSE of a
            // flushing pin refused it.
            if (hr == S_OK || (hr == S_FALSE && !IsFlushing()))
                ++i;
        }
        if (SUCCEEDED(hr))
            *nSamplesProcessed = i;
        return hr;
    }

    bool IsFlushing()
    {
        CComObjectRootMT::ObjectLock lock(Pin());
        return Pin()->m_bFlushing;
    }

    STDMETHOD(ReceiveCanBlock)() override
    {
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IMemInputPinImpl::ReceiveCanBlock()\n", Pin()->m_szTag);
        return S_OK;
    }

    // Remembers the allocator upstream settled on (after the filter agreed).
    HRESULT NotifyAllocatorImpl(IMemAllocator* pAllocator, BOOL bReadOnly)
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IMemInputPinImpl::NotifyAllocator( 0x%p%s)\n", p->m_szTag, pAllocator,
               bReadOnly ? L", READ ONLY " : L" ");
        if (pAllocator == nullptr)
            return E_POINTER;
        CComObjectRootMT::ObjectLock lock(p);
        if (!m_spAllocIn.IsEqualObject(pAllocator))
        {
            ReleaseAllocIn();
            m_spAllocIn = pAllocator;
        }
        ZeroMemory(&m_propsIn, sizeof(m_propsIn));
        m_bReadOnly = bReadOnly != FALSE;
        const HRESULT hr = m_spAllocIn->GetProperties(&m_propsIn);
        if (SUCCEEDED(hr))
            TraceW(TRACE_CAT_GENERAL, 8, L"%s IMemInputPinImpl::NotifyAllocator( 0x%p ): props = { %i, %i, %i, %i }\n",
                   p->m_szTag, pAllocator, m_propsIn.cBuffers, m_propsIn.cbBuffer, m_propsIn.cbAlign, m_propsIn.cbPrefix);
        else
            TraceW(TRACE_CAT_GENERAL, 4, L"### %s IMemInputPinImpl::NotifyAllocator( 0x%p ): m_spAllocIn->GetProperties()=0x%X\n",
                   p->m_szTag, pAllocator, hr);
        return S_OK;
    }

    void ReleaseAllocIn()
    {
        if (m_spAllocIn != nullptr)
            m_spAllocIn->Decommit();
        m_spAllocIn.Release();
    }

    CRITICAL_SECTION m_csReceive;
    CComPtr<IMemAllocator> m_spAllocIn;
    bool m_bReadOnly = false;
    ALLOCATOR_PROPERTIES m_propsIn = {};
    ULONG m_nStoppedSamples = 0;

protected:
    TPin* Pin() { return static_cast<TPin*>(this); }

    // The checks made under the pin lock before a sample reaches the filter.
    HRESULT CheckReceive(IMediaSample* pSample)
    {
        TPin* p = Pin();
        CComObjectRootMT::ObjectLock lock(p);
        if (!p->IsConnected() || p->m_pFilter == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s IMemInputPinImpl::Receive(): Input pin not connected\n", p->m_szTag);
            return VFW_E_NOT_CONNECTED;
        }
        if (p->m_bFlushing)
        {
            TraceW(TRACE_CAT_GENERAL, 2, L"%s IMemInputPinImpl::Receive(): pin in flush state, sample rejected\n", p->m_szTag);
            return S_FALSE;
        }
        if (p->FilterState() == State_Stopped)
        {
            if (m_nStoppedSamples < 10)
            {
                ++m_nStoppedSamples;
                TraceW(TRACE_CAT_GENERAL, 2, L"%s IMemInputPinImpl::Receive(): FilterState() == State_Stopped\n", p->m_szTag);
            }
            return VFW_E_WRONG_STATE;
        }
        m_nStoppedSamples = 0;
        if (p->IsExamineMediaTypes())
        {
            const HRESULT hr = p->SetMediaTypeFromSample(pSample);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }
};

// The allocator methods of IMemInputPin go to the filter's hooks.
template <class TPin>
class CMemInputPinFilter : public IMemInputPinImpl<TPin>
{
public:
    STDMETHOD(GetAllocator)(IMemAllocator** ppAllocator) override
    {
        TPin* p = this->Pin();
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s CMemInputPinFilter::GetAllocator\n", p->m_szTag);
        if (ppAllocator == nullptr)
            return E_POINTER;
        *ppAllocator = nullptr;
        if (p->m_pFilter == nullptr)
            return E_UNEXPECTED;
        CComObjectRootMT::ObjectLock lock(p);
        const HRESULT hr = p->m_pFilter->Filter_GetAllocator(p->m_dwCookie, ppAllocator);
        if (hr == S_OK)
        {
            TRACE_ASSERT(*ppAllocator != nullptr);
            TraceW(TRACE_CAT_INTERFACE, 8, L"%s CMemInputPinFilter::GetAllocator()=S_OK, pAllocator=0x%p\n", p->m_szTag,
                   *ppAllocator);
        }
        else if (FAILED(hr))
        {
            TRACE_ASSERT(*ppAllocator == nullptr);
            TraceW(TRACE_CAT_GENERAL, 8, L"%s CMemInputPinFilter::GetAllocator(): can't get allocator from filter, hr=0x%X\n",
                   p->m_szTag, hr);
        }
        return hr;
    }

    STDMETHOD(NotifyAllocator)(IMemAllocator* pAllocator, BOOL bReadOnly) override
    {
        TPin* p = this->Pin();
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s CMemInputPinFilter::NotifyAllocator( 0x%p%s)\n", p->m_szTag, pAllocator,
               bReadOnly ? L", READ ONLY " : L" ");
        if (pAllocator == nullptr)
            return E_POINTER;
        if (p->m_pFilter == nullptr)
            return E_UNEXPECTED;
        CComObjectRootMT::ObjectLock lock(p);
        const HRESULT hr = p->m_pFilter->Filter_NotifyAllocator(p->m_dwCookie, pAllocator, bReadOnly);
        if (hr == S_OK)
            return this->NotifyAllocatorImpl(pAllocator, bReadOnly);
        TraceW(TRACE_CAT_GENERAL, 8, L"%s CMemInputPinFilter::NotifyAllocator(): Filter_NotifyAllocator()=0x%X\n", p->m_szTag,
               hr);
        return hr;
    }

    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* pProps) override
    {
        TPin* p = this->Pin();
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s CMemInputPinFilter::GetAllocatorRequirements\n", p->m_szTag);
        if (pProps == nullptr)
            return E_POINTER;
        if (p->m_pFilter == nullptr)
            return E_UNEXPECTED;
        CComObjectRootMT::ObjectLock lock(p);
        const HRESULT hr = p->m_pFilter->Filter_GetAllocatorRequirements(p->m_dwCookie, pProps);
        if (hr == S_OK)
            TraceW(TRACE_CAT_GENERAL, 8, L"%s CMemInputPinFilter::GetAllocatorRequirements(): properties = { %i, %i, %i, %i }\n",
                   p->m_szTag, pProps->cBuffers, pProps->cbBuffer, pProps->cbAlign, pProps->cbPrefix);
        else
            TraceW(TRACE_CAT_GENERAL, 8,
                   L"%s CMemInputPinFilter::GetAllocatorRequirements(): Filter_GetAllocatorRequirements()=0x%X\n", p->m_szTag, hr);
        return hr;
    }
};

// ---------------------------------------------------------------------------
// Input pin

template <class TPin, class TFilter>
class CInputPin : public CPinBase<TPin, TFilter>,
                  public IPinImpl<TPin>,
                  public IQualityControlImpl<TPin>,
                  public CMemInputPinFilter<TPin>,
                  public IKsPropertySetRedir<TPin>
{
public:
    typedef CPinBase<TPin, TFilter> Base;

    CInputPin() { this->m_ePinDir = PINDIR_INPUT; }

    BEGIN_COM_MAP(CInputPin)
    COM_INTERFACE_ENTRY(IPin)
    COM_INTERFACE_ENTRY(IQualityControl)
    COM_INTERFACE_ENTRY(IMemInputPin)
    COM_INTERFACE_ENTRY_FUNC(IID_IKsPropertySet, QueryKsPropertySet)
    COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig, CTearOffMixerPinConfigFix<CInputPin>)
    COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig2, CTearOffMixerPinConfigFix<CInputPin>)
    COM_INTERFACE_ENTRY_FUNC_BLIND(QueryInterfaceTail)
    END_COM_MAP()

    // Hooks of the concrete pin, answered here by default.
    bool IsDynamicReconnectAllowed() { return true; }
    bool IsExamineMediaTypes() { return true; }
    HRESULT QueryInterfaceCatchAll(REFIID, void**) { return E_NOINTERFACE; }

    STDMETHOD(Connect)(IPin*, const AM_MEDIA_TYPE*) override { return TraceNotImplemented(L"IPinImpl::Connect"); }

    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override
    {
        TPin* p = static_cast<TPin*>(this);
        WCHAR szPrefix[DS_NAME_MAX + 48];
        StrFormat(szPrefix, ARRAYSIZE(szPrefix), L"+++++++++++++++ %s receive connection from ", this->m_szTag);
        Debug_FilterFromPin(TRACE_CAT_GENERAL, 8, szPrefix, pConnector);
        if (pmt == nullptr)
            TraceW(TRACE_CAT_GENERAL, 8, L"Empty media type\n");
        else
            Debug_MediaType(TRACE_CAT_GENERAL, 8, pmt, this->m_szTag);
        if (pConnector == nullptr || pmt == nullptr)
            return E_POINTER;
        CComObjectRootMT::ObjectLock lock(p);
        const HRESULT hr = ReceiveConnectionLocked(pConnector, pmt);
        if (FAILED(hr))
            TraceW(TRACE_CAT_INTERFACE, 8, L"%s ReceiveConnection(): Connection not accepted, hr=0x%X\n", this->m_szTag, hr);
        return hr;
    }

    STDMETHOD(BeginFlush)() override
    {
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IPinImpl::BeginFlush\n", this->m_szTag);
        {
            CComObjectRootMT::ObjectLock lock(this);
            this->m_bFlushing = true;
        }
        const HRESULT hr = this->m_pFilter != nullptr ? this->m_pFilter->Filter_BeginFlush(this->m_dwCookie) : E_UNEXPECTED;
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IPinImpl::BeginFlush()=0x%X\n", this->m_szTag, hr);
        return hr;
    }

    STDMETHOD(EndFlush)() override
    {
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IPinImpl::EndFlush\n", this->m_szTag);
        const HRESULT hr = this->m_pFilter != nullptr ? this->m_pFilter->Filter_EndFlush(this->m_dwCookie) : E_UNEXPECTED;
        {
            CComObjectRootMT::ObjectLock lock(this);
            this->m_bFlushing = false;
            ResetSegment();
        }
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IPinImpl::EndFlush() = 0x%X\n", this->m_szTag, hr);
        return hr;
    }

    STDMETHOD(EndOfStream)() override
    {
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IPinImpl::EndOfStream\n", this->m_szTag);
        bool bFlushing;
        {
            CComObjectRootMT::ObjectLock lock(this);
            bFlushing = this->m_bFlushing;
        }
        if (bFlushing)
            return S_FALSE;
        return this->m_pFilter != nullptr ? this->m_pFilter->Filter_EndOfStream(this->m_dwCookie) : E_UNEXPECTED;
    }

    STDMETHOD(NewSegment)(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override
    {
        WCHAR szStart[32], szStop[32];
        TraceW(TRACE_CAT_INTERFACE, 8, L"%s IPinImpl::NewSegment( tS=%s, tE=%s, rate=%g )\n", this->m_szTag,
               RefTime2Str(tStart, szStart), RefTime2Str(tStop, szStop), dRate);
        {
            CComObjectRootMT::ObjectLock lock(this);
            m_tSegStart = tStart;
            m_tSegStop = tStop;
            m_dSegRate = dRate;
        }
        return this->m_pFilter != nullptr ? this->m_pFilter->Filter_NewSegment(this->m_dwCookie, tStart, tStop, dRate)
                                          : E_UNEXPECTED;
    }

    // Quality messages without a sink go to the upstream pin.
    HRESULT NotifyDefaultTarget(IBaseFilter* pSelf, Quality q)
    {
        CComPtr<IQualityControl> spTarget;
        {
            CComObjectRootMT::ObjectLock lock(this);
            if (!this->IsConnected())
                return VFW_E_NOT_CONNECTED;
            const HRESULT hr = this->m_spConnected->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&spTarget));
            if (FAILED(hr) || spTarget == nullptr)
                return E_NOINTERFACE;
        }
        return spTarget->Notify(pSelf, q);
    }

    void BreakConnection()
    {
        this->ReleaseAllocIn();
        this->m_bReadOnly = false;
        ZeroMemory(&this->m_propsIn, sizeof(this->m_propsIn));
        this->m_nStoppedSamples = 0;
        this->SetPeer(nullptr);
        this->m_bFlushing = false;
        ResetSegment();
    }

    // Forgets what the pin knew of its neighbours when the filter leaves its graph.
    void ClearPin()
    {
        CComObjectRootMT::ObjectLock lock(this);
        this->m_pQualitySink = nullptr;
        this->m_bFlushing = false;
        ResetSegment();
        if (this->IsConnected())
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s ClearPin(): Pin not disconnected\n", this->m_szTag);
        this->m_bDisconnecting = false;
    }

    void ResetSegment()
    {
        m_tSegStart = 0;
        m_tSegStop = 0;
        m_dSegRate = 1.0;
    }

    bool m_bFlushing = false;
    REFERENCE_TIME m_tSegStart = 0;
    REFERENCE_TIME m_tSegStop = 0;
    double m_dSegRate = 1.0;

protected:
    HRESULT QueryInterfaceTail(REFIID riid, void** ppv) { return static_cast<TPin*>(this)->QueryInterfaceCatchAll(riid, ppv); }

    HRESULT QueryKsPropertySet(REFIID riid, void** ppv) { return this->template QueryRedirectedInterface<IKsPropertySet>(riid, ppv); }


    HRESULT ReceiveConnectionLocked(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
    {
        TPin* p = static_cast<TPin*>(this);
        if (this->m_pFilter == nullptr)
            return E_UNEXPECTED;
        if (!this->IsCounterpart(pConnector))
            return VFW_E_INVALID_DIRECTION;
        const bool bStopped = this->FilterState() == State_Stopped;
        if (bStopped && this->IsConnected())
            return VFW_E_ALREADY_CONNECTED;
        if (!bStopped)
        {
            if (!p->IsDynamicReconnectAllowed())
                return VFW_E_NOT_STOPPED;
            if (!TRACE_ASSERT_TEXT(this->IsConnected(),
                                   "CInputPin<>::ReceiveConnection(): Attempt of dynamic reconnection of free pin"))
                return VFW_E_NOT_CONNECTED;
            if (!TRACE_ASSERT_TEXT(this->m_spConnected.IsEqualObject(pConnector),
                                   "CInputPin<>::ReceiveConnection(): Dynamic reconnection with different pin"))
                return E_FAIL;
        }
        if (!p->QueryAcceptMT(pmt))
            return VFW_E_TYPE_NOT_ACCEPTED;
        CMType mtOld(this->m_mt);
        HRESULT hr = this->m_mt.Set(pmt);
        if (FAILED(hr))
            return hr;
        if (bStopped)
            this->SetPeer(pConnector);
        hr = this->m_pFilter->Filter_CompleteConnect(this->m_dwCookie);
        // Only S_OK connects: the connecting pin counts nothing else as a yes,
        // so any other answer must leave this pin as it was.
        if (hr != S_OK)
        {
            if (bStopped)
                this->SetPeer(nullptr);
            this->m_mt = mtOld;
            return FailureOr(hr, VFW_E_TYPE_NOT_ACCEPTED);
        }
        return S_OK;
    }
};

// ---------------------------------------------------------------------------
// Output pin allocator: which allocator it delivers in and its activation

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

// ---------------------------------------------------------------------------
// Output pin

template <class TPin, class TFilter>
class COutputPin : public CPinBase<TPin, TFilter>,
                   public IPinImpl<TPin>,
                   public IQualityControlImpl<TPin>,
                   public IMediaSeekingRedir<TPin>,
                   public CTransInPlaceAllocator<TPin>
{
public:
    COutputPin()
    {
        this->m_ePinDir = PINDIR_OUTPUT;
        InitializeCriticalSection(&m_csDelivery);
    }
    ~COutputPin() override { DeleteCriticalSection(&m_csDelivery); }

    BEGIN_COM_MAP(COutputPin)
    COM_INTERFACE_ENTRY(IPin)
    COM_INTERFACE_ENTRY(IQualityControl)
    COM_INTERFACE_ENTRY_FUNC(IID_IMediaSeeking, QueryMediaSeeking)
    END_COM_MAP()

    HRESULT PinInit()
    {
        m_nRedirectMT = this->m_pFilter != nullptr ? this->m_pFilter->GetMediaTypeRedirection() : 0;
        return S_OK;
    }

    // Called once a media type is agreed; the concrete pin completes the
    // connection here, by default with the allocator agreement.
    HRESULT AgreeExchange() { return AgreeAllocator(); }

    STDMETHOD(Connect)(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override
    {
        TPin* p = static_cast<TPin*>(this);
        WCHAR szPrefix[DS_NAME_MAX + 48];
        StrFormat(szPrefix, ARRAYSIZE(szPrefix), L"*************** %s start of connection to ", this->m_szTag);
        Debug_FilterFromPin(TRACE_CAT_GENERAL, 8, szPrefix, pReceivePin);
        if (pmt == nullptr)
            TraceW(TRACE_CAT_GENERAL, 8, L"Empty media type\n");
        else
            Debug_MediaType(TRACE_CAT_GENERAL, 8, pmt, this->m_szTag);
        if (pReceivePin == nullptr)
            return E_POINTER;
        CComObjectRootMT::ObjectLock lock(p);
        // A failed connection leaves the type the pin had before.
        const CMType mtBefore(this->m_mt);
        HRESULT hr = ConnectLocked(pReceivePin, pmt);
        if (hr == S_OK)
        {
            hr = p->AgreeExchange();
            if (hr == S_OK)
            {
                TraceW(TRACE_CAT_GENERAL, 8, L"*************** %s connection established\n", this->m_szTag);
                return S_OK;
            }
            if (this->m_pFilter != nullptr)
                this->m_pFilter->Filter_Disconnect(this->m_dwCookie);
            p->BreakConnection();
        }
        if (!this->IsConnected())
            this->m_mt = mtBefore;
        TraceW(TRACE_CAT_GENERAL, 8, L"%s Connect(): connection not accepted, hr=0x%X\n", this->m_szTag, hr);
        return FailureOr(hr, VFW_E_NO_ACCEPTABLE_TYPES);
    }

    STDMETHOD(ReceiveConnection)(IPin*, const AM_MEDIA_TYPE*) override
    {
        return TraceNotImplemented(L"IPinImpl::ReceiveConnection");
    }
    STDMETHOD(EndOfStream)() override { return TraceNotImplemented(L"IPinImpl::EndOfStream"); }
    STDMETHOD(BeginFlush)() override { return TraceNotImplemented(L"IPinImpl::BeginFlush"); }
    STDMETHOD(EndFlush)() override { return TraceNotImplemented(L"IPinImpl::EndFlush"); }
    STDMETHOD(NewSegment)(REFERENCE_TIME, REFERENCE_TIME, double) override
    {
        return TraceNotImplemented(L"IPinImpl::NewSegment");
    }

    // With media type redirection on, the pin offers the upstream types.
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) override
    {
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IPinImpl::EnumMediaTypes() [%s]\n", this->m_szTag, this->DirText());
        CComObjectRootMT::ObjectLock lock(this);
        if (m_nRedirectMT == 1)
        {
            CComPtr<IPin> spUpstream;
            if (SUCCEEDED(this->QueryRedirect(IID_IPin, reinterpret_cast<void**>(&spUpstream))) && spUpstream != nullptr)
                return spUpstream->EnumMediaTypes(ppEnum);
        }
        return CComDSEnum<CMediaTypesAccessor<TPin>>::Create(static_cast<TPin*>(this), 0, ppEnum);
    }

    HRESULT AgreeMediaType(IPin* pReceivePin)
    {
        const HRESULT hr = AgreeExternMT(pReceivePin);
        return SUCCEEDED(hr) ? hr : AgreeInnerMT(pReceivePin);
    }

    HRESULT AgreeExternMT(IPin* pReceivePin)
    {
        TRACE_ASSERT(pReceivePin != nullptr);
        CComPtr<IEnumMediaTypes> spEnum;
        HRESULT hr = pReceivePin->EnumMediaTypes(&spEnum);
        if (SUCCEEDED(hr))
            hr = spEnum != nullptr ? TryMediaTypes(pReceivePin, spEnum) : E_POINTER;
        return AgreementResult(hr, L"%s AgreeExternMT() successful\n", L"%s AgreeExternMT() FAILED, hr=0x%X\n");
    }

    HRESULT AgreeInnerMT(IPin* pReceivePin)
    {
        TRACE_ASSERT(pReceivePin != nullptr);
        CComPtr<IEnumMediaTypes> spEnum;
        HRESULT hr = static_cast<IPin*>(static_cast<TPin*>(this))->EnumMediaTypes(&spEnum);
        if (SUCCEEDED(hr))
            hr = spEnum != nullptr ? TryMediaTypes(pReceivePin, spEnum) : E_POINTER;
        return AgreementResult(hr, L"%s AgreeInnerMT() successful\n", L"%s AgreeInnerMT() FAILED, hr=0x%X\n");
    }

    HRESULT TryMediaTypes(IPin* pReceivePin, IEnumMediaTypes* pEnum)
    {
        TraceW(TRACE_CAT_GENERAL, 10, L"%s TryMediaTypes\n", this->m_szTag);
        HRESULT hr = pEnum->Reset();
        if (FAILED(hr))
            return hr;
        for (;;)
        {
            AM_MEDIA_TYPE* pmt = nullptr;
            ULONG cFetched = 0;
            hr = pEnum->Next(1, &pmt, &cFetched);
            if (hr != S_OK)
            {
                MTDelete(pmt);
                return FailureOr(hr, VFW_E_NO_ACCEPTABLE_TYPES);
            }
            // An enumerator that says S_OK without a type has nothing more to give.
            if (!TRACE_ASSERT(cFetched == 1 && pmt != nullptr))
            {
                MTDelete(pmt);
                return VFW_E_NO_ACCEPTABLE_TYPES;
            }
            hr = AttemptConnection(pReceivePin, pmt);
            MTDelete(pmt);
            if (hr == S_OK)
                return S_OK;
        }
    }

    HRESULT AttemptConnection(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
    {
        TPin* p = static_cast<TPin*>(this);
        TraceW(TRACE_CAT_GENERAL, 10, L"%s AttemptConnection\n", this->m_szTag);
        TraceW(TRACE_CAT_GENERAL, 10, L"%s AttemptConnection(): connection with media type ------------------\n", this->m_szTag);
        Debug_MediaType(TRACE_CAT_GENERAL, 10, pmt, this->m_szTag);
        if (pmt == nullptr)
            return E_POINTER;
        HRESULT hr = S_OK;
        if (p->QueryAcceptMT(pmt))
        {
            CMType mtOld(this->m_mt);
            hr = this->m_mt.Set(pmt);
            if (hr == S_OK)
                hr = ExecConnection(pReceivePin);
            if (hr == S_OK)
            {
                TraceW(TRACE_CAT_GENERAL, 10, L"%s AttemptConnection(): Connection succeeded --------------------\n",
                       this->m_szTag);
                return S_OK;
            }
            this->m_mt = mtOld;
        }
        TraceW(TRACE_CAT_GENERAL, 10, L"%s AttemptConnection(): Connection failed, hr=0x%X --------------------\n",
               this->m_szTag, hr);
        return FailureOr(hr, VFW_E_TYPE_NOT_ACCEPTED);
    }

    HRESULT ExecConnection(IPin* pReceivePin)
    {
        TraceW(TRACE_CAT_GENERAL, 10, L"%s ExecConnection\n", this->m_szTag);
        if (!TRACE_ASSERT(this->m_pFilter != nullptr) || !TRACE_ASSERT(this->IsCounterpart(pReceivePin)))
            return E_UNEXPECTED;
        CMType mt(this->m_mt);
        if (IsEqualGUID(mt.majortype, GUID_NULL))
            return VFW_E_TYPE_NOT_ACCEPTED;
        this->SetPeer(pReceivePin);
        HRESULT hr = pReceivePin->ReceiveConnection(static_cast<IPin*>(static_cast<TPin*>(this)), &mt);
        if (hr == S_OK)
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s ExecConnection(): connection accepted, mediatype:\n", this->m_szTag);
            Debug_MediaType(TRACE_CAT_GENERAL, 8, &mt, L"    MT:");
            hr = this->m_pFilter->Filter_CompleteConnect(this->m_dwCookie);
            if (hr == S_OK)
                return S_OK;
            TraceW(TRACE_CAT_GENERAL, 8, L"%s ExecConnection(): m_pFilter->Filter_CompleteConnect()=0x%X\n", this->m_szTag, hr);
            pReceivePin->Disconnect();
        }
        else
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s ExecConnection(): m_spConnected->ReceiveConnection()=0x%X\n", this->m_szTag, hr);
            // A peer that answered a qualified yes may hold the connection:
            // both pins connected or neither.
            if (SUCCEEDED(hr))
                pReceivePin->Disconnect();
        }
        this->SetPeer(nullptr);
        return FailureOr(hr, VFW_E_TYPE_NOT_ACCEPTED);
    }

    // Settles the allocator with the downstream pin once the type is agreed.
    HRESULT AgreeAllocator()
    {
        TRACE_ASSERT(m_spMemInput == nullptr);
        if (!this->IsConnected())
            return VFW_E_NOT_CONNECTED;
        CComPtr<IMemInputPin> spMemInput;
        HRESULT hr = this->m_spConnected->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput));
        if (SUCCEEDED(hr) && spMemInput == nullptr)
            hr = E_NOINTERFACE;
        if (SUCCEEDED(hr))
            hr = this->AllocatorAgree(spMemInput);
        if (hr == S_OK)
        {
            CScopedLock delivery(&m_csDelivery);
            m_spMemInput = spMemInput;
            TraceW(TRACE_CAT_GENERAL, 8, L"%s Allocator agreement successful\n", this->m_szTag);
            return S_OK;
        }
        TraceW(TRACE_CAT_GENERAL, 8, L"%s Allocator agreement FAILED, hr=0x%X\n", this->m_szTag, hr);
        return FailureOr(hr, E_FAIL);
    }

    HRESULT GetSample(IMediaSample** ppSample, DWORD dwFlags)
    {
        if (ppSample == nullptr)
            return E_POINTER;
        *ppSample = nullptr;
        CComPtr<IMemAllocator> spMemAlloc;
        {
            CScopedLock delivery(&m_csDelivery);
            spMemAlloc = this->m_spAllocOut;
        }
        if (spMemAlloc == nullptr)
            return VFW_E_NO_ALLOCATOR;
        HRESULT hr = spMemAlloc->GetBuffer(ppSample, nullptr, nullptr, dwFlags);
        if (hr == S_OK && *ppSample == nullptr)
            hr = E_POINTER; // an allocator that says yes without a sample
        if (hr == S_OK)
            return S_OK;
        if (hr == VFW_E_TIMEOUT && (dwFlags & AM_GBF_NOWAIT) != 0)
            TraceW(TRACE_CAT_GENERAL, 10, L"%s COutputPin::GetSample(): spMemAlloc->GetBuffer()=VFW_E_TIMEOUT\n", this->m_szTag);
        else if (hr == VFW_E_NOT_COMMITTED)
            TraceW(TRACE_CAT_GENERAL, 4, L"### %s COutputPin::GetSample(): spMemAlloc->GetBuffer()=VFW_E_NOT_COMMITTED\n",
                   this->m_szTag);
        else
            TraceW(TRACE_CAT_GENERAL, 4, L"### %s COutputPin::GetSample(): spMemAlloc->GetBuffer()=0x%X\n", this->m_szTag, hr);
        if (SUCCEEDED(hr))
        {
            if (*ppSample != nullptr)
                (*ppSample)->Release();
            *ppSample = nullptr;
            return E_FAIL;
        }
        return hr;
    }

    HRESULT SendSample(IMediaSample* pSample)
    {
        // The downstream pin is taken under the delivery lock so that a
        // disconnection cannot release it while a sample is on its way.
        CComPtr<IMemInputPin> spMemInput;
        {
            CScopedLock delivery(&m_csDelivery);
            spMemInput = m_spMemInput;
        }
        if (!TRACE_ASSERT(pSample != nullptr))
            return E_POINTER;
        if (!TRACE_ASSERT(spMemInput != nullptr))
            return VFW_E_NOT_CONNECTED;
        const HRESULT hr = spMemInput->Receive(pSample);
        if (hr == S_FALSE)
            TraceW(TRACE_CAT_GENERAL, 8, L"%s SendSample(): m_spMemInput->Receive()=S_FALSE\n", this->m_szTag);
        else if (hr != S_OK)
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s SendSample(): m_spMemInput->Receive()=0x%X\n", this->m_szTag, hr);
        return hr;
    }

    // Quality messages without a sink go to the filter.
    HRESULT NotifyDefaultTarget(IBaseFilter* pSelf, Quality q)
    {
        if (!TRACE_ASSERT(this->m_pFilter != nullptr))
            return E_UNEXPECTED;
        return this->m_pFilter->Filter_QualityNotify(this->m_dwCookie, pSelf, q);
    }

    void BreakConnection()
    {
        if (!this->IsConnected())
            return;
        this->ReleaseAllocator();
        CComPtr<IMemInputPin> spOldMemInput;
        {
            CScopedLock delivery(&m_csDelivery);
            spOldMemInput.Attach(m_spMemInput.Detach());
        }
        const CComPtr<IPin> spPeer = this->ConnectedPeer();
        this->SetPeer(nullptr);
        spPeer->Disconnect();
    }

    void ClearPin()
    {
        CComObjectRootMT::ObjectLock lock(this);
        this->m_pQualitySink = nullptr;
        if (this->IsConnected())
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s ClearPin(): Pin not disconnected\n", this->m_szTag);
        this->m_bDisconnecting = false;
    }

    CRITICAL_SECTION m_csDelivery;
    CComPtr<IMemInputPin> m_spMemInput;
    int m_nRedirectMT = 0;

protected:
    HRESULT QueryMediaSeeking(REFIID riid, void** ppv) { return this->template QueryRedirectedInterface<IMediaSeeking>(riid, ppv); }

    HRESULT ConnectLocked(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
    {
        if (this->IsConnected())
            return VFW_E_ALREADY_CONNECTED;
        if (!this->IsCounterpart(pReceivePin))
            return VFW_E_INVALID_DIRECTION;
        if (this->FilterState() != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (pmt != nullptr && !IsEqualGUID(pmt->majortype, GUID_NULL))
            return AttemptConnection(pReceivePin, pmt);
        const HRESULT hr = AgreeMediaType(pReceivePin);
        if (SUCCEEDED(hr))
            return hr;
        return this->m_pFilter != nullptr ? this->m_pFilter->Filter_AgreeMT(this->m_dwCookie, pReceivePin) : hr;
    }

    HRESULT AgreementResult(HRESULT hr, LPCWSTR pszSuccess, LPCWSTR pszFailure)
    {
        if (hr == S_OK)
        {
            TraceW(TRACE_CAT_GENERAL, 10, pszSuccess, this->m_szTag);
            return S_OK;
        }
        TraceW(TRACE_CAT_GENERAL, 8, pszFailure, this->m_szTag, hr);
        return FailureOr(hr, VFW_E_NO_ACCEPTABLE_TYPES);
    }
};

// ---------------------------------------------------------------------------
// Filter

// Instance numbers shared by every filter of the process.
struct CFilterTraceIds
{
    static DWORD Next() { return static_cast<DWORD>(InterlockedIncrement(&s_nLast)); }
    static inline LONG volatile s_nLast = 0;
};

template <class T>
class IBaseFilterImpl : public IBaseFilter
{
public:
    STDMETHOD(GetClassID)(CLSID* pClassID) override
    {
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IBaseFilterImpl::GetClassID\n", Filter()->m_szTag);
        if (pClassID == nullptr)
            return E_INVALIDARG;
        *pClassID = T::GetObjectCLSID();
        return S_OK;
    }

    STDMETHOD(Stop)() override
    {
        T* pT = Filter();
        TraceW(TRACE_CAT_INTERFACE, 4, L"%s IBaseFilterImpl::Stop\n", pT->m_szTag);
        if (ReadState() == State_Running)
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s IBaseFilterImpl::Stop(): current state is State_Running, call Pause() command\n",
                   pT->m_szTag);
            const HRESULT hr = static_cast<IBaseFilter*>(pT)->Pause();
            if (FAILED(hr))
            {
                TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s IBaseFilterImpl::Stop(): Pause()=0x%X\n", pT->m_szTag, hr);
                return hr;
            }
            TraceW(TRACE_CAT_INTERFACE, 8, L"%s IBaseFilterImpl::Stop(): stop after pause\n", pT->m_szTag);
        }
        HRESULT hr;
        {
            CComObjectRootMT::ObjectLock lock(pT);
            hr = pT->ChangeState(State_Stopped, 0);
        }
        pT->WaitForStreaming();
        return hr;
    }

    STDMETHOD(Pause)() override
    {
        T* pT = Filter();
        TraceW(TRACE_CAT_INTERFACE, 4, L"%s IBaseFilterImpl::Pause\n", pT->m_szTag);
        CComObjectRootMT::ObjectLock lock(pT);
        return pT->ChangeState(State_Paused, 0);
    }

    STDMETHOD(Run)(REFERENCE_TIME tStart) override
    {
        T* pT = Filter();
        WCHAR szStart[32];
        TraceW(TRACE_CAT_INTERFACE, 4, L"%s IBaseFilterImpl::Run( %s )\n", pT->m_szTag, RefTime2Str(tStart, szStart));
        if (ReadState() == State_Stopped)
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s IBaseFilterImpl::Run(): current state is State_Stopped, call Pause() command\n",
                   pT->m_szTag);
            const HRESULT hr = static_cast<IBaseFilter*>(pT)->Pause();
            if (FAILED(hr))
            {
                TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s IBaseFilterImpl::Run(): Pause()=0x%X\n", pT->m_szTag, hr);
                return hr;
            }
            TraceW(TRACE_CAT_INTERFACE, 8, L"%s IBaseFilterImpl::Run(): run after pause\n", pT->m_szTag);
        }
        CComObjectRootMT::ObjectLock lock(pT);
        return pT->ChangeState(State_Running, tStart);
    }

    STDMETHOD(GetState)(DWORD, FILTER_STATE* State) override
    {
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IBaseFilterImpl::GetState\n", Filter()->m_szTag);
        if (State == nullptr)
            return E_POINTER;
        *State = Filter()->m_eState;
        return S_OK;
    }

    STDMETHOD(SetSyncSource)(IReferenceClock* pClock) override
    {
        T* pT = Filter();
        CComObjectRootMT::ObjectLock lock(pT);
        pT->m_spClock = pClock;
        if (pClock == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s IBaseFilterImpl::SetSyncSource( NULL )\n", pT->m_szTag);
            return S_OK;
        }
        CComPtr<IPersist> spPersist;
        if (FAILED(pClock->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&spPersist))) || spPersist == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s IBaseFilterImpl::SetSyncSource( 0x%p ): clock hasn't CLSID\n", pT->m_szTag, pClock);
            return S_OK;
        }
        CLSID clsid = GUID_NULL;
        const HRESULT hr = spPersist->GetClassID(&clsid);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s IBaseFilterImpl::SetSyncSource( 0x%p ): spPersist->GetClassID()=0x%X\n",
                   pT->m_szTag, pClock, hr);
            return S_OK;
        }
        WCHAR szClsid[128];
        TraceW(TRACE_CAT_GENERAL, 8, L"%s IBaseFilterImpl::SetSyncSource( 0x%p ): CLSID = %s\n", pT->m_szTag, pClock,
               Guid2Name(clsid, szClsid, ARRAYSIZE(szClsid)));
        return S_OK;
    }

    STDMETHOD(GetSyncSource)(IReferenceClock** pClock) override
    {
        T* pT = Filter();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IBaseFilterImpl::GetSyncSource\n", pT->m_szTag);
        if (pClock == nullptr)
            return E_POINTER;
        CComObjectRootMT::ObjectLock lock(pT);
        *pClock = pT->m_spClock;
        if (*pClock != nullptr)
            (*pClock)->AddRef();
        return S_OK;
    }

    STDMETHOD(EnumPins)(IEnumPins** ppEnum) override
    {
        T* pT = Filter();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IBaseFilterImpl::EnumPins\n", pT->m_szTag);
        CComObjectRootMT::ObjectLock lock(pT);
        return CComDSEnum<CPinAccessor<T>>::Create(pT, 0, ppEnum);
    }

    STDMETHOD(FindPin)(LPCWSTR Id, IPin** ppPin) override
    {
        T* pT = Filter();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IBaseFilterImpl::FindPin\n", pT->m_szTag);
        if (Id == nullptr || ppPin == nullptr)
            return E_POINTER;
        *ppPin = nullptr;
        CComPtr<IEnumPins> spEnum;
        HRESULT hr = static_cast<IBaseFilter*>(pT)->EnumPins(&spEnum);
        if (FAILED(hr))
            return hr;
        for (;;)
        {
            CComPtr<IPin> spPin;
            hr = spEnum->Next(1, &spPin, nullptr);
            if (hr == S_FALSE)
                return VFW_E_NOT_FOUND;
            if (hr != S_OK)
                return FailureOr(hr, E_FAIL);
            LPWSTR pszId = nullptr;
            hr = spPin->QueryId(&pszId);
            if (FAILED(hr))
                return hr;
            const bool bMatch = pszId != nullptr && wcscmp(pszId, Id) == 0;
            CoTaskMemFree(pszId);
            if (bMatch)
            {
                *ppPin = spPin.Detach();
                return S_OK;
            }
        }
    }

    STDMETHOD(QueryFilterInfo)(FILTER_INFO* pInfo) override
    {
        T* pT = Filter();
        TraceW(TRACE_CAT_INTERFACE, 10, L"%s IBaseFilterImpl::QueryFilterInfo\n", pT->m_szTag);
        if (pInfo == nullptr)
            return E_INVALIDARG;
        StrCopy(pInfo->achName, DS_NAME_MAX, pT->m_szGraphName[0] != 0 ? pT->m_szGraphName : pT->m_szDefaultName);
        pInfo->pGraph = pT->m_pFilterGraphJoin;
        if (pInfo->pGraph != nullptr)
            pInfo->pGraph->AddRef();
        return S_OK;
    }

    STDMETHOD(JoinFilterGraph)(IFilterGraph* pGraph, LPCWSTR pName) override
    {
        T* pT = Filter();
        TraceW(TRACE_CAT_INTERFACE, 4, L"%s IBaseFilterImpl::JoinFilterGraph( 0x%08X, '%s' )\n", pT->m_szTag,
               static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pGraph)), pName != nullptr ? pName : L"null");
        CComObjectRootMT::ObjectLock lock(pT);
        if (pT->m_pFilterGraphJoin != nullptr && pGraph != nullptr)
            return E_FAIL;
        pT->ClearGraphLink();
        if (pGraph != nullptr)
        {
            pT->m_pFilterGraphJoin = pGraph;
            CComPtr<IMediaEventSink> spSink;
            if (SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&spSink))))
                pT->m_pEventSink = spSink; // the graph outlives its filters' membership
            if (pName != nullptr)
                StrCopy(pT->m_szGraphName, DS_NAME_MAX, pName);
        }
        const HRESULT hr = pT->Filter_JoinFilterGraph(pGraph != nullptr);
        if (pGraph != nullptr && FAILED(hr))
            pT->ClearGraphLink();
        return hr;
    }

    STDMETHOD(QueryVendorInfo)(LPWSTR*) override { return TraceNotImplemented(L"IBaseFilterImpl::QueryVendorInfo"); }

protected:
    T* Filter() { return static_cast<T*>(this); }

    FILTER_STATE ReadState()
    {
        CComObjectRootMT::ObjectLock lock(Filter());
        return Filter()->m_eState;
    }
};

template <class T>
class CBaseFilter : public IBaseFilterImpl<T>, public CComObjectRootMT
{
public:
    CBaseFilter() : m_dwTraceId(CFilterTraceIds::Next()) {}
    virtual LPCWSTR GetTraceName() { return m_szTag; }
    virtual void SetTraceName(LPCWSTR pszName) { StrFormat(m_szTag, DS_NAME_MAX, L"[%s %X]", pszName, m_dwTraceId); }
    // Answered by the concrete class's interface map (its first, plain entry).
    virtual IUnknown* GetControllingUnknown() = 0;
    virtual ~CBaseFilter() { TRACE_ASSERT_TEXT(m_eState == State_Stopped, "CBaseFilter<>::~CBaseFilter(): filter not stopped"); }

    // Requires a connected input for anything but Stopped; the output
    // allocator follows the state, and the state changes only when it did.
    HRESULT ChangeState(FILTER_STATE eNew, REFERENCE_TIME tStart)
    {
        T* pT = static_cast<T*>(this);
        if (!pT->IsInputReady() && eNew != State_Stopped)
        {
            StoreState(State_Stopped, 0);
            return VFW_E_WRONG_STATE;
        }
        const HRESULT hr = pT->ActivateOutput(eNew != State_Stopped);
        if (hr == S_OK)
            StoreState(eNew, tStart);
        return hr;
    }

    void StoreState(FILTER_STATE eNew, REFERENCE_TIME tStart)
    {
        if (m_eState == State_Stopped && eNew == State_Paused)
            ParseGraphToLogFile();
        if (eNew == State_Stopped || eNew == State_Paused)
            m_eState = eNew;
        else if (eNew == State_Running)
        {
            m_eState = eNew;
            m_tStart = tStart;
        }
    }

    void ParseGraphToLogFile() { WriteGraphToLog(m_pFilterGraphJoin, m_szTag); }

    // Reconnects one of our pins after a change of media type.
    HRESULT MakeReconnect(const AM_MEDIA_TYPE* pmt, IPin* pPin)
    {
        if (m_pFilterGraphJoin == nullptr)
            return VFW_E_NOT_IN_GRAPH;
        if (pPin == nullptr)
            return E_POINTER;
        if (m_eState != State_Stopped)
            return VFW_E_NOT_STOPPED;
        CComPtr<IPin> spPeer;
        if (FAILED(pPin->ConnectedTo(&spPeer)))
            return S_OK;
        PIN_DIRECTION eDir = PINDIR_INPUT;
        pPin->QueryDirection(&eDir);
        TraceW(TRACE_CAT_GENERAL, 8, L"%s CBaseFilter::MakeReconnect( %s )\n", m_szTag, eDir == PINDIR_INPUT ? L"In" : L"Out");
        if (eDir == PINDIR_INPUT)
            return ReconnectPin(pPin, pmt);
        CMType mtCurrent;
        const HRESULT hr = pPin->ConnectionMediaType(&mtCurrent);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s CBaseFilter::MakeReconnect( Out ): pPin->ConnectionMediaType()=0x%X\n",
                   m_szTag, hr);
            return hr;
        }
        if (pmt != nullptr && mtCurrent == *pmt)
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s CBaseFilter::MakeReconnect( Out ): reconnection stopped - media types are equal\n",
                   m_szTag);
            return S_OK;
        }
        return ReconnectPin(pPin, pmt);
    }

    HRESULT ReconnectPin(IPin* pPin, const AM_MEDIA_TYPE* pmt)
    {
        TraceW(TRACE_CAT_GENERAL, 10, L"%s CBaseFilter::ReconnectPin()\n", m_szTag);
        if (m_pFilterGraphJoin == nullptr)
            return VFW_E_NOT_IN_GRAPH;
        CComPtr<IFilterGraph2> spGraph2;
        if (SUCCEEDED(m_pFilterGraphJoin->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&spGraph2))) &&
            spGraph2 != nullptr)
            return spGraph2->ReconnectEx(pPin, pmt);
        return m_pFilterGraphJoin->Reconnect(pPin);
    }

    void ClearGraphLink()
    {
        m_pFilterGraphJoin = nullptr;
        m_pEventSink = nullptr;
        m_szGraphName[0] = 0;
    }

    DWORD m_dwTraceId;
    WCHAR m_szTag[DS_NAME_MAX] = {};
    WCHAR m_szDefaultName[DS_NAME_MAX] = {};
    WCHAR m_szGraphName[DS_NAME_MAX] = {};
    IFilterGraph* m_pFilterGraphJoin = nullptr;
    IMediaEventSink* m_pEventSink = nullptr;
    CComPtr<IReferenceClock> m_spClock;
    FILTER_STATE m_eState = State_Stopped;
    REFERENCE_TIME m_tStart = 0;
};

template <class T, class TIn, class TOut>
class CTransformFilter : public CBaseFilter<T>
{
public:
    typedef CComObject<TIn> InPinObject;
    typedef CComObject<TOut> OutPinObject;

    ~CTransformFilter() override { ReleasePins(); }

    HRESULT FinalConstruct()
    {
        TraceW(TRACE_CAT_GENERAL, 2, L"%s FinalConstruct()\n", this->m_szTag);
        return CreatePins(nullptr, nullptr);
    }

    HRESULT CreatePins(LPCWSTR pszIn, LPCWSTR pszOut)
    {
        ReleasePins();
        HRESULT hr = CreatePin<TIn>(&m_apIn, PINDIR_INPUT, pszIn != nullptr && pszIn[0] != 0 ? pszIn : L"In");
        if (FAILED(hr))
            return hr;
        hr = CreatePin<TOut>(&m_apOut, PINDIR_OUTPUT, pszOut != nullptr && pszOut[0] != 0 ? pszOut : L"Out");
        if (FAILED(hr))
            ReleasePins();
        return hr;
    }

    void ReleasePins()
    {
        TRACE_ASSERT(this->m_eState == State_Stopped);
        ReleasePin(m_apOut);
        ReleasePin(m_apIn);
    }

    // Option of the concrete filter: 1 makes the output pin offer the upstream types.
    int GetMediaTypeRedirection() { return 0; }

    HRESULT QueryRedirect(DWORD dwCookie, REFIID riid, void** ppv)
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        const CComPtr<IPin> spPeer = RedirectPeer(dwCookie);
        if (spPeer == nullptr)
            return E_NOTIMPL;
        return spPeer->QueryInterface(riid, ppv);
    }

    CComPtr<IPin> RedirectPeer(DWORD dwCookie)
    {
        if (dwCookie == PINDIR_INPUT && m_apOut != nullptr)
            return m_apOut->ConnectedPeer();
        if (dwCookie == PINDIR_OUTPUT && m_apIn != nullptr)
            return m_apIn->ConnectedPeer();
        return nullptr;
    }

    bool IsInputReady() const { return m_apIn != nullptr && m_apOut != nullptr && m_apIn->IsConnected(); }

    HRESULT ActivateOutput(bool bActive)
    {
        if (m_apOut == nullptr || !m_apOut->IsConnected())
            return S_OK;
        return m_apOut->AllocatorActivate(bActive);
    }

    // Waits for a sample that is still on its way through the filter.
    void WaitForStreaming()
    {
        if (m_apIn != nullptr)
        {
            CScopedLock streaming(&m_apIn->m_csReceive);
        }
    }

    // Back to the state of a filter outside any graph.
    void ResetFilter()
    {
        TRACE_ASSERT(this->m_eState == State_Stopped);
        if (m_apOut != nullptr)
            m_apOut->ClearPin();
        if (m_apIn != nullptr)
            m_apIn->ClearPin();
        this->m_eState = State_Stopped;
        this->ClearGraphLink();
        this->m_spClock.Release();
        this->m_tStart = 0;
    }

    InPinObject* m_apIn = nullptr;
    OutPinObject* m_apOut = nullptr;

private:
    template <class TPin>
    HRESULT CreatePin(CComObject<TPin>** ppPin, DWORD dwCookie, LPCWSTR pszName)
    {
        CComObject<TPin>* pPin = nullptr;
        HRESULT hr = CComObject<TPin>::CreateInstance(&pPin);
        if (FAILED(hr))
            return hr;
        pPin->AddRef();
        pPin->InitPin(static_cast<T*>(this), dwCookie, pszName);
        hr = pPin->PinInit();
        if (hr != S_OK)
        {
            pPin->m_pFilter = nullptr;
            pPin->Release();
            return FailureOr(hr, E_FAIL);
        }
        *ppPin = pPin;
        return S_OK;
    }

    template <class TPinObject>
    static void ReleasePin(TPinObject*& pPin)
    {
        if (pPin == nullptr)
            return;
        pPin->ClearPin();
        TRACE_ASSERT(!pPin->IsConnected());
        // A neighbour may still hold the pin; it must not reach a filter that is gone.
        pPin->m_pFilter = nullptr;
        pPin->Release();
        pPin = nullptr;
    }
};

// Default hooks of a filter that hands samples on in the buffers they came in.
template <class T, class TIn, class TOut>
class CTransInPlaceFilter : public CTransformFilter<T, TIn, TOut>
{
public:
    bool Filter_QueryAcceptMT(DWORD dwCookie, const AM_MEDIA_TYPE* pmt)
    {
        if (pmt == nullptr || IsEqualGUID(pmt->majortype, GUID_NULL))
            return false;
        if (dwCookie == PINDIR_INPUT)
            return DownstreamAccepts(pmt);
        if (dwCookie == PINDIR_OUTPUT)
            return UpstreamAccepts(pmt);
        TRACE_ASSERT_TEXT(false, "CTransInPlaceFilter::Filter_QueryAcceptMT(): Unknown cookie");
        return false;
    }

    HRESULT Filter_AgreeMT(DWORD dwCookie, IPin* pReceivePin)
    {
        TRACE_ASSERT(dwCookie == PINDIR_OUTPUT);
        if (this->m_apIn == nullptr || !this->m_apIn->IsConnected())
            return E_FAIL;
        const CComPtr<IPin> spUpstream = this->m_apIn->ConnectedPeer();
        if (spUpstream == nullptr)
            return E_FAIL;
        CComPtr<IEnumMediaTypes> spEnum;
        const HRESULT hr = spUpstream->EnumMediaTypes(&spEnum);
        if (hr != S_OK || spEnum == nullptr)
            return FailureOr(hr, E_FAIL);
        TraceW(TRACE_CAT_GENERAL, 8, L"%s Filter_AgreeMT(): Try to connect output pin with upstream media types\n", this->m_szTag);
        return this->m_apOut->TryMediaTypes(pReceivePin, spEnum);
    }

    // Upstream may deliver straight into our output allocator when both pins
    // carry the same type; otherwise it gets an allocator of its own.
    HRESULT Filter_GetAllocator(DWORD dwCookie, IMemAllocator** ppAllocator)
    {
        TRACE_ASSERT(dwCookie == PINDIR_INPUT);
        if (this->m_apOut != nullptr && this->m_apOut->IsConnected() && this->m_apIn->m_mt == this->m_apOut->m_mt &&
            TRACE_ASSERT(this->m_apOut->m_spAllocOut != nullptr))
        {
            *ppAllocator = this->m_apOut->m_spAllocOut;
            (*ppAllocator)->AddRef();
            return S_OK;
        }
        return CreateMemoryAllocator(ppAllocator, this->m_apIn->GetUnknown());
    }

    HRESULT Filter_GetAllocatorRequirements(DWORD, ALLOCATOR_PROPERTIES* pProps)
    {
        const CComPtr<IPin> spDownstream = this->m_apOut != nullptr ? this->m_apOut->ConnectedPeer() : nullptr;
        if (spDownstream == nullptr)
            return E_NOTIMPL;
        CComPtr<IMemInputPin> spMemInput;
        const HRESULT hr = spDownstream->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput));
        if (FAILED(hr) || spMemInput == nullptr)
            return FailureOr(hr, E_NOINTERFACE);
        return spMemInput->GetAllocatorRequirements(pProps);
    }

    HRESULT Filter_NotifyAllocator(DWORD, IMemAllocator* pAllocator, BOOL bReadOnly)
    {
        if (!TRACE_ASSERT(pAllocator != nullptr) || !TRACE_ASSERT(this->m_apIn != nullptr && this->m_apOut != nullptr))
            return E_POINTER;
        TOut* pOut = this->m_apOut;
        if (!pOut->IsConnected())
            return S_OK;
        m_bSeparateAllocators = !pOut->m_spAllocOut.IsEqualObject(pAllocator);
        if (m_bSeparateAllocators && pOut->m_eAllocSrc == eAS_Upstream)
        {
            const HRESULT hr = pOut->AgreePassThroughAllocator(pAllocator, bReadOnly != FALSE);
            if (FAILED(hr))
            {
                TraceW(TRACE_CAT_GENERAL, 2,
                       L"###Err### %s Filter_NotifyAllocator(): Re-agreement of allocator for output pin failed, hr=0x%X\n",
                       this->m_szTag, hr);
                static_cast<IPin*>(pOut)->Disconnect();
                return hr;
            }
            m_bSeparateAllocators = !pOut->m_spAllocOut.IsEqualObject(pAllocator);
        }
        if (m_bSeparateAllocators)
            TraceW(TRACE_CAT_GENERAL, 8, L"@@@@ %s Filter_NotifyAllocator(): Use separated allocators\n", this->m_szTag);
        else
            TraceW(TRACE_CAT_GENERAL, 8, L"@@@@ %s Filter_NotifyAllocator(): Use through-pass allocator\n", this->m_szTag);
        return S_OK;
    }

    HRESULT Filter_GetTransInPlaceAlloc(DWORD dwCookie, IMemAllocator** ppUpAlloc, bool* pbUseUpstream, bool* pbReadOnly)
    {
        TRACE_ASSERT(dwCookie == PINDIR_OUTPUT);
        *ppUpAlloc = nullptr;
        *pbUseUpstream = false;
        *pbReadOnly = false;
        TIn* pIn = this->m_apIn;
        if (pIn == nullptr || !pIn->IsConnected())
            return S_OK;
        if (TRACE_ASSERT(pIn->m_spAllocIn != nullptr))
        {
            *ppUpAlloc = pIn->m_spAllocIn;
            (*ppUpAlloc)->AddRef();
        }
        *pbReadOnly = pIn->m_bReadOnly;
        *pbUseUpstream = !pIn->m_bReadOnly;
        return S_OK;
    }

    HRESULT Filter_QualityNotify(DWORD dwCookie, IBaseFilter* pSender, Quality q)
    {
        TRACE_ASSERT(dwCookie == PINDIR_OUTPUT);
        if (this->m_apIn == nullptr)
            return E_UNEXPECTED;
        return static_cast<IQualityControl*>(this->m_apIn)->Notify(pSender, q);
    }

    bool m_bSeparateAllocators = false;

protected:
    bool DownstreamAccepts(const AM_MEDIA_TYPE* pmt)
    {
        const CComPtr<IPin> spDownstream = this->m_apOut != nullptr ? this->m_apOut->ConnectedPeer() : nullptr;
        if (spDownstream == nullptr)
            return true;
        if (spDownstream->QueryAccept(pmt) == S_OK)
            return true;
        TraceW(TRACE_CAT_GENERAL, 8, L"%s Filter_QueryAcceptMT(): Downstream filter don't accept media type\n", this->m_szTag);
        return false;
    }

    bool UpstreamAccepts(const AM_MEDIA_TYPE* pmt)
    {
        const CComPtr<IPin> spUpstream = this->m_apIn != nullptr ? this->m_apIn->ConnectedPeer() : nullptr;
        if (spUpstream == nullptr)
            return false;
        if (this->m_apOut != nullptr && this->m_apOut->IsConnected())
        {
            TraceW(TRACE_CAT_GENERAL, 8, L"%s Filter_QueryAcceptMT(): Inverse query about change of media type\n", this->m_szTag);
            Debug_MediaType(TRACE_CAT_GENERAL, 8, pmt, this->m_szTag);
        }
        if (spUpstream->QueryAccept(pmt) == S_OK)
            return true;
        TraceW(TRACE_CAT_GENERAL, 8, L"%s Filter_QueryAcceptMT(): Upstream filter don't accept media type\n", this->m_szTag);
        return false;
    }
};

// The object tag for diagnostics (the graph dump shows it).
template <class T>
class IDirectShowDebugImpl : public IDirectShowDebug
{
public:
    STDMETHOD(GetDebugNameW)(LPWSTR pszName, int cchName) override
    {
        if (pszName == nullptr)
            return E_POINTER;
        if (cchName <= 0)
            return E_INVALIDARG;
        StrCopy(pszName, static_cast<size_t>(cchName), static_cast<T*>(this)->GetTraceName());
        return S_OK;
    }
    STDMETHOD(GetDebugNameA)(LPSTR pszName, int cbName) override
    {
        if (pszName == nullptr)
            return E_POINTER;
        if (cbName <= 0)
            return E_INVALIDARG;
        char szName[DS_NAME_MAX * 2] = {};
        WideCharToMultiByte(CP_ACP, 0, static_cast<T*>(this)->GetTraceName(), -1, szName, sizeof(szName) - 1, nullptr, nullptr);
        lstrcpynA(pszName, szName, cbName);
        return S_OK;
    }
};
