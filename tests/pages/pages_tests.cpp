// The property page and the About page in real windows, driven by window
// messages as a user would, on a filter in a running WAVE graph.
#include "PageTestSupport.h"

using namespace pages_test;

namespace
{

std::wstring Bitrate(UINT v)
{
    WCHAR sz[64];
    CSpyFilterPP::FormatBitrate(v, sz, ARRAYSIZE(sz));
    return sz;
}

std::wstring Rate(double d)
{
    WCHAR sz[64];
    CSpyFilterPP::FormatRate(d, sz, ARRAYSIZE(sz));
    return sz;
}

OPENFILENAMEW s_ofn;
BOOL WINAPI ChooseFile(OPENFILENAMEW* p)
{
    s_ofn = *p;
    lstrcpyW(p->lpstrFile, L"C:\\cap\\out.bin");
    return TRUE;
}

std::vector<std::wstring> s_opened;
HINSTANCE WINAPI OpenLink(HWND, LPCWSTR pszVerb, LPCWSTR pszFile, LPCWSTR, LPCWSTR, INT)
{
    s_opened.push_back(std::wstring(pszVerb) + L" " + pszFile);
    return reinterpret_cast<HINSTANCE>(42);
}

} // namespace

TEST(PageTexts, BitratesRatesAndPositions)
{
    EXPECT_EQ(L" 999 b/s", Bitrate(999));
    EXPECT_EQ(L" 1.000 Kb/s", Bitrate(1000));
    EXPECT_EQ(L" 999.999 Kb/s", Bitrate(999999));
    EXPECT_EQ(L" 1.000 Mb/s", Bitrate(1000000));
    EXPECT_EQ(L" 2.000 Mb/s", Bitrate(1999600));
    EXPECT_EQ(L" 4294.967 Mb/s", Bitrate(0xFFFFFFFF));

    EXPECT_NEAR(3.16228, CSpyFilterPP::PositionToRate(75), 1e-5);
    EXPECT_DOUBLE_EQ(0.1, CSpyFilterPP::PositionToRate(-5));
    EXPECT_DOUBLE_EQ(10.0, CSpyFilterPP::PositionToRate(140));
    EXPECT_EQ(L"3.162", Rate(CSpyFilterPP::PositionToRate(75)));
    EXPECT_EQ(L"-3.162", Rate(-CSpyFilterPP::PositionToRate(75)));
    EXPECT_EQ(L"2.000", Rate(1.9996));
    EXPECT_EQ(50, CSpyFilterPP::RateToPosition(1.0));
    EXPECT_EQ(100, CSpyFilterPP::RateToPosition(20.0));
    EXPECT_EQ(0, CSpyFilterPP::RateToPosition(0.0));
    EXPECT_EQ(0, CSpyFilterPP::RateToPosition(0.01));

    WCHAR sz[64];
    CSpyFilterPP::FormatPosition(S_OK, 19995000, MAXLONGLONG, sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Position 2.000 sec", sz);
    CSpyFilterPP::FormatPosition(S_OK, 15000000, 200000000, sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Position 1.500 from 20.000 sec", sz);
    CSpyFilterPP::FormatPosition(VFW_E_NOT_CONNECTED, 0, 0, sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Position unknown: error 0x80040209", sz);
    CSpyFilterPP::FormatSamplesPerSec(12.3456, sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L" 12.345", sz);
}

TEST(PageTexts, AboutNameAndVersion)
{
    WCHAR sz[128];
    CFilterName::MakeText(L"Velmora Spy Filter", sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Spy Filter", sz);
    CFilterName::MakeText(L"velmora   Spy", sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Spy", sz);
    CFilterName::MakeText(L"Other Spy Filter", sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Other Spy Filter", sz);
    CFilterName::MakeText(L"Velmoran Filter", sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Velmoran Filter", sz);
    CFilterName::MakeText(L"Velmora  ", sz, ARRAYSIZE(sz));
    EXPECT_STREQ(L"Velmora  ", sz);

    const std::wstring sBits = sizeof(void*) == 4 ? L" 32 bit" : L" 64 bit";
    CAboutSpyFilter::FormatVersion("Jun  3 2025", "17:49:29", sz, ARRAYSIZE(sz));
    EXPECT_EQ(L"0.0.0.0 (3-Jun-2025 17:49:29)" + sBits, sz);
    CAboutSpyFilter::FormatVersion("Jun 23 2025", "07:09:02", sz, ARRAYSIZE(sz));
    EXPECT_EQ(L"0.0.0.0 (23-Jun-2025 07:09:02)" + sBits, sz);
}

TEST_F(PageTest, PageInfoSizeTitlesAndBadArguments)
{
    struct
    {
        HRESULT (*pfnCreate)(IPropertyPage**);
        LPCWSTR pszTitle;
    } const aPages[] = {{&CSpyFilterPP::CreateInstance<IPropertyPage>, L"Settings"},
                        {&CAboutSpyFilter::CreateInstance<IPropertyPage>, L"About"}};
    for (const auto& page : aPages)
    {
        SCOPED_TRACE(page.pszTitle);
        CComPtr<IPropertyPage> sp;
        ASSERT_EQ(S_OK, page.pfnCreate(&sp));
        CComPtr<IMarshal> spMarshal;
        EXPECT_EQ(S_OK, sp.QueryInterface(&spMarshal)); // free-threaded marshaler
        EXPECT_EQ(E_POINTER, sp->GetPageInfo(nullptr));
        PROPPAGEINFO info = {};
        ASSERT_EQ(S_OK, sp->GetPageInfo(&info));
        EXPECT_STREQ(page.pszTitle, info.pszTitle);
        EXPECT_EQ(nullptr, info.pszDocString);
        EXPECT_EQ(nullptr, info.pszHelpFile);
        CoTaskMemFree(info.pszTitle);
        EXPECT_EQ(E_POINTER, sp->SetObjects(1, nullptr));
        IUnknown* apNull[] = {nullptr};
        EXPECT_EQ(E_POINTER, sp->SetObjects(1, apNull));
        RECT rc = {0, 0, info.size.cx, info.size.cy};
        ASSERT_EQ(S_OK, sp->Activate(m_hFrame, &rc, FALSE));
        RECT rcClient;
        GetClientRect(GetWindow(m_hFrame, GW_CHILD), &rcClient);
        EXPECT_EQ(info.size.cx, rcClient.right);
        EXPECT_EQ(info.size.cy, rcClient.bottom);
        EXPECT_EQ(S_FALSE, sp->IsPageDirty());
        EXPECT_EQ(E_POINTER, sp->Move(nullptr));
        EXPECT_EQ(S_OK, sp->Deactivate());
        EXPECT_EQ(E_UNEXPECTED, sp->Show(SW_SHOW));
        // Released while active, its refresh timer running: the dialog goes too.
        IUnknown* apSpy[] = {m_spSpy};
        ASSERT_EQ(S_OK, sp->SetObjects(1, apSpy));
        ASSERT_EQ(S_OK, sp->Activate(m_hFrame, &rc, FALSE));
        spMarshal.Release();
        sp.Release();
        EXPECT_EQ(nullptr, GetWindow(m_hFrame, GW_CHILD));
    }
    SIZE size = {};
    EXPECT_EQ(E_UNEXPECTED, GetDialogTemplateSize(GetModuleHandleW(nullptr), 999, &size));
}

TEST_F(PageTest, PageWithoutTheInterfaceIsDisabledAndEmpty)
{
    CComObject<CTestInPlaceFilter>* pFilter = nullptr;
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pFilter));
    CComPtr<IBaseFilter> spOther = static_cast<IBaseFilter*>(pFilter);
    Open<CSpyFilterPP>(spOther);
    for (int nId : {IDC_PP_DYNRECONNECT, IDC_PP_PASSTHRU, IDC_PP_MTENUM, IDC_PP_RATE, IDC_PP_FILE, IDC_PP_START})
        EXPECT_FALSE(IsWindowEnabled(Item(nId))) << nId;
    Refresh();
    EXPECT_EQ(L"", Text(IDC_PP_TOTAL));
    EXPECT_EQ(L"", Text(IDC_PP_FILE));
    EXPECT_EQ(S_OK, m_spPage->Apply());
    Close();
    // Several objects: the page takes none of them.
    IUnknown* apTwo[] = {m_spSpy, m_spSpy};
    ASSERT_EQ(S_OK, CSpyFilterPP::CreateInstance(&m_spPage));
    ASSERT_EQ(S_OK, m_spPage->SetObjects(2, apTwo));
    RECT rc = {0, 0, 400, 400};
    ASSERT_EQ(S_OK, m_spPage->Activate(m_hFrame, &rc, FALSE));
    m_hPage = GetWindow(m_hFrame, GW_CHILD);
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_PP_START)));
    EXPECT_TRUE(CMessageBoxes::Take().empty());
}

TEST_F(PageTest, OptionsRefreshAndRateOnARunningGraph)
{
    BuildGraph();
    m_pSpy->m_bMTEnum = FALSE;
    Open<CSpyFilterPP>(m_spSpy);
    EXPECT_TRUE(Checked(IDC_PP_MTENUM));
    EXPECT_EQ(50, SendMessageW(Item(IDC_PP_RATE), TBM_GETPOS, 0, 0));
    EXPECT_EQ(L"1.000", Text(IDC_PP_RATE_TEXT));

    Click(IDC_PP_DYNRECONNECT);
    Click(IDC_PP_PASSTHRU);
    Click(IDC_PP_CHECKSUM);
    Click(IDC_PP_MTENUM);
    EXPECT_EQ(TRUE, m_pSpy->m_bDyn);
    EXPECT_EQ(TRUE, m_pSpy->m_bForced);
    EXPECT_EQ(TRUE, m_pSpy->m_bCheckSum);
    EXPECT_EQ(TRUE, m_pSpy->m_bMTEnum); // the box is "disable"
    Click(IDC_PP_MTENUM);
    EXPECT_EQ(FALSE, m_pSpy->m_bMTEnum);
    m_pSpy->m_hrForce = VFW_E_WRONG_STATE;
    Click(IDC_PP_PASSTHRU);
    std::vector<CMessageBoxes::Box> boxes = CMessageBoxes::Take();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].sText.find(L"Can't force pass-through allocator\n"));
    EXPECT_NE(std::wstring::npos, boxes[0].sText.find(L"\r\nError 0x80040227")) << boxes[0].sText;
    EXPECT_EQ(L"Spy Filter", boxes[0].sCaption);
    EXPECT_TRUE(boxes[0].bErrorIcon);

    CComPtr<IMediaControl> spControl;
    m_spGraph.QueryInterface(&spControl);
    ASSERT_TRUE(SUCCEEDED(spControl->Run()));
    m_pSpy->m_nTotal = 1999600;
    m_pSpy->m_nMoving = 999;
    m_pSpy->m_dSamples = 25.0;
    Sleep(300);
    Refresh();
    EXPECT_EQ(L" 2.000 Mb/s", Text(IDC_PP_TOTAL));
    EXPECT_EQ(L" 999 b/s", Text(IDC_PP_MOVING));
    EXPECT_EQ(L" 25.000", Text(IDC_PP_SAMPLES));
    EXPECT_EQ(0u, Text(IDC_PP_POSITION).find(L"Position ")) << Text(IDC_PP_POSITION);
    EXPECT_NE(std::wstring::npos, Text(IDC_PP_POSITION).find(L" from 20.000 sec")) << Text(IDC_PP_POSITION);

    // Wine's WAVE parser can assert in its streaming thread when its rate
    // changes while it plays, so the rate is set while the graph is stopped.
    spControl->Stop();
    Slide(75);
    EXPECT_NEAR(3.16228, UpstreamRate(), 1e-4);
    EXPECT_EQ(L"3.162", Text(IDC_PP_RATE_TEXT));
    Click(IDC_PP_BACKWARD);
    boxes = CMessageBoxes::Take();
    if (boxes.empty())
    {
        EXPECT_NEAR(-3.16228, UpstreamRate(), 1e-4);
        EXPECT_EQ(L"-3.162", Text(IDC_PP_RATE_TEXT));
    }
    else // an upstream that plays only forwards: the page shows its rate again
    {
        EXPECT_EQ(0u, boxes[0].sText.find(L"Can't change playback rate"));
        EXPECT_FALSE(Checked(IDC_PP_BACKWARD));
        EXPECT_EQ(L"3.162", Text(IDC_PP_RATE_TEXT));
    }
    spControl->Stop();
}

