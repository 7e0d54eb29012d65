// The filter's COM faces: the control interface on a filter in a running
// graph, the pages, the version, the lock count, and persistence (the fresh
// layout, round trips, foreign and damaged streams, size and dirty state).
#include <gtest/gtest.h>

#include <Filter.h>
#include <VelmoraVersion.h>
#include <winapi/Persist.h>

#include <support/ComTest.h>
#include <support/GraphRun.h>
#include <support/TraceCapture.h>
#include <support/WaveFile.h>

#include "ServerSupport.h"
#include "StreamBytes.h"

namespace
{

std::wstring Take(BSTR bs)
{
    std::wstring s = bs != nullptr ? bs : L"<null>";
    SysFreeString(bs);
    return s;
}

std::vector<BYTE> Save(IUnknown* pUnk, BOOL bClearDirty = TRUE)
{
    CComPtr<IPersistStream> spPS;
    pUnk->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPS));
    CComPtr<IStream> spStm = StreamOf({});
    EXPECT_EQ(S_OK, spPS->Save(spStm, bClearDirty));
    return BytesOf(spStm);
}

HRESULT Load(IUnknown* pUnk, const std::vector<BYTE>& bytes)
{
    CComPtr<IPersistStream> spPS;
    pUnk->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPS));
    return spPS->Load(StreamOf(bytes));
}

// The four options as the interface reports them: dyn, enum, checksum, forced.
std::vector<LONG> Options(IVelmoraSpyFilter* pSpy)
{
    LONG bCheckSum = -1, bForced = -1;
    pSpy->GetCheckSum(&bCheckSum);
    pSpy->IsPassthruAllocatorForced(&bForced);
    return {pSpy->IsDynReconnecEnabled() == S_OK, pSpy->IsMTEnumRedirEnabled() == S_OK, bCheckSum, bForced};
}
const std::vector<LONG> DEFAULT_OPTIONS = {1, 1, 0, 0};

std::vector<BYTE> FreshLayout()
{
    std::vector<BYTE> bytes(44, 0);
    memcpy(&bytes[0], &CLSID_SpyFilter, 16);
    bytes[16] = bytes[20] = 1; // dynamic reconnection, enumeration redirection
    bytes[36] = 1;             // one sample per file
    return bytes;
}

} // namespace

