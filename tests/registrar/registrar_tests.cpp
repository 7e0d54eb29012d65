// Registry scripts run in the Wine registry under HKCU\Software\VelmoraTest..:
// register, read back, unregister; the key flags; replacements; malformed
// scripts that must write nothing.
#include <winapi/Registrar.h>

#include "support/Registry.h"
#include "support/TraceCapture.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

#ifdef _WIN64
#define TEST_ROOT L"VelmoraTest64"
#else
#define TEST_ROOT L"VelmoraTest32"
#endif
const std::wstring g_strRoot = L"Software\\" TEST_ROOT;

// The script's frame: our test key under HKCU\Software, which stays.
std::wstring Script(const std::wstring& strBody)
{
    return L"HKCU\n{\n    NoRemove Software\n    {\n        " TEST_ROOT L"\n        {\n" + strBody +
           L"\n        }\n    }\n}\n";
}

bool KeyExists(const std::wstring& strPath) { return RegKeyExists(HKEY_CURRENT_USER, strPath); }
std::wstring ReadString(const std::wstring& strPath, LPCWSTR pszName = L"")
{
    return RegText(HKEY_CURRENT_USER, strPath, pszName);
}

DWORD ReadDword(const std::wstring& strPath, LPCWSTR pszName)
{
    DWORD dw = 0xDEADBEEF;
    DWORD cb = sizeof(dw);
    RegGetValueW(HKEY_CURRENT_USER, strPath.c_str(), pszName, RRF_RT_REG_DWORD, nullptr, &dw, &cb);
    return dw;
}

void WriteString(const std::wstring& strPath, LPCWSTR pszName, LPCWSTR pszValue)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, strPath.c_str(), pszName, REG_SZ, pszValue,
                                             static_cast<DWORD>((wcslen(pszValue) + 1) * sizeof(WCHAR))));
}

class RegistrarTest : public ::testing::Test
{
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, g_strRoot.c_str()); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, g_strRoot.c_str()); }

    CRegistrar m_registrar;
};

TEST_F(RegistrarTest, RoundTripWritesKeysAndValuesAndRemovesThemAgain)
{
    const std::wstring strScript = Script(LR"(
            Server = s 'Velmora ''Spy'' Server'
            {
                val Name = s 'named value'
                val Count = d 42
                val Mask = d '0x10'
                'Quoted Key' = s ''
                Empty
                Deep { Deeper = d 7 }
            }
            Second = s 'two')");
    ASSERT_EQ(S_OK, m_registrar.StringRegister(strScript.c_str()));

    const std::wstring strServer = g_strRoot + L"\\Server";
    EXPECT_EQ(L"Velmora 'Spy' Server", ReadString(strServer));
    EXPECT_EQ(L"named value", ReadString(strServer, L"Name"));
    EXPECT_EQ(42u, ReadDword(strServer, L"Count"));
    EXPECT_EQ(16u, ReadDword(strServer, L"Mask"));
    EXPECT_EQ(L"", ReadString(strServer + L"\\Quoted Key"));
    EXPECT_TRUE(KeyExists(strServer + L"\\Empty"));
    EXPECT_EQ(7u, ReadDword(strServer + L"\\Deep\\Deeper", nullptr));
    EXPECT_EQ(L"two", ReadString(g_strRoot + L"\\Second"));

    ASSERT_EQ(S_OK, m_registrar.StringUnregister(strScript.c_str()));
    EXPECT_FALSE(KeyExists(g_strRoot)) << "everything the script created is gone";
    EXPECT_TRUE(KeyExists(L"Software")) << "NoRemove kept the shared key";
    EXPECT_EQ(S_OK, m_registrar.StringUnregister(strScript.c_str())) << "unregistering may be repeated";
}

TEST_F(RegistrarTest, ReplacementsApplyToNamesAndValues)
{
    ASSERT_EQ(S_OK, m_registrar.AddReplacement(L"CLSID", L"1234"));
    ASSERT_EQ(S_OK, m_registrar.AddReplacement(L"MODULE", L"C:\\old.dll"));
    ASSERT_EQ(S_OK, m_registrar.AddReplacement(L"MODULE", L"C:\\dir\\x.dll")) << "a later value replaces";
    ASSERT_EQ(S_OK, m_registrar.AddReplacement(L"EMPTY", L""));
    const std::wstring strScript = Script(LR"(
            {%CLSID%} = s '%MODULE%%EMPTY%'
            {
                val 'Percent %%' = s '100%%'
            })");
    ASSERT_EQ(S_OK, m_registrar.StringRegister(strScript.c_str()));
    EXPECT_EQ(L"C:\\dir\\x.dll", ReadString(g_strRoot + L"\\{1234}"));
    EXPECT_EQ(L"100%", ReadString(g_strRoot + L"\\{1234}", L"Percent %"));
    EXPECT_EQ(S_OK, m_registrar.StringUnregister(strScript.c_str()));
    EXPECT_FALSE(KeyExists(g_strRoot));

    EXPECT_EQ(S_OK, m_registrar.ClearReplacements());
    EXPECT_EQ(DISP_E_EXCEPTION, m_registrar.StringRegister(strScript.c_str())) << "replacements were cleared";
}

