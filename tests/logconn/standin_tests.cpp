// The stand-in log library on its own, loaded into the test process: what a
// person reads in the log file, and what the read-back export returns.
#include "LogConnSupport.h"
#include "StandInLog.h"

#include "dshowx/DSTrace.h"
#include "winapi/Debugging.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <thread>

using namespace logconn;

namespace
{
// "14:03:27.512  0020/0024  L2  " and the same width of spaces below it.
const char c_szColumns[] = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}  [0-9a-f]{4,}/[0-9a-f]{4,}  ";

// The process/thread column of a file line.
std::string ThreadColumn(const std::string& sLine)
{
    return sLine.size() > 14 ? sLine.substr(14, sLine.find("  ", 14) - 14) : "";
}

class CStandIn
{
public:
    CStandIn()
    {
        m_hLib = LoadLibraryW(BinPath(L"velmoralog.dll").c_str());
        if (!m_hLib)
            return;
        auto pfnGet = Proc<PFN_EXP_GETLOGOBJECT>("Exp_GetLogObject");
        m_pfnRead = Proc<PFN_STANDIN_READLINES>("StandIn_ReadLines");
        m_pfnSetFile = Proc<PFN_STANDIN_SETLOGFILE>("StandIn_SetLogFile");
        m_pfnGetFile = Proc<PFN_STANDIN_GETLOGFILE>("StandIn_GetLogFile");
        m_pfnReset = Proc<PFN_STANDIN_RESET>("StandIn_Reset");
        if (pfnGet && pfnGet(&m_pLog) != 0)
            m_pLog = nullptr;
    }
    ~CStandIn()
    {
        if (m_hLib)
            FreeLibrary(m_hLib);
        if (!m_sFile.empty())
            DeleteFileW(m_sFile.c_str());
    }
    bool Ready() const { return m_pLog && m_pfnRead && m_pfnSetFile && m_pfnGetFile && m_pfnReset; }
    ILogObject* Log() const { return m_pLog; }
    const ILogObjectVtbl& Vtbl() const { return *m_pLog->lpVtbl; }

    // A fresh log file of the test's own.
    void UseFile(LPCWSTR pszName)
    {
        m_sFile = BinPath(pszName);
        DeleteFileW(m_sFile.c_str());
        m_pfnSetFile(m_sFile.c_str());
    }
    std::vector<std::string> FileLines() const { return SplitCrlf(ReadFileBytes(m_sFile)); }
    std::vector<std::wstring> Records() const
    {
        int cch = m_pfnRead(nullptr, 0);
        std::wstring s(cch, L'\0');
        EXPECT_EQ(cch, m_pfnRead(&s[0], cch));
        return SplitZeros(s);
    }
    std::wstring LogFile() const
    {
        WCHAR sz[MAX_PATH];
        return m_pfnGetFile(sz, MAX_PATH) ? sz : L"";
    }
    void Reset() const { m_pfnReset(); }
    BOOL SetFile(LPCWSTR psz) const { return m_pfnSetFile(psz); }

private:
    template <typename T>
    T Proc(LPCSTR pszName)
    {
        return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m_hLib, pszName)));
    }

    HMODULE m_hLib = nullptr;
    ILogObject* m_pLog = nullptr;
    PFN_STANDIN_READLINES m_pfnRead = nullptr;
    PFN_STANDIN_SETLOGFILE m_pfnSetFile = nullptr;
    PFN_STANDIN_GETLOGFILE m_pfnGetFile = nullptr;
    PFN_STANDIN_RESET m_pfnReset = nullptr;
    std::wstring m_sFile;
};

bool Matches(const std::string& s, const std::string& sPattern)
{
    return std::regex_match(s, std::regex(sPattern));
}

