// One-line summaries of a media type: the wide one for trace lines and the
// narrow one stored with captured data.
#include <dshowx/DSTypes.h>
#include "DSTypesFormat.h"
#include <dshowx/DSTrace.h>
#include <dshowx/DSFunctions.h>
#include <dshowx/DSParsers.h>
#include <winapi/Functions.h>

#include <stdarg.h>
#include <string.h>

// Format details of the wide summary: picture size and frame time, or the
// audio rate, or what is wrong with the block.
static void MediaTypeDetail(const AM_MEDIA_TYPE* pmt, LPWSTR pszDetail, size_t cchDetail)
{
    if (pmt->pbFormat == nullptr)
    {
        if (!IsEqualGUID(pmt->formattype, GUID_NULL) && !IsEqualGUID(pmt->formattype, FORMAT_None))
            StrCopy(pszDetail, cchDetail, L" ### pmt->pbFormat = NULL");
        return;
    }
    if (IsEqualGUID(pmt->majortype, MEDIATYPE_Video))
    {
        const BITMAPINFOHEADER* pbmih = MTFindBitmapHeader(pmt);
        if (pbmih == nullptr)
        {
            StrFormat(pszDetail, cchDetail, L" ### BITMAPINFOHEADER not found, pmt->cbFormat = %u", pmt->cbFormat);
            return;
        }
        WCHAR szTime[32];
        const VIDEOINFOHEADER* pvih = reinterpret_cast<const VIDEOINFOHEADER*>(pmt->pbFormat);
        StrFormat(pszDetail, cchDetail, L" %d x %d, %s", pbmih->biWidth, pbmih->biHeight,
                  RefTime2Str(pvih->AvgTimePerFrame, szTime));
        return;
    }
    if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx) && pmt->cbFormat >= sizeof(WAVEFORMATEX))
    {
        const WAVEFORMATEX* pwfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->pbFormat);
        StrFormat(pszDetail, cchDetail, L" %u Hz, %u ch x %u bit", pwfx->nSamplesPerSec, pwfx->nChannels,
                  pwfx->wBitsPerSample);
        return;
    }
    StrFormat(pszDetail, cchDetail, L" pmt->cbFormat = %u", pmt->cbFormat);
}

void ParseMediaType(const AM_MEDIA_TYPE* pmt, LPWSTR pszMediaType, size_t cchMax, bool bDetails)
{
    if (!TRACE_ASSERT_TEXT(pszMediaType != NULL, "pszMediaType != NULL && _T(\"ParseMediaType()\")"))
        return;
    if (cchMax == 0)
        return;
    if (pmt == nullptr)
    {
        StrCopy(pszMediaType, cchMax, L"Empty media type\n");
        return;
    }
    WCHAR szDetail[64] = L"";
    if (bDetails)
        MediaTypeDetail(pmt, szDetail, 64);
    WCHAR szMajor[128], szSub[128], szFormat[128];
    StrFormat(pszMediaType, cchMax, L"{ %s / %s / %s }%s", Guid2Name(pmt->majortype, szMajor, 128),
              Guid2Name(pmt->subtype, szSub, 128), Guid2Name(pmt->formattype, szFormat, 128), szDetail);
}

// ---- Narrow summary -------------------------------------------------------------

namespace
{
// Appends whole pieces only: a reader of a stored type never sees a field
// cut in half, and later pieces that still fit are kept.
class CPiecesA
{
public:
    CPiecesA(LPSTR pszBuf, int cbBuf) : m_psz(pszBuf), m_cb(cbBuf) { m_psz[0] = '\0'; }