TEST_F(RegistrarTest, ForceRemoveWipesOldContentOnRegisterAndUnregister)
{
    WriteString(g_strRoot + L"\\Class\\Stale", nullptr, L"old");
    WriteString(g_strRoot + L"\\Class", L"StaleValue", L"old");
    const std::wstring strScript = Script(L"ForceRemove Class = s 'new' { Fresh }");
    ASSERT_EQ(S_OK, m_registrar.StringRegister(strScript.c_str()));
    EXPECT_EQ(L"new", ReadString(g_strRoot + L"\\Class"));
    EXPECT_FALSE(KeyExists(g_strRoot + L"\\Class\\Stale"));
    EXPECT_EQ(L"<missing>", ReadString(g_strRoot + L"\\Class", L"StaleValue"));
    EXPECT_TRUE(KeyExists(g_strRoot + L"\\Class\\Fresh"));

    // Content added after registration goes with the key.
    WriteString(g_strRoot + L"\\Class\\Added", nullptr, L"x");
    ASSERT_EQ(S_OK, m_registrar.StringUnregister(strScript.c_str()));
    EXPECT_FALSE(KeyExists(g_strRoot + L"\\Class"));
}

TEST_F(RegistrarTest, NoRemoveAndForeignContentKeepAKey)
{
    const std::wstring strScript = Script(LR"(
            NoRemove Kept { Child }
            Shared { Mine })");
    ASSERT_EQ(S_OK, m_registrar.StringRegister(strScript.c_str()));
    // Someone else's content under a plain key: the key must stay for it.
    WriteString(g_strRoot + L"\\Shared\\Theirs", nullptr, L"x");
    WriteString(g_strRoot + L"\\Shared", L"TheirValue", L"y");
    ASSERT_EQ(S_OK, m_registrar.StringUnregister(strScript.c_str()));
    EXPECT_TRUE(KeyExists(g_strRoot + L"\\Kept"));
    EXPECT_FALSE(KeyExists(g_strRoot + L"\\Kept\\Child"));
    EXPECT_FALSE(KeyExists(g_strRoot + L"\\Shared\\Mine"));
    EXPECT_TRUE(KeyExists(g_strRoot + L"\\Shared\\Theirs"));
    EXPECT_EQ(L"y", ReadString(g_strRoot + L"\\Shared", L"TheirValue"));
}

TEST_F(RegistrarTest, DeleteRemovesAKeyOnRegisterOnly)
{
    WriteString(g_strRoot + L"\\Obsolete\\Sub", nullptr, L"old");
    const std::wstring strScript = Script(L"Delete Obsolete\n Current");
    ASSERT_EQ(S_OK, m_registrar.StringRegister(strScript.c_str()));
    EXPECT_FALSE(KeyExists(g_strRoot + L"\\Obsolete"));
    EXPECT_TRUE(KeyExists(g_strRoot + L"\\Current"));
    ASSERT_EQ(S_OK, m_registrar.StringUnregister(strScript.c_str()));
    EXPECT_FALSE(KeyExists(g_strRoot));
}

TEST_F(RegistrarTest, TopLevelClsidKeyIsNeverWipedNorRemoved)
{
    // Under HKCU so that the test cannot harm the real class registrations.
    const std::wstring strOther = L"CLSID\\{" TEST_ROOT L"-Other}";
    const std::wstring strMine = L"CLSID\\{" TEST_ROOT L"-Mine}";
    WriteString(strOther, nullptr, L"other server");
    const std::wstring strScript = L"HKCU { ForceRemove CLSID { ForceRemove {" TEST_ROOT L"-Mine} = s 'mine' } }";
    ASSERT_EQ(S_OK, m_registrar.StringRegister(strScript.c_str()));
    EXPECT_EQ(L"other server", ReadString(strOther));
    EXPECT_EQ(L"mine", ReadString(strMine));
    ASSERT_EQ(S_OK, m_registrar.StringUnregister(strScript.c_str()));
    EXPECT_FALSE(KeyExists(strMine));
    EXPECT_EQ(L"other server", ReadString(strOther));
    RegDeleteTreeW(HKEY_CURRENT_USER, strOther.c_str());
}