TEST(StandInLog, LinesShowTimeThreadAndLevelColumnsAndContinueAligned)
{
    CStandIn log;
    ASSERT_TRUE(log.Ready());
    log.UseFile(L"standin_lines.log");
    const ILogObjectVtbl& v = log.Vtbl();
    v.OutputW(log.Log(), L"\x1b\x03TAG: first line\nsecond line\n");
    v.OutputA(log.Log(), "\x1b\x01TAG: narrow\r\n");
    v.OutputA(log.Log(), "###Err###\nfile.cpp(3): ASSERT( \"x\" )\n");
    v.OutputW(log.Log(), L"\x1b\x09TAG: caf\u00e9 \u20ac, no line end");
    EXPECT_EQ(E_POINTER, v.OutputW(log.Log(), nullptr));
    EXPECT_EQ(E_POINTER, v.OutputA(log.Log(), nullptr));

    std::vector<std::string> lines = log.FileLines();
    ASSERT_EQ(6u, lines.size());
    const std::string sIndent(lines[0].find("TAG:"), ' ');
    EXPECT_TRUE(Matches(lines[0], c_szColumns + std::string("L2  TAG: first line"))) << lines[0];
    EXPECT_EQ(sIndent + "second line", lines[1]);
    EXPECT_TRUE(Matches(lines[2], c_szColumns + std::string("L0  TAG: narrow"))) << lines[2];
    EXPECT_TRUE(Matches(lines[3], c_szColumns + std::string("--  ###Err###"))) << lines[3];
    EXPECT_EQ(sIndent + "file.cpp(3): ASSERT( \"x\" )", lines[4]);
    EXPECT_TRUE(Matches(lines[5], c_szColumns + std::string("L8  TAG: caf\xc3\xa9 \xe2\x82\xac, no line end")))
        << lines[5];
    // All lines of one call carry the same thread column.
    EXPECT_EQ(ThreadColumn(lines[0]), ThreadColumn(lines[2]));

    std::vector<std::wstring> records = log.Records();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(L"W\x1b\x03TAG: first line\nsecond line\n", records[0]);
    EXPECT_EQ(L"A\x1b\x01TAG: narrow\r\n", records[1]);
    EXPECT_EQ(L"A###Err###\nfile.cpp(3): ASSERT( \"x\" )\n", records[2]);
    EXPECT_EQ(L"W\x1b\x09TAG: caf\u00e9 \u20ac, no line end", records[3]);
    log.Reset();
    EXPECT_TRUE(log.Records().empty());
}

TEST(StandInLog, LinesOfManyThreadsNeverMix)
{
    CStandIn log;
    ASSERT_TRUE(log.Ready());
    log.UseFile(L"standin_threads.log");
    const int c_cThreads = 8, c_cLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < c_cThreads; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < c_cLines; ++i)
            {
                WCHAR sz[200];
                _snwprintf(sz, 199, L"\x1b\x03T: thread %d line %d %s\n", t, i,
                           L"padding that makes a torn line easy to see ..........................");
                sz[199] = 0;
                log.Vtbl().OutputW(log.Log(), sz);
            }
        });
    for (std::thread& th : threads)
        th.join();

    std::vector<std::string> lines = log.FileLines();
    ASSERT_EQ(static_cast<size_t>(c_cThreads * c_cLines), lines.size());
    const std::regex re(c_szColumns + std::string("L2  T: thread ([0-9]+) line ([0-9]+) padding that makes a torn "
                                                  "line easy to see \\.+"));
    std::map<int, int> next;
    std::map<int, std::string> tid;
    for (const std::string& line : lines)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, re)) << line;
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        EXPECT_EQ(next[t], i) << "thread " << t;
        next[t] = i + 1;
        std::string sTid = ThreadColumn(line);
        if (tid.count(t))
        {
            EXPECT_EQ(tid[t], sTid);
        }
        tid[t] = sTid;
    }
    EXPECT_EQ(static_cast<size_t>(c_cThreads), next.size());
}

