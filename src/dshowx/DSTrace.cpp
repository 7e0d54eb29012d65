#include "dshowx/DSTrace.h"

#include "winapi/Debugging.h"
#include "winapi/Format.h"

#include <intrin.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Trace formats follow the platform runtime's conventions (%s wide in wide
// formats), which GCC's format checker does not know.
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

namespace
{

const int c_cchLine = 512;
const int c_cchModuleTag = 32;

// ---------------------------------------------------------------------------
// Module tag

template <typename TChar>
bool IsExtension(const TChar* psz, const char* pszExt)
{
    for (int i = 0; i < 4; ++i)
    {
        TChar c = psz[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<TChar>(c - 'A' + 'a');
        if (c != static_cast<TChar>(pszExt[i]))
            return false;
    }
    return true;
}

template <typename TChar>
void ModuleTagOf(const TChar* pszFileName, TChar* pszTag, size_t cchTag)
{
    if (!pszTag || cchTag < static_cast<size_t>(c_cchModuleTag))
    {
        if (pszTag && cchTag)
            pszTag[0] = 0;
        return;
    }
    static const char c_szNone[] = "N/A: ";
    const TChar* pszName = nullptr;
    if (pszFileName)
    {
        for (const TChar* p = pszFileName + (pszFileName[0] ? 0 : 0); *p; ++p)
            if (*p == '\\' || *p == ':')
                pszName = p + 1;
    }
    if (!pszName)
    {
        for (size_t i = 0; i < sizeof(c_szNone); ++i)
            pszTag[i] = static_cast<TChar>(c_szNone[i]);
        return;
    }
    size_t cchName = 0;
    while (pszName[cchName])
        ++cchName;
    if (cchName > 4 && (IsExtension(pszName + cchName - 4, ".dll") || IsExtension(pszName + cchName - 4, ".exe")))
        cchName -= 4;
    if (cchName > 29)
        cchName = 29;
    size_t n = 0;
    for (; n < cchName; ++n)
    {
        TChar c = pszName[n];
        pszTag[n] = (c >= 'a' && c <= 'z') ? static_cast<TChar>(c - 'a' + 'A') : c;
    }
    pszTag[n++] = ':';
    pszTag[n++] = ' ';
    pszTag[n] = 0;
}

// The module that holds this code, not the process's executable.
HMODULE ThisModule()
{
    MEMORY_BASIC_INFORMATION mbi = {};
    if (!VirtualQuery(reinterpret_cast<LPCVOID>(&ThisModule), &mbi, sizeof(mbi)))
        return nullptr;
    return static_cast<HMODULE>(mbi.AllocationBase);
}

WCHAR s_szModuleNameW[c_cchModuleTag];
char s_szModuleNameA[c_cchModuleTag];

// Computed without a lock: concurrent first calls compute the same text.
LPCWSTR ModuleTagW()
{
    if (!s_szModuleNameW[0])
    {
        TRACE_ASSERT(16 <= sizeof(s_szModuleNameW) / sizeof(*s_szModuleNameW));
        WCHAR szFile[MAX_PATH + 1] = {};
        HMODULE hModule = ThisModule();
        if (!hModule || !GetModuleFileNameW(hModule, szFile, MAX_PATH))
            szFile[0] = 0;
        WCHAR szTag[c_cchModuleTag];
        ModuleTagOf<WCHAR>(szFile, szTag, c_cchModuleTag);
        memcpy(s_szModuleNameW, szTag, sizeof(szTag));
    }
    return s_szModuleNameW;
}

LPCSTR ModuleTagA()
{
    if (!s_szModuleNameA[0])
    {
        TRACE_ASSERT(16 <= _countof(s_szModuleNameA));
        char szFile[MAX_PATH + 1] = {};
        HMODULE hModule = ThisModule();
        if (!hModule || !GetModuleFileNameA(hModule, szFile, MAX_PATH))
            szFile[0] = 0;
        char szTag[c_cchModuleTag];
        ModuleTagOf<char>(szFile, szTag, c_cchModuleTag);
        memcpy(s_szModuleNameA, szTag, sizeof(szTag));
    }
    return s_szModuleNameA;
}

// ---------------------------------------------------------------------------
// Log connection

// Declared before the connection so that it outlives it: the connection
// prints the statistics when it goes.
CTraceTimer s_timer;

class CLogLoader
{
public:
    CLogLoader() { Connect(); }
    ~CLogLoader() { Disconnect(); }
    CLogLoader(const CLogLoader&) = delete;
    CLogLoader& operator=(const CLogLoader&) = delete;

    ILogObject* Object() const { return m_pLog; }
    ILogObject* Replace(ILogObject* pLog)
    {
        return static_cast<ILogObject*>(InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&m_pLog), pLog));
    }

private:
    void Connect();
    void Disconnect();
    static bool ReadLibraryPath(WCHAR (&szPath)[MAX_PATH]);

