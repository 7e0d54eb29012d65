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
    std::string sTag; // the spy's object tag
};

GUID FirstMajorType(IPin* pPin)
{
    GUID major = GUID_NULL;
    CComPtr<IEnumMediaTypes> spEnum;
    AM_MEDIA_TYPE* pmt = nullptr;
    if (SUCCEEDED(pPin->EnumMediaTypes(&spEnum)) && spEnum->Next(1, &pmt, nullptr) == S_OK)
        major = pmt->majortype;
    MTDelete(pmt);
    return major;
}

class SpyGraph : public CComTest
{
protected:
    void SetUp() override { CSpyHost::Get()->NewLog(); }
    void TearDown() override
    {
        if (!m_sFile.empty())
            DeleteFileW(m_sFile.c_str());
    }

    // The whole file through the splitter into one sink per stream, with a
    // spy before each sink when bSpy. A sink takes accepted, or else only its
    // stream's major type, so that Render finds the right one.
    std::vector<PlayResult> PlayStreams(REFCLSID clsidSplitter, bool bSpy, EHow eHow,
                                        const std::vector<CMType>& accepted = {}, bool bCheckSum = false)
    {
        CComPtr<IGraphBuilder> spGraph = CreateGraph();
        CComPtr<IBaseFilter> spSource = AddFileSource(spGraph, m_sFile.c_str());
        CComPtr<IBaseFilter> spSplitter = AddFilterByClsid(spGraph, clsidSplitter, L"Splitter");
        EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSource, spSplitter, false));
        std::vector<PlayResult> results;
        std::vector<CComPtr<CTestSink>> sinks;
        std::vector<CComPtr<IBaseFilter>> spies;
        for (int i = 0;; ++i)
        {
            CComPtr<IPin> spStream = FindPin(spSplitter, PINDIR_OUTPUT, i);
            if (!spStream)
                break;
            CComPtr<CTestSink> spSink = CTestSink::Create();
            spSink->SetAcceptedTypes(accepted.empty() ? std::vector<CMType>{CMType(FirstMajorType(spStream), GUID_NULL)}
                                                      : accepted);
            EXPECT_EQ(S_OK, spGraph->AddFilter(spSink, (L"Sink " + std::to_wstring(i)).c_str()));
            sinks.push_back(spSink);
            results.emplace_back();
            if (!bSpy)
            {
                EXPECT_EQ(S_OK, spGraph->ConnectDirect(spStream, spSink->Pin(), nullptr));
                continue;
            }
            CComPtr<IBaseFilter> spSpy = CSpyHost::Get()->Create();
            CSpyHost::Spy(spSpy)->SetCheckSum(bCheckSum);
            EXPECT_EQ(S_OK, spGraph->AddFilter(spSpy, (L"Spy " + std::to_wstring(i)).c_str()));
            spies.push_back(spSpy);
            CComPtr<IPin> spIn = FindPin(spSpy, PINDIR_INPUT), spOut = FindPin(spSpy, PINDIR_OUTPUT);
            const bool bDirect = eHow == EHow::Direct;
            EXPECT_EQ(S_OK, bDirect ? spGraph->ConnectDirect(spStream, spIn, nullptr) : spGraph->Connect(spStream, spIn));
            if (eHow == EHow::Render)
                EXPECT_TRUE(SUCCEEDED(spGraph->Render(spOut)));
            else
                EXPECT_EQ(S_OK, bDirect ? spGraph->ConnectDirect(spOut, spSink->Pin(), nullptr)
                                        : spGraph->Connect(spOut, spSink->Pin()));
            spIn->ConnectionMediaType(&results.back().mtIn);
            spOut->ConnectionMediaType(&results.back().mtOut);
            char szTag[64];
            WideCharToMultiByte(CP_ACP, 0, CSpyHost::Spy(spSpy)->GetTraceName(), -1, szTag, sizeof(szTag), nullptr, nullptr);
            results.back().sTag = szTag;
        }
        long lEvent = 0;
        EXPECT_EQ(S_OK, RunToCompletion(spGraph, 20000, &lEvent));
        EXPECT_EQ(EC_COMPLETE, lEvent);
        for (size_t i = 0; i < results.size(); ++i)
        {
            results[i].samples = sinks[i]->Samples();
            if (bSpy)
                CSpyHost::Spy(spies[i])->GetBitrates(&results[i].nTotalAvg, &results[i].nMovingAvg);
        }
        spSplitter.Release();
        spSource.Release();
        TearDownGraph(spGraph);
        return results;
    }
    PlayResult Play(REFCLSID clsidSplitter, bool bSpy, EHow eHow, const std::vector<CMType>& accepted = {},
                    bool bCheckSum = false)
    {
        std::vector<PlayResult> r = PlayStreams(clsidSplitter, bSpy, eHow, accepted, bCheckSum);
        EXPECT_EQ(1u, r.size());
        return r.empty() ? PlayResult() : r[0];
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
    static void ExpectSampleLines(const PlayResult& r, bool bCrc)
    {
        std::vector<std::string> lines;
        size_t nLate = 0;
        for (const std::string& line : CSpyHost::Get()->Lines())
        {
            if (line.rfind(r.sTag + " ", 0) != 0)
                continue;
            nLate += line.find("Late=") != std::string::npos;
            if (line.find(" flags={") != std::string::npos)
                lines.push_back(line);
        }
        ASSERT_EQ(r.samples.size(), lines.size());
        for (size_t i = 0; i < r.samples.size() && bCrc; ++i)
        {
            char szCrc[32];
            sprintf(szCrc, "CRC=%08lX", static_cast<unsigned long>(r.samples[i].dwCrc));
            EXPECT_NE(std::string::npos, lines[i].find(szCrc)) << lines[i];
        }
        EXPECT_EQ(r.samples.size(), nLate);
        EXPECT_NE(std::string::npos, CSpyHost::Get()->RawText().find("---- block of"));
        const std::string sStop =
            r.sTag + " Stop(): Through the filter has passed " + std::to_string(r.samples.size()) + " samples";
        EXPECT_EQ(1u, CSpyHost::Get()->CountLines(sStop));
    }

    // What the times and sizes imply for the total average: every sample but
    // the last, over the time from the first start to the last.
    static UINT ImpliedTotalBitrate(const std::vector<SampleRecord>& samples)
    {
        if (samples.size() < 2)
            return 0;
        LONGLONG cb = 0;
        for (size_t i = 0; i + 1 < samples.size(); ++i)
            cb += samples[i].cbActual;
        return static_cast<UINT>(cb * 80000000 / (samples.back().tStart - samples.front().tStart));
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
        ExpectSampleLines(spy, eHow == EHow::Direct);
        // 88200 bytes, one second of stream: 705,600 bits per second.
        EXPECT_EQ(705600u, spy.nTotalAvg);
        EXPECT_NEAR(705600.0, spy.nMovingAvg, 705600.0 * 0.02);
    }
    EXPECT_LE(1u, CSpyHost::Get()->CountLines("EndOfStream()"));

    // Video and PCM audio of one AVI file, a spy on each stream.
    DeleteFileW(m_sFile.c_str());
    CPcmDesc pcm;
    m_sFile = WriteTestAviFile(32, 20, 32, 12, 25, &pcm);
    const std::vector<PlayResult> aviDirect = PlayStreams(CLSID_AviSplitter, false, EHow::Direct);
    ASSERT_EQ(2u, aviDirect.size());
    EXPECT_EQ(12u, aviDirect[0].samples.size());
    for (EHow eHow : {EHow::Direct, EHow::GraphConnect, EHow::Render})
    {
        SCOPED_TRACE(static_cast<int>(eHow));
        CSpyHost::Get()->NewLog();
        const std::vector<PlayResult> spy = PlayStreams(CLSID_AviSplitter, true, eHow, {}, true);
        ASSERT_EQ(2u, spy.size());
        for (size_t i = 0; i < spy.size(); ++i)
        {
            SCOPED_TRACE(spy[i].sTag);
            ExpectSameSamples(aviDirect[i].samples, spy[i].samples);
            EXPECT_TRUE(spy[i].mtIn == spy[i].mtOut);
            ExpectSampleLines(spy[i], true);
            const UINT nImplied = ImpliedTotalBitrate(spy[i].samples);
            EXPECT_EQ(nImplied, spy[i].nTotalAvg);
            EXPECT_NEAR(nImplied, spy[i].nMovingAvg, nImplied * 0.02);
        }
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
