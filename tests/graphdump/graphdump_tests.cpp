// The text picture of a real filter graph, and of filters that misbehave.
#include <windows.h>
#include <dshow.h>

#include <dshowx/DSDefines.h>
#include <helpers/GraphPins.h>
#include <dshowx/DSParsers.h>
#include <winapi/ComPtr.h>
#include <winapi/Functions.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ComTest.h"
#include "support/TraceCapture.h"
#include "support/WaveFile.h"

namespace
{
const std::wstring kRule(85, L'-');

std::wstring Header(IUnknown* pGraph)
{
    WCHAR sz[160];
    StrFormat(sz, 160, L"\r\n[Filter Graph %p]%s\r\n\r\n", pGraph, std::wstring(62, L'-').c_str());
    return sz;
}

std::wstring Chain(IFilterGraph* pGraph)
{
    LPWSTR psz = nullptr;
    EXPECT_EQ(S_OK, CFilterChainParser::GetFiltersChain(pGraph, &psz));
    std::wstring s = psz != nullptr ? psz : L"";
    CoTaskMemFree(psz);
    return s;
}

std::string Narrow(const wchar_t* psz)
{
    const std::wstring s(psz);
    return std::string(s.begin(), s.end());
}

// An output pin that answers what the test sets; it lives on the stack.
class COddPin : public IPin
{
public:
    COddPin(IBaseFilter* pOwner, LPCWSTR pszName) : m_pOwner(pOwner), m_pszName(pszName) {}
    IBaseFilter* m_pOwner;
    LPCWSTR m_pszName;
    IPin* m_pPeer = nullptr;
    HRESULT m_hrInfo = S_OK, m_hrConnectedTo = VFW_E_NOT_CONNECTED, m_hrMediaType = S_OK;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid != IID_IUnknown && riid != IID_IPin)
            return *ppv = nullptr, E_NOINTERFACE;
        *ppv = static_cast<IPin*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect() override { return E_NOTIMPL; }
    STDMETHODIMP ConnectedTo(IPin** pp) override
    {
        *pp = SUCCEEDED(m_hrConnectedTo) ? m_pPeer : nullptr;
        return m_hrConnectedTo;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override
    {
        *pmt = AM_MEDIA_TYPE{};
        pmt->majortype = MEDIATYPE_Audio;
        pmt->subtype = MEDIASUBTYPE_PCM;
        return m_hrMediaType;
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO* p) override
    {
        p->pFilter = nullptr;
        if (FAILED(m_hrInfo))
            return m_hrInfo;
        p->pFilter = m_pOwner;
        m_pOwner->AddRef();
        p->dir = PINDIR_OUTPUT;
        StrCopy(p->achName, MAX_PIN_NAME, m_pszName);
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* p) override { return *p = PINDIR_OUTPUT, S_OK; }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_NOTIMPL; }
    STDMETHODIMP BeginFlush() override { return E_NOTIMPL; }
    STDMETHODIMP EndFlush() override { return E_NOTIMPL; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_NOTIMPL; }
};

// Enumerates a fixed list of pins; reference counted, made per EnumPins call.
class CPinList final : public IEnumPins
{
public:
    explicit CPinList(const std::vector<IPin*>& pins) : m_pins(pins) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid != IID_IUnknown && riid != IID_IEnumPins)
            return *ppv = nullptr, E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IEnumPins*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG n = InterlockedDecrement(&m_cRef);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP Next(ULONG c, IPin** pp, ULONG* pc) override
    {
        ULONG n = 0;
        for (; n < c && m_nPos < m_pins.size(); ++n)
        {
            pp[n] = m_pins[m_nPos++];
            pp[n]->AddRef();
        }
        if (pc != nullptr)
            *pc = n;
        return n == c ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return m_nPos = 0, S_OK; }
    STDMETHODIMP Clone(IEnumPins**) override { return E_NOTIMPL; }

private:
    std::vector<IPin*> m_pins;
    size_t m_nPos = 0;
    LONG m_cRef = 1;
};