    HMODULE m_hLibrary = nullptr;
    // The library's own object, detached at unload whatever a host installed.
    ILogObject* m_pLibraryLog = nullptr;
    ILogObject* volatile m_pLog = nullptr;
};

bool CLogLoader::ReadLibraryPath(WCHAR (&szPath)[MAX_PATH])
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\_KORVEXLOG", 0, KEY_READ, &hKey) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\_KORVEXLOG", 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    memset(szPath, 0, sizeof(szPath));
    DWORD cb = sizeof(szPath);
    LONG lResult = RegQueryValueExW(hKey, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(szPath), &cb);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS)
        return false;
    // The value's type is not examined, so a value that fills the buffer
    // exactly has no terminator: refuse it rather than read past the end.
    if (szPath[MAX_PATH - 1] != 0)
        return false;
    for (WCHAR* p = szPath; *p; ++p)
        if (*p == L'|')
            *p = L'\\';
    return true;
}

struct CConnectArgs
{
    PFN_EXP_GETLOGOBJECT pfnGet;
    ILogObject** ppLog;
};

void ConnectBody(void* pv)
{
    auto* pArgs = static_cast<CConnectArgs*>(pv);
    if (pArgs->pfnGet(pArgs->ppLog) != 0)
    {
        *pArgs->ppLog = nullptr;
        return;
    }
    ILogObject* pLog = *pArgs->ppLog;
    if (pLog)
        pLog->lpVtbl->Attach(pLog, pArgs->ppLog, 0, 0);
}

struct CDetachArgs
{
    ILogObject* pLog;
    ILogObject** ppLog; // the address the library was given at connection
};

void DetachBody(void* pv)
{
    auto* pArgs = static_cast<CDetachArgs*>(pv);
    pArgs->pLog->lpVtbl->Detach(pArgs->pLog, pArgs->ppLog);
}

void CLogLoader::Connect()
{
    m_hLibrary = nullptr;
    m_pLog = nullptr;
    m_pLibraryLog = nullptr;
    WCHAR szPath[MAX_PATH];
    if (!ReadLibraryPath(szPath))
        return;
    m_hLibrary = LoadLibraryW(szPath);
    if (!m_hLibrary)
        return;
    auto pfnGet = reinterpret_cast<PFN_EXP_GETLOGOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(m_hLibrary, "Exp_GetLogObject")));
    if (!pfnGet)
    {
        FreeLibrary(m_hLibrary);
        m_hLibrary = nullptr;
        return;
    }
    // The library may keep the address it is given and write through it for
    // the module's life: every call gets the connection's own pointer.
    CConnectArgs args{pfnGet, const_cast<ILogObject**>(&m_pLog)};
    if (!SEH_Invoke(ConnectBody, &args))
    {
        m_pLog = nullptr;
        FreeLibrary(m_hLibrary);
        m_hLibrary = nullptr;
        return;
    }
    m_pLibraryLog = m_pLog;
}

