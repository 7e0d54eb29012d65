// The spy filter: construction, state changes, the per-sample path, stream
// events, media type acceptance and the control operations. Connection
// completion and the pass-through forwarders are in FilterConnect.cpp.
#include "Filter.h"

#include <intrin.h>
#include <math.h>
#include <mmreg.h>

namespace
{
const WCHAR c_szOptionsKey[] = L"Software\\Velmora\\Spy Filter";
const size_t TIMECODE_SAMPLE_SIZE = 24;

// {0482DEE3-7817-11CF-8A03-00AA006ECB65}
const GUID c_guidTimecode = {0x0482DEE3, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}};
// {CD8743A1-3736-11D0-9E69-00C04FD7C15B}
const CLSID c_clsidOverlayMixer = {0xCD8743A1, 0x3736, 0x11D0, {0x9E, 0x69, 0x00, 0xC0, 0x4F, 0xD7, 0xC1, 0x5B}};
// {1B544C20-FD0B-11CE-8C63-00AA0044B51E}
const CLSID c_clsidAviSplitter = {0x1B544C20, 0xFD0B, 0x11CE, {0x8C, 0x63, 0x00, 0xAA, 0x00, 0x44, 0xB5, 0x1E}};

LPCWSTR BoolText(LONG b) { return b ? L"TRUE" : L"FALSE"; }

// Repeated messages: 1 to 9, then every 10th up to 100, then every 100th.
bool PassesThinning(UINT n) { return n < 10 || (n < 100 && n % 10 == 0) || n % 100 == 0; }

CLSID FilterClassOfPin(IPin* pPin)
{
    CLSID clsid = GUID_NULL;
    PIN_INFO info = {};
    if (pPin == nullptr || FAILED(pPin->QueryPinInfo(&info)) || info.pFilter == nullptr)
        return clsid;
    info.pFilter->GetClassID(&clsid);
    info.pFilter->Release();
    return clsid;
}
} // namespace

// A FOURCC subtype ({XXXXXXXX-0000-0010-8000-00AA00389B71}) of a YUV layout
// the copiers know.
bool IsYuvSubtype(REFGUID subtype)
{
    static const GUID s_base = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    if (memcmp(&subtype.Data2, &s_base.Data2, sizeof(GUID) - sizeof(DWORD)) != 0)
        return false;
    const int nFormat = CPictureFormats::FindFormat(subtype.Data1);
    return nFormat >= 0 && CPictureFormats::Format(nFormat).bYUV;
}

// ---------------------------------------------------------------------------
// Construction

CSpyFilter::CSpyFilter() : m_capture(InitTag()), m_diffBuffer(false)
{
    StrCopy(m_szDefaultName, DS_NAME_MAX, L"Velmora Spy Filter");
    ResetStatistics();
    InitVersion();
}

CSpyFilter::~CSpyFilter()
{
    m_capture.StopCapture();
    m_diffFile.Close(false);
}

// The object tag comes first: the capture object names itself after it.
LPCWSTR CSpyFilter::InitTag()
{
    SetTraceName(L"Spy");
    return m_szTag;
}

HRESULT CSpyFilter::FinalConstruct()
{
    const HRESULT hr = Base::FinalConstruct();
    if (FAILED(hr))
        return hr;
    m_apIn->m_bDynReconnect = m_bDynReconnect;
    m_apOut->m_nRedirectMT = m_bMTEnumRedir;
    return S_OK;
}

void CSpyFilter::ResetStatistics()
{
    m_llAudioFrames = 0;
    m_llSamples = 0;
    m_dSamplesPerSec = 0.0;
    m_dDecayedSeconds = 0.0;
    m_dDecayedBits = 0.0;
    m_tTotalDuration = 0;
    m_llSlotBytes = 0;
    m_llTotalBytes = 0;
    m_llTickTime = 0;
    m_nBadTimecodes = 0;
    m_nBadFormats = 0;
    m_nTypeQueryFailures = 0;
    m_tSlotStart = MINLONGLONG;
    m_dwLastTick = timeGetTime();
    m_dwRateTick = 0;
}

