// Plain source and sink filters that tests put on both sides of a filter
// under test, inside a real filter graph or wired by hand. They cover what
// the platform's own filters cannot be made to do on demand: every
// allocator agreement, flushing, in-band type changes, ReceiveMultiple,
// quality messages, extra pin interfaces, dynamic reconnection and streaming
// from a thread while another thread changes state.
//
// Objects are created with Create() and held in a CComPtr of the concrete
// class; the pins live inside their filter and count references on it.
// Filters not in a graph are driven directly: Pause() both, then deliver.
// A test program that uses them lists tests/support/TestPeers.cpp in its
// SOURCES and links strmiids.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <dshowx/DSTypes.h>
#include <winapi/ComObject.h>
#include <winapi/ComPtr.h>

// The overlay mixer's pin configuration is declared beside the redirectors.
#include <dshowx/DSRedirectors.h>

// What the sink saw of one sample.
struct SampleRecord
{
    REFERENCE_TIME tStart = 0, tStop = 0;
    HRESULT hrTime = E_FAIL; // GetTime's result: S_OK, VFW_S_NO_STOP_TIME or VFW_E_SAMPLE_TIME_NOT_SET
    long cbActual = 0;
    DWORD dwCrc = 0; // over the actual length
    bool bSync = false, bDiscontinuity = false, bPreroll = false, bMediaType = false;
    FILTER_STATE eStateAtReceive = State_Stopped;
};

// Settings the sink pin's mixer pin configuration holds; the Get methods
// answer them.
struct MixerPinState
{
    DWORD dwLeft = 0, dwTop = 0, dwRight = 10000, dwBottom = 10000;
    DWORD dwZOrder = 0;
    COLORKEY colorKey = {};
    DWORD dwBlending = 255;
    AM_ASPECT_RATIO_MODE eAspect = AM_ARMODE_STRETCHED;
    BOOL bTransparent = FALSE;
    DDCOLORCONTROL colorControl = {};
};

struct SegmentRecord
{
    REFERENCE_TIME tStart, tStop;
    double dRate;
};

// One call of the sink pin's IKsPropertySet: 'S'et, 'G'et or 'Q'uerySupported.
struct PropertySetCall
{
    char cOp;
    GUID guidSet;
    DWORD dwPropId;
    DWORD cbData;
};

// ---------------------------------------------------------------------------
// IMemAllocator over the platform's memory allocator, with faults on demand.
class CTestAllocator : public CComObjectRootMT, public IMemAllocator
{
public:
    static CComPtr<CTestAllocator> Create();
    HRESULT FinalConstruct();

    // Alignment reported by SetProperties/GetProperties instead of the
    // real one (0: the real one), e.g. 3, which no allocator can honour.
    void SetReportedAlign(long cbAlign) { m_cbReportedAlign = cbAlign; }
    // GetProperties fails with hr (S_OK: answers).
    void SetGetPropertiesResult(HRESULT hr) { m_hrGetProperties = hr; }
    // SetProperties refuses with hr without passing on (S_OK: passes on).
    void SetSetPropertiesResult(HRESULT hr) { m_hrSetProperties = hr; }
    // Commit and Decommit answer hr and change nothing (S_OK: pass on).
    void SetCommitResult(HRESULT hr) { m_hrCommit = hr; }
    void SetDecommitResult(HRESULT hr) { m_hrDecommit = hr; }
    // The next buffer handed out carries mt, as a renderer asks for a new
    // picture layout; from then on every buffer is cleared to zero first.
    void SetNextBufferType(const AM_MEDIA_TYPE& mt);

    LONG CommitCount() const { return m_nCommit; }
    LONG DecommitCount() const { return m_nDecommit; }
    bool IsCommitted() const { return m_bCommitted; }
    IMemAllocator* Inner() const { return m_spInner; }

    BEGIN_COM_MAP(CTestAllocator)
    COM_INTERFACE_ENTRY(IMemAllocator)
    END_COM_MAP()

