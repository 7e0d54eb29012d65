// The product's pages in the platform's property frame on a spy filter from
// the product DLL, inside a running WAVE graph. The frame is modal: a thread
// timer drives it from inside its own message loop and closes it.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <dshow.h>
#include <olectl.h>

#include <string>
#include <vector>

#include <VelmoraSpy.h>
#include <winapi/ComPtr.h>

#include "support/GraphRun.h"
#include "support/WaveFile.h"

typedef HRESULT(STDAPICALLTYPE* PFN_DLL_GET_CLASS_OBJECT)(REFCLSID, REFIID, void**);

// The DLL loaded from beside the program, its page classes registered for
// this process so that the frame creates them from the DLL.
class CProductDll
{
public:
    CProductDll()
    {
        WCHAR szPath[MAX_PATH];
        GetModuleFileNameW(nullptr, szPath, MAX_PATH);
        *wcsrchr(szPath, L'\\') = 0;
        m_hDll = LoadLibraryW((std::wstring(szPath) + L"\\VelmoraSpy.dll").c_str());
        m_pfnGet = m_hDll != nullptr ? reinterpret_cast<PFN_DLL_GET_CLASS_OBJECT>(
                                           reinterpret_cast<void*>(GetProcAddress(m_hDll, "DllGetClassObject")))
                                     : nullptr;
        for (const CLSID* p : {&CLSID_SpyFilterPP, &CLSID_AboutSpyFilter})
        {
            CComPtr<IUnknown> spFactory;
            DWORD dwCookie = 0;
            if (m_pfnGet != nullptr && SUCCEEDED(m_pfnGet(*p, IID_IUnknown, reinterpret_cast<void**>(&spFactory))) &&
                SUCCEEDED(CoRegisterClassObject(*p, spFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &dwCookie)))
                m_adwCookies.push_back(dwCookie);
        }
    }
    ~CProductDll()
    {
        for (DWORD dw : m_adwCookies)
            CoRevokeClassObject(dw);
    }
    bool IsReady() const { return m_adwCookies.size() == 2; }

    CComPtr<IBaseFilter> CreateSpy()
    {
        CComPtr<IClassFactory> spFactory;
        CComPtr<IBaseFilter> sp;
        if (m_pfnGet != nullptr &&
            SUCCEEDED(m_pfnGet(CLSID_SpyFilter, IID_IClassFactory, reinterpret_cast<void**>(&spFactory))))
            spFactory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&sp));
        return sp;
    }

private:
    HMODULE m_hDll = nullptr;
    PFN_DLL_GET_CLASS_OBJECT m_pfnGet = nullptr;
    std::vector<DWORD> m_adwCookies;
};

// WAVE file -> parser -> spy -> null renderer, running.
class CSpyGraph
{
public:
    explicit CSpyGraph(IBaseFilter* pSpy, DWORD cSeconds = 30) : m_spSpy(pSpy)
    {
        m_sWave = WriteTestWaveFile(44100, 2, 16, 44100 * 4 * cSeconds);
        m_spGraph = CreateGraph();
        CComPtr<IBaseFilter> spSource = AddFileSource(m_spGraph, m_sWave.c_str());
        CComPtr<IBaseFilter> spParser = AddFilterByClsid(m_spGraph, CLSID_WaveParserFilter, L"Parser");
        CComPtr<IBaseFilter> spRenderer = AddFilterByClsid(m_spGraph, CLSID_NullRendererFilter, L"Null");
        m_bConnected = pSpy != nullptr && SUCCEEDED(m_spGraph->AddFilter(pSpy, L"Velmora Spy Filter")) &&
                       ConnectFilters(m_spGraph, spSource, spParser) == S_OK &&
                       ConnectFilters(m_spGraph, spParser, pSpy) == S_OK &&
                       ConnectFilters(m_spGraph, pSpy, spRenderer) == S_OK;
    }
    ~CSpyGraph()
    {
        m_spSpy.Release();
        TearDownGraph(m_spGraph);
        DeleteFileW(m_sWave.c_str());
    }
    bool IsConnected() const { return m_bConnected; }
    HRESULT Run() { return Control(&IMediaControl::Run); }
    HRESULT Stop() { return Control(&IMediaControl::Stop); }

private:
    HRESULT Control(HRESULT (STDMETHODCALLTYPE IMediaControl::*pfnCall)())
    {
        CComPtr<IMediaControl> spControl;
        HRESULT hr = m_spGraph.QueryInterface(&spControl);
        return SUCCEEDED(hr) ? (spControl.p->*pfnCall)() : hr;
    }

    CComPtr<IBaseFilter> m_spSpy;
    CComPtr<IGraphBuilder> m_spGraph;
    std::wstring m_sWave;
    bool m_bConnected = false;
};

// Runs OleCreatePropertyFrame on pObject with the filter's pages. Every
// period pfnStep(hFrame, nStep, pv) runs inside the frame's loop; when it
// returns false the frame is cancelled.
typedef bool (*PFN_FRAME_STEP)(HWND hFrame, int nStep, void* pv);