// Under the filter lock. False (and 0) when the filter is not running.
bool CSpyFilter::RunningTime(REFERENCE_TIME* ptRunning)
{
    *ptRunning = 0;
    if (m_eState != State_Running)
        return false;
    if (m_spClock != nullptr)
    {
        REFERENCE_TIME tNow = 0;
        if (FAILED(m_spClock->GetTime(&tNow)))
            return false;
        *ptRunning = tNow - m_tStart;
        return true;
    }
    const DWORD dwTick = timeGetTime();
    m_llTickTime += static_cast<DWORD>(dwTick - m_dwLastTick);
    m_dwLastTick = dwTick;
    *ptRunning = m_llTickTime * 10000 - m_tStart;
    return true;
}

// ---------------------------------------------------------------------------
// Graph membership and registry options

HRESULT CSpyFilter::Filter_JoinFilterGraph(bool bJoin)
{
    if (m_apIn->IsConnected() || m_apOut->IsConnected())
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_JoinFilterGraph(): a pin is connected\n", m_szTag);
        return E_FAIL;
    }
    if (bJoin)
        ReadRegistryOptions();
    else
        ResetFilter();
    return S_OK;
}

void CSpyFilter::ReadRegistryOptions()
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, c_szOptionsKey, 0, KEY_QUERY_VALUE | STANDARD_RIGHTS_READ, &hKey) != ERROR_SUCCESS)
        return;
    DWORD dwType = 0, dwValue = 0, cb = sizeof(dwValue);
    if (RegQueryValueExW(hKey, L"Check positioning", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cb) ==
            ERROR_SUCCESS &&
        dwType == REG_DWORD && cb == sizeof(dwValue))
        m_bCheckPositioning = dwValue != 0;
    WCHAR szFile[MAX_PATH] = {};
    cb = sizeof(szFile) - sizeof(WCHAR); // room for a terminator the value may lack
    const LONG l = RegQueryValueExW(hKey, L"Difference file", nullptr, &dwType, reinterpret_cast<BYTE*>(szFile), &cb);
    if (l == ERROR_SUCCESS && dwType == REG_SZ)
        StrCopy(m_szDifferenceFile, MAX_PATH, szFile);
    else
        m_szDifferenceFile[0] = 0;
    if (l == ERROR_MORE_DATA)
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s ReadRegistryOptions(): \"Difference file\" is longer than %u characters\n",
               m_szTag, static_cast<UINT>(MAX_PATH - 1));
    RegCloseKey(hKey);
}

// ---------------------------------------------------------------------------
// State changes

STDMETHODIMP CSpyFilter::Pause()
{
    CComObjectRootMT::ObjectLock lock(this);
    const bool bWasStopped = m_eState == State_Stopped;
    HRESULT hr = Base::Pause();
    if (hr != S_OK || !bWasStopped)
        return hr;
    TraceAllocators();
    ResetStatistics();
    if (m_szDifferenceFile[0] != 0 && FAILED(hr = OpenDifferenceFile()))
        return hr;
    if (m_capture.IsCapturing())
        return m_capture.SetMediaType(&m_apIn->m_mt);
    return S_OK;
}

STDMETHODIMP CSpyFilter::Run(REFERENCE_TIME tStart)
{
    const HRESULT hr = Base::Run(tStart);
    CComObjectRootMT::ObjectLock lock(this);
    m_tSlotStart = MINLONGLONG;
    REFERENCE_TIME tRunning = 0;
    RunningTime(&tRunning);
    m_llTickTime = 0;
    return hr;
}

STDMETHODIMP CSpyFilter::Stop()
{
    // Not under the filter lock: the framework's Stop waits for a sample still
    // inside Filter_SendSample, which takes the filter lock for its
    // statistics; holding the lock here would deadlock with it.
    HRESULT hr = Base::Stop();
    {
        CComObjectRootMT::ObjectLock lock(this);
        WCHAR szCount[32];
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s Stop(): Through the filter has passed %s samples\n", m_szTag,
               LongLong2Str(m_llSamples, szCount));
        if (m_bCheckPositioning)
            m_perf.TraceResults(L"[Perf - Flush] ");
        if (m_szDifferenceFile[0] != 0 && m_diffFile.IsOpen())
            hr = CloseDifferenceFile();
    }
    // The capture worker never takes the filter lock; stopping it waits for it.
    m_capture.StopCapture();
    return hr;
}

