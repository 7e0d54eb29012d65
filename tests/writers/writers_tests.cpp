// Block compression, the file writer and the bitmap writer, checked on the
// bytes they produce.
#include <windows.h>

#include <classes/Writers.h>
#include <winapi/Wrappers.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Files.h"
#include "support/TraceCapture.h"

namespace
{
std::vector<BYTE> Encode(const std::vector<BYTE>& data)
{
    std::vector<BYTE> out(data.size() / 8 + 16);
    const ULONG cb = BlockCompress(data.data(), static_cast<ULONG>(data.size()), out.data(), static_cast<ULONG>(out.size()));
    out.resize(cb);
    return out;
}

std::vector<BYTE> Decode(const std::vector<BYTE>& encoded, size_t cb, HRESULT* phr = nullptr, DWORD* pdwBad = nullptr)
{
    std::vector<BYTE> out(cb, 0xCC);
    const HRESULT hr =
        BlockDecompress(encoded.data(), static_cast<ULONG>(encoded.size()), out.data(), static_cast<ULONG>(cb), pdwBad);
    if (phr != nullptr)
        *phr = hr;
    return out;
}

// Blocks of 16 bytes, each filled with the value its pattern letter gives.
std::vector<BYTE> Blocks(const std::string& pattern, size_t cbTail = 0)
{
    std::vector<BYTE> v;
    for (char c : pattern)
        v.insert(v.end(), 16, static_cast<BYTE>(c));
    for (size_t i = 0; i < cbTail; ++i)
        v.push_back(static_cast<BYTE>(0xA0 + i));
    return v;
}

std::vector<BYTE> Noise(size_t cb, unsigned nSeed = 1)
{
    std::vector<BYTE> v(cb);
    for (BYTE& b : v)
    {
        nSeed = nSeed * 1103515245u + 12345u;
        b = static_cast<BYTE>(nSeed >> 16);
    }
    return v;
}

DWORD Dword(const std::vector<BYTE>& v, size_t n)
{
    DWORD dw;
    memcpy(&dw, v.data() + n, 4);
    return dw;
}

std::wstring TempDir()
{
    WCHAR sz[MAX_PATH];
    GetTempPathW(MAX_PATH, sz);
    std::wstring dir = std::wstring(sz) + L"velmora_writers";
    CreateDirectoryW(dir.c_str(), NULL);
    return dir + L"\\";
}

} // namespace

// ---- Block compression ---------------------------------------------------------

TEST(BlockCompression, LongRunBecomesOneDescriptorWithItsCount)
{
    const std::vector<BYTE> data = Blocks(std::string(64, 'z'));
    const std::vector<BYTE> enc = Encode(data);
    ASSERT_EQ(32u, enc.size());
    EXPECT_EQ(0, memcmp(enc.data(), "[##]", 4));
    EXPECT_EQ(0u, Dword(enc, 4));
    EXPECT_EQ(16u, Dword(enc, 8));
    EXPECT_EQ(64u, Dword(enc, 12));
    EXPECT_EQ(std::vector<BYTE>(16, 'z'), std::vector<BYTE>(enc.begin() + 16, enc.end()));
    EXPECT_EQ(data, Decode(enc, data.size()));
}

TEST(BlockCompression, LiteralsBetweenStretchesAndTheTailAreKept)
{
    // a literal, a stretch, a literal, a stretch reaching the end, 5 tail bytes
    const std::vector<BYTE> data = Blocks("x" + std::string(40, 'a') + "yz" + std::string(40, 'b'), 5);
    const std::vector<BYTE> enc = Encode(data);
    ASSERT_FALSE(enc.empty());
    EXPECT_LE(enc.size(), data.size() / 8);
    // Descriptors: x(16), a*40, yz(32), b*40, tail(5).
    EXPECT_EQ(16u * 5 + 16 + 16 + 32 + 16 + 5, enc.size());
    EXPECT_EQ(data.size() % 16, enc.size() % 16); // so that 16 - cb % 16 zero bytes pad it
    EXPECT_EQ(16u, Dword(enc, 32 + 4));           // the stretch of a starts after x
    EXPECT_EQ(40u, Dword(enc, 32 + 12));
    EXPECT_EQ(data, Decode(enc, data.size()));
}

