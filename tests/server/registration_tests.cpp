// regsvr32 of the real DLL in the prefix: the scripts' keys, the type
// library, the filter mapper's entries under both categories, the maker's
// category, repeated and partial registrations; creation through the
// registry; the merit keeps the filter out of intelligent connection.
#include <gtest/gtest.h>

#include <dshow.h>

#include <velmora/VelmoraRegister.h>

#include <support/ComTest.h>
#include <support/GraphRun.h>
#include <support/WaveFile.h>

#include "ServerSupport.h"

namespace
{

const std::wstring FILTER = GuidText(CLSID_SpyFilter);
const std::wstring PAGE = GuidText(CLSID_SpyFilterPP);
const std::wstring ABOUT = GuidText(CLSID_AboutSpyFilter);
const std::wstring LIBID = GuidText(LIBID_SPYFILTERLib);
const std::wstring MAKER = GuidText(CLSID_VelmoraFiltersCategory);
const std::wstring CATEGORIES = L"CLSID\\{DA4E3DA0-D07D-11D0-BD50-00A0C911CE86}\\Instance\\";

// {5E0C2A11-8D3B-4C7F-A2E9-6B1D0F4C8A35}: a filter of someone else in the maker's category.
constexpr CLSID CLSID_OtherFilter = {0x5E0C2A11, 0x8D3B, 0x4C7F, {0xA2, 0xE9, 0x6B, 0x1D, 0x0F, 0x4C, 0x8A, 0x35}};

DWORD At(const std::vector<BYTE>& bytes, size_t n)
{
    DWORD dw = 0;
    if (n + 4 <= bytes.size())
        memcpy(&dw, &bytes[n], 4);
    return dw;
}

// FilterData: merit, pin count and each pin's flags (output 8).
void ExpectFilterData(const std::vector<BYTE>& data)
{
    EXPECT_EQ(0x200000u, At(data, 4));
    ASSERT_EQ(2u, At(data, 8));
    size_t nPin = 16;
    for (DWORD dwFlags : {0u, 8u})
    {
        EXPECT_EQ(dwFlags, At(data, nPin + 4));
        EXPECT_EQ(1u, At(data, nPin + 12)); // one media type
        nPin += 24 + 16 * At(data, nPin + 12) + 4 * At(data, nPin + 16);
    }
}

void ExpectMappedOnce(REFCLSID clsidCategory)
{
    const std::vector<MAPPED_FILTER> found = FiltersInCategory(clsidCategory, CLSID_SpyFilter);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(L"Velmora Spy Filter", found[0].strName);
    ExpectFilterData(found[0].filterData);
}

void ExpectClassKeys(const std::wstring& strClsid, const std::wstring& strProgId, LPCWSTR pszName, LPCWSTR pszModel)
{
    SCOPED_TRACE(strProgId);
    const std::wstring strKey = L"CLSID\\" + strClsid;
    EXPECT_EQ(pszName, RegText(strProgId + L".1"));
    EXPECT_EQ(strClsid, RegText(strProgId + L".1\\CLSID"));
    EXPECT_EQ(pszName, RegText(strProgId));
    EXPECT_EQ(strClsid, RegText(strProgId + L"\\CLSID"));
    EXPECT_EQ(strProgId + L".1", RegText(strProgId + L"\\CurVer"));
    EXPECT_EQ(pszName, RegText(strKey));
    EXPECT_EQ(strProgId + L".1", RegText(strKey + L"\\ProgID"));
    EXPECT_EQ(strProgId, RegText(strKey + L"\\VersionIndependentProgID"));
    EXPECT_EQ(0, _wcsicmp(BesideExe(L"VelmoraSpy.dll").c_str(), RegText(strKey + L"\\InprocServer32").c_str()));
    EXPECT_EQ(pszModel, RegText(strKey + L"\\InprocServer32", L"ThreadingModel"));
}

class Registration : public CComTest
{
protected:
    void TearDown() override { RunRegsvr32(m_strDll, true); }
    const std::wstring m_strDll = BesideExe(L"VelmoraSpy.dll");
};

} // namespace

