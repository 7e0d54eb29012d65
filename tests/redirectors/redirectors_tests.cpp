// Redirectors on a fake pin whose neighbour is a recording mock.
#include <windows.h>
#include <dshow.h>

#include <dshowx/DSParsers.h>
#include <dshowx/DSWrappers.h>
#include <winapi/ComObject.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/TraceCapture.h"

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;

namespace
{
class CMockSeeking : public IMediaSeeking
{
public:
    MOCK_METHOD(HRESULT, GetCapabilities, (DWORD*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, CheckCapabilities, (DWORD*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, IsFormatSupported, (const GUID*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, QueryPreferredFormat, (GUID*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetTimeFormat, (GUID*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, IsUsingTimeFormat, (const GUID*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetTimeFormat, (const GUID*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetDuration, (LONGLONG*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetStopPosition, (LONGLONG*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetCurrentPosition, (LONGLONG*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, ConvertTimeFormat, (LONGLONG*, const GUID*, LONGLONG, const GUID*),
                (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetPositions, (LONGLONG*, DWORD, LONGLONG*, DWORD), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetPositions, (LONGLONG*, LONGLONG*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetAvailable, (LONGLONG*, LONGLONG*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetRate, (double), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetRate, (double*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetPreroll, (LONGLONG*), (Calltype(STDMETHODCALLTYPE), override));
};

class CMockPropertySet : public IKsPropertySet
{
public:
    MOCK_METHOD(HRESULT, Set, (REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, Get, (REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD, DWORD*),
                (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, QuerySupported, (REFGUID, DWORD, DWORD*), (Calltype(STDMETHODCALLTYPE), override));
};

class CMockMixer : public IMixerPinConfig2
{
public:
    MOCK_METHOD(HRESULT, SetRelativePosition, (DWORD, DWORD, DWORD, DWORD), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetRelativePosition, (DWORD*, DWORD*, DWORD*, DWORD*),
                (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetZOrder, (DWORD), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetZOrder, (DWORD*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetColorKey, (COLORKEY*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetColorKey, (COLORKEY*, DWORD*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetBlendingParameter, (DWORD), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetBlendingParameter, (DWORD*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetAspectRatioMode, (AM_ASPECT_RATIO_MODE), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetAspectRatioMode, (AM_ASPECT_RATIO_MODE*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetStreamTransparent, (BOOL), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetStreamTransparent, (BOOL*), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, SetOverlaySurfaceColorControls, (LPDDCOLORCONTROL), (Calltype(STDMETHODCALLTYPE), override));
    MOCK_METHOD(HRESULT, GetOverlaySurfaceColorControls, (LPDDCOLORCONTROL), (Calltype(STDMETHODCALLTYPE), override));
};

// The pin on the other side of the filter: offers what the test allows and
// counts the references handed out, so that a leak shows.
class CNeighbour : public CMockSeeking, public CMockPropertySet, public CMockMixer
{
public:
    bool m_bSeeking = true;
    bool m_bPropertySet = true;
    bool m_bMixer = true;
    bool m_bMixer2 = true;
    bool m_bFaultOnMixer = false;
    LONG m_cRef = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (m_bFaultOnMixer && riid == IID_IMixerPinConfig)
            *s_pnBad = 1; // a neighbour with a wild pointer
        if (riid == IID_IUnknown || (m_bSeeking && riid == IID_IMediaSeeking))
            *ppv = static_cast<IMediaSeeking*>(this);
        else if (m_bPropertySet && riid == IID_IKsPropertySet)
            *ppv = static_cast<IKsPropertySet*>(this);
        else if (m_bMixer && riid == IID_IMixerPinConfig)
            *ppv = static_cast<IMixerPinConfig*>(this);
        else if (m_bMixer2 && riid == IID_IMixerPinConfig2)
            *ppv = static_cast<IMixerPinConfig2*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_cRef); }

private:
    static inline int* volatile s_pnBad = nullptr;
};

// A pin offering the three redirectors the way the framework's pins do,
// with the neighbour the test connects.
class CFakePin : public CComObjectRootMT, public IMediaSeekingRedir<CFakePin>, public IKsPropertySetRedir<CFakePin>
{
public:
    BEGIN_COM_MAP(CFakePin)
    COM_INTERFACE_ENTRY(IMediaSeeking)
    COM_INTERFACE_ENTRY(IKsPropertySet)
    COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig, CTearOffMixerPinConfigFix<CFakePin>)
    COM_INTERFACE_ENTRY_TEAR_OFF(IID_IMixerPinConfig2, CTearOffMixerPinConfigFix<CFakePin>)
    END_COM_MAP()

    static inline LONG s_cLive = 0;
    CFakePin() { ++s_cLive; }
    ~CFakePin() { --s_cLive; }

    HRESULT QueryRedirect(REFIID riid, void** ppv)
    {
        if (m_pNeighbour == nullptr)
            return E_NOTIMPL;
        return m_pNeighbour->QueryInterface(riid, ppv);
    }
    // What the tear-off queries itself.
    CComPtr<IUnknown> RedirectTarget()
    {
        ++m_cLookups;
        return CComPtr<IUnknown>(m_pNeighbour);
    }
    LPCWSTR GetTraceName() { return L"[Spy 1 Out]"; }

    IUnknown* m_pNeighbour = nullptr;
    int m_cLookups = 0;
};

typedef CTearOffMixerPinConfigFix<CFakePin> CTearOff;

struct CTraced
{
    int nLevel;
    std::wstring sBody;
};

class RedirectorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CComObject<CFakePin>* p = nullptr;
        ASSERT_EQ(S_OK, CComObject<CFakePin>::CreateInstance(&p));
        m_pPin = p;
        m_pPin->AddRef();
        m_pPin->m_pNeighbour = static_cast<IMediaSeeking*>(&m_neighbour);
    }
    void TearDown() override
    {
        m_spMixer.Release();
        if (m_pPin != nullptr)
            m_pPin->Release();
        EXPECT_EQ(0, CFakePin::s_cLive);
        EXPECT_EQ(1, m_neighbour.m_cRef) << "a reference on the neighbour was left";
    }

    IMediaSeeking* Seeking() { return static_cast<IMediaSeeking*>(m_pPin); }
    IKsPropertySet* PropertySet() { return static_cast<IKsPropertySet*>(m_pPin); }
    void Disconnect() { m_pPin->m_pNeighbour = nullptr; }

    // A new tear-off from the pin; its creation line is dropped.
    IMixerPinConfig2* Mixer()
    {
        if (!m_spMixer)
        {
            EXPECT_EQ(S_OK, m_pPin->QueryInterface(IID_IMixerPinConfig2, reinterpret_cast<void**>(&m_spMixer)));
        }
        return m_spMixer;
    }
    CTearOff* TearOffOf(IMixerPinConfig* p) { return static_cast<CTearOff*>(p); }

    std::vector<CTraced> Traced() const
    {
        std::vector<CTraced> v;
        for (const std::wstring& line : m_trace.Lines())
            v.push_back({CTraceCapture::Level(line), CTraceCapture::Body(line)});
        return v;
    }
    // The level of the line with this text, -1 when it was not written.
    int LevelOf(const std::wstring& sBody) const
    {
        for (const CTraced& t : Traced())
            if (t.sBody == sBody)
                return t.nLevel;
        return -1;
    }
    std::wstring Text() const { return m_trace.Text(); }
    static std::wstring NameOf(REFGUID guid)
    {
        WCHAR sz[128];
        return Guid2Name(guid, sz, 128);
    }

    CTraceCapture m_trace;
    CNeighbour m_neighbour;
    CComObject<CFakePin>* m_pPin = nullptr;
    CComPtr<IMixerPinConfig2> m_spMixer;
};

// ---------------------------------------------------------------------------
// IMediaSeeking

TEST_F(RedirectorTest, SeekingForwardsArgumentsAndPassesResultsBack)
{
    LONGLONG tCurrent = 10000000;
    LONGLONG tStop = 25000000;
    EXPECT_CALL(m_neighbour, SetPositions(&tCurrent, 0x1u, &tStop, 0x4u)).WillOnce(Return(S_FALSE));
    EXPECT_EQ(S_FALSE, Seeking()->SetPositions(&tCurrent, 0x1, &tStop, 0x4));

    EXPECT_CALL(m_neighbour, SetRate(1.5)).WillOnce(Return(E_INVALIDARG));
    EXPECT_EQ(E_INVALIDARG, Seeking()->SetRate(1.5));

    double dRate = 0;
    EXPECT_CALL(m_neighbour, GetRate(&dRate)).WillOnce(DoAll(SetArgPointee<0>(2.0), Return(S_OK)));
    EXPECT_EQ(S_OK, Seeking()->GetRate(&dRate));
    EXPECT_EQ(2.0, dRate);

    EXPECT_CALL(m_neighbour, SetPositions(nullptr, 0x0u, &tStop, 0x2u)).WillOnce(Return(S_OK));
    EXPECT_EQ(S_OK, Seeking()->SetPositions(nullptr, 0, &tStop, 0x2));

    EXPECT_EQ(L"[Spy 1 Out] IMediaSeeking::SetPositions( 1.000, 0x1, 2.500, 0x4 )\n"
              L"Redirection: IMediaSeeking::SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags)=0x1\n"
              L"[Spy 1 Out] IMediaSeeking::SetRate( 1.5 )\n"
              L"Redirection: IMediaSeeking::SetRate(dRate)=0x80070057\n"
              L"[Spy 1 Out] IMediaSeeking::GetRate()\n"
              L"Redirection: IMediaSeeking::GetRate(pdRate)=0x0\n"
              L"[Spy 1 Out] IMediaSeeking::SetPositions( NULL, 0x0, 2.500, 0x2 )\n"
              L"Redirection: IMediaSeeking::SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags)=0x0\n",
              Text());
    EXPECT_EQ(8, LevelOf(L"Redirection: IMediaSeeking::GetRate(pdRate)=0x0\n"));
}

TEST_F(RedirectorTest, SeekingWithoutUpstreamIsNotImplementedAndFollowsReconnection)
{
    Disconnect();
    double dRate = -1;
    EXPECT_EQ(E_NOTIMPL, Seeking()->GetRate(&dRate));
    EXPECT_EQ(-1, dRate);
    EXPECT_EQ(L"[Spy 1 Out] IMediaSeeking::GetRate()\nCan't redirect IMediaSeeking::GetRate(pdRate)\n", Text());
    EXPECT_EQ(8, LevelOf(L"Can't redirect IMediaSeeking::GetRate(pdRate)\n"));

    // An upstream pin without seeking counts as none.
    m_pPin->m_pNeighbour = static_cast<IMediaSeeking*>(&m_neighbour);
    m_neighbour.m_bSeeking = false;
    EXPECT_EQ(E_NOTIMPL, Seeking()->GetPreroll(nullptr));

    // No state is kept: the next call finds the new upstream at once.
    m_neighbour.m_bSeeking = true;
    EXPECT_CALL(m_neighbour, GetPreroll(nullptr)).WillOnce(Return(E_POINTER));
    EXPECT_EQ(E_POINTER, Seeking()->GetPreroll(nullptr));
}

TEST_F(RedirectorTest, SeekingDurationIsTracedAtErrorLevel)
{
    LONGLONG tDuration = 0;
    EXPECT_CALL(m_neighbour, GetDuration(&tDuration)).WillOnce(DoAll(SetArgPointee<0>(100000000), Return(S_OK)));
    EXPECT_EQ(S_OK, Seeking()->GetDuration(&tDuration));
    EXPECT_EQ(100000000, tDuration);
    // The entry line is detail level and never output.
    EXPECT_EQ(L"[Spy 1 Out] IMediaSeeking::GetDuration(): duration=10.000\n", Text());
    EXPECT_EQ(2, LevelOf(L"[Spy 1 Out] IMediaSeeking::GetDuration(): duration=10.000\n"));

    m_trace.Clear();
    EXPECT_CALL(m_neighbour, GetDuration(&tDuration)).WillOnce(Return(E_FAIL));
    EXPECT_EQ(E_FAIL, Seeking()->GetDuration(&tDuration));
    EXPECT_EQ(2, LevelOf(L"### [Spy 1 Out] IMediaSeeking::GetDuration(): upstream GetDuration()=0x80004005\n"));

    m_trace.Clear();
    Disconnect();
    EXPECT_EQ(E_NOTIMPL, Seeking()->GetDuration(&tDuration));
    EXPECT_EQ(L"### [Spy 1 Out] IMediaSeeking::GetDuration(): can't redirect\n", Text());
    EXPECT_EQ(2, LevelOf(L"### [Spy 1 Out] IMediaSeeking::GetDuration(): can't redirect\n"));
}

TEST_F(RedirectorTest, SeekingDetailLinesReplaceTheRedirectionLineOnSuccess)
{
    DWORD dwCaps = 0x3;
    EXPECT_CALL(m_neighbour, CheckCapabilities(&dwCaps)).WillOnce(DoAll(SetArgPointee<0>(0x1u), Return(S_FALSE)));
    EXPECT_EQ(S_FALSE, Seeking()->CheckCapabilities(&dwCaps));

    LONGLONG llTarget = 0;
    EXPECT_CALL(m_neighbour, ConvertTimeFormat(&llTarget, &TIME_FORMAT_FRAME, 400000, nullptr))
        .WillOnce(DoAll(SetArgPointee<0>(1), Return(S_OK)));
    EXPECT_EQ(S_OK, Seeking()->ConvertTimeFormat(&llTarget, &TIME_FORMAT_FRAME, 400000, nullptr));

    LONGLONG tStop = 0;
    EXPECT_CALL(m_neighbour, GetPositions(nullptr, &tStop)).WillOnce(DoAll(SetArgPointee<1>(77), Return(S_OK)));
    EXPECT_EQ(S_OK, Seeking()->GetPositions(nullptr, &tStop));

    EXPECT_EQ(L"[Spy 1 Out] IMediaSeeking::CheckCapabilities()\n"
              L"[Spy 1 Out] IMediaSeeking::CheckCapabilities(): in=0x3, out=0x1\n"
              L"[Spy 1 Out] IMediaSeeking::ConvertTimeFormat()\n"
              L"[Spy 1 Out] IMediaSeeking::ConvertTimeFormat(): 1 {" +
                  NameOf(TIME_FORMAT_FRAME) +
                  L"} = 400000 {NULL} \n"
                  L"[Spy 1 Out] IMediaSeeking::GetPositions()\n"
                  L"[Spy 1 Out] IMediaSeeking::GetPositions(): current=0, stop=77\n",
              Text());

    // A failure gets the redirection line instead.
    m_trace.Clear();
    EXPECT_CALL(m_neighbour, GetPositions(nullptr, nullptr)).WillOnce(Return(E_POINTER));
    EXPECT_EQ(E_POINTER, Seeking()->GetPositions(nullptr, nullptr));
    EXPECT_EQ(L"[Spy 1 Out] IMediaSeeking::GetPositions()\nRedirection: IMediaSeeking::GetPositions()=0x80004003\n",
              Text());
}

TEST_F(RedirectorTest, SeekingFormatsAreNamed)
{
    EXPECT_CALL(m_neighbour, SetTimeFormat(&TIME_FORMAT_MEDIA_TIME)).WillOnce(Return(S_OK));
    EXPECT_CALL(m_neighbour, IsFormatSupported(nullptr)).WillOnce(Return(E_POINTER));
    EXPECT_EQ(S_OK, Seeking()->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME));
    EXPECT_EQ(E_POINTER, Seeking()->IsFormatSupported(nullptr));
    EXPECT_EQ(8, LevelOf(L"[Spy 1 Out] IMediaSeeking::SetTimeFormat( " + NameOf(TIME_FORMAT_MEDIA_TIME) + L" )\n"));
    EXPECT_EQ(8, LevelOf(L"[Spy 1 Out] IMediaSeeking::IsFormatSupported( NULL )\n"));
}

// ---------------------------------------------------------------------------
// IKsPropertySet

TEST_F(RedirectorTest, PropertySetForwardsEveryArgument)
{
    static const GUID guidSet = {0x12345678, 0x1, 0x2, {0x3, 0x4, 0x5, 0x6, 0x7, 0x8, 0x9, 0xA}};
    BYTE abInstance[8] = {};
    BYTE abProp[16] = {};
    DWORD cbReturned = 0;
    EXPECT_CALL(m_neighbour, Set(guidSet, 5u, abInstance, 8u, abProp, 16u)).WillOnce(Return(S_OK));
    EXPECT_CALL(m_neighbour, Get(guidSet, 6u, abInstance, 8u, abProp, 16u, &cbReturned))
        .WillOnce(DoAll(SetArgPointee<6>(12u), Return(S_OK)));
    EXPECT_CALL(m_neighbour, QuerySupported(guidSet, 7u, nullptr)).WillOnce(Return(E_PROP_ID_UNSUPPORTED));

    EXPECT_EQ(S_OK, PropertySet()->Set(guidSet, 5, abInstance, 8, abProp, 16));
    EXPECT_EQ(S_OK, PropertySet()->Get(guidSet, 6, abInstance, 8, abProp, 16, &cbReturned));
    EXPECT_EQ(12u, cbReturned);
    EXPECT_EQ(E_PROP_ID_UNSUPPORTED, PropertySet()->QuerySupported(guidSet, 7, nullptr));

    WCHAR szSet[128];
    WCHAR szLine[256];
    StrFormat(szLine, 256,
              L"[Spy 1 Out] IKsPropertySet::Set( guid=%s, ID=5, pInst=0x%X, cbInst=8, pProp=0x%X, cbProp=16 )\n",
              Guid2Name(guidSet, szSet, 128), static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(abInstance)),
              static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(abProp)));
    const std::wstring sSet = NameOf(guidSet);
    EXPECT_EQ(szLine + std::wstring(L"Redirection: IKsPropertySet::Set(guidPropSet,dwPropID,pInstanceData,"
                                    L"cbInstanceData,pPropData,cbPropData)=0x0\n"
                                    L"[Spy 1 Out] IKsPropertySet::Get( guidPropSet=") +
                  sSet +
                  L", dwPropID=6 )\n"
                  L"Redirection: IKsPropertySet::Get(guidPropSet,dwPropID, pInstanceData,cbInstanceData,"
                  L"pPropData,cbPropData, pcbReturned)=0x0\n"
                  L"[Spy 1 Out] IKsPropertySet::QuerySupported( guidPropSet=" +
                  sSet +
                  L", dwPropID=7 )\n"
                  L"Redirection: IKsPropertySet::QuerySupported(guidPropSet,dwPropID,pTypeSupport)=0x80070490\n",
              Text());
}

TEST_F(RedirectorTest, PropertySetWithoutDownstreamIsNotImplemented)
{
    m_neighbour.m_bPropertySet = false;
    DWORD dwSupport = 0;
    EXPECT_EQ(E_NOTIMPL, PropertySet()->QuerySupported(GUID_NULL, 1, &dwSupport));
    EXPECT_EQ(8, LevelOf(L"Can't redirect IKsPropertySet::QuerySupported(guidPropSet,dwPropID,pTypeSupport)\n"));
}

// ---------------------------------------------------------------------------
// Mixer pin configuration tear-off

TEST_F(RedirectorTest, TearOffIsNewPerQueryAndAnswersLaterQueriesThroughItsOwner)
{
    CComPtr<IMixerPinConfig> sp1;
    ASSERT_EQ(S_OK, m_pPin->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&sp1)));
    EXPECT_EQ(L"CTearOffMixerPinConfigFix FinalConstruct\n", Text());
    EXPECT_EQ(2, LevelOf(L"CTearOffMixerPinConfigFix FinalConstruct\n"));
    EXPECT_EQ(0, m_pPin->m_cLookups) << "the target is looked up on the first call only";

    CComPtr<IMixerPinConfig2> sp2;
    ASSERT_EQ(S_OK, sp1->QueryInterface(IID_IMixerPinConfig2, reinterpret_cast<void**>(&sp2)));
    EXPECT_NE(static_cast<IMixerPinConfig*>(sp1), static_cast<IMixerPinConfig*>(sp2));

    // The owner's identity, and the owner does not list IKorvexRedirect.
    CComPtr<IUnknown> spUnk;
    ASSERT_EQ(S_OK, sp1->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spUnk)));
    EXPECT_EQ(m_pPin->GetUnknown(), static_cast<IUnknown*>(spUnk));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, sp1->QueryInterface(IID_IKorvexRedirect, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(E_NOINTERFACE, m_pPin->QueryInterface(IID_IKorvexRedirect, &pv));

    // Only the creation answers from the tear-off's own map.
    CComPtr<IKorvexRedirect> spRedirect;
    ASSERT_EQ(S_OK, CComTearOffObject<CTearOff>::CreateTearOff(m_pPin, IID_IKorvexRedirect,
                                                                reinterpret_cast<void**>(&spRedirect)));
}

TEST_F(RedirectorTest, TearOffKeepsItsOwnerAlive)
{
    CComPtr<IMixerPinConfig> sp;
    ASSERT_EQ(S_OK, m_pPin->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&sp)));
    std::exchange(m_pPin, nullptr)->Release();
    EXPECT_EQ(1, CFakePin::s_cLive);
    EXPECT_CALL(m_neighbour, SetZOrder(3u)).WillOnce(Return(S_OK));
    EXPECT_EQ(S_OK, sp->SetZOrder(3));
    sp.Release();
    EXPECT_EQ(0, CFakePin::s_cLive);
}

TEST_F(RedirectorTest, TearOffForwardsDownstreamAndWritesDetailLines)
{
    EXPECT_CALL(m_neighbour, GetRelativePosition(_, _, _, _))
        .WillOnce(DoAll(SetArgPointee<0>(1u), SetArgPointee<1>(2u), SetArgPointee<2>(30u), SetArgPointee<3>(40u),
                        Return(S_OK)));
    EXPECT_CALL(m_neighbour, GetAspectRatioMode(_))
        .WillOnce(DoAll(SetArgPointee<0>(AM_ARMODE_LETTER_BOX), Return(S_FALSE)));
    EXPECT_CALL(m_neighbour, SetAspectRatioMode(static_cast<AM_ASPECT_RATIO_MODE>(7))).WillOnce(Return(E_INVALIDARG));
    COLORKEY key = {};
    DWORD dwColor = 0;
    EXPECT_CALL(m_neighbour, GetColorKey(&key, &dwColor)).WillOnce(Return(S_OK));

    DWORD l = 0, t = 0, r = 0, b = 0;
    EXPECT_EQ(S_OK, Mixer()->GetRelativePosition(&l, &t, &r, &b));
    EXPECT_EQ(40u, b);
    AM_ASPECT_RATIO_MODE eMode = AM_ARMODE_STRETCHED;
    EXPECT_EQ(S_FALSE, Mixer()->GetAspectRatioMode(&eMode));
    EXPECT_EQ(E_INVALIDARG, Mixer()->SetAspectRatioMode(static_cast<AM_ASPECT_RATIO_MODE>(7)));
    EXPECT_EQ(S_OK, Mixer()->GetColorKey(&key, &dwColor));

    EXPECT_EQ(L"CTearOffMixerPinConfigFix FinalConstruct\n"
              L"CTearOffMixerPinConfigFix: IMixerPinConfig::GetRelativePosition\n"
              L"CTearOffMixerPinConfigFix IMixerPinConfig::GetRelativePosition()=0x0, rect = [1:2]:[30:40]\n"
              L"CTearOffMixerPinConfigFix IMixerPinConfig::GetAspectRatioMode\n"
              L"CTearOffMixerPinConfigFix IMixerPinConfig::GetAspectRatioMode()=0x1, AspectRatioMode = "
              L"AM_ARMODE_LETTER_BOX\n"
              L"CTearOffMixerPinConfigFix IMixerPinConfig::SetAspectRatioMode( UNKNOWN AM_ASPECT_RATIO_MODE )\n"
              L"Redirection: IMixerPinConfig::SetAspectRatioMode(amAspectRatioMode)=0x80070057\n"
              L"CTearOffMixerPinConfigFix IMixerPinConfig::GetColorKey\n"
              L"Redirection: IMixerPinConfig::GetColorKey(pColorKey, pColor)=0x0\n",
              Text());
}

TEST_F(RedirectorTest, TearOffColourControlsGoToMixerPinConfig2)
{
    DDCOLORCONTROL cc = {sizeof(DDCOLORCONTROL), 0x45, 10, 20, 30, 40, 50, 60, 1, 0};
    EXPECT_CALL(m_neighbour, SetOverlaySurfaceColorControls(&cc)).WillOnce(Return(S_OK));
    EXPECT_CALL(m_neighbour, GetOverlaySurfaceColorControls(&cc)).WillOnce(Return(S_OK));
    EXPECT_EQ(S_OK, Mixer()->SetOverlaySurfaceColorControls(&cc));
    m_trace.Clear();
    EXPECT_EQ(S_OK, Mixer()->GetOverlaySurfaceColorControls(&cc));
    EXPECT_EQ(L"CTearOffMixerPinConfigFix IMixerPinConfig::GetOverlaySurfaceColorControls\n"
              L"DDCOLORCONTROL : dwSize=40  dwFlags=0x45\n"
              L"*** Surface properties : dwFlags=0x45  Brightness=10  Hue=30  ColorEnable=1\n",
              Text());

    // A renderer without the second interface refuses them for itself, while
    // the first interface still works through the same cached target.
    m_trace.Clear();
    m_neighbour.m_bMixer2 = false;
    EXPECT_CALL(m_neighbour, SetBlendingParameter(9u)).WillOnce(Return(S_OK));
    EXPECT_EQ(E_NOINTERFACE, Mixer()->SetOverlaySurfaceColorControls(nullptr));
    EXPECT_EQ(S_OK, Mixer()->SetBlendingParameter(9));
    EXPECT_EQ(L"CTearOffMixerPinConfigFix IMixerPinConfig::SetOverlaySurfaceColorControls\n"
              L"Can't redirect IMixerPinConfig2::SetOverlaySurfaceColorControls()\n"
              L"CTearOffMixerPinConfigFix IMixerPinConfig::SetBlendingParameter\n"
              L"Redirection: IMixerPinConfig::SetBlendingParameter(dwBlendingParameter)=0x0\n",
              Text());
}

TEST_F(RedirectorTest, TearOffFixedSettersSucceedWithoutRenderer)
{
    Disconnect();
    IMixerPinConfig2* p = Mixer();
    m_trace.Clear();
    EXPECT_EQ(S_OK, p->SetAspectRatioMode(AM_ARMODE_CROP));
    EXPECT_EQ(L"CTearOffMixerPinConfigFix: IMixerPinConfig::SetAspectRatioMode(): host not set, return S_OK\n",
              Text());
    EXPECT_EQ(8, LevelOf(Text()));
    EXPECT_EQ(S_OK, p->SetRelativePosition(0, 0, 100, 100));
    EXPECT_EQ(S_OK, p->SetStreamTransparent(TRUE));

    // The getters and the other setters have nothing to answer with.
    m_trace.Clear();
    AM_ASPECT_RATIO_MODE eMode = AM_ARMODE_CROP;
    EXPECT_EQ(E_NOTIMPL, p->GetAspectRatioMode(&eMode));
    EXPECT_EQ(E_NOTIMPL, p->SetZOrder(1));
    EXPECT_EQ(L"CTearOffMixerPinConfigFix IMixerPinConfig::GetAspectRatioMode\n"
              L"Can't redirect IMixerPinConfig::GetAspectRatioMode()\n"
              L"CTearOffMixerPinConfigFix IMixerPinConfig::SetZOrder\n"
              L"Can't redirect IMixerPinConfig::SetZOrder(dwZOrder)\n",
              Text());

    // With a renderer they follow the rule.
    m_pPin->m_pNeighbour = static_cast<IMediaSeeking*>(&m_neighbour);
    m_trace.Clear();
    EXPECT_CALL(m_neighbour, SetStreamTransparent(TRUE)).WillOnce(Return(S_FALSE));
    EXPECT_EQ(S_FALSE, p->SetStreamTransparent(TRUE));
    EXPECT_EQ(L"CTearOffMixerPinConfigFix IMixerPinConfig::SetStreamTransparent\n"
              L"Redirection: IMixerPinConfig::SetStreamTransparent(bStreamTransparent)=0x1\n",
              Text());
}

TEST_F(RedirectorTest, TearOffCachesItsTargetUntilReconnect)
{
    CNeighbour other;
    EXPECT_CALL(m_neighbour, SetZOrder(1u)).WillOnce(Return(S_OK));
    EXPECT_CALL(m_neighbour, SetZOrder(2u)).WillOnce(Return(S_OK));
    EXPECT_CALL(other, SetZOrder(3u)).WillOnce(Return(S_OK));

    IMixerPinConfig2* p = Mixer();
    EXPECT_EQ(S_OK, p->SetZOrder(1));
    m_pPin->m_pNeighbour = static_cast<IMediaSeeking*>(&other);
    EXPECT_EQ(S_OK, p->SetZOrder(2));
    EXPECT_EQ(1, m_pPin->m_cLookups);

    m_trace.Clear();
    EXPECT_EQ(S_OK, static_cast<IKorvexRedirect*>(TearOffOf(p))->Reconnect());
    EXPECT_EQ(L"CTearOffMixerPinConfigFix IKorvexRedirect::Reconnect\n", Text());
    EXPECT_EQ(1, m_neighbour.m_cRef) << "the cached target is released";
    EXPECT_EQ(S_OK, p->SetZOrder(3));
    EXPECT_EQ(2, m_pPin->m_cLookups);

    m_spMixer.Release();
    EXPECT_EQ(1, other.m_cRef);
}

TEST_F(RedirectorTest, TearOffSurvivesAFaultInTheNeighbour)
{
    m_neighbour.m_bFaultOnMixer = true;
    IMixerPinConfig2* p = Mixer();
    m_trace.Clear();
    DWORD dwZOrder = 0;
    EXPECT_EQ(E_NOTIMPL, p->GetZOrder(&dwZOrder));
    const std::wstring sException =
        L"###Err### CTearOffMixerPinConfigFix QueryRedirect( " + NameOf(IID_IMixerPinConfig) + L" ): Exception 0xC0000005\n";
    EXPECT_EQ(L"CTearOffMixerPinConfigFix IMixerPinConfig::GetZOrder\n" + sException +
                  L"Can't redirect IMixerPinConfig::GetZOrder(pdwZOrder)\n",
              Text());
    EXPECT_EQ(1, LevelOf(sException));

    // The lookup itself reports no interface, and is tried again each time.
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, TearOffOf(p)->QueryRedirect(IID_IMixerPinConfig, &pv));
    EXPECT_EQ(nullptr, pv);
    m_neighbour.m_bFaultOnMixer = false;
    EXPECT_CALL(m_neighbour, GetZOrder(&dwZOrder)).WillOnce(DoAll(SetArgPointee<0>(4u), Return(S_OK)));
    EXPECT_EQ(S_OK, p->GetZOrder(&dwZOrder));
    EXPECT_EQ(4u, dwZOrder);
}
} // namespace
