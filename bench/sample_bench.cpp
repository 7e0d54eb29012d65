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

const char* PathName(ECrcPath ePath)
{
    switch (ePath)
    {
    case eCrcPath_Clmul:
        return "clmul";
    case eCrcPath_Vclmul256:
        return "vclmul256";
    default:
        return "table";
    }
}

// Throughput of zlib and of each path the processor offers, forced in turn,
// then of the path chosen at run time; speedups are zlib's time over ours.
void CrcFigures(size_t cb, int nRounds)
{
    std::vector<BYTE> data(cb);
    for (size_t i = 0; i < cb; ++i)
        data[i] = static_cast<BYTE>(i * 31 + (i >> 7));
    const unsigned n = static_cast<unsigned>(cb);
    const double mb = static_cast<double>(cb) / 1e6;
    const double tZlib =
        PerCall(nRounds, [&](int) { g_dwSink = ::crc32(0, data.data(), static_cast<uInt>(cb)); });
    printf("zlib_crc32_%u: %.0f MB/s\n", n, mb / tZlib);
    for (ECrcPath ePath : {eCrcPath_Table, eCrcPath_Clmul, eCrcPath_Vclmul256})
    {
        if (!Crc32_SelectPath(ePath))
            continue;
        if (Crc32(data.data(), cb) != ::crc32(0, data.data(), static_cast<uInt>(cb)))
            printf("crc32_%s_mismatch_%u: 1\n", PathName(ePath), n);
        const double t = PerCall(nRounds, [&](int) { g_dwSink = Crc32(data.data(), cb); });
        printf("crc32_%s_%u: %.0f MB/s\n", PathName(ePath), n, mb / t);
        printf("crc32_%s_vs_zlib_speedup_%u: %.2f x\n", PathName(ePath), n, tZlib / t);
    }
    Crc32_SelectBest();
    const double tOurs = PerCall(nRounds, [&](int) { g_dwSink = Crc32(data.data(), cb); });
    printf("crc32_%u: %.0f MB/s\n", n, mb / tOurs);
    printf("crc32_vs_zlib_speedup_%u: %.2f x\n", n, tZlib / tOurs);
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

// A log object that drops every line: the cost of building the line alone.
HRESULT WINAPI DropUnused(ILogObject*) { return S_OK; }
HRESULT WINAPI DropW(ILogObject*, LPCWSTR) { return S_OK; }
HRESULT WINAPI DropA(ILogObject*, LPCSTR) { return S_OK; }
const ILogObjectVtbl c_dropVtbl = {DropUnused, DropUnused, DropUnused, DropUnused, nullptr, nullptr, DropUnused,
                                   nullptr,    nullptr,    DropUnused, DropA,      DropW};
ILogObject g_drop = {&c_dropVtbl};
} // namespace

ILogObject* DroppingLog()
{
    return &g_drop;
}

void RunSampleBenchmarks()
{
    CrcFigures(4096, 20000);
    CrcFigures(96000, 1000);
    printf("crc32_path: %s\n", PathName(Crc32_Path()));

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        CComPtr<IMemAllocator> spAlloc;
        CComPtr<IMediaSample> spSample = MakeSample(spAlloc, 96000);
        if (spSample)
        {
            // No log object: nobody listens, so nothing is built.
            const double tNobody = PerCall(200000, [&](int) {
                Debug_Sample(TRACE_CAT_GENERAL, 0, spSample, L"[Spy 1]", true, true);
            });
            // A log object that drops the lines: the cost of building them.
            ILogObject* pPrevious = Log_SetObject(&g_drop);
            const double tPlain = PerCall(20000, [&](int) {
                Debug_Sample(TRACE_CAT_GENERAL, 0, spSample, L"[Spy 1]", true, false);
            });
            const double tCrc = PerCall(2000, [&](int) {
                Debug_Sample(TRACE_CAT_GENERAL, 0, spSample, L"[Spy 1]", true, true);
            });
            Log_SetObject(pPrevious);
            printf("debug_sample_line_no_log: %.3f us/call\n", tNobody * 1e6);
            printf("debug_sample_line: %.2f us/call\n", tPlain * 1e6);
            printf("debug_sample_line_crc_96000: %.2f us/call\n", tCrc * 1e6);
        }
        spSample.Release();
        if (spAlloc)
            spAlloc->Decommit();
    }
    CoUninitialize();
}