TEST_F(Registration, WritesEveryKeyAndRemovesThemAgain)
{
    ASSERT_EQ(0u, RunRegsvr32(m_strDll, false));
    ExpectClassKeys(FILTER, L"Brevane.Filter", L"Velmora Spy Filter", L"Both");
    EXPECT_EQ(LIBID, RegText(L"CLSID\\" + FILTER + L"\\TypeLib"));
    ExpectClassKeys(PAGE, L"Brevane.PropPage", L"Velmora Spy Property Page", L"Both");
    EXPECT_FALSE(RegKeyExists(L"CLSID\\" + PAGE + L"\\TypeLib"));
    ExpectClassKeys(ABOUT, L"Brevane.About", L"Velmora Spy About", L"Apartment");
    EXPECT_TRUE(RegKeyExists(L"CLSID\\" + ABOUT + L"\\Programmable"));

    EXPECT_EQ(L"Velmora Spy Filter 1.0 Type Library", RegText(L"TypeLib\\" + LIBID + L"\\1.0"));
    EXPECT_TRUE(RegKeyExists(L"Interface\\" + GuidText(IID_IVelmoraSpyFilter)));
    EXPECT_EQ(L"Velmora Filters", RegText(CATEGORIES + MAKER, L"FriendlyName"));
    ExpectMappedOnce(CLSID_LegacyAmFilterCategory);
    ExpectMappedOnce(CLSID_VelmoraFiltersCategory);

    // A second run replaces the first: still one entry per category, and the
    // existing category is left as it is (a changed name survives).
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, (CATEGORIES + MAKER).c_str(), 0, KEY_SET_VALUE, &hKey));
    RegSetValueExW(hKey, L"FriendlyName", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Mine"), 5 * sizeof(WCHAR));
    RegCloseKey(hKey);
    ASSERT_EQ(0u, RunRegsvr32(m_strDll, false));
    EXPECT_EQ(L"Mine", RegText(CATEGORIES + MAKER, L"FriendlyName"));
    ExpectMappedOnce(CLSID_LegacyAmFilterCategory);
    ExpectMappedOnce(CLSID_VelmoraFiltersCategory);

    ASSERT_EQ(0u, RunRegsvr32(m_strDll, true));
    for (const std::wstring& strKey : std::vector<std::wstring>{L"Brevane.Filter", L"Brevane.Filter.1", L"Brevane.PropPage", L"Brevane.About.1",
                                      L"CLSID\\" + FILTER, L"CLSID\\" + PAGE, L"CLSID\\" + ABOUT, L"TypeLib\\" + LIBID,
                                      CATEGORIES + MAKER, L"CLSID\\" + MAKER})
        EXPECT_FALSE(RegKeyExists(strKey)) << strKey;
    EXPECT_TRUE(FiltersInCategory(CLSID_LegacyAmFilterCategory, CLSID_SpyFilter).empty());
    // Unregistering again finds nothing to remove and still succeeds.
    EXPECT_EQ(0u, RunRegsvr32(m_strDll, true));
}

