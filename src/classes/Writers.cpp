#include <classes/Writers.h>

#include <dshowx/DSFunctions.h>
#include <dshowx/DSTrace.h>
#include <winapi/Functions.h>
#include <winapi/Wrappers.h>

#include <malloc.h>
#include <new>
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

HRESULT CBufferObject::Create(ULONG cbSample, CBufferObject** ppObject)
{
    if (!TRACE_ASSERT(ppObject != nullptr))
        return E_POINTER;
    *ppObject = nullptr;
    if (cbSample > 0xFFFFFFFFUL - 79)
        return E_OUTOFMEMORY;
    const ULONG cbBuffer = CAPSMP2_SIZE(cbSample);
    // One block: the object rounded to 16 bytes, then the record.
    constexpr size_t cbObject = (sizeof(CBufferObject) + 15) & ~static_cast<size_t>(15);
    void* pv = _aligned_malloc(cbObject + cbBuffer, 16);
    if (pv == nullptr)
        return E_OUTOFMEMORY;
    CBufferObject* p = new (pv) CBufferObject();
    p->m_pbBuffer = static_cast<BYTE*>(pv) + cbObject;
    p->m_cbBuffer = cbBuffer;
    memset(p->m_pbBuffer, 0, CAPSMP2_HEADER_SIZE);
    *ppObject = p;
    return S_OK;
}

ULONG CBufferObject::Release()
{
    const LONG cRef = InterlockedDecrement(&m_cRef);
    if (cRef == 0)
    {
        this->~CBufferObject();
        _aligned_free(this);
    }
    return static_cast<ULONG>(cRef);
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
    LPCWSTR psz = szPath;
    if (wcsncmp(psz, L"\\\\?\\", 4) == 0)
        psz += 4;
    StrCopy(pszPath, cchPath, psz);
}

HRESULT CFileWriter::Open(LPCWSTR pszName, DWORD dwFlagsAndAttributes)
{
    if (!TRACE_ASSERT(pszName != nullptr && pszName[0] != 0))
        return E_INVALIDARG;
    if (!TRACE_ASSERT(dwFlagsAndAttributes == FILE_ATTRIBUTE_NORMAL || dwFlagsAndAttributes == FILE_FLAG_WRITE_THROUGH))
        return E_INVALIDARG;
    TraceW(TRACE_CAT_GENERAL, 4, L"%s Open( '%ls', 0x%X )\n", s_pszTag, pszName, dwFlagsAndAttributes);
    Close(false);

    const size_t cchName = wcslen(pszName) + 1;
    m_pszName = static_cast<LPWSTR>(malloc(cchName * sizeof(WCHAR)));
    if (m_pszName == nullptr)
        return E_OUTOFMEMORY;
    memcpy(m_pszName, pszName, cchName * sizeof(WCHAR));

    SetLastError(0);
    HANDLE hFile = CreateFileW(pszName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                               dwFlagsAndAttributes, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        const DWORD dwError = GetLastError();
        TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s Open(): CreateFile( '%ls', 0x%X )=%i\n", s_pszTag, pszName,
               dwFlagsAndAttributes, static_cast<int>(dwError));
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
            TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s Write(): WriteFile( 0x%p, %u )=%i\n", s_pszTag, pBuffer,
                   cBuffer, static_cast<int>(dwError));
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
        TraceW(TRACE_CAT_GENERAL, 2, L"###Err### %s SetPosition( %s ): SetFilePointer()=%i\n", s_pszTag,
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

void PutWord(BYTE* p, WORD w) { memcpy(p, &w, 2); }
void PutDword(BYTE* p, DWORD dw) { memcpy(p, &dw, 4); }

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
    HANDLE m_h = INVALID_HANDLE_VALUE;
    LPCWSTR m_pszName = nullptr;
    bool m_bComplete = false;
};
} // namespace