void CSpyFilter::TraceAllocators()
{
    Debug_Allocator(TRACE_CAT_GENERAL, 2, m_apIn->m_spAllocIn, m_apIn->m_szTag);
    if (m_apOut->IsConnected())
        Debug_Allocator(TRACE_CAT_GENERAL, 2, m_apOut->m_spAllocOut, m_apOut->m_szTag);
}

// ---------------------------------------------------------------------------
// Difference file: a count, then the intervals between samples in microseconds

HRESULT CSpyFilter::OpenDifferenceFile()
{
    HRESULT hr = m_diffFile.Open(m_szDifferenceFile, FILE_ATTRIBUTE_NORMAL);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Pause(): difference file '%s' cannot be opened, hr=0x%X\n", m_szTag,
               m_szDifferenceFile, hr);
        return hr;
    }
    if (!m_diffBuffer.Alloc(DIFF_BUFFER_SIZE, FALSE))
    {
        m_diffFile.Close(true);
        return E_OUTOFMEMORY;
    }
    m_nDiffTotal = 0;
    m_nDiffPending = 0;
    m_llPrev = 0;
    // The intervals divide by the rate: without one there is nothing to write.
    if (!GetProcFreq(&m_dwFreq, false) || m_dwFreq == 0)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Pause(): processor rate unknown, no difference file\n", m_szTag);
        m_diffFile.Close(true);
        return S_OK;
    }
    hr = m_diffFile.Write(&m_nDiffTotal, sizeof(m_nDiffTotal));
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Pause(): difference file header, hr=0x%X\n", m_szTag, hr);
        m_diffFile.Close(true);
    }
    return hr;
}

// Streaming thread, while running.
void CSpyFilter::RecordInterval()
{
    if (m_szDifferenceFile[0] == 0 || !m_diffFile.IsOpen() || m_eState != State_Running)
        return;
    const LONGLONG llNow = static_cast<LONGLONG>(__rdtsc());
    if (m_llPrev != 0)
    {
        DWORD* pdw = m_diffBuffer.As<DWORD>();
        pdw[m_nDiffPending++] = static_cast<DWORD>((llNow - m_llPrev + m_dwFreq / 2) / m_dwFreq);
        if (m_nDiffPending * sizeof(DWORD) >= DIFF_BUFFER_SIZE)
        {
            const HRESULT hr = m_diffFile.Write(pdw, m_nDiffPending * sizeof(DWORD));
            if (FAILED(hr))
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_SendSample(): difference file write, hr=0x%X\n", m_szTag, hr);
            m_nDiffTotal += m_nDiffPending;
            m_nDiffPending = 0;
        }
    }
    m_llPrev = llNow;
}

// Under the filter lock, after streaming stopped: the pending intervals, the
// count at offset 0, then the file is closed. The last write's result.
HRESULT CSpyFilter::CloseDifferenceFile()
{
    HRESULT hr = S_OK;
    if (m_nDiffPending > 0)
        hr = m_diffFile.Write(m_diffBuffer.GetMemory(), m_nDiffPending * sizeof(DWORD));
    m_nDiffTotal += m_nDiffPending;
    m_nDiffPending = 0;
    if (SUCCEEDED(hr))
        hr = m_diffFile.WriteAt(0, &m_nDiffTotal, sizeof(m_nDiffTotal));
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Stop(): difference file write, hr=0x%X\n", m_szTag, hr);
    m_diffFile.Close(false);
    return hr;
}

// ---------------------------------------------------------------------------
// The per-sample path