TEST_F(Registration, MakersCategoryStaysWhileAnotherFilterUsesIt)
{
    ASSERT_EQ(0u, RunRegsvr32(m_strDll, false));
    CComPtr<IFilterMapper2> spMapper;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                     reinterpret_cast<void**>(&spMapper)));
    REGFILTER2 rf2 = {};
    rf2.dwVersion = 1;
    rf2.dwMerit = MERIT_DO_NOT_USE;
    ASSERT_EQ(S_OK, spMapper->RegisterFilter(CLSID_OtherFilter, L"Other", nullptr, &CLSID_VelmoraFiltersCategory, nullptr, &rf2));

    ASSERT_EQ(0u, RunRegsvr32(m_strDll, true));
    EXPECT_EQ(L"Velmora Filters", RegText(CATEGORIES + MAKER, L"FriendlyName"));
    EXPECT_TRUE(FiltersInCategory(CLSID_VelmoraFiltersCategory, CLSID_SpyFilter).empty());

    // The last filter gone, the category goes with it.
    EXPECT_EQ(S_OK, spMapper->UnregisterFilter(&CLSID_VelmoraFiltersCategory, nullptr, CLSID_OtherFilter));
    EXPECT_EQ(S_OK, KorvexRegisterCategory(FALSE, CLSID_VelmoraFiltersCategory, L"Velmora Filters", 0x400000));
    EXPECT_FALSE(RegKeyExists(CATEGORIES + MAKER));
    EXPECT_FALSE(RegKeyExists(L"CLSID\\" + MAKER));
    EXPECT_EQ(S_FALSE, KorvexRegisterCategory(FALSE, CLSID_VelmoraFiltersCategory, nullptr, 0));
}

TEST_F(Registration, CreatesByClassAndProgIdNeverByItself)
{
    ASSERT_EQ(0u, RunRegsvr32(m_strDll, false));
    for (LPCWSTR pszProgId : {L"Brevane.Filter", L"Brevane.Filter.1"})
    {
        CLSID clsid = GUID_NULL;
        ASSERT_EQ(S_OK, CLSIDFromProgID(pszProgId, &clsid));
        EXPECT_TRUE(IsEqualCLSID(CLSID_SpyFilter, clsid));
        CComPtr<IVelmoraSpyFilter> spSpy;
        EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IVelmoraSpyFilter,
                                         reinterpret_cast<void**>(&spSpy)));
    }
    CComPtr<IBaseFilter> spOuter = CreateSpy<IBaseFilter>();
    IUnknown* pUnk = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_SpyFilter, spOuter, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&pUnk)));
    EXPECT_EQ(nullptr, pUnk);

    // Intelligent connection looks for filters above MERIT_DO_NOT_USE only.
    CComPtr<IFilterMapper2> spMapper;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                     reinterpret_cast<void**>(&spMapper)));
    auto bMatched = [&](DWORD dwMerit) {
        const GUID types[] = {MEDIATYPE_Audio, MEDIASUBTYPE_PCM};
        CComPtr<IEnumMoniker> spEnum;
        EXPECT_EQ(S_OK, spMapper->EnumMatchingFilters(&spEnum, 0, FALSE, dwMerit, TRUE, 1, types, nullptr, nullptr,
                                                      FALSE, FALSE, 0, nullptr, nullptr, nullptr));
        bool bFound = false;
        for (CComPtr<IMoniker> spMoniker; spEnum && spEnum->Next(1, &spMoniker, nullptr) == S_OK; spMoniker.Release())
        {
            CComPtr<IPropertyBag> spBag;
            VARIANT var;
            VariantInit(&var);
            if (SUCCEEDED(spMoniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&spBag))) &&
                SUCCEEDED(spBag->Read(L"CLSID", &var, nullptr)) && var.vt == VT_BSTR)
                bFound = bFound || _wcsicmp(var.bstrVal, FILTER.c_str()) == 0;
            VariantClear(&var);
        }
        return bFound;
    };
    EXPECT_TRUE(bMatched(MERIT_DO_NOT_USE));
    EXPECT_FALSE(bMatched(MERIT_DO_NOT_USE + 1));

    // Rendering a WAVE file to the renderer at hand never inserts the spy.
    const std::wstring strWave = WriteTestWaveFile();
    CComPtr<IGraphBuilder> spGraph = CreateGraph();
    CComPtr<IBaseFilter> spSource = AddFileSource(spGraph, strWave.c_str());
    CComPtr<IBaseFilter> spParser = AddFilterByClsid(spGraph, CLSID_WaveParserFilter, L"Parser");
    CComPtr<IBaseFilter> spSink = AddFilterByClsid(spGraph, CLSID_NullRendererFilter, L"Sink");
    ASSERT_EQ(S_OK, ConnectFilters(spGraph, spSource, spParser));
    CComPtr<IFilterGraph2> spGraph2;
    ASSERT_EQ(S_OK, spGraph->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&spGraph2)));
    CComPtr<IPin> spOut = FindPin(spParser, PINDIR_OUTPUT);
    ASSERT_TRUE(spOut && spSink);
    ASSERT_EQ(S_OK, spGraph2->RenderEx(spOut, AM_RENDEREX_RENDERTOEXISTINGRENDERERS, nullptr));
    CComPtr<IEnumFilters> spEnum;
    ASSERT_EQ(S_OK, spGraph->EnumFilters(&spEnum));
    int nFilters = 0;
    for (CComPtr<IBaseFilter> spFilter; spEnum->Next(1, &spFilter, nullptr) == S_OK; spFilter.Release(), ++nFilters)
    {
        CLSID clsid = GUID_NULL;
        spFilter->GetClassID(&clsid);
        EXPECT_FALSE(IsEqualCLSID(CLSID_SpyFilter, clsid));
    }
    EXPECT_EQ(3, nFilters); // source, parser, renderer
    spEnum.Release();
    spOut.Release();
    spGraph2.Release();
    spSource.Release();
    spParser.Release();
    spSink.Release();
    TearDownGraph(spGraph);
    DeleteFileW(strWave.c_str());
}

