// A broken log library for the tests: its Exp_GetLogObject raises an access
// violation, or, with VELMORA_BADLOG=attach, hands out an object whose
// Attach does. The spine must unload it and trace nothing.
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
HRESULT WINAPI Attach(ILogObject*, ILogObject**, ULONG_PTR, ULONG_PTR)
{
    Fault();
    return S_OK;
}
HRESULT WINAPI Detach(ILogObject*, ILogObject**)
{
    return S_OK;
}
HRESULT WINAPI OutputA(ILogObject*, LPCSTR)
{
    return S_OK;
}
HRESULT WINAPI OutputW(ILogObject*, LPCWSTR)
{
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
    if (lstrcmpA(szMode, "attach") != 0)
        Fault();
    *ppObject = &g_log;
    return 0;
}
