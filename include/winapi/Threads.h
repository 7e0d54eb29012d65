// A worker thread that runs one method of its owner.
#pragma once

#include <windows.h>
#include <process.h>

#include <dshowx/DSTrace.h>
#include <winapi/Wrappers.h>

class CBaseThread
{
public:
    typedef unsigned(__stdcall* PFN_THREADPROC)(void*);

    CBaseThread() = default;
    CBaseThread(const CBaseThread&) = delete;
    CBaseThread& operator=(const CBaseThread&) = delete;

    HANDLE m_hThread = NULL;
    DWORD m_dwThreadId = 0;
    HANDLE m_hEvent = NULL;
    volatile bool m_bRun = false;

protected:
    ~CBaseThread() = default;
};

template <class T>
class CSimpleThread : public CBaseThread
{
public:
    ~CSimpleThread() { Stop(INFINITE, false); }

    HRESULT InitThread(T* pObject, PFN_THREADPROC pfnThreadProc)
    {
        if (pObject == nullptr || pfnThreadProc == nullptr)
            return E_INVALIDARG;
        Stop(INFINITE, false);

        SetLastError(0);
        HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
        if (hEvent == NULL)
        {
            const HRESULT hr = HResultFromLastError();
            TRACE_ASSERT_TEXT(false, "CSimpleThread::InitThread(): can't create event");
            return hr;
        }
        // The event must exist before the worker first waits on it.
        m_hEvent = hEvent;
        m_bRun = true;
        SetLastError(0);
        unsigned nThreadId = 0;
        HANDLE hThread = reinterpret_cast<HANDLE>(_beginthreadex(NULL, 0, pfnThreadProc, pObject, CREATE_SUSPENDED, &nThreadId));
        if (hThread == NULL)
        {
            const HRESULT hr = HResultFromLastError();
            m_bRun = false;
            m_hEvent = NULL;
            CloseHandle(hEvent);
            TRACE_ASSERT_TEXT(false, "CBaseThread::ThreadStart(): can't create thread");
            return hr;
        }
        m_hThread = hThread;
        m_dwThreadId = nThreadId;
        const DWORD dwPrev = ResumeThread(hThread);
        TRACE_ASSERT(dwPrev == 1);
        return S_OK;
    }

    static unsigned __stdcall StartThread(void* pv)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"CSimpleThread::StartThread(): thread 0x%04X started\n", GetCurrentThreadId());
        const unsigned nResult = static_cast<unsigned>(static_cast<T*>(pv)->RunThread());
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"CSimpleThread::StartThread(): thread 0x%04X stopped, result=0x%X\n",
               GetCurrentThreadId(), nResult);
        return nResult;
    }

    void Stop(DWORD dwWaitTime, bool bTerminate)
    {
        m_bRun = false;
        if (m_hThread != NULL)
        {
            if (m_hEvent != NULL)
                SetEvent(m_hEvent);
            const DWORD dwWait = WaitForSingleObject(m_hThread, dwWaitTime);
            if (dwWait != WAIT_OBJECT_0)
            {
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                       L"###Err### CSimpleThread<>::Stop(): WaitForSingleObject( wait time=%u )=0x%X for thread 0x%X\n",
                       dwWaitTime, dwWait, m_dwThreadId);
                if (bTerminate)
                {
                    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EXCEPTION,
                           L"######### CSimpleThread<>::Stop(): call TerminateThread() for thread 0x%X\n", m_dwThreadId);
                    TerminateThread(m_hThread, 0xFFFFFFFF);
                }
            }
            CloseHandle(m_hThread);
            m_hThread = NULL;
            m_dwThreadId = 0;
        }
        if (m_hEvent != NULL)
        {
            CloseHandle(m_hEvent);
            m_hEvent = NULL;
        }
    }

    BOOL Wake()
    {
        if (!TRACE_ASSERT(m_hEvent != NULL))
            return FALSE;
        return SetEvent(m_hEvent);
    }
};
