// Object root, wrappers, creators and interface maps: reference counts, the
// order of the construction steps, the COM identity rules over every entry
// kind, tear-off lifetime and the free-threaded marshaler.
#include "TestInterfaces.h"

#include <winapi/ComObject.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <support/ComTest.h>

namespace
{

std::vector<std::string> g_events;
HRESULT g_hrFinalConstruct = S_OK;

class CTestObject;

class CTestTearOff : public CComTearOffObjectBase<CTestObject>, public IVelmoraTestD, public IVelmoraTestE
{
public:
    BEGIN_COM_MAP(CTestTearOff)
    COM_INTERFACE_ENTRY(IVelmoraTestD)
    COM_INTERFACE_ENTRY(IVelmoraTestE)
    END_COM_MAP()

    HRESULT FinalConstruct()
    {
        g_events.push_back("TearOff FinalConstruct");
        return S_OK;
    }
    void FinalRelease() { g_events.push_back("TearOff FinalRelease"); }

    STDMETHOD(GetD)(LONG* pn) override
    {
        *pn = 4;
        return S_OK;
    }
    STDMETHOD(GetE)(LONG* pn) override
    {
        *pn = 5;
        return S_OK;
    }
};

class CTestObject : public CComObjectRootMT,
                    public CComCoClass<CTestObject>,
                    public IVelmoraTestA,
                    public IVelmoraTestB,
                    public IVelmoraTestC
{
public:
    BEGIN_COM_MAP(CTestObject)
    COM_INTERFACE_ENTRY(IVelmoraTestA)
    COM_INTERFACE_ENTRY(IVelmoraTestB)
    COM_INTERFACE_ENTRY_FUNC(__uuidof(IVelmoraTestC), QueryC)
    COM_INTERFACE_ENTRY_FUNC(__uuidof(IVelmoraTestF), QueryF)
    COM_INTERFACE_ENTRY_TEAR_OFF(__uuidof(IVelmoraTestD), CTestTearOff)
    COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_spFTM)
    COM_INTERFACE_ENTRY_FUNC_BLIND(QueryAny)
    END_COM_MAP()

    ~CTestObject() { g_events.push_back("~CTestObject"); }

    HRESULT FinalConstruct()
    {
        g_events.push_back("FinalConstruct");
        if (FAILED(g_hrFinalConstruct))
            return g_hrFinalConstruct;
        return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), &m_spFTM);
    }
    void FinalRelease()
    {
        g_events.push_back("FinalRelease");
        m_spFTM.Release();
    }

    STDMETHOD(GetA)(LONG* pn) override
    {
        *pn = 1;
        return S_OK;
    }
    STDMETHOD(GetB)(LONG* pn) override
    {
        *pn = 2;
        return S_OK;
    }
    STDMETHOD(GetC)(LONG* pn) override
    {
        *pn = 3;
        return S_OK;
    }

    bool m_bOfferC = true;
    int m_nBlindCalls = 0;

private:
    HRESULT QueryC(REFIID, void** ppv)
    {
        if (!m_bOfferC)
            return S_FALSE;
        IVelmoraTestC* pC = this;
        pC->AddRef();
        *ppv = pC;
        return S_OK;
    }
    HRESULT QueryF(REFIID, void**) { return E_ACCESSDENIED; }
    HRESULT QueryAny(REFIID, void**)
    {
        ++m_nBlindCalls;
        return E_NOINTERFACE;
    }

    CComPtr<IUnknown> m_spFTM;
};

// Traces when only one reference is left, as the allocator does for its
// self-reference.
class CHookedObject : public CComObjectRootMT, public CComCoClass<CHookedObject>, public IVelmoraTestA
{
public:
    BEGIN_COM_MAP(CHookedObject)
    COM_INTERFACE_ENTRY(IVelmoraTestA)
    END_COM_MAP()

    ULONG InternalRelease()
    {
        const ULONG nRef = CComObjectRootMT::InternalRelease();
        if (nRef == 1)
            g_events.push_back("one reference left");
        return nRef;
    }
    STDMETHOD(GetA)(LONG* pn) override
    {
        *pn = 1;
        return S_OK;
    }
};

ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

