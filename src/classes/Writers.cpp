#include <classes/Writers.h>

#include <dshowx/DSFunctions.h>
#include <dshowx/DSTrace.h>
#include <winapi/Functions.h>
#include <winapi/Wrappers.h>

#include <emmintrin.h>
#include <malloc.h>
#include <new>
#include <stddef.h>
#include <string.h>

// ---- Block compression -----------------------------------------------------------

namespace
{
constexpr ULONG BLOCK = 16;

bool SameBlock(const BYTE* pSrc, ULONG nBlockA, ULONG nBlockB)
{
    return memcmp(pSrc + nBlockA * BLOCK, pSrc + nBlockB * BLOCK, BLOCK) == 0;
}

// Appends one descriptor and its bytes, or fails when cbLimit would be passed.
bool PutRun(BYTE* pDst, ULONG cbLimit, ULONG* pcbOut, const BYTE* pSrc, ULONG nOffset, ULONG cbData, ULONG nCount)
{
    const ULONGLONG cbNew = static_cast<ULONGLONG>(*pcbOut) + sizeof(CBlockRun) + cbData;
    if (cbNew > cbLimit)
        return false;
    const CBlockRun run = {BLOCKRUN_MAGIC, nOffset, cbData, nCount};
    memcpy(pDst + *pcbOut, &run, sizeof(run));
    memcpy(pDst + *pcbOut + sizeof(run), pSrc + nOffset, cbData);
    *pcbOut = static_cast<ULONG>(cbNew);
    return true;
}
} // namespace

ULONG BlockCompress(const BYTE* pSrc, ULONG cb, BYTE* pDst, ULONG cbDst)
{
    if (pSrc == nullptr || pDst == nullptr || cb < BLOCK_MIN_SAMPLE)
        return 0;
    // Worth it only when the result is at most an eighth of the data.
    const ULONG cbLimit = cb / 8 < cbDst ? cb / 8 : cbDst;
    const ULONG nBlocks = cb / BLOCK;
    ULONG cbOut = 0;
    ULONG nRuns = 0;
    ULONG nLiteral = 0; // start of the bytes not yet described
    ULONG i = 0;
    while (i + 1 < nBlocks)
    {
        if (!SameBlock(pSrc, i, i + 1))
        {
            ++i;
            continue;
        }
        ULONG j = i + 1;
        while (j + 1 < nBlocks && SameBlock(pSrc, i, j + 1))
            ++j;
        if (nLiteral < i * BLOCK)
        {
            if (++nRuns > BLOCK_MAX_RUNS || !PutRun(pDst, cbLimit, &cbOut, pSrc, nLiteral, i * BLOCK - nLiteral, 1))
                return 0;
        }
        // A stretch still open when the walk ends is a tail descriptor: it
        // counts against the size limit only.
        const bool bTail = j + 1 == nBlocks;
        if ((!bTail && ++nRuns > BLOCK_MAX_RUNS) || !PutRun(pDst, cbLimit, &cbOut, pSrc, i * BLOCK, BLOCK, j - i + 1))
            return 0;
        nLiteral = (j + 1) * BLOCK;
        i = j + 1;
    }
    if (nLiteral < cb && !PutRun(pDst, cbLimit, &cbOut, pSrc, nLiteral, cb - nLiteral, 1))
        return 0;
    return cbOut;
}

