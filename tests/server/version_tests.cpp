// The version wrapper: texts for one- and two-digit build days, the number
// from version resource 1 (0.0.0.0 without one), out-pointer rules and the
// trace line.
#include <gtest/gtest.h>

#include <velmora/VelmoraVersionWrap.h>

#include <VelmoraVersion.h>

#include <support/TraceCapture.h>

namespace
{

class CTestVersion : public IVelmoraVersionWrapper
{
public:
    STDMETHOD(QueryInterface)(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    LPCWSTR VersionOwnerTag() override { return L"[Test 1]"; }

    // One text getter's answer, "<hr>" on failure.
    std::wstring Text(HRESULT (STDMETHODCALLTYPE IVelmoraVersion::*pfn)(BSTR*))
    {
        BSTR bs = nullptr;
        const HRESULT hr = (this->*pfn)(&bs);
        std::wstring s = SUCCEEDED(hr) ? bs : L"<" + std::to_wstring(hr) + L">";
        SysFreeString(bs);
        return s;
    }
};

const bool DEBUG_BUILD =
#ifdef NDEBUG
    false;
#else
    true;
#endif
const std::wstring BITS = sizeof(void*) == 8 ? L"64" : L"32";
const std::wstring ABOUT_SUFFIX = (DEBUG_BUILD ? L" [Debug] " : L" ") + BITS + L" bit";
const std::wstring VERSION(VELMORA_VER_TEXT, VELMORA_VER_TEXT + sizeof(VELMORA_VER_TEXT) - 1);

// The test program has no version resource of its own.
const HMODULE s_hExe = GetModuleHandleW(nullptr);

} // namespace

TEST(Version, TextsForOneAndTwoDigitDays)
{
    CTestVersion ver;
    ver.Init("Jun  3 2025", "17:49:29", nullptr, s_hExe);
    EXPECT_EQ(L"03-Jun-2025 17:49:29", ver.Text(&IVelmoraVersion::VerCreated));
    EXPECT_EQ(L"Velmora Spy Filter", ver.Text(&IVelmoraVersion::VerName));
    EXPECT_EQ(L"0.0.0.0", ver.Text(&IVelmoraVersion::VerNumber));
    ver.Init("Dec 23 2026", "01:02:03", L"Other", s_hExe);
    EXPECT_EQ(L"23-Dec-2026 01:02:03", ver.Text(&IVelmoraVersion::VerCreated));
    EXPECT_EQ(L"Other", ver.Text(&IVelmoraVersion::VerName));

    // The About page drops the leading zero.
    WCHAR sz[128];
    VelmoraAboutVersionText(s_hExe, "Jun  3 2025", "17:49:29", sz, ARRAYSIZE(sz));
    EXPECT_EQ(L"0.0.0.0 (3-Jun-2025 17:49:29)" + ABOUT_SUFFIX, sz);
    HMODULE hDll = LoadLibraryW(L"VelmoraSpy.dll");
    ASSERT_NE(nullptr, hDll);
    VelmoraAboutVersionText(hDll, "Jun 13 2025", "17:49:29", sz, ARRAYSIZE(sz));
    EXPECT_EQ(VERSION + L" (13-Jun-2025 17:49:29)" + ABOUT_SUFFIX, sz);
    ver.Init(__DATE__, __TIME__, nullptr, hDll);
    EXPECT_EQ(VERSION, ver.Text(&IVelmoraVersion::VerNumber));
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
    EXPECT_STREQ(L"Velmora Spy Filter", bs);
    EXPECT_STREQ(L"stale", bsStale);
    SysFreeString(bs);
    SysFreeString(bsStale);

    Velmora_Ver_Type eType = static_cast<Velmora_Ver_Type>(7);
    Velmora_Ver_OS eOS = static_cast<Velmora_Ver_OS>(7);
    EXPECT_EQ(S_OK, ver.VerType(&eType));
    EXPECT_EQ(S_OK, ver.VerOS(&eOS));
    EXPECT_EQ(DEBUG_BUILD ? eVelmora_Ver_Debug : eVelmora_Ver_Release, eType);
    EXPECT_EQ(sizeof(void*) == 8 ? eVelmora_Ver_x64 : eVelmora_Ver_win32, eOS);
}

TEST(Version, TraceLineOnlyWithAllTexts)
{
    CTraceCapture trace;
    CTestVersion ver;
    ver.Init("Jun  3 2025", "17:49:29", nullptr, s_hExe);
    ver.TraceVersion(L"[Spy 7]");
    ver.TraceVersion(nullptr);
    const std::wstring strLine =
        L"Velmora Spy Filter [" + std::wstring(DEBUG_BUILD ? L"D" : L"R") + BITS + L" v.0.0.0.0 03-Jun-2025 17:49:29]";
    EXPECT_EQ(L"[Spy 7] Version: " + strLine + L"\nVersion: " + strLine + L"\n", trace.Text());

    // A date that cannot be taken apart leaves the date text empty: no line.
    trace.Clear();
    ver.Init("Jun", "17:49:29", nullptr, s_hExe);
    ver.TraceVersion(L"[Spy 7]");
    EXPECT_EQ(L"<" + std::to_wstring(E_UNEXPECTED) + L">", ver.Text(&IVelmoraVersion::VerCreated));
    EXPECT_TRUE(NotTraced(trace, L"Version:"));
    EXPECT_TRUE(Traced(trace, L"ASSERT( \"m_cbsDateTime != NULL\" )"));
}
