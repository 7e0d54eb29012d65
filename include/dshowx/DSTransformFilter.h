// A filter with one input and one output pin: creates and releases the
// pins (cookie PINDIR_INPUT for the input, PINDIR_OUTPUT for the output),
// answers which neighbour redirected interfaces reach, follows the state with
// the output allocator and waits for a sample still passing on Stop.
#pragma once

#include <dshowx/DSBaseFilter.h>
#include <dshowx/DSHooks.h>

template <class T, class TIn, class TOut>
class CTransformFilter : public CBaseFilter<T>
{
public:
    typedef CComObject<TIn> InPinObject;
    typedef CComObject<TOut> OutPinObject;

    CTransformFilter() { static_assert(dshook::CFilterHooks::Check<T>()); }
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

    // Default of the GetMediaTypeRedirection hook (DSHooks.h): the output pin
    // offers its own types.
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
