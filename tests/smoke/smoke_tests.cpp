#include <windows.h>
#include <dshow.h>
#include <gtest/gtest.h>

#include <support/ComTest.h>

TEST(Harness, FilterGraphManagerIsCreatable)
{
    CComInit com;
    ASSERT_EQ(S_OK, com.Result());
    IGraphBuilder* pGraph = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IGraphBuilder, reinterpret_cast<void**>(&pGraph)));
    if (pGraph)
        pGraph->Release();
}