    // IMemAllocator
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
    STDMETHODIMP Commit() override;
    STDMETHODIMP Decommit() override;
    STDMETHODIMP GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd,
                           DWORD dwFlags) override;
    STDMETHODIMP ReleaseBuffer(IMediaSample* pBuffer) override;

private:
    CComPtr<IMemAllocator> m_spInner;
    volatile long m_cbReportedAlign = 0;
    volatile HRESULT m_hrGetProperties = S_OK;
    volatile HRESULT m_hrSetProperties = S_OK;
    volatile HRESULT m_hrCommit = S_OK, m_hrDecommit = S_OK;
    volatile LONG m_nCommit = 0, m_nDecommit = 0;
    volatile bool m_bCommitted = false;
    std::mutex m_mutex; // the next buffer's type
    CMType m_mtNext;
    bool m_bTypePending = false, m_bClear = false;
};

// ---------------------------------------------------------------------------
// Filter plumbing shared by the source and the sink.
class CTestPeerFilter : public CComObjectRootMT, public IBaseFilter
{
public:
    virtual ~CTestPeerFilter() = default;

    FILTER_STATE State() const { return m_eState; }
    IFilterGraph* Graph() const { return m_pGraph; }
    // GetClassID answers clsid, to pose as another filter (GUID_NULL: our own).
    void SetClassId(const CLSID& clsid) { m_clsidPosed = clsid; }

    // IPersist
    STDMETHODIMP GetClassID(CLSID* pClsid) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;
    STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* pState) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** ppClock) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
    STDMETHODIMP FindPin(LPCWSTR pszId, IPin** ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pszName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* ppszVendorInfo) override;

protected:
    virtual IPin* GetPin() = 0;
    virtual const CLSID& ClassId() const = 0;
    // Runs with the filter lock held, before the state is changed; a
    // failure leaves the state as it was.
    virtual HRESULT OnStateChange(FILTER_STATE eFrom, FILTER_STATE eTo) = 0;

    volatile FILTER_STATE m_eState = State_Stopped;
    REFERENCE_TIME m_tStart = 0;
    CComPtr<IReferenceClock> m_spClock;
    IFilterGraph* m_pGraph = nullptr; // not counted: the graph holds us
    WCHAR m_szName[128] = L"";
    CLSID m_clsidPosed = GUID_NULL;
};

// Common part of the two pins: identity, lifetime (on the filter) and
// connection state.
class CTestPinBase : public IPin
{
public:
    CTestPinBase(CTestPeerFilter* pFilter, LPCWSTR pszName, PIN_DIRECTION eDir)
        : m_pFilter(pFilter), m_pszName(pszName), m_eDir(eDir)
    {
    }
    virtual ~CTestPinBase() = default;

    STDMETHODIMP_(ULONG) AddRef() override { return m_pFilter->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pFilter->Release(); }

    // IPin, the parts both pins share
    STDMETHODIMP ConnectedTo(IPin** ppPin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* pDir) override;
    STDMETHODIMP QueryId(LPWSTR* ppszId) override;
    STDMETHODIMP QueryInternalConnections(IPin** ppPins, ULONG* pnPins) override;

    bool IsConnected();
    CMType ConnectionType();
    // Caller holds the filter lock.
    void SetType(const AM_MEDIA_TYPE& mt) { m_mt = mt; }
    // ConnectionMediaType fails with hr while connected (S_OK: answers).
    void SetConnectionTypeResult(HRESULT hr) { m_hrConnectionType = hr; }

protected:
    CTestPeerFilter* m_pFilter;
    LPCWSTR m_pszName;
    PIN_DIRECTION m_eDir;
    CComPtr<IPin> m_spConnected; // under the filter lock
    CMType m_mt;
    volatile HRESULT m_hrConnectionType = S_OK;
};

