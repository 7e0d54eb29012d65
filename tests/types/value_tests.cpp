// Media type value: ownership of the format block and held object, content
// comparison, video checks and the stored form.
#include <windows.h>
#include <dshow.h>
#include <amvideo.h>
#include <dvdmedia.h>
#include <mmreg.h>

#include <dshowx/DSTypes.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "types/TypeBuilders.h"

namespace
{
ULONG Dword(const BYTE* pb)
{
    ULONG u;
    memcpy(&u, pb, 4);
    return u;
}
} // namespace

TEST(MediaTypeValue, DefaultAndGivenTypesStartInitialised)
{
    CMType mt;
    EXPECT_TRUE(IsEqualGUID(mt.majortype, GUID_NULL));
    EXPECT_TRUE(IsEqualGUID(mt.subtype, GUID_NULL));
    EXPECT_TRUE(IsEqualGUID(mt.formattype, GUID_NULL));
    EXPECT_TRUE(mt.bFixedSizeSamples);
    EXPECT_FALSE(mt.bTemporalCompression);
    EXPECT_EQ(1u, mt.lSampleSize);
    EXPECT_EQ(nullptr, mt.pUnk);
    EXPECT_EQ(0u, mt.cbFormat);
    EXPECT_EQ(nullptr, mt.pbFormat);

    CMType video(MEDIATYPE_Video, MEDIASUBTYPE_YUY2);
    EXPECT_TRUE(IsEqualGUID(video.majortype, MEDIATYPE_Video));
    EXPECT_TRUE(IsEqualGUID(video.subtype, MEDIASUBTYPE_YUY2));
    EXPECT_EQ(1u, video.lSampleSize);
}

TEST(MediaTypeValue, CopiesAreDeepAndEachHoldsOneReference)
{
    CCountedUnknown unk;
    CMType src = MakeVideoType(FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER));
    src.pUnk = &unk;
    unk.AddRef();
    {
        CMType copy(src);
        EXPECT_EQ(2, unk.Refs());
        ASSERT_NE(nullptr, copy.pbFormat);
        EXPECT_NE(src.pbFormat, copy.pbFormat);
        EXPECT_EQ(0, memcmp(src.pbFormat, copy.pbFormat, src.cbFormat));
        EXPECT_TRUE(copy == src);
        copy.Clear();
        EXPECT_EQ(1, unk.Refs());
        EXPECT_EQ(nullptr, copy.pUnk);
        EXPECT_EQ(nullptr, copy.pbFormat);

        CMType assigned;
        assigned = src;
        EXPECT_EQ(2, unk.Refs());
        // Replacing a value releases what it held before.
        assigned = CMType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
        EXPECT_EQ(1, unk.Refs());
        assigned = src;
    }
    EXPECT_EQ(1, unk.Refs());
    src.Clear();
    EXPECT_EQ(0, unk.Refs());
}

TEST(MediaTypeValue, SetWithItselfOrNull)
{
    CMType mt = MakeVideoType(FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER));
    BYTE* pbBefore = mt.pbFormat;
    EXPECT_EQ(S_OK, mt.Set(&mt));
    EXPECT_EQ(pbBefore, mt.pbFormat);
    EXPECT_EQ(sizeof(VIDEOINFOHEADER), mt.cbFormat);

    EXPECT_EQ(S_OK, mt.Set(nullptr));
    EXPECT_TRUE(IsEqualGUID(mt.majortype, GUID_NULL));
    EXPECT_EQ(nullptr, mt.pbFormat);
}

