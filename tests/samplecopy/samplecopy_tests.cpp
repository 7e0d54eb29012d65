// Snapshots of sample properties carried between real samples of the
// platform's allocator.
#include <windows.h>
#include <dshow.h>

#include <dshowx/DSWrappers.h>

#include <gtest/gtest.h>

#include <vector>

#include "support/ComTest.h"
#include "support/OddSample.h"
#include "support/TraceCapture.h"

namespace
{
class SampleCopy : public CComTest
{
protected:
    void SetUp() override
    {
        m_spSrcAlloc = Allocator(2, 4096);
        m_spDstAlloc = Allocator(2, 4096);
    }
    void TearDown() override
    {
        for (IMemAllocator* p : {static_cast<IMemAllocator*>(m_spSrcAlloc), static_cast<IMemAllocator*>(m_spDstAlloc)})
            if (p)
                p->Decommit();
        m_spSrcAlloc.Release();
        m_spDstAlloc.Release();
    }
    static CComPtr<IMemAllocator> Allocator(long cBuffers, long cbBuffer)
    {
        CComPtr<IMemAllocator> sp;
        CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                         reinterpret_cast<void**>(&sp));
        ALLOCATOR_PROPERTIES want = {cBuffers, cbBuffer, 1, 0}, got = {};
        sp->SetProperties(&want, &got);
        sp->Commit();
        return sp;
    }
    static CComPtr<IMediaSample> Sample(IMemAllocator* pAlloc)
    {
        CComPtr<IMediaSample> sp;
        EXPECT_EQ(S_OK, pAlloc->GetBuffer(&sp, nullptr, nullptr, 0));
        return sp;
    }
    CComPtr<IMemAllocator> m_spSrcAlloc, m_spDstAlloc;
};

BYTE* Data(IMediaSample* p)
{
    BYTE* pb = nullptr;
    p->GetPointer(&pb);
    return pb;
}
} // namespace

TEST_F(SampleCopy, EverythingCarriesOverBetweenRealSamples)
{
    CComPtr<IMediaSample> spSrc = Sample(m_spSrcAlloc), spDst = Sample(m_spDstAlloc);
    REFERENCE_TIME tS = 1000, tE = 2000;
    LONGLONG mS = 5, mE = 9;
    spSrc->SetTime(&tS, &tE);
    spSrc->SetMediaTime(&mS, &mE);
    spSrc->SetSyncPoint(TRUE);
    spSrc->SetPreroll(FALSE);
    spSrc->SetDiscontinuity(TRUE);
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    spSrc->SetMediaType(&mt);
    for (int i = 0; i < 300; ++i)
        Data(spSrc)[i] = static_cast<BYTE>(i * 3);
    spSrc->SetActualDataLength(300);

    CSampleT<CSampleCopier> snapshot;
    ASSERT_EQ(S_OK, snapshot.Copy(spSrc, spDst, PM_ALL));
    REFERENCE_TIME t1 = 0, t2 = 0;
    EXPECT_EQ(S_OK, spDst->GetTime(&t1, &t2));
    EXPECT_EQ(1000, t1);
    EXPECT_EQ(2000, t2);
    LONGLONG m1 = 0, m2 = 0;
    EXPECT_EQ(S_OK, spDst->GetMediaTime(&m1, &m2));
    EXPECT_EQ(5, m1);
    EXPECT_EQ(9, m2);
    EXPECT_EQ(S_OK, spDst->IsSyncPoint());
    EXPECT_EQ(S_FALSE, spDst->IsPreroll());
    EXPECT_EQ(S_OK, spDst->IsDiscontinuity());
    AM_MEDIA_TYPE* pmt = nullptr;
    ASSERT_EQ(S_OK, spDst->GetMediaType(&pmt));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, pmt->subtype));
    MTDelete(pmt);
    EXPECT_EQ(300, spDst->GetActualDataLength());
    EXPECT_EQ(0, memcmp(Data(spSrc), Data(spDst), 300));
    EXPECT_EQ(PM_START | PM_STOP | PM_MEDIATIME | PM_SYNCPOINT | PM_PREROLL | PM_DISCONTINUITY | PM_TYPEFLAGS |
                  PM_STREAMID | PM_MEDIATYPE | PM_DATA | PM_ACTLEN,
              snapshot.LoadedMask());
}

