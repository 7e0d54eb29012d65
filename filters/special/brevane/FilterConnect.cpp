// The spy's connections: completing them on both sides so that the output
// carries the input's type, dynamic reconnection, the fallback to other
// upstream types when no allocator can be agreed, and the forced
// pass-through cycle in which upstream negotiates with the downstream pin.
#include "Filter.h"

namespace
{
// {F72A76E0-EB0A-11D0-ACE4-0000C0CC16BA}
const GUID c_guidFormatVBI = {0xF72A76E0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

// Clears a flag when the scope ends.
class CFlagScope
{
public:
    explicit CFlagScope(bool& b) : m_b(b), m_bOld(b) { m_b = true; }
    ~CFlagScope() { m_b = m_bOld; }
    CFlagScope(const CFlagScope&) = delete;
    CFlagScope& operator=(const CFlagScope&) = delete;

private:
    bool& m_b;
    bool m_bOld;
};
} // namespace

// ---------------------------------------------------------------------------
// CInput

bool CInput::InPassThru() { return m_pFilter != nullptr && m_pFilter->IsPassThru(); }

CComPtr<IPin> CInput::Upstream()
{
    CComObjectRootMT::ObjectLock lock(this);
    return m_spConnected;
}

CMType CInput::CurrentType()
{
    CComObjectRootMT::ObjectLock lock(this);
    return m_mt;
}

void CInput::SetCurrentType(const AM_MEDIA_TYPE& mt)
{
    CComObjectRootMT::ObjectLock lock(this);
    m_mt = mt;
}

HRESULT CInput::QueryInterfaceCatchAll(REFIID riid, void** ppv)
{
    WCHAR szName[128];
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"### [Spy In] QueryInterface( %s ) = E_NOINTERFACE\n",
           Guid2Name(riid, szName, ARRAYSIZE(szName)));
    if (ppv != nullptr)
        *ppv = nullptr;
    return E_NOINTERFACE;
}

void CInput::BreakConnection()
{
    Base::BreakConnection();
    m_bAllocatorGiven = false;
}

STDMETHODIMP CInput::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
{
    if (InPassThru())
    {
        const HRESULT hr = m_pFilter->PassThru_ReceiveConnection(pConnector, pmt);
        if (hr != S_OK)
            return hr;
    }
    return Base::ReceiveConnection(pConnector, pmt);
}

STDMETHODIMP CInput::Disconnect()
{
    if (!Upstream())
        return S_OK;
    if (InPassThru())
    {
        const HRESULT hr = m_pFilter->PassThru_Disconnect();
        if (hr != S_OK)
            return hr;
    }
    return Base::Disconnect();
}

STDMETHODIMP CInput::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!InPassThru())
        return Base::ConnectionMediaType(pmt);
    CComPtr<IPin> spDown = m_pFilter->DownstreamPin();
    if (spDown == nullptr || !m_pFilter->m_apOut->IsConnected())
        return E_FAIL;
    return spDown->ConnectionMediaType(pmt);
}

STDMETHODIMP CInput::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (!InPassThru())
        return Base::QueryAccept(pmt);
    CComPtr<IPin> spDown = m_pFilter->DownstreamPin();
    return spDown != nullptr ? spDown->QueryAccept(pmt) : E_FAIL;
}

STDMETHODIMP CInput::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (!InPassThru())
        return Base::EnumMediaTypes(ppEnum);
    CComPtr<IPin> spDown = m_pFilter->DownstreamPin();
    return spDown != nullptr ? spDown->EnumMediaTypes(ppEnum) : E_FAIL;
}

STDMETHODIMP CInput::GetAllocator(IMemAllocator** ppAllocator)
{
    if (InPassThru())
    {
        const HRESULT hr = m_pFilter->PassThru_GetAllocator(ppAllocator);
        m_bAllocatorGiven = false;
        return hr;
    }
    const HRESULT hr = Base::GetAllocator(ppAllocator);
    m_bAllocatorGiven = hr == S_OK;
    return hr;
}

