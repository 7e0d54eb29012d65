// The framework's allocator: properties, the state table, buffer layout,
// waiting for buffers, the pending media type, the callback and the
// self-reference while committed.
#include "AllocTestSupport.h"

#include "support/TraceCapture.h"

#include <uuids.h>

#include <atomic>
#include <functional>
#include <thread>

namespace
{
const HRESULT c_hrUnset = static_cast<HRESULT>(0xDEADBEEF);

// ---- Property correction ----------------------------------------------------------

struct CorrectRow
{
    ALLOCATOR_PROPERTIES in;
    HRESULT hr;
    ALLOCATOR_PROPERTIES out;
    const wchar_t* pszTrace; // part of the correction trace, or null
};

TEST(CorrectAllocPropsTest, CorrectsOrRefusesRequests)
{
    const CorrectRow rows[] = {
        {Props(0, 100, 0, 0), VFW_E_SIZENOTSET, {}, nullptr},
        {Props(1, 0, 1, 0), VFW_E_SIZENOTSET, {}, nullptr},
        {Props(1, 100, -1, 0), VFW_E_SIZENOTSET, {}, nullptr},
        {Props(1, 100, 1, -4), VFW_E_SIZENOTSET, {}, nullptr},
        {Props(1, 100, 0x20000, 0), VFW_E_BADALIGN, {}, nullptr},
        {Props(1, 100, 0x10000, 0), S_OK, Props(1, 0x10000, 0x10000, 0),
         L"### CorrectAllocProps(): input props = { 1, 100, 65536, 0 }, corrected size of buffer = 65536\n"},
        {Props(2, 1000, 0, 4), S_OK, Props(2, 1000, 1, 4), L"### CorrectAllocProps(): alignment changed from 0 to 1\n"},
        {Props(1, 100, 16, 8), S_OK, Props(1, 104, 16, 8),
         L"### CorrectAllocProps(): input props = { 1, 100, 16, 8 }, corrected size of buffer = 104\n"},
        {Props(1, 100, 24, 0), S_OK, Props(1, 128, 32, 0), L"### CorrectAllocProps(): Alignment changed from 0x18 to 0x20\n"},
        {Props(3, 64, 64, 0), S_OK, Props(3, 64, 64, 0), nullptr},
        // Prefix plus buffer beyond 2 GB cannot be laid out.
        {Props(1, 0x7FFFFFF0, 64, 32), VFW_E_SIZENOTSET, {}, nullptr},
    };
    for (const CorrectRow& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.in.cBuffers << "," << row.in.cbBuffer << "," << row.in.cbAlign << ","
                                        << row.in.cbPrefix);
        CTraceCapture capture;
        ALLOCATOR_PROPERTIES props = row.in;
        EXPECT_EQ(row.hr, CorrectAllocProps(&props));
        const ALLOCATOR_PROPERTIES& want = SUCCEEDED(row.hr) ? row.out : row.in;
        EXPECT_EQ(want.cBuffers, props.cBuffers);
        EXPECT_EQ(want.cbBuffer, props.cbBuffer);
        EXPECT_EQ(want.cbAlign, props.cbAlign);
        EXPECT_EQ(want.cbPrefix, props.cbPrefix);
        if (row.pszTrace != nullptr)
        {
            EXPECT_TRUE(Contains(capture.Text(), row.pszTrace)) << capture.Text().c_str();
        }
    }
}

TEST(AllocatorPropertiesTest, FailureClearsActualAndKeepsProperties)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    ASSERT_EQ(S_OK, SetProps(spAlloc, 2, 1000, 0, 4));
    const ALLOCATOR_PROPERTIES bad[] = {Props(0, 100, 0, 0), Props(1, 100, 0x20000, 0)};
    for (ALLOCATOR_PROPERTIES req : bad)
    {
        ALLOCATOR_PROPERTIES act = Props(7, 7, 7, 7);
        EXPECT_NE(S_OK, spAlloc->SetProperties(&req, &act));
        EXPECT_EQ(0, act.cBuffers);
        EXPECT_EQ(0, act.cbBuffer);
        EXPECT_EQ(0, act.cbAlign);
        EXPECT_EQ(0, act.cbPrefix);
    }
    ALLOCATOR_PROPERTIES cur = {};
    ASSERT_EQ(S_OK, spAlloc->GetProperties(&cur));
    EXPECT_EQ(2, cur.cBuffers);
    EXPECT_EQ(1000, cur.cbBuffer);
    EXPECT_EQ(1, cur.cbAlign);
    EXPECT_EQ(4, cur.cbPrefix);

    ALLOCATOR_PROPERTIES req = Props(3, 100, 24, 0);
    ALLOCATOR_PROPERTIES act = {};
    EXPECT_EQ(E_POINTER, spAlloc->SetProperties(nullptr, &act));
    EXPECT_EQ(E_POINTER, spAlloc->SetProperties(&req, nullptr));
    EXPECT_EQ(E_POINTER, spAlloc->GetProperties(nullptr));
    // In AS_Prop new properties replace the old ones.
    CTraceCapture capture;
    ASSERT_EQ(S_OK, spAlloc->SetProperties(&req, &act));
    EXPECT_EQ(3, act.cBuffers);
    EXPECT_EQ(128, act.cbBuffer);
    EXPECT_EQ(32, act.cbAlign);
    EXPECT_TRUE(Contains(capture.Text(), L"(CMemoryAllocatorT<>) IMemAllocator::SetProperties( 3, 100, 24, 0 ): State=2 [allocator " +
                                             Ptr(spAlloc.p) + L"]\n"))
        << capture.Text().c_str();
}

