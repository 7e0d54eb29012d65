#include <helpers/CaptureSamples.h>

#include <dshowx/DSFunctions.h>
#include <dshowx/DSTrace.h>
#include <dshowx/DSTypes.h>
#include <winapi/Debugging.h>
#include <winapi/Functions.h>
#include <winapi/Persist.h>

#include <amvideo.h>
#include <dvdmedia.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <malloc.h>
#include <stddef.h>
#include <memory>
#include <stdio.h>
#include <string.h>

namespace
{
// Holds one record reference for the scope of a write.
class CRecordRef
{
public:
    explicit CRecordRef(CBufferObject* p) : m_p(p) {}
    ~CRecordRef()
    {
        if (m_p != nullptr)
            m_p->Release();
    }
    CRecordRef(const CRecordRef&) = delete;
    CRecordRef& operator=(const CRecordRef&) = delete;
    CBufferObject* operator->() const { return m_p; }
    CBufferObject* Get() const { return m_p; }

private:
    CBufferObject* m_p;
};

bool EndsWithNoCase(LPCWSTR psz, size_t cch, LPCWSTR pszEnd)
{
    const size_t cchEnd = wcslen(pszEnd);
    return cch > cchEnd && _wcsicmp(psz + cch - cchEnd, pszEnd) == 0;
}

// Subtypes whose GUID is a FOURCC or an RGB code in the first 32 bits.
bool IsBitmapSubtype(const GUID& subtype)
{
    static const BYTE s_abFourcc[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    static const BYTE s_abRgb[12] = {0x4F, 0x52, 0xCE, 0x11, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70};
    const BYTE* pb = reinterpret_cast<const BYTE*>(&subtype) + 4;
    const bool bSuffix = memcmp(pb, s_abFourcc, 12) == 0 || memcmp(pb, s_abRgb, 12) == 0 ||
                         // ARGB32 has a GUID of its own; without it the format could never be saved.
                         subtype == MEDIASUBTYPE_ARGB32;
    if (!bSuffix)
        return false;
    switch (subtype.Data1)
    {
    case 0x773C9AC0: // ARGB32
    case 0xE436EB7E: // RGB32
    case 0xE436EB7D: // RGB24
    case 0xE436EB7B: // RGB565
    case 0xE436EB7C: // RGB555
    case MAKEFOURCC('Y', 'U', 'Y', '2'):
    case MAKEFOURCC('U', 'Y', 'V', 'Y'):
    case MAKEFOURCC('Y', 'V', 'Y', 'U'):
    case MAKEFOURCC('Y', 'V', '1', '2'):
    case MAKEFOURCC('I', '4', '2', '0'):
        return true;
    default:
        return false;
    }
}

// The marker's digits of the index modulo 10,000, written by hand: this
// runs for every sample on the streaming thread.
void SetMarker(CAPSMP2& rec, LONGLONG llIndex)
{
    memcpy(rec.szMarker, CAPSMP2_MARKER_PREFIX, CAPSMP2_MARKER_PREFIX_LEN);
    char* pDigits = rec.szMarker + CAPSMP2_MARKER_PREFIX_LEN;
    unsigned n = static_cast<unsigned>(static_cast<ULONGLONG>(llIndex) % 10000ULL);
    for (size_t i = CAPSMP2_MARKER_DIGITS; i-- > 0; n /= 10)
        pDigits[i] = static_cast<char>('0' + n % 10);
}

// Offset of the picture header in the format block of a video type whose
// block is whole, or 0 for any other type.
size_t BitmapHeaderOffset(const AM_MEDIA_TYPE* pmt)
{
    static_assert(sizeof(VIDEOINFOHEADER) == 88 && offsetof(VIDEOINFOHEADER, bmiHeader) == 48,
                  "the same in either build: no pointers");
    static_assert(sizeof(VIDEOINFOHEADER2) == 112 && offsetof(VIDEOINFOHEADER2, bmiHeader) == 72,
                  "the same in either build: no pointers");
    if (pmt == nullptr || pmt->pbFormat == nullptr)
        return 0;
    if (pmt->formattype == FORMAT_VideoInfo && pmt->cbFormat >= sizeof(VIDEOINFOHEADER))
        return offsetof(VIDEOINFOHEADER, bmiHeader);
    if (pmt->formattype == FORMAT_VideoInfo2 && pmt->cbFormat >= sizeof(VIDEOINFOHEADER2))
        return offsetof(VIDEOINFOHEADER2, bmiHeader);
    return 0;
}

CAPFILE_HEADER* FileHeader(BYTE* pbHeader) { return reinterpret_cast<CAPFILE_HEADER*>(pbHeader); }

DWORD SampleFlags(IMediaSample* pSample)
{
    DWORD dwFlags = 0;
    if (pSample->IsSyncPoint() == S_OK)
        dwFlags |= CAPSMP2_SYNCPOINT;
    if (pSample->IsPreroll() == S_OK)
        dwFlags |= CAPSMP2_PREROLL;
    if (pSample->IsDiscontinuity() == S_OK)
        dwFlags |= CAPSMP2_DISCONTINUITY;
    return dwFlags;
}
} // namespace

CCaptureSamples::CCaptureSamples(LPCWSTR pszPrefixTag)
{
    MakeDebugName(m_szDebugName, sizeof(m_szDebugName) / sizeof(m_szDebugName[0]), L"Capture", pszPrefixTag);
}

CCaptureSamples::~CCaptureSamples()
{
    StopCapture();
    StopWorker();
    CloseWriter();
    m_pool.Close();
    if (m_memHeader != nullptr)
        _aligned_free(m_memHeader);
}

void CCaptureSamples::StopWorker()
{
    const HANDLE hThread = m_thread.m_hThread;
    if (hThread == NULL)
        return;
    m_thread.m_bRun = false;
    WakeWorker();
    if (WaitForSingleObject(hThread, 2000) != WAIT_OBJECT_0)
    {
        // The worker is stuck in a file operation (a stalled share, a full
        // pipe) and uses this object: cancel what it waits for, and wait
        // until it has gone, rather than free its writer under it.
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### %s StopWorker(): the worker did not stop; its file I/O is cancelled\n", m_szDebugName);
        do
            CancelSynchronousIo(hThread);
        while (WaitForSingleObject(hThread, 1000) == WAIT_TIMEOUT);
    }
    m_thread.Stop(INFINITE, false);
}

// ---- Properties --------------------------------------------------------------------

size_t CCaptureSamples::ExtensionStart(LPCWSTR psz, size_t cch)
{
    for (size_t i = cch; i-- > 0;)
    {
        const WCHAR ch = psz[i];
        if (ch == L'\\' || ch == L'/' || ch == L':')
            break;
        if (ch == L'.')
            return i == 0 ? cch : i;
    }
    return cch;
}

void CCaptureSamples::SetTypeFromTemplate()
{
    LPCWSTR psz = m_cbsFileNameTemplate;
    const size_t cch = psz != nullptr ? wcslen(psz) : 0;
    m_eCT = eCT_Data;
    if (psz != nullptr && EndsWithNoCase(psz, cch, L".bmp"))
        m_eCT = eCT_Bmp;
    else if (psz != nullptr && EndsWithNoCase(psz, cch, L".bin"))
        m_eCT = eCT_Bin;
    m_bCompress = m_eCT == eCT_Data && psz != nullptr &&
                  (EndsWithNoCase(psz, cch, L".blk") || EndsWithNoCase(psz, cch, L".vanc"));
}

HRESULT CCaptureSamples::SetCaptureProps(LPCWSTR pszFileNameTemplate, BOOL bOneSamplePerFile, UINT nSamples,
                                         bool bDateTimeNames)
{
    if (pszFileNameTemplate == nullptr || pszFileNameTemplate[0] == 0)
        return E_INVALIDARG;
    if (wcsnlen(pszFileNameTemplate, MAX_TEMPLATE + 1) > MAX_TEMPLATE)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### %s SetCaptureProps(): the template is longer than %u characters\n", m_szDebugName,
               static_cast<UINT>(MAX_TEMPLATE));
        return E_INVALIDARG;
    }
    CComBSTR bsTemplate(pszFileNameTemplate);
    if (!bsTemplate)
        return E_OUTOFMEMORY;
    CScopedLock lock(&m_lock);
    if (m_bCapturing)
        return S_FALSE;
    m_cbsFileNameTemplate = static_cast<CComBSTR&&>(bsTemplate);
    SetTypeFromTemplate();
    m_nSamples = nSamples == 0 ? 1 : nSamples;
    m_bOneSamplePerFile = (m_eCT == eCT_Bmp || bOneSamplePerFile) ? TRUE : FALSE;
    m_bDateTimeNames = bDateTimeNames;
    m_bDirty = true;
    return S_OK;
}

