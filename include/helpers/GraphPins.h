// For programs that build filter graphs (the command-line host, tests and
// benchmarks): class identifiers that the platform headers leave out, and
// pins found by direction.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <winapi/ComPtr.h>

// Declared only in a header of the editing services; spelled out here.
inline constexpr CLSID CLSID_NullRendererFilter = {
    0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
inline constexpr CLSID CLSID_WaveParserFilter = {
    0xD51BD5A1, 0x7548, 0x11CF, {0xA5, 0x20, 0x00, 0x80, 0xC7, 0x7E, 0xF5, 0x8A}};

// The nIndex-th pin of direction eDir (from 0), or null.
inline CComPtr<IPin> FindPin(IBaseFilter* pFilter, PIN_DIRECTION eDir, int nIndex = 0)
{
    CComPtr<IEnumPins> spEnum;
    if (pFilter == nullptr || FAILED(pFilter->EnumPins(&spEnum)))
        return nullptr;
    for (CComPtr<IPin> spPin; spEnum->Next(1, &spPin, nullptr) == S_OK; spPin.Release())
    {
        PIN_DIRECTION eThis;
        if (SUCCEEDED(spPin->QueryDirection(&eThis)) && eThis == eDir && nIndex-- == 0)
            return spPin;
    }
    return nullptr;
}
