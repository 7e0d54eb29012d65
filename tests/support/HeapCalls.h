// Counts the heap calls a thread makes: every allocation routine that the
// program imports (the C runtime's, the Win32 heap's, COM's task allocator,
// and the calls that allocate behind the scenes such as critical section
// initialisation) is redirected through a counter by patching the program's
// own import table. The framework is linked into test programs statically,
// so every call it makes passes there.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

namespace heap_calls
{
inline LONG volatile g_nCalls = 0;
inline DWORD volatile g_dwArmedThread = 0;
inline const char* volatile g_pszLastCall = "";

inline void Note(const char* pszName)
{
    if (g_dwArmedThread != GetCurrentThreadId())
        return;
    InterlockedIncrement(&g_nCalls);
    g_pszLastCall = pszName;
}

typedef void*(__cdecl* PFN_MALLOC)(size_t);
typedef void*(__cdecl* PFN_CALLOC)(size_t, size_t);
typedef void*(__cdecl* PFN_REALLOC)(void*, size_t);
typedef LPVOID(WINAPI* PFN_HEAPALLOC)(HANDLE, DWORD, SIZE_T);
typedef LPVOID(WINAPI* PFN_HEAPREALLOC)(HANDLE, DWORD, LPVOID, SIZE_T);
typedef HLOCAL(WINAPI* PFN_LOCALALLOC)(UINT, SIZE_T);
typedef HGLOBAL(WINAPI* PFN_GLOBALALLOC)(UINT, SIZE_T);
typedef LPVOID(WINAPI* PFN_VIRTUALALLOC)(LPVOID, SIZE_T, DWORD, DWORD);
typedef HANDLE(WINAPI* PFN_CREATESEMAPHOREW)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);
typedef void(WINAPI* PFN_INITCS)(LPCRITICAL_SECTION);
typedef BOOL(WINAPI* PFN_INITCSSPIN)(LPCRITICAL_SECTION, DWORD);
typedef BOOL(WINAPI* PFN_INITCSEX)(LPCRITICAL_SECTION, DWORD, DWORD);
typedef LPVOID(WINAPI* PFN_COTASKMEMALLOC)(SIZE_T);
typedef LPVOID(WINAPI* PFN_COTASKMEMREALLOC)(LPVOID, SIZE_T);

inline PFN_MALLOC s_pfnMalloc;
inline PFN_CALLOC s_pfnCalloc;
inline PFN_REALLOC s_pfnRealloc;
inline PFN_HEAPALLOC s_pfnHeapAlloc;
inline PFN_HEAPREALLOC s_pfnHeapReAlloc;
inline PFN_LOCALALLOC s_pfnLocalAlloc;
inline PFN_GLOBALALLOC s_pfnGlobalAlloc;
inline PFN_VIRTUALALLOC s_pfnVirtualAlloc;
inline PFN_CREATESEMAPHOREW s_pfnCreateSemaphoreW;
inline PFN_INITCS s_pfnInitCs;
inline PFN_INITCSSPIN s_pfnInitCsSpin;
inline PFN_INITCSEX s_pfnInitCsEx;
inline PFN_COTASKMEMALLOC s_pfnCoTaskMemAlloc;
inline PFN_COTASKMEMREALLOC s_pfnCoTaskMemRealloc;

inline void* __cdecl HookMalloc(size_t cb)
{
    Note("malloc");
    return s_pfnMalloc(cb);
}
inline void* __cdecl HookCalloc(size_t n, size_t cb)
{
    Note("calloc");
    return s_pfnCalloc(n, cb);
}
inline void* __cdecl HookRealloc(void* p, size_t cb)
{
    Note("realloc");
    return s_pfnRealloc(p, cb);
}
inline LPVOID WINAPI HookHeapAlloc(HANDLE h, DWORD dw, SIZE_T cb)
{
    Note("HeapAlloc");
    return s_pfnHeapAlloc(h, dw, cb);
}
inline LPVOID WINAPI HookHeapReAlloc(HANDLE h, DWORD dw, LPVOID p, SIZE_T cb)
{
    Note("HeapReAlloc");
    return s_pfnHeapReAlloc(h, dw, p, cb);
}
inline HLOCAL WINAPI HookLocalAlloc(UINT u, SIZE_T cb)
{
    Note("LocalAlloc");
    return s_pfnLocalAlloc(u, cb);
}
inline HGLOBAL WINAPI HookGlobalAlloc(UINT u, SIZE_T cb)
{
    Note("GlobalAlloc");
    return s_pfnGlobalAlloc(u, cb);
}
inline LPVOID WINAPI HookVirtualAlloc(LPVOID p, SIZE_T cb, DWORD dwType, DWORD dwProtect)
{
    Note("VirtualAlloc");
    return s_pfnVirtualAlloc(p, cb, dwType, dwProtect);
}
inline HANDLE WINAPI HookCreateSemaphoreW(LPSECURITY_ATTRIBUTES psa, LONG lInit, LONG lMax, LPCWSTR pszName)
{
    Note("CreateSemaphoreW");
    return s_pfnCreateSemaphoreW(psa, lInit, lMax, pszName);
}
inline void WINAPI HookInitCs(LPCRITICAL_SECTION pcs)
{
    Note("InitializeCriticalSection");
    s_pfnInitCs(pcs);
}
inline BOOL WINAPI HookInitCsSpin(LPCRITICAL_SECTION pcs, DWORD dwSpin)
{
    Note("InitializeCriticalSectionAndSpinCount");
    return s_pfnInitCsSpin(pcs, dwSpin);
}
inline BOOL WINAPI HookInitCsEx(LPCRITICAL_SECTION pcs, DWORD dwSpin, DWORD dwFlags)
{
    Note("InitializeCriticalSectionEx");
    return s_pfnInitCsEx(pcs, dwSpin, dwFlags);
}
inline LPVOID WINAPI HookCoTaskMemAlloc(SIZE_T cb)
{
    Note("CoTaskMemAlloc");
    return s_pfnCoTaskMemAlloc(cb);
}
inline LPVOID WINAPI HookCoTaskMemRealloc(LPVOID p, SIZE_T cb)
{
    Note("CoTaskMemRealloc");
    return s_pfnCoTaskMemRealloc(p, cb);
}
typedef void*(__cdecl* PFN_ALIGNED_MALLOC)(size_t, size_t);
inline PFN_ALIGNED_MALLOC s_pfnAlignedMalloc;
inline void* __cdecl HookAlignedMalloc(size_t cb, size_t cbAlign)
{
    Note("_aligned_malloc");
    return s_pfnAlignedMalloc(cb, cbAlign);
}

