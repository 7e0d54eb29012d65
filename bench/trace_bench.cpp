// Cost of a trace call: dropped by level, formatted without a log object,
// and written to a file by the stand-in log library. Prints one
// "name: value unit" line per figure.
#include "dshowx/DSTrace.h"

#include "Bench.h"
#include "StandInLog.h"

#include <stdio.h>

#include <string>

namespace
{

// A line like the ones the filter writes most: a tag and a few numbers.
const wchar_t c_szFormat[] = L"%s Receive(): sample %d, start %I64i, stop %I64i, size %u\n";
const wchar_t c_szTag[] = L"[Spy 1 In]";

void Trace(DWORD dwLevel, int i)
{
    TraceW(TRACE_CAT_GENERAL, dwLevel, c_szFormat, c_szTag, i, static_cast<LONGLONG>(i) * 400000,
           static_cast<LONGLONG>(i + 1) * 400000, 115200u);
}

std::wstring BesideExe(LPCWSTR pszName)
{
    WCHAR sz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring s = sz;
    return s.substr(0, s.find_last_of(L'\\') + 1) + pszName;
}

template <typename T>
T Proc(HMODULE h, LPCSTR pszName)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(h, pszName)));
}

} // namespace

void BenchAllocators();

int main()
{
    // Whatever the registry connected, the first two figures run without a
    // log object.
    ILogObject* pPrevious = Log_SetObject(nullptr);
    RunSampleBenchmarks();
    RunCaptureBenchmarks();
    RunPassThroughBenchmarks();
    RunSpyBenchmarks();

    BenchAllocators();

    double tDropped = PerCall(20000000, [](int i) { Trace(TRACE_LEVEL_DETAIL, i); });
    printf("trace_level10: %.2f ns/call\n", tDropped * 1e9);

    double tFormat = PerCall(1000000, [](int i) { Trace(TRACE_LEVEL_ERROR, i); });
    printf("trace_level2_no_log: %.1f ns/call\n", tFormat * 1e9);

    HMODULE hLib = LoadLibraryW(BesideExe(L"velmoralog.dll").c_str());
    auto pfnGet = hLib ? Proc<PFN_EXP_GETLOGOBJECT>(hLib, "Exp_GetLogObject") : nullptr;
    auto pfnSetFile = hLib ? Proc<PFN_STANDIN_SETLOGFILE>(hLib, "StandIn_SetLogFile") : nullptr;
    ILogObject* pLog = nullptr;
    if (!pfnGet || !pfnSetFile || pfnGet(&pLog) != 0 || !pLog)
    {
        fprintf(stderr, "velmora_bench: velmoralog.dll not found beside the program\n");
        Log_SetObject(pPrevious);
        return 1;
    }
    WCHAR szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring sFile = std::wstring(szTemp) + L"velmora-bench.log";
    DeleteFileW(sFile.c_str());
    pfnSetFile(sFile.c_str());
    pLog->lpVtbl->Attach(pLog, &pLog, 0, 0);
    Log_SetObject(pLog);

    const int c_nFileLines = 200000;
    double tFile = PerCall(c_nFileLines, [](int i) { Trace(TRACE_LEVEL_ERROR, i); });
    Log_SetObject(nullptr);
    printf("trace_level2_file: %.2f us/call\n", tFile * 1e6);
    printf("trace_level2_file_rate: %.0f lines/s\n", 1.0 / tFile);

    // Baseline: the same number of bare appends of a line of that length.
    HANDLE h = CreateFileW(sFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    static const char c_szLine[] = "12:00:00.000  0020/0024  L2  VELMORA_BENCH: [Spy 1 In] Receive(): sample 1, "
                                   "start 400000, stop 800000, size 115200\r\n";
    double tWrite = PerCall(c_nFileLines, [h](int) {
        DWORD cb = 0;
        WriteFile(h, c_szLine, sizeof(c_szLine) - 1, &cb, nullptr);
    });
    CloseHandle(h);
    printf("writefile_baseline: %.2f us/call\n", tWrite * 1e6);
    printf("trace_level2_file_vs_writefile: %.2f x\n", tFile / tWrite);
    printf("trace_level2_no_log_vs_level10: %.0f x\n", tFormat / tDropped);

    pLog->lpVtbl->Detach(pLog, &pLog);
    pfnSetFile(nullptr);
    DeleteFileW(sFile.c_str());
    Log_SetObject(pPrevious);
    return 0;
}
