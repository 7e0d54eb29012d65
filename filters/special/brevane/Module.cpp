// The product DLL: its module with the object map and the exports. Hosts
// create the filter through DllGetClassObject.
#include "Filter.h"

#include <winapi/ComModule.h>

namespace
{

// The module of the spy filter DLL; registration comes here next.
class CBrevaneModule : public CComModule
{
};

CBrevaneModule g_module;

BEGIN_OBJECT_MAP(g_objectMap)
OBJECT_ENTRY(CLSID_SpyFilter, CSpyFilter)
END_OBJECT_MAP()

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH)
    {
        DisableThreadLibraryCalls(hInstance);
        return SUCCEEDED(g_module.Init(g_objectMap, hInstance));
    }
    if (dwReason == DLL_PROCESS_DETACH)
        g_module.Term();
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return g_module.DllGetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_module.DllCanUnloadNow(); }
