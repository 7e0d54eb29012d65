// The pins' redirectors and quality messages between the test peers:
// seeking upstream, property sets and mixer settings downstream.
#include <gtest/gtest.h>

#include <atomic>

#include "support/ComTest.h"
#include "support/GraphRun.h"
#include "support/TestInPlaceFilter.h"
#include "support/TestPeers.h"
#include "support/TraceCapture.h"

namespace
{
class Redirect : public CComTest
{
protected:
    void SetUp() override
    {
        m_spSource = CTestSource::Create();
        m_spSink = CTestSink::Create();
        ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&m_pFilter));
        m_spFilter = static_cast<IBaseFilter*>(m_pFilter);
    }
    void TearDown() override
    {
        m_spFilter->Stop();
        m_spSink->Stop();
        m_spSource->Stop();
        FindPin(m_spFilter, PINDIR_OUTPUT)->Disconnect();
        FindPin(m_spSource, PINDIR_OUTPUT)->Disconnect();
        FindPin(m_spFilter, PINDIR_INPUT)->Disconnect();
        m_spFilter.Release();
        m_spSink.Release();
        m_spSource.Release();
    }
    void ConnectAll()
    {
        ASSERT_EQ(S_OK, FindPin(m_spSource, PINDIR_OUTPUT)->Connect(In(), nullptr));
        ASSERT_EQ(S_OK, Out()->Connect(m_spSink->Pin(), nullptr));
    }
    CComPtr<IPin> In() { return FindPin(m_spFilter, PINDIR_INPUT); }
    ULONG SinkRefs()
    {
        m_spSink.p->AddRef();
        return m_spSink.p->Release();
    }
    CComPtr<IPin> Out() { return FindPin(m_spFilter, PINDIR_OUTPUT); }

    CComPtr<CTestSource> m_spSource;
    CComPtr<CTestSink> m_spSink;
    CComObject<CTestInPlaceFilter>* m_pFilter = nullptr;
    CComPtr<IBaseFilter> m_spFilter;
};
} // namespace

TEST_F(Redirect, SeekingFollowsTheUpstreamConnection)
{
    CComPtr<IMediaSeeking> spSeeking;
    EXPECT_EQ(E_NOINTERFACE, Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking)));
    ConnectAll();
    ASSERT_EQ(S_OK, Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking)));
    CTraceCapture trace;
    LONGLONG llDuration = 0;
    EXPECT_EQ(S_OK, spSeeking->GetDuration(&llDuration));
    EXPECT_EQ(100000000, llDuration);
    bool bLevel2 = false;
    for (const std::wstring& line : trace.Lines())
        bLevel2 |= line.find(L"IMediaSeeking::GetDuration(): duration=") != std::wstring::npos && CTraceCapture::Level(line) == 2;
    EXPECT_TRUE(bLevel2);

    // Upstream gone: the held interface answers without a target.
    ASSERT_EQ(S_OK, FindPin(m_spSource, PINDIR_OUTPUT)->Disconnect());
    ASSERT_EQ(S_OK, In()->Disconnect());
    double dRate = 0;
    EXPECT_EQ(E_NOTIMPL, spSeeking->GetRate(&dRate));
    EXPECT_TRUE(Traced(trace, L"Can't redirect IMediaSeeking::GetRate(pdRate)\n"));
    // A source without seeking: the output pin does not offer it either.
    m_spSource->EnableSeeking(false);
    ASSERT_EQ(S_OK, FindPin(m_spSource, PINDIR_OUTPUT)->Connect(In(), nullptr));
    CComPtr<IMediaSeeking> spNone;
    EXPECT_EQ(E_NOINTERFACE, Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spNone)));
}

TEST_F(Redirect, PropertySetOnlyWhileDownstreamOffersIt)
{
    ConnectAll();
    CComPtr<IKsPropertySet> spProps;
    EXPECT_EQ(E_NOINTERFACE, In()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&spProps)));
    m_spSink->EnablePropertySet(true);
    ASSERT_EQ(S_OK, In()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&spProps)));
    CTraceCapture trace;
    DWORD dwValue = 7;
    EXPECT_EQ(S_OK, spProps->Set(AMPROPSETID_Pin, 3, nullptr, 0, &dwValue, sizeof(dwValue)));
    ASSERT_EQ(1u, m_spSink->PropertySetCalls().size());
    EXPECT_TRUE(Traced(trace, L"Redirection: IKsPropertySet::Set("));
}