TEST_F(PageTest, WithoutUpstreamPositionAndRateFail)
{
    BuildGraph(false);
    Open<CSpyFilterPP>(m_spSpy);
    Refresh();
    EXPECT_EQ(L"Position unknown: error 0x80040209", Text(IDC_PP_POSITION));
    Slide(90);
    std::vector<CMessageBoxes::Box> boxes = CMessageBoxes::Take();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].sText.find(L"Can't change playback rate\n")) << boxes[0].sText;
    EXPECT_EQ(50, SendMessageW(Item(IDC_PP_RATE), TBM_GETPOS, 0, 0));
    EXPECT_EQ(L"1.000", Text(IDC_PP_RATE_TEXT));
}

TEST_F(PageTest, CaptureFieldsApplyAndStart)
{
    Open<CSpyFilterPP>(m_spSpy);
    EXPECT_TRUE(Checked(IDC_PP_ONE_PER_FILE)); // no template yet
    Click(IDC_PP_START);
    std::vector<CMessageBoxes::Box> boxes = CMessageBoxes::Take();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].sText.find(L"File not selected\n")) << boxes[0].sText;
    EXPECT_EQ(0, m_pSpy->m_nSetCapture);

    SetEdit(IDC_PP_NSAMPLES, L"x12");
    boxes = CMessageBoxes::Take();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].sText.find(L"Error in number of samples\n")) << boxes[0].sText;
    EXPECT_NE(std::wstring::npos, boxes[0].sText.find(L"Error 0x80070057"));
    SetEdit(IDC_PP_NSAMPLES, L"99999999999"); // beyond 32 bits
    EXPECT_EQ(1u, CMessageBoxes::Take().size());

    // The file dialog's request, answered with a name.
    CSpyFilterPP::s_pfnGetSaveFileName = &ChooseFile;
    Click(IDC_PP_FILE_BUTTON);
    CSpyFilterPP::s_pfnGetSaveFileName = &GetSaveFileNameW;
    EXPECT_STREQ(L"Select file", s_ofn.lpstrTitle);
    EXPECT_STREQ(L"bin", s_ofn.lpstrDefExt);
    EXPECT_EQ(260u, s_ofn.nMaxFile);
    std::vector<std::wstring> filters;
    for (LPCWSTR p = s_ofn.lpstrFilter; *p != 0; p += wcslen(p) + 1)
        filters.push_back(p);
    EXPECT_EQ((std::vector<std::wstring>{L"Binary files (.bin)", L"*.bin", L" Bitmap files (.bmp)", L"*.bmp",
                                         L" VANC files (.vanc, .blk)", L"*.vanc;*.blk", L"All files", L"*.*"}),
              filters);
    EXPECT_EQ(L"C:\\cap\\out.bin", Text(IDC_PP_FILE));
    SetEdit(IDC_PP_NSAMPLES, L"40");
    Click(IDC_PP_ONE_PER_FILE);
    EXPECT_EQ(S_OK, m_spPage->IsPageDirty());
    EXPECT_EQ(S_OK, m_spPage->Apply());
    EXPECT_EQ(S_FALSE, m_spPage->IsPageDirty());
    EXPECT_EQ(1, m_pSpy->m_nSetCapture);
    EXPECT_EQ(L"C:\\cap\\out.bin", m_pSpy->m_sName);
    EXPECT_EQ(40u, m_pSpy->m_nSamples);
    EXPECT_EQ(FALSE, m_pSpy->m_bOne);
    EXPECT_EQ(S_OK, m_spPage->Apply()); // not dirty: nothing sent
    EXPECT_EQ(1, m_pSpy->m_nSetCapture);

    m_pSpy->m_hrStart = E_ACCESSDENIED;
    Click(IDC_PP_START);
    boxes = CMessageBoxes::Take();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].sText.find(L"Can't start capturing\n")) << boxes[0].sText;
    m_pSpy->m_hrStart = S_OK;
    const std::wstring sLong(300, L'a');
    SetEdit(IDC_PP_FILE, sLong.c_str());
    Click(IDC_PP_START);
    EXPECT_EQ(2, m_pSpy->m_nStart);
    EXPECT_EQ(std::wstring(260, L'a'), m_pSpy->m_sName);
    EXPECT_TRUE(CMessageBoxes::Take().empty());
}

