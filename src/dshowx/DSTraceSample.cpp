#include "dshowx/DSTraceSample.h"

#include <ksmedia.h>
#include <stddef.h>
#include <string.h>
#include <vfwmsgs.h>

#include "dshowx/DSFunctions.h"
#include "dshowx/DSTrace.h"
#include "dshowx/DSTypes.h"
#include "winapi/Functions.h"

namespace
{
bool IsTraced(DWORD dwCategory, DWORD dwLevel)
{
    return dwCategory != 0 && dwLevel <= TRACE_LEVEL_CALL;
}

// The sample descriptions ask the sample for a dozen things and may checksum
// it: with no log object nobody would read the line, so none of it is done.
bool IsHeard(DWORD dwCategory, DWORD dwLevel)
{
    return IsTraced(dwCategory, dwLevel) && Log_IsConnected();
}

// A non-null prefix speaks with one space after it.
void SpacedPrefix(LPCWSTR pszPrefix, LPWSTR pszOut, size_t cch)
{
    pszOut[0] = L'\0';
    if (pszPrefix != nullptr)
        StrFormat(pszOut, cch, L"%s ", pszPrefix);
}

void StreamTimeText(IMediaSample* pSample, LPWSTR pszText, size_t cch)
{
    REFERENCE_TIME tStart = 0, tStop = 0;
    WCHAR szStart[32], szStop[32];
    HRESULT hr = pSample->GetTime(&tStart, &tStop);
    if (hr == S_OK)
        StrFormat(pszText, cch, L"tS=%s  tE=%s", RefTime2Str(tStart, szStart), RefTime2Str(tStop, szStop));
    else if (hr == VFW_S_NO_STOP_TIME)
        StrFormat(pszText, cch, L"tS=%s  tE=? (0x%X)", RefTime2Str(tStart, szStart), hr);
    else
        StrFormat(pszText, cch, L"tS/tE=? (0x%X)", hr);
}

void MediaTimeText(IMediaSample* pSample, LPWSTR pszText, size_t cch)
{
    LONGLONG llStart = 0, llStop = 0;
    WCHAR szStart[32], szStop[32];
    HRESULT hr = pSample->GetMediaTime(&llStart, &llStop);
    if (FAILED(hr))
        StrFormat(pszText, cch, L"mS/mE=? (0x%X)", hr);
    else if (llStart == llStop)
        StrFormat(pszText, cch, L"# mS=mE=%s", LongLong2Str(llStart, szStart));
    else if (llStart <= llStop)
        StrFormat(pszText, cch, L"mS=%s  mE=%s", LongLong2Str(llStart, szStart), LongLong2Str(llStop, szStop));
    else
        StrFormat(pszText, cch, L"# mS=%s > mE=%s", LongLong2Str(llStart, szStart), LongLong2Str(llStop, szStop));
}

void ExtendedPropsText(IMediaSample* pSample, LPWSTR pszText, size_t cch)
{
    pszText[0] = L'\0';
    IMediaSample2* pSample2 = nullptr;
    if (FAILED(pSample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&pSample2))) || !pSample2)
        return;
    // The record up to and including the stream identifier: 36 bytes in
    // both builds, so peers that know only the short record answer too.
    constexpr DWORD cbProps = offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId) + sizeof(DWORD);
    AM_SAMPLE2_PROPERTIES props = {};
    if (SUCCEEDED(pSample2->GetProperties(cbProps, reinterpret_cast<BYTE*>(&props))))
        StrFormat(pszText, cch, L" TF=0x%X sId=0x%X", props.dwTypeSpecificFlags, props.dwStreamId);
    pSample2->Release();
}

void MemoryText(IMediaSample* pSample, LPWSTR pszText, size_t cch)
{
    BYTE* pBuffer = nullptr;
    HRESULT hr = pSample->GetPointer(&pBuffer);
    long cbSize = pSample->GetSize();
    long cbActual = pSample->GetActualDataLength();
    if (SUCCEEDED(hr))
        StrFormat(pszText, cch, L" al=%i s=%i p=0x%p", cbActual, cbSize, pBuffer);
    else
        StrFormat(pszText, cch, L" al=%i s=%i p=? (0x%X)", cbActual, cbSize, hr);
}

} // namespace

