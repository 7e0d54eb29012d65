// The stand-in log library. The trace spine of every module hands it
// finished lines ("\x1b", level + 1, "TAG: ", text); it appends each to a log
// file with columns for time, process/thread and level, so that a person can
// read the trace while the filter runs.
#include "StandInLog.h"

#include <dshowx/DSTrace.h>

#include <dbghelp.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// Formats below follow the platform runtime (%s wide in wide formats).
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

namespace
{

const DWORD c_cKeep = 1024;
const WCHAR c_szKey[] = L"Software\\_KORVEXLOG";
const WCHAR c_szLogFileValue[] = L"LogFile";
const WCHAR c_szDefaultName[] = L"velmora-trace.log";
const int c_cFramesMax = 48;

// ---------------------------------------------------------------------------
// Output text: UTF-8 with CRLF line ends, built in a fixed buffer that grows
// on the heap only for long blocks.

class CTextOut
{
public:
    CTextOut() = default;
    ~CTextOut()
    {
        if (m_p != m_aFixed)
            HeapFree(GetProcessHeap(), 0, m_p);
    }
    CTextOut(const CTextOut&) = delete;
    CTextOut& operator=(const CTextOut&) = delete;

    const char* Data() const { return m_p; }
    size_t Size() const { return m_cb; }

