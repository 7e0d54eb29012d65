// In-process COM server plumbing: the plain class factory, the module object
// with its lock count and object map, and the helpers behind the four DLL
// exports, including the type library embedded as TYPELIB resource 1.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <winapi/ComObject.h>

typedef HRESULT (*PFN_COM_CREATE)(IUnknown* pUnkOuter, REFIID riid, void** ppv);
typedef HRESULT (*PFN_COM_UPDATE_REGISTRY)(BOOL bRegister);

// One creatable class of the module. pfnUpdateRegistry may be null.
struct COM_OBJMAP_ENTRY
{
    const CLSID* pclsid;
    PFN_COM_CREATE pfnCreateInstance;
    PFN_COM_UPDATE_REGISTRY pfnUpdateRegistry;
};

#define BEGIN_OBJECT_MAP(x) static const COM_OBJMAP_ENTRY x[] = {
#define OBJECT_ENTRY(clsid, class) {&(clsid), &class::CreateInstance, &class::UpdateRegistry},
#define END_OBJECT_MAP() {nullptr, nullptr, nullptr}};

// Replacement for registry scripts: a table ends with a null name.
struct COM_REPLACEMENT
{
    LPCWSTR pszName;
    LPCWSTR pszValue;
};

// The plain class factory: creates through the entry's creator; LockServer
// keeps the module loaded.
class CComClassFactory : public IClassFactory, public CComObjectRootMT
{
public:
    BEGIN_COM_MAP(CComClassFactory)
    COM_INTERFACE_ENTRY(IClassFactory)
    END_COM_MAP()

    void SetCreator(PFN_COM_CREATE pfnCreate) { m_pfnCreate = pfnCreate; }

    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHOD(LockServer)(BOOL fLock) override;

    // A new class object for pfnCreate. Class objects do not hold a module
    // lock by themselves: a client keeps the server with LockServer.
    static HRESULT Create(PFN_COM_CREATE pfnCreate, REFIID riid, void** ppv);

private:
    PFN_COM_CREATE m_pfnCreate = nullptr;
};

class CRegistrar;

class CComModule
{
public:
    CComModule() = default;
    virtual ~CComModule();
    CComModule(const CComModule&) = delete;
    CComModule& operator=(const CComModule&) = delete;

    // pObjMap ends with a null class identifier; plibid names the module's
    // type library (null when it has none). The module becomes the one that
    // GetModule() returns.
    HRESULT Init(const COM_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance, const GUID* plibid = nullptr);
    void Term();

    LONG Lock() { return CComModuleLock::Lock(); }
    LONG Unlock() { return CComModuleLock::Unlock(); }
    LONG GetLockCount() const { return CComModuleLock::Count(); }
    HINSTANCE GetModuleInstance() const { return m_hInstance; }
    const GUID* GetLibId() const { return m_plibid; }
    // Value of the standard "APPID" replacement (empty unless set).
    void SetAppId(LPCWSTR pszAppId);

    // Behind the DLL exports.
    HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
    HRESULT DllCanUnloadNow();
    HRESULT DllRegisterServer(BOOL bRegTypeLib = TRUE);
    HRESULT DllUnregisterServer(BOOL bUnRegTypeLib = TRUE);

    // Runs the script resource nResId (type "REGISTRY") with pMap and the
    // standard replacements.
    HRESULT UpdateRegistryFromResource(UINT nResId, BOOL bRegister, const COM_REPLACEMENT* pMap = nullptr);
    // Adds "MODULE" (the module's full path) and "APPID"; a derived module
    // may add more.
    virtual HRESULT AddCommonReplacements(CRegistrar& registrar);

    // TYPELIB resource 1 of the module; S_OK without doing anything when the
    // module has none.
    HRESULT RegisterTypeLib();
    HRESULT UnRegisterTypeLib();

    static CComModule* GetModule() { return s_pModule; }

private:
    HRESULT GetModulePath(LPWSTR pszPath, DWORD cchPath) const;
    bool HasTypeLib() const;

    const COM_OBJMAP_ENTRY* m_pObjMap = nullptr;
    HINSTANCE m_hInstance = nullptr;
    const GUID* m_plibid = nullptr;
    WCHAR m_szAppId[64] = L"";

    static inline CComModule* s_pModule = nullptr;
};

// What a module DLL's DllMain does: on attach, threads are not announced
// and fnInit (HRESULT()) initialises the module, its failure failing the
// load; on detach the module ends.
template <class TModule, class TInit>
BOOL ModuleDllMain(TModule& module, HINSTANCE hInstance, DWORD dwReason, TInit&& fnInit)
{
    if (dwReason == DLL_PROCESS_ATTACH)
    {
        DisableThreadLibraryCalls(hInstance);
        return SUCCEEDED(fnInit());
    }
    if (dwReason == DLL_PROCESS_DETACH)
        module.Term();
    return TRUE;
}

// For classes of the object map: the script resource they register with.
#define DECLARE_REGISTRY_RESOURCEID(id) \
    static HRESULT UpdateRegistry(BOOL bRegister) \
    { \
        return CComModule::GetModule()->UpdateRegistryFromResource(id, bRegister); \
    }
#define DECLARE_NO_REGISTRY() \
    static HRESULT UpdateRegistry(BOOL) { return S_OK; }
