// The framework's media samples: the published IMediaSample semantics,
// checked side by side with the platform's own allocator's samples, then
// what only ours defines (IMediaSample2 properties, refusals, traces).
#include "AllocTestSupport.h"

#include "support/TraceCapture.h"

#include <uuids.h>

namespace
{
// A committed allocator of one kind with one sample out.
struct CSampleSource
{
    CComPtr<IMemAllocator> spAlloc;
    CComPtr<IMediaSample> spSample;

    HRESULT Open(bool bPlatform, LONG cbBuffer = 1000)
    {
        HRESULT hr = bPlatform ? CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                                  __uuidof(IMemAllocator), reinterpret_cast<void**>(&spAlloc.p))
                               : CreateMemoryAllocator(&spAlloc.p, nullptr);
        if (FAILED(hr))
            return hr;
        if (FAILED(hr = SetProps(spAlloc, 2, cbBuffer, 1, 0)))
            return hr;
        if (FAILED(hr = spAlloc->Commit()))
            return hr;
        return spAlloc->GetBuffer(&spSample.p, nullptr, nullptr, 0);
    }
    ~CSampleSource()
    {
        spSample.Release();
        if (spAlloc != nullptr)
            spAlloc->Decommit();
    }
};

class SampleSideBySideTest : public testing::TestWithParam<bool>
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, m_source.Open(GetParam())); }
    IMediaSample* Sample() { return m_source.spSample; }

    CComInit m_com;
    CSampleSource m_source;
};

TEST_P(SampleSideBySideTest, Times)
{
    IMediaSample* p = Sample();
    REFERENCE_TIME tS = -7, tE = -7;
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, p->GetTime(&tS, &tE));
    REFERENCE_TIME t = 400000;
    ASSERT_EQ(S_OK, p->SetTime(&t, nullptr));
    EXPECT_EQ(VFW_S_NO_STOP_TIME, p->GetTime(&tS, &tE));
    EXPECT_EQ(t, tS);
    EXPECT_EQ(t + 1, tE);
    REFERENCE_TIME t1 = 100, t2 = 200;
    ASSERT_EQ(S_OK, p->SetTime(&t1, &t2));
    EXPECT_EQ(S_OK, p->GetTime(&tS, &tE));
    EXPECT_EQ(100, tS);
    EXPECT_EQ(200, tE);
    // Equal start and stop are accepted.
    ASSERT_EQ(S_OK, p->SetTime(&t1, &t1));
    EXPECT_EQ(S_OK, p->GetTime(&tS, &tE));
    EXPECT_EQ(tS, tE);
    ASSERT_EQ(S_OK, p->SetTime(nullptr, nullptr));
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, p->GetTime(&tS, &tE));
}

TEST_P(SampleSideBySideTest, MediaTimes)
{
    IMediaSample* p = Sample();
    LONGLONG mS = -7, mE = -7;
    EXPECT_EQ(VFW_E_MEDIA_TIME_NOT_SET, p->GetMediaTime(&mS, &mE));
    LONGLONG m1 = 10, m2 = 20;
    ASSERT_EQ(S_OK, p->SetMediaTime(&m1, &m2));
    EXPECT_EQ(S_OK, p->GetMediaTime(&mS, &mE));
    EXPECT_EQ(10, mS);
    EXPECT_EQ(20, mE);
    ASSERT_EQ(S_OK, p->SetMediaTime(nullptr, nullptr));
    EXPECT_EQ(VFW_E_MEDIA_TIME_NOT_SET, p->GetMediaTime(&mS, &mE));
}

TEST_P(SampleSideBySideTest, Flags)
{
    IMediaSample* p = Sample();
    struct Flag
    {
        HRESULT (STDMETHODCALLTYPE IMediaSample::*pfnIs)();
        HRESULT (STDMETHODCALLTYPE IMediaSample::*pfnSet)(BOOL);
    };
    const Flag flags[] = {{&IMediaSample::IsSyncPoint, &IMediaSample::SetSyncPoint},
                          {&IMediaSample::IsPreroll, &IMediaSample::SetPreroll},
                          {&IMediaSample::IsDiscontinuity, &IMediaSample::SetDiscontinuity}};
    for (const Flag& f : flags)
    {
        EXPECT_EQ(S_FALSE, (p->*f.pfnIs)());
        EXPECT_EQ(S_OK, (p->*f.pfnSet)(TRUE));
        EXPECT_EQ(S_OK, (p->*f.pfnIs)());
    }
    // Each flag is its own bit.
    EXPECT_EQ(S_OK, p->SetPreroll(FALSE));
    EXPECT_EQ(S_OK, p->IsSyncPoint());
    EXPECT_EQ(S_FALSE, p->IsPreroll());
    EXPECT_EQ(S_OK, p->IsDiscontinuity());
}

