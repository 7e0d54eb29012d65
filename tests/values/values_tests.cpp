// Text forms of times, counts, FOURCCs and GUID names.
#include <initguid.h>
#include <windows.h>
#include <dshow.h>
#include <activscp.h>
#include <control.h>
#include <ddraw.h>
#include <dmodshow.h>
#include <dmusicc.h>
#include <docobj.h>
#include <dsound.h>
#include <exdisp.h>
#include <mshtml.h>
#include <htmlguid.h>
#include <objsafe.h>
#include <servprov.h>
#include <strmif.h>
#include <ks.h>
#include <ksmedia.h>
#include <ksproxy.h>
#include <wmcodecdsp.h>

#include <dshowx/DSFunctions.h>
#include <dshowx/DSParsers.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "HeaderGuids.h"

namespace
{
constexpr LONGLONG kMin = static_cast<LONGLONG>(0x8000000000000000ULL);
constexpr LONGLONG kMax = 0x7FFFFFFFFFFFFFFFLL;

std::wstring Rt(LONGLONG rt)
{
    WCHAR sz[32];
    return RefTime2Str(rt, sz);
}
std::wstring Ll(LONGLONG ll)
{
    WCHAR sz[32];
    return LongLong2Str(ll, sz);
}
std::wstring Name(const GUID& guid, int nMax = 128)
{
    WCHAR sz[128];
    return Guid2Name(guid, sz, nMax);
}
GUID Subtype(DWORD dwData1)
{
    GUID guid = MEDIASUBTYPE_PCM;
    guid.Data1 = dwData1;
    return guid;
}
} // namespace

TEST(RefTime2Str, FormsAroundZeroAndSeconds)
{
    EXPECT_EQ(L"1.234'5678", Rt(12345678));
    EXPECT_EQ(L"1.000", Rt(10000000));
    EXPECT_EQ(L"-1.234'5678", Rt(-12345678));
    EXPECT_EQ(L"-0.000'5000", Rt(-5000));
    EXPECT_EQ(L"0.000", Rt(0));
    EXPECT_EQ(L"-0.000'0001", Rt(-1));
    EXPECT_EQ(L"-0.500", Rt(-5000000));
    EXPECT_EQ(L"-2.000", Rt(-20000000));
}

TEST(RefTime2Str, LargeValuesAndLimits)
{
    EXPECT_EQ(L"1000000000.000", Rt(10000000000000000LL));
    EXPECT_EQ(L"1000000000.000'0001", Rt(10000000000000001LL));
    EXPECT_EQ(L"-1000000001.500", Rt(-10000000015000000LL));
    EXPECT_EQ(L"MINLONGLONG", Rt(kMin));
    EXPECT_EQ(L"MINLONGLONG + 1", Rt(kMin + 1));
    EXPECT_EQ(L"MINLONGLONG + 10000000", Rt(kMin + 10000000));
    EXPECT_EQ(L"-922337203684.477'5807", Rt(kMin + 10000001));
    EXPECT_EQ(L"MAXLONGLONG", Rt(kMax));
    EXPECT_EQ(L"MAXLONGLONG - 10000000", Rt(kMax - 10000000));
    EXPECT_EQ(L"922337203684.477'5806", Rt(kMax - 10000001));
}

TEST(LongLong2Str, Groups)
{
    EXPECT_EQ(L"1 234 567", Ll(1234567));
    EXPECT_EQ(L"0", Ll(0));
    EXPECT_EQ(L"-1 000", Ll(-1000));
    EXPECT_EQ(L"1 000", Ll(1000));
    EXPECT_EQ(L"999", Ll(999));
    EXPECT_EQ(L"1 000 000 000 000 000 000", Ll(1000000000000000000LL));
    EXPECT_EQ(L"-9 223 372 036 854 775 806", Ll(kMin + 2));
    EXPECT_EQ(L"9 223 372 036 854 775 806", Ll(kMax - 1));
    EXPECT_EQ(L"MINLONGLONG", Ll(kMin));
    EXPECT_EQ(L"MINLONGLONG + 1", Ll(kMin + 1));
    EXPECT_EQ(L"MAXLONGLONG", Ll(kMax));
}