STDMETHODIMP CInput::NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    if (InPassThru())
    {
        const HRESULT hr = m_pFilter->PassThru_NotifyAllocator(pAllocator, bReadOnly);
        return hr == S_OK ? Base::NotifyAllocator(pAllocator, bReadOnly) : hr;
    }
    HRESULT hr = Base::NotifyAllocator(pAllocator, bReadOnly);
    if (hr != S_OK)
        return hr;
    hr = m_pFilter->Filter_CompleteConnectInput();
    if (FAILED(hr))
    {
        CComObjectRootMT::ObjectLock lock(this);
        BreakConnection();
    }
    return hr;
}

STDMETHODIMP CInput::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps)
{
    return InPassThru() ? m_pFilter->PassThru_GetAllocatorRequirements(pProps) : Base::GetAllocatorRequirements(pProps);
}

STDMETHODIMP CInput::ReceiveCanBlock()
{
    return InPassThru() ? m_pFilter->PassThru_ReceiveCanBlock() : Base::ReceiveCanBlock();
}

// ---------------------------------------------------------------------------
// COutput

CComPtr<IPin> COutput::Downstream()
{
    CComObjectRootMT::ObjectLock lock(this);
    return m_spConnected;
}

CMType COutput::CurrentType()
{
    CComObjectRootMT::ObjectLock lock(this);
    return m_mt;
}

void COutput::SetCurrentType(const AM_MEDIA_TYPE& mt)
{
    CComObjectRootMT::ObjectLock lock(this);
    m_mt = mt;
}

bool COutput::IsRefusedSubtype(REFGUID subtype)
{
    CComObjectRootMT::ObjectLock lock(this);
    for (const GUID& g : m_refusedSubtypes)
        if (IsEqualGUID(g, subtype))
            return true;
    return false;
}

void COutput::RefuseSubtype(REFGUID subtype)
{
    if (!IsRefusedSubtype(subtype))
        m_refusedSubtypes.push_back(subtype);
}

STDMETHODIMP COutput::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    PIN_INFO info = {};
    FILTER_INFO fi = {};
    if (pReceivePin != nullptr && SUCCEEDED(pReceivePin->QueryPinInfo(&info)) && info.pFilter != nullptr)
    {
        if (SUCCEEDED(info.pFilter->QueryFilterInfo(&fi)) && fi.pGraph != nullptr)
            fi.pGraph->Release();
        info.pFilter->Release();
    }
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"Name: '%s'\n", fi.achName);
    HRESULT hr = Base::Connect(pReceivePin, pmt);
    if (hr != S_OK || m_pFilter == nullptr)
        return hr;
    hr = m_pFilter->Filter_CompleteConnectOutput();
    if (FAILED(hr))
        UndoConnect();
    return hr;
}

// The output connection stands, the input did not follow: take the output
// down and let the input connect in the ordinary way again.
void COutput::UndoConnect()
{
    {
        CComObjectRootMT::ObjectLock lock(this);
        m_pFilter->Filter_Disconnect(m_dwCookie);
        BreakConnection();
    }
    if (m_pFilter->m_apIn->IsConnected())
        m_pFilter->ReconnectInput();
}

HRESULT COutput::AgreeExchange()
{
    if (m_pFilter == nullptr)
        return E_UNEXPECTED;
    if (m_pFilter->IsPassThru())
        return S_OK;
    HRESULT hr = AgreeAllocator();
    if (hr != S_OK)
        hr = AgreeOtherType();
    if (hr == S_OK)
        UpdateSeparateAllocators();
    return hr;
}

void COutput::UpdateSeparateAllocators()
{
    m_pFilter->m_bSeparateAllocators = !m_spAllocOut.IsEqualObject(m_pFilter->m_apIn->m_spAllocIn);
}