class ComObjectTest : public CComTest
{
protected:
    void SetUp() override
    {
        g_events.clear();
        g_hrFinalConstruct = S_OK;
        m_nLockBefore = CComModuleLock::Count();
    }
    void TearDown() override { EXPECT_EQ(m_nLockBefore, CComModuleLock::Count()) << "an object is still alive"; }
    // A new object through the coclass creator; the caller holds the only
    // reference.
    static CComPtr<IVelmoraTestA> NewObject()
    {
        CComPtr<IVelmoraTestA> sp;
        EXPECT_EQ(S_OK, CTestObject::CreateInstance(&sp));
        return sp;
    }
    static CTestObject* Impl(IVelmoraTestA* pA) { return static_cast<CTestObject*>(pA); }

    LONG m_nLockBefore = 0;
};

TEST_F(ComObjectTest, LifetimeRunsTheStepsInOrderAndHoldsTheModule)
{
    CComObject<CTestObject>* p = nullptr;
    ASSERT_EQ(S_OK, CComObject<CTestObject>::CreateInstance(&p));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(m_nLockBefore + 1, CComModuleLock::Count());
    // FinalConstruct ran under a temporary reference that is gone again.
    EXPECT_EQ(1u, p->AddRef());
    EXPECT_EQ(2u, p->AddRef());
    EXPECT_EQ(1u, p->Release());
    EXPECT_EQ((std::vector<std::string>{"FinalConstruct"}), g_events);
    EXPECT_EQ(0u, p->Release());
    EXPECT_EQ((std::vector<std::string>{"FinalConstruct", "FinalRelease", "~CTestObject"}), g_events);
}

