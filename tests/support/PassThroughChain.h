// The test in-place filter between two counting pins, without a graph:
// the cheapest chain in which samples pass through the framework.
#pragma once

#include "TestInPlaceFilter.h"

#include <vector>

// The thinnest pin that can stand on either side of the filter: it accepts
// every type and every sample and counts what it receives.
class CCountingPin : public CComObjectRootMT, public IPin, public IMemInputPin
{
public:
    BEGIN_COM_MAP(CCountingPin)
    COM_INTERFACE_ENTRY(IPin)
    COM_INTERFACE_ENTRY(IMemInputPin)
    END_COM_MAP()

    STDMETHOD_(ULONG, AddRef)() override { return InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override { return InternalRelease(); }
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override { return _InternalQueryInterface(riid, ppv); }

    STDMETHOD(Connect)(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE*) override
    {
        ++m_nReceiveConnection;
        if (m_hrReceiveConnection == S_OK)
            m_spPeer = pConnector;
        return m_hrReceiveConnection;
    }
    STDMETHOD(Disconnect)() override
    {
        ++m_nDisconnect;
        m_spPeer.Release();
        return S_OK;
    }
    STDMETHOD(ConnectedTo)(IPin** pp) override { return m_spPeer.CopyTo(pp); }
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHOD(QueryPinInfo)(PIN_INFO*) override { return E_NOTIMPL; }
    STDMETHOD(QueryDirection)(PIN_DIRECTION* pDir) override
    {
        *pDir = m_eDir;
        return S_OK;
    }
    STDMETHOD(QueryId)(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE*) override { return m_hrQueryAccept; }
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** pp) override { return m_bOddAnswers ? (*pp = nullptr, S_OK) : E_NOTIMPL; }
    STDMETHOD(QueryInternalConnections)(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(EndOfStream)() override { return S_OK; }
    STDMETHOD(BeginFlush)() override { return S_OK; }
    STDMETHOD(EndFlush)() override { return S_OK; }
    STDMETHOD(NewSegment)(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    STDMETHOD(GetAllocator)(IMemAllocator** pp) override
    {
        if (m_bOddAnswers)
            return *pp = nullptr, S_OK;
        return m_spOwnAlloc != nullptr ? m_spOwnAlloc.CopyTo(pp) : (*pp = nullptr, VFW_E_NO_ALLOCATOR);
    }
    STDMETHOD(NotifyAllocator)(IMemAllocator* pAlloc, BOOL bReadOnly) override
    {
        HRESULT hr = S_OK;
        if (!m_notifyResults.empty())
        {
            hr = m_notifyResults.front();
            m_notifyResults.erase(m_notifyResults.begin());
        }
        if (hr != S_OK)
            return hr;
        m_spNotified = pAlloc;
        m_bNotifiedReadOnly = bReadOnly != FALSE;
        return S_OK;
    }
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* pProps) override
    {
        if (m_bOddAnswers)
            return *pProps = ALLOCATOR_PROPERTIES{-5, -5, 0, -1}, S_FALSE;
        if (SUCCEEDED(m_hrRequirements))
            *pProps = m_requirements;
        return m_hrRequirements;
    }
    STDMETHOD(Receive)(IMediaSample*) override { return ++m_nReceived == m_nFalseAt ? S_FALSE : S_OK; }
    STDMETHOD(ReceiveMultiple)(IMediaSample**, long, long*) override { return E_NOTIMPL; }
    STDMETHOD(ReceiveCanBlock)() override { return S_FALSE; }

    PIN_DIRECTION m_eDir = PINDIR_OUTPUT;
    CComPtr<IPin> m_spPeer;
    long m_nReceived = 0;
    long m_nFalseAt = -1;             // the sample (counted from 1) answered S_FALSE
    HRESULT m_hrQueryAccept = S_OK;
    HRESULT m_hrReceiveConnection = S_OK;
    int m_nReceiveConnection = 0;
    int m_nDisconnect = 0;
    CComPtr<IMemAllocator> m_spOwnAlloc;    // handed out by GetAllocator
    CComPtr<IMemAllocator> m_spNotified;    // the last NotifyAllocator
    bool m_bNotifiedReadOnly = false;
    std::vector<HRESULT> m_notifyResults;   // answers of the next NotifyAllocator calls; then S_OK
    HRESULT m_hrRequirements = E_NOTIMPL;
    // S_OK without the object asked for, S_FALSE with nonsense properties.
    bool m_bOddAnswers = false;
    ALLOCATOR_PROPERTIES m_requirements = {};
};

// One sample of cbActual bytes from pAlloc, handed to pTarget.
inline HRESULT PushSample(IMemAllocator* pAlloc, IMemInputPin* pTarget, long cbActual)
{
    IMediaSample* pSample = nullptr;
    HRESULT hr = pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    pSample->SetActualDataLength(cbActual);
    hr = pTarget->Receive(pSample);
    pSample->Release();
    return hr;
}

// source -> filter -> sink, running, with the filter's input allocator
// committed for the caller's samples.
class CPassThroughChain
{
public:
    CPassThroughChain()
    {
        m_source.m_eDir = PINDIR_OUTPUT;
        m_sink.m_eDir = PINDIR_INPUT;
    }
    ~CPassThroughChain() { Teardown(); }

    HRESULT Build(long cbBuffer = 4096, long cBuffers = 4, BOOL bReadOnly = FALSE)
    {
        HRESULT hr = CComObject<CTestInPlaceFilter>::CreateInstance(&m_pFilter);
        if (FAILED(hr))
            return hr;
        m_spFilter = static_cast<IBaseFilter*>(m_pFilter);
        CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
        ALLOCATOR_PROPERTIES req = {cBuffers, cbBuffer, 1, 0}, act = {};
        IMemInputPin* pMemIn = m_pFilter->m_apIn;
        if (FAILED(hr = In()->ReceiveConnection(&m_source, &mt)) || FAILED(hr = pMemIn->GetAllocator(&m_spAlloc)) ||
            FAILED(hr = m_spAlloc->SetProperties(&req, &act)) || FAILED(hr = pMemIn->NotifyAllocator(m_spAlloc, bReadOnly)) ||
            FAILED(hr = Out()->Connect(&m_sink, &mt)) || FAILED(hr = m_spFilter->Run(0)))
            return hr;
        return m_spAlloc->Commit();
    }

    void Teardown()
    {
        if (m_spFilter == nullptr)
            return;
        m_spFilter->Stop();
        Out()->Disconnect();
        In()->Disconnect();
        m_spAlloc.Release();
        m_sink.m_spNotified.Release();
        m_spFilter.Release();
        m_pFilter = nullptr;
    }

    // One sample from the filter's own allocator, handed to pTarget.
    HRESULT Push(IMemInputPin* pTarget, long cbActual) { return PushSample(m_spAlloc, pTarget, cbActual); }

    IPin* In() { return m_pFilter->m_apIn; }
    IPin* Out() { return m_pFilter->m_apOut; }
    IMemInputPin* Filter() { return m_pFilter->m_apIn; }
    IMemInputPin* Sink() { return &m_sink; }

    CCountingPin m_source, m_sink;
    CComObject<CTestInPlaceFilter>* m_pFilter = nullptr;
    CComPtr<IBaseFilter> m_spFilter;
    CComPtr<IMemAllocator> m_spAlloc;
};
