// Multi-line traces of media types and of the headers inside their format
// blocks. Format blocks come from neighbour filters: every record is read
// only when the block really holds it.
#include <dshowx/DSTypes.h>
#include <dshowx/DSTrace.h>
#include <dshowx/DSTraceSample.h>
#include <dshowx/DSFunctions.h>
#include <dshowx/DSParsers.h>
#include <winapi/ComPtr.h>
#include <winapi/Functions.h>
#include "DSTypesFormat.h"

#include <algorithm>
#include <vector>

namespace
{
// Codec headers are dumped up to this many bytes (64 dump lines).
constexpr ULONG MAX_HEADER_DUMP = 1024;

bool TraceOff(DWORD dwCategory, DWORD dwLevel) { return dwCategory == 0 || dwLevel > TRACE_LEVEL_CALL; }

LPCWSTR YesNo(BOOL b) { return b ? L"Y" : L"N"; }

// The prefix with one space added, or empty for null.
void PrefixWithSpace(LPCWSTR pszPrefix, LPWSTR pszOut, size_t cchOut)
{
    if (pszPrefix == nullptr)
        StrCopy(pszOut, cchOut, L"");
    else
        StrFormat(pszOut, cchOut, L"%s ", pszPrefix);
}

void DumpSequenceHeader(DWORD dwCategory, DWORD dwLevel, const AM_MEDIA_TYPE* pmt)
{
    const MPEG2VIDEOINFO* pm2 = reinterpret_cast<const MPEG2VIDEOINFO*>(pmt->pbFormat);
    const ULONG cbAvail = pmt->cbFormat - offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
    const ULONG cbHeader = std::min<ULONG>(pm2->cbSequenceHeader, cbAvail);
    if (cbHeader <= MAX_HEADER_DUMP)
        Debug_Memory(dwCategory, dwLevel, static_cast<long>(cbHeader), pm2->dwSequenceHeader,
                     L"dwSequenceHeader[] bytes: ", false);
    else
        Debug_Memory(dwCategory, dwLevel, MAX_HEADER_DUMP, pm2->dwSequenceHeader,
                     L"dwSequenceHeader[] first 1024 bytes: ", false);
}

void DebugVideoFormat(DWORD dwCategory, DWORD dwLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR pszPrefix)
{
    const BITMAPINFOHEADER* pbmih = MTFindBitmapHeader(pmt);
    if (pbmih == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"### %sBITMAPINFOHEADER not found, cbFormat = %u\n", pszPrefix,
               pmt->cbFormat);
        return;
    }
    const VIDEOINFOHEADER* pvih = reinterpret_cast<const VIDEOINFOHEADER*>(pmt->pbFormat);
    const RECT& rs = pvih->rcSource;
    const RECT& rt = pvih->rcTarget;
    WCHAR szTime[32];
    TraceW(dwCategory, dwLevel, L"%ssrc=[%i,%i:%i,%i], targ=[%i,%i:%i,%i], rate=%u, errRate=%u, AvgT=%s\n",
           pszPrefix, rs.left, rs.top, rs.right, rs.bottom, rt.left, rt.top, rt.right, rt.bottom, pvih->dwBitRate,
           pvih->dwBitErrorRate, RefTime2Str(pvih->AvgTimePerFrame, szTime));
    if (MTIsVideoInfo1(pmt->formattype))
    {
        int cbExtra = IsEqualGUID(pmt->formattype, FORMAT_VideoInfo)
                          ? static_cast<int>(pmt->cbFormat - sizeof(VIDEOINFOHEADER))
                          : 0;
        Debug_BitmapInfoHeader(dwCategory, dwLevel, pbmih, cbExtra, pszPrefix);
        return;
    }
    const VIDEOINFOHEADER2* pvih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(pmt->pbFormat);
    TraceW(dwCategory, dwLevel, L"%silace=0x%X%s, copProt=0x%X, aspect={%i,%i}, ctrl=0x%X\n", pszPrefix,
           pvih2->dwInterlaceFlags, (pvih2->dwInterlaceFlags & 1) ? L" (INTERLACED)" : L"",
           pvih2->dwCopyProtectFlags, pvih2->dwPictAspectRatioX, pvih2->dwPictAspectRatioY, pvih2->dwControlFlags);
    if (pvih2->dwControlFlags != 0)
        TraceW(dwCategory, dwLevel, L"### %sControl flags are set !!!\n", pszPrefix);
    const bool bMpeg2 = IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video);
    if (bMpeg2 && pmt->cbFormat >= sizeof(MPEG2VIDEOINFO))
    {
        const MPEG2VIDEOINFO* pm2 = reinterpret_cast<const MPEG2VIDEOINFO*>(pmt->pbFormat);
        TraceW(dwCategory, dwLevel,
               L"%sstartCode=0x%X, cbHeader=%u, profile=%u, level=%u, flags=0x%X, seqHeader[0]=0x%X\n", pszPrefix,
               pm2->dwStartTimeCode, pm2->cbSequenceHeader, pm2->dwProfile, pm2->dwLevel, pm2->dwFlags,
               pm2->dwSequenceHeader[0]);
        DumpSequenceHeader(dwCategory, dwLevel, pmt);
    }
    else if (bMpeg2)
    {
        TraceW(dwCategory, dwLevel, L"### %sMPEG2VIDEOINFO not found, cbFormat = %u\n", pszPrefix, pmt->cbFormat);
    }
    int cbExtra = bMpeg2 ? 0 : static_cast<int>(pmt->cbFormat - sizeof(VIDEOINFOHEADER2));
    Debug_BitmapInfoHeader(dwCategory, dwLevel, pbmih, cbExtra, pszPrefix);
}