void CLogLoader::Disconnect()
{
    if (!m_hLibrary)
    {
        m_pLog = nullptr;
        return;
    }
    if (m_pLibraryLog)
    {
        char szStat[c_cchLine];
        if (m_pLog == m_pLibraryLog && s_timer.Report(szStat, _countof(szStat), "*** [Log stat] Output: "))
            TraceA("%s", szStat);
        s_timer.Reset();
        CDetachArgs args{m_pLibraryLog, const_cast<ILogObject**>(&m_pLog)};
        SEH_Invoke(DetachBody, &args);
        m_pLog = nullptr;
        m_pLibraryLog = nullptr;
    }
    FreeLibrary(m_hLibrary);
    m_hLibrary = nullptr;
}

CLogLoader s_log;

ILogObject* LogObject()
{
    return s_log.Object();
}

} // namespace

// ---------------------------------------------------------------------------
// Output timing statistics

namespace
{
// The time stamp counter runs at a constant rate on the processors we run
// on; the platform's performance counter costs a kernel call each time,
// twice per traced line. Its rate is measured once, against the
// performance counter, when a report first needs it.
LONGLONG TimerTicks()
{
    return static_cast<LONGLONG>(__rdtsc());
}

LONGLONG MeasureTicksPerSecond()
{
    LARGE_INTEGER liFreq = {}, liStart = {}, liNow = {};
    if (!QueryPerformanceFrequency(&liFreq) || liFreq.QuadPart <= 0)
        return 0;
    QueryPerformanceCounter(&liStart);
    const LONGLONG llTicksStart = TimerTicks();
    do
        QueryPerformanceCounter(&liNow);
    while (liNow.QuadPart - liStart.QuadPart < liFreq.QuadPart / 500);
    const LONGLONG llTicks = TimerTicks() - llTicksStart;
    return llTicks * liFreq.QuadPart / (liNow.QuadPart - liStart.QuadPart);
}

LONGLONG TicksPerSecond()
{
    static const LONGLONG s_llTicksPerSecond = MeasureTicksPerSecond();
    return s_llTicksPerSecond;
}
} // namespace

CTraceTimer::CTraceTimer(LPCSTR pszName)
{
    size_t cch = pszName ? strlen(pszName) : 0;
    m_pszName = static_cast<LPSTR>(malloc(cch + 1));
    if (m_pszName)
    {
        if (cch)
            memcpy(m_pszName, pszName, cch);
        m_pszName[cch] = 0;
    }
}

CTraceTimer::~CTraceTimer()
{
    free(m_pszName);
}

void CTraceTimer::Start()
{
    m_llStart = TimerTicks();
    if (m_nCount == 0)
        m_llFirst = m_llStart;
}

void CTraceTimer::Stop()
{
    m_llStop = TimerTicks();
    LONGLONG llDuration = m_llStop - m_llStart;
    if (m_nCount == 0)
    {
        m_llFirst = llDuration;
    }
    else
    {
        if (llDuration > m_llMax)
            m_llMax = llDuration;
        if (llDuration < m_llMin)
            m_llMin = llDuration;
        m_llTotal += llDuration;
    }
    ++m_nCount;
}

void CTraceTimer::Reset()
{
    m_llTotal = 0;
    m_llMin = 0x7FFFFFFFFFFFFFFFLL;
    m_llMax = 0;
    m_llStart = 0;
    m_llStop = 0;
    m_llFirst = 0;
    m_nCount = 0;
}

DWORD CTraceTimer::TicksToMicroseconds(LONGLONG llTicks, LONGLONG llFreq)
{
    if (llFreq <= 0)
        return 0;
    return static_cast<DWORD>(llTicks * 1000000 / llFreq);
}