    void Put(const char* p, size_t cb)
    {
        if (!Ensure(cb))
            return;
        memcpy(m_p + m_cb, p, cb);
        m_cb += cb;
    }
    void PutSpaces(size_t cb)
    {
        if (!Ensure(cb))
            return;
        memset(m_p + m_cb, ' ', cb);
        m_cb += cb;
    }
    // UTF-16 to UTF-8; control characters other than tab would upset a
    // reader's terminal and become '?'.
    void PutWide(LPCWSTR p, size_t cch)
    {
        if (!Ensure(cch * 3))
            return;
        char* pOut = m_p + m_cb;
        for (size_t i = 0; i < cch; ++i)
        {
            unsigned c = p[i];
            if (c < 0x20 && c != '\t')
                *pOut++ = '?';
            else if (c < 0x80)
                *pOut++ = static_cast<char>(c);
            else if (c < 0x800)
            {
                *pOut++ = static_cast<char>(0xC0 | (c >> 6));
                *pOut++ = static_cast<char>(0x80 | (c & 0x3F));
            }
            else if (c >= 0xD800 && c < 0xDC00 && i + 1 < cch && p[i + 1] >= 0xDC00 && p[i + 1] < 0xE000)
            {
                unsigned u = 0x10000 + ((c - 0xD800) << 10) + (p[i + 1] - 0xDC00);
                ++i;
                *pOut++ = static_cast<char>(0xF0 | (u >> 18));
                *pOut++ = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
                *pOut++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
                *pOut++ = static_cast<char>(0x80 | (u & 0x3F));
            }
            else
            {
                if (c >= 0xD800 && c < 0xE000)
                    c = 0xFFFD; // a lone surrogate
                *pOut++ = static_cast<char>(0xE0 | (c >> 12));
                *pOut++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *pOut++ = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        m_cb = pOut - m_p;
    }
    // Lines of pszText, each after the columns (the first) or under them
    // (the others), each ended by CRLF. "\r\n" and "\n" both end a line.
    void PutLines(const char* pszColumns, size_t cchColumns, LPCWSTR pszText, size_t cch, bool bIndent = true)
    {
        size_t i = 0;
        bool bFirst = true;
        do
        {
            size_t j = i;
            while (j < cch && pszText[j] != L'\n')
                ++j;
            size_t e = j;
            if (e > i && pszText[e - 1] == L'\r')
                --e;
            if (bFirst)
                Put(pszColumns, cchColumns);
            else if (bIndent)
                PutSpaces(cchColumns);
            PutWide(pszText + i, e - i);
            Put("\r\n", 2);
            bFirst = false;
            i = j + 1;
        } while (i < cch);
    }

private:
    bool Ensure(size_t cbMore)
    {
        if (m_cb + cbMore <= m_cbCap)
            return true;
        size_t cbNew = (m_cb + cbMore) * 2;
        void* p = m_p == m_aFixed ? HeapAlloc(GetProcessHeap(), 0, cbNew) : HeapReAlloc(GetProcessHeap(), 0, m_p, cbNew);
        if (!p)
            return false; // the line is cut rather than lost
        if (m_p == m_aFixed)
            memcpy(p, m_aFixed, m_cb);
        m_p = static_cast<char*>(p);
        m_cbCap = cbNew;
        return true;
    }

    char m_aFixed[4096];
    char* m_p = m_aFixed;
    size_t m_cb = 0;
    size_t m_cbCap = sizeof(m_aFixed);
};

// ---------------------------------------------------------------------------
// Library state. Plain data without destructors: modules that unload after
// this one at process exit still print their statistics line through it.

struct CRecord
{
    LPWSTR psz;
    DWORD cch;
    DWORD cchCap;
};

struct CState
{
    CRITICAL_SECTION cs;
    bool bLockReady;
    HANDLE hFile;      // null while closed
    HANDLE hFileLockMapping;      // memory named after the file, shared by
    volatile LONG* pFileLock;     // every process that writes it: a lock word
    bool bOpenFailed;  // not retried for every line; a reset or attach retries
    bool bPathKnown;
    bool bPathOverride;
    WCHAR szPath[MAX_PATH];
    LPCWSTR pszPathNote; // why the registry's LogFile was not taken
    LONG cAttached;
    CRecord aRecords[c_cKeep];
    DWORD iFirst;
    DWORD cRecords;
    int eSymbols; // 0 not tried, 1 ready, -1 unavailable
    PFN_STANDIN_OBSERVER pfnObserver; // a host that reads the lines as they come
    void* pvObserver;
};
CState g_state;

class CLock
{
public:
    CLock()
    {
        if (g_state.bLockReady)
            EnterCriticalSection(&g_state.cs);
    }
    ~CLock()
    {
        if (g_state.bLockReady)
            LeaveCriticalSection(&g_state.cs);
    }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
};

// ---------------------------------------------------------------------------
// Log file

// The LogFile value beside the library path: REG_SZ or REG_EXPAND_SZ, "|"
// allowed as separator like in the library path. False keeps the default.
bool ReadLogFileValue(WCHAR (&szPath)[MAX_PATH], LPCWSTR& pszNote)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, c_szKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    WCHAR szValue[MAX_PATH] = {};
    DWORD cb = sizeof(szValue) - sizeof(WCHAR); // room for the terminator we add
    DWORD dwType = REG_NONE;
    LONG lResult = RegQueryValueExW(hKey, c_szLogFileValue, nullptr, &dwType, reinterpret_cast<BYTE*>(szValue), &cb);
    RegCloseKey(hKey);
    if (lResult == ERROR_FILE_NOT_FOUND)
        return false;
    if (lResult != ERROR_SUCCESS)
    {
        pszNote = L"LogFile value ignored: longer than a path";
        return false;
    }
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ)
    {
        pszNote = L"LogFile value ignored: not a text";
        return false;
    }
    szValue[cb / sizeof(WCHAR)] = 0;
    if (!szValue[0])
        return false;
    for (WCHAR* p = szValue; *p; ++p)
        if (*p == L'|')
            *p = L'\\';
    if (dwType == REG_SZ)
    {
        memcpy(szPath, szValue, sizeof(szValue));
        return true;
    }
    DWORD cch = ExpandEnvironmentStringsW(szValue, szPath, MAX_PATH);
    if (cch == 0 || cch > MAX_PATH)
    {
        pszNote = L"LogFile value ignored: longer than a path once expanded";
        return false;
    }
    return true;
}

void DefaultLogFile(WCHAR (&szPath)[MAX_PATH])
{
    DWORD cch = GetTempPathW(MAX_PATH, szPath);
    if (cch == 0 || cch + _countof(c_szDefaultName) > MAX_PATH)
        cch = 0;
    memcpy(szPath + cch, c_szDefaultName, sizeof(c_szDefaultName));
}

// Under the lock.
void ResolvePath()
{
    if (g_state.bPathKnown)
        return;
    g_state.pszPathNote = nullptr;
    if (!ReadLogFileValue(g_state.szPath, g_state.pszPathNote))
        DefaultLogFile(g_state.szPath);
    g_state.bPathKnown = true;
}

// The name of the memory that the processes writing one log file share: the
// file's full path, upper-cased, hashed (FNV-1a), since a path may hold
// characters a kernel object's name may not.
void FileLockName(LPCWSTR pszPath, WCHAR (&szName)[64])
{
    WCHAR szFull[MAX_PATH];
    if (!GetFullPathNameW(pszPath, MAX_PATH, szFull, nullptr))
        lstrcpynW(szFull, pszPath, MAX_PATH);
    CharUpperW(szFull);
    unsigned long long ullHash = 14695981039346656037ull;
    for (LPCWSTR p = szFull; *p; ++p)
        ullHash = (ullHash ^ static_cast<unsigned short>(*p)) * 1099511628211ull;
    _snwprintf(szName, 63, L"Local\\VelmoraStandInLog.%016I64X", ullHash);
    szName[63] = 0;
}

// Under the lock. Every writer appends, and every process that writes the
// file takes a lock word in shared memory around each record: appending
// alone keeps lines whole on Windows, but not where the append is a seek to
// the end followed by a write (Wine), and two processes then write over each
// other's lines. A kernel mutex would do the same at the cost of two calls
// into the system per line.
HANDLE LogFile()
{
    if (g_state.hFile || g_state.bOpenFailed)
        return g_state.hFile;
    ResolvePath();
    HANDLE h = CreateFileW(g_state.szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        g_state.bOpenFailed = true;
        return nullptr;
    }
    WCHAR szName[64];
    FileLockName(g_state.szPath, szName);
    g_state.hFileLockMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), szName);
    if (g_state.hFileLockMapping)
        g_state.pFileLock = static_cast<volatile LONG*>(MapViewOfFile(g_state.hFileLockMapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG)));
    g_state.hFile = h;
    return h;
}

