// The test server DLL end to end in the Wine registry: registration from
// its script and type library resources, creation through the registry,
// DllCanUnloadNow, and unregistration leaving nothing behind.
#include "ComTestServer.h"

#include <winapi/ComPtr.h>

#include <gtest/gtest.h>

#include <string>

#include <support/Registry.h>

namespace
{

typedef HRESULT(STDAPICALLTYPE* PFN_SERVER_CALL)();

const std::wstring g_strClsidKey = L"CLSID\\{" VELMORA_COMTEST_CLSID L"}";
const std::wstring g_strTypeLibKey = L"TypeLib\\{" VELMORA_COMTEST_LIBID L"}";
const std::wstring g_strProgIdKey = L"Velmora.ComTest.1";

bool KeyExists(const std::wstring& strPath) { return RegKeyExists(HKEY_CLASSES_ROOT, strPath); }
std::wstring ReadString(const std::wstring& strPath, LPCWSTR pszName = L"")
{
    return RegText(HKEY_CLASSES_ROOT, strPath, pszName);
}

class ComServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        m_hModule = LoadLibraryW(VELMORA_COMTEST_DLL);
        ASSERT_NE(nullptr, m_hModule);
        GetModuleFileNameW(m_hModule, m_szPath, MAX_PATH);
        m_pfnRegister = Export("DllRegisterServer");
        m_pfnUnregister = Export("DllUnregisterServer");
        m_pfnCanUnload = Export("DllCanUnloadNow");
        ASSERT_TRUE(m_pfnRegister && m_pfnUnregister && m_pfnCanUnload);
        // Whatever an interrupted run left behind.
        m_pfnUnregister();
    }
    void TearDown() override
    {
        if (m_pfnUnregister)
            m_pfnUnregister();
        if (m_hModule)
            FreeLibrary(m_hModule);
        CoUninitialize();
    }
    PFN_SERVER_CALL Export(LPCSTR pszName)
    {
        return reinterpret_cast<PFN_SERVER_CALL>(reinterpret_cast<void*>(GetProcAddress(m_hModule, pszName)));
    }

    HMODULE m_hModule = nullptr;
    WCHAR m_szPath[MAX_PATH] = L"";
    PFN_SERVER_CALL m_pfnRegister = nullptr;
    PFN_SERVER_CALL m_pfnUnregister = nullptr;
    PFN_SERVER_CALL m_pfnCanUnload = nullptr;
};

TEST_F(ComServerTest, RegisterWritesTheScriptAndTheTypeLibrary)
{
    ASSERT_EQ(S_OK, m_pfnRegister());
    EXPECT_EQ(L"Velmora COM Test", ReadString(g_strClsidKey));
    EXPECT_EQ(L"Velmora.ComTest.1", ReadString(g_strClsidKey + L"\\ProgID"));
    EXPECT_EQ(std::wstring(m_szPath), ReadString(g_strClsidKey + L"\\InprocServer32")) << "MODULE is the full path";
    EXPECT_EQ(L"Both", ReadString(g_strClsidKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"{" VELMORA_COMTEST_LIBID L"}", ReadString(g_strClsidKey + L"\\TypeLib"));
    EXPECT_EQ(L"{" VELMORA_COMTEST_CLSID L"}", ReadString(g_strProgIdKey + L"\\CLSID"));

    CComPtr<ITypeLib> spTypeLib;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_VelmoraComTestLib, 1, 0, 0, &spTypeLib));
    CComPtr<ITypeInfo> spInfo;
    EXPECT_EQ(S_OK, spTypeLib->GetTypeInfoOfGuid(CLSID_VelmoraComTest, &spInfo));
    CComBSTR bstrDoc;
    EXPECT_EQ(S_OK, spTypeLib->GetDocumentation(-1, nullptr, &bstrDoc, nullptr, nullptr));
    EXPECT_STREQ(L"Velmora COM Test 1.0 Type Library", bstrDoc.m_str);

    // Registering again replaces the registration.
    EXPECT_EQ(S_OK, m_pfnRegister());
    EXPECT_EQ(L"Velmora COM Test", ReadString(g_strClsidKey));
}

TEST_F(ComServerTest, ObjectsAreCreatedThroughTheRegistryAndLockTheServer)
{
    ASSERT_EQ(S_OK, m_pfnRegister());
    CComPtr<IVelmoraComTest> spTest;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_VelmoraComTest, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IVelmoraComTest),
                                     reinterpret_cast<void**>(&spTest)));
    LONG nSum = 0;
    EXPECT_EQ(S_OK, spTest->Add(2, 3, &nSum));
    EXPECT_EQ(5, nSum);
    EXPECT_EQ(S_FALSE, m_pfnCanUnload()) << "an object is alive";
    spTest.Release();
    EXPECT_EQ(S_OK, m_pfnCanUnload());

    CComPtr<IClassFactory> spFactory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_VelmoraComTest, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(&spFactory)));
    EXPECT_EQ(S_OK, spFactory->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, m_pfnCanUnload()) << "a server lock is held";
    EXPECT_EQ(S_OK, spFactory->LockServer(FALSE));
    EXPECT_EQ(S_OK, m_pfnCanUnload());

    CComPtr<IUnknown> spOuter;
    ASSERT_EQ(S_OK, spFactory.QueryInterface(&spOuter));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, spFactory->CreateInstance(spOuter, IID_IUnknown, &pv));
    EXPECT_EQ(nullptr, pv);
}

TEST_F(ComServerTest, UnregisterLeavesNothingButTheSharedKeys)
{
    ASSERT_EQ(S_OK, m_pfnRegister());
    ASSERT_TRUE(KeyExists(g_strTypeLibKey));
    EXPECT_EQ(S_OK, m_pfnUnregister());
    EXPECT_FALSE(KeyExists(g_strClsidKey));
    EXPECT_FALSE(KeyExists(g_strProgIdKey));
    EXPECT_FALSE(KeyExists(g_strTypeLibKey));
    EXPECT_TRUE(KeyExists(L"CLSID"));
    EXPECT_EQ(S_OK, m_pfnUnregister()) << "unregistering may be repeated";

    IUnknown* pUnk = nullptr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_VelmoraComTest, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                    reinterpret_cast<void**>(&pUnk)));
}

} // namespace
