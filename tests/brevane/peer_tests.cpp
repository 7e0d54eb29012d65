// The spy between test peers in a Wine graph: the copy path, media type
// changes, the forced pass-through cycle, registry options with the
// difference file, bad input, capture while streaming and concurrency.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "SpyHost.h"
#include "support/ComTest.h"
#include "support/GraphRun.h"
#include "support/OddSample.h"
#include "support/PassThroughChain.h"
#include "support/TestPeers.h"

namespace
{
const REFERENCE_TIME c_tDur = 100000;

CMType AudioType(DWORD nSamplesPerSec, WORD nBlockAlign = 4)
{
    CMType mt = CTestSource::DefaultAudioType();
    WAVEFORMATEX* pwfx = reinterpret_cast<WAVEFORMATEX*>(mt.pbFormat);
    pwfx->nSamplesPerSec = nSamplesPerSec;
    pwfx->nBlockAlign = nBlockAlign;
    pwfx->nAvgBytesPerSec = nSamplesPerSec * nBlockAlign;
    return mt;
}

// YUY2 rows of nStride pixels holding a picture nWidth pixels wide.
CMType Yuy2Type(LONG nStride, LONG nWidth, LONG nHeight)
{
    VIDEOINFOHEADER vih = {};
    vih.rcSource = {0, 0, nWidth, nHeight};
    vih.rcTarget = vih.rcSource;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = nStride;
    vih.bmiHeader.biHeight = nHeight;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 16;
    vih.bmiHeader.biCompression = MEDIASUBTYPE_YUY2.Data1;
    vih.bmiHeader.biSizeImage = nStride * 2 * nHeight;
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_YUY2);
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(vih);
    mt.pbFormat = MTAllocFormat(sizeof(vih), &vih);
    return mt;
}

class SpyPeers : public CComTest
{
protected:
    void SetUp() override
    {
        CSpyHost::Get()->NewLog();
        m_spGraph = CreateGraph();
        m_spSource = CTestSource::Create();
        m_spSink = CTestSink::Create();
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spSource, L"Source"));
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spSink, L"Sink"));
        AddSpy();
    }
    void TearDown() override
    {
        TearDownGraph(m_spGraph);
        // Nothing but this test holds the spy once the graph is gone.
        if (m_spSpy)
        {
            EXPECT_EQ(2u, m_spSpy.p->AddRef());
            EXPECT_EQ(1u, m_spSpy.p->Release());
        }
        m_spSpy.Release();
        m_spSource.Release();
        m_spSink.Release();
    }

    // A new spy joins the graph (and reads its registry options).
    void AddSpy()
    {
        if (m_spSpy)
            m_spGraph->RemoveFilter(m_spSpy);
        m_spSpy = CSpyHost::Get()->Create();
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spSpy, L"Spy"));
    }
    HRESULT ConnectIn() { return m_spGraph->ConnectDirect(m_spSource->Pin(), In(), nullptr); }
    HRESULT Connect()
    {
        const HRESULT hr = ConnectIn();
        return FAILED(hr) ? hr : m_spGraph->ConnectDirect(Out(), m_spSink->Pin(), nullptr);
    }
    // Upstream keeps its own read-only allocator, downstream insists on
    // bigger buffers of its own: the spy must copy.
    void MakeSeparateAllocators()
    {
        m_spSource->SetAllocatorPolicy(CTestSource::AllocOwnOnly);
        m_spSource->SetReadOnly(TRUE);
        m_spSink->SetAllocator(CTestAllocator::Create());
        m_spSink->SetRequirements({2, 8192, 1, 0});
    }
    CSpyFilter* Spy() { return CSpyHost::Spy(m_spSpy); }
    IPin* In() { return Spy()->m_apIn; }
    IPin* Out() { return Spy()->m_apOut; }
    HRESULT Run() { return Control()->Run(); }
    HRESULT Stop() { return Control()->Stop(); }
    CComPtr<IMediaControl> Control()
    {
        CComPtr<IMediaControl> sp;
        m_spGraph.QueryInterface(&sp);
        return sp;
    }
    CMType PinType(IPin* pPin)
    {
        CMType mt;
        pPin->ConnectionMediaType(&mt);
        return mt;
    }
    // A sample of upstream's allocator with every property set, straight
    // into the spy's input.
    HRESULT ReceiveFull(int n, DWORD* pdwCrc)
    {
        CComPtr<IMediaSample> sp;
        HRESULT hr = m_spSource->Allocator()->GetBuffer(&sp, nullptr, nullptr, 0);
        if (FAILED(hr))
            return hr;
        BYTE* pb = nullptr;
        sp->GetPointer(&pb);
        const long cb = 1000 + n;
        CTestSource::FillPattern(pb, cb, n);
        *pdwCrc = Crc32(pb, cb);
        sp->SetActualDataLength(cb);
        REFERENCE_TIME tS = n * c_tDur, tE = tS + c_tDur;
        LONGLONG llS = n * 10, llE = llS + 10;
        sp->SetTime(&tS, &tE);
        sp->SetMediaTime(&llS, &llE);
        sp->SetSyncPoint(n % 2 == 0);
        sp->SetPreroll(n == 1);
        sp->SetDiscontinuity(n == 2);
        CComPtr<IMemInputPin> spIn;
        In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spIn));
        return spIn->Receive(sp);
    }
    std::wstring TempDir(LPCWSTR pszName)
    {
        WCHAR sz[MAX_PATH];
        GetTempPathW(MAX_PATH, sz);
        const std::wstring dir = std::wstring(sz) + pszName;
        CreateDirectoryW(dir.c_str(), nullptr);
        return dir + L"\\";
    }

    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<CTestSource> m_spSource;
    CComPtr<CTestSink> m_spSink;
    CComPtr<IBaseFilter> m_spSpy;
};
} // namespace

