// The test peers wired to each other by hand: what one sends is what the
// other records, for every allocator agreement and stream message.
#include <windows.h>
#include <dshow.h>
#include <mmreg.h>

#include <dshowx/DSTraceSample.h>
#include <winapi/Debugging.h>

#include <gtest/gtest.h>

#include "support/ComTest.h"
#include "support/TestPeers.h"

namespace
{
class PeersTest : public CComTest
{
protected:
    void SetUp() override
    {
        m_spSource = CTestSource::Create();
        m_spSink = CTestSink::Create();
        ASSERT_TRUE(m_spSource && m_spSink);
    }
    void TearDown() override
    {
        if (m_spSource)
        {
            m_spSource->StopThread();
            m_spSource->Stop();
            m_spSink->Stop();
            m_spSource->Pin()->Disconnect();
            m_spSink->Pin()->Disconnect();
        }
        m_spSource.Release();
        m_spSink.Release();
        // Every peer object, pin enumerator and type enumerator is gone.
        EXPECT_EQ(0, CComModuleLock::Count());
    }
    HRESULT Connect(const AM_MEDIA_TYPE* pmt = nullptr) { return m_spSource->Pin()->Connect(m_spSink->Pin(), pmt); }
    void PauseBoth()
    {
        ASSERT_EQ(S_OK, m_spSink->Pause());
        ASSERT_EQ(S_OK, m_spSource->Pause());
    }

    CComPtr<CTestSource> m_spSource;
    CComPtr<CTestSink> m_spSink;
};

CMType VideoType(LONG nWidth)
{
    VIDEOINFOHEADER vih = {};
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = nWidth;
    vih.bmiHeader.biHeight = 4;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(nWidth) * 16;
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(vih);
    mt.pbFormat = MTAllocFormat(sizeof(vih), &vih);
    return mt;
}

DWORD PatternCrc(long cb, unsigned nIndex)
{
    std::vector<BYTE> v(static_cast<size_t>(cb));
    CTestSource::FillPattern(v.data(), cb, nIndex);
    return Crc32(v.data(), v.size());
}
} // namespace

TEST_F(PeersTest, DownstreamAllocatorCarriesReadOnlyFlagAndSamplesArriveIntact)
{
    CComPtr<CTestAllocator> spAlloc = CTestAllocator::Create();
    ASSERT_TRUE(spAlloc);
    m_spSink->SetAllocator(spAlloc);
    m_spSource->SetReadOnly(TRUE);
    ASSERT_EQ(S_OK, Connect());

    EXPECT_TRUE(m_spSource->UsesDownstreamAllocator());
    EXPECT_EQ(static_cast<IMemAllocator*>(spAlloc), m_spSource->Allocator().p);
    EXPECT_EQ(static_cast<IMemAllocator*>(spAlloc), m_spSink->NotifiedAllocator().p);
    EXPECT_TRUE(m_spSink->NotifiedReadOnly());
    EXPECT_TRUE(CTestSource::DefaultAudioType() == m_spSink->ConnectionType());
    EXPECT_EQ(4, m_spSource->AgreedProperties().cBuffers);

    PauseBoth();
    EXPECT_EQ(1, spAlloc->CommitCount());
    ASSERT_EQ(S_OK, m_spSource->Deliver(3, 1000, 100));
    const std::vector<SampleRecord> samples = m_spSink->Samples();
    ASSERT_EQ(3u, samples.size());
    for (unsigned i = 0; i < samples.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(S_OK, samples[i].hrTime);
        EXPECT_EQ(100 * i, samples[i].tStart);
        EXPECT_EQ(100 * (i + 1), samples[i].tStop);
        EXPECT_EQ(1000, samples[i].cbActual);
        EXPECT_EQ(PatternCrc(1000, i), samples[i].dwCrc);
        EXPECT_TRUE(samples[i].bSync);
        EXPECT_FALSE(samples[i].bMediaType);
        EXPECT_EQ(State_Paused, samples[i].eStateAtReceive);
    }
    EXPECT_NE(samples[0].dwCrc, samples[1].dwCrc);

    EXPECT_FALSE(m_spSink->WaitForEndOfStream(0));
    EXPECT_EQ(S_OK, m_spSource->SendEndOfStream());
    EXPECT_TRUE(m_spSink->WaitForEndOfStream(0));
    EXPECT_EQ(1, m_spSink->EndOfStreamCount());

    m_spSource->Stop();
    EXPECT_EQ(1, spAlloc->DecommitCount());
    EXPECT_FALSE(spAlloc->IsCommitted());
}