HRESULT CCaptureSamples::GetCaptureProps(BSTR* pbstrFileNameTemplate, BOOL* pbOneSamplePerFile, UINT* pnSamples)
{
    if (pbstrFileNameTemplate == nullptr || pbOneSamplePerFile == nullptr || pnSamples == nullptr)
        return E_POINTER;
    if (!TRACE_ASSERT(*pbstrFileNameTemplate == nullptr))
        return E_INVALIDARG;
    CScopedLock lock(&m_lock);
    if (!m_cbsFileNameTemplate)
        return S_FALSE;
    const HRESULT hr = m_cbsFileNameTemplate.CopyTo(pbstrFileNameTemplate);
    if (FAILED(hr))
        return hr;
    *pbOneSamplePerFile = m_bOneSamplePerFile;
    *pnSamples = m_nSamples;
    return S_OK;
}

// Read without the lock: the streaming thread asks for every sample, and
// CaptureSample checks again under the lock.
bool CCaptureSamples::IsCapturing()
{
    return m_bCapturing;
}

CCaptureSamples::ECaptureType CCaptureSamples::CaptureType()
{
    CScopedLock lock(&m_lock);
    return m_eCT;
}

bool CCaptureSamples::IsCompressing()
{
    CScopedLock lock(&m_lock);
    return m_bCompress;
}