// ---- State table ---------------------------------------------------------------------

// An allocator brought into a state, with the samples that keep it there.
struct CStateFixture
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    std::vector<CComPtr<IMediaSample>> samples;

    explicit CStateFixture(const std::wstring& state)
    {
        if (state == L"AS_Init")
            return;
        EXPECT_EQ(S_OK, SetProps(spAlloc, 2, 256));
        if (state == L"AS_Prop")
            return;
        EXPECT_EQ(S_OK, spAlloc->Commit());
        if (state == L"AS_Commit")
            return;
        Take();
        if (state == L"AS_Decommit")
        {
            EXPECT_EQ(S_OK, spAlloc->Decommit());
        }
    }
    HRESULT Take()
    {
        CComPtr<IMediaSample> sp;
        const HRESULT hr = spAlloc->GetBuffer(&sp.p, nullptr, nullptr, AM_GBF_NOWAIT);
        if (sp != nullptr)
            samples.push_back(sp);
        return hr;
    }
    // Everything back, decommitted, and no reference left but ours.
    void Finish()
    {
        samples.clear();
        spAlloc->Decommit();
        const std::wstring state = StateOf(spAlloc);
        EXPECT_TRUE(state == L"AS_Prop" || state == L"AS_Init") << "after cleanup";
        IMemAllocator* p = spAlloc.p;
        spAlloc.p = nullptr;
        EXPECT_EQ(0u, p->Release());
    }
};

struct StateRow
{
    const wchar_t* pszFrom;
    const char* pszCall;
    HRESULT hr;
    const wchar_t* pszTo;
};

HRESULT RunCall(CStateFixture& f, const std::string& call)
{
    CComPtr<IMemAllocatorCallbackTemp> spCb;
    f.spAlloc->QueryInterface(__uuidof(IMemAllocatorCallbackTemp), reinterpret_cast<void**>(&spCb.p));
    if (call == "SetProperties")
        return SetProps(f.spAlloc, 2, 256);
    if (call == "GetProperties")
    {
        ALLOCATOR_PROPERTIES props = {};
        return f.spAlloc->GetProperties(&props);
    }
    if (call == "Commit")
        return f.spAlloc->Commit();
    if (call == "Decommit")
        return f.spAlloc->Decommit();
    if (call == "GetBuffer")
        return f.Take();
    if (call == "GetFreeCount")
    {
        LONG n = -1;
        const HRESULT hr = spCb->GetFreeCount(&n);
        if (FAILED(hr))
        {
            EXPECT_EQ(0, n);
        }
        return hr;
    }
    if (call == "ReleaseBuffer")
    {
        // A sample of someone else's: the state update alone.
        CComPtr<IMediaSample> spForeign;
        CComPtr<IMemAllocator> spOther = NewAllocator();
        SetProps(spOther, 1, 16);
        spOther->Commit();
        spOther->GetBuffer(&spForeign.p, nullptr, nullptr, 0);
        const HRESULT hr = f.spAlloc->ReleaseBuffer(spForeign);
        spForeign.Release();
        spOther->Decommit();
        return hr;
    }
    return E_UNEXPECTED;
}