TEST_F(SpyPeers, CopyPathCarriesEveryPropertyAndAnUnconnectedOutputStillCounts)
{
    MakeSeparateAllocators();
    ASSERT_EQ(S_OK, Connect());
    EXPECT_TRUE(Spy()->m_bSeparateAllocators);
    ASSERT_EQ(S_OK, Run());
    DWORD adwCrc[4] = {};
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(S_OK, ReceiveFull(n, &adwCrc[n]));
    ASSERT_EQ(S_OK, Stop());
    const std::vector<SampleRecord> got = m_spSink->Samples();
    ASSERT_EQ(4u, got.size());
    for (int n = 0; n < 4; ++n)
    {
        SCOPED_TRACE(n);
        EXPECT_EQ(n * c_tDur, got[n].tStart);
        EXPECT_EQ(n * c_tDur + c_tDur, got[n].tStop);
        EXPECT_EQ(1000 + n, got[n].cbActual);
        EXPECT_EQ(adwCrc[n], got[n].dwCrc);
        EXPECT_EQ(n % 2 == 0, got[n].bSync);
        EXPECT_EQ(n == 1, got[n].bPreroll);
        EXPECT_EQ(n == 2, got[n].bDiscontinuity);
    }

    // Without a downstream pin the samples are counted, not delivered.
    m_spGraph->Disconnect(m_spSink->Pin());
    m_spGraph->Disconnect(Out());
    CSpyHost::Get()->NewLog();
    ASSERT_EQ(S_OK, Run());
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(S_OK, ReceiveFull(n, &adwCrc[0]));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(4u, m_spSink->SampleCount());
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("Through the filter has passed 3 samples"));
}

