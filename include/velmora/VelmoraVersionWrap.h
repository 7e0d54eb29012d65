// Build information of a Velmora module through IVelmoraVersion: build kind,
// target, product name, version number (product version of version resource
// 1) and build date and time. The owning object derives from the wrapper and
// answers VersionOwnerTag() with its object tag.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <VelmoraSpy.h>

#include <winapi/ComPtr.h>

// Product version of version resource 1 ("VS_VERSION_INFO") of hModule, most
// significant word first. False, with all four numbers 0, when the module has
// no such resource.
bool VelmoraReadProductVersion(HMODULE hModule, WORD awVersion[4]);

// Build date text from the compiler's date and time ("Jun  3 2025",
// "17:49:29"): "03-Jun-2025 17:49:29". The day always has two digits.
void VelmoraDateTimeText(LPCSTR pszDate, LPCSTR pszTime, LPWSTR psz, size_t cch);

// Version line of the About page: "1.0.0.5 (3-Jun-2025 17:49:29)" (no leading
// zero on a one-digit day), then " [Debug]" in a debug build and " 32 bit" or
// " 64 bit" for the target.
void VelmoraAboutVersionText(HMODULE hModule, LPCSTR pszDate, LPCSTR pszTime, LPWSTR psz, size_t cch);

// The module that holds the calling code (the DLL inside a DLL).
HMODULE VelmoraThisModule();

class IVelmoraVersionWrapper : public IVelmoraVersion
{
public:
    // pszDate and pszTime: the compiler's __DATE__ and __TIME__ of the
    // module; pszName null gives "Velmora Spy Filter". The version comes
    // from hModule, by default the module that holds this code.
    void Init(LPCSTR pszDate, LPCSTR pszTime, LPCWSTR pszName, HMODULE hModule = VelmoraThisModule());
    // "Velmora Spy Filter [D32 v.1.0.0.5 23-Jun-2025 17:49:29]" as
    // "%s Version: %s\n" (or "Version: %s\n" without an owner), and only
    // when all three texts are set.
    void TraceVersion(LPCWSTR pszOwner);

    // IVelmoraVersion
    STDMETHOD(VerType)(Velmora_Ver_Type* peType) override;
    STDMETHOD(VerOS)(Velmora_Ver_OS* peOS) override;
    STDMETHOD(VerName)(BSTR* pbsName) override;
    STDMETHOD(VerNumber)(BSTR* pbsNumber) override;
    STDMETHOD(VerCreated)(BSTR* pbsDateTime) override;

    // Object tag of the owner.
    virtual LPCWSTR VersionOwnerTag() = 0;

protected:
    CComBSTR m_cbsName;
    CComBSTR m_cbsVersion;
    CComBSTR m_cbsDateTime;
    Velmora_Ver_Type m_eType = eVelmora_Ver_Release;
    Velmora_Ver_OS m_eOS = eVelmora_Ver_win32;
};
