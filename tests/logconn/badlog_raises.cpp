// A broken log library for the tests: its Exp_GetLogObject raises an access
// violation, or, with VELMORA_BADLOG=attach, hands out an object whose
// Attach does. The spine must unload it and trace nothing.
// With VELMORA_BADLOG=addr it behaves and checks the addresses instead: it
// keeps the one Exp_GetLogObject got, writes through it on every line, and at
// Detach reports to the file VELMORA_BADLOG_REPORT whether Attach and Detach
// got the same address and it still held the object.
#include "dshowx/DSTrace.h"

namespace
{
volatile UINT_PTR g_uBad = 0x10;

void Fault()
{
    *reinterpret_cast<volatile int*>(g_uBad) = 1;
}

HRESULT WINAPI Unused(ILogObject*)
{
    return E_NOTIMPL;
}
HRESULT WINAPI DumpCallStack(ILogObject*, EXCEPTION_POINTERS*, HANDLE, BOOL)
{
    return S_OK;
}
HRESULT WINAPI WriteBlock(ILogObject*, DWORD, LPCSTR)
{
    return S_OK;
}
bool g_bAddr = false;
ILogObject** g_ppKept = nullptr;
bool g_bAttachSame = false;

HRESULT WINAPI Attach(ILogObject*, ILogObject** ppObject, ULONG_PTR, ULONG_PTR)
{
    if (!g_bAddr)
        Fault();
    g_bAttachSame = ppObject == g_ppKept;
    return S_OK;
}
HRESULT WINAPI Detach(ILogObject* pThis, ILogObject** ppObject)
{
    if (!g_bAddr)
        return S_OK;
    char szReport[MAX_PATH] = {};
    GetEnvironmentVariableA("VELMORA_BADLOG_REPORT", szReport, sizeof(szReport));
    const char* pszVerdict = g_bAttachSame && ppObject == g_ppKept && *ppObject == pThis ? "same" : "differ";
    *ppObject = nullptr; // a library may clear the module's pointer as it goes
    HANDLE h = CreateFileA(szReport, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD cb = 0;
    if (h != INVALID_HANDLE_VALUE)
    {
        WriteFile(h, pszVerdict, lstrlenA(pszVerdict), &cb, nullptr);
        CloseHandle(h);
    }
    return S_OK;
}
HRESULT WINAPI OutputA(ILogObject*, LPCSTR)
{
    return S_OK;
}
HRESULT WINAPI OutputW(ILogObject* pThis, LPCWSTR)
{
    if (g_bAddr)
        *g_ppKept = pThis; // what a library that swaps its objects would do
    return S_OK;
}
const ILogObjectVtbl c_vtbl = {Unused, Unused, Unused, Unused, DumpCallStack, WriteBlock,
                               Unused, Attach, Detach, Unused, OutputA,       OutputW};
ILogObject g_log = {&c_vtbl};
} // namespace

extern "C" LONG WINAPI Exp_GetLogObject(ILogObject** ppObject)
{
    char szMode[16] = {};
    GetEnvironmentVariableA("VELMORA_BADLOG", szMode, sizeof(szMode));
    g_bAddr = lstrcmpA(szMode, "addr") == 0;
    g_ppKept = ppObject;
    if (lstrcmpA(szMode, "attach") != 0 && !g_bAddr)
        Fault();
    *ppObject = &g_log;
    return 0;
}
