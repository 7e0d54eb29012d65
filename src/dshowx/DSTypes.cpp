// Media type value: deep copies, content comparison, the serialised form.
#include <dshowx/DSTypes.h>
#include <dshowx/DSTrace.h>
#include "DSTypesFormat.h"
#include <cstddef>
#include <amvideo.h>
#include <dvdmedia.h>
#include <uuids.h>
#include <vfwmsgs.h>
#include <string.h>
#include <algorithm>

// The minimum sizes of the video format types are those of the 32-bit
// platform; none of these records holds a pointer, so both builds agree.
static_assert(sizeof(VIDEOINFOHEADER) == 88 && sizeof(MPEG1VIDEOINFO) == 104, "video header sizes");
static_assert(sizeof(VIDEOINFOHEADER2) == 112 && sizeof(MPEG2VIDEOINFO) == 136, "video header sizes");

void MTInit(AM_MEDIA_TYPE* pmt, REFGUID major, REFGUID sub)
{
    if (!TRACE_ASSERT(pmt != NULL))
        return;
    memset(pmt, 0, sizeof(*pmt));
    pmt->majortype = major;
    pmt->subtype = sub;
    pmt->bFixedSizeSamples = TRUE;
    pmt->lSampleSize = 1;
}

BYTE* MTAllocFormat(ULONG cb, const void* pSrc)
{
    if (!TRACE_ASSERT(cb > 0))
        return nullptr;
    BYTE* pb = static_cast<BYTE*>(CoTaskMemAlloc(cb));
    if (pb == nullptr)
    {
        TRACE_ASSERT_TEXT(false, "!_T(\"MTAllocFormat() : CoTaskMemAlloc() == NULL\")");
        return nullptr;
    }
    if (pSrc != nullptr)
        memcpy(pb, pSrc, cb);
    else
        memset(pb, 0, cb);
    return pb;
}

