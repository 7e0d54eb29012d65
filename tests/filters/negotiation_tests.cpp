// Connection negotiation between the framework's pins and simple neighbours:
// refusals, failed completion, dynamic reconnection by the current peer.
#include <gtest/gtest.h>

#include "support/ComTest.h"
#include "support/PassThroughChain.h"
#include "support/TraceCapture.h"

namespace
{
class Negotiation : public CComTest
{
protected:
    void TearDown() override { m_chain.Teardown(); }
    CPassThroughChain m_chain;
};

CMType FloatAudio() { return CMType(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT); }
} // namespace

TEST_F(Negotiation, DynamicReconnectionOnlyByTheCurrentPeer)
{
    ASSERT_EQ(S_OK, m_chain.Build());
    CMType mt = FloatAudio();
    // Stopped and connected: no second connection.
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mt));
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Run(0));

    CCountingPin stranger;
    stranger.m_eDir = PINDIR_OUTPUT;
    EXPECT_EQ(E_FAIL, m_chain.In()->ReceiveConnection(&stranger, &mt));
    EXPECT_EQ(VFW_E_INVALID_DIRECTION, m_chain.In()->ReceiveConnection(&m_chain.m_sink, &mt));

    const int nComplete = m_chain.m_pFilter->m_anCompleteConnect[PINDIR_INPUT];
    ASSERT_EQ(S_OK, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mt));
    EXPECT_EQ(nComplete + 1, m_chain.m_pFilter->m_anCompleteConnect[PINDIR_INPUT]);
    AM_MEDIA_TYPE mtNow = {};
    ASSERT_EQ(S_OK, m_chain.In()->ConnectionMediaType(&mtNow));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_IEEE_FLOAT, mtNow.subtype));
    MTClear(&mtNow);

    // A new type downstream refuses is not taken, and the old one stays.
    m_chain.m_sink.m_hrQueryAccept = S_FALSE;
    CMType mtPcm(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mtPcm));
    ASSERT_EQ(S_OK, m_chain.In()->ConnectionMediaType(&mtNow));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_IEEE_FLOAT, mtNow.subtype));
    MTClear(&mtNow);
    // The filter cannot be disconnected while it runs.
    EXPECT_EQ(VFW_E_NOT_STOPPED, m_chain.In()->Disconnect());
}

TEST_F(Negotiation, FailedCompletionLeavesThePinsFree)
{
    ASSERT_EQ(S_OK, m_chain.Build());
    m_chain.Teardown();
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&m_chain.m_pFilter));
    m_chain.m_spFilter = static_cast<IBaseFilter*>(m_chain.m_pFilter);
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);

    m_chain.m_pFilter->m_hrCompleteConnect = E_ABORT;
    EXPECT_EQ(E_ABORT, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mt));
    CComPtr<IPin> spPeer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, m_chain.In()->ConnectedTo(&spPeer));

    m_chain.m_pFilter->m_hrCompleteConnect = S_OK;
    ASSERT_EQ(S_OK, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mt));
    // The output's completion fails after downstream accepted: downstream is
    // disconnected again and the output stays free.
    m_chain.m_pFilter->m_hrCompleteConnect = E_ABORT;
    const int nDisconnect = m_chain.m_sink.m_nDisconnect;
    EXPECT_EQ(E_ABORT, m_chain.Out()->Connect(&m_chain.m_sink, &mt));
    EXPECT_EQ(nDisconnect + 1, m_chain.m_sink.m_nDisconnect);
    EXPECT_EQ(nullptr, m_chain.m_sink.m_spPeer.p);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, m_chain.Out()->ConnectedTo(&spPeer));
}

TEST_F(Negotiation, NoAcceptableTypeIsAFailureCode)
{
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&m_chain.m_pFilter));
    m_chain.m_spFilter = static_cast<IBaseFilter*>(m_chain.m_pFilter);
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    ASSERT_EQ(S_OK, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mt));

    // Neither side enumerates types and upstream has none: every step fails.
    CTraceCapture trace;
    HRESULT hr = m_chain.Out()->Connect(&m_chain.m_sink, nullptr);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    const std::wstring s = trace.Text();
    EXPECT_TRUE(TextHas(s, L"AgreeExternMT() FAILED"));
    EXPECT_TRUE(TextHas(s, L"AgreeInnerMT() FAILED"));
    EXPECT_TRUE(TextHas(s, L"Connect(): connection not accepted"));

    // A receiving pin that answers a success code other than S_OK has not accepted.
    m_chain.m_sink.m_hrReceiveConnection = S_FALSE;
    hr = m_chain.Out()->Connect(&m_chain.m_sink, &mt);
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, hr);
    m_chain.m_sink.m_hrReceiveConnection = VFW_E_TYPE_NOT_ACCEPTED;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, m_chain.Out()->Connect(&m_chain.m_sink, &mt));
    EXPECT_EQ(VFW_E_INVALID_DIRECTION, m_chain.Out()->Connect(&m_chain.m_source, &mt));
    EXPECT_EQ(E_POINTER, m_chain.Out()->Connect(nullptr, &mt));

    // The output's own type was restored after each failure.
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, m_chain.m_pFilter->m_apOut->m_mt.majortype));
}

