#include <dshowx/DSParsers.h>
#include <dshowx/DSWrappers.h>

#include <limits.h>
#include <string.h>

namespace
{
// The destination's buffer, with the checks both copiers make.
HRESULT DestinationPointer(IMediaSample* pDst, BYTE** ppbDst, LPCWSTR pszCopier, LPCSTR pszAssertFailed,
                           LPCSTR pszAssertNull)
{
    *ppbDst = nullptr;
    const HRESULT hr = pDst->GetPointer(ppbDst);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s::CopyBuffer(): GetPointer()=0x%X\n", pszCopier, hr);
        TRACE_ASSERT_TEXT(false, pszAssertFailed);
        return hr;
    }
    if (*ppbDst == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL\n", pszCopier);
        TRACE_ASSERT_TEXT(false, pszAssertNull);
        return E_FAIL;
    }
    return S_OK;
}

LPCWSTR FccText(DWORD fcc, LPWSTR psz)
{
    Fourcc2Name(fcc, psz);
    return psz;
}
} // namespace

HRESULT CSampleCopier::CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, long lActual, WORD wMask, long cbSrc)
{
    if (wMask & PM_DATA)
    {
        if (!TRACE_ASSERT_TEXT(pbSrc != NULL, "pbSrc != NULL") || !TRACE_ASSERT_TEXT(wMask & PM_ACTLEN, "wMask & PM_ACTLEN"))
            return E_INVALIDARG;
    }
    if (!(wMask & PM_ACTLEN))
        return S_OK;
    if (lActual == 0)
        return pDst->SetActualDataLength(0);
    // Never read more than the source buffer holds.
    if ((wMask & PM_DATA) && lActual > cbSrc)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleCopier::CopyBuffer(): lActual=%i, source buffer size=%i\n", lActual,
               cbSrc);
        return E_FAIL;
    }
    BYTE* pbDst = nullptr;
    HRESULT hr = DestinationPointer(pDst, &pbDst, L"CSampleCopier", "CSampleCopier::CopyBuffer(): GetPointer() FAILED",
                                    "CSampleCopier::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL");
    if (FAILED(hr))
        return hr;
    const long cbDst = pDst->GetSize();
    if (cbDst < lActual)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleCopier::CopyBuffer(): GetSize()=%i, lActual=%i\n", cbDst, lActual);
        TRACE_ASSERT_TEXT(false, "CSampleCopier::CopyBuffer(): GetSize() < actual data length");
        return E_FAIL;
    }
    hr = pDst->SetActualDataLength(lActual);
    if (hr != S_OK)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSampleCopier::CopyBuffer(): SetActualDataLength( %i )=0x%X\n", lActual, hr);
        TRACE_ASSERT_TEXT(false, "CSampleCopier::CopyBuffer(): SetActualDataLength() FAILED");
        return FailureOf(hr);
    }
    if (wMask & PM_DATA)
        return SEH_CopyMemory(pbDst, pbSrc, static_cast<size_t>(lActual));
    return S_OK;
}

