// What the server writes to the registry and the filter mapper: the filter's
// script and its two filter mapper registrations, the pages' scripts, and the
// maker's category.
#pragma once

#include <windows.h>

// Merit of the filter: MERIT_DO_NOT_USE, so that graph building never
// inserts it by itself.
constexpr DWORD SPY_FILTER_MERIT = 0x200000;
// Merit of the maker's category.
constexpr DWORD VELMORA_CATEGORY_MERIT = 0x400000;

// Script 101 with its replacements, the maker's category, and the filter
// under CLSID_LegacyAmFilterCategory and the maker's category.
HRESULT SpyFilter_UpdateRegistry(BOOL bRegister);
// Script 102 or 107 with the pages' shared replacements.
HRESULT SpyPage_UpdateRegistry(UINT nResId, BOOL bRegister);
// For the maker's category only (S_FALSE at once for any other): registers
// it, or removes it when no filter is left in it.
HRESULT RegisterVelmoraCategory(BOOL bRegister, REFCLSID clsidCategory);
