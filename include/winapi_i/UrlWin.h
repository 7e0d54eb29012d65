// A static text turned into a hyperlink: painted underlined in the browser's
// link colours, a hand cursor over it, and opened through the shell on a
// click or on Enter or Space while it has the focus.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <winapi_i/Window.h>

class CUrlWindow : public CWindowImpl<CUrlWindow>
{
public:
    typedef HINSTANCE(WINAPI* PFN_SHELL_EXECUTE)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
    // How a link is opened: the shell, or what a test puts in its place to
    // see the call without starting a browser.
    static inline PFN_SHELL_EXECUTE s_pfnShellExecute = &::ShellExecuteW;

    CUrlWindow() = default;
    ~CUrlWindow() { FreeFont(); }

    static LPCWSTR GetWndClassName() { return L"VelmoraUrlWindow"; }

    // Target opened by the link; without one the window's text is used.
    void SetTarget(LPCWSTR pszTarget);
    LPCWSTR GetTarget() const { return m_szTarget; }
    bool IsVisited() const { return m_bVisited; }
    bool IsTextLink() const { return m_bTextLink; }
    COLORREF GetLinkColor() const { return m_clrLink; }
    COLORREF GetVisitedColor() const { return m_clrVisited; }
    COLORREF GetCurrentColor() const { return m_bVisited ? m_clrVisited : m_clrLink; }
    // Opens the target with the shell's "open" verb; true when the shell
    // took it, and the link is then shown as visited.
    bool Navigate();

    // Parses "r,g,b" (decimal components 0 to 255); CLR_INVALID otherwise.
    static COLORREF ParseColor(LPCWSTR pszColor);

    BEGIN_MSG_MAP(CUrlWindow)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_SETCURSOR, OnSetCursor)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
    MESSAGE_HANDLER(WM_KEYDOWN, OnKeyDown)
    MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    MESSAGE_HANDLER(WM_SETFOCUS, OnFocus)
    MESSAGE_HANDLER(WM_KILLFOCUS, OnFocus)
    END_MSG_MAP()

    void OnAttach();
    void OnFinalMessage(HWND) { FreeFont(); }

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL& bHandled);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL& bHandled);
    LRESULT OnSetCursor(UINT, WPARAM, LPARAM, BOOL& bHandled);
    LRESULT OnLButtonUp(UINT, WPARAM, LPARAM, BOOL& bHandled);
    LRESULT OnKeyDown(UINT, WPARAM wParam, LPARAM, BOOL& bHandled);
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM lParam, BOOL& bHandled);
    LRESULT OnFocus(UINT, WPARAM, LPARAM, BOOL& bHandled);

    void ReadBrowserColors();
    void FreeFont();

    WCHAR m_szTarget[MAX_PATH] = L"";
    HCURSOR m_hCursor = nullptr;
    HFONT m_hFont = nullptr;
    bool m_bTextLink = true;
    bool m_bVisited = false;
    COLORREF m_clrLink = RGB(0, 0, 255);
    COLORREF m_clrVisited = RGB(128, 0, 128);
    RECT m_rcLink = {};
};
