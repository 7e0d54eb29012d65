// The spy filter's About page: the product name over the banner, version and
// build date, description, the maker's details and links, legal notice.
#pragma once

#include <windows.h>

#include <VelmoraSpy.h>

#include <winapi/ComModule.h>
#include <winapi/ComObject.h>
#include <winapi_i/AboutPropertyPage.h>

#include "PagesRes.h"
#include "Registration.h"
#include "ServerIds.h"

class CAboutSpyFilter : public CComObjectRootMT,
                        public CComCoClass<CAboutSpyFilter, &CLSID_AboutSpyFilter>,
                        public CAboutPropertyPage<CAboutSpyFilter>
{
public:
    enum
    {
        IDD = IDD_ABOUTSPYFILTER,
        IDS_TITLE = IDS_TITLE_ABOUTSPYFILTER,
    };

    BEGIN_COM_MAP(CAboutSpyFilter)
    COM_INTERFACE_ENTRY(IPropertyPage)
    COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_spFTM)
    END_COM_MAP()

    static HRESULT UpdateRegistry(BOOL bRegister) { return SpyPage_UpdateRegistry(IDR_ABOUTSPYFILTER, bRegister); }

    HRESULT FinalConstruct();
    void FinalRelease();

    static LPCWSTR GetFilterName() { return L"Velmora Spy Filter"; }
    static LPCSTR GetBuildDate();
    static LPCSTR GetBuildTime();
    static LPCWSTR GetLegalNotice();
    // Version of the module's version resource with the build date, time,
    // build kind and bitness: "1.0.0.5 (3-Jun-2025 17:49:29) [Debug] 32 bit".
    static void FormatVersion(LPCSTR pszDate, LPCSTR pszTime, LPWSTR psz, size_t cch);
};