TEST_P(SampleSideBySideTest, ActualLengthStaysWithinTheBuffer)
{
    IMediaSample* p = Sample();
    const LONG cb = p->GetSize();
    EXPECT_EQ(1000, cb);
    BYTE* pb = nullptr;
    ASSERT_EQ(S_OK, p->GetPointer(&pb));
    ASSERT_NE(nullptr, pb);
    EXPECT_EQ(S_OK, p->SetActualDataLength(cb));
    EXPECT_EQ(cb, p->GetActualDataLength());
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, p->SetActualDataLength(cb + 1));
    EXPECT_EQ(cb, p->GetActualDataLength());
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, p->SetActualDataLength(-1));
    EXPECT_EQ(cb, p->GetActualDataLength());
    EXPECT_EQ(S_OK, p->SetActualDataLength(0));
    EXPECT_EQ(0, p->GetActualDataLength());
}

TEST_P(SampleSideBySideTest, MediaTypeIsCopiedInAndOut)
{
    IMediaSample* p = Sample();
    AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(S_FALSE, p->GetMediaType(&pmt));
    EXPECT_EQ(nullptr, pmt);
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    mt.lSampleSize = 4;
    ASSERT_EQ(S_OK, p->SetMediaType(&mt));
    mt.lSampleSize = 8; // the sample holds its own copy
    ASSERT_EQ(S_OK, p->GetMediaType(&pmt));
    ASSERT_NE(nullptr, pmt);
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_PCM, pmt->subtype));
    EXPECT_EQ(4u, pmt->lSampleSize);
    MTDelete(pmt);
    ASSERT_EQ(S_OK, p->SetMediaType(nullptr));
    EXPECT_EQ(S_FALSE, p->GetMediaType(&pmt));
    EXPECT_EQ(nullptr, pmt);
}

TEST_P(SampleSideBySideTest, PropertiesRecordDescribesTheSample)
{
    IMediaSample* p = Sample();
    CComPtr<IMediaSample2> sp2;
    ASSERT_EQ(S_OK, p->QueryInterface(__uuidof(IMediaSample2), reinterpret_cast<void**>(&sp2.p)));
    REFERENCE_TIME t1 = 5, t2 = 9;
    p->SetTime(&t1, &t2);
    p->SetSyncPoint(TRUE);
    p->SetActualDataLength(77);
    AM_SAMPLE2_PROPERTIES props;
    memset(&props, 0xCD, sizeof(props));
    ASSERT_EQ(S_OK, sp2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)));
    EXPECT_EQ(sizeof(props), props.cbData);
    EXPECT_EQ(static_cast<DWORD>(AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID), props.dwSampleFlags);
    EXPECT_EQ(77, props.lActual);
    EXPECT_EQ(5, props.tStart);
    EXPECT_EQ(9, props.tStop);
    EXPECT_EQ(nullptr, props.pMediaType);
    BYTE* pb = nullptr;
    p->GetPointer(&pb);
    EXPECT_EQ(pb, props.pbBuffer);
    EXPECT_EQ(p->GetSize(), props.cbBuffer);
}

TEST_P(SampleSideBySideTest, LastReleaseReturnsTheBuffer)
{
    CComPtr<IMemAllocatorCallbackTemp> spCb;
    if (FAILED(m_source.spAlloc->QueryInterface(__uuidof(IMemAllocatorCallbackTemp), reinterpret_cast<void**>(&spCb.p))))
        GTEST_SKIP() << "no IMemAllocatorCallbackTemp";
    LONG nBefore = -1, nAfter = -1;
    ASSERT_EQ(S_OK, spCb->GetFreeCount(&nBefore));
    m_source.spSample->AddRef();
    EXPECT_EQ(1u, m_source.spSample->Release());
    m_source.spSample.Release();
    ASSERT_EQ(S_OK, spCb->GetFreeCount(&nAfter));
    EXPECT_EQ(nBefore + 1, nAfter);
}

