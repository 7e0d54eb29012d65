#include <winapi/Format.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <type_traits>

namespace
{

template <typename TChar>
struct CPlatform;

template <>
struct CPlatform<wchar_t>
{
    static int Format(wchar_t* psz, size_t cch, const wchar_t* pszFormat, va_list args)
    {
        return _vsnwprintf(psz, cch, pszFormat, args);
    }
};

template <>
struct CPlatform<char>
{
    static int Format(char* psz, size_t cch, const char* pszFormat, va_list args)
    {
        return _vsnprintf(psz, cch, pszFormat, args);
    }
};

// A character repeated over a machine word.
template <typename TChar>
constexpr size_t Repeated(unsigned uChar)
{
    size_t w = 0;
    for (size_t i = 0; i < sizeof(size_t) / sizeof(TChar); ++i)
        w = (w << (8 * sizeof(TChar))) | uChar;
    return w;
}

// The length of the text before the next '%' or the end. Most of a trace
// line is such text, so it is scanned a word at a time: a word holds a zero
// or a '%' character when the bit trick below finds one. Loads are aligned,
// so a word never reaches into a page the text does not touch.
template <typename TChar>
size_t TextRun(const TChar* pStart)
{
    const TChar* p = pStart;
    while (reinterpret_cast<uintptr_t>(p) % sizeof(size_t) != 0)
    {
        if (*p == 0 || *p == '%')
            return static_cast<size_t>(p - pStart);
        ++p;
    }
    constexpr size_t c_wOnes = Repeated<TChar>(1);
    constexpr size_t c_wHighs = Repeated<TChar>(1u << (8 * sizeof(TChar) - 1));
    constexpr size_t c_wPercents = Repeated<TChar>('%');
    for (;; p += sizeof(size_t) / sizeof(TChar))
    {
        size_t w;
        memcpy(&w, p, sizeof(w));
        const size_t wPercent = w ^ c_wPercents;
        if ((((w - c_wOnes) & ~w) | ((wPercent - c_wOnes) & ~wPercent)) & c_wHighs)
            break;
    }
    while (*p != 0 && *p != '%')
        ++p;
    return static_cast<size_t>(p - pStart);
}

// The output: characters beyond the room are dropped, the count stops there.
template <typename TChar>
class CBoundedText
{
public:
    CBoundedText(TChar* psz, size_t cch) : m_psz(psz), m_cchRoom(cch - 1) {}

    void Put(TChar c)
    {
        if (m_cch < m_cchRoom)
            m_psz[m_cch++] = c;
    }
    // A terminated string of the output's own width, in one pass.
    void PutString(const TChar* psz)
    {
        TChar* pDst = m_psz + m_cch;
        TChar* const pEnd = m_psz + m_cchRoom;
        while (pDst < pEnd && *psz != 0)
            *pDst++ = *psz++;
        m_cch = static_cast<size_t>(pDst - m_psz);
    }
    void Fill(TChar c, int n)
    {
        for (; n > 0 && m_cch < m_cchRoom; --n)
            m_psz[m_cch++] = c;
    }
    // Characters of either width; the other width is ASCII here (the caller
    // hands anything else to the platform).
    template <typename TSrc>
    void Copy(const TSrc* p, size_t n)
    {
        if (n > m_cchRoom - m_cch)
            n = m_cchRoom - m_cch;
        TChar* pDst = m_psz + m_cch;
        m_cch += n;
        // Pieces are short: words moved inline beat a call into the
        // runtime's memcpy.
        if constexpr (std::is_same_v<TSrc, TChar>)
        {
            constexpr size_t c_cchWord = sizeof(size_t) / sizeof(TChar);
            for (; n >= c_cchWord; n -= c_cchWord, p += c_cchWord, pDst += c_cchWord)
            {
                size_t w;
                memcpy(&w, p, sizeof(w));
                memcpy(pDst, &w, sizeof(w));
            }
        }
        for (size_t i = 0; i < n; ++i)
            pDst[i] = static_cast<TChar>(p[i]);
    }
    // Lets the platform write the rest from here.
    void PlatformRest(const TChar* pszFormat, va_list* pArgs)
    {
        const size_t cchLeft = m_cchRoom - m_cch + 1;
        const int n = CPlatform<TChar>::Format(m_psz + m_cch, cchLeft, pszFormat, *pArgs);
        if (n >= 0 && static_cast<size_t>(n) < cchLeft)
        {
            m_cch += n;
            return;
        }
        // Truncated, or stopped at a character the locale cannot convert:
        // what it wrote up to its terminator stands.
        m_psz[m_cchRoom] = 0;
        while (m_cch < m_cchRoom && m_psz[m_cch] != 0)
            ++m_cch;
    }
    int Finish()
    {
        m_psz[m_cch] = 0;
        return static_cast<int>(m_cch);
    }

private:
    TChar* m_psz;
    size_t m_cchRoom;
    size_t m_cch = 0;
};

enum class ESize
{
    Default,
    Short,   // h: short integers, narrow strings and characters
    Long,    // l: 32-bit integers, wide strings and characters
    Int64,   // ll, I64
    Int32,   // I32
    Pointer, // I
    Wide     // w
};

struct CConversion
{
    bool bLeft = false;
    bool bPlus = false;
    bool bSpace = false;
    bool bAlternate = false;
    bool bZero = false;
    int nWidth = 0;
    int nPrecision = -1;
    ESize eSize = ESize::Default;
};

template <typename TChar>
class CFormatter
{
public:
    CFormatter(TChar* psz, size_t cch, va_list* pArgs) : m_out(psz, cch), m_pArgs(pArgs) {}