// Upstream splitter and downstream mixer as the overlay case has them: the
// mixer's first buffer asks for wider rows, and every picture is copied row
// by row into them.
TEST_F(SpyPeers, CopyPathWritesYuvPicturesIntoTheDownstreamStride)
{
    const CMType mtNarrow = Yuy2Type(48, 48, 16), mtWide = Yuy2Type(64, 48, 16);
    m_spSource->SetMediaTypes({mtNarrow});
    m_spSource->SetClassId(CLSID_AviSplitter);
    m_spSink->SetClassId(CLSID_OverlayMixer);
    MakeSeparateAllocators();
    CComPtr<CTestAllocator> spAlloc = CTestAllocator::Create();
    m_spSink->SetAllocator(spAlloc);
    ASSERT_EQ(S_OK, Connect());
    ASSERT_TRUE(Spy()->m_bSeparateAllocators);
    spAlloc->SetNextBufferType(mtWide);
    ASSERT_EQ(S_OK, Run());
    std::vector<DWORD> expected;
    for (unsigned n = 0; n < 3; ++n)
    {
        std::vector<BYTE> wide(64 * 2 * 16, 0);
        EXPECT_EQ(S_OK, m_spSource->DeliverOne(48 * 2 * 16, c_tDur, nullptr, [&](BYTE* pb, long cb) {
            CTestSource::FillPattern(pb, cb, n);
            for (int y = 0; y < 16; ++y)
                memcpy(&wide[y * 128], pb + y * 96, 96);
        }));
        expected.push_back(Crc32(wide.data(), wide.size()));
    }
    ASSERT_EQ(S_OK, Stop());
    EXPECT_TRUE(PinType(Out()) == mtWide);
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("we between AviSplitter and OverlayMixer, accepts changed YUV type"));
    const std::vector<SampleRecord> got = m_spSink->Samples();
    ASSERT_EQ(3u, got.size());
    for (size_t n = 0; n < got.size(); ++n)
    {
        SCOPED_TRACE(n);
        EXPECT_EQ(64 * 2 * 16, got[n].cbActual);
        EXPECT_EQ(expected[n], got[n].dwCrc);
        EXPECT_EQ(static_cast<REFERENCE_TIME>(n) * c_tDur, got[n].tStart);
    }
}

TEST_F(SpyPeers, MediaTypeChangesReachDownstreamOnlyWhenTheyCan)
{
    ASSERT_EQ(S_OK, Connect());
    ASSERT_FALSE(Spy()->m_bSeparateAllocators);
    ASSERT_EQ(S_OK, Run());
    // A type on a sample: taken when downstream accepts it, refused otherwise.
    const CMType mt48 = AudioType(48000), mt22 = AudioType(22050), mt11 = AudioType(11025);
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur, &mt48));
    EXPECT_TRUE(PinType(Out()) == mt48);
    EXPECT_TRUE(m_spSink->Samples().back().bMediaType);
    m_spSink->SetAcceptedTypes({CTestSource::DefaultAudioType(), mt48});
    EXPECT_TRUE(FAILED(m_spSource->DeliverOne(1000, c_tDur, &mt22)));
    EXPECT_TRUE(PinType(Out()) == mt48);
    // Upstream changes its connection type while running, one allocator.
    m_spSink->SetAcceptedTypes({});
    const LONG nReceiveConnection = m_spSink->ReceiveConnectionCount();
    EXPECT_EQ(S_OK, m_spSource->ReconnectWith(mt11));
    EXPECT_TRUE(PinType(In()) == mt11);
    EXPECT_TRUE(m_spSink->ConnectionType() == mt11);
    EXPECT_EQ(nReceiveConnection + 1, m_spSink->ReceiveConnectionCount());
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur));
    ASSERT_EQ(S_OK, Stop());

    // With two allocators the change cannot be carried downstream.
    m_spGraph->Disconnect(m_spSink->Pin());
    m_spGraph->Disconnect(Out());
    m_spGraph->Disconnect(m_spSource->Pin());
    m_spGraph->Disconnect(In());
    MakeSeparateAllocators();
    ASSERT_EQ(S_OK, Connect());
    ASSERT_TRUE(Spy()->m_bSeparateAllocators);
    const CMType mtBefore = PinType(Out());
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(E_FAIL, m_spSource->ReconnectWith(mt22));
    EXPECT_TRUE(PinType(Out()) == mtBefore);
    ASSERT_EQ(S_OK, Stop());

    // With the output unconnected the new input type is simply copied.
    m_spGraph->Disconnect(m_spSink->Pin());
    m_spGraph->Disconnect(Out());
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->ReconnectWith(mt48));
    EXPECT_TRUE(Spy()->m_apOut->CurrentType() == mt48);
}