INSTANTIATE_TEST_SUITE_P(OursAndPlatform, SampleSideBySideTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Platform" : "Ours"; });

// ---- Ours only ---------------------------------------------------------------------------

class SampleTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, m_source.Open(false));
        ASSERT_EQ(S_OK, Sample()->QueryInterface(__uuidof(IMediaSample2), reinterpret_cast<void**>(&m_sp2.p)));
    }
    void TearDown() override { m_sp2.Release(); }
    IMediaSample* Sample() { return m_source.spSample; }

    AM_SAMPLE2_PROPERTIES Read()
    {
        AM_SAMPLE2_PROPERTIES props = {};
        EXPECT_EQ(S_OK, m_sp2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)));
        return props;
    }
    HRESULT Write(const AM_SAMPLE2_PROPERTIES& props, DWORD cb = sizeof(AM_SAMPLE2_PROPERTIES))
    {
        return m_sp2->SetProperties(cb, reinterpret_cast<const BYTE*>(&props));
    }

    CSampleSource m_source;
    CComPtr<IMediaSample2> m_sp2;
};

TEST_F(SampleTest, BadTimesAreRefusedButBadMediaTimesOnlyTraced)
{
    IMediaSample* p = Sample();
    REFERENCE_TIME t1 = 10, t2 = 20, tS = 0, tE = 0;
    ASSERT_EQ(S_OK, p->SetTime(&t1, &t2));
    CTraceCapture capture;
    REFERENCE_TIME t100 = 100, t50 = 50;
    EXPECT_EQ(E_INVALIDARG, p->SetTime(&t100, &t50));
    EXPECT_TRUE(Contains(capture.Text(), L"###Err### (CMediaSample) IMediaSample::SetTime( tS=")) << capture.Text().c_str();
    EXPECT_EQ(S_OK, p->GetTime(&tS, &tE));
    EXPECT_EQ(10, tS);
    EXPECT_EQ(20, tE);
    EXPECT_EQ(E_INVALIDARG, p->GetTime(nullptr, &tE));
    EXPECT_EQ(E_INVALIDARG, p->GetTime(&tS, nullptr));

    LONGLONG m100 = 100, m50 = 50, mS = 0, mE = 0;
    EXPECT_EQ(S_OK, p->SetMediaTime(&m100, &m50));
    EXPECT_TRUE(Contains(capture.Text(), L"###Err### (CMediaSample) SetMediaTime(): *pTimeEnd=50 < *pTimeStart=100\n"))
        << capture.Text().c_str();
    EXPECT_EQ(S_OK, p->GetMediaTime(&mS, &mE));
    EXPECT_EQ(100, mS);
    EXPECT_EQ(50, mE);
    EXPECT_EQ(S_OK, p->SetMediaTime(&m100, &m100));
    EXPECT_TRUE(Contains(capture.Text(), L"### (CMediaSample) SetMediaTime(): *pTimeEnd == *pTimeStart = 100\n"))
        << capture.Text().c_str();
    EXPECT_EQ(E_INVALIDARG, p->SetMediaTime(&m100, nullptr));
    EXPECT_EQ(E_INVALIDARG, p->GetMediaTime(&mS, nullptr));
}

TEST_F(SampleTest, PointerAndTypeArguments)
{
    IMediaSample* p = Sample();
    EXPECT_EQ(E_POINTER, p->GetPointer(nullptr));
    EXPECT_EQ(E_POINTER, p->GetMediaType(nullptr));
    CTraceCapture capture;
    EXPECT_EQ(S_OK, p->SetMediaType(nullptr));
    EXPECT_FALSE(Contains(capture.Text(), L"SetMediaType( NULL )"));
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
    ASSERT_EQ(S_OK, p->SetMediaType(&mt));
    EXPECT_TRUE(Contains(capture.Text(), L"(CMediaSample) IMediaSample::SetMediaType()\n"));
    ASSERT_EQ(S_OK, p->SetMediaType(nullptr));
    EXPECT_TRUE(Contains(capture.Text(), L"(CMediaSample) IMediaSample::SetMediaType( NULL )\n"));
}

