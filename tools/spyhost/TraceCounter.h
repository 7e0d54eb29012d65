// What crossed each spy, read from the spies' own trace lines as the log
// library receives them: one sample line per sample, and the end of stream.
// The host thus adds nothing to the streaming path; the counting runs on the
// trace path the spy already takes.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <string>
#include <vector>

#include <winapi/Wrappers.h>

struct CStreamCounts
{
    LONGLONG llSamples = 0;
    LONGLONG llBytes = 0;         // actual data lengths
    bool bHaveTimes = false;
    REFERENCE_TIME tFirstStart = 0;
    REFERENCE_TIME tLastStart = 0;
    REFERENCE_TIME tLastEnd = 0;  // the stop time of the last sample, else its start
    LONGLONG llDiscontinuities = 0;
    bool bEndOfStream = false;
};

class CTraceCounter
{
public:
    CTraceCounter() = default;
    CTraceCounter(const CTraceCounter&) = delete;
    CTraceCounter& operator=(const CTraceCounter&) = delete;

    // Lines of the spy whose tag is pszTag ("[Spy 1]") count for stream
    // slot nSlot.
    void AddSpy(LPCWSTR pszTag, size_t nSlot);
    // Also writes every line to standard output.
    void SetEcho(bool bEcho) { m_bEcho = bEcho; }

    // One line as the log library received it.
    void OnLine(LPCWSTR psz, int cch);

    CStreamCounts Counts(size_t nSlot);

    // The observer callback of the stand-in log library.
    static void WINAPI Observe(void* pv, LPCWSTR psz, int cch);

    // Parses a reference time text ("1.040", "0.040'0400", "-2.000");
    // false when it is not one.
    static bool ParseRefTime(LPCWSTR& p, REFERENCE_TIME& t);

private:
    struct CSpyLine
    {
        std::wstring tag;
        size_t nSlot;
    };
    CAutoCritSec_SC m_lock{0}; // guards the members below: lines arrive on every thread
    std::vector<CSpyLine> m_spies;
    std::vector<CStreamCounts> m_counts;
    bool m_bEcho = false;
};