namespace
{
// Walks the descriptors; pfnRun gets each one after its bounds were checked.
template <class TRun>
HRESULT WalkRuns(const BYTE* pSrc, ULONG cbSrc, ULONG cbTotal, DWORD* pdwBadOffset, TRun&& onRun)
{
    ULONG nPos = 0; // in the encoded data
    ULONGLONG llOut = 0; // in the decoded data
    while (nPos < cbSrc)
    {
        CBlockRun run;
        const bool bHeader = cbSrc - nPos >= sizeof(run);
        if (bHeader)
            memcpy(&run, pSrc + nPos, sizeof(run));
        const bool bValid = bHeader && run.dwMagic == BLOCKRUN_MAGIC && run.dwOffset == llOut && run.nCount > 0 &&
                            run.cbData > 0 && run.cbData <= cbSrc - nPos - sizeof(run) &&
                            llOut + static_cast<ULONGLONG>(run.cbData) * run.nCount <= cbTotal;
        if (!bValid)
        {
            if (pdwBadOffset != nullptr)
                *pdwBadOffset = nPos;
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        }
        if (!onRun(run, pSrc + nPos + sizeof(run)))
            return S_FALSE;
        llOut += static_cast<ULONGLONG>(run.cbData) * run.nCount;
        nPos += sizeof(run) + run.cbData;
    }
    if (llOut != cbTotal)
    {
        if (pdwBadOffset != nullptr)
            *pdwBadOffset = nPos;
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
    return S_OK;
}
} // namespace

HRESULT BlockDecompress(const BYTE* pSrc, ULONG cbSrc, BYTE* pDst, ULONG cbDst, DWORD* pdwBadOffset)
{
    if (pSrc == nullptr || pDst == nullptr)
        return E_POINTER;
    return WalkRuns(pSrc, cbSrc, cbDst, pdwBadOffset, [pDst](const CBlockRun& run, const BYTE* pbData) {
        for (DWORD n = 0; n < run.nCount; ++n)
            memcpy(pDst + run.dwOffset + static_cast<size_t>(n) * run.cbData, pbData, run.cbData);
        return true;
    });
}

HRESULT BlockCheck(const BYTE* pSrc, ULONG cbSrc, ULONG cbDst, DWORD* pdwBadOffset)
{
    if (pSrc == nullptr)
        return E_POINTER;
    return WalkRuns(pSrc, cbSrc, cbDst, pdwBadOffset, [](const CBlockRun&, const BYTE*) { return true; });
}

bool BlockEqual(const BYTE* pEncoded, ULONG cbEncoded, const BYTE* pData, ULONG cb)
{
    if (pEncoded == nullptr || pData == nullptr)
        return false;
    return S_OK == WalkRuns(pEncoded, cbEncoded, cb, nullptr, [pData](const CBlockRun& run, const BYTE* pbData) {
               for (DWORD n = 0; n < run.nCount; ++n)
               {
                   if (memcmp(pData + run.dwOffset + static_cast<size_t>(n) * run.cbData, pbData, run.cbData) != 0)
                       return false;
               }
               return true;
           });
}

// ---- CBufferObject ---------------------------------------------------------------

HRESULT CBufferObject::Allocate(ULONG cbCapacity, CBufferObject** ppObject)
{
    *ppObject = nullptr;
    // One block: the object rounded to a cache line, then the record, so
    // that the header fills one line and the data starts on the next: the
    // streaming thread writes whole lines.
    constexpr size_t cbLine = 64;
    constexpr size_t cbObject = (sizeof(CBufferObject) + cbLine - 1) & ~(cbLine - 1);
    void* pv = _aligned_malloc(cbObject + cbCapacity, cbLine);
    if (pv == nullptr)
        return E_OUTOFMEMORY;
    CBufferObject* p = new (pv) CBufferObject();
    p->m_pbBuffer = static_cast<BYTE*>(pv) + cbObject;
    p->m_cbCapacity = cbCapacity;
    *ppObject = p;
    return S_OK;
}

void CBufferObject::Reuse(ULONG cbSample)
{
    m_cRef = 1;
    m_pNext = nullptr;
    m_ftCapture = {};
    m_cbBuffer = CAPSMP2_SIZE(cbSample);
    memset(m_pbBuffer, 0, CAPSMP2_HEADER_SIZE);
}

void CBufferObject::Free()
{
    this->~CBufferObject();
    _aligned_free(this);
}

HRESULT CBufferObject::Create(ULONG cbSample, CBufferObject** ppObject)
{
    if (!TRACE_ASSERT(ppObject != nullptr))
        return E_POINTER;
    *ppObject = nullptr;
    if (cbSample > CAPSMP2_MAX_SAMPLE)
        return E_OUTOFMEMORY;
    const HRESULT hr = Allocate(CAPSMP2_SIZE(cbSample), ppObject);
    if (SUCCEEDED(hr))
        (*ppObject)->Reuse(cbSample);
    return hr;
}

ULONG CBufferObject::Release()
{
    const LONG cRef = InterlockedDecrement(&m_cRef);
    if (cRef == 0 && (m_pPool == nullptr || !m_pPool->GiveBack(this)))
        Free();
    return static_cast<ULONG>(cRef);
}

namespace
{
// Samples from this size on are copied past the caches.
constexpr ULONG STREAM_COPY_MIN = 8192;

__attribute__((target("sse2"))) void StreamCopySse2(BYTE* pDst, const BYTE* pSrc, size_t cb)
{
    const size_t cbHead = (16 - (reinterpret_cast<UINT_PTR>(pDst) & 15)) & 15;
    memcpy(pDst, pSrc, cbHead);
    pDst += cbHead;
    pSrc += cbHead;
    cb -= cbHead;
    __m128i* pd = reinterpret_cast<__m128i*>(pDst);
    const __m128i* ps = reinterpret_cast<const __m128i*>(pSrc);
    for (size_t n = cb / 64; n > 0; --n, pd += 4, ps += 4)
    {
        const __m128i x0 = _mm_loadu_si128(ps);
        const __m128i x1 = _mm_loadu_si128(ps + 1);
        const __m128i x2 = _mm_loadu_si128(ps + 2);
        const __m128i x3 = _mm_loadu_si128(ps + 3);
        _mm_stream_si128(pd, x0);
        _mm_stream_si128(pd + 1, x1);
        _mm_stream_si128(pd + 2, x2);
        _mm_stream_si128(pd + 3, x3);
    }
    // The worker reads the record once the lock that queues it is released.
    _mm_sfence();
    memcpy(pd, ps, cb % 64);
}

} // namespace

void CopyIntoRecord(BYTE* pDst, const BYTE* pSrc, size_t cb)
{
    static const bool s_bSse2 = IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
    if (cb >= STREAM_COPY_MIN && s_bSse2)
        StreamCopySse2(pDst, pSrc, cb);
    else
        memcpy(pDst, pSrc, cb);
}

// ---- CRecordPool -------------------------------------------------------------------

namespace
{
// Capacity classes of a quarter octave (1, 1.25, 1.5, 1.75 times a power of
// two, at least 4 KiB), so that samples of a varying size share records.
ULONG CapacityFor(ULONG cbRecord)
{
    if (cbRecord <= 4096)
        return 4096;
    ULONG cbStep = 1024;
    while (cbStep < 0x40000000UL && cbStep * 8 < cbRecord)
        cbStep *= 2;
    const ULONGLONG cb = (static_cast<ULONGLONG>(cbRecord) + cbStep - 1) / cbStep * cbStep;
    return cb > 0xFFFFFFF0ULL ? cbRecord : static_cast<ULONG>(cb);
}
} // namespace

HRESULT CRecordPool::Take(ULONG cbSample, CBufferObject** ppObject)
{
    if (!TRACE_ASSERT(ppObject != nullptr))
        return E_POINTER;
    *ppObject = nullptr;
    if (cbSample > CAPSMP2_MAX_SAMPLE)
        return E_OUTOFMEMORY;
    const ULONG cbRecord = CAPSMP2_SIZE(cbSample);
    const ULONG cbClass = CapacityFor(cbRecord);
    {
        CScopedLock lock(&m_lock);
        // A spare of the record's own capacity class is as good as any: the
        // search ends there instead of touching every spare's cold header.
        CBufferObject** ppBest = nullptr;
        for (CBufferObject** pp = &m_pSpares; *pp != nullptr; pp = &(*pp)->m_pNext)
        {
            const ULONG cbCapacity = (*pp)->m_cbCapacity;
            if (cbCapacity >= cbRecord && cbCapacity / 2 <= cbRecord &&
                (ppBest == nullptr || cbCapacity < (*ppBest)->m_cbCapacity))
                ppBest = pp;
            if (cbCapacity == cbClass)
                break;
        }
        if (ppBest != nullptr)
        {
            CBufferObject* p = *ppBest;
            *ppBest = p->m_pNext;
            --m_nSpares;
            m_cbSpares -= p->m_cbCapacity;
            p->Reuse(cbSample);
            *ppObject = p;
            return S_OK;
        }
    }
    CBufferObject* p = nullptr;
    const HRESULT hr = CBufferObject::Allocate(cbClass, &p);
    if (FAILED(hr))
        return hr;
    p->Reuse(cbSample);
    p->m_pPool = this;
    *ppObject = p;
    return S_OK;
}

bool CRecordPool::GiveBack(CBufferObject* pObject)
{
    CScopedLock lock(&m_lock);
    if (!m_bOpen || m_nSpares >= MAX_SPARES || pObject->m_cbCapacity > MAX_SPARE_BYTES - m_cbSpares)
        return false;
    pObject->m_pNext = m_pSpares;
    m_pSpares = pObject;
    ++m_nSpares;
    m_cbSpares += pObject->m_cbCapacity;
    return true;
}

void CRecordPool::Refill(ULONG cbSample, ULONG nSpares)
{
    if (cbSample > CAPSMP2_MAX_SAMPLE)
        return;
    const ULONG cbClass = CapacityFor(CAPSMP2_SIZE(cbSample));
    for (;;)
    {
        {
            CScopedLock lock(&m_lock);
            if (!m_bOpen || m_nSpares >= nSpares || m_nSpares >= MAX_SPARES || cbClass > MAX_SPARE_BYTES - m_cbSpares)
                return;
        }
        CBufferObject* p = nullptr;
        if (FAILED(CBufferObject::Allocate(cbClass, &p)))
            return;
        // The pages fault in here rather than in the streaming thread's copy.
        memset(p->m_pbBuffer, 0, cbClass);
        p->m_pPool = this;
        if (!GiveBack(p))
        {
            p->Free();
            return;
        }
    }
}

void CRecordPool::Open()
{
    CScopedLock lock(&m_lock);
    m_bOpen = true;
}

void CRecordPool::Close()
{
    CBufferObject* pSpares = nullptr;
    {
        CScopedLock lock(&m_lock);
        m_bOpen = false;
        pSpares = m_pSpares;
        m_pSpares = nullptr;
        m_nSpares = 0;
        m_cbSpares = 0;
    }
    while (pSpares != nullptr)
    {
        CBufferObject* pNext = pSpares->m_pNext;
        pSpares->Free();
        pSpares = pNext;
    }
}

ULONG CRecordPool::SpareCount()
{
    CScopedLock lock(&m_lock);
    return m_nSpares;
}

ULONG CRecordPool::SpareBytes()
{
    CScopedLock lock(&m_lock);
    return m_cbSpares;
}

// ---- CFileWriter -------------------------------------------------------------------

void GetFinalPath(HANDLE hFile, LPWSTR pszPath, size_t cchPath)
{
    if (pszPath == nullptr || cchPath == 0)
        return;
    pszPath[0] = 0;
    WCHAR szPath[FILEWRITER_MAX_PATH + 1];
    const DWORD cch = GetFinalPathNameByHandleW(hFile, szPath, FILEWRITER_MAX_PATH, FILE_NAME_NORMALIZED);
    if (cch == 0 || cch >= FILEWRITER_MAX_PATH)
        return;
    szPath[cch] = 0;
    StripLongPathPrefix(szPath, pszPath, cchPath);
}

void StripLongPathPrefix(LPCWSTR pszPath, LPWSTR pszOut, size_t cchOut)
{
    if (pszOut == nullptr || cchOut == 0)
        return;
    pszOut[0] = 0;
    if (pszPath == nullptr)
        return;
    // A share keeps its leading backslashes: "\\?\UNC\server" is "\\server".
    if (_wcsnicmp(pszPath, L"\\\\?\\UNC\\", 8) == 0)
    {
        StrCopy(pszOut, cchOut, L"\\\\");
        if (cchOut > 2)
            StrCopy(pszOut + 2, cchOut - 2, pszPath + 8);
        return;
    }
    if (wcsncmp(pszPath, L"\\\\?\\", 4) == 0)
        pszPath += 4;
    StrCopy(pszOut, cchOut, pszPath);
}

HRESULT CFileWriter::Open(LPCWSTR pszName, DWORD dwFlagsAndAttributes)
{
    if (!TRACE_ASSERT(pszName != nullptr && pszName[0] != 0))
        return E_INVALIDARG;
    if (!TRACE_ASSERT(dwFlagsAndAttributes == FILE_ATTRIBUTE_NORMAL || dwFlagsAndAttributes == FILE_FLAG_WRITE_THROUGH))
        return E_INVALIDARG;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"%s Open( '%ls', 0x%X )\n", s_pszTag, pszName, dwFlagsAndAttributes);
    Close(false);