HRESULT CSpyFilter::Filter_SendSample(DWORD, IMediaSample* pSample)
{
    if (m_bCheckPositioning)
        m_perf.FlushCheck();
    TraceSample(pSample);
    CheckTimecode(pSample);
    RecordInterval();
    const CSampleFacts facts = SampleFacts(pSample);
    bool bTypeChanged = false;
    CComPtr<IMediaSample> spCopy;
    IMediaSample* pOut = pSample;
    if (!m_bSeparateAllocators)
    {
        bTypeChanged = TrackInPlaceType(pSample);
    }
    else if (m_apOut->IsConnected())
    {
        const HRESULT hr = PrepareCopy(pSample, &spCopy);
        if (FAILED(hr))
            return hr;
        pOut = spCopy;
    }
    HandToCapture(pSample);
    const HRESULT hr = Deliver(pOut);
    FinishSample(facts, hr, bTypeChanged);
    return hr;
}

// The sample line and its lateness; nothing is computed without a log.
void CSpyFilter::TraceSample(IMediaSample* pSample)
{
    if (!Log_IsConnected())
        return;
    CComPtr<IReferenceClock> spClock;
    REFERENCE_TIME tStart = 0;
    {
        CComObjectRootMT::ObjectLock lock(this);
        spClock = m_spClock;
        tStart = m_tStart;
    }
    Debug_Sample(TRACE_CAT_GENERAL, 0, pSample, m_szTag, true, m_bCheckSum != FALSE);
    Debug_SampleLag(TRACE_CAT_GENERAL, 0, pSample, tStart, spClock, m_szTag);
}

void CSpyFilter::CheckTimecode(IMediaSample* pSample)
{
    if (!IsEqualGUID(m_apIn->m_mt.majortype, c_guidTimecode))
        return;
    BYTE* pb = nullptr;
    if (FAILED(pSample->GetPointer(&pb)) || pb == nullptr)
        return;
    const long cb = pSample->GetActualDataLength();
    // A buffer shorter than the length it claims is as bad as a wrong length.
    if (cb == static_cast<long>(TIMECODE_SAMPLE_SIZE) && pSample->GetSize() >= cb)
    {
        Debug_TimecodeSample(TRACE_CAT_GENERAL, 8, reinterpret_cast<const tagTIMECODE_SAMPLE*>(pb), m_szTag);
        return;
    }
    const UINT n = ++m_nBadTimecodes;
    if (PassesThinning(n))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s Filter_SendSample(): Invalid timecode sample %u, size %u\n", m_szTag, n,
               static_cast<UINT>(cb));
}

// What the statistics need of a sample, read before it is delivered.
CSpyFilter::CSampleFacts CSpyFilter::SampleFacts(IMediaSample* pSample)
{
    CSampleFacts f;
    long cbSize = 0;
    // One call for all of it where the sample offers one: the single getters
    // of some samples format trace texts they then drop.
    CComPtr<IMediaSample2> spSample2;
    AM_SAMPLE2_PROPERTIES props = {};
    if (SUCCEEDED(pSample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&spSample2))) && spSample2 != nullptr &&
        SUCCEEDED(spSample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props))))
    {
        f.tStart = props.tStart;
        f.bTimed = (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) != 0;
        cbSize = props.cbBuffer;
        f.cbActual = props.lActual;
    }
    else
    {
        REFERENCE_TIME tE = 0;
        const HRESULT hrTime = pSample->GetTime(&f.tStart, &tE);
        f.bTimed = hrTime == S_OK || hrTime == VFW_S_NO_STOP_TIME;
        cbSize = pSample->GetSize();
        f.cbActual = pSample->GetActualDataLength();
    }
    if (cbSize >= 0 && f.cbActual > cbSize)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_SendSample(): sample claims %i bytes in a buffer of %i\n",
               m_szTag, f.cbActual, cbSize);
        f.cbActual = cbSize;
    }
    f.cbCounted = f.cbActual > 0 ? f.cbActual : (cbSize > 0 ? cbSize : 0);
    return f;
}

// Under the filter lock. Bytes per time slot: a sample with a later start
// time closes the slot.
void CSpyFilter::AccountBitrate(const CSampleFacts& f)
{
    if (!f.bTimed || (m_tSlotStart != MINLONGLONG && f.tStart <= m_tSlotStart))
    {
        m_llSlotBytes += f.cbCounted;
        return;
    }
    if (m_tSlotStart != MINLONGLONG)
    {
        m_llTotalBytes += m_llSlotBytes;
        m_tTotalDuration += f.tStart - m_tSlotStart;
        const double dt = static_cast<double>(f.tStart - m_tSlotStart) / 10000000.0;
        const double k = pow(0.5, dt);
        m_dDecayedBits = static_cast<double>(m_llSlotBytes) * 8.0 + m_dDecayedBits * k;
        m_dDecayedSeconds = m_dDecayedSeconds * k + dt;
    }
    m_tSlotStart = f.tStart;
    m_llSlotBytes = f.cbCounted;
}