TEST_F(Redirect, MixerSettingsWithAndWithoutARenderer)
{
    ASSERT_EQ(S_OK, FindPin(m_spSource, PINDIR_OUTPUT)->Connect(In(), nullptr));
    CComPtr<IMixerPinConfig> spMixer;
    ASSERT_EQ(S_OK, In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&spMixer)));
    CTraceCapture trace;
    EXPECT_EQ(S_OK, spMixer->SetAspectRatioMode(AM_ARMODE_CROP));
    EXPECT_TRUE(Traced(trace, L"IMixerPinConfig::SetAspectRatioMode(): host not set, return S_OK"));
    AM_ASPECT_RATIO_MODE eMode = AM_ARMODE_STRETCHED;
    EXPECT_EQ(E_NOTIMPL, spMixer->GetAspectRatioMode(&eMode));

    // A renderer appears downstream: the same tear-off finds it now.
    m_spSink->EnableMixerPinConfig(2);
    ASSERT_EQ(S_OK, Out()->Connect(m_spSink->Pin(), nullptr));
    EXPECT_EQ(S_OK, spMixer->SetAspectRatioMode(AM_ARMODE_LETTER_BOX));
    EXPECT_EQ(S_OK, spMixer->GetAspectRatioMode(&eMode));
    EXPECT_EQ(AM_ARMODE_LETTER_BOX, eMode);
    CComPtr<IKorvexRedirect> spKorvex;
    EXPECT_EQ(E_NOINTERFACE, spMixer->QueryInterface(IID_IKorvexRedirect, reinterpret_cast<void**>(&spKorvex)));
}

TEST_F(Redirect, NeighbourFaultingInQueryInterfaceLeavesTheFilterRunning)
{
    m_spSink->EnableMixerPinConfig(1);
    m_spSink->SetQueryInterfaceFault(IID_IMixerPinConfig);
    ConnectAll();
    ASSERT_EQ(S_OK, m_spSink->Run(0));
    ASSERT_EQ(S_OK, m_spFilter->Run(0));
    ASSERT_EQ(S_OK, m_spSource->Run(0));
    CComPtr<IMixerPinConfig> spMixer;
    ASSERT_EQ(S_OK, In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&spMixer)));
    CTraceCapture trace;
    DWORD dwZ = 0;
    const ULONG cSinkRefs = SinkRefs();
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(FAILED(spMixer->GetZOrder(&dwZ)));
    EXPECT_EQ(cSinkRefs, SinkRefs()) << "a faulting lookup leaks no reference on the downstream pin";
    EXPECT_TRUE(Traced(trace, L"###Err### CTearOffMixerPinConfigFix QueryRedirect( "));
    EXPECT_TRUE(Traced(trace, L"): Exception 0xC0000005"));
    EXPECT_EQ(std::vector<DWORD>(5, EXCEPTION_ACCESS_VIOLATION), trace.Dumps());
    EXPECT_EQ(S_OK, m_spSource->Deliver(3, 1024, 10000));
    EXPECT_EQ(3u, m_spSink->SampleCount());
}

struct CSecondCall
{
    IMixerPinConfig* pMixer;
    HRESULT hr = E_FAIL;
};

DWORD WINAPI SecondCall(void* pv)
{
    auto* pCall = static_cast<CSecondCall*>(pv);
    DWORD dwZ = 0;
    pCall->hr = pCall->pMixer->GetZOrder(&dwZ);
    return 0;
}

TEST_F(Redirect, TearOffLooksItsTargetUpWithoutHoldingItsLock)
{
    m_spSink->EnableMixerPinConfig(1);
    ConnectAll();
    CComPtr<IMixerPinConfig> spMixer;
    ASSERT_EQ(S_OK, In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&spMixer)));
    // The neighbour's first lookup waits for another caller of the same tear-off.
    CSecondCall second{spMixer};
    HANDLE hSecond = nullptr;
    DWORD dwWait = WAIT_FAILED;
    std::atomic<bool> bHooked{false};
    m_spSink->SetQueryInterfaceHook([&](REFIID riid) {
        if (!IsEqualIID(riid, IID_IMixerPinConfig) || bHooked.exchange(true))
            return;
        hSecond = CreateThread(nullptr, 0, SecondCall, &second, 0, nullptr);
        dwWait = WaitForSingleObject(hSecond, 5000);
    });
    DWORD dwZ = 0;
    EXPECT_EQ(S_OK, spMixer->GetZOrder(&dwZ));
    ASSERT_NE(nullptr, hSecond);
    EXPECT_EQ(WAIT_OBJECT_0, dwWait) << "the second caller waited for the first one's lookup";
    WaitForSingleObject(hSecond, INFINITE);
    CloseHandle(hSecond);
    m_spSink->SetQueryInterfaceHook(nullptr);
    EXPECT_EQ(S_OK, second.hr);
}

TEST_F(Redirect, QualityMessagesTravelUpstream)
{
    ConnectAll();
    const Quality q = {Famine, 900, 20000, 40000};
    EXPECT_EQ(S_OK, m_spSink->SendQuality(q));
    EXPECT_EQ(1, m_spSource->QualityNotifyCount());
    EXPECT_EQ(900, m_spSource->LastQuality().Proportion);
    EXPECT_EQ(Famine, m_spSource->LastQuality().Type);
}