HRESULT MTCopyFormat(const AM_MEDIA_TYPE* pmt, BYTE** ppbFormat)
{
    if (!TRACE_ASSERT(pmt != NULL))
        return E_INVALIDARG;
    if (!TRACE_ASSERT(ppbFormat != NULL))
        return E_POINTER;
    *ppbFormat = nullptr;
    if (pmt->pbFormat != nullptr)
    {
        if (!TRACE_ASSERT(pmt->cbFormat != 0))
            return E_UNEXPECTED;
        *ppbFormat = MTAllocFormat(pmt->cbFormat, pmt->pbFormat);
        return *ppbFormat != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    if (!TRACE_ASSERT(pmt->cbFormat == 0))
        return E_UNEXPECTED;
    return S_OK;
}

HRESULT MTCopy(AM_MEDIA_TYPE* pDst, const AM_MEDIA_TYPE* pSrc)
{
    if (!TRACE_ASSERT(pDst != NULL))
        return E_INVALIDARG;
    BYTE* pbFormat = nullptr;
    HRESULT hr = MTCopyFormat(pSrc, &pbFormat);
    if (FAILED(hr))
        return hr;
    *pDst = *pSrc;
    pDst->pbFormat = pbFormat;
    if (pDst->pUnk != nullptr)
        pDst->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* MTDup(const AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return nullptr;
    AM_MEDIA_TYPE* pDup = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (pDup == nullptr)
    {
        TRACE_ASSERT_TEXT(false, "!_T(\"MTDup() : CoTaskMemAlloc() == NULL\")");
        return nullptr;
    }
    if (FAILED(MTCopy(pDup, pmt)))
    {
        CoTaskMemFree(pDup);
        return nullptr;
    }
    return pDup;
}

// Frees what a record owns without touching the other fields.
static void MTFreeOwned(AM_MEDIA_TYPE* pmt)
{
    if (pmt->pbFormat != nullptr)
        CoTaskMemFree(pmt->pbFormat);
    pmt->pbFormat = nullptr;
    pmt->cbFormat = 0;
    if (pmt->pUnk != nullptr)
        pmt->pUnk->Release();
    pmt->pUnk = nullptr;
}

void MTDelete(AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return;
    MTFreeOwned(pmt);
    CoTaskMemFree(pmt);
}

void MTClear(AM_MEDIA_TYPE* pmt, REFGUID major, REFGUID sub)
{
    if (!TRACE_ASSERT(pmt != NULL))
        return;
    MTFreeOwned(pmt);
    MTInit(pmt, major, sub);
}

// Base GUID of subtypes built from a FOURCC: {xxxxxxxx-0000-0010-8000-00AA00389B71}.
static const BYTE s_abFourccTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

static bool IsPrintableCode(DWORD fcc)
{
    for (int i = 0; i < 4; ++i)
    {
        BYTE b = static_cast<BYTE>(fcc >> (8 * i));
        if (b < 32 || b > 126)
            return false;
    }
    return true;
}

static DWORD LowerCode(DWORD fcc)
{
    DWORD r = 0;
    for (int i = 0; i < 4; ++i)
    {
        BYTE b = static_cast<BYTE>(fcc >> (8 * i));
        if (b >= 'A' && b <= 'Z')
            b = static_cast<BYTE>(b - 'A' + 'a');
        r |= static_cast<DWORD>(b) << (8 * i);
    }
    return r;
}

// Codecs register the same FOURCC in either case (H264 and h264).
static bool SubtypesEquivalent(const GUID& a, const GUID& b)
{
    const BYTE* pa = reinterpret_cast<const BYTE*>(&a);
    const BYTE* pb = reinterpret_cast<const BYTE*>(&b);
    if (memcmp(pa + 4, pb + 4, 12) != 0)
        return false;
    if (a.Data1 == b.Data1)
        return true;
    if (memcmp(pa + 4, s_abFourccTail, 12) != 0)
        return false;
    if (!IsPrintableCode(a.Data1) || !IsPrintableCode(b.Data1))
        return false;
    return LowerCode(a.Data1) == LowerCode(b.Data1);
}

bool MTIsEqual(const AM_MEDIA_TYPE* pa, const AM_MEDIA_TYPE* pb)
{
    if (pa == nullptr || pb == nullptr)
        return false;
    if (pa == pb)
        return true;
    if (!IsEqualGUID(pa->majortype, pb->majortype))
        return false;
    if (!SubtypesEquivalent(pa->subtype, pb->subtype))
        return false;
    if (!IsEqualGUID(pa->formattype, pb->formattype) || pa->cbFormat != pb->cbFormat)
        return false;
    if (pa->cbFormat == 0)
        return true;
    if (pa->pbFormat == nullptr || pb->pbFormat == nullptr)
        return pa->pbFormat == pb->pbFormat;
    return memcmp(pa->pbFormat, pb->pbFormat, pa->cbFormat) == 0;
}

HRESULT MTCheckVideo(const AM_MEDIA_TYPE* pmt, bool bOnly2)
{
    if (!TRACE_ASSERT(pmt != NULL))
        return E_POINTER;
    if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Video))
        return VFW_E_INVALIDMEDIATYPE;
    if (IsEqualGUID(pmt->subtype, GUID_NULL))
        return VFW_E_INVALIDSUBTYPE;
    if (pmt->pbFormat == nullptr)
        return VFW_E_INVALIDMEDIATYPE;
    ULONG cbMin = 0;
    if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2))
        cbMin = sizeof(VIDEOINFOHEADER2);
    else if (IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video))
        cbMin = sizeof(MPEG2VIDEOINFO);
    else if (!bOnly2 && IsEqualGUID(pmt->formattype, FORMAT_VideoInfo))
        cbMin = sizeof(VIDEOINFOHEADER);
    else if (!bOnly2 && IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo))
        cbMin = sizeof(MPEG1VIDEOINFO);
    else
        return VFW_E_INVALIDMEDIATYPE;
    return pmt->cbFormat < cbMin ? VFW_E_INVALIDMEDIATYPE : S_OK;
}

HRESULT CMTHelp::MTParseVideo(const AM_MEDIA_TYPE* pmt, DWORD* pFourcc, LONG* pWidth, LONG* pHeight,
                              DWORD* pImageSize)
{
    if (pFourcc)
        *pFourcc = 0;
    if (pWidth)
        *pWidth = 0;
    if (pHeight)
        *pHeight = 0;
    if (pImageSize)
        *pImageSize = 0;
    HRESULT hr = MTCheckVideo(pmt, false);
    if (FAILED(hr))
        return hr;
    bool b1 = MTIsVideoInfo1(pmt->formattype);
    const BITMAPINFOHEADER* pbmih = reinterpret_cast<const BITMAPINFOHEADER*>(
        pmt->pbFormat + (b1 ? offsetof(VIDEOINFOHEADER, bmiHeader) : offsetof(VIDEOINFOHEADER2, bmiHeader)));
    if (pFourcc)
        *pFourcc = pmt->subtype.Data1;
    if (pWidth)
        *pWidth = pbmih->biWidth;
    if (pHeight)
        *pHeight = pbmih->biHeight;
    if (pImageSize)
        *pImageSize = pbmih->biSizeImage;
    return S_OK;
}

// ---- CMType ---------------------------------------------------------------

CMType::CMType() { MTInit(this); }

CMType::CMType(REFGUID major, REFGUID sub) { MTInit(this, major, sub); }

CMType::CMType(const AM_MEDIA_TYPE& mt) : AM_MEDIA_TYPE()
{
    MTInit(this);
    if (FAILED(Set(&mt)))
        TRACE_ASSERT_TEXT(false, "!_T(\"CMType(const CMType& mt) FAILED\")");
}