// ---------------------------------------------------------------------------
// Renderer-like sink with one input pin "In".
class CTestSink : public CTestPeerFilter, public IAMFilterMiscFlags
{
public:
    static const CLSID CLSID_TestSink;
    static CComPtr<CTestSink> Create();
    CTestSink();
    ~CTestSink() override;

    IPin* Pin() { return &m_pin; } // no reference added

    // One IUnknown for both interface bases; the object wrapper implements it.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override = 0;
    STDMETHODIMP_(ULONG) AddRef() override = 0;
    STDMETHODIMP_(ULONG) Release() override = 0;

    // --- Script (set before connecting or streaming)
    // Types ReceiveConnection and QueryAccept take; empty: any with a major type.
    void SetAcceptedTypes(std::vector<CMType> types);
    // Types EnumMediaTypes lists; default none.
    void SetEnumTypes(std::vector<CMType> types);
    // GetAllocator hands out this one with a reference; null: VFW_E_NO_ALLOCATOR.
    void SetAllocator(IMemAllocator* pAllocator);
    void SetRequirements(const ALLOCATOR_PROPERTIES& props);
    // Failure code of GetAllocatorRequirements, e.g. E_NOTIMPL (default answers).
    void SetRequirementsResult(HRESULT hr);
    // The nIndex-th sample received (from 0, Receive and ReceiveMultiple
    // alike) is answered with hr; it is still recorded.
    void SetReceiveResult(size_t nIndex, HRESULT hr);
    // A dynamic ReceiveConnection (from the connected peer) answers hr
    // without a change (S_OK: the usual checks).
    void SetReconnectResult(HRESULT hr) { m_hrReconnect = hr; }
    void EnablePropertySet(bool bEnable) { m_bPropertySet = bEnable; }
    // IMixerPinConfig on the pin (0: off, the default), or also IMixerPinConfig2 (2).
    void EnableMixerPinConfig(int nVersion) { m_nMixerVersion = nVersion; }
    // The pin's QueryInterface for iid raises an access violation.
    void SetQueryInterfaceFault(REFIID iid);
    // Called on every QueryInterface of the pin, on the caller's thread.
    void SetQueryInterfaceHook(std::function<void(REFIID)> fn) { m_fnQueryHook = std::move(fn); }

    // --- Actions
    // Sends q to the connected output pin's IQualityControl.
    HRESULT SendQuality(const Quality& q);
    // Waits until EndOfStream arrives (or has arrived since the last stop
    // or flush); false on timeout.
    bool WaitForEndOfStream(DWORD dwMilliseconds);
    void ClearRecords();

    // --- Records (thread-safe copies)
    std::vector<SampleRecord> Samples();
    size_t SampleCount();
    CComPtr<IMemAllocator> NotifiedAllocator();
    BOOL NotifiedReadOnly();
    LONG NotifyAllocatorCount() const { return m_nNotify; }
    LONG EndOfStreamCount() const { return m_nEos; }
    LONG BeginFlushCount() const { return m_nBeginFlush; }
    LONG EndFlushCount() const { return m_nEndFlush; }
    // Samples refused because the filter was stopped (VFW_E_WRONG_STATE)
    // or the pin flushing (S_FALSE); they are not in Samples().
    LONG ReceivedWhileStopped() const { return m_nWhileStopped; }
    LONG ReceivedWhileFlushing() const { return m_nWhileFlushing; }
    LONG ReceiveConnectionCount() const { return m_nReceiveConnection; }
    std::vector<SegmentRecord> Segments();
    std::vector<PropertySetCall> PropertySetCalls();
    // Names of the mixer pin configuration methods called, in order.
    std::vector<const char*> MixerCalls();
    MixerPinState MixerState();
    CMType ConnectionType() { return m_pin.ConnectionType(); }