HRESULT COverlayMixerCopier::SetProperties(const AM_MEDIA_TYPE* pmt, bool bSource)
{
    if (!TRACE_ASSERT_TEXT(pmt != NULL, "pmt != NULL"))
        return E_INVALIDARG;
    LPCWSTR pszSide = bSource ? L"SRC" : L"DST";
    DWORD fcc = 0;
    LONG nWidth = 0, nHeight = 0;
    HRESULT hr = CMTHelp::MTParseVideo(pmt, &fcc, &nWidth, &nHeight, nullptr);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### COverlayMixerCopier::SetProperties( %s ): CMTHelp::MTParseVideo()=0x%X\n",
               pszSide, hr);
        TRACE_ASSERT_TEXT(false, "COverlayMixerCopier::SetProperties(): MTParseVideo() FAILED");
        return hr;
    }
    // A negative width has no row size; it is as bad as none. A height of
    // LONG_MIN has no positive counterpart.
    if (nWidth <= 0 || nHeight == 0 || nHeight == LONG_MIN)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### COverlayMixerCopier::SetProperties( %s ): bad media type\n", pszSide);
        TRACE_ASSERT_TEXT(false, "COverlayMixerCopier::SetProperties(): bad media type");
        return VFW_E_INVALIDMEDIATYPE;
    }
    const int nFormat = CPictureFormats::FindFormat(fcc);
    if (nFormat < 0)
    {
        WCHAR szSubtype[128];
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### COverlayMixerCopier::SetProperties( %s ): unsupported subtype %s\n",
               pszSide, Guid2Name(pmt->subtype, szSubtype, 128));
        TRACE_ASSERT_TEXT(false, "COverlayMixerCopier::SetProperties() - unsupported subtype");
        return VFW_E_INVALIDSUBTYPE;
    }
    if (nHeight < 0)
        nHeight = -nHeight;
    // Rows and images must fit in the long sizes that buffers report.
    const LONGLONG llImage = CPictureFormats::ImageSize64(nFormat, nWidth, nHeight);
    if (llImage > LONG_MAX || CPictureFormats::ImageSize64(nFormat, nWidth, 1) > LONG_MAX)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### COverlayMixerCopier::SetProperties( %s ): picture of %i x %i too large\n",
               pszSide, nWidth, nHeight);
        return VFW_E_INVALIDMEDIATYPE;
    }
    const long nOtherWidth = bSource ? m_nWidthDst : m_nWidthSrc;
    if (m_fccType != 0 && nOtherWidth != 0 && (m_fccType != fcc || m_nHeight != nHeight))
    {
        WCHAR szSrc[16], szDst[16];
        const DWORD fccSrc = bSource ? fcc : m_fccType, fccDst = bSource ? m_fccType : fcc;
        const long nHeightSrc = bSource ? nHeight : m_nHeight, nHeightDst = bSource ? m_nHeight : nHeight;
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### COverlayMixerCopier::SetProperties( %s ): properties are different, source %s, height=%u, "
               L"destination %s, height=%u\n",
               pszSide, FccText(fccSrc, szSrc), nHeightSrc, FccText(fccDst, szDst), nHeightDst);
        TRACE_ASSERT_TEXT(false, "COverlayMixerCopier::SetProperties() - properties are different");
        return E_FAIL;
    }
    if (m_fccType == 0 || nOtherWidth == 0)
    {
        m_fccType = fcc;
        m_nFormat = nFormat;
        m_nHeight = nHeight;
    }
    const long cbImage = static_cast<long>(llImage);
    if (bSource)
    {
        m_nWidthSrc = nWidth;
        m_cbImageSrc = cbImage;
    }
    else
    {
        m_nWidthDst = nWidth;
        m_cbImageDst = cbImage;
    }
    return S_OK;
}

HRESULT COverlayMixerCopier::CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, long /*lActual*/, WORD wMask, long cbSrc)
{
    if (!TRACE_ASSERT_TEXT(pDst != NULL, "pDst != NULL"))
        return E_INVALIDARG;
    if (!(wMask & PM_DATA))
        return S_OK;
    if (!TRACE_ASSERT_TEXT(pbSrc != NULL, "pbSrc != NULL"))
        return E_INVALIDARG;
    if (m_fccType == 0 || m_nHeight == 0 || m_nWidthSrc == 0 || m_nWidthDst == 0)
    {
        WCHAR szFcc[16];
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### COverlayMixerCopier::CopyBuffer(): fccType=%s, nWidthSrc=%u, nWidthDst=%u, nHeight=%u\n",
               FccText(m_fccType, szFcc), m_nWidthSrc, m_nWidthDst, m_nHeight);
        TRACE_ASSERT_TEXT(false, "COverlayMixerCopier::CopyBuffer(): bad parameters");
        return E_FAIL;
    }
    BYTE* pbDst = nullptr;
    HRESULT hr = DestinationPointer(pDst, &pbDst, L"COverlayMixerCopier",
                                    "COverlayMixerCopier::CopyBuffer(): GetPointer() FAILED",
                                    "COverlayMixerCopier::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL");
    if (FAILED(hr))
        return hr;
    // The media types promise the picture sizes; the buffers must keep that promise.
    const long cbDst = pDst->GetSize();
    if (cbSrc < m_cbImageSrc || cbDst < m_cbImageDst)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### COverlayMixerCopier::CopyBuffer(): buffers too small, source %i < %i or destination %i < %i\n",
               cbSrc, m_cbImageSrc, cbDst, m_cbImageDst);
        return E_FAIL;
    }
    hr = CPictureFormats::CopyData(pbDst, pbSrc, m_nFormat, m_nWidthSrc, static_cast<long>(m_nHeight), m_nWidthDst, 0);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### COverlayMixerCopier::CopyBuffer(): CPictureFormats::CopyData()=0x%X\n", hr);
        TRACE_ASSERT_TEXT(false, "COverlayMixerCopier::CopyBuffer(): CPictureFormats::CopyData() FAILED");
        return hr;
    }
    if (!(wMask & PM_ACTLEN))
        return S_OK;
    // The destination holds a whole picture of its own row width now: a
    // reused buffer would otherwise report what it held last, and a fresh
    // one its whole size.
    hr = pDst->SetActualDataLength(m_cbImageDst);
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### COverlayMixerCopier::CopyBuffer(): SetActualDataLength( %i )=0x%X\n",
               m_cbImageDst, hr);
    return hr;
}
