// The product's pages on the spy filter from its DLL in a running graph: the
// page driven by window messages, and the platform's property frame.
#include "PageTestSupport.h"

using namespace pages_test;

// The product's filter from its DLL in a running graph.
class ProductTest : public PageTest
{
protected:
    void SetUp() override
    {
        PageTest::SetUp();
        m_pDll = std::make_unique<CProductDll>();
        ASSERT_TRUE(m_pDll->IsReady());
        m_spReal = m_pDll->CreateSpy();
        ASSERT_NE(nullptr, m_spReal.p);
        m_pGraph = std::make_unique<CSpyGraph>(m_spReal, 20);
        ASSERT_TRUE(m_pGraph->IsConnected());
        ASSERT_EQ(S_OK, m_spReal.QueryInterface(&m_spControl));
    }
    void TearDown() override
    {
        Close();
        m_spControl.Release();
        m_pGraph.reset();
        m_spReal.Release();
        m_pDll.reset();
        PageTest::TearDown();
    }

    std::unique_ptr<CProductDll> m_pDll;
    std::unique_ptr<CSpyGraph> m_pGraph;
    CComPtr<IBaseFilter> m_spReal;
    CComPtr<IVelmoraSpyFilter> m_spControl;
};

TEST_F(ProductTest, PageOnTheRunningFilterMeasuresSetsAndCaptures)
{
    Open<CSpyFilterPP>(m_spReal);
    Click(IDC_PP_DYNRECONNECT);
    Click(IDC_PP_CHECKSUM);
    EXPECT_EQ(Checked(IDC_PP_DYNRECONNECT) ? S_OK : S_FALSE, m_spControl->IsDynReconnecEnabled());
    LONG bCheckSum = FALSE;
    m_spControl->GetCheckSum(&bCheckSum);
    EXPECT_EQ(Checked(IDC_PP_CHECKSUM), bCheckSum != FALSE);
    const bool bDisable = Checked(IDC_PP_MTENUM);
    Click(IDC_PP_MTENUM);
    EXPECT_EQ(bDisable ? S_OK : S_FALSE, m_spControl->IsMTEnumRedirEnabled());

    WCHAR szDir[MAX_PATH];
    GetTempPathW(MAX_PATH, szDir);
    const std::wstring sBase = std::wstring(szDir) + L"pgcap";
    SetEdit(IDC_PP_FILE, (sBase + L".dat").c_str());
    SetEdit(IDC_PP_NSAMPLES, L"3");
    Refresh();
    EXPECT_EQ(L" 0 b/s", Text(IDC_PP_TOTAL));
    ASSERT_TRUE(SUCCEEDED(m_pGraph->Run()));
    Sleep(1200);
    Refresh();
    // 44100 Hz stereo 16-bit: 1.411 Mb/s.
    EXPECT_EQ(L" 1.411 Mb/s", Text(IDC_PP_TOTAL));
    EXPECT_NE(L"", Text(IDC_PP_MOVING));
    EXPECT_NE(L" 0.000", Text(IDC_PP_SAMPLES));
    EXPECT_NE(std::wstring::npos, Text(IDC_PP_POSITION).find(L" from 20.000 sec")) << Text(IDC_PP_POSITION);
    // Wine's WAVE parser can assert in its streaming thread when its rate
    // changes while it plays, so the rate is set while the graph is stopped.
    ASSERT_TRUE(SUCCEEDED(m_pGraph->Stop()));
    Slide(75);
    {
        // The parser frees its output pin when the graph goes below, so the
        // pin's interface must not outlive this block.
        CComPtr<IMediaSeeking> spSeeking;
        ASSERT_EQ(S_OK, static_cast<CSpyFilterPP*>(m_spPage.p)->GetMediaSeeking(&spSeeking));
        double dRate = 0;
        spSeeking->GetRate(&dRate);
        EXPECT_NEAR(3.16228, dRate, 1e-4);
    }

    ASSERT_TRUE(SUCCEEDED(m_pGraph->Run()));
    Click(IDC_PP_START);
    EXPECT_TRUE(CMessageBoxes::Take().empty());
    // A loaded machine may take a while before the first sample is written.
    WIN32_FIND_DATAW fd = {};
    HANDLE hFind = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 300 && hFind == INVALID_HANDLE_VALUE; ++i)
    {
        Sleep(100);
        hFind = FindFirstFileW((sBase + L"*").c_str(), &fd);
        if (hFind != INVALID_HANDLE_VALUE && fd.nFileSizeLow == 0 && fd.nFileSizeHigh == 0)
        {
            FindClose(hFind);
            hFind = INVALID_HANDLE_VALUE;
        }
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, hFind);
    FindClose(hFind);
    m_pGraph.reset(); // stops the graph and ends the capture
    const std::wstring sFile = std::wstring(szDir) + fd.cFileName;
    WCHAR szExe[MAX_PATH];
    GetModuleFileNameW(nullptr, szExe, MAX_PATH);
    *wcsrchr(szExe, L'\\') = 0;
    std::wstring sCommand = L"\"" + std::wstring(szExe) + L"\\capread.exe\" \"" + sFile + L"\"";
    STARTUPINFOW si = {}; // no handles: the listing is not needed
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &sCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD dwExit = 1;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(0u, dwExit) << sFile;
    for (hFind = FindFirstFileW((sBase + L"*").c_str(), &fd); hFind != INVALID_HANDLE_VALUE;)
    {
        DeleteFileW((std::wstring(szDir) + fd.cFileName).c_str());
        if (!FindNextFileW(hFind, &fd))
        {
            FindClose(hFind);
            break;
        }
    }
}

