// Registration of the maker's filters with the DirectShow filter mapper: the
// maker's own filter category, and each filter under a category with its
// merit and the pins of its pin description table.
#pragma once

#include <windows.h>
#include <strmif.h>

// The maker's filter category ("Velmora Filters") and the category its
// filters were registered in before; a filter entering the maker's category
// leaves the earlier one.
inline constexpr GUID CLSID_VelmoraFiltersCategory = {
    0xD9E3A7C0, 0x61B5, 0x4F2A, {0x8C, 0x47, 0x0B, 0x5E, 0x1F, 0x93, 0xA6, 0xD1}};
inline constexpr GUID CLSID_VelmoraFiltersCategoryOld = {
    0xD9E3A7BF, 0x61B5, 0x4F2A, {0x8C, 0x47, 0x0B, 0x5E, 0x1F, 0x93, 0xA6, 0xD1}};

// Pin type words of a pin description table.
enum : DWORD
{
    PINDESC_RENDERED = 1,
    PINDESC_OUTPUT = 2,
    PINDESC_ZERO = 4,
    PINDESC_MANY = 8,
};

struct PIN_DESC
{
    LPCWSTR pszName;
    DWORD dwType; // PINDESC_* bits; rendered and output together are refused
};

// A filter's pins as the filter mapper wants them, read by index; each pin
// takes any media type and connects to no particular filter.
class CPinDescTable
{
public:
    CPinDescTable(const PIN_DESC* pDesc, UINT cPins) : m_pDesc(pDesc), m_cPins(cPins) {}

    // Fills *pPin for pin nIndex and answers S_OK; past the last pin, or for
    // a pin both rendered and output, E_INVALIDARG. Count() is the number.
    HRESULT GetPin(UINT nIndex, REGFILTERPINS* pPin) const;
    UINT Count() const { return m_cPins; }

private:
    const PIN_DESC* m_pDesc;
    UINT m_cPins;
};

// Registers (bRegister TRUE) or removes a filter category under the
// DirectShow categories list. Without a description only asks: registering
// answers whether the category exists, unregistering S_OK or S_FALSE (not
// registered). A category that still holds filters is never removed (S_FALSE).
HRESULT KorvexRegisterCategory(BOOL bRegister, REFCLSID clsidCategory, LPCWSTR pszDescription, DWORD dwMerit);

// Registers the filter (its class key must exist: the friendly name is its
// default value) under clsidCategory with dwMerit and the pins of pPins, or
// removes it from there. Any older registration in the category is removed
// first; entering the maker's category also leaves the earlier one.
HRESULT RegisterFilter(BOOL bRegister, REFCLSID clsidFilter, DWORD dwMerit, REFCLSID clsidCategory,
                       const CPinDescTable& pins);
