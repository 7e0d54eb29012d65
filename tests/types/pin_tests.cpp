// Media types of real pins and of small doubles for what no real pin does:
// an enumerator that answers S_OK without a type, a filter without a class
// identifier, a pin with capture capabilities.
#include <windows.h>
#include <dshow.h>
#include <mmreg.h>

#include <dshowx/DSTypes.h>
#include <helpers/GraphPins.h>
#include <winapi/ComPtr.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/ComTest.h"
#include "support/TraceCapture.h"
#include "support/WaveFile.h"
#include "types/TypeBuilders.h"

using testing::ElementsAre;
using testing::HasSubstr;

namespace
{
constexpr DWORD CAT = 1;
constexpr DWORD LVL = 2;

const std::wstring kBegin = L"----------------------------------- Pin media types : BEGIN\n";
const std::wstring kEnd = L"----------------------------------- Pin media types : END\n";

std::vector<std::wstring> Bodies(const CTraceCapture& trace)
{
    std::vector<std::wstring> bodies;
    for (const std::wstring& line : trace.Lines())
        bodies.push_back(CTraceCapture::Body(line));
    return bodies;
}

class PinMediaTypes : public CComTest
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(ComResult())); }
};

// Lives on the stack of a test: references are counted, never freed.
template <class I> class CStackObject : public I
{
public:
    virtual ~CStackObject() = default;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, __uuidof(I)))
        {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<I*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_nRefs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_nRefs; }
    LONG m_nRefs = 1;
};

class CTestFilter : public CStackObject<IBaseFilter>
{
public:
    HRESULT m_hrClassID = E_FAIL;
    STDMETHODIMP GetClassID(CLSID* pClsid) override
    {
        *pClsid = CLSID_NullRendererFilter;
        return m_hrClassID;
    }
    STDMETHODIMP Stop() override { return E_NOTIMPL; }
    STDMETHODIMP Pause() override { return E_NOTIMPL; }
    STDMETHODIMP Run(REFERENCE_TIME) override { return E_NOTIMPL; }
    STDMETHODIMP GetState(DWORD, FILTER_STATE*) override { return E_NOTIMPL; }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSyncSource(IReferenceClock**) override { return E_NOTIMPL; }
    STDMETHODIMP EnumPins(IEnumPins**) override { return E_NOTIMPL; }
    STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }
};

enum class ENext
{
    Types,     // hands out m_types, then S_FALSE
    NoType,    // S_OK without a type, for ever
    Fails,     // E_UNEXPECTED
};

class CTestEnum : public CStackObject<IEnumMediaTypes>
{
public:
    ENext m_eNext = ENext::Types;
    HRESULT m_hrReset = S_OK;
    std::vector<CMType> m_types;
    size_t m_nPos = 0;
    int m_nNextCalls = 0;

    STDMETHODIMP Next(ULONG, AM_MEDIA_TYPE** ppmt, ULONG* pcFetched) override
    {
        ++m_nNextCalls;
        *ppmt = nullptr;
        *pcFetched = 0;
        if (m_eNext == ENext::NoType)
            return S_OK;
        if (m_eNext == ENext::Fails)
            return E_UNEXPECTED;
        if (m_nPos == m_types.size())
            return S_FALSE;
        *ppmt = MTDup(&m_types[m_nPos++]);
        *pcFetched = 1;
        return S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override
    {
        m_nPos = 0;
        return m_hrReset;
    }
    STDMETHODIMP Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }
};

class CTestPin : public CStackObject<IPin>
{
public:
    HRESULT m_hrPinInfo = S_OK;
    IBaseFilter* m_pFilter = nullptr;
    HRESULT m_hrEnum = S_OK;
    CTestEnum m_enum;

    STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override
    {
        memset(pInfo, 0, sizeof(*pInfo));
        pInfo->pFilter = m_pFilter;
        if (m_pFilter != nullptr)
            m_pFilter->AddRef();
        return m_hrPinInfo;
    }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override
    {
        *ppEnum = nullptr;
        if (FAILED(m_hrEnum))
            return m_hrEnum;
        *ppEnum = &m_enum;
        m_enum.AddRef();
        return S_OK;
    }
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect() override { return E_NOTIMPL; }
    STDMETHODIMP ConnectedTo(IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_NOTIMPL; }
    STDMETHODIMP BeginFlush() override { return E_NOTIMPL; }
    STDMETHODIMP EndFlush() override { return E_NOTIMPL; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_NOTIMPL; }
};

class CTestStreamConfig : public CStackObject<IAMStreamConfig>
{
public:
    int m_nCount = 0;
    int m_cbCaps = 0;
    int m_nFailIndex = -1;
    std::vector<BYTE> m_caps;
    LONG m_nLiveTypes = 0;

    STDMETHODIMP SetFormat(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE**) override { return E_NOTIMPL; }
    STDMETHODIMP GetNumberOfCapabilities(int* pnCount, int* pcbSize) override
    {
        *pnCount = m_nCount;
        *pcbSize = m_cbCaps;
        return m_nCount < 0 ? E_FAIL : S_OK;
    }
    STDMETHODIMP GetStreamCaps(int nIndex, AM_MEDIA_TYPE** ppmt, BYTE* pbCaps) override
    {
        if (nIndex == m_nFailIndex)
            return E_INVALIDARG;
        memcpy(pbCaps, m_caps.data(), m_cbCaps);
        CMType mt = IsEqualGUID(reinterpret_cast<GUID*>(pbCaps)[0], FORMAT_WaveFormatEx)
                        ? MakeAudioType(44100, 2, 16)
                        : MakeVideoType(FORMAT_VideoInfo, 88);
        *ppmt = MTDup(&mt);
        return S_OK;
    }
};

// A 16-bit stereo PCM file of 0.1 s at 44,100 Hz.
std::wstring WriteWaveFile()
{
    return WriteTestWaveFile(44100, 2, 16, 17640);
}

} // namespace


TEST_F(PinMediaTypes, RealParserPinListsItsPcmType)
{
    const std::wstring path = WriteWaveFile();
    CComPtr<IGraphBuilder> spGraph;
    CComPtr<IBaseFilter> spReader, spParser;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&spGraph)));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spReader)));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WaveParserFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spParser)));
    ASSERT_EQ(S_OK, spGraph->AddFilter(spReader, L"Reader"));
    ASSERT_EQ(S_OK, spGraph->AddFilter(spParser, L"Parser"));
    CComPtr<IFileSourceFilter> spSource;
    ASSERT_EQ(S_OK, spReader->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&spSource)));
    ASSERT_EQ(S_OK, spSource->Load(path.c_str(), nullptr));
    CComPtr<IPin> spReaderOut = FindPin(spReader, PINDIR_OUTPUT);
    CComPtr<IPin> spParserIn = FindPin(spParser, PINDIR_INPUT);
    ASSERT_TRUE(spReaderOut && spParserIn);
    ASSERT_EQ(S_OK, spGraph->ConnectDirect(spReaderOut, spParserIn, nullptr));
    CComPtr<IPin> spParserOut = FindPin(spParser, PINDIR_OUTPUT);
    ASSERT_TRUE(spParserOut);

    {
        CTraceCapture trace;
        Debug_PinMediaTypes(CAT, LVL, spParserOut);
        Debug_FilterFromPin(CAT, LVL, L"Out ", spParserOut);
        std::vector<std::wstring> bodies = Bodies(trace);
        ASSERT_GE(bodies.size(), 5u);
        EXPECT_EQ(kBegin, bodies.front());
        EXPECT_THAT(bodies[1], testing::StartsWith(L"MT: { MEDIATYPE_Audio / MEDIASUBTYPE_PCM / FORMAT_WaveFormatEx }"));
        EXPECT_THAT(trace.Text(), HasSubstr(L"MT: WAVEFORMATEX: Tag=0x1, chan=2, nPerSec=44100, nAvg=176400, align=4, "
                                            L"bits=16  size="));
        EXPECT_EQ(kEnd, bodies[bodies.size() - 2]);
        EXPECT_EQ(L"Out filter [Wave Parser]\n", bodies.back());
        EXPECT_THAT(trace.Text(), testing::Not(HasSubstr(L"###Err###")));
    }
    // Wine frees the parser's output pin when its input disconnects, whatever
    // references are left: let go of the pins before the filters leave.
    spParserOut.Release();
    spParserIn.Release();
    spReaderOut.Release();
    spSource.Release();
    spGraph->RemoveFilter(spParser);
    spGraph->RemoveFilter(spReader);
    spParser.Release();
    spReader.Release();
    spGraph.Release();
    DeleteFileW(path.c_str());
}

