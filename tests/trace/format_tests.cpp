// Our formatter against the platform's _snwprintf/_snprintf: every kind of
// conversion the traces use must read exactly as the platform writes it.
#include <winapi/Format.h>

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <string>

namespace
{

template <typename TChar>
int Ours(TChar* psz, size_t cch, const TChar* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const int n = FormatV(psz, cch, pszFormat, args);
    va_end(args);
    return n;
}

template <typename... TArgs>
void Platform(wchar_t (&sz)[512], const wchar_t* pszFormat, TArgs... args)
{
    _snwprintf(sz, 511, pszFormat, args...);
}

template <typename... TArgs>
void Platform(char (&sz)[512], const char* pszFormat, TArgs... args)
{
    _snprintf(sz, 511, pszFormat, args...);
}

template <typename TChar, typename... TArgs>
void ExpectLikePlatform(const TChar* pszFormat, TArgs... args)
{
    TChar szPlatform[512] = {};
    TChar szOurs[512] = {};
    Platform(szPlatform, pszFormat, args...);
    const int n = Ours(szOurs, 512, pszFormat, args...);
    const std::basic_string<TChar> sOurs(szOurs);
    EXPECT_EQ(std::basic_string<TChar>(szPlatform), sOurs) << "format \"" << pszFormat << "\"";
    EXPECT_EQ(static_cast<int>(sOurs.size()), n);
}

} // namespace

TEST(Format, IntegersOfEveryWidthAndFlag)
{
    const int c_anValues[] = {0, 1, -1, 7, 42, -42, 65535, INT32_MAX, INT32_MIN};
    const wchar_t* c_apszInt[] = {L"%i", L"%d", L"%u", L"%x", L"%X", L"%o", L"%2i", L"%03i", L"%-2i", L"%03u",
                                  L"%02u", L"%04u", L"%09u", L"%02X", L"%04X", L"%08X", L"%04x", L"%+i", L"% d",
                                  L"%#x", L"%#X", L"%#o", L"%.3i", L"%.0i", L"%8.3X", L"%-8.3u|", L"%08.3i",
                                  L"%-06i|", L"%hi", L"%hu", L"%hX", L"%I32u", L"%lu", L"%ld", L"%lX", L"%08lX", L"%04lx",
                                  L"%+05d", L"% 5d"};
    for (const wchar_t* pszFormat : c_apszInt)
        for (int n : c_anValues)
            ExpectLikePlatform(pszFormat, n);

    const int64_t c_allValues[] = {0, 1, -1, 400000, -4000000000LL, INT64_MAX, INT64_MIN};
    const wchar_t* c_apszInt64[] = {L"%I64i", L"%I64X", L"%016I64X", L"%lld", L"%I64u", L"%llx", L"%-20I64i|"};
    for (const wchar_t* pszFormat : c_apszInt64)
        for (int64_t ll : c_allValues)
            ExpectLikePlatform(pszFormat, ll);

    const intptr_t c_anPointerSized[] = {0, -1, 0x1234, INTPTR_MAX};
    for (intptr_t n : c_anPointerSized)
    {
        ExpectLikePlatform(L"%IX", n);
        ExpectLikePlatform(L"%Ii", n);
        ExpectLikePlatform(L"%p", reinterpret_cast<void*>(n));
        ExpectLikePlatform(L"%#p|%12p|%-12p|", reinterpret_cast<void*>(n), reinterpret_cast<void*>(n),
                           reinterpret_cast<void*>(n));
    }
    ExpectLikePlatform(L"%0*I64X", 16, static_cast<int64_t>(0xABCDEF));
    ExpectLikePlatform(L"%*i|%-*i|%*i", 6, 42, 6, 42, -6, 42);
    ExpectLikePlatform(L"%.*i|%.*i", 5, 42, -1, 42);
}