TEST(AllocatorStateTest, EveryTransitionAndRefusal)
{
    const StateRow rows[] = {
        {L"AS_Init", "SetProperties", S_OK, L"AS_Prop"},
        {L"AS_Init", "GetProperties", VFW_E_BUFFER_NOTSET, L"AS_Init"},
        {L"AS_Init", "Commit", E_FAIL, L"AS_Init"},
        {L"AS_Init", "Decommit", E_FAIL, L"AS_Init"},
        {L"AS_Init", "GetBuffer", VFW_E_BUFFER_NOTSET, L"AS_Init"},
        {L"AS_Init", "GetFreeCount", VFW_E_BUFFER_NOTSET, L"AS_Init"},
        {L"AS_Init", "ReleaseBuffer", E_ABORT, L"AS_Init"},
        {L"AS_Prop", "SetProperties", S_OK, L"AS_Prop"},
        {L"AS_Prop", "GetProperties", S_OK, L"AS_Prop"},
        {L"AS_Prop", "Commit", S_OK, L"AS_Commit"},
        {L"AS_Prop", "Decommit", S_OK, L"AS_Prop"},
        {L"AS_Prop", "GetBuffer", VFW_E_NOT_COMMITTED, L"AS_Prop"},
        {L"AS_Prop", "GetFreeCount", VFW_E_NOT_COMMITTED, L"AS_Prop"},
        {L"AS_Prop", "ReleaseBuffer", E_ABORT, L"AS_Prop"},
        {L"AS_Commit", "SetProperties", VFW_E_ALREADY_COMMITTED, L"AS_Commit"},
        {L"AS_Commit", "GetProperties", S_OK, L"AS_Commit"},
        {L"AS_Commit", "Commit", S_OK, L"AS_Commit"},
        {L"AS_Commit", "Decommit", S_OK, L"AS_Prop"},
        {L"AS_Commit", "GetBuffer", S_OK, L"AS_Run"},
        {L"AS_Commit", "GetFreeCount", S_OK, L"AS_Commit"},
        {L"AS_Commit", "ReleaseBuffer", S_OK, L"AS_Commit"},
        {L"AS_Run", "SetProperties", VFW_E_ALREADY_COMMITTED, L"AS_Run"},
        {L"AS_Run", "GetProperties", S_OK, L"AS_Run"},
        {L"AS_Run", "Commit", S_OK, L"AS_Run"},
        {L"AS_Run", "Decommit", S_OK, L"AS_Decommit"},
        {L"AS_Run", "GetBuffer", S_OK, L"AS_Run"},
        {L"AS_Run", "GetFreeCount", S_OK, L"AS_Run"},
        {L"AS_Run", "ReleaseBuffer", S_OK, L"AS_Run"},
        {L"AS_Decommit", "SetProperties", VFW_E_BUFFERS_OUTSTANDING, L"AS_Decommit"},
        {L"AS_Decommit", "GetProperties", S_OK, L"AS_Decommit"},
        {L"AS_Decommit", "Commit", S_OK, L"AS_Run"},
        {L"AS_Decommit", "Decommit", S_OK, L"AS_Decommit"},
        {L"AS_Decommit", "GetBuffer", VFW_E_NOT_COMMITTED, L"AS_Decommit"},
        {L"AS_Decommit", "GetFreeCount", VFW_E_NOT_COMMITTED, L"AS_Decommit"},
        {L"AS_Decommit", "ReleaseBuffer", S_OK, L"AS_Decommit"},
    };
    for (const StateRow& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.pszCall << " in " << row.pszFrom);
        CStateFixture f(row.pszFrom);
        ASSERT_EQ(row.pszFrom, StateOf(f.spAlloc));
        EXPECT_EQ(row.hr, RunCall(f, row.pszCall));
        EXPECT_EQ(row.pszTo, StateOf(f.spAlloc));
        f.Finish();
    }
}

TEST(AllocatorStateTest, UninitialisedObjectAborts)
{
    // Constructed without FinalConstruct: every call refuses with E_ABORT.
    CComObject<CMemoryAllocator>* pObject = new CComObject<CMemoryAllocator>();
    CComPtr<IMemAllocator> spAlloc(static_cast<IMemAllocator*>(pObject));
    ALLOCATOR_PROPERTIES req = Props(1, 100, 1, 0);
    ALLOCATOR_PROPERTIES act = {};
    EXPECT_EQ(E_ABORT, spAlloc->SetProperties(&req, &act));
    EXPECT_EQ(E_ABORT, spAlloc->GetProperties(&act));
    EXPECT_EQ(E_ABORT, spAlloc->Commit());
    EXPECT_EQ(E_ABORT, spAlloc->Decommit());
    CComPtr<IMediaSample> spSample;
    EXPECT_EQ(E_ABORT, spAlloc->GetBuffer(&spSample.p, nullptr, nullptr, 0));
    EXPECT_EQ(L"AS_Create", StateOf(spAlloc));
}

TEST(AllocatorStateTest, DecommitWithSamplesOutWaitsForTheLast)
{
    CStateFixture f(L"AS_Commit");
    ASSERT_EQ(S_OK, f.Take());
    ASSERT_EQ(S_OK, f.Take());
    CTraceCapture capture;
    ASSERT_EQ(S_OK, f.spAlloc->Decommit());
    EXPECT_TRUE(Contains(capture.Text(), L"(CMemoryAllocatorT<>) IMemAllocator::Decommit(): state AS_Run, busy 2 buffers [allocator " +
                                             Ptr(f.spAlloc.p) + L"]\n"))
        << capture.Text().c_str();
    EXPECT_EQ(L"AS_Decommit", StateOf(f.spAlloc));
    f.samples.pop_back();
    EXPECT_EQ(L"AS_Decommit", StateOf(f.spAlloc));
    EXPECT_TRUE(Contains(capture.Text(), L"IMemAllocator::ReleaseBuffer(): Decommit state, busy 1 buffers"))
        << capture.Text().c_str();
    // A Commit in between brings the allocator back to work.
    ASSERT_EQ(S_OK, f.spAlloc->Commit());
    EXPECT_EQ(L"AS_Run", StateOf(f.spAlloc));
    ASSERT_EQ(S_OK, f.spAlloc->Decommit());
    f.samples.pop_back();
    EXPECT_EQ(L"AS_Prop", StateOf(f.spAlloc));
    f.Finish();
}

// ---- References ------------------------------------------------------------------------

