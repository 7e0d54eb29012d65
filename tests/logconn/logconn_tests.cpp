// The log connection end to end: the registry of the private prefix names a
// library, a probe process connects at load as any traced module does, and
// the test reads what it reported and what reached the log file.
#include "LogConnSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

using namespace logconn;

namespace
{

struct CProbeResult
{
    DWORD dwExit = 0xFFFFFFFF;
    bool bConnected = false;
    std::wstring sModules;
    std::vector<std::wstring> records; // read back from the stand-in library
};

struct CProbe
{
    PROCESS_INFORMATION pi = {};
    std::wstring sReport;
};

bool StartProbe(CProbe& probe, LPCWSTR pszMode, LPCWSTR pszReport, LPCSTR pszBadLogMode)
{
    probe.sReport = BinPath(pszReport);
    DeleteFileW(probe.sReport.c_str());
    std::wstring sCmd = L"\"" + BinPath(L"logconn_probe.exe") + L"\" " + pszMode + L" \"" + probe.sReport + L"\"";
    SetEnvironmentVariableA("VELMORA_BADLOG", pszBadLogMode);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    BOOL bStarted = CreateProcessW(nullptr, &sCmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &probe.pi);
    SetEnvironmentVariableA("VELMORA_BADLOG", nullptr);
    EXPECT_TRUE(bStarted) << GetLastError();
    return bStarted;
}

CProbeResult FinishProbe(CProbe& probe)
{
    CProbeResult result;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(probe.pi.hProcess, 60000));
    GetExitCodeProcess(probe.pi.hProcess, &result.dwExit);
    CloseHandle(probe.pi.hThread);
    CloseHandle(probe.pi.hProcess);
    std::string sBytes = ReadFileBytes(probe.sReport);
    DeleteFileW(probe.sReport.c_str());
    std::wstring s(sBytes.size() / sizeof(WCHAR), L'\0');
    if (!s.empty())
        memcpy(&s[0], sBytes.data(), s.size() * sizeof(WCHAR));
    std::vector<std::wstring> records = SplitZeros(s);
    if (records.size() < 2)
    {
        ADD_FAILURE() << "probe wrote no report, exit code 0x" << std::hex << result.dwExit;
        return result;
    }
    result.bConnected = records[0] == L"connected=1";
    result.sModules = records[1].substr(8);
    result.records.assign(records.begin() + 2, records.end());
    return result;
}

CProbeResult RunProbe(LPCWSTR pszMode, LPCSTR pszBadLogMode = nullptr)
{
    CProbe probe;
    if (!StartProbe(probe, pszMode, L"logconn_report.bin", pszBadLogMode))
        return CProbeResult();
    return FinishProbe(probe);
}

std::wstring Library()
{
    return BinPath(L"velmoralog.dll");
}

std::wstring WithBars(std::wstring s)
{
    std::replace(s.begin(), s.end(), L'\\', L'|');
    return s;
}

class LogConnection : public ::testing::Test
{
protected:
    CLogKeyGuard m_keys;
};

TEST_F(LogConnection, NoKeyInEitherHiveLeavesTracingOff)
{
    CProbeResult r = RunProbe(L"lines");
    EXPECT_EQ(0u, r.dwExit);
    EXPECT_FALSE(r.bConnected);
    EXPECT_EQ(L"", r.sModules);
}

TEST_F(LogConnection, MachineKeyServesWhenTheUserHasNone)
{
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_LOCAL_MACHINE, nullptr, Library()));
    CProbeResult r = RunProbe(L"status");
    EXPECT_EQ(0u, r.dwExit);
    EXPECT_TRUE(r.bConnected);
    EXPECT_EQ(L"velmoralog.dll ", r.sModules);
}

TEST_F(LogConnection, UserKeyWithoutDefaultValueHidesTheMachineKey)
{
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_LOCAL_MACHINE, nullptr, Library()));
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_CURRENT_USER, L"LogFile", L"C:\\unused.log"));
    CProbeResult r = RunProbe(L"status");
    EXPECT_EQ(0u, r.dwExit);
    EXPECT_FALSE(r.bConnected);
    EXPECT_EQ(L"", r.sModules);
}