TEST_F(PinMediaTypes, RealRendererPinAndItsFilter)
{
    CComPtr<IBaseFilter> spRenderer;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRendererFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spRenderer)));
    CComPtr<IPin> spIn = FindPin(spRenderer, PINDIR_INPUT);
    ASSERT_TRUE(spIn);
    CTraceCapture trace;
    Debug_FilterFromPin(CAT, LVL, nullptr, spIn);
    Debug_PinMediaTypes(CAT, LVL, spIn);
    std::vector<std::wstring> bodies = Bodies(trace);
    ASSERT_GE(bodies.size(), 3u);
    EXPECT_EQ(L"filter [Null Renderer]\n", bodies[0]);
    EXPECT_EQ(kBegin, bodies[1]);
    EXPECT_EQ(kEnd, bodies.back());
    EXPECT_THAT(trace.Text(), testing::Not(HasSubstr(L"###Err###")));
}

TEST(PinMediaTypesDouble, TypesAreListedAndDeleted)
{
    CCountedUnknown unk;
    CTestPin pin;
    pin.m_enum.m_types.push_back(MakeAudioType(8000, 1, 8));
    pin.m_enum.m_types.back().pUnk = &unk;
    unk.AddRef();
    pin.m_enum.m_types.push_back(CMType(MEDIATYPE_Stream, GUID_NULL));
    CTraceCapture trace;
    Debug_PinMediaTypes(CAT, LVL, &pin);
    std::vector<std::wstring> bodies = Bodies(trace);
    EXPECT_EQ(kBegin, bodies.front());
    EXPECT_EQ(kEnd, bodies.back());
    EXPECT_EQ(1, std::count(bodies.begin(), bodies.end(),
                            L"MT: { MEDIATYPE_Stream / GUID_NULL / GUID_NULL }, size=1, cbForm=0, fix:Y, compr:N\n"));
    EXPECT_EQ(1, unk.Refs()) << "the enumerated duplicates were deleted";
    EXPECT_EQ(1, pin.m_enum.m_nRefs) << "the enumerator was released";
    pin.m_enum.m_types.clear();
}

TEST(PinMediaTypesDouble, BadDataEndsTheList)
{
    CTestPin pin;
    pin.m_enum.m_eNext = ENext::NoType;
    CTraceCapture trace;
    Debug_PinMediaTypes(CAT, LVL, &pin);
    EXPECT_THAT(Bodies(trace),
                ElementsAre(kBegin, L"###Err### Debug_PinMediaTypes(): bad data from spEnumMT->Next(): cFetched=0, "
                                    L"pmt=0x" + std::wstring(2 * sizeof(void*), L'0') + L"\n",
                            kEnd));
    EXPECT_EQ(1, pin.m_enum.m_nNextCalls);
}

