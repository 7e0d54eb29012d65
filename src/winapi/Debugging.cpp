#include "winapi/Debugging.h"

#include "dshowx/DSTrace.h"

#include <stdio.h>
#include <string.h>

namespace
{

#if defined(_M_IX86) || defined(__i386__)
#define VELMORA_SEH_X86 1
#endif

// One record per active guard. The guard is frame-based: the system asks it
// only about exceptions that every handler inside the guarded call left
// alone, so a callee that probes memory or throws and catches under its own
// handler is never interrupted. On i686 the record starts with the exception
// registration record (next, handler) that the guard links into the thread's
// handler chain, so the handler finds its guard from the establisher frame.
// On x86_64 the guard's function carries a scope-table entry instead, and the
// records of a thread are chained innermost first so that the filter can find
// the one whose function frame the dispatcher has reached.
struct CGuardFrame
{
#ifdef VELMORA_SEH_X86
    CGuardFrame* m_pNextRegistration;
    void* m_pfnHandler;
    void* m_apvJmp[5]; // __builtin_setjmp: five words, no unwinding
#else
    CGuardFrame* m_pOuter;
#endif
    PFN_SEH_FILTER m_pfnFilter;
    void* m_pvFilterContext;
    SEH_EXCEPTION_INFO m_info;
};

// Informational and success codes (debugger output, thread naming, GCC's
// own C++ unwinding) pass by: only warnings and errors end a guarded body.
bool IsGuardedCode(DWORD dwCode)
{
    return (dwCode & 0x80000000u) != 0;
}

// The guard's decision for an exception that reached it; notes what it
// caught when it takes the exception.
LONG Decide(CGuardFrame* pFrame, EXCEPTION_POINTERS* pep)
{
    if (!pep || !pep->ExceptionRecord || !IsGuardedCode(pep->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    LONG lDecision = pFrame->m_pfnFilter ? pFrame->m_pfnFilter(pep, pFrame->m_pvFilterContext)
                                         : EXCEPTION_EXECUTE_HANDLER;
    if (lDecision != EXCEPTION_EXECUTE_HANDLER)
        return lDecision;
    const EXCEPTION_RECORD* pRec = pep->ExceptionRecord;
    pFrame->m_info.dwCode = pRec->ExceptionCode;
    pFrame->m_info.pvAddress = pRec->ExceptionAddress;
    for (DWORD i = 0; i < 2; ++i)
        pFrame->m_info.ulInformation[i] = i < pRec->NumberParameters ? pRec->ExceptionInformation[i] : 0;
    return EXCEPTION_EXECUTE_HANDLER;
}

#ifdef VELMORA_SEH_X86

void* CurrentExceptionList()
{
    void* pv;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(pv));
    return pv;
}
void SetExceptionList(void* pv)
{
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(pv) : "memory");
}

// First pass only: calls made while unwinding are for the handlers below
// the one that took the exception, never for this guard.
EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* pRec, void* pvEstablisher, CONTEXT* pContext, void*)
{
    if (pRec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    // volatile: RtlUnwind does not keep the callee-saved registers.
    CGuardFrame* volatile pFrame = static_cast<CGuardFrame*>(pvEstablisher);
    EXCEPTION_POINTERS ep = {pRec, pContext};
    LONG lDecision = Decide(pFrame, &ep);
    if (lDecision == EXCEPTION_CONTINUE_EXECUTION)
        return ExceptionContinueExecution;
    if (lDecision != EXCEPTION_EXECUTE_HANDLER)
        return ExceptionContinueSearch;
    // Lets the handlers inside the guarded call clean up, then lands.
    RtlUnwind(pFrame, nullptr, pRec, nullptr);
    __builtin_longjmp(pFrame->m_apvJmp, 1);
}

// Separate and never inlined, so that the landing frame stays this one.
__attribute__((noinline)) bool RunGuarded(CGuardFrame* pFrame, void (*pfnBody)(void*), void* pvBody)
{
    if (__builtin_setjmp(pFrame->m_apvJmp) != 0)
        return false;
    SetExceptionList(pFrame);
    pfnBody(pvBody);
    SetExceptionList(pFrame->m_pNextRegistration);
    return true;
}

bool RunFrame(CGuardFrame& frame, void (*pfnBody)(void*), void* pvBody)
{
    frame.m_pfnHandler = reinterpret_cast<void*>(GuardHandler);
    frame.m_pNextRegistration = static_cast<CGuardFrame*>(CurrentExceptionList());
    bool bCompleted = RunGuarded(&frame, pfnBody, pvBody);
    if (!bCompleted)
        SetExceptionList(frame.m_pNextRegistration);
    return bCompleted;
}

#else // x86_64

// Per module and thread: the innermost guard record. Each module serves only
// its own guards, so no sharing between modules is needed.
DWORD g_dwSlot = TLS_OUT_OF_INDEXES;

DWORD Slot()
{
    if (g_dwSlot != TLS_OUT_OF_INDEXES)
        return g_dwSlot;
    DWORD dwNew = TlsAlloc();
    if (dwNew == TLS_OUT_OF_INDEXES)
        return dwNew;
    if (InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&g_dwSlot), static_cast<LONG>(dwNew),
                                   static_cast<LONG>(TLS_OUT_OF_INDEXES)) != static_cast<LONG>(TLS_OUT_OF_INDEXES))
        TlsFree(dwNew); // another thread won the race
    return g_dwSlot;
}