// ---- Start, media type, stop ---------------------------------------------------------

HRESULT CCaptureSamples::StartCapture(const AM_MEDIA_TYPE* pmt)
{
    {
        CScopedLock lock(&m_lock);
        if (!m_cbsFileNameTemplate)
            return E_FAIL;
        if (m_bCapturing)
            return S_FALSE;
    }
    if (m_thread.m_hThread == NULL)
    {
        HRESULT hr = m_evStopped.Create(TRUE, TRUE);
        if (FAILED(hr))
            return hr;
        hr = m_thread.InitThread(this, CSimpleThread<CCaptureSamples>::StartThread);
        if (FAILED(hr))
            return hr;
    }
    CScopedLock lock(&m_lock);
    m_bCapturing = true;
    m_nCaptured = 0;
    ++m_nCaptureId;
    m_pool.Open();
    const HRESULT hr = SetMediaType(pmt);
    if (hr != S_OK)
        m_bCapturing = false;
    else
        WakeWorker(); // from here on it looks at the queue on its own
    return hr;
}

HRESULT CCaptureSamples::SetMediaType(const AM_MEDIA_TYPE* pmt)
{
    CScopedLock lock(&m_lock);
    if (!m_bCapturing)
        return S_OK;
    const size_t nBitmapHeader = BitmapHeaderOffset(pmt);
    if (m_eCT == eCT_Bmp)
    {
        if (nBitmapHeader == 0 || !IsBitmapSubtype(pmt->subtype))
        {
            TRACE_ASSERT_TEXT(false, "Can't save samples as bitmaps");
            return S_FALSE;
        }
    }
    if (m_memHeader == nullptr)
    {
        m_memHeader = static_cast<BYTE*>(_aligned_malloc(CAPFILE_HEADER_MAX, 4));
        if (m_memHeader == nullptr)
            return E_OUTOFMEMORY;
    }
    memset(m_memHeader, 0, CAPFILE_HEADER_MAX);
    memcpy(FileHeader(m_memHeader)->szMagic, CAPFILE_MAGIC, sizeof(CAPFILE_MAGIC));
    const ULONG cbType = MTToBuffer(pmt, m_memHeader + CAPFILE_HEADER_FIXED, CAPFILE_HEADER_MAX - CAPFILE_HEADER_FIXED);
    if (cbType == 0 && m_eCT == eCT_Data)
    {
        // A data file without its media type could not be read back.
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### %s SetMediaType(): the media type does not fit the header\n", m_szDebugName);
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    FileHeader(m_memHeader)->cbHeader = CAPFILE_HEADER_FIXED + cbType;

    m_fcc = 0;
    m_nWidth = 0;
    m_nHeight = 0;
    if (m_eCT == eCT_Bmp)
    {
        BITMAPINFOHEADER bmi;
        memcpy(&bmi, pmt->pbFormat + nBitmapHeader, sizeof(bmi));
        m_fcc = pmt->subtype.Data1;
        m_nWidth = bmi.biWidth;
        m_nHeight = bmi.biHeight;
    }
    return S_OK;
}

HRESULT CCaptureSamples::StopCapture()
{
    if (m_thread.m_hThread == NULL)
    {
        EndCapture(true);
        return S_OK;
    }
    bool bWasCapturing = false;
    {
        CScopedLock lock(&m_lock);
        bWasCapturing = m_bCapturing;
        if (bWasCapturing)
        {
            m_bCapturing = false;
            m_evStopped.Reset();
        }
    }
    bool bWorkerIdle = false;
    if (bWasCapturing)
    {
        WakeWorker();
        const DWORD dwWait = WaitForSingleObject(m_evStopped, 1000);
        if (dwWait != WAIT_OBJECT_0)
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s StopCapture(): WaitForSingleObject()=0x%X\n",
                   m_szDebugName, dwWait);
        bWorkerIdle = dwWait == WAIT_OBJECT_0;
    }
    // A worker still busy in a write closes its file itself once it sees the
    // capture cleared; closing it here would pull the handle from under it.
    const ULONG nDropped = EndCapture(bWorkerIdle);
    if (nDropped != 0)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s StopCapture(): %u queued records dropped\n", m_szDebugName, nDropped);
    return S_OK;
}