    void Add(LPCSTR pszFormat, ...)
    {
        char szPiece[1024];
        va_list args;
        va_start(args, pszFormat);
        int n = _vsnprintf(szPiece, sizeof(szPiece), pszFormat, args);
        va_end(args);
        int cbLeft = m_cb - m_cch;
        if (n < 0 || cbLeft <= 1 || n >= cbLeft)
            return;
        memcpy(m_psz + m_cch, szPiece, n + 1);
        m_cch += n;
    }
    int Length() const { return m_cch; }

private:
    LPSTR m_psz;
    int m_cb;
    int m_cch = 0;
};

// GUID name in the narrow code page, for the stored description.
LPCSTR GuidNameA(REFGUID guid, LPSTR pszName, int cbName)
{
    WCHAR szName[128];
    Guid2Name(guid, szName, 128);
    if (WideCharToMultiByte(CP_ACP, 0, szName, -1, pszName, cbName, nullptr, nullptr) == 0)
        pszName[0] = '\0';
    pszName[cbName - 1] = '\0';
    return pszName;
}

LPCSTR TimeA(REFERENCE_TIME t, LPSTR pszTime)
{
    WCHAR szTime[32];
    RefTime2Str(t, szTime);
    int i = 0;
    for (; szTime[i] != L'\0' && i < 31; ++i)
        pszTime[i] = static_cast<char>(szTime[i]);
    pszTime[i] = '\0';
    return pszTime;
}

void AddVideoInfoA(CPiecesA& text, const AM_MEDIA_TYPE* pmt)
{
    const VIDEOINFOHEADER* pvih = reinterpret_cast<const VIDEOINFOHEADER*>(pmt->pbFormat);
    const RECT& rs = pvih->rcSource;
    const RECT& rt = pvih->rcTarget;
    char szTime[32];
    TimeA(pvih->AvgTimePerFrame, szTime);
    if (MTIsVideoInfo1(pmt->formattype))
    {
        text.Add(" | src=[%i,%i:%i,%i], trg=[%i,%i:%i,%i], rate=%u, AvgT=%s", rs.left, rs.top, rs.right,
                 rs.bottom, rt.left, rt.top, rt.right, rt.bottom, pvih->dwBitRate, szTime);
        return;
    }
    const VIDEOINFOHEADER2* pvih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(pmt->pbFormat);
    text.Add(" | src=[%i,%i:%i,%i], trg=[%i,%i:%i,%i], rate=%u, AvgT=%s, ilace=0x%X%s, ar=%i:%i, ctrl=0x%X",
             rs.left, rs.top, rs.right, rs.bottom, rt.left, rt.top, rt.right, rt.bottom, pvih2->dwBitRate, szTime,
             pvih2->dwInterlaceFlags, (pvih2->dwInterlaceFlags & 1) ? " (INTERLACED)" : "",
             pvih2->dwPictAspectRatioX, pvih2->dwPictAspectRatioY, pvih2->dwControlFlags);
    if (IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video) && pmt->cbFormat >= sizeof(MPEG2VIDEOINFO))
    {
        const MPEG2VIDEOINFO* pm2 = reinterpret_cast<const MPEG2VIDEOINFO*>(pmt->pbFormat);
        text.Add(" | startCode=0x%X, cbHeader=%u, profile=%u, level=%u, flags=0x%X, seqHeader[0]=0x%X",
                 pm2->dwStartTimeCode, pm2->cbSequenceHeader, pm2->dwProfile, pm2->dwLevel, pm2->dwFlags,
                 pm2->dwSequenceHeader[0]);
    }
}
} // namespace