    const size_t cchName = wcslen(pszName) + 1;
    m_pszName = static_cast<LPWSTR>(malloc(cchName * sizeof(WCHAR)));
    if (m_pszName == nullptr)
        return E_OUTOFMEMORY;
    memcpy(m_pszName, pszName, cchName * sizeof(WCHAR));

    // A new file is created as such: overwriting truncates, and some file
    // systems write a truncated file's whole data back when it is closed
    // (ext4 under Wine: 7 ms for 96 MB), so only an existing file is
    // replaced, by the second call.
    HANDLE hFile = CreateFileW(pszName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                               dwFlagsAndAttributes, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        SetLastError(0);
        hFile = CreateFileW(pszName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                            dwFlagsAndAttributes, NULL);
    }
    if (hFile == INVALID_HANDLE_VALUE)
    {
        const DWORD dwError = GetLastError();
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Open(): CreateFile( '%ls', 0x%X )=%i\n", s_pszTag,
               pszName, dwFlagsAndAttributes, static_cast<int>(dwError));
        free(m_pszName);
        m_pszName = nullptr;
        return dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
    }
    m_hFile = hFile;
    m_llPos = 0;
    GetFinalPath(hFile, m_szFullPath, FILEWRITER_MAX_PATH + 1);
    return S_OK;
}

