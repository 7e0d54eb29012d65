#include "AboutBrevane.h"

#include <velmora/VelmoraVersionWrap.h>

HRESULT CAboutSpyFilter::FinalConstruct()
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"CAboutSpyFilter::FinalConstruct()\n");
    return CreateFreeThreadedMarshaler(GetControllingUnknown());
}

void CAboutSpyFilter::FinalRelease()
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"CAboutSpyFilter::FinalRelease()\n");
    m_spFTM.Release();
}

LPCSTR CAboutSpyFilter::GetBuildDate() { return __DATE__; }
LPCSTR CAboutSpyFilter::GetBuildTime() { return __TIME__; }

LPCWSTR CAboutSpyFilter::GetLegalNotice()
{
    return L"Warning: this program is protected by copyright law and international treaties. Unauthorized "
           L"reproduction or distribution of this program, or any portion of it, may result in severe civil "
           L"and criminal penalties.";
}

void CAboutSpyFilter::FormatVersion(LPCSTR pszDate, LPCSTR pszTime, LPWSTR psz, size_t cch)
{
    VelmoraAboutVersionText(GetCodeModule(), pszDate, pszTime, psz, cch);
}