void CCaptureSamples::CloseWriter()
{
    if (!m_writer.IsOpen())
        return;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"%s WriteSample(): File '%ls' closed\n", m_szDebugName,
           m_writer.FullPath());
    m_writer.Close(false);
}

ULONG CCaptureSamples::EndCapture(bool bCloseWriter)
{
    CBufferObject* pQueue = nullptr;
    CBufferObject* pReference = nullptr;
    ULONG nDropped = 0;
    {
        CScopedLock lock(&m_lock);
        nDropped = m_nQueued;
        m_bCapturing = false;
        m_nCaptured = 0;
        pReference = m_pReference;
        m_pReference = nullptr;
        pQueue = m_pQueueHead;
        for (CBufferObject* p = pQueue; p != nullptr; p = p->m_pNext)
            m_cbAllocated -= p->BufferSize();
        TRACE_ASSERT(m_cbAllocated == 0);
        m_cbAllocated = 0;
        m_nQueued = 0;
        m_pQueueHead = m_pQueueTail = nullptr;
    }
    if (bCloseWriter)
        CloseWriter();
    while (pQueue != nullptr)
    {
        CBufferObject* pNext = pQueue->m_pNext;
        pQueue->Release();
        pQueue = pNext;
    }
    if (pReference != nullptr)
        pReference->Release();
    // A record the worker still writes is freed when it comes back.
    m_pool.Close();
    return nDropped;
}

// ---- Streaming thread ------------------------------------------------------------------

bool CCaptureSamples::AdmitSample(bool* pbCompress, bool* pbDated, CBufferObject** ppReference)
{
    CScopedLock lock(&m_lock);
    if (!m_bCapturing || m_memHeader == nullptr || m_nCaptured >= m_nSamples || m_cbAllocated > MAX_QUEUED_BYTES)
        return false;
    *pbCompress = m_bCompress;
    *pbDated = m_bDateTimeNames;
    // A data file of several records stores a sample equal to the one before it as an empty record.
    if (m_eCT == eCT_Data && !m_bOneSamplePerFile && m_pReference != nullptr)
    {
        *ppReference = m_pReference;
        m_pReference->AddRef(); // compared outside the lock; records are not changed once queued
    }
    return true;
}

ULONG CCaptureSamples::CaptureLength(IMediaSample* pSample)
{
    const long cbSize = pSample->GetSize();
    const long cbActual = pSample->GetActualDataLength();
    if (cbActual <= cbSize)
        return static_cast<ULONG>(cbActual > 0 ? cbActual : (cbSize > 0 ? cbSize : 0));
    // Only the buffer's own bytes can be read.
    const ULONG cb = cbSize > 0 ? static_cast<ULONG>(cbSize) : 0;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
           L"### %s CaptureSample(): actual length %i exceeds the buffer size %i, %u bytes captured\n", m_szDebugName,
           static_cast<int>(cbActual), static_cast<int>(cbSize), cb);
    return cb;
}

void CCaptureSamples::FillRecordHeader(IMediaSample* pSample, LONGLONG llIndex, ULONG cb, CAPSMP2* pRec)
{
    CAPSMP2& rec = *pRec;
    rec = {};
    SetMarker(rec, llIndex);
    rec.cbSample = cb;
    rec.dwFlags = SampleFlags(pSample);
    REFERENCE_TIME tStart = 0, tStop = 0;
    if (SUCCEEDED(pSample->GetTime(&tStart, &tStop)))
    {
        rec.tStart = tStart;
        rec.tStop = tStop;
    }
    LONGLONG llStart = 0, llStop = 0;
    if (SUCCEEDED(pSample->GetMediaTime(&llStart, &llStop)))
    {
        rec.llMediaStart = llStart;
        rec.llMediaStop = llStop;
    }
}