    BEGIN_COM_MAP(CTestSink)
    COM_INTERFACE_ENTRY(IBaseFilter)
    COM_INTERFACE_ENTRY2(IMediaFilter, IBaseFilter)
    COM_INTERFACE_ENTRY2(IPersist, IBaseFilter)
    COM_INTERFACE_ENTRY(IAMFilterMiscFlags)
    END_COM_MAP()

    // IAMFilterMiscFlags: the graph counts us as a renderer for EC_COMPLETE.
    STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

protected:
    IPin* GetPin() override { return &m_pin; }
    const CLSID& ClassId() const override { return CLSID_TestSink; }
    HRESULT OnStateChange(FILTER_STATE eFrom, FILTER_STATE eTo) override;

private:
    class CInputPin : public CTestPinBase, public IMemInputPin, public IKsPropertySet, public IMixerPinConfig2
    {
    public:
        explicit CInputPin(CTestSink* pSink) : CTestPinBase(pSink, L"In", PINDIR_INPUT), m_pSink(pSink) {}

        BEGIN_COM_MAP(CInputPin)
        COM_INTERFACE_ENTRY(IPin)
        COM_INTERFACE_ENTRY(IMemInputPin)
        COM_INTERFACE_ENTRY_FUNC(__uuidof(IKsPropertySet), QueryPropertySet)
        COM_INTERFACE_ENTRY_FUNC(__uuidof(IMixerPinConfig), QueryMixer)
        COM_INTERFACE_ENTRY_FUNC(__uuidof(IMixerPinConfig2), QueryMixer)
        END_COM_MAP()
        HRESULT QueryPropertySet(REFIID riid, void** ppv);
        HRESULT QueryMixer(REFIID riid, void** ppv);

        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
        STDMETHODIMP_(ULONG) AddRef() override { return CTestPinBase::AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return CTestPinBase::Release(); }