// Registry values the spine must refuse quietly: nothing loaded, no crash.
TEST_F(LogConnection, UnusableLibraryValuesLeaveTracingOff)
{
    const DWORD dw = 0x12345678;
    std::vector<WCHAR> unterminated(MAX_PATH, L'a'); // fills the buffer, no terminator
    const std::wstring sTooLong = std::wstring(300, L'c') + L".dll";
    const std::wstring sMissing = BinPath(L"no_such_log.dll");
    struct
    {
        LPCSTR pszWhat;
        DWORD dwType;
        const void* pv;
        DWORD cb;
    } cases[] = {
        {"DWORD value", REG_DWORD, &dw, sizeof(dw)},
        {"unterminated buffer-filling binary", REG_BINARY, unterminated.data(), MAX_PATH * sizeof(WCHAR)},
        {"too long", REG_SZ, sTooLong.c_str(), static_cast<DWORD>((sTooLong.size() + 1) * sizeof(WCHAR))},
        {"missing file", REG_SZ, sMissing.c_str(), static_cast<DWORD>((sMissing.size() + 1) * sizeof(WCHAR))},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszWhat);
        CLogKeyGuard::Clear();
        ASSERT_TRUE(CLogKeyGuard::Set(HKEY_CURRENT_USER, nullptr, c.dwType, c.pv, c.cb));
        CProbeResult r = RunProbe(L"status");
        EXPECT_EQ(0u, r.dwExit);
        EXPECT_FALSE(r.bConnected);
    }
}

TEST_F(LogConnection, BrokenLibrariesAreUnloadedAndTracingIsOff)
{
    struct
    {
        LPCWSTR pszDll;
        LPCSTR pszMode;
    } cases[] = {
        {L"badlog_noexport.dll", nullptr},
        {L"badlog_raises.dll", nullptr},  // Exp_GetLogObject raises
        {L"badlog_raises.dll", "attach"}, // the object's Attach raises
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszMode ? c.pszMode : "");
        SCOPED_TRACE(std::string(c.pszDll, c.pszDll + wcslen(c.pszDll)));
        CLogKeyGuard::Clear();
        ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_CURRENT_USER, nullptr, BinPath(c.pszDll)));
        CProbeResult r = RunProbe(L"lines", c.pszMode);
        EXPECT_EQ(0u, r.dwExit);
        EXPECT_FALSE(r.bConnected);
        EXPECT_EQ(L"", r.sModules);
    }
}

TEST_F(LogConnection, LibraryGetsOneAddressForTheModulesLife)
{
    // The library keeps the address from Exp_GetLogObject and writes through
    // it on every line; Attach and Detach must get that same live address.
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_CURRENT_USER, nullptr, BinPath(L"badlog_raises.dll")));
    const std::wstring sVerdict = BinPath(L"badlog_verdict.txt");
    DeleteFileW(sVerdict.c_str());
    SetEnvironmentVariableW(L"VELMORA_BADLOG_REPORT", sVerdict.c_str());
    CProbeResult r = RunProbe(L"lines", "addr");
    SetEnvironmentVariableW(L"VELMORA_BADLOG_REPORT", nullptr);
    EXPECT_EQ(0u, r.dwExit);
    EXPECT_TRUE(r.bConnected);
    EXPECT_EQ("same", ReadFileBytes(sVerdict));
    DeleteFileW(sVerdict.c_str());
}

bool StartsWith(const std::wstring& s, const std::wstring& sPrefix)
{
    return s.compare(0, sPrefix.size(), sPrefix) == 0;
}

