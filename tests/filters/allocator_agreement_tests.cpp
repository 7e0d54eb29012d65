// Which allocator the output pin delivers in: upstream's (enlarged when it
// may be), downstream's, or its own; and the re-agreement when upstream
// switches allocators under a pass-through connection.
#include <gtest/gtest.h>


#include "support/ComTest.h"
#include "support/PassThroughChain.h"
#include "support/TraceCapture.h"

namespace
{
// A real allocator that claims an alignment of 3 after SetProperties.
class CAlign3Allocator : public IMemAllocator
{
public:
    CAlign3Allocator() { CreateMemoryAllocator(&m_spInner, nullptr); }
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IMemAllocator)
            return *ppv = this, S_OK;
        return *ppv = nullptr, E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* pReq, ALLOCATOR_PROPERTIES* pAct) override
    {
        const HRESULT hr = m_spInner->SetProperties(pReq, pAct);
        pAct->cbAlign = 3;
        return hr;
    }
    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* p) override { return m_spInner->GetProperties(p); }
    STDMETHOD(Commit)() override { return m_spInner->Commit(); }
    STDMETHOD(Decommit)() override { return m_spInner->Decommit(); }
    STDMETHOD(GetBuffer)(IMediaSample** pp, REFERENCE_TIME* pt0, REFERENCE_TIME* pt1, DWORD dw) override
    {
        return m_spInner->GetBuffer(pp, pt0, pt1, dw);
    }
    STDMETHOD(ReleaseBuffer)(IMediaSample* p) override { return m_spInner->ReleaseBuffer(p); }
    CComPtr<IMemAllocator> m_spInner;
};

class AllocatorAgreement : public CComTest
{
protected:
    void TearDown() override { m_chain.Teardown(); }
    CTestOutPin* Out() { return m_chain.m_pFilter->m_apOut; }
    static ALLOCATOR_PROPERTIES Props(IMemAllocator* p)
    {
        ALLOCATOR_PROPERTIES props = {};
        p->GetProperties(&props);
        return props;
    }
    CPassThroughChain m_chain;
};
} // namespace

TEST_F(AllocatorAgreement, WritableUpstreamAllocatorIsEnlargedForDownstream)
{
    m_chain.m_sink.m_hrRequirements = S_OK;
    m_chain.m_sink.m_requirements = {4, 8192, 1, 0};
    CTraceCapture trace;
    ASSERT_EQ(S_OK, m_chain.Build(4096, 2, FALSE));
    EXPECT_EQ(eAS_Upstream, Out()->m_eAllocSrc);
    EXPECT_EQ(m_chain.m_spAlloc.p, Out()->m_spAllocOut.p);
    EXPECT_EQ(m_chain.m_spAlloc.p, m_chain.m_sink.m_spNotified.p);
    const ALLOCATOR_PROPERTIES props = Props(m_chain.m_spAlloc);
    EXPECT_EQ(4, props.cBuffers);
    EXPECT_EQ(8192, props.cbBuffer);
    EXPECT_TRUE(Traced(trace, L"CAllocatorMatch::AttachAllocator(): upstream allocator is used"));
    EXPECT_FALSE(m_chain.m_pFilter->m_bSeparateAllocators);
}

TEST_F(AllocatorAgreement, ReadOnlyUpstreamGivesWayToDownstreamsAllocator)
{
    CComPtr<IMemAllocator> spDown;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                     reinterpret_cast<void**>(&spDown)));
    m_chain.m_sink.m_spOwnAlloc = spDown;
    m_chain.m_sink.m_hrRequirements = S_OK;
    m_chain.m_sink.m_requirements = {4, 8192, 1, 0};
    ASSERT_EQ(S_OK, m_chain.Build(4096, 2, TRUE));
    EXPECT_EQ(eAS_Downstream, Out()->m_eAllocSrc);
    EXPECT_EQ(spDown.p, Out()->m_spAllocOut.p);
    EXPECT_FALSE(m_chain.m_sink.m_bNotifiedReadOnly);
    EXPECT_EQ(2, Props(m_chain.m_spAlloc).cBuffers) << "a read-only allocator is never resized";
    EXPECT_TRUE(m_chain.m_pFilter->m_bSeparateAllocators);
    // Samples are copied into the downstream allocator's buffers.
    EXPECT_EQ(S_OK, m_chain.Push(m_chain.Filter(), 4096));
    EXPECT_EQ(1, m_chain.m_sink.m_nReceived);
}

TEST_F(AllocatorAgreement, ReadOnlyUpstreamWithoutDownstreamAllocatorGetsAnInternalOne)
{
    ASSERT_EQ(S_OK, m_chain.Build(4096, 2, TRUE));
    EXPECT_EQ(eAS_Internal, Out()->m_eAllocSrc);
    EXPECT_NE(m_chain.m_spAlloc.p, Out()->m_spAllocOut.p);
    // The request fell back to the minimum merged with upstream's properties.
    const ALLOCATOR_PROPERTIES props = Props(Out()->m_spAllocOut);
    EXPECT_EQ(2, props.cBuffers);
    EXPECT_EQ(4096, props.cbBuffer);
}

