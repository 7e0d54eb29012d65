// The input pin: IMemInputPin (samples, allocator questions) and the input
// side of IPin (connection, flushing, end of stream, segments). A concrete
// input pin derives from CInputPin<TPin, TFilter>.
//
// IMemInputPinImpl<TPin> requires of TPin: CPinBase's members, the object
// lock, m_bFlushing (CInputPin), IsExamineMediaTypes() and the
// Filter_SendSample hook of the filter. CMemInputPinFilter<TPin> adds the
// filter's Filter_GetAllocator, Filter_NotifyAllocator and
// Filter_GetAllocatorRequirements hooks.
#pragma once

#include <dshowx/DSHooks.h>
#include <dshowx/DSPinBase.h>

#include <atomic>

// Samples and the allocator the pin was given. Reads TPin's m_bFlushing,
// which CInputPin declares and writes under the pin lock.
template <class TPin>
class IMemInputPinImpl : public IMemInputPin
{
public:
    STDMETHOD(Receive)(IMediaSample* pSample) override
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMemInputPinImpl::Receive\n", p->m_szTag);
        if (pSample == nullptr)
            return E_POINTER;
        // The caller holds the sample for the whole call, so it needs no
        // reference of ours.
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
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMemInputPinImpl::ReceiveMultiple( %u )\n", p->m_szTag, nSamples);
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
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"%s IMemInputPinImpl::ReceiveMultiple( %u ): pPin->Receive( sample %i )=0x%X\n",
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

    bool IsFlushing() const { return static_cast<const TPin*>(this)->m_bFlushing; }

    STDMETHOD(ReceiveCanBlock)() override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMemInputPinImpl::ReceiveCanBlock()\n", Pin()->m_szTag);
        return S_OK;
    }

    // Remembers the allocator upstream settled on (after the filter agreed).
    HRESULT NotifyAllocatorImpl(IMemAllocator* pAllocator, BOOL bReadOnly)
    {
        TPin* p = Pin();
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMemInputPinImpl::NotifyAllocator( 0x%p%s)\n", p->m_szTag, pAllocator,
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
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s IMemInputPinImpl::NotifyAllocator( 0x%p ): props = { %i, %i, %i, %i }\n",
                   p->m_szTag, pAllocator, m_propsIn.cBuffers, m_propsIn.cbBuffer, m_propsIn.cbAlign, m_propsIn.cbPrefix);
        else
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"### %s IMemInputPinImpl::NotifyAllocator( 0x%p ): m_spAllocIn->GetProperties()=0x%X\n",
                   p->m_szTag, pAllocator, hr);
        return S_OK;
    }

    void ReleaseAllocIn()
    {
        if (m_spAllocIn != nullptr)
            m_spAllocIn->Decommit();
        m_spAllocIn.Release();
    }

    // The streaming lock: held while a sample passes to the filter, never
    // together with the pin lock; Stop takes it to wait for that sample.
    CAutoCritSec_SC m_csReceive{0};
    // Upstream's allocator and what it told about it: pin lock.
    CComPtr<IMemAllocator> m_spAllocIn;
    bool m_bReadOnly = false;
    ALLOCATOR_PROPERTIES m_propsIn = {};
    std::atomic<ULONG> m_nStoppedSamples{0}; // refusals traced since the stop

