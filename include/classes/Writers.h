// Files of the capture and the difference file: the file writer, the record
// buffers of the capture queue, block compression of record data and the
// bitmap writer.
#pragma once

#include <windows.h>

#include <winapi/ComPtr.h>

// ---- Capture file layout (little-endian, the same from either build) ---------

// Data file header: magic, header size (16 + serialised media type), 0.
constexpr char CAPFILE_MAGIC[8] = {'V', 'L', 'M', '_', 'v', '0', '2', 0};
constexpr ULONG CAPFILE_HEADER_FIXED = 16;
constexpr ULONG CAPFILE_HEADER_MAX = 16384;

// Record flags.
enum : DWORD
{
    CAPSMP2_SYNCPOINT = 0x1,
    CAPSMP2_PREROLL = 0x2,
    CAPSMP2_DISCONTINUITY = 0x4,
};

#pragma pack(push, 4)
struct CAPSMP2
{
    char szMarker[16]; // "### SAMPLE %04u", zero-filled
    DWORD cbRecord;    // 64 + stored size, rounded up to 16
    DWORD cbStored;    // 0 (duplicate or empty), compressed length, or cbSample
    DWORD cbSample;
    DWORD dwFlags;
    LONGLONG tStart;
    LONGLONG tStop;
    LONGLONG llMediaStart;
    LONGLONG llMediaStop;
};
#pragma pack(pop)
static_assert(sizeof(CAPSMP2) == 64, "the record header is stored as it lies in memory");

constexpr ULONG CAPSMP2_HEADER_SIZE = 64;
// Record buffer for a sample of cb bytes: header plus data rounded up to 16.
constexpr ULONG CAPSMP2_SIZE(ULONG cb) { return (cb + 79) & ~15UL; }
constexpr ULONG CAPSMP2_RECORD_SIZE(ULONG cbStored) { return (CAPSMP2_HEADER_SIZE + cbStored + 15) & ~15UL; }

// ---- Block compression ---------------------------------------------------------

// Run descriptor: "[##]", offset in the sample, data length, repeat count.
struct CBlockRun
{
    DWORD dwMagic;
    DWORD dwOffset;
    DWORD cbData;
    DWORD nCount;
};
static_assert(sizeof(CBlockRun) == 16, "stored as it lies in memory");
constexpr DWORD BLOCKRUN_MAGIC = 0x5D23235B; // the bytes "[##]"
constexpr ULONG BLOCK_MIN_SAMPLE = 256;        // smaller samples are always stored raw
constexpr ULONG BLOCK_MAX_RUNS = 255;

// Encodes pSrc into pDst (room for cbDst bytes, at least cb / 8 + 16).
// Returns the encoded length, or 0 when the data is to be stored raw: too
// small, too many descriptors, or not shorter than cb / 8.
ULONG BlockCompress(const BYTE* pSrc, ULONG cb, BYTE* pDst, ULONG cbDst);

// Decodes cbSrc bytes of descriptors into exactly cbDst bytes. A malformed
// stream gives HRESULT_FROM_WIN32(ERROR_INVALID_DATA) and, in *pdwBadOffset,
// the offset of the faulty descriptor within pSrc.
HRESULT BlockDecompress(const BYTE* pSrc, ULONG cbSrc, BYTE* pDst, ULONG cbDst, DWORD* pdwBadOffset = nullptr);

// Checks that cbSrc bytes of descriptors decode to exactly cbDst bytes,
// without decoding them: what BlockDecompress would answer.
HRESULT BlockCheck(const BYTE* pSrc, ULONG cbSrc, ULONG cbDst, DWORD* pdwBadOffset = nullptr);

// True when the encoded data decodes to exactly the cb bytes of pData; reads
// only inside both buffers and allocates nothing.
bool BlockEqual(const BYTE* pEncoded, ULONG cbEncoded, const BYTE* pData, ULONG cb);

// ---- Record buffer of the capture queue ----------------------------------------