TEST(MediaTypeValue, RecordWithDisagreeingFormatFieldsIsNotCopied)
{
    CTraceCapture trace;
    BYTE abBlock[8] = {};
    AM_MEDIA_TYPE bad1 = {};
    bad1.pbFormat = abBlock; // a block without a size
    AM_MEDIA_TYPE bad2 = {};
    bad2.cbFormat = 8; // a size without a block

    for (AM_MEDIA_TYPE* pBad : {&bad1, &bad2})
    {
        CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
        EXPECT_EQ(E_UNEXPECTED, mt.Set(pBad));
        EXPECT_TRUE(IsEqualGUID(mt.majortype, MEDIATYPE_Audio)) << "a failed Set keeps the old value";

        AM_MEDIA_TYPE dst;
        memset(&dst, 0xCD, sizeof(dst));
        EXPECT_EQ(E_UNEXPECTED, MTCopy(&dst, pBad));
        EXPECT_EQ(0xCDCDCDCDu, dst.lSampleSize) << "destination untouched";
        EXPECT_EQ(nullptr, MTDup(pBad));
    }
    EXPECT_TRUE(Traced(trace, L"pmt->cbFormat != 0"));
    EXPECT_TRUE(Traced(trace, L"pmt->cbFormat == 0"));
}

TEST(MediaTypeValue, NullArgumentsGiveTheirCodes)
{
    CTraceCapture trace;
    BYTE* pb = reinterpret_cast<BYTE*>(1);
    EXPECT_EQ(E_INVALIDARG, MTCopyFormat(nullptr, &pb));
    CMType mt;
    EXPECT_EQ(E_POINTER, MTCopyFormat(&mt, nullptr));
    EXPECT_EQ(E_INVALIDARG, MTCopy(nullptr, &mt));
    EXPECT_EQ(E_POINTER, mt.Duplicate(nullptr));
    EXPECT_EQ(nullptr, MTDup(nullptr));
    MTDelete(nullptr);
    EXPECT_EQ(nullptr, MTAllocFormat(0));
    EXPECT_EQ(E_POINTER, MTCheckVideo(nullptr, false));
    EXPECT_TRUE(Traced(trace, L"cb > 0"));
}

TEST(MediaTypeValue, AllocFormatCopiesOrZeroFills)
{
    const BYTE abSrc[5] = {1, 2, 3, 4, 5};
    BYTE* pb = MTAllocFormat(5, abSrc);
    ASSERT_NE(nullptr, pb);
    EXPECT_EQ(0, memcmp(pb, abSrc, 5));
    CoTaskMemFree(pb);
    pb = MTAllocFormat(5);
    ASSERT_NE(nullptr, pb);
    EXPECT_EQ(std::vector<BYTE>(5, 0), std::vector<BYTE>(pb, pb + 5));
    CoTaskMemFree(pb);
}

TEST(MediaTypeValue, DuplicateIsIndependentAndDeletedWithItsReferences)
{
    CCountedUnknown unk;
    CMType mt = MakeVideoType(FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER2));
    mt.pUnk = &unk;
    unk.AddRef();
    AM_MEDIA_TYPE* pDup = nullptr;
    ASSERT_EQ(S_OK, mt.Duplicate(&pDup));
    ASSERT_NE(nullptr, pDup);
    EXPECT_EQ(2, unk.Refs());
    EXPECT_NE(mt.pbFormat, pDup->pbFormat);
    EXPECT_TRUE(MTIsEqual(pDup, &mt));
    MTDelete(pDup);
    EXPECT_EQ(1, unk.Refs());

    AM_MEDIA_TYPE copy;
    ASSERT_EQ(S_OK, mt.CopyTo(&copy));
    EXPECT_EQ(2, unk.Refs());
    MTClear(&copy, MEDIATYPE_Audio);
    EXPECT_EQ(1, unk.Refs());
    EXPECT_TRUE(IsEqualGUID(copy.majortype, MEDIATYPE_Audio));
    EXPECT_EQ(1u, copy.lSampleSize);
    mt.Clear();
}