        // IPin
        STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
        STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
        STDMETHODIMP Disconnect() override;
        STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
        STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
        STDMETHODIMP EndOfStream() override;
        STDMETHODIMP BeginFlush() override;
        STDMETHODIMP EndFlush() override;
        STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;
        // IMemInputPin
        STDMETHODIMP GetAllocator(IMemAllocator** ppAllocator) override;
        STDMETHODIMP NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
        STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
        STDMETHODIMP Receive(IMediaSample* pSample) override;
        STDMETHODIMP ReceiveMultiple(IMediaSample** pSamples, long nSamples, long* pnProcessed) override;
        STDMETHODIMP ReceiveCanBlock() override { return S_FALSE; }
        // IKsPropertySet
        STDMETHODIMP Set(REFGUID guidSet, DWORD dwPropId, LPVOID pInstanceData, DWORD cbInstanceData,
                         LPVOID pPropData, DWORD cbPropData) override;
        STDMETHODIMP Get(REFGUID guidSet, DWORD dwPropId, LPVOID pInstanceData, DWORD cbInstanceData,
                         LPVOID pPropData, DWORD cbPropData, DWORD* pcbReturned) override;
        STDMETHODIMP QuerySupported(REFGUID guidSet, DWORD dwPropId, DWORD* pTypeSupport) override;
        // IMixerPinConfig
        STDMETHODIMP SetRelativePosition(DWORD dwLeft, DWORD dwTop, DWORD dwRight, DWORD dwBottom) override;
        STDMETHODIMP GetRelativePosition(DWORD* pdwLeft, DWORD* pdwTop, DWORD* pdwRight, DWORD* pdwBottom) override;
        STDMETHODIMP SetZOrder(DWORD dwZOrder) override;
        STDMETHODIMP GetZOrder(DWORD* pdwZOrder) override;
        STDMETHODIMP SetColorKey(COLORKEY* pColorKey) override;
        STDMETHODIMP GetColorKey(COLORKEY* pColorKey, DWORD* pColor) override;
        STDMETHODIMP SetBlendingParameter(DWORD dwBlendingParameter) override;
        STDMETHODIMP GetBlendingParameter(DWORD* pdwBlendingParameter) override;
        STDMETHODIMP SetAspectRatioMode(AM_ASPECT_RATIO_MODE eMode) override;
        STDMETHODIMP GetAspectRatioMode(AM_ASPECT_RATIO_MODE* peMode) override;
        STDMETHODIMP SetStreamTransparent(BOOL bStreamTransparent) override;
        STDMETHODIMP GetStreamTransparent(BOOL* pbStreamTransparent) override;
        // IMixerPinConfig2
        STDMETHODIMP SetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) override;
        STDMETHODIMP GetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) override;

        CComPtr<IPin> Connected();

    private:
        CTestSink* m_pSink;
    };

    bool Accepts(const AM_MEDIA_TYPE* pmt);
    void RecordPropertyCall(char cOp, REFGUID guidSet, DWORD dwPropId, DWORD cbData);
    // Records the call and runs change on the state under the records lock.
    HRESULT MixerCall(const char* pszName, const std::function<HRESULT(MixerPinState&)>& change);
    void NotifyComplete();

    CInputPin m_pin{this};

    std::mutex m_mutex; // records and script, never held across a call out
    std::vector<CMType> m_accepted, m_enum;
    CComPtr<IMemAllocator> m_spAllocator;
    ALLOCATOR_PROPERTIES m_requirements = {0, 0, 0, 0};
    HRESULT m_hrRequirements = S_OK;
    std::vector<std::pair<size_t, HRESULT>> m_receiveResults;
    size_t m_nReceived = 0;
    std::vector<SampleRecord> m_samples;
    std::vector<SegmentRecord> m_segments;
    std::vector<PropertySetCall> m_propertyCalls;
    std::vector<const char*> m_mixerCalls;
    MixerPinState m_mixer;
    int m_nMixerVersion = 0;
    CComPtr<IMemAllocator> m_spNotified;
    BOOL m_bNotifiedReadOnly = FALSE;
    volatile LONG m_nNotify = 0, m_nEos = 0, m_nBeginFlush = 0, m_nEndFlush = 0;
    volatile LONG m_nWhileStopped = 0, m_nWhileFlushing = 0, m_nReceiveConnection = 0;
    volatile bool m_bFlushing = false;
    volatile HRESULT m_hrReconnect = S_OK;
    bool m_bEosPending = false; // EndOfStream while paused: EC_COMPLETE on Run
    bool m_bPropertySet = false;
    bool m_bFault = false;
    IID m_iidFault = GUID_NULL;
    std::function<void(REFIID)> m_fnQueryHook;
    HANDLE m_hEos = nullptr;
};

// ---------------------------------------------------------------------------
// Source with one output pin "Out" that streams on the caller's thread or
// on a thread of its own.
class CTestSource : public CTestPeerFilter
{
public:
    static const CLSID CLSID_TestSource;
    static CComPtr<CTestSource> Create();
    CTestSource();
    ~CTestSource() override;

    IPin* Pin() { return &m_pin; } // no reference added

    // PCM, 44100 Hz, 16 bit, stereo, WAVEFORMATEX block.
    static CMType DefaultAudioType();
    // The byte pattern of sample nIndex, different for each sample.
    static void FillPattern(BYTE* pb, long cb, unsigned nIndex);

    // --- Connection script
    void SetMediaTypes(std::vector<CMType> types);
    enum EAllocatorPolicy
    {
        AllocDownstreamFirst, // ask GetAllocator first, else our own
        AllocOwnOnly,
    };
    void SetAllocatorPolicy(EAllocatorPolicy ePolicy) { m_ePolicy = ePolicy; }
    // Our own allocator; null: a new platform memory allocator.
    void SetOwnAllocator(IMemAllocator* pAllocator) { m_spOwnAllocator = pAllocator; }
    // Requested properties, merged with the sink's requirements; default {4, 4096, 1, 0}.
    void SetRequestProperties(const ALLOCATOR_PROPERTIES& props) { m_request = props; }
    void SetReadOnly(BOOL bReadOnly) { m_bReadOnly = bReadOnly; }
    // IMediaSeeking on the pin; on by default.
    void EnableSeeking(bool bEnable) { m_bSeeking = bEnable; }