// In-place operation: a type on the sample, or a changed upstream connection
// type, becomes the input's type. True when it changed.
bool CSpyFilter::TrackInPlaceType(IMediaSample* pSample)
{
    AM_MEDIA_TYPE* pmt = nullptr;
    if (pSample->GetMediaType(&pmt) == S_OK && pmt != nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s: Filter_SendSample(): sample has media type\n", m_szTag);
        Debug_MediaType(TRACE_CAT_GENERAL, 2, pmt, m_szTag);
        m_apIn->SetCurrentType(*pmt);
        MTDelete(pmt);
        return true;
    }
    MTDelete(pmt);
    // The upstream pin cannot change while a sample is inside: a stop waits
    // for it, and only a stopped pin disconnects.
    IPin* pUp = m_apIn->m_spConnected;
    if (pUp == nullptr)
        return false;
    CMType mt;
    const HRESULT hr = pUp->ConnectionMediaType(&mt);
    if (FAILED(hr))
    {
        // The current type stays; a pin failing on every sample is thinned out.
        if (PassesThinning(++m_nTypeQueryFailures))
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_SendSample(): upstream ConnectionMediaType()=0x%X, type kept\n",
                   m_szTag, hr);
        return false;
    }
    {
        CComObjectRootMT::ObjectLock lock(m_apIn);
        if (m_apIn->m_mt == mt)
            return false;
    }
    m_apIn->SetCurrentType(mt);
    return true;
}

// Copy operation: a buffer of the output side with the sample in it.
HRESULT CSpyFilter::PrepareCopy(IMediaSample* pSample, IMediaSample** ppOut)
{
    CComPtr<IMediaSample> spBuffer;
    HRESULT hr = m_apOut->GetSample(&spBuffer, 0);
    if (FAILED(hr))
        return hr;
    AM_MEDIA_TYPE* pmt = nullptr;
    if (spBuffer->GetMediaType(&pmt) == S_OK && pmt != nullptr)
    {
        CComObjectRootMT::ObjectLock lock(this);
        CComObjectRootMT::ObjectLock lockOut(m_apOut);
        m_apOut->SetMediaTypeFromSample(spBuffer);
    }
    MTDelete(pmt);
    hr = CopyInto(pSample, spBuffer);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_SendSample(): copy into the output buffer failed, hr=0x%X\n",
               m_szTag, hr);
        return hr;
    }
    *ppOut = spBuffer.Detach();
    return S_OK;
}

// YUV video row by row between the two sides' strides, anything else as bytes.
HRESULT CSpyFilter::CopyInto(IMediaSample* pSample, IMediaSample* pOut)
{
    const CMType mtOut = m_apOut->CurrentType();
    if (IsEqualGUID(mtOut.majortype, MEDIATYPE_Video) && IsYuvSubtype(mtOut.subtype))
    {
        const CMType mtIn = m_apIn->CurrentType();
        CSampleT<COverlayMixerCopier> copy;
        HRESULT hr = copy.SetProperties(&mtIn, true);
        if (SUCCEEDED(hr))
            hr = copy.SetProperties(&mtOut, false);
        return FAILED(hr) ? hr : copy.Copy(pSample, pOut, PM_ALL);
    }
    CSampleT<CSampleCopier> copy;
    return copy.Copy(pSample, pOut, PM_ALL);
}

// Capture failures are traced and end the capture; they never fail the sample.
void CSpyFilter::HandToCapture(IMediaSample* pSample)
{
    if (!m_capture.IsCapturing())
        return;
    const HRESULT hr = m_capture.CaptureSample(pSample, m_llSamples);
    if (hr == S_OK)
        return;
    if (hr == S_FALSE)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE, L"### %s Filter_SendSample(): m_capture.CaptureSample()=S_FALSE\n", m_szTag);
        return;
    }
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_SendSample(): m_capture.CaptureSample()=0x%X\n", m_szTag, hr);
    m_capture.StopCapture();
}

