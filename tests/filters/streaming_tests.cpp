// The streaming side of the pins: flushing, segments, refused samples,
// in-band type changes, ReceiveMultiple, allocator notifications, quality.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/ComTest.h"
#include "support/OddSample.h"
#include "support/PassThroughChain.h"
#include "support/TraceCapture.h"

namespace
{
class Streaming : public CComTest
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, m_chain.Build());
        m_sample.m_buffer.resize(64);
        m_sample.m_cbActual = 64;
    }
    void TearDown() override { m_chain.Teardown(); }
    CTestInPlaceFilter* Filter() { return m_chain.m_pFilter; }
    CTestInPin* InPin() { return m_chain.m_pFilter->m_apIn; }
    CTestOutPin* OutPin() { return m_chain.m_pFilter->m_apOut; }
    static size_t Count(const std::wstring& s, const std::wstring& what)
    {
        size_t n = 0;
        for (size_t at = s.find(what); at != std::wstring::npos; at = s.find(what, at + 1))
            ++n;
        return n;
    }

    CPassThroughChain m_chain;
    COddSample m_sample;
};

class CQualityRecorder : public IQualityControl
{
public:
    STDMETHOD(QueryInterface)(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(Notify)(IBaseFilter* pSelf, Quality q) override
    {
        ++m_nCalls;
        m_pSender = pSelf;
        m_q = q;
        return S_OK;
    }
    STDMETHOD(SetSink)(IQualityControl*) override { return S_OK; }
    int m_nCalls = 0;
    IBaseFilter* m_pSender = nullptr;
    Quality m_q = {};
};
} // namespace

TEST_F(Streaming, FlushRefusesSamplesAndResetsTheSegment)
{
    IPin* pIn = m_chain.In();
    ASSERT_EQ(S_OK, pIn->NewSegment(10, 20, 0.5));
    EXPECT_EQ(10, InPin()->m_tSegStart);
    EXPECT_EQ(0.5, InPin()->m_dSegRate);
    ASSERT_EQ(S_OK, pIn->BeginFlush());
    EXPECT_EQ(S_FALSE, m_chain.Push(m_chain.Filter(), 10));
    EXPECT_EQ(S_FALSE, pIn->EndOfStream());
    EXPECT_EQ(0, Filter()->m_nSamples);
    ASSERT_EQ(S_OK, pIn->EndFlush());
    EXPECT_EQ(0, InPin()->m_tSegStart);
    EXPECT_EQ(0, InPin()->m_tSegStop);
    EXPECT_EQ(1.0, InPin()->m_dSegRate);
    EXPECT_EQ(S_OK, m_chain.Push(m_chain.Filter(), 10));
    EXPECT_EQ(1, Filter()->m_nSamples);
    EXPECT_EQ(S_OK, pIn->EndOfStream());
}

TEST_F(Streaming, StoppedFilterRefusesEverySampleAndTracesTenOfThem)
{
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    CTraceCapture trace;
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(VFW_E_WRONG_STATE, m_chain.Filter()->Receive(&m_sample));
    EXPECT_EQ(10u, Count(trace.Text(), L"IMemInputPinImpl::Receive(): FilterState() == State_Stopped\n"));
    EXPECT_EQ(0, Filter()->m_nSamples);
    // The count starts again after a sample got through.
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Run(0));
    EXPECT_EQ(S_OK, m_chain.Filter()->Receive(&m_sample));
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    EXPECT_EQ(VFW_E_WRONG_STATE, m_chain.Filter()->Receive(&m_sample));
    EXPECT_EQ(11u, Count(trace.Text(), L"IMemInputPinImpl::Receive(): FilterState() == State_Stopped\n"));
    EXPECT_EQ(E_POINTER, m_chain.Filter()->Receive(nullptr));
}

