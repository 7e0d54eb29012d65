// Figures of the capture: the streaming thread's cost of CaptureSample for a
// 64 KiB sample (raw and block compressed) against a plain copy of the same
// bytes and against a copy handed to another thread as a record is, and the
// worker's write throughput.
#include <windows.h>
#include <dshow.h>

#include <helpers/CaptureSamples.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
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
    double dMedian;
    double dMBps;
};

// Captures c_nSamples samples of the sample's data, changing one byte each
// time so that no record is a duplicate. A paced run (a stream the disk keeps
// up with) gives the streaming thread's cost in steady state; an unpaced one
// the worker's write throughput.
CFigures CaptureRun(IMediaSample* pSample, LPCWSTR pszFile, double dPace)
{
    CCaptureSamples cap;
    cap.SetCaptureProps(TempName(pszFile).c_str(), FALSE, c_nSamples, false);
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Stream;
    cap.StartCapture(&mt);
    BYTE* pb = nullptr;
    pSample->GetPointer(&pb);
    std::vector<double> calls(c_nSamples);
    const double t0 = BenchNow();
    double dStreaming = 0;
    for (int i = 0; i < c_nSamples; ++i)
    {
        pb[40000] = static_cast<BYTE>(i);
        pb[40001] = static_cast<BYTE>(i >> 8);
        const double t = BenchNow();
        const double dCall = TimeOneCall([&] { cap.CaptureSample(pSample, i); });
        dStreaming += dCall;
        calls[static_cast<size_t>(i)] = dCall;
        // Paced streams: one sample every dPace seconds at most.
        while (BenchNow() - t < dPace)
        {
        }
    }
    while (cap.IsCapturing())
        Sleep(1);
    const double dTotal = BenchNow() - t0;
    DeleteFileW(TempName(pszFile).c_str());
    std::sort(calls.begin(), calls.end());
    return {dStreaming / c_nSamples, calls[calls.size() / 2],
            static_cast<double>(c_cbSample) * c_nSamples / dTotal / 1e6};
}
// The copy of a capture without the capture around it: into one of a few (8)
// buffers that another thread writes to a file right after, paced as the
// capture is. The warm copy above never hands its bytes to another core;
// this one must, as every record does. Median seconds of the copy alone,
// with memcpy or with the streaming stores the capture uses.
struct CHandoff
{
    static constexpr int c_nBuffers = 8;
    std::vector<BYTE> buffers[c_nBuffers];
    HANDLE hFile = INVALID_HANDLE_VALUE;
    HANDLE hReady = NULL; // a buffer to write
    HANDLE hDone = NULL;  // written
    volatile LONG nNext = -1;

    static DWORD WINAPI Writer(void* pv)
    {
        CHandoff& h = *static_cast<CHandoff*>(pv);
        for (;;)
        {
            WaitForSingleObject(h.hReady, INFINITE);
            if (h.nNext < 0)
                return 0;
            DWORD cb = 0;
            WriteFile(h.hFile, h.buffers[h.nNext].data(), c_cbSample, &cb, nullptr);
            SetEvent(h.hDone);
        }
    }
};

double HandoffCopyMedian(const BYTE* pbSample, bool bStreaming)
{
    const std::wstring file = TempName(L"velmora_bench_handoff.bin");
    CHandoff h;
    for (auto& buffer : h.buffers)
        buffer.assign(c_cbSample + 64, 0);
    h.hFile = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    h.hReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    h.hDone = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE hThread = CreateThread(nullptr, 0, CHandoff::Writer, &h, 0, nullptr);
    std::vector<double> copies(c_nSamples);
    for (int i = 0; i < c_nSamples; ++i)
    {
        WaitForSingleObject(h.hDone, INFINITE);
        BYTE* pbDst = h.buffers[i % CHandoff::c_nBuffers].data() + 64;
        const double t = BenchNow();
        copies[static_cast<size_t>(i)] = TimeOneCall([&] {
            if (bStreaming)
                CopyIntoRecord(pbDst, pbSample, c_cbSample);
            else
                memcpy(pbDst, pbSample, c_cbSample);
        });
        h.nNext = i % CHandoff::c_nBuffers;
        SetEvent(h.hReady);
        while (BenchNow() - t < 100e-6)
        {
        }
    }
    WaitForSingleObject(h.hDone, INFINITE);
    h.nNext = -1;
    SetEvent(h.hReady);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    CloseHandle(h.hReady);
    CloseHandle(h.hDone);
    CloseHandle(h.hFile);
    DeleteFileW(file.c_str());
    std::sort(copies.begin(), copies.end());
    return copies[copies.size() / 2];
}

