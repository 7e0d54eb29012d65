#include "AboutBrevane.h"

#include <stdio.h>

namespace
{

// Product version of version resource 1 of this module; zeros without one.
void GetProductVersion(int anVersion[4])
{
    anVersion[0] = anVersion[1] = anVersion[2] = anVersion[3] = 0;
    HMODULE hModule = GetCodeModule();
    HRSRC hRes = ::FindResourceW(hModule, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    HGLOBAL hGlobal = hRes != nullptr ? ::LoadResource(hModule, hRes) : nullptr;
    const BYTE* pb = hGlobal != nullptr ? static_cast<const BYTE*>(::LockResource(hGlobal)) : nullptr;
    const DWORD cb = hRes != nullptr ? ::SizeofResource(hModule, hRes) : 0;
    // VS_VERSIONINFO: length, value length, type, key, padding to 32 bits, value.
    static const WCHAR szKey[] = L"VS_VERSION_INFO";
    const DWORD cbValue = 6 + sizeof(szKey);
    const DWORD cbOffset = (cbValue + 3) & ~3u;
    if (pb == nullptr || cb < cbOffset + sizeof(VS_FIXEDFILEINFO) ||
        memcmp(pb + 6, szKey, sizeof(szKey)) != 0)
        return;
    VS_FIXEDFILEINFO ffi;
    memcpy(&ffi, pb + cbOffset, sizeof(ffi));
    if (ffi.dwSignature != 0xFEEF04BD)
        return;
    anVersion[0] = HIWORD(ffi.dwProductVersionMS);
    anVersion[1] = LOWORD(ffi.dwProductVersionMS);
    anVersion[2] = HIWORD(ffi.dwProductVersionLS);
    anVersion[3] = LOWORD(ffi.dwProductVersionLS);
}

} // namespace

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
    if (cch == 0)
        return;
    psz[0] = 0;
    if (pszDate == nullptr || pszTime == nullptr || strlen(pszDate) < 11)
        return;
    int an[4];
    GetProductVersion(an);
    const LPCSTR d = pszDate;
    int n = d[4] == ' '
                ? _snwprintf(psz, cch - 1, L"%i.%i.%i.%i (%c-%c%c%c-%c%c%c%c %hs)", an[0], an[1], an[2], an[3], d[5],
                             d[0], d[1], d[2], d[7], d[8], d[9], d[10], pszTime)
                : _snwprintf(psz, cch - 1, L"%i.%i.%i.%i (%c%c-%c%c%c-%c%c%c%c %hs)", an[0], an[1], an[2], an[3],
                             d[4], d[5], d[0], d[1], d[2], d[7], d[8], d[9], d[10], pszTime);
    psz[n < 0 ? cch - 1 : static_cast<size_t>(n)] = 0;
#ifdef _DEBUG
    wcsncat(psz, L" [Debug]", cch - wcslen(psz) - 1);
#endif
    wcsncat(psz, sizeof(void*) == 4 ? L" 32 bit" : L" 64 bit", cch - wcslen(psz) - 1);
}
