// One-line descriptions of what crosses a filter: samples with their CRC-32,
// lateness against the clock, timecode samples, allocators, memory dumps.
// All but Crc32 take the trace category and level first and do nothing for
// category 0 or a level above 8.
#pragma once

#include <windows.h>
#include <strmif.h>

struct tagTIMECODE_SAMPLE;

// Samples above this many bytes get a partial checksum over 16 blocks.
constexpr long CRC_FULL_LIMIT = 96000;
constexpr long CRC_PARTIAL_BLOCK = 4096;

// CRC-32 of ISO-HDLC (the checksum of zlib and PKZIP).
DWORD Crc32(const void* pData, size_t cb);

// The ways Crc32 computes, all with the same results: tables (any
// processor), carry-less multiply folding on 128-bit registers, and on
// 256-bit registers. The fastest one the processor offers is chosen on first
// use; tests and benchmarks may force another.
enum ECrcPath
{
    eCrcPath_Table = 0,
    eCrcPath_Clmul = 1,
    eCrcPath_Vclmul256 = 2,
};
bool Crc32_IsSupported(ECrcPath ePath);
ECrcPath Crc32_Path();
// False (and no change) when the processor lacks the path.
bool Crc32_SelectPath(ECrcPath ePath);
void Crc32_SelectBest();

void Debug_Sample(DWORD dwCategory, DWORD dwLevel, IMediaSample* pSample, LPCWSTR pszPrefix,
                  bool bMemory, bool bCrc);
void Debug_SampleLag(DWORD dwCategory, DWORD dwLevel, IMediaSample* pSample, REFERENCE_TIME tStart,
                     IReferenceClock* pClock, LPCWSTR pszPrefix);
void Debug_TimecodeSample(DWORD dwCategory, DWORD dwLevel, const tagTIMECODE_SAMPLE* pTimecode,
                          LPCWSTR pszPrefix);
void Debug_Allocator(DWORD dwCategory, DWORD dwLevel, IMemAllocator* pAllocator, LPCWSTR pszPrefix);
void Debug_AllocatorProps(DWORD dwCategory, DWORD dwLevel, const ALLOCATOR_PROPERTIES* pProps,
                          LPCWSTR pszPrefix);
// Returns false when the address is null or the size 0 (after the header).
bool Debug_Memory(DWORD dwCategory, DWORD dwLevel, long cb, const void* pData, LPCWSTR pszPrefix,
                  bool bBlankLine);

// The text pieces of the sample line, for callers that compose their own.
// Checksum text over the bytes the buffer really holds.
void SampleCrcText(IMediaSample* pSample, LPWSTR pszText, size_t cch);