TEST_F(PeersTest, OwnAllocatorMeetsTheSinksRequirements)
{
    CComPtr<CTestAllocator> spDownstream = CTestAllocator::Create();
    m_spSink->SetAllocator(spDownstream);
    m_spSink->SetRequirements({6, 8192, 16, 0});
    m_spSource->SetAllocatorPolicy(CTestSource::AllocOwnOnly);
    ASSERT_EQ(S_OK, Connect());

    EXPECT_FALSE(m_spSource->UsesDownstreamAllocator());
    CComPtr<IMemAllocator> spAgreed = m_spSource->Allocator();
    ASSERT_TRUE(spAgreed);
    EXPECT_NE(static_cast<IMemAllocator*>(spDownstream), spAgreed.p);
    EXPECT_EQ(spAgreed.p, m_spSink->NotifiedAllocator().p);
    EXPECT_FALSE(m_spSink->NotifiedReadOnly());
    ALLOCATOR_PROPERTIES props = {};
    ASSERT_EQ(S_OK, spAgreed->GetProperties(&props));
    EXPECT_EQ(6, props.cBuffers);
    EXPECT_EQ(8192, props.cbBuffer);
    EXPECT_EQ(16, props.cbAlign);
}

TEST_F(PeersTest, SinkWithoutAllocatorOrRequirementsGetsTheSourcesOwn)
{
    CComPtr<CTestAllocator> spOwn = CTestAllocator::Create();
    m_spSource->SetOwnAllocator(spOwn);
    m_spSink->SetRequirementsResult(E_NOTIMPL);
    ASSERT_EQ(S_OK, Connect());
    EXPECT_EQ(static_cast<IMemAllocator*>(spOwn), m_spSink->NotifiedAllocator().p);
    EXPECT_EQ(4096, m_spSource->AgreedProperties().cbBuffer);

    // A sample larger than the agreed buffers is refused, not overrun.
    PauseBoth();
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, m_spSource->DeliverOne(4097, 10));
    EXPECT_EQ(0u, m_spSink->SampleCount());
    m_spSource->Stop();
    m_spSink->Stop();

    // A second NotifyAllocator arrives as such.
    EXPECT_EQ(S_OK, m_spSource->Renotify(spOwn, TRUE));
    EXPECT_EQ(2, m_spSink->NotifyAllocatorCount());
    EXPECT_TRUE(m_spSink->NotifiedReadOnly());
}

TEST_F(PeersTest, TestAllocatorFaults)
{
    CComPtr<CTestAllocator> spAlloc = CTestAllocator::Create();
    spAlloc->SetReportedAlign(3);
    ALLOCATOR_PROPERTIES req = {2, 512, 1, 0}, actual = {};
    ASSERT_EQ(S_OK, spAlloc->SetProperties(&req, &actual));
    EXPECT_EQ(3, actual.cbAlign);
    EXPECT_EQ(512, actual.cbBuffer);
    spAlloc->SetGetPropertiesResult(E_NOTIMPL);
    EXPECT_EQ(E_NOTIMPL, spAlloc->GetProperties(&actual));

    // A refused SetProperties fails the connection and leaves both pins free.
    spAlloc->SetSetPropertiesResult(VFW_E_BADALIGN);
    m_spSource->SetOwnAllocator(spAlloc);
    m_spSource->SetAllocatorPolicy(CTestSource::AllocOwnOnly);
    const CMType mt = CTestSource::DefaultAudioType();
    EXPECT_EQ(VFW_E_BADALIGN, Connect(&mt));
    CComPtr<IPin> spPeer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, m_spSource->Pin()->ConnectedTo(&spPeer));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, m_spSink->Pin()->ConnectedTo(&spPeer));
}

