// The server's module: the object map, the type library SPYFILTERLib, and the
// registry scripts of page classes that are not (yet) in the object map, so
// that registration writes all three classes whatever the map holds.
#pragma once

#include <winapi/ComModule.h>

class CBrevaneModule : public CComModule
{
public:
    HRESULT Init(const COM_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance);

    // The object map's entries, the pages outside it, and the type library.
    HRESULT DllRegisterServer();
    HRESULT DllUnregisterServer();

private:
    bool InObjectMap(REFCLSID clsid) const;
    HRESULT UpdateUnmappedPages(BOOL bRegister);

    const COM_OBJMAP_ENTRY* m_pObjMap = nullptr;
};
