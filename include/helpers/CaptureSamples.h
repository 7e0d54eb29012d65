// Capture of samples to files. The streaming thread copies each sample into
// a queued record (CaptureSample); the object's own worker thread writes the
// records as raw data (".bin"), as one bitmap per sample (".bmp"), or as a
// data file of records after the media type (any other extension, block
// compressed for ".blk" and ".vanc").
//
// Locks: one capture lock guards the properties, the queue and the counters.
// The file writer belongs to the worker; file work never runs under the lock
// and never on the streaming thread.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <atomic>

#include <classes/Writers.h>
#include <winapi/ComPtr.h>
#include <winapi/Persist.h>
#include <winapi/Threads.h>
#include <winapi/Wrappers.h>

class CCaptureSamples : public CPersistObject
{
public:
    enum ECaptureType
    {
        eCT_Data = 0,
        eCT_Bmp = 1,
        eCT_Bin = 2,
    };
    // Worker result: the requested number of samples has been written.
    static constexpr HRESULT CAPTURE_COMPLETED = 0x06E70100;
    // CaptureSample refuses samples while the queue holds more than this.
    static constexpr ULONG MAX_QUEUED_BYTES = 256 * 1024 * 1024;
    // Longest template accepted: names are built in fixed buffers.
    static constexpr size_t MAX_TEMPLATE = 32000;
    // Room for what a name adds before the extension: date and time, number.
    static constexpr size_t MAX_SUFFIX = 64;
    // A waiting worker is woken when this many records or bytes are queued
    // and looks for records on its own this often while a capture runs; an
    // idle worker keeps this many spare records ready in the pool.
    static constexpr ULONG WAKE_RECORDS = 32;
    static constexpr ULONG WAKE_BYTES = 4 * 1024 * 1024;
    static constexpr DWORD WORKER_POLL_MS = 1;

    // pszPrefixTag: the owner's object tag ("[Spy 1]"), or null.
    explicit CCaptureSamples(LPCWSTR pszPrefixTag = nullptr);
    ~CCaptureSamples();
    CCaptureSamples(const CCaptureSamples&) = delete;
    CCaptureSamples& operator=(const CCaptureSamples&) = delete;

    // Properties: E_INVALIDARG for a null, empty or overlong template,
    // S_FALSE while capturing (the old properties stay).
    HRESULT SetCaptureProps(LPCWSTR pszFileNameTemplate, BOOL bOneSamplePerFile, UINT nSamples, bool bDateTimeNames);
    // S_FALSE with the outputs untouched when no template is set.
    HRESULT GetCaptureProps(BSTR* pbstrFileNameTemplate, BOOL* pbOneSamplePerFile, UINT* pnSamples);

    // pmt: the input's current media type, or null when not connected.
    HRESULT StartCapture(const AM_MEDIA_TYPE* pmt);
    HRESULT SetMediaType(const AM_MEDIA_TYPE* pmt);
    // Streaming thread: S_OK when queued, S_FALSE when not taken.
    HRESULT CaptureSample(IMediaSample* pSample, LONGLONG llIndex);
    HRESULT StopCapture();
    bool IsCapturing();

    // The worker thread.
    HRESULT RunThread();

    // Persistence: samples, one-sample-per-file, template.
    HRESULT PersistLoad(IStream* pStm) override;
    HRESULT PersistSave(IStream* pStm, BOOL bClearDirty) override;
    ULONG PersistSize() override;
    bool PersistIsDirty() override { return IsDirty(); }
    bool IsDirty();
    // Back to the default properties (not while capturing): what a failed
    // load of the owner leaves.
    void ResetProps();

