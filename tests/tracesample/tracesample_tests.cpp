// The sample line, lateness, timecodes, allocators and memory dumps as a
// reader of the trace sees them.
#include <windows.h>
#include <dshow.h>
#include <ksmedia.h>

#include <dshowx/DSFunctions.h>
#include <dshowx/DSTraceSample.h>
#include <dshowx/DSTypes.h>
#include <winapi/ComPtr.h>
#include <winapi/Functions.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ComTest.h"
#include "support/OddSample.h"
#include "support/TraceCapture.h"

namespace
{
std::wstring Ptr(const void* p)
{
    WCHAR sz[32];
    StrFormat(sz, 32, L"0x%p", p);
    return sz;
}

std::wstring Hex8(DWORD dw)
{
    WCHAR sz[16];
    StrFormat(sz, 16, L"%08X", dw);
    return sz;
}

DWORD BitwiseCrc(const BYTE* p, size_t cb)
{
    DWORD crc = 0xFFFFFFFF;
    for (size_t i = 0; i < cb; ++i)
    {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

// Samples from the platform's own memory allocator: real IMediaSample2 objects.
class WineSamples : public CComTest
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                         reinterpret_cast<void**>(&m_spAlloc)));
    }
    void TearDown() override
    {
        if (m_spAlloc)
            m_spAlloc->Decommit();
        m_spAlloc.Release();
    }
    CComPtr<IMediaSample> Sample(long cbBuffer)
    {
        ALLOCATOR_PROPERTIES want = {1, cbBuffer, 1, 0}, got = {};
        CComPtr<IMediaSample> sp;
        EXPECT_EQ(S_OK, m_spAlloc->SetProperties(&want, &got));
        EXPECT_EQ(S_OK, m_spAlloc->Commit());
        EXPECT_EQ(S_OK, m_spAlloc->GetBuffer(&sp, nullptr, nullptr, 0));
        return sp;
    }
    CComPtr<IMemAllocator> m_spAlloc;
};

class CFixedClock : public IReferenceClock
{
public:
    REFERENCE_TIME m_t = 0;
    HRESULT m_hr = S_OK;

    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTime(REFERENCE_TIME* pt) override { return *pt = m_t, m_hr; }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
};

std::wstring OnlyLine(const CTraceCapture& capture)
{
    const std::vector<std::wstring> lines = capture.Lines();
    EXPECT_EQ(1u, lines.size());
    return lines.empty() ? L"" : CTraceCapture::Body(lines[0]);
}
} // namespace

// Every path the processor offers, forced in turn, against the bitwise form
// on every length up to 4,160 at every start offset 0 to 63 (the folding
// paths change strategy at 64, 128 and 256 bytes and on 16-byte tails), and
// on the sizes the sample line uses.
TEST(Crc32, EveryPathAgreesWithBitwiseFormOnEveryLengthAndOffset)
{
    std::vector<BYTE> data(96001 + 64);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i * 7 + (i >> 5) + (i >> 13));
    const size_t c_cbMax = 4160;
    std::vector<DWORD> expected((c_cbMax + 1) * 64);
    for (size_t off = 0; off < 64; ++off)
    {
        // Running state of the bitwise form: one pass per offset gives every length.
        DWORD crc = 0xFFFFFFFF;
        for (size_t cb = 0; cb <= c_cbMax; ++cb)
        {
            expected[off * (c_cbMax + 1) + cb] = ~crc;
            crc ^= data[off + cb];
            for (int k = 0; k < 8; ++k)
                crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
        }
    }
    int nPaths = 0;
    for (ECrcPath ePath : {eCrcPath_Table, eCrcPath_Clmul, eCrcPath_Vclmul256})
    {
        SCOPED_TRACE(static_cast<int>(ePath));
        if (!Crc32_SelectPath(ePath))
        {
            EXPECT_FALSE(Crc32_IsSupported(ePath));
            continue;
        }
        ++nPaths;
        EXPECT_EQ(ePath, Crc32_Path());
        EXPECT_EQ(0xCBF43926u, Crc32("123456789", 9));
        EXPECT_EQ(0x352441C2u, Crc32("abc", 3));
        EXPECT_EQ(0u, Crc32(nullptr, 100));
        int nWrong = 0;
        for (size_t off = 0; off < 64; ++off)
            for (size_t cb = 0; cb <= c_cbMax; ++cb)
                if (Crc32(data.data() + off, cb) != expected[off * (c_cbMax + 1) + cb] && ++nWrong < 5)
                    ADD_FAILURE() << "offset " << off << " length " << cb;
        for (size_t cb : {65536u, 96000u, 96001u})
            for (size_t off : {0u, 1u, 15u, 63u})
                EXPECT_EQ(BitwiseCrc(data.data() + off, cb), Crc32(data.data() + off, cb)) << off << " " << cb;
    }
    Crc32_SelectBest();
    EXPECT_TRUE(Crc32_IsSupported(Crc32_Path()));
    EXPECT_GE(nPaths, 1);
}