TEST(AllocatorReferenceTest, CommittedAllocatorHoldsItself)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    EXPECT_EQ(1u, RefCount(spAlloc));
    ASSERT_EQ(S_OK, SetProps(spAlloc, 1, 64));
    ASSERT_EQ(S_OK, spAlloc->Commit());
    EXPECT_EQ(2u, RefCount(spAlloc));
    ASSERT_EQ(S_OK, spAlloc->Commit());
    EXPECT_EQ(2u, RefCount(spAlloc));
    ASSERT_EQ(S_OK, spAlloc->Decommit());
    EXPECT_EQ(1u, RefCount(spAlloc));

    // The last user forgets Decommit: reported, and the object stays.
    ASSERT_EQ(S_OK, spAlloc->Commit());
    IMemAllocator* p = spAlloc.p;
    spAlloc.p = nullptr;
    CTraceCapture capture;
    EXPECT_EQ(1u, p->Release());
    EXPECT_TRUE(Contains(capture.Text(), L"###Err### (CMemoryAllocatorT<>) InternalRelease() [allocator " + Ptr(p) +
                                             L"]: IMemAllocator::Decommit() is not called, memory is not freed\n"))
        << capture.Text().c_str();
    p->AddRef();
    EXPECT_EQ(S_OK, p->Decommit());
    EXPECT_EQ(0u, p->Release());
    EXPECT_TRUE(Contains(capture.Text(), L"(CMemoryAllocatorT<>) FinalRelease() [allocator "));
    EXPECT_TRUE(Contains(capture.Text(), L"(CMemoryAllocatorT<>) CMemAllocBase::ReleaseAllocator() [allocator "));
}

TEST(AllocatorReferenceTest, SampleOutlivesItsLastUser)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    ASSERT_EQ(S_OK, SetProps(spAlloc, 1, 64));
    ASSERT_EQ(S_OK, spAlloc->Commit());
    CComPtr<IMediaSample> spSample;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&spSample.p, nullptr, nullptr, 0));
    ASSERT_EQ(S_OK, spAlloc->Decommit());
    // The user drops the allocator first; the sample still returns safely.
    IMemAllocator* p = spAlloc.p;
    spAlloc.p = nullptr;
    EXPECT_EQ(1u, p->Release());
    CTraceCapture capture;
    EXPECT_EQ(0u, spSample.p->Release());
    spSample.p = nullptr;
    EXPECT_TRUE(Contains(capture.Text(), L"(CMemoryAllocatorT<>) FinalRelease() [allocator " + Ptr(p) + L"]\n"))
        << capture.Text().c_str();
}

// ---- Interfaces and owner ---------------------------------------------------------------

TEST(AllocatorInterfaceTest, MapAndOwner)
{
    IUnknown* pOwner = NewAllocator().Detach();
    const ULONG nOwnerRefs = RefCount(pOwner);
    {
        CTraceCapture capture;
        CComPtr<IMemAllocator> spAlloc = NewAllocator(pOwner);
        EXPECT_TRUE(Contains(capture.Text(), L"(CMemoryAllocatorT<>) FinalConstruct() [allocator " + Ptr(spAlloc.p) + L"]\n"))
            << capture.Text().c_str();
        EXPECT_EQ(nOwnerRefs, RefCount(pOwner));

        CComPtr<IUnknown> spUnk1, spUnk2;
        CComPtr<IMemAllocatorCallbackTemp> spCb;
        CComPtr<IMemAllocatorEx> spEx;
        CComPtr<IMemAllocOwner> spOwner;
        CComPtr<IMediaSample> spNot;
        ASSERT_EQ(S_OK, spAlloc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spUnk1.p)));
        ASSERT_EQ(S_OK, spAlloc->QueryInterface(__uuidof(IMemAllocatorCallbackTemp), reinterpret_cast<void**>(&spCb.p)));
        ASSERT_EQ(S_OK, spAlloc->QueryInterface(IID_IMemAllocatorEx, reinterpret_cast<void**>(&spEx.p)));
        ASSERT_EQ(S_OK, spAlloc->QueryInterface(IID_IMemAllocOwner, reinterpret_cast<void**>(&spOwner.p)));
        EXPECT_EQ(E_NOINTERFACE, spAlloc->QueryInterface(__uuidof(IMediaSample), reinterpret_cast<void**>(&spNot.p)));
        ASSERT_EQ(S_OK, spOwner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spUnk2.p)));
        EXPECT_EQ(spUnk1.p, spUnk2.p);

        IUnknown* pGot = nullptr;
        EXPECT_EQ(S_OK, spOwner->GetOwner(&pGot));
        EXPECT_EQ(pOwner, pGot);
        EXPECT_EQ(E_POINTER, spOwner->GetOwner(nullptr));
        EXPECT_EQ(S_OK, spOwner->SetOwner(nullptr));
        EXPECT_EQ(S_OK, spOwner->GetOwner(&pGot));
        EXPECT_EQ(nullptr, pGot);
        EXPECT_EQ(E_NOTIMPL, spOwner->DebugAllocator());
        EXPECT_TRUE(Contains(capture.Text(), L"IMemAllocOwnerImpl::DebugAllocator(): is not implemented"));
        EXPECT_EQ(E_INVALIDARG, spEx->SetMediaType(nullptr));
        EXPECT_EQ(E_POINTER, spCb->GetFreeCount(nullptr));
        EXPECT_EQ(E_POINTER, spAlloc->GetBuffer(nullptr, nullptr, nullptr, 0));
        EXPECT_EQ(E_POINTER, spAlloc->ReleaseBuffer(nullptr));
    }
    EXPECT_EQ(nOwnerRefs, RefCount(pOwner));
    EXPECT_EQ(0u, pOwner->Release());
    EXPECT_EQ(E_POINTER, CreateMemoryAllocator(nullptr, nullptr));
}