// A change the downstream pin refuses, a type upstream changed in place and
// an upstream pin that cannot tell its type; then a change while stopped,
// which the output carries through the graph.
TEST_F(SpyPeers, TypeChangesRefusedUnknownOrWhileStopped)
{
    const CMType mt44 = AudioType(44100), mt22 = AudioType(22050), mt48 = AudioType(48000);
    m_spSource->SetMediaTypes({mt44, mt22});
    ASSERT_EQ(S_OK, Connect());
    ASSERT_EQ(S_OK, Run());
    m_spSink->SetReconnectResult(VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, m_spSource->ReconnectWith(mt22));
    EXPECT_TRUE(PinType(In()) == mt44);
    EXPECT_TRUE(PinType(Out()) == mt44);
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("Dynamic reconnection failed, ReceiveConnection()=0x8004022A"));
    m_spSink->SetReconnectResult(S_OK);
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur));

    m_spSource->ChangeConnectionType(mt48);
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur));
    EXPECT_TRUE(PinType(In()) == mt48);
    m_spSource->SetConnectionTypeResult(E_UNEXPECTED);
    EXPECT_EQ(S_OK, m_spSource->Deliver(3, 1000, c_tDur));
    EXPECT_TRUE(PinType(In()) == mt48);
    EXPECT_EQ(3u, CSpyHost::Get()->CountLines("upstream ConnectionMediaType()=0x8000FFFF"));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(5u, m_spSink->SampleCount());
    m_spSource->SetConnectionTypeResult(S_OK);

    // Stopped: the graph reconnects the output with the input's new type.
    CComPtr<IFilterGraph2> spGraph2;
    ASSERT_EQ(S_OK, m_spGraph.QueryInterface(&spGraph2));
    const LONG nReceiveConnection = m_spSink->ReceiveConnectionCount();
    EXPECT_EQ(S_OK, spGraph2->ReconnectEx(m_spSource->Pin(), &mt22));
    EXPECT_TRUE(PinType(In()) == mt22);
    EXPECT_TRUE(PinType(Out()) == mt22);
    EXPECT_TRUE(m_spSink->ConnectionType() == mt22);
    EXPECT_LT(nReceiveConnection, m_spSink->ReceiveConnectionCount());
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(6u, m_spSink->SampleCount());
}

TEST_F(SpyPeers, ForcedPassThroughSharesTheDownstreamAllocatorUntilLeft)
{
    CComPtr<CTestAllocator> spAlloc = CTestAllocator::Create();
    m_spSink->SetAllocator(spAlloc);
    ASSERT_EQ(S_OK, Connect());
    ASSERT_EQ(S_OK, Control()->Pause());
    EXPECT_EQ(VFW_E_WRONG_STATE, Spy()->ForcePassthruAllocator(TRUE));
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(VFW_E_WRONG_STATE, Spy()->ForcePassthruAllocator(TRUE));
    ASSERT_EQ(S_OK, Stop());
    LONG bForced = -1;
    EXPECT_EQ(S_OK, Spy()->IsPassthruAllocatorForced(&bForced));
    EXPECT_EQ(FALSE, bForced);

    EXPECT_EQ(S_OK, Spy()->ForcePassthruAllocator(7));
    EXPECT_EQ(S_OK, Spy()->IsPassthruAllocatorForced(&bForced));
    EXPECT_EQ(TRUE, bForced);
    EXPECT_TRUE(Spy()->IsPassThru());
    EXPECT_TRUE(m_spSource->Allocator().IsEqualObject(spAlloc));
    EXPECT_TRUE(m_spSink->NotifiedAllocator().IsEqualObject(spAlloc));
    EXPECT_FALSE(Spy()->m_bSeparateAllocators);
    EXPECT_TRUE(PinType(In()) == PinType(Out()));
    EXPECT_EQ(S_OK, Spy()->ForcePassthruAllocator(TRUE)); // unchanged
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->Deliver(5, 1000, c_tDur));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(5u, m_spSink->SampleCount());
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("PassThru_Disconnect(): start reconnection"));

    EXPECT_EQ(S_OK, Spy()->ForcePassthruAllocator(FALSE));
    EXPECT_FALSE(Spy()->IsPassThru());
    CComPtr<IPin> spPeer;
    EXPECT_EQ(S_OK, In()->ConnectedTo(&spPeer));
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->Deliver(3, 1000, c_tDur));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(8u, m_spSink->SampleCount());
}