// One record (header and data) in a single 16-byte aligned block, reference
// counted: the queue and the duplicate reference may hold it at once.
class CBufferObject
{
public:
    // A buffer of CAPSMP2_SIZE(cbSample) bytes with a zero header, or
    // E_OUTOFMEMORY. The filler zeroes what it leaves after the stored data.
    static HRESULT Create(ULONG cbSample, CBufferObject** ppObject);

    ULONG AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
    ULONG Release();

    BYTE* Buffer() const { return m_pbBuffer; }
    ULONG BufferSize() const { return m_cbBuffer; }
    CAPSMP2* Record() const { return reinterpret_cast<CAPSMP2*>(m_pbBuffer); }
    BYTE* Data() const { return m_pbBuffer + CAPSMP2_HEADER_SIZE; }

    SYSTEMTIME m_stCapture = {}; // UTC, when the record was filled
    CBufferObject* m_pNext = nullptr; // queue link, under the capture lock

private:
    CBufferObject() = default;
    ~CBufferObject() = default;

    volatile LONG m_cRef = 1;
    BYTE* m_pbBuffer = nullptr;
    ULONG m_cbBuffer = 0;
};

// ---- File writer ---------------------------------------------------------------

constexpr size_t FILEWRITER_MAX_PATH = 1024;

class CFileWriter
{
public:
    CFileWriter() = default;
    ~CFileWriter() { Close(false); }
    CFileWriter(const CFileWriter&) = delete;
    CFileWriter& operator=(const CFileWriter&) = delete;

    // dwFlagsAndAttributes: FILE_ATTRIBUTE_NORMAL or FILE_FLAG_WRITE_THROUGH.
    HRESULT Open(LPCWSTR pszName, DWORD dwFlagsAndAttributes);
    HRESULT Write(const void* pBuffer, DWORD cBuffer);
    HRESULT SetPosition(LONGLONG llPos);
    HRESULT WriteAt(LONGLONG llPos, const void* pBuffer, DWORD cBuffer);
    // Cuts the file at llPos: a failed write leaves no partial record behind.
    HRESULT Truncate(LONGLONG llPos);
    void Close(bool bDelete = false);

    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }
    // The system's final path of the open file, without "\\?\"; empty when unknown.
    LPCWSTR FullPath() const { return m_szFullPath; }
    // Bytes from the start of the file to the current position.
    LONGLONG Position() const { return m_llPos; }

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    LONGLONG m_llPos = 0;
    WCHAR m_szFullPath[FILEWRITER_MAX_PATH + 1] = {};
    LPWSTR m_pszName = nullptr; // as opened, for deletion without a final path
    static constexpr LPCWSTR s_pszTag = L"(FileWriter)";
};

// Final path of an open handle without the long-path prefix; empty on failure.
void GetFinalPath(HANDLE hFile, LPWSTR pszPath, size_t cchPath);

// ---- Bitmap writer -------------------------------------------------------------

// Writes one picture as a bitmap file. fcc: ARGB32, RGB32, RGB24, RGB565,
// RGB555 (first 32 bits of their subtypes), YUY2, UYVY, YVYU, YV12, I420.
// cbRowSize: source stride, 0 for the packed row length. cbBuffer: bytes
// the source really holds; a picture that does not fit is refused with
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER).
//
// Rows: RGB sources with a negative lHeight are top-down and are written from
// the last row back, so that every file is bottom-up. Planar pictures are
// written as the H luma rows of nWidth bytes followed by the two chroma
// planes in the source's own order (V then U for YV12, U then V for I420),
// each H/2 rows of nWidth/2 bytes: the common packed layout of those formats.
// RGB565 carries its three colour masks (BI_BITFIELDS) so that viewers do
// not read it as 555, and RGB rows are padded to 4 bytes as bitmaps require.
HRESULT BufferToBmpFile(LPCWSTR pszFile, const BYTE* pBuffer, DWORD fcc, long nWidth, long lHeight, long cbRowSize,
                        CComBSTR* pbsPath, size_t cbBuffer);