TEST(BlockCompression, RoundTripsAroundTheSizeEdges)
{
    // Sizes around the 255-byte floor and the 16-byte block edges.
    for (size_t cb : {256u, 257u, 271u, 272u, 273u, 287u, 288u, 4095u, 4096u, 4097u, 65536u})
    {
        SCOPED_TRACE(cb);
        std::vector<BYTE> data(cb, 7);
        for (size_t i = cb - cb % 16; i < cb; ++i)
            data[i] = static_cast<BYTE>(i);
        const std::vector<BYTE> enc = Encode(data);
        if (enc.empty())
            continue; // stored raw is a valid outcome; it must then be chosen by size
        EXPECT_LE(enc.size(), cb / 8);
        EXPECT_EQ(data, Decode(enc, cb));
    }
    std::vector<BYTE> small(255, 0);
    EXPECT_TRUE(Encode(small).empty()); // always raw at 255 bytes
}

TEST(BlockCompression, DataWithoutEnoughRepetitionIsStoredRaw)
{
    EXPECT_TRUE(Encode(Noise(4096)).empty());
    // Short runs only: pairs of equal blocks cost as much as they save.
    std::string pairs;
    for (int i = 0; i < 64; ++i)
        pairs += std::string(2, static_cast<char>('A' + i % 26));
    EXPECT_TRUE(Encode(Blocks(pairs)).empty());
}

TEST(BlockCompression, TheTwoHundredFiftySixthDescriptorAbandonsTheWalk)
{
    // Each "ppq" unit makes a stretch and a literal: two descriptors.
    std::string pattern;
    for (int i = 0; i < 127; ++i)
        pattern += std::string(300, static_cast<char>('a' + i % 20)) + "Q";
    const std::vector<BYTE> within = Blocks(pattern + std::string(300, 'z'));
    const std::vector<BYTE> enc = Encode(within); // 254 during the walk, one tail
    ASSERT_FALSE(enc.empty());
    EXPECT_EQ(within, Decode(enc, within.size()));

    pattern += std::string(300, 'y') + "Q";
    EXPECT_TRUE(Encode(Blocks(pattern + std::string(300, 'z'))).empty()) << "256 descriptors during the walk";
}

TEST(BlockCompression, CorruptStreamsNameTheFaultyDescriptor)
{
    const std::vector<BYTE> data = Blocks(std::string(32, 'a') + "b" + std::string(32, 'c'));
    const std::vector<BYTE> enc = Encode(data);
    ASSERT_EQ(16u * 3 + 48u, enc.size());
    HRESULT hr = S_OK;
    DWORD dwBad = 0xFFFF;

    std::vector<BYTE> bad = enc;
    bad[32 + 0] = 'X'; // magic of the second descriptor
    Decode(bad, data.size(), &hr, &dwBad);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), hr);
    EXPECT_EQ(32u, dwBad);

    bad = enc;
    bad[12] = 0xFF; // a count that runs past the sample
    Decode(bad, data.size(), &hr, &dwBad);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), hr);
    EXPECT_EQ(0u, dwBad);

    bad.assign(enc.begin(), enc.end() - 20); // truncated in the last descriptor
    Decode(bad, data.size(), &hr, &dwBad);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), hr);
    EXPECT_EQ(64u, dwBad);

    Decode(enc, data.size() + 16, &hr, &dwBad); // runs end short of the sample size
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), hr);
}