CGuardFrame* InnermostFrame()
{
    // TlsGetValue clears the last error; the filter must not change it.
    DWORD dwLastError = GetLastError();
    auto* pFrame = static_cast<CGuardFrame*>(TlsGetValue(g_dwSlot));
    SetLastError(dwLastError);
    return pFrame;
}

} // namespace

// The filter of the guard's scope-table entry; the toolchain's macro names it
// in the unwind data, hence external linkage and no name mangling.
extern "C" __attribute__((used)) LONG VelmoraSehGuardFilter(EXCEPTION_POINTERS* pep, void* pvEstablisher)
{
    // Records of inner guards lie below the frame the dispatcher reached;
    // the first record at or above it is that frame's own.
    CGuardFrame* pFrame = InnermostFrame();
    while (pFrame && reinterpret_cast<UINT_PTR>(pFrame) < reinterpret_cast<UINT_PTR>(pvEstablisher))
        pFrame = pFrame->m_pOuter;
    return pFrame ? Decide(pFrame, pep) : EXCEPTION_CONTINUE_SEARCH;
}

namespace
{

// Never inlined or cloned: the macro's labels may appear once per file. The
// code after __except1 runs on both paths, so the outcome is the flag set at
// the end of the guarded block.
__attribute__((noinline, noclone)) bool RunGuarded(void (*pfnBody)(void*), void* pvBody)
{
    volatile bool bCompleted = false;
    __asm__ __volatile__("" ::: "memory");
    __try1(VelmoraSehGuardFilter)
    pfnBody(pvBody);
    bCompleted = true;
    __except1
    __asm__ __volatile__("" ::: "memory");
    return bCompleted;
}

bool RunFrame(CGuardFrame& frame, void (*pfnBody)(void*), void* pvBody)
{
    frame.m_pOuter = InnermostFrame();
    TlsSetValue(g_dwSlot, &frame);
    bool bCompleted = RunGuarded(pfnBody, pvBody);
    // Frames inside a landing guard were abandoned with it.
    TlsSetValue(g_dwSlot, frame.m_pOuter);
    return bCompleted;
}

#endif

bool CanGuard()
{
#ifdef VELMORA_SEH_X86
    return true;
#else
    return Slot() != TLS_OUT_OF_INDEXES;
#endif
}

} // namespace

bool SEH_Invoke(void (*pfnBody)(void*), void* pvBody, PFN_SEH_FILTER pfnFilter, void* pvFilterContext,
                SEH_EXCEPTION_INFO* pInfo)
{
    if (!pfnBody)
        return false;
    if (!CanGuard())
    {
        // Without a slot the body still runs, only unguarded.
        pfnBody(pvBody);
        return true;
    }
    CGuardFrame frame = {};
    frame.m_pfnFilter = pfnFilter;
    frame.m_pvFilterContext = pvFilterContext;
    bool bCompleted = RunFrame(frame, pfnBody, pvBody);
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

LONG SEH_DumpCallStackFilter(EXCEPTION_POINTERS* pep, void*)
{
    return Log_DumpCallStack(pep, nullptr, FALSE, EXCEPTION_EXECUTE_HANDLER);
}

HRESULT SEH_CopyMemory(void* pDst, const void* pSrc, size_t cb, DWORD* pdwCode)
{
    if (pdwCode)
        *pdwCode = 0;
    CCopyArgs args{pDst, pSrc, cb};
    SEH_EXCEPTION_INFO info;
    if (SEH_Invoke(CopyBody, &args, SEH_DumpCallStackFilter, nullptr, &info))
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
