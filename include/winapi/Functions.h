// Bounded formatting with the platform runtime's printf semantics (%s wide
// in wide formats, %hs narrow, %I64i). Output is always terminated and
// silently truncated; the result is the number of characters written.
#pragma once

#include <winapi/Format.h>

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

inline int StrFormatV(LPWSTR pszDst, size_t cchDst, LPCWSTR pszFormat, va_list args)
{
    return FormatV(pszDst, cchDst, pszFormat, args);
}

inline int StrFormatV(LPSTR pszDst, size_t cbDst, LPCSTR pszFormat, va_list args)
{
    return FormatV(pszDst, cbDst, pszFormat, args);
}

inline int StrFormat(LPWSTR pszDst, size_t cchDst, LPCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    int n = StrFormatV(pszDst, cchDst, pszFormat, args);
    va_end(args);
    return n;
}

inline int StrFormat(LPSTR pszDst, size_t cbDst, LPCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    int n = StrFormatV(pszDst, cbDst, pszFormat, args);
    va_end(args);
    return n;
}

// Appends a formatted text at the end of what pszDst already holds.
inline int StrAppend(LPWSTR pszDst, size_t cchDst, LPCWSTR pszFormat, ...)
{
    size_t cchUsed = wcsnlen(pszDst, cchDst);
    if (cchUsed + 1 >= cchDst)
        return 0;
    va_list args;
    va_start(args, pszFormat);
    int n = StrFormatV(pszDst + cchUsed, cchDst - cchUsed, pszFormat, args);
    va_end(args);
    return n;
}

// Copies with truncation; always terminates a non-empty destination.
inline void StrCopy(LPWSTR pszDst, size_t cchDst, LPCWSTR pszSrc)
{
    if (pszDst == nullptr || cchDst == 0)
        return;
    size_t i = 0;
    if (pszSrc != nullptr)
        for (; i + 1 < cchDst && pszSrc[i] != L'\0'; ++i)
            pszDst[i] = pszSrc[i];
    pszDst[i] = L'\0';
}
