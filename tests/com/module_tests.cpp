// Class factory and module object inside the test program: class lookup,
// aggregation refused, lock count of live objects and server locks, and the
// registration walk over the object map.
#include "TestInterfaces.h"

#include <winapi/ComModule.h>

#include <gtest/gtest.h>

#include <vector>

namespace
{

// {6D1E0A10-5B1C-4F0E-9A11-2C3D4E5F6010}
const CLSID CLSID_ModuleFirst = {0x6d1e0a10, 0x5b1c, 0x4f0e, {0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x10}};
// {6D1E0A11-5B1C-4F0E-9A11-2C3D4E5F6010}
const CLSID CLSID_ModuleSecond = {0x6d1e0a11, 0x5b1c, 0x4f0e, {0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x10}};

std::vector<int> g_updates; // +n register, -n unregister of class n
HRESULT g_hrFirstUpdate = S_OK;

template <int N, const CLSID* pclsid>
class CModuleObject : public CComObjectRootMT, public CComCoClass<CModuleObject<N, pclsid>, pclsid>, public IVelmoraTestA
{
public:
    BEGIN_COM_MAP(CModuleObject)
    COM_INTERFACE_ENTRY(IVelmoraTestA)
    END_COM_MAP()

    static HRESULT UpdateRegistry(BOOL bRegister)
    {
        g_updates.push_back(bRegister ? N : -N);
        return N == 1 ? g_hrFirstUpdate : S_OK;
    }
    STDMETHOD(GetA)(LONG* pn) override
    {
        *pn = N;
        return S_OK;
    }
};
typedef CModuleObject<1, &CLSID_ModuleFirst> CFirst;
typedef CModuleObject<2, &CLSID_ModuleSecond> CSecond;

BEGIN_OBJECT_MAP(g_objectMap)
OBJECT_ENTRY(CLSID_ModuleFirst, CFirst)
OBJECT_ENTRY(CLSID_ModuleSecond, CSecond)
END_OBJECT_MAP()

class ComModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_updates.clear();
        g_hrFirstUpdate = S_OK;
        ASSERT_EQ(S_OK, m_module.Init(g_objectMap, GetModuleHandleW(nullptr)));
        ASSERT_EQ(S_OK, m_module.DllCanUnloadNow());
    }
    CComPtr<IClassFactory> Factory(REFCLSID rclsid)
    {
        CComPtr<IClassFactory> sp;
        EXPECT_EQ(S_OK, m_module.DllGetClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&sp)));
        return sp;
    }

    CComModule m_module;
};

TEST_F(ComModuleTest, ClassObjectsAreFoundByClassIdentifier)
{
    EXPECT_EQ(&m_module, CComModule::GetModule());
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, m_module.DllGetClassObject(GUID_NULL, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(E_POINTER, m_module.DllGetClassObject(CLSID_ModuleFirst, IID_IClassFactory, nullptr));
    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, m_module.DllGetClassObject(CLSID_ModuleFirst, __uuidof(IVelmoraTestA), &pv));
    EXPECT_EQ(nullptr, pv);

    // Each class object creates its own class.
    const CLSID* apclsid[] = {&CLSID_ModuleFirst, &CLSID_ModuleSecond};
    for (int i = 0; i < 2; ++i)
    {
        CComPtr<IClassFactory> spFactory = Factory(*apclsid[i]);
        ASSERT_NE(nullptr, spFactory.p);
        CComPtr<IVelmoraTestA> spA;
        ASSERT_EQ(S_OK, spFactory->CreateInstance(nullptr, __uuidof(IVelmoraTestA), reinterpret_cast<void**>(&spA)));
        LONG n = 0;
        spA->GetA(&n);
        EXPECT_EQ(i + 1, n);
        CComPtr<IUnknown> spUnk;
        EXPECT_EQ(S_OK, spFactory.QueryInterface(&spUnk));
        EXPECT_TRUE(spFactory.IsEqualObject(spUnk));
    }
}

TEST_F(ComModuleTest, FactoryRefusesAnOuterUnknown)
{
    CComPtr<IClassFactory> spFactory = Factory(CLSID_ModuleFirst);
    CComPtr<IVelmoraTestA> spOuter;
    ASSERT_EQ(S_OK, spFactory->CreateInstance(nullptr, __uuidof(IVelmoraTestA), reinterpret_cast<void**>(&spOuter)));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, spFactory->CreateInstance(spOuter, IID_IUnknown, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(1, m_module.GetLockCount()) << "only the first object lives";
    EXPECT_EQ(E_POINTER, spFactory->CreateInstance(nullptr, IID_IUnknown, nullptr));
}

TEST_F(ComModuleTest, CanUnloadOnlyWithoutLiveObjectsAndServerLocks)
{
    CComPtr<IClassFactory> spFactory = Factory(CLSID_ModuleFirst);
    EXPECT_EQ(S_OK, m_module.DllCanUnloadNow()) << "a class object alone does not lock";

    CComPtr<IVelmoraTestA> spA;
    ASSERT_EQ(S_OK, spFactory->CreateInstance(nullptr, __uuidof(IVelmoraTestA), reinterpret_cast<void**>(&spA)));
    EXPECT_EQ(S_FALSE, m_module.DllCanUnloadNow());
    spA.Release();
    EXPECT_EQ(S_OK, m_module.DllCanUnloadNow());

    EXPECT_EQ(S_OK, spFactory->LockServer(TRUE));
    EXPECT_EQ(S_OK, spFactory->LockServer(TRUE));
    EXPECT_EQ(2, m_module.GetLockCount());
    EXPECT_EQ(S_OK, spFactory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, m_module.DllCanUnloadNow());
    EXPECT_EQ(S_OK, spFactory->LockServer(FALSE));
    EXPECT_EQ(S_OK, m_module.DllCanUnloadNow());
}

TEST_F(ComModuleTest, RegistrationWalksTheMapAndStopsAtTheFirstFailure)
{
    EXPECT_EQ(S_OK, m_module.DllRegisterServer());
    EXPECT_EQ(S_OK, m_module.DllUnregisterServer());
    EXPECT_EQ((std::vector<int>{1, 2, -1, -2}), g_updates);

    g_updates.clear();
    g_hrFirstUpdate = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, m_module.DllRegisterServer());
    EXPECT_EQ((std::vector<int>{1}), g_updates);
    // Unregistering goes on past a failure and reports it.
    g_updates.clear();
    EXPECT_EQ(E_ACCESSDENIED, m_module.DllUnregisterServer());
    EXPECT_EQ((std::vector<int>{-1, -2}), g_updates);

    // No script resource of that number in this program.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND), m_module.UpdateRegistryFromResource(4711, TRUE));
}

} // namespace
