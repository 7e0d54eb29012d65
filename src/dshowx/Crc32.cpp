// CRC-32 (reflected 0xEDB88320, the checksum of zlib): a table path for any
// processor (four interleaved lanes of 8-byte words), and carry-less multiply
// folding paths (PCLMULQDQ on 128-bit registers, VPCLMULQDQ on 256-bit
// registers) chosen once from CPUID. All paths give the same result on every
// length and alignment; the folding paths hand short inputs and tails to the
// tables.
#include "dshowx/DSTraceSample.h"

#include <cpuid.h>
#include <immintrin.h>
#include <string.h>

namespace
{

// ---------------------------------------------------------------------------
// Tables, built by the compiler. Entry [k][i] of m_aWord is the state after
// byte i followed by k zero bytes, so an 8-byte word folds with eight
// lookups; m_aLane is the same shifted by a further 24 zero bytes, which
// carries a word of one lane over the words of the three others to the
// lane's next word.

const int c_nLanes = 4;
const size_t c_cbWord = 8;
const size_t c_cbBlock = c_nLanes * c_cbWord;

struct CCrcTables
{
    DWORD m_aWord[8][256];
    DWORD m_aLane[8][256];
};

constexpr CCrcTables MakeTables()
{
    CCrcTables tables{};
    DWORD aByte[256] = {};
    for (DWORD i = 0; i < 256; ++i)
    {
        DWORD c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : (c >> 1);
        aByte[i] = c;
    }
    for (int i = 0; i < 256; ++i)
    {
        DWORD c = aByte[i];
        for (size_t k = 0; k < c_cbBlock; ++k, c = aByte[c & 0xFF] ^ (c >> 8))
        {
            if (k < c_cbWord)
                tables.m_aWord[k][i] = c;
            else if (k >= c_cbBlock - c_cbWord)
                tables.m_aLane[k - (c_cbBlock - c_cbWord)][i] = c;
        }
    }
    return tables;
}

constexpr CCrcTables c_tables = MakeTables();

inline DWORD Load32(const BYTE* p)
{
    DWORD dw;
    memcpy(&dw, p, 4);
    return dw;
}

// One 8-byte word through t with the state c folded into its first four
// bytes. The last four bytes do not depend on the state: reading them one by
// one costs loads, which are spare here, instead of shifts and masks, and
// their lookups start before the state is known.
inline DWORD Word8(const DWORD (&t)[8][256], DWORD c, const BYTE* p)
{
    const DWORD a = Load32(p) ^ c;
    const DWORD dwData = (t[3][p[4]] ^ t[2][p[5]]) ^ (t[1][p[6]] ^ t[0][p[7]]);
    return dwData ^ ((t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF]) ^ (t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24]));
}