TEST_F(WineSamples, FullLineWithTimesFlagsPropertiesAndMemory)
{
    CComPtr<IMediaSample> sp = Sample(4096);
    ASSERT_TRUE(sp);
    BYTE* pb = nullptr;
    ASSERT_EQ(S_OK, sp->GetPointer(&pb));
    for (int i = 0; i < 4096; ++i)
        pb[i] = static_cast<BYTE>(i);
    REFERENCE_TIME tStart = 400000, tStop = 800000;
    LONGLONG llStart = 1, llStop = 2;
    sp->SetTime(&tStart, &tStop);
    sp->SetMediaTime(&llStart, &llStop);
    sp->SetSyncPoint(TRUE);
    sp->SetPreroll(FALSE);
    sp->SetDiscontinuity(FALSE);
    sp->SetActualDataLength(4096);

    CTraceCapture capture;
    Debug_Sample(TRACE_CAT_GENERAL, 0, sp, L"[Spy 1]", true, true);
    EXPECT_EQ(L"[Spy 1] tS=0.040  tE=0.080  mS=1  mE=2  CRC=" + Hex8(Crc32(pb, 4096)) +
                  L" flags={100} TF=0x0 sId=0x0 al=4096 s=4096 p=" + Ptr(pb) + L"\n",
              OnlyLine(capture));

    capture.Clear();
    sp->SetTime(&tStart, nullptr);
    sp->SetMediaTime(nullptr, nullptr);
    Debug_Sample(TRACE_CAT_GENERAL, 2, sp, nullptr, false, false);
    EXPECT_EQ(L"tS=0.040  tE=? (0x40270)  mS/mE=? (0x80040251) flags={100} TF=0x0 sId=0x0\n", OnlyLine(capture));

    capture.Clear();
    sp->SetTime(nullptr, nullptr);
    llStart = llStop = 1234;
    sp->SetMediaTime(&llStart, &llStop);
    Debug_Sample(TRACE_CAT_GENERAL, 2, sp, nullptr, false, false);
    EXPECT_EQ(L"tS/tE=? (0x80040249)  # mS=mE=1 234 flags={100} TF=0x0 sId=0x0\n", OnlyLine(capture));
}

TEST_F(WineSamples, ChecksumCoversActualLengthOrWholeBufferAndGoesPartialAbove96000)
{
    CComPtr<IMediaSample> sp = Sample(96001);
    ASSERT_TRUE(sp);
    BYTE* pb = nullptr;
    ASSERT_EQ(S_OK, sp->GetPointer(&pb));
    for (int i = 0; i < 96001; ++i)
        pb[i] = static_cast<BYTE>(i * 13 + (i >> 8));
    WCHAR sz[32];

    sp->SetActualDataLength(1000);
    SampleCrcText(sp, sz, 32);
    EXPECT_EQ(L"  CRC=" + Hex8(Crc32(pb, 1000)), sz);

    sp->SetActualDataLength(96000);
    SampleCrcText(sp, sz, 32);
    EXPECT_EQ(L"  CRC=" + Hex8(Crc32(pb, 96000)), sz);

    sp->SetActualDataLength(96001);
    SampleCrcText(sp, sz, 32);
    DWORD dwPartial = 0;
    for (int k = 0; k < 16; ++k)
        dwPartial ^= Crc32(pb + k * 6000, 4096);
    EXPECT_EQ(L"  CRCp=" + Hex8(dwPartial), sz);

    // Actual length 0: the whole buffer is checksummed.
    sp->SetActualDataLength(0);
    SampleCrcText(sp, sz, 32);
    EXPECT_NE(std::wstring(sz).find(L"CRCp="), std::wstring::npos);
}

