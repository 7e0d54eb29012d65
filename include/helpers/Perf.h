// Short durations measured with the processor's tick counter, shown in
// milliseconds with microsecond resolution. Nothing allocates while
// measuring: the flush list is a fixed array.
#pragma once

#include <windows.h>

// Processor ticks per microsecond (MHz): the registry's "~MHz" unless
// bMeasure, else measured against the performance counter (or the
// millisecond tick). False, with *pdwFreq 0, when no rate can be found.
bool GetProcFreq(DWORD* pdwFreq, bool bMeasure);

class CPerf
{
public:
    static constexpr size_t MAX_FLUSHES = 100;

    CPerf();

    void Start();
    void Stop();
    // "%s Dur=%u.%03u ms\n" with the prefix, "[Perf] " when none.
    void TraceDuration(LPCWSTR pszPrefix = nullptr) const;
    void FlushMark();
    // True when a mark was armed; records the time since it (up to 100 times).
    bool FlushCheck();
    void TraceResults(LPCWSTR pszPrefix = nullptr) const;

    // Microseconds of a tick count; 0 when the rate is unknown.
    static DWORD TicksToMicroseconds(LONGLONG llTicks);
    DWORD DurationUs() const { return TicksToMicroseconds(m_llStop - m_llStart); }
    size_t FlushCount() const { return m_cFlushes; }
    LONGLONG Flush(size_t n) const { return n < m_cFlushes ? m_allFlushes[n] : 0; }
    static DWORD Freq() { return s_dwFreq; }

private:
    static LONGLONG Ticks();

    static DWORD s_dwFreq;
    LONGLONG m_llStart = 0;
    LONGLONG m_llStop = 0;
    bool m_bFlushMark = false;
    LONGLONG m_llFlushMark = 0;
    LONGLONG m_allFlushes[MAX_FLUSHES] = {};
    size_t m_cFlushes = 0;
};