TEST_F(SampleCopy, PartialLoadsAndSavesFollowTheMasks)
{
    CComPtr<IMediaSample> spSrc = Sample(m_spSrcAlloc), spDst = Sample(m_spDstAlloc);
    CSampleT<CSampleCopier> snapshot;
    CTraceCapture capture;
    EXPECT_EQ(E_FAIL, snapshot.Save(spDst, PM_START)) << "nothing loaded yet";

    REFERENCE_TIME tS = 400;
    spSrc->SetTime(&tS, nullptr);
    EXPECT_EQ(S_FALSE, snapshot.Load(spSrc, PM_START | PM_STOP));
    EXPECT_EQ(PM_START, snapshot.LoadedMask());
    EXPECT_EQ(S_OK, snapshot.Save(spDst, PM_START | PM_STOP));
    REFERENCE_TIME t1 = 0, t2 = 0;
    EXPECT_EQ(VFW_S_NO_STOP_TIME, spDst->GetTime(&t1, &t2));
    EXPECT_EQ(400, t1);
    EXPECT_EQ(S_FALSE, snapshot.Save(spDst, PM_MEDIATIME)) << "disjoint from what was loaded";

    REFERENCE_TIME tE = 400;
    spSrc->SetTime(&tS, &tE);
    EXPECT_EQ(S_OK, snapshot.Load(spSrc, PM_START | PM_STOP));
    EXPECT_EQ(401, snapshot.StopTime()) << "an empty interval becomes one unit long";

    spSrc->SetTime(nullptr, nullptr);
    spSrc->SetMediaTime(nullptr, nullptr);
    EXPECT_EQ(E_FAIL, snapshot.Load(spSrc, PM_START | PM_MEDIATIME));
    EXPECT_TRUE(Traced(capture, L"###Err### CSampleT::Load(): Can't load wanted (0x5) properties\n"));
    EXPECT_EQ(E_INVALIDARG, snapshot.Load(nullptr, PM_ALL));
    EXPECT_EQ(E_INVALIDARG, snapshot.Load(spSrc, 0));
}

TEST_F(SampleCopy, CopierRefusesBuffersThatCannotHoldTheData)
{
    CComPtr<IMemAllocator> spSmall = Allocator(1, 100);
    CComPtr<IMediaSample> spSrc = Sample(m_spSrcAlloc), spDst = Sample(spSmall);
    memset(Data(spSrc), 0x77, 4096);
    memset(Data(spDst), 0x11, 100);
    spSrc->SetActualDataLength(200);
    spDst->SetActualDataLength(7);
    CSampleT<CSampleCopier> snapshot;
    CTraceCapture capture;
    EXPECT_EQ(E_FAIL, snapshot.Copy(spSrc, spDst, PM_DATA | PM_ACTLEN));
    EXPECT_TRUE(Traced(capture, L"###Err### CSampleCopier::CopyBuffer(): GetSize()=100, lActual=200\n"));
    EXPECT_EQ(7, spDst->GetActualDataLength());
    EXPECT_EQ(std::vector<BYTE>(100, 0x11), std::vector<BYTE>(Data(spDst), Data(spDst) + 100));

    // A source that claims more than its buffer is refused when loaded.
    COddSample liar;
    liar.m_buffer.assign(64, 0x42);
    liar.m_cbActual = 65;
    EXPECT_EQ(E_FAIL, snapshot.Copy(&liar, spDst, PM_DATA | PM_ACTLEN));
    EXPECT_TRUE(Traced(capture, L"###Err### CSampleT::Load(): GetActualDataLength()=65, cbBuf=64\n"));
    liar.m_cbActual = -1;
    EXPECT_EQ(E_FAIL, snapshot.Load(&liar, PM_ACTLEN));

    // Data without its length is not a copy the copier can make.
    CSampleCopier copier;
    EXPECT_EQ(E_INVALIDARG, copier.CopyBuffer(spDst, Data(spSrc), 10, PM_DATA, 4096));
    EXPECT_EQ(S_OK, copier.CopyBuffer(spDst, nullptr, 0, PM_ACTLEN, 0));
    EXPECT_EQ(0, spDst->GetActualDataLength());
}

TEST_F(SampleCopy, SamplesWithoutExtendedPropertiesAreSkippedOnLoadAndRefusedOnSave)
{
    COddSample noProps;
    noProps.m_buffer.assign(16, 1);
    CSampleT<CSampleCopier> snapshot;
    EXPECT_EQ(S_FALSE, snapshot.Load(&noProps, PM_SYNCPOINT | PM_TYPEFLAGS | PM_STREAMID));
    EXPECT_EQ(PM_SYNCPOINT, snapshot.LoadedMask());

    CComPtr<IMediaSample> spSrc = Sample(m_spSrcAlloc);
    ASSERT_EQ(S_OK, snapshot.Load(spSrc, PM_TYPEFLAGS | PM_SYNCPOINT));
    CTraceCapture capture;
    EXPECT_EQ(E_NOINTERFACE, snapshot.Save(&noProps, PM_ALL));
    EXPECT_EQ(0u, capture.Text().find(L"###Err### CSampleT::Save(): QI( IMediaSample2 ) FAILED\n"));
}