int MTToTextA(const AM_MEDIA_TYPE* pmt, LPSTR pszBuf, int cbBuf)
{
    if (!TRACE_ASSERT(pszBuf != NULL))
        return 0;
    if (!TRACE_ASSERT(1 < cbBuf))
        return 0;
    CPiecesA text(pszBuf, cbBuf);
    if (pmt == nullptr)
    {
        text.Add("MT: NULL ######");
        return text.Length();
    }
    char szMajor[256], szSub[256], szFormat[256];
    text.Add("MT: { %s / %s / %s }, size=%i, cbForm=%i, fix:%c, compr:%c", GuidNameA(pmt->majortype, szMajor, 256),
             GuidNameA(pmt->subtype, szSub, 256), GuidNameA(pmt->formattype, szFormat, 256), pmt->lSampleSize,
             pmt->cbFormat, pmt->bFixedSizeSamples ? 'Y' : 'N', pmt->bTemporalCompression ? 'Y' : 'N');
    if (pmt->pUnk != nullptr)
        text.Add(", @@@@ pUnk = 0x%p", static_cast<void*>(pmt->pUnk));
    if (pmt->cbFormat == 0 || pmt->pbFormat == nullptr)
    {
        if (pmt->cbFormat == 0 && pmt->pbFormat == nullptr)
            text.Add(", cbFormat=0, pbFormat=NULL");
        else
            text.Add(", ### cbFormat=%u, pbFormat=0x%p", pmt->cbFormat, static_cast<void*>(pmt->pbFormat));
        return text.Length();
    }
    // Each record below is decoded only when the block holds all of it.
    if (IsEqualGUID(pmt->formattype, FORMAT_DvInfo))
    {
        if (pmt->cbFormat >= sizeof(DVINFO))
        {
            const DVINFO* pdv = reinterpret_cast<const DVINFO*>(pmt->pbFormat);
            text.Add(" | DVI: ASrc=%X, ACtl=%X, ASrc1=%X, ACtl1=%X, VSrc=%X, VCtl=%X, Res[0]=%X, Res[1]=%X",
                     pdv->dwDVAAuxSrc, pdv->dwDVAAuxCtl, pdv->dwDVAAuxSrc1, pdv->dwDVAAuxCtl1, pdv->dwDVVAuxSrc,
                     pdv->dwDVVAuxCtl, pdv->dwDVReserved[0], pdv->dwDVReserved[1]);
        }
        return text.Length();
    }
    if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx))
    {
        if (pmt->cbFormat < sizeof(WAVEFORMATEX))
            return text.Length();
        const WAVEFORMATEX* pwfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->pbFormat);
        if (pwfx->cbSize == 22 && pmt->cbFormat >= sizeof(WAVEFORMATEXTENSIBLE))
        {
            const WAVEFORMATEXTENSIBLE* pwfe = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx);
            char szSubFormat[256];
            text.Add(" | WF: Tag=0x%X, chan=%i, nPerSec=%i, nAvg=%i, align=%i, bits=%i, size=%i | validBits=%i, "
                     "ChMask=0x%X, SubFormat=%s",
                     pwfx->wFormatTag, pwfx->nChannels, pwfx->nSamplesPerSec, pwfx->nAvgBytesPerSec,
                     pwfx->nBlockAlign, pwfx->wBitsPerSample, pwfx->cbSize, pwfe->Samples.wValidBitsPerSample,
                     pwfe->dwChannelMask, GuidNameA(pwfe->SubFormat, szSubFormat, 256));
        }
        else
        {
            text.Add(" | WF: Tag=0x%X, chan=%i, nPerSec=%i, nAvg=%i, align=%i, bits=%i, size=%i", pwfx->wFormatTag,
                     pwfx->nChannels, pwfx->nSamplesPerSec, pwfx->nAvgBytesPerSec, pwfx->nBlockAlign,
                     pwfx->wBitsPerSample, pwfx->cbSize);
        }
        return text.Length();
    }
    if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Video))
        return text.Length();
    const BITMAPINFOHEADER* pbmih = MTFindBitmapHeader(pmt);
    if (pbmih == nullptr)
        return text.Length();
    AddVideoInfoA(text, pmt);
    WCHAR szFcc[64];
    char szFccA[64];
    Fourcc2Name(pbmih->biCompression, szFcc);
    int i = 0;
    for (; szFcc[i] != L'\0' && i < 63; ++i)
        szFccA[i] = static_cast<char>(szFcc[i]);
    szFccA[i] = '\0';
    text.Add(" | BMIH: size=%i, %ix%i, planes=%i, bits=%i, compress=%s, sizeImg=%i", pbmih->biSize, pbmih->biWidth,
             pbmih->biHeight, pbmih->biPlanes, pbmih->biBitCount, szFccA, pbmih->biSizeImage);
    return text.Length();
}