TEST_F(PageTest, AboutPageNameVersionAndLinks)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings");
    CUrlWindow::s_pfnShellExecute = &OpenLink;
    Open<CAboutSpyFilter>(nullptr);
    auto* pAbout = static_cast<CAboutSpyFilter*>(m_spPage.p);
    EXPECT_STREQ(L"Spy Filter", pAbout->m_FilterName.GetText());
    EXPECT_EQ(0u, Text(IDC_ABOUT_VERSION_CTL).find(L"0.0.0.0 (")) << Text(IDC_ABOUT_VERSION_CTL);
    EXPECT_NE(L"", Text(IDC_ABOUT_LEGAL_CTL));
    EXPECT_EQ(RGB(0, 0, 255), pAbout->m_Support.GetCurrentColor());
    SetFocus(Item(IDC_ABOUT_SUPPORT_CTL));
    SendMessageW(Item(IDC_ABOUT_SUPPORT_CTL), WM_KEYDOWN, VK_SPACE, 0);
    SendMessageW(Item(IDC_ABOUT_URL_CTL), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    ASSERT_EQ(2u, s_opened.size());
    EXPECT_EQ(L"open mailto:support@velmora.example", s_opened[0]);
    EXPECT_EQ(L"open https://www.velmora.example/", s_opened[1]);
    EXPECT_EQ(RGB(128, 0, 128), pAbout->m_Support.GetCurrentColor());
    UpdateWindow(m_hPage);
    Close();

    // Colours of the browser settings, where they parse.
    HKEY hKey = nullptr;
    RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings", &hKey);
    RegSetValueExW(hKey, L"Anchor Color", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"0,128,64"), 18);
    RegSetValueExW(hKey, L"Anchor Color Visited", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"9,x,1"), 12);
    RegCloseKey(hKey);
    Open<CAboutSpyFilter>(nullptr);
    pAbout = static_cast<CAboutSpyFilter*>(m_spPage.p);
    EXPECT_EQ(RGB(0, 128, 64), pAbout->m_Url.GetLinkColor());
    EXPECT_EQ(RGB(128, 0, 128), pAbout->m_Url.GetVisitedColor());
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings");
    CUrlWindow::s_pfnShellExecute = &ShellExecuteW;
}

