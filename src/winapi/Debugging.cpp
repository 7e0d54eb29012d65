#include "winapi/Debugging.h"

#include "dshowx/DSTrace.h"

#include <stdio.h>
#include <string.h>

namespace
{

// One frame per active guard, linked innermost first. __builtin_setjmp keeps
// five words and does no unwinding, which is what a guard without destructors
// in its region needs.
struct CGuardFrame
{
    void* m_apvJmp[5];
    CGuardFrame* m_pOuter;
    PFN_SEH_FILTER m_pfnFilter;
    void* m_pvFilterContext;
    SEH_EXCEPTION_INFO m_info;
#if defined(_M_IX86) || defined(__i386__)
    void* m_pvExceptionList; // the SEH chain head to restore after landing
#endif
};

// Every module that links this library registers its own handler, but all of
// them must see one chain per thread: otherwise an outer module's handler
// could land in its own guard and leave an inner module's frame dangling.
// The thread-local slot is therefore shared through a per-process named
// section that holds the slot index.
DWORD g_dwSlot = TLS_OUT_OF_INDEXES;
PVOID g_pvHandler = nullptr;

DWORD SharedSlot()
{
    if (g_dwSlot != TLS_OUT_OF_INDEXES)
        return g_dwSlot;
    WCHAR szName[64];
    _snwprintf(szName, 63, L"Local\\VelmoraSehChain.%lu", GetCurrentProcessId());
    szName[63] = 0;
    // Kept open for the life of the module: the section must outlive every
    // module that reads it, and one handle per module costs nothing.
    HANDLE hSection = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         sizeof(LONG), szName);
    if (!hSection)
        return TLS_OUT_OF_INDEXES;
    auto* plShared = static_cast<volatile LONG*>(
        MapViewOfFile(hSection, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG)));
    if (!plShared)
        return TLS_OUT_OF_INDEXES;
    LONG lSlot = *plShared; // slot index + 1; 0 while nobody has chosen one
    if (lSlot == 0)
    {
        DWORD dwNew = TlsAlloc();
        if (dwNew == TLS_OUT_OF_INDEXES)
            return TLS_OUT_OF_INDEXES;
        lSlot = InterlockedCompareExchange(plShared, static_cast<LONG>(dwNew + 1), 0);
        if (lSlot != 0)
            TlsFree(dwNew); // another module won the race
        else
            lSlot = static_cast<LONG>(dwNew + 1);
    }
    g_dwSlot = static_cast<DWORD>(lSlot - 1);
    return g_dwSlot;
}

CGuardFrame* InnermostFrame()
{
    DWORD dwSlot = SharedSlot();
    return dwSlot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<CGuardFrame*>(TlsGetValue(dwSlot));
}

void SetInnermostFrame(CGuardFrame* pFrame)
{
    TlsSetValue(SharedSlot(), pFrame);
}