class CFrameDriver
{
public:
    static HRESULT Run(IUnknown* pObject, PFN_FRAME_STEP pfnStep, void* pv, UINT nPeriodMs = 100)
    {
        CComPtr<ISpecifyPropertyPages> spSpecify;
        HRESULT hr = pObject->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&spSpecify));
        CAUUID pages = {};
        if (SUCCEEDED(hr))
            hr = spSpecify->GetPages(&pages);
        if (FAILED(hr))
            return hr;
        s_pfnStep = pfnStep;
        s_pv = pv;
        s_nStep = 0;
        const UINT_PTR nTimer = SetTimer(nullptr, 0, nPeriodMs, &Tick);
        hr = OleCreatePropertyFrame(nullptr, 0, 0, L"Velmora Spy Filter", 1, &pObject, pages.cElems, pages.pElems,
                                    LOCALE_USER_DEFAULT, 0, nullptr);
        KillTimer(nullptr, nTimer);
        CoTaskMemFree(pages.pElems);
        return hr;
    }

    // The frame's current page dialog: the visible child dialog holding nId.
    static HWND FindPage(HWND hFrame, int nId)
    {
        struct Find
        {
            int nId;
            HWND hPage;
        } find = {nId, nullptr};
        struct Enum
        {
            static BOOL CALLBACK Proc(HWND h, LPARAM l)
            {
                Find* p = reinterpret_cast<Find*>(l);
                if (GetDlgItem(h, p->nId) == nullptr || !IsWindowVisible(h))
                    return TRUE;
                p->hPage = h;
                return FALSE;
            }
        };
        EnumChildWindows(hFrame, &Enum::Proc, reinterpret_cast<LPARAM>(&find));
        return find.hPage;
    }

    // Shows tab nTab of the frame as a click on it would.
    static void SelectTab(HWND hFrame, int nTab)
    {
        HWND hTab = FindWindowExW(hFrame, nullptr, WC_TABCONTROLW, nullptr);
        if (hTab == nullptr)
            return;
        SendMessageW(hTab, TCM_SETCURSEL, nTab, 0);
        NMHDR nm = {hTab, static_cast<UINT_PTR>(GetDlgCtrlID(hTab)), static_cast<UINT>(TCN_SELCHANGE)};
        SendMessageW(hFrame, WM_NOTIFY, nm.idFrom, reinterpret_cast<LPARAM>(&nm));
    }

    // The thread's visible dialog window: the frame.
    static HWND FindFrame()
    {
        struct Enum
        {
            static BOOL CALLBACK Proc(HWND h, LPARAM l)
            {
                WCHAR szClass[16] = L"";
                GetClassNameW(h, szClass, ARRAYSIZE(szClass));
                if (!IsWindowVisible(h) || wcscmp(szClass, L"#32770") != 0)
                    return TRUE;
                *reinterpret_cast<HWND*>(l) = h;
                return FALSE;
            }
        };
        HWND hFrame = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), &Enum::Proc, reinterpret_cast<LPARAM>(&hFrame));
        return hFrame;
    }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
    {
        HWND hFrame = FindFrame();
        if (hFrame == nullptr || s_bBusy)
            return;
        s_bBusy = true;
        if (!s_pfnStep(hFrame, s_nStep++, s_pv))
            PostMessageW(hFrame, WM_COMMAND, IDCANCEL, 0);
        s_bBusy = false;
    }

    static inline PFN_FRAME_STEP s_pfnStep = nullptr;
    static inline void* s_pv = nullptr;
    static inline int s_nStep = 0;
    static inline bool s_bBusy = false;
};

// Saves the window's screen area as a 24-bit bitmap file.
inline bool SaveWindowBitmap(HWND hWnd, LPCWSTR pszPath)
{
    RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT rc;
    GetWindowRect(hWnd, &rc);
    const int cx = rc.right - rc.left, cy = rc.bottom - rc.top;
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, cx, cy);
    HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    BitBlt(hMem, 0, 0, cx, cy, hScreen, rc.left, rc.top, SRCCOPY);
    SelectObject(hMem, hOld);
    BITMAPINFOHEADER bih = {};
    bih.biSize = sizeof(bih);
    bih.biWidth = cx;
    bih.biHeight = cy;
    bih.biPlanes = 1;
    bih.biBitCount = 24;
    const DWORD cbRow = (cx * 3 + 3) & ~3u;
    std::vector<BYTE> bits(cbRow * cy);
    GetDIBits(hMem, hBitmap, 0, cy, bits.data(), reinterpret_cast<BITMAPINFO*>(&bih), DIB_RGB_COLORS);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    BITMAPFILEHEADER bfh = {0x4D42, static_cast<DWORD>(sizeof(bfh) + sizeof(bih) + bits.size()), 0, 0,
                            sizeof(bfh) + sizeof(bih)};
    HANDLE hFile = CreateFileW(pszPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD cb = 0;
    bool bOk = WriteFile(hFile, &bfh, sizeof(bfh), &cb, nullptr) && WriteFile(hFile, &bih, sizeof(bih), &cb, nullptr) &&
               WriteFile(hFile, bits.data(), static_cast<DWORD>(bits.size()), &cb, nullptr);
    CloseHandle(hFile);
    return bOk;
}