    ECaptureType CaptureType();
    bool IsCompressing();
    LPCWSTR DebugName() const { return m_szDebugName; }
    CCritSec_SC* Lock() { return &m_lock; }

private:
    // Streaming thread, the steps of CaptureSample. Whether the sample is
    // taken, with the compression choice, whether its record needs the time
    // (for a file name) and the record it may repeat.
    bool AdmitSample(bool* pbCompress, bool* pbDated, CBufferObject** ppReference);
    // Bytes to capture: the actual length, within the buffer's size.
    ULONG CaptureLength(IMediaSample* pSample);
    static void FillRecordHeader(IMediaSample* pSample, LONGLONG llIndex, ULONG cb, CAPSMP2* pRec);
    // Copies or compresses the data into the record; *pcbStored is 0 when it
    // repeats pReference. Fails when the sample's memory cannot be read.
    HRESULT CopySampleData(const BYTE* pbData, ULONG cb, bool bCompress, CBufferObject* pReference,
                           CBufferObject* pRecord, ULONG* pcbStored);
    // Queues the filled record and wakes the worker when it has enough to do.
    HRESULT Enqueue(CBufferObject* pRecord);

    HRESULT WriteSample();
    HRESULT WriteBitmap();
    // Takes the oldest record: S_FALSE when none is queued yet,
    // CAPTURE_COMPLETED when every sample has been written; under the lock.
    HRESULT GetBuffer(CBufferObject** ppRecord);
    // Clears the capture and its queue; the writer only when the worker is
    // idle. Returns how many queued records were dropped.
    ULONG EndCapture(bool bCloseWriter);
    // Ends the worker before the object goes: it may still be inside a write.
    void StopWorker();
    // Any thread: the worker looks at the queue and the state again.
    void WakeWorker();
    // Worker: waits up to dwWait ms unless there is work or a wake is pending.
    void WaitForWork(DWORD dwWait);
    void CloseWriter();
    // Under the lock: the file name for a record into m_szFileName.
    void BuildFileName(const CBufferObject* pRecord, bool bNumbered);
    // Under the lock: the template from the file's final path.
    void UpdateTemplate(LPCWSTR pszFullPath);
    void SetDefaults();
    void SetTypeFromTemplate();
    // Extension start of the template (its length when there is none).
    static size_t ExtensionStart(LPCWSTR psz, size_t cch);

    CAutoCritSec_SC m_lock{4000};
    // Spare records, open while a capture runs (under m_lock).
    CRecordPool m_pool{m_lock};
    CSimpleThread<CCaptureSamples> m_thread;
    std::atomic<bool> m_bCapturing{false}; // written under m_lock
    CEvent m_evStopped;
    CFileWriter m_writer;
    CComBSTR m_cbsFileNameTemplate;
    bool m_bDateTimeNames = false;
    BOOL m_bOneSamplePerFile = TRUE;
    UINT m_nSamples = 0;
    ECaptureType m_eCT = eCT_Data;
    bool m_bCompress = false;
    bool m_bDirty = false;
    UINT m_nCaptured = 0;
    BYTE* m_memHeader = nullptr;
    DWORD m_fcc = 0;
    LONG m_nWidth = 0;
    LONG m_nHeight = 0;
    CBufferObject* m_pQueueHead = nullptr;
    CBufferObject* m_pQueueTail = nullptr;
    CBufferObject* m_pReference = nullptr;
    ULONG m_cbAllocated = 0;
    ULONG m_nQueued = 0;
    // The worker waits on a condition variable of the capture lock, not on an
    // event: waking it then costs no trip to the system's object server.
    CONDITION_VARIABLE m_cvWork = CONDITION_VARIABLE_INIT;
    bool m_bWorkerWaiting = false; // the worker sleeps on m_cvWork
    bool m_bWakePending = false;   // a wake came while the worker was not waiting
    // Counts captures, so that the worker never carries a file from one
    // capture into the next (a stop that timed out leaves it open).
    UINT m_nCaptureId = 0;
    UINT m_nWriterCaptureId = 0; // worker-only: the capture of the open file
    ULONG m_cbLastSample = 0;    // worker-only: the size the pool is refilled for

    // Worker-only: the name being opened, with room for the suffixes.
    WCHAR m_szFileName[MAX_TEMPLATE + MAX_SUFFIX] = {};
    size_t m_cchSuffixAndExt = 0;
    WCHAR m_szDebugName[64] = {};
};