TEST_F(Registration, BothBitnessesSideBySide)
{
    const std::wstring strOther = BesideExe(L"VelmoraSpy.dll", true);
    if (GetFileAttributesW(strOther.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "the other bitness is not built";
    ASSERT_EQ(0u, RunRegsvr32(m_strDll, false));
    ASSERT_EQ(0u, RunRegsvr32(strOther, false, sizeof(void*) == 4));
    const std::wstring strKey = L"CLSID\\" + FILTER + L"\\InprocServer32";
    const std::wstring str32 = RegText(strKey, L"", KEY_WOW64_32KEY);
    const std::wstring str64 = RegText(strKey, L"", KEY_WOW64_64KEY);
    EXPECT_NE(std::wstring::npos, str32.find(L"\\i686\\bin\\")) << str32;
    EXPECT_NE(std::wstring::npos, str64.find(L"\\x86_64\\bin\\")) << str64;
    EXPECT_EQ(0u, RunRegsvr32(strOther, true, sizeof(void*) == 4));
    EXPECT_EQ(L"<missing>", RegText(strKey, L"", sizeof(void*) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY));
    EXPECT_NE(L"<missing>", RegText(strKey));
}

TEST(RegisterFilterCall, NeedsTheClassKeyAndItsName)
{
    CComInit com;
    const PIN_DESC pins[] = {{L"In", 0}, {L"Bad", PINDESC_RENDERED | PINDESC_OUTPUT}};
    const CPinDescTable table(pins, 1);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              RegisterFilter(TRUE, CLSID_OtherFilter, 0x200000, CLSID_VelmoraFiltersCategoryOld, table));

    // A class key with an empty name, then with a name of the wrong type.
    const std::wstring strKey = L"CLSID\\" + GuidText(CLSID_OtherFilter);
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    RegSetValueExW(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(WCHAR));
    EXPECT_EQ(E_FAIL, RegisterFilter(TRUE, CLSID_OtherFilter, 0x200000, CLSID_VelmoraFiltersCategoryOld, table));
    const DWORD dw = 1;
    RegSetValueExW(hKey, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof(dw));
    EXPECT_EQ(E_FAIL, RegisterFilter(TRUE, CLSID_OtherFilter, 0x200000, CLSID_VelmoraFiltersCategoryOld, table));

    // A pin both rendered and output is refused before the mapper sees it.
    RegSetValueExW(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Other"), 6 * sizeof(WCHAR));
    EXPECT_EQ(E_INVALIDARG,
              RegisterFilter(TRUE, CLSID_OtherFilter, 0x200000, CLSID_VelmoraFiltersCategoryOld, CPinDescTable(pins, 2)));
    RegCloseKey(hKey);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, strKey.c_str());
    EXPECT_EQ(S_OK, RegisterFilter(FALSE, CLSID_OtherFilter, 0x200000, CLSID_VelmoraFiltersCategoryOld, table));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), KorvexRegisterCategory(TRUE, CLSID_VelmoraFiltersCategoryOld, nullptr, 0));
}