// ---- Buffers ---------------------------------------------------------------------------

struct LayoutRow
{
    ALLOCATOR_PROPERTIES req;
    LONG nBoundary; // buffer start minus prefix is a multiple of this
    LONG cbStride;
};

TEST(AllocatorBufferTest, BuffersArePlacedOnTheirBoundaries)
{
    const LayoutRow rows[] = {
        {Props(3, 1, 1, 0), 16, 16},
        {Props(3, 20, 0, 0), 16, 32},
        {Props(4, 100, 64, 8), 64, 128},
        {Props(2, 4000, 4096, 96), 4096, 4096},
    };
    for (const LayoutRow& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.req.cBuffers << "," << row.req.cbBuffer << "," << row.req.cbAlign << ","
                                        << row.req.cbPrefix);
        CComPtr<IMemAllocator> spAlloc = NewAllocator();
        ALLOCATOR_PROPERTIES req = row.req;
        ALLOCATOR_PROPERTIES act = {};
        ASSERT_EQ(S_OK, spAlloc->SetProperties(&req, &act));
        ASSERT_EQ(S_OK, spAlloc->Commit());
        std::vector<CComPtr<IMediaSample>> samples(row.req.cBuffers);
        std::vector<BYTE*> ptrs;
        for (auto& sp : samples)
        {
            ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp.p, nullptr, nullptr, 0));
            BYTE* pb = nullptr;
            ASSERT_EQ(S_OK, sp->GetPointer(&pb));
            EXPECT_EQ(act.cbBuffer, sp->GetSize());
            EXPECT_EQ(0u, (reinterpret_cast<UINT_PTR>(pb) - act.cbPrefix) % row.nBoundary);
            // Prefix and data are ours to write.
            memset(pb - act.cbPrefix, 0xA5, act.cbPrefix + act.cbBuffer);
            ptrs.push_back(pb);
        }
        for (size_t i = 1; i < ptrs.size(); ++i)
            EXPECT_EQ(row.cbStride, ptrs[i] - ptrs[i - 1]);
        samples.clear();
        EXPECT_EQ(S_OK, spAlloc->Decommit());
    }
}

TEST(AllocatorBufferTest, ReleasedBufferComesBackAndStorageIsReused)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    CComPtr<IMemAllocatorCallbackTemp> spCb;
    ASSERT_EQ(S_OK, spAlloc->QueryInterface(__uuidof(IMemAllocatorCallbackTemp), reinterpret_cast<void**>(&spCb.p)));
    ASSERT_EQ(S_OK, SetProps(spAlloc, 2, 128));
    ASSERT_EQ(S_OK, spAlloc->Commit());
    LONG nFree = 0;
    CComPtr<IMediaSample> sp1;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp1.p, nullptr, nullptr, 0));
    EXPECT_EQ(S_OK, spCb->GetFreeCount(&nFree));
    EXPECT_EQ(1, nFree);
    IMediaSample* pFirst = sp1.p;
    BYTE* pbFirst = nullptr;
    sp1->GetPointer(&pbFirst);
    sp1.Release();
    EXPECT_EQ(S_OK, spCb->GetFreeCount(&nFree));
    EXPECT_EQ(2, nFree);
    // The same storage block and the same buffer serve the next sample.
    CComPtr<IMediaSample> sp2;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp2.p, nullptr, nullptr, 0));
    EXPECT_EQ(pFirst, sp2.p);
    BYTE* pb = nullptr;
    sp2->GetPointer(&pb);
    EXPECT_EQ(pbFirst, pb);
    // A fresh sample carries nothing of its predecessor.
    EXPECT_EQ(0, sp2->GetActualDataLength());
    sp2.Release();
    EXPECT_EQ(S_OK, spAlloc->Decommit());
}

TEST(AllocatorBufferTest, HighWaterMarkIsTracedWhenRaised)
{
    CStateFixture f(L"AS_Commit");
    CTraceCapture capture;
    ASSERT_EQ(S_OK, f.Take());
    ASSERT_EQ(S_OK, f.Take());
    f.samples.clear();
    ASSERT_EQ(S_OK, f.Take());
    const std::wstring prefix = L"(CMemoryAllocatorT<>) [allocator " + Ptr(f.spAlloc.p) + L"]: max outstanding buffers ";
    const std::wstring text = capture.Text();
    EXPECT_TRUE(Contains(text, prefix + L"1\n")) << text.c_str();
    EXPECT_TRUE(Contains(text, prefix + L"2\n")) << text.c_str();
    EXPECT_EQ(text.find(prefix + L"1\n"), text.rfind(prefix + L"1\n"));
    f.Finish();
}

// ---- Waiting for a buffer ---------------------------------------------------------------

