// Shared by the page tests: message boxes observed and dismissed, a stand-in
// for the filter's control interface, and a page activated in a window.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <dshow.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "AboutBrevane.h"
#include "FilterPP.h"
#include "PageFrame.h"
#include "support/GraphRun.h"
#include "support/TestInPlaceFilter.h"
#include "support/WaveFile.h"

namespace pages_test
{

// Watches message boxes of this thread: records text, caption and icon, and
// presses OK.
class CMessageBoxes
{
public:
    struct Box
    {
        std::wstring sText;
        std::wstring sCaption;
        bool bErrorIcon = false;
        bool bWarningIcon = false;
    };

    CMessageBoxes()
    {
        s_boxes.clear();
        m_hHook = SetWindowsHookExW(WH_CALLWNDPROCRET, &Proc, nullptr, GetCurrentThreadId());
    }
    ~CMessageBoxes() { UnhookWindowsHookEx(m_hHook); }
    static std::vector<Box> Take() { return std::move(s_boxes); }

private:
    // Ends the box right after its initialisation, before it is shown.
    static LRESULT CALLBACK Proc(int nCode, WPARAM wParam, LPARAM lParam)
    {
        const CWPRETSTRUCT* p = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        HWND hText = nCode == HC_ACTION && p->message == WM_INITDIALOG ? GetDlgItem(p->hwnd, 0xFFFF) : nullptr;
        if (hText != nullptr)
        {
            WCHAR sz[1024];
            Box box;
            GetWindowTextW(hText, sz, ARRAYSIZE(sz));
            box.sText = sz;
            GetWindowTextW(p->hwnd, sz, ARRAYSIZE(sz));
            box.sCaption = sz;
            const HICON hIcon = reinterpret_cast<HICON>(SendDlgItemMessageW(p->hwnd, 0x440, STM_GETICON, 0, 0));
            box.bErrorIcon = hIcon == LoadIconW(nullptr, MAKEINTRESOURCEW(32513));   // IDI_HAND
            box.bWarningIcon = hIcon == LoadIconW(nullptr, MAKEINTRESOURCEW(32515)); // IDI_EXCLAMATION
            s_boxes.push_back(box);
            EndDialog(p->hwnd, IDOK);
        }
        return CallNextHookEx(nullptr, nCode, wParam, lParam);
    }

    HHOOK m_hHook = nullptr;
    static inline std::vector<Box> s_boxes;
};

// The filter's control interface as the page sees it; answers IBaseFilter
// with the in-place filter of the graph, so that the page reaches the real
// upstream seeking.
class CFakeSpy : public CComObjectRootMT, public IVelmoraSpyFilter
{
public:
    BEGIN_COM_MAP(CFakeSpy)
    COM_INTERFACE_ENTRY(IVelmoraSpyFilter)
    COM_INTERFACE_ENTRY_FUNC(IID_IBaseFilter, QueryFilter)
    END_COM_MAP()

    HRESULT QueryFilter(REFIID riid, void** ppv) { return m_spFilter ? m_spFilter->QueryInterface(riid, ppv) : S_FALSE; }

    STDMETHOD(EnableDynReconnect)(LONG b) override { return m_bDyn = b, S_OK; }
    STDMETHOD(IsDynReconnecEnabled)() override { return m_bDyn ? S_OK : S_FALSE; }
    STDMETHOD(EnableMTEnumRedir)(LONG b) override { return m_bMTEnum = b, S_OK; }
    STDMETHOD(IsMTEnumRedirEnabled)() override { return m_bMTEnum ? S_OK : S_FALSE; }
    STDMETHOD(GetBitrates)(UINT* pnTotal, UINT* pnMoving) override
    {
        *pnTotal = m_nTotal;
        *pnMoving = m_nMoving;
        return S_OK;
    }
    STDMETHOD(GetSamplesPerSec)(double* pd) override { return *pd = m_dSamples, S_OK; }
    STDMETHOD(ForcePassthruAllocator)(LONG b) override
    {
        if (FAILED(m_hrForce))
            return m_hrForce;
        return m_bForced = b, S_OK;
    }
    STDMETHOD(IsPassthruAllocatorForced)(LONG* pb) override { return *pb = m_bForced, S_OK; }
    STDMETHOD(SetCaptureProps)(BSTR bs, LONG bOne, UINT n) override
    {
        ++m_nSetCapture;
        m_sName = bs != nullptr ? bs : L"";
        m_bOne = bOne;
        m_nSamples = n;
        return S_OK;
    }
    STDMETHOD(GetCaptureProps)(BSTR* pbs, LONG* pbOne, UINT* pn) override
    {
        if (m_sName.empty())
            return S_FALSE;
        *pbs = SysAllocString(m_sName.c_str());
        *pbOne = m_bOne;
        *pn = m_nSamples;
        return S_OK;
    }
    STDMETHOD(StartCapture)() override { return ++m_nStart, m_hrStart; }
    STDMETHOD(SetCheckSum)(LONG b) override { return m_bCheckSum = b, S_OK; }
    STDMETHOD(GetCheckSum)(LONG* pb) override { return *pb = m_bCheckSum, S_OK; }