    int Run(const TChar* p)
    {
        for (;;)
        {
            const size_t cchText = TextRun(p);
            m_out.Copy(p, cchText);
            p += cchText;
            if (*p == 0)
                break;
            // The platform re-reads this conversion's arguments (a '*' width
            // included) when it takes over.
            const TChar* pConversion = p;
            va_list argsAtSpec;
            va_copy(argsAtSpec, *m_pArgs);
            p = Conversion(p + 1);
            if (p == nullptr)
            {
                m_out.PlatformRest(pConversion, &argsAtSpec);
                va_end(argsAtSpec);
                break;
            }
            va_end(argsAtSpec);
        }
        return m_out.Finish();
    }

private:
    // Formats one conversion; returns what follows it, or null when the
    // platform should format from the '%' on.
    const TChar* Conversion(const TChar* p)
    {
        if (const TChar* pNext = PlainConversion(p))
            return pNext;
        CConversion conv;
        p = Flags(p, conv);
        p = Width(p, conv);
        p = Precision(p, conv);
        p = Size(p, conv);
        if (p == nullptr)
            return nullptr;
        switch (*p)
        {
        case '%':
            m_out.Put('%');
            return p + 1;
        case 'd':
        case 'i':
            Signed(conv);
            return p + 1;
        case 'u':
            Unsigned(conv, 10, false);
            return p + 1;
        case 'x':
            Unsigned(conv, 16, false);
            return p + 1;
        case 'X':
            Unsigned(conv, 16, true);
            return p + 1;
        case 'o':
            Unsigned(conv, 8, false);
            return p + 1;
        case 'p':
            Pointer(conv);
            return p + 1;
        case 'c':
        case 'C':
            return Character(conv, IsWide(conv, *p == 'c')) ? p + 1 : nullptr;
        case 's':
        case 'S':
            return String(conv, IsWide(conv, *p == 's')) ? p + 1 : nullptr;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            Floating(conv, *p);
            return p + 1;
        default:
            return nullptr;
        }
    }