HRESULT CCaptureSamples::CopySampleData(const BYTE* pbData, ULONG cb, bool bCompress, CBufferObject* pReference,
                                        CBufferObject* pRecord, ULONG* pcbStored)
{
    // Everything that reads the sample's memory runs under the guard: a
    // buffer smaller than it claims must not take the streaming thread down.
    ULONG cbStored = 0;
    const bool bRead = SEH_Guard([&]() {
        if (cb == 0)
            return;
        if (pReference != nullptr && pReference->Record()->cbSample == cb)
        {
            const CAPSMP2* pRef = pReference->Record();
            const bool bDuplicate = pRef->cbStored == cb ? memcmp(pReference->Data(), pbData, cb) == 0
                                                         : BlockEqual(pReference->Data(), pRef->cbStored, pbData, cb);
            if (bDuplicate)
                return;
        }
        if (bCompress)
            cbStored = BlockCompress(pbData, cb, pRecord->Data(), pRecord->BufferSize() - CAPSMP2_HEADER_SIZE);
        if (cbStored == 0)
        {
            CopyIntoRecord(pRecord->Data(), pbData, cb);
            cbStored = cb;
        }
    });
    if (!bRead)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### %s CaptureSample(): the sample's buffer cannot be read\n", m_szDebugName);
        return E_UNEXPECTED;
    }
    *pcbStored = cbStored;
    return S_OK;
}

HRESULT CCaptureSamples::Enqueue(CBufferObject* pRecord)
{
    CScopedLock lock(&m_lock);
    // The capture may have been stopped or completed while the copy ran.
    if (!m_bCapturing || m_nCaptured >= m_nSamples)
        return S_FALSE;
    pRecord->AddRef();
    pRecord->m_pNext = nullptr;
    if (m_pQueueTail != nullptr)
        m_pQueueTail->m_pNext = pRecord;
    else
        m_pQueueHead = pRecord;
    m_pQueueTail = pRecord;
    if (m_eCT == eCT_Data && !m_bOneSamplePerFile && pRecord->Record()->cbStored > 0)
    {
        pRecord->AddRef();
        if (m_pReference != nullptr)
            m_pReference->Release(); // never the last reference: the caller's copy still holds one
        m_pReference = pRecord;
    }
    m_cbAllocated += pRecord->BufferSize();
    ++m_nCaptured;
    ++m_nQueued;
    // Waking a sleeping thread costs several copies of a sample (about 7 us
    // under Wine with the condition variable, 16 us and more with an event),
    // so the streaming thread does it only when the waiting worker has enough
    // to do or for the last sample; the worker looks at the queue on its own
    // every WORKER_POLL_MS meanwhile.
    if (m_bWorkerWaiting && (m_nQueued >= WAKE_RECORDS || m_cbAllocated >= WAKE_BYTES || m_nCaptured >= m_nSamples))
    {
        m_bWorkerWaiting = false;
        WakeConditionVariable(&m_cvWork);
    }
    return S_OK;
}

HRESULT CCaptureSamples::CaptureSample(IMediaSample* pSample, LONGLONG llIndex)
{
    if (pSample == nullptr)
        return E_INVALIDARG;
    bool bCompress = false;
    bool bDated = false;
    CBufferObject* pReference = nullptr;
    if (!AdmitSample(&bCompress, &bDated, &pReference))
        return S_FALSE;
    CRecordRef reference(pReference);

    BYTE* pbData = nullptr;
    HRESULT hr = pSample->GetPointer(&pbData);
    if (FAILED(hr))
        return hr;
    ULONG cb = CaptureLength(pSample);
    if (pbData == nullptr)
        cb = 0;
    CAPSMP2 rec;
    FillRecordHeader(pSample, llIndex, cb, &rec);

    CBufferObject* pNew = nullptr;
    hr = m_pool.Take(cb, &pNew);
    if (FAILED(hr))
        return E_OUTOFMEMORY;
    CRecordRef record(pNew);
    ULONG cbStored = 0;
    hr = CopySampleData(pbData, cb, bCompress, pReference, pNew, &cbStored);
    if (FAILED(hr))
        return hr;
    rec.cbStored = cbStored;
    rec.cbRecord = CAPSMP2_RECORD_SIZE(cbStored);
    // Records are written whole: the padding after the data must be zero.
    memset(pNew->Data() + cbStored, 0, rec.cbRecord - CAPSMP2_HEADER_SIZE - cbStored);
    memcpy(pNew->Record(), &rec, sizeof(rec));
    // Only a name needs the time; the worker turns it into a date.
    if (bDated)
        GetSystemTimeAsFileTime(&pNew->m_ftCapture);

    if (Log_IsConnected())
    {
        WCHAR szIndex[32];
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s CaptureSample(): capture sample %s, size %u\n",
               m_szDebugName, LongLong2Str(llIndex, szIndex), cb);
    }
    return Enqueue(pNew);
}

// ---- Worker thread ---------------------------------------------------------------------

void CCaptureSamples::WakeWorker()
{
    CScopedLock lock(&m_lock);
    m_bWakePending = true;
    if (m_bWorkerWaiting)
    {
        m_bWorkerWaiting = false;
        WakeConditionVariable(&m_cvWork);
    }
}