TEST_F(SpyPeers, RegistryOptionsOnJoinAndTheDifferenceFile)
{
    const std::wstring sDiff = CSpyHost::TempName(L"dif");
    {
        CSpyOptionsKey key;
        key.SetDword(L"Check positioning", 1);
        key.SetText(L"Difference file", sDiff);
        AddSpy();
    }
    EXPECT_TRUE(Spy()->m_bCheckPositioning);
    ASSERT_EQ(S_OK, Connect());
    ASSERT_EQ(S_OK, Run());
    LARGE_INTEGER liFreq, liStart, liStop;
    QueryPerformanceFrequency(&liFreq);
    QueryPerformanceCounter(&liStart);
    EXPECT_EQ(S_OK, m_spSource->Deliver(5, 1000, c_tDur));
    QueryPerformanceCounter(&liStop);
    ASSERT_EQ(S_OK, Stop());
    std::vector<BYTE> file = ReadAll(sDiff);
    ASSERT_EQ(4u + 4 * 4, file.size());
    const DWORD* pdw = reinterpret_cast<DWORD*>(file.data());
    EXPECT_EQ(4u, pdw[0]);
    // Microseconds: together no longer than the delivery took (the nominal
    // processor rate may be off by some, a unit mistake by a thousandfold).
    const LONGLONG llElapsedUs = (liStop.QuadPart - liStart.QuadPart) * 1000000 / liFreq.QuadPart;
    EXPECT_LE(LONGLONG(pdw[1]) + pdw[2] + pdw[3] + pdw[4], 4 * llElapsedUs + 4);
    EXPECT_EQ(5u, CSpyHost::Get()->CountLines(" Dur="));
    // A run of one sample records no interval.
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->Deliver(1, 1000, c_tDur));
    ASSERT_EQ(S_OK, Stop());
    file = ReadAll(sDiff);
    ASSERT_EQ(4u, file.size());
    EXPECT_EQ(0u, *reinterpret_cast<DWORD*>(file.data()));
    DeleteFileW(sDiff.c_str());

    // Joining again with both values absent: the file is forgotten, the flag kept.
    m_spGraph->Disconnect(m_spSink->Pin());
    m_spGraph->Disconnect(Out());
    m_spGraph->Disconnect(m_spSource->Pin());
    m_spGraph->Disconnect(In());
    ASSERT_EQ(S_OK, m_spGraph->RemoveFilter(m_spSpy));
    {
        CSpyOptionsKey key;
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spSpy, L"Spy"));
    }
    EXPECT_TRUE(Spy()->m_bCheckPositioning);
    EXPECT_EQ(0, Spy()->m_szDifferenceFile[0]);

    // Wrong types are ignored; an overlong path empties the option.
    {
        CSpyOptionsKey key;
        key.SetText(L"Check positioning", L"1");
        key.SetText(L"Difference file", std::wstring(300, L'x'));
        AddSpy();
    }
    EXPECT_FALSE(Spy()->m_bCheckPositioning);
    EXPECT_EQ(0, Spy()->m_szDifferenceFile[0]);
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("\"Difference file\" is longer than"));

    // A path that cannot be written fails the pause with a trace line.
    {
        CSpyOptionsKey key;
        key.SetText(L"Difference file", L"Q:\\no\\such\\folder\\diff.bin");
        AddSpy();
    }
    ASSERT_EQ(S_OK, Connect());
    EXPECT_TRUE(FAILED(Spy()->Pause()));
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("difference file 'Q:\\no\\such\\folder\\diff.bin' cannot be opened"));
    Spy()->Stop();
}