TEST_F(AllocatorAgreement, AnAlignmentOfThreeIsRefusedAndTheNextCandidateTried)
{
    CAlign3Allocator odd;
    m_chain.m_sink.m_spOwnAlloc = &odd;
    ASSERT_EQ(S_OK, m_chain.Build(4096, 2, TRUE));
    EXPECT_EQ(eAS_Internal, Out()->m_eAllocSrc);
    EXPECT_NE(static_cast<IMemAllocator*>(&odd), Out()->m_spAllocOut.p);
    m_chain.Teardown();
    m_chain.m_sink.m_spOwnAlloc.Release();
}

TEST_F(AllocatorAgreement, TooSmallReadOnlyReplacementKeepsSeparateAllocators)
{
    ASSERT_EQ(S_OK, m_chain.Build(4096, 4, FALSE));
    ASSERT_EQ(eAS_Upstream, Out()->m_eAllocSrc);
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
    CComPtr<IMemAllocator> spSmall;
    ASSERT_EQ(S_OK, CreateMemoryAllocator(&spSmall, nullptr));
    ALLOCATOR_PROPERTIES req = {1, 512, 1, 0}, act = {};
    ASSERT_EQ(S_OK, spSmall->SetProperties(&req, &act));

    CTraceCapture trace;
    EXPECT_EQ(S_OK, m_chain.Filter()->NotifyAllocator(spSmall, TRUE));
    const std::wstring s = trace.Text();
    EXPECT_TRUE(TextHas(s, L"Read-only upstream allocator can't be used as pass through allocator"));
    EXPECT_TRUE(TextHas(s, L"Filter_NotifyAllocator(): Use separated allocators"));
    EXPECT_TRUE(m_chain.m_pFilter->m_bSeparateAllocators);
    EXPECT_TRUE(m_chain.m_pFilter->m_apOut->IsConnected());
    EXPECT_EQ(m_chain.m_spAlloc.p, Out()->m_spAllocOut.p);
    // It still runs, copying upstream's samples into the old allocator.
    ASSERT_EQ(S_OK, m_chain.m_spFilter->Run(0));
    ASSERT_EQ(S_OK, spSmall->Commit());
    IMediaSample* pSample = nullptr;
    ASSERT_EQ(S_OK, spSmall->GetBuffer(&pSample, nullptr, nullptr, 0));
    pSample->SetActualDataLength(512);
    EXPECT_EQ(S_OK, m_chain.Filter()->Receive(pSample));
    pSample->Release();
    EXPECT_EQ(1, m_chain.m_sink.m_nReceived);
    spSmall->Decommit();
}

TEST_F(AllocatorAgreement, RefusedReplacementRollsBackOrDisconnectsWhenTheRollbackFails)
{
    // Downstream refuses upstream's new allocator; then the old allocator's
    // re-notification answers S_OK (rolled back), S_FALSE or a failure
    // (both a failed rollback: the output lets downstream go).
    for (HRESULT hrRestore : {S_OK, S_FALSE, E_FAIL})
    {
        SCOPED_TRACE(hrRestore);
        m_chain.Teardown();
        ASSERT_EQ(S_OK, m_chain.Build(4096, 4, FALSE));
        ASSERT_EQ(S_OK, m_chain.m_spFilter->Stop());
        CComPtr<IMemAllocator> spNew;
        ASSERT_EQ(S_OK, CreateMemoryAllocator(&spNew, nullptr));
        ALLOCATOR_PROPERTIES req = {1, 512, 1, 0}, act = {};
        ASSERT_EQ(S_OK, spNew->SetProperties(&req, &act));
        m_chain.m_sink.m_notifyResults = {E_FAIL, hrRestore};
        const HRESULT hr = m_chain.Filter()->NotifyAllocator(spNew, FALSE);
        EXPECT_TRUE(m_chain.m_sink.m_notifyResults.empty());
        const ALLOCATOR_PROPERTIES props = Props(spNew);
        EXPECT_EQ(1, props.cBuffers) << "upstream's properties are restored";
        EXPECT_EQ(512, props.cbBuffer);
        if (hrRestore == S_OK)
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_TRUE(Out()->IsConnected());
            EXPECT_EQ(m_chain.m_spAlloc.p, m_chain.m_sink.m_spNotified.p);
            EXPECT_TRUE(m_chain.m_pFilter->m_bSeparateAllocators);
        }
        else
        {
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
            EXPECT_FALSE(Out()->IsConnected());
            EXPECT_EQ(nullptr, m_chain.m_sink.m_spPeer.p);
        }
    }
}