TEST(SpyControl, MethodsOnAFilterInARunningGraph)
{
    CComInit com;
    const std::wstring strWave = WriteTestWaveFile(8000, 1, 8, 16000);
    CComPtr<IGraphBuilder> spGraph = CreateGraph();
    CComPtr<IBaseFilter> spSource = AddFileSource(spGraph, strWave.c_str());
    CComPtr<IBaseFilter> spParser = AddFilterByClsid(spGraph, CLSID_WaveParserFilter, L"Parser");
    CComPtr<IBaseFilter> spSpyFilter = CreateSpy<IBaseFilter>();
    CComPtr<IBaseFilter> spSink = AddFilterByClsid(spGraph, CLSID_NullRendererFilter, L"Sink");
    ASSERT_TRUE(spSource && spParser && spSpyFilter && spSink);
    ASSERT_EQ(S_OK, spGraph->AddFilter(spSpyFilter, L"Spy"));
    ASSERT_EQ(S_OK, ConnectFilters(spGraph, spSource, spParser));
    ASSERT_EQ(S_OK, ConnectFilters(spGraph, spParser, spSpyFilter));
    ASSERT_EQ(S_OK, ConnectFilters(spGraph, spSpyFilter, spSink));
    CComPtr<IVelmoraSpyFilter> spSpy;
    ASSERT_EQ(S_OK, spSpyFilter->QueryInterface(IID_IVelmoraSpyFilter, reinterpret_cast<void**>(&spSpy)));

    // Nothing set yet: S_FALSE and the outputs untouched.
    BSTR bs = nullptr;
    LONG bOne = 77;
    UINT nSamples = 77;
    EXPECT_EQ(S_FALSE, spSpy->GetCaptureProps(&bs, &bOne, &nSamples));
    EXPECT_EQ(nullptr, bs);
    EXPECT_EQ(77, bOne);
    EXPECT_EQ(77u, nSamples);
    EXPECT_EQ(E_POINTER, spSpy->GetCaptureProps(nullptr, &bOne, &nSamples));

    // Booleans other than 0 and 1: stored as given, so they read as off.
    EXPECT_EQ(S_OK, spSpy->EnableDynReconnect(2));
    EXPECT_EQ(S_FALSE, spSpy->IsDynReconnecEnabled());
    EXPECT_EQ(S_OK, spSpy->EnableMTEnumRedir(0));
    EXPECT_EQ(S_FALSE, spSpy->IsMTEnumRedirEnabled());
    EXPECT_EQ(S_OK, spSpy->SetCheckSum(5));
    EXPECT_EQ((std::vector<LONG>{0, 0, 1, 0}), Options(spSpy));
    EXPECT_EQ(S_OK, spSpy->EnableDynReconnect(1));
    EXPECT_EQ(S_OK, spSpy->EnableMTEnumRedir(1));

    // Templates: null, empty and overlong refused; 0 samples stored as 1.
    EXPECT_EQ(E_INVALIDARG, spSpy->SetCaptureProps(nullptr, TRUE, 3));
    CComBSTR bsEmpty(L""), bsLong(std::wstring(40000, L'a').c_str()), bsName(L"cap.dat");
    EXPECT_EQ(E_INVALIDARG, spSpy->SetCaptureProps(bsEmpty, TRUE, 3));
    EXPECT_EQ(E_INVALIDARG, spSpy->SetCaptureProps(bsLong, TRUE, 3));
    EXPECT_EQ(S_OK, spSpy->SetCaptureProps(bsName, 9, 0));
    EXPECT_EQ(S_OK, spSpy->GetCaptureProps(&bs, &bOne, &nSamples));
    EXPECT_EQ(L"cap.dat", Take(bs));
    EXPECT_EQ(1, bOne);
    EXPECT_EQ(1u, nSamples);

    CComPtr<IMediaControl> spControl;
    ASSERT_EQ(S_OK, spGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&spControl)));
    ASSERT_TRUE(SUCCEEDED(spControl->Pause()));
    UINT nTotal = 99, nMoving = 99;
    double dRate = -1;
    EXPECT_EQ(S_OK, spSpy->GetBitrates(&nTotal, &nMoving));
    EXPECT_EQ(0u, nTotal);
    EXPECT_EQ(0u, nMoving);
    EXPECT_EQ(E_POINTER, spSpy->GetBitrates(&nTotal, nullptr));
    EXPECT_EQ(E_POINTER, spSpy->GetSamplesPerSec(nullptr));
    EXPECT_EQ(VFW_E_WRONG_STATE, spSpy->ForcePassthruAllocator(TRUE));

    ASSERT_EQ(S_OK, RunToCompletion(spGraph, 10000)); // stops the graph at the end
    EXPECT_EQ(S_OK, spSpy->GetBitrates(&nTotal, &nMoving));
    EXPECT_NEAR(64000.0, nTotal, 6400.0);
    EXPECT_GT(nMoving, 0u);
    EXPECT_EQ(S_OK, spSpy->GetSamplesPerSec(&dRate));
    EXPECT_GT(dRate, 0.0);

    ASSERT_TRUE(SUCCEEDED(spControl->Run()));
    EXPECT_EQ(VFW_E_WRONG_STATE, spSpy->ForcePassthruAllocator(TRUE));
    LONG bForced = -1;
    EXPECT_EQ(S_OK, spSpy->IsPassthruAllocatorForced(&bForced));
    EXPECT_EQ(0, bForced);
    spControl->Stop();
    EXPECT_NE(VFW_E_WRONG_STATE, spSpy->ForcePassthruAllocator(TRUE));

    spSpy.Release();
    spControl.Release();
    spSpyFilter.Release();
    spSource.Release();
    spParser.Release();
    spSink.Release();
    TearDownGraph(spGraph);
    DeleteFileW(strWave.c_str());
}

TEST(SpyControl, PagesVersionAndTheModuleLock)
{
    CComInit com;
    CComPtr<IBaseFilter> spFilter = CreateSpy<IBaseFilter>();
    ASSERT_TRUE(spFilter);
    CComPtr<ISpecifyPropertyPages> spPages;
    ASSERT_EQ(S_OK, spFilter->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&spPages)));
    CAUUID pages = {};
    ASSERT_EQ(S_OK, spPages->GetPages(&pages));
    ASSERT_EQ(2u, pages.cElems);
    EXPECT_TRUE(IsEqualCLSID(CLSID_SpyFilterPP, pages.pElems[0]));
    EXPECT_TRUE(IsEqualCLSID(CLSID_AboutSpyFilter, pages.pElems[1]));
    CoTaskMemFree(pages.pElems);
    EXPECT_EQ(E_POINTER, spPages->GetPages(nullptr));

    CComPtr<IVelmoraVersion> spVersion;
    ASSERT_EQ(S_OK, spFilter->QueryInterface(IID_IVelmoraVersion, reinterpret_cast<void**>(&spVersion)));
    BSTR bs = nullptr;
    ASSERT_EQ(S_OK, spVersion->VerNumber(&bs));
    const std::string strVersion = VELMORA_VER_TEXT;
    EXPECT_EQ(std::wstring(strVersion.begin(), strVersion.end()), Take(bs));
    bs = nullptr;
    ASSERT_EQ(S_OK, spVersion->VerCreated(&bs));
    EXPECT_EQ(20u, Take(bs).size()); // dd-Mmm-yyyy hh:mm:ss

    // One identity: the control interface answers for the filter.
    CComPtr<IVelmoraSpyFilter> spSpy;
    ASSERT_EQ(S_OK, spVersion->QueryInterface(IID_IVelmoraSpyFilter, reinterpret_cast<void**>(&spSpy)));
    CComPtr<IBaseFilter> spBack;
    ASSERT_EQ(S_OK, spSpy->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&spBack)));
    EXPECT_EQ(spFilter.p, spBack.p);

    auto pfnCanUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"VelmoraSpy.dll"), "DllCanUnloadNow")));
    ASSERT_NE(nullptr, pfnCanUnload);
    EXPECT_EQ(S_FALSE, pfnCanUnload());
    spBack.Release();
    spSpy.Release();
    spVersion.Release();
    spPages.Release();
    spFilter.Release();
    EXPECT_EQ(S_OK, pfnCanUnload());
}