// Runs GetBuffer on a worker thread.
class CWaiter
{
public:
    explicit CWaiter(IMemAllocator* pAlloc)
        : m_thread([this, pAlloc] {
              m_hr = pAlloc->GetBuffer(&m_spSample.p, nullptr, nullptr, 0);
              m_bDone = true;
          })
    {
    }
    ~CWaiter()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool DoneWithin(DWORD dwMs)
    {
        for (DWORD t = 0; t < dwMs && !m_bDone; t += 10)
            Sleep(10);
        return m_bDone;
    }
    HRESULT Join()
    {
        m_thread.join();
        return m_hr;
    }
    CComPtr<IMediaSample> m_spSample;

private:
    std::atomic<bool> m_bDone{false};
    HRESULT m_hr = c_hrUnset;
    std::thread m_thread;
};

TEST(AllocatorWaitTest, NoWaitTimesOutAtOnce)
{
    CStateFixture f(L"AS_Commit");
    ASSERT_EQ(S_OK, f.Take());
    ASSERT_EQ(S_OK, f.Take());
    CTraceCapture capture;
    CComPtr<IMediaSample> sp;
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(VFW_E_TIMEOUT, f.spAlloc->GetBuffer(&sp.p, nullptr, nullptr, AM_GBF_NOWAIT));
    EXPECT_LT(GetTickCount() - dwStart, 1000u);
    EXPECT_EQ(nullptr, sp.p);
    f.Finish();
}

TEST(AllocatorWaitTest, ReleaseOnAnotherThreadEndsTheWait)
{
    CStateFixture f(L"AS_Commit");
    ASSERT_EQ(S_OK, f.Take());
    ASSERT_EQ(S_OK, f.Take());
    BYTE* pbReleased = nullptr;
    f.samples[1]->GetPointer(&pbReleased);
    CWaiter waiter(f.spAlloc);
    EXPECT_FALSE(waiter.DoneWithin(300));
    f.samples.pop_back();
    ASSERT_TRUE(waiter.DoneWithin(5000));
    EXPECT_EQ(S_OK, waiter.Join());
    ASSERT_NE(nullptr, waiter.m_spSample.p);
    BYTE* pb = nullptr;
    waiter.m_spSample->GetPointer(&pb);
    EXPECT_EQ(pbReleased, pb);
    waiter.m_spSample.Release();
    f.Finish();
}

TEST(AllocatorWaitTest, DecommitEndsTheWait)
{
    CStateFixture f(L"AS_Commit");
    ASSERT_EQ(S_OK, f.Take());
    ASSERT_EQ(S_OK, f.Take());
    CWaiter waiter(f.spAlloc);
    EXPECT_FALSE(waiter.DoneWithin(300));
    ASSERT_EQ(S_OK, f.spAlloc->Decommit());
    ASSERT_TRUE(waiter.DoneWithin(5000));
    EXPECT_EQ(VFW_E_NOT_COMMITTED, waiter.Join());
    EXPECT_EQ(nullptr, waiter.m_spSample.p);
    f.Finish();
}

// ---- Pending media type and buffer size -----------------------------------------------------

CMType VideoType(ULONG cbSample)
{
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_RGB24);
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = cbSample;
    return mt;
}

TEST(AllocatorMediaTypeTest, PendingTypeGoesToExactlyTheNextSample)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    CComPtr<IMemAllocatorEx> spEx;
    ASSERT_EQ(S_OK, spAlloc->QueryInterface(IID_IMemAllocatorEx, reinterpret_cast<void**>(&spEx.p)));
    ASSERT_EQ(S_OK, SetProps(spAlloc, 3, 1000));
    CTraceCapture capture;
    CMType mt = VideoType(3000);
    ASSERT_EQ(S_OK, spEx->SetMediaType(&mt));
    EXPECT_TRUE(Contains(capture.Text(), L"(CMemoryAllocatorT<>) IMemAllocatorEx::SetMediaType() [allocator " +
                                             Ptr(spAlloc.p) + L"]\n"));
    EXPECT_TRUE(Contains(capture.Text(), L"### (CMemoryAllocatorT<>) IMemAllocatorEx::SetMediaType(): change old size 1000 to new size 3000\n"))
        << capture.Text().c_str();
    ALLOCATOR_PROPERTIES props = {};
    ASSERT_EQ(S_OK, spAlloc->GetProperties(&props));
    EXPECT_EQ(3000, props.cbBuffer);

    ASSERT_EQ(S_OK, spAlloc->Commit());
    CComPtr<IMediaSample> sp1, sp2, sp3;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp1.p, nullptr, nullptr, 0));
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp2.p, nullptr, nullptr, 0));
    EXPECT_EQ(3000, sp1->GetSize());
    AM_MEDIA_TYPE* pmt = nullptr;
    ASSERT_EQ(S_OK, sp1->GetMediaType(&pmt));
    ASSERT_NE(nullptr, pmt);
    EXPECT_TRUE(MTIsEqual(pmt, &mt));
    MTDelete(pmt);
    EXPECT_EQ(S_FALSE, sp2->GetMediaType(&pmt));
    EXPECT_EQ(nullptr, pmt);
    sp1.Release();
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp3.p, nullptr, nullptr, 0));
    EXPECT_EQ(S_FALSE, sp3->GetMediaType(&pmt));

    // A smaller type keeps the size.
    capture.Clear();
    CMType small = VideoType(10);
    ASSERT_EQ(S_OK, spEx->SetMediaType(&small));
    EXPECT_TRUE(Contains(capture.Text(), L"### (CMemoryAllocatorT<>) IMemAllocatorEx::SetMediaType(): old size 3000 > new size 10\n"))
        << capture.Text().c_str();
    sp2.Release();
    sp3.Release();
    EXPECT_EQ(S_OK, spAlloc->Decommit());
}