TEST(Fourcc, StrNameAndBits)
{
    WCHAR sz[16];
    EXPECT_STREQ(L"YUY2", Fourcc2Str(0x32595559, sz));
    EXPECT_STREQ(L"", Fourcc2Str(0x7F595559, sz));
    EXPECT_STREQ(L"BI_BITFIELDS", Fourcc2Name(3, sz));
    EXPECT_STREQ(L"0x01020304", Fourcc2Name(0x01020304, sz));
    EXPECT_STREQ(L"ARGB32", Fourcc2Name(0x773C9AC0, sz));
    EXPECT_STREQ(L"BI_RGB", Fourcc2Name(0, sz));
    EXPECT_EQ(9u, Fcc2Bits(MAKEFOURCC('Y', 'V', 'U', '9')));
    EXPECT_EQ(12u, Fcc2Bits(MAKEFOURCC('N', 'V', '1', '2')));
    EXPECT_EQ(16u, Fcc2Bits(0xE436EB7C));
    EXPECT_EQ(20u, Fcc2Bits(MAKEFOURCC('v', '2', '1', '0')));
    EXPECT_EQ(24u, Fcc2Bits(0xE436EB7D));
    EXPECT_EQ(30u, Fcc2Bits(MAKEFOURCC('r', '2', '1', '0')));
    EXPECT_EQ(32u, Fcc2Bits(0x576F7893));
    EXPECT_EQ(48u, Fcc2Bits(MAKEFOURCC('B', 'R', '1', '6')));
    EXPECT_EQ(64u, Fcc2Bits(MAKEFOURCC('A', 'R', '1', '6')));
    EXPECT_EQ(8u, Fcc2Bits(0xE436EB7A));
    EXPECT_EQ(0u, Fcc2Bits(MAKEFOURCC('X', 'X', 'X', 'X')));
}

TEST(NullBuffers, RefusedWithoutWriting)
{
    EXPECT_EQ(nullptr, RefTime2Str(0, nullptr));
    EXPECT_EQ(nullptr, LongLong2Str(0, nullptr));
    EXPECT_EQ(nullptr, Fourcc2Str(0, nullptr));
    EXPECT_EQ(nullptr, Fourcc2Name(0, nullptr));
    EXPECT_EQ(nullptr, Guid2Str(GUID_NULL, nullptr));
    EXPECT_STREQ(L"", Guid2Name(GUID_NULL, nullptr, 10));
    WCHAR sz[4] = L"abc";
    EXPECT_STREQ(L"", Guid2Name(GUID_NULL, sz, 0));
    EXPECT_STREQ(L"abc", sz);
}

TEST(Guid2Name, FallbacksAndTruncation)
{
    EXPECT_EQ(L"MEDIASUBTYPE_PCM", Name(MEDIASUBTYPE_PCM));
    EXPECT_EQ(L"TAG_0x0161", Name(Subtype(0x0161)));
    EXPECT_EQ(L"IEEE_FLOAT (0x0003)", Name(Subtype(3)));
    EXPECT_EQ(L"MP3 (0x0055)", Name(Subtype(85)));
    EXPECT_EQ(L"FCC_ABCD", Name(Subtype(MAKEFOURCC('A', 'B', 'C', 'D'))));
    EXPECT_EQ(L"{01020304-0000-0010-8000-00AA00389B71}", Name(Subtype(0x01020304)));
    const GUID other = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(L"{12345678-9ABC-DEF0-0102-030405060708}", Name(other));
    EXPECT_EQ(L"{12345678", Name(other, 10));
    EXPECT_EQ(L"", Name(other, 1));
    EXPECT_EQ(L"Filter Graph", Name(CLSID_FilterGraph));
    WCHAR sz[40];
    EXPECT_STREQ(L"{12345678-9ABC-DEF0-0102-030405060708}", Guid2Str(other, sz));
}

TEST(GuidTables, StandardTableIsUniqueAndMatchesPlatformHeaders)
{
    WCHAR sz[128];
    Guid2Name(GUID_NULL, sz, 128); // sorts
    const CGuidNameNode* pNode = GetGuidNameNodes();
    ASSERT_NE(nullptr, pNode);
    std::set<std::string> guids;
    std::set<std::wstring> names;
    for (UINT i = 0; i < pNode->cElems; ++i)
    {
        guids.insert(std::string(reinterpret_cast<const char*>(pNode->pGuidName[i].pGuid), sizeof(GUID)));
        names.insert(pNode->pGuidName[i].pszName);
    }
    EXPECT_EQ(pNode->cElems, guids.size());
    EXPECT_EQ(pNode->cElems, names.size());
    ASSERT_NE(nullptr, pNode->pNext);
    EXPECT_EQ(nullptr, pNode->pNext->pNext);

    for (const HeaderGuid& h : g_HeaderGuids)
    {
        SCOPED_TRACE(testing::Message() << "row " << (&h - g_HeaderGuids));
        EXPECT_EQ(std::wstring(h.pszName), Name(*h.pGuid));
    }
}
