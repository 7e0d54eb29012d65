#include "TraceCounter.h"
#include "Options.h"

#include <cstdio>
#include <cwchar>

namespace
{

bool StartsWith(LPCWSTR p, LPCWSTR pszWhat) { return wcsncmp(p, pszWhat, wcslen(pszWhat)) == 0; }

// Digits of a decimal number; false when there are none.
bool ParseDigits(LPCWSTR& p, LONGLONG& v, int nMax = 19)
{
    int n = 0;
    v = 0;
    while (*p >= L'0' && *p <= L'9' && n < nMax)
    {
        v = v * 10 + (*p++ - L'0');
        ++n;
    }
    return n > 0;
}

} // namespace

void CTraceCounter::AddSpy(LPCWSTR pszTag, size_t nSlot)
{
    CScopedLock lock(&m_lock);
    m_spies.push_back({pszTag, nSlot});
    if (m_counts.size() <= nSlot)
        m_counts.resize(nSlot + 1);
}

CStreamCounts CTraceCounter::Counts(size_t nSlot)
{
    CScopedLock lock(&m_lock);
    return nSlot < m_counts.size() ? m_counts[nSlot] : CStreamCounts();
}

void WINAPI CTraceCounter::Observe(void* pv, LPCWSTR psz, int cch)
{
    static_cast<CTraceCounter*>(pv)->OnLine(psz, cch);
}

bool CTraceCounter::ParseRefTime(LPCWSTR& p, REFERENCE_TIME& t)
{
    const bool bNegative = *p == L'-';
    LPCWSTR q = bNegative ? p + 1 : p;
    LONGLONG llSeconds = 0, llMsec = 0, llTicks = 0;
    if (!ParseDigits(q, llSeconds) || *q++ != L'.')
        return false;
    LPCWSTR pMsec = q;
    if (!ParseDigits(q, llMsec, 3) || q - pMsec != 3)
        return false;
    if (*q == L'\'')
    {
        LPCWSTR pTicks = ++q;
        if (!ParseDigits(q, llTicks, 4) || q - pTicks != 4)
            return false;
    }
    t = llSeconds * 10000000 + llMsec * 10000 + llTicks;
    if (bNegative)
        t = -t;
    p = q;
    return true;
}

void CTraceCounter::OnLine(LPCWSTR psz, int cch)
{
    if (psz == nullptr || cch <= 0)
        return;
    CScopedLock lock(&m_lock);
    if (m_bEcho)
    {
        // The escape and level characters are for the log library only.
        LPCWSTR pShown = (cch >= 2 && psz[0] == 27) ? psz + 2 : psz;
        const std::string s = Utf8(std::wstring(pShown, psz + cch));
        fwrite(s.data(), 1, s.size(), stdout);
        if (s.empty() || s.back() != '\n')
            fputc('\n', stdout);
    }

    LPCWSTR pTag = wcsstr(psz, L"[Spy ");
    if (pTag == nullptr)
        return;
    const CSpyLine* pSpy = nullptr;
    for (const CSpyLine& s : m_spies)
        if (StartsWith(pTag, s.tag.c_str()) && pTag[s.tag.size()] == L' ')
            pSpy = &s;
    if (pSpy == nullptr)
        return;
    CStreamCounts& c = m_counts[pSpy->nSlot];
    LPCWSTR p = pTag + pSpy->tag.size() + 1;

    if (StartsWith(p, L"EndOfStream()"))
    {
        c.bEndOfStream = true;
        return;
    }
    // The sample line: "tS=... tE=...  mS=...  flags={sync preroll discontinuity} ... al=N ..."
    if (!StartsWith(p, L"tS"))
        return;
    ++c.llSamples;
    REFERENCE_TIME tStart = 0, tEnd = 0;
    LPCWSTR q = p + 2;
    if (*q == L'=' && ParseRefTime(++q, tStart))
    {
        tEnd = tStart;
        if (StartsWith(q, L"  tE="))
        {
            q += 5;
            if (!ParseRefTime(q, tEnd))
                tEnd = tStart;
        }
        if (!c.bHaveTimes)
            c.tFirstStart = tStart;
        c.bHaveTimes = true;
        c.tLastStart = tStart;
        c.tLastEnd = tEnd;
    }
    if (LPCWSTR pFlags = wcsstr(q, L"flags={"))
        if (pFlags[7] && pFlags[8] && pFlags[9] == L'1')
            ++c.llDiscontinuities;
    if (LPCWSTR pLen = wcsstr(q, L" al="))
    {
        LPCWSTR r = pLen + 4;
        LONGLONG llLen = 0;
        if (ParseDigits(r, llLen, 10))
            c.llBytes += llLen;
    }
}
