// The test peers inside the platform's filter graph, beside its own
// filters: what a real parser sends is what the sink records, and the
// graph runs to completion on the peers' end-of-stream.
#include <windows.h>
#include <dshow.h>

#include <dshowx/DSTraceSample.h>

#include <gtest/gtest.h>

#include "support/AviFile.h"
#include "support/ComTest.h"
#include "support/GraphRun.h"
#include "support/TestPeers.h"
#include "support/WaveFile.h"

namespace
{
class GraphTest : public CComTest
{
protected:
    void SetUp() override
    {
        m_spGraph = CreateGraph();
        ASSERT_TRUE(m_spGraph);
    }
    void TearDown() override
    {
        TearDownGraph(m_spGraph);
        if (!m_path.empty())
            DeleteFileW(m_path.c_str());
        // The graph let go of our peers.
        EXPECT_EQ(0, CComModuleLock::Count());
    }

    // Source, parser and our sink, connected.
    CComPtr<CTestSink> ParseInto(REFCLSID clsidParser)
    {
        CComPtr<IBaseFilter> spFile = AddFileSource(m_spGraph, m_path.c_str());
        CComPtr<IBaseFilter> spParser = AddFilterByClsid(m_spGraph, clsidParser, L"Parser");
        CComPtr<CTestSink> spSink = CTestSink::Create();
        EXPECT_TRUE(spFile && spParser && spSink);
        if (!spFile || !spParser || !spSink)
            return nullptr;
        EXPECT_EQ(S_OK, m_spGraph->AddFilter(spSink, L"Sink"));
        EXPECT_EQ(S_OK, ConnectFilters(m_spGraph, spFile, spParser));
        EXPECT_EQ(S_OK, ConnectFilters(m_spGraph, spParser, spSink));
        return spSink;
    }

    CComPtr<IGraphBuilder> m_spGraph;
    std::wstring m_path;
};
} // namespace

TEST_F(GraphTest, WaveParserIntoSinkRunsToCompletion)
{
    const DWORD cbData = 44100 * 4 / 2;
    m_path = WriteTestWaveFile(44100, 2, 16, cbData);
    CComPtr<CTestSink> spSink = ParseInto(CLSID_WaveParserFilter);
    ASSERT_TRUE(spSink);
    const CMType mt = spSink->ConnectionType();
    const WAVEFORMATEX* pwfx = mt.GetWaveFormatEx();
    ASSERT_NE(nullptr, pwfx);
    EXPECT_EQ(44100u, pwfx->nSamplesPerSec);
    EXPECT_EQ(2, pwfx->nChannels);

    long lEvent = 0;
    ASSERT_EQ(S_OK, RunToCompletion(m_spGraph, 10000, &lEvent));
    EXPECT_EQ(EC_COMPLETE, lEvent);
    EXPECT_EQ(1, spSink->EndOfStreamCount());
    EXPECT_EQ(0, spSink->ReceivedWhileStopped());
    long cbTotal = 0;
    for (const SampleRecord& rec : spSink->Samples())
    {
        cbTotal += rec.cbActual;
        // The file holds silence.
        EXPECT_EQ(Crc32(std::vector<BYTE>(static_cast<size_t>(rec.cbActual), 0).data(), rec.cbActual), rec.dwCrc);
    }
    EXPECT_EQ(static_cast<long>(cbData), cbTotal);
    EXPECT_GT(spSink->SampleCount(), 0u);
}

TEST_F(GraphTest, AviSplitterIntoSinkDeliversEveryFrame)
{
    const DWORD nFrames = 6;
    struct
    {
        LONG nWidth;
        WORD wBitCount;
    } const kFiles[] = {{32, 24}, {32, 32}, {30, 24}};
    for (const auto& file : kFiles)
    {
        SCOPED_TRACE(testing::Message() << file.nWidth << "x20x" << file.wBitCount);
        TearDownGraph(m_spGraph);
        if (!m_path.empty())
            DeleteFileW(m_path.c_str());
        m_spGraph = CreateGraph();
        m_path = WriteTestAviFile(file.nWidth, 20, file.wBitCount, nFrames, 25);
        CComPtr<CTestSink> spSink = ParseInto(CLSID_AviSplitter);
        ASSERT_TRUE(spSink);
        EXPECT_EQ(MEDIATYPE_Video, spSink->ConnectionType().majortype);

        ASSERT_EQ(S_OK, RunToCompletion(m_spGraph, 10000));
        const std::vector<SampleRecord> samples = spSink->Samples();
        ASSERT_EQ(nFrames, samples.size());
        // The splitter does not carry row padding over: only frames
        // without padding compare byte for byte.
        const bool bPadded = file.nWidth * file.wBitCount % 32 != 0;
        for (DWORD n = 0; n < nFrames; ++n)
        {
            SCOPED_TRACE(n);
            const std::vector<BYTE> frame = AviFrameBytes(file.nWidth, 20, file.wBitCount, n);
            EXPECT_EQ(static_cast<long>(frame.size()), samples[n].cbActual);
            if (!bPadded)
            {
                EXPECT_EQ(Crc32(frame.data(), frame.size()), samples[n].dwCrc);
            }
        }
    }
}

TEST_F(GraphTest, SourceIntoNullRendererAndIntoSinkRunToCompletion)
{
    for (bool bOwnSink : {false, true})
    {
        SCOPED_TRACE(bOwnSink);
        TearDownGraph(m_spGraph);
        m_spGraph = CreateGraph();
        CComPtr<CTestSource> spSource = CTestSource::Create();
        CComPtr<CTestSink> spSink = CTestSink::Create();
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(spSource, L"Source"));
        CComPtr<IBaseFilter> spRenderer;
        if (bOwnSink)
        {
            ASSERT_EQ(S_OK, m_spGraph->AddFilter(spRenderer = spSink, L"Sink"));
        }
        else
            spRenderer = AddFilterByClsid(m_spGraph, CLSID_NullRendererFilter, L"Null");
        ASSERT_TRUE(spRenderer);
        ASSERT_EQ(S_OK, ConnectFilters(m_spGraph, spSource, spRenderer));

        CComPtr<IMediaControl> spControl;
        ASSERT_EQ(S_OK, m_spGraph.QueryInterface(&spControl));
        // The graph answers S_FALSE while a renderer still waits for data.
        ASSERT_TRUE(SUCCEEDED(spControl->Run()));
        EXPECT_EQ(S_OK, spSource->Deliver(5, 1024, 10000));
        EXPECT_EQ(S_OK, spSource->SendEndOfStream());
        long lEvent = 0;
        EXPECT_EQ(S_OK, RunToCompletion(m_spGraph, 5000, &lEvent));
        EXPECT_EQ(EC_COMPLETE, lEvent);
        if (bOwnSink)
        {
            EXPECT_EQ(5u, spSink->SampleCount());
        }
        CComPtr<IMemAllocator> spAlloc = spSource->Allocator();
        EXPECT_TRUE(spAlloc);
    }
}
