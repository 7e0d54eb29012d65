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