TEST_F(PeersTest, TypeNegotiation)
{
    const CMType video = VideoType(8);
    m_spSink->SetAcceptedTypes({video});
    const CMType audio = CTestSource::DefaultAudioType();
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, Connect(&audio));
    EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, Connect());

    m_spSource->SetMediaTypes({audio, video});
    const CMType partial(MEDIATYPE_Video, GUID_NULL);
    ASSERT_EQ(S_OK, Connect(&partial));
    EXPECT_TRUE(video == m_spSink->ConnectionType());
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, Connect());
    EXPECT_EQ(S_OK, m_spSource->Pin()->QueryAccept(&video));
    EXPECT_EQ(S_FALSE, m_spSink->Pin()->QueryAccept(&audio));

    // Pin identity a graph relies on.
    PIN_INFO info = {};
    ASSERT_EQ(S_OK, m_spSink->Pin()->QueryPinInfo(&info));
    EXPECT_STREQ(L"In", info.achName);
    EXPECT_EQ(PINDIR_INPUT, info.dir);
    EXPECT_EQ(static_cast<IBaseFilter*>(m_spSink), info.pFilter);
    info.pFilter->Release();
    CComPtr<IPin> spFound;
    EXPECT_EQ(S_OK, m_spSource->FindPin(L"Out", &spFound));
    EXPECT_EQ(m_spSource->Pin(), spFound.p);
    CComPtr<IEnumMediaTypes> spEnum;
    ASSERT_EQ(S_OK, m_spSource->Pin()->EnumMediaTypes(&spEnum));
    AM_MEDIA_TYPE* pmts[3] = {};
    ULONG nFetched = 0;
    EXPECT_EQ(S_FALSE, spEnum->Next(3, pmts, &nFetched));
    ASSERT_EQ(2u, nFetched);
    EXPECT_TRUE(audio == *pmts[0]);
    MTDelete(pmts[0]);
    MTDelete(pmts[1]);
}

TEST_F(PeersTest, ScriptedResultsFlushingAndInBandTypes)
{
    m_spSink->SetReceiveResult(1, S_FALSE);
    m_spSink->SetReceiveResult(4, E_FAIL);
    ASSERT_EQ(S_OK, Connect());

    // Stopped: refused and counted, not recorded.
    EXPECT_EQ(VFW_E_NOT_COMMITTED, m_spSource->DeliverOne(100, 10));
    ASSERT_EQ(S_OK, m_spSink->Pause());
    EXPECT_EQ(S_OK, m_spSource->Pause());
    m_spSink->Stop();
    EXPECT_EQ(VFW_E_WRONG_STATE, m_spSource->DeliverOne(100, 10));
    EXPECT_EQ(1, m_spSink->ReceivedWhileStopped());
    m_spSink->Run(0);

    EXPECT_EQ(S_FALSE, m_spSource->Deliver(3, 100, 10));
    EXPECT_EQ(2u, m_spSink->SampleCount());
    EXPECT_EQ((std::vector<HRESULT>{VFW_E_NOT_COMMITTED, VFW_E_WRONG_STATE, S_OK, S_FALSE}), m_spSource->Results());

    long nProcessed = -1;
    EXPECT_EQ(E_FAIL, m_spSource->DeliverMultiple(3, 100, 10, &nProcessed));
    EXPECT_EQ(2, nProcessed);
    EXPECT_EQ(5u, m_spSink->SampleCount());

    EXPECT_EQ(S_OK, m_spSource->SendBeginFlush());
    EXPECT_EQ(S_FALSE, m_spSource->DeliverOne(100, 10));
    EXPECT_EQ(S_OK, m_spSource->SendEndFlush());
    EXPECT_EQ(1, m_spSink->ReceivedWhileFlushing());
    EXPECT_EQ(1, m_spSink->BeginFlushCount());
    EXPECT_EQ(1, m_spSink->EndFlushCount());
    EXPECT_EQ(S_OK, m_spSource->SendNewSegment(0, 500, 1.5));
    ASSERT_EQ(1u, m_spSink->Segments().size());
    EXPECT_EQ(500, m_spSink->Segments()[0].tStop);
    EXPECT_EQ(1.5, m_spSink->Segments()[0].dRate);

    // A type attached to a sample becomes the sink's connection type.
    CMType changed = CTestSource::DefaultAudioType();
    reinterpret_cast<WAVEFORMATEX*>(changed.pbFormat)->nSamplesPerSec = 22050;
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(64, 10, &changed, [](BYTE* pb, long cb) { memset(pb, 0xAB, cb); }));
    const SampleRecord last = m_spSink->Samples().back();
    EXPECT_TRUE(last.bMediaType);
    EXPECT_EQ(State_Running, last.eStateAtReceive);
    EXPECT_EQ(Crc32(std::vector<BYTE>(64, 0xAB).data(), 64), last.dwCrc);
    EXPECT_TRUE(changed == m_spSink->ConnectionType());
}