// Without the filter lock: a blocking downstream must not block the control calls.
HRESULT CSpyFilter::Deliver(IMediaSample* pOut)
{
    if (!m_apOut->IsConnected())
        return S_OK;
    if (m_bCheckPositioning)
        m_perf.Start();
    const HRESULT hr = m_apOut->SendSample(pOut);
    if (m_bCheckPositioning)
    {
        m_perf.Stop();
        m_perf.TraceDuration(m_szTag);
    }
    return hr;
}

// The statistics of a delivered sample, in one stay under the filter lock.
void CSpyFilter::FinishSample(const CSampleFacts& facts, HRESULT hr, bool bTypeChanged)
{
    CMType mtDown;
    bool bDownType = false;
    if (hr == S_OK && bTypeChanged)
    {
        CComPtr<IPin> spDown = m_apOut->Downstream();
        bDownType = spDown != nullptr && SUCCEEDED(spDown->ConnectionMediaType(&mtDown));
    }
    CComObjectRootMT::ObjectLock lock(this);
    AccountBitrate(facts);
    if (bDownType)
        m_apOut->SetCurrentType(mtDown);
    CountAudioFrames(facts.cbActual);
    ++m_llSamples;
    UpdateSamplesPerSec();
}

// Under the filter lock. Reading the clock costs more than the rest of the
// sample path, so the rate is taken at most once per millisecond tick.
void CSpyFilter::UpdateSamplesPerSec()
{
    const DWORD dwTick = GetTickCount();
    if (dwTick == m_dwRateTick)
        return;
    m_dwRateTick = dwTick;
    REFERENCE_TIME tRunning = 0;
    if (RunningTime(&tRunning) && tRunning > 100000)
        m_dSamplesPerSec = static_cast<double>(m_llSamples) * 10000000.0 / static_cast<double>(tRunning);
}

// Under the filter lock. PCM only; a short format block or a block
// alignment of 0 cannot count frames.
void CSpyFilter::CountAudioFrames(long cb)
{
    const CMType& mt = m_apIn->m_mt;
    if (!IsEqualGUID(mt.formattype, FORMAT_WaveFormatEx) || cb <= 0)
        return;
    if (mt.pbFormat == nullptr || mt.cbFormat < sizeof(PCMWAVEFORMAT))
    {
        if (PassesThinning(++m_nBadFormats))
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_SendSample(): wave format of %u bytes, frames not counted\n",
                   m_szTag, static_cast<UINT>(mt.cbFormat));
        return;
    }
    const WAVEFORMATEX* pwfx = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    if (pwfx->wFormatTag != WAVE_FORMAT_PCM)
        return;
    if (pwfx->nBlockAlign == 0)
    {
        if (PassesThinning(++m_nBadFormats))
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s Filter_SendSample(): PCM format with nBlockAlign 0, frames not counted\n",
                   m_szTag);
        return;
    }
    m_llAudioFrames += cb / pwfx->nBlockAlign;
}

// ---------------------------------------------------------------------------
// Stream events and quality

HRESULT CSpyFilter::StreamEvent(LPCWSTR pszLine, HRESULT (STDMETHODCALLTYPE IPin::*pfn)())
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, pszLine, m_szTag);
    CComPtr<IPin> spDown = m_apOut->Downstream();
    return spDown != nullptr ? (spDown->*pfn)() : S_OK;
}

HRESULT CSpyFilter::Filter_EndOfStream(DWORD) { return StreamEvent(L"%s EndOfStream()\n", &IPin::EndOfStream); }

HRESULT CSpyFilter::Filter_BeginFlush(DWORD)
{
    if (m_bCheckPositioning)
        m_perf.FlushMark();
    return StreamEvent(L"%s BeginFlush()\n", &IPin::BeginFlush);
}

HRESULT CSpyFilter::Filter_EndFlush(DWORD) { return StreamEvent(L"%s EndFlush()\n", &IPin::EndFlush); }