// A filter that cannot say what it is; optionally a framework filter with a
// tag, a file sink, or a filter with pins.
class COddFilter : public IBaseFilter, public IDirectShowDebug, public IFileSinkFilter
{
public:
    HRESULT m_hrClassId = E_NOTIMPL;
    HRESULT m_hrInfo = S_OK;
    bool m_bDebug = false;
    bool m_bSink = false;
    HRESULT m_hrCurFile = S_OK;
    std::vector<IPin*> m_pins; // none: EnumPins fails
    IFilterGraph* m_pGraph = nullptr;
    WCHAR m_szName[128] = L"";
    LONG m_cRef = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            *ppv = static_cast<IBaseFilter*>(this);
        else if (riid == IID_IDirectShowDebug && m_bDebug)
            *ppv = static_cast<IDirectShowDebug*>(this);
        else if (riid == IID_IFileSinkFilter && m_bSink)
            *ppv = static_cast<IFileSinkFilter*>(this);
        else
            return *ppv = nullptr, E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_cRef); }
    STDMETHODIMP GetClassID(CLSID* p) override { return *p = CLSID_NullRendererFilter, m_hrClassId; }
    STDMETHODIMP Stop() override { return S_OK; }
    STDMETHODIMP Pause() override { return S_OK; }
    STDMETHODIMP Run(REFERENCE_TIME) override { return S_OK; }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* p) override { return *p = State_Stopped, S_OK; }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock** pp) override { return *pp = nullptr, S_OK; }
    STDMETHODIMP EnumPins(IEnumPins** pp) override
    {
        *pp = m_pins.empty() ? nullptr : new CPinList(m_pins);
        return *pp != nullptr ? S_OK : E_FAIL;
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin** pp) override { return *pp = nullptr, VFW_E_NOT_FOUND; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* p) override
    {
        if (FAILED(m_hrInfo))
            return m_hrInfo;
        StrCopy(p->achName, MAX_FILTER_NAME, m_szName);
        p->pGraph = m_pGraph;
        if (m_pGraph != nullptr)
            m_pGraph->AddRef();
        return S_OK;
    }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pszName) override
    {
        m_pGraph = pGraph;
        StrCopy(m_szName, 128, pszName != nullptr ? pszName : L"");
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR* pp) override { return *pp = nullptr, E_NOTIMPL; }
    STDMETHODIMP GetDebugNameW(LPWSTR psz, int cch) override { return StrCopy(psz, cch, L"[Spy 1]"), S_OK; }
    STDMETHODIMP GetDebugNameA(LPSTR psz, int cb) override { return lstrcpynA(psz, "[Spy 1]", cb), S_OK; }
    STDMETHODIMP SetFileName(LPCOLESTR, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCurFile(LPOLESTR* ppsz, AM_MEDIA_TYPE* pmt) override
    {
        *ppsz = nullptr;
        *pmt = AM_MEDIA_TYPE{};
        if (FAILED(m_hrCurFile))
            return m_hrCurFile;
        const wchar_t c_szFile[] = L"C:\\out\\capture.avi";
        *ppsz = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof(c_szFile)));
        memcpy(*ppsz, c_szFile, sizeof(c_szFile));
        return S_OK;
    }
};

class GraphDump : public CComTest
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&m_spGraph)));
    }
    void TearDown() override { m_spGraph.Release(); }
    CComPtr<IGraphBuilder> m_spGraph;
};
} // namespace

TEST_F(GraphDump, EmptyGraphGivesHeaderAndRule)
{
    EXPECT_EQ(Header(m_spGraph) + kRule, Chain(m_spGraph));

    LPWSTR psz = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_INVALIDARG, CFilterChainParser::GetFiltersChain(nullptr, &psz));
    EXPECT_EQ(nullptr, psz);
    EXPECT_EQ(E_POINTER, CFilterChainParser::GetFiltersChain(m_spGraph, nullptr));
}