TEST_F(WineSamples, AttachedMediaTypeFollowsTheLine)
{
    CComPtr<IMediaSample> sp = Sample(64);
    ASSERT_TRUE(sp);
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    ASSERT_EQ(S_OK, sp->SetMediaType(&mt));
    CTraceCapture capture;
    Debug_Sample(TRACE_CAT_GENERAL, 2, sp, L"[Spy 1]", false, false);
    const std::vector<std::wstring> lines = capture.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(L"[Spy 1] Media type attached to sample:\n", CTraceCapture::Body(lines[1]));
    EXPECT_TRUE(Traced(capture, L"MEDIATYPE_Audio"));
}

TEST(SampleLine, OddSamplesAreDescribedWithoutReadingPastTheBuffer)
{
    CTraceCapture capture;
    COddSample sample;
    sample.m_buffer.assign(100, 0x5A);
    sample.m_cbActual = 1 << 20; // claims far more than it holds
    Debug_Sample(TRACE_CAT_GENERAL, 2, &sample, L"[T]", true, true);
    EXPECT_EQ(L"[T] tS/tE=? (0x80040249)  # mS=5 > mE=3  CRC=" + Hex8(Crc32(sample.m_buffer.data(), 100)) +
                  L" flags={101} al=1048576 s=100 p=" + Ptr(sample.m_buffer.data()) + L"\n",
              OnlyLine(capture));

    capture.Clear();
    sample.m_hrPointer = E_POINTER;
    sample.m_cbActual = 10;
    Debug_Sample(TRACE_CAT_GENERAL, 2, &sample, L"[T]", true, true);
    EXPECT_TRUE(TextHas(OnlyLine(capture), L" flags={101} al=10 s=100 p=? (0x80004003)\n"));

    capture.Clear();
    sample.m_nCalls = 0;
    Debug_Sample(TRACE_CAT_GENERAL, 10, &sample, L"[T]", true, true);
    Debug_Sample(0, 2, &sample, L"[T]", true, true);
    EXPECT_EQ(0, sample.m_nCalls) << "filtered out before touching the sample";
    {
        // Nobody listens: neither the line nor its checksum is computed.
        ILogObject* pPrevious = Log_SetObject(nullptr);
        Debug_Sample(TRACE_CAT_GENERAL, 0, &sample, L"[T]", true, true);
        Debug_SampleLag(TRACE_CAT_GENERAL, 0, &sample, 0, nullptr, L"[T]");
        Log_SetObject(pPrevious);
        EXPECT_EQ(0, sample.m_nCalls);
    }
    EXPECT_TRUE(capture.Lines().empty());

    Debug_Sample(TRACE_CAT_GENERAL, 2, nullptr, L"[T]", true, true);
    EXPECT_EQ(L"###Err### [T] Empty sample pointer\n", OnlyLine(capture));
}