HRESULT CSpyFilter::Filter_NewSegment(DWORD, REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    WCHAR szStart[32], szStop[32];
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s NewSegment( %s, %s, %g)\n", m_szTag, RefTime2Str(tStart, szStart),
           RefTime2Str(tStop, szStop), dRate);
    CComPtr<IPin> spDown = m_apOut->Downstream();
    return spDown != nullptr ? spDown->NewSegment(tStart, tStop, dRate) : S_OK;
}

HRESULT CSpyFilter::Filter_QualityNotify(DWORD dwCookie, IBaseFilter* pSender, Quality q)
{
    WCHAR szLate[32], szStamp[32];
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s QualityNotify( %s, prop %i, Late=%s, TimeStamp=%s )\n", m_szTag,
           q.Type == Famine ? L"Famine" : L"Flood", q.Proportion, RefTime2Str(q.Late, szLate),
           RefTime2Str(q.TimeStamp, szStamp));
    return Base::Filter_QualityNotify(dwCookie, pSender, q);
}

// ---------------------------------------------------------------------------
// Media type acceptance

bool CSpyFilter::Filter_QueryAcceptMT(DWORD dwCookie, const AM_MEDIA_TYPE* pmt)
{
    Debug_MediaType(TRACE_CAT_GENERAL, 8, pmt, L"[Query] ");
    if (dwCookie == PINDIR_OUTPUT && m_bAcceptAnyOutputType)
        return pmt != nullptr;
    if (Base::Filter_QueryAcceptMT(dwCookie, pmt))
        return !m_apOut->IsConnected() || !m_apOut->IsRefusedSubtype(pmt->subtype);
    if (dwCookie != PINDIR_OUTPUT || !IsSpecialYuvCase(pmt))
        return false;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT,
           L"%s Filter_QueryAcceptMT(): we between AviSplitter and OverlayMixer, accepts changed YUV type\n", m_szTag);
    return true;
}

// The AVI splitter offers a changed YUV layout that the overlay mixer asked for.
bool CSpyFilter::IsSpecialYuvCase(const AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr || !m_apIn->IsConnected() || !m_apOut->IsConnected())
        return false;
    if (MTCheckVideo(pmt, false) != S_OK || !IsYuvSubtype(pmt->subtype))
        return false;
    // Asked under the output pin's lock: the input pin's lock would come
    // second here and first elsewhere. Peers change only while stopped.
    const CComPtr<IPin> spUp(m_apIn->m_spConnected), spDown(m_apOut->m_spConnected);
    return IsEqualGUID(FilterClassOfPin(spUp), c_clsidAviSplitter) &&
           IsEqualGUID(FilterClassOfPin(spDown), c_clsidOverlayMixer);
}

// ---------------------------------------------------------------------------
// Control operations

HRESULT CSpyFilter::EnableDynReconnect(LONG bEnable)
{
    m_bDynReconnect = bEnable;
    m_apIn->m_bDynReconnect = bEnable;
    return S_OK;
}

HRESULT CSpyFilter::IsDynReconnecEnabled() { return m_bDynReconnect == 1 ? S_OK : S_FALSE; }

HRESULT CSpyFilter::EnableMTEnumRedir(LONG bEnable)
{
    m_bMTEnumRedir = bEnable;
    CComObjectRootMT::ObjectLock lock(m_apOut);
    m_apOut->m_nRedirectMT = bEnable;
    return S_OK;
}

HRESULT CSpyFilter::IsMTEnumRedirEnabled() { return m_bMTEnumRedir == 1 ? S_OK : S_FALSE; }

HRESULT CSpyFilter::GetBitrates(UINT* pnTotalAvg, UINT* pnMovingAvg)
{
    if (pnTotalAvg == nullptr || pnMovingAvg == nullptr)
        return E_POINTER;
    CComObjectRootMT::ObjectLock lock(this);
    *pnTotalAvg = 0;
    *pnMovingAvg = 0;
    if (m_tTotalDuration == 0)
        return S_OK;
    *pnTotalAvg = static_cast<UINT>(m_llTotalBytes * 10000000 * 8 / m_tTotalDuration);
    if (m_dDecayedSeconds > 0.0)
        *pnMovingAvg = static_cast<UINT>(m_dDecayedBits / m_dDecayedSeconds + 0.5);
    return S_OK;
}