TEST(AllocatorMediaTypeTest, SizeRaisedWhileCommittedWaitsForTheNextCommit)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    CComPtr<IMemAllocatorEx> spEx;
    ASSERT_EQ(S_OK, spAlloc->QueryInterface(IID_IMemAllocatorEx, reinterpret_cast<void**>(&spEx.p)));
    ASSERT_EQ(S_OK, SetProps(spAlloc, 2, 1000));
    ASSERT_EQ(S_OK, spAlloc->Commit());
    CComPtr<IMediaSample> spOut;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&spOut.p, nullptr, nullptr, 0));

    CTraceCapture capture;
    CMType mt = VideoType(5000);
    ASSERT_EQ(S_OK, spEx->SetMediaType(&mt));
    EXPECT_TRUE(Contains(capture.Text(), L"change old size 1000 to new size 5000\n")) << capture.Text().c_str();
    // The buffers of this commit were carved for 1000 bytes: nothing may
    // claim more.
    ALLOCATOR_PROPERTIES props = {};
    ASSERT_EQ(S_OK, spAlloc->GetProperties(&props));
    EXPECT_EQ(1000, props.cbBuffer);
    CComPtr<IMediaSample> spNew;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&spNew.p, nullptr, nullptr, 0));
    EXPECT_EQ(1000, spNew->GetSize());
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, spNew->SetActualDataLength(5000));
    AM_MEDIA_TYPE* pmt = nullptr;
    EXPECT_EQ(S_OK, spNew->GetMediaType(&pmt));
    MTDelete(pmt);

    ASSERT_EQ(S_OK, spAlloc->Decommit());
    spOut.Release();
    spNew.Release();
    ASSERT_EQ(S_OK, spAlloc->GetProperties(&props));
    EXPECT_EQ(5000, props.cbBuffer);
    ASSERT_EQ(S_OK, spAlloc->Commit());
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&spNew.p, nullptr, nullptr, 0));
    EXPECT_EQ(5000, spNew->GetSize());
    BYTE* pb = nullptr;
    spNew->GetPointer(&pb);
    memset(pb, 0x5A, 5000);
    spNew.Release();
    EXPECT_EQ(S_OK, spAlloc->Decommit());
}

// ---- Notify callback ----------------------------------------------------------------------

class CNotify : public IMemAllocatorNotifyCallbackTemp
{
public:
    std::function<void()> m_onRelease;
    LONG m_nCalls = 0;
    LONG m_nRef = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, __uuidof(IMemAllocatorNotifyCallbackTemp)))
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_nRef); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_nRef); }
    STDMETHODIMP NotifyRelease() override
    {
        ++m_nCalls;
        if (m_onRelease)
            m_onRelease();
        return S_OK;
    }
};

TEST(AllocatorNotifyTest, ReturnedBufferIsAnnouncedAndUsableFromTheCallback)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    CComPtr<IMemAllocatorCallbackTemp> spCb;
    ASSERT_EQ(S_OK, spAlloc->QueryInterface(__uuidof(IMemAllocatorCallbackTemp), reinterpret_cast<void**>(&spCb.p)));
    ASSERT_EQ(S_OK, SetProps(spAlloc, 1, 64));
    CNotify notify;
    CTraceCapture capture;
    ASSERT_EQ(S_OK, spCb->SetNotify(&notify));
    EXPECT_EQ(2, notify.m_nRef);
    wchar_t szLine[128];
    _snwprintf(szLine, 128, L"(CMemoryAllocatorT<>) IMemAllocatorCallbackTemp::SetNotify( 0x%08X ) [allocator ",
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(&notify)));
    szLine[127] = 0;
    EXPECT_TRUE(Contains(capture.Text(), szLine)) << capture.Text().c_str();

    ASSERT_EQ(S_OK, spAlloc->Commit());
    // From the callback, on the releasing thread: the buffer is already
    // free, and it can be taken again at once.
    LONG nFreeInCallback = -1;
    CComPtr<IMediaSample> spAgain;
    HRESULT hrAgain = c_hrUnset;
    notify.m_onRelease = [&] {
        spCb->GetFreeCount(&nFreeInCallback);
        hrAgain = spAlloc->GetBuffer(&spAgain.p, nullptr, nullptr, AM_GBF_NOWAIT);
    };
    CComPtr<IMediaSample> sp;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp.p, nullptr, nullptr, 0));
    EXPECT_EQ(0, notify.m_nCalls);
    sp.Release();
    EXPECT_EQ(1, notify.m_nCalls);
    EXPECT_EQ(1, nFreeInCallback);
    EXPECT_EQ(S_OK, hrAgain);
    notify.m_onRelease = nullptr;
    spAgain.Release();
    EXPECT_EQ(2, notify.m_nCalls);
    EXPECT_EQ(S_OK, spAlloc->GetBuffer(&sp.p, nullptr, nullptr, 0));
    sp.Release();

    EXPECT_EQ(S_OK, spCb->SetNotify(nullptr));
    EXPECT_EQ(1, notify.m_nRef);
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp.p, nullptr, nullptr, 0));
    sp.Release();
    EXPECT_EQ(3, notify.m_nCalls);
    EXPECT_EQ(S_OK, spAlloc->Decommit());
}