void SampleCrcText(IMediaSample* pSample, LPWSTR pszText, size_t cch)
{
    pszText[0] = L'\0';
    BYTE* pBuffer = nullptr;
    if (FAILED(pSample->GetPointer(&pBuffer)) || pBuffer == nullptr)
        return;
    long cbSize = pSample->GetSize();
    long n = pSample->GetActualDataLength();
    if (n == 0)
        n = cbSize;
    // A sample may claim more data than its buffer holds: never read past it.
    if (n > cbSize)
        n = cbSize;
    if (n <= 0)
        return;
    if (n <= CRC_FULL_LIMIT)
    {
        StrFormat(pszText, cch, L"  CRC=%08X", Crc32(pBuffer, static_cast<size_t>(n)));
        return;
    }
    DWORD crc = 0;
    long cbStride = n / 16;
    for (long k = 0; k < 16; ++k)
        crc ^= Crc32(pBuffer + k * cbStride, CRC_PARTIAL_BLOCK);
    StrFormat(pszText, cch, L"  CRCp=%08X", crc);
}

void Debug_Sample(DWORD dwCategory, DWORD dwLevel, IMediaSample* pSample, LPCWSTR pszPrefix,
                  bool bMemory, bool bCrc)
{
    if (!IsHeard(dwCategory, dwLevel))
        return;
    WCHAR szPrefix[160];
    SpacedPrefix(pszPrefix, szPrefix, ARRAYSIZE(szPrefix));
    if (pSample == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sEmpty sample pointer\n", szPrefix);
        return;
    }
    WCHAR szTimes[80], szMediaTimes[96], szCrc[24] = L"", szExtended[64], szMemory[80] = L"";
    StreamTimeText(pSample, szTimes, ARRAYSIZE(szTimes));
    MediaTimeText(pSample, szMediaTimes, ARRAYSIZE(szMediaTimes));
    ExtendedPropsText(pSample, szExtended, ARRAYSIZE(szExtended));
    if (bMemory)
        MemoryText(pSample, szMemory, ARRAYSIZE(szMemory));
    if (bCrc)
        SampleCrcText(pSample, szCrc, ARRAYSIZE(szCrc));

    AM_MEDIA_TYPE* pmt = nullptr;
    HRESULT hrType = pSample->GetMediaType(&pmt);
    TraceW(dwCategory, dwLevel, L"%s%s  %s%s flags={%u%u%u}%s%s\n", szPrefix, szTimes, szMediaTimes, szCrc,
           pSample->IsSyncPoint() == S_OK ? 1u : 0u, pSample->IsPreroll() == S_OK ? 1u : 0u,
           pSample->IsDiscontinuity() == S_OK ? 1u : 0u, szExtended, szMemory);
    if (hrType == S_OK && pmt != nullptr)
    {
        TraceW(dwCategory, dwLevel, L"%sMedia type attached to sample:\n", szPrefix);
        Debug_MediaType(dwCategory, dwLevel, pmt, nullptr);
        MTDelete(pmt);
    }
}

void Debug_SampleLag(DWORD dwCategory, DWORD dwLevel, IMediaSample* pSample, REFERENCE_TIME tStart,
                     IReferenceClock* pClock, LPCWSTR pszPrefix)
{
    if (!IsHeard(dwCategory, dwLevel))
        return;
    WCHAR szPrefix[160];
    SpacedPrefix(pszPrefix, szPrefix, ARRAYSIZE(szPrefix));
    if (pSample == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_SampleLag(): Empty pointer to IMediaSample\n", szPrefix);
        return;
    }
    if (pClock == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"%sDebug_SampleLag(): Reference Clock is not set\n", szPrefix);
        return;
    }
    REFERENCE_TIME tSampleStart = 0, tSampleStop = 0, tClock = 0;
    HRESULT hrTime = pSample->GetTime(&tSampleStart, &tSampleStop);
    HRESULT hrClock = pClock->GetTime(&tClock);
    bool bClockGood = hrClock == S_OK || hrClock == S_FALSE;
    LPCWSTR pszMark = hrClock == S_FALSE ? L" (S_FALSE)" : L"";
    WCHAR sz1[32], sz2[32], sz3[32], sz4[32];
    if (SUCCEEDED(hrTime) && bClockGood)
        TraceW(dwCategory, dwLevel, L"%sLate=%s, tS=%s, tStart=%s, clock=%s%s\n", szPrefix,
               RefTime2Str(tClock - (tSampleStart + tStart), sz1), RefTime2Str(tSampleStart, sz2),
               RefTime2Str(tStart, sz3), RefTime2Str(tClock, sz4), pszMark);
    else if (SUCCEEDED(hrTime))
        TraceW(dwCategory, dwLevel, L"###Err### %spRefClock->GetTime()=0x%X, tS=%s, tStart=%s\n", szPrefix, hrClock,
               RefTime2Str(tSampleStart, sz1), RefTime2Str(tStart, sz2));
    else if (bClockGood)
        TraceW(dwCategory, dwLevel, L"%spSample->GetTime()=0x%X, shift=%s, clock=%s%s, tStart=%s\n", szPrefix, hrTime,
               RefTime2Str(tClock - tStart, sz1), RefTime2Str(tClock, sz2), pszMark, RefTime2Str(tStart, sz3));
    else
        TraceW(dwCategory, dwLevel, L"###Err### %spSample->GetTime()=0x%X, pRefClock->GetTime()=0x%X\n", szPrefix,
               hrTime, hrClock);
}