TEST(SampleLag, EveryCombinationOfTimeAndClockResult)
{
    CComInit com;
    CTraceCapture capture;
    CFixedClock clock;
    clock.m_t = 1000000;
    CComPtr<IMemAllocator> spAlloc;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                     reinterpret_cast<void**>(&spAlloc)));
    ALLOCATOR_PROPERTIES want = {1, 16, 1, 0}, got = {};
    spAlloc->SetProperties(&want, &got);
    spAlloc->Commit();
    CComPtr<IMediaSample> sp;
    ASSERT_EQ(S_OK, spAlloc->GetBuffer(&sp, nullptr, nullptr, 0));
    REFERENCE_TIME tStart = 400000, tStop = 800000;
    sp->SetTime(&tStart, &tStop);

    Debug_SampleLag(TRACE_CAT_GENERAL, 2, sp, 100000, &clock, L"[S]");
    EXPECT_EQ(L"[S] Late=0.050, tS=0.040, tStart=0.010, clock=0.100\n", OnlyLine(capture));
    capture.Clear();
    clock.m_hr = S_FALSE;
    Debug_SampleLag(TRACE_CAT_GENERAL, 2, sp, 100000, &clock, L"[S]");
    EXPECT_EQ(L"[S] Late=0.050, tS=0.040, tStart=0.010, clock=0.100 (S_FALSE)\n", OnlyLine(capture));
    capture.Clear();
    clock.m_hr = E_FAIL;
    Debug_SampleLag(TRACE_CAT_GENERAL, 2, sp, 100000, &clock, L"[S]");
    EXPECT_EQ(L"###Err### [S] pRefClock->GetTime()=0x80004005, tS=0.040, tStart=0.010\n", OnlyLine(capture));

    sp->SetTime(nullptr, nullptr);
    capture.Clear();
    Debug_SampleLag(TRACE_CAT_GENERAL, 2, sp, 100000, &clock, L"[S]");
    EXPECT_EQ(L"###Err### [S] pSample->GetTime()=0x80040249, pRefClock->GetTime()=0x80004005\n", OnlyLine(capture));
    capture.Clear();
    clock.m_hr = S_OK;
    Debug_SampleLag(TRACE_CAT_GENERAL, 2, sp, 100000, &clock, L"[S]");
    EXPECT_EQ(L"[S] pSample->GetTime()=0x80040249, shift=0.090, clock=0.100, tStart=0.010\n", OnlyLine(capture));

    capture.Clear();
    Debug_SampleLag(TRACE_CAT_GENERAL, 2, sp, 0, nullptr, nullptr);
    EXPECT_EQ(L"Debug_SampleLag(): Reference Clock is not set\n", OnlyLine(capture));
    capture.Clear();
    Debug_SampleLag(TRACE_CAT_GENERAL, 2, nullptr, 0, &clock, nullptr);
    EXPECT_EQ(L"###Err### Debug_SampleLag(): Empty pointer to IMediaSample\n", OnlyLine(capture));

    sp.Release();
    spAlloc->Decommit();
    spAlloc.Release();
}

TEST_F(WineSamples, LatenessAgainstTheSystemClock)
{
    CComPtr<IReferenceClock> spClock;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                     reinterpret_cast<void**>(&spClock)));
    CComPtr<IMediaSample> sp = Sample(16);
    REFERENCE_TIME tStart = 0, tStop = 400000;
    sp->SetTime(&tStart, &tStop);
    REFERENCE_TIME tNow = 0;
    ASSERT_EQ(S_OK, spClock->GetTime(&tNow));
    CTraceCapture capture;
    // Started a second ago: the sample at stream time 0 is about a second late.
    Debug_SampleLag(TRACE_CAT_GENERAL, 2, sp, tNow - 10000000, spClock, L"[S]");
    const std::wstring s = OnlyLine(capture);
    unsigned nLate = 0;
    ASSERT_EQ(1, swscanf(s.c_str(), L"[S] Late=%u.", &nLate)) << s;
    EXPECT_EQ(1u, nLate);
    EXPECT_TRUE(TextHas(s, L", tS=0.000, tStart="));
}

TEST(Timecode, BcdFramesAndRateNames)
{
    CTraceCapture capture;
    TIMECODE_SAMPLE tc = {};
    tc.qwTick = 1234567;
    tc.timecode.wFrameRate = 4504;
    tc.timecode.wFrameFract = 0x12;
    tc.timecode.dwFrames = 0x01020304;
    tc.dwUser = 7;
    tc.dwFlags = 1;
    Debug_TimecodeSample(TRACE_CAT_GENERAL, 8, &tc, L"[Spy]");
    EXPECT_EQ(L"[Spy] TIMECODE_SAMPLE: hmsf=01:02:03.04 (0x01020304), rate SMPTE_25 (0x1198), fract 0x12, "
              L"qwTick=1 234 567, user 0x7, flags 0x1\n",
              OnlyLine(capture));
    capture.Clear();
    tc.timecode.dwFrames = 0x0A000000;
    tc.timecode.wFrameRate = 1;
    Debug_TimecodeSample(TRACE_CAT_GENERAL, 8, &tc, nullptr);
    EXPECT_EQ(L"TIMECODE_SAMPLE: hmsf=??? (0x0A000000), rate SMPTE_??? (0x1), fract 0x12, qwTick=1 234 567, "
              L"user 0x7, flags 0x1\n",
              OnlyLine(capture));
    capture.Clear();
    tc.timecode.dwFrames = 0x2359590F; // low digit of the last byte is not decimal
    Debug_TimecodeSample(TRACE_CAT_GENERAL, 8, &tc, nullptr);
    EXPECT_EQ(0u, OnlyLine(capture).find(L"TIMECODE_SAMPLE: hmsf=??? (0x2359590F)"));
}