TEST(Format, StringsAndCharactersOfBothWidths)
{
    const wchar_t* pszWide = L"Spy 1 In";
    const char* pszNarrow = "capture.dat";
    ExpectLikePlatform(L"%s|%ls|%ws|%hs|%S", pszWide, pszWide, pszWide, pszNarrow, pszNarrow);
    ExpectLikePlatform(L"%-20s|%20s|%-2s|%.3s|%*s|%05s", pszWide, pszWide, pszWide, pszWide, 12, pszWide, L"ab");
    ExpectLikePlatform(L"%s|%hs|%.2s|%8s", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr),
                       static_cast<const wchar_t*>(nullptr), static_cast<const wchar_t*>(nullptr));
    ExpectLikePlatform(L"%c%c|%C|%hc|%lc|%3c|%-3c|", L'A', 0x263A, 'b', 'c', L'd', L'e', L'f');
    ExpectLikePlatform(L"100%% of %i%%", 7);

    ExpectLikePlatform("%s|%hs|%ls|%S|%ws", pszNarrow, pszNarrow, pszWide, pszWide, pszWide);
    ExpectLikePlatform("%c|%C|%lc|%-4s|%.4s|%s", 'x', L'y', L'z', "ab", "abcdef", static_cast<const char*>(nullptr));
    ExpectLikePlatform("%08X %I64i %-2i %p", 0xBEEFu, static_cast<int64_t>(-5), 3, reinterpret_cast<void*>(0x10));

    // Beyond ASCII a string of the other width is converted by the locale:
    // the platform's text stands.
    ExpectLikePlatform(L"<%hs> %i", "caf\xe9", 5);
    ExpectLikePlatform("<%ls> %i <%C>", L"\x263A smile", 6, L'\x263A');
}

TEST(Format, FloatingPointAndOutsideTheSubset)
{
    const double c_adValues[] = {0.0, 1.5, -2.25, 3.14159265, 1e-7, 123456789.125};
    const wchar_t* c_apszFloat[] = {L"%g", L"%.3f", L"%.1f", L"%.2f", L"%.3g", L"%10.2f|", L"%-10.2f|", L"%+e", L"%E"};
    for (const wchar_t* pszFormat : c_apszFloat)
        for (double d : c_adValues)
            ExpectLikePlatform(pszFormat, d);
    ExpectLikePlatform(L"%i %.1f %s", 3, 2.5, L"end");
    ExpectLikePlatform("%.3f ms, %i", 0.0125, 9);
    // A size this formatter does not know: the platform writes from there on.
    ExpectLikePlatform(L"%i then %*zu then %s", 1, 4, static_cast<size_t>(22), L"rest");
}

TEST(Format, TruncatesAndAlwaysTerminates)
{
    wchar_t sz[8];
    wmemset(sz, L'#', 8);
    EXPECT_EQ(7, Ours(sz, 8, L"%s=%08X", L"value", 0x1234u));
    EXPECT_EQ(std::wstring(L"value=0"), std::wstring(sz));

    EXPECT_EQ(3, Ours(sz, 4, L"%.1f and more", 123.456));
    EXPECT_EQ(std::wstring(L"123"), std::wstring(sz));

    char szNarrow[4];
    EXPECT_EQ(3, Ours(szNarrow, 4, "%s", "abcdef"));
    EXPECT_EQ(std::string("abc"), std::string(szNarrow));
    // The platform taking over is truncated alike.
    EXPECT_EQ(3, Ours(szNarrow, 4, "%zu", static_cast<size_t>(123456)));
    EXPECT_EQ(std::string("123"), std::string(szNarrow));

    EXPECT_EQ(0, Ours(sz, 0, L"%s", L"x"));
    EXPECT_EQ(0, Ours(sz, 1, L"%s", L"x"));
    EXPECT_EQ(L'\0', sz[0]);
    EXPECT_EQ(0, Ours(sz, 8, static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(L'\0', sz[0]);
}
