// Registry reads of the tests: whether a key exists and a string value as
// text, so that an assertion shows what was found.
#pragma once

#include <windows.h>

#include <string>

inline bool RegKeyExists(HKEY hRoot, const std::wstring& strKey)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, strKey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

// A string value of hRoot\strKey ("" names the default); "<missing>" when the
// key or value is absent, "<type>" for a value that is not a string.
inline std::wstring RegText(HKEY hRoot, const std::wstring& strKey, LPCWSTR pszValue = L"", REGSAM samView = 0)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, strKey.c_str(), 0, KEY_READ | samView, &hKey) != ERROR_SUCCESS)
        return L"<missing>";
    WCHAR sz[512] = L"";
    DWORD cb = sizeof(sz) - sizeof(WCHAR), dwType = 0;
    const LONG l = RegQueryValueExW(hKey, pszValue, nullptr, &dwType, reinterpret_cast<BYTE*>(sz), &cb);
    RegCloseKey(hKey);
    if (l != ERROR_SUCCESS)
        return L"<missing>";
    return dwType == REG_SZ ? sz : L"<type>";
}
