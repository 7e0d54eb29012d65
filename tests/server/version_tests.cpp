// The version wrapper: texts for one- and two-digit build days, the number
// from version resource 1 (0.0.0.0 without one), out-pointer rules and the
// trace line.
#include <gtest/gtest.h>

#include <velmora/VelmoraVersionWrap.h>

#include <VelmoraVersion.h>

#include <support/TraceCapture.h>

#include <string>

namespace
{

class CTestVersion : public IVelmoraVersionWrapper
{
public:
    STDMETHOD(QueryInterface)(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    LPCWSTR VersionOwnerTag() override { return L"[Test 1]"; }
};

std::wstring Take(BSTR bs)
{
    std::wstring s = bs != nullptr ? bs : L"<null>";
    SysFreeString(bs);
    return s;
}

#ifdef NDEBUG
const wchar_t* const KIND = L"R";
const wchar_t* const ABOUT_KIND = L"";
#else
const wchar_t* const KIND = L"D";
const wchar_t* const ABOUT_KIND = L" [Debug]";
#endif
const wchar_t* const BITS = sizeof(void*) == 8 ? L"64" : L"32";

// The test program has no version resource of its own.
const HMODULE s_hExe = GetModuleHandleW(nullptr);

} // namespace

TEST(Version, OneAndTwoDigitDaysInBothTexts)
{
    CTestVersion ver;
    ver.Init("Jun  3 2025", "17:49:29", nullptr, s_hExe);
    BSTR bs = nullptr;
    ASSERT_EQ(S_OK, ver.VerCreated(&bs));
    EXPECT_EQ(L"03-Jun-2025 17:49:29", Take(bs));
    bs = nullptr;
    ASSERT_EQ(S_OK, ver.VerName(&bs));
    EXPECT_EQ(L"Velmora Spy Filter", Take(bs));
    bs = nullptr;
    ASSERT_EQ(S_OK, ver.VerNumber(&bs));
    EXPECT_EQ(L"0.0.0.0", Take(bs));

    ver.Init("Dec 23 2026", "01:02:03", L"Other", s_hExe);
    bs = nullptr;
    ASSERT_EQ(S_OK, ver.VerCreated(&bs));
    EXPECT_EQ(L"23-Dec-2026 01:02:03", Take(bs));
    bs = nullptr;
    ASSERT_EQ(S_OK, ver.VerName(&bs));
    EXPECT_EQ(L"Other", Take(bs));

    WCHAR sz[128];
    VelmoraAboutVersionText(s_hExe, "Jun  3 2025", "17:49:29", sz, ARRAYSIZE(sz));
    EXPECT_EQ(std::wstring(L"0.0.0.0 (3-Jun-2025 17:49:29)") + ABOUT_KIND + L" " + BITS + L" bit", sz);
    VelmoraAboutVersionText(s_hExe, "Jun 13 2025", "17:49:29", sz, ARRAYSIZE(sz));
    EXPECT_EQ(std::wstring(L"0.0.0.0 (13-Jun-2025 17:49:29)") + ABOUT_KIND + L" " + BITS + L" bit", sz);
}

TEST(Version, NumberComesFromTheProductDll)
{
    HMODULE hDll = LoadLibraryW(L"VelmoraSpy.dll");
    ASSERT_NE(nullptr, hDll);
    CTestVersion ver;
    ver.Init(__DATE__, __TIME__, nullptr, hDll);
    BSTR bs = nullptr;
    ASSERT_EQ(S_OK, ver.VerNumber(&bs));
    std::string strExpected = VELMORA_VER_TEXT;
    EXPECT_EQ(std::wstring(strExpected.begin(), strExpected.end()), Take(bs));
    WCHAR sz[128];
    VelmoraAboutVersionText(hDll, "Jun  3 2025", "17:49:29", sz, ARRAYSIZE(sz));
    EXPECT_EQ(0, wcsncmp(sz, std::wstring(strExpected.begin(), strExpected.end()).c_str(), strExpected.size()));
    FreeLibrary(hDll);
}

TEST(Version, OutPointersAndBuildKind)
{
    CTestVersion ver;
    ver.Init("Jun  3 2025", "17:49:29", nullptr, s_hExe);
    EXPECT_EQ(E_POINTER, ver.VerType(nullptr));
    EXPECT_EQ(E_POINTER, ver.VerOS(nullptr));
    EXPECT_EQ(E_POINTER, ver.VerName(nullptr));
    EXPECT_EQ(E_POINTER, ver.VerNumber(nullptr));
    EXPECT_EQ(E_POINTER, ver.VerCreated(nullptr));

    // A string left in the out-pointer is reported and replaced, not freed.
    BSTR bsStale = SysAllocString(L"stale");
    BSTR bs = bsStale;
    EXPECT_EQ(S_OK, ver.VerName(&bs));
    EXPECT_NE(bsStale, bs);
    EXPECT_EQ(L"Velmora Spy Filter", Take(bs));
    EXPECT_STREQ(L"stale", bsStale);
    SysFreeString(bsStale);

    Velmora_Ver_Type eType = static_cast<Velmora_Ver_Type>(7);
    Velmora_Ver_OS eOS = static_cast<Velmora_Ver_OS>(7);
    EXPECT_EQ(S_OK, ver.VerType(&eType));
    EXPECT_EQ(S_OK, ver.VerOS(&eOS));
    EXPECT_EQ(KIND[0] == L'D' ? eVelmora_Ver_Debug : eVelmora_Ver_Release, eType);
    EXPECT_EQ(sizeof(void*) == 8 ? eVelmora_Ver_x64 : eVelmora_Ver_win32, eOS);
}

TEST(Version, TraceLineOnlyWithAllTexts)
{
    CTraceCapture trace;
    CTestVersion ver;
    ver.Init("Jun  3 2025", "17:49:29", nullptr, s_hExe);
    ver.TraceVersion(L"[Spy 7]");
    ver.TraceVersion(nullptr);
    const std::wstring strLine = std::wstring(L"Velmora Spy Filter [") + KIND + BITS + L" v.0.0.0.0 03-Jun-2025 17:49:29]";
    EXPECT_EQ(L"[Spy 7] Version: " + strLine + L"\nVersion: " + strLine + L"\n", trace.Text());

    // A date that cannot be taken apart leaves the date text empty: no line.
    trace.Clear();
    ver.Init("Jun", "17:49:29", nullptr, s_hExe);
    ver.TraceVersion(L"[Spy 7]");
    BSTR bs = nullptr;
    EXPECT_EQ(E_UNEXPECTED, ver.VerCreated(&bs));
    EXPECT_EQ(nullptr, bs);
    EXPECT_EQ(std::wstring::npos, trace.Text().find(L"Version:"));
    EXPECT_NE(std::wstring::npos, trace.Text().find(L"ASSERT( \"m_cbsDateTime != NULL\" )"));
}