HRESULT CFileWriter::Write(const void* pBuffer, DWORD cBuffer)
{
    if (!TRACE_ASSERT(IsOpen()))
        return E_UNEXPECTED;
    if (!TRACE_ASSERT(pBuffer != nullptr && cBuffer > 0))
        return E_INVALIDARG;
    const BYTE* pb = static_cast<const BYTE*>(pBuffer);
    DWORD cbLeft = cBuffer;
    while (cbLeft > 0)
    {
        DWORD cbWritten = 0;
        SetLastError(0);
        if (!WriteFile(m_hFile, pb, cbLeft, &cbWritten, NULL) || cbWritten == 0)
        {
            DWORD dwError = GetLastError();
            if (dwError == 0)
                dwError = ERROR_WRITE_FAULT;
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Write(): WriteFile( 0x%p, %u )=%i\n", s_pszTag,
                   pBuffer, cBuffer, static_cast<int>(dwError));
            return HRESULT_FROM_WIN32(dwError);
        }
        m_llPos += cbWritten;
        pb += cbWritten;
        cbLeft -= cbWritten;
    }
    return S_OK;
}

HRESULT CFileWriter::SetPosition(LONGLONG llPos)
{
    if (!TRACE_ASSERT(IsOpen()))
        return E_UNEXPECTED;
    LARGE_INTEGER li;
    li.QuadPart = llPos;
    SetLastError(0);
    if (!SetFilePointerEx(m_hFile, li, NULL, FILE_BEGIN))
    {
        const DWORD dwError = GetLastError();
        WCHAR szPos[32];
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s SetPosition( %s ): SetFilePointer()=%i\n", s_pszTag,
               LongLong2Str(llPos, szPos), static_cast<int>(dwError));
        return dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
    }
    m_llPos = llPos;
    return S_OK;
}