TEST(MediaTypeValue, EqualityComparesContentOnly)
{
    CMType a = MakeVideoType(FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER));
    CMType b(a);
    b.lSampleSize = 12345;
    b.bFixedSizeSamples = FALSE;
    b.bTemporalCompression = TRUE;
    EXPECT_TRUE(a == b);

    b.pbFormat[50] ^= 1;
    EXPECT_TRUE(a != b);
    b.pbFormat[50] ^= 1;

    b.formattype = FORMAT_VideoInfo2;
    EXPECT_FALSE(a == b);
    b.formattype = a.formattype;
    b.majortype = MEDIATYPE_Audio;
    EXPECT_FALSE(a == b);

    EXPECT_FALSE(MTIsEqual(&a, nullptr));
    EXPECT_FALSE(MTIsEqual(nullptr, nullptr));
    EXPECT_TRUE(MTIsEqual(&a, &a));

    CMType shorter = MakeVideoType(FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER) + 4);
    EXPECT_FALSE(a == shorter);
}

TEST(MediaTypeValue, FourccSubtypesCompareWithoutCase)
{
    CMType upper(MEDIATYPE_Video, FourccSubtype(MAKEFOURCC('H', '2', '6', '4')));
    CMType lower(MEDIATYPE_Video, FourccSubtype(MAKEFOURCC('h', '2', '6', '4')));
    EXPECT_TRUE(upper == lower);
    CMType other(MEDIATYPE_Video, FourccSubtype(MAKEFOURCC('h', '2', '6', '5')));
    EXPECT_FALSE(upper == other);

    // A code with a byte outside 32..126 is not a character code: exact only.
    CMType raw1(MEDIATYPE_Video, FourccSubtype(0x01323648));
    CMType raw2(MEDIATYPE_Video, FourccSubtype(0x01323668));
    EXPECT_FALSE(raw1 == raw2);

    // Case folding only applies to subtypes built on the FOURCC base.
    GUID g1 = FourccSubtype(MAKEFOURCC('H', '2', '6', '4'));
    g1.Data4[7] ^= 0x55;
    GUID g2 = g1;
    g2.Data1 = MAKEFOURCC('h', '2', '6', '4');
    EXPECT_FALSE(CMType(MEDIATYPE_Video, g1) == CMType(MEDIATYPE_Video, g2));
}

TEST(MediaTypeValue, CheckVideoByFormatTypeAndSize)
{
    struct Row
    {
        const GUID* pFormat;
        ULONG cb;
        bool bOnly2;
        HRESULT hr;
    };
    const Row rows[] = {
        {&FORMAT_VideoInfo, 87, false, VFW_E_INVALIDMEDIATYPE},
        {&FORMAT_VideoInfo, 88, false, S_OK},
        {&FORMAT_VideoInfo, 88, true, VFW_E_INVALIDMEDIATYPE},
        {&FORMAT_MPEGVideo, 103, false, VFW_E_INVALIDMEDIATYPE},
        {&FORMAT_MPEGVideo, 104, false, S_OK},
        {&FORMAT_MPEGVideo, 104, true, VFW_E_INVALIDMEDIATYPE},
        {&FORMAT_VideoInfo2, 111, true, VFW_E_INVALIDMEDIATYPE},
        {&FORMAT_VideoInfo2, 112, true, S_OK},
        {&FORMAT_MPEG2Video, 135, false, VFW_E_INVALIDMEDIATYPE},
        {&FORMAT_MPEG2Video, 136, true, S_OK},
        {&FORMAT_WaveFormatEx, 200, false, VFW_E_INVALIDMEDIATYPE},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "cb=" << row.cb << " only2=" << row.bOnly2);
        CMType mt = MakeVideoType(*row.pFormat, row.cb);
        EXPECT_EQ(row.hr, MTCheckVideo(&mt, row.bOnly2));
    }
    CMType audio = MakeVideoType(FORMAT_VideoInfo, 88);
    audio.majortype = MEDIATYPE_Audio;
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, MTCheckVideo(&audio, false));
    CMType nosub = MakeVideoType(FORMAT_VideoInfo, 88);
    nosub.subtype = GUID_NULL;
    EXPECT_EQ(VFW_E_INVALIDSUBTYPE, MTCheckVideo(&nosub, false));
    CMType noblock(MEDIATYPE_Video, MEDIASUBTYPE_YUY2);
    noblock.formattype = FORMAT_VideoInfo;
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, MTCheckVideo(&noblock, false));
}