void CCaptureSamples::WaitForWork(DWORD dwWait)
{
    CScopedLock lock(&m_lock);
    // Everything that wakes the worker changes its state under this lock
    // first, so nothing is missed between the last look and the sleep.
    if (!m_bWakePending && m_thread.m_bRun && m_pQueueHead == nullptr)
    {
        m_bWorkerWaiting = true;
        SleepConditionVariableCS(&m_cvWork, m_lock, dwWait);
        m_bWorkerWaiting = false;
    }
    m_bWakePending = false;
}

HRESULT CCaptureSamples::RunThread()
{
    const HRESULT hrCom = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    DWORD dwWait = INFINITE;
    while (m_thread.m_bRun)
    {
        if (dwWait != 0)
            WaitForWork(dwWait);
        if (!m_thread.m_bRun)
            break;
        dwWait = 0;
        ECaptureType eCT = eCT_Data;
        bool bCapturing = false;
        {
            CScopedLock lock(&m_lock);
            eCT = m_eCT;
            bCapturing = m_bCapturing;
        }
        if (!bCapturing)
        {
            // A stop refuses new samples, but what was already accepted is
            // written first, one record per pass so that a capture started
            // meanwhile is seen. Then the worker, which owns the file,
            // closes it and reports idle.
            const HRESULT hr = eCT == eCT_Bmp ? WriteBitmap() : WriteSample();
            if (hr == S_OK)
                continue;
            if (FAILED(hr))
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s RunThread(): Write...()=0x%X\n", m_szDebugName, hr);
            CloseWriter();
            m_evStopped.Set();
            dwWait = INFINITE;
            continue;
        }
        const HRESULT hr = eCT == eCT_Bmp ? WriteBitmap() : WriteSample();
        if (hr == S_OK)
            continue;
        if (hr == S_FALSE)
        {
            // Nothing to write: time to prepare the records the stream will need.
            if (m_cbLastSample != 0)
                m_pool.Refill(m_cbLastSample, WAKE_RECORDS);
            dwWait = WORKER_POLL_MS;
            continue;
        }
        if (hr == CAPTURE_COMPLETED)
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"### %s RunThread(): capturing completed\n", m_szDebugName);
        else
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s RunThread(): Write...()=0x%X\n", m_szDebugName,
                   hr);
        EndCapture(true);
    }
    if (SUCCEEDED(hrCom))
        CoUninitialize();
    return S_OK;
}

HRESULT CCaptureSamples::GetBuffer(CBufferObject** ppRecord)
{
    *ppRecord = nullptr;
    if (m_nCaptured == m_nSamples && m_pQueueHead == nullptr)
        return CAPTURE_COMPLETED;
    CBufferObject* p = m_pQueueHead;
    if (p == nullptr)
        return S_FALSE;
    --m_nQueued;
    m_pQueueHead = p->m_pNext;
    if (m_pQueueHead == nullptr)
        m_pQueueTail = nullptr;
    p->m_pNext = nullptr;
    m_cbAllocated -= p->BufferSize();
    *ppRecord = p;
    return S_OK;
}