TEST_F(Streaming, InBandMediaTypeAcceptedRefusedOrMalformed)
{
    CMType mtNew(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT);
    m_sample.m_hrMediaType = S_OK;
    m_sample.m_mtAttached = mtNew;
    m_sample.m_mtAttached.pbFormat = nullptr; // the sample's copy owns no format
    m_sample.m_mtAttached.cbFormat = 0;

    // Downstream refuses: the old type stays.
    m_chain.m_sink.m_hrQueryAccept = S_FALSE;
    CTraceCapture trace;
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, m_chain.Filter()->Receive(&m_sample));
    EXPECT_TRUE(Traced(trace, L"SetMediaTypeFromSample(): new mediatype is not accepted"));
    AM_MEDIA_TYPE mt = {};
    ASSERT_EQ(S_OK, m_chain.In()->ConnectionMediaType(&mt));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, mt.subtype));
    MTClear(&mt);
    EXPECT_EQ(0, Filter()->m_nSamples);

    m_chain.m_sink.m_hrQueryAccept = S_OK;
    EXPECT_EQ(S_OK, m_chain.Filter()->Receive(&m_sample));
    ASSERT_EQ(S_OK, m_chain.In()->ConnectionMediaType(&mt));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_IEEE_FLOAT, mt.subtype));
    MTClear(&mt);

    // A format size without a format block, and S_OK without any type.
    m_sample.m_mtAttached.cbFormat = 100;
    EXPECT_TRUE(FAILED(m_chain.Filter()->Receive(&m_sample)));
    m_sample.m_bAttachType = false;
    EXPECT_EQ(E_POINTER, m_chain.Filter()->Receive(&m_sample));
    EXPECT_EQ(1, Filter()->m_nSamples);
    ASSERT_EQ(S_OK, m_chain.In()->ConnectionMediaType(&mt));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_IEEE_FLOAT, mt.subtype));
    MTClear(&mt);
}

TEST_F(Streaming, ReceiveMultipleStopsAfterTheFirstAnswerOtherThanOk)
{
    IMediaSample* apSamples[3] = {};
    for (IMediaSample*& p : apSamples)
        ASSERT_EQ(S_OK, m_chain.m_spAlloc->GetBuffer(&p, nullptr, nullptr, 0));
    m_chain.m_sink.m_nFalseAt = 2;
    long nDone = -1;
    EXPECT_EQ(S_FALSE, m_chain.Filter()->ReceiveMultiple(apSamples, 3, &nDone));
    EXPECT_EQ(2, nDone);
    EXPECT_EQ(2, m_chain.m_sink.m_nReceived);
    // While flushing nothing is processed, whatever the answer's success bit says.
    ASSERT_EQ(S_OK, m_chain.In()->BeginFlush());
    nDone = -1;
    EXPECT_EQ(S_FALSE, m_chain.Filter()->ReceiveMultiple(apSamples, 3, &nDone));
    EXPECT_EQ(0, nDone);
    ASSERT_EQ(S_OK, m_chain.In()->EndFlush());
    EXPECT_EQ(E_INVALIDARG, m_chain.Filter()->ReceiveMultiple(apSamples, 0, &nDone));
    EXPECT_EQ(E_POINTER, m_chain.Filter()->ReceiveMultiple(nullptr, 3, &nDone));
    for (IMediaSample* p : apSamples)
        p->Release();
}

TEST_F(Streaming, NotifyAllocatorKeepsTheSameOneAndDecommitsTheOldOne)
{
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    CComPtr<IMemAllocator> spOld = m_chain.m_spAlloc;
    ASSERT_EQ(S_OK, spOld->Commit());
    ASSERT_EQ(S_OK, m_chain.Filter()->NotifyAllocator(spOld, FALSE));
    IMediaSample* pSample = nullptr;
    ASSERT_EQ(S_OK, spOld->GetBuffer(&pSample, nullptr, nullptr, AM_GBF_NOWAIT));
    pSample->Release();

    CComPtr<IMemAllocator> spNew;
    ASSERT_EQ(S_OK, CreateMemoryAllocator(&spNew, nullptr));
    ALLOCATOR_PROPERTIES req = {2, 8192, 1, 0}, act = {};
    ASSERT_EQ(S_OK, spNew->SetProperties(&req, &act));
    CTraceCapture trace;
    ASSERT_EQ(S_OK, m_chain.Filter()->NotifyAllocator(spNew, FALSE));
    pSample = nullptr;
    EXPECT_EQ(VFW_E_NOT_COMMITTED, spOld->GetBuffer(&pSample, nullptr, nullptr, AM_GBF_NOWAIT));
    // The pass-through connection carries the new allocator downstream.
    EXPECT_EQ(spNew.p, OutPin()->m_spAllocOut.p);
    EXPECT_EQ(eAS_Upstream, OutPin()->m_eAllocSrc);
    EXPECT_TRUE(Traced(trace, L"Filter_NotifyAllocator(): Use through-pass allocator"));
    EXPECT_EQ(4, OutPin()->m_props.cBuffers) << "the request keeps what downstream had";
    EXPECT_EQ(E_POINTER, m_chain.Filter()->NotifyAllocator(nullptr, FALSE));
    m_chain.m_spAlloc = spNew;
}

