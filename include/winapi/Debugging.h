// Structured exception guards and the assertion report of the support
// library. MinGW GCC has no __try/__except, so a guard is built on the
// toolchain's frame-based primitives: it sees only what the guarded call
// leaves unhandled.
#pragma once

#include <windows.h>

#include <type_traits>

// Filter of a guard: called with the exception before the guard decides.
// Return EXCEPTION_EXECUTE_HANDLER (1) to land in the guard's failure path,
// EXCEPTION_CONTINUE_SEARCH (0) to let outer guards or the system see it,
// EXCEPTION_CONTINUE_EXECUTION (-1) to resume at the faulting point.
typedef LONG (*PFN_SEH_FILTER)(EXCEPTION_POINTERS* pep, void* pvContext);

// What a guard caught.
struct SEH_EXCEPTION_INFO
{
    DWORD dwCode = 0;
    void* pvAddress = nullptr;
    ULONG_PTR ulInformation[2] = {0, 0}; // access violations: read/write flag, address
};

// Guarded call: runs pfnBody(pvBody); any exception with the severity bit set
// (access violations, divisions by zero, raised errors) that the filter does
// not decline ends the body at once. Returns true when the body completed.
// The body must keep objects with destructors out of the region that can
// fault: they are skipped when the guard lands. Nested guards and guards on
// any number of threads are supported, also across modules of one process.
// Exceptions that the callee handles itself never reach the guard.
bool SEH_Invoke(void (*pfnBody)(void*), void* pvBody, PFN_SEH_FILTER pfnFilter = nullptr,
                void* pvFilterContext = nullptr, SEH_EXCEPTION_INFO* pInfo = nullptr);

// Same for a callable (a lambda capturing by reference).
template <typename TBody>
bool SEH_Guard(TBody&& body, PFN_SEH_FILTER pfnFilter = nullptr, void* pvFilterContext = nullptr,
               SEH_EXCEPTION_INFO* pInfo = nullptr)
{
    using TFn = typename std::remove_reference<TBody>::type;
    return SEH_Invoke([](void* pv) { (*static_cast<TFn*>(pv))(); },
                      const_cast<void*>(static_cast<const void*>(&body)), pfnFilter,
                      pvFilterContext, pInfo);
}

// Filter that hands the exception to the log's call-stack dump, then lands.
LONG SEH_DumpCallStackFilter(EXCEPTION_POINTERS* pep, void* pvContext);

// memcpy that survives a bad source or destination: S_OK, or E_UNEXPECTED
// with the exception code in *pdwCode when given.
HRESULT SEH_CopyMemory(void* pDst, const void* pSrc, size_t cb, DWORD* pdwCode = nullptr);

// Assertion report in the manner of the platform's debug report facility:
// writes "file(line) : Assertion failed: expression" to the debugger output
// and answers 1 when a debugger is attached (the caller should break), else 0.
int DebugReportAssert(LPCSTR pszFile, int nLine, LPCSTR pszExpression);
