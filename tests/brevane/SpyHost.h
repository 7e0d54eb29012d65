// The product DLL as a host sees it: loaded by path with the stand-in log
// library connected through the registry, filters created through its class
// object, and the spy's trace lines read back from the log file.
//
// Until the control interface exists, tests reach the filter's control
// operations as C++ members of the object the DLL created: this program
// compiles the same filter sources, so the layout is the DLL's.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Filter.h"
#include "logconn/LogConnSupport.h"
#include "support/Files.h"

typedef HRESULT(STDAPICALLTYPE* PFN_DLLGETCLASSOBJECT)(REFCLSID, REFIID, void**);
typedef BOOL(WINAPI* PFN_SETLOGFILE)(LPCWSTR);

class CSpyHost : public testing::Environment
{
public:
    static CSpyHost* Get() { return s_pHost; }
    static CSpyFilter* Spy(IBaseFilter* p) { return static_cast<CSpyFilter*>(p); }

    void SetUp() override
    {
        s_pHost = this;
        m_pKeyGuard = new logconn::CLogKeyGuard;
        logconn::CLogKeyGuard::SetText(HKEY_CURRENT_USER, nullptr, logconn::BinPath(L"velmoralog.dll"));
        m_sLog = TempName(L"spylog");
        logconn::CLogKeyGuard::SetText(HKEY_CURRENT_USER, L"LogFile", m_sLog);
        m_hLog = LoadLibraryW(logconn::BinPath(L"velmoralog.dll").c_str());
        m_hSpy = LoadLibraryW(logconn::BinPath(L"VelmoraSpy.dll").c_str());
        ASSERT_NE(nullptr, m_hLog);
        ASSERT_NE(nullptr, m_hSpy);
        m_pfnSetLogFile = Proc<PFN_SETLOGFILE>(m_hLog, "StandIn_SetLogFile");
        auto pfnGet = Proc<PFN_DLLGETCLASSOBJECT>(m_hSpy, "DllGetClassObject");
        ASSERT_NE(nullptr, pfnGet);
        ASSERT_EQ(S_OK, pfnGet(CLSID_SpyFilter, IID_IClassFactory, reinterpret_cast<void**>(&m_spFactory)));
    }
    void TearDown() override
    {
        m_spFactory.Release();
        delete m_pKeyGuard;
        DeleteFileW(m_sLog.c_str());
    }

    CComPtr<IBaseFilter> Create()
    {
        CComPtr<IBaseFilter> sp;
        EXPECT_EQ(S_OK, m_spFactory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&sp)));
        return sp;
    }
    HMODULE Module() const { return m_hSpy; }

    // Lines written from now on go to a fresh file.
    void NewLog()
    {
        DeleteFileW(m_sLog.c_str());
        m_sLog = TempName(L"spylog");
        m_pfnSetLogFile(m_sLog.c_str());
    }
    // The texts of the product's lines (after its module tag), one per line.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> out;
        for (const std::string& line : logconn::SplitCrlf(logconn::ReadFileBytes(m_sLog)))
        {
            const size_t n = line.find("VELMORASPY: ");
            if (n != std::string::npos)
                out.push_back(line.substr(n + 12));
        }
        return out;
    }
    // The whole log file as written (blocks included).
    std::string RawText() const { return logconn::ReadFileBytes(m_sLog); }
    size_t CountLines(const std::string& sPart) const
    {
        size_t n = 0;
        for (const std::string& line : Lines())
            n += line.find(sPart) != std::string::npos;
        return n;
    }

    static std::wstring TempName(LPCWSTR pszPrefix)
    {
        WCHAR szDir[MAX_PATH], szPath[MAX_PATH];
        GetTempPathW(MAX_PATH, szDir);
        GetTempFileNameW(szDir, pszPrefix, 0, szPath);
        return szPath;
    }

private:
    template <class PFN>
    static PFN Proc(HMODULE h, LPCSTR pszName)
    {
        return reinterpret_cast<PFN>(reinterpret_cast<void*>(GetProcAddress(h, pszName)));
    }

    static inline CSpyHost* s_pHost = nullptr;
    logconn::CLogKeyGuard* m_pKeyGuard = nullptr;
    std::wstring m_sLog;
    HMODULE m_hLog = nullptr, m_hSpy = nullptr;
    PFN_SETLOGFILE m_pfnSetLogFile = nullptr;
    CComPtr<IClassFactory> m_spFactory;
};

// The spy's registry options for the scope, removed again at its end.
class CSpyOptionsKey
{
public:
    CSpyOptionsKey() { RegCreateKeyExW(HKEY_CURRENT_USER, c_szKey, 0, nullptr, 0, KEY_WRITE, nullptr, &m_hKey, nullptr); }
    ~CSpyOptionsKey()
    {
        RegCloseKey(m_hKey);
        RegDeleteKeyW(HKEY_CURRENT_USER, c_szKey);
    }
    CSpyOptionsKey(const CSpyOptionsKey&) = delete;
    CSpyOptionsKey& operator=(const CSpyOptionsKey&) = delete;

    void SetDword(LPCWSTR pszName, DWORD dw) { RegSetValueExW(m_hKey, pszName, 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4); }
    void SetText(LPCWSTR pszName, const std::wstring& s)
    {
        RegSetValueExW(m_hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                       static_cast<DWORD>((s.size() + 1) * sizeof(WCHAR)));
    }

private:
    static constexpr LPCWSTR c_szKey = L"Software\\Velmora\\Spy Filter";
    HKEY m_hKey = nullptr;
};