void CCaptureSamples::BuildFileName(const CBufferObject* pRecord, bool bNumbered)
{
    LPCWSTR pszTemplate = m_cbsFileNameTemplate;
    const size_t cch = pszTemplate != nullptr ? wcslen(pszTemplate) : 0;
    const size_t nExt = ExtensionStart(pszTemplate, cch);
    WCHAR szSuffix[MAX_SUFFIX] = {};
    if (m_bDateTimeNames && pRecord != nullptr)
    {
        SYSTEMTIME st = {};
        FileTimeToSystemTime(&pRecord->m_ftCapture, &st);
        StrAppend(szSuffix, MAX_SUFFIX, L"_%04u-%02u-%02u_%02u-%02u-%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    }
    if (bNumbered)
    {
        WCHAR szNumber[CAPSMP2_MARKER_DIGITS + 1] = L"####";
        if (pRecord != nullptr && pRecord->Buffer() != nullptr)
        {
            const char* pDigits = pRecord->Record()->szMarker + CAPSMP2_MARKER_PREFIX_LEN;
            for (size_t i = 0; i < CAPSMP2_MARKER_DIGITS; ++i)
                szNumber[i] = static_cast<WCHAR>(static_cast<BYTE>(pDigits[i]));
        }
        StrAppend(szSuffix, MAX_SUFFIX, L"_%s", szNumber);
    }
    // The template is at most MAX_TEMPLATE characters, so the name always fits.
    const size_t cchSuffix = wcslen(szSuffix);
    memcpy(m_szFileName, pszTemplate, nExt * sizeof(WCHAR));
    memcpy(m_szFileName + nExt, szSuffix, cchSuffix * sizeof(WCHAR));
    memcpy(m_szFileName + nExt + cchSuffix, pszTemplate + nExt, (cch - nExt) * sizeof(WCHAR));
    m_szFileName[cch + cchSuffix] = 0;
    m_cchSuffixAndExt = cchSuffix + (cch - nExt);
}

void CCaptureSamples::UpdateTemplate(LPCWSTR pszFullPath)
{
    // The template follows the file's final path, without the suffix.
    const size_t cchFull = pszFullPath != nullptr ? wcslen(pszFullPath) : 0;
    LPCWSTR pszTemplate = m_cbsFileNameTemplate;
    const size_t cch = pszTemplate != nullptr ? wcslen(pszTemplate) : 0;
    const size_t cchExt = cch - ExtensionStart(pszTemplate, cch);
    if (cchFull <= m_cchSuffixAndExt || cchFull > MAX_TEMPLATE || m_cchSuffixAndExt < cchExt)
        return;
    const size_t cchSuffix = m_cchSuffixAndExt - cchExt;
    WCHAR* psz = static_cast<WCHAR*>(malloc((cchFull + 1) * sizeof(WCHAR)));
    if (psz == nullptr)
        return;
    const size_t cchBase = cchFull - m_cchSuffixAndExt;
    memcpy(psz, pszFullPath, cchBase * sizeof(WCHAR));
    memcpy(psz + cchBase, pszFullPath + cchBase + cchSuffix, cchExt * sizeof(WCHAR));
    psz[cchBase + cchExt] = 0;
    m_cbsFileNameTemplate = psz;
    free(psz);
}

HRESULT CCaptureSamples::WriteSample()
{
    CBufferObject* pTaken = nullptr;
    bool bNewFile = false;
    bool bClose = false;
    ECaptureType eCT = eCT_Data;
    DWORD cbHeader = 0;
    {
        CScopedLock lock(&m_lock);
        const HRESULT hr = GetBuffer(&pTaken);
        if (hr != S_OK)
            return hr;
        eCT = m_eCT;
        if (!m_writer.IsOpen() || m_nWriterCaptureId != m_nCaptureId)
        {
            BuildFileName(pTaken, m_bOneSamplePerFile != FALSE);
            bNewFile = true;
            m_nWriterCaptureId = m_nCaptureId;
        }
        bClose = m_bOneSamplePerFile || (m_nCaptured == m_nSamples && m_pQueueHead == nullptr);
        if (m_memHeader != nullptr)
            cbHeader = FileHeader(m_memHeader)->cbHeader;
    }
    CRecordRef record(pTaken);

    if (bNewFile)
    {
        CloseWriter();
        HRESULT hr = m_writer.Open(m_szFileName, FILE_ATTRIBUTE_NORMAL);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s WriteSample(): m_writer.Open( '%ls' )=0x%X\n",
                   m_szDebugName, m_szFileName, hr);
            return hr;
        }
        {
            CScopedLock lock(&m_lock);
            UpdateTemplate(m_writer.FullPath());
        }
        if (eCT == eCT_Data)
        {
            hr = m_writer.Write(m_memHeader, cbHeader);
            if (FAILED(hr))
            {
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                       L"###Err### %s WriteSample(): m_writer.Write( header )=0x%X\n", m_szDebugName, hr);
                m_writer.Truncate(0); // a part of a header is of no use to a reader
                CloseWriter();
                return hr;
            }
        }
    }

    const CAPSMP2* pRec = record->Record();
    m_cbLastSample = pRec->cbSample;
    const BYTE* pb = eCT == eCT_Data ? record->Buffer() : record->Data();
    const DWORD cb = eCT == eCT_Data ? pRec->cbRecord : pRec->cbStored;
    HRESULT hr = S_OK;
    if (cb > 0)
    {
        const LONGLONG llRecordStart = m_writer.Position();
        hr = m_writer.Write(pb, cb);
        if (FAILED(hr))
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### %s WriteSample(): m_writer.Write( %u bytes )=0x%X\n", m_szDebugName, cb, hr);
            // Cut the partial record so that the file ends with a whole one.
            m_writer.Truncate(llRecordStart);
        }
    }
    if (bClose || FAILED(hr))
        CloseWriter();
    return hr;
}