// The names of the analogue video standards set in a mask, joined by "|".
void VideoStandardText(ULONG ulStandard, LPWSTR pszText, size_t cchText)
{
    static const LPCWSTR s_apszNames[] = {
        L"NTSC_M", L"NTSC_M_J", L"NTSC_433", nullptr,    L"PAL_B",   L"PAL_D",    L"PAL_G",
        L"PAL_H",  L"PAL_I",    L"PAL_M",    L"PAL_N",   L"PAL_60",  L"SECAM_B",  L"SECAM_D",
        L"SECAM_G", L"SECAM_H", L"SECAM_K",  L"SECAM_K1", L"SECAM_L", L"SECAM_L1", L"PAL_N_COMBO"};
    StrCopy(pszText, cchText, L"");
    for (int nBit = 0; nBit < 32; ++nBit)
    {
        if ((ulStandard & (1UL << nBit)) == 0)
            continue;
        LPCWSTR pszName = nBit < static_cast<int>(ARRAYSIZE(s_apszNames)) ? s_apszNames[nBit] : nullptr;
        StrAppend(pszText, cchText, L"%s%s", pszText[0] != L'\0' ? L"|" : L"", pszName ? pszName : L"UNK");
    }
}

void DebugVideoCaps(DWORD dwCategory, DWORD dwLevel, const VIDEO_STREAM_CONFIG_CAPS& c, LPCWSTR pszLabel)
{
    WCHAR szGuid[128], szStandards[512], szMin[32], szMax[32];
    VideoStandardText(c.VideoStandard, szStandards, ARRAYSIZE(szStandards));
    TraceW(dwCategory, dwLevel, L"%sguid: %s, VideoStandard: %s (0x%X)\n", pszLabel,
           Guid2Name(c.guid, szGuid, 128), szStandards, c.VideoStandard);
    TraceW(dwCategory, dwLevel, L"%sInputSize: [%i,%i], MinCroppingSize: [%i,%i], MaxCroppingSize: [%i,%i]\n",
           pszLabel, c.InputSize.cx, c.InputSize.cy, c.MinCroppingSize.cx, c.MinCroppingSize.cy,
           c.MaxCroppingSize.cx, c.MaxCroppingSize.cy);
    TraceW(dwCategory, dwLevel, L"%sCropGranularityX=%i, CropGranularityY=%i, CropAlignX=%i, CropAlignY=%i\n",
           pszLabel, c.CropGranularityX, c.CropGranularityY, c.CropAlignX, c.CropAlignY);
    TraceW(dwCategory, dwLevel,
           L"%sMinOutputSize: [%i,%i], MaxOutputSize: [%i,%i], OutputGranularityX=%i, OutputGranularityY=%i\n",
           pszLabel, c.MinOutputSize.cx, c.MinOutputSize.cy, c.MaxOutputSize.cx, c.MaxOutputSize.cy,
           c.OutputGranularityX, c.OutputGranularityY);
    TraceW(dwCategory, dwLevel, L"%sStretchTapsX=%i, StretchTapsY=%i, ShrinkTapsX=%i, ShrinkTapsY=%i\n", pszLabel,
           c.StretchTapsX, c.StretchTapsY, c.ShrinkTapsX, c.ShrinkTapsY);
    TraceW(dwCategory, dwLevel,
           L"%sMinFrameInterval=%s, MaxFrameInterval=%s, MinBitsPerSecond=%i, MaxBitsPerSecond=%i\n", pszLabel,
           RefTime2Str(c.MinFrameInterval, szMin), RefTime2Str(c.MaxFrameInterval, szMax), c.MinBitsPerSecond,
           c.MaxBitsPerSecond);
}