namespace
{

// "long", "uint*", "Velmora_Ver_Type*"...: an argument type as the library says it.
std::wstring TypeText(ITypeInfo* pInfo, const TYPEDESC& td)
{
    if (td.vt == VT_PTR)
        return TypeText(pInfo, *td.lptdesc) + L"*";
    CComPtr<ITypeInfo> spRef;
    BSTR bs = nullptr;
    if (td.vt == VT_USERDEFINED && SUCCEEDED(pInfo->GetRefTypeInfo(td.hreftype, &spRef)))
        spRef->GetDocumentation(MEMBERID_NIL, &bs, nullptr, nullptr, nullptr);
    const std::wstring s = bs != nullptr ? bs : td.vt == VT_I4 ? L"long" : td.vt == VT_UINT ? L"uint"
                                              : td.vt == VT_R8 ? L"double" : td.vt == VT_BSTR ? L"BSTR" : L"?";
    SysFreeString(bs);
    return s;
}

// "slot Name(type name, ...)" per function, "name=value" per enumerator.
std::vector<std::wstring> Describe(ITypeInfo* pInfo)
{
    std::vector<std::wstring> lines;
    TYPEATTR* pAttr = nullptr;
    if (pInfo == nullptr || FAILED(pInfo->GetTypeAttr(&pAttr)))
        return lines;
    for (UINT i = 0; i < pAttr->cFuncs; ++i)
    {
        FUNCDESC* pFunc = nullptr;
        pInfo->GetFuncDesc(i, &pFunc);
        BSTR abs[8] = {};
        UINT cNames = 0;
        pInfo->GetNames(pFunc->memid, abs, 8, &cNames);
        std::wstring s = std::to_wstring(pFunc->oVft / sizeof(void*)) + L" " + abs[0] + L"(";
        for (UINT n = 0; n < static_cast<UINT>(pFunc->cParams) && n + 1 < cNames; ++n)
            s += (n ? L", " : L"") + TypeText(pInfo, pFunc->lprgelemdescParam[n].tdesc) + L" " + abs[n + 1];
        lines.push_back(s + L")");
        for (BSTR bs : abs)
            SysFreeString(bs);
        pInfo->ReleaseFuncDesc(pFunc);
    }
    for (UINT i = 0; i < pAttr->cVars; ++i)
    {
        VARDESC* pVar = nullptr;
        pInfo->GetVarDesc(i, &pVar);
        BSTR bs = nullptr;
        UINT c = 0;
        pInfo->GetNames(pVar->memid, &bs, 1, &c);
        lines.push_back(std::wstring(bs) + L"=" + std::to_wstring(pVar->lpvarValue->lVal));
        SysFreeString(bs);
        pInfo->ReleaseVarDesc(pVar);
    }
    pInfo->ReleaseTypeAttr(pAttr);
    return lines;
}

CComPtr<ITypeInfo> InfoNamed(ITypeLib* pLib, LPCWSTR pszName)
{
    CComPtr<ITypeInfo> sp;
    MEMBERID memid = 0;
    USHORT cFound = 1;
    std::wstring strName = pszName;
    pLib->FindName(&strName[0], 0, &sp.p, &memid, &cFound);
    return cFound == 1 ? sp : nullptr;
}

} // namespace