// The same bytes written by a plain WriteFile loop into a new file, in MB/s.
double WriteFileRate()
{
    const std::wstring file = TempName(L"velmora_bench_writefile.bin");
    std::vector<BYTE> data(c_cbSample, 0x5A);
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    const double t0 = BenchNow();
    for (int i = 0; i < c_nSamples; ++i)
    {
        DWORD cb = 0;
        WriteFile(h, data.data(), c_cbSample, &cb, nullptr);
    }
    const double dTotal = BenchNow() - t0;
    CloseHandle(h);
    DeleteFileW(file.c_str());
    return static_cast<double>(c_cbSample) * c_nSamples / dTotal / 1e6;
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
        const double dHandoffMemcpy = HandoffCopyMedian(pb, false);
        const double dHandoffStreaming = HandoffCopyMedian(pb, true);

        for (long i = 0; i < c_cbSample; ++i)
            pb[i] = static_cast<BYTE>(i * 13 + (i >> 8));
        // 64 KiB every 100 us is 655 MB/s, below what the disk takes.
        const char* pszPace = getenv("VELMORA_PACE_US");
        const CFigures raw = CaptureRun(spSample, L"velmora_bench_capture.bin", pszPace ? atof(pszPace) * 1e-6 : 100e-6);
        const CFigures rawBurst = CaptureRun(spSample, L"velmora_bench_capture.bin", 0);
        memset(pb, 0x5A, c_cbSample); // long runs: compresses
        const CFigures blk = CaptureRun(spSample, L"velmora_bench_capture.blk", 100e-6);

        const double dWriteFile = WriteFileRate();

        printf("copy_64k: %.2f us/call\n", dCopy * 1e6);
        printf("capture_sample_64k_raw: %.2f us/call\n", raw.dPerCall * 1e6);
        printf("capture_sample_64k_raw_median: %.2f us/call\n", raw.dMedian * 1e6);
        printf("capture_sample_64k_raw_vs_copy_slowdown: %.2f x\n", raw.dPerCall / dCopy);
        printf("capture_sample_64k_raw_median_vs_copy_slowdown: %.2f x\n", raw.dMedian / dCopy);
        printf("copy_64k_handoff_memcpy_median: %.2f us/call\n", dHandoffMemcpy * 1e6);
        printf("copy_64k_handoff_streaming_median: %.2f us/call\n", dHandoffStreaming * 1e6);
        printf("capture_sample_64k_raw_median_vs_handoff_copy_slowdown: %.2f x\n",
               raw.dMedian / std::min(dHandoffMemcpy, dHandoffStreaming));
        printf("capture_sample_64k_compressed: %.2f us/call\n", blk.dPerCall * 1e6);
        printf("capture_sample_64k_compressed_vs_copy_slowdown: %.2f x\n", blk.dPerCall / dCopy);
        printf("capture_sample_64k_burst: %.2f us/call\n", rawBurst.dPerCall * 1e6);
        printf("capture_worker_raw: %.1f MB/s\n", rawBurst.dMBps);
        printf("writefile_64k_loop: %.1f MB/s\n", dWriteFile);
        printf("capture_worker_raw_vs_writefile_speedup: %.2f x\n", rawBurst.dMBps / dWriteFile);
        spSample.Release();
        spAlloc->Decommit();
    }
    CoUninitialize();
}
