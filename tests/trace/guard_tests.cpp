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