// No allocator for the agreed type: try the other types this pin offers.
HRESULT COutput::AgreeOtherType()
{
    CComPtr<IEnumMediaTypes> spEnum;
    HRESULT hr = static_cast<IPin*>(this)->EnumMediaTypes(&spEnum);
    if (FAILED(hr) || spEnum == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s: AgreeExchange(): EnumMediaTypes()=0x%X\n", m_pFilter->m_szTag, hr);
        return E_FAIL;
    }
    const CMType mtKept(m_mt);
    RefuseSubtype(m_mt.subtype);
    for (;;)
    {
        AM_MEDIA_TYPE* pmt = nullptr;
        hr = spEnum->Next(1, &pmt, nullptr);
        if (hr != S_OK || pmt == nullptr)
        {
            MTDelete(pmt);
            break;
        }
        const HRESULT hrTry = TryOtherType(pmt);
        MTDelete(pmt);
        if (hrTry == S_OK)
            return S_OK;
    }
    m_mt = mtKept;
    return FAILED(hr) ? hr : E_FAIL;
}

HRESULT COutput::TryOtherType(const AM_MEDIA_TYPE* pmt)
{
    LPCWSTR pszTag = m_pFilter->m_szTag;
    m_mt = *pmt;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"-----------------------------\n");
    Debug_MediaType(TRACE_CAT_GENERAL, 8, pmt, pszTag);
    CComPtr<IPin> spDown = m_spConnected;
    spDown->Disconnect();
    HRESULT hr = spDown->QueryAccept(pmt);
    if (hr != S_OK)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s: AgreeExchange(): m_spConnected->QueryAccept()=0x%X\n", pszTag, hr);
        return FailureOr(hr, S_FALSE);
    }
    hr = spDown->ReceiveConnection(static_cast<IPin*>(this), pmt);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s: AgreeExchange(): m_spConnected->ReceiveConnection()=0x%X\n", pszTag, hr);
        return hr;
    }
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s: AgreeExchange(): connection accepted\n", pszTag);
    hr = AgreeAllocator();
    if (hr != S_OK)
        RefuseSubtype(pmt->subtype);
    return hr;
}

// ---------------------------------------------------------------------------
// Filter: connection completion

HRESULT CSpyFilter::Filter_CompleteConnect(DWORD dwCookie)
{
    if (dwCookie == PINDIR_INPUT)
        return CompleteConnectIn();
    if (dwCookie == PINDIR_OUTPUT)
        return CompleteConnectOut();
    return E_ABORT;
}

void CSpyFilter::Filter_Disconnect(DWORD dwCookie)
{
    if (dwCookie == PINDIR_OUTPUT)
        m_bSeparateAllocators = false;
}

// Under the input pin's lock, with the new type already the input's.
HRESULT CSpyFilter::CompleteConnectIn()
{
    CInput* pIn = m_apIn;
    if (Log_IsConnected())
    {
        Debug_PinMediaTypes(TRACE_CAT_GENERAL, 2, pIn->m_spConnected);
        Debug_AMStreamConfig(TRACE_CAT_GENERAL, 2, pIn->m_spConnected, m_szTag);
    }
    const CMType& mtIn = pIn->m_mt;
    if (IsEqualGUID(mtIn.formattype, c_guidFormatVBI) && mtIn.pbFormat != nullptr)
        Debug_KsVBIInfoHeader(TRACE_CAT_GENERAL, 2, reinterpret_cast<const KS_VBIINFOHEADER*>(mtIn.pbFormat), L"[In] ",
                              mtIn.cbFormat);
    if (pIn->m_spAllocIn == nullptr)
        return S_OK;
    if (!m_apOut->IsConnected())
    {
        m_apOut->SetCurrentType(mtIn);
        return S_OK;
    }
    if (m_eState == State_Stopped)
    {
        CFlagScope completing(m_bCompletingInput);
        return m_apOut->CurrentType() == mtIn ? S_OK : MakeReconnect(&mtIn, m_apOut);
    }
    return ReconnectOutputRunning(mtIn);
}

// Paused or running: the new input type goes downstream on the same
// connection, which works only while both sides share one allocator.
HRESULT CSpyFilter::ReconnectOutputRunning(const CMType& mtIn)
{
    if (!m_apIn->m_spAllocIn.IsEqualObject(m_apOut->m_spAllocOut))
        return E_FAIL;
    CComPtr<IPin> spDown = m_apOut->Downstream();
    const CMType mtKept = m_apOut->CurrentType();
    m_apOut->SetCurrentType(mtIn);
    const HRESULT hr = spDown->ReceiveConnection(static_cast<IPin*>(m_apOut), &mtIn);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_CompleteConnect(): Dynamic reconnection failed, ReceiveConnection()=0x%X\n",
               m_szTag, hr);
        m_apOut->SetCurrentType(mtKept);
    }
    return hr;
}

