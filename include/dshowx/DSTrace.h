// Trace calls of the framework: lines go to the external log library that
// the registry names; without it every call is a cheap no-op.
#pragma once

#include <windows.h>

// Categories: 1 general diagnostics, 2 interface calls; the framework's own
// subsystems use further single bits. Any non-zero value is output.
enum : DWORD
{
    TRACE_CAT_GENERAL = 0x1,
    TRACE_CAT_INTERFACE = 0x2,
    TRACE_CAT_NOTIMPL = 0x800, // interface methods the framework leaves out
};

// Levels: 1 caught exceptions, 2 errors and main streaming events, 4 state
// changes and corrections, 8 entry into interface methods; 10 and 12 are
// never output.
enum : DWORD
{
    TRACE_LEVEL_ALWAYS = 0,
    TRACE_LEVEL_EXCEPTION = 1,
    TRACE_LEVEL_ERROR = 2,
    TRACE_LEVEL_EVENT = 2, // object life and the main streaming events share the error level
    TRACE_LEVEL_STATE = 4,
    TRACE_LEVEL_CALL = 8,
    TRACE_LEVEL_DETAIL = 10,
    TRACE_LEVEL_VERBOSE = 12,
};

// Wide line: printf conventions of the platform runtime (%s wide, %hs
// narrow, %I64i). Drops category 0 and levels above 8 before formatting.
void TraceW(DWORD dwCategory, DWORD dwLevel, LPCWSTR pszFormat, ...);
// The same test at the call site: a dropped call (levels 10 and 12 run on
// every sample) neither evaluates its arguments nor makes the call.
// Category and level are plain values wherever the macro is used.
#define TraceW(dwCategory, dwLevel, ...)                                                   \
    (((dwCategory) != 0 && (dwLevel) <= TRACE_LEVEL_CALL) ? (TraceW)((dwCategory), (dwLevel), __VA_ARGS__) \
                                                           : (void)0)
// A pointer argument as the 32-bit value the trace lines show ("0x%08X"); the
// 64-bit build shows its low half.
inline DWORD TracePtr32(const void* p)
{
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(p));
}
// Narrow line, level 0; used for the statistics line.
void TraceA(LPCSTR pszFormat, ...);

// Assertion report: 1 when the condition holds, else 4 (user chose to debug)
// or 5. Never stops the program; the caller handles the failed case.
int TraceAssert(bool bCondition, LPCSTR pszFile, int nLine, LPCSTR pszExpression);

// Evaluates to the condition, reporting it when false.
#define TRACE_ASSERT(expr) \
    ((expr) ? true : (TraceAssert(false, __FILE__, __LINE__, #expr), false))
// For a condition given as text (for example "nMaxSym > 0 && _T(\"Guid2Name()\")").
#define TRACE_ASSERT_TEXT(cond, text) \
    ((cond) ? true : (TraceAssert(false, __FILE__, __LINE__, text), false))

// Exception filter helper: notes the exception in the log and returns
// dwContinue unchanged.
LONG Log_DumpCallStack(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast, LONG dwContinue);

// Hands a whole block of narrow text to the log (the graph dump).
void Log_WriteBlock(DWORD cch, LPCSTR pszText);

struct ILogObject;
// Installs a log object of the host's own in place of the registry's library
// (a host with its own log, or a test reading the lines back); null turns
// tracing off. Returns the object it replaces. The library's object is still
// detached at unload.
ILogObject* Log_SetObject(ILogObject* pLog);
// True while a log object is attached.
bool Log_IsConnected();

// Object tag: "[name]" or, under a prefix tag "[Spy 1]", "[Spy 1 name]".
void MakeDebugName(LPWSTR pszDebugName, size_t cchDebugName, LPCWSTR pszName, LPCWSTR pszPrefix);

// Module tag of a module file name: the name after the last "\" or ":",
// without ".dll"/".exe", at most 29 characters with ASCII upper-cased, then
// ": " ("N/A: " without a separator). cchTag must be at least 32.
void MakeModuleTag(LPCWSTR pszFileName, LPWSTR pszTag, size_t cchTag);
void MakeModuleTagA(LPCSTR pszFileName, LPSTR pszTag, size_t cchTag);

// The log object of the external log library: a table of twelve operations,
// each taking the object first. Entries 0 to 3, 6 and 9 are never called.
struct ILogObject;
struct ILogObjectVtbl
{
    HRESULT(WINAPI* pfnReserved0)(ILogObject* pThis);
    HRESULT(WINAPI* pfnReserved1)(ILogObject* pThis);
    HRESULT(WINAPI* pfnReserved2)(ILogObject* pThis);
    HRESULT(WINAPI* pfnReserved3)(ILogObject* pThis);
    HRESULT(WINAPI* DumpCallStack)(ILogObject* pThis, EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast);
    HRESULT(WINAPI* WriteBlock)(ILogObject* pThis, DWORD cch, LPCSTR pszText);
    HRESULT(WINAPI* pfnReserved6)(ILogObject* pThis);
    HRESULT(WINAPI* Attach)(ILogObject* pThis, ILogObject** ppObject, ULONG_PTR ulReserved1, ULONG_PTR ulReserved2);
    HRESULT(WINAPI* Detach)(ILogObject* pThis, ILogObject** ppObject);
    HRESULT(WINAPI* pfnReserved9)(ILogObject* pThis);
    HRESULT(WINAPI* OutputA)(ILogObject* pThis, LPCSTR pszText);
    HRESULT(WINAPI* OutputW)(ILogObject* pThis, LPCWSTR pszText);
};
struct ILogObject
{
    const ILogObjectVtbl* lpVtbl;
};
// The log library's export "Exp_GetLogObject": 0 on success.
typedef LONG(WINAPI* PFN_EXP_GETLOGOBJECT)(ILogObject** ppObject);

// Timing statistics of an output path: first call, then average, minimum
// and maximum of the later calls. Updated without a lock (approximate under
// concurrent use).
class CTraceTimer
{
public:
    explicit CTraceTimer(LPCSTR pszName = nullptr);
    ~CTraceTimer();
    CTraceTimer(const CTraceTimer&) = delete;
    CTraceTimer& operator=(const CTraceTimer&) = delete;

    void Start();
    void Stop();
    void Reset();
    // Writes the report line; false (and nothing written) before any call.
    bool Report(LPSTR pszBuf, size_t cchBuf, LPCSTR pszPrefix = nullptr) const;
    DWORD Count() const { return m_nCount; }

private:
    static DWORD TicksToMicroseconds(LONGLONG llTicks, LONGLONG llFreq);

    LPSTR m_pszName = nullptr;
    LONGLONG m_llStart = 0;
    LONGLONG m_llStop = 0;
    LONGLONG m_llFirst = 0;
    LONGLONG m_llMin = 0x7FFFFFFFFFFFFFFFLL;
    LONGLONG m_llMax = 0;
    LONGLONG m_llTotal = 0;
    DWORD m_nCount = 0;
};