TEST(PinMediaTypesDouble, FailuresOfThePinAndEnumerator)
{
    struct Row
    {
        HRESULT hrEnum;
        HRESULT hrReset;
        ENext eNext;
        std::wstring error;
    };
    const Row rows[] = {
        {E_OUTOFMEMORY, S_OK, ENext::Types, L"###Err### Debug_PinMediaTypes(): pPin->EnumMediaTypes()=0x8007000E\n"},
        {S_OK, E_FAIL, ENext::Types, L"###Err### Debug_PinMediaTypes(): spEnumMT->Reset()=0x80004005\n"},
        {S_OK, S_OK, ENext::Fails, L"###Err### Debug_PinMediaTypes(): spEnumMT->Next()=0x8000FFFF\n"},
    };
    for (const Row& row : rows)
    {
        CTestPin pin;
        pin.m_hrEnum = row.hrEnum;
        pin.m_enum.m_hrReset = row.hrReset;
        pin.m_enum.m_eNext = row.eNext;
        CTraceCapture trace;
        Debug_PinMediaTypes(CAT, LVL, &pin);
        EXPECT_THAT(Bodies(trace), ElementsAre(kBegin, row.error, kEnd));
        EXPECT_EQ(1, pin.m_enum.m_nRefs);
    }
    CTraceCapture trace;
    Debug_PinMediaTypes(CAT, LVL, nullptr);
    EXPECT_THAT(Bodies(trace), ElementsAre(kBegin, L"Debug_PinMediaTypes(): Empty pin pointer\n", kEnd));
}

TEST(FilterFromPinDouble, EachFailingStepIsReported)
{
    CTestFilter filter;
    CTestPin pin;
    pin.m_pFilter = &filter;
    CTraceCapture trace;
    Debug_FilterFromPin(CAT, LVL, L"P ", &pin);
    EXPECT_EQ(1, filter.m_nRefs) << "the filter from the pin information is released";
    filter.m_hrClassID = S_OK;
    Debug_FilterFromPin(CAT, LVL, L"P ", &pin);
    pin.m_pFilter = nullptr;
    Debug_FilterFromPin(CAT, LVL, L"P ", &pin);
    pin.m_hrPinInfo = E_NOTIMPL;
    pin.m_pFilter = &filter; // filled in although the call fails
    Debug_FilterFromPin(CAT, LVL, L"P ", &pin);
    Debug_FilterFromPin(CAT, LVL, L"P ", nullptr);
    EXPECT_THAT(Bodies(trace),
                ElementsAre(L"###Err### P Debug_FilterFromPin(): pFilter->GetClassID()=0x80004005\n",
                            L"P filter [Null Renderer]\n",
                            L"###Err### P Debug_FilterFromPin(): rgPinInfo.pFilter == NULL\n",
                            L"###Err### P Debug_FilterFromPin(): pPin->QueryPinInfo()=0x80004001\n",
                            L"###Err### P Debug_FilterFromPin(): Empty pin pointer\n"));
    EXPECT_EQ(1, filter.m_nRefs);
}

TEST(AMStreamConfigDouble, VideoCapabilities)
{
    CTestStreamConfig config;
    config.m_nCount = 2;
    config.m_cbCaps = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    VIDEO_STREAM_CONFIG_CAPS caps = {};
    caps.guid = FORMAT_VideoInfo;
    caps.VideoStandard = 0x11;
    caps.InputSize = {720, 576};
    caps.MaxOutputSize = {1920, 1080};
    caps.MinFrameInterval = 333333;
    caps.MaxFrameInterval = 10000000;
    caps.MaxBitsPerSecond = 5000;
    config.m_caps.assign(reinterpret_cast<BYTE*>(&caps), reinterpret_cast<BYTE*>(&caps + 1));
    config.m_nFailIndex = 1;
    CTraceCapture trace;
    Debug_AMStreamConfig(CAT, LVL, &config, L"Cap ");
    std::vector<std::wstring> bodies = Bodies(trace);
    ASSERT_EQ(14u, bodies.size());
    EXPECT_EQ(L"=================================== Cap IAMStreamConfig: count 2, size 128\n", bodies[0]);
    EXPECT_THAT(bodies[1], testing::StartsWith(L"Cap  0 MT: { MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo }"));
    EXPECT_EQ(L"Cap  0 SC: guid: FORMAT_VideoInfo, VideoStandard: NTSC_M|PAL_B (0x11)\n", bodies[5]);
    EXPECT_EQ(L"Cap  0 SC: InputSize: [720,576], MinCroppingSize: [0,0], MaxCroppingSize: [0,0]\n", bodies[6]);
    EXPECT_EQ(L"Cap  0 SC: MinOutputSize: [0,0], MaxOutputSize: [1920,1080], OutputGranularityX=0, "
              L"OutputGranularityY=0\n",
              bodies[8]);
    EXPECT_EQ(L"Cap  0 SC: MinFrameInterval=0.033'3333, MaxFrameInterval=1.000, MinBitsPerSecond=0, "
              L"MaxBitsPerSecond=5000\n",
              bodies[10]);
    EXPECT_EQ(L"\n", bodies[11]);
    EXPECT_EQ(L"###Err### Cap Debug_AMStreamConfig(): GetStreamCaps( 1 )=0x80070057\n", bodies[12]);
    EXPECT_EQ(L"=================================== IAMStreamConfig: END\n", bodies[13]);
    EXPECT_EQ(1, config.m_nRefs);
}