HRESULT BufferToBmpFile(LPCWSTR pszFile, const BYTE* pBuffer, DWORD fcc, long nWidth, long lHeight, long cbRowSize,
                        CComBSTR* pbsPath, size_t cbBuffer)
{
    if (!TRACE_ASSERT(pszFile != nullptr && pszFile[0] != 0))
        return E_INVALIDARG;
    if (!TRACE_ASSERT(pBuffer != nullptr))
        return E_POINTER;
    if (nWidth <= 0 || lHeight == 0)
        return E_INVALIDARG;
    const CBmpFormat* pFormat = FindBmpFormat(fcc);
    if (pFormat == nullptr)
        return E_INVALIDARG;
    const ULONGLONG H = lHeight < 0 ? 0ULL - static_cast<LONGLONG>(lHeight) : static_cast<ULONGLONG>(lHeight);
    const ULONGLONG W = static_cast<ULONGLONG>(nWidth);

    ULONGLONG cbRow = 0;     // bytes of one row in the file (luma row for planar)
    ULONGLONG cbPacked = 0;  // bytes of one source row's picture data
    ULONGLONG cbImage = 0;
    if (pFormat->bPlanar)
    {
        if ((W & 1) != 0 || (H & 1) != 0)
            return E_INVALIDARG;
        cbRow = cbPacked = W;
        cbImage = W * H + (W * H) / 2;
    }
    else
    {
        if (!pFormat->bRgb && (W & 1) != 0)
            return E_INVALIDARG;
        cbPacked = W * pFormat->nBits / 8;
        cbRow = pFormat->bRgb ? (cbPacked + 3) & ~3ULL : cbPacked;
        cbImage = cbRow * H;
    }
    const ULONGLONG cbStride = cbRowSize > 0 ? static_cast<ULONGLONG>(cbRowSize) : cbRow;
    if (cbRowSize < 0 || cbStride < cbPacked)
        return E_INVALIDARG;
    // The source must hold every byte that is read from it.
    const ULONGLONG cbNeeded = pFormat->bPlanar ? cbStride * H + 2 * ((cbStride / 2) * (H / 2))
                                                : cbStride * (H - 1) + cbPacked;
    if (cbImage > 0x7FFF0000ULL || cbNeeded > 0x7FFF0000ULL)
        return E_INVALIDARG;
    if (cbNeeded > cbBuffer)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

    const bool bMasks = fcc == FCC_RGB565;
    const DWORD cbHeaders = 54 + (bMasks ? 12 : 0);
    BYTE abHeader[66] = {};
    abHeader[0] = 'B';
    abHeader[1] = 'M';
    PutDword(abHeader + 2, static_cast<DWORD>(cbImage) + cbHeaders);
    PutDword(abHeader + 10, cbHeaders);
    PutDword(abHeader + 14, 40);
    PutDword(abHeader + 18, static_cast<DWORD>(W));
    PutDword(abHeader + 22, static_cast<DWORD>(H));
    PutWord(abHeader + 26, 1);
    PutWord(abHeader + 28, pFormat->nBits);
    PutDword(abHeader + 30, bMasks ? BI_BITFIELDS : (pFormat->bRgb ? BI_RGB : fcc));
    PutDword(abHeader + 34, static_cast<DWORD>(cbImage));
    if (bMasks)
    {
        PutDword(abHeader + 54, 0xF800);
        PutDword(abHeader + 58, 0x07E0);
        PutDword(abHeader + 62, 0x001F);
    }

    CBmpFile file;
    HRESULT hr = file.Create(pszFile);
    if (FAILED(hr))
        return hr;
    hr = file.Write(abHeader, cbHeaders);
    if (FAILED(hr))
        return hr;

    // Rows go out through a small buffer so that the padding of RGB rows is
    // zero and not whatever follows the row in the source.
    BYTE abRow[4096];
    auto writeRow = [&](const BYTE* pbSrc, ULONGLONG cbData, ULONGLONG cbOut) -> HRESULT {
        ULONGLONG cbDone = 0;
        while (cbDone < cbOut)
        {
            const DWORD cbChunk = static_cast<DWORD>(cbOut - cbDone < sizeof(abRow) ? cbOut - cbDone : sizeof(abRow));
            memset(abRow, 0, cbChunk);
            if (cbDone < cbData)
            {
                const ULONGLONG cbCopy = cbData - cbDone < cbChunk ? cbData - cbDone : cbChunk;
                memcpy(abRow, pbSrc + cbDone, static_cast<size_t>(cbCopy));
            }
            const HRESULT hrRow = file.Write(abRow, cbChunk);
            if (FAILED(hrRow))
                return hrRow;
            cbDone += cbChunk;
        }
        return S_OK;
    };

    const bool bReverse = pFormat->bRgb && lHeight < 0;
    for (ULONGLONG y = 0; y < H && SUCCEEDED(hr); ++y)
    {
        const ULONGLONG ySrc = bReverse ? H - 1 - y : y;
        hr = writeRow(pBuffer + ySrc * cbStride, cbPacked, cbRow);
    }
    if (pFormat->bPlanar)
    {
        const BYTE* pbChroma = pBuffer + cbStride * H;
        const ULONGLONG cbChromaStride = cbStride / 2;
        for (ULONGLONG y = 0; y < H && SUCCEEDED(hr); ++y) // two planes of H/2 rows
            hr = writeRow(pbChroma + y * cbChromaStride, W / 2, W / 2);
    }
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
