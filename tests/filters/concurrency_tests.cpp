// Streaming on Wine's parser thread while this thread changes the state of
// the graph, disconnects and reconnects.
#include "WaveGraph.h"
#include "support/ComTest.h"
#include "support/TestPeers.h"

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