TEST(AMStreamConfigDouble, AudioUnknownAndRefusedObjects)
{
    CTestStreamConfig config;
    config.m_nCount = 1;
    config.m_cbCaps = sizeof(AUDIO_STREAM_CONFIG_CAPS);
    AUDIO_STREAM_CONFIG_CAPS caps = {};
    caps.guid = FORMAT_WaveFormatEx;
    caps.MinimumChannels = 1;
    caps.MaximumChannels = 2;
    caps.MaximumSampleFrequency = 48000;
    config.m_caps.assign(reinterpret_cast<BYTE*>(&caps), reinterpret_cast<BYTE*>(&caps + 1));
    CTraceCapture trace;
    Debug_AMStreamConfig(CAT, LVL, &config, nullptr);
    std::vector<std::wstring> bodies = Bodies(trace);
    EXPECT_THAT(bodies, testing::Contains(L" 0 SC: guid: FORMAT_WaveFormatEx, MinimumChannels=1, MaximumChannels=2, "
                                          L"ChannelsGranularity=0\n"));
    EXPECT_THAT(bodies, testing::Contains(L" 0 SC: MinimumSampleFrequency=0, MaximumSampleFrequency=48000, "
                                          L"SampleFrequencyGranularity=0\n"));

    trace.Clear();
    config.m_cbCaps = 64;
    config.m_caps.resize(64);
    Debug_AMStreamConfig(CAT, LVL, &config, L"U ");
    EXPECT_THAT(Bodies(trace), testing::Contains(L"###Err### U Debug_AMStreamConfig(): GetStreamCaps( 0 ): Unknown struct\n"));

    // A size no record can have is not handed to the object at all.
    trace.Clear();
    config.m_cbCaps = -5;
    Debug_AMStreamConfig(CAT, LVL, &config, L"N ");
    EXPECT_THAT(Bodies(trace),
                ElementsAre(L"=================================== N IAMStreamConfig: count 1, size -5\n",
                            L"###Err### N Debug_AMStreamConfig(): GetStreamCaps( 0 ): Unknown struct\n",
                            L"=================================== IAMStreamConfig: END\n"));

    trace.Clear();
    config.m_nCount = -1;
    Debug_AMStreamConfig(CAT, LVL, &config, L"F ");
    CCountedUnknown plain;
    Debug_AMStreamConfig(CAT, LVL, &plain, L"F ");
    Debug_AMStreamConfig(CAT, LVL, nullptr, L"F ");
    EXPECT_THAT(Bodies(trace),
                ElementsAre(L"###Err### F Debug_AMStreamConfig(): GetNumberOfCapabilities()=0x80004005\n",
                            L"### F Debug_AMStreamConfig(): IAMStreamConfig not supported\n",
                            L"###Err### F Debug_AMStreamConfig(): Empty interface pointer\n"));
    EXPECT_EQ(1, config.m_nRefs);
}