HRESULT CSpyFilter::GetSamplesPerSec(double* pdSamplesPerSec)
{
    if (pdSamplesPerSec == nullptr)
        return E_POINTER;
    CComObjectRootMT::ObjectLock lock(this);
    *pdSamplesPerSec = m_dSamplesPerSec;
    return S_OK;
}

HRESULT CSpyFilter::ForcePassthruAllocator(LONG bForce)
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s IVelmoraSpyFilter::ForcePassthruAllocator( '%s' )\n", m_szTag, BoolText(bForce));
    const LONG bValue = bForce ? TRUE : FALSE;
    CComObjectRootMT::ObjectLock lock(this);
    if (m_eState != State_Stopped)
        return VFW_E_WRONG_STATE;
    if (bValue == m_bForcePassthru)
        return S_OK;
    m_bForcePassthru = bValue;
    if (!m_apIn->IsConnected())
        return S_OK;
    LeavePassThru();
    return Filter_CompleteConnectOutput();
}

HRESULT CSpyFilter::IsPassthruAllocatorForced(LONG* pbForced)
{
    if (pbForced == nullptr)
        return E_POINTER;
    *pbForced = m_bForcePassthru;
    return S_OK;
}

HRESULT CSpyFilter::SetCaptureProps(BSTR bstrFileNameTemplate, LONG bOneSamplePerFile, UINT nSamples)
{
    if (bstrFileNameTemplate == nullptr || bstrFileNameTemplate[0] == 0)
        return E_INVALIDARG;
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s IVelmoraSpyFilter::SetCaptureProps( '%ls', %s, %u )\n", m_szTag, bstrFileNameTemplate,
           BoolText(bOneSamplePerFile), nSamples);
    if (m_capture.IsCapturing())
    {
        TRACE_ASSERT_TEXT(false, "CSpyFilter::SetCaptureProps(): Cannot change properties - the current capture is not yet complete.");
        return S_FALSE;
    }
    const HRESULT hr = m_capture.SetCaptureProps(bstrFileNameTemplate, bOneSamplePerFile ? TRUE : FALSE, nSamples, false);
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s StartCapture(): m_capture.StartCapture()=0x%X\n", m_szTag, hr);
    return hr;
}

HRESULT CSpyFilter::GetCaptureProps(BSTR* pbstrFileNameTemplate, LONG* pbOneSamplePerFile, UINT* pnSamples)
{
    if (pbstrFileNameTemplate == nullptr || pbOneSamplePerFile == nullptr || pnSamples == nullptr)
        return E_POINTER;
    if (*pbstrFileNameTemplate != nullptr)
        return E_INVALIDARG;
    BOOL bOne = FALSE;
    const HRESULT hr = m_capture.GetCaptureProps(pbstrFileNameTemplate, &bOne, pnSamples);
    if (hr == S_OK)
        *pbOneSamplePerFile = bOne;
    return hr;
}

HRESULT CSpyFilter::StartCapture()
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s IVelmoraSpyFilter::StartCapture()\n", m_szTag);
    if (m_capture.IsCapturing())
        return E_FAIL;
    CComObjectRootMT::ObjectLock lock(this);
    const HRESULT hr = m_capture.StartCapture(m_apIn->IsConnected() ? &m_apIn->m_mt : nullptr);
    if (FAILED(hr))
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s StartCapture(): m_capture.StartCapture()=0x%X\n", m_szTag, hr);
    return hr;
}

HRESULT CSpyFilter::SetCheckSum(LONG bCalculate)
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EVENT, L"%s IVelmoraSpyFilter::SetCheckSum( %s )\n", m_szTag, BoolText(bCalculate));
    m_bCheckSum = bCalculate ? TRUE : FALSE;
    return S_OK;
}

HRESULT CSpyFilter::GetCheckSum(LONG* pbCalculate)
{
    if (pbCalculate == nullptr)
        return E_POINTER;
    *pbCalculate = m_bCheckSum;
    return S_OK;
}
