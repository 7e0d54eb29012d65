// Real media through real Wine graphs with and without the test filter:
// what reaches the sink must be the same, sample for sample.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/AviFile.h"
#include "support/ComTest.h"
#include "support/GraphRun.h"
#include "support/TestInPlaceFilter.h"
#include "support/TestPeers.h"
#include "support/TraceCapture.h"
#include "support/WaveFile.h"

namespace
{
enum class EHow
{
    Direct,      // ConnectDirect on both sides of the filter
    GraphConnect, // the graph manager's Connect
    Render,      // Render of the splitter's output with the filter and sink in the graph
};

class RealMedia : public CComTest
{
protected:
    void TearDown() override
    {
        if (!m_sFile.empty())
            DeleteFileW(m_sFile.c_str());
    }

    // The samples the sink saw of the whole file, the test filter between
    // splitter and sink when bFilter.
    std::vector<SampleRecord> Play(REFCLSID clsidSplitter, bool bFilter, EHow eHow)
    {
        CComPtr<IGraphBuilder> spGraph = CreateGraph();
        CComPtr<IBaseFilter> spSource = AddFileSource(spGraph, m_sFile.c_str());
        CComPtr<IBaseFilter> spSplitter = AddFilterByClsid(spGraph, clsidSplitter, L"Splitter");
        CComPtr<CTestSink> spSink = CTestSink::Create();
        CComPtr<IBaseFilter> spFilter;
        CComObject<CTestInPlaceFilter>* pFilter = nullptr;
        EXPECT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pFilter));
        spFilter = static_cast<IBaseFilter*>(pFilter);
        EXPECT_EQ(S_OK, spGraph->AddFilter(spSink, L"Sink"));
        EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSource, spSplitter, false));
        if (bFilter)
        {
            EXPECT_EQ(S_OK, spGraph->AddFilter(spFilter, L"Test"));
            if (eHow == EHow::Render)
            {
                EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSplitter, spFilter, false));
                EXPECT_TRUE(SUCCEEDED(spGraph->Render(FindPin(spFilter, PINDIR_OUTPUT))));
            }
            else
            {
                const bool bDirect = eHow == EHow::Direct;
                EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSplitter, spFilter, bDirect));
                EXPECT_EQ(S_OK, ConnectFilters(spGraph, spFilter, spSink, bDirect));
            }
        }
        else
        {
            EXPECT_EQ(S_OK, ConnectFilters(spGraph, spSplitter, spSink, true));
        }
        long lEvent = 0;
        EXPECT_EQ(S_OK, RunToCompletion(spGraph, 20000, &lEvent));
        EXPECT_EQ(EC_COMPLETE, lEvent);
        if (bFilter)
        {
            EXPECT_EQ(static_cast<LONG>(spSink->SampleCount()), pFilter->m_nSamples);
        }
        std::vector<SampleRecord> samples = spSink->Samples();
        spSplitter.Release();
        spSource.Release();
        TearDownGraph(spGraph);
        return samples;
    }

    void ExpectSameSamples(const std::vector<SampleRecord>& expected, const std::vector<SampleRecord>& actual)
    {
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(expected.size(), actual.size());
        for (size_t i = 0; i < expected.size(); ++i)
        {
            EXPECT_EQ(expected[i].cbActual, actual[i].cbActual) << i;
            EXPECT_EQ(expected[i].dwCrc, actual[i].dwCrc) << i;
            EXPECT_EQ(expected[i].hrTime, actual[i].hrTime) << i;
            EXPECT_EQ(expected[i].tStart, actual[i].tStart) << i;
            EXPECT_EQ(expected[i].tStop, actual[i].tStop) << i;
            EXPECT_EQ(expected[i].bSync, actual[i].bSync) << i;
        }
    }

    std::wstring m_sFile;
};
} // namespace

TEST_F(RealMedia, WaveThroughTheFilterEqualsTheDirectGraph)
{
    m_sFile = WriteTestWaveFile(22050, 2, 16, 88200);
    const std::vector<SampleRecord> direct = Play(CLSID_WaveParserFilter, false, EHow::Direct);
    ExpectSameSamples(direct, Play(CLSID_WaveParserFilter, true, EHow::Direct));
    ExpectSameSamples(direct, Play(CLSID_WaveParserFilter, true, EHow::GraphConnect));
}

TEST_F(RealMedia, UncompressedAviThroughTheFilterEqualsTheDirectGraph)
{
    m_sFile = WriteTestAviFile(32, 20, 32, 12, 25);
    const std::vector<SampleRecord> direct = Play(CLSID_AviSplitter, false, EHow::Direct);
    EXPECT_EQ(12u, direct.size());
    ExpectSameSamples(direct, Play(CLSID_AviSplitter, true, EHow::Direct));
    ExpectSameSamples(direct, Play(CLSID_AviSplitter, true, EHow::GraphConnect));
}

TEST_F(RealMedia, RenderFromTheFilterFindsTheSinkInTheGraph)
{
    m_sFile = WriteTestWaveFile(8000, 1, 8, 8000);
    const std::vector<SampleRecord> direct = Play(CLSID_WaveParserFilter, false, EHow::Direct);
    ExpectSameSamples(direct, Play(CLSID_WaveParserFilter, true, EHow::Render));
}

// Seeking the graph reaches the source through the filter's output pin.
TEST_F(RealMedia, GraphSeekingReachesTheUpstreamFilter)
{
    CComPtr<IGraphBuilder> spGraph = CreateGraph();
    CComPtr<CTestSource> spSource = CTestSource::Create();
    CComObject<CTestInPlaceFilter>* pFilter = nullptr;
    ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&pFilter));
    CComPtr<IBaseFilter> spFilter(static_cast<IBaseFilter*>(pFilter));
    ASSERT_EQ(S_OK, spGraph->AddFilter(spSource, L"Source"));
    ASSERT_EQ(S_OK, spGraph->AddFilter(spFilter, L"Test"));
    CComPtr<IBaseFilter> spRenderer = AddFilterByClsid(spGraph, CLSID_NullRendererFilter, L"Null");
    ASSERT_EQ(S_OK, ConnectFilters(spGraph, spSource, spFilter));
    ASSERT_EQ(S_OK, ConnectFilters(spGraph, spFilter, spRenderer));

    CComPtr<IMediaSeeking> spSeeking;
    ASSERT_EQ(S_OK, spGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking)));
    CTraceCapture trace;
    LONGLONG llDuration = 0;
    EXPECT_EQ(S_OK, spSeeking->GetDuration(&llDuration));
    EXPECT_EQ(100000000, llDuration);
    LONGLONG llCurrent = 30000000;
    EXPECT_EQ(S_OK, spSeeking->SetPositions(&llCurrent, AM_SEEKING_AbsolutePositioning, nullptr,
                                           AM_SEEKING_NoPositioning));
    EXPECT_GE(spSource->SetPositionsCount(), 1);
    EXPECT_EQ(30000000, spSource->LastSetCurrent());
    const std::wstring s = trace.Text();
    EXPECT_TRUE(TextHas(s, L"IMediaSeeking::GetDuration(): duration="));
    EXPECT_TRUE(TextHas(s, L"Redirection: IMediaSeeking::SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags)=0x0"));
    spSeeking.Release();
    spRenderer.Release();
    TearDownGraph(spGraph);
}