void DebugAudioCaps(DWORD dwCategory, DWORD dwLevel, const AUDIO_STREAM_CONFIG_CAPS& c, LPCWSTR pszLabel)
{
    WCHAR szGuid[128];
    TraceW(dwCategory, dwLevel, L"%sguid: %s, MinimumChannels=%u, MaximumChannels=%u, ChannelsGranularity=%u\n",
           pszLabel, Guid2Name(c.guid, szGuid, 128), c.MinimumChannels, c.MaximumChannels, c.ChannelsGranularity);
    TraceW(dwCategory, dwLevel,
           L"%sMinimumBitsPerSample=%u, MaximumBitsPerSample=%u, BitsPerSampleGranularity=%u\n", pszLabel,
           c.MinimumBitsPerSample, c.MaximumBitsPerSample, c.BitsPerSampleGranularity);
    TraceW(dwCategory, dwLevel,
           L"%sMinimumSampleFrequency=%u, MaximumSampleFrequency=%u, SampleFrequencyGranularity=%u\n", pszLabel,
           c.MinimumSampleFrequency, c.MaximumSampleFrequency, c.SampleFrequencyGranularity);
}
} // namespace

void Debug_MediaType(DWORD dwCategory, DWORD dwLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR pszPrefix)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    if (pmt == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### Debug_MediaType(): Empty media type pointer\n");
        return;
    }
    WCHAR szPrefix[256];
    if (pszPrefix == nullptr)
        StrCopy(szPrefix, ARRAYSIZE(szPrefix), L"MT: ");
    else
        PrefixWithSpace(pszPrefix, szPrefix, ARRAYSIZE(szPrefix));
    // The audio and DV descriptions add the space themselves.
    WCHAR szBare[256];
    StrCopy(szBare, ARRAYSIZE(szBare), szPrefix);
    szBare[wcslen(szBare) - 1] = L'\0';

    WCHAR szType[128];
    ParseMediaType(pmt, szType, ARRAYSIZE(szType), false);
    TraceW(dwCategory, dwLevel, L"%s%s, size=%i, cbForm=%i, fix:%s, compr:%s\n", szPrefix, szType, pmt->lSampleSize,
           pmt->cbFormat, YesNo(pmt->bFixedSizeSamples), YesNo(pmt->bTemporalCompression));
    if (pmt->pUnk != nullptr)
        TraceW(dwCategory, dwLevel, L"%s@@@@ pUnk = 0x%p\n", szPrefix, static_cast<void*>(pmt->pUnk));

    if ((pmt->cbFormat == 0) != (pmt->pbFormat == nullptr))
    {
        TraceW(dwCategory, dwLevel,
               L"###Err### Debug_MediaType(): bad format parameters, cbFormat=%i, pbFormat=0x%X\n", pmt->cbFormat,
               static_cast<DWORD>(reinterpret_cast<UINT_PTR>(pmt->pbFormat)));
    }
    else if (pmt->pbFormat != nullptr)
    {
        if (MTIsVideoInfo1(pmt->formattype) || MTIsVideoInfo2(pmt->formattype))
            DebugVideoFormat(dwCategory, dwLevel, pmt, szPrefix);
        else if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx))
            Debug_WaveFormatEx(dwCategory, dwLevel, reinterpret_cast<const WAVEFORMATEX*>(pmt->pbFormat), szBare,
                               pmt->cbFormat);
        else if (IsEqualGUID(pmt->formattype, FORMAT_DvInfo))
            Debug_DvInfo(dwCategory, dwLevel, reinterpret_cast<const DVINFO*>(pmt->pbFormat), szBare,
                         pmt->cbFormat);
    }
    TraceW(dwCategory, dwLevel, L"\n");
}

