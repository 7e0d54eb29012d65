// The spy filter: an in-place transform that passes every sample through
// unchanged and reports what crosses it (sample lines, stream events,
// negotiation), measures bitrates and samples per second, captures samples
// and writes a file of inter-sample intervals.
//
// Locks (see the framework header for the order):
//   filter lock    state changes, the statistics and the options; never held
//                  while a sample is delivered downstream or captured.
//   input pin lock the input's media type; the streaming thread takes it only
//                  to read the upstream pin and to adopt a new input type.
//   capture lock   inside m_capture.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <strmif.h>

#include <vector>

#include <classes/Writers.h>
#include <dshowx/DSFilters.h>
#include <dshowx/DSWrappers.h>
#include <helpers/CaptureSamples.h>
#include <helpers/Perf.h>
#include <velmora/VelmoraVersionWrap.h>
#include <winapi/ComModule.h>
#include <winapi/Persist.h>

// CLSID_SpyFilter and the control interface, from the module's IDL.
#include <VelmoraSpy.h>

#include "SpyControl.h"

class CSpyFilter;

// ---------------------------------------------------------------------------
// Input pin. In pass-through mode (a forced pass-through reconnection) it
// hands its connection questions and its allocator negotiation to the
// remembered downstream pin, so that upstream and downstream agree directly.
class CInput : public CInputPin<CInput, CSpyFilter>
{
public:
    typedef CInputPin<CInput, CSpyFilter> Base;

    // Hooks read by the framework.
    DS_HOOK(IsDynamicReconnectAllowed) bool IsDynamicReconnectAllowed() const { return m_bDynReconnect == TRUE; }
    // Last entry of the interface map: one trace line, E_NOINTERFACE.
    DS_HOOK(QueryInterfaceCatchAll) HRESULT QueryInterfaceCatchAll(REFIID riid, void** ppv);
    // Called by the framework's Disconnect; also forgets the given allocator.
    DS_HOOK(BreakConnection) void BreakConnection();

    // IPin
    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    STDMETHOD(Disconnect)() override;
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* pmt) override;
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* pmt) override;
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) override;
    // IMemInputPin
    STDMETHOD(GetAllocator)(IMemAllocator** ppAllocator) override;
    STDMETHOD(NotifyAllocator)(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* pProps) override;
    STDMETHOD(ReceiveCanBlock)() override;

    // The upstream pin, taken under the pin lock (null when unconnected).
    CComPtr<IPin> Upstream();
    // The current media type, copied under the pin lock.
    CMType CurrentType();
    void SetCurrentType(const AM_MEDIA_TYPE& mt);

    // The pin handed out an allocator of its own through GetAllocator.
    bool m_bAllocatorGiven = false;
    // Mirror of the filter's dynamic reconnection option.
    volatile LONG m_bDynReconnect = TRUE;

private:
    bool InPassThru();
};

// ---------------------------------------------------------------------------
// Output pin: completes its connections through the filter and remembers the
// subtypes for which no allocator could be agreed.
class COutput : public COutputPin<COutput, CSpyFilter>
{
public:
    typedef COutputPin<COutput, CSpyFilter> Base;

    // Hook of the framework's Connect, after a media type was agreed: the
    // allocator agreement, falling back to other upstream types when it fails.
    DS_HOOK(AgreeExchange) HRESULT AgreeExchange();

