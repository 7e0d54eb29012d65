// Files of the capture and the difference file: the file writer, the record
// buffers of the capture queue, block compression of record data and the
// bitmap writer.
#pragma once

#include <windows.h>

#include <winapi/ComPtr.h>
#include <winapi/Wrappers.h>

// ---- Capture file layout (little-endian, the same from either build) ---------

// Data file header; the serialised media type follows it directly.
constexpr char CAPFILE_MAGIC[8] = {'V', 'L', 'M', '_', 'v', '0', '2', 0};
#pragma pack(push, 4)
struct CAPFILE_HEADER
{
    char szMagic[8];  // CAPFILE_MAGIC
    DWORD cbHeader;   // this record and the media type after it
    DWORD dwReserved; // 0
};
#pragma pack(pop)
static_assert(sizeof(CAPFILE_HEADER) == 16, "the file header is stored as it lies in memory");
constexpr ULONG CAPFILE_HEADER_FIXED = sizeof(CAPFILE_HEADER);
constexpr ULONG CAPFILE_HEADER_MAX = 16384;

// Record flags.
enum : DWORD
{
    CAPSMP2_SYNCPOINT = 0x1,
    CAPSMP2_PREROLL = 0x2,
    CAPSMP2_DISCONTINUITY = 0x4,
};

// Record marker: this prefix, then the sample index modulo 10,000 in four
// digits; capture file names repeat the digits.
constexpr char CAPSMP2_MARKER_PREFIX[] = "### SAMPLE ";
constexpr size_t CAPSMP2_MARKER_PREFIX_LEN = sizeof(CAPSMP2_MARKER_PREFIX) - 1;
constexpr size_t CAPSMP2_MARKER_DIGITS = 4;

#pragma pack(push, 4)
struct CAPSMP2
{
    char szMarker[16]; // CAPSMP2_MARKER_PREFIX and the digits, zero-filled
    DWORD cbRecord;    // CAPSMP2_RECORD_SIZE(cbStored)
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
static_assert(CAPSMP2_MARKER_PREFIX_LEN + CAPSMP2_MARKER_DIGITS < sizeof(CAPSMP2::szMarker),
              "the marker keeps a terminating zero");

constexpr ULONG CAPSMP2_HEADER_SIZE = sizeof(CAPSMP2);
// Records start on this boundary: the data is zero-padded up to it.
constexpr ULONG CAPSMP2_ALIGN = 16;
// Header and cbStored bytes of data, rounded up to CAPSMP2_ALIGN.
constexpr ULONG CAPSMP2_RECORD_SIZE(ULONG cbStored)
{
    return (CAPSMP2_HEADER_SIZE + cbStored + CAPSMP2_ALIGN - 1) & ~(CAPSMP2_ALIGN - 1);
}
// Record buffer for a sample of cb bytes: room to store it whole.
constexpr ULONG CAPSMP2_SIZE(ULONG cb) { return CAPSMP2_RECORD_SIZE(cb); }
// Largest sample whose record size still fits in 32 bits.
constexpr ULONG CAPSMP2_MAX_SAMPLE = 0xFFFFFFFFUL - (CAPSMP2_HEADER_SIZE + CAPSMP2_ALIGN - 1);

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

class CRecordPool;

// One record (header and data) in a single 16-byte aligned block, reference
// counted: the queue and the duplicate reference may hold it at once. A
// record taken from a pool goes back to it when its last reference goes.
class CBufferObject
{
public:
    // A buffer of CAPSMP2_SIZE(cbSample) bytes with a zero header, or
    // E_OUTOFMEMORY. The filler zeroes what it leaves after the stored data.
    static HRESULT Create(ULONG cbSample, CBufferObject** ppObject);

    ULONG AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
    ULONG Release();

    BYTE* Buffer() const { return m_pbBuffer; }
    // CAPSMP2_SIZE of the sample the record was made for.
    ULONG BufferSize() const { return m_cbBuffer; }
    // What the block can hold, at least BufferSize().
    ULONG Capacity() const { return m_cbCapacity; }
    CAPSMP2* Record() const { return reinterpret_cast<CAPSMP2*>(m_pbBuffer); }
    BYTE* Data() const { return m_pbBuffer + CAPSMP2_HEADER_SIZE; }

    FILETIME m_ftCapture = {}; // UTC, when the record was filled; set only when a file name needs it
    CBufferObject* m_pNext = nullptr; // queue or pool link, under the capture lock

private:
    friend class CRecordPool;
    static HRESULT Allocate(ULONG cbCapacity, CBufferObject** ppObject);
    void Reuse(ULONG cbSample);
    void Free();
    CBufferObject() = default;
    ~CBufferObject() = default;

    volatile LONG m_cRef = 1;
    BYTE* m_pbBuffer = nullptr;
    ULONG m_cbBuffer = 0;
    ULONG m_cbCapacity = 0;
    CRecordPool* m_pPool = nullptr;
};

// Spare records of one capture: the records the worker has written come back
// here and the streaming thread takes a fitting one instead of allocating, so
// a steady capture makes no heap call. It keeps at most MAX_SPARES records and
// MAX_SPARE_BYTES bytes; Close frees the spares, and records that come back
// while it is closed are freed. All of it runs under the owner's lock (a
// critical section, so a release under that lock may re-enter it).
//
// The count bound is loose so that the byte bound decides for large samples:
// the records of a burst then come back here instead of being freed by the
// worker and allocated again by the streaming thread.
class CRecordPool
{
public:
    static constexpr ULONG MAX_SPARES = 1024;
    static constexpr ULONG MAX_SPARE_BYTES = 32 * 1024 * 1024;

    explicit CRecordPool(CCritSec_SC& lock) : m_lock(lock) {}
    // Every record taken must have come back or be released before this.
    ~CRecordPool() { Close(); }
    CRecordPool(const CRecordPool&) = delete;
    CRecordPool& operator=(const CRecordPool&) = delete;

    // A record for cbSample bytes (a zero header, reference count 1): the
    // smallest spare that fits without wasting more than its size again, or
    // a new one whose capacity is rounded up so that it serves later samples
    // of similar sizes.
    HRESULT Take(ULONG cbSample, CBufferObject** ppObject);
    // The worker, while it has nothing to write: adds spares for samples of
    // cbSample bytes until the pool holds nSpares (or its bounds), so that
    // the streaming thread neither allocates nor faults their pages in.
    void Refill(ULONG cbSample, ULONG nSpares);
    void Open();
    void Close();
    ULONG SpareCount();
    ULONG SpareBytes();

private:
    friend class CBufferObject;
    // False when the record is not kept: the caller frees it.
    bool GiveBack(CBufferObject* pObject);

    CCritSec_SC& m_lock; // the owner's; guards everything below
    bool m_bOpen = false;
    CBufferObject* m_pSpares = nullptr; // the latest given back first
    ULONG m_nSpares = 0;
    ULONG m_cbSpares = 0;
};

// Copies a sample into a record's data. The record was last read by the
// worker on another core, so ordinary stores would first fetch each of its
// lines back from there: 64 KiB took 4 to 7 us that way under Wine against
// 1.2 us between warm buffers, and 2.6 us with the streaming stores used
// here from 8 KiB on, which write whole lines past the caches.
void CopyIntoRecord(BYTE* pDst, const BYTE* pSrc, size_t cb);

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
// A final path as the system reports it, without its long-path prefix:
// "\\?\C:\x" gives "C:\x" and "\\?\UNC\server\share\x" gives
// "\\server\share\x"; other paths stay as they are.
void StripLongPathPrefix(LPCWSTR pszPath, LPWSTR pszOut, size_t cchOut);

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