TEST_F(SpyPeers, TimecodesAndBadInputAreTracedAndStreamingGoesOn)
{
    CMType mtTimecode(MEDIATYPE_Timecode, GUID_NULL);
    m_spSource->SetMediaTypes({mtTimecode});
    ASSERT_EQ(S_OK, ConnectIn());
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->Deliver(2, 24, c_tDur));
    EXPECT_EQ(S_OK, m_spSource->Deliver(25, 10, c_tDur));
    // A buffer shorter than the timecode it claims is one more bad sample.
    COddSample odd;
    odd.m_buffer.resize(8);
    odd.m_cbActual = 24;
    CComPtr<IMemInputPin> spIn;
    In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spIn));
    EXPECT_EQ(S_OK, spIn->Receive(&odd));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(2u, CSpyHost::Get()->CountLines("TIMECODE_SAMPLE:"));
    // Counts 1 to 9, 10 and 20 of 26.
    EXPECT_EQ(11u, CSpyHost::Get()->CountLines("Filter_SendSample(): Invalid timecode sample"));
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("Filter_SendSample(): sample claims 24 bytes in a buffer of 8"));
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("Through the filter has passed 28 samples"));

    // PCM without a block alignment; downstream answering S_FALSE and failing.
    m_spGraph->Disconnect(m_spSource->Pin());
    m_spGraph->Disconnect(In());
    m_spSource->SetMediaTypes({AudioType(8000, 0)});
    m_spSink->SetReceiveResult(1, S_FALSE);
    m_spSink->SetReceiveResult(2, E_UNEXPECTED);
    ASSERT_EQ(S_OK, Connect());
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur));
    EXPECT_EQ(S_FALSE, m_spSource->DeliverOne(1000, c_tDur));
    EXPECT_EQ(E_UNEXPECTED, m_spSource->DeliverOne(1000, c_tDur));
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(4u, CSpyHost::Get()->CountLines("nBlockAlign 0, frames not counted"));
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("m_spMemInput->Receive()=0x8000FFFF"));
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("Through the filter has passed 4 samples"));

    // A format block shorter than its type claims.
    m_spGraph->Disconnect(m_spSource->Pin());
    m_spGraph->Disconnect(In());
    CMType mtShort = AudioType(8000);
    mtShort.cbFormat = 8;
    m_spSource->SetMediaTypes({mtShort});
    ASSERT_EQ(S_OK, ConnectIn());
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->DeliverOne(1000, c_tDur));
    ASSERT_EQ(S_OK, Stop());
    EXPECT_EQ(1u, CSpyHost::Get()->CountLines("wave format of 8 bytes, frames not counted"));
}

TEST_F(SpyPeers, CaptureStartedWhileStreamingWritesTheSamples)
{
    const std::wstring dir = TempDir(L"spy_capture");
    for (int i = 0; i < 8; ++i)
        DeleteFileW((dir + L"x_000" + std::to_wstring(i) + L".bin").c_str());
    ASSERT_EQ(S_OK, Connect());
    CComBSTR bstr((dir + L"x.bin").c_str());
    ASSERT_EQ(S_OK, Spy()->SetCaptureProps(bstr, TRUE, 3));
    ASSERT_EQ(S_OK, Run());
    EXPECT_EQ(S_OK, m_spSource->Deliver(2, 1000, c_tDur));
    EXPECT_EQ(S_OK, Spy()->StartCapture());
    EXPECT_EQ(E_FAIL, Spy()->StartCapture());
    EXPECT_EQ(S_OK, m_spSource->Deliver(4, 1000, c_tDur));
    for (int i = 0; i < 200 && Spy()->m_capture.IsCapturing(); ++i)
        Sleep(10);
    ASSERT_EQ(S_OK, Stop());
    const std::vector<SampleRecord> got = m_spSink->Samples();
    ASSERT_EQ(6u, got.size());
    for (int i = 2; i < 5; ++i)
    {
        const std::vector<BYTE> data = ReadAll(dir + L"x_000" + std::to_wstring(i) + L".bin");
        ASSERT_EQ(1000u, data.size()) << i;
        EXPECT_EQ(got[i].dwCrc, Crc32(data.data(), data.size())) << i;
    }
    EXPECT_FALSE(Exists(dir + L"x_0005.bin"));
}

TEST_F(SpyPeers, JoiningAGraphWithAConnectedPinFails)
{
    CComPtr<IBaseFilter> spLone = CSpyHost::Get()->Create();
    CComPtr<CTestSource> spSource = CTestSource::Create();
    IPin* pIn = CSpyHost::Spy(spLone)->m_apIn;
    ASSERT_EQ(S_OK, spSource->Pin()->Connect(pIn, nullptr));
    EXPECT_EQ(E_FAIL, spLone->JoinFilterGraph(m_spGraph, L"Late"));
    FILTER_INFO fi = {};
    EXPECT_EQ(S_OK, spLone->QueryFilterInfo(&fi));
    EXPECT_EQ(nullptr, fi.pGraph);
    spSource->Pin()->Disconnect();
    pIn->Disconnect();
}

