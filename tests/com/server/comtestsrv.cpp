// A minimal in-process server on the COM layer: one class, its registry
// script and the type library as resources, the four exports.
#include "ComTestServer.h"

#include <winapi/ComModule.h>

namespace
{

class CComTestServer : public CComObjectRootMT,
                       public CComCoClass<CComTestServer, &CLSID_VelmoraComTest>,
                       public IVelmoraComTest
{
public:
    BEGIN_COM_MAP(CComTestServer)
    COM_INTERFACE_ENTRY(IVelmoraComTest)
    END_COM_MAP()

    static HRESULT UpdateRegistry(BOOL bRegister)
    {
        static const COM_REPLACEMENT s_map[] = {
            {L"CLSID", VELMORA_COMTEST_CLSID},
            {L"LIBID", VELMORA_COMTEST_LIBID},
            {nullptr, nullptr},
        };
        return CComModule::GetModule()->UpdateRegistryFromResource(IDR_COMTEST_SCRIPT, bRegister, s_map);
    }

    STDMETHOD(Add)(LONG nA, LONG nB, LONG* pnSum) override
    {
        if (pnSum == nullptr)
            return E_POINTER;
        *pnSum = nA + nB;
        return S_OK;
    }
};

CComModule g_module;

BEGIN_OBJECT_MAP(g_objectMap)
OBJECT_ENTRY(CLSID_VelmoraComTest, CComTestServer)
END_OBJECT_MAP()

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    return ModuleDllMain(g_module, hInstance, dwReason,
                         [hInstance] { return g_module.Init(g_objectMap, hInstance, &LIBID_VelmoraComTestLib); });
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return g_module.DllGetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_module.DllCanUnloadNow(); }
STDAPI DllRegisterServer() { return g_module.DllRegisterServer(); }
STDAPI DllUnregisterServer() { return g_module.DllUnregisterServer(); }
