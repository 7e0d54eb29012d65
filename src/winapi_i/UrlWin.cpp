#include <winapi_i/UrlWin.h>

#include <dshowx/DSTrace.h>

#include <wchar.h>

void CUrlWindow::SetTarget(LPCWSTR pszTarget)
{
    if (pszTarget == nullptr)
        pszTarget = L"";
    lstrcpynW(m_szTarget, pszTarget, ARRAYSIZE(m_szTarget));
}

COLORREF CUrlWindow::ParseColor(LPCWSTR pszColor)
{
    int an[3] = {};
    int nIndex = 0;
    bool bDigit = false;
    for (LPCWSTR p = pszColor; p != nullptr && nIndex < 3; ++p)
    {
        if (*p >= L'0' && *p <= L'9')
        {
            an[nIndex] = an[nIndex] * 10 + (*p - L'0');
            if (an[nIndex] > 255)
                return CLR_INVALID;
            bDigit = true;
        }
        else if ((*p == L',' || *p == 0) && bDigit)
        {
            ++nIndex;
            bDigit = false;
            if (*p == 0)
                break;
        }
        else if (*p != L' ')
            return CLR_INVALID;
    }
    return nIndex == 3 ? RGB(an[0], an[1], an[2]) : CLR_INVALID;
}

void CUrlWindow::OnAttach()
{
    if (!TRACE_ASSERT(::IsWindow(m_hWnd)))
        return;
    WCHAR szClass[16] = L"";
    ::GetClassNameW(m_hWnd, szClass, ARRAYSIZE(szClass));
    if (lstrcmpiW(szClass, L"static") == 0)
    {
        // A static sends no clicks without the notify style.
        const LONG_PTR dwStyle = ::GetWindowLongPtrW(m_hWnd, GWL_STYLE);
        ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, dwStyle | SS_NOTIFY);
        switch (dwStyle & SS_TYPEMASK)
        {
        case SS_ICON:
        case SS_BLACKRECT:
        case SS_GRAYRECT:
        case SS_WHITERECT:
        case SS_BLACKFRAME:
        case SS_GRAYFRAME:
        case SS_WHITEFRAME:
        case SS_OWNERDRAW:
        case SS_BITMAP:
        case SS_ENHMETAFILE:
            m_bTextLink = false;
            break;
        default:
            break;
        }
    }
    m_hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)); // IDC_HAND
    TRACE_ASSERT(m_hCursor != NULL);
    if (m_bTextLink)
    {
        LOGFONTW lf = {};
        HFONT hFont = reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
        if (hFont == nullptr)
            hFont = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
        if (::GetObjectW(hFont, sizeof(lf), &lf) != 0)
        {
            lf.lfUnderline = TRUE;
            FreeFont();
            m_hFont = ::CreateFontIndirectW(&lf);
        }
    }
    if (m_szTarget[0] == 0)
        ::GetWindowTextW(m_hWnd, m_szTarget, ARRAYSIZE(m_szTarget));
    if (m_bTextLink)
        ReadBrowserColors();
}

void CUrlWindow::ReadBrowserColors()
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings", 0, KEY_READ, &hKey) !=
        ERROR_SUCCESS)
        return;
    struct
    {
        LPCWSTR pszValue;
        COLORREF* pclr;
    } const aColors[] = {{L"Anchor Color", &m_clrLink}, {L"Anchor Color Visited", &m_clrVisited}};
    for (const auto& c : aColors)
    {
        WCHAR sz[13] = L"";
        DWORD cb = sizeof(sz) - sizeof(WCHAR);
        DWORD dwType = 0;
        if (::RegQueryValueExW(hKey, c.pszValue, nullptr, &dwType, reinterpret_cast<BYTE*>(sz), &cb) != ERROR_SUCCESS ||
            dwType != REG_SZ)
            continue;
        const COLORREF clr = ParseColor(sz);
        if (TRACE_ASSERT(clr != CLR_INVALID))
            *c.pclr = clr;
    }
    ::RegCloseKey(hKey);
}

void CUrlWindow::FreeFont()
{
    if (m_hFont != nullptr)
        ::DeleteObject(m_hFont);
    m_hFont = nullptr;
}

bool CUrlWindow::Navigate()
{
    if (m_szTarget[0] == 0)
        return false;
    const DWORD_PTR dwRet = reinterpret_cast<DWORD_PTR>(
        s_pfnShellExecute(m_hWnd, L"open", m_szTarget, nullptr, nullptr, SW_SHOWNORMAL));
    if (!TRACE_ASSERT(dwRet > 32))
        return false;
    m_bVisited = true;
    Invalidate();
    return true;
}

LRESULT CUrlWindow::OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const LRESULT lResult = DefWindowProc(uMsg, wParam, lParam);
    OnAttach();
    return lResult;
}

LRESULT CUrlWindow::OnPaint(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    if (!m_bTextLink)
    {
        bHandled = FALSE;
        return 0;
    }
    PAINTSTRUCT ps;
    HDC hdc = ::BeginPaint(m_hWnd, &ps);
    RECT rc;
    ::GetClientRect(m_hWnd, &rc);
    // The parent's background for statics, as a plain static gets it.
    HBRUSH hBrush = reinterpret_cast<HBRUSH>(
        ::SendMessageW(::GetParent(m_hWnd), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(hdc),
                       reinterpret_cast<LPARAM>(m_hWnd)));
    ::FillRect(hdc, &rc, hBrush != nullptr ? hBrush : ::GetSysColorBrush(COLOR_BTNFACE));
    WCHAR szText[MAX_PATH] = L"";
    const int cch = ::GetWindowTextW(m_hWnd, szText, ARRAYSIZE(szText));
    HGDIOBJ hOld = ::SelectObject(hdc, m_hFont != nullptr ? m_hFont : ::GetStockObject(DEFAULT_GUI_FONT));
    ::SetBkMode(hdc, TRANSPARENT);
    ::SetTextColor(hdc, GetCurrentColor());
    m_rcLink = rc;
    ::DrawTextW(hdc, szText, cch, &m_rcLink, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
    ::DrawTextW(hdc, szText, cch, &m_rcLink, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
    if (::GetFocus() == m_hWnd)
        ::DrawFocusRect(hdc, &m_rcLink);
    ::SelectObject(hdc, hOld);
    ::EndPaint(m_hWnd, &ps);
    return 0;
}

LRESULT CUrlWindow::OnSetCursor(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    if (m_hCursor == nullptr)
    {
        bHandled = FALSE;
        return 0;
    }
    ::SetCursor(m_hCursor);
    return TRUE;
}

LRESULT CUrlWindow::OnLButtonUp(UINT, WPARAM, LPARAM, BOOL&)
{
    Navigate();
    return 0;
}

LRESULT CUrlWindow::OnKeyDown(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    if (wParam != VK_RETURN && wParam != VK_SPACE)
    {
        bHandled = FALSE;
        return 0;
    }
    Navigate();
    return 0;
}

// Enter and Space reach the link instead of the dialog's default button.
LRESULT CUrlWindow::OnGetDlgCode(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    const MSG* pMsg = reinterpret_cast<const MSG*>(lParam);
    if (pMsg != nullptr && pMsg->message == WM_KEYDOWN && (pMsg->wParam == VK_RETURN || pMsg->wParam == VK_SPACE))
        return DLGC_WANTMESSAGE;
    return DLGC_WANTCHARS;
}

LRESULT CUrlWindow::OnFocus(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    Invalidate();
    bHandled = FALSE;
    return 0;
}