    // --- What was agreed
    CComPtr<IMemAllocator> Allocator();
    ALLOCATOR_PROPERTIES AgreedProperties() const { return m_actual; }
    bool UsesDownstreamAllocator() const { return m_bDownstreamAllocator; }

    // --- Streaming on the caller's thread. Sample times run on from the
    // last sample (SetNextTime moves them); sync point on every sample.
    void SetNextTime(REFERENCE_TIME t) { m_tNext = t; }
    // n samples of cbSample bytes and tDuration each; stops at the first
    // failure and returns it. Every result is in Results().
    HRESULT Deliver(int n, long cbSample, REFERENCE_TIME tDuration);
    // One sample; pmt attached with SetMediaType; fill replaces the pattern.
    HRESULT DeliverOne(long cbSample, REFERENCE_TIME tDuration, const AM_MEDIA_TYPE* pmt = nullptr,
                       const std::function<void(BYTE*, long)>& fill = {});
    // n samples in one ReceiveMultiple; *pnProcessed gets its count.
    HRESULT DeliverMultiple(int n, long cbSample, REFERENCE_TIME tDuration, long* pnProcessed = nullptr);
    std::vector<HRESULT> Results();
    HRESULT SendEndOfStream();
    HRESULT SendBeginFlush();
    HRESULT SendEndFlush();
    HRESULT SendNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);
    // NotifyAllocator again on the downstream IMemInputPin.
    HRESULT Renotify(IMemAllocator* pAllocator, BOOL bReadOnly);
    // The connected input pin's ReceiveConnection(this pin, mt), as a peer
    // that changes type while connected does; on success the connection
    // takes mt.
    HRESULT ReconnectWith(const AM_MEDIA_TYPE& mt);
    // The pin's connection type becomes mt without a word to the peer, as
    // ConnectionMediaType of a pin that changed its format in place tells.
    void ChangeConnectionType(const AM_MEDIA_TYPE& mt);
    // ConnectionMediaType fails with hr (S_OK: answers).
    void SetConnectionTypeResult(HRESULT hr) { m_pin.SetConnectionTypeResult(hr); }

    // --- Streaming thread: pushes samples until StopThread; waits while
    // the allocator is decommitted instead of failing.
    HRESULT StartThread(long cbSample, REFERENCE_TIME tDuration = 10000, DWORD dwSleepMs = 0);
    void StopThread();
    LONG ThreadSent() const { return m_nThreadSent; }
    LONG ThreadRefused() const { return m_nThreadRefused; }

    // --- Upstream messages recorded
    LONG QualityNotifyCount() const { return m_nQuality; }
    Quality LastQuality();
    LONG SetPositionsCount() const { return m_nSetPositions; }
    REFERENCE_TIME LastSetCurrent() const { return m_tSetCurrent; }
    REFERENCE_TIME LastSetStop() const { return m_tSetStop; }

    BEGIN_COM_MAP(CTestSource)
    COM_INTERFACE_ENTRY(IBaseFilter)
    COM_INTERFACE_ENTRY2(IMediaFilter, IBaseFilter)
    COM_INTERFACE_ENTRY2(IPersist, IBaseFilter)
    END_COM_MAP()

protected:
    IPin* GetPin() override { return &m_pin; }
    const CLSID& ClassId() const override { return CLSID_TestSource; }
    HRESULT OnStateChange(FILTER_STATE eFrom, FILTER_STATE eTo) override;