TEST(AllocatorNotifyTest, CommitFromTheCallbackAfterADecommitKeepsTheStorageWhole)
{
    CComPtr<IMemAllocator> spAlloc = NewAllocator();
    CComPtr<IMemAllocatorCallbackTemp> spCb;
    ASSERT_EQ(S_OK, spAlloc->QueryInterface(__uuidof(IMemAllocatorCallbackTemp), reinterpret_cast<void**>(&spCb.p)));
    ASSERT_EQ(S_OK, SetProps(spAlloc, 2, 64));
    CNotify notify;
    ASSERT_EQ(S_OK, spCb->SetNotify(&notify));
    ASSERT_EQ(S_OK, spAlloc->Commit());
    CComPtr<IMediaSample> sp;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp.p, nullptr, nullptr, 0));
    ASSERT_EQ(S_OK, spAlloc->Decommit());
    HRESULT hrCommit = c_hrUnset;
    notify.m_onRelease = [&] { hrCommit = spAlloc->Commit(); };
    CTraceCapture capture;
    sp.Release();
    EXPECT_EQ(S_OK, hrCommit);
    EXPECT_FALSE(Contains(capture.Text(), L"ASSERT")) << capture.Text().c_str();
    notify.m_onRelease = nullptr;
    CComPtr<IMediaSample> sp2;
    EXPECT_EQ(S_OK, spAlloc->GetBuffer(&sp.p, nullptr, nullptr, AM_GBF_NOWAIT));
    EXPECT_EQ(S_OK, spAlloc->GetBuffer(&sp2.p, nullptr, nullptr, AM_GBF_NOWAIT));
    sp.Release();
    sp2.Release();
    EXPECT_EQ(S_OK, spCb->SetNotify(nullptr));
    EXPECT_EQ(S_OK, spAlloc->Decommit());
}

// ---- Virtual memory block ----------------------------------------------------------------------

TEST(VAllocTest, AllocKeepsOrReplacesTheBlock)
{
    const SIZE_T cbGran = SystemAllocationGranularity();
    CTraceCapture capture;
    {
        CVAlloc block;
        EXPECT_EQ(nullptr, block.GetMemory());
        ASSERT_TRUE(block.Alloc(1000, TRUE));
        ASSERT_NE(nullptr, block.GetMemory());
        EXPECT_EQ(cbGran, block.GetSize());
        memset(block.GetMemory(), 1, block.GetSize());
        void* pFirst = block.GetMemory();
        // Fits the rounded capacity: kept.
        ASSERT_TRUE(block.Alloc(cbGran, TRUE));
        EXPECT_EQ(pFirst, block.GetMemory());
        EXPECT_EQ(cbGran, block.GetSize());
        // Larger: a new block.
        ASSERT_TRUE(block.Alloc(cbGran + 1, TRUE));
        EXPECT_EQ(2 * cbGran, block.GetSize());
        // Without rounding the exact size, and 0 becomes 1.
        ASSERT_TRUE(block.Alloc(0, FALSE));
        EXPECT_EQ(1u, block.GetSize());
        ASSERT_NE(nullptr, block.GetMemory());
        *block.As<BYTE>() = 7;
        block.Free();
        EXPECT_EQ(nullptr, block.GetMemory());
        EXPECT_EQ(0u, block.GetSize());
        // Nothing held: rounding never keeps a block that is not there.
        ASSERT_TRUE(block.Alloc(0, TRUE));
        EXPECT_NE(nullptr, block.GetMemory());
    }
    const std::wstring text = capture.Text();
    EXPECT_TRUE(Contains(text, L"CVAlloc::Alloc( 1000 ): pMemory=")) << text.c_str();
    EXPECT_TRUE(Contains(text, L"CVAlloc::Free(): pMemory=")) << text.c_str();
}

TEST(VAllocTest, FailureIsReportedWithTheMemoryStatus)
{
    CTraceCapture capture;
    CVAlloc block;
    const SIZE_T cbHuge = static_cast<SIZE_T>(-1) - 0x1000000;
    EXPECT_FALSE(block.Alloc(cbHuge, FALSE));
    EXPECT_EQ(nullptr, block.GetMemory());
    EXPECT_TRUE(Contains(capture.Text(), L"): VirtualAlloc() FAILED. In use ")) << capture.Text().c_str();

    CTraceCapture quiet;
    CVAlloc silent(false);
    EXPECT_FALSE(silent.Alloc(cbHuge, FALSE));
    ASSERT_TRUE(silent.Alloc(100, FALSE));
    EXPECT_EQ(L"", quiet.Text());
}
} // namespace
