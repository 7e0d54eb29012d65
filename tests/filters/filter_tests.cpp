// The filter object and its pins through their public interfaces.
#include "WaveGraph.h"
#include "support/ComTest.h"
#include "support/OddSample.h"
#include "support/PassThroughChain.h"
#include "support/TraceCapture.h"

#include <memory>

using namespace filters_test;

namespace
{
std::wstring IdOf(IPin* pPin)
{
    LPWSTR psz = nullptr;
    pPin->QueryId(&psz);
    std::wstring s = psz != nullptr ? psz : L"";
    CoTaskMemFree(psz);
    return s;
}
} // namespace

TEST_F(WaveGraph, PinsAreNamedAndFoundByExactName)
{
    EXPECT_EQ(L"In", IdOf(In()));
    EXPECT_EQ(L"Out", IdOf(Out()));
    CComPtr<IPin> spPin;
    EXPECT_EQ(S_OK, m_spTest->FindPin(L"Out", &spPin));
    EXPECT_TRUE(spPin.IsEqualObject(Out()));
    spPin.Release();
    EXPECT_EQ(VFW_E_NOT_FOUND, m_spTest->FindPin(L"in", &spPin));
    EXPECT_EQ(nullptr, spPin.p);
    EXPECT_EQ(E_POINTER, m_spTest->FindPin(nullptr, &spPin));

    PIN_INFO info = {};
    ASSERT_EQ(S_OK, In()->QueryPinInfo(&info));
    EXPECT_EQ(PINDIR_INPUT, info.dir);
    EXPECT_EQ(m_spTest.p, info.pFilter);
    info.pFilter->Release();

    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, m_spTest->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_TestInPlaceFilter, clsid));
    EXPECT_EQ(E_INVALIDARG, m_spTest->GetClassID(nullptr));
}

TEST_F(WaveGraph, GraphMembershipNameAndDebugName)
{
    FILTER_INFO info = {};
    ASSERT_EQ(S_OK, m_spTest->QueryFilterInfo(&info));
    EXPECT_STREQ(L"Test", info.achName);
    EXPECT_NE(nullptr, info.pGraph);
    if (info.pGraph != nullptr)
        info.pGraph->Release();
    // A second graph is refused while in one.
    EXPECT_EQ(E_FAIL, m_spTest->JoinFilterGraph(reinterpret_cast<IFilterGraph*>(m_spGraph.p), L"Other"));

    CComObject<CTestInPlaceFilter>* pLone = nullptr;
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pLone));
    CComPtr<IBaseFilter> spLone(static_cast<IBaseFilter*>(pLone));
    ASSERT_EQ(S_OK, spLone->QueryFilterInfo(&info));
    EXPECT_STREQ(L"Test In-Place", info.achName);
    EXPECT_EQ(nullptr, info.pGraph);
    const std::wstring sLong(200, L'n');
    ASSERT_EQ(S_OK, m_spGraph->AddFilter(spLone, sLong.c_str()));
    ASSERT_EQ(S_OK, spLone->QueryFilterInfo(&info));
    EXPECT_EQ(sLong.substr(0, 127), info.achName);
    info.pGraph->Release();

    CComPtr<IDirectShowDebug> spDebug;
    ASSERT_EQ(S_OK, spLone->QueryInterface(IID_IDirectShowDebug, reinterpret_cast<void**>(&spDebug)));
    WCHAR szTag[64];
    char szTagA[6];
    ASSERT_EQ(S_OK, spDebug->GetDebugNameW(szTag, 64));
    EXPECT_EQ(0, wcsncmp(szTag, L"[Test ", 6));
    EXPECT_EQ(L']', szTag[wcslen(szTag) - 1]);
    ASSERT_EQ(S_OK, spDebug->GetDebugNameA(szTagA, 6));
    EXPECT_STREQ("[Test", szTagA);
    EXPECT_EQ(S_OK, m_spGraph->RemoveFilter(spLone));
    ASSERT_EQ(S_OK, spLone->QueryFilterInfo(&info));
    EXPECT_STREQ(L"Test In-Place", info.achName);
}

TEST_F(WaveGraph, PinEnumeratorAndMediaTypeEnumerator)
{
    CComPtr<IEnumPins> spEnum;
    ASSERT_EQ(S_OK, m_spTest->EnumPins(&spEnum));
    IPin* apPins[5] = {};
    ULONG cFetched = 0;
    EXPECT_EQ(E_INVALIDARG, spEnum->Next(2, apPins, nullptr));
    EXPECT_EQ(S_FALSE, spEnum->Next(5, apPins, &cFetched));
    EXPECT_EQ(2u, cFetched);
    for (ULONG i = 0; i < cFetched; ++i)
        apPins[i]->Release();

    // No type before a connection, exactly the connection type after it.
    CComPtr<IEnumMediaTypes> spTypes;
    ASSERT_EQ(S_OK, In()->EnumMediaTypes(&spTypes));
    AM_MEDIA_TYPE* pmt = nullptr;
    EXPECT_EQ(S_FALSE, spTypes->Next(1, &pmt, nullptr));
    ASSERT_EQ(S_OK, ConnectInput());
    ASSERT_EQ(S_OK, spTypes->Reset());
    ASSERT_EQ(S_OK, spTypes->Next(1, &pmt, nullptr));
    EXPECT_TRUE(IsEqualGUID(MEDIATYPE_Audio, pmt->majortype));
    MTDelete(pmt);
    EXPECT_EQ(S_FALSE, spTypes->Next(1, &pmt, nullptr));
}

