// Streaming on Wine's parser thread while this thread changes the state of
// the graph, disconnects and reconnects; and hand-offs between a streaming
// thread held inside a neighbour and the threads that control the filter.
#include "WaveGraph.h"
#include "support/ComTest.h"
#include "support/PassThroughChain.h"
#include "support/TestPeers.h"

#include <future>

using namespace filters_test;

namespace
{
class BusyGraph : public WaveGraph
{
protected:
    // A minute of audio: the stream never runs dry during the loop.
    BusyGraph() { m_cbWave = 8000 * 60; }
};
} // namespace

TEST_F(BusyGraph, StateChangesWhileStreamingNeverDeliverAfterStop)
{
    ASSERT_EQ(S_OK, ConnectInput());
    ASSERT_EQ(S_OK, ConnectOutput());
    CComPtr<IMediaControl> spControl = Control();
    for (int i = 0; i < 300; ++i)
    {
        ASSERT_TRUE(SUCCEEDED(spControl->Run())) << i;
        Sleep(i % 3);
        if (i % 2 == 0)
        {
            ASSERT_TRUE(SUCCEEDED(spControl->Pause())) << i;
            ASSERT_TRUE(SUCCEEDED(spControl->Run())) << i;
        }
        ASSERT_EQ(S_OK, spControl->Stop()) << i;
        ASSERT_EQ(State_Stopped, State());
        const LONG nAtStop = m_pTest->m_nSamples;
        Sleep(1);
        ASSERT_EQ(nAtStop, m_pTest->m_nSamples) << "a sample passed after Stop returned, cycle " << i;
        if (i % 50 == 49)
        {
            ASSERT_EQ(S_OK, Out()->Disconnect());
            ASSERT_EQ(S_OK, ConnectOutput()) << i;
        }
    }
    EXPECT_GT(m_pTest->m_nSamples, 0);
}

// Our own source streaming on its thread into our own sink; this thread
// drives the graph, flushes, and reconnects after stops.
TEST(PeerConcurrency, StreamingThreadAgainstStateChangesFlushesAndReconnections)
{
    CComInit com;
    {
        CComPtr<IGraphBuilder> spGraph = CreateGraph();
        CComPtr<CTestSource> spSource = CTestSource::Create();
        CComPtr<CTestSink> spSink = CTestSink::Create();
        CComObject<CTestInPlaceFilter>* pFilter = nullptr;
        ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pFilter));
        CComPtr<IBaseFilter> spFilter(static_cast<IBaseFilter*>(pFilter));
        ASSERT_EQ(S_OK, spGraph->AddFilter(spSource, L"Source"));
        ASSERT_EQ(S_OK, spGraph->AddFilter(spFilter, L"Test"));
        ASSERT_EQ(S_OK, spGraph->AddFilter(spSink, L"Sink"));
        ASSERT_EQ(S_OK, ConnectFilters(spGraph, spSource, spFilter));
        ASSERT_EQ(S_OK, ConnectFilters(spGraph, spFilter, spSink));
        CComPtr<IMediaControl> spControl;
        ASSERT_EQ(S_OK, spGraph.QueryInterface(&spControl));
        ASSERT_EQ(S_OK, spSource->StartThread(1024));
        for (int i = 0; i < 300; ++i)
        {
            ASSERT_TRUE(SUCCEEDED(spControl->Run())) << i;
            Sleep(i % 2);
            if (i % 3 == 0)
            {
                ASSERT_EQ(S_OK, spSource->SendBeginFlush()) << i;
                ASSERT_EQ(S_OK, spSource->SendEndFlush()) << i;
            }
            if (i % 4 == 0)
            {
                ASSERT_TRUE(SUCCEEDED(spControl->Pause())) << i;
            }
            ASSERT_EQ(S_OK, spControl->Stop()) << i;
            const size_t nAtStop = spSink->SampleCount();
            const LONG nFilterAtStop = pFilter->m_nSamples;
            Sleep(1);
            ASSERT_EQ(nAtStop, spSink->SampleCount()) << "a sample arrived after Stop returned, cycle " << i;
            ASSERT_EQ(nFilterAtStop, pFilter->m_nSamples) << i;
            if (i % 50 == 49)
            {
                ASSERT_EQ(S_OK, FindPin(spFilter, PINDIR_OUTPUT)->Disconnect()) << i;
                ASSERT_EQ(S_OK, ConnectFilters(spGraph, spFilter, spSink)) << i;
            }
        }
        spSource->StopThread();
        EXPECT_GT(spSink->SampleCount(), 0u);
        spFilter.Release();
        spSink.Release();
        spSource.Release();
        TearDownGraph(spGraph);
    }
}

