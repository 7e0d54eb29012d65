#include "BrevaneModule.h"

#include "Registration.h"
#include "ServerIds.h"

#include <VelmoraSpy.h>

namespace
{

struct PAGE_SCRIPT
{
    const CLSID* pclsid;
    UINT nResId;
};

const PAGE_SCRIPT s_aPages[] = {
    {&CLSID_SpyFilterPP, IDR_SPYFILTERPP},
    {&CLSID_AboutSpyFilter, IDR_ABOUTSPYFILTER},
};

} // namespace

HRESULT CBrevaneModule::Init(const COM_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance)
{
    m_pObjMap = pObjMap;
    return CComModule::Init(pObjMap, hInstance, &LIBID_SPYFILTERLib);
}

bool CBrevaneModule::InObjectMap(REFCLSID clsid) const
{
    for (const COM_OBJMAP_ENTRY* pEntry = m_pObjMap; pEntry != nullptr && pEntry->pclsid != nullptr; ++pEntry)
    {
        if (IsEqualCLSID(*pEntry->pclsid, clsid))
            return true;
    }
    return false;
}

HRESULT CBrevaneModule::UpdateUnmappedPages(BOOL bRegister)
{
    HRESULT hrFirst = S_OK;
    for (const PAGE_SCRIPT& page : s_aPages)
    {
        if (InObjectMap(*page.pclsid))
            continue;
        const HRESULT hr = SpyPage_UpdateRegistry(page.nResId, bRegister);
        if (FAILED(hr) && SUCCEEDED(hrFirst))
            hrFirst = hr;
        // Registering stops at the first failure; unregistering removes all it can.
        if (FAILED(hr) && bRegister)
            break;
    }
    return hrFirst;
}

HRESULT CBrevaneModule::DllRegisterServer()
{
    HRESULT hr = CComModule::DllRegisterServer(FALSE);
    if (SUCCEEDED(hr))
        hr = UpdateUnmappedPages(TRUE);
    if (SUCCEEDED(hr))
        hr = RegisterTypeLib();
    return hr;
}

HRESULT CBrevaneModule::DllUnregisterServer()
{
    HRESULT hr = CComModule::DllUnregisterServer(FALSE);
    const HRESULT hrPages = UpdateUnmappedPages(FALSE);
    const HRESULT hrTypeLib = UnRegisterTypeLib();
    if (SUCCEEDED(hr))
        hr = FAILED(hrPages) ? hrPages : hrTypeLib;
    return hr;
}