TEST_F(PeersTest, UpstreamMessagesAndReconnection)
{
    ASSERT_EQ(S_OK, Connect());
    Quality q = {Flood, 800, -20000, 12345};
    EXPECT_EQ(S_OK, m_spSink->SendQuality(q));
    EXPECT_EQ(1, m_spSource->QualityNotifyCount());
    EXPECT_EQ(-20000, m_spSource->LastQuality().Late);
    EXPECT_EQ(Flood, m_spSource->LastQuality().Type);

    CComPtr<IMediaSeeking> spSeeking;
    ASSERT_EQ(S_OK, m_spSource->Pin()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking)));
    LONGLONG llDuration = 0, llStart = 20000000, llStop = 0;
    EXPECT_EQ(S_OK, spSeeking->GetDuration(&llDuration));
    EXPECT_EQ(100000000, llDuration);
    EXPECT_EQ(S_OK, spSeeking->SetPositions(&llStart, AM_SEEKING_AbsolutePositioning, nullptr, 0));
    EXPECT_EQ(1, m_spSource->SetPositionsCount());
    EXPECT_EQ(S_OK, spSeeking->GetPositions(&llStart, &llStop));
    EXPECT_EQ(20000000, llStart);
    EXPECT_EQ(100000000, llStop);
    spSeeking.Release();
    m_spSource->EnableSeeking(false);
    EXPECT_EQ(E_NOINTERFACE,
              m_spSource->Pin()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking)));

    // The current peer may move the connection to a new type while running.
    PauseBoth();
    CMType changed = CTestSource::DefaultAudioType();
    reinterpret_cast<WAVEFORMATEX*>(changed.pbFormat)->nChannels = 1;
    EXPECT_EQ(S_OK, m_spSource->ReconnectWith(changed));
    EXPECT_TRUE(changed == m_spSink->ConnectionType());
    EXPECT_EQ(S_OK, m_spSource->Pin()->QueryAccept(&changed));
}