TEST_F(Streaming, GetSampleWithoutWaitingOnAnExhaustedAllocator)
{
    IMediaSample* apHeld[4] = {};
    for (IMediaSample*& p : apHeld)
        ASSERT_EQ(S_OK, OutPin()->GetSample(&p, 0));
    CTraceCapture trace;
    IMediaSample* pSample = reinterpret_cast<IMediaSample*>(1);
    EXPECT_EQ(VFW_E_TIMEOUT, OutPin()->GetSample(&pSample, AM_GBF_NOWAIT));
    EXPECT_EQ(nullptr, pSample);
    // The time-out is a detail line, below what the trace writes.
    EXPECT_TRUE(trace.Lines().empty());
    for (IMediaSample* p : apHeld)
        p->Release();
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    CTraceCapture traceStopped;
    EXPECT_EQ(VFW_E_NOT_COMMITTED, OutPin()->GetSample(&pSample, 0));
    const std::vector<std::wstring> lines = traceStopped.Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(4, CTraceCapture::Level(lines[0]));
    EXPECT_TRUE(TextHas(lines[0], L"### [Test "));
    EXPECT_TRUE(TextHas(lines[0], L" Out] COutputPin::GetSample(): spMemAlloc->GetBuffer()=VFW_E_NOT_COMMITTED\n"));
    EXPECT_EQ(E_POINTER, OutPin()->GetSample(nullptr, 0));
}

TEST_F(Streaming, QualityMessagesGoToTheSinkOrUpstream)
{
    IQualityControl* pOutQc = OutPin();
    const Quality q = {Flood, 800, -10000, 50000};
    // Upstream (a plain pin here) has no quality control.
    EXPECT_EQ(E_NOINTERFACE, pOutQc->Notify(m_chain.m_spFilter, q));
    CQualityRecorder sink;
    ASSERT_EQ(S_OK, static_cast<IQualityControl*>(InPin())->SetSink(&sink));
    EXPECT_EQ(S_OK, pOutQc->Notify(m_chain.m_spFilter, q));
    EXPECT_EQ(1, sink.m_nCalls);
    EXPECT_EQ(800, sink.m_q.Proportion);
    EXPECT_EQ(-10000, sink.m_q.Late);
    CQualityRecorder outSink;
    ASSERT_EQ(S_OK, pOutQc->SetSink(&outSink));
    EXPECT_EQ(S_OK, pOutQc->Notify(m_chain.m_spFilter, q));
    EXPECT_EQ(1, outSink.m_nCalls);
    EXPECT_EQ(1, sink.m_nCalls);
    pOutQc->SetSink(nullptr);
    static_cast<IQualityControl*>(InPin())->SetSink(nullptr);
}

TEST_F(Streaming, OutputPinDoesNotTakeStreamControlCalls)
{
    CTraceCapture trace;
    EXPECT_EQ(E_NOTIMPL, m_chain.Out()->EndOfStream());
    EXPECT_EQ(E_NOTIMPL, m_chain.Out()->BeginFlush());
    EXPECT_EQ(E_NOTIMPL, m_chain.Out()->ReceiveConnection(&m_chain.m_source, &OutPin()->m_mt));
    EXPECT_EQ(E_NOTIMPL, m_chain.In()->Connect(&m_chain.m_sink, nullptr));
    EXPECT_TRUE(Traced(trace, L"ATL: IPinImpl::EndOfStream not implemented.\n"));
}