    STDMETHOD(Connect)(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;

    bool IsRefusedSubtype(REFGUID subtype);
    // The downstream pin, taken under the pin lock (null when unconnected).
    CComPtr<IPin> Downstream();
    CMType CurrentType();
    void SetCurrentType(const AM_MEDIA_TYPE& mt);

    // Subtypes refused on a connected output; kept for the life of the pin.
    std::vector<GUID> m_refusedSubtypes;

private:
    HRESULT AgreeOtherType();
    HRESULT TryOtherType(const AM_MEDIA_TYPE* pmt);
    void RefuseSubtype(REFGUID subtype);
    void UndoConnect();
    void UpdateSeparateAllocators();
};

// ---------------------------------------------------------------------------
class CSpyFilter : public CTransInPlaceFilter<CSpyFilter, CInput, COutput>,
                   public CComCoClass<CSpyFilter, &CLSID_SpyFilter>,
                   public IDirectShowDebugImpl<CSpyFilter>,
                   public CPersistObjectImpl<CSpyFilter>,
                   public IPersistStreamImpl<CSpyFilter>,
                   public ISpecifyPropertyPagesImpl,
                   public IVelmoraVersionWrapper
{
public:
    typedef CTransInPlaceFilter<CSpyFilter, CInput, COutput> Base;

    BEGIN_COM_MAP(CSpyFilter)
    COM_INTERFACE_ENTRY2(IPersist, IBaseFilter)
    COM_INTERFACE_ENTRY2(IMediaFilter, IBaseFilter)
    COM_INTERFACE_ENTRY(IBaseFilter)
    COM_INTERFACE_ENTRY(IDirectShowDebug)
    COM_INTERFACE_ENTRY(IPersistStream)
    COM_INTERFACE_ENTRY(ISpecifyPropertyPages)
    COM_INTERFACE_ENTRY_IID(IID_IVelmoraVersion, IVelmoraVersion)
    COM_INTERFACE_ENTRY_FUNC(IID_IVelmoraSpyFilter, QueryControl)
    END_COM_MAP()
    // Script 101, the maker's category and the filter mapper's entries.
    static HRESULT UpdateRegistry(BOOL bRegister);

    // What IPersistStream saves, in this order (the persisted layout).
    BEGIN_PERSIST_MAP(CSpyFilter)
    PERSIST_ENTRY(m_clsid)
    PERSIST_ENTRY(m_bDynReconnect)
    PERSIST_ENTRY(m_bMTEnumRedir)
    PERSIST_ENTRY(m_bForcePassthru)
    PERSIST_ENTRY(m_bCheckSum)
    PERSIST_ENTRY_OBJECT(m_capture)
    END_PERSIST_MAP()
    // Another class's stream or a damaged one leaves the default options.
    HRESULT PersistLoad(IStream* pStm) override;
    LPCWSTR VersionOwnerTag() override { return GetTraceName(); }

    CSpyFilter();
    ~CSpyFilter() override;
    HRESULT FinalConstruct();

    // --- IBaseFilter overrides
    STDMETHOD(Stop)() override;
    STDMETHOD(Pause)() override;
    STDMETHOD(Run)(REFERENCE_TIME tStart) override;

    // --- Control operations (the control interface forwards to these)
    HRESULT EnableDynReconnect(LONG bEnable);
    HRESULT IsDynReconnecEnabled();
    HRESULT EnableMTEnumRedir(LONG bEnable);
    HRESULT IsMTEnumRedirEnabled();
    HRESULT GetBitrates(UINT* pnTotalAvg, UINT* pnMovingAvg);
    HRESULT GetSamplesPerSec(double* pdSamplesPerSec);
    HRESULT ForcePassthruAllocator(LONG bForce);
    HRESULT IsPassthruAllocatorForced(LONG* pbForced);
    HRESULT SetCaptureProps(BSTR bstrFileNameTemplate, LONG bOneSamplePerFile, UINT nSamples);
    HRESULT GetCaptureProps(BSTR* pbstrFileNameTemplate, LONG* pbOneSamplePerFile, UINT* pnSamples);
    HRESULT StartCapture();
    HRESULT SetCheckSum(LONG bCalculate);
    HRESULT GetCheckSum(LONG* pbCalculate);

    // --- Framework hooks (all called without the filter lock unless stated)
    // Read once when the output pin is created.
    DS_HOOK(GetMediaTypeRedirection) int GetMediaTypeRedirection() const { return m_bMTEnumRedir; }
    // Streaming thread, inside the input pin's streaming lock.
    DS_HOOK(Filter_SendSample) HRESULT Filter_SendSample(DWORD dwCookie, IMediaSample* pSample);
    DS_HOOK(Filter_EndOfStream) HRESULT Filter_EndOfStream(DWORD dwCookie);
    DS_HOOK(Filter_BeginFlush) HRESULT Filter_BeginFlush(DWORD dwCookie);
    DS_HOOK(Filter_EndFlush) HRESULT Filter_EndFlush(DWORD dwCookie);
    DS_HOOK(Filter_NewSegment) HRESULT Filter_NewSegment(DWORD dwCookie, REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);
    // From downstream, on its thread.
    DS_HOOK(Filter_QualityNotify) HRESULT Filter_QualityNotify(DWORD dwCookie, IBaseFilter* pSender, Quality q);
    // Under the filter lock.
    DS_HOOK(Filter_JoinFilterGraph) HRESULT Filter_JoinFilterGraph(bool bJoin);
    DS_HOOK(Filter_QueryAcceptMT) bool Filter_QueryAcceptMT(DWORD dwCookie, const AM_MEDIA_TYPE* pmt);
    // Under the calling pin's lock.
    DS_HOOK(Filter_CompleteConnect) HRESULT Filter_CompleteConnect(DWORD dwCookie);
    DS_HOOK(Filter_Disconnect) void Filter_Disconnect(DWORD dwCookie);
    DS_HOOK(Filter_GetTransInPlaceAlloc)
    HRESULT Filter_GetTransInPlaceAlloc(DWORD dwCookie, IMemAllocator** ppUpAlloc, bool* pbUseUpstream, bool* pbReadOnly);

    // --- Pass-through connections and dynamic reconnection
    // After the input accepted an allocator outside pass-through mode.
    HRESULT Filter_CompleteConnectInput();
    // After the output connected, and when the pass-through option changes.
    HRESULT Filter_CompleteConnectOutput();
    HRESULT PassThru_ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt);
    HRESULT PassThru_Disconnect();
    HRESULT PassThru_GetAllocator(IMemAllocator** ppAllocator);
    HRESULT PassThru_NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly);
    HRESULT PassThru_GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps);
    HRESULT PassThru_ReceiveCanBlock();
    bool IsPassThru() const { return m_bAcceptAnyOutputType; }
    CComPtr<IPin> DownstreamPin();
    // Leaves pass-through mode and forgets the remembered downstream pin.
    void LeavePassThru();
    // The graph reconnects the input pin (null type).
    HRESULT ReconnectInput();

    // --- Options (32-bit stores, read by the streaming thread without a lock)
    CLSID m_clsid = CLSID_SpyFilter;
    volatile LONG m_bDynReconnect = TRUE;
    volatile LONG m_bMTEnumRedir = TRUE;
    volatile LONG m_bCheckSum = FALSE;
    volatile LONG m_bForcePassthru = FALSE;

    // --- Statistics (filter lock)
    LONGLONG m_llSamples = 0;
    LONGLONG m_llAudioFrames = 0;
    double m_dSamplesPerSec = 0.0;
    double m_dDecayedBits = 0.0;
    double m_dDecayedSeconds = 0.0;
    DWORD m_dwLastTick = 0;
    DWORD m_dwRateTick = 0; // GetTickCount of the last samples-per-second update
    LONGLONG m_llTickTime = 0;
    UINT m_nBadTimecodes = 0;
    UINT m_nBadFormats = 0; // wave formats that cannot count frames
    UINT m_nTypeQueryFailures = 0; // upstream ConnectionMediaType failures
    REFERENCE_TIME m_tTotalDuration = 0;
    REFERENCE_TIME m_tSlotStart = MINLONGLONG;
    LONGLONG m_llTotalBytes = 0;
    LONGLONG m_llSlotBytes = 0;

    CCaptureSamples m_capture;

    // --- Pass-through mode
    CComPtr<IPin> m_spDownstreamPin;
    volatile bool m_bAcceptAnyOutputType = false;
    // Set while an input connection completes: an output reconnection it
    // starts must not reconnect the input it is completing.
    bool m_bCompletingInput = false;

    // --- Registry options and the difference file (streaming thread, Pause, Stop)
    bool m_bCheckPositioning = false;
    WCHAR m_szDifferenceFile[MAX_PATH] = {};
    DWORD m_dwFreq = 0;
    CFileWriter m_diffFile;
    CVAlloc m_diffBuffer;
    UINT m_nDiffPending = 0;
    UINT m_nDiffTotal = 0;
    LONGLONG m_llPrev = 0;
    CPerf m_perf;

    static constexpr DWORD DIFF_BUFFER_SIZE = 65536;