// Informational and success codes (debugger output, thread naming, foreign
// C++ unwinding) pass by: only warnings and errors end a guarded body.
bool IsGuardedCode(DWORD dwCode)
{
    return (dwCode & 0x80000000u) != 0;
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* pep)
{
    if (!pep || !pep->ExceptionRecord || !IsGuardedCode(pep->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    DWORD dwLastError = GetLastError();
    CGuardFrame* pFrame = InnermostFrame();
    SetLastError(dwLastError);
    for (; pFrame; pFrame = pFrame->m_pOuter)
    {
        LONG lDecision = pFrame->m_pfnFilter
                             ? pFrame->m_pfnFilter(pep, pFrame->m_pvFilterContext)
                             : EXCEPTION_EXECUTE_HANDLER;
        if (lDecision == EXCEPTION_CONTINUE_EXECUTION)
            return EXCEPTION_CONTINUE_EXECUTION;
        if (lDecision != EXCEPTION_EXECUTE_HANDLER)
            continue;
        const EXCEPTION_RECORD* pRec = pep->ExceptionRecord;
        pFrame->m_info.dwCode = pRec->ExceptionCode;
        pFrame->m_info.pvAddress = pRec->ExceptionAddress;
        for (DWORD i = 0; i < 2; ++i)
            pFrame->m_info.ulInformation[i] = i < pRec->NumberParameters ? pRec->ExceptionInformation[i] : 0;
        // Frames inside the landing one are abandoned with it.
        SetInnermostFrame(pFrame->m_pOuter);
        __builtin_longjmp(pFrame->m_apvJmp, 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

bool EnsureHandler()
{
    if (g_pvHandler)
        return true;
    if (SharedSlot() == TLS_OUT_OF_INDEXES)
        return false;
    PVOID pv = AddVectoredExceptionHandler(1, GuardHandler);
    if (InterlockedCompareExchangePointer(&g_pvHandler, pv, nullptr) != nullptr)
        RemoveVectoredExceptionHandler(pv);
    return g_pvHandler != nullptr;
}

// The handler must not outlive the module's code.
struct CHandlerRemover
{
    ~CHandlerRemover()
    {
        if (g_pvHandler)
            RemoveVectoredExceptionHandler(g_pvHandler);
        g_pvHandler = nullptr;
    }
} g_handlerRemover;

#if defined(_M_IX86) || defined(__i386__)
void* CurrentExceptionList()
{
    void* pv;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(pv));
    return pv;
}
void RestoreExceptionList(void* pv)
{
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(pv) : "memory");
}
#endif

// Separate and never inlined, so that the landing frame stays this one.
__attribute__((noinline)) bool RunGuarded(CGuardFrame* pFrame, void (*pfnBody)(void*), void* pvBody)
{
    if (__builtin_setjmp(pFrame->m_apvJmp) == 0)
    {
        SetInnermostFrame(pFrame);
        pfnBody(pvBody);
        SetInnermostFrame(pFrame->m_pOuter);
        return true;
    }
    return false;
}

} // namespace

bool SEH_Invoke(void (*pfnBody)(void*), void* pvBody, PFN_SEH_FILTER pfnFilter, void* pvFilterContext,
                SEH_EXCEPTION_INFO* pInfo)
{
    if (!pfnBody)
        return false;
    if (!EnsureHandler())
    {
        // Without a handler the body still runs, only unguarded.
        pfnBody(pvBody);
        return true;
    }
    CGuardFrame frame;
    frame.m_pOuter = InnermostFrame();
    frame.m_pfnFilter = pfnFilter;
    frame.m_pvFilterContext = pvFilterContext;
#if defined(_M_IX86) || defined(__i386__)
    frame.m_pvExceptionList = CurrentExceptionList();
#endif
    bool bCompleted = RunGuarded(&frame, pfnBody, pvBody);
    if (!bCompleted)
    {
#if defined(_M_IX86) || defined(__i386__)
        // The dispatcher's own registrations lie below the landing point.
        RestoreExceptionList(frame.m_pvExceptionList);
#endif
        SetInnermostFrame(frame.m_pOuter);
    }
    if (pInfo)
        *pInfo = bCompleted ? SEH_EXCEPTION_INFO() : frame.m_info;
    return bCompleted;
}

namespace
{
struct CCopyArgs
{
    void* pDst;
    const void* pSrc;
    size_t cb;
};
void CopyBody(void* pv)
{
    auto* pArgs = static_cast<CCopyArgs*>(pv);
    // volatile pointers keep the compiler from moving the copy out of the body
    volatile unsigned char* pDst = static_cast<volatile unsigned char*>(pArgs->pDst);
    memcpy(const_cast<unsigned char*>(pDst), pArgs->pSrc, pArgs->cb);
}
} // namespace

HRESULT SEH_CopyMemory(void* pDst, const void* pSrc, size_t cb, DWORD* pdwCode)
{
    if (pdwCode)
        *pdwCode = 0;
    CCopyArgs args{pDst, pSrc, cb};
    SEH_EXCEPTION_INFO info;
    if (SEH_Invoke(CopyBody, &args, nullptr, nullptr, &info))
        return S_OK;
    if (pdwCode)
        *pdwCode = info.dwCode;
    // %IX: pointer-sized, so the 64-bit build shows whole addresses.
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EXCEPTION, L"###Err### SEH_CopyMemory( pDst=0x%IX, pSrc=0x%IX, cb=0x%IX ): Exception 0x%X\n",
           reinterpret_cast<UINT_PTR>(pDst), reinterpret_cast<UINT_PTR>(pSrc), static_cast<UINT_PTR>(cb),
           static_cast<unsigned>(info.dwCode));
    return E_UNEXPECTED;
}

int DebugReportAssert(LPCSTR pszFile, int nLine, LPCSTR pszExpression)
{
    char szReport[512];
    int n = _snprintf(szReport, sizeof(szReport) - 1, "%s(%i) : Assertion failed: %s\n",
                      pszFile ? pszFile : "", nLine, pszExpression ? pszExpression : "");
    if (n < 0)
        n = static_cast<int>(sizeof(szReport) - 1);
    szReport[n] = 0;
    OutputDebugStringA(szReport);
    return IsDebuggerPresent() ? 1 : 0;
}
