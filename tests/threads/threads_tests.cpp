// Worker threads, events and locks as their owners use them.
#include <winapi/Threads.h>
#include <winapi/Wrappers.h>

#include <gtest/gtest.h>

namespace
{
// A worker in the owner's style: waits on the wake event, counts wake-ups,
// and leaves when it finds the run flag clear.
class CWorker : public CSimpleThread<CWorker>
{
public:
    volatile LONG m_nWakes = 0;
    volatile LONG m_nRuns = 0;
    DWORD m_dwResult = 0x1234;

    HRESULT Start() { return InitThread(this, &CSimpleThread<CWorker>::StartThread); }

    DWORD RunThread()
    {
        InterlockedIncrement(&m_nRuns);
        while (m_bRun)
        {
            WaitForSingleObject(m_hEvent, INFINITE);
            InterlockedIncrement(&m_nWakes);
        }
        return m_dwResult;
    }
};

// Ignores its wake-up until the test lets it go.
class CStubbornWorker : public CSimpleThread<CStubbornWorker>
{
public:
    HANDLE m_hRelease = CreateEventW(NULL, TRUE, FALSE, NULL);
    volatile LONG m_bFinished = 0;

    ~CStubbornWorker() { CloseHandle(m_hRelease); }
    HRESULT Start() { return InitThread(this, &CSimpleThread<CStubbornWorker>::StartThread); }

    DWORD RunThread()
    {
        WaitForSingleObject(m_hRelease, INFINITE);
        InterlockedExchange(&m_bFinished, 1);
        return 0;
    }
};

DWORD ExitCodeOf(HANDLE hThread)
{
    DWORD dwCode = 0;
    GetExitCodeThread(hThread, &dwCode);
    return dwCode;
}

DWORD WINAPI TryEnterFromOtherThread(void* pv)
{
    return TryEnterCriticalSection(*static_cast<CCritSec_SC*>(pv)) ? 1 : 0;
}

bool WaitUntil(volatile LONG& n, LONG nValue)
{
    for (int i = 0; i < 500 && n < nValue; ++i)
        Sleep(10);
    return n >= nValue;
}
} // namespace

TEST(SimpleThread, WakesStopsAndReturnsRunResult)
{
    CWorker worker;
    EXPECT_EQ(E_INVALIDARG, worker.InitThread(nullptr, &CSimpleThread<CWorker>::StartThread));
    EXPECT_EQ(E_INVALIDARG, worker.InitThread(&worker, nullptr));
    EXPECT_EQ(nullptr, worker.m_hThread);

    ASSERT_EQ(S_OK, worker.Start());
    EXPECT_NE(nullptr, worker.m_hThread);
    EXPECT_NE(nullptr, worker.m_hEvent);
    EXPECT_TRUE(worker.m_bRun);
    ASSERT_TRUE(WaitUntil(worker.m_nRuns, 1));

    EXPECT_TRUE(worker.Wake());
    EXPECT_TRUE(WaitUntil(worker.m_nWakes, 1));

    // Keep a duplicate so that the exit code can be read after Stop closes the handle.
    HANDLE hCopy = NULL;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), worker.m_hThread, GetCurrentProcess(), &hCopy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    worker.Stop(INFINITE, false);
    EXPECT_EQ(nullptr, worker.m_hThread);
    EXPECT_EQ(0u, worker.m_dwThreadId);
    EXPECT_EQ(nullptr, worker.m_hEvent);
    EXPECT_FALSE(worker.m_bRun);
    EXPECT_EQ(0x1234u, ExitCodeOf(hCopy));
    CloseHandle(hCopy);

    worker.Stop(INFINITE, false); // idle: nothing to do
    EXPECT_EQ(nullptr, worker.m_hThread);
}

TEST(SimpleThread, RestartStopsThePreviousThreadFirst)
{
    CWorker worker;
    ASSERT_EQ(S_OK, worker.Start());
    ASSERT_TRUE(WaitUntil(worker.m_nRuns, 1));
    const DWORD dwFirst = worker.m_dwThreadId;
    HANDLE hFirst = NULL;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), worker.m_hThread, GetCurrentProcess(), &hFirst, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));

    ASSERT_EQ(S_OK, worker.Start());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hFirst, 0)) << "the first thread ended before the second began";
    CloseHandle(hFirst);
    EXPECT_NE(dwFirst, worker.m_dwThreadId);
    EXPECT_TRUE(WaitUntil(worker.m_nRuns, 2));
    EXPECT_TRUE(worker.Wake());
    EXPECT_TRUE(WaitUntil(worker.m_nWakes, 2)); // one from the first Stop, one from this Wake
}

TEST(SimpleThread, IgnoredWakeUpLeavesThreadRunningUnlessTerminated)
{
    CStubbornWorker left;
    ASSERT_EQ(S_OK, left.Start());
    HANDLE hCopy = NULL;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), left.m_hThread, GetCurrentProcess(), &hCopy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    left.Stop(50, false);
    EXPECT_EQ(nullptr, left.m_hThread);
    EXPECT_EQ(nullptr, left.m_hEvent);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hCopy, 0)) << "the thread must be left running";
    SetEvent(left.m_hRelease);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hCopy, 5000));
    EXPECT_EQ(1, left.m_bFinished);
    CloseHandle(hCopy);

    CStubbornWorker killed;
    ASSERT_EQ(S_OK, killed.Start());
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), killed.m_hThread, GetCurrentProcess(), &hCopy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    killed.Stop(50, true);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hCopy, 5000));
    EXPECT_EQ(0xFFFFFFFFu, ExitCodeOf(hCopy));
    EXPECT_EQ(0, killed.m_bFinished);
    CloseHandle(hCopy);
}

TEST(Wrappers, LocksEventsAndHandles)
{
    CCritSec_SC cs;
    EXPECT_EQ(S_OK, cs.Init(4000));
    {
        CScopedLock lock(&cs);
        CScopedLock again(&cs); // recursive for the owning thread
        // Another thread must not get in while the lock is held.
        HANDLE hThread = CreateThread(NULL, 0, TryEnterFromOtherThread, &cs, 0, NULL);
        WaitForSingleObject(hThread, INFINITE);
        EXPECT_EQ(0u, ExitCodeOf(hThread));
        CloseHandle(hThread);
    }
    EXPECT_TRUE(TryEnterCriticalSection(cs));
    LeaveCriticalSection(cs);
    CScopedLock none(static_cast<CRITICAL_SECTION*>(nullptr));

    CAutoCritSec_SC autoCs(4000);
    CScopedLock autoLock(&autoCs);

    CEvent ev;
    EXPECT_FALSE(ev.Set()) << "no handle yet";
    ASSERT_EQ(S_OK, ev.Create(TRUE, FALSE));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ev, 0));
    EXPECT_TRUE(ev.Set());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ev, 0));
    EXPECT_TRUE(ev.Reset());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ev, 0));

    HANDLE hRaw = ev.Detach();
    EXPECT_EQ(nullptr, static_cast<HANDLE>(ev));
    {
        CHandle2 owner(hRaw);
    }
    EXPECT_FALSE(SetEvent(hRaw)) << "the owner closed the handle";
}