TEST(MediaTypeValue, ParseVideoReadsThePictureHeader)
{
    for (const GUID* pFormat : {&FORMAT_VideoInfo, &FORMAT_MPEG2Video})
    {
        CMType mt = MakeVideoType(*pFormat, IsEqualGUID(*pFormat, FORMAT_VideoInfo) ? 88 : 136);
        BITMAPINFOHEADER* pbmih = BitmapHeaderOf(mt);
        pbmih->biWidth = 720;
        pbmih->biHeight = -576;
        pbmih->biSizeImage = 829440;
        DWORD fcc = 0;
        LONG w = 0, h = 0;
        DWORD cbImage = 0;
        EXPECT_EQ(S_OK, CMTHelp::MTParseVideo(&mt, &fcc, &w, &h, &cbImage));
        EXPECT_EQ(MEDIASUBTYPE_YUY2.Data1, fcc);
        EXPECT_EQ(720, w);
        EXPECT_EQ(-576, h);
        EXPECT_EQ(829440u, cbImage);
        EXPECT_EQ(S_OK, CMTHelp::MTParseVideo(&mt, nullptr, nullptr, &h, nullptr));
    }
    CMType shortBlock = MakeVideoType(FORMAT_VideoInfo, 60);
    DWORD fcc = 7;
    LONG w = 7;
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, CMTHelp::MTParseVideo(&shortBlock, &fcc, &w, nullptr, nullptr));
    EXPECT_EQ(0u, fcc);
    EXPECT_EQ(0, w);
}

TEST(MediaTypeValue, WaveFormatOnlyFromAWholeHeader)
{
    CTraceCapture trace;
    CMType audio = MakeAudioType(48000, 2, 16);
    ASSERT_NE(nullptr, audio.GetWaveFormatEx());
    EXPECT_EQ(48000u, audio.GetWaveFormatEx()->nSamplesPerSec);

    CMType video = MakeVideoType(FORMAT_VideoInfo, 88);
    EXPECT_EQ(nullptr, video.GetWaveFormatEx());

    // A 16-byte block (the old PCM header) lacks cbSize, which callers read.
    CMType shortAudio = MakeAudioType(48000, 2, 16);
    shortAudio.cbFormat = 16;
    EXPECT_EQ(nullptr, shortAudio.GetWaveFormatEx());
    EXPECT_TRUE(Traced(trace, L"cbFormat >= sizeof(WAVEFORMATEX)"));
}

