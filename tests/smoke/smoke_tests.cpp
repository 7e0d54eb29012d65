#include <windows.h>
#include <dshow.h>
#include <gtest/gtest.h>

TEST(Harness, FilterGraphManagerIsCreatable)
{
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    IGraphBuilder* pGraph = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IGraphBuilder, reinterpret_cast<void**>(&pGraph)));
    if (pGraph)
        pGraph->Release();
    CoUninitialize();
}
