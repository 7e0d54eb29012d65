// Shared by the server tests: the product DLL beside the test program, its
// class object without the registry, regsvr32 of either bitness, registry
// read-back and the filter mapper's view of a category.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

#include <VelmoraSpy.h>
#include <winapi/ComPtr.h>

#include <support/Registry.h>

// Full path of a file beside the test program; for the other bitness's DLL
// the same name under build/<other arch>/bin.
inline std::wstring BesideExe(LPCWSTR pszName, bool bOtherArch = false)
{
    WCHAR sz[MAX_PATH];
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring s = sz;
    s.erase(s.find_last_of(L'\\') + 1);
    if (bOtherArch)
    {
        const std::wstring strMine = sizeof(void*) == 8 ? L"\\x86_64\\bin\\" : L"\\i686\\bin\\";
        const std::wstring strOther = sizeof(void*) == 8 ? L"\\i686\\bin\\" : L"\\x86_64\\bin\\";
        const size_t n = s.rfind(strMine);
        if (n == std::wstring::npos)
            return L"";
        s.replace(n, strMine.size(), strOther);
    }
    return s + pszName;
}

// regsvr32 of the DLL's bitness (the 32-bit one from syswow64); exit code.
inline DWORD RunRegsvr32(const std::wstring& strDll, bool bUnregister, bool b64 = sizeof(void*) == 8)
{
    WCHAR szWin[MAX_PATH];
    GetWindowsDirectoryW(szWin, MAX_PATH);
    // A 32-bit caller sees system32 redirected; sysnative reaches the real one.
    const std::wstring strDir = b64 ? (sizeof(void*) == 8 ? L"\\system32" : L"\\sysnative") : L"\\syswow64";
    std::wstring strCmd = L"\"" + std::wstring(szWin) + strDir + L"\\regsvr32.exe\" /s " + (bUnregister ? L"/u " : L"") +
                          L"\"" + strDll + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &strCmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 0xFFFFFFFF;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD dwExit = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return dwExit;
}

// Under HKEY_CLASSES_ROOT.
inline std::wstring RegText(const std::wstring& strKey, LPCWSTR pszValue = L"", REGSAM samView = 0)
{
    return RegText(HKEY_CLASSES_ROOT, strKey, pszValue, samView);
}
inline bool RegKeyExists(const std::wstring& strKey) { return RegKeyExists(HKEY_CLASSES_ROOT, strKey); }

inline std::wstring GuidText(REFGUID guid)
{
    WCHAR sz[40];
    StringFromGUID2(guid, sz, 40);
    return sz;
}

// A filter the mapper lists in a category, with its FilterData as stored.
struct MAPPED_FILTER
{
    std::wstring strName;
    std::wstring strClsid;
    std::vector<BYTE> filterData;
};

inline std::vector<MAPPED_FILTER> FiltersInCategory(REFCLSID clsidCategory, REFCLSID clsidFilter)
{
    std::vector<MAPPED_FILTER> found;
    CComPtr<ICreateDevEnum> spDevEnum;
    CComPtr<IEnumMoniker> spEnum;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(&spDevEnum))) ||
        spDevEnum->CreateClassEnumerator(clsidCategory, &spEnum, 0) != S_OK)
        return found;
    for (CComPtr<IMoniker> spMoniker; spEnum->Next(1, &spMoniker, nullptr) == S_OK; spMoniker.Release())
    {
        CComPtr<IPropertyBag> spBag;
        if (FAILED(spMoniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&spBag))))
            continue;
        MAPPED_FILTER filter;
        VARIANT var;
        VariantInit(&var);
        if (SUCCEEDED(spBag->Read(L"CLSID", &var, nullptr)) && var.vt == VT_BSTR)
            filter.strClsid = var.bstrVal;
        VariantClear(&var);
        if (_wcsicmp(filter.strClsid.c_str(), GuidText(clsidFilter).c_str()) != 0)
            continue;
        if (SUCCEEDED(spBag->Read(L"FriendlyName", &var, nullptr)) && var.vt == VT_BSTR)
            filter.strName = var.bstrVal;
        VariantClear(&var);
        if (SUCCEEDED(spBag->Read(L"FilterData", &var, nullptr)) && var.vt == (VT_ARRAY | VT_UI1))
        {
            void* pv = nullptr;
            SafeArrayAccessData(var.parray, &pv);
            filter.filterData.assign(static_cast<BYTE*>(pv), static_cast<BYTE*>(pv) + var.parray->rgsabound[0].cElements);
            SafeArrayUnaccessData(var.parray);
        }
        VariantClear(&var);
        found.push_back(filter);
    }
    return found;
}

// The product DLL's class object for the filter, without the registry.
inline HRESULT CreateSpyDirect(REFIID riid, void** ppv)
{
    static HMODULE s_hDll = LoadLibraryW(L"VelmoraSpy.dll");
    auto pfn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(s_hDll, "DllGetClassObject")));
    if (pfn == nullptr)
        return E_UNEXPECTED;
    CComPtr<IClassFactory> spFactory;
    HRESULT hr = pfn(CLSID_SpyFilter, IID_IClassFactory, reinterpret_cast<void**>(&spFactory));
    return FAILED(hr) ? hr : spFactory->CreateInstance(nullptr, riid, ppv);
}

template <class Q>
CComPtr<Q> CreateSpy()
{
    CComPtr<Q> sp;
    CreateSpyDirect(__uuidof(Q), reinterpret_cast<void**>(&sp));
    return sp;
}
