// Checksum throughput against zlib's, and the cost of one sample line.
#include <windows.h>
#include <dshow.h>

#include <dshowx/DSTrace.h>
#include <dshowx/DSTraceSample.h>
#include <winapi/ComPtr.h>

#include <stdio.h>
#include <zlib.h>

#include <vector>

#include "Bench.h"

namespace
{
volatile DWORD g_dwSink; // keeps the checksums from being optimised away

// Returns our time over zlib's.
double CrcFigures(size_t cb, int nRounds)
{
    std::vector<BYTE> data(cb);
    for (size_t i = 0; i < cb; ++i)
        data[i] = static_cast<BYTE>(i * 31 + (i >> 7));
    if (Crc32(data.data(), cb) != ::crc32(0, data.data(), static_cast<uInt>(cb)))
        printf("crc32_mismatch_%u: 1\n", static_cast<unsigned>(cb));
    const double tOurs = PerCall(nRounds, [&](int) { g_dwSink = Crc32(data.data(), cb); });
    const double tZlib =
        PerCall(nRounds, [&](int) { g_dwSink = ::crc32(0, data.data(), static_cast<uInt>(cb)); });
    const double mb = static_cast<double>(cb) / 1e6;
    printf("crc32_%u: %.0f MB/s\n", static_cast<unsigned>(cb), mb / tOurs);
    printf("zlib_crc32_%u: %.0f MB/s\n", static_cast<unsigned>(cb), mb / tZlib);
    printf("crc32_vs_zlib_ratio_%u: %.2f\n", static_cast<unsigned>(cb), tOurs / tZlib);
    return tOurs / tZlib;
}

// A real sample of the platform's allocator with times and data set.
CComPtr<IMediaSample> MakeSample(CComPtr<IMemAllocator>& spAlloc, long cb)
{
    CComPtr<IMediaSample> spSample;
    if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                reinterpret_cast<void**>(&spAlloc))))
        return spSample;
    ALLOCATOR_PROPERTIES want = {1, cb, 1, 0}, got = {};
    spAlloc->SetProperties(&want, &got);
    spAlloc->Commit();
    if (FAILED(spAlloc->GetBuffer(&spSample, nullptr, nullptr, 0)))
        return spSample;
    REFERENCE_TIME tS = 400000, tE = 800000;
    spSample->SetTime(&tS, &tE);
    spSample->SetActualDataLength(cb);
    return spSample;
}
} // namespace

void RunSampleBenchmarks()
{
    const double r1 = CrcFigures(4096, 20000);
    const double r2 = CrcFigures(96000, 1000);
    printf("crc32_vs_zlib_ratio: %.2f\n", (r1 + r2) / 2);

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        CComPtr<IMemAllocator> spAlloc;
        CComPtr<IMediaSample> spSample = MakeSample(spAlloc, 96000);
        if (spSample)
        {
            // No log object: this is the cost of building the line itself.
            const double tPlain = PerCall(20000, [&](int) {
                Debug_Sample(TRACE_CAT_GENERAL, 0, spSample, L"[Spy 1]", true, false);
            });
            const double tCrc = PerCall(2000, [&](int) {
                Debug_Sample(TRACE_CAT_GENERAL, 0, spSample, L"[Spy 1]", true, true);
            });
            printf("debug_sample_line: %.2f us/call\n", tPlain * 1e6);
            printf("debug_sample_line_crc_96000: %.2f us/call\n", tCrc * 1e6);
        }
        spSample.Release();
        if (spAlloc)
            spAlloc->Decommit();
    }
    CoUninitialize();
}