namespace
{
// Two BCD digits per byte; false for a byte that is not a decimal pair.
bool DecodeBcd(BYTE b, UINT* pValue)
{
    if (b >= 0xA0 || (b & 0x0F) >= 10)
        return false;
    *pValue = 10u * (b >> 4) + (b & 0x0F);
    return true;
}

// The external-device time formats of the platform, which our headers lack.
enum : WORD
{
    FRAME_RATE_SMPTE_30 = 4502,
    FRAME_RATE_SMPTE_30DROP = 4503,
    FRAME_RATE_SMPTE_25 = 4504,
    FRAME_RATE_SMPTE_24 = 4505,
};

LPCWSTR FrameRateName(WORD wFrameRate)
{
    switch (wFrameRate)
    {
    case FRAME_RATE_SMPTE_30: return L"SMPTE_30";
    case FRAME_RATE_SMPTE_30DROP: return L"SMPTE_30DROP";
    case FRAME_RATE_SMPTE_25: return L"SMPTE_25";
    case FRAME_RATE_SMPTE_24: return L"SMPTE_24";
    default: return L"SMPTE_???";
    }
}
} // namespace

void Debug_TimecodeSample(DWORD dwCategory, DWORD dwLevel, const tagTIMECODE_SAMPLE* pTimecode, LPCWSTR pszPrefix)
{
    if (!IsTraced(dwCategory, dwLevel) || pTimecode == nullptr)
        return;
    DWORD dwFrames = pTimecode->timecode.dwFrames;
    UINT aParts[4];
    bool bValid = true;
    for (int i = 0; i < 4; ++i)
        bValid = DecodeBcd(static_cast<BYTE>(dwFrames >> (24 - 8 * i)), &aParts[i]) && bValid;
    WCHAR szFrames[64];
    if (bValid)
        StrFormat(szFrames, ARRAYSIZE(szFrames), L"hmsf=%02u:%02u:%02u.%02u (0x%08X)", aParts[0], aParts[1],
                  aParts[2], aParts[3], dwFrames);
    else
        StrFormat(szFrames, ARRAYSIZE(szFrames), L"hmsf=??? (0x%08X)", dwFrames);
    WCHAR szTick[32];
    WORD wRate = pTimecode->timecode.wFrameRate;
    TraceW(dwCategory, dwLevel,
           L"%s%sTIMECODE_SAMPLE: %s, rate %s (0x%X), fract 0x%X, qwTick=%s, user 0x%X, flags 0x%X\n",
           pszPrefix ? pszPrefix : L"", pszPrefix ? L" " : L"", szFrames, FrameRateName(wRate), wRate,
           pTimecode->timecode.wFrameFract, LongLong2Str(pTimecode->qwTick, szTick), pTimecode->dwUser,
           pTimecode->dwFlags);
}

void Debug_Allocator(DWORD dwCategory, DWORD dwLevel, IMemAllocator* pAllocator, LPCWSTR pszPrefix)
{
    if (!IsTraced(dwCategory, dwLevel))
        return;
    WCHAR szPrefix[160];
    SpacedPrefix(pszPrefix, szPrefix, ARRAYSIZE(szPrefix));
    if (pAllocator == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_Allocator(): Empty allocator pointer\n", szPrefix);
        return;
    }
    ALLOCATOR_PROPERTIES props = {};
    HRESULT hr = pAllocator->GetProperties(&props);
    if (FAILED(hr))
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_Allocator(): pAllocator->GetProperties()=0x%X\n", szPrefix, hr);
        return;
    }
    TraceW(dwCategory, dwLevel, L"%sIMemAllocator=0x%p, props = { %i, %i, %i, %i }\n", szPrefix, pAllocator,
           props.cBuffers, props.cbBuffer, props.cbAlign, props.cbPrefix);
}