bool CTraceTimer::Report(LPSTR pszBuf, size_t cchBuf, LPCSTR pszPrefix) const
{
    if (!TRACE_ASSERT(pszBuf != NULL) || cchBuf == 0)
        return false;
    if (m_nCount == 0)
        return false;
    const LONGLONG llFreq = TicksPerSecond();
    if (!pszPrefix)
        pszPrefix = m_pszName ? m_pszName : "";
    int cchMax = static_cast<int>(cchBuf > 0x7FFFFFFF ? 0x7FFFFFFF : cchBuf) - 1;
    DWORD usFirst = TicksToMicroseconds(m_llFirst, llFreq);
    if (m_nCount == 1)
    {
        _snprintf(pszBuf, cchMax, "%sFirst=%u.%03u ms (1 call)\r\n", pszPrefix, usFirst / 1000, usFirst % 1000);
    }
    else
    {
        // The first call (it computes the module tag) stays out of the
        // total, so the average is taken over the calls that are in it.
        DWORD usAvg = TicksToMicroseconds(m_llTotal / (m_nCount - 1), llFreq);
        DWORD usMin = TicksToMicroseconds(m_llMin, llFreq);
        DWORD usMax = TicksToMicroseconds(m_llMax, llFreq);
        _snprintf(pszBuf, cchMax, "%sAvg=%u.%03u Min=%u.%03u Max=%u.%03u First=%u.%03u ms (%u calls)\r\n",
                  pszPrefix, usAvg / 1000, usAvg % 1000, usMin / 1000, usMin % 1000, usMax / 1000, usMax % 1000,
                  usFirst / 1000, usFirst % 1000, m_nCount);
    }
    pszBuf[cchMax] = 0;
    return true;
}

// ---------------------------------------------------------------------------
// Trace calls

namespace
{
// Escape, level character and module tag; returns where the text goes.
// The tag's whole buffer moves as a block of fixed size (a few register
// moves); only its text counts.
template <typename TChar>
int LinePrefix(TChar (&szLine)[c_cchLine], DWORD dwLevel, const TChar (&szTag)[c_cchModuleTag])
{
    static_assert(2 + c_cchModuleTag <= c_cchLine, "the prefix fits the line");
    szLine[0] = 27;
    szLine[1] = static_cast<TChar>(dwLevel + 1);
    memcpy(szLine + 2, szTag, sizeof(szTag));
    int n = 2;
    while (n < 2 + c_cchModuleTag - 1 && szLine[n] != 0)
        ++n;
    szLine[n] = 0;
    return n;
}
} // namespace

void(TraceW)(DWORD dwCategory, DWORD dwLevel, LPCWSTR pszFormat, ...)
{
    if (dwCategory == 0 || dwLevel > TRACE_LEVEL_CALL)
        return;
    // A line nobody receives is not worth formatting: without a log object
    // an enabled call costs no more than a dropped one.
    ILogObject* pLog = LogObject();
    if (!pLog)
        return;
    s_timer.Start();
    WCHAR szLine[c_cchLine];
    ModuleTagW();
    const int n = LinePrefix(szLine, dwLevel, s_szModuleNameW);
    if (pszFormat)
    {
        va_list args;
        va_start(args, pszFormat);
        FormatV(szLine + n, c_cchLine - n, pszFormat, args);
        va_end(args);
    }
    pLog->lpVtbl->OutputW(pLog, szLine);
    s_timer.Stop();
}

void TraceA(LPCSTR pszFormat, ...)
{
    ILogObject* pLog = LogObject();
    if (!pLog)
        return;
    s_timer.Start();
    char szLine[c_cchLine];
    ModuleTagA();
    const int n = LinePrefix(szLine, 0, s_szModuleNameA);
    if (pszFormat)
    {
        va_list args;
        va_start(args, pszFormat);
        FormatV(szLine + n, c_cchLine - n, pszFormat, args);
        va_end(args);
    }
    pLog->lpVtbl->OutputA(pLog, szLine);
    s_timer.Stop();
}