    // Most conversions of a trace line have no flag, width, precision or
    // size other than I64: they skip the general path. Null, without reading
    // an argument, for any other.
    const TChar* PlainConversion(const TChar* p)
    {
        switch (p[0])
        {
        case 's':
        {
            const TChar* psz = va_arg(*m_pArgs, const TChar*);
            static const TChar c_szNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
            m_out.PutString(psz != nullptr ? psz : c_szNull);
            return p + 1;
        }
        case 'd':
        case 'i':
        {
            const int32_t n = va_arg(*m_pArgs, int32_t);
            PlainDecimal(n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n), n < 0);
            return p + 1;
        }
        case 'u':
            PlainDecimal(va_arg(*m_pArgs, uint32_t), false);
            return p + 1;
        case 'I':
            if (p[1] != '6' || p[2] != '4' || (p[3] != 'i' && p[3] != 'd'))
                return nullptr;
            {
                const int64_t n = va_arg(*m_pArgs, int64_t);
                PlainDecimal(n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n), n < 0);
            }
            return p + 4;
        default:
            return nullptr;
        }
    }

    void PlainDecimal(uint64_t u, bool bNegative)
    {
        TChar szText[24];
        TChar* const pEnd = szText + 24;
        TChar* p = Digits(pEnd, u, 10, false);
        if (bNegative)
            *--p = '-';
        m_out.Copy(p, static_cast<size_t>(pEnd - p));
    }

    static const TChar* Flags(const TChar* p, CConversion& conv)
    {
        for (;; ++p)
        {
            switch (*p)
            {
            case '-': conv.bLeft = true; break;
            case '+': conv.bPlus = true; break;
            case ' ': conv.bSpace = true; break;
            case '#': conv.bAlternate = true; break;
            case '0': conv.bZero = true; break;
            default: return p;
            }
        }
    }

    const TChar* Width(const TChar* p, CConversion& conv)
    {
        if (*p == '*')
        {
            conv.nWidth = va_arg(*m_pArgs, int);
            if (conv.nWidth < 0)
            {
                conv.bLeft = true;
                conv.nWidth = -conv.nWidth;
            }
            return p + 1;
        }
        return Number(p, conv.nWidth);
    }

    const TChar* Precision(const TChar* p, CConversion& conv)
    {
        if (*p != '.')
            return p;
        ++p;
        if (*p == '*')
        {
            const int n = va_arg(*m_pArgs, int);
            conv.nPrecision = n < 0 ? -1 : n;
            return p + 1;
        }
        conv.nPrecision = 0;
        return Number(p, conv.nPrecision);
    }

    static const TChar* Number(const TChar* p, int& n)
    {
        for (; *p >= '0' && *p <= '9'; ++p)
            if (n < 100000)
                n = n * 10 + (*p - '0');
        return p;
    }

    // Null for a size outside the subset.
    static const TChar* Size(const TChar* p, CConversion& conv)
    {
        switch (*p)
        {
        case 'h':
            conv.eSize = ESize::Short;
            return p + 1;
        case 'l':
            if (p[1] == 'l')
            {
                conv.eSize = ESize::Int64;
                return p + 2;
            }
            conv.eSize = ESize::Long;
            return p + 1;
        case 'w':
            conv.eSize = ESize::Wide;
            return p + 1;
        case 'I':
            if (p[1] == '6' && p[2] == '4')
            {
                conv.eSize = ESize::Int64;
                return p + 3;
            }
            if (p[1] == '3' && p[2] == '2')
            {
                conv.eSize = ESize::Int32;
                return p + 3;
            }
            conv.eSize = ESize::Pointer;
            return p + 1;
        case 'L':
        case 'z':
        case 'j':
        case 't':
        case 'q':
            return nullptr;
        default:
            return p;
        }
    }

    // Whether a string or character argument is wide: the lower-case
    // conversion has the format's own width, the upper-case one the other.
    static bool IsWide(const CConversion& conv, bool bLowerCase)
    {
        if (conv.eSize == ESize::Short)
            return false;
        if (conv.eSize == ESize::Long || conv.eSize == ESize::Wide)
            return true;
        const bool bFormatWide = sizeof(TChar) == sizeof(wchar_t);
        return bLowerCase ? bFormatWide : !bFormatWide;
    }

    void Signed(const CConversion& conv)
    {
        int64_t n;
        switch (conv.eSize)
        {
        case ESize::Int64: n = va_arg(*m_pArgs, int64_t); break;
        case ESize::Pointer: n = va_arg(*m_pArgs, intptr_t); break;
        case ESize::Short: n = static_cast<short>(va_arg(*m_pArgs, int)); break;
        default: n = va_arg(*m_pArgs, int32_t); break;
        }
        const uint64_t u = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
        TChar szPrefix[2] = {};
        if (n < 0)
            szPrefix[0] = '-';
        else if (conv.bPlus)
            szPrefix[0] = '+';
        else if (conv.bSpace)
            szPrefix[0] = ' ';
        Integer(conv, u, 10, false, szPrefix);
    }

    void Unsigned(const CConversion& conv, unsigned uBase, bool bUpper)
    {
        uint64_t u;
        switch (conv.eSize)
        {
        case ESize::Int64: u = va_arg(*m_pArgs, uint64_t); break;
        case ESize::Pointer: u = va_arg(*m_pArgs, uintptr_t); break;
        case ESize::Short: u = static_cast<unsigned short>(va_arg(*m_pArgs, unsigned)); break;
        default: u = va_arg(*m_pArgs, uint32_t); break;
        }
        TChar szPrefix[3] = {};
        if (conv.bAlternate && u != 0 && uBase == 16)
        {
            szPrefix[0] = '0';
            szPrefix[1] = bUpper ? 'X' : 'x';
        }
        Integer(conv, u, uBase, bUpper, szPrefix, conv.bAlternate && uBase == 8);
    }

    void Pointer(CConversion conv)
    {
        const uintptr_t u = reinterpret_cast<uintptr_t>(va_arg(*m_pArgs, void*));
        if (conv.nPrecision < 0)
            conv.nPrecision = static_cast<int>(2 * sizeof(void*));
        TChar szPrefix[3] = {};
        if (conv.bAlternate && u != 0)
        {
            szPrefix[0] = '0';
            szPrefix[1] = 'X';
        }
        Integer(conv, u, 16, true, szPrefix);
    }

    void Integer(const CConversion& conv, uint64_t u, unsigned uBase, bool bUpper, const TChar* pszPrefix, bool bOctalZero = false)
    {
        TChar szDigits[24];
        TChar* const pEnd = szDigits + 24;
        const TChar* const pFirst = (u != 0 || conv.nPrecision != 0) ? Digits(pEnd, u, uBase, bUpper) : pEnd;
        int cDigits = static_cast<int>(pEnd - pFirst);
        int cZeros = conv.nPrecision > cDigits ? conv.nPrecision - cDigits : 0;
        if (bOctalZero && cZeros == 0 && (cDigits == 0 || *pFirst != '0'))
            cZeros = 1;
        int cPrefix = 0;
        while (pszPrefix[cPrefix])
            ++cPrefix;
        const int cPad = conv.nWidth - cPrefix - cZeros - cDigits;
        // The platform pads with zeros even when a precision is given.
        const bool bZeroPad = conv.bZero && !conv.bLeft;
        if (!conv.bLeft && !bZeroPad)
            m_out.Fill(' ', cPad);
        m_out.Copy(pszPrefix, cPrefix);
        if (bZeroPad)
            m_out.Fill('0', cPad);
        m_out.Fill('0', cZeros);
        m_out.Copy(pFirst, static_cast<size_t>(cDigits));
        if (conv.bLeft)
            m_out.Fill(' ', cPad);
    }

    // Writes the digits backwards from pEnd; returns the first. A 64-bit
    // division is a library call on 32-bit processors, so decimal digits come
    // from 32-bit pieces, two per division, and the other bases from shifts.
    static TChar* Digits(TChar* pEnd, uint64_t u, unsigned uBase, bool bUpper)
    {
        static const char c_szLower[] = "0123456789abcdef";
        static const char c_szUpper[] = "0123456789ABCDEF";
        static const char c_szPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                        "8081828384858687888990919293949596979899";
        TChar* p = pEnd;
        if (uBase != 10)
        {
            const char* pszDigits = bUpper ? c_szUpper : c_szLower;
            const unsigned uShift = uBase == 16 ? 4 : 3;
            do
            {
                *--p = pszDigits[u & (uBase - 1)];
                u >>= uShift;
            } while (u != 0);
            return p;
        }
        while (u > 0xFFFFFFFFu)
        {
            uint32_t uPiece = static_cast<uint32_t>(u % 1000000000u);
            u /= 1000000000u;
            for (int i = 0; i < 9; ++i, uPiece /= 10)
                *--p = static_cast<TChar>('0' + uPiece % 10);
        }
        uint32_t uLow = static_cast<uint32_t>(u);
        while (uLow >= 100)
        {
            const uint32_t uPair = (uLow % 100) * 2;
            uLow /= 100;
            *--p = c_szPairs[uPair + 1];
            *--p = c_szPairs[uPair];
        }
        if (uLow >= 10)
        {
            *--p = c_szPairs[uLow * 2 + 1];
            *--p = c_szPairs[uLow * 2];
        }
        else
        {
            *--p = static_cast<TChar>('0' + uLow);
        }
        return p;
    }

    bool Character(const CConversion& conv, bool bWide)
    {
        const int n = va_arg(*m_pArgs, int);
        const unsigned uCode = bWide ? static_cast<unsigned>(static_cast<wchar_t>(n)) : static_cast<unsigned char>(n);
        if (IsForeign(bWide) && uCode >= 0x80)
            return false;
        const TChar c = static_cast<TChar>(uCode);
        Padded(conv, 1, [&] { m_out.Put(c); });
        return true;
    }

    bool String(const CConversion& conv, bool bWide)
    {
        if (bWide)
            return StringOf(conv, va_arg(*m_pArgs, const wchar_t*), IsForeign(true));
        return StringOf(conv, va_arg(*m_pArgs, const char*), IsForeign(false));
    }

    template <typename TSrc>
    bool StringOf(const CConversion& conv, const TSrc* psz, bool bForeign)
    {
        static const TSrc c_szNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
        if (psz == nullptr)
            psz = c_szNull;
        size_t cch = 0;
        const size_t cchMax = conv.nPrecision < 0 ? SIZE_MAX : static_cast<size_t>(conv.nPrecision);
        for (; cch < cchMax && psz[cch]; ++cch)
            if (bForeign && static_cast<std::make_unsigned_t<TSrc>>(psz[cch]) >= 0x80)
                return false;
        Padded(conv, static_cast<int>(cch < 0x7fffffff ? cch : 0x7fffffff), [&] { m_out.Copy(psz, cch); });
        return true;
    }

    // A string or character of the other width: its conversion beyond ASCII
    // depends on the locale, which the platform knows.
    static bool IsForeign(bool bWide) { return bWide != (sizeof(TChar) == sizeof(wchar_t)); }

    template <typename TBody>
    void Padded(const CConversion& conv, int cch, TBody body)
    {
        const int cPad = conv.nWidth - cch;
        if (!conv.bLeft)
            m_out.Fill(conv.bZero ? '0' : ' ', cPad);
        body();
        if (conv.bLeft)
            m_out.Fill(' ', cPad);
    }

    void Floating(const CConversion& conv, TChar cConversion)
    {
        const double d = va_arg(*m_pArgs, double);
        TChar szSpec[40];
        int n = 0;
        szSpec[n++] = '%';
        if (conv.bLeft)
            szSpec[n++] = '-';
        if (conv.bPlus)
            szSpec[n++] = '+';
        if (conv.bSpace)
            szSpec[n++] = ' ';
        if (conv.bAlternate)
            szSpec[n++] = '#';
        if (conv.bZero)
            szSpec[n++] = '0';
        n = PutNumber(szSpec, n, conv.nWidth);
        if (conv.nPrecision >= 0)
        {
            szSpec[n++] = '.';
            n = PutNumber(szSpec, n, conv.nPrecision);
        }
        szSpec[n++] = cConversion;
        szSpec[n] = 0;
        TChar szValue[512];
        Platform(szValue, 512, szSpec, d);
        size_t cch = 0;
        while (szValue[cch])
            ++cch;
        m_out.Copy(szValue, cch);
    }

    static int PutNumber(TChar* psz, int n, int nValue)
    {
        TChar sz[8];
        int c = 0;
        do
        {
            sz[c++] = static_cast<TChar>('0' + nValue % 10);
            nValue /= 10;
        } while (nValue != 0 && c < 8);
        while (c > 0)
            psz[n++] = sz[--c];
        return n;
    }

    static void Platform(TChar* psz, size_t cch, const TChar* pszFormat, ...)
    {
        va_list args;
        va_start(args, pszFormat);
        const int n = CPlatform<TChar>::Format(psz, cch, pszFormat, args);
        va_end(args);
        psz[(n < 0 || static_cast<size_t>(n) >= cch) ? cch - 1 : static_cast<size_t>(n)] = 0;
    }

    CBoundedText<TChar> m_out;
    va_list* m_pArgs;
};

template <typename TChar>
int FormatAny(TChar* psz, size_t cch, const TChar* pszFormat, va_list args)
{
    if (psz == nullptr || cch == 0)
        return 0;
    if (pszFormat == nullptr)
    {
        psz[0] = 0;
        return 0;
    }
    return CFormatter<TChar>(psz, cch, &args).Run(pszFormat);
}

} // namespace

int FormatV(LPWSTR pszDst, size_t cchDst, LPCWSTR pszFormat, va_list args)
{
    return FormatAny(pszDst, cchDst, pszFormat, args);
}

int FormatV(LPSTR pszDst, size_t cchDst, LPCSTR pszFormat, va_list args)
{
    return FormatAny(pszDst, cchDst, pszFormat, args);
}