TEST_F(Negotiation, ConnectedOutputWithoutAllocatorKeepsTheFilterStopped)
{
    ASSERT_EQ(S_OK, m_chain.Build());
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    m_chain.m_pFilter->m_apOut->ReleaseAllocator();
    EXPECT_EQ(VFW_E_NO_ALLOCATOR, m_chain.m_spFilter->Pause());
    FILTER_STATE e = State_Running;
    m_chain.m_spFilter->GetState(0, &e);
    EXPECT_EQ(State_Stopped, e);
}

TEST_F(Negotiation, NeighbourAnsweringYesWithoutAnObjectOrNonsense)
{
    m_chain.m_sink.m_bOddAnswers = true;
    m_chain.m_source.m_bOddAnswers = true;
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&m_chain.m_pFilter));
    m_chain.m_spFilter = static_cast<IBaseFilter*>(m_chain.m_pFilter);
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    ASSERT_EQ(S_OK, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mt));
    // No enumerator behind S_OK on either side: a failure, not a crash.
    EXPECT_TRUE(FAILED(m_chain.Out()->Connect(&m_chain.m_sink, nullptr)));

    // Requirements of -5 buffers and bytes, no allocator behind S_OK: the
    // minimum requirements hold and the filter brings its own allocator.
    IMemInputPin* pMemIn = m_chain.m_pFilter->m_apIn;
    CComPtr<IMemAllocator> spUp;
    ALLOCATOR_PROPERTIES req = {2, 1024, 1, 0}, act = {};
    ASSERT_EQ(S_OK, pMemIn->GetAllocator(&spUp));
    ASSERT_EQ(S_OK, spUp->SetProperties(&req, &act));
    ASSERT_EQ(S_OK, pMemIn->NotifyAllocator(spUp, TRUE));
    ASSERT_EQ(S_OK, m_chain.Out()->Connect(&m_chain.m_sink, &mt));
    CTestOutPin* pOut = m_chain.m_pFilter->m_apOut;
    EXPECT_EQ(eAS_Internal, pOut->m_eAllocSrc);
    EXPECT_GE(pOut->m_props.cBuffers, 2);
    EXPECT_GE(pOut->m_props.cbBuffer, 1024);
    EXPECT_EQ(0, pOut->m_props.cbPrefix);
}

TEST_F(Negotiation, FailuresAfterTheTypeLeaveBothPinsAsTheyWere)
{
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&m_chain.m_pFilter));
    m_chain.m_spFilter = static_cast<IBaseFilter*>(m_chain.m_pFilter);
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    ASSERT_EQ(S_OK, m_chain.In()->ReceiveConnection(&m_chain.m_source, &mt));

    // A second framework filter whose completion answers a qualified yes:
    // neither pin may stay connected.
    CComObject<CTestInPlaceFilter>* pNext = nullptr;
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pNext));
    CComPtr<IBaseFilter> spNext(static_cast<IBaseFilter*>(pNext));
    IPin* pNextIn = pNext->m_apIn;
    pNext->m_hrCompleteConnect = S_FALSE;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, m_chain.Out()->Connect(pNextIn, &mt));
    CComPtr<IPin> spPeer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pNextIn->ConnectedTo(&spPeer));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, m_chain.Out()->ConnectedTo(&spPeer));
    pNextIn->Disconnect();

    // The allocator agreement fails after the type was agreed: the output
    // keeps the type it had before, and downstream is let go.
    m_chain.m_sink.m_notifyResults.assign(8, E_FAIL);
    EXPECT_TRUE(FAILED(m_chain.Out()->Connect(&m_chain.m_sink, &mt)));
    m_chain.m_sink.m_notifyResults.clear();
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, m_chain.m_pFilter->m_apOut->m_mt.majortype));
    EXPECT_EQ(nullptr, m_chain.m_sink.m_spPeer.p);

    // A receiving pin's qualified yes is undone on its side too.
    const int nDisconnect = m_chain.m_sink.m_nDisconnect;
    m_chain.m_sink.m_hrReceiveConnection = S_FALSE;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, m_chain.Out()->Connect(&m_chain.m_sink, &mt));
    EXPECT_EQ(nDisconnect + 1, m_chain.m_sink.m_nDisconnect);
    m_chain.m_sink.m_hrReceiveConnection = S_OK;

    // No connection while the filter is not stopped.
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Pause());
    EXPECT_EQ(VFW_E_NOT_STOPPED, m_chain.Out()->Connect(&m_chain.m_sink, &mt));
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
}