void Debug_AllocatorProps(DWORD dwCategory, DWORD dwLevel, const ALLOCATOR_PROPERTIES* pProps, LPCWSTR pszPrefix)
{
    if (!IsTraced(dwCategory, dwLevel))
        return;
    WCHAR szPrefix[160];
    SpacedPrefix(pszPrefix, szPrefix, ARRAYSIZE(szPrefix));
    if (pProps == nullptr)
    {
        TraceW(dwCategory, dwLevel, L"###Err### %sDebug_AllocatorProps(): Empty pointer\n", szPrefix);
        return;
    }
    TraceW(dwCategory, dwLevel, L"%s{ %i, %i, %i, %i }\n", szPrefix, pProps->cBuffers, pProps->cbBuffer,
           pProps->cbAlign, pProps->cbPrefix);
}

namespace
{
constexpr int BYTES_PER_LINE = 16;

// 54 characters of hexadecimal columns, then the printable characters.
void MemoryLineText(const BYTE* pLine, int cb, LPWSTR pszText, size_t cch)
{
    static const WCHAR s_szHex[] = L"0123456789ABCDEF";
    WCHAR szHex[80]; // 54 columns, 16 characters, the zero
    int n = 0;
    for (int i = 0; i < BYTES_PER_LINE; ++i)
    {
        if (i < cb)
        {
            szHex[n++] = s_szHex[pLine[i] >> 4];
            szHex[n++] = s_szHex[pLine[i] & 0x0F];
            szHex[n++] = L' ';
        }
        else
        {
            szHex[n++] = L' ';
            szHex[n++] = L' ';
            szHex[n++] = L' ';
        }
        if (i == 3 || i == 11)
            szHex[n++] = L' ';
        else if (i == 7)
        {
            szHex[n++] = L'|';
            szHex[n++] = L' ';
        }
    }
    szHex[n++] = L' ';
    szHex[n++] = L' ';
    for (int i = 0; i < cb; ++i)
        szHex[n++] = (pLine[i] >= 0x20 && pLine[i] <= 0x7F) ? static_cast<WCHAR>(pLine[i]) : L'.';
    szHex[n] = L'\0';
    StrCopy(pszText, cch, szHex);
}

bool IsZeroLine(const BYTE* pLine)
{
    for (int i = 0; i < BYTES_PER_LINE; ++i)
        if (pLine[i] != 0)
            return false;
    return true;
}

void FlushZeroRun(DWORD dwCategory, DWORD dwLevel, const BYTE* pRunStart, UINT cLines)
{
    if (cLines == 1)
        TraceW(dwCategory, dwLevel, L"0x%p: 00 .. 00\n", pRunStart);
    else if (cLines > 1)
        TraceW(dwCategory, dwLevel, L"0x%p: 16 x %u zero bytes\n", pRunStart, cLines);
}
} // namespace

bool Debug_Memory(DWORD dwCategory, DWORD dwLevel, long cb, const void* pData, LPCWSTR pszPrefix, bool bBlankLine)
{
    if (!IsTraced(dwCategory, dwLevel))
        return true;
    if (pszPrefix != nullptr)
        TraceW(dwCategory, dwLevel, L"%s Trace from address 0x%p (%i bytes)\n", pszPrefix, pData, cb);
    else
        TraceW(dwCategory, dwLevel, L"Trace from address 0x%p (%i bytes)\n", pData, cb);
    if (pData == nullptr || cb <= 0)
        return false;

    const BYTE* p = static_cast<const BYTE*>(pData);
    const BYTE* pRunStart = nullptr;
    UINT cRunLines = 0;
    for (long off = 0; off < cb; off += BYTES_PER_LINE)
    {
        int cbLine = cb - off >= BYTES_PER_LINE ? BYTES_PER_LINE : static_cast<int>(cb - off);
        if (cbLine == BYTES_PER_LINE && IsZeroLine(p + off))
        {
            if (cRunLines++ == 0)
                pRunStart = p + off;
            continue;
        }
        FlushZeroRun(dwCategory, dwLevel, pRunStart, cRunLines);
        cRunLines = 0;
        WCHAR szLine[96];
        MemoryLineText(p + off, cbLine, szLine, ARRAYSIZE(szLine));
        TraceW(dwCategory, dwLevel, L"0x%p: %s\n", p + off, szLine);
    }
    FlushZeroRun(dwCategory, dwLevel, pRunStart, cRunLines);
    if (bBlankLine)
        TraceW(dwCategory, dwLevel, L"\n");
    return true;
}
