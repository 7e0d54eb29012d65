#include <winapi_i/AboutPropertyPage.h>

#include <wctype.h>

void CFilterName::MakeText(LPCWSTR pszFilterName, LPWSTR pszText, size_t cchText)
{
    if (cchText == 0)
        return;
    lstrcpynW(pszText, pszFilterName != nullptr ? pszFilterName : L"", static_cast<int>(cchText));
    const size_t cchMaker = wcslen(ABOUT_MAKER_NAME);
    if (_wcsnicmp(pszText, ABOUT_MAKER_NAME, cchMaker) != 0)
        return;
    LPCWSTR pszRest = pszText + cchMaker;
    // Only a whole first word: "Velmoraxyz" is somebody else's name.
    if (*pszRest != 0 && !iswspace(*pszRest))
        return;
    while (iswspace(*pszRest))
        ++pszRest;
    if (*pszRest == 0)
        return;
    memmove(pszText, pszRest, (wcslen(pszRest) + 1) * sizeof(WCHAR));
}

BOOL CFilterName::Create(HWND hWndDialog, int nId, LPCWSTR pszFilterName, HFONT hFont)
{
    if (!TRACE_ASSERT(::IsWindow(hWndDialog)))
        return FALSE;
    if (!TRACE_ASSERT(pszFilterName != NULL && *pszFilterName != 0))
        return FALSE;
    if (!TRACE_ASSERT(!IsWindow()))
        return FALSE;
    HWND hWndBackgroundControl = ::GetDlgItem(hWndDialog, nId);
    if (!TRACE_ASSERT(::IsWindow(hWndBackgroundControl)))
        return FALSE;
    const BOOL bRet = SubclassWindow(hWndBackgroundControl);
    TRACE_ASSERT(bRet != FALSE);
    MakeText(pszFilterName, m_szText, ARRAYSIZE(m_szText));
    m_hFont = hFont;
    return bRet;
}

LRESULT CFilterName::OnPaint(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
{
    // The control paints its bitmap, then the name goes over it.
    DefWindowProc(uMsg, wParam, lParam);
    RECT rcTemplate;
    ::GetClientRect(m_hWnd, &rcTemplate);
    const int nWidth = NAME_COLUMN_WIDTH;
    if (!TRACE_ASSERT(nWidth < (5 * rcTemplate.right)/8))
        return 0;
    HDC hdc = ::GetDC(m_hWnd);
    if (hdc == nullptr)
        return 0;
    HGDIOBJ hOld = ::SelectObject(hdc, m_hFont != nullptr ? m_hFont : ::GetStockObject(DEFAULT_GUI_FONT));
    ::SetTextColor(hdc, RGB(0, 0, 0));
    ::SetBkMode(hdc, TRANSPARENT);
    RECT rcText = {0, 0, nWidth, rcTemplate.bottom};
    int n = ::DrawTextW(hdc, m_szText, -1, &rcText, DT_WORDBREAK | DT_CENTER | DT_NOPREFIX | DT_CALCRECT);
    TRACE_ASSERT(n > 0);
    const int cx = rcText.right - rcText.left;
    const int cy = rcText.bottom - rcText.top;
    rcText.left = NAME_COLUMN_LEFT + (nWidth - cx) / 2;
    rcText.right = rcText.left + cx;
    rcText.top = (rcTemplate.bottom - cy) / 2;
    rcText.bottom = rcText.top + cy;
    n = ::DrawTextW(hdc, m_szText, -1, &rcText, DT_WORDBREAK | DT_CENTER | DT_NOPREFIX);
    TRACE_ASSERT(n > 0);
    ::SelectObject(hdc, hOld);
    ::ReleaseDC(m_hWnd, hdc);
    return 0;
}
