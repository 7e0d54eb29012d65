// Window plumbing of our own: an HWND wrapper, message maps with handlers as
// members, windows that subclass an existing control or create their own,
// and modeless dialogs made from a resource template.
#pragma once

#include <windows.h>
#include <windowsx.h>

// windowsx.h names a macro after the member below.
#undef SubclassWindow

// Thin HWND wrapper; owns nothing.
class CWindow
{
public:
    HWND m_hWnd = nullptr;

    BOOL IsWindow() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd); }
    HWND GetDlgItem(int nId) const { return ::GetDlgItem(m_hWnd, nId); }
    LRESULT SendDlgItemMessage(int nId, UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendDlgItemMessageW(m_hWnd, nId, uMsg, wParam, lParam);
    }
    BOOL SetDlgItemText(int nId, LPCWSTR psz) const { return ::SetDlgItemTextW(m_hWnd, nId, psz); }
    UINT GetDlgItemText(int nId, LPWSTR psz, int cch) const { return ::GetDlgItemTextW(m_hWnd, nId, psz, cch); }
    bool IsChecked(int nId) const { return ::IsDlgButtonChecked(m_hWnd, nId) == BST_CHECKED; }
    void Check(int nId, bool b) const { ::CheckDlgButton(m_hWnd, nId, b ? BST_CHECKED : BST_UNCHECKED); }
    void EnableItem(int nId, bool b) const { ::EnableWindow(GetDlgItem(nId), b ? TRUE : FALSE); }
    BOOL Invalidate(BOOL bErase = TRUE) const { return ::InvalidateRect(m_hWnd, nullptr, bErase); }
};

// The module that holds this code, and with it the resources linked beside it.
inline HINSTANCE GetCodeModule()
{
    HMODULE hModule = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&GetCodeModule), &hModule);
    return hModule;
}

// Message map. Handlers are members:
//   LRESULT OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
//   LRESULT OnCommand(WORD wNotifyCode, WORD wId, HWND hWndCtl, BOOL& bHandled)
//   LRESULT OnNotify(int idCtrl, NMHDR* pnmh, BOOL& bHandled)
// A handler that clears bHandled lets the message go on to later entries and
// finally to the default processing.
#define BEGIN_MSG_MAP(x)                                                                         \
public:                                                                                          \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) \
    {                                                                                            \
        BOOL bHandled = TRUE;                                                                    \
        (void)hWnd;                                                                              \
        (void)bHandled;

#define MSG_MAP_CALL(expr)                                                                       \
    {                                                                                            \
        bHandled = TRUE;                                                                         \
        lResult = (expr);                                                                        \
        if (bHandled)                                                                            \
            return TRUE;                                                                         \
    }

#define MESSAGE_HANDLER(msg, func)                                                               \
    if (uMsg == (msg))                                                                           \
        MSG_MAP_CALL(func(uMsg, wParam, lParam, bHandled))

#define COMMAND_HANDLER(id, code, func)                                                          \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == (code))                \
        MSG_MAP_CALL(func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled))

// Any notification code of control id.
#define COMMAND_ID_HANDLER(id, func)                                                             \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id))                                            \
        MSG_MAP_CALL(func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled))

#define COMMAND_RANGE_HANDLER(idFirst, idLast, func)                                             \
    if (uMsg == WM_COMMAND && LOWORD(wParam) >= (idFirst) && LOWORD(wParam) <= (idLast))         \
        MSG_MAP_CALL(func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled))

#define NOTIFY_HANDLER(id, code, func)                                                           \
    if (uMsg == WM_NOTIFY && reinterpret_cast<NMHDR*>(lParam)->idFrom == static_cast<UINT_PTR>(id) && \
        reinterpret_cast<NMHDR*>(lParam)->code == static_cast<UINT>(code))                       \
        MSG_MAP_CALL(func(static_cast<int>(wParam), reinterpret_cast<NMHDR*>(lParam), bHandled))

#define END_MSG_MAP()                                                                            \
    return FALSE;                                                                                \
    }

// A window whose messages reach T's map: either an existing control taken
// over with SubclassWindow, or a window of T's own class made with Create.
// Messages the map leaves go to the previous window procedure. The object
// lets go of the window on WM_NCDESTROY.
template <class T>
class CWindowImpl : public CWindow
{
public:
    CWindowImpl() = default;
    CWindowImpl(const CWindowImpl&) = delete;
    CWindowImpl& operator=(const CWindowImpl&) = delete;
    ~CWindowImpl()
    {
        if (m_pfnSuper != nullptr && IsWindow())
            UnsubclassWindow();
    }

