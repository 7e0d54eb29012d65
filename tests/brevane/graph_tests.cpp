// The spy in real Wine graphs, created from its DLL: what reaches the sink
// equals the graph without the spy, sample for sample, whichever way the
// graph was connected, and the trace tells the story of the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SpyHost.h"
#include "support/AviFile.h"
#include "support/ComTest.h"
#include "support/GraphRun.h"
#include "support/TestPeers.h"
#include "support/WaveFile.h"

namespace
{
testing::Environment* const s_pEnv = testing::AddGlobalTestEnvironment(new CSpyHost);

enum class EHow
{
    Direct,
    GraphConnect,
    Render,
};

struct PlayResult
{
    std::vector<SampleRecord> samples;
    CMType mtIn, mtOut;
    UINT nTotalAvg = 0, nMovingAvg = 0;
};

class SpyGraph : public CComTest
{
protected:
    void SetUp() override { CSpyHost::Get()->NewLog(); }
    void TearDown() override
    {
        if (!m_sFile.empty())
            DeleteFileW(m_sFile.c_str());
    }

    // The whole file through splitter (and spy) into a sink taking accepted.
    PlayResult Play(REFCLSID clsidSplitter, bool bSpy, EHow eHow, const std::vector<CMType>& accepted = {},
                    bool bCheckSum = false)
    {
        PlayResult r;
        CComPtr<IGraphBuilder> spGraph = CreateGraph();
        CComPtr<IBaseFilter> spSource = AddFileSource(spGraph, m_sFile.c_str());
        CComPtr<IBaseFilter> spSplitter = AddFilterByClsid(spGraph, clsidSplitter, L"Splitter");
        CComPtr<CTestSink> spSink = CTestSink::Create();
        spSink->SetAcceptedTypes(accepted);
        EXPECT_EQ(S_OK, spGraph->AddFilter(spSink, L"Sink"));
        EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSource, spSplitter, false));
        CComPtr<IBaseFilter> spSpy;
        if (bSpy)
        {
            spSpy = CSpyHost::Get()->Create();
            CSpyHost::Spy(spSpy)->SetCheckSum(bCheckSum);
            EXPECT_EQ(S_OK, spGraph->AddFilter(spSpy, L"Spy"));
            EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSplitter, spSpy, eHow == EHow::Direct));
            if (eHow == EHow::Render)
                EXPECT_TRUE(SUCCEEDED(spGraph->Render(FindPin(spSpy, PINDIR_OUTPUT))));
            else
                EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSpy, spSink, eHow == EHow::Direct));
            FindPin(spSpy, PINDIR_INPUT)->ConnectionMediaType(&r.mtIn);
            FindPin(spSpy, PINDIR_OUTPUT)->ConnectionMediaType(&r.mtOut);
        }
        else
        {
            EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSplitter, spSink, true));
        }
        long lEvent = 0;
        EXPECT_EQ(S_OK, RunToCompletion(spGraph, 20000, &lEvent));
        EXPECT_EQ(EC_COMPLETE, lEvent);
        if (bSpy)
            CSpyHost::Spy(spSpy)->GetBitrates(&r.nTotalAvg, &r.nMovingAvg);
        r.samples = spSink->Samples();
        spSplitter.Release();
        spSource.Release();
        TearDownGraph(spGraph);
        return r;
    }

    // The splitter Wine's graph picks by merit for the file.
    CLSID ChosenSplitter(const CMType& mtSink)
    {
        CComPtr<IGraphBuilder> spGraph = CreateGraph();
        CComPtr<IBaseFilter> spSource = AddFileSource(spGraph, m_sFile.c_str());
        CComPtr<CTestSink> spSink = CTestSink::Create();
        spSink->SetAcceptedTypes({mtSink});
        spGraph->AddFilter(spSink, L"Sink");
        EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSource, spSink, false));
        CLSID clsid = GUID_NULL;
        CComPtr<IEnumFilters> spEnum;
        spGraph->EnumFilters(&spEnum);
        for (CComPtr<IBaseFilter> sp; spEnum->Next(1, &sp, nullptr) == S_OK; sp.Release())
            if (!sp.IsEqualObject(spSource) && !sp.IsEqualObject(static_cast<IBaseFilter*>(spSink)))
                sp->GetClassID(&clsid);
        spEnum.Release();
        spSource.Release();
        TearDownGraph(spGraph);
        return clsid;
    }

    static void ExpectSameSamples(const std::vector<SampleRecord>& expected, const std::vector<SampleRecord>& actual)
    {
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(expected.size(), actual.size());
        for (size_t i = 0; i < expected.size(); ++i)
        {
            SCOPED_TRACE(i);
            EXPECT_EQ(expected[i].cbActual, actual[i].cbActual);
            EXPECT_EQ(expected[i].dwCrc, actual[i].dwCrc);
            EXPECT_EQ(expected[i].hrTime, actual[i].hrTime);
            EXPECT_EQ(expected[i].tStart, actual[i].tStart);
            EXPECT_EQ(expected[i].tStop, actual[i].tStop);
            EXPECT_EQ(expected[i].bSync, actual[i].bSync);
            EXPECT_EQ(expected[i].bDiscontinuity, actual[i].bDiscontinuity);
            EXPECT_EQ(expected[i].bPreroll, actual[i].bPreroll);
        }
    }

    // One sample line and one lateness line per sample, with the CRC of its
    // bytes when asked for, the graph dump on pause and the Stop line.
    static void ExpectSampleLines(const std::vector<SampleRecord>& samples, bool bCrc)
    {
        std::vector<std::string> lines;
        for (const std::string& line : CSpyHost::Get()->Lines())
            if (line.rfind("[Spy ", 0) == 0 && line.find(" flags={") != std::string::npos)
                lines.push_back(line);
        ASSERT_EQ(samples.size(), lines.size());
        for (size_t i = 0; i < samples.size() && bCrc; ++i)
        {
            char szCrc[32];
            sprintf(szCrc, "CRC=%08lX", static_cast<unsigned long>(samples[i].dwCrc));
            EXPECT_NE(std::string::npos, lines[i].find(szCrc)) << lines[i];
        }
        EXPECT_EQ(samples.size(), CSpyHost::Get()->CountLines("Late="));
        EXPECT_NE(std::string::npos, CSpyHost::Get()->RawText().find("---- block of"));
        const std::string sStop = "Stop(): Through the filter has passed " + std::to_string(samples.size()) + " samples";
        EXPECT_EQ(1u, CSpyHost::Get()->CountLines(sStop));
    }

    std::wstring m_sFile;
};
} // namespace