CMType::CMType(const CMType& mt) : AM_MEDIA_TYPE()
{
    MTInit(this);
    if (FAILED(Set(&mt)))
        TRACE_ASSERT_TEXT(false, "!_T(\"CMType(const CMType& mt) FAILED\")");
}

CMType::~CMType() { Clear(); }

CMType& CMType::operator=(const AM_MEDIA_TYPE& mt)
{
    Set(&mt);
    return *this;
}

CMType& CMType::operator=(const CMType& mt)
{
    Set(&mt);
    return *this;
}

HRESULT CMType::Set(const AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
    {
        Clear();
        return S_OK;
    }
    if (pmt == this)
        return S_OK;
    BYTE* pbFormat = nullptr;
    HRESULT hr = MTCopyFormat(pmt, &pbFormat);
    if (FAILED(hr))
        return hr;
    // Reference the new object before releasing the old: they may be the same.
    if (pmt->pUnk != nullptr)
        pmt->pUnk->AddRef();
    MTFreeOwned(this);
    *static_cast<AM_MEDIA_TYPE*>(this) = *pmt;
    this->pbFormat = pbFormat;
    return S_OK;
}

void CMType::Clear() { MTClear(this); }

HRESULT CMType::CopyTo(AM_MEDIA_TYPE* pmt) const { return MTCopy(pmt, this); }

HRESULT CMType::Duplicate(AM_MEDIA_TYPE** ppmt) const
{
    if (!TRACE_ASSERT(ppmt != NULL))
        return E_POINTER;
    *ppmt = MTDup(this);
    return *ppmt != nullptr ? S_OK : E_FAIL;
}

const WAVEFORMATEX* CMType::GetWaveFormatEx() const
{
    if (!IsEqualGUID(formattype, FORMAT_WaveFormatEx) || pbFormat == nullptr)
        return nullptr;
    // Callers read all 18 bytes of the header; a shorter block has none.
    if (!TRACE_ASSERT(cbFormat >= sizeof(WAVEFORMATEX)))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEX*>(pbFormat);
}

// ---- Serialised form ----------------------------------------------------------

static void PutDword(BYTE* pb, DWORD dw) { memcpy(pb, &dw, 4); }

ULONG MTToBuffer(const AM_MEDIA_TYPE* pmt, BYTE* pbBuf, ULONG cbBuf)
{
    if (!TRACE_ASSERT(pbBuf != NULL))
        return 0;
    if (!TRACE_ASSERT(MTBUF_MIN_SIZE(0) <= cbBuf))
        return 0;
    bool bFormat = pmt != nullptr && pmt->pbFormat != nullptr && pmt->cbFormat != 0;
    ULONG cbFormat = bFormat ? pmt->cbFormat : 0;
    // 64-bit sums: a format size near 4 GB must not wrap to a small block.
    ULONGLONG cbContent = pmt == nullptr ? 4 : 4ULL + MTBUF_RECORD_SIZE + cbFormat;
    ULONGLONG cbFirst64 = (cbContent + 15) & ~15ULL;
    if (cbFirst64 + 16 > cbBuf)
        return 0;
    ULONG cbFirst = static_cast<ULONG>(cbFirst64);

    memset(pbBuf, 0, cbFirst);
    PutDword(pbBuf, cbFirst);
    if (pmt != nullptr)
    {
        MTBUF_RECORD rec = {};
        rec.majortype = pmt->majortype;
        rec.subtype = pmt->subtype;
        rec.bFixedSizeSamples = static_cast<DWORD>(pmt->bFixedSizeSamples);
        rec.bTemporalCompression = static_cast<DWORD>(pmt->bTemporalCompression);
        rec.lSampleSize = pmt->lSampleSize;
        rec.formattype = pmt->formattype;
        rec.pUnk = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(pmt->pUnk));
        rec.cbFormat = cbFormat;
        rec.pbFormat = bFormat ? static_cast<DWORD>(reinterpret_cast<UINT_PTR>(pmt->pbFormat)) : 0;
        BYTE* p = pbBuf + 4;
        memcpy(p, &rec, sizeof(rec));
        if (bFormat)
            memcpy(p + MTBUF_RECORD_SIZE, pmt->pbFormat, cbFormat);
    }

    // The second block's zero padding must stay inside the buffer too, so the
    // text gets the room left rounded down to whole 16-byte units.
    ULONG cbLeft = (cbBuf - cbFirst) & ~15UL;
    BYTE* pSecond = pbBuf + cbFirst;
    // The description is one line; a huge buffer need not be offered whole.
    int cch = MTToTextA(pmt, reinterpret_cast<LPSTR>(pSecond + 4), static_cast<int>(std::min(cbLeft - 4, 4096UL)));
    ULONG cbSecond = MTBUF_ROUND(static_cast<ULONG>(cch) + 5);
    PutDword(pSecond, cbSecond);
    memset(pSecond + 4 + cch, 0, cbSecond - 4 - cch);
    return cbFirst + cbSecond;
}
