// Streaming on Wine's parser thread while this thread changes the state of
// the graph, disconnects and reconnects.
#include "WaveGraph.h"

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