void Debug_BitmapInfoHeader(DWORD dwCategory, DWORD dwLevel, const BITMAPINFOHEADER* pbmih, int cbExtra,
                            LPCWSTR pszPrefix)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    WCHAR szPrefix[256];
    StrCopy(szPrefix, ARRAYSIZE(szPrefix), pszPrefix);
    size_t cch = wcslen(szPrefix);
    if (cch > 0 && szPrefix[cch - 1] != L' ')
        StrAppend(szPrefix, ARRAYSIZE(szPrefix), L" ");
    if (pbmih == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_BitmapInfoHeader(): Empty header pointer\n", szPrefix);
        return;
    }
    WCHAR szMasks[64] = L"";
    const DWORD* pdwMasks = reinterpret_cast<const DWORD*>(pbmih + 1);
    if (cbExtra == 12)
        StrFormat(szMasks, ARRAYSIZE(szMasks), L", RGB mask [%08X, %08X, %08X]", pdwMasks[0], pdwMasks[1],
                  pdwMasks[2]);
    else if (cbExtra == 16)
        StrFormat(szMasks, ARRAYSIZE(szMasks), L", color mask [%08X, %08X, %08X, %08X]", pdwMasks[0], pdwMasks[1],
                  pdwMasks[2], pdwMasks[3]);
    WCHAR szFcc[64];
    TraceW(dwCategory, dwLevel,
           L"%sBITMAPINFOHEADER: size=%i, w=%i, h=%i, planes=%i, bits=%i, compress=%s, sizeImg=%i%s\n", szPrefix,
           pbmih->biSize, pbmih->biWidth, pbmih->biHeight, pbmih->biPlanes, pbmih->biBitCount,
           Fourcc2Name(pbmih->biCompression, szFcc), pbmih->biSizeImage, szMasks);

    WCHAR szMore[128] = L"";
    if (pbmih->biXPelsPerMeter != 0 || pbmih->biYPelsPerMeter != 0)
        StrFormat(szMore, ARRAYSIZE(szMore), L"XPels=%i, YPels=%i", pbmih->biXPelsPerMeter, pbmih->biYPelsPerMeter);
    if (pbmih->biClrUsed != 0 || pbmih->biClrImportant != 0)
        StrAppend(szMore, ARRAYSIZE(szMore), L"%sClrUsed=%u, ClrImp=%u", szMore[0] != L'\0' ? L", " : L"",
                  pbmih->biClrUsed, pbmih->biClrImportant);
    if (szMore[0] != L'\0')
        TraceW(dwCategory, dwLevel, L"%sBITMAPINFOHEADER: %s\n", szPrefix, szMore);
}

void Debug_WaveFormatEx(DWORD dwCategory, DWORD dwLevel, const WAVEFORMATEX* pwfx, LPCWSTR pszPrefix,
                        ULONG cbFormat)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    if (pwfx == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### Debug_WaveFormatEx() : Empty WAVEFORMATEX pointer\n");
        return;
    }
    WCHAR szPrefix[256];
    PrefixWithSpace(pszPrefix, szPrefix, ARRAYSIZE(szPrefix));
    if (cbFormat < sizeof(WAVEFORMATEX))
    {
        TraceW(dwCategory, dwLevel, L"### %sWAVEFORMATEX not found, cbFormat = %u\n", szPrefix, cbFormat);
        return;
    }
    TraceW(dwCategory, dwLevel,
           L"%sWAVEFORMATEX: Tag=0x%X, chan=%i, nPerSec=%i, nAvg=%i, align=%i, bits=%i  size=%i\n", szPrefix,
           pwfx->wFormatTag, pwfx->nChannels, pwfx->nSamplesPerSec, pwfx->nAvgBytesPerSec, pwfx->nBlockAlign,
           pwfx->wBitsPerSample, pwfx->cbSize);
    if (pwfx->cbSize == 0)
        return;
    if (pwfx->cbSize == 22 && cbFormat >= sizeof(WAVEFORMATEXTENSIBLE))
    {
        const WAVEFORMATEXTENSIBLE* pwfe = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx);
        WCHAR szSub[128];
        TraceW(dwCategory, dwLevel,
               L"%sWAVEFORMATEXTENSIBLE: ValidBitsPerSample=%i, ChannelMask=0x%X, SubFormat=%s\n", szPrefix,
               pwfe->Samples.wValidBitsPerSample, pwfe->dwChannelMask, Guid2Name(pwfe->SubFormat, szSub, 128));
        return;
    }
    // Only the extra bytes that the block really holds.
    const ULONG cbExtra = std::min<ULONG>(pwfx->cbSize, cbFormat - sizeof(WAVEFORMATEX));
    const BYTE* pbExtra = reinterpret_cast<const BYTE*>(pwfx) + sizeof(WAVEFORMATEX);
    if (cbExtra <= MAX_HEADER_DUMP)
        Debug_Memory(dwCategory, dwLevel, static_cast<long>(cbExtra), pbExtra, L"WAVEFORMATEX extra bytes: ", false);
    else
        Debug_Memory(dwCategory, dwLevel, MAX_HEADER_DUMP, pbExtra, L"WAVEFORMATEX first 1024 extra bytes: ",
                     false);
}