// State in and out without the final inversion. One state folded word after
// word is bound by the latency of its lookups; four lanes, each owning every
// fourth word, keep four independent states so that their lookups overlap.
// The lanes are joined in order over the last block.
DWORD CrcTableUpdate(DWORD crc, const BYTE* p, size_t cb)
{
    const auto& tWord = c_tables.m_aWord;
    if (cb >= 2 * c_cbBlock)
    {
        const auto& tLane = c_tables.m_aLane;
        DWORD c0 = crc, c1 = 0, c2 = 0, c3 = 0;
        for (; cb >= 2 * c_cbBlock; cb -= c_cbBlock, p += c_cbBlock)
        {
            c0 = Word8(tLane, c0, p);
            c1 = Word8(tLane, c1, p + 8);
            c2 = Word8(tLane, c2, p + 16);
            c3 = Word8(tLane, c3, p + 24);
        }
        crc = Word8(tWord, c0, p);
        crc = Word8(tWord, crc ^ c1, p + 8);
        crc = Word8(tWord, crc ^ c2, p + 16);
        crc = Word8(tWord, crc ^ c3, p + 24);
        cb -= c_cbBlock;
        p += c_cbBlock;
    }
    for (; cb >= c_cbWord; cb -= c_cbWord, p += c_cbWord)
        crc = Word8(tWord, crc, p);
    for (; cb != 0; --cb, ++p)
        crc = tWord[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

// ---------------------------------------------------------------------------
// Folding constants: x^n mod P, bit-reflected and shifted left by one, for
// the fold distances used (n = distance + 32 for the low half, distance - 32
// for the high half).

alignas(16) const unsigned long long c_aFold512[2] = {0x154442bd4ULL, 0x1c6e41596ULL};
alignas(16) const unsigned long long c_aFold128[2] = {0x1751997d0ULL, 0x0ccaa009eULL};
alignas(16) const unsigned long long c_aFold64[2] = {0x163cd6124ULL, 0};
// Barrett reduction: P' and the quotient of x^64 by P, both reflected.
alignas(16) const unsigned long long c_aBarrett[2] = {0x1db710641ULL, 0x1f7011641ULL};
alignas(32) const unsigned long long c_aFold1024[4] = {0x1e88ef372ULL, 0x14a7fe880ULL, 0x1e88ef372ULL,
                                                       0x14a7fe880ULL};

// The 32-bit build may be entered with a stack aligned to 4 bytes only.
#if defined(__i386__)
#define CRC_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define CRC_ALIGN_STACK
#endif

#define CRC_TARGET_CLMUL __attribute__((target("pclmul,sse4.1"))) CRC_ALIGN_STACK
#define CRC_TARGET_VCLMUL __attribute__((target("pclmul,sse4.1,avx2,vpclmulqdq"))) CRC_ALIGN_STACK

CRC_TARGET_CLMUL inline __m128i Fold128(__m128i x, __m128i k, __m128i next)
{
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// 128 bits of remainder down to the 32-bit state.
CRC_TARGET_CLMUL DWORD Reduce128(__m128i x1)
{
    const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(c_aFold128));
    __m128i x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);

    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c_aFold64));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);

    k = _mm_load_si128(reinterpret_cast<const __m128i*>(c_aBarrett));
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask32), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<DWORD>(_mm_extract_epi32(x1, 1));
}

// Four 128-bit lanes folded in parallel over 64-byte blocks; cb >= 64 and a
// multiple of 16.
CRC_TARGET_CLMUL DWORD CrcClmulBlocks(DWORD crc, const BYTE* p, size_t cb)
{
    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    p += 64;
    cb -= 64;
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(c_aFold512));
    for (; cb >= 64; cb -= 64, p += 64)
    {
        x1 = Fold128(x1, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x2 = Fold128(x2, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x3 = Fold128(x3, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x4 = Fold128(x4, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(c_aFold128));
    x1 = Fold128(x1, k, x2);
    x1 = Fold128(x1, k, x3);
    x1 = Fold128(x1, k, x4);
    for (; cb >= 16; cb -= 16, p += 16)
        x1 = Fold128(x1, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return Reduce128(x1);
}

DWORD CrcClmulUpdate(DWORD crc, const BYTE* p, size_t cb)
{
    if (cb < 64)
        return CrcTableUpdate(crc, p, cb);
    const size_t cbBlocks = cb & ~static_cast<size_t>(15);
    crc = CrcClmulBlocks(crc, p, cbBlocks);
    return CrcTableUpdate(crc, p + cbBlocks, cb - cbBlocks);
}

CRC_TARGET_VCLMUL inline __m256i Fold256(__m256i x, __m256i k, __m256i next)
{
    const __m256i lo = _mm256_clmulepi64_epi128(x, k, 0x00);
    const __m256i hi = _mm256_clmulepi64_epi128(x, k, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(lo, hi), next);
}

// Eight 128-bit lanes in four 256-bit registers over 128-byte blocks; cb >=
// 128 and a multiple of 16. The lanes are then folded one by one in order.
CRC_TARGET_VCLMUL DWORD CrcVclmulBlocks(DWORD crc, const BYTE* p, size_t cb)
{
    __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i y2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    __m256i y3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64));
    __m256i y4 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 96));
    y1 = _mm256_xor_si256(y1, _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    p += 128;
    cb -= 128;
    const __m256i k = _mm256_load_si256(reinterpret_cast<const __m256i*>(c_aFold1024));
    for (; cb >= 128; cb -= 128, p += 128)
    {
        y1 = Fold256(y1, k, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        y2 = Fold256(y2, k, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
        y3 = Fold256(y3, k, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64)));
        y4 = Fold256(y4, k, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 96)));
    }
    const __m128i k128 = _mm_load_si128(reinterpret_cast<const __m128i*>(c_aFold128));
    __m128i x = _mm256_castsi256_si128(y1);
    x = Fold128(x, k128, _mm256_extracti128_si256(y1, 1));
    x = Fold128(x, k128, _mm256_castsi256_si128(y2));
    x = Fold128(x, k128, _mm256_extracti128_si256(y2, 1));
    x = Fold128(x, k128, _mm256_castsi256_si128(y3));
    x = Fold128(x, k128, _mm256_extracti128_si256(y3, 1));
    x = Fold128(x, k128, _mm256_castsi256_si128(y4));
    x = Fold128(x, k128, _mm256_extracti128_si256(y4, 1));
    for (; cb >= 16; cb -= 16, p += 16)
        x = Fold128(x, k128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return Reduce128(x);
}

