// Helpers shared by the log connection tests: paths beside the test
// program, whole-file reads, and a guard that leaves the registry's log
// configuration as it found it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace logconn
{

const WCHAR c_szKey[] = L"Software\\_KORVEXLOG";

inline std::wstring BinPath(const std::wstring& sName)
{
    WCHAR sz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring s = sz;
    return s.substr(0, s.find_last_of(L'\\') + 1) + sName;
}

inline std::string ReadFileBytes(const std::wstring& sPath)
{
    std::string s;
    HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return s;
    char aBuf[65536];
    DWORD cb = 0;
    while (ReadFile(h, aBuf, sizeof(aBuf), &cb, nullptr) && cb)
        s.append(aBuf, cb);
    CloseHandle(h);
    return s;
}

// Lines of a log file; each must end with CRLF, so a bare LF shows up as a
// line that still holds it.
inline std::vector<std::string> SplitCrlf(const std::string& s)
{
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < s.size())
    {
        size_t j = s.find("\r\n", i);
        if (j == std::string::npos)
        {
            lines.push_back(s.substr(i));
            break;
        }
        lines.push_back(s.substr(i, j - i));
        i = j + 2;
    }
    return lines;
}

// Records separated by zeros, empty ones dropped.
inline std::vector<std::wstring> SplitZeros(const std::wstring& s)
{
    std::vector<std::wstring> records;
    size_t i = 0;
    while (i < s.size())
    {
        size_t j = s.find(L'\0', i);
        if (j == std::wstring::npos)
            j = s.size();
        if (j > i)
            records.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    return records;
}

// Saves Software\_KORVEXLOG of both hives, clears them, and puts back what
// was there when it goes: a key left behind would connect every later
// process of the prefix to whatever the test configured.
class CLogKeyGuard
{
public:
    CLogKeyGuard()
    {
        Save(HKEY_CURRENT_USER, m_user);
        Save(HKEY_LOCAL_MACHINE, m_machine);
        Clear();
    }
    ~CLogKeyGuard()
    {
        Clear();
        Restore(HKEY_CURRENT_USER, m_user);
        Restore(HKEY_LOCAL_MACHINE, m_machine);
    }
    CLogKeyGuard(const CLogKeyGuard&) = delete;
    CLogKeyGuard& operator=(const CLogKeyGuard&) = delete;

    static void Clear()
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, c_szKey);
        RegDeleteKeyW(HKEY_CURRENT_USER, c_szKey);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, c_szKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, c_szKey);
    }
    // Creates the key; with a name, also sets that value (null name: the
    // default value).
    static bool Set(HKEY hRoot, LPCWSTR pszName, DWORD dwType, const void* pv, DWORD cb)
    {
        HKEY hKey = nullptr;
        if (RegCreateKeyExW(hRoot, c_szKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
            return false;
        LONG l = pv ? RegSetValueExW(hKey, pszName, 0, dwType, static_cast<const BYTE*>(pv), cb) : ERROR_SUCCESS;
        RegCloseKey(hKey);
        return l == ERROR_SUCCESS;
    }
    static bool SetText(HKEY hRoot, LPCWSTR pszName, const std::wstring& s, DWORD dwType = REG_SZ)
    {
        return Set(hRoot, pszName, dwType, s.c_str(), static_cast<DWORD>((s.size() + 1) * sizeof(WCHAR)));
    }

private:
    struct CValue
    {
        std::wstring sName;
        DWORD dwType;
        std::vector<BYTE> data;
    };
    struct CSaved
    {
        bool bExists = false;
        std::vector<CValue> values;
    };

    static void Save(HKEY hRoot, CSaved& saved)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(hRoot, c_szKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return;
        saved.bExists = true;
        for (DWORD i = 0;; ++i)
        {
            WCHAR szName[256];
            DWORD cchName = 256, dwType = 0, cb = 0;
            if (RegEnumValueW(hKey, i, szName, &cchName, nullptr, &dwType, nullptr, &cb) != ERROR_SUCCESS)
                break;
            CValue v{szName, dwType, std::vector<BYTE>(cb)};
            cchName = 256;
            RegEnumValueW(hKey, i, szName, &cchName, nullptr, &dwType, cb ? v.data.data() : nullptr, &cb);
            saved.values.push_back(v);
        }
        RegCloseKey(hKey);
    }
    static void Restore(HKEY hRoot, const CSaved& saved)
    {
        if (!saved.bExists)
            return;
        Set(hRoot, nullptr, 0, nullptr, 0);
        for (const CValue& v : saved.values)
            Set(hRoot, v.sName.empty() ? nullptr : v.sName.c_str(), v.dwType, v.data.data(),
                static_cast<DWORD>(v.data.size()));
    }

    CSaved m_user;
    CSaved m_machine;
};

} // namespace logconn
