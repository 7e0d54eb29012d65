#include <velmora/VelmoraVersionWrap.h>

#include <dshowx/DSTrace.h>
#include <winapi/Functions.h>

namespace
{

constexpr Velmora_Ver_Type BUILD_TYPE =
#ifdef NDEBUG
    eVelmora_Ver_Release;
#else
    eVelmora_Ver_Debug;
#endif

constexpr Velmora_Ver_OS BUILD_OS = sizeof(void*) == 8 ? eVelmora_Ver_x64 : eVelmora_Ver_win32;

// Compiler date "Mmm dd yyyy": the day's first place is a space for days 1-9.
bool IsOneDigitDay(LPCSTR pszDate) { return pszDate[4] == ' '; }

// Shared by the three string getters once their assertions have reported:
// a string already in *pbs is the caller's to free, never ours.
HRESULT CopyOut(const CComBSTR& cbs, BSTR* pbs, bool bOutOk, bool bSet)
{
    if (!bOutOk)
        return E_POINTER;
    *pbs = nullptr;
    if (!bSet)
        return E_UNEXPECTED;
    *pbs = cbs.Copy();
    return *pbs != nullptr ? S_OK : E_OUTOFMEMORY;
}

} // namespace

HMODULE VelmoraThisModule()
{
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&VelmoraThisModule), &hModule);
    return hModule;
}

bool VelmoraReadProductVersion(HMODULE hModule, WORD awVersion[4])
{
    awVersion[0] = awVersion[1] = awVersion[2] = awVersion[3] = 0;
    HRSRC hRes = FindResourceW(hModule, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    if (hRes == nullptr)
        return false;
    const DWORD cb = SizeofResource(hModule, hRes);
    HGLOBAL hGlobal = LoadResource(hModule, hRes);
    const BYTE* pb = hGlobal != nullptr ? static_cast<const BYTE*>(LockResource(hGlobal)) : nullptr;
    // The block: wLength, wValueLength, wType, the key "VS_VERSION_INFO" with
    // its zero, padding to 32 bits, then VS_FIXEDFILEINFO.
    static const WCHAR s_szKey[] = L"VS_VERSION_INFO";
    const DWORD cbHeader = (6 + sizeof(s_szKey) + 3) & ~3u;
    if (pb == nullptr || cb < cbHeader + sizeof(VS_FIXEDFILEINFO))
        return false;
    if (memcmp(pb + 6, s_szKey, sizeof(s_szKey)) != 0)
        return false;
    VS_FIXEDFILEINFO info;
    memcpy(&info, pb + cbHeader, sizeof(info));
    if (info.dwSignature != VS_FFI_SIGNATURE)
        return false;
    awVersion[0] = HIWORD(info.dwProductVersionMS);
    awVersion[1] = LOWORD(info.dwProductVersionMS);
    awVersion[2] = HIWORD(info.dwProductVersionLS);
    awVersion[3] = LOWORD(info.dwProductVersionLS);
    return true;
}

void VelmoraDateTimeText(LPCSTR pszDate, LPCSTR pszTime, LPWSTR psz, size_t cch)
{
    const char chDay0 = IsOneDigitDay(pszDate) ? '0' : pszDate[4];
    StrFormat(psz, cch, L"%c%c-%c%c%c-%c%c%c%c %hs", chDay0, pszDate[5], pszDate[0], pszDate[1], pszDate[2],
              pszDate[7], pszDate[8], pszDate[9], pszDate[10], pszTime);
}

void VelmoraAboutVersionText(HMODULE hModule, LPCSTR pszDate, LPCSTR pszTime, LPWSTR psz, size_t cch)
{
    WORD aw[4];
    VelmoraReadProductVersion(hModule, aw);
    if (IsOneDigitDay(pszDate))
        StrFormat(psz, cch, L"%i.%i.%i.%i (%c-%c%c%c-%c%c%c%c %hs)", aw[0], aw[1], aw[2], aw[3], pszDate[5],
                  pszDate[0], pszDate[1], pszDate[2], pszDate[7], pszDate[8], pszDate[9], pszDate[10], pszTime);
    else
        StrFormat(psz, cch, L"%i.%i.%i.%i (%c%c-%c%c%c-%c%c%c%c %hs)", aw[0], aw[1], aw[2], aw[3], pszDate[4],
                  pszDate[5], pszDate[0], pszDate[1], pszDate[2], pszDate[7], pszDate[8], pszDate[9], pszDate[10],
                  pszTime);
    if (BUILD_TYPE == eVelmora_Ver_Debug)
        StrAppend(psz, cch, L" [Debug]");
    StrAppend(psz, cch, BUILD_OS == eVelmora_Ver_win32 ? L" 32 bit" : L" 64 bit");
}

void IVelmoraVersionWrapper::Init(LPCSTR pszDate, LPCSTR pszTime, LPCWSTR pszName, HMODULE hModule)
{
    m_cbsName.Empty();
    m_cbsVersion.Empty();
    m_cbsDateTime.Empty();
    m_eType = BUILD_TYPE;
    m_eOS = BUILD_OS;
    if (!TRACE_ASSERT(pszDate != NULL) || !TRACE_ASSERT(pszTime != NULL))
        return;
    m_cbsName = pszName != nullptr ? pszName : L"Velmora Spy Filter";

    WORD aw[4];
    VelmoraReadProductVersion(hModule, aw);
    WCHAR sz[64];
    StrFormat(sz, ARRAYSIZE(sz), L"%i.%i.%i.%i", aw[0], aw[1], aw[2], aw[3]);
    m_cbsVersion = sz;

    // A short date text cannot be taken apart; the date stays empty.
    if (strlen(pszDate) < 11)
        return;
    VelmoraDateTimeText(pszDate, pszTime, sz, ARRAYSIZE(sz));
    m_cbsDateTime = sz;
}

void IVelmoraVersionWrapper::TraceVersion(LPCWSTR pszOwner)
{
    if (m_cbsName.Length() == 0 || m_cbsVersion.Length() == 0 || m_cbsDateTime.Length() == 0)
        return;
    WCHAR sz[256];
    StrFormat(sz, ARRAYSIZE(sz), L"%s [%c%s v.%s %s]", m_cbsName.m_str, m_eType == eVelmora_Ver_Debug ? L'D' : L'R',
              m_eOS == eVelmora_Ver_win32 ? L"32" : L"64", m_cbsVersion.m_str, m_cbsDateTime.m_str);
    if (pszOwner != nullptr)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"%s Version: %s\n", pszOwner, sz);
    else
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"Version: %s\n", sz);
}