TEST_F(ComObjectTest, FailedFinalConstructDestroysTheObjectAndReturnsItsCode)
{
    g_hrFinalConstruct = E_OUTOFMEMORY;
    CComObject<CTestObject>* p = reinterpret_cast<CComObject<CTestObject>*>(1);
    EXPECT_EQ(E_OUTOFMEMORY, CComObject<CTestObject>::CreateInstance(&p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ((std::vector<std::string>{"FinalConstruct", "FinalRelease", "~CTestObject"}), g_events);

    CComPtr<IVelmoraTestA> sp;
    EXPECT_EQ(E_OUTOFMEMORY, CTestObject::CreateInstance(&sp));
    EXPECT_EQ(nullptr, sp.p);
}

TEST_F(ComObjectTest, CreatorGivesTheOnlyReferenceAndRefusesAggregation)
{
    IVelmoraTestB* pB = nullptr;
    ASSERT_EQ(S_OK, CTestObject::CreateInstance(nullptr, __uuidof(IVelmoraTestB), reinterpret_cast<void**>(&pB)));
    LONG n = 0;
    EXPECT_EQ(S_OK, pB->GetB(&n));
    EXPECT_EQ(2, n);
    EXPECT_EQ(0u, pB->Release());
    EXPECT_EQ("~CTestObject", g_events.back());

    g_events.clear();
    CComPtr<IVelmoraTestA> spOuter = NewObject();
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CTestObject::CreateInstance(spOuter, IID_IUnknown, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ((std::vector<std::string>{"FinalConstruct"}), g_events) << "no second object was made";

    // An interface the object lacks: the new object is destroyed again.
    g_events.clear();
    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CTestObject::CreateInstance(nullptr, __uuidof(IVelmoraTestNone), &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ("~CTestObject", g_events.back());
    EXPECT_EQ(E_POINTER, CTestObject::CreateInstance(nullptr, IID_IUnknown, nullptr));
    // Created only from code: bound to no registered class.
    EXPECT_TRUE(IsEqualCLSID(GUID_NULL, CTestObject::GetObjectCLSID()));
}

TEST_F(ComObjectTest, IdentityRulesHoldOverEveryEntryKind)
{
    CComPtr<IVelmoraTestA> spA = NewObject();
    CComPtr<IUnknown> spIdentity;
    ASSERT_EQ(S_OK, spA.QueryInterface(&spIdentity));
    EXPECT_EQ(static_cast<IUnknown*>(spA.p), spIdentity.p) << "the first entry is the identity";

    const IID* const apiid[] = {&IID_IUnknown, &__uuidof(IVelmoraTestA), &__uuidof(IVelmoraTestB),
                                &__uuidof(IVelmoraTestC), &__uuidof(IVelmoraTestD), &IID_IMarshal};
    for (const IID* piidFrom : apiid)
    {
        CComPtr<IUnknown> spFrom;
        ASSERT_EQ(S_OK, spA->QueryInterface(*piidFrom, reinterpret_cast<void**>(&spFrom)));
        // One identity from every interface.
        CComPtr<IUnknown> spUnk;
        ASSERT_EQ(S_OK, spFrom.QueryInterface(&spUnk));
        EXPECT_EQ(spIdentity.p, spUnk.p);
        for (const IID* piidTo : apiid)
        {
            // Symmetric and transitive: every interface reaches every other,
            // and reaches back (reflexive when From == To).
            CComPtr<IUnknown> spTo;
            ASSERT_EQ(S_OK, spFrom->QueryInterface(*piidTo, reinterpret_cast<void**>(&spTo)));
            CComPtr<IUnknown> spBack;
            EXPECT_EQ(S_OK, spTo->QueryInterface(*piidFrom, reinterpret_cast<void**>(&spBack)));
        }
        EXPECT_EQ(E_POINTER, spFrom->QueryInterface(IID_IUnknown, nullptr));
    }
    EXPECT_EQ(2u, RefCount(spA)) << "every query's reference was released";
}

TEST_F(ComObjectTest, EntriesAnswerInOrderAndTheCatchAllHasTheLastWord)
{
    CComPtr<IVelmoraTestA> spA = NewObject();
    CTestObject* pImpl = Impl(spA);

    CComPtr<IVelmoraTestB> spB;
    ASSERT_EQ(S_OK, spA.QueryInterface(&spB));
    LONG n = 0;
    spB->GetB(&n);
    EXPECT_EQ(2, n) << "the plain entry hands out its own interface";

    CComPtr<IVelmoraTestC> spC;
    ASSERT_EQ(S_OK, spA.QueryInterface(&spC));
    spC->GetC(&n);
    EXPECT_EQ(3, n);
    EXPECT_EQ(0, pImpl->m_nBlindCalls);

    // The condition passes on: the search goes on to the catch-all.
    pImpl->m_bOfferC = false;
    IVelmoraTestC* pC = reinterpret_cast<IVelmoraTestC*>(1);
    EXPECT_EQ(E_NOINTERFACE, spA->QueryInterface(__uuidof(IVelmoraTestC), reinterpret_cast<void**>(&pC)));
    EXPECT_EQ(nullptr, pC);
    EXPECT_EQ(1, pImpl->m_nBlindCalls);

    // A failing condition stops the search with its own code.
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_ACCESSDENIED, spA->QueryInterface(__uuidof(IVelmoraTestF), &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(1, pImpl->m_nBlindCalls);

    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, spA->QueryInterface(__uuidof(IVelmoraTestNone), &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(2, pImpl->m_nBlindCalls);
}

TEST_F(ComObjectTest, TearOffIsNewPerRequestAndKeepsItsOwnerAlive)
{
    CComPtr<IVelmoraTestA> spA = NewObject();
    CComPtr<IVelmoraTestD> spD1, spD2;
    ASSERT_EQ(S_OK, spA.QueryInterface(&spD1));
    ASSERT_EQ(S_OK, spA.QueryInterface(&spD2));
    EXPECT_NE(spD1.p, spD2.p) << "a new tear-off per request";
    LONG n = 0;
    spD1->GetD(&n);
    EXPECT_EQ(4, n);
    EXPECT_EQ(1u, RefCount(spD1));
    EXPECT_EQ(3u, RefCount(spA)) << "each tear-off holds its owner";

    // Every later query goes to the owner: D again is another tear-off, and
    // E, which only the tear-off's map lists, is not handed out.
    CComPtr<IVelmoraTestD> spD3;
    ASSERT_EQ(S_OK, spD1.QueryInterface(&spD3));
    EXPECT_NE(spD1.p, spD3.p);
    CComPtr<IVelmoraTestE> spE;
    EXPECT_EQ(E_NOINTERFACE, spD1.QueryInterface(&spE));
    CComPtr<IVelmoraTestA> spA2;
    ASSERT_EQ(S_OK, spD1.QueryInterface(&spA2));
    EXPECT_EQ(spA.p, spA2.p);
    spA2.Release();
    spD2.Release();
    spD3.Release();

    // The owner outlives its last tear-off.
    spA.Release();
    EXPECT_EQ("TearOff FinalRelease", g_events.back()) << "the owner is still alive";
    g_events.clear();
    spD1.Release();
    EXPECT_EQ((std::vector<std::string>{"TearOff FinalRelease", "FinalRelease", "~CTestObject"}), g_events);
}

TEST_F(ComObjectTest, MarshalerIsTheFreeThreadedOneAggregatedUnderTheObject)
{
    CComPtr<IVelmoraTestA> spA = NewObject();
    CComPtr<IMarshal> spMarshal;
    ASSERT_EQ(S_OK, spA.QueryInterface(&spMarshal));
    CLSID clsid = GUID_NULL;
    ASSERT_EQ(S_OK, spMarshal->GetUnmarshalClass(__uuidof(IVelmoraTestA), spA, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL,
                                                 &clsid));
    // The platform's in-process free marshaler class, defined here: the import
    // library's value differs.
    const CLSID clsidFreeMarshaler = {0x0000033a, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
    EXPECT_TRUE(IsEqualCLSID(clsidFreeMarshaler, clsid)) << std::hex << clsid.Data1;
    // References on the marshaler count on the object.
    EXPECT_EQ(2u, RefCount(spA));
    spMarshal.Release();

    // Marshalled to another apartment, the same pointer comes back.
    IStream* pStream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(__uuidof(IVelmoraTestA), spA, &pStream));
    CComPtr<IVelmoraTestA> spUnmarshalled;
    ASSERT_EQ(S_OK, CoGetInterfaceAndReleaseStream(pStream, __uuidof(IVelmoraTestA),
                                                   reinterpret_cast<void**>(&spUnmarshalled)));
    EXPECT_EQ(spA.p, spUnmarshalled.p);
}

TEST_F(ComObjectTest, ReleaseHookSeesTheCountFallToOne)
{
    CComPtr<IVelmoraTestA> sp;
    ASSERT_EQ(S_OK, CHookedObject::CreateInstance(&sp));
    // The creation dropped its own reference down to the caller's.
    EXPECT_EQ((std::vector<std::string>{"one reference left"}), g_events);
    g_events.clear();
    sp.p->AddRef();
    sp.p->AddRef();
    sp.p->Release();
    EXPECT_TRUE(g_events.empty());
    sp.p->Release();
    EXPECT_EQ((std::vector<std::string>{"one reference left"}), g_events);
}

DWORD WINAPI TryLockFromOtherThread(void* pv)
{
    CRITICAL_SECTION* pcs = static_cast<CRITICAL_SECTION*>(pv);
    if (!TryEnterCriticalSection(pcs))
        return 0;
    LeaveCriticalSection(pcs);
    return 1;
}

bool OtherThreadCanLock(CComObjectRootMT* pRoot)
{
    HANDLE hThread = CreateThread(nullptr, 0, TryLockFromOtherThread, pRoot->GetCritSec(), 0, nullptr);
    WaitForSingleObject(hThread, 10000);
    DWORD dwResult = 2;
    GetExitCodeThread(hThread, &dwResult);
    CloseHandle(hThread);
    return dwResult == 1;
}

TEST_F(ComObjectTest, ObjectLockIsRecursiveAndExcludesOtherThreads)
{
    CComPtr<IVelmoraTestA> spA = NewObject();
    CTestObject* pImpl = Impl(spA);
    {
        CComObjectRootMT::ObjectLock lock(pImpl);
        {
            CComObjectRootMT::ObjectLock again(pImpl);
            EXPECT_FALSE(OtherThreadCanLock(pImpl));
        }
        EXPECT_FALSE(OtherThreadCanLock(pImpl)) << "the outer lock is still held";
    }
    EXPECT_TRUE(OtherThreadCanLock(pImpl));
}

} // namespace
