#include "dshowx/DSTrace.h"

#include <gtest/gtest.h>

#include "support/TraceCapture.h"

#include <string>

namespace
{
std::wstring TagOf(LPCWSTR psz)
{
    WCHAR sz[32];
    MakeModuleTag(psz, sz, 32);
    return sz;
}

TEST(ModuleTag, NameRules)
{
    EXPECT_EQ(L"ABC: ", TagOf(L"C:\\dir\\abc.dll"));
    EXPECT_EQ(L"A: ", TagOf(L"C:\\a.dll"));
    EXPECT_EQ(L".DLL: ", TagOf(L"C:\\x\\.dll"));
    EXPECT_EQ(L"TOOL: ", TagOf(L"C:TOOL.EXE"));
    EXPECT_EQ(L"N/A: ", TagOf(L"abc.dll"));
    EXPECT_EQ(L"N/A: ", TagOf(L""));
    EXPECT_EQ(L"MIXED_ÄB.TXT: ", TagOf(L"c:\\Mixed_\u00c4b.txt"));
    std::wstring sForty(40, L'q');
    EXPECT_EQ(std::wstring(29, L'Q') + L": ", TagOf((L"c:\\" + sForty + L".dll").c_str()));
    char sz[32];
    MakeModuleTagA("c:\\abc.Dll", sz, 32);
    EXPECT_STREQ("ABC: ", sz);
}

TEST(DebugName, Rules)
{
    WCHAR sz[128];
    MakeDebugName(sz, 128, L"In", L"[Spy 1]");
    EXPECT_STREQ(L"[Spy 1 In]", sz);
    MakeDebugName(sz, 128, nullptr, nullptr);
    EXPECT_STREQ(L"[###???]", sz);
    MakeDebugName(sz, 128, L"", L"");
    EXPECT_STREQ(L"[###???]", sz);
    MakeDebugName(sz, 128, L"Spy 1", nullptr);
    EXPECT_STREQ(L"[Spy 1]", sz);
    sz[0] = L'x';
    MakeDebugName(sz, 15, L"In", nullptr);
    EXPECT_STREQ(L"", sz);
    MakeDebugName(sz, 16, L"A long name of a pin", L"[Spy 1]");
    EXPECT_STREQ(L"[Spy 1 A long n", sz);
    MakeDebugName(nullptr, 16, L"In", nullptr); // must not crash
}

TEST(Timer, ReportShapes)
{
    CTraceTimer timer("T: ");
    char sz[256];
    EXPECT_FALSE(timer.Report(sz, sizeof(sz)));
    timer.Start();
    timer.Stop();
    ASSERT_TRUE(timer.Report(sz, sizeof(sz)));
    unsigned a, b;
    EXPECT_EQ(2, sscanf(sz, "T: First=%u.%03u ms (1 call)\r\n", &a, &b)) << sz;
    EXPECT_NE(nullptr, strstr(sz, " ms (1 call)\r\n"));
    timer.Start();
    timer.Stop();
    ASSERT_TRUE(timer.Report(sz, sizeof(sz), "P: "));
    unsigned v[8], n = 0;
    ASSERT_EQ(9, sscanf(sz, "P: Avg=%u.%u Min=%u.%u Max=%u.%u First=%u.%u ms (%u calls)", &v[0], &v[1], &v[2],
                        &v[3], &v[4], &v[5], &v[6], &v[7], &n))
        << sz;
    EXPECT_EQ(2u, n);
    // One call after the first: average, minimum and maximum are that call.
    EXPECT_EQ(v[2], v[0]);
    EXPECT_EQ(v[3], v[1]);
    EXPECT_EQ(v[4], v[2]);
    EXPECT_EQ(v[5], v[3]);
    timer.Reset();
    EXPECT_FALSE(timer.Report(sz, sizeof(sz)));
}

TEST(Trace, WithoutLogEverythingIsSilent)
{
    EXPECT_FALSE(Log_IsConnected());
    TraceW(1, 2, L"%s %hs %I64i\n", L"wide", "narrow", 5LL);
    // Nobody listens: the line is not even formatted (this argument would fault).
    TraceW(1, 2, L"%s\n", reinterpret_cast<LPCWSTR>(16));
    TraceA("%s\n", "x");
    Log_WriteBlock(3, "abc");
    EXPECT_EQ(5, TraceAssert(false, "file.cpp", 12, "a == b"));
    EXPECT_EQ(1, TraceAssert(true, "file.cpp", 12, "a == b"));
    EXPECT_EQ(7, Log_DumpCallStack(nullptr, nullptr, FALSE, 7));
}
TEST(Trace, LinesCarryPrefixAndAreFilteredAndBounded)
{
    CTraceCapture capture;
    EXPECT_TRUE(Log_IsConnected());
    TraceW(TRACE_CAT_GENERAL, 2, L"value=%d %s\n", 7, L"wide");
    TraceW(TRACE_CAT_INTERFACE, 8, L"call\n");
    TraceW(TRACE_CAT_GENERAL, 10, L"%s", nullptr); // above 8: never formatted
    TraceW(0, 1, L"no category\n");
    TraceA("narrow %hs\n", "text");
    const std::wstring sLong(600, L'x');
    TraceW(TRACE_CAT_GENERAL, 4, L"%s", sLong.c_str());

    const std::vector<std::wstring> lines = capture.Lines();
    ASSERT_EQ(4u, lines.size());
    WCHAR szTag[32];
    WCHAR szExe[MAX_PATH];
    GetModuleFileNameW(nullptr, szExe, MAX_PATH);
    MakeModuleTag(szExe, szTag, 32);
    EXPECT_EQ(std::wstring(L"\x1b\x03") + szTag + L"value=7 wide\n", lines[0]);
    EXPECT_EQ(8, CTraceCapture::Level(lines[1]));
    EXPECT_EQ(L"narrow text\n", CTraceCapture::Body(lines[2]));
    EXPECT_EQ(0, CTraceCapture::Level(lines[2]));
    EXPECT_EQ(511u, lines[3].size());
    EXPECT_EQ(L'x', lines[3].back());

    Log_WriteBlock(5, "block");
    ASSERT_EQ(1u, capture.Blocks().size());
    EXPECT_EQ("block", capture.Blocks()[0]);
}

} // namespace