// The lock word holds the writing process's id. A holder that keeps it for
// a second (stalled, or gone without letting go) loses it: a line may then
// tear, but no writer waits for ever.
void LockFileWord(volatile LONG* pLock, LONG nId)
{
    const DWORD dwStart = GetTickCount();
    while (InterlockedCompareExchange(pLock, nId, 0) != 0)
    {
        if (GetTickCount() - dwStart > 1000)
        {
            InterlockedExchange(pLock, nId);
            return;
        }
        SwitchToThread();
    }
}

// Under the lock: one record into the file, whole.
void AppendToLogFile(const char* pData, size_t cb)
{
    HANDLE h = LogFile();
    if (!h)
        return;
    const LONG nId = static_cast<LONG>(GetCurrentProcessId());
    volatile LONG* pLock = g_state.pFileLock;
    if (pLock)
        LockFileWord(pLock, nId);
    DWORD cbWritten = 0;
    WriteFile(h, pData, static_cast<DWORD>(cb), &cbWritten, nullptr);
    if (pLock)
        InterlockedCompareExchange(pLock, 0, nId);
}

// Under the lock.
void CloseLogFile()
{
    if (g_state.hFile)
        CloseHandle(g_state.hFile);
    if (g_state.pFileLock)
        UnmapViewOfFile(const_cast<LONG*>(g_state.pFileLock));
    if (g_state.hFileLockMapping)
        CloseHandle(g_state.hFileLockMapping);
    g_state.hFile = nullptr;
    g_state.pFileLock = nullptr;
    g_state.hFileLockMapping = nullptr;
    g_state.bOpenFailed = false;
}

// ---------------------------------------------------------------------------
// Read-back copy

// Under the lock.
void KeepRecord(WCHAR wKind, LPCWSTR psz, size_t cch)
{
    DWORD i = (g_state.iFirst + g_state.cRecords) % c_cKeep;
    if (g_state.cRecords == c_cKeep)
        g_state.iFirst = (g_state.iFirst + 1) % c_cKeep;
    else
        ++g_state.cRecords;
    CRecord& r = g_state.aRecords[i];
    size_t cchNeed = cch + 2;
    if (cchNeed > 0x7FFFFFF)
        cchNeed = 0x7FFFFFF;
    if (r.cchCap < cchNeed)
    {
        size_t cb = cchNeed * sizeof(WCHAR);
        void* p = r.psz ? HeapReAlloc(GetProcessHeap(), 0, r.psz, cb) : HeapAlloc(GetProcessHeap(), 0, cb);
        if (!p)
        {
            r.cch = 0;
            return;
        }
        r.psz = static_cast<LPWSTR>(p);
        r.cchCap = static_cast<DWORD>(cchNeed);
    }
    r.psz[0] = wKind;
    memcpy(r.psz + 1, psz, (cchNeed - 2) * sizeof(WCHAR));
    r.cch = static_cast<DWORD>(cchNeed - 1);
    r.psz[r.cch] = 0;
}

// ---------------------------------------------------------------------------
// Line composition