CComPtr<IMemInputPin> CSpyFilter::DownstreamMemInput()
{
    CComPtr<IMemInputPin> spMemInput;
    CComPtr<IPin> spDown = m_apOut->Downstream();
    if (spDown != nullptr)
        spDown->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput));
    return spMemInput;
}

HRESULT CSpyFilter::CompleteConnectOut()
{
    if (DownstreamMemInput() != nullptr)
        return S_OK;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_CompleteConnect(): downstream pin not support IMemInputPin\n", m_szTag);
    return VFW_E_NO_TRANSPORT;
}

HRESULT CSpyFilter::Filter_GetTransInPlaceAlloc(DWORD dwCookie, IMemAllocator** ppUpAlloc, bool* pbUseUpstream,
                                                bool* pbReadOnly)
{
    const HRESULT hr = Base::Filter_GetTransInPlaceAlloc(dwCookie, ppUpAlloc, pbUseUpstream, pbReadOnly);
    if (hr == S_OK)
        *pbUseUpstream = !m_apIn->m_bAllocatorGiven;
    return hr;
}

HRESULT CSpyFilter::Filter_CompleteConnectInput()
{
    CFlagScope completing(m_bCompletingInput);
    const CMType mtIn = m_apIn->CurrentType();
    if (!m_apOut->IsConnected())
    {
        m_apOut->SetCurrentType(mtIn);
        return S_OK;
    }
    if (m_eState == State_Stopped)
        return m_apOut->CurrentType() == mtIn ? S_OK : MakeReconnect(&mtIn, m_apOut);
    if (m_apIn->m_spAllocIn == nullptr)
        return S_OK;
    if (!m_apIn->m_spAllocIn.IsEqualObject(m_apOut->m_spAllocOut))
        return E_FAIL;
    CComPtr<IMemInputPin> spMemInput = DownstreamMemInput();
    if (spMemInput == nullptr)
        return VFW_E_NO_TRANSPORT;
    m_apOut->AllocatorActivate(false);
    const HRESULT hr = spMemInput->NotifyAllocator(m_apIn->m_spAllocIn, m_apIn->m_bReadOnly ? TRUE : FALSE);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### %s Filter_CompleteConnectInput(): Allocator agreement for dynamic reconnection failed, NotifyAllocator()=0x%X\n",
               m_szTag, hr);
        return hr;
    }
    m_apOut->AllocatorActivate(true);
    return S_OK;
}

HRESULT CSpyFilter::Filter_CompleteConnectOutput()
{
    if (m_bAcceptAnyOutputType)
        return S_OK;
    // The output was reconnected to carry the type the input is completing:
    // reconnecting that input again from here would start it all over.
    if (m_bCompletingInput)
        return S_OK;
    if (m_bForcePassthru)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s Filter_CompleteConnectOutput(): Reconnection\n", m_szTag);
        m_bAcceptAnyOutputType = true;
    }
    const HRESULT hr = ReconnectInput();
    if (FAILED(hr))
        LeavePassThru();
    return hr;
}

// The input negotiates again, now against the connected output: upstream
// then gets the output's type and allocator. Outside a graph nobody can
// reconnect it; the connection then works with separate allocators.
HRESULT CSpyFilter::ReconnectInput()
{
    if (m_pFilterGraphJoin == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"### %s ReconnectInput(): not in a graph, input kept as connected\n", m_szTag);
        return S_OK;
    }
    const HRESULT hr = ReconnectPin(static_cast<IPin*>(m_apIn), nullptr);
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s ReconnectInput(): ReconnectPin()=0x%X\n", m_szTag, hr);
    return hr;
}

// ---------------------------------------------------------------------------
// Filter: pass-through mode

CComPtr<IPin> CSpyFilter::DownstreamPin()
{
    CComObjectRootMT::ObjectLock lock(this);
    return m_spDownstreamPin;
}