TEST_F(GraphDump, RealWaveGraphShowsFilesPinsPeersAndTypes)
{
    const std::wstring sFile = WriteTestWaveFile();
    CComPtr<IBaseFilter> spSource, spParser, spRenderer;
    ASSERT_EQ(S_OK, m_spGraph->AddSourceFilter(sFile.c_str(), L"Source", &spSource));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WaveParserFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spParser)));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRendererFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spRenderer)));
    ASSERT_EQ(S_OK, m_spGraph->AddFilter(spParser, L"Parser"));
    ASSERT_EQ(S_OK, m_spGraph->AddFilter(spRenderer, L"Null"));
    ASSERT_EQ(S_OK, m_spGraph->Connect(FindPin(spSource, PINDIR_OUTPUT), FindPin(spParser, PINDIR_INPUT)));
    ASSERT_EQ(S_OK, m_spGraph->Connect(FindPin(spParser, PINDIR_OUTPUT), FindPin(spRenderer, PINDIR_INPUT)));

    const std::wstring s = Chain(m_spGraph);
    EXPECT_EQ(0u, s.find(Header(m_spGraph))) << s;
    EXPECT_EQ(s.size() - kRule.size(), s.rfind(kRule));

    WCHAR szLine[512];
    StrFormat(szLine, 512, L"    [Async Reader %p] {E436EBB5-524F-11CE-9F53-0020AF0BA770} : \"Source\"\r\n\tINPUT FILE: \"%s\"\r\n",
              static_cast<IBaseFilter*>(spSource), sFile.c_str());
    EXPECT_TRUE(TextHas(s, szLine));
    StrFormat(szLine, 512, L"    [Null Renderer %p] {C1F400A4-3F08-11D3-9F0B-006008039E37} : \"Null\"\r\n",
              static_cast<IBaseFilter*>(spRenderer));
    EXPECT_TRUE(TextHas(s, szLine));
    EXPECT_TRUE(TextHas(s, L"[Wave Parser "));
    // Connected pins name the peer filter and the connection type.
    EXPECT_TRUE(TextHas(s, L"\tOUTPUT (Output) -> [Parser] "));
    EXPECT_TRUE(TextHas(s, L"MEDIATYPE_Audio"));
    EXPECT_TRUE(TextHas(s, L"MEDIATYPE_Stream"));
    EXPECT_TRUE(TextHas(s, L"\tINPUT (In) -> ["));

    // A second renderer stays unconnected.
    CComPtr<IBaseFilter> spLonely;
    CoCreateInstance(CLSID_NullRendererFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(&spLonely));
    m_spGraph->AddFilter(spLonely, L"Lonely");
    EXPECT_TRUE(TextHas(Chain(m_spGraph), L"\tINPUT (In)    NOT CONNECTED\r\n"));

    // The log gets the same text as one narrow block.
    CTraceCapture capture;
    WriteGraphToLog(m_spGraph, L"[Spy 1]");
    ASSERT_EQ(1u, capture.Blocks().size());
    const std::wstring sNow = Chain(m_spGraph);
    EXPECT_EQ(std::string(sNow.begin(), sNow.end()), capture.Blocks()[0]);
    EXPECT_TRUE(capture.Lines().empty());

    m_spGraph->RemoveFilter(spLonely);
    m_spGraph->RemoveFilter(spRenderer);
    m_spGraph->RemoveFilter(spParser);
    m_spGraph->RemoveFilter(spSource);
    DeleteFileW(sFile.c_str());
}

TEST_F(GraphDump, FiltersThatFailQueriesAreReportedInline)
{
    COddFilter odd;
    ASSERT_EQ(S_OK, m_spGraph->AddFilter(&odd, L"Odd"));
    WCHAR szExpected[512];
    StrFormat(szExpected, 512,
              L"\r\n###Err### CFilterChainParser::GetFilterData(): pFilter->GetClassID()=E_NOTIMPL"
              L"    [Filter %p] {### CLSID is unknown} : \"Odd\"\r\n"
              L"###Err### CFilterChainParser::GetFilterData(): pFilter->EnumPins()=0x80004005\r\n\r\n",
              static_cast<IBaseFilter*>(&odd));
    EXPECT_EQ(Header(m_spGraph) + szExpected + kRule, Chain(m_spGraph));

    odd.m_hrClassId = E_FAIL;
    EXPECT_TRUE(TextHas(Chain(m_spGraph),
                        L"\r\n###Err### CFilterChainParser::GetFilterData(): pFilter->GetClassID()=0x80004005"));

    // A framework filter shows its own tag; a known class its table name.
    odd.m_hrClassId = S_OK;
    odd.m_bDebug = true;
    EXPECT_TRUE(TextHas(Chain(m_spGraph), L"    [Spy 1] {C1F400A4-3F08-11D3-9F0B-006008039E37} : \"Odd\""));
    odd.m_bDebug = false;
    StrFormat(szExpected, 512, L"    [Null Renderer %p] {C1F400A4", static_cast<IBaseFilter*>(&odd));
    EXPECT_TRUE(TextHas(Chain(m_spGraph), szExpected));

    m_spGraph->RemoveFilter(&odd);
}

