// Processor rate and the flush and duration measurements.
#include <windows.h>

#include <helpers/Perf.h>

#include <gtest/gtest.h>

#include <string>

#include "support/TraceCapture.h"

TEST(ProcFreq, RegistryAndMeasuredRatesAreBothUsable)
{
    DWORD dwRegistry = 7, dwMeasured = 7;
    EXPECT_TRUE(GetProcFreq(&dwRegistry, false));
    EXPECT_TRUE(GetProcFreq(&dwMeasured, true));
    EXPECT_GT(dwRegistry, 0u);
    EXPECT_GT(dwMeasured, 10u); // any processor of today runs above 10 MHz
    EXPECT_FALSE(GetProcFreq(nullptr, true));
}

TEST(Perf, DurationIsTracedInMillisecondsWithMicroseconds)
{
    CTraceCapture trace;
    CPerf perf;
    ASSERT_GT(CPerf::Freq(), 0u);
    perf.Start();
    Sleep(20);
    perf.Stop();
    EXPECT_GE(perf.DurationUs(), 15000u);
    EXPECT_LT(perf.DurationUs(), 2000000u);
    perf.TraceDuration(L"[Spy 1]");
    perf.TraceDuration();
    const std::wstring text = trace.Text();
    EXPECT_TRUE(TextHas(text, L"[Spy 1] Dur="));
    EXPECT_TRUE(TextHas(text, L"[Perf]  Dur="));
    EXPECT_TRUE(TextHas(text, L" ms\n"));
    // 2,500 ticks at the rate: the conversion truncates.
    EXPECT_EQ(2u, CPerf::TicksToMicroseconds(2LL * CPerf::Freq() + CPerf::Freq() / 2));
}

TEST(Perf, OnlyTheLastFlushBeforeASampleCountsAndAtMostAHundred)
{
    CPerf perf;
    EXPECT_FALSE(perf.FlushCheck()); // no flush yet
    perf.FlushMark();
    Sleep(30);
    perf.FlushMark(); // a second flush before any sample replaces the first
    EXPECT_TRUE(perf.FlushCheck());
    EXPECT_FALSE(perf.FlushCheck());
    ASSERT_EQ(1u, perf.FlushCount());
    EXPECT_LT(CPerf::TicksToMicroseconds(perf.Flush(0)), 25000u);

    for (int i = 0; i < 150; ++i)
    {
        perf.FlushMark();
        EXPECT_TRUE(perf.FlushCheck());
    }
    EXPECT_EQ(CPerf::MAX_FLUSHES, perf.FlushCount());

    CTraceCapture trace;
    perf.TraceResults(L"[Perf - Flush] ");
    const std::vector<std::wstring> lines = trace.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(L"[Perf - Flush]  Result for 100 tests\n", CTraceCapture::Body(lines[0]));
    // The list may come in several lines of the log; joined it is whole.
    std::wstring list;
    for (size_t i = 1; i < lines.size(); ++i)
        list += CTraceCapture::Body(lines[i]);
    size_t nLines = 0;
    for (size_t n = list.find(L"\r\n"); n != std::wstring::npos; n = list.find(L"\r\n", n + 2))
        ++nLines;
    EXPECT_EQ(101u, nLines); // the leading line end and one per entry
}

TEST(Perf, NoFlushReportsZeroTests)
{
    CTraceCapture trace;
    CPerf perf;
    perf.TraceResults();
    const std::vector<std::wstring> lines = trace.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"[Perf]  Result for 0 tests\n", CTraceCapture::Body(lines[0]));
    EXPECT_EQ(L"\r\n", CTraceCapture::Body(lines[1]));
}