TEST(MediaTypeStoredForm, LayoutIsThe32BitRecordInBothBuilds)
{
    CCountedUnknown unk;
    CMType mt = MakeVideoType(FORMAT_VideoInfo, 88);
    mt.bTemporalCompression = TRUE;
    mt.lSampleSize = 0x11223344;
    for (ULONG i = 0; i < 88; ++i)
        mt.pbFormat[i] = static_cast<BYTE>(i + 1);
    mt.pUnk = &unk;
    unk.AddRef();

    std::vector<BYTE> buf(1024, 0xEE);
    ULONG cb = MTToBuffer(&mt, buf.data(), static_cast<ULONG>(buf.size()));
    ASSERT_GT(cb, 0u);
    ASSERT_EQ(176u, Dword(&buf[0])) << "76 + 88 rounded up to 16";
    const BYTE* pRec = &buf[4];
    EXPECT_EQ(0, memcmp(pRec + 0, &MEDIATYPE_Video, 16));
    EXPECT_EQ(0, memcmp(pRec + 16, &MEDIASUBTYPE_YUY2, 16));
    EXPECT_EQ(1u, Dword(pRec + 32));
    EXPECT_EQ(1u, Dword(pRec + 36));
    EXPECT_EQ(0x11223344u, Dword(pRec + 40));
    EXPECT_EQ(0, memcmp(pRec + 44, &FORMAT_VideoInfo, 16));
    EXPECT_EQ(88u, Dword(pRec + 64));
    EXPECT_EQ(0, memcmp(&buf[76], mt.pbFormat, 88));
    EXPECT_EQ(std::vector<BYTE>(176 - 164, 0), std::vector<BYTE>(&buf[164], &buf[176]));

    char szText[512];
    int cch = MTToTextA(&mt, szText, sizeof(szText));
    ULONG cbSecond = Dword(&buf[176]);
    EXPECT_EQ(((cch + 5) + 15u) & ~15u, cbSecond);
    EXPECT_STREQ(szText, reinterpret_cast<const char*>(&buf[180]));
    EXPECT_EQ(176u + cbSecond, cb);
    for (ULONG i = 180 + cch; i < cb; ++i)
        ASSERT_EQ(0, buf[i]) << "padding of the second block at " << i;
    EXPECT_EQ(0xEE, buf[cb]) << "nothing written past the result";
    mt.Clear();
}

TEST(MediaTypeStoredForm, TypesWithoutFormatAndNullType)
{
    CMType noFormat(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    std::vector<BYTE> buf(256, 0xEE);
    ULONG cb = MTToBuffer(&noFormat, buf.data(), 256);
    EXPECT_EQ(80u, Dword(&buf[0])) << "76 rounded up";
    EXPECT_EQ(0u, Dword(&buf[4 + 64]));
    EXPECT_EQ(0u, Dword(&buf[4 + 68]));
    EXPECT_EQ(80u + Dword(&buf[80]), cb);

    // A size without a block is stored as no format at all.
    AM_MEDIA_TYPE sizeOnly = noFormat;
    sizeOnly.cbFormat = 500;
    cb = MTToBuffer(&sizeOnly, buf.data(), 256);
    EXPECT_EQ(80u, Dword(&buf[0]));
    EXPECT_EQ(0u, Dword(&buf[4 + 64]));

    cb = MTToBuffer(nullptr, buf.data(), 256);
    EXPECT_EQ(16u, Dword(&buf[0]));
    EXPECT_STREQ("MT: NULL ######", reinterpret_cast<const char*>(&buf[20]));
    EXPECT_EQ(32u, Dword(&buf[16])) << "15 + 5 rounded up";
    EXPECT_EQ(48u, cb);
}

TEST(MediaTypeStoredForm, BuffersTooSmallGiveZero)
{
    CTraceCapture trace;
    std::vector<BYTE> buf(400, 0);
    CMType noFormat(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    EXPECT_EQ(0u, MTToBuffer(&noFormat, buf.data(), 95));
    EXPECT_GT(MTToBuffer(&noFormat, buf.data(), 96), 0u);
    EXPECT_EQ(0u, MTToBuffer(&noFormat, nullptr, 400));

    CMType mt = MakeVideoType(FORMAT_VideoInfo, 88);
    EXPECT_EQ(0u, MTToBuffer(&mt, buf.data(), 176 + 15));
    ULONG cb = MTToBuffer(&mt, buf.data(), 176 + 16);
    // Room for 11 characters: every description piece is longer, so none is kept.
    EXPECT_EQ(176u + 16u, cb);
    EXPECT_EQ(16u, Dword(&buf[176]));
    EXPECT_EQ(0, buf[180]);

    // A size that would wrap a 32-bit sum is refused, not truncated.
    AM_MEDIA_TYPE huge = mt;
    huge.cbFormat = 0xFFFFFFF0u;
    EXPECT_EQ(0u, MTToBuffer(&huge, buf.data(), 400));
    EXPECT_TRUE(Traced(trace, L"MTBUF_MIN_SIZE(0) <= cbBuf"));
}
