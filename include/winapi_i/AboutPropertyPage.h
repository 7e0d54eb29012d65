// The About page template: a property page over a dialog with the product
// name painted over a banner bitmap (control 301), the version text (302),
// two links (303, 304) and a legal notice (305). The page is never dirty.
//
// T gives IDD, IDS_TITLE and these statics:
//   LPCWSTR GetFilterName();                 product name, painted over the banner
//   LPCSTR GetBuildDate(), GetBuildTime();   the page module's __DATE__, __TIME__
//   LPCWSTR GetLegalNotice();
//   void FormatVersion(LPCSTR pszDate, LPCSTR pszTime, LPWSTR psz, size_t cch);
#pragma once

#include <winapi_i/PropertyPage.h>
#include <winapi_i/UrlWin.h>

// The maker's word that the banner leaves out of the product name.
#define ABOUT_MAKER_NAME L"Velmora"

enum
{
    IDC_ABOUT_BANNER = 301,
    IDC_ABOUT_VERSION = 302,
    IDC_ABOUT_URL = 303,
    IDC_ABOUT_SUPPORT = 304,
    IDC_ABOUT_LEGAL = 305,
};

// Paints the product name over the banner bitmap of a subclassed static.
class CFilterName : public CWindowImpl<CFilterName>
{
public:
    // Width of the column the name is centred in, and its left edge.
    enum
    {
        NAME_COLUMN_WIDTH = 234,
        NAME_COLUMN_LEFT = 150,
    };

    // Takes over control nId of hWndDialog; FALSE when anything is missing.
    BOOL Create(HWND hWndDialog, int nId, LPCWSTR pszFilterName, HFONT hFont);
    LPCWSTR GetText() const { return m_szText; }

    // The name as painted: without a leading maker's word and the blanks
    // after it, unless nothing would remain.
    static void MakeText(LPCWSTR pszFilterName, LPWSTR pszText, size_t cchText);

    BEGIN_MSG_MAP(CFilterName)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    END_MSG_MAP()

private:
    LRESULT OnPaint(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

    WCHAR m_szText[MAX_PATH] = L"";
    HFONT m_hFont = nullptr;
};

template <class T>
class CAboutPropertyPage : public CPropertyPageImpl<T>
{
public:
    CAboutPropertyPage()
    {
        m_hNameFont = ::CreateFontW(-17, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_DONTCARE, L"Tahoma");
        TRACE_ASSERT(m_hNameFont != NULL);
    }
    ~CAboutPropertyPage()
    {
        if (m_hNameFont != nullptr)
            ::DeleteObject(m_hNameFont);
    }

    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) override
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"CAboutPropertyPage::GetPageInfo()\n");
        if (pPageInfo == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### CAboutPropertyPage::GetPageInfo(): PROPPAGEINFO passed == NULL\n");
            return E_POINTER;
        }
        HRSRC hRes = ::FindResourceW(GetCodeModule(), MAKEINTRESOURCEW(T::IDD), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
        if (hRes == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### CAboutPropertyPage::GetPageInfo(): Could not find resource template\n");
            return E_UNEXPECTED;
        }
        if (::LoadResource(GetCodeModule(), hRes) == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### CAboutPropertyPage::GetPageInfo(): Could not load resource template\n");
            return E_UNEXPECTED;
        }
        return this->FillPageInfo(pPageInfo);
    }

    // Nothing to commit: the page shows only.
    STDMETHOD(Apply)() override { return S_OK; }
    STDMETHOD(IsPageDirty)() override { return S_FALSE; }

    BEGIN_MSG_MAP(CAboutPropertyPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    END_MSG_MAP()

    CUrlWindow m_Url;
    CUrlWindow m_Support;
    CFilterName m_FilterName;

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
    {
        InitAbout(T::GetFilterName(), T::GetBuildDate(), T::GetBuildTime());
        return TRUE;
    }

    void InitAbout(LPCWSTR pszFilterName, LPCSTR pszDate, LPCSTR pszTime)
    {
        if (!TRACE_ASSERT(pszFilterName != NULL) || !TRACE_ASSERT(pszDate != NULL) || !TRACE_ASSERT(pszTime != NULL))
            return;
        m_FilterName.Create(this->m_hWnd, IDC_ABOUT_BANNER, pszFilterName, m_hNameFont);
        this->SetDlgItemText(IDC_ABOUT_LEGAL, T::GetLegalNotice());
        WCHAR szVersion[128] = L"";
        T::FormatVersion(pszDate, pszTime, szVersion, ARRAYSIZE(szVersion));
        this->SetDlgItemText(IDC_ABOUT_VERSION, szVersion);
        m_Url.SubclassWindow(this->GetDlgItem(IDC_ABOUT_URL));
        m_Support.SubclassWindow(this->GetDlgItem(IDC_ABOUT_SUPPORT));
    }

    HFONT m_hNameFont = nullptr;
};
