// Owned kernel handles, events and critical sections.
#pragma once

#include <windows.h>

#include <dshowx/DSTrace.h>

// HRESULT of the last Win32 error, E_FAIL when the error was not set.
inline HRESULT HResultFromLastError()
{
    const DWORD dwError = GetLastError();
    return dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}

// Critical section with a spin count; zero-filled until Init succeeds.
class CCritSec_SC
{
public:
    CCritSec_SC() { ZeroMemory(&m_cs, sizeof(m_cs)); }
    ~CCritSec_SC()
    {
        if (m_bInit)
            DeleteCriticalSection(&m_cs);
    }
    CCritSec_SC(const CCritSec_SC&) = delete;
    CCritSec_SC& operator=(const CCritSec_SC&) = delete;

    HRESULT Init(DWORD dwSpinCount)
    {
        if (m_bInit)
            return S_OK;
        SetLastError(0);
        if (!InitializeCriticalSectionAndSpinCount(&m_cs, dwSpinCount))
            return HResultFromLastError();
        m_bInit = true;
        return S_OK;
    }
    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }
    operator CRITICAL_SECTION*() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
    bool m_bInit = false;
};

// Initialises itself; a failure here is a programming error, not a runtime case.
class CAutoCritSec_SC : public CCritSec_SC
{
public:
    explicit CAutoCritSec_SC(DWORD dwSpinCount)
    {
        const HRESULT hr = Init(dwSpinCount);
        TRACE_ASSERT_TEXT(SUCCEEDED(hr), "CAutoCritSec_SC(): CCritSec_SC::Init() FAILED");
    }
};

// Scoped lock: every path leaves what it entered.
class CScopedLock
{
public:
    explicit CScopedLock(CRITICAL_SECTION* pcs) : m_pcs(pcs)
    {
        if (m_pcs != nullptr)
            EnterCriticalSection(m_pcs);
    }
    explicit CScopedLock(CCritSec_SC* pcs) : CScopedLock(pcs != nullptr ? static_cast<CRITICAL_SECTION*>(*pcs) : nullptr) {}
    ~CScopedLock()
    {
        if (m_pcs != nullptr)
            LeaveCriticalSection(m_pcs);
    }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

private:
    CRITICAL_SECTION* m_pcs;
};

// Owns one kernel handle.
class CHandle2
{
public:
    CHandle2() = default;
    explicit CHandle2(HANDLE h) : m_h(h) {}
    virtual ~CHandle2() { Close(); }
    CHandle2(const CHandle2&) = delete;
    CHandle2& operator=(const CHandle2&) = delete;

    void Close()
    {
        if (m_h != NULL)
        {
            CloseHandle(m_h);
            m_h = NULL;
        }
    }
    void Attach(HANDLE h)
    {
        Close();
        m_h = h;
    }
    HANDLE Detach()
    {
        HANDLE h = m_h;
        m_h = NULL;
        return h;
    }
    operator HANDLE() const { return m_h; }

    HANDLE m_h = NULL;
};

class CEvent : public CHandle2
{
public:
    CEvent() = default;
    explicit CEvent(HANDLE h) : CHandle2(h) {}

    HRESULT Create(BOOL bManualReset, BOOL bInitialState)
    {
        Close();
        SetLastError(0);
        m_h = CreateEventW(NULL, bManualReset, bInitialState, NULL);
        return m_h != NULL ? S_OK : HResultFromLastError();
    }
    BOOL Set()
    {
        if (!TRACE_ASSERT(m_h != NULL))
            return FALSE;
        return SetEvent(m_h);
    }
    BOOL Reset()
    {
        if (!TRACE_ASSERT(m_h != NULL))
            return FALSE;
        return ResetEvent(m_h);
    }
};