// A file sink names its output file; pins that fail a query, or whose peer
// does, get an error line in place of what could not be read, and the dump
// goes on with the next pin.
TEST_F(GraphDump, FileSinkLineAndPinsThatFailQueries)
{
    COddFilter odd, peerFilter;
    odd.m_hrClassId = S_OK;
    odd.m_bSink = true;
    peerFilter.m_pGraph = m_spGraph;
    StrCopy(peerFilter.m_szName, 128, L"Peer");
    COddPin noInfo(&odd, L"NoInfo"), noPeer(&odd, L"NoPeer"), badPeer(&odd, L"BadPeer"),
        badPeerFilter(&odd, L"BadPeerFilter"), noType(&odd, L"NoType"), fine(&odd, L"Fine");
    COddPin peerNoInfo(&peerFilter, L"P1"), peerOk(&peerFilter, L"P2"), strangerPin(&peerFilter, L"P3");
    COddFilter stranger;
    stranger.m_hrInfo = E_ACCESSDENIED;
    strangerPin.m_pOwner = &stranger;
    noInfo.m_hrInfo = E_UNEXPECTED;
    noPeer.m_hrConnectedTo = E_FAIL;
    badPeer.m_hrConnectedTo = S_OK;
    badPeer.m_pPeer = &peerNoInfo;
    peerNoInfo.m_hrInfo = E_NOTIMPL;
    badPeerFilter.m_hrConnectedTo = S_OK;
    badPeerFilter.m_pPeer = &strangerPin;
    noType.m_hrConnectedTo = S_OK;
    noType.m_pPeer = &peerOk;
    noType.m_hrMediaType = VFW_E_NOT_CONNECTED;
    fine.m_hrConnectedTo = S_OK;
    fine.m_pPeer = &peerOk;
    odd.m_pins = {&noInfo, &noPeer, &badPeer, &badPeerFilter, &noType, &fine};
    ASSERT_EQ(S_OK, m_spGraph->AddFilter(&odd, L"Sink"));

    const std::wstring s = Chain(m_spGraph);
    for (const wchar_t* pszLine : {
             L"\"Sink\"\r\n\tOUTPUT FILE: \"C:\\out\\capture.avi\"\r\n",
             L"###Err### CFilterChainParser::GetPinData(): pPin->QueryPinInfo()=0x8000FFFF\r\n\r\n\tOUTPUT (NoPeer)",
             L"\tOUTPUT (NoPeer)\r\n###Err### CFilterChainParser::GetPinData(): pPin->ConnectedTo()=0x80004005\r\n",
             L"\tOUTPUT (BadPeer)\r\n###Err### CFilterChainParser::GetPinData(): spPinConnected->QueryPinInfo()=0x80004001\r\n",
             L"\tOUTPUT (BadPeerFilter)\r\n###Err### CFilterChainParser::GetPinData(): "
             L"spConnectedFilter->QueryFilterInfo()=0x80070005\r\n",
             L"\tOUTPUT (NoType) -> [Peer] \r\n###Err### CFilterChainParser::GetPinMediaType(): "
             L"pPin->ConnectionMediaType()=0x80040209\r\n\r\n",
             L"\tOUTPUT (Fine) -> [Peer] ",
         })
        EXPECT_NE(std::wstring::npos, s.find(pszLine)) << Narrow(pszLine) << "\n" << Narrow(s.c_str());

    odd.m_hrCurFile = E_OUTOFMEMORY;
    EXPECT_NE(std::wstring::npos, Chain(m_spGraph).find(L"\"Sink\"\r\n###Err### CFilterChainParser::GetFileName(): "
                                                        L"spFileSinkFilter->GetCurFile()=0x8007000E\r\n\r\n###Err###"));
    odd.m_pins.clear(); // the graph would disconnect them on removal
    m_spGraph->RemoveFilter(&odd);
}

TEST(GraphToLog, WithoutGraphOnlyTheErrorLine)
{
    CTraceCapture capture;
    WriteGraphToLog(nullptr, L"[Spy 1]");
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_EQ(L"###Err### [Spy 1] ParseGraphToLogFile(): graph pointer = NULL\n",
              CTraceCapture::Body(capture.Lines()[0]));
    EXPECT_TRUE(capture.Blocks().empty());
}