namespace
{
using namespace std::chrono_literals;

// A downstream pin on the heap that notes whether it was destroyed while a
// call was still inside it.
class CMortalPin : public CCountingPin
{
public:
    ~CMortalPin()
    {
        if (m_pAcceptGate != nullptr && m_pAcceptGate->m_nInside != 0 && m_pbDiedInside != nullptr)
            *m_pbDiedInside = true;
    }
    bool* m_pbDiedInside = nullptr;
};

// One sample from the chain's allocator, carrying a new media type when one
// is given, delivered to the filter on the calling thread.
HRESULT PushOne(CPassThroughChain& chain, const CMType* pmt = nullptr)
{
    IMediaSample* pSample = nullptr;
    HRESULT hr = chain.m_spAlloc->GetBuffer(&pSample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    if (pmt != nullptr)
        pSample->SetMediaType(const_cast<CMType*>(pmt));
    pSample->SetActualDataLength(64);
    hr = chain.Filter()->Receive(pSample);
    pSample->Release();
    return hr;
}

class HandOff : public testing::Test
{
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(S_OK, m_chain.Build());
    }
    void TearDown() override
    {
        m_gate.Open();
        m_chain.m_sink.m_pAcceptGate = nullptr;
        m_chain.m_sink.m_pReceiveGate = nullptr;
        m_chain.Teardown();
        CoUninitialize();
    }
    CPassThroughChain m_chain;
    CGate m_gate;
    const CMType m_mtFloat{MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT};
};
} // namespace

// Stop returns while the streaming thread asks downstream about an in-band
// type; the output then lets downstream go. The pin being asked must live
// until the question returns.
TEST_F(HandOff, DownstreamPinOutlivesAQuestionThatStopAndDisconnectOvertake)
{
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    ASSERT_EQ(S_OK, m_chain.Out()->Disconnect());
    CComObject<CMortalPin>* pDown = nullptr;
    ASSERT_EQ(S_OK, CComObject<CMortalPin>::CreateInstance(&pDown));
    CComPtr<IPin> spDown(pDown);
    pDown->m_eDir = PINDIR_INPUT;
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    ASSERT_EQ(S_OK, m_chain.Out()->Connect(spDown, &mt));
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Run(0));
    bool bDiedInside = false;
    pDown->m_pbDiedInside = &bDiedInside;
    pDown->m_pAcceptGate = &m_gate;

    auto streaming = std::async(std::launch::async, [&] { return PushOne(m_chain, &m_mtFloat); });
    ASSERT_TRUE(m_gate.WaitEntered());
    EXPECT_EQ(S_OK, m_chain.m_spFilter->Stop());
    EXPECT_EQ(S_OK, m_chain.Out()->Disconnect());
    pDown = nullptr;
    spDown.Release(); // the last reference but the one the question holds
    m_gate.Open();
    EXPECT_EQ(VFW_E_WRONG_STATE, streaming.get());
    EXPECT_FALSE(bDiedInside) << "the downstream pin was destroyed while its QueryAccept ran";
}

// The input's type read while an in-band change is under way is the new one:
// the read waits for the change instead of copying a type being replaced.
TEST_F(HandOff, TypeEnumeratedDuringAnInBandChangeWaitsForIt)
{
    CComPtr<IEnumMediaTypes> spEnum;
    ASSERT_EQ(S_OK, m_chain.In()->EnumMediaTypes(&spEnum));
    m_chain.m_sink.m_pAcceptGate = &m_gate;
    auto streaming = std::async(std::launch::async, [&] { return PushOne(m_chain, &m_mtFloat); });
    ASSERT_TRUE(m_gate.WaitEntered());
    AM_MEDIA_TYPE* pmt = nullptr;
    auto reader = std::async(std::launch::async, [&] { return spEnum->Next(1, &pmt, nullptr); });
    reader.wait_for(200ms); // time for a read that does not wait to finish early
    m_gate.Open();
    EXPECT_EQ(S_OK, streaming.get());
    ASSERT_EQ(S_OK, reader.get());
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_IEEE_FLOAT, pmt->subtype));
    MTDelete(pmt);
}

