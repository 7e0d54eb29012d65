// The test in-place filter inside real graphs of Wine's filters.
#include "WaveGraph.h"
#include "support/TraceCapture.h"

using namespace filters_test;

TEST_F(WaveGraph, ConnectsDirectlyAndStreamsToTheEnd)
{
    ASSERT_EQ(S_OK, m_spGraph->ConnectDirect(FindPin(m_spParser, PINDIR_OUTPUT), FindPin(m_spTest, PINDIR_INPUT), nullptr));
    ASSERT_EQ(S_OK, m_spGraph->ConnectDirect(FindPin(m_spTest, PINDIR_OUTPUT), FindPin(m_spRenderer, PINDIR_INPUT), nullptr));
    EXPECT_EQ(eAS_Upstream, m_pTest->m_apOut->m_eAllocSrc);
    EXPECT_FALSE(m_pTest->m_bSeparateAllocators);

    EXPECT_EQ(EC_COMPLETE, RunToEnd());
    EXPECT_GT(m_pTest->m_nSamples, 0);
}

TEST_F(WaveGraph, GraphManagerConnectAndRenderUseTheFilter)
{
    ASSERT_EQ(S_OK, m_spGraph->Connect(FindPin(m_spParser, PINDIR_OUTPUT), In()));
    ASSERT_EQ(S_OK, m_spGraph->Render(Out()));
    CComPtr<IPin> spPeer;
    ASSERT_EQ(S_OK, Out()->ConnectedTo(&spPeer));
    EXPECT_EQ(EC_COMPLETE, RunToEnd());
    EXPECT_GT(m_pTest->m_nSamples, 0);
}

TEST_F(WaveGraph, StateChangesInEveryOrderAndGraphDumpOnPause)
{
    ASSERT_EQ(S_OK, ConnectInput());
    ASSERT_EQ(S_OK, ConnectOutput());
    CTraceCapture trace;
    const FILTER_STATE aeOrder[] = {State_Paused, State_Running, State_Paused, State_Stopped, State_Running,
                                    State_Stopped, State_Paused, State_Paused, State_Running, State_Running, State_Stopped};
    CComPtr<IMediaControl> spControl = Control();
    for (FILTER_STATE e : aeOrder)
    {
        const HRESULT hr = e == State_Paused ? spControl->Pause() : e == State_Running ? spControl->Run() : spControl->Stop();
        EXPECT_TRUE(SUCCEEDED(hr)) << e;
        OAFilterState eGraph = 0;
        spControl->GetState(2000, &eGraph);
        EXPECT_EQ(e, State()) << e;
        EXPECT_EQ(eAS_Upstream, m_pTest->m_apOut->m_eAllocSrc);
        EXPECT_EQ(e != State_Stopped, m_pTest->m_apOut->m_bActivate);
    }
    // Three transitions leave Stopped for Paused (Run from Stopped passes Paused).
    size_t nDumps = 0;
    for (const std::string& block : trace.Blocks())
        nDumps += block.find("[Filter Graph") != std::string::npos && block.find("[Test 1]") == std::string::npos;
    EXPECT_EQ(3u, nDumps);
}

TEST_F(WaveGraph, UnconnectedInputKeepsTheFilterStopped)
{
    EXPECT_EQ(VFW_E_WRONG_STATE, m_spTest->Pause());
    EXPECT_EQ(State_Stopped, State());
    EXPECT_EQ(VFW_E_WRONG_STATE, m_spTest->Run(0));
    EXPECT_EQ(State_Stopped, State());
    EXPECT_EQ(S_OK, m_spTest->Stop());
}

TEST_F(WaveGraph, RunFromStoppedPausesThroughTheFilterItself)
{
    ASSERT_EQ(S_OK, ConnectInput());
    ASSERT_EQ(S_OK, ConnectOutput());
    CTraceCapture trace;
    EXPECT_EQ(S_OK, m_spTest->Run(0));
    EXPECT_EQ(State_Running, State());
    const std::wstring s = trace.Text();
    const size_t nPause = s.find(L"IBaseFilterImpl::Run(): current state is State_Stopped, call Pause() command");
    EXPECT_NE(std::wstring::npos, nPause);
    EXPECT_LT(nPause, s.find(L"IBaseFilterImpl::Pause"));
    EXPECT_LT(s.find(L"IBaseFilterImpl::Pause"), s.find(L"IBaseFilterImpl::Run(): run after pause"));
    EXPECT_EQ(S_OK, m_spTest->Stop());
    EXPECT_EQ(State_Stopped, State());
    EXPECT_TRUE(Traced(trace, L"IBaseFilterImpl::Stop(): stop after pause"));
    EXPECT_FALSE(m_pTest->m_apOut->m_bActivate);
}

TEST_F(WaveGraph, ConnectionRulesOfTheOutputPin)
{
    // An in-place output connects only after its input.
    EXPECT_TRUE(FAILED(ConnectOutput()));
    EXPECT_EQ(S_FALSE, Out()->QueryAccept(&m_pTest->m_apIn->m_mt));
    ASSERT_EQ(S_OK, ConnectInput());
    ASSERT_EQ(S_OK, ConnectOutput());
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, ConnectOutput());

    AM_MEDIA_TYPE mtIn = {}, mtOut = {};
    ASSERT_EQ(S_OK, In()->ConnectionMediaType(&mtIn));
    ASSERT_EQ(S_OK, Out()->ConnectionMediaType(&mtOut));
    EXPECT_TRUE(MTIsEqual(&mtIn, &mtOut));
    MTClear(&mtIn);
    MTClear(&mtOut);

    ASSERT_EQ(S_OK, m_spTest->Pause());
    CComPtr<IPin> spRendererIn = FindPin(m_spRenderer, PINDIR_INPUT);
    EXPECT_EQ(VFW_E_NOT_STOPPED, Out()->Disconnect());
    ASSERT_EQ(S_OK, m_spTest->Stop());

    // Disconnecting our output frees the downstream pin as well.
    EXPECT_EQ(S_OK, Out()->Disconnect());
    CComPtr<IPin> spPeer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, spRendererIn->ConnectedTo(&spPeer));
    EXPECT_EQ(S_FALSE, Out()->Disconnect());
    EXPECT_EQ(eAS_None, m_pTest->m_apOut->m_eAllocSrc);

    // A partial type (major type unset) negotiates like no type at all.
    CMType mtPartial(GUID_NULL, MEDIASUBTYPE_PCM);
    EXPECT_EQ(S_OK, Out()->Connect(spRendererIn, &mtPartial));
}

TEST_F(WaveGraph, MakeReconnectOfTheOutputWithItsOwnTypeDoesNothing)
{
    ASSERT_EQ(S_OK, ConnectInput());
    ASSERT_EQ(S_OK, ConnectOutput());
    CTraceCapture trace;
    CMType mt(m_pTest->m_apOut->m_mt);
    EXPECT_EQ(S_OK, m_pTest->MakeReconnect(&mt, m_pTest->m_apOut));
    EXPECT_TRUE(Traced(trace, L"reconnection stopped - media types are equal"));
    EXPECT_EQ(1, m_pTest->m_anCompleteConnect[PINDIR_OUTPUT]);
    EXPECT_EQ(E_POINTER, m_pTest->MakeReconnect(&mt, nullptr));
}
