// The default hooks of a filter that hands samples on in the buffers they
// came in: media types are asked of the neighbour on the other side, the
// output allocator is preferably upstream's, quality messages go upstream.
// A concrete filter derives from CTransInPlaceFilter<T, TIn, TOut>.
#pragma once

#include <dshowx/DSInputPin.h>
#include <dshowx/DSOutputPin.h>
#include <dshowx/DSTransformFilter.h>

// Default hooks of a filter that hands samples on in the buffers they came
// in; the contract of each is in DSHooks.h.
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
