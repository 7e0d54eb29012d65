// Interfaces the framework defines for itself.
#pragma once

#include <windows.h>
#include <unknwn.h>

// Lets diagnostics (the graph dump) show a framework filter under the tag its
// own trace lines carry.
// {6E1C3A52-7B0D-4E8F-9A41-2D5B8C7F0E13}
inline constexpr IID IID_IDirectShowDebug = {0x6E1C3A52, 0x7B0D, 0x4E8F, {0x9A, 0x41, 0x2D, 0x5B, 0x8C, 0x7F, 0x0E, 0x13}};

MIDL_INTERFACE("6E1C3A52-7B0D-4E8F-9A41-2D5B8C7F0E13")
IDirectShowDebug : public IUnknown
{
    // Copies the object tag, truncated to cchName characters with the zero.
    virtual HRESULT STDMETHODCALLTYPE GetDebugNameW(LPWSTR pszName, int cchName) = 0;
    // The same in the ANSI code page.
    virtual HRESULT STDMETHODCALLTYPE GetDebugNameA(LPSTR pszName, int cbName) = 0;
};
__CRT_UUID_DECL(IDirectShowDebug, 0x6E1C3A52, 0x7B0D, 0x4E8F, 0x9A, 0x41, 0x2D, 0x5B, 0x8C, 0x7F, 0x0E, 0x13)

// Lets the owner of a redirecting object make it find its target again, for
// example after the neighbouring filter was reconnected.
// {A3F05D27-19C4-4B6E-8D72-5E0B3C9A41F6}
inline constexpr IID IID_IKorvexRedirect = {0xA3F05D27, 0x19C4, 0x4B6E, {0x8D, 0x72, 0x5E, 0x0B, 0x3C, 0x9A, 0x41, 0xF6}};

MIDL_INTERFACE("A3F05D27-19C4-4B6E-8D72-5E0B3C9A41F6")
IKorvexRedirect : public IUnknown
{
    // Drops the cached target; the next forwarded call looks it up again.
    virtual HRESULT STDMETHODCALLTYPE Reconnect() = 0;
};
__CRT_UUID_DECL(IKorvexRedirect, 0xA3F05D27, 0x19C4, 0x4B6E, 0x8D, 0x72, 0x5E, 0x0B, 0x3C, 0x9A, 0x41, 0xF6)
