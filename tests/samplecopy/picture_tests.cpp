// Picture sizes and row-by-row copies between row widths.
#include <windows.h>
#include <dshow.h>

#include <dshowx/DSVideo.h>
#include <dshowx/DSWrappers.h>

#include <gtest/gtest.h>

#include <vector>

#include "support/TraceCapture.h"

namespace
{
constexpr DWORD kYUY2 = MAKEFOURCC('Y', 'U', 'Y', '2');
constexpr DWORD kYV12 = MAKEFOURCC('Y', 'V', '1', '2');
constexpr int kFormatYUY2 = 0, kFormatI420 = 4;

std::vector<BYTE> Pattern(size_t cb)
{
    std::vector<BYTE> v(cb);
    for (size_t i = 0; i < cb; ++i)
        v[i] = static_cast<BYTE>(i * 7 + i / 251);
    return v;
}

// A video type as a decoder would offer it.
struct CVideoType
{
    AM_MEDIA_TYPE mt = {};
    VIDEOINFOHEADER vih = {};
    const AM_MEDIA_TYPE* Type() const { return &mt; }
    CVideoType(DWORD fcc, LONG nWidth, LONG nHeight)
    {
        mt.majortype = MEDIATYPE_Video;
        mt.subtype = MEDIASUBTYPE_YUY2;
        mt.subtype.Data1 = fcc;
        mt.formattype = FORMAT_VideoInfo;
        mt.cbFormat = sizeof(vih);
        mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
        vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        vih.bmiHeader.biWidth = nWidth;
        vih.bmiHeader.biHeight = nHeight;
        vih.bmiHeader.biCompression = fcc;
    }
};

// A sample over a caller's buffer, for pictures larger than a test allocator wants to hold.
class CBufferSample : public IMediaSample
{
public:
    std::vector<BYTE> m_buffer;
    long m_cbSet = -1; // the last SetActualDataLength
    explicit CBufferSample(size_t cb, BYTE bFill) : m_buffer(cb, bFill) {}
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetPointer(BYTE** pp) override { return *pp = m_buffer.data(), S_OK; }
    STDMETHODIMP_(long) GetSize() override { return static_cast<long>(m_buffer.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP IsSyncPoint() override { return S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP_(long) GetActualDataLength() override { return GetSize(); }
    STDMETHODIMP SetActualDataLength(long cb) override { return m_cbSet = cb, S_OK; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** pp) override { return *pp = nullptr, S_FALSE; }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
};
} // namespace

TEST(PictureFormats, RowAndImageSizes)
{
    long cb = -1;
    EXPECT_EQ(S_OK, CPictureFormats::GetImageSize(kYUY2, 640, 480, &cb));
    EXPECT_EQ(614400, cb);
    EXPECT_EQ(S_OK, CPictureFormats::GetImageSize(kYV12, 640, -480, &cb));
    EXPECT_EQ(460800, cb);
    EXPECT_EQ(S_OK, CPictureFormats::GetImageSize(0xE436EB7D /* RGB24 */, 3, 2, &cb));
    EXPECT_EQ(24, cb) << "rows are padded to 4 bytes";
    EXPECT_EQ(S_OK, CPictureFormats::GetImageSize(0x773C9AC0 /* ARGB32 */, 5, 1, &cb));
    EXPECT_EQ(20, cb);
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::GetImageSize(MAKEFOURCC('X', 'X', 'X', 'X'), 8, 8, &cb));
    EXPECT_EQ(0, cb);
    EXPECT_EQ(E_POINTER, CPictureFormats::GetImageSize(kYUY2, 8, 8, nullptr));
    EXPECT_EQ(11, CPictureFormats::FindFormat(MAKEFOURCC('H', 'D', 'Y', 'C')));
    EXPECT_EQ(-1, CPictureFormats::FindFormat(0));
}

TEST(PictureFormats, EqualStridesMoveOnceIncludingChromaPlanes)
{
    const std::vector<BYTE> src = Pattern(64 * 16 * 3 / 2 + 100);
    std::vector<BYTE> dst(src.size(), 0xEE);
    ASSERT_EQ(S_OK, CPictureFormats::CopyData(dst.data(), src.data(), 2 /* YV12 */, 64, 16));
    const size_t cbImage = 64 * 16 * 3 / 2;
    EXPECT_TRUE(std::equal(src.begin(), src.begin() + cbImage, dst.begin()));
    EXPECT_EQ(std::vector<BYTE>(100, 0xEE), std::vector<BYTE>(dst.begin() + cbImage, dst.end()));
}

TEST(PictureFormats, RowByRowBetweenWidthsForPackedAndPlanar)
{
    // I420, 8 x 4 picture in rows of 8 (source) and 16 (destination).
    const std::vector<BYTE> src = Pattern(8 * 4 * 3 / 2);
    std::vector<BYTE> dst(16 * 4 * 3 / 2, 0xEE);
    ASSERT_EQ(S_OK, CPictureFormats::CopyData(dst.data(), src.data(), kFormatI420, 8, 4, 16, 8));
    for (int y = 0; y < 4; ++y)
    {
        EXPECT_TRUE(std::equal(src.begin() + y * 8, src.begin() + y * 8 + 8, dst.begin() + y * 16)) << y;
        EXPECT_EQ(0xEE, dst[y * 16 + 8]) << "padding of the luma row stays";
    }
    for (int y = 0; y < 4; ++y)
        EXPECT_TRUE(std::equal(src.begin() + 32 + y * 4, src.begin() + 32 + y * 4 + 4, dst.begin() + 64 + y * 8)) << y;

    EXPECT_EQ(E_INVALIDARG, CPictureFormats::CopyData(dst.data(), src.data(), kFormatYUY2, 16, 4, 8, 16));
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::CopyData(dst.data(), src.data(), 12, 8, 4));
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::CopyData(dst.data(), nullptr, kFormatYUY2, 8, 4));
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::CopyData(dst.data(), src.data(), kFormatYUY2, 8, 0));
}

