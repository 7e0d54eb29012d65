#include <dshowx/DSTrace.h>
#include <dshowx/DSVideo.h>
#include <winapi/Debugging.h>

namespace
{
constexpr DWORD Fcc(char a, char b, char c, char d)
{
    return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
           (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

HRESULT Move(BYTE* pDst, const BYTE* pSrc, long cb)
{
    return cb > 0 ? SEH_CopyMemory(pDst, pSrc, static_cast<size_t>(cb)) : S_OK;
}
} // namespace

const CPictureFormat CPictureFormats::s_aFormats[s_cFormats] = {
    {Fcc('Y', 'U', 'Y', '2'), 16, 2, 1, {0, 1, 3}, {2, 4, 4}, false, true},
    {Fcc('U', 'Y', 'V', 'Y'), 16, 2, 1, {1, 0, 2}, {2, 4, 4}, false, true},
    {Fcc('Y', 'V', '1', '2'), 12, 2, 2, {0, 0, 0}, {1, 1, 1}, true, true},
    {Fcc('Y', 'V', 'Y', 'U'), 16, 2, 1, {0, 3, 1}, {2, 4, 4}, false, true},
    {Fcc('I', '4', '2', '0'), 12, 2, 2, {0, 0, 0}, {1, 1, 1}, true, true},
    {Fcc('I', 'Y', 'U', '2'), 24, 1, 1, {2, 1, 0}, {3, 3, 3}, false, true},
    {0xE436EB7E /* RGB32 */, 32, 1, 1, {2, 1, 0}, {4, 4, 4}, false, false},
    {0x773C9AC0 /* ARGB32 */, 32, 1, 1, {2, 1, 0}, {4, 4, 4}, false, false},
    {0xE436EB7D /* RGB24 */, 24, 1, 1, {2, 1, 0}, {3, 3, 3}, false, false},
    {0xE436EB7B /* RGB565 */, 16, 1, 1, {1, 0, 0}, {2, 2, 2}, false, false},
    {0xE436EB7C /* RGB555 */, 16, 1, 1, {1, 0, 0}, {2, 2, 2}, false, false},
    {Fcc('H', 'D', 'Y', 'C'), 16, 2, 1, {1, 0, 2}, {2, 4, 4}, false, true},
};

int CPictureFormats::FindFormat(DWORD fcc)
{
    for (int i = 0; i < s_cFormats; ++i)
        if (s_aFormats[i].dwSubtypeCode == fcc)
            return i;
    return -1;
}

long CPictureFormats::RowSize(int nFormat, long nWidth)
{
    const CPictureFormat& rgFormat = s_aFormats[nFormat];
    TRACE_ASSERT_TEXT(nWidth % rgFormat.nHorzYtoUV == 0, "nWidth % rgFormat.nHorzYtoUV == 0");
    if (rgFormat.bPlanar && rgFormat.bYUV)
        return nWidth;
    return static_cast<long>((static_cast<LONGLONG>(nWidth) * rgFormat.nBitsPerPixel / 8 + 3) & ~3LL);
}

long CPictureFormats::ImageSize(int nFormat, long nWidth, long nHeight)
{
    const CPictureFormat& rgFormat = s_aFormats[nFormat];
    if (nHeight < 0)
        nHeight = -nHeight;
    TRACE_ASSERT_TEXT(nHeight % rgFormat.nVertYtoUV == 0, "nHeight % rgFormat.nVertYtoUV == 0");
    const long cbRow = RowSize(nFormat, nWidth);
    if (rgFormat.bPlanar && rgFormat.bYUV)
        return cbRow * nHeight + (nWidth / rgFormat.nHorzYtoUV) * (nHeight / rgFormat.nVertYtoUV) * 2;
    return cbRow * nHeight;
}

LONGLONG CPictureFormats::ImageSize64(int nFormat, LONGLONG nWidth, LONGLONG nHeight)
{
    const CPictureFormat& rgFormat = s_aFormats[nFormat];
    if (nHeight < 0)
        nHeight = -nHeight;
    if (rgFormat.bPlanar && rgFormat.bYUV)
        return nWidth * nHeight + (nWidth / rgFormat.nHorzYtoUV) * (nHeight / rgFormat.nVertYtoUV) * 2;
    return ((nWidth * rgFormat.nBitsPerPixel / 8 + 3) & ~3LL) * nHeight;
}

HRESULT CPictureFormats::GetImageSize(DWORD fcc, long nWidth, long nHeight, long* pcbImageSize)
{
    if (!TRACE_ASSERT_TEXT(pcbImageSize != NULL, "pcbImageSize != NULL"))
        return E_POINTER;
    *pcbImageSize = 0;
    const int nFormat = FindFormat(fcc);
    if (nFormat < 0)
        return E_INVALIDARG;
    *pcbImageSize = ImageSize(nFormat, nWidth, nHeight);
    return S_OK;
}

HRESULT CPictureFormats::CopyData(BYTE* pDst, const BYTE* pSrc, int nFormat, long nPictureWidth, long nPictureHeight,
                                  long nWidthDst, long nWidthSrc)
{
    if (nWidthDst == 0)
        nWidthDst = nPictureWidth;
    if (nWidthSrc == 0)
        nWidthSrc = nPictureWidth;
    if (!TRACE_ASSERT_TEXT(pSrc != NULL && pDst != NULL, "pSrc != NULL && pDst != NULL") ||
        !TRACE_ASSERT_TEXT(nFormat >= 0 && nFormat < s_cFormats, "nFormat >= 0 && nFormat < s_cFormats") ||
        !TRACE_ASSERT_TEXT(nPictureWidth > 0 && nPictureHeight != 0, "nPictureWidth > 0 && nPictureHeight != 0") ||
        !TRACE_ASSERT_TEXT(nPictureWidth <= nWidthSrc && nPictureWidth <= nWidthDst,
                           "nPictureWidth <= nWidthSrc && nPictureWidth <= nWidthDst"))
        return E_INVALIDARG;
    const CPictureFormat& rgFormat = s_aFormats[nFormat];
    const long nHeight = nPictureHeight < 0 ? -nPictureHeight : nPictureHeight;
    const long cbRowSrc = RowSize(nFormat, nWidthSrc);
    const long cbRowDst = RowSize(nFormat, nWidthDst);
    const long cbRowPicture = RowSize(nFormat, nPictureWidth);

    if (cbRowSrc == cbRowDst && cbRowPicture + 32 >= cbRowSrc)
    {
        if (rgFormat.bPlanar)
        {
            TRACE_ASSERT_TEXT(nHeight % rgFormat.nVertYtoUV == 0, "nPictureHeight % rgFormat.nVertYtoUV == 0");
            return Move(pDst, pSrc, cbRowSrc * (nHeight + nHeight / 2));
        }
        return Move(pDst, pSrc, cbRowSrc * nHeight);
    }
    for (long y = 0; y < nHeight; ++y)
    {
        const HRESULT hr = Move(pDst + y * cbRowDst, pSrc + y * cbRowSrc, cbRowPicture);
        if (FAILED(hr))
            return hr;
    }
    if (!rgFormat.bPlanar)
        return S_OK;
    TRACE_ASSERT_TEXT(nWidthSrc % rgFormat.nHorzYtoUV == 0 && nWidthDst % rgFormat.nHorzYtoUV == 0,
                      "nWidthSrc % rgFormat.nHorzYtoUV == 0 && nWidthDst % rgFormat.nHorzYtoUV == 0");
    // Both chroma planes follow the luma plane: h rows of half width in all.
    BYTE* pDstChroma = pDst + nHeight * cbRowDst;
    const BYTE* pSrcChroma = pSrc + nHeight * cbRowSrc;
    for (long y = 0; y < nHeight; ++y)
    {
        const HRESULT hr = Move(pDstChroma + y * (cbRowDst / 2), pSrcChroma + y * (cbRowSrc / 2), cbRowPicture / 2);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}
