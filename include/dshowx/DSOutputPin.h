// The output pin: the output side of IPin (connection, media type
// agreement), the allocator agreement with downstream and sample delivery.
// A concrete output pin derives from COutputPin<TPin, TFilter>.
#pragma once

#include <dshowx/DSHooks.h>
#include <dshowx/DSOutputAllocator.h>
#include <dshowx/DSPinBase.h>

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
        static_assert(dshook::COutputPinHooks::Check<TPin>());
        this->m_ePinDir = PINDIR_OUTPUT;
        InitializeCriticalSection(&m_csDelivery);
    }
    ~COutputPin() override { DeleteCriticalSection(&m_csDelivery); }

    BEGIN_COM_MAP(COutputPin)
    COM_INTERFACE_ENTRY(IPin)
    COM_INTERFACE_ENTRY(IQualityControl)
    COM_INTERFACE_ENTRY_FUNC(IID_IMediaSeeking, QueryMediaSeeking)
    END_COM_MAP()

    // Default of the PinInit hook (DSHooks.h).
    HRESULT PinInit()
    {
        m_nRedirectMT = this->m_pFilter != nullptr ? this->m_pFilter->GetMediaTypeRedirection() : 0;
        return S_OK;
    }

    // Default of the AgreeExchange hook (DSHooks.h): the allocator agreement.
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