TEST_F(WaveGraph, OutputOffersUpstreamTypesWhenRedirected)
{
    ASSERT_EQ(S_OK, ConnectInput());
    m_pTest->m_apOut->m_nRedirectMT = 1;
    CComPtr<IEnumMediaTypes> spTypes;
    ASSERT_EQ(S_OK, Out()->EnumMediaTypes(&spTypes));
    AM_MEDIA_TYPE* pmt = nullptr;
    ASSERT_EQ(S_OK, spTypes->Next(1, &pmt, nullptr));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, pmt->subtype));
    MTDelete(pmt);
    m_pTest->m_apOut->m_nRedirectMT = 2; // only 1 switches it on
    spTypes.Release();
    ASSERT_EQ(S_OK, Out()->EnumMediaTypes(&spTypes));
    EXPECT_EQ(S_FALSE, spTypes->Next(1, &pmt, nullptr));
}

TEST_F(WaveGraph, ClockAndStateQueries)
{
    CComPtr<IReferenceClock> spClock;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                     reinterpret_cast<void**>(&spClock)));
    CTraceCapture trace;
    EXPECT_EQ(S_OK, m_spTest->SetSyncSource(spClock));
    CComPtr<IReferenceClock> spGot;
    EXPECT_EQ(S_OK, m_spTest->GetSyncSource(&spGot));
    EXPECT_EQ(spClock.p, spGot.p);
    const std::wstring s = trace.Text();
    EXPECT_TRUE(s.find(L"): CLSID = ") != std::wstring::npos || s.find(L"): clock hasn't CLSID") != std::wstring::npos) << s;
    EXPECT_EQ(S_OK, m_spTest->SetSyncSource(nullptr));
    EXPECT_TRUE(Traced(trace, L"IBaseFilterImpl::SetSyncSource( NULL )"));
    EXPECT_EQ(E_POINTER, m_spTest->GetSyncSource(nullptr));
    EXPECT_EQ(E_POINTER, m_spTest->GetState(0, nullptr));
    EXPECT_EQ(E_NOTIMPL, m_spTest->QueryVendorInfo(nullptr));
}

TEST(PinOutlivingItsFilter, RefusesWithoutReachingIt)
{
    CComInit com;
    CComObject<CTestInPlaceFilter>* pFilter = nullptr;
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pFilter));
    CComPtr<IBaseFilter> spFilter(static_cast<IBaseFilter*>(pFilter));
    CComPtr<IPin> spIn(pFilter->m_apIn);
    CComPtr<IMemInputPin> spMemIn;
    ASSERT_EQ(S_OK, spIn->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemIn)));
    spFilter.Release();

    CTraceCapture trace;
    // Callers release pFilter after S_OK without a check: no S_OK with a null filter.
    PIN_INFO info = {};
    info.pFilter = reinterpret_cast<IBaseFilter*>(1);
    EXPECT_EQ(E_UNEXPECTED, spIn->QueryPinInfo(&info));
    EXPECT_EQ(nullptr, info.pFilter);
    EXPECT_EQ(PINDIR_INPUT, info.dir);
    EXPECT_STREQ(L"In", info.achName);
    EXPECT_TRUE(Traced(trace, L"IPinImpl::QueryPinInfo(): link between filter and pin is broken"));
    COddSample sample;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, spMemIn->Receive(&sample));
    EXPECT_TRUE(Traced(trace, L"IMemInputPinImpl::Receive(): Input pin not connected"));
    EXPECT_EQ(S_FALSE, spIn->Disconnect());
    spMemIn.Release();
    spIn.Release();
}

TEST(GraphMembership, FailedJoinIsUndoneAndLeavingClearsClockAndStartTime)
{
    CComInit com;
    {
        CPassThroughChain chain;
        ASSERT_EQ(S_OK, chain.Build());
        CComPtr<IFilterGraph> spGraph;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                         reinterpret_cast<void**>(&spGraph)));
        CComPtr<IReferenceClock> spClock;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                         reinterpret_cast<void**>(&spClock)));
        IBaseFilter* pFilter = chain.m_spFilter;
        chain.m_pFilter->m_hrJoin = E_ABORT;
        EXPECT_EQ(E_ABORT, pFilter->JoinFilterGraph(spGraph, L"G"));
        FILTER_INFO info = {};
        ASSERT_EQ(S_OK, pFilter->QueryFilterInfo(&info));
        EXPECT_EQ(nullptr, info.pGraph);
        chain.m_pFilter->m_hrJoin = S_OK;
        ASSERT_EQ(S_OK, pFilter->JoinFilterGraph(spGraph, L"G"));
        ASSERT_EQ(S_OK, pFilter->SetSyncSource(spClock));
        ASSERT_EQ(S_OK, pFilter->Stop());
        ASSERT_EQ(S_OK, pFilter->Run(5000));
        EXPECT_EQ(5000, chain.m_pFilter->m_tStart);
        ASSERT_EQ(S_OK, pFilter->Stop());
        chain.Out()->Disconnect();
        chain.In()->Disconnect();
        ASSERT_EQ(S_OK, pFilter->JoinFilterGraph(nullptr, nullptr));
        CComPtr<IReferenceClock> spNow;
        EXPECT_EQ(S_OK, pFilter->GetSyncSource(&spNow));
        EXPECT_EQ(nullptr, spNow.p);
        EXPECT_EQ(0, chain.m_pFilter->m_tStart);
        chain.Teardown();
    }
}