HRESULT CFileWriter::WriteAt(LONGLONG llPos, const void* pBuffer, DWORD cBuffer)
{
    const HRESULT hr = SetPosition(llPos);
    if (FAILED(hr))
        return hr;
    return Write(pBuffer, cBuffer);
}

HRESULT CFileWriter::Truncate(LONGLONG llPos)
{
    const HRESULT hr = SetPosition(llPos);
    if (FAILED(hr))
        return hr;
    SetLastError(0);
    return SetEndOfFile(m_hFile) ? S_OK : HResultFromLastError();
}

void CFileWriter::Close(bool bDelete)
{
    if (m_hFile != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        if (bDelete)
            DeleteFileW(m_szFullPath[0] != 0 ? m_szFullPath : m_pszName);
    }
    free(m_pszName);
    m_pszName = nullptr;
    m_szFullPath[0] = 0;
    m_llPos = 0;
}

// ---- BufferToBmpFile ---------------------------------------------------------------

namespace
{
struct CBmpFormat
{
    DWORD fcc;
    WORD nBits;
    bool bRgb;
    bool bPlanar;
};

const CBmpFormat g_aBmpFormats[] = {
    {0x773C9AC0, 32, true, false}, // ARGB32
    {0xE436EB7E, 32, true, false}, // RGB32
    {0xE436EB7D, 24, true, false}, // RGB24
    {0xE436EB7B, 16, true, false}, // RGB565
    {0xE436EB7C, 16, true, false}, // RGB555
    {MAKEFOURCC('Y', 'U', 'Y', '2'), 16, false, false},
    {MAKEFOURCC('U', 'Y', 'V', 'Y'), 16, false, false},
    {MAKEFOURCC('Y', 'V', 'Y', 'U'), 16, false, false},
    {MAKEFOURCC('Y', 'V', '1', '2'), 12, false, true},
    {MAKEFOURCC('I', '4', '2', '0'), 12, false, true},
};
constexpr DWORD FCC_RGB565 = 0xE436EB7B;

const CBmpFormat* FindBmpFormat(DWORD fcc)
{
    for (const CBmpFormat& f : g_aBmpFormats)
    {
        if (f.fcc == fcc)
            return &f;
    }
    return nullptr;
}

// The file's headers as they are stored: the file header, the picture
// header and, for RGB565, its three colour masks.
#pragma pack(push, 2)
struct CBmpHeaders
{
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    DWORD adwMasks[3];
};
#pragma pack(pop)
static_assert(sizeof(BITMAPFILEHEADER) == 14, "stored byte for byte");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "stored byte for byte");
static_assert(offsetof(CBmpHeaders, info) == 14 && offsetof(CBmpHeaders, adwMasks) == 54,
              "the headers follow each other without padding");