// "14:03:27.512  0020/0024  L2  ": time, process/thread, level. Returns its
// length.
size_t MakeColumns(char (&sz)[64], const char* pszLevel)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    int n = _snprintf(sz, sizeof(sz) - 1, "%02u:%02u:%02u.%03u  %04lx/%04lx  %-2s  ", st.wHour, st.wMinute,
                      st.wSecond, st.wMilliseconds, GetCurrentProcessId(), GetCurrentThreadId(), pszLevel);
    if (n < 0)
        n = sizeof(sz) - 1;
    sz[n] = 0;
    return static_cast<size_t>(n);
}

// One write per record, under the one lock: records of many threads never
// mix, and the read-back copy keeps the same order as the file.
void Commit(WCHAR wKind, LPCWSTR pszRaw, size_t cchRaw, const char* pszLevel, LPCWSTR pszShown, size_t cchShown)
{
    CLock lock;
    char szColumns[64];
    size_t cchColumns = MakeColumns(szColumns, pszLevel);
    CTextOut out;
    out.PutLines(szColumns, cchColumns, pszShown, cchShown);
    if (wKind)
        KeepRecord(wKind, pszRaw, cchRaw);
    if (g_state.pfnObserver && (wKind == STANDIN_RECORD_WIDE || wKind == STANDIN_RECORD_NARROW))
        g_state.pfnObserver(g_state.pvObserver, pszRaw, static_cast<int>(cchRaw));
    AppendToLogFile(out.Data(), out.Size());
}

// A spine line: escape and level character first, then the module tag and
// the text. Anything else (assertion reports) is shown with "--".
void CommitLine(WCHAR wKind, LPCWSTR psz, size_t cch)
{
    char szLevel[4] = "--";
    LPCWSTR pszShown = psz;
    size_t cchShown = cch;
    if (cch >= 2 && psz[0] == 27)
    {
        unsigned nLevel = psz[1] - 1u;
        szLevel[0] = 'L';
        szLevel[1] = nLevel <= 9 ? static_cast<char>('0' + nLevel) : '?';
        pszShown += 2;
        cchShown -= 2;
    }
    Commit(wKind, psz, cch, szLevel, pszShown, cchShown);
}

void ProcessBanner(LPCWSTR pszWhat)
{
    WCHAR szExe[MAX_PATH] = {};
    if (!GetModuleFileNameW(nullptr, szExe, MAX_PATH))
        szExe[0] = 0;
    szExe[MAX_PATH - 1] = 0;
    SYSTEMTIME st;
    GetLocalTime(&st);
    WCHAR szLine[MAX_PATH + 256];
    int n;
    {
        CLock lock;
        ResolvePath();
        n = _snwprintf(szLine, _countof(szLine) - 1, L"==== %04u-%02u-%02u %s: %s (%u-bit)%s%s ====", st.wYear,
                       st.wMonth, st.wDay, pszWhat, szExe, static_cast<unsigned>(sizeof(void*) * 8),
                       g_state.pszPathNote ? L"; " : L"", g_state.pszPathNote ? g_state.pszPathNote : L"");
    }
    if (n < 0)
        n = _countof(szLine) - 1;
    szLine[n] = 0;
    Commit(0, nullptr, 0, "==", szLine, n);
}

// ---------------------------------------------------------------------------
// Call-stack report

class CWideOut
{
public:
    void Append(LPCWSTR pszFormat, ...)
    {
        if (m_cch >= _countof(m_sz) - 1)
            return;
        va_list args;
        va_start(args, pszFormat);
        int n = _vsnwprintf(m_sz + m_cch, _countof(m_sz) - 1 - m_cch, pszFormat, args);
        va_end(args);
        m_cch = n < 0 ? _countof(m_sz) - 1 : m_cch + n;
        m_sz[m_cch] = 0;
    }
    void Clear()
    {
        m_cch = 0;
        m_sz[0] = 0;
    }
    LPCWSTR Text() const { return m_sz; }
    size_t Length() const { return m_cch; }

private:
    WCHAR m_sz[8192] = {};
    size_t m_cch = 0;
};

LPCWSTR ExceptionName(DWORD dwCode)
{
    switch (dwCode)
    {
    case EXCEPTION_ACCESS_VIOLATION: return L"access violation";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return L"integer division by zero";
    case EXCEPTION_STACK_OVERFLOW: return L"stack overflow";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return L"illegal instruction";
    case EXCEPTION_PRIV_INSTRUCTION: return L"privileged instruction";
    case EXCEPTION_BREAKPOINT: return L"breakpoint";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return L"misaligned data";
    case EXCEPTION_IN_PAGE_ERROR: return L"in-page error";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return L"array bounds exceeded";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return L"floating-point division by zero";
    case EXCEPTION_FLT_INVALID_OPERATION: return L"invalid floating-point operation";
    case EXCEPTION_NONCONTINUABLE_EXCEPTION: return L"non-continuable exception";
    default: return L"exception";
    }
}