// A path stored with "|" throughout, the LogFile value beside it, and every
// kind of line the spine sends, through the real library into the file.
TEST_F(LogConnection, LinesReachTheLibraryAndTheLogFile)
{
    const std::wstring sLogFile = BinPath(L"logconn_e2e.log");
    DeleteFileW(sLogFile.c_str());
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_CURRENT_USER, nullptr, WithBars(Library())));
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_CURRENT_USER, L"LogFile", WithBars(sLogFile)));
    CProbeResult r = RunProbe(L"lines");
    EXPECT_EQ(0u, r.dwExit);
    ASSERT_TRUE(r.bConnected);
    EXPECT_EQ(L"velmoralog.dll ", r.sModules);

    // What the library received, in order: the escape, level + 1, the
    // probe's module tag, the text; levels above 8 and category 0 dropped.
    const std::vector<std::wstring>& rec = r.records;
    ASSERT_EQ(8u, rec.size());
    EXPECT_EQ(L"W\x1b\x03LOGCONN_PROBE: [Probe] hello 42\n", rec[0]);
    EXPECT_EQ(L"W\x1b\x09LOGCONN_PROBE: [Probe] level 8\n", rec[1]);
    // 600 characters arrive cut to 511 (the 512th place is the terminator).
    EXPECT_EQ(1u + 511u, rec[2].size());
    EXPECT_TRUE(StartsWith(rec[2], L"W\x1b\x01LOGCONN_PROBE: xxxx"));
    EXPECT_EQ(std::wstring::npos, rec[2].find_first_not_of(L'x', 18));
    EXPECT_EQ(L"A\x1b\x01LOGCONN_PROBE: narrow 7\n", rec[3]);
    EXPECT_EQ(L"BGraph\n  Filter A\n  Filter B\n", rec[4]);
    EXPECT_TRUE(StartsWith(rec[5], L"A###Err###\n")) << rec[5];
    EXPECT_NE(std::wstring::npos, rec[5].find(L"logconn_probe.cpp(")) << rec[5];
    EXPECT_NE(std::wstring::npos, rec[5].find(L"): ASSERT( \"1 == 2\" )\n")) << rec[5];
    EXPECT_EQ(L"A\t\nexit ASSERT", rec[6]);
    EXPECT_TRUE(StartsWith(rec[7], L"D*** Exception 0xC0000005 (access violation writing 0x")) << rec[7];

    // What a person reads. The statistics line comes at unload, after the
    // probe's report: only the file has it.
    std::vector<std::string> lines = SplitCrlf(ReadFileBytes(sLogFile));
    auto Find = [&](const std::string& s) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.find(s) != std::string::npos; });
    };
    ASSERT_GE(lines.size(), 10u);
    EXPECT_NE(std::string::npos, lines.front().find("==  ==== ")) << lines.front();
    EXPECT_NE(std::string::npos, lines.front().find(" attached: ")) << lines.front();
    EXPECT_NE(std::string::npos, lines.back().find(" detached: ")) << lines.back();
    EXPECT_NE(lines.end(), Find("  L2  LOGCONN_PROBE: [Probe] hello 42"));
    EXPECT_NE(lines.end(), Find("  L8  LOGCONN_PROBE: [Probe] level 8"));
    EXPECT_EQ(lines.end(), Find("level 9"));
    EXPECT_EQ(lines.end(), Find("category 0"));
    auto itBlock = Find("==  ---- block of 28 characters ----");
    ASSERT_NE(lines.end(), itBlock);
    ASSERT_LT(itBlock + 4, lines.end());
    EXPECT_EQ("Graph", itBlock[1]);
    EXPECT_EQ("  Filter A", itBlock[2]);
    EXPECT_EQ("  Filter B", itBlock[3]);
    EXPECT_NE(std::string::npos, itBlock[4].find("==  ---- end of block ----"));
    auto itStat = Find("  L0  LOGCONN_PROBE: *** [Log stat] Output: Avg=");
    ASSERT_NE(lines.end(), itStat);
    EXPECT_NE(std::string::npos, itStat->find(" ms (4 calls)")) << *itStat;
    DeleteFileW(sLogFile.c_str());
}

// Two processes appending to one log file at once: every line arrives whole.
TEST_F(LogConnection, ProcessesSharingALogFileKeepTheirLinesWhole)
{
    const std::wstring sLogFile = BinPath(L"logconn_shared.log");
    DeleteFileW(sLogFile.c_str());
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_CURRENT_USER, nullptr, Library()));
    ASSERT_TRUE(CLogKeyGuard::SetText(HKEY_CURRENT_USER, L"LogFile", sLogFile));
    CProbe probes[2];
    ASSERT_TRUE(StartProbe(probes[0], L"many", L"logconn_report0.bin", nullptr));
    ASSERT_TRUE(StartProbe(probes[1], L"many", L"logconn_report1.bin", nullptr));
    for (CProbe& probe : probes)
    {
        CProbeResult r = FinishProbe(probe);
        EXPECT_EQ(0u, r.dwExit);
        EXPECT_TRUE(r.bConnected);
    }
    std::vector<std::string> lines = SplitCrlf(ReadFileBytes(sLogFile));
    const std::regex re("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}  ([0-9a-f]{4,})/[0-9a-f]{4,}  "
                        "(L2  LOGCONN_PROBE: \\[Probe\\] many ([0-9]+) of a line long enough to tear \\.+|"
                        "==  ==== .*|L0  LOGCONN_PROBE: \\*\\*\\* \\[Log stat\\] .*)");
    std::map<std::string, int> next;
    for (const std::string& line : lines)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, re)) << line;
        if (!m[3].matched)
            continue;
        EXPECT_EQ(next[m[1]], std::stoi(m[3])) << line;
        next[m[1]] = std::stoi(m[3]) + 1;
    }
    ASSERT_EQ(2u, next.size());
    for (const auto& n : next)
        EXPECT_EQ(300, n.second);
    DeleteFileW(sLogFile.c_str());
}

} // namespace
