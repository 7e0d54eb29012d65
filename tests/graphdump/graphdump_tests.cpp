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

// A filter that cannot say what it is; optionally a framework filter with a tag.
class COddFilter : public IBaseFilter, public IDirectShowDebug
{
public:
    HRESULT m_hrClassId = E_NOTIMPL;
    bool m_bDebug = false;
    IFilterGraph* m_pGraph = nullptr;
    WCHAR m_szName[128] = L"";
    LONG m_cRef = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            *ppv = static_cast<IBaseFilter*>(this);
        else if (riid == IID_IDirectShowDebug && m_bDebug)
            *ppv = static_cast<IDirectShowDebug*>(this);
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
    STDMETHODIMP EnumPins(IEnumPins** pp) override { return *pp = nullptr, E_FAIL; }
    STDMETHODIMP FindPin(LPCWSTR, IPin** pp) override { return *pp = nullptr, VFW_E_NOT_FOUND; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* p) override
    {
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

TEST(GraphToLog, WithoutGraphOnlyTheErrorLine)
{
    CTraceCapture capture;
    WriteGraphToLog(nullptr, L"[Spy 1]");
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_EQ(L"###Err### [Spy 1] ParseGraphToLogFile(): graph pointer = NULL\n",
              CTraceCapture::Body(capture.Lines()[0]));
    EXPECT_TRUE(capture.Blocks().empty());
}
