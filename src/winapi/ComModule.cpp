// Class factory and module object of an in-process COM server.
#include <winapi/ComModule.h>

#include <winapi/Registrar.h>
#include <winapi/Wrappers.h>

#include <oleauto.h>

// ---------------------------------------------------------------------------
// CComClassFactory

STDMETHODIMP CComClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!TRACE_ASSERT(m_pfnCreate != nullptr))
        return E_UNEXPECTED;
    return m_pfnCreate(pUnkOuter, riid, ppv);
}

STDMETHODIMP CComClassFactory::LockServer(BOOL fLock)
{
    if (fLock)
        CComModuleLock::Lock();
    else
        CComModuleLock::Unlock();
    return S_OK;
}

HRESULT CComClassFactory::Create(PFN_COM_CREATE pfnCreate, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    CComObjectNoLock<CComClassFactory>* pFactory = nullptr;
    HRESULT hr = CComObjectNoLock<CComClassFactory>::CreateInstance(&pFactory);
    if (FAILED(hr))
        return hr;
    pFactory->SetCreator(pfnCreate);
    pFactory->AddRef();
    hr = pFactory->QueryInterface(riid, ppv);
    pFactory->Release();
    return hr;
}

// ---------------------------------------------------------------------------
// CComModule

CComModule::~CComModule() { Term(); }

HRESULT CComModule::Init(const COM_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance, const GUID* plibid)
{
    if (!TRACE_ASSERT(pObjMap != nullptr))
        return E_POINTER;
    m_pObjMap = pObjMap;
    m_hInstance = hInstance;
    m_plibid = plibid;
    s_pModule = this;
    return S_OK;
}

void CComModule::Term()
{
    if (s_pModule == this)
        s_pModule = nullptr;
    m_pObjMap = nullptr;
}

void CComModule::SetAppId(LPCWSTR pszAppId)
{
    lstrcpynW(m_szAppId, pszAppId != nullptr ? pszAppId : L"", ARRAYSIZE(m_szAppId));
}

HRESULT CComModule::DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    for (const COM_OBJMAP_ENTRY* pEntry = m_pObjMap; pEntry != nullptr && pEntry->pclsid != nullptr; ++pEntry)
    {
        if (IsEqualCLSID(*pEntry->pclsid, rclsid))
            return CComClassFactory::Create(pEntry->pfnCreateInstance, riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CComModule::DllCanUnloadNow() { return GetLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT CComModule::DllRegisterServer(BOOL bRegTypeLib)
{
    for (const COM_OBJMAP_ENTRY* pEntry = m_pObjMap; pEntry != nullptr && pEntry->pclsid != nullptr; ++pEntry)
    {
        if (pEntry->pfnUpdateRegistry == nullptr)
            continue;
        const HRESULT hr = pEntry->pfnUpdateRegistry(TRUE);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CComModule::DllRegisterServer(): UpdateRegistry()=0x%X\n", hr);
            return hr;
        }
    }
    return bRegTypeLib ? RegisterTypeLib() : S_OK;
}

HRESULT CComModule::DllUnregisterServer(BOOL bUnRegTypeLib)
{
    // Everything is attempted; the first failure is reported.
    HRESULT hrFirst = S_OK;
    for (const COM_OBJMAP_ENTRY* pEntry = m_pObjMap; pEntry != nullptr && pEntry->pclsid != nullptr; ++pEntry)
    {
        if (pEntry->pfnUpdateRegistry == nullptr)
            continue;
        const HRESULT hr = pEntry->pfnUpdateRegistry(FALSE);
        if (FAILED(hr) && SUCCEEDED(hrFirst))
            hrFirst = hr;
    }
    if (bUnRegTypeLib)
    {
        const HRESULT hr = UnRegisterTypeLib();
        if (FAILED(hr) && SUCCEEDED(hrFirst))
            hrFirst = hr;
    }
    if (FAILED(hrFirst))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CComModule::DllUnregisterServer()=0x%X\n", hrFirst);
    return hrFirst;
}

HRESULT CComModule::GetModulePath(LPWSTR pszPath, DWORD cchPath) const
{
    SetLastError(0);
    const DWORD cch = GetModuleFileNameW(m_hInstance, pszPath, cchPath);
    if (cch == 0)
        return HResultFromLastError();
    // A truncated path would register a file that does not exist.
    if (cch >= cchPath)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

HRESULT CComModule::AddCommonReplacements(CRegistrar& registrar)
{
    WCHAR szPath[MAX_PATH];
    HRESULT hr = GetModulePath(szPath, ARRAYSIZE(szPath));
    if (SUCCEEDED(hr))
        hr = registrar.AddReplacement(L"MODULE", szPath);
    if (SUCCEEDED(hr))
        hr = registrar.AddReplacement(L"APPID", m_szAppId);
    return hr;
}

HRESULT CComModule::UpdateRegistryFromResource(UINT nResId, BOOL bRegister, const COM_REPLACEMENT* pMap)
{
    CRegistrar registrar;
    HRESULT hr = AddCommonReplacements(registrar);
    for (const COM_REPLACEMENT* p = pMap; SUCCEEDED(hr) && p != nullptr && p->pszName != nullptr; ++p)
        hr = registrar.AddReplacement(p->pszName, p->pszValue);
    if (SUCCEEDED(hr))
        hr = bRegister ? registrar.ResourceRegister(m_hInstance, nResId) : registrar.ResourceUnregister(m_hInstance, nResId);
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CComModule::UpdateRegistryFromResource( %u, %d )=0x%X\n",
               nResId, bRegister, hr);
    return hr;
}

bool CComModule::HasTypeLib() const
{
    return FindResourceW(m_hInstance, MAKEINTRESOURCEW(1), L"TYPELIB") != nullptr;
}

HRESULT CComModule::RegisterTypeLib()
{
    if (!HasTypeLib())
        return S_OK;
    WCHAR szPath[MAX_PATH];
    HRESULT hr = GetModulePath(szPath, ARRAYSIZE(szPath));
    if (FAILED(hr))
        return hr;
    CComPtr<ITypeLib> spTypeLib;
    hr = LoadTypeLibEx(szPath, REGKIND_NONE, &spTypeLib);
    if (SUCCEEDED(hr))
        hr = ::RegisterTypeLib(spTypeLib, szPath, nullptr);
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CComModule::RegisterTypeLib( %s )=0x%X\n", szPath, hr);
    return hr;
}

HRESULT CComModule::UnRegisterTypeLib()
{
    if (!HasTypeLib())
        return S_OK;
    WCHAR szPath[MAX_PATH];
    HRESULT hr = GetModulePath(szPath, ARRAYSIZE(szPath));
    if (FAILED(hr))
        return hr;
    CComPtr<ITypeLib> spTypeLib;
    hr = LoadTypeLibEx(szPath, REGKIND_NONE, &spTypeLib);
    if (FAILED(hr))
        return hr;
    TLIBATTR* pAttr = nullptr;
    hr = spTypeLib->GetLibAttr(&pAttr);
    if (FAILED(hr))
        return hr;
    // Already gone: unregistering may be repeated.
    CComBSTR bstrRegistered;
    if (SUCCEEDED(QueryPathOfRegTypeLib(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid, &bstrRegistered)))
        hr = ::UnRegisterTypeLib(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid, pAttr->syskind);
    spTypeLib->ReleaseTLibAttr(pAttr);
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CComModule::UnRegisterTypeLib( %s )=0x%X\n", szPath, hr);
    return hr;
}