TEST(StandInLog, BlockIsWrittenWholeBetweenHeaderAndFooter)
{
    CStandIn log;
    ASSERT_TRUE(log.Ready());
    log.UseFile(L"standin_block.log");
    const ILogObjectVtbl& v = log.Vtbl();
    volatile bool bStop = false;
    std::thread noise([&] {
        while (!bStop)
            v.OutputW(log.Log(), L"\x1b\x03N: noise\n");
    });
    static const char c_szBlock[] = "Graph\n  Filter A\r\n\n  Filter B";
    for (int i = 0; i < 20; ++i)
    {
        // A count beyond the terminator stops at the terminator.
        EXPECT_EQ(S_OK, v.WriteBlock(log.Log(), sizeof(c_szBlock) + 100, c_szBlock));
    }
    bStop = true;
    noise.join();
    EXPECT_EQ(E_POINTER, v.WriteBlock(log.Log(), 4, nullptr));

    std::vector<std::string> lines = log.FileLines();
    int cBlocks = 0;
    for (size_t i = 0; i < lines.size(); ++i)
    {
        if (lines[i].find("---- block of") == std::string::npos)
            continue;
        ++cBlocks;
        EXPECT_TRUE(Matches(lines[i], c_szColumns + std::string("==  ---- block of 29 characters ----"))) << lines[i];
        ASSERT_LT(i + 5, lines.size());
        EXPECT_EQ("Graph", lines[i + 1]);
        EXPECT_EQ("  Filter A", lines[i + 2]);
        EXPECT_EQ("", lines[i + 3]);
        EXPECT_EQ("  Filter B", lines[i + 4]);
        EXPECT_TRUE(Matches(lines[i + 5], c_szColumns + std::string("==  ---- end of block ----"))) << lines[i + 5];
    }
    EXPECT_EQ(20, cBlocks);
    bool bFoundBlock = false;
    for (const std::wstring& r : log.Records())
        if (r[0] == STANDIN_RECORD_BLOCK)
        {
            EXPECT_EQ(L"BGraph\n  Filter A\r\n\n  Filter B", r);
            bFoundBlock = true;
        }
    EXPECT_TRUE(bFoundBlock);
}

volatile UINT_PTR g_uBad = 0x10;

void BadAddressHolder() {}

struct CDumpContext
{
    ILogObject* pLog;
    BOOL bFast;
};

LONG DumpFilter(EXCEPTION_POINTERS* pep, void* pv)
{
    auto* p = static_cast<CDumpContext*>(pv);
    p->pLog->lpVtbl->DumpCallStack(p->pLog, pep, nullptr, p->bFast);
    return EXCEPTION_EXECUTE_HANDLER;
}