static_assert(sizeof(CBmpHeaders) == 66, "stored byte for byte");
constexpr WORD BMP_TYPE = 0x4D42; // "BM"

// The geometry of one picture: what is read from the source and what is
// written to the file.
struct CBmpLayout
{
    const CBmpFormat* pFormat = nullptr;
    ULONGLONG W = 0;
    ULONGLONG H = 0;
    ULONGLONG cbRow = 0;    // bytes of one row in the file (luma row for planar)
    ULONGLONG cbPacked = 0; // bytes of one source row's picture data
    ULONGLONG cbImage = 0;
    ULONGLONG cbStride = 0; // of the source
    bool bReverse = false;  // a top-down RGB source, written from its last row
};

// Checks the arguments and sizes the picture; the source must hold every
// byte that is read from it.
HRESULT BmpLayout(DWORD fcc, long nWidth, long lHeight, long cbRowSize, size_t cbBuffer, CBmpLayout* pLayout)
{
    CBmpLayout& l = *pLayout;
    if (nWidth <= 0 || lHeight == 0)
        return E_INVALIDARG;
    l.pFormat = FindBmpFormat(fcc);
    if (l.pFormat == nullptr)
        return E_INVALIDARG;
    l.H = lHeight < 0 ? 0ULL - static_cast<LONGLONG>(lHeight) : static_cast<ULONGLONG>(lHeight);
    l.W = static_cast<ULONGLONG>(nWidth);
    if (l.pFormat->bPlanar)
    {
        if ((l.W & 1) != 0 || (l.H & 1) != 0)
            return E_INVALIDARG;
        l.cbRow = l.cbPacked = l.W;
        l.cbImage = l.W * l.H + (l.W * l.H) / 2;
    }
    else
    {
        if (!l.pFormat->bRgb && (l.W & 1) != 0)
            return E_INVALIDARG;
        l.cbPacked = l.W * l.pFormat->nBits / 8;
        l.cbRow = l.pFormat->bRgb ? (l.cbPacked + 3) & ~3ULL : l.cbPacked;
        l.cbImage = l.cbRow * l.H;
    }
    l.cbStride = cbRowSize > 0 ? static_cast<ULONGLONG>(cbRowSize) : l.cbRow;
    if (cbRowSize < 0 || l.cbStride < l.cbPacked)
        return E_INVALIDARG;
    const ULONGLONG cbNeeded = l.pFormat->bPlanar ? l.cbStride * l.H + 2 * ((l.cbStride / 2) * (l.H / 2))
                                                  : l.cbStride * (l.H - 1) + l.cbPacked;
    if (l.cbImage > 0x7FFF0000ULL || cbNeeded > 0x7FFF0000ULL)
        return E_INVALIDARG;
    if (cbNeeded > cbBuffer)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    l.bReverse = l.pFormat->bRgb && lHeight < 0;
    return S_OK;
}