TEST_F(WineSamples, AllocatorAndPropertiesLines)
{
    ALLOCATOR_PROPERTIES want = {3, 1000, 1, 0}, got = {};
    ASSERT_EQ(S_OK, m_spAlloc->SetProperties(&want, &got));
    CTraceCapture capture;
    Debug_Allocator(TRACE_CAT_GENERAL, 4, m_spAlloc, L"[A]");
    WCHAR sz[128];
    StrFormat(sz, 128, L"[A] IMemAllocator=0x%p, props = { %i, %i, %i, %i }\n", static_cast<IMemAllocator*>(m_spAlloc),
              got.cBuffers, got.cbBuffer, got.cbAlign, got.cbPrefix);
    EXPECT_EQ(sz, OnlyLine(capture));
    capture.Clear();
    Debug_Allocator(TRACE_CAT_GENERAL, 4, nullptr, L"[A]");
    EXPECT_EQ(L"###Err### [A] Debug_Allocator(): Empty allocator pointer\n", OnlyLine(capture));
    capture.Clear();
    ALLOCATOR_PROPERTIES props = {1, -2, 3, 4};
    Debug_AllocatorProps(TRACE_CAT_GENERAL, 4, &props, nullptr);
    EXPECT_EQ(L"{ 1, -2, 3, 4 }\n", OnlyLine(capture));
    capture.Clear();
    Debug_AllocatorProps(TRACE_CAT_GENERAL, 4, nullptr, L"[A]");
    EXPECT_EQ(L"###Err### [A] Debug_AllocatorProps(): Empty pointer\n", OnlyLine(capture));
}

TEST(MemoryDump, ColumnsZeroRunsAndLimits)
{
    CTraceCapture capture;
    BYTE hello[16] = {'H', 'e', 'l', 'l', 'o', ' ', 'W', 'o', 'r', 'l', 'd'};
    EXPECT_TRUE(Debug_Memory(TRACE_CAT_GENERAL, 4, 16, hello, L"[M]", true));
    std::vector<std::wstring> lines = capture.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(L"[M] Trace from address " + Ptr(hello) + L" (16 bytes)\n", CTraceCapture::Body(lines[0]));
    EXPECT_EQ(Ptr(hello) + L": 48 65 6C 6C  6F 20 57 6F | 72 6C 64 00  00 00 00 00   Hello World.....\n",
              lines[1].substr(lines[1].find(L"0x")));
    EXPECT_EQ(L"\n", CTraceCapture::Body(lines[2]));

    capture.Clear();
    BYTE zeros[40] = {};
    Debug_Memory(TRACE_CAT_GENERAL, 4, 40, zeros, nullptr, false);
    lines = capture.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(L"Trace from address " + Ptr(zeros) + L" (40 bytes)\n", CTraceCapture::Body(lines[0]));
    EXPECT_TRUE(TextHas(lines[1], Ptr(zeros) + L": 16 x 2 zero bytes\n"));
    const std::wstring sShort = lines[2].substr(lines[2].find(L"0x"));
    EXPECT_EQ(Ptr(zeros + 32) + L": 00 00 00 00  00 00 00 00 |" + std::wstring(28, L' ') + L"........\n", sShort);

    capture.Clear();
    BYTE mixed[32] = {};
    memset(mixed + 16, 0x41, 16);
    Debug_Memory(TRACE_CAT_GENERAL, 4, 32, mixed, nullptr, false);
    lines = capture.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(TextHas(lines[1], Ptr(mixed) + L": 00 .. 00\n"));
    EXPECT_NE(lines[2].find(L"41 41 41 41  41 41 41 41 | 41 41 41 41  41 41 41 41   AAAAAAAAAAAAAAAA"),
              std::wstring::npos);

    capture.Clear();
    EXPECT_FALSE(Debug_Memory(TRACE_CAT_GENERAL, 4, 0, mixed, nullptr, true));
    EXPECT_FALSE(Debug_Memory(TRACE_CAT_GENERAL, 4, 16, nullptr, nullptr, true));
    EXPECT_EQ(2u, capture.Lines().size()) << "the headers only";
    capture.Clear();
    EXPECT_TRUE(Debug_Memory(TRACE_CAT_GENERAL, 10, 16, nullptr, nullptr, true));
    EXPECT_TRUE(capture.Lines().empty());
}
