// A real graph of Wine's filters around the test in-place filter: file
// source on a written WAVE file, WAVE parser, test filter, null renderer.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <string>

#include "support/ComTest.h"
#include "support/GraphRun.h"
#include "support/TestInPlaceFilter.h"
#include "support/WaveFile.h"

namespace filters_test
{
class WaveGraph : public CComTest
{
protected:
    void SetUp() override
    {
        m_spGraph = CreateGraph();
        ASSERT_NE(nullptr, m_spGraph.p);
        m_sFile = WriteTestWaveFile(8000, 1, 8, m_cbWave);
        ASSERT_EQ(S_OK, m_spGraph->AddSourceFilter(m_sFile.c_str(), L"Source", &m_spSource));
        m_spParser = AddFilterByClsid(m_spGraph, CLSID_WaveParserFilter, L"Parser");
        ASSERT_NE(nullptr, m_spParser.p);
        ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&m_pTest));
        m_spTest = static_cast<IBaseFilter*>(m_pTest);
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spTest, L"Test"));
        m_spRenderer = AddFilterByClsid(m_spGraph, CLSID_NullRendererFilter, L"Null");
        ASSERT_NE(nullptr, m_spRenderer.p);
        ASSERT_EQ(S_OK, ConnectFilters(m_spGraph, m_spSource, m_spParser, false));
    }
    void TearDown() override
    {
        m_spRenderer.Release();
        m_spParser.Release();
        m_spSource.Release();
        TearDownGraph(m_spGraph);
        m_spTest.Release();
        DeleteFileW(m_sFile.c_str());
    }

    HRESULT ConnectInput() { return ConnectFilters(m_spGraph, m_spParser, m_spTest); }
    HRESULT ConnectOutput() { return ConnectFilters(m_spGraph, m_spTest, m_spRenderer); }
    CComPtr<IPin> In() { return FindPin(m_spTest, PINDIR_INPUT); }
    CComPtr<IPin> Out() { return FindPin(m_spTest, PINDIR_OUTPUT); }
    CComPtr<IMediaControl> Control()
    {
        CComPtr<IMediaControl> spControl;
        m_spGraph.QueryInterface(&spControl);
        return spControl;
    }
    FILTER_STATE State()
    {
        FILTER_STATE e = State_Running;
        m_spTest->GetState(0, &e);
        return e;
    }
    long RunToEnd()
    {
        long lCode = 0;
        EXPECT_EQ(S_OK, RunToCompletion(m_spGraph, 10000, &lCode));
        return lCode;
    }

    DWORD m_cbWave = 16000;
    std::wstring m_sFile;
    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<IBaseFilter> m_spSource, m_spParser, m_spTest, m_spRenderer;
    CComObject<CTestInPlaceFilter>* m_pTest = nullptr;
};
} // namespace filters_test