// "name.dll+0x1A2B", or the bare address outside any module.
void AppendLocation(CWideOut& out, DWORD64 dwAddress)
{
    MEMORY_BASIC_INFORMATION mbi = {};
    WCHAR szModule[MAX_PATH] = {};
    if (VirtualQuery(reinterpret_cast<LPCVOID>(static_cast<ULONG_PTR>(dwAddress)), &mbi, sizeof(mbi)) &&
        mbi.Type == MEM_IMAGE &&
        GetModuleFileNameW(static_cast<HMODULE>(mbi.AllocationBase), szModule, MAX_PATH))
    {
        szModule[MAX_PATH - 1] = 0;
        LPCWSTR pszName = szModule;
        for (LPCWSTR p = szModule; *p; ++p)
            if (*p == L'\\' || *p == L'/')
                pszName = p + 1;
        out.Append(L"%s+0x%I64X", pszName,
                   dwAddress - static_cast<DWORD64>(reinterpret_cast<ULONG_PTR>(mbi.AllocationBase)));
        return;
    }
    out.Append(L"?");
}

void AppendSymbol(CWideOut& out, DWORD64 dwAddress)
{
    if (g_state.eSymbols != 1)
        return;
    alignas(SYMBOL_INFOW) BYTE aBuf[sizeof(SYMBOL_INFOW) + 256 * sizeof(WCHAR)] = {};
    auto* pSym = reinterpret_cast<SYMBOL_INFOW*>(aBuf);
    pSym->SizeOfStruct = sizeof(SYMBOL_INFOW);
    pSym->MaxNameLen = 255;
    DWORD64 dwDisplacement = 0;
    if (SymFromAddrW(GetCurrentProcess(), dwAddress, &dwDisplacement, pSym))
        out.Append(L"  %s+0x%I64X", pSym->Name, dwDisplacement);
}

void AppendRegisters(CWideOut& out, const CONTEXT& c)
{
#if defined(__x86_64__)
    out.Append(L"Registers: rax=%016I64X rbx=%016I64X rcx=%016I64X rdx=%016I64X\n", c.Rax, c.Rbx, c.Rcx, c.Rdx);
    out.Append(L"           rsi=%016I64X rdi=%016I64X rbp=%016I64X rsp=%016I64X\n", c.Rsi, c.Rdi, c.Rbp, c.Rsp);
    out.Append(L"           r8 =%016I64X r9 =%016I64X r10=%016I64X r11=%016I64X\n", c.R8, c.R9, c.R10, c.R11);
    out.Append(L"           r12=%016I64X r13=%016I64X r14=%016I64X r15=%016I64X\n", c.R12, c.R13, c.R14, c.R15);
    out.Append(L"           rip=%016I64X eflags=%08X\n", c.Rip, static_cast<unsigned>(c.EFlags));
#else
    out.Append(L"Registers: eax=%08X ebx=%08X ecx=%08X edx=%08X\n", static_cast<unsigned>(c.Eax),
               static_cast<unsigned>(c.Ebx), static_cast<unsigned>(c.Ecx), static_cast<unsigned>(c.Edx));
    out.Append(L"           esi=%08X edi=%08X ebp=%08X esp=%08X\n", static_cast<unsigned>(c.Esi),
               static_cast<unsigned>(c.Edi), static_cast<unsigned>(c.Ebp), static_cast<unsigned>(c.Esp));
    out.Append(L"           eip=%08X eflags=%08X\n", static_cast<unsigned>(c.Eip), static_cast<unsigned>(c.EFlags));
#endif
}

// Under the lock: the symbol handler is not thread-safe.
void AppendStack(CWideOut& out, const CONTEXT& context, HANDLE hThread, bool bSymbols)
{
    HANDLE hProcess = GetCurrentProcess();
    if (g_state.eSymbols == 0)
    {
        SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS);
        g_state.eSymbols = SymInitialize(hProcess, nullptr, TRUE) ? 1 : -1;
    }
    // The walk changes the context it is given.
    CONTEXT c = context;
    STACKFRAME64 frame = {};
#if defined(__x86_64__)
    const DWORD dwMachine = IMAGE_FILE_MACHINE_AMD64;
    frame.AddrPC.Offset = c.Rip;
    frame.AddrFrame.Offset = c.Rbp;
    frame.AddrStack.Offset = c.Rsp;