TEST_F(SampleTest, GetPropertiesCopiesWhatFits)
{
    IMediaSample* p = Sample();
    LONGLONG m1 = 1, m2 = 2;
    p->SetMediaTime(&m1, &m2);
    p->SetDiscontinuity(TRUE);
    BYTE buf[200];
    memset(buf, 0xCD, sizeof(buf));
    ASSERT_EQ(S_OK, m_sp2->GetProperties(sizeof(buf), buf));
    AM_SAMPLE2_PROPERTIES props;
    memcpy(&props, buf, sizeof(props));
    EXPECT_EQ(sizeof(AM_SAMPLE2_PROPERTIES), props.cbData);
    EXPECT_EQ(0xCD, buf[sizeof(AM_SAMPLE2_PROPERTIES)]);
    // Media times are no AM_SAMPLE2_PROPERTIES flag.
    EXPECT_EQ(static_cast<DWORD>(AM_SAMPLE_DATADISCONTINUITY), props.dwSampleFlags);

    memset(buf, 0xCD, sizeof(buf));
    ASSERT_EQ(S_OK, m_sp2->GetProperties(12, buf));
    memcpy(&props, buf, 12);
    EXPECT_EQ(12u, props.cbData);
    EXPECT_EQ(0xCD, buf[12]);
    EXPECT_EQ(S_OK, m_sp2->GetProperties(0, nullptr));
    EXPECT_EQ(E_POINTER, m_sp2->GetProperties(8, nullptr));

    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
    ASSERT_EQ(S_OK, p->SetMediaType(&mt));
    props = Read();
    ASSERT_NE(nullptr, props.pMediaType);
    EXPECT_TRUE(MTIsEqual(props.pMediaType, &mt));
    EXPECT_NE(0u, props.dwSampleFlags & AM_SAMPLE_TYPECHANGED);
}

struct RefusalRow
{
    const char* pszWhat;
    DWORD cb;
    void (*pfnEdit)(AM_SAMPLE2_PROPERTIES& props);
};

TEST_F(SampleTest, SetPropertiesRefusesAndChangesNothing)
{
    const RefusalRow rows[] = {
        {"flag 0x20 within 12 bytes", 12, [](AM_SAMPLE2_PROPERTIES& p) { p.dwSampleFlags = 0x20; }},
        {"flag 0x200", sizeof(AM_SAMPLE2_PROPERTIES), [](AM_SAMPLE2_PROPERTIES& p) { p.dwSampleFlags |= 0x200; }},
        {"start without any stop", 16, [](AM_SAMPLE2_PROPERTIES& p) { p.dwSampleFlags = AM_SAMPLE_TIMEVALID; }},
        {"other buffer", sizeof(AM_SAMPLE2_PROPERTIES), [](AM_SAMPLE2_PROPERTIES& p) { p.pbBuffer += 16; }},
        {"other size", sizeof(AM_SAMPLE2_PROPERTIES), [](AM_SAMPLE2_PROPERTIES& p) { p.cbBuffer = 999; }},
        {"length above given size", sizeof(AM_SAMPLE2_PROPERTIES),
         [](AM_SAMPLE2_PROPERTIES& p) {
             p.cbBuffer = 0;
             p.lActual = 1;
         }},
        {"length above the real buffer", 16, [](AM_SAMPLE2_PROPERTIES& p) { p.lActual = 1001; }},
        {"negative length", 16, [](AM_SAMPLE2_PROPERTIES& p) { p.lActual = -1; }},
        {"record larger than ours", sizeof(AM_SAMPLE2_PROPERTIES) + 4, [](AM_SAMPLE2_PROPERTIES&) {}},
    };
    IMediaSample* p = Sample();
    p->SetActualDataLength(10);
    p->SetPreroll(TRUE);
    const AM_SAMPLE2_PROPERTIES before = Read();
    for (const RefusalRow& row : rows)
    {
        SCOPED_TRACE(row.pszWhat);
        BYTE buf[sizeof(AM_SAMPLE2_PROPERTIES) + 8] = {};
        AM_SAMPLE2_PROPERTIES props = before;
        props.cbData = row.cb;
        row.pfnEdit(props);
        memcpy(buf, &props, sizeof(props));
        EXPECT_EQ(E_INVALIDARG, m_sp2->SetProperties(row.cb, buf));
        const AM_SAMPLE2_PROPERTIES after = Read();
        EXPECT_EQ(0, memcmp(&before, &after, sizeof(before)));
    }
    // Too short to say anything: accepted, nothing changes.
    AM_SAMPLE2_PROPERTIES props = before;
    props.dwSampleFlags = 0x20;
    EXPECT_EQ(S_OK, Write(props, 4));
    const AM_SAMPLE2_PROPERTIES after = Read();
    EXPECT_EQ(0, memcmp(&before, &after, sizeof(before)));
    EXPECT_EQ(E_POINTER, m_sp2->SetProperties(8, nullptr));
}