// Fills the headers; returns how many of their bytes the file holds.
DWORD BmpHeaders(const CBmpLayout& l, CBmpHeaders* pHeaders)
{
    const bool bMasks = l.pFormat->fcc == FCC_RGB565;
    const DWORD cbHeaders = static_cast<DWORD>(bMasks ? sizeof(CBmpHeaders) : offsetof(CBmpHeaders, adwMasks));
    CBmpHeaders& h = *pHeaders;
    h = {};
    h.file.bfType = BMP_TYPE;
    h.file.bfSize = static_cast<DWORD>(l.cbImage) + cbHeaders;
    h.file.bfOffBits = cbHeaders;
    h.info.biSize = sizeof(BITMAPINFOHEADER);
    h.info.biWidth = static_cast<LONG>(l.W);
    h.info.biHeight = static_cast<LONG>(l.H); // always bottom-up
    h.info.biPlanes = 1;
    h.info.biBitCount = l.pFormat->nBits;
    h.info.biCompression = bMasks ? BI_BITFIELDS : (l.pFormat->bRgb ? BI_RGB : l.pFormat->fcc);
    h.info.biSizeImage = static_cast<DWORD>(l.cbImage);
    if (bMasks)
    {
        h.adwMasks[0] = 0xF800;
        h.adwMasks[1] = 0x07E0;
        h.adwMasks[2] = 0x001F;
    }
    return cbHeaders;
}

