#include <velmora/VelmoraRegister.h>

#include <dshowx/DSTrace.h>
#include <winapi/ComPtr.h>
#include <winapi/Wrappers.h>

#include <dshow.h>

#include <vector>

namespace
{

const REGPINTYPES s_anyType = {&GUID_NULL, &GUID_NULL};

// The DirectShow categories list: one subkey per category.
const WCHAR s_szCategories[] = L"CLSID\\{DA4E3DA0-D07D-11D0-BD50-00A0C911CE86}\\Instance";

class CKey
{
public:
    CKey() = default;
    ~CKey() { Close(); }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;

    LONG Open(HKEY hParent, LPCWSTR pszName, REGSAM sam)
    {
        Close();
        return RegOpenKeyExW(hParent, pszName, 0, sam, &m_hKey);
    }
    void Close()
    {
        if (m_hKey != nullptr)
            RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    operator HKEY() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

HRESULT Win32Result(LONG lResult) { return lResult == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(lResult); }

// "{...}" of a GUID.
void GuidText(REFGUID guid, LPWSTR psz, int cch) { StringFromGUID2(guid, psz, cch); }

HRESULT CreateMapper(IFilterMapper2** ppMapper)
{
    return CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                            reinterpret_cast<void**>(ppMapper));
}

// A missing registration is what unregistering wants anyway.
HRESULT UnregisterFromCategory(IFilterMapper2* pMapper, REFCLSID clsidCategory, REFCLSID clsidFilter)
{
    const HRESULT hr = pMapper->UnregisterFilter(&clsidCategory, nullptr, clsidFilter);
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr;
}

// The default value of HKCR\CLSID\{clsid}: at most 128 characters.
HRESULT ReadFilterName(REFCLSID clsidFilter, LPWSTR pszName, DWORD cchName)
{
    WCHAR szKey[64] = L"CLSID\\";
    GuidText(clsidFilter, szKey + 6, ARRAYSIZE(szKey) - 6);
    CKey key;
    LONG lResult = key.Open(HKEY_CLASSES_ROOT, szKey, KEY_READ);
    if (lResult != ERROR_SUCCESS)
    {
        TRACE_ASSERT_TEXT(false, "RegisterFilter( TRUE ): COM-object not registered");
        return Win32Result(lResult);
    }
    DWORD dwType = 0;
    DWORD cb = (cchName - 1) * sizeof(WCHAR);
    ZeroMemory(pszName, cchName * sizeof(WCHAR));
    lResult = RegQueryValueExW(key, nullptr, nullptr, &dwType, reinterpret_cast<BYTE*>(pszName), &cb);
    if (lResult != ERROR_SUCCESS || dwType != REG_SZ || pszName[0] == L'\0')
    {
        TRACE_ASSERT_TEXT(false, "RegisterFilter( TRUE ): name of filter not found");
        // A value of the wrong type or an empty one has no Win32 error of its own.
        return lResult != ERROR_SUCCESS ? Win32Result(lResult) : E_FAIL;
    }
    return S_OK;
}

// Removes the category when no filter is left in it.
HRESULT RemoveEmptyCategory(LPCWSTR pszCategory)
{
    CKey keyClsid;
    LONG lResult = keyClsid.Open(HKEY_CLASSES_ROOT, L"CLSID", KEY_READ | KEY_WRITE);
    if (lResult != ERROR_SUCCESS)
    {
        TRACE_ASSERT_TEXT(false, "KorvexRegisterCategory( FALSE ): keyClsid.Open( CLSID ) FAILED");
        return Win32Result(lResult);
    }
    WCHAR szInstance[64];
    wsprintfW(szInstance, L"%s\\Instance", pszCategory);
    {
        CKey keyInstance;
        DWORD cSubKeys = 0;
        if (keyInstance.Open(keyClsid, szInstance, KEY_READ) != ERROR_SUCCESS ||
            RegQueryInfoKeyW(keyInstance, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            cSubKeys != 0)
            return S_FALSE;
    }
    if (RegDeleteTreeW(keyClsid, pszCategory) != ERROR_SUCCESS)
    {
        TRACE_ASSERT_TEXT(false, "KorvexRegisterCategory( FALSE ): CLSID -> RecurseDeleteKey() FAILED");
        return S_FALSE;
    }
    CKey keyCategories;
    if (keyCategories.Open(HKEY_CLASSES_ROOT, s_szCategories, KEY_READ | KEY_WRITE) != ERROR_SUCCESS ||
        RegDeleteTreeW(keyCategories, pszCategory) != ERROR_SUCCESS)
    {
        TRACE_ASSERT_TEXT(false, "KorvexRegisterCategory( FALSE ): ActiveMovie -> RecurseDeleteKey() FAILED");
        return S_FALSE;
    }
    return S_OK;
}

} // namespace

HRESULT CPinDescTable::GetPin(UINT nIndex, REGFILTERPINS* pPin) const
{
    if (pPin == nullptr)
        return E_POINTER;
    if (nIndex >= m_cPins)
        return E_INVALIDARG;
    const DWORD dwType = m_pDesc[nIndex].dwType;
    if (!TRACE_ASSERT((dwType & (PINDESC_RENDERED | PINDESC_OUTPUT)) != (PINDESC_RENDERED | PINDESC_OUTPUT)))
        return E_INVALIDARG;
    pPin->strName = const_cast<LPWSTR>(m_pDesc[nIndex].pszName);
    pPin->bRendered = (dwType & PINDESC_RENDERED) != 0;
    pPin->bOutput = (dwType & PINDESC_OUTPUT) != 0;
    pPin->bZero = (dwType & PINDESC_ZERO) != 0;
    pPin->bMany = (dwType & PINDESC_MANY) != 0;
    pPin->clsConnectsToFilter = &GUID_NULL;
    pPin->strConnectsToPin = nullptr;
    pPin->nMediaTypes = 1;
    pPin->lpMediaType = &s_anyType;
    return S_OK;
}

HRESULT KorvexRegisterCategory(BOOL bRegister, REFCLSID clsidCategory, LPCWSTR pszDescription, DWORD dwMerit)
{
    WCHAR szCategory[40];
    GuidText(clsidCategory, szCategory, ARRAYSIZE(szCategory));
    LONG lOpen;
    {
        CKey keyCategories, keyCategory;
        lOpen = keyCategories.Open(HKEY_CLASSES_ROOT, s_szCategories, KEY_READ);
        if (lOpen == ERROR_SUCCESS)
            lOpen = keyCategory.Open(keyCategories, szCategory, KEY_READ);
    }
    const bool bRegistered = lOpen == ERROR_SUCCESS;
    if (pszDescription == nullptr)
    {
        if (bRegister)
            return Win32Result(lOpen);
        return bRegistered ? S_OK : S_FALSE;
    }
    if (!bRegister)
        return RemoveEmptyCategory(szCategory);
    if (bRegistered)
        return S_OK;
    CComPtr<IFilterMapper2> spMapper;
    HRESULT hr = CreateMapper(&spMapper);
    if (FAILED(hr) || !spMapper)
    {
        TRACE_ASSERT_TEXT(false, "KorvexRegisterCategory( TRUE ): CoCreateInstance(CLSID_FilterMapper2) FAILED");
        return FAILED(hr) ? hr : E_FAIL;
    }
    hr = spMapper->CreateCategory(clsidCategory, dwMerit, pszDescription);
    // The filters register without their own category too: not fatal.
    TRACE_ASSERT_TEXT(SUCCEEDED(hr), "KorvexRegisterCategory( TRUE ): IFilterMapper2::CreateCategory() FAILED");
    return S_OK;
}

HRESULT RegisterFilter(BOOL bRegister, REFCLSID clsidFilter, DWORD dwMerit, REFCLSID clsidCategory,
                       const CPinDescTable& pins)
{
    CComPtr<IFilterMapper2> spMapper;
    HRESULT hr = CreateMapper(&spMapper);
    if (FAILED(hr))
        return hr;
    if (IsEqualGUID(clsidCategory, CLSID_VelmoraFiltersCategory))
        UnregisterFromCategory(spMapper, CLSID_VelmoraFiltersCategoryOld, clsidFilter);
    hr = UnregisterFromCategory(spMapper, clsidCategory, clsidFilter);
    if (!bRegister)
        return hr;

    WCHAR szName[129];
    hr = ReadFilterName(clsidFilter, szName, ARRAYSIZE(szName));
    if (FAILED(hr))
        return hr;

    std::vector<REGFILTERPINS> pinRecords(pins.Count());
    for (UINT i = 0; i < pins.Count(); ++i)
    {
        hr = pins.GetPin(i, &pinRecords[i]);
        if (!TRACE_ASSERT_TEXT(SUCCEEDED(hr), "pPin != NULL"))
            return hr;
    }
    REGFILTER2 rf2 = {};
    rf2.dwVersion = 1;
    rf2.dwMerit = dwMerit;
    rf2.cPins = pins.Count();
    rf2.rgPins = pinRecords.data();
    return spMapper->RegisterFilter(clsidFilter, szName, nullptr, &clsidCategory, nullptr, &rf2);
}