protected:
    TPin* Pin() { return static_cast<TPin*>(this); }

    // The checks made before a sample reaches the filter. The connection,
    // the flushing flag and the state are read without the pin lock: a pin
    // disconnects only when stopped, the stop is checked again under the
    // streaming lock, and a flush that begins during the check is the race
    // every pin has with or without the lock. The pin lock is taken only to
    // adopt a media type the sample carries (SetMediaTypeFromSample).
    HRESULT CheckReceive(IMediaSample* pSample)
    {
        TPin* p = Pin();
        if (!p->IsConnected() || p->m_pFilter == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s IMemInputPinImpl::Receive(): Input pin not connected\n", p->m_szTag);
            return VFW_E_NOT_CONNECTED;
        }
        if (p->m_bFlushing)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"%s IMemInputPinImpl::Receive(): pin in flush state, sample rejected\n", p->m_szTag);
            return S_FALSE;
        }
        if (p->FilterState() == State_Stopped)
        {
            if (m_nStoppedSamples.load(std::memory_order_relaxed) < 10)
            {
                m_nStoppedSamples.fetch_add(1, std::memory_order_relaxed);
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"%s IMemInputPinImpl::Receive(): FilterState() == State_Stopped\n", p->m_szTag);
            }
            return VFW_E_WRONG_STATE;
        }
        if (m_nStoppedSamples.load(std::memory_order_relaxed) != 0)
            m_nStoppedSamples.store(0, std::memory_order_relaxed);
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
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s CMemInputPinFilter::GetAllocator\n", p->m_szTag);
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
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s CMemInputPinFilter::GetAllocator()=S_OK, pAllocator=0x%p\n", p->m_szTag,
                   *ppAllocator);
        }
        else if (FAILED(hr))
        {
            TRACE_ASSERT(*ppAllocator == nullptr);
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s CMemInputPinFilter::GetAllocator(): can't get allocator from filter, hr=0x%X\n",
                   p->m_szTag, hr);
        }
        return hr;
    }

    STDMETHOD(NotifyAllocator)(IMemAllocator* pAllocator, BOOL bReadOnly) override
    {
        TPin* p = this->Pin();
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s CMemInputPinFilter::NotifyAllocator( 0x%p%s)\n", p->m_szTag, pAllocator,
               bReadOnly ? L", READ ONLY " : L" ");
        if (pAllocator == nullptr)
            return E_POINTER;
        if (p->m_pFilter == nullptr)
            return E_UNEXPECTED;
        CComObjectRootMT::ObjectLock lock(p);
        const HRESULT hr = p->m_pFilter->Filter_NotifyAllocator(p->m_dwCookie, pAllocator, bReadOnly);
        if (hr == S_OK)
            return this->NotifyAllocatorImpl(pAllocator, bReadOnly);
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s CMemInputPinFilter::NotifyAllocator(): Filter_NotifyAllocator()=0x%X\n", p->m_szTag,
               hr);
        return hr;
    }

    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* pProps) override
    {
        TPin* p = this->Pin();
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s CMemInputPinFilter::GetAllocatorRequirements\n", p->m_szTag);
        if (pProps == nullptr)
            return E_POINTER;
        if (p->m_pFilter == nullptr)
            return E_UNEXPECTED;
        CComObjectRootMT::ObjectLock lock(p);
        const HRESULT hr = p->m_pFilter->Filter_GetAllocatorRequirements(p->m_dwCookie, pProps);
        if (hr == S_OK)
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s CMemInputPinFilter::GetAllocatorRequirements(): properties = { %i, %i, %i, %i }\n",
                   p->m_szTag, pProps->cBuffers, pProps->cbBuffer, pProps->cbAlign, pProps->cbPrefix);
        else
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL,
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

    CInputPin()
    {
        static_assert(dshook::CInputPinHooks::Check<TPin>());
        this->m_ePinDir = PINDIR_INPUT;
    }

    BEGIN_COM_MAP(CInputPin)
    COM_INTERFACE_ENTRY(IPin)
    COM_INTERFACE_ENTRY(IQualityControl)
    COM_INTERFACE_ENTRY(IMemInputPin)
    COM_INTERFACE_ENTRY_FUNC(IID_IKsPropertySet, QueryKsPropertySet)
    COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig, CTearOffMixerPinConfigFix<CInputPin>)
    COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig2, CTearOffMixerPinConfigFix<CInputPin>)
    COM_INTERFACE_ENTRY_FUNC_BLIND(QueryInterfaceTail)
    END_COM_MAP()

    // Defaults of the input pin's hooks (their contract is in DSHooks.h).
    bool IsDynamicReconnectAllowed() { return true; }
    bool IsExamineMediaTypes() { return true; }
    HRESULT QueryInterfaceCatchAll(REFIID, void**) { return E_NOINTERFACE; }

    STDMETHOD(Connect)(IPin*, const AM_MEDIA_TYPE*) override { return TraceNotImplemented(L"IPinImpl::Connect"); }

    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override
    {
        TPin* p = static_cast<TPin*>(this);
        this->TraceConnectionEntry(L"+++++++++++++++ %s receive connection from ", pConnector, pmt);
        if (pConnector == nullptr || pmt == nullptr)
            return E_POINTER;
        CComObjectRootMT::ObjectLock lock(p);
        const HRESULT hr = ReceiveConnectionLocked(pConnector, pmt);
        if (FAILED(hr))
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s ReceiveConnection(): Connection not accepted, hr=0x%X\n", this->m_szTag, hr);
        return hr;
    }

    STDMETHOD(BeginFlush)() override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IPinImpl::BeginFlush\n", this->m_szTag);
        {
            CComObjectRootMT::ObjectLock lock(this);
            this->m_bFlushing = true;
        }
        const HRESULT hr = this->m_pFilter != nullptr ? this->m_pFilter->Filter_BeginFlush(this->m_dwCookie) : E_UNEXPECTED;
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IPinImpl::BeginFlush()=0x%X\n", this->m_szTag, hr);
        return hr;
    }

    STDMETHOD(EndFlush)() override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IPinImpl::EndFlush\n", this->m_szTag);
        const HRESULT hr = this->m_pFilter != nullptr ? this->m_pFilter->Filter_EndFlush(this->m_dwCookie) : E_UNEXPECTED;
        {
            CComObjectRootMT::ObjectLock lock(this);
            this->m_bFlushing = false;
            ResetSegment();
        }
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IPinImpl::EndFlush() = 0x%X\n", this->m_szTag, hr);
        return hr;
    }

    STDMETHOD(EndOfStream)() override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IPinImpl::EndOfStream\n", this->m_szTag);
        if (this->m_bFlushing)
            return S_FALSE;
        return this->m_pFilter != nullptr ? this->m_pFilter->Filter_EndOfStream(this->m_dwCookie) : E_UNEXPECTED;
    }

    STDMETHOD(NewSegment)(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override
    {
        WCHAR szStart[32], szStop[32];
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IPinImpl::NewSegment( tS=%s, tE=%s, rate=%g )\n", this->m_szTag,
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
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s ClearPin(): Pin not disconnected\n", this->m_szTag);
        this->m_bDisconnecting = false;
    }

    void ResetSegment()
    {
        m_tSegStart = 0;
        m_tSegStop = 0;
        m_dSegRate = 1.0;
    }

    // Written under the pin lock; Receive and EndOfStream read it without.
    std::atomic<bool> m_bFlushing{false};
    // Pin lock.
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