#else
    const DWORD dwMachine = IMAGE_FILE_MACHINE_I386;
    frame.AddrPC.Offset = c.Eip;
    frame.AddrFrame.Offset = c.Ebp;
    frame.AddrStack.Offset = c.Esp;
#endif
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Mode = AddrModeFlat;
    out.Append(L"Stack of thread 0x%X:\n", static_cast<unsigned>(GetThreadId(hThread)));
    int nFrames = 0;
    for (; nFrames < c_cFramesMax; ++nFrames)
    {
        if (g_state.eSymbols != 1 ||
            !StackWalk64(dwMachine, hProcess, hThread, &frame, &c, nullptr, SymFunctionTableAccess64,
                         SymGetModuleBase64, nullptr))
            break;
        if (frame.AddrPC.Offset == 0)
            break;
        out.Append(L"  #%-2i 0x%0*I64X  ", nFrames, static_cast<int>(sizeof(void*) * 2), frame.AddrPC.Offset);
        AppendLocation(out, frame.AddrPC.Offset);
        if (bSymbols)
            AppendSymbol(out, frame.AddrPC.Offset);
        out.Append(L"\n");
    }
    if (nFrames == 0)
        out.Append(L"  (not walkable here)\n");
}

// Exception, registers and stack as one record; bFast leaves out the
// symbol names, which are the slow part.
void DumpReport(CWideOut& out, EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast)
{
    if (!hThread)
        hThread = GetCurrentThread();
    CONTEXT context = {};
    const EXCEPTION_RECORD* pRecord = pep ? pep->ExceptionRecord : nullptr;
    if (pRecord)
    {
        DWORD64 dwAddress = reinterpret_cast<ULONG_PTR>(pRecord->ExceptionAddress);
        out.Append(L"*** Exception 0x%08X (%s", static_cast<unsigned>(pRecord->ExceptionCode),
                   ExceptionName(pRecord->ExceptionCode));
        if (pRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && pRecord->NumberParameters >= 2)
        {
            ULONG_PTR uOp = pRecord->ExceptionInformation[0];
            out.Append(L" %s 0x%0*I64X", uOp == 0 ? L"reading" : uOp == 8 ? L"executing" : L"writing",
                       static_cast<int>(sizeof(void*) * 2), static_cast<DWORD64>(pRecord->ExceptionInformation[1]));
        }
        out.Append(L") at 0x%0*I64X ", static_cast<int>(sizeof(void*) * 2), dwAddress);
        AppendLocation(out, dwAddress);
        out.Append(L"\n");
    }
    else
    {
        out.Append(L"*** Call stack (no exception record)\n");
    }
    if (pep && pep->ContextRecord)
    {
        context = *pep->ContextRecord;
    }
    else if (hThread == GetCurrentThread() || GetThreadId(hThread) == GetCurrentThreadId())
    {
        RtlCaptureContext(&context);
    }
    else
    {
        out.Append(L"Stack of another thread: not walked\n");
        return;
    }
    AppendRegisters(out, context);
    AppendStack(out, context, hThread, !bFast);
}

// ---------------------------------------------------------------------------
// The log object

HRESULT WINAPI Unused(ILogObject*)
{
    return E_NOTIMPL;
}

void DumpNow(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast)
{
    CLock lock; // the symbol handler and the report buffer are shared
    static CWideOut s_out;
    s_out.Clear();
    DumpReport(s_out, pep, hThread, bFast);
    Commit(STANDIN_RECORD_DUMP, s_out.Text(), s_out.Length(), "L1", s_out.Text(), s_out.Length());
}

// A copy of what the dump needs, owned by the worker: a waiter that gives
// up must not leave it pointing into a stack frame that is gone.
struct CDumpJob
{
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
    HANDLE hThread;
    BOOL bFast;
};

DWORD WINAPI DumpThread(void* pv)
{
    auto* pJob = static_cast<CDumpJob*>(pv);
    DumpNow(&pJob->pointers, pJob->hThread, pJob->bFast);
    CloseHandle(pJob->hThread);
    HeapFree(GetProcessHeap(), 0, pJob);
    return 0;
}

