// A steady GetBuffer/Release cycle makes no heap call.
#include "AllocTestSupport.h"

#include "support/HeapCalls.h"

namespace
{
using heap_calls::CHeapCallCounter;
using heap_calls::PatchImports;

class HeapCallTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { s_patched = PatchImports(); }
    static std::vector<std::string> s_patched;
};
std::vector<std::string> HeapCallTest::s_patched;

TEST_F(HeapCallTest, SteadyCycleMakesNoHeapCall)
{
    // The redirection itself works: the routines the framework uses are
    // imported here, and creation and commit are seen to allocate.
    ASSERT_FALSE(s_patched.empty());
    LONG nCreate = 0, nCommit = 0;
    CComPtr<IMemAllocator> spAlloc;
    {
        CHeapCallCounter counter;
        ASSERT_EQ(S_OK, CreateMemoryAllocator(&spAlloc.p, nullptr));
        nCreate = counter.Calls();
    }
    ASSERT_EQ(S_OK, SetProps(spAlloc, 4, 4096, 16, 0));
    {
        CHeapCallCounter counter;
        ASSERT_EQ(S_OK, spAlloc->Commit());
        nCommit = counter.Calls();
    }
    EXPECT_GT(nCreate, 0);
    EXPECT_GT(nCommit, 0);

    // Warm-up: the first samples raise the high-water mark.
    {
        CComPtr<IMediaSample> sp[4];
        for (auto& s : sp)
            ASSERT_EQ(S_OK, spAlloc->GetBuffer(&s.p, nullptr, nullptr, 0));
    }
    HRESULT hrWorst = S_OK;
    LONG nCalls = 0;
    const char* pszLast = "";
    {
        CHeapCallCounter counter;
        for (int i = 0; i < 10000; ++i)
        {
            IMediaSample* p1 = nullptr;
            IMediaSample* p2 = nullptr;
            HRESULT hr = spAlloc->GetBuffer(&p1, nullptr, nullptr, 0);
            if (hr == S_OK)
                hr = spAlloc->GetBuffer(&p2, nullptr, nullptr, 0);
            if (hr != S_OK)
                hrWorst = hr;
            if (p2 != nullptr)
            {
                p2->SetActualDataLength(100);
                p2->Release();
            }
            if (p1 != nullptr)
                p1->Release();
        }
        nCalls = counter.Calls();
        pszLast = counter.Last();
    }
    EXPECT_EQ(S_OK, hrWorst);
    EXPECT_EQ(0, nCalls) << "last heap call: " << pszLast;
    EXPECT_EQ(S_OK, spAlloc->Decommit());
}
} // namespace
