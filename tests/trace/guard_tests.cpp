#include "winapi/Debugging.h"

#include <gtest/gtest.h>

#include "support/TraceCapture.h"

namespace
{
// Read through a volatile so that the compiler cannot see the constant.
volatile UINT_PTR g_uBad = 0x10;
void* BadAddress()
{
    return reinterpret_cast<void*>(g_uBad);
}

TEST(Guard, AccessViolationInMemcpyYieldsUnexpected)
{
    char aDst[16] = {};
    DWORD dwCode = 1;
    CTraceCapture capture;
    EXPECT_EQ(E_UNEXPECTED, SEH_CopyMemory(aDst, BadAddress(), 8, &dwCode));
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), dwCode);
    EXPECT_EQ(std::vector<DWORD>{EXCEPTION_ACCESS_VIOLATION}, capture.Dumps());
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_EQ(1, CTraceCapture::Level(capture.Lines()[0]));
    WCHAR szExpected[160];
    _snwprintf(szExpected, 160, L"###Err### SEH_CopyMemory( pDst=0x%IX, pSrc=0x10, cb=0x8 ): Exception 0xC0000005\n",
               reinterpret_cast<UINT_PTR>(aDst));
    EXPECT_EQ(szExpected, CTraceCapture::Body(capture.Lines()[0]));
    const char aSrc[8] = "abcdefg";
    EXPECT_EQ(S_OK, SEH_CopyMemory(aDst, aSrc, 8, &dwCode));
    EXPECT_STREQ("abcdefg", aDst);
    EXPECT_EQ(0u, dwCode);
}

TEST(Guard, NestedGuardsLandInTheInnermostThenOuterStillWorks)
{
    int nInner = 0, nOuter = 0;
    bool bInnerDone = true;
    bool bOuterDone = SEH_Guard([&] {
        bInnerDone = SEH_Guard([&] {
            ++nInner;
            *static_cast<volatile int*>(BadAddress()) = 1;
            ++nInner;
        });
        ++nOuter;
        *static_cast<volatile int*>(BadAddress()) = 2;
        ++nOuter;
    });
    EXPECT_FALSE(bInnerDone);
    EXPECT_FALSE(bOuterDone);
    EXPECT_EQ(1, nInner);
    EXPECT_EQ(1, nOuter);
    // The chain is clean again: a later guard completes.
    EXPECT_TRUE(SEH_Guard([&] { ++nOuter; }));
    EXPECT_EQ(2, nOuter);
}

LONG CountingFilter(EXCEPTION_POINTERS* pep, void* pv)
{
    EXPECT_NE(nullptr, pep);
    ++*static_cast<int*>(pv);
    return EXCEPTION_EXECUTE_HANDLER;
}

LONG DecliningFilter(EXCEPTION_POINTERS*, void* pv)
{
    ++*static_cast<int*>(pv);
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(Guard, FilterSeesTheExceptionAndMayPassItOutward)
{
    int nOuterFilter = 0, nInnerFilter = 0;
    SEH_EXCEPTION_INFO info;
    bool bDone = SEH_Guard(
        [&] {
            SEH_Guard([&] { RaiseException(0xE0001234, 0, 0, nullptr); }, DecliningFilter, &nInnerFilter);
        },
        CountingFilter, &nOuterFilter, &info);
    EXPECT_FALSE(bDone);
    EXPECT_EQ(1, nInnerFilter);
    EXPECT_EQ(1, nOuterFilter);
    EXPECT_EQ(0xE0001234u, info.dwCode);
}

// A foreign callee that raises the code of another compiler's C++ exceptions
// and handles it under its own frame handler, as a neighbour's
// QueryInterface may: it must complete with its own answer.
const DWORD c_dwForeignCxx = 0xE06D7363;
int g_nOwnHandled = 0;
#if defined(__i386__)
EXCEPTION_DISPOSITION __cdecl OwnHandler(EXCEPTION_RECORD* pRec, void*, CONTEXT*, void*)
{
    if ((pRec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) || pRec->ExceptionCode != c_dwForeignCxx)
        return ExceptionContinueSearch;
    ++g_nOwnHandled;
    return ExceptionContinueExecution;
}
__attribute__((noinline)) int ForeignCallee()
{
    struct
    {
        void* pNext;
        void* pfnHandler;
    } reg;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(reg.pNext));
    reg.pfnHandler = reinterpret_cast<void*>(OwnHandler);
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(&reg) : "memory");
    RaiseException(c_dwForeignCxx, 0, 0, nullptr);
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(reg.pNext) : "memory");
    return 42;
}
#else
extern "C" __attribute__((used)) LONG GuardTestsOwnFilter(EXCEPTION_POINTERS* pep, void*)
{
    if (pep->ExceptionRecord->ExceptionCode != c_dwForeignCxx)
        return EXCEPTION_CONTINUE_SEARCH;
    ++g_nOwnHandled;
    return EXCEPTION_CONTINUE_EXECUTION;
}
__attribute__((noinline, noclone)) int ForeignCallee()
{
    __try1(GuardTestsOwnFilter)
    RaiseException(c_dwForeignCxx, 0, 0, nullptr);
    __except1
    return 42;
}
#endif

TEST(Guard, CalleeHandlingItsOwnExceptionsCompletes)
{
    // A probing read of a reserved page under the system's own handler.
    void* pvReserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(nullptr, pvReserved);
    BOOL bBad = FALSE;
    int nResult = 0, nCaught = 0;
    CTraceCapture capture;
    EXPECT_TRUE(SEH_Guard([&] {
        bBad = IsBadReadPtr(pvReserved, 4);
        nResult = ForeignCallee();
        try
        {
            throw 7;
        }
        catch (int n)
        {
            nCaught = n;
        }
    }));
    VirtualFree(pvReserved, 0, MEM_RELEASE);
    EXPECT_TRUE(bBad);
    EXPECT_EQ(42, nResult);
    EXPECT_EQ(1, g_nOwnHandled);
    EXPECT_EQ(7, nCaught);
    EXPECT_TRUE(capture.Dumps().empty());
    // The same code left unhandled reaches the guard.
    SEH_EXCEPTION_INFO info;
    EXPECT_FALSE(SEH_Guard([] { RaiseException(c_dwForeignCxx, 0, 0, nullptr); }, nullptr, nullptr, &info));
    EXPECT_EQ(c_dwForeignCxx, info.dwCode);
}

DWORD WINAPI ThreadBody(void*)
{
    char a[4];
    return SEH_CopyMemory(a, BadAddress(), 4) == E_UNEXPECTED ? 0 : 1;
}

TEST(Guard, WorksOnAnotherThread)
{
    HANDLE h = CreateThread(nullptr, 0, ThreadBody, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 10000));
    DWORD dwExit = 2;
    GetExitCodeThread(h, &dwExit);
    CloseHandle(h);
    EXPECT_EQ(0u, dwExit);
}
} // namespace