TEST(PictureFormats, UnreadableSourceYieldsUnexpectedAndTheProcessGoesOn)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    BYTE* pPages = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, pPages);
    DWORD dwOld = 0;
    ASSERT_TRUE(VirtualProtect(pPages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &dwOld));
    std::vector<BYTE> dst(64 * 64 * 2);
    CTraceCapture capture;
    // The picture starts in the readable page and runs into the other one.
    EXPECT_EQ(E_UNEXPECTED,
              CPictureFormats::CopyData(dst.data(), pPages + si.dwPageSize - 64 * 2 * 4, kFormatYUY2, 64, 64));
    ASSERT_FALSE(capture.Lines().empty());
    EXPECT_EQ(1, CTraceCapture::Level(capture.Lines()[0]));
    EXPECT_EQ(0u, CTraceCapture::Body(capture.Lines()[0]).find(L"###Err### SEH_CopyMemory( pDst=0x"));
    VirtualFree(pPages, 0, MEM_RELEASE);
}

TEST(OverlayMixerCopier, CopiesBetweenRowWidthsAndRefusesMismatches)
{
    COverlayMixerCopier mismatch;
    ASSERT_EQ(S_OK, mismatch.SetProperties(CVideoType(kYUY2, 640, 480).Type(), true));
    EXPECT_EQ(E_FAIL, mismatch.SetProperties(CVideoType(MAKEFOURCC('U', 'Y', 'V', 'Y'), 640, 480).Type(), false));
    EXPECT_EQ(VFW_E_INVALIDSUBTYPE, mismatch.SetProperties(CVideoType(MAKEFOURCC('M', 'J', 'P', 'G'), 64, 64).Type(), false));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, mismatch.SetProperties(CVideoType(kYUY2, 0, 64).Type(), false));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, mismatch.SetProperties(CVideoType(kYUY2, -64, 64).Type(), false));
    EXPECT_EQ(E_INVALIDARG, mismatch.SetProperties(nullptr, false));

    CSampleT<COverlayMixerCopier> snapshot;
    ASSERT_EQ(S_OK, snapshot.SetProperties(CVideoType(kYUY2, 640, -480).Type(), true));
    ASSERT_EQ(S_OK, snapshot.SetProperties(CVideoType(kYUY2, 720, 480).Type(), false));
    CBufferSample src(1280 * 480, 0), dst(1440 * 480, 0xEE);
    src.m_buffer = Pattern(1280 * 480);
    ASSERT_EQ(S_OK, snapshot.Copy(&src, &dst, PM_DATA | PM_ACTLEN));
    EXPECT_EQ(1440 * 480, dst.m_cbSet) << "the destination's whole picture";
    for (int y = 0; y < 480; y += 97)
    {
        EXPECT_TRUE(std::equal(src.m_buffer.begin() + y * 1280, src.m_buffer.begin() + (y + 1) * 1280,
                               dst.m_buffer.begin() + y * 1440))
            << y;
        EXPECT_EQ(std::vector<BYTE>(160, 0xEE),
                  std::vector<BYTE>(dst.m_buffer.begin() + y * 1440 + 1280, dst.m_buffer.begin() + (y + 1) * 1440));
    }

    // Buffers smaller than the pictures their types describe are refused untouched.
    CBufferSample shortDst(1440 * 479, 0x55);
    CTraceCapture capture;
    EXPECT_EQ(E_FAIL, snapshot.Copy(&src, &shortDst, PM_DATA | PM_ACTLEN));
    EXPECT_EQ(std::vector<BYTE>(1440 * 479, 0x55), shortDst.m_buffer);
    CBufferSample shortSrc(1280 * 479, 1);
    EXPECT_EQ(E_FAIL, snapshot.Copy(&shortSrc, &dst, PM_DATA | PM_ACTLEN));

    // A destination type whose row size wraps a long is refused, and the copy
    // that would follow writes nothing.
    COverlayMixerCopier huge;
    const DWORD kRGB32 = MEDIASUBTYPE_RGB32.Data1;
    ASSERT_EQ(S_OK, huge.SetProperties(CVideoType(kRGB32, 16, 64).Type(), true));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, huge.SetProperties(CVideoType(kRGB32, 0x40000001, 64).Type(), false));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, huge.SetProperties(CVideoType(kRGB32, 0x1000, 0x80000).Type(), false));
    CBufferSample small(256, 0x33);
    std::vector<BYTE> source = Pattern(16 * 4 * 64);
    EXPECT_EQ(E_FAIL, huge.CopyBuffer(&small, source.data(), 0, PM_DATA, static_cast<long>(source.size())));
    EXPECT_EQ(std::vector<BYTE>(256, 0x33), small.m_buffer);

    COverlayMixerCopier unset;
    EXPECT_EQ(E_FAIL, unset.CopyBuffer(&dst, src.m_buffer.data(), 0, PM_DATA, 1280 * 480));
    EXPECT_EQ(S_OK, unset.CopyBuffer(&dst, src.m_buffer.data(), 0, PM_ACTLEN, 1280 * 480)) << "no data asked for";
}
