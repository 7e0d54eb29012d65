// Samples pass through the framework without a heap call.
#include <gtest/gtest.h>

#include "support/ComTest.h"
#include "support/HeapCalls.h"
#include "support/PassThroughChain.h"

TEST(PassThroughHeap, SteadyStreamingMakesNoHeapCall)
{
    CComInit com;
    ASSERT_FALSE(heap_calls::PatchImports().empty());
    {
        CPassThroughChain chain;
        ASSERT_EQ(S_OK, chain.Build());
        ASSERT_EQ(eAS_Upstream, chain.m_pFilter->m_apOut->m_eAllocSrc);
        for (int i = 0; i < 10; ++i)
            ASSERT_EQ(S_OK, chain.Push(chain.Filter(), 100));
        LONG nCalls = 0;
        const char* pszLast = "";
        {
            heap_calls::CHeapCallCounter counter;
            for (int i = 0; i < 10000; ++i)
                chain.Push(chain.Filter(), 100 + i % 1000);
            nCalls = counter.Calls();
            pszLast = counter.Last();
        }
        EXPECT_EQ(0, nCalls) << pszLast;
        EXPECT_EQ(10010, chain.m_sink.m_nReceived);
        EXPECT_EQ(10010, chain.m_pFilter->m_nSamples);
    }
}