void CSpyFilter::LeavePassThru()
{
    CComObjectRootMT::ObjectLock lock(this);
    m_spDownstreamPin.Release();
    m_bAcceptAnyOutputType = false;
}

HRESULT CSpyFilter::PassThru_Disconnect()
{
    CComPtr<IPin> spPeer = m_apOut->Downstream();
    if (spPeer == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_Disconnect(): output already disconnected\n", m_szTag);
        LeavePassThru();
        return S_OK;
    }
    if (DownstreamPin() == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_Disconnect(): start reconnection\n", m_szTag);
        CComObjectRootMT::ObjectLock lock(this);
        m_spDownstreamPin = spPeer;
    }
    else
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_Disconnect(): stop reconnection\n", m_szTag);
        LeavePassThru();
    }
    return static_cast<IPin*>(m_apOut)->Disconnect();
}

HRESULT CSpyFilter::PassThru_ReceiveConnection(IPin*, const AM_MEDIA_TYPE* pmt)
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_ReceiveConnection()\n", m_szTag);
    CComPtr<IPin> spDown = DownstreamPin();
    if (spDown == nullptr || m_apOut->IsConnected())
        return E_FAIL;
    return static_cast<IPin*>(m_apOut)->Connect(spDown, pmt);
}

HRESULT CSpyFilter::PassThru_GetAllocator(IMemAllocator** ppAllocator)
{
    CComPtr<IMemInputPin> spMemInput;
    CComPtr<IPin> spDown = DownstreamPin();
    if (spDown == nullptr || FAILED(spDown->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput))))
        return E_FAIL;
    const HRESULT hr = spMemInput->GetAllocator(ppAllocator);
    if (hr == S_OK)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_GetAllocator(): GetAllocator()=S_OK, *ppAllocator=0x%08X\n", m_szTag,
               TracePtr32(ppAllocator != nullptr ? *ppAllocator : nullptr));
    else
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s PassThru_GetAllocator(): GetAllocator()=0x%X\n", m_szTag, hr);
    return hr;
}

HRESULT CSpyFilter::PassThru_NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    CComPtr<IMemInputPin> spMemInput;
    CComPtr<IPin> spDown = DownstreamPin();
    if (spDown == nullptr || FAILED(spDown->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput))))
        return E_FAIL;
    const HRESULT hr = spMemInput->NotifyAllocator(pAllocator, bReadOnly);
    if (hr != S_OK)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s PassThru_NotifyAllocator(): GetAllocator()=0x%X\n", m_szTag, hr);
        return hr;
    }
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_NotifyAllocator(): NotifyAllocator()=S_OK, pAllocator=0x%08X\n", m_szTag,
           TracePtr32(pAllocator));
    {
        CScopedLock delivery(&m_apOut->m_csDelivery);
        m_apOut->m_spMemInput = spMemInput;
    }
    m_apOut->AttachAllocator(pAllocator, eAS_Upstream);
    return S_OK;
}

HRESULT CSpyFilter::PassThru_GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps)
{
    CComPtr<IMemInputPin> spMemInput;
    CComPtr<IPin> spDown = DownstreamPin();
    if (spDown == nullptr || FAILED(spDown->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput))))
        return E_FAIL;
    const HRESULT hr = spMemInput->GetAllocatorRequirements(pProps);
    if (SUCCEEDED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_GetAllocatorRequirements()\n", m_szTag);
        Debug_AllocatorProps(TRACE_CAT_GENERAL, 2, pProps, m_szTag);
    }
    else
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s PassThru_GetAllocatorRequirements(): GetAllocatorRequirements()=0x%X\n",
               m_szTag, hr);
    }
    return hr;
}

HRESULT CSpyFilter::PassThru_ReceiveCanBlock()
{
    CComPtr<IMemInputPin> spMemInput;
    CComPtr<IPin> spDown = DownstreamPin();
    if (spDown == nullptr || FAILED(spDown->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput))))
        return E_FAIL;
    const HRESULT hr = spMemInput->ReceiveCanBlock();
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s PassThru_ReceiveCanBlock(): ReceiveCanBlock()=0x%X\n", m_szTag, hr);
    return hr;
}