TEST(SpyControl, VersionLineAtConstruction)
{
    CTraceCapture trace;
    CComPtr<IBaseFilter> spFilter;
    ASSERT_EQ(S_OK, CSpyFilter::CreateInstance(&spFilter.p));
    // Built into this program, the filter finds no version resource here.
    std::wstring strLine;
    for (const std::wstring& line : trace.Lines())
        if (CTraceCapture::Body(line).find(L" Version: ") != std::wstring::npos)
            strLine = CTraceCapture::Body(line);
    EXPECT_EQ(0u, strLine.find(L"[Spy ")) << strLine;
    EXPECT_TRUE(TextHas(strLine, L"] Version: Velmora Spy Filter ["));
    EXPECT_TRUE(TextHas(strLine, L" v.0.0.0.0 "));
}

TEST(SpyPersist, FreshFilterSavesFortyFourBytes)
{
    CComInit com;
    CComPtr<IPersistStream> spPS = CreateSpy<IPersistStream>();
    ASSERT_TRUE(spPS);
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, spPS->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_SpyFilter, clsid));
    EXPECT_EQ(S_FALSE, spPS->IsDirty());
    ULARGE_INTEGER cb = {};
    EXPECT_EQ(S_OK, spPS->GetSizeMax(&cb));
    EXPECT_EQ(44u, cb.QuadPart);
    EXPECT_EQ(FreshLayout(), Save(spPS));
    EXPECT_EQ(E_POINTER, spPS->GetSizeMax(nullptr));
    EXPECT_EQ(E_POINTER, spPS->Save(nullptr, TRUE));
    EXPECT_EQ(E_POINTER, spPS->Load(nullptr));
}

TEST(SpyPersist, EveryOptionRoundTripsAndMarksDirty)
{
    CComInit com;
    CComPtr<IVelmoraSpyFilter> spSpy = CreateSpy<IVelmoraSpyFilter>();
    CComPtr<IPersistStream> spPS;
    ASSERT_EQ(S_OK, spSpy->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPS)));
    struct STEP
    {
        const char* pszName;
        HRESULT (*pfn)(IVelmoraSpyFilter*);
    };
    const STEP steps[] = {
        {"dyn", [](IVelmoraSpyFilter* p) { return p->EnableDynReconnect(0); }},
        {"enum", [](IVelmoraSpyFilter* p) { return p->EnableMTEnumRedir(0); }},
        {"checksum", [](IVelmoraSpyFilter* p) { return p->SetCheckSum(1); }},
        {"passthru", [](IVelmoraSpyFilter* p) { return p->ForcePassthruAllocator(1); }},
        {"capture", [](IVelmoraSpyFilter* p) { return p->SetCaptureProps(CComBSTR(L"cap.dat"), FALSE, 5); }},
    };
    for (const STEP& step : steps)
    {
        SCOPED_TRACE(step.pszName);
        EXPECT_EQ(S_FALSE, spPS->IsDirty());
        EXPECT_EQ(S_OK, step.pfn(spSpy));
        EXPECT_EQ(S_OK, spPS->IsDirty());
        Save(spPS, FALSE);
        EXPECT_EQ(S_OK, spPS->IsDirty());
        Save(spPS, TRUE);
    }
    const std::vector<BYTE> bytes = Save(spPS);
    ULARGE_INTEGER cb = {};
    EXPECT_EQ(S_OK, spPS->GetSizeMax(&cb));
    EXPECT_EQ(bytes.size(), cb.QuadPart);
    EXPECT_EQ(44u + 16u, bytes.size());

    CComPtr<IVelmoraSpyFilter> spCopy = CreateSpy<IVelmoraSpyFilter>();
    ASSERT_EQ(S_OK, Load(spCopy, bytes));
    EXPECT_EQ((std::vector<LONG>{0, 0, 1, 1}), Options(spCopy));
    BSTR bs = nullptr;
    LONG bOne = -1;
    UINT nSamples = 0;
    ASSERT_EQ(S_OK, spCopy->GetCaptureProps(&bs, &bOne, &nSamples));
    EXPECT_EQ(L"cap.dat", Take(bs));
    EXPECT_EQ(0, bOne);
    EXPECT_EQ(5u, nSamples);
    EXPECT_EQ(bytes, Save(spCopy));

    // Stored booleans other than 0 and 1 load as 1.
    std::vector<BYTE> odd = FreshLayout();
    odd[16] = 7;
    odd[28] = 3;
    ASSERT_EQ(S_OK, Load(spCopy, odd));
    EXPECT_EQ((std::vector<LONG>{1, 1, 1, 0}), Options(spCopy));
}

