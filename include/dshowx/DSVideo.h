// Picture layouts the framework can copy between row widths.
#pragma once

#include <windows.h>

struct CPictureFormat
{
    DWORD dwSubtypeCode; // first 32 bits of the subtype identifier
    int nBitsPerPixel;
    int nHorzYtoUV;
    int nVertYtoUV;
    int anOffset[3]; // Y, U, V (or R, G, B) within a pixel group
    int anStep[3];
    bool bPlanar;
    bool bYUV;
};

class CPictureFormats
{
public:
    static constexpr int s_cFormats = 12;

    static const CPictureFormat& Format(int nFormat) { return s_aFormats[nFormat]; }
    // Row index of a FOURCC, or -1.
    static int FindFormat(DWORD fcc);
    // Bytes of one row (the luma row of planar formats) for a width in pixels.
    static long RowSize(int nFormat, long nWidth);
    static long ImageSize(int nFormat, long nWidth, long nHeight);
    // The same without wrap: what a type claims may not fit in a long, and
    // a buffer check against a wrapped size lets the copy overrun.
    static LONGLONG ImageSize64(int nFormat, LONGLONG nWidth, LONGLONG nHeight);
    static HRESULT GetImageSize(DWORD fcc, long nWidth, long nHeight, long* pcbImageSize);

    // Copies a picture of nPictureWidth x nPictureHeight pixels between row
    // widths (0 means the picture width). The caller guarantees that both
    // buffers hold their images; a fault while moving gives E_UNEXPECTED.
    static HRESULT CopyData(BYTE* pDst, const BYTE* pSrc, int nFormat, long nPictureWidth, long nPictureHeight,
                            long nWidthDst = 0, long nWidthSrc = 0);

private:
    static const CPictureFormat s_aFormats[s_cFormats];
};