TEST_F(PeersTest, OptionalPinInterfacesAndFaultyQuery)
{
    CComPtr<IKsPropertySet> spProps;
    EXPECT_EQ(E_NOINTERFACE, m_spSink->Pin()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&spProps)));
    m_spSink->EnablePropertySet(true);
    ASSERT_EQ(S_OK, m_spSink->Pin()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&spProps)));
    DWORD dwValue = 7, dwSupport = 0;
    EXPECT_EQ(S_OK, spProps->Set(GUID_NULL, 3, nullptr, 0, &dwValue, sizeof(dwValue)));
    EXPECT_EQ(S_OK, spProps->QuerySupported(GUID_NULL, 4, &dwSupport));
    const std::vector<PropertySetCall> calls = m_spSink->PropertySetCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ('S', calls[0].cOp);
    EXPECT_EQ(3u, calls[0].dwPropId);
    EXPECT_EQ(4u, calls[0].cbData);
    EXPECT_EQ('Q', calls[1].cOp);

    CComPtr<IMixerPinConfig> spMixer;
    CComPtr<IMixerPinConfig2> spMixer2;
    EXPECT_EQ(E_NOINTERFACE, m_spSink->Pin()->QueryInterface(IID_PPV_ARGS(&spMixer)));
    m_spSink->EnableMixerPinConfig(1);
    ASSERT_EQ(S_OK, m_spSink->Pin()->QueryInterface(IID_PPV_ARGS(&spMixer)));
    EXPECT_EQ(E_NOINTERFACE, m_spSink->Pin()->QueryInterface(IID_PPV_ARGS(&spMixer2)));
    m_spSink->EnableMixerPinConfig(2);
    ASSERT_EQ(S_OK, m_spSink->Pin()->QueryInterface(IID_PPV_ARGS(&spMixer2)));
    EXPECT_EQ(S_OK, spMixer->SetRelativePosition(10, 20, 5000, 6000));
    EXPECT_EQ(E_INVALIDARG, spMixer->SetBlendingParameter(256));
    DWORD dwLeft = 0, dwTop = 0, dwRight = 0, dwBottom = 0;
    EXPECT_EQ(S_OK, spMixer2->GetRelativePosition(&dwLeft, &dwTop, &dwRight, &dwBottom));
    EXPECT_EQ(6000u, dwBottom);
    DDCOLORCONTROL cc = {};
    cc.lBrightness = 750;
    EXPECT_EQ(S_OK, spMixer2->SetOverlaySurfaceColorControls(&cc));
    EXPECT_EQ(750, m_spSink->MixerState().colorControl.lBrightness);
    const std::vector<const char*> mixerCalls = m_spSink->MixerCalls();
    ASSERT_EQ(4u, mixerCalls.size());
    EXPECT_STREQ("SetRelativePosition", mixerCalls[0]);
    EXPECT_STREQ("SetOverlaySurfaceColorControls", mixerCalls[3]);

    m_spSink->SetQueryInterfaceFault(IID_IMemInputPin);
    SEH_EXCEPTION_INFO info;
    IUnknown* pUnk = nullptr;
    IPin* pPin = m_spSink->Pin();
    EXPECT_FALSE(SEH_Guard([&] { pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&pUnk)); },
                           nullptr, nullptr, &info));
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), info.dwCode);
    EXPECT_EQ(nullptr, pUnk);
}

TEST_F(PeersTest, StreamingThreadSurvivesStateChanges)
{
    CComPtr<CTestAllocator> spAlloc = CTestAllocator::Create();
    m_spSource->SetOwnAllocator(spAlloc);
    ASSERT_EQ(S_OK, Connect());
    ASSERT_EQ(S_OK, m_spSource->StartThread(256));
    for (int i = 0; i < 5; ++i)
    {
        SCOPED_TRACE(i);
        ASSERT_EQ(S_OK, m_spSink->Run(0));
        ASSERT_EQ(S_OK, m_spSource->Run(0));
        const LONG nBefore = m_spSource->ThreadSent();
        for (int nWait = 0; nWait < 500 && m_spSource->ThreadSent() < nBefore + 20; ++nWait)
            Sleep(1);
        EXPECT_GE(m_spSource->ThreadSent(), nBefore + 20);
        // The sink stops first, so some samples meet a stopped filter.
        ASSERT_EQ(S_OK, m_spSink->Stop());
        Sleep(2);
        ASSERT_EQ(S_OK, m_spSource->Stop());
    }
    m_spSource->StopThread();
    EXPECT_EQ(5, spAlloc->CommitCount());
    EXPECT_EQ(5, spAlloc->DecommitCount());
    EXPECT_EQ(m_spSource->ThreadRefused(), m_spSink->ReceivedWhileStopped());
    EXPECT_EQ(static_cast<size_t>(m_spSource->ThreadSent()), m_spSink->SampleCount());
}
