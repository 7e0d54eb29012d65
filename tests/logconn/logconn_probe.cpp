// A process of its own for each registry set-up: the trace spine connects
// once, at load, so the test program starts this probe after writing the
// registry and reads back what it reports.
//
//   logconn_probe <status|lines|many> <report file>
//
// The report is UTF-16 text, records separated by zeros: "connected=0|1",
// "modules=" with the log libraries still loaded, then for "lines" the
// records that the stand-in library kept of the lines below; "many" sends
// 300 lines quickly.
#include "dshowx/DSTrace.h"
#include "winapi/Debugging.h"

#include "StandInLog.h"

#include <shellapi.h>

#include <string>

namespace
{
volatile UINT_PTR g_uBad = 0x10;

LONG DumpFilter(EXCEPTION_POINTERS* pep, void*)
{
    return Log_DumpCallStack(pep, nullptr, FALSE, EXCEPTION_EXECUTE_HANDLER);
}

void EmitLines()
{
    TraceW(TRACE_CAT_GENERAL, 2, L"%s hello %d\n", L"[Probe]", 42);
    TraceW(TRACE_CAT_INTERFACE, 8, L"%s level 8\n", L"[Probe]");
    TraceW(TRACE_CAT_GENERAL, 9, L"%s level 9\n", L"[Probe]");
    TraceW(TRACE_CAT_GENERAL, 10, L"%s level 10\n", L"[Probe]");
    TraceW(0, 2, L"%s category 0\n", L"[Probe]");
    std::wstring sLong(600, L'x');
    TraceW(TRACE_CAT_GENERAL, 0, L"%s\n", sLong.c_str());
    TraceA("narrow %d\n", 7);
    static const char c_szBlock[] = "Graph\n  Filter A\n  Filter B\n";
    Log_WriteBlock(sizeof(c_szBlock) - 1, c_szBlock);
    TRACE_ASSERT(1 == 2);
    SEH_Guard([] { *reinterpret_cast<volatile int*>(g_uBad) = 1; }, DumpFilter);
}

void Append(std::wstring& sReport, const std::wstring& sRecord)
{
    sReport += sRecord;
    sReport += L'\0';
}
} // namespace

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3)
        return 2;
    std::wstring sMode = argv[1];
    std::wstring sReport;
    Append(sReport, Log_IsConnected() ? L"connected=1" : L"connected=0");
    std::wstring sModules = L"modules=";
    for (LPCWSTR pszName : {L"velmoralog.dll", L"badlog_raises.dll", L"badlog_noexport.dll"})
        if (GetModuleHandleW(pszName))
            sModules += std::wstring(pszName) + L" ";
    Append(sReport, sModules);
    if (sMode == L"many")
    {
        for (int i = 0; i < 300; ++i)
            TraceW(TRACE_CAT_GENERAL, 2, L"%s many %d of a line long enough to tear %s\n", L"[Probe]", i,
                   L"..................................................................");
    }
    if (sMode == L"lines")
    {
        EmitLines();
        HMODULE hLog = GetModuleHandleW(L"velmoralog.dll");
        auto pfnRead = hLog ? reinterpret_cast<PFN_STANDIN_READLINES>(
                                  reinterpret_cast<void*>(GetProcAddress(hLog, "StandIn_ReadLines")))
                            : nullptr;
        if (pfnRead)
        {
            int cch = pfnRead(nullptr, 0);
            std::wstring sLines(cch > 0 ? cch : 0, L'\0');
            if (cch > 0 && pfnRead(&sLines[0], cch) == cch)
                sReport += sLines;
        }
    }
    HANDLE hFile = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 3;
    DWORD cbWritten = 0;
    BOOL bOk = WriteFile(hFile, sReport.data(), static_cast<DWORD>(sReport.size() * sizeof(WCHAR)), &cbWritten,
                         nullptr);
    CloseHandle(hFile);
    LocalFree(argv);
    return bOk ? 0 : 4;
}