    BOOL SubclassWindow(HWND hWnd)
    {
        if (m_hWnd != nullptr || !::IsWindow(hWnd) || ::GetPropW(hWnd, PropName()) != nullptr)
            return FALSE;
        ::SetPropW(hWnd, PropName(), this);
        m_hWnd = hWnd;
        m_pfnSuper = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWindowImpl::WindowProc)));
        static_cast<T*>(this)->OnAttach();
        return TRUE;
    }

    HWND UnsubclassWindow()
    {
        HWND hWnd = m_hWnd;
        if (hWnd == nullptr)
            return nullptr;
        if (m_pfnSuper != nullptr)
            ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
        ::RemovePropW(hWnd, PropName());
        m_pfnSuper = nullptr;
        m_hWnd = nullptr;
        return hWnd;
    }

    // A window of the class T::GetWndClassName(), registered on first use.
    HWND Create(HWND hWndParent, const RECT& rc, LPCWSTR pszText, DWORD dwStyle, DWORD dwExStyle = 0, UINT nId = 0)
    {
        if (m_hWnd != nullptr || !RegisterOnce())
            return nullptr;
        return ::CreateWindowExW(dwExStyle, T::GetWndClassName(), pszText, dwStyle, rc.left, rc.top,
                                 rc.right - rc.left, rc.bottom - rc.top, hWndParent,
                                 reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nId)), GetCodeModule(), this);
    }

    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        return m_pfnSuper != nullptr ? ::CallWindowProcW(m_pfnSuper, m_hWnd, uMsg, wParam, lParam)
                                     : ::DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
    }

    // Hooks: OnAttach runs once an existing window is subclassed (a window
    // of T's own class has WM_CREATE for that); OnFinalMessage after
    // WM_NCDESTROY, when the window is gone.
    void OnAttach() {}
    void OnFinalMessage(HWND) {}

private:
    static LPCWSTR PropName() { return L"VelmoraWindowImpl"; }

    static bool RegisterOnce()
    {
        WNDCLASSEXW wc = {};
        if (::GetClassInfoExW(GetCodeModule(), T::GetWndClassName(), &wc))
            return true;
        wc.cbSize = sizeof(wc);
        wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
        wc.lpfnWndProc = &CWindowImpl::WindowProc;
        wc.hInstance = GetCodeModule();
        wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
        wc.lpszClassName = T::GetWndClassName();
        return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        auto* pThis = static_cast<CWindowImpl*>(::GetPropW(hWnd, PropName()));
        if (pThis == nullptr && uMsg == WM_NCCREATE)
        {
            pThis = static_cast<CWindowImpl*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            if (pThis != nullptr)
            {
                ::SetPropW(hWnd, PropName(), pThis);
                pThis->m_hWnd = hWnd;
            }
        }
        if (pThis == nullptr)
            return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
        LRESULT lResult = 0;
        if (uMsg != WM_NCDESTROY &&
            static_cast<T*>(pThis)->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult))
            return lResult;
        lResult = pThis->DefWindowProc(uMsg, wParam, lParam);
        if (uMsg == WM_NCDESTROY)
        {
            pThis->UnsubclassWindow();
            static_cast<T*>(pThis)->OnFinalMessage(hWnd);
        }
        return lResult;
    }

    WNDPROC m_pfnSuper = nullptr;
};

// Messages whose result a dialog procedure returns itself instead of
// through DWLP_MSGRESULT.
inline bool IsDialogResultMessage(UINT uMsg)
{
    switch (uMsg)
    {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    default:
        return false;
    }
}

// Modeless dialog T::IDD from the resources beside this code, its messages
// going to T's map. The object knows the window from WM_INITDIALOG until
// WM_NCDESTROY.
template <class T>
class CDialogImpl : public CWindow
{
public:
    CDialogImpl() = default;
    CDialogImpl(const CDialogImpl&) = delete;
    CDialogImpl& operator=(const CDialogImpl&) = delete;
    // A dialog still open when its object goes would send its next message
    // (a timer's, say) to freed memory: it is cut loose and destroyed. From
    // another thread DestroyWindow fails, so the window is asked to close.
    ~CDialogImpl()
    {
        HWND hWnd = m_hWnd;
        m_hWnd = nullptr;
        if (hWnd == nullptr || !::IsWindow(hWnd))
            return;
        ::SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        if (!::DestroyWindow(hWnd))
            ::PostMessageW(hWnd, WM_CLOSE, 0, 0);
    }

    HWND Create(HWND hWndParent)
    {
        if (m_hWnd != nullptr)
            return nullptr;
        return ::CreateDialogParamW(GetCodeModule(), MAKEINTRESOURCEW(T::IDD), hWndParent, &CDialogImpl::DialogProc,
                                    reinterpret_cast<LPARAM>(this));
    }

    BOOL DestroyWindow()
    {
        if (m_hWnd == nullptr)
            return FALSE;
        return ::DestroyWindow(m_hWnd);
    }

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        if (uMsg == WM_INITDIALOG)
        {
            ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
            reinterpret_cast<CDialogImpl*>(lParam)->m_hWnd = hWnd;
        }
        auto* pThis = reinterpret_cast<CDialogImpl*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
        if (pThis == nullptr)
        {
            // Only a dialog whose object is gone is closed without one.
            if (uMsg == WM_CLOSE)
                ::DestroyWindow(hWnd);
            return FALSE;
        }
        LRESULT lResult = 0;
        const BOOL bHandled = static_cast<T*>(pThis)->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
        if (uMsg == WM_NCDESTROY)
        {
            ::SetWindowLongPtrW(hWnd, DWLP_USER, 0);
            pThis->m_hWnd = nullptr;
        }
        if (!bHandled)
            return FALSE;
        if (IsDialogResultMessage(uMsg))
            return static_cast<INT_PTR>(lResult);
        ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, lResult);
        return TRUE;
    }
};