TEST(SpyPersist, ForeignAndDamagedStreamsLeaveDefaults)
{
    CComInit com;
    CComPtr<IVelmoraSpyFilter> spSpy = CreateSpy<IVelmoraSpyFilter>();
    ASSERT_TRUE(spSpy);
    std::vector<BYTE> bytes = FreshLayout();
    bytes[16] = bytes[20] = 0;
    bytes[24] = bytes[28] = 1;
    bytes[0] ^= 0xFF;
    EXPECT_EQ(S_OK, Load(spSpy, bytes));
    EXPECT_EQ(DEFAULT_OPTIONS, Options(spSpy));
    EXPECT_EQ(FreshLayout(), Save(spSpy));

    // A saved stream with a template, cut at every byte, then with bad counts.
    CComPtr<IVelmoraSpyFilter> spSource = CreateSpy<IVelmoraSpyFilter>();
    spSource->SetCheckSum(1);
    spSource->SetCaptureProps(CComBSTR(L"a.dat"), TRUE, 2);
    const std::vector<BYTE> saved = Save(spSource);
    std::vector<std::vector<BYTE>> damaged;
    for (size_t cb = 0; cb < saved.size(); ++cb)
        damaged.emplace_back(saved.begin(), saved.begin() + cb);
    for (DWORD dwCount : {0x7FFFFFFFu, 0x00100002u, 13u, 14u})
    {
        damaged.push_back(saved);
        memcpy(&damaged.back()[40], &dwCount, 4);
    }
    damaged.push_back(saved);
    damaged.back()[saved.size() - 2] = 'x'; // no zero character
    for (size_t i = 0; i < damaged.size(); ++i)
    {
        SCOPED_TRACE(i);
        spSpy->SetCheckSum(1);
        spSpy->SetCaptureProps(CComBSTR(L"b.dat"), FALSE, 9);
        EXPECT_TRUE(FAILED(Load(spSpy, damaged[i])));
        EXPECT_EQ(DEFAULT_OPTIONS, Options(spSpy));
        BSTR bs = nullptr;
        LONG bOne = 0;
        UINT n = 0;
        EXPECT_EQ(S_FALSE, spSpy->GetCaptureProps(&bs, &bOne, &n));
    }
}

TEST(SpyPersist, FilterAsAnInterfaceMemberOfAMap)
{
    CComInit com;
    class CHolder : public CPersistObjectImpl<CHolder>
    {
    public:
        LPCWSTR GetTraceName() { return L"[Holder]"; }
        BEGIN_PERSIST_MAP(CHolder)
        PERSIST_ENTRY_INTERFACE(m_spFilter)
        END_PERSIST_MAP()
        CComPtr<IUnknown> m_spFilter;
    } holder;
    CComPtr<IStream> spStm = StreamOf({});
    EXPECT_EQ(E_UNEXPECTED, holder.PersistSave(spStm, TRUE)); // no member yet
    holder.m_spFilter = CreateSpy<IUnknown>();
    CComPtr<IVelmoraSpyFilter> spSpy;
    holder.m_spFilter->QueryInterface(IID_IVelmoraSpyFilter, reinterpret_cast<void**>(&spSpy));
    spSpy->SetCheckSum(1);
    EXPECT_TRUE(holder.PersistIsDirty());
    EXPECT_EQ(44u, holder.PersistSize());
    EXPECT_EQ(S_OK, holder.PersistSave(spStm, TRUE));
    EXPECT_FALSE(holder.PersistIsDirty());
    EXPECT_EQ(Save(spSpy), BytesOf(spStm));
}