private:
    class COutputPin : public CTestPinBase, public IQualityControl, public IMediaSeeking
    {
    public:
        explicit COutputPin(CTestSource* pSource) : CTestPinBase(pSource, L"Out", PINDIR_OUTPUT), m_pSource(pSource)
        {
        }

        BEGIN_COM_MAP(COutputPin)
        COM_INTERFACE_ENTRY(IPin)
        COM_INTERFACE_ENTRY(IQualityControl)
        COM_INTERFACE_ENTRY_FUNC(__uuidof(IMediaSeeking), QuerySeeking)
        END_COM_MAP()
        HRESULT QuerySeeking(REFIID riid, void** ppv);

        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return _InternalQueryInterface(riid, ppv); }
        STDMETHODIMP_(ULONG) AddRef() override { return CTestPinBase::AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return CTestPinBase::Release(); }

        // IPin
        STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
        STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
        STDMETHODIMP Disconnect() override;
        STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
        STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
        STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
        STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
        STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
        STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_UNEXPECTED; }
        // IQualityControl
        STDMETHODIMP Notify(IBaseFilter* pSelf, Quality q) override;
        STDMETHODIMP SetSink(IQualityControl* pSink) override;
        // IMediaSeeking
        STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override;
        STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override;
        STDMETHODIMP IsFormatSupported(const GUID* pFormat) override;
        STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override;
        STDMETHODIMP GetTimeFormat(GUID* pFormat) override;
        STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override;
        STDMETHODIMP SetTimeFormat(const GUID* pFormat) override;
        STDMETHODIMP GetDuration(LONGLONG* pDuration) override;
        STDMETHODIMP GetStopPosition(LONGLONG* pStop) override;
        STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override;
        STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG llSource,
                                       const GUID* pSourceFormat) override;
        STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                  DWORD dwStopFlags) override;
        STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
        STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
        STDMETHODIMP SetRate(double dRate) override;
        STDMETHODIMP GetRate(double* pdRate) override;
        STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override;

        HRESULT TryConnect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt);
        HRESULT DecideAllocator(IMemInputPin* pInput);
        CComPtr<IPin> Connected();

    private:
        CTestSource* m_pSource;
    };
    friend class COutputPin;

    // A sample from the agreed allocator, filled, timed and marked.
    HRESULT MakeSample(long cbSample, REFERENCE_TIME tDuration, const AM_MEDIA_TYPE* pmt,
                       const std::function<void(BYTE*, long)>& fill, IMediaSample** ppSample);
    CComPtr<IMemInputPin> Input();
    void Record(HRESULT hr);
    void ThreadLoop(long cbSample, REFERENCE_TIME tDuration, DWORD dwSleepMs);

    COutputPin m_pin{this};

    std::mutex m_mutex; // records, never held across a call out
    std::vector<CMType> m_types;
    std::vector<CMType> m_alsoAccepted; // types a reconnection moved to
    EAllocatorPolicy m_ePolicy = AllocDownstreamFirst;
    CComPtr<IMemAllocator> m_spOwnAllocator;
    ALLOCATOR_PROPERTIES m_request = {4, 4096, 1, 0};
    ALLOCATOR_PROPERTIES m_actual = {0, 0, 0, 0};
    BOOL m_bReadOnly = FALSE;
    bool m_bSeeking = true;
    bool m_bDownstreamAllocator = false;
    CComPtr<IMemAllocator> m_spAllocator; // agreed; under the filter lock
    CComPtr<IMemInputPin> m_spInput;      // under the filter lock
    REFERENCE_TIME m_tNext = 0;
    unsigned m_nSample = 0;
    std::vector<HRESULT> m_results;

    std::thread m_thread;
    volatile bool m_bStopThread = false;
    volatile LONG m_nThreadSent = 0, m_nThreadRefused = 0;

    volatile LONG m_nQuality = 0;
    Quality m_lastQuality = {};
    volatile LONG m_nSetPositions = 0;
    REFERENCE_TIME m_tSetCurrent = 0, m_tSetStop = 0;
};