    CComPtr<IBaseFilter> m_spFilter;
    LONG m_bDyn = FALSE, m_bMTEnum = TRUE, m_bForced = FALSE, m_bCheckSum = FALSE, m_bOne = FALSE;
    UINT m_nTotal = 0, m_nMoving = 0, m_nSamples = 0;
    double m_dSamples = 0;
    std::wstring m_sName;
    int m_nSetCapture = 0, m_nStart = 0;
    HRESULT m_hrForce = S_OK, m_hrStart = S_OK;
};

// A page activated in a top-level window standing in for the frame.
class PageTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // Each test ends COM; the graph's threads may still be leaving
        // the platform's filter library then, so it stays loaded.
        static const HMODULE s_hQuartz = LoadLibraryW(L"quartz.dll");
        (void)s_hQuartz;
        OleInitialize(nullptr);
        m_hFrame = CreateWindowExW(0, L"STATIC", L"Frame", WS_OVERLAPPEDWINDOW, 0, 0, 640, 520, nullptr,
                                   nullptr, nullptr, nullptr);
        ASSERT_EQ(S_OK, CComObject<CFakeSpy>::CreateInstance(&m_pSpy));
        m_spSpy = static_cast<IVelmoraSpyFilter*>(m_pSpy);
    }
    void TearDown() override
    {
        Close();
        m_spSpy.Release();
        m_spUpstream.Release();
        TearDownGraph(m_spGraph);
        if (!m_sWave.empty())
            DeleteFileW(m_sWave.c_str());
        DestroyWindow(m_hFrame);
        OleUninitialize();
    }

    // Parser -> in-place filter (-> null renderer), the parser playing a
    // 20-second file; without bUpstream the filter stays unconnected.
    void BuildGraph(bool bUpstream = true)
    {
        m_spGraph = CreateGraph();
        CComObject<CTestInPlaceFilter>* pFilter = nullptr;
        ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pFilter));
        m_pSpy->m_spFilter = static_cast<IBaseFilter*>(pFilter);
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_pSpy->m_spFilter, L"Spy"));
        if (!bUpstream)
            return;
        m_sWave = WriteTestWaveFile(8000, 1, 8, 8000 * 20);
        CComPtr<IBaseFilter> spSource = AddFileSource(m_spGraph, m_sWave.c_str());
        CComPtr<IBaseFilter> spParser = AddFilterByClsid(m_spGraph, CLSID_WaveParserFilter, L"Parser");
        CComPtr<IBaseFilter> spRenderer = AddFilterByClsid(m_spGraph, CLSID_NullRendererFilter, L"Null");
        ASSERT_EQ(S_OK, ConnectFilters(m_spGraph, spSource, spParser));
        ASSERT_EQ(S_OK, ConnectFilters(m_spGraph, spParser, m_pSpy->m_spFilter));
        ASSERT_EQ(S_OK, ConnectFilters(m_spGraph, m_pSpy->m_spFilter, spRenderer));
        FindPin(spParser, PINDIR_OUTPUT).QueryInterface(&m_spUpstream);
    }

    template <class TPage>
    void Open(IUnknown* pObject)
    {
        ASSERT_EQ(S_OK, TPage::CreateInstance(&m_spPage));
        IUnknown* apUnk[] = {pObject};
        ASSERT_EQ(S_OK, m_spPage->SetObjects(pObject != nullptr ? 1 : 0, apUnk));
        RECT rc = {10, 10, 600, 480};
        ASSERT_EQ(S_OK, m_spPage->Activate(m_hFrame, &rc, FALSE));
        ASSERT_EQ(S_OK, m_spPage->Show(SW_SHOW));
        m_hPage = GetWindow(m_hFrame, GW_CHILD);
        ASSERT_NE(nullptr, m_hPage);
    }
    void Close()
    {
        if (m_spPage == nullptr)
            return;
        m_spPage->Deactivate();
        m_spPage->SetObjects(0, nullptr);
        m_spPage.Release();
    }

    HWND Item(int nId) { return GetDlgItem(m_hPage, nId); }
    std::wstring Text(int nId)
    {
        WCHAR sz[300] = L"";
        GetDlgItemTextW(m_hPage, nId, sz, ARRAYSIZE(sz));
        return sz;
    }
    bool Checked(int nId) { return IsDlgButtonChecked(m_hPage, nId) == BST_CHECKED; }
    void Click(int nId) { SendMessageW(Item(nId), BM_CLICK, 0, 0); }
    // The edit control notifies EN_CHANGE itself.
    void SetEdit(int nId, LPCWSTR psz) { SetDlgItemTextW(m_hPage, nId, psz); }
    void Slide(int nPos)
    {
        SendMessageW(Item(IDC_PP_RATE), TBM_SETPOS, TRUE, nPos);
        SendMessageW(m_hPage, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, nPos), reinterpret_cast<LPARAM>(Item(IDC_PP_RATE)));
    }
    void Refresh() { SendMessageW(m_hPage, WM_TIMER, CSpyFilterPP::TIMER_REFRESH, 0); }
    double UpstreamRate()
    {
        double d = 0;
        m_spUpstream->GetRate(&d);
        return d;
    }

    HWND m_hFrame = nullptr;
    HWND m_hPage = nullptr;
    CComObject<CFakeSpy>* m_pSpy = nullptr;
    CComPtr<IVelmoraSpyFilter> m_spSpy;
    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<IMediaSeeking> m_spUpstream;
    CComPtr<IPropertyPage> m_spPage;
    std::wstring m_sWave;
    CMessageBoxes m_boxes;
};

} // namespace pages_test