namespace
{
struct FrameVisit
{
    int nSettings = 0;
    int nAbout = 0;
};

bool VisitBothPages(HWND hFrame, int nStep, void* pv)
{
    FrameVisit* p = static_cast<FrameVisit*>(pv);
    if (nStep == 0)
    {
        p->nSettings += CFrameDriver::FindPage(hFrame, IDC_PP_TOTAL) != nullptr;
        CFrameDriver::SelectTab(hFrame, 1);
        return true;
    }
    p->nAbout += CFrameDriver::FindPage(hFrame, IDC_ABOUT_BANNER_CTL) != nullptr;
    return false;
}

BOOL CALLBACK CountWindow(HWND, LPARAM l)
{
    ++*reinterpret_cast<int*>(l);
    return TRUE;
}

int CountWindows()
{
    int n = 0;
    EnumThreadWindows(GetCurrentThreadId(), &CountWindow, reinterpret_cast<LPARAM>(&n));
    return n;
}
} // namespace

TEST_F(ProductTest, FrameOpenedAndClosedAHundredTimesLeavesNothing)
{
    ASSERT_TRUE(SUCCEEDED(m_pGraph->Run()));
    FrameVisit visit;
    ASSERT_EQ(S_OK, CFrameDriver::Run(m_spReal, &VisitBothPages, &visit, 10)); // warms up the frame's classes
    const int nWindows = CountWindows();
    const DWORD nGdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const DWORD nUser = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    m_spReal.p->AddRef();
    const ULONG nRefs = m_spReal.p->Release();
    visit = FrameVisit();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(S_OK, CFrameDriver::Run(m_spReal, &VisitBothPages, &visit, 10)) << i;
    EXPECT_EQ(100, visit.nSettings);
    EXPECT_EQ(100, visit.nAbout);
    EXPECT_EQ(nWindows, CountWindows());
    EXPECT_EQ(nGdi, GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
    EXPECT_EQ(nUser, GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
    m_spReal.p->AddRef();
    EXPECT_EQ(nRefs, m_spReal.p->Release());
    EXPECT_TRUE(CMessageBoxes::Take().empty());
}