int TraceAssert(bool bCondition, LPCSTR pszFile, int nLine, LPCSTR pszExpression)
{
    if (bCondition)
        return 1;
    DWORD dwLastError = GetLastError();
    if (!pszFile)
        pszFile = "";
    if (!pszExpression)
        pszExpression = "";
    char szReport[c_cchLine];
    if (dwLastError == 0)
        _snprintf(szReport, c_cchLine - 1, "###Err###\n%s(%i): ASSERT( \"%s\" )\n", pszFile, nLine, pszExpression);
    else
        _snprintf(szReport, c_cchLine - 1, "###Err###\n%s(%i): ASSERT( \"%s\" )\nGetLastError()=%i\n", pszFile,
                  nLine, pszExpression, static_cast<int>(dwLastError));
    szReport[c_cchLine - 1] = 0;
    ILogObject* pLog = LogObject();
    if (pLog)
        pLog->lpVtbl->OutputA(pLog, szReport);
    int nResult = 5;
    if (DebugReportAssert(pszFile, nLine, pszExpression) == 1)
    {
        DebugBreak();
        nResult = 4;
    }
    pLog = LogObject();
    if (pLog)
        pLog->lpVtbl->OutputA(pLog, "\t\nexit ASSERT");
    return nResult;
}

LONG Log_DumpCallStack(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast, LONG dwContinue)
{
    ILogObject* pLog = LogObject();
    if (IsDebuggerPresent() && pLog)
    {
        WCHAR szNotice[128];
        _snwprintf(szNotice, 127, L"###Err### Log_DumpCallStack( pep=%08X, hThread=%08X, bFast=%i, dwContinue=%i )\n",
                   static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pep)),
                   static_cast<unsigned>(reinterpret_cast<UINT_PTR>(hThread)), static_cast<int>(bFast),
                   static_cast<int>(dwContinue));
        szNotice[127] = 0;
        pLog->lpVtbl->OutputW(pLog, szNotice);
    }
    if (pLog)
        pLog->lpVtbl->DumpCallStack(pLog, pep, hThread, bFast);
    return dwContinue;
}

void Log_WriteBlock(DWORD cch, LPCSTR pszText)
{
    ILogObject* pLog = LogObject();
    if (pLog)
        pLog->lpVtbl->WriteBlock(pLog, cch, pszText);
}

ILogObject* Log_SetObject(ILogObject* pLog)
{
    return s_log.Replace(pLog);
}

bool Log_IsConnected()
{
    return LogObject() != nullptr;
}

void MakeModuleTag(LPCWSTR pszFileName, LPWSTR pszTag, size_t cchTag)
{
    ModuleTagOf<WCHAR>(pszFileName, pszTag, cchTag);
}

void MakeModuleTagA(LPCSTR pszFileName, LPSTR pszTag, size_t cchTag)
{
    ModuleTagOf<char>(pszFileName, pszTag, cchTag);
}

void MakeDebugName(LPWSTR pszDebugName, size_t cchDebugName, LPCWSTR pszName, LPCWSTR pszPrefix)
{
    if (!TRACE_ASSERT(pszDebugName != NULL))
        return;
    if (!TRACE_ASSERT(16 <= cchDebugName))
    {
        if (cchDebugName)
            pszDebugName[0] = 0;
        return;
    }
    if (!pszName || !pszName[0])
        pszName = L"###???";
    int cchMax = static_cast<int>(cchDebugName > 0x7FFFFFFF ? 0x7FFFFFFF : cchDebugName);
    if (pszPrefix && pszPrefix[0])
    {
        int n = 0;
        while (pszPrefix[n] && n < cchMax - 1)
        {
            pszDebugName[n] = pszPrefix[n];
            ++n;
        }
        // " name]" replaces the prefix's closing bracket.
        --n;
        _snwprintf(pszDebugName + n, cchMax - n, L" %s]", pszName);
    }
    else
    {
        _snwprintf(pszDebugName, cchMax, L"[%s]", pszName);
    }
    pszDebugName[cchMax - 1] = 0;
}
