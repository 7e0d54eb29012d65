#include <helpers/Perf.h>

#include <dshowx/DSTrace.h>
#include <winapi/Functions.h>

#include <x86intrin.h>

DWORD CPerf::s_dwFreq = 0;

bool GetProcFreq(DWORD* pdwFreq, bool bMeasure)
{
    if (pdwFreq == nullptr)
        return false;
    *pdwFreq = 0;
    if (!bMeasure)
    {
        DWORD dwMHz = 0;
        DWORD cb = sizeof(dwMHz);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"~MHz",
                         RRF_RT_REG_DWORD, NULL, &dwMHz, &cb) == ERROR_SUCCESS &&
            dwMHz > 0)
        {
            *pdwFreq = dwMHz;
            return true;
        }
    }
    LARGE_INTEGER liFreq = {}, liStart = {}, liStop = {};
    const bool bCounter = QueryPerformanceFrequency(&liFreq) && liFreq.QuadPart > 0 && QueryPerformanceCounter(&liStart);
    LONGLONG llRefFreq = 0, llRefStart = 0, llRefStop = 0, llTickStart = 0, llTickStop = 0;
    if (bCounter)
    {
        llTickStart = static_cast<LONGLONG>(__rdtsc());
        Sleep(10);
        QueryPerformanceCounter(&liStop);
        llTickStop = static_cast<LONGLONG>(__rdtsc());
        llRefFreq = liFreq.QuadPart;
        llRefStart = liStart.QuadPart;
        llRefStop = liStop.QuadPart;
    }
    if (!bCounter || llRefStop <= llRefStart)
    {
        // No usable performance counter: the millisecond tick over a longer sleep.
        llRefFreq = 1000;
        llRefStart = GetTickCount();
        llTickStart = static_cast<LONGLONG>(__rdtsc());
        Sleep(40);
        llRefStop = GetTickCount();
        llTickStop = static_cast<LONGLONG>(__rdtsc());
    }
    const LONGLONG llRef = llRefStop - llRefStart;
    if (llRef <= 0)
        return false;
    const double dTicksPerSec = static_cast<double>(llTickStop - llTickStart) * static_cast<double>(llRefFreq) /
                                static_cast<double>(llRef);
    *pdwFreq = static_cast<DWORD>(dTicksPerSec / 1000000.0);
    return *pdwFreq > 0;
}

CPerf::CPerf()
{
    if (s_dwFreq == 0)
    {
        DWORD dwFreq = 0;
        const bool bOk = GetProcFreq(&dwFreq, false);
        TRACE_ASSERT_TEXT(bOk, "CPerf::CPerf(): GetProcFreq() FAILED");
        s_dwFreq = dwFreq;
    }
}

LONGLONG CPerf::Ticks() { return static_cast<LONGLONG>(__rdtsc()); }

void CPerf::Start() { m_llStart = Ticks(); }

void CPerf::Stop() { m_llStop = Ticks(); }

DWORD CPerf::TicksToMicroseconds(LONGLONG llTicks)
{
    // Without a rate there is no duration to show, and no division by zero.
    if (s_dwFreq == 0)
        return 0;
    return static_cast<DWORD>(llTicks / static_cast<LONGLONG>(s_dwFreq));
}

void CPerf::TraceDuration(LPCWSTR pszPrefix) const
{
    const DWORD us = DurationUs();
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s Dur=%u.%03u ms\n", pszPrefix != nullptr ? pszPrefix : L"[Perf] ", us / 1000,
           us % 1000);
}

void CPerf::FlushMark()
{
    m_bFlushMark = true;
    m_llFlushMark = Ticks();
}

bool CPerf::FlushCheck()
{
    const LONGLONG llNow = Ticks();
    if (!m_bFlushMark)
        return false;
    m_bFlushMark = false;
    if (m_cFlushes < MAX_FLUSHES)
        m_allFlushes[m_cFlushes++] = llNow - m_llFlushMark;
    return true;
}

void CPerf::TraceResults(LPCWSTR pszPrefix) const
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s Result for %u tests\n", pszPrefix != nullptr ? pszPrefix : L"[Perf] ",
           static_cast<UINT>(m_cFlushes));
    // 100 lines of at most 18 characters fit the fixed buffer. A trace line
    // holds fewer than 512 characters, so the text goes out in pieces of
    // whole lines that each fit one.
    constexpr size_t c_cchPiece = 400;
    WCHAR szText[2048];
    StrCopy(szText, 2048, L"\r\n");
    size_t cchPieceStart = 0;
    for (size_t i = 0; i < m_cFlushes; ++i)
    {
        const size_t cchBefore = wcslen(szText);
        const DWORD us = TicksToMicroseconds(m_allFlushes[i]);
        StrAppend(szText, 2048, L"%u.%03u\r\n", us / 1000, us % 1000);
        if (wcslen(szText) - cchPieceStart > c_cchPiece)
        {
            const WCHAR ch = szText[cchBefore];
            szText[cchBefore] = 0;
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s", szText + cchPieceStart);
            szText[cchBefore] = ch;
            cchPieceStart = cchBefore;
        }
    }
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s", szText + cchPieceStart);
}