TEST_F(SampleTest, SetPropertiesAppliesGivenFields)
{
    IMediaSample* p = Sample();
    LONGLONG m1 = 1, m2 = 2;
    p->SetMediaTime(&m1, &m2);
    AM_SAMPLE2_PROPERTIES props = Read();
    props.dwTypeSpecificFlags = 0x1234;
    props.dwSampleFlags = AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID | AM_SAMPLE_FLUSH_ON_PAUSE;
    props.lActual = 1000;
    props.tStart = 30;
    props.tStop = 40;
    props.dwStreamId = 7;
    props.pbBuffer = nullptr; // zero means "any" for both buffer fields
    props.cbBuffer = 0;
    props.lActual = 0;
    CTraceCapture capture;
    ASSERT_EQ(S_OK, Write(props));
    const AM_SAMPLE2_PROPERTIES after = Read();
    EXPECT_EQ(0x1234u, after.dwTypeSpecificFlags);
    EXPECT_EQ(props.dwSampleFlags, after.dwSampleFlags);
    EXPECT_EQ(30, after.tStart);
    EXPECT_EQ(40, after.tStop);
    EXPECT_EQ(7u, after.dwStreamId);
    EXPECT_EQ(S_OK, p->IsSyncPoint());
    REFERENCE_TIME tS = 0, tE = 0;
    EXPECT_EQ(S_OK, p->GetTime(&tS, &tE));
    EXPECT_EQ(40, tE);
    // The media times survive: their bit is never taken from the record.
    EXPECT_EQ(S_OK, p->GetMediaTime(&m1, &m2));
    EXPECT_EQ(2, m2);
    (void)capture;

    // A short record changes only what it holds.
    AM_SAMPLE2_PROPERTIES shortRec = {};
    shortRec.cbData = 16;
    shortRec.dwTypeSpecificFlags = 0x55;
    shortRec.dwSampleFlags = AM_SAMPLE_PREROLL | AM_SAMPLE_STOPVALID;
    shortRec.lActual = 1000;
    ASSERT_EQ(S_OK, Write(shortRec));
    EXPECT_EQ(1000, p->GetActualDataLength());
    EXPECT_EQ(S_OK, p->IsPreroll());
    EXPECT_EQ(7u, Read().dwStreamId);
}

TEST_F(SampleTest, SetPropertiesMediaType)
{
    IMediaSample* p = Sample();
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_RGB24);
    AM_SAMPLE2_PROPERTIES props = Read();

    // A type without the flag is ignored.
    CTraceCapture capture;
    props.pMediaType = &mt;
    ASSERT_EQ(S_OK, Write(props));
    EXPECT_TRUE(Contains(capture.Text(), L"### (CMediaSample) IMediaSample2::SetProperties(): mediatype without AM_SAMPLE_TYPECHANGED flag is set - ignore it\n"))
        << capture.Text().c_str();
    AM_MEDIA_TYPE* pmt = nullptr;
    EXPECT_EQ(S_FALSE, p->GetMediaType(&pmt));

    // With the flag it is attached as a copy.
    props.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
    ASSERT_EQ(S_OK, Write(props));
    ASSERT_EQ(S_OK, p->GetMediaType(&pmt));
    EXPECT_TRUE(MTIsEqual(pmt, &mt));
    MTDelete(pmt);
    EXPECT_NE(&mt, Read().pMediaType);

    // The flag without a record field keeps the attached type.
    AM_SAMPLE2_PROPERTIES shortRec = Read();
    shortRec.cbData = 12;
    ASSERT_EQ(S_OK, Write(shortRec));
    EXPECT_EQ(S_OK, p->GetMediaType(&pmt));
    MTDelete(pmt);

    // The flag with a null type clears both.
    capture.Clear();
    props.pMediaType = nullptr;
    ASSERT_EQ(S_OK, Write(props));
    EXPECT_TRUE(Contains(capture.Text(), L"###Err### (CMediaSample) IMediaSample2::SetProperties(): AM_SAMPLE_TYPECHANGED flag is set for pProps->pMediaType = NULL, clear flag\n"))
        << capture.Text().c_str();
    EXPECT_EQ(S_FALSE, p->GetMediaType(&pmt));
    EXPECT_EQ(0u, Read().dwSampleFlags & AM_SAMPLE_TYPECHANGED);

    // The flag alone, without a type held, is dropped.
    shortRec.dwSampleFlags = AM_SAMPLE_TYPECHANGED;
    ASSERT_EQ(S_OK, Write(shortRec));
    EXPECT_EQ(0u, Read().dwSampleFlags & AM_SAMPLE_TYPECHANGED);
}
} // namespace