TEST_F(RegistrarTest, MalformedScriptsFailWithTheirPlaceAndWriteNothing)
{
    m_registrar.AddReplacement(L"KNOWN", L"k");
    const struct
    {
        LPCWSTR pszBody; // after a valid first entry, which must not be written
        LPCWSTR pszWhere;
    } s_cases[] = {
        {L"Broken {", L"line 12, column 1"},           // unbalanced: the script ends inside a key
        {L"Bad = s '%UNKNOWN%'", L"line 8, column 21"}, // unknown replacement
        {L"Bad = x 'text'", L"line 8, column 19"},      // bad value type
        {L"Bad = s 'open", L"line 8, column 21"},       // unterminated string
        {L"Bad = d 'twelve'", L"line 8, column 21"},    // not a number
        {L"Bad = d 0x100000000", L"line 8, column 21"}, // too large for a DWORD
        {L"val = s 'x'", L"line 8, column 17"},         // value without a name
        {L"Bad = s 'x' %KNOWN", L"line 8, column 25"},  // unterminated replacement
    };
    for (const auto& c : s_cases)
    {
        SCOPED_TRACE(::testing::Message() << "script body: " << std::string(c.pszBody, c.pszBody + wcslen(c.pszBody)));
        CTraceCapture capture;
        const std::wstring strScript = Script(std::wstring(L"            First = s 'x'\n            ") + c.pszBody);
        EXPECT_EQ(DISP_E_EXCEPTION, m_registrar.StringRegister(strScript.c_str()));
        EXPECT_FALSE(KeyExists(g_strRoot)) << "nothing is written";
        EXPECT_EQ(DISP_E_EXCEPTION, m_registrar.StringUnregister(strScript.c_str()));
        const std::vector<std::wstring> lines = capture.Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(1, CTraceCapture::Level(lines[0]));
        const std::wstring strBody = CTraceCapture::Body(lines[0]);
        EXPECT_EQ(0u, strBody.find(L"###Err### ")) << std::string(strBody.begin(), strBody.end());
        EXPECT_NE(std::wstring::npos, strBody.find(c.pszWhere)) << std::string(strBody.begin(), strBody.end());
    }

    // Wrong frames: no root key, an unknown root, a stray closing brace.
    EXPECT_EQ(DISP_E_EXCEPTION, m_registrar.StringRegister(L"{ Key }"));
    EXPECT_EQ(DISP_E_EXCEPTION, m_registrar.StringRegister(L"HKXX { Key }"));
    EXPECT_EQ(DISP_E_EXCEPTION, m_registrar.StringRegister((Script(L"") + L"}").c_str()));
    EXPECT_FALSE(KeyExists(g_strRoot));
    // Nesting far deeper than any registry path is refused, not a stack overflow.
    std::wstring strDeep = L"HKCU {";
    for (int i = 0; i < 20000; ++i)
        strDeep += L" K {";
    strDeep += std::wstring(20001, L'}');
    CTraceCapture deep;
    EXPECT_EQ(DISP_E_EXCEPTION, m_registrar.StringRegister(strDeep.c_str()));
    EXPECT_TRUE(Traced(deep, L"keys nested more than 64 levels deep"));
    EXPECT_EQ(E_POINTER, m_registrar.StringRegister(nullptr));
    EXPECT_EQ(S_OK, m_registrar.StringRegister(L"  \r\n ")) << "an empty script does nothing";
}

TEST_F(RegistrarTest, ScriptsRunFromResources)
{
    // Resource 201: a UTF-8 script; 202 a UTF-16 one with a byte order mark.
    const HMODULE hModule = GetModuleHandleW(nullptr);
    for (UINT nId : {201u, 202u})
    {
        SCOPED_TRACE(nId);
        ASSERT_EQ(S_OK, m_registrar.AddReplacement(L"ROOT", TEST_ROOT));
        ASSERT_EQ(S_OK, m_registrar.ResourceRegister(hModule, nId));
        EXPECT_EQ(L"Velmora r\u00e9sum\u00e9", ReadString(g_strRoot + L"\\FromResource"));
        ASSERT_EQ(S_OK, m_registrar.ResourceUnregister(hModule, nId));
        EXPECT_FALSE(KeyExists(g_strRoot));
    }
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND), m_registrar.ResourceRegister(hModule, 299));
}

} // namespace
