// Whole-file reads for tests that check what was written.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

inline std::vector<BYTE> ReadAll(const std::wstring& name)
{
    std::vector<BYTE> v;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return v;
    v.resize(GetFileSize(h, NULL));
    DWORD cb = 0;
    if (!v.empty())
        ReadFile(h, v.data(), static_cast<DWORD>(v.size()), &cb, NULL);
    CloseHandle(h);
    return v;
}

inline bool Exists(const std::wstring& name)
{
    return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}
