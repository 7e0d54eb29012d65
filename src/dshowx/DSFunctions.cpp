// Fixed text forms of reference times, 64-bit counts and FOURCC codes.
// Every result fits a small fixed buffer, so the writers below never need
// the caller's capacity: each bound is the longest text they can produce.
#include <dshowx/DSFunctions.h>
#include <dshowx/DSTrace.h>
#include <winapi/Functions.h>

#include <cstdarg>
#include <cwchar>

namespace
{
// Capacity the header promises for times and 64-bit counts.
constexpr size_t kcchConv = 32;
// Capacity the header promises for FOURCC names.
constexpr size_t kcchFcc = 16;

constexpr LONGLONG kllMin = static_cast<LONGLONG>(0x8000000000000000ULL);
constexpr LONGLONG kllMax = 0x7FFFFFFFFFFFFFFFLL;
constexpr LONGLONG kllNearLimit = 10000000; // one second in 100-ns units

constexpr DWORD Fcc(char a, char b, char c, char d)
{
    return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
           (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

struct FourccName
{
    DWORD fcc;
    LPCWSTR pszName;
};

// Picture headers carry these codes as compression values; the large ones are
// the first 32 bits of the RGB and ARGB subtype GUIDs.
const FourccName g_FourccNames[] = {
    {0, L"BI_RGB"},
    {1, L"BI_RLE8"},
    {2, L"BI_RLE4"},
    {3, L"BI_BITFIELDS"},
    {0xE436EB78, L"RGB1"},
    {0xE436EB79, L"RGB4"},
    {0xE436EB7A, L"RGB8"},
    {0xE436EB7B, L"RGB565"},
    {0xE436EB7C, L"RGB555"},
    {0xE436EB7D, L"RGB24"},
    {0xE436EB7E, L"RGB32"},
    {0x297C55AF, L"ARGB1555"},
    {0x6E6415E6, L"ARGB4444"},
    {0x773C9AC0, L"ARGB32"},
};

struct FourccBits
{
    DWORD fcc;
    UINT nBits;
};

const FourccBits g_FourccBits[] = {
    {Fcc('Y', 'V', 'U', '9'), 9},
    {Fcc('I', '4', '2', '0'), 12},
    {Fcc('N', 'V', '1', '2'), 12},
    {Fcc('Y', 'V', '1', '2'), 12},
    {Fcc('Y', '4', '2', '2'), 16},
    {Fcc('Y', 'U', 'Y', '2'), 16},
    {Fcc('H', 'D', 'Y', 'C'), 16},
    {Fcc('Y', 'V', 'Y', 'U'), 16},
    {Fcc('U', 'Y', 'V', 'Y'), 16},
    {0xE436EB7B, 16}, // RGB565
    {0xE436EB7C, 16}, // RGB555
    {Fcc('v', '2', '1', '0'), 20},
    {Fcc('I', 'Y', 'U', '2'), 24},
    {Fcc('Y', '4', '4', '4'), 24},
    {0xE436EB7D, 24}, // RGB24
    {Fcc('r', '2', '1', '0'), 30},
    {0xE436EB7E, 32}, // RGB32
    {0x773C9AC0, 32}, // ARGB32
    {0x2F8BB76D, 32}, // A2R10G10B10
    {0x576F7893, 32}, // A2B10G10R10
    {Fcc('R', 'B', '1', '6'), 48},
    {Fcc('B', 'R', '1', '6'), 48},
    {Fcc('A', 'B', '1', '6'), 64},
    {Fcc('A', 'R', '1', '6'), 64},
    {0xE436EB7A, 8}, // RGB8
};
} // namespace

LPWSTR RefTime2Str(REFERENCE_TIME rt, LPWSTR pszConv)
{
    if (!TRACE_ASSERT_TEXT(pszConv != NULL, "pszConv != NULL"))
        return NULL;

    // Values next to the limits are sentinels ("no end", "unknown start"):
    // naming them reads better than twenty digits.
    if (rt <= kllMin + kllNearLimit)
    {
        if (rt == kllMin)
            StrFormat(pszConv, kcchConv, L"MINLONGLONG");
        else
            StrFormat(pszConv, kcchConv, L"MINLONGLONG + %i", static_cast<int>(rt - kllMin));
        return pszConv;
    }
    if (rt >= kllMax - kllNearLimit)
    {
        if (rt == kllMax)
            StrFormat(pszConv, kcchConv, L"MAXLONGLONG");
        else
            StrFormat(pszConv, kcchConv, L"MAXLONGLONG - %i", static_cast<int>(kllMax - rt));
        return pszConv;
    }

    const LONGLONG llMilli = rt / 10000;
    LONGLONG llTicks = rt - llMilli * 10000;
    if (llTicks < 0)
        llTicks = -llTicks;
    const LONGLONG llSeconds = llMilli / 1000;
    LONGLONG llMsec = llMilli - llSeconds * 1000;
    if (llMsec < 0)
        llMsec = -llMsec;
    const LONGLONG llGiga = llSeconds / 1000000000;
    LONGLONG llRest = llSeconds - llGiga * 1000000000;

    const UINT nTicks = static_cast<UINT>(llTicks);
    const UINT nMsec = static_cast<UINT>(llMsec);
    if (llGiga != 0)
    {
        // The sign travels with the upper part; the lower nine digits are padded.
        if (llRest < 0)
            llRest = -llRest;
        if (nTicks != 0)
            StrFormat(pszConv, kcchConv, L"%d%09u.%03u'%04u", static_cast<int>(llGiga), static_cast<UINT>(llRest),
                    nMsec, nTicks);
        else
            StrFormat(pszConv, kcchConv, L"%d%09u.%03u", static_cast<int>(llGiga), static_cast<UINT>(llRest), nMsec);
        return pszConv;
    }

    if (rt < 0 && llRest == 0)
    {
        // Less than one second below zero: the sign cannot come from the number.
        if (nTicks != 0)
            StrFormat(pszConv, kcchConv, L"-%u.%03u'%04u", static_cast<UINT>(llRest), nMsec, nTicks);
        else
            StrFormat(pszConv, kcchConv, L"-%u.%03u", static_cast<UINT>(llRest), nMsec);
        return pszConv;
    }
    if (nTicks != 0)
        StrFormat(pszConv, kcchConv, L"%d.%03u'%04u", static_cast<int>(llRest), nMsec, nTicks);
    else
        StrFormat(pszConv, kcchConv, L"%d.%03u", static_cast<int>(llRest), nMsec);
    return pszConv;
}

LPWSTR LongLong2Str(LONGLONG ll, LPWSTR pszConv)
{
    if (!TRACE_ASSERT_TEXT(pszConv != NULL, "pszConv != NULL"))
        return NULL;

    if (ll == kllMin)
    {
        StrFormat(pszConv, kcchConv, L"MINLONGLONG");
        return pszConv;
    }
    if (ll == kllMin + 1)
    {
        StrFormat(pszConv, kcchConv, L"MINLONGLONG + 1");
        return pszConv;
    }
    if (ll == kllMax)
    {
        StrFormat(pszConv, kcchConv, L"MAXLONGLONG");
        return pszConv;
    }

    size_t cch = 0;
    ULONGLONG ullValue = static_cast<ULONGLONG>(ll);
    if (ll < 0)
    {
        pszConv[cch++] = L'-';
        ullValue = static_cast<ULONGLONG>(-ll);
    }

    bool bStarted = false;
    for (ULONGLONG ullDivisor = 1000000000000000000ULL; ullDivisor != 0; ullDivisor /= 1000)
    {
        const UINT nGroup = static_cast<UINT>(ullValue / ullDivisor);
        ullValue %= ullDivisor;
        if (bStarted)
        {
            StrFormat(pszConv + cch, kcchConv - cch, L" %03u", nGroup);
            cch += 4;
        }
        else if (nGroup != 0 || ullDivisor == 1)
        {
            StrFormat(pszConv + cch, kcchConv - cch, L"%u", nGroup);
            cch += wcslen(pszConv + cch);
            bStarted = true;
        }
    }
    return pszConv;
}

LPWSTR Fourcc2Str(DWORD fcc, LPWSTR pszFCC)
{
    if (!TRACE_ASSERT_TEXT(pszFCC != NULL, "pszFCC != NULL && _T(\"Fourcc2Str()\")"))
        return NULL;

    for (int i = 0; i < 4; ++i)
    {
        const DWORD ch = (fcc >> (8 * i)) & 0xFF;
        if (ch < 0x20 || ch > 0x7E)
        {
            pszFCC[0] = L'\0';
            return pszFCC;
        }
        pszFCC[i] = static_cast<WCHAR>(ch);
    }
    pszFCC[4] = L'\0';
    return pszFCC;
}

LPWSTR Fourcc2Name(DWORD fcc, LPWSTR pszFCC)
{
    if (!TRACE_ASSERT_TEXT(pszFCC != NULL, "pszFCC != NULL && _T(\"Fourcc2Name()\")"))
        return NULL;

    if (Fourcc2Str(fcc, pszFCC)[0] != L'\0')
        return pszFCC;
    for (const FourccName& entry : g_FourccNames)
    {
        if (entry.fcc == fcc)
        {
            StrFormat(pszFCC, kcchFcc, L"%s", entry.pszName);
            return pszFCC;
        }
    }
    StrFormat(pszFCC, kcchFcc, L"0x%08X", static_cast<UINT>(fcc));
    return pszFCC;
}

UINT Fcc2Bits(DWORD fcc)
{
    for (const FourccBits& entry : g_FourccBits)
    {
        if (entry.fcc == fcc)
            return entry.nBits;
    }
    TRACE_ASSERT_TEXT(false, "!_T(\"Fcc2Bits(): unknown FOURCC code\")");
    return 0;
}
