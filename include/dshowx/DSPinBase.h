// What both pins of the framework share: the pin base (link to the filter,
// name and tag, connected peer and media type) and the mixins that implement
// IPin and IQualityControl for either direction.
//
// CPinBase<TPin, TFilter> requires of TFilter: GetTraceName(), m_eState,
// RedirectPeer(dwCookie), QueryRedirect(dwCookie, riid, ppv) and the
// Filter_QueryAcceptMT hook. The pin cookie is the pin direction
// (PINDIR_INPUT or PINDIR_OUTPUT): the filter tells its pins apart by it.
//
// IPinImpl<TPin> requires of TPin: CPinBase's members, the object lock of
// CComObjectRootMT and BreakConnection() (CInputPin and COutputPin give it).
// IQualityControlImpl<TPin> requires of TPin: m_szTag, the object lock and
// NotifyDefaultTarget(pSelf, q), where quality messages go without a sink.
#pragma once

#include <dshowx/DSFilterCommon.h>

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
    CMType m_mt; // pin lock
};

// The pin's link to its filter, its names and its peer. The object root's
// lock is the pin lock.
template <class TPin, class TFilter>
class CPinBase : public CPin, public CComObjectRootMT, public CMTSingle
{
public:
    typedef TFilter FilterClass;

    ~CPinBase() override { TRACE_ASSERT_TEXT(!IsConnected(), "CPinBase<>::~CPinBase(): pin is connected"); }

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
    // Default of the PinInit hook (DSHooks.h).
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
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s QueryAcceptMT(): link between filter and pin is broken\n", m_szTag);
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

    // The first lines of a connection on either pin: pszBanner (a format of
    // the pin's tag) followed by the peer's filter, then the proposed type.
    void TraceConnectionEntry(LPCWSTR pszBanner, IPin* pPeer, const AM_MEDIA_TYPE* pmt)
    {
        WCHAR szPrefix[DS_NAME_MAX + 48];
        StrFormat(szPrefix, ARRAYSIZE(szPrefix), pszBanner, m_szTag);
        Debug_FilterFromPin(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, szPrefix, pPeer);
        if (pmt == nullptr)
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"Empty media type\n");
        else
            Debug_MediaType(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, pmt, m_szTag);
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
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s SetMediaTypeFromSample(): new mediatype is received\n", m_szTag);
        Debug_MediaType(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, pmt, m_szTag);
        // Samples rarely carry a type: the pin lock is taken only for one.
        CComObjectRootMT::ObjectLock lock(static_cast<TPin*>(this));
        if (!static_cast<TPin*>(this)->QueryAcceptMT(pmt))
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s SetMediaTypeFromSample(): new mediatype is not accepted\n", m_szTag);
            hr = VFW_E_INVALIDMEDIATYPE;
        }
        else
        {
            hr = m_mt.Set(pmt);
        }
        MTDelete(pmt);
        return hr;
    }

    // Set once while the filter creates the pin, read without a lock.
    DWORD m_dwCookie = 0;                   // the pin's direction
    PIN_DIRECTION m_ePinDir = PINDIR_INPUT; // set by the pin's constructor
    WCHAR m_szName[DS_NAME_MAX] = {};
    WCHAR m_szTag[DS_NAME_MAX] = {};
    // Cleared by the filter when it releases the pin, so that a pin a
    // neighbour still holds never reaches a filter that is gone.
    TFilter* m_pFilter = nullptr;
    // Written only through SetPeer, under the pin lock and the peer lock;
    // read under either.
    CComPtr<IPin> m_spConnected;
    // The peer lock: a leaf, held only to change or copy m_spConnected.
    CAutoCritSec_SC m_csPeer{0};
    bool m_bDisconnecting = false; // pin lock
};

// IPin methods both pins share.
template <class TPin>
class IPinImpl : public IPin
{
public:
    STDMETHOD(Disconnect)() override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IPinImpl::Disconnect() [%s]\n", p->m_szTag, p->DirText());
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
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::ConnectedTo() [%s]\n", p->m_szTag, p->DirText());
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
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::ConnectionMediaType() [%s]\n", p->m_szTag, p->DirText());
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
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::QueryPinInfo() [%s]\n", p->m_szTag, p->DirText());
        if (pInfo == nullptr)
            return E_POINTER;
        pInfo->pFilter = nullptr;
        pInfo->dir = p->m_ePinDir;
        StrCopy(pInfo->achName, DS_NAME_MAX, p->m_szName);
        if (p->m_pFilter == nullptr)
        {
            // Callers release pFilter after S_OK without a check: a pin that
            // outlived its filter answers a failure instead.
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
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
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::QueryDirection() [%s]\n", p->m_szTag, p->DirText());
        if (pPinDir == nullptr)
            return E_POINTER;
        *pPinDir = p->m_ePinDir;
        return S_OK;
    }

    STDMETHOD(QueryId)(LPWSTR* pId) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::QueryId() [%s]\n", p->m_szTag, p->DirText());
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
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::QueryAccept()=%s [%s]\n", p->m_szTag, bAccept ? L"S_OK" : L"S_FALSE",
               p->DirText());
        return bAccept ? S_OK : S_FALSE;
    }

    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::EnumMediaTypes() [%s]\n", p->m_szTag, p->DirText());
        CComObjectRootMT::ObjectLock lock(p);
        return CComDSEnum<CMediaTypesAccessor<TPin>>::Create(p, 0, ppEnum);
    }

    STDMETHOD(QueryInternalConnections)(IPin**, ULONG*) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPinImpl::QueryInternalConnections not implemented\n", Pin()->m_szTag);
        return E_NOTIMPL;
    }

protected:
    TPin* Pin() { return static_cast<TPin*>(this); }
};

// Quality messages: the sink when one is set, else TPin's
// NotifyDefaultTarget (upstream for the input pin, the filter's
// Filter_QualityNotify hook for the output pin).
template <class TPin>
class IQualityControlImpl : public IQualityControl
{
public:
    STDMETHOD(SetSink)(IQualityControl* piqc) override
    {
        TPin* p = static_cast<TPin*>(this);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IQualityControl::SetSink\n", p->m_szTag);
        CComObjectRootMT::ObjectLock lock(p);
        m_pQualitySink = piqc;
        return S_OK;
    }

    STDMETHOD(Notify)(IBaseFilter* pSelf, Quality q) override
    {
        TPin* p = static_cast<TPin*>(this);
        WCHAR szLate[32], szStamp[32];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IQualityControl::Notify( 0x%p, %s, %i, %s, %s )\n", p->m_szTag, pSelf,
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

    // Pin lock. Held without a reference, as quality sinks are.
    IQualityControl* m_pQualitySink = nullptr;
};