HRESULT CCaptureSamples::WriteBitmap()
{
    CBufferObject* pTaken = nullptr;
    DWORD fcc = 0;
    LONG nWidth = 0, nHeight = 0;
    {
        CScopedLock lock(&m_lock);
        const HRESULT hr = GetBuffer(&pTaken);
        if (hr != S_OK)
            return hr;
        BuildFileName(pTaken, true);
        fcc = m_fcc;
        nWidth = m_nWidth;
        nHeight = m_nHeight;
    }
    CRecordRef record(pTaken);
    if (record->Buffer() == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s WriteBitmap(): ao->Buffer() = NULL\n",
               m_szDebugName);
        return E_FAIL;
    }
    CComBSTR bsPath;
    const HRESULT hr = BufferToBmpFile(m_szFileName, record->Data(), fcc, nWidth, nHeight, 0,
                                       std::addressof(bsPath), record->Record()->cbStored);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s WriteBitmap(): BufferToBmpFile( '%s' )=0x%X\n",
               m_szDebugName, m_szFileName, hr);
        return hr;
    }
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s WriteBitmap(): Written bitmap file '%s'\n", m_szDebugName,
           static_cast<LPCWSTR>(bsPath));
    CScopedLock lock(&m_lock);
    UpdateTemplate(bsPath);
    return S_OK;
}

// ---- Persistence -----------------------------------------------------------------------

void CCaptureSamples::SetDefaults()
{
    m_cbsFileNameTemplate.Empty();
    m_bOneSamplePerFile = TRUE;
    m_nSamples = 0;
    m_eCT = eCT_Data;
    m_bCompress = false;
    m_bDirty = false;
}

HRESULT CCaptureSamples::PersistSave(IStream* pStm, BOOL bClearDirty)
{
    if (pStm == nullptr)
        return E_FAIL;
    UINT nSamples = 0;
    BOOL bOne = FALSE;
    CComBSTR bsTemplate;
    {
        CScopedLock lock(&m_lock);
        nSamples = m_nSamples;
        bOne = m_bOneSamplePerFile;
        bsTemplate = m_cbsFileNameTemplate;
        if (!!m_cbsFileNameTemplate && !bsTemplate)
            return E_OUTOFMEMORY;
    }
    HRESULT hr = PersistWrite(pStm, &nSamples, sizeof(nSamples));
    if (SUCCEEDED(hr))
        hr = PersistWrite(pStm, &bOne, sizeof(bOne));
    if (SUCCEEDED(hr))
        hr = PersistWriteString(pStm, bsTemplate);
    if (SUCCEEDED(hr) && bClearDirty)
    {
        CScopedLock lock(&m_lock);
        m_bDirty = false;
    }
    return hr;
}

HRESULT CCaptureSamples::PersistLoad(IStream* pStm)
{
    {
        CScopedLock lock(&m_lock);
        if (m_bCapturing)
            return VFW_E_WRONG_STATE;
    }
    UINT nSamples = 0;
    BOOL bOne = FALSE;
    CComBSTR bsTemplate;
    HRESULT hr = PersistRead(pStm, &nSamples, sizeof(nSamples));
    if (SUCCEEDED(hr))
        hr = PersistRead(pStm, &bOne, sizeof(bOne));
    if (SUCCEEDED(hr))
        hr = PersistReadString(pStm, std::addressof(bsTemplate));
    if (SUCCEEDED(hr) && !!bsTemplate && wcsnlen(bsTemplate, MAX_TEMPLATE + 1) > MAX_TEMPLATE)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
               L"###Err### %s PersistLoad(): the template is longer than %u characters\n", m_szDebugName,
               static_cast<UINT>(MAX_TEMPLATE));
        hr = E_FAIL;
    }
    CScopedLock lock(&m_lock);
    if (FAILED(hr))
    {
        SetDefaults();
        return hr;
    }
    // The rules of SetCaptureProps: 0 samples means one, and an empty
    // template is none (a capture would otherwise write "_0000" files into
    // the current folder).
    m_bOneSamplePerFile = bOne ? TRUE : FALSE;
    if (!!bsTemplate && static_cast<BSTR>(bsTemplate)[0] == 0)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"### %s PersistLoad(): empty template ignored\n", m_szDebugName);
        bsTemplate.Empty();
    }
    // Without a template nothing can be captured, and the stream of an object
    // never configured keeps its 0.
    m_nSamples = (nSamples == 0 && !!bsTemplate) ? 1 : nSamples;
    m_cbsFileNameTemplate.Attach(bsTemplate.Detach());
    SetTypeFromTemplate();
    if (m_eCT == eCT_Bmp)
        m_bOneSamplePerFile = TRUE;
    m_bDirty = false;
    return S_OK;
}

ULONG CCaptureSamples::PersistSize()
{
    CScopedLock lock(&m_lock);
    // The sample count and the one-sample-per-file flag, then the template.
    return sizeof(UINT) + sizeof(BOOL) + PersistStringSize(m_cbsFileNameTemplate);
}

void CCaptureSamples::ResetProps()
{
    CScopedLock lock(&m_lock);
    if (!m_bCapturing)
        SetDefaults();
}

bool CCaptureSamples::IsDirty()
{
    CScopedLock lock(&m_lock);
    return m_bDirty;
}