void Debug_DvInfo(DWORD dwCategory, DWORD dwLevel, const DVINFO* pdv, LPCWSTR pszPrefix, ULONG cbFormat)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    WCHAR szPrefix[256];
    PrefixWithSpace(pszPrefix, szPrefix, ARRAYSIZE(szPrefix));
    if (pdv == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_DvInfo(): Empty DVINFO pointer\n", szPrefix);
        return;
    }
    if (cbFormat < sizeof(DVINFO))
    {
        TraceW(dwCategory, dwLevel, L"### %sDVINFO not found, cbFormat = %u\n", szPrefix, cbFormat);
        return;
    }
    TraceW(dwCategory, dwLevel,
           L"%sDVINFO: \n\t  dwDVAAuxSrc =%08X, dwDVAAuxCtl =%08X (1st 5/6 DIF seq)\n\t  dwDVAAuxSrc1=%08X, "
           L"dwDVAAuxCtl1=%08X (2nd 5/6 DIF seq)\n\t  dwDVVAuxSrc =%08X, dwDVVAuxCtl =%08X (Video)\n\t  "
           L"dwDVReserved[0]=%08X, dwDVReserved[1]=%08X\n",
           szPrefix, pdv->dwDVAAuxSrc, pdv->dwDVAAuxCtl, pdv->dwDVAAuxSrc1, pdv->dwDVAAuxCtl1, pdv->dwDVVAuxSrc,
           pdv->dwDVVAuxCtl, pdv->dwDVReserved[0], pdv->dwDVReserved[1]);
}

void Debug_KsVBIInfoHeader(DWORD dwCategory, DWORD dwLevel, const KS_VBIINFOHEADER* pvbi, LPCWSTR pszPrefix,
                           ULONG cbFormat)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    LPCWSTR psz = pszPrefix != nullptr ? pszPrefix : L"";
    if (pvbi == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_KsVBIInfoHeader(): Empty pointer to struct\n", psz);
        return;
    }
    if (cbFormat < sizeof(KS_VBIINFOHEADER))
    {
        TraceW(dwCategory, dwLevel, L"### %s: KS_VBIINFOHEADER not found, cbFormat = %u\n", psz, cbFormat);
        return;
    }
    TraceW(dwCategory, dwLevel, L"%s: KS_VBIINFOHEADER: StartLine=%u, EndLine=%u, SamplingFrequency=%u\n", psz,
           pvbi->StartLine, pvbi->EndLine, pvbi->SamplingFrequency);
    TraceW(dwCategory, dwLevel,
           L"%s: KS_VBIINFOHEADER: Min/Max LineStartTime: %u:%u, ActualLine Start/End Time=%u:%u\n", psz,
           pvbi->MinLineStartTime, pvbi->MaxLineStartTime, pvbi->ActualLineStartTime, pvbi->ActualLineEndTime);
    TraceW(dwCategory, dwLevel,
           L"%s: KS_VBIINFOHEADER: VideoStandard=0x%X, SamplesPerLine=%u, StrideInBytes=%u, BufferSize=%u\n", psz,
           pvbi->VideoStandard, pvbi->SamplesPerLine, pvbi->StrideInBytes, pvbi->BufferSize);
}

