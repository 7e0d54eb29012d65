// The product DLL: its module with the object map and the exports. Hosts
// create the filter through DllGetClassObject.
#include "BrevaneModule.h"
#include "AboutBrevane.h"
#include "Filter.h"
#include "FilterPP.h"

#include <winapi/ComModule.h>

namespace
{

CBrevaneModule g_module;

BEGIN_OBJECT_MAP(g_objectMap)
OBJECT_ENTRY(CLSID_SpyFilter, CSpyFilter)
OBJECT_ENTRY(CLSID_SpyFilterPP, CSpyFilterPP)
OBJECT_ENTRY(CLSID_AboutSpyFilter, CAboutSpyFilter)
END_OBJECT_MAP()

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    return ModuleDllMain(g_module, hInstance, dwReason, [hInstance] { return g_module.Init(g_objectMap, hInstance); });
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return g_module.DllGetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_module.DllCanUnloadNow(); }

STDAPI DllRegisterServer()
{
    const HRESULT hr = g_module.DllRegisterServer();
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### DllRegisterServer(): _AtlModule.DllRegisterServer()=0x%X\n", hr);
    return hr;
}

STDAPI DllUnregisterServer() { return g_module.DllUnregisterServer(); }
