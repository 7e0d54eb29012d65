// Owning interface pointer and BSTR owner: every operation leaves the
// reference count (or the string) exactly as owned.
#include "TestInterfaces.h"

#include <winapi/ComObject.h>

#include <gtest/gtest.h>

namespace
{

class CCounted : public CComObjectRootMT, public CComCoClass<CCounted>, public IVelmoraTestA, public IVelmoraTestB
{
public:
    BEGIN_COM_MAP(CCounted)
    COM_INTERFACE_ENTRY(IVelmoraTestA)
    COM_INTERFACE_ENTRY(IVelmoraTestB)
    END_COM_MAP()
    STDMETHOD(GetA)(LONG* pn) override
    {
        *pn = m_dwRef;
        return S_OK;
    }
    STDMETHOD(GetB)(LONG* pn) override { return GetA(pn); }
};

LONG Refs(IVelmoraTestA* p)
{
    LONG n = 0;
    p->GetA(&n);
    return n;
}

IVelmoraTestA* NewCounted()
{
    IVelmoraTestA* p = nullptr;
    EXPECT_EQ(S_OK, CCounted::CreateInstance(&p));
    return p;
}

TEST(ComPtrTest, CopyMoveAssignAndScopeExitKeepTheCount)
{
    IVelmoraTestA* p = NewCounted();
    {
        CComPtr<IVelmoraTestA> sp1(p);
        EXPECT_EQ(2, Refs(p));
        CComPtr<IVelmoraTestA> sp2(sp1);
        EXPECT_EQ(3, Refs(p));
        CComPtr<IVelmoraTestA> sp3(std::move(sp2));
        EXPECT_EQ(nullptr, sp2.p);
        EXPECT_EQ(3, Refs(p));
        sp3 = sp1;
        EXPECT_EQ(3, Refs(p)) << "self-object assignment";
        sp3 = nullptr;
        EXPECT_EQ(2, Refs(p));
        sp2 = std::move(sp1);
        EXPECT_EQ(2, Refs(p));
        // Assigning the only holder's object to itself must not free it.
        sp2 = sp2.p;
        EXPECT_EQ(2, Refs(p));
    }
    EXPECT_EQ(1, Refs(p));
    EXPECT_EQ(0u, p->Release());
}

TEST(ComPtrTest, AttachDetachCopyToAndQueryInterface)
{
    CComPtr<IVelmoraTestA> sp;
    sp.Attach(NewCounted());
    EXPECT_EQ(1, Refs(sp));

    IVelmoraTestA* pOut = reinterpret_cast<IVelmoraTestA*>(1);
    EXPECT_EQ(S_OK, sp.CopyTo(&pOut));
    EXPECT_EQ(sp.p, pOut);
    EXPECT_EQ(2, Refs(sp));
    EXPECT_EQ(E_POINTER, sp.CopyTo(nullptr));

    CComPtr<IVelmoraTestB> spB;
    EXPECT_EQ(S_OK, sp.QueryInterface(&spB));
    EXPECT_EQ(3, Refs(sp));
    EXPECT_TRUE(sp.IsEqualObject(spB));
    CComPtr<IVelmoraTestA> spOther;
    spOther.Attach(NewCounted());
    EXPECT_FALSE(sp.IsEqualObject(spOther));
    EXPECT_FALSE(sp.IsEqualObject(nullptr));

    IVelmoraTestC* pC = reinterpret_cast<IVelmoraTestC*>(1);
    EXPECT_EQ(E_NOINTERFACE, sp.QueryInterface(&pC));
    EXPECT_EQ(nullptr, pC);

    // Attach releases what it held before.
    sp.Attach(pOut);
    EXPECT_EQ(2, Refs(sp));
    IVelmoraTestA* pDetached = sp.Detach();
    EXPECT_EQ(nullptr, sp.p);
    EXPECT_EQ(2, Refs(pDetached));
    EXPECT_EQ(1u, pDetached->Release());

    CComPtr<IVelmoraTestA> spEmpty;
    IVelmoraTestB* pB = reinterpret_cast<IVelmoraTestB*>(1);
    EXPECT_EQ(E_POINTER, spEmpty.QueryInterface(&pB));
    EXPECT_EQ(nullptr, pB);
    pOut = reinterpret_cast<IVelmoraTestA*>(1);
    EXPECT_EQ(S_OK, spEmpty.CopyTo(&pOut));
    EXPECT_EQ(nullptr, pOut);
}

TEST(ComBSTRTest, OwnsCopiesAndHandsOutItsString)
{
    CComBSTR bstr(L"Velmora");
    EXPECT_EQ(7u, bstr.Length());
    CComBSTR copy(bstr);
    EXPECT_NE(bstr.m_str, copy.m_str);
    EXPECT_STREQ(L"Velmora", copy.m_str);

    // Embedded zeros survive a copy: the length is the BSTR's, not wcslen.
    CComBSTR zeros;
    zeros.Attach(SysAllocStringLen(L"a\0b", 3));
    CComBSTR zerosCopy = zeros;
    EXPECT_EQ(3u, zerosCopy.Length());
    EXPECT_EQ(L'b', zerosCopy.m_str[2]);

    BSTR bstrOut = nullptr;
    EXPECT_EQ(S_OK, bstr.CopyTo(&bstrOut));
    EXPECT_STREQ(L"Velmora", bstrOut);
    EXPECT_NE(bstr.m_str, bstrOut);
    SysFreeString(bstrOut);
    EXPECT_EQ(E_POINTER, bstr.CopyTo(nullptr));

    bstr = L"Spy";
    EXPECT_STREQ(L"Spy", bstr.m_str);
    bstr = bstr.m_str;
    EXPECT_STREQ(L"Spy", bstr.m_str) << "self-assignment keeps the string";
    BSTR bstrDetached = bstr.Detach();
    EXPECT_TRUE(!bstr);
    SysFreeString(bstrDetached);

    CComBSTR empty;
    bstrOut = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(S_OK, empty.CopyTo(&bstrOut));
    EXPECT_EQ(nullptr, bstrOut);
    EXPECT_EQ(0u, empty.Length());
}

} // namespace
