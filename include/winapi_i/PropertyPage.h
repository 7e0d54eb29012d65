// Dialog-based property page: IPropertyPage over a modeless child dialog made
// from resource T::IDD, with the page title from string T::IDS_TITLE.
//
// T derives from CComObjectRootMT, CComCoClass<T, ...> and
// CPropertyPageImpl<T>, lists IPropertyPage in its COM map and gives the
// dialog's message map. The free-threaded marshaler is aggregated through
// CreateFreeThreadedMarshaler (call it from FinalConstruct) and an
// COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_spFTM) entry.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <new>
#include <olectl.h>

#include <dshowx/DSTrace.h>
#include <winapi/ComPtr.h>
#include <winapi_i/Window.h>

// Size in pixels of dialog template nIdd of hInstance, the way the dialog
// manager sizes the dialog from its font. E_UNEXPECTED when the template is
// missing or unreadable.
HRESULT GetDialogTemplateSize(HINSTANCE hInstance, UINT nIdd, SIZE* pSize);

template <class T>
class CPropertyPageImpl : public IPropertyPage, public CDialogImpl<T>
{
public:
    CPropertyPageImpl() = default;
    // A host that releases an active page without Deactivate leaves the
    // dialog to CDialogImpl, which destroys it.
    virtual ~CPropertyPageImpl()
    {
        if (this->m_hWnd != nullptr)
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"### CPropertyPageImpl::~CPropertyPageImpl(): released while active, dialog destroyed\n");
        ReleaseObjects();
    }

    // IPropertyPage
    STDMETHOD(SetPageSite)(IPropertyPageSite* pPageSite) override
    {
        if (pPageSite != nullptr && m_spPageSite != nullptr)
            return E_UNEXPECTED;
        m_spPageSite = pPageSite;
        return S_OK;
    }

    STDMETHOD(Activate)(HWND hWndParent, LPCRECT pRect, BOOL bModal) override
    {
        (void)bModal;
        if (pRect == nullptr)
            return E_POINTER;
        if (this->m_hWnd != nullptr)
            return E_UNEXPECTED;
        if (this->Create(hWndParent) == nullptr)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### CPropertyPageImpl::Activate(): can't create dialog %u, error %u\n",
                   static_cast<UINT>(T::IDD), ::GetLastError());
            return E_FAIL;
        }
        return Move(pRect);
    }

    STDMETHOD(Deactivate)() override
    {
        if (this->m_hWnd == nullptr)
            return E_UNEXPECTED;
        this->DestroyWindow();
        return S_OK;
    }

    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) override
    {
        if (pPageInfo == nullptr)
            return E_POINTER;
        return FillPageInfo(pPageInfo);
    }

    STDMETHOD(SetObjects)(ULONG cObjects, IUnknown** ppUnk) override
    {
        if (cObjects > 0 && ppUnk == nullptr)
            return E_POINTER;
        for (ULONG i = 0; i < cObjects; ++i)
        {
            if (ppUnk[i] == nullptr)
                return E_POINTER;
        }
        ReleaseObjects();
        if (cObjects == 0)
            return S_OK;
        m_ppUnk = new (std::nothrow) IUnknown*[cObjects];
        if (m_ppUnk == nullptr)
            return E_OUTOFMEMORY;
        for (ULONG i = 0; i < cObjects; ++i)
        {
            m_ppUnk[i] = ppUnk[i];
            m_ppUnk[i]->AddRef();
        }
        m_nObjects = cObjects;
        return S_OK;
    }

    STDMETHOD(Show)(UINT nCmdShow) override
    {
        if (this->m_hWnd == nullptr)
            return E_UNEXPECTED;
        ::ShowWindow(this->m_hWnd, static_cast<int>(nCmdShow));
        return S_OK;
    }

    STDMETHOD(Move)(LPCRECT pRect) override
    {
        if (pRect == nullptr)
            return E_POINTER;
        if (this->m_hWnd == nullptr)
            return E_UNEXPECTED;
        ::MoveWindow(this->m_hWnd, pRect->left, pRect->top, pRect->right - pRect->left, pRect->bottom - pRect->top,
                     TRUE);
        return S_OK;
    }

    STDMETHOD(IsPageDirty)() override { return m_bDirty ? S_OK : S_FALSE; }

    // A page with settings of its own to commit replaces this.
    STDMETHOD(Apply)() override
    {
        m_bDirty = false;
        return S_OK;
    }

    STDMETHOD(Help)(LPCOLESTR) override { return E_NOTIMPL; }

    // Keyboard navigation inside the page (Tab, arrows, mnemonics).
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) override
    {
        if (pMsg == nullptr)
            return E_POINTER;
        if (this->m_hWnd == nullptr)
            return S_FALSE;
        if (pMsg->hwnd != this->m_hWnd && !::IsChild(this->m_hWnd, pMsg->hwnd))
            return S_FALSE;
        if (pMsg->message < WM_KEYFIRST || pMsg->message > WM_KEYLAST)
            return S_FALSE;
        return ::IsDialogMessageW(this->m_hWnd, pMsg) ? S_OK : S_FALSE;
    }

    // The page's dirty state; the site learns of a change to dirty so that
    // the frame enables its Apply button.
    void SetDirty(bool bDirty)
    {
        const bool bChanged = bDirty != m_bDirty;
        m_bDirty = bDirty;
        if (bChanged && bDirty && m_spPageSite != nullptr)
            m_spPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE);
    }

protected:
    HRESULT CreateFreeThreadedMarshaler(IUnknown* pUnkOuter)
    {
        return ::CoCreateFreeThreadedMarshaler(pUnkOuter, &m_spFTM);
    }

    // Record with no help file and no doc string; E_UNEXPECTED without the
    // dialog template.
    HRESULT FillPageInfo(PROPPAGEINFO* pPageInfo)
    {
        SIZE size = {};
        const HRESULT hr = GetDialogTemplateSize(GetCodeModule(), T::IDD, &size);
        if (FAILED(hr))
            return hr;
        WCHAR szTitle[128] = L"";
        ::LoadStringW(GetCodeModule(), T::IDS_TITLE, szTitle, ARRAYSIZE(szTitle));
        const size_t cb = (wcslen(szTitle) + 1) * sizeof(WCHAR);
        LPOLESTR pszTitle = static_cast<LPOLESTR>(::CoTaskMemAlloc(cb));
        if (pszTitle == nullptr)
            return E_OUTOFMEMORY;
        memcpy(pszTitle, szTitle, cb);
        pPageInfo->cb = sizeof(PROPPAGEINFO);
        pPageInfo->pszTitle = pszTitle;
        pPageInfo->size = size;
        pPageInfo->pszDocString = nullptr;
        pPageInfo->pszHelpFile = nullptr;
        pPageInfo->dwHelpContext = 0;
        return S_OK;
    }

    void ReleaseObjects()
    {
        for (ULONG i = 0; i < m_nObjects; ++i)
            m_ppUnk[i]->Release();
        delete[] m_ppUnk;
        m_ppUnk = nullptr;
        m_nObjects = 0;
    }

    CComPtr<IPropertyPageSite> m_spPageSite;
    IUnknown** m_ppUnk = nullptr;
    ULONG m_nObjects = 0;
    bool m_bDirty = false;

public:
    CComPtr<IUnknown> m_spFTM;
};