private:
    // The control interface: a part of this object, one identity.
    CSpyFilterControl<CSpyFilter> m_control{this};
    HRESULT QueryControl(REFIID, void** ppv) { return m_control.Query(ppv); }
    // The build line, traced once at construction.
    void InitVersion();

    LPCWSTR InitTag();
    void ResetStatistics();
    void ReadRegistryOptions();
    bool RunningTime(REFERENCE_TIME* ptRunning);

    // What the statistics take of a sample.
    struct CSampleFacts
    {
        REFERENCE_TIME tStart = 0;
        bool bTimed = false;
        long cbActual = 0;  // cut to the buffer
        LONGLONG cbCounted = 0; // for the bitrate: actual length, else buffer size
    };

    // Steps of Filter_SendSample.
    void TraceSample(IMediaSample* pSample);
    void CheckTimecode(IMediaSample* pSample);
    void RecordInterval();
    CSampleFacts SampleFacts(IMediaSample* pSample);
    void AccountBitrate(const CSampleFacts& facts);
    bool TrackInPlaceType(IMediaSample* pSample);
    HRESULT PrepareCopy(IMediaSample* pSample, IMediaSample** ppOut);
    HRESULT CopyInto(IMediaSample* pSample, IMediaSample* pOut);
    void HandToCapture(IMediaSample* pSample);
    HRESULT Deliver(IMediaSample* pOut);
    void FinishSample(const CSampleFacts& facts, HRESULT hr, bool bTypeChanged);
    void CountAudioFrames(long cb);
    void UpdateSamplesPerSec();

    // Steps of Pause and Stop.
    void TraceAllocators();
    HRESULT OpenDifferenceFile();
    HRESULT CloseDifferenceFile();

    HRESULT CompleteConnectIn();
    HRESULT CompleteConnectOut();
    HRESULT ReconnectOutputRunning(const CMType& mtIn);
    bool IsSpecialYuvCase(const AM_MEDIA_TYPE* pmt);
    HRESULT StreamEvent(LPCWSTR pszLine, HRESULT (STDMETHODCALLTYPE IPin::*pfn)());
    CComPtr<IMemInputPin> DownstreamMemInput();
};