// Closes the handle; a file left incomplete by a failure is removed.
class CBmpFile
{
public:
    ~CBmpFile()
    {
        if (m_h == INVALID_HANDLE_VALUE)
            return;
        CloseHandle(m_h);
        if (!m_bComplete)
            DeleteFileW(m_pszName);
    }
    HRESULT Create(LPCWSTR pszName)
    {
        m_pszName = pszName;
        SetLastError(0);
        m_h = CreateFileW(pszName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        return m_h != INVALID_HANDLE_VALUE ? S_OK : HResultFromLastError();
    }
    HRESULT Write(const BYTE* pb, DWORD cb)
    {
        DWORD cbWritten = 0;
        SetLastError(0);
        if (!WriteFile(m_h, pb, cb, &cbWritten, NULL))
            return HResultFromLastError();
        return cbWritten == cb ? S_OK : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
    HRESULT WriteRow(const BYTE* pbSrc, ULONGLONG cbData, ULONGLONG cbOut);
    // The rows, bottom-up, then for planar pictures the two chroma planes.
    HRESULT WritePicture(const CBmpLayout& l, const BYTE* pBuffer);

    BYTE m_abRow[4096];
    HANDLE m_h = INVALID_HANDLE_VALUE;
    LPCWSTR m_pszName = nullptr;
    bool m_bComplete = false;
};
} // namespace

// Writes cbData bytes of a row and zeroes up to cbOut, through a small
// buffer so that the padding of RGB rows is zero and not whatever follows
// the row in the source.
HRESULT CBmpFile::WriteRow(const BYTE* pbSrc, ULONGLONG cbData, ULONGLONG cbOut)
{
    ULONGLONG cbDone = 0;
    while (cbDone < cbOut)
    {
        const DWORD cbChunk = static_cast<DWORD>(cbOut - cbDone < sizeof(m_abRow) ? cbOut - cbDone : sizeof(m_abRow));
        memset(m_abRow, 0, cbChunk);
        if (cbDone < cbData)
        {
            const ULONGLONG cbCopy = cbData - cbDone < cbChunk ? cbData - cbDone : cbChunk;
            memcpy(m_abRow, pbSrc + cbDone, static_cast<size_t>(cbCopy));
        }
        const HRESULT hr = Write(m_abRow, cbChunk);
        if (FAILED(hr))
            return hr;
        cbDone += cbChunk;
    }
    return S_OK;
}

HRESULT CBmpFile::WritePicture(const CBmpLayout& l, const BYTE* pBuffer)
{
    HRESULT hr = S_OK;
    for (ULONGLONG y = 0; y < l.H && SUCCEEDED(hr); ++y)
    {
        const ULONGLONG ySrc = l.bReverse ? l.H - 1 - y : y;
        hr = WriteRow(pBuffer + ySrc * l.cbStride, l.cbPacked, l.cbRow);
    }
    if (!l.pFormat->bPlanar)
        return hr;
    const BYTE* pbChroma = pBuffer + l.cbStride * l.H;
    const ULONGLONG cbChromaStride = l.cbStride / 2;
    for (ULONGLONG y = 0; y < l.H && SUCCEEDED(hr); ++y) // two planes of H/2 rows
        hr = WriteRow(pbChroma + y * cbChromaStride, l.W / 2, l.W / 2);
    return hr;
}

HRESULT BufferToBmpFile(LPCWSTR pszFile, const BYTE* pBuffer, DWORD fcc, long nWidth, long lHeight, long cbRowSize,
                        CComBSTR* pbsPath, size_t cbBuffer)
{
    if (!TRACE_ASSERT(pszFile != nullptr && pszFile[0] != 0))
        return E_INVALIDARG;
    if (!TRACE_ASSERT(pBuffer != nullptr))
        return E_POINTER;
    CBmpLayout layout;
    HRESULT hr = BmpLayout(fcc, nWidth, lHeight, cbRowSize, cbBuffer, &layout);
    if (FAILED(hr))
        return hr;
    CBmpHeaders headers;
    const DWORD cbHeaders = BmpHeaders(layout, &headers);

    CBmpFile file;
    hr = file.Create(pszFile);
    if (SUCCEEDED(hr))
        hr = file.Write(reinterpret_cast<const BYTE*>(&headers), cbHeaders);
    if (SUCCEEDED(hr))
        hr = file.WritePicture(layout, pBuffer);
    if (FAILED(hr))
        return hr;
    file.m_bComplete = true;

    if (pbsPath != nullptr)
    {
        WCHAR szPath[FILEWRITER_MAX_PATH + 1];
        GetFinalPath(file.m_h, szPath, FILEWRITER_MAX_PATH + 1);
        *pbsPath = szPath[0] != 0 ? szPath : pszFile;
    }
    return S_OK;
}