void Debug_ColorControl(DWORD dwCategory, DWORD dwLevel, const DDCOLORCONTROL* pcc)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    if (pcc == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### Debug_ColorControl(): Empty DDCOLORCONTROL pointer\n");
        return;
    }
    struct Field
    {
        DWORD dwFlag;
        LPCWSTR pszFormat;
        LONG lValue;
    };
    const Field fields[] = {
        {DDCOLOR_BRIGHTNESS, L"  Brightness=%i", pcc->lBrightness},
        {DDCOLOR_CONTRAST, L"  Contrast=%i", pcc->lContrast},
        {DDCOLOR_HUE, L"  Hue=%i", pcc->lHue},
        {DDCOLOR_SATURATION, L"  Saturation=%i", pcc->lSaturation},
        {DDCOLOR_SHARPNESS, L"  Sharpness=%i", pcc->lSharpness},
        {DDCOLOR_GAMMA, L"  Gamma=%i", pcc->lGamma},
        {DDCOLOR_COLORENABLE, L"  ColorEnable=%i", pcc->lColorEnable},
    };
    WCHAR szFields[256] = L"";
    for (const Field& f : fields)
        if (pcc->dwFlags & f.dwFlag)
            StrAppend(szFields, ARRAYSIZE(szFields), f.pszFormat, f.lValue);
    TraceW(dwCategory, dwLevel, L"*** Surface properties : dwFlags=0x%X%s\n", pcc->dwFlags, szFields);
}

void Debug_FilterFromPin(DWORD dwCategory, DWORD dwLevel, LPCWSTR pszPrefix, IPin* pPin)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    LPCWSTR psz = pszPrefix != nullptr ? pszPrefix : L"";
    if (pPin == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_FilterFromPin(): Empty pin pointer\n", psz);
        return;
    }
    PIN_INFO info = {};
    HRESULT hr = pPin->QueryPinInfo(&info);
    // Owned even when the call failed: a pin that filled it in anyway must not leak the filter.
    CComPtr<IBaseFilter> spFilter;
    spFilter.Attach(info.pFilter);
    if (FAILED(hr))
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_FilterFromPin(): pPin->QueryPinInfo()=0x%X\n", psz, hr);
        return;
    }
    if (!spFilter)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_FilterFromPin(): rgPinInfo.pFilter == NULL\n", psz);
        return;
    }
    CLSID clsid = GUID_NULL;
    hr = spFilter->GetClassID(&clsid);
    if (FAILED(hr))
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_FilterFromPin(): pFilter->GetClassID()=0x%X\n", psz, hr);
        return;
    }
    WCHAR szName[128];
    TraceW(dwCategory, dwLevel, L"%sfilter [%s]\n", psz, Guid2Name(clsid, szName, 128));
}

namespace
{
// Walks the enumerator; returns when the list ends or can no longer be trusted.
void TracePinTypes(DWORD dwCategory, DWORD dwLevel, IPin* pPin)
{
    CComPtr<IEnumMediaTypes> spEnumMT;
    HRESULT hr = pPin->EnumMediaTypes(&spEnumMT);
    if (FAILED(hr) || !spEnumMT)
    {
        TraceW(dwCategory, dwLevel, L"###Err### Debug_PinMediaTypes(): pPin->EnumMediaTypes()=0x%X\n", hr);
        return;
    }
    hr = spEnumMT->Reset();
    if (FAILED(hr))
    {
        TraceW(dwCategory, dwLevel, L"###Err### Debug_PinMediaTypes(): spEnumMT->Reset()=0x%X\n", hr);
        return;
    }
    for (;;)
    {
        AM_MEDIA_TYPE* pmt = nullptr;
        ULONG cFetched = 0;
        hr = spEnumMT->Next(1, &pmt, &cFetched);
        if (hr == S_FALSE)
        {
            MTDelete(pmt);
            return;
        }
        if (hr != S_OK)
        {
            TraceW(dwCategory, dwLevel, L"###Err### Debug_PinMediaTypes(): spEnumMT->Next()=0x%X\n", hr);
            return;
        }
        if (cFetched != 1 || pmt == nullptr)
        {
            // An enumerator that answers S_OK without a type would keep
            // answering so: asking again would never end the list.
            TraceW(dwCategory, dwLevel,
                   L"###Err### Debug_PinMediaTypes(): bad data from spEnumMT->Next(): cFetched=%i, pmt=0x%p\n",
                   cFetched, static_cast<void*>(pmt));
            MTDelete(pmt);
            return;
        }
        Debug_MediaType(dwCategory, dwLevel, pmt, nullptr);
        MTDelete(pmt);
    }
}
} // namespace

