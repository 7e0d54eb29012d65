// Figures of the capture: the streaming thread's cost of CaptureSample for a
// 64 KiB sample (raw and block compressed) against a plain copy of the same
// bytes, and the worker's write throughput.
#include <windows.h>
#include <dshow.h>

#include <helpers/CaptureSamples.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "Bench.h"

namespace
{
constexpr long c_cbSample = 65536;
constexpr int c_nSamples = 1500; // below the queue bound of 256 MiB

std::wstring TempName(LPCWSTR pszName)
{
    WCHAR sz[MAX_PATH];
    GetTempPathW(MAX_PATH, sz);
    return std::wstring(sz) + pszName;
}

struct CFigures
{
    double dPerCall;
    double dMBps;
};

// Captures c_nSamples samples of the sample's data, changing one byte each
// time so that no record is a duplicate.
CFigures CaptureRun(IMediaSample* pSample, LPCWSTR pszFile)
{
    CCaptureSamples cap;
    cap.SetCaptureProps(TempName(pszFile).c_str(), FALSE, c_nSamples, false);
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Stream;
    cap.StartCapture(&mt);
    BYTE* pb = nullptr;
    pSample->GetPointer(&pb);
    const double t0 = BenchNow();
    double dStreaming = 0;
    for (int i = 0; i < c_nSamples; ++i)
    {
        pb[40000] = static_cast<BYTE>(i);
        pb[40001] = static_cast<BYTE>(i >> 8);
        const double t = BenchNow();
        cap.CaptureSample(pSample, i);
        dStreaming += BenchNow() - t;
    }
    while (cap.IsCapturing())
        Sleep(1);
    const double dTotal = BenchNow() - t0;
    DeleteFileW(TempName(pszFile).c_str());
    return {dStreaming / c_nSamples, static_cast<double>(c_cbSample) * c_nSamples / dTotal / 1e6};
}
} // namespace

void RunCaptureBenchmarks()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        CComPtr<IMemAllocator> spAlloc;
        CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                         reinterpret_cast<void**>(&spAlloc));
        ALLOCATOR_PROPERTIES want = {1, c_cbSample, 16, 0}, got = {};
        spAlloc->SetProperties(&want, &got);
        spAlloc->Commit();
        CComPtr<IMediaSample> spSample;
        spAlloc->GetBuffer(&spSample, nullptr, nullptr, 0);
        spSample->SetActualDataLength(c_cbSample);
        BYTE* pb = nullptr;
        spSample->GetPointer(&pb);

        std::vector<BYTE> copy(c_cbSample);
        const double dCopy = PerCall(20000, [&](int i) {
            pb[0] = static_cast<BYTE>(i);
            memcpy(copy.data(), pb, c_cbSample);
        });

        for (long i = 0; i < c_cbSample; ++i)
            pb[i] = static_cast<BYTE>(i * 13 + (i >> 8));
        const CFigures raw = CaptureRun(spSample, L"velmora_bench_capture.bin");
        memset(pb, 0x5A, c_cbSample); // long runs: compresses
        const CFigures blk = CaptureRun(spSample, L"velmora_bench_capture.blk");

        printf("copy_64k: %.2f us/call\n", dCopy * 1e6);
        printf("capture_sample_64k_raw: %.2f us/call\n", raw.dPerCall * 1e6);
        printf("capture_sample_64k_raw_vs_copy_ratio: %.2f x\n", raw.dPerCall / dCopy);
        printf("capture_sample_64k_compressed: %.2f us/call\n", blk.dPerCall * 1e6);
        printf("capture_sample_64k_compressed_vs_copy_ratio: %.2f x\n", blk.dPerCall / dCopy);
        printf("capture_worker_raw: %.1f MB/s\n", raw.dMBps);
        printf("capture_worker_compressed: %.1f MB/s\n", blk.dMBps);
        spSample.Release();
        spAlloc->Decommit();
    }
    CoUninitialize();
}
