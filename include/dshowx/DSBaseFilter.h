// The filter without its pins: IBaseFilter, the state machine and graph
// membership (CBaseFilter), and the debug name interface.
//
// IBaseFilterImpl<T> requires of T: CBaseFilter's members, GetObjectCLSID()
// (CComCoClass), m_apIn and m_apOut (the pin enumerator reads them),
// WaitForStreaming() and the Filter_JoinFilterGraph hook.
// CBaseFilter<T> requires of T: IsInputReady() and ActivateOutput(bActive)
// (CTransformFilter gives both).
// IDirectShowDebugImpl<T> requires of T: GetTraceName().
#pragma once

#include <dshowx/DSFilterCommon.h>

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