STDMETHODIMP IVelmoraVersionWrapper::VerType(Velmora_Ver_Type* peType)
{
    if (!TRACE_ASSERT(peType != NULL))
        return E_POINTER;
    *peType = m_eType;
    return S_OK;
}

STDMETHODIMP IVelmoraVersionWrapper::VerOS(Velmora_Ver_OS* peOS)
{
    if (!TRACE_ASSERT(peOS != NULL))
        return E_POINTER;
    *peOS = m_eOS;
    return S_OK;
}

STDMETHODIMP IVelmoraVersionWrapper::VerName(BSTR* pbsName)
{
    const bool bOut = TRACE_ASSERT(pbsName != NULL);
    if (bOut)
        TRACE_ASSERT(*pbsName == NULL);
    return CopyOut(m_cbsName, pbsName, bOut, bOut && TRACE_ASSERT(m_cbsName != NULL));
}

STDMETHODIMP IVelmoraVersionWrapper::VerNumber(BSTR* pbsVersion)
{
    const bool bOut = TRACE_ASSERT(pbsVersion != NULL);
    if (bOut)
        TRACE_ASSERT(*pbsVersion == NULL);
    return CopyOut(m_cbsVersion, pbsVersion, bOut, bOut && TRACE_ASSERT(m_cbsVersion != NULL));
}

STDMETHODIMP IVelmoraVersionWrapper::VerCreated(BSTR* pbsDateTime)
{
    const bool bOut = TRACE_ASSERT(pbsDateTime != NULL);
    if (bOut)
        TRACE_ASSERT(*pbsDateTime == NULL);
    return CopyOut(m_cbsDateTime, pbsDateTime, bOut, bOut && TRACE_ASSERT(m_cbsDateTime != NULL));
}
