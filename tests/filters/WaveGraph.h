// A real graph of Wine's filters around the test in-place filter: file
// source on a written WAVE file, WAVE parser, test filter, null renderer.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <string>

#include "support/TestInPlaceFilter.h"
#include "support/WaveFile.h"

namespace filters_test
{
inline const CLSID CLSID_NullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
inline const CLSID CLSID_WAVEParser = {0xD51BD5A1, 0x7548, 0x11CF, {0xA5, 0x20, 0x00, 0x80, 0xC7, 0x7E, 0xF5, 0x8A}};

inline CComPtr<IPin> PinOf(IBaseFilter* pFilter, PIN_DIRECTION dir)
{
    CComPtr<IEnumPins> spEnum;
    pFilter->EnumPins(&spEnum);
    for (CComPtr<IPin> spPin; spEnum && spEnum->Next(1, &spPin, nullptr) == S_OK; spPin.Release())
    {
        PIN_DIRECTION d;
        spPin->QueryDirection(&d);
        if (d == dir)
            return spPin;
    }
    return nullptr;
}

inline CComPtr<IBaseFilter> Create(REFCLSID clsid)
{
    CComPtr<IBaseFilter> sp;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&sp));
    return sp;
}

class WaveGraph : public testing::Test
{
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&m_spGraph)));
        m_sFile = WriteTestWaveFile(8000, 1, 8, m_cbWave);
        ASSERT_EQ(S_OK, m_spGraph->AddSourceFilter(m_sFile.c_str(), L"Source", &m_spSource));
        m_spParser = Create(CLSID_WAVEParser);
        m_spRenderer = Create(CLSID_NullRenderer);
        ASSERT_NE(nullptr, m_spParser.p);
        ASSERT_EQ(S_OK, CComObject<CTestInPlaceFilter>::CreateInstance(&m_pTest));
        m_spTest = static_cast<IBaseFilter*>(m_pTest);
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spParser, L"Parser"));
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spTest, L"Test"));
        ASSERT_EQ(S_OK, m_spGraph->AddFilter(m_spRenderer, L"Null"));
        ASSERT_EQ(S_OK, m_spGraph->Connect(PinOf(m_spSource, PINDIR_OUTPUT), PinOf(m_spParser, PINDIR_INPUT)));
    }
    void TearDown() override
    {
        if (m_spGraph != nullptr)
        {
            CComPtr<IMediaControl> spControl;
            m_spGraph.QueryInterface(&spControl);
            if (spControl != nullptr)
                spControl->Stop();
            for (IBaseFilter* p : {m_spRenderer.p, m_spTest.p, m_spParser.p, m_spSource.p})
                if (p != nullptr)
                    m_spGraph->RemoveFilter(p);
        }
        m_spRenderer.Release();
        m_spTest.Release();
        m_spParser.Release();
        m_spSource.Release();
        m_spGraph.Release();
        DeleteFileW(m_sFile.c_str());
        CoUninitialize();
    }

    HRESULT ConnectInput() { return m_spGraph->ConnectDirect(PinOf(m_spParser, PINDIR_OUTPUT), In(), nullptr); }
    HRESULT ConnectOutput() { return m_spGraph->ConnectDirect(Out(), PinOf(m_spRenderer, PINDIR_INPUT), nullptr); }
    CComPtr<IPin> In() { return PinOf(m_spTest, PINDIR_INPUT); }
    CComPtr<IPin> Out() { return PinOf(m_spTest, PINDIR_OUTPUT); }
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

    long RunToCompletion()
    {
        CComPtr<IMediaControl> spControl;
        CComPtr<IMediaEvent> spEvent;
        m_spGraph.QueryInterface(&spControl);
        m_spGraph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&spEvent));
        EXPECT_TRUE(SUCCEEDED(spControl->Run()));
        long lCode = 0;
        EXPECT_EQ(S_OK, spEvent->WaitForCompletion(10000, &lCode));
        EXPECT_EQ(S_OK, spControl->Stop());
        return lCode;
    }

    DWORD m_cbWave = 16000;
    std::wstring m_sFile;
    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<IBaseFilter> m_spSource, m_spParser, m_spTest, m_spRenderer;
    CComObject<CTestInPlaceFilter>* m_pTest = nullptr;
};
} // namespace filters_test