// A stack overflow leaves the faulting thread too little stack for the
// symbol handler and the walk: they run on a thread of their own then.
bool DumpOnWorker(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast)
{
    auto* pJob = static_cast<CDumpJob*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CDumpJob)));
    if (!pJob)
        return false;
    pJob->record = *pep->ExceptionRecord;
    pJob->record.ExceptionRecord = nullptr;
    if (pep->ContextRecord)
        pJob->context = *pep->ContextRecord;
    pJob->pointers.ExceptionRecord = &pJob->record;
    pJob->pointers.ContextRecord = pep->ContextRecord ? &pJob->context : nullptr;
    pJob->bFast = bFast;
    HANDLE hProcess = GetCurrentProcess();
    if (!DuplicateHandle(hProcess, hThread ? hThread : GetCurrentThread(), hProcess, &pJob->hThread, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    {
        HeapFree(GetProcessHeap(), 0, pJob);
        return false;
    }
    HANDLE hWorker = CreateThread(nullptr, 256 * 1024, DumpThread, pJob, 0, nullptr);
    if (!hWorker)
    {
        CloseHandle(pJob->hThread);
        HeapFree(GetProcessHeap(), 0, pJob);
        return false;
    }
    // Bounded: the faulting thread may hold a lock the worker needs.
    WaitForSingleObject(hWorker, 10000);
    CloseHandle(hWorker);
    return true;
}

HRESULT WINAPI DumpCallStack(ILogObject*, EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast)
{
    if (pep && pep->ExceptionRecord && pep->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW &&
        DumpOnWorker(pep, hThread, bFast))
        return S_OK;
    DumpNow(pep, hThread, bFast);
    return S_OK;
}

// The block (the graph dump) between a header and a footer, in one write,
// its lines as they are: a reader may want to copy it out whole.
HRESULT WINAPI WriteBlock(ILogObject*, DWORD cch, LPCSTR pszText)
{
    if (!pszText)
        return E_POINTER;
    // A count larger than the text must not read past its terminator.
    size_t cchText = strnlen(pszText, cch);
    int cchWide = cchText ? MultiByteToWideChar(CP_ACP, 0, pszText, static_cast<int>(cchText), nullptr, 0) : 0;
    LPWSTR pszWide = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, (cchWide + 1) * sizeof(WCHAR)));
    if (!pszWide)
        return E_OUTOFMEMORY;
    if (cchWide)
        MultiByteToWideChar(CP_ACP, 0, pszText, static_cast<int>(cchText), pszWide, cchWide);
    pszWide[cchWide] = 0;
    {
        CLock lock;
        char szColumns[64];
        size_t cchColumns = MakeColumns(szColumns, "==");
        char szHeader[64];
        int n = _snprintf(szHeader, sizeof(szHeader) - 1, "---- block of %u characters ----\r\n",
                          static_cast<unsigned>(cchText));
        CTextOut out;
        out.Put(szColumns, cchColumns);
        out.Put(szHeader, n > 0 ? n : 0);
        if (cchWide)
            out.PutLines("", 0, pszWide, cchWide, false);
        out.Put(szColumns, cchColumns);
        out.Put("---- end of block ----\r\n", 24);
        KeepRecord(STANDIN_RECORD_BLOCK, pszWide, cchWide);
        AppendToLogFile(out.Data(), out.Size());
    }
    HeapFree(GetProcessHeap(), 0, pszWide);
    return S_OK;
}

HRESULT WINAPI Attach(ILogObject*, ILogObject**, ULONG_PTR, ULONG_PTR)
{
    {
        CLock lock;
        ++g_state.cAttached;
        g_state.bOpenFailed = false;
    }
    ProcessBanner(L"attached");
    return S_OK;
}

// The file closes with the last detach; a later line opens it again.
HRESULT WINAPI Detach(ILogObject*, ILogObject**)
{
    ProcessBanner(L"detached");
    CLock lock;
    if (g_state.cAttached > 0 && --g_state.cAttached == 0)
        CloseLogFile();
    return S_OK;
}

HRESULT WINAPI OutputW(ILogObject*, LPCWSTR pszText)
{
    if (!pszText)
        return E_POINTER;
    CommitLine(STANDIN_RECORD_WIDE, pszText, wcslen(pszText));
    return S_OK;
}