void Debug_PinMediaTypes(DWORD dwCategory, DWORD dwLevel, IPin* pPin)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    TraceW(dwCategory, dwLevel, L"----------------------------------- Pin media types : BEGIN\n");
    if (pPin == nullptr)
        TraceW(dwCategory, dwLevel, L"Debug_PinMediaTypes(): Empty pin pointer\n");
    else
        TracePinTypes(dwCategory, dwLevel, pPin);
    TraceW(dwCategory, dwLevel, L"----------------------------------- Pin media types : END\n");
}

namespace
{
// Largest capability record handed to an object; the two known ones have 128
// and 52 bytes.
constexpr int MAX_CAPS_SIZE = 4096;

void TraceStreamCaps(DWORD dwCategory, DWORD dwLevel, IAMStreamConfig* pConfig, LPCWSTR psz, int nIndex, int cbCaps)
{
    std::vector<BYTE> caps(static_cast<size_t>(std::max(cbCaps, 1)), 0);
    AM_MEDIA_TYPE* pmt = nullptr;
    HRESULT hr = pConfig->GetStreamCaps(nIndex, &pmt, caps.data());
    if (FAILED(hr))
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i )=0x%X\n", psz, nIndex,
               hr);
        return;
    }
    WCHAR szLabel[256];
    StrFormat(szLabel, ARRAYSIZE(szLabel), L"%s%2i MT: ", psz, nIndex);
    // Debug_MediaType adds the space after a given prefix itself.
    szLabel[wcslen(szLabel) - 1] = L'\0';
    Debug_MediaType(dwCategory, dwLevel, pmt, szLabel);
    StrFormat(szLabel, ARRAYSIZE(szLabel), L"%s%2i SC: ", psz, nIndex);
    if (cbCaps == sizeof(VIDEO_STREAM_CONFIG_CAPS))
        DebugVideoCaps(dwCategory, dwLevel, *reinterpret_cast<const VIDEO_STREAM_CONFIG_CAPS*>(caps.data()), szLabel);
    else if (cbCaps == sizeof(AUDIO_STREAM_CONFIG_CAPS))
        DebugAudioCaps(dwCategory, dwLevel, *reinterpret_cast<const AUDIO_STREAM_CONFIG_CAPS*>(caps.data()), szLabel);
    else
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i ): Unknown struct\n",
               psz, nIndex);
    TraceW(dwCategory, dwLevel, L"\n");
    MTDelete(pmt);
}
} // namespace

void Debug_AMStreamConfig(DWORD dwCategory, DWORD dwLevel, IUnknown* pObject, LPCWSTR pszPrefix)
{
    if (TraceOff(dwCategory, dwLevel))
        return;
    LPCWSTR psz = pszPrefix != nullptr ? pszPrefix : L"";
    if (pObject == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_AMStreamConfig(): Empty interface pointer\n", psz);
        return;
    }
    CComPtr<IAMStreamConfig> spConfig;
    if (FAILED(pObject->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&spConfig))) || !spConfig)
    {
        TraceW(dwCategory, dwLevel, L"### %sDebug_AMStreamConfig(): IAMStreamConfig not supported\n", psz);
        return;
    }
    int nCount = 0, cbCaps = 0;
    HRESULT hr = spConfig->GetNumberOfCapabilities(&nCount, &cbCaps);
    if (FAILED(hr))
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_AMStreamConfig(): GetNumberOfCapabilities()=0x%X\n", psz, hr);
        return;
    }
    TraceW(dwCategory, dwLevel, L"=================================== %sIAMStreamConfig: count %i, size %i\n", psz,
           nCount, cbCaps);
    for (int i = 0; i < nCount; ++i)
    {
        // The object writes a whole record of the size it named; a size we
        // cannot hand over is not asked for.
        if (cbCaps <= 0 || cbCaps > MAX_CAPS_SIZE)
        {
            TraceW(dwCategory, dwLevel,
                   L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i ): Unknown struct\n", psz, i);
            continue;
        }
        TraceStreamCaps(dwCategory, dwLevel, spConfig, psz, i, cbCaps);
    }
    TraceW(dwCategory, dwLevel, L"=================================== IAMStreamConfig: END\n");
}