// Streaming against state changes, statistics readers, checksum toggles and
// capture starts: no deadlock, nothing delivered after Stop returned.
TEST_F(SpyPeers, ControlCallsRaceTheStreamingThread)
{
    const std::wstring dir = TempDir(L"spy_race");
    ASSERT_EQ(S_OK, Connect());
    CComBSTR bstr((dir + L"race.dat").c_str());
    ASSERT_EQ(S_OK, Spy()->SetCaptureProps(bstr, FALSE, 50));
    ASSERT_EQ(S_OK, m_spSource->StartThread(1000, c_tDur));
    std::atomic<bool> bDone(false);
    std::thread reader([&] {
        for (int i = 0; !bDone; ++i)
        {
            UINT nTotal = 0, nMoving = 0;
            double d = 0;
            Spy()->GetBitrates(&nTotal, &nMoving);
            Spy()->GetSamplesPerSec(&d);
            Spy()->SetCheckSum(i % 2);
        }
    });
    std::thread capturer([&] {
        for (int i = 0; !bDone; ++i)
        {
            Spy()->StartCapture();
            Sleep(1);
            Spy()->m_capture.StopCapture();
        }
    });
    // Neighbours keep running; the spy alone changes state.
    ASSERT_EQ(S_OK, Run());
    for (int i = 0; i < 200; ++i)
    {
        EXPECT_EQ(S_OK, m_spSpy->Run(0));
        Sleep(i % 3);
        EXPECT_EQ(S_OK, m_spSpy->Pause());
        EXPECT_EQ(S_OK, m_spSpy->Stop());
        const size_t n = m_spSink->SampleCount();
        Sleep(1);
        EXPECT_EQ(n, m_spSink->SampleCount());
    }
    bDone = true;
    reader.join();
    capturer.join();
    m_spSource->StopThread();
    Spy()->m_capture.StopCapture();
    EXPECT_LT(0, m_spSource->ThreadSent());
    EXPECT_LT(0u, m_spSink->SampleCount());
}

namespace
{
// A downstream pin that refuses every allocator for one subtype, or
// that offers no transport at all.
class CPickyPin : public CCountingPin
{
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (m_bNoTransport && riid == IID_IMemInputPin)
            return *ppv = nullptr, E_NOINTERFACE;
        return CCountingPin::QueryInterface(riid, ppv);
    }
    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override
    {
        m_subtype = pmt->subtype;
        return CCountingPin::ReceiveConnection(pConnector, pmt);
    }
    STDMETHOD(NotifyAllocator)(IMemAllocator* pAlloc, BOOL bReadOnly) override
    {
        return m_subtype == m_refused ? E_FAIL : CCountingPin::NotifyAllocator(pAlloc, bReadOnly);
    }

    bool m_bNoTransport = false;
    GUID m_subtype = GUID_NULL, m_refused = GUID_NULL;
};
} // namespace

TEST_F(SpyPeers, AgreementFallsBackToAnotherUpstreamTypeOrFindsNoTransport)
{
    CComPtr<IBaseFilter> spLone = CSpyHost::Get()->Create();
    CSpyFilter* pSpy = CSpyHost::Spy(spLone);
    CComPtr<CTestSource> spSource = CTestSource::Create();
    const CMType mtA(MEDIATYPE_Video, MEDIASUBTYPE_RGB24), mtB(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
    spSource->SetMediaTypes({mtA, mtB});
    ASSERT_EQ(S_OK, spSource->Pin()->Connect(pSpy->m_apIn, nullptr));
    CPickyPin down;
    down.m_eDir = PINDIR_INPUT;
    down.m_refused = MEDIASUBTYPE_RGB24;
    IPin* pOut = pSpy->m_apOut;
    ASSERT_EQ(S_OK, pOut->Connect(&down, nullptr));
    EXPECT_EQ(MEDIASUBTYPE_RGB32, pSpy->m_apOut->CurrentType().subtype);
    EXPECT_TRUE(pSpy->m_apOut->IsRefusedSubtype(MEDIASUBTYPE_RGB24));
    EXPECT_FALSE(pSpy->Filter_QueryAcceptMT(PINDIR_OUTPUT, &mtA));
    EXPECT_TRUE(pSpy->Filter_QueryAcceptMT(PINDIR_OUTPUT, &mtB));
    pOut->Disconnect();

    CPickyPin bare;
    bare.m_eDir = PINDIR_INPUT;
    bare.m_bNoTransport = true;
    EXPECT_EQ(VFW_E_NO_TRANSPORT, pOut->Connect(&bare, &mtB));
    CComPtr<IPin> spPeer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pOut->ConnectedTo(&spPeer));
    spSource->Pin()->Disconnect();
    static_cast<IPin*>(pSpy->m_apIn)->Disconnect();
}