TEST_F(Registration, TypeLibraryDescribesTheInterfaces)
{
    ASSERT_EQ(0u, RunRegsvr32(m_strDll, false));
    CComPtr<ITypeLib> spLib;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_SPYFILTERLib, 1, 0, LOCALE_NEUTRAL, &spLib));
    BSTR bsName = nullptr, bsDoc = nullptr;
    spLib->GetDocumentation(-1, &bsName, &bsDoc, nullptr, nullptr);
    EXPECT_STREQ(L"SPYFILTERLib", bsName);
    EXPECT_STREQ(L"Velmora Spy Filter 1.0 Type Library", bsDoc);
    SysFreeString(bsName);
    SysFreeString(bsDoc);

    for (const auto& coclass : {std::make_pair(&CLSID_SpyFilter, L"SpyFilter Velmora Spy Filter"),
                                std::make_pair(&CLSID_SpyFilterPP, L"SpyFilterPP Velmora Spy Property Page"),
                                std::make_pair(&CLSID_AboutSpyFilter, L"AboutSpyFilter Velmora Spy About")})
    {
        CComPtr<ITypeInfo> spClass;
        ASSERT_EQ(S_OK, spLib->GetTypeInfoOfGuid(*coclass.first, &spClass));
        spClass->GetDocumentation(MEMBERID_NIL, &bsName, &bsDoc, nullptr, nullptr);
        EXPECT_EQ(coclass.second, std::wstring(bsName) + L" " + bsDoc);
        SysFreeString(bsName);
        SysFreeString(bsDoc);
    }

    CComPtr<ITypeInfo> spInfo;
    ASSERT_EQ(S_OK, spLib->GetTypeInfoOfGuid(IID_IVelmoraSpyFilter, &spInfo));
    const std::vector<std::wstring> expected = {
        L"3 EnableDynReconnect(long bEnable)",
        L"4 IsDynReconnecEnabled()",
        L"5 EnableMTEnumRedir(long bEnable)",
        L"6 IsMTEnumRedirEnabled()",
        L"7 GetBitrates(uint* pnTotalAvg, uint* pnMovingAvg)",
        L"8 GetSamplesPerSec(double* pdSamplesPerSec)",
        L"9 ForcePassthruAllocator(long bForce)",
        L"10 IsPassthruAllocatorForced(long* pbForced)",
        L"11 SetCaptureProps(BSTR pbstrFileNameTemplate, long bOneSamplePerFile, uint nSamples)",
        L"12 GetCaptureProps(BSTR* pbstrFileNameTemplate, long* pbOneSamplePerFile, uint* pnSamples)",
        L"13 StartCapture()",
        L"14 SetCheckSum(long bCalculate)",
        L"15 GetCheckSum(long* pbCalculate)",
    };
    EXPECT_EQ(expected, Describe(spInfo));

    spInfo.Release();
    ASSERT_EQ(S_OK, spLib->GetTypeInfoOfGuid(IID_IVelmoraVersion, &spInfo));
    EXPECT_EQ((std::vector<std::wstring>{L"3 VerType(Velmora_Ver_Type* peType)", L"4 VerOS(Velmora_Ver_OS* peOS)",
                                         L"5 VerName(BSTR* pbsName)", L"6 VerNumber(BSTR* pbsNumber)",
                                         L"7 VerCreated(BSTR* pbsDateTime)"}),
              Describe(spInfo));
    EXPECT_EQ((std::vector<std::wstring>{L"eVelmora_Ver_Debug=0", L"eVelmora_Ver_Release=1"}),
              Describe(InfoNamed(spLib, L"Velmora_Ver_Type")));
    EXPECT_EQ((std::vector<std::wstring>{L"eVelmora_Ver_win32=0", L"eVelmora_Ver_x64=1"}),
              Describe(InfoNamed(spLib, L"Velmora_Ver_OS")));
}