DWORD CrcVclmulUpdate(DWORD crc, const BYTE* p, size_t cb)
{
    if (cb < 256)
        return CrcClmulUpdate(crc, p, cb);
    const size_t cbBlocks = cb & ~static_cast<size_t>(15);
    crc = CrcVclmulBlocks(crc, p, cbBlocks);
    return CrcTableUpdate(crc, p + cbBlocks, cb - cbBlocks);
}

// ---------------------------------------------------------------------------
// Selection

DWORD XCr0()
{
    DWORD dwLo = 0, dwHi = 0;
    __asm__ volatile("xgetbv" : "=a"(dwLo), "=d"(dwHi) : "c"(0));
    return dwLo;
}

bool CpuHas(ECrcPath ePath)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (ePath == eCrcPath_Table)
        return true;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool bClmul = (c & bit_PCLMUL) && (c & bit_SSE4_1);
    if (ePath == eCrcPath_Clmul)
        return bClmul;
    // 256-bit registers need the system to save them (OSXSAVE and XCR0).
    if (!bClmul || !(c & bit_OSXSAVE) || !(c & bit_AVX) || (XCr0() & 6) != 6)
        return false;
    unsigned a7 = 0, b7 = 0, c7 = 0, d7 = 0;
    if (!__get_cpuid_count(7, 0, &a7, &b7, &c7, &d7))
        return false;
    return ePath == eCrcPath_Vclmul256 && (b7 & bit_AVX2) && (c7 & bit_VPCLMULQDQ);
}

ECrcPath BestPath()
{
    if (CpuHas(eCrcPath_Vclmul256))
        return eCrcPath_Vclmul256;
    return CpuHas(eCrcPath_Clmul) ? eCrcPath_Clmul : eCrcPath_Table;
}

// Chosen on first use; concurrent first uses choose the same path.
volatile LONG s_ePath = -1;

ECrcPath CurrentPath()
{
    LONG e = s_ePath;
    if (e < 0)
    {
        e = BestPath();
        s_ePath = e;
    }
    return static_cast<ECrcPath>(e);
}

} // namespace

bool Crc32_IsSupported(ECrcPath ePath)
{
    return ePath >= eCrcPath_Table && ePath <= eCrcPath_Vclmul256 && CpuHas(ePath);
}

ECrcPath Crc32_Path()
{
    return CurrentPath();
}

bool Crc32_SelectPath(ECrcPath ePath)
{
    if (!Crc32_IsSupported(ePath))
        return false;
    s_ePath = ePath;
    return true;
}

void Crc32_SelectBest()
{
    s_ePath = BestPath();
}

DWORD Crc32(const void* pData, size_t cb)
{
    const BYTE* p = static_cast<const BYTE*>(pData);
    if (p == nullptr || cb == 0)
        return 0;
    const DWORD crc = 0xFFFFFFFFu;
    switch (CurrentPath())
    {
    case eCrcPath_Vclmul256:
        return CrcVclmulUpdate(crc, p, cb) ^ 0xFFFFFFFFu;
    case eCrcPath_Clmul:
        return CrcClmulUpdate(crc, p, cb) ^ 0xFFFFFFFFu;
    default:
        return CrcTableUpdate(crc, p, cb) ^ 0xFFFFFFFFu;
    }
}