TEST(BlockCompression, EqualityTestDecodesWithoutCopying)
{
    const std::vector<BYTE> data = Blocks(std::string(40, 'a'), 3);
    const std::vector<BYTE> enc = Encode(data);
    ASSERT_FALSE(enc.empty());
    EXPECT_TRUE(BlockEqual(enc.data(), static_cast<ULONG>(enc.size()), data.data(), static_cast<ULONG>(data.size())));
    std::vector<BYTE> other = data;
    other[300] ^= 1;
    EXPECT_FALSE(BlockEqual(enc.data(), static_cast<ULONG>(enc.size()), other.data(), static_cast<ULONG>(other.size())));
    EXPECT_FALSE(BlockEqual(enc.data(), static_cast<ULONG>(enc.size()), data.data(), static_cast<ULONG>(data.size() - 1)));
}

TEST(BufferObject, RecordIsAlignedWithAZeroHeaderAndRoundedUp)
{
    for (ULONG cb : {0u, 1u, 15u, 16u, 17u, 1000u})
    {
        CBufferObject* p = nullptr;
        ASSERT_EQ(S_OK, CBufferObject::Create(cb, &p));
        EXPECT_EQ((cb + 79) & ~15u, p->BufferSize());
        EXPECT_EQ(0u, reinterpret_cast<UINT_PTR>(p->Buffer()) % 16);
        EXPECT_EQ(std::vector<BYTE>(64, 0), std::vector<BYTE>(p->Buffer(), p->Buffer() + 64));
        p->AddRef();
        EXPECT_EQ(1u, p->Release());
        EXPECT_EQ(0u, p->Release());
    }
}

// ---- CFileWriter -------------------------------------------------------------------

