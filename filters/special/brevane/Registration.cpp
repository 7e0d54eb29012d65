#include "Registration.h"

#include "Filter.h"
#include "ServerIds.h"

#include <VelmoraSpy.h>
#include <velmora/VelmoraRegister.h>
#include <winapi/ComModule.h>

#include <dshow.h>

namespace
{

// Pin description table of the spy filter: one input, one output.
const PIN_DESC s_aPins[] = {
    {L"In", 0},
    {L"Out", PINDESC_OUTPUT},
};

// An identifier as the scripts want it: without braces.
class CGuidText
{
public:
    explicit CGuidText(REFGUID guid)
    {
        WCHAR sz[40];
        StringFromGUID2(guid, sz, ARRAYSIZE(sz));
        lstrcpynW(m_sz, sz + 1, 37);
    }
    operator LPCWSTR() const { return m_sz; }

private:
    WCHAR m_sz[37] = L"";
};

HRESULT RunScript(UINT nResId, BOOL bRegister, const COM_REPLACEMENT* pMap)
{
    CComModule* pModule = CComModule::GetModule();
    if (!TRACE_ASSERT(pModule != nullptr))
        return E_UNEXPECTED;
    return pModule->UpdateRegistryFromResource(nResId, bRegister, pMap);
}

} // namespace

HRESULT RegisterVelmoraCategory(BOOL bRegister, REFCLSID clsidCategory)
{
    if (!IsEqualGUID(clsidCategory, CLSID_VelmoraFiltersCategory))
        return S_FALSE;
    return KorvexRegisterCategory(bRegister, clsidCategory, L"Velmora Filters", VELMORA_CATEGORY_MERIT);
}

HRESULT SpyFilter_UpdateRegistry(BOOL bRegister)
{
    const CGuidText tlb(LIBID_SPYFILTERLib), filter(CLSID_SpyFilter);
    const COM_REPLACEMENT map[] = {
        {L"TLB_CLSID", tlb},
        {L"FILTER_CLSID", filter},
        {L"FILTER_NAME", L"Velmora Spy Filter"},
        {L"PROGID_SUFFIX", L""},
        {nullptr, nullptr},
    };
    const CPinDescTable pins(s_aPins, ARRAYSIZE(s_aPins));
    HRESULT hr = RunScript(IDR_SPYFILTER, bRegister, map);
    if (SUCCEEDED(hr) && bRegister)
        hr = RegisterVelmoraCategory(TRUE, CLSID_VelmoraFiltersCategory);
    if (SUCCEEDED(hr))
        hr = RegisterFilter(bRegister, CLSID_SpyFilter, SPY_FILTER_MERIT, CLSID_LegacyAmFilterCategory, pins);
    if (SUCCEEDED(hr))
        hr = RegisterFilter(bRegister, CLSID_SpyFilter, SPY_FILTER_MERIT, CLSID_VelmoraFiltersCategory, pins);
    if (!bRegister)
        RegisterVelmoraCategory(FALSE, CLSID_VelmoraFiltersCategory);
    return hr;
}

HRESULT CSpyFilter::UpdateRegistry(BOOL bRegister) { return SpyFilter_UpdateRegistry(bRegister); }

HRESULT SpyPage_UpdateRegistry(UINT nResId, BOOL bRegister)
{
    const CGuidText page(CLSID_SpyFilterPP), about(CLSID_AboutSpyFilter);
    const COM_REPLACEMENT map[] = {
        {L"PROPPAGE_CLSID", page},
        {L"PROPPAGE_NAME", L"Velmora Spy Property Page"},
        {L"ABOUT_CLSID", about},
        {L"ABOUT_NAME", L"Velmora Spy About"},
        {L"PROGID_SUFFIX", L""},
        {nullptr, nullptr},
    };
    return RunScript(nResId, bRegister, map);
}