TEST(StandInLog, CallStackDumpNamesTheExceptionRegistersAndFrames)
{
    CStandIn log;
    ASSERT_TRUE(log.Ready());
    log.UseFile(L"standin_dump.log");
    for (BOOL bFast : {FALSE, TRUE})
    {
        CDumpContext ctx{log.Log(), bFast};
        EXPECT_FALSE(SEH_Guard([] { *reinterpret_cast<volatile int*>(g_uBad) = 1; }, DumpFilter, &ctx));
    }
    log.Vtbl().DumpCallStack(log.Log(), nullptr, nullptr, TRUE);

    std::vector<std::wstring> records = log.Records();
    ASSERT_EQ(3u, records.size());
    for (int i = 0; i < 2; ++i)
    {
        const std::wstring& r = records[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(STANDIN_RECORD_DUMP, r[0]);
        EXPECT_EQ(0u, r.find(L"D*** Exception 0xC0000005 (access violation writing 0x")) << r;
        EXPECT_NE(std::wstring::npos, r.find(L"logconn_tests.exe+0x")) << r;
        EXPECT_NE(std::wstring::npos, r.find(sizeof(void*) == 8 ? L"rip=" : L"eip=")) << r;
        EXPECT_NE(std::wstring::npos, r.find(L"Stack of thread 0x")) << r;
        EXPECT_NE(std::wstring::npos, r.find(L"  #0 ")) << r;
    }
    EXPECT_EQ(0u, records[2].find(L"D*** Call stack (no exception record)\nRegisters: ")) << records[2];

    std::vector<std::string> lines = log.FileLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(Matches(lines[0], c_szColumns + std::string("L1  \\*\\*\\* Exception 0xC0000005 .*"))) << lines[0];
}

// A stack overflow is reported from a worker thread, which still walks the
// faulting thread's stack and names that thread.
TEST(StandInLog, StackOverflowIsReportedForTheFaultingThread)
{
    CStandIn log;
    ASSERT_TRUE(log.Ready());
    log.UseFile(L"standin_overflow.log");
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_STACK_OVERFLOW;
    record.ExceptionAddress = reinterpret_cast<void*>(&BadAddressHolder);
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    EXPECT_EQ(S_OK, log.Vtbl().DumpCallStack(log.Log(), &pointers, nullptr, TRUE));

    std::vector<std::wstring> records = log.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(0u, records[0].find(L"D*** Exception 0xC00000FD (stack overflow) at 0x")) << records[0];
    WCHAR szThread[40];
    _snwprintf(szThread, 39, L"Stack of thread 0x%X:\n", static_cast<unsigned>(GetCurrentThreadId()));
    szThread[39] = 0;
    EXPECT_NE(std::wstring::npos, records[0].find(szThread)) << records[0];
    EXPECT_NE(std::wstring::npos, records[0].find(L"  #0 ")) << records[0];
}

TEST(StandInLog, LogFileIsTheRegistryValueBesideTheLibraryPath)
{
    CLogKeyGuard keys;
    CStandIn log;
    ASSERT_TRUE(log.Ready());
    WCHAR szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring sDefault = std::wstring(szTemp) + L"velmora-trace.log";
    EXPECT_EQ(sDefault, log.LogFile());

    struct
    {
        HKEY hRoot;
        DWORD dwType;
        std::wstring sValue;
        std::wstring sExpected;
    } cases[] = {
        {HKEY_CURRENT_USER, REG_SZ, L"C:|logs|trace.log", L"C:\\logs\\trace.log"},
        {HKEY_LOCAL_MACHINE, REG_SZ, L"C:\\machine.log", L"C:\\machine.log"},
        {HKEY_CURRENT_USER, REG_EXPAND_SZ, L"%TEMP%\\expanded.log", std::wstring(szTemp) + L"expanded.log"},
        {HKEY_CURRENT_USER, REG_SZ, L"", sDefault},
        {HKEY_CURRENT_USER, REG_SZ, std::wstring(300, L'a'), sDefault},
        {HKEY_CURRENT_USER, REG_MULTI_SZ, L"C:\\multi.log\0", sDefault},
    };
    int nCase = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(nCase++);
        CLogKeyGuard::Clear();
        ASSERT_TRUE(CLogKeyGuard::SetText(c.hRoot, L"LogFile", c.sValue, c.dwType));
        log.Reset();
        std::wstring sGot = log.LogFile();
        // %TEMP% may expand to the short or long form of the same folder.
        if (c.dwType == REG_EXPAND_SZ)
            EXPECT_EQ(L"expanded.log", sGot.substr(sGot.size() - 12));
        else
            EXPECT_EQ(c.sExpected, sGot);
    }
    DWORD dw = 1;
    CLogKeyGuard::Clear();
    ASSERT_TRUE(CLogKeyGuard::Set(HKEY_CURRENT_USER, L"LogFile", REG_DWORD, &dw, sizeof(dw)));
    log.Reset();
    EXPECT_EQ(sDefault, log.LogFile());

    // An explicit file wins over the registry until it is cleared.
    EXPECT_TRUE(log.SetFile(L"C:\\explicit.log"));
    log.Reset();
    EXPECT_EQ(L"C:\\explicit.log", log.LogFile());
    EXPECT_FALSE(log.SetFile(std::wstring(MAX_PATH, L'b').c_str()));
    EXPECT_TRUE(log.SetFile(nullptr));
    EXPECT_EQ(sDefault, log.LogFile());
}

} // namespace