TEST(FileWriter, WritesReportsItsPathAndDeletesOnRequest)
{
    CTraceCapture trace;
    const std::wstring name = TempDir() + L"writer.dat";
    CFileWriter writer;
    EXPECT_FALSE(writer.IsOpen());
    ASSERT_EQ(S_OK, writer.Open(name.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(writer.IsOpen());
    EXPECT_NE(nullptr, wcsstr(writer.FullPath(), L"writer.dat"));
    EXPECT_NE(0, wcsncmp(writer.FullPath(), L"\\\\?\\", 4));
    EXPECT_EQ(S_OK, writer.Write("abcdef", 6));
    EXPECT_EQ(S_OK, writer.WriteAt(2, "XY", 2));
    EXPECT_EQ(4, writer.Position());
    EXPECT_EQ(E_INVALIDARG, writer.Write("x", 0));
    writer.Close();
    EXPECT_EQ((std::vector<BYTE>{'a', 'b', 'X', 'Y', 'e', 'f'}), ReadAll(name));
    EXPECT_EQ(E_UNEXPECTED, writer.Write("x", 1));

    // Reopening replaces the file; a truncation drops what followed.
    ASSERT_EQ(S_OK, writer.Open(name.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(S_OK, writer.Write("12", 2));
    writer.Close();
    EXPECT_EQ((std::vector<BYTE>{'1', '2'}), ReadAll(name));
    ASSERT_EQ(S_OK, writer.Open(name.c_str(), FILE_FLAG_WRITE_THROUGH));
    EXPECT_EQ(S_OK, writer.Write("123456", 6));
    EXPECT_EQ(S_OK, writer.Truncate(3));
    writer.Close();
    EXPECT_EQ((std::vector<BYTE>{'1', '2', '3'}), ReadAll(name));

    ASSERT_EQ(S_OK, writer.Open(name.c_str(), FILE_ATTRIBUTE_NORMAL));
    writer.Close(true);
    EXPECT_FALSE(Exists(name));
    EXPECT_TRUE(Traced(trace, L"(FileWriter) Open( '" + name + L"', 0x80 )\n"));
}

TEST(FileWriter, RefusesBadArgumentsAndReportsTheSystemError)
{
    CTraceCapture trace;
    CFileWriter writer;
    EXPECT_EQ(E_INVALIDARG, writer.Open(L"", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(E_INVALIDARG, writer.Open(L"x.dat", FILE_ATTRIBUTE_HIDDEN));
    const std::wstring name = TempDir() + L"no such dir\\x.dat";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), writer.Open(name.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_TRUE(Traced(trace, L"###Err### (FileWriter) Open(): CreateFile( '" + name + L"', 0x80 )=3\n"));
}

TEST(FileWriter, AFullDiskFailsTheWrite)
{
    CTraceCapture trace;
    CFileWriter writer;
    // Wine maps the Unix root to Z:, and writes to /dev/full fail with ENOSPC.
    if (FAILED(writer.Open(L"Z:\\dev\\full", FILE_ATTRIBUTE_NORMAL)))
        GTEST_SKIP() << "no full device";
    const HRESULT hr = writer.Write("abcd", 4);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_TRUE(Traced(trace, L"###Err### (FileWriter) Write(): WriteFile( 0x"));
}

// ---- BufferToBmpFile ---------------------------------------------------------------

namespace
{
constexpr DWORD FCC_RGB32 = 0xE436EB7E, FCC_RGB24 = 0xE436EB7D, FCC_RGB565 = 0xE436EB7B, FCC_ARGB32 = 0x773C9AC0;

std::vector<BYTE> Bmp(DWORD fcc, long nWidth, long lHeight, const std::vector<BYTE>& src, long cbRow = 0,
                      HRESULT* phr = nullptr)
{
    const std::wstring name = TempDir() + L"pic.bmp";
    DeleteFileW(name.c_str());
    CComBSTR bsPath;
    const HRESULT hr = BufferToBmpFile(name.c_str(), src.data(), fcc, nWidth, lHeight, cbRow, std::addressof(bsPath), src.size());
    if (phr != nullptr)
        *phr = hr;
    else
        EXPECT_EQ(S_OK, hr);
    if (SUCCEEDED(hr))
    {
        EXPECT_NE(nullptr, wcsstr(bsPath, L"pic.bmp"));
    }
    return ReadAll(name);
}

std::vector<BYTE> Seq(size_t cb)
{
    std::vector<BYTE> v(cb);
    for (size_t i = 0; i < cb; ++i)
        v[i] = static_cast<BYTE>(i + 1);
    return v;
}
} // namespace

TEST(BitmapFile, Rgb24HeadersAndPaddedRowsByteForByte)
{
    // 3 x 2 pixels: rows of 9 bytes padded to 12 in the source and the file.
    const std::vector<BYTE> src = Seq(24);
    const std::vector<BYTE> bmp = Bmp(FCC_RGB24, 3, 2, src);
    ASSERT_EQ(54u + 24u, bmp.size());
    const BYTE header[54] = {'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, // file header
                             40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 24, 0, 0, 0};
    EXPECT_EQ(std::vector<BYTE>(header, header + 54), std::vector<BYTE>(bmp.begin(), bmp.begin() + 54));
    std::vector<BYTE> rows = src;
    for (int r = 0; r < 2; ++r)
        std::fill(rows.begin() + r * 12 + 9, rows.begin() + r * 12 + 12, 0); // padding is written as zero
    EXPECT_EQ(rows, std::vector<BYTE>(bmp.begin() + 54, bmp.end()));
}

TEST(BitmapFile, TopDownRgbIsWrittenFromTheLastRowAndStridesAreHonoured)
{
    // 2 x 3 RGB32, source stride 12 bytes (4 bytes of slack per row).
    const std::vector<BYTE> src = Seq(36);
    const std::vector<BYTE> bmp = Bmp(FCC_ARGB32, 2, -3, src, 12);
    ASSERT_EQ(54u + 24u, bmp.size());
    EXPECT_EQ(3u, Dword(bmp, 22)); // stored bottom-up with a positive height
    EXPECT_EQ(0u, Dword(bmp, 30));
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(std::vector<BYTE>(src.begin() + (2 - y) * 12, src.begin() + (2 - y) * 12 + 8),
                  std::vector<BYTE>(bmp.begin() + 54 + y * 8, bmp.begin() + 54 + y * 8 + 8));

    HRESULT hr = S_OK;
    Bmp(FCC_RGB32, 4, 3, src, 12, &hr); // stride shorter than a row
    EXPECT_EQ(E_INVALIDARG, hr);
}

TEST(BitmapFile, Rgb565CarriesItsMasks)
{
    const std::vector<BYTE> src = Seq(8);
    const std::vector<BYTE> bmp = Bmp(FCC_RGB565, 2, 2, src);
    ASSERT_EQ(66u + 8u, bmp.size());
    EXPECT_EQ(74u, Dword(bmp, 2));
    EXPECT_EQ(66u, Dword(bmp, 10));
    EXPECT_EQ(16u, bmp[28]);
    EXPECT_EQ(static_cast<DWORD>(BI_BITFIELDS), Dword(bmp, 30));
    EXPECT_EQ(0xF800u, Dword(bmp, 54));
    EXPECT_EQ(0x07E0u, Dword(bmp, 58));
    EXPECT_EQ(0x001Fu, Dword(bmp, 62));
    EXPECT_EQ(src, std::vector<BYTE>(bmp.begin() + 66, bmp.end()));
}

TEST(BitmapFile, PackedYuvKeepsSourceOrderAndItsFourcc)
{
    const std::vector<BYTE> src = Seq(16);
    const std::vector<BYTE> bmp = Bmp(MAKEFOURCC('U', 'Y', 'V', 'Y'), 4, 2, src);
    ASSERT_EQ(54u + 16u, bmp.size());
    EXPECT_EQ(static_cast<DWORD>(MAKEFOURCC('U', 'Y', 'V', 'Y')), Dword(bmp, 30));
    EXPECT_EQ(16u, Dword(bmp, 34));
    EXPECT_EQ(src, std::vector<BYTE>(bmp.begin() + 54, bmp.end()));
}

TEST(BitmapFile, PlanarLumaRowsThenChromaPlanes)
{
    // 4 x 2 I420 with a source stride of 8: luma 8 x 2, chroma planes 4 x 1 each.
    std::vector<BYTE> src = Seq(16 + 8);
    const std::vector<BYTE> bmp = Bmp(MAKEFOURCC('I', '4', '2', '0'), 4, 2, src, 8);
    ASSERT_EQ(54u + 12u, bmp.size());
    EXPECT_EQ(12u, Dword(bmp, 34));
    EXPECT_EQ(12u, bmp[28]);
    const std::vector<BYTE> expected = {1, 2, 3, 4, 9, 10, 11, 12, 17, 18, 21, 22};
    EXPECT_EQ(expected, std::vector<BYTE>(bmp.begin() + 54, bmp.end()));
}

TEST(BitmapFile, RefusesWhatItCannotWriteAndLeavesNoFile)
{
    const std::vector<BYTE> src = Seq(64);
    const std::wstring name = TempDir() + L"pic.bmp";
    struct Case
    {
        DWORD fcc;
        long nWidth, lHeight;
        size_t cbBuffer;
        HRESULT hr;
    } cases[] = {
        {MAKEFOURCC('Y', 'U', 'Y', '2'), 3, 2, 64, E_INVALIDARG},  // odd width of a packed YUV format
        {MAKEFOURCC('Y', 'V', '1', '2'), 4, 3, 64, E_INVALIDARG},  // odd height of a planar one
        {MAKEFOURCC('M', 'J', 'P', 'G'), 4, 2, 64, E_INVALIDARG},  // not a bitmap format
        {FCC_RGB32, 0, 2, 64, E_INVALIDARG},
        {FCC_RGB32, 4, 0, 64, E_INVALIDARG},
        {FCC_RGB32, 4, 5, 64, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)}, // 80 bytes in 64
        {FCC_RGB32, 0x7FFFFFFF, 0x7FFFFFFF, 64, E_INVALIDARG},               // sizes that overflow
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.fcc << " " << c.nWidth << "x" << c.lHeight);
        DeleteFileW(name.c_str());
        EXPECT_EQ(c.hr, BufferToBmpFile(name.c_str(), src.data(), c.fcc, c.nWidth, c.lHeight, 0, nullptr, c.cbBuffer));
        EXPECT_FALSE(Exists(name));
    }
    EXPECT_EQ(E_POINTER, BufferToBmpFile(name.c_str(), nullptr, FCC_RGB32, 2, 2, 0, nullptr, 64));
    EXPECT_EQ(E_INVALIDARG, BufferToBmpFile(nullptr, src.data(), FCC_RGB32, 2, 2, 0, nullptr, 64));
}

TEST(FinalPath, TheLongPathPrefixGoesAndAShareKeepsItsBackslashes)
{
    const struct
    {
        LPCWSTR pszIn;
        LPCWSTR pszOut;
    } cases[] = {
        {L"\\\\?\\C:\\cap\\x.bin", L"C:\\cap\\x.bin"},
        {L"\\\\?\\UNC\\server\\share\\x.bin", L"\\\\server\\share\\x.bin"},
        {L"C:\\plain", L"C:\\plain"},
    };
    for (const auto& c : cases)
    {
        WCHAR sz[64];
        StripLongPathPrefix(c.pszIn, sz, 64);
        EXPECT_STREQ(c.pszOut, sz);
    }
}

TEST(RecordPool, ReusesFittingRecordsWithinItsBoundAndFreesThemWhenClosed)
{
    CAutoCritSec_SC lock(0);
    CRecordPool pool(lock);
    pool.Open();
    CBufferObject* p = nullptr;
    ASSERT_EQ(S_OK, pool.Take(5000, &p));
    BYTE* pb = p->Buffer();
    p->Record()->cbStored = 7;
    p->Release();
    EXPECT_EQ(1u, pool.SpareCount());
    // A sample of a similar size gets the same block with a clean header.
    ASSERT_EQ(S_OK, pool.Take(4990, &p));
    EXPECT_EQ(pb, p->Buffer());
    EXPECT_EQ(CAPSMP2_SIZE(4990), p->BufferSize());
    EXPECT_EQ(0u, p->Record()->cbStored);
    // A far smaller one does not take a large block.
    CBufferObject* pSmall = nullptr;
    p->Release();
    ASSERT_EQ(S_OK, pool.Take(100, &pSmall));
    EXPECT_NE(pb, pSmall->Buffer());
    pSmall->Release();

    std::vector<CBufferObject*> v(CRecordPool::MAX_SPARES + 8);
    for (auto& pv : v)
        ASSERT_EQ(S_OK, pool.Take(1000, &pv));
    for (auto* pv : v)
        pv->Release();
    EXPECT_EQ(CRecordPool::MAX_SPARES, pool.SpareCount());
    pool.Close();
    EXPECT_EQ(0u, pool.SpareCount());
    // Closed: what comes back is freed, and nothing is refilled.
    ASSERT_EQ(S_OK, pool.Take(1000, &p));
    p->Release();
    pool.Refill(1000, 4);
    EXPECT_EQ(0u, pool.SpareCount());

    // The worker's refill stops at the count asked for and at the byte bound.
    pool.Open();
    pool.Refill(5000, 3);
    EXPECT_EQ(3u, pool.SpareCount());
    ASSERT_EQ(S_OK, pool.Take(5000, &p));
    EXPECT_EQ(2u, pool.SpareCount());
    p->Release();
    pool.Refill(20 * 1024 * 1024, 10);
    EXPECT_EQ(4u, pool.SpareCount());
    pool.Close();
}