struct HookDef
{
    const char* pszName;
    void* pfnHook;
    void** ppfnOriginal;
};

#define HOOK(name, hook, orig) {name, reinterpret_cast<void*>(&hook), reinterpret_cast<void**>(&orig)}

inline const HookDef c_hooks[] = {
    HOOK("malloc", HookMalloc, s_pfnMalloc),
    HOOK("calloc", HookCalloc, s_pfnCalloc),
    HOOK("realloc", HookRealloc, s_pfnRealloc),
    HOOK("HeapAlloc", HookHeapAlloc, s_pfnHeapAlloc),
    HOOK("HeapReAlloc", HookHeapReAlloc, s_pfnHeapReAlloc),
    HOOK("LocalAlloc", HookLocalAlloc, s_pfnLocalAlloc),
    HOOK("GlobalAlloc", HookGlobalAlloc, s_pfnGlobalAlloc),
    HOOK("VirtualAlloc", HookVirtualAlloc, s_pfnVirtualAlloc),
    HOOK("CreateSemaphoreW", HookCreateSemaphoreW, s_pfnCreateSemaphoreW),
    HOOK("InitializeCriticalSection", HookInitCs, s_pfnInitCs),
    HOOK("InitializeCriticalSectionAndSpinCount", HookInitCsSpin, s_pfnInitCsSpin),
    HOOK("InitializeCriticalSectionEx", HookInitCsEx, s_pfnInitCsEx),
    HOOK("CoTaskMemAlloc", HookCoTaskMemAlloc, s_pfnCoTaskMemAlloc),
    HOOK("CoTaskMemRealloc", HookCoTaskMemRealloc, s_pfnCoTaskMemRealloc),
    HOOK("_aligned_malloc", HookAlignedMalloc, s_pfnAlignedMalloc),
};

// Redirects the named imports of this program; returns the names patched.
inline std::vector<std::string> PatchImports()
{
    std::vector<std::string> patched;
    BYTE* pBase = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    const IMAGE_NT_HEADERS* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return patched;
    for (const IMAGE_IMPORT_DESCRIPTOR* pImp = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pBase + dir.VirtualAddress);
         pImp->Name != 0; ++pImp)
    {
        if (pImp->OriginalFirstThunk == 0)
            continue;
        const IMAGE_THUNK_DATA* pNames = reinterpret_cast<const IMAGE_THUNK_DATA*>(pBase + pImp->OriginalFirstThunk);
        IMAGE_THUNK_DATA* pIat = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pImp->FirstThunk);
        for (; pNames->u1.AddressOfData != 0; ++pNames, ++pIat)
        {
            if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME* pByName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(pBase + pNames->u1.AddressOfData);
            const char* pszName = reinterpret_cast<const char*>(pByName->Name);
            for (const HookDef& hook : c_hooks)
            {
                if (strcmp(pszName, hook.pszName) != 0)
                    continue;
                DWORD dwOld = 0;
                VirtualProtect(&pIat->u1.Function, sizeof(pIat->u1.Function), PAGE_READWRITE, &dwOld);
                if (*hook.ppfnOriginal == nullptr)
                    *hook.ppfnOriginal = reinterpret_cast<void*>(pIat->u1.Function);
                pIat->u1.Function = reinterpret_cast<ULONG_PTR>(hook.pfnHook);
                VirtualProtect(&pIat->u1.Function, sizeof(pIat->u1.Function), dwOld, &dwOld);
                patched.push_back(pszName);
            }
        }
    }
    return patched;
}

// Counts the heap calls made on this thread for its scope.
class CHeapCallCounter
{
public:
    CHeapCallCounter()
    {
        InterlockedExchange(&g_nCalls, 0);
        g_pszLastCall = "";
        g_dwArmedThread = GetCurrentThreadId();
    }
    ~CHeapCallCounter() { g_dwArmedThread = 0; }
    LONG Calls() const { return g_nCalls; }
    const char* Last() const { return g_pszLastCall; }
};

} // namespace heap_calls