TEST_F(SpyGraph, WaveAndAviThroughTheSpyEqualTheGraphsWithoutIt)
{
    m_sFile = WriteTestWaveFile(22050, 2, 16, 88200);
    const PlayResult direct = Play(CLSID_WaveParserFilter, false, EHow::Direct);
    for (EHow eHow : {EHow::Direct, EHow::GraphConnect, EHow::Render})
    {
        SCOPED_TRACE(static_cast<int>(eHow));
        CSpyHost::Get()->NewLog();
        const PlayResult spy = Play(CLSID_WaveParserFilter, true, eHow, {}, eHow == EHow::Direct);
        ExpectSameSamples(direct.samples, spy.samples);
        EXPECT_TRUE(spy.mtIn == spy.mtOut);
        ExpectSampleLines(spy.samples, eHow == EHow::Direct);
        // 88200 bytes, one second of stream: 705,600 bits per second.
        EXPECT_EQ(705600u, spy.nTotalAvg);
        EXPECT_NEAR(705600.0, spy.nMovingAvg, 705600.0 * 0.02);
    }
    EXPECT_LE(1u, CSpyHost::Get()->CountLines("EndOfStream()"));

    DeleteFileW(m_sFile.c_str());
    m_sFile = WriteTestAviFile(32, 20, 32, 12, 25);
    const PlayResult aviDirect = Play(CLSID_AviSplitter, false, EHow::Direct);
    EXPECT_EQ(12u, aviDirect.samples.size());
    for (EHow eHow : {EHow::Direct, EHow::GraphConnect})
    {
        CSpyHost::Get()->NewLog();
        ExpectSameSamples(aviDirect.samples, Play(CLSID_AviSplitter, true, eHow, {}, true).samples);
    }
}

// A decoding splitter offers several types for one stream; a sink that takes
// only a later one must not get the first type's bytes under its label.
TEST_F(SpyGraph, DecodingSplitterEndsBothPinsOnTheDownstreamType)
{
    struct Case
    {
        bool bAvi;
        CMType mtSink;
    };
    const Case cases[] = {{true, CMType(MEDIATYPE_Video, MEDIASUBTYPE_RGB32)},
                          {false, CMType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.bAvi ? "avi" : "wav");
        if (!m_sFile.empty())
            DeleteFileW(m_sFile.c_str());
        m_sFile = c.bAvi ? WriteTestAviFile(40, 30, 24, 8, 25) : WriteTestWaveFile(8000, 1, 16, 16000);
        const CLSID clsid = ChosenSplitter(c.mtSink);
        ASSERT_NE(GUID_NULL, clsid);
        const PlayResult direct = Play(clsid, false, EHow::Direct, {c.mtSink});
        for (EHow eHow : {EHow::Direct, EHow::GraphConnect, EHow::Render})
        {
            SCOPED_TRACE(static_cast<int>(eHow));
            const PlayResult spy = Play(clsid, true, eHow, {c.mtSink});
            EXPECT_EQ(c.mtSink.subtype, spy.mtIn.subtype);
            EXPECT_TRUE(spy.mtIn == spy.mtOut);
            ExpectSameSamples(direct.samples, spy.samples);
        }
    }
}