// Downstream holds a sample in Receive: control calls do not wait for it,
// flushing reaches downstream (which lets the sample go), and Stop waits
// until the delivery has returned.
TEST_F(HandOff, ControlCallsAndFlushingWhileDownstreamHoldsASample)
{
    m_chain.m_sink.m_pReceiveGate = &m_gate;
    auto held = std::async(std::launch::async, [&] { return PushOne(m_chain); });
    ASSERT_TRUE(m_gate.WaitEntered());
    auto control = std::async(std::launch::async, [&] {
        IBaseFilter* p = m_chain.m_spFilter;
        FILTER_STATE e = State_Stopped;
        CComPtr<IReferenceClock> spClock;
        CComPtr<IEnumPins> spPins;
        FILTER_INFO info = {};
        AM_MEDIA_TYPE mt = {};
        const bool bOk = p->Pause() == S_OK && p->GetState(0, &e) == S_OK && e == State_Paused && p->Run(0) == S_OK &&
                         p->SetSyncSource(nullptr) == S_OK && p->GetSyncSource(&spClock) == S_OK &&
                         p->QueryFilterInfo(&info) == S_OK && p->EnumPins(&spPins) == S_OK &&
                         m_chain.In()->ConnectionMediaType(&mt) == S_OK;
        MTClear(&mt);
        return bOk;
    });
    ASSERT_EQ(std::future_status::ready, control.wait_for(10s)) << "a control call waited for the delivery";
    EXPECT_TRUE(control.get());

    EXPECT_EQ(S_OK, m_chain.In()->BeginFlush());
    EXPECT_EQ(S_OK, held.get());
    EXPECT_EQ(0, m_gate.m_nTimedOut) << "the flush did not reach downstream while the sample was held";
    EXPECT_EQ(S_FALSE, PushOne(m_chain));
    EXPECT_EQ(S_OK, m_chain.In()->EndFlush());
    EXPECT_EQ(1, m_chain.m_sink.m_nReceived);

    CGate gate;
    m_chain.m_sink.m_pReceiveGate = &gate;
    held = std::async(std::launch::async, [&] { return PushOne(m_chain); });
    ASSERT_TRUE(gate.WaitEntered());
    auto stop = std::async(std::launch::async, [&] { return m_chain.m_spFilter->Stop(); });
    EXPECT_EQ(std::future_status::timeout, stop.wait_for(100ms)) << "Stop returned while a sample was on its way";
    gate.Open();
    EXPECT_EQ(S_OK, held.get());
    EXPECT_EQ(S_OK, stop.get());
    EXPECT_EQ(0, gate.m_nTimedOut);
}

// Two upstream threads deliver at once: the second reaches the filter's
// sample hook only after the first has left it.
TEST_F(HandOff, TwoUpstreamThreadsPassTheFilterOneAtATime)
{
    m_chain.m_sink.m_pReceiveGate = &m_gate;
    auto first = std::async(std::launch::async, [&] { return PushOne(m_chain); });
    ASSERT_TRUE(m_gate.WaitEntered());
    auto second = std::async(std::launch::async, [&] { return PushOne(m_chain); });
    EXPECT_EQ(std::future_status::timeout, second.wait_for(200ms));
    EXPECT_EQ(1, m_gate.m_nEntered);
    m_gate.Open();
    EXPECT_EQ(S_OK, first.get());
    EXPECT_EQ(S_OK, second.get());
    EXPECT_EQ(2, m_chain.m_sink.m_nReceived);
    EXPECT_EQ(1, m_gate.m_nMaxInside);
    EXPECT_EQ(2, m_chain.m_pFilter->m_nSamples);
}