HRESULT WINAPI OutputA(ILogObject*, LPCSTR pszText)
{
    if (!pszText)
        return E_POINTER;
    int cch = static_cast<int>(strnlen(pszText, 0x7FFFFFF));
    WCHAR szFixed[1024];
    LPWSTR psz = szFixed;
    int cchWide = cch ? MultiByteToWideChar(CP_ACP, 0, pszText, cch, nullptr, 0) : 0;
    if (cchWide >= static_cast<int>(_countof(szFixed)))
    {
        psz = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, (cchWide + 1) * sizeof(WCHAR)));
        if (!psz)
            return E_OUTOFMEMORY;
    }
    if (cchWide)
        MultiByteToWideChar(CP_ACP, 0, pszText, cch, psz, cchWide);
    psz[cchWide] = 0;
    CommitLine(STANDIN_RECORD_NARROW, psz, cchWide);
    if (psz != szFixed)
        HeapFree(GetProcessHeap(), 0, psz);
    return S_OK;
}

const ILogObjectVtbl c_vtbl = {Unused,  Unused, Unused, Unused, DumpCallStack, WriteBlock,
                               Unused,  Attach, Detach, Unused, OutputA,       OutputW};
ILogObject g_log = {&c_vtbl};

} // namespace

// ---------------------------------------------------------------------------
// Exports

extern "C" LONG WINAPI Exp_GetLogObject(ILogObject** ppObject)
{
    if (!ppObject)
        return E_POINTER;
    *ppObject = &g_log;
    return 0;
}

extern "C" int WINAPI StandIn_ReadLines(LPWSTR pszBuf, int cchBuf)
{
    CLock lock;
    size_t cchNeed = 1;
    for (DWORD n = 0; n < g_state.cRecords; ++n)
        cchNeed += g_state.aRecords[(g_state.iFirst + n) % c_cKeep].cch + 1;
    if (cchNeed > 0x7FFFFFFF)
        return -1;
    if (!pszBuf || cchBuf < static_cast<int>(cchNeed))
        return static_cast<int>(cchNeed);
    LPWSTR p = pszBuf;
    for (DWORD n = 0; n < g_state.cRecords; ++n)
    {
        const CRecord& r = g_state.aRecords[(g_state.iFirst + n) % c_cKeep];
        if (r.cch)
            memcpy(p, r.psz, r.cch * sizeof(WCHAR));
        p += r.cch;
        *p++ = 0;
    }
    *p = 0;
    return static_cast<int>(cchNeed);
}

extern "C" void WINAPI StandIn_Reset()
{
    CLock lock;
    g_state.iFirst = 0;
    g_state.cRecords = 0;
    CloseLogFile();
    if (!g_state.bPathOverride)
        g_state.bPathKnown = false;
}

extern "C" BOOL WINAPI StandIn_SetLogFile(LPCWSTR pszPath)
{
    CLock lock;
    if (pszPath && wcslen(pszPath) >= MAX_PATH)
        return FALSE;
    CloseLogFile();
    if (!pszPath || !pszPath[0])
    {
        g_state.bPathOverride = false;
        g_state.bPathKnown = false;
        return TRUE;
    }
    wcscpy(g_state.szPath, pszPath);
    g_state.pszPathNote = nullptr;
    g_state.bPathOverride = true;
    g_state.bPathKnown = true;
    return TRUE;
}

extern "C" int WINAPI StandIn_GetLogFile(LPWSTR pszBuf, int cchBuf)
{
    CLock lock;
    ResolvePath();
    int cch = static_cast<int>(wcslen(g_state.szPath));
    if (!pszBuf || cchBuf <= cch)
        return 0;
    memcpy(pszBuf, g_state.szPath, (cch + 1) * sizeof(WCHAR));
    return cch;
}

extern "C" void WINAPI StandIn_SetObserver(PFN_STANDIN_OBSERVER pfn, void* pvContext)
{
    CLock lock;
    g_state.pfnObserver = pfn;
    g_state.pvObserver = pfn ? pvContext : nullptr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pvReserved)
{
    if (dwReason == DLL_PROCESS_ATTACH)
    {
        DisableThreadLibraryCalls(hInstance);
        InitializeCriticalSection(&g_state.cs);
        g_state.bLockReady = true;
        return TRUE;
    }
    // At process exit other modules may still write their last lines after
    // this point, so everything stays; an unload by FreeLibrary cleans up.
    if (dwReason == DLL_PROCESS_DETACH && !pvReserved)
    {
        CloseLogFile();
        for (CRecord& r : g_state.aRecords)
        {
            if (r.psz)
                HeapFree(GetProcessHeap(), 0, r.psz);
            r = CRecord();
        }
        if (g_state.eSymbols == 1)
            SymCleanup(GetCurrentProcess());
        g_state.eSymbols = 0;
        g_state.bLockReady = false;
        DeleteCriticalSection(&g_state.cs);
    }
    return TRUE;
}
