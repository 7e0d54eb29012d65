// Summaries and multi-line traces of media types, including format blocks
// that are shorter than their format type promises.
#include <windows.h>
#include <dshow.h>
#include <amvideo.h>
#include <dvdmedia.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <ddraw.h>

#include <dshowx/DSTypes.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "types/TypeBuilders.h"

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace
{
constexpr DWORD CAT = 1;
constexpr DWORD LVL = 2;

std::vector<std::wstring> Bodies(const CTraceCapture& trace)
{
    std::vector<std::wstring> bodies;
    for (const std::wstring& line : trace.Lines())
        bodies.push_back(CTraceCapture::Body(line));
    return bodies;
}

std::wstring Summary(const AM_MEDIA_TYPE* pmt, bool bDetails, size_t cch = 256)
{
    std::vector<WCHAR> buf(cch + 1, L'#');
    ParseMediaType(pmt, buf.data(), cch, bDetails);
    return buf.data();
}

std::string TextA(const AM_MEDIA_TYPE* pmt, int cb = 1024)
{
    std::vector<char> buf(cb, '#');
    int n = MTToTextA(pmt, buf.data(), cb);
    EXPECT_EQ(strlen(buf.data()), static_cast<size_t>(n));
    return buf.data();
}

// Builds the whole record in a scratch buffer and keeps its first cbFormat
// bytes, so that short blocks are cut where a neighbour would cut them.
template <typename T> CMType CutType(REFGUID subtype, REFGUID formattype, const T& record, ULONG cbFormat)
{
    std::vector<BYTE> full(std::max<size_t>(cbFormat, sizeof(T)) + 4096, 0);
    memcpy(full.data(), &record, sizeof(T));
    CMType mt = MakeVideoType(formattype, cbFormat, subtype);
    memcpy(mt.pbFormat, full.data(), cbFormat);
    return mt;
}

// 720x576 RGB32 picture with bit masks after the header.
CMType MakeRgbType(ULONG cbFormat)
{
    struct
    {
        VIDEOINFOHEADER vih;
        DWORD adwMasks[4];
    } rec = {};
    rec.vih.rcSource = {0, 0, 720, 576};
    rec.vih.rcTarget = {0, 0, 720, 576};
    rec.vih.dwBitRate = 1000;
    rec.vih.AvgTimePerFrame = 400000;
    BITMAPINFOHEADER& bmih = rec.vih.bmiHeader;
    bmih.biSize = 40;
    bmih.biWidth = 720;
    bmih.biHeight = 576;
    bmih.biPlanes = 1;
    bmih.biBitCount = 32;
    bmih.biCompression = BI_BITFIELDS;
    bmih.biSizeImage = 1658880;
    rec.adwMasks[0] = 0x00FF0000;
    rec.adwMasks[1] = 0x0000FF00;
    rec.adwMasks[2] = 0x000000FF;
    rec.adwMasks[3] = 0xFF000000;
    return CutType(MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, rec, cbFormat);
}

// 1920x1080 MPEG-2 with a sequence header of 0x11 bytes as far as the block goes.
CMType MakeMpeg2Type(ULONG cbSequenceHeader, ULONG cbFormat)
{
    struct
    {
        MPEG2VIDEOINFO m2;
        BYTE abMore[4096];
    } rec = {};
    rec.m2.hdr.bmiHeader.biSize = 40;
    rec.m2.hdr.bmiHeader.biWidth = 1920;
    rec.m2.hdr.bmiHeader.biHeight = 1080;
    rec.m2.cbSequenceHeader = cbSequenceHeader;
    rec.m2.dwProfile = 4;
    rec.m2.dwLevel = 8;
    memset(reinterpret_cast<BYTE*>(&rec) + offsetof(MPEG2VIDEOINFO, dwSequenceHeader), 0x11, 4 + sizeof(rec.abMore));
    return CutType(MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video, rec, cbFormat);
}

size_t CountWith(const std::vector<std::wstring>& bodies, const std::wstring& part)
{
    size_t n = 0;
    for (const std::wstring& body : bodies)
        n += body.find(part) != std::wstring::npos;
    return n;
}
} // namespace

// ---- Wide summary -----------------------------------------------------------

TEST(ParseMediaType, NamesAndDetailsOfVideoAndAudio)
{
    CMType video = MakeVideoType(FORMAT_VideoInfo, 88);
    VideoInfoOf(video)->AvgTimePerFrame = 400000;
    BitmapHeaderOf(video)->biWidth = 720;
    BitmapHeaderOf(video)->biHeight = 576;
    EXPECT_EQ(L"{ MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo } 720 x 576, 0.040", Summary(&video, true));
    EXPECT_EQ(L"{ MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo }", Summary(&video, false));

    CMType video2 = MakeVideoType(FORMAT_VideoInfo2, 112);
    BitmapHeaderOf(video2)->biWidth = 1280;
    BitmapHeaderOf(video2)->biHeight = 720;
    EXPECT_THAT(Summary(&video2, true), testing::EndsWith(L" 1280 x 720, 0.000"));

    CMType audio = MakeAudioType(48000, 2, 16);
    EXPECT_THAT(Summary(&audio, true), testing::EndsWith(L" 48000 Hz, 2 ch x 16 bit"));

    CMType other(MEDIATYPE_Stream, GUID_NULL);
    other.formattype = FORMAT_DvInfo;
    other.cbFormat = 32;
    other.pbFormat = MTAllocFormat(32);
    EXPECT_THAT(Summary(&other, true), testing::EndsWith(L" pmt->cbFormat = 32"));
}

TEST(ParseMediaType, MissingBlocksAndNullType)
{
    CMType none(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    EXPECT_EQ(L"{ MEDIATYPE_Audio / MEDIASUBTYPE_PCM / GUID_NULL }", Summary(&none, true));
    none.formattype = FORMAT_None;
    EXPECT_THAT(Summary(&none, true), testing::EndsWith(L"FORMAT_None }"));
    none.formattype = FORMAT_WaveFormatEx;
    EXPECT_THAT(Summary(&none, true), testing::EndsWith(L"FORMAT_WaveFormatEx } ### pmt->pbFormat = NULL"));

    CMType unknownVideo = MakeVideoType(FORMAT_DvInfo, 32);
    EXPECT_THAT(Summary(&unknownVideo, true), testing::EndsWith(L" ### BITMAPINFOHEADER not found, pmt->cbFormat = 32"));

    EXPECT_EQ(L"Empty media type\n", Summary(nullptr, true));
}

TEST(ParseMediaType, ShortBlocksAreNotRead)
{
    // Each block ends before the header its format type places in it.
    CMType video = MakeVideoType(FORMAT_VideoInfo, 87);
    EXPECT_THAT(Summary(&video, true), testing::EndsWith(L" ### BITMAPINFOHEADER not found, pmt->cbFormat = 87"));
    CMType video2 = MakeVideoType(FORMAT_VideoInfo2, 100);
    EXPECT_THAT(Summary(&video2, true), testing::EndsWith(L" ### BITMAPINFOHEADER not found, pmt->cbFormat = 100"));
    CMType audio = MakeAudioType(48000, 2, 16);
    audio.cbFormat = 16;
    EXPECT_THAT(Summary(&audio, true), testing::EndsWith(L" pmt->cbFormat = 16"));
}

TEST(ParseMediaType, TruncatesToTheBuffer)
{
    CMType audio = MakeAudioType(48000, 2, 16);
    EXPECT_EQ(L"{ MEDIATYP", Summary(&audio, true, 11));
    EXPECT_EQ(L"", Summary(&audio, true, 1));
    CTraceCapture trace;
    ParseMediaType(&audio, nullptr, 10, true);
    EXPECT_THAT(trace.Text(), HasSubstr(L"pszMediaType != NULL"));
}

// ---- Narrow summary ---------------------------------------------------------

TEST(MTToTextA, VideoFormatsDecoded)
{
    CMType rgb = MakeRgbType(100);
    EXPECT_EQ("MT: { MEDIATYPE_Video / MEDIASUBTYPE_RGB32 / FORMAT_VideoInfo }, size=1, cbForm=100, fix:Y, compr:N"
              " | src=[0,0:720,576], trg=[0,0:720,576], rate=1000, AvgT=0.040"
              " | BMIH: size=40, 720x576, planes=1, bits=32, compress=BI_BITFIELDS, sizeImg=1658880",
              TextA(&rgb));

    CMType mpeg2 = MakeMpeg2Type(4, 136);
    reinterpret_cast<MPEG2VIDEOINFO*>(mpeg2.pbFormat)->hdr.dwInterlaceFlags = 0x81;
    reinterpret_cast<MPEG2VIDEOINFO*>(mpeg2.pbFormat)->hdr.dwPictAspectRatioX = 16;
    reinterpret_cast<MPEG2VIDEOINFO*>(mpeg2.pbFormat)->hdr.dwPictAspectRatioY = 9;
    EXPECT_THAT(TextA(&mpeg2), HasSubstr(", AvgT=0.000, ilace=0x81 (INTERLACED), ar=16:9, ctrl=0x0"
                                         " | startCode=0x0, cbHeader=4, profile=4, level=8, flags=0x0,"
                                         " seqHeader[0]=0x11111111 | BMIH: size=40, 1920x1080,"));
    // Without the MPEG-2 fields the rest of the block is still described.
    CMType shortMpeg2 = MakeMpeg2Type(4, 120);
    EXPECT_THAT(TextA(&shortMpeg2), Not(HasSubstr("startCode")));
    EXPECT_THAT(TextA(&shortMpeg2), HasSubstr(" | BMIH: size=40, 1920x1080,"));

    CMType shortVideo = MakeRgbType(87);
    EXPECT_EQ("MT: { MEDIATYPE_Video / MEDIASUBTYPE_RGB32 / FORMAT_VideoInfo }, size=1, cbForm=87, fix:Y, compr:N",
              TextA(&shortVideo));
}

TEST(MTToTextA, AudioAndDvFormatsDecoded)
{
    CMType pcm = MakeAudioType(44100, 2, 16);
    EXPECT_THAT(TextA(&pcm), testing::EndsWith(
                                 "fix:Y, compr:N | WF: Tag=0x1, chan=2, nPerSec=44100, nAvg=176400, align=4, bits=16, size=0"));

    CMType ext = MakeAudioType(48000, 6, 24, 22);
    WAVEFORMATEXTENSIBLE* pwfe = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(ext.pbFormat);
    pwfe->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    pwfe->Samples.wValidBitsPerSample = 20;
    pwfe->dwChannelMask = 0x3F;
    pwfe->SubFormat = MEDIASUBTYPE_PCM;
    EXPECT_THAT(TextA(&ext), testing::EndsWith("bits=24, size=22 | validBits=20, ChMask=0x3F, SubFormat=MEDIASUBTYPE_PCM"));
    // cbSize promises the extensible form, the block does not hold it.
    ext.cbFormat = 30;
    EXPECT_THAT(TextA(&ext), testing::EndsWith("bits=24, size=22"));
    ext.cbFormat = 17;
    EXPECT_THAT(TextA(&ext), testing::EndsWith("compr:N"));
    ext.cbFormat = 40;

    CMType dv(MEDIATYPE_Interleaved, GUID_NULL);
    dv.formattype = FORMAT_DvInfo;
    dv.cbFormat = sizeof(DVINFO);
    dv.pbFormat = MTAllocFormat(dv.cbFormat);
    reinterpret_cast<DVINFO*>(dv.pbFormat)->dwDVAAuxSrc = 0xABC;
    reinterpret_cast<DVINFO*>(dv.pbFormat)->dwDVReserved[1] = 7;
    EXPECT_THAT(TextA(&dv), testing::EndsWith(
                                " | DVI: ASrc=ABC, ACtl=0, ASrc1=0, ACtl1=0, VSrc=0, VCtl=0, Res[0]=0, Res[1]=7"));
    dv.cbFormat = 31;
    EXPECT_THAT(TextA(&dv), testing::EndsWith("compr:N"));
    dv.cbFormat = sizeof(DVINFO);
}

TEST(MTToTextA, HeldObjectBadFormatAndNull)
{
    CCountedUnknown unk;
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    mt.pUnk = &unk;
    unk.AddRef();
    EXPECT_THAT(TextA(&mt), HasSubstr(", @@@@ pUnk = 0x"));
    EXPECT_THAT(TextA(&mt), testing::EndsWith(", cbFormat=0, pbFormat=NULL"));
    mt.cbFormat = 18;
    EXPECT_THAT(TextA(&mt), HasSubstr(", ### cbFormat=18, pbFormat=0x"));
    mt.cbFormat = 0;

    char sz[32];
    EXPECT_EQ(15, MTToTextA(nullptr, sz, sizeof(sz)));
    EXPECT_STREQ("MT: NULL ######", sz);
    EXPECT_EQ(0, MTToTextA(nullptr, sz, 15)) << "the whole text or nothing";
    CTraceCapture trace;
    EXPECT_EQ(0, MTToTextA(nullptr, sz, 1));
    EXPECT_EQ(0, MTToTextA(nullptr, nullptr, 32));
    EXPECT_THAT(trace.Text(), HasSubstr(L"1 < cbBuf"));
}

TEST(MTToTextA, PiecesThatDoNotFitAreLeftOutOthersKept)
{
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    // The long first piece does not fit; the short last one does.
    EXPECT_EQ(", cbFormat=0, pbFormat=NULL", TextA(&mt, 40));
    std::string full = TextA(&mt);
    EXPECT_EQ(full, TextA(&mt, static_cast<int>(full.size()) + 1));
    EXPECT_EQ(full.substr(0, full.size() - 27), TextA(&mt, static_cast<int>(full.size())));
}

// ---- Multi-line trace of one type ------------------------------------------------

TEST(DebugMediaType, VideoInfoWithMasksAndPrefixes)
{
    CTraceCapture trace;
    CMType rgb = MakeRgbType(100);
    Debug_MediaType(CAT, LVL, &rgb, nullptr);
    EXPECT_THAT(Bodies(trace),
                ElementsAre(L"MT: { MEDIATYPE_Video / MEDIASUBTYPE_RGB32 / FORMAT_VideoInfo }, size=1, cbForm=100, "
                            L"fix:Y, compr:N\n",
                            L"MT: src=[0,0:720,576], targ=[0,0:720,576], rate=1000, errRate=0, AvgT=0.040\n",
                            L"MT: BITMAPINFOHEADER: size=40, w=720, h=576, planes=1, bits=32, "
                            L"compress=BI_BITFIELDS, sizeImg=1658880, RGB mask [00FF0000, 0000FF00, 000000FF]\n",
                            L"\n"));
    for (auto row : {std::make_pair(104u, L", color mask [00FF0000, 0000FF00, 000000FF, FF000000]\n"),
                     std::make_pair(88u, L"sizeImg=1658880\n"), std::make_pair(96u, L"sizeImg=1658880\n")})
    {
        trace.Clear();
        CMType mt = MakeRgbType(row.first);
        Debug_MediaType(CAT, LVL, &mt, L"In");
        SCOPED_TRACE(row.first);
        std::vector<std::wstring> bodies = Bodies(trace);
        ASSERT_EQ(4u, bodies.size());
        EXPECT_THAT(bodies[0], testing::StartsWith(L"In { MEDIATYPE_Video"));
        EXPECT_THAT(bodies[2], testing::StartsWith(L"In BITMAPINFOHEADER: "));
        EXPECT_THAT(bodies[2], testing::EndsWith(row.second));
    }
}

TEST(DebugMediaType, VideoInfo2FlagsAndSecondHeaderLine)
{
    CTraceCapture trace;
    CMType mt = MakeVideoType(FORMAT_VideoInfo2, 112);
    VIDEOINFOHEADER2* pvih2 = VideoInfo2Of(mt);
    pvih2->dwInterlaceFlags = 0x21;
    pvih2->dwCopyProtectFlags = 2;
    pvih2->dwPictAspectRatioX = 4;
    pvih2->dwPictAspectRatioY = 3;
    pvih2->dwControlFlags = 0x80;
    pvih2->bmiHeader.biXPelsPerMeter = 100;
    pvih2->bmiHeader.biClrUsed = 256;
    Debug_MediaType(CAT, LVL, &mt, L"X");
    std::vector<std::wstring> bodies = Bodies(trace);
    ASSERT_EQ(7u, bodies.size());
    EXPECT_EQ(L"X ilace=0x21 (INTERLACED), copProt=0x2, aspect={4,3}, ctrl=0x80\n", bodies[2]);
    EXPECT_EQ(L"### X Control flags are set !!!\n", bodies[3]);
    EXPECT_EQ(L"X BITMAPINFOHEADER: XPels=100, YPels=0, ClrUsed=256, ClrImp=0\n", bodies[5]);
}

TEST(DebugMediaType, Mpeg2SequenceHeaderDumpIsBounded)
{
    CTraceCapture trace;
    CMType big = MakeMpeg2Type(2000, offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + 2000);
    Debug_MediaType(CAT, LVL, &big, nullptr);
    std::vector<std::wstring> bodies = Bodies(trace);
    EXPECT_EQ(1u, CountWith(bodies, L"MT: startCode=0x0, cbHeader=2000, profile=4, level=8, flags=0x0, "
                                    L"seqHeader[0]=0x11111111\n"));
    EXPECT_EQ(1u, CountWith(bodies, L"dwSequenceHeader[] first 1024 bytes:  Trace from address 0x"));
    EXPECT_EQ(1u, CountWith(bodies, L"(1024 bytes)\n"));
    EXPECT_EQ(64u, CountWith(bodies, L"11 11 11 11  11 11 11 11 | 11 11 11 11  11 11 11 11   ")) << "64 lines of 16";

    // The header claims more than the block holds: only what is there is dumped.
    trace.Clear();
    CMType lying = MakeMpeg2Type(2000, offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + 40);
    Debug_MediaType(CAT, LVL, &lying, nullptr);
    bodies = Bodies(trace);
    EXPECT_EQ(1u, CountWith(bodies, L"dwSequenceHeader[] bytes:  Trace from address 0x"));
    EXPECT_EQ(1u, CountWith(bodies, L"(40 bytes)\n"));
    EXPECT_EQ(2u, CountWith(bodies, L"11 11 11 11  11 11 11 11 | 11 11 11 11  11 11 11 11   "));
    EXPECT_EQ(1u, CountWith(bodies, L"11 11 11 11  11 11 11 11 |" + std::wstring(28, L' ') + L"........\n"));
    EXPECT_EQ(1u, CountWith(bodies, L"MT: BITMAPINFOHEADER: size=40, w=1920, h=1080,"));

    // The MPEG-2 fields themselves lie beyond the block: the rest is still described.
    trace.Clear();
    CMType cut = MakeMpeg2Type(0, 120);
    Debug_MediaType(CAT, LVL, &cut, nullptr);
    bodies = Bodies(trace);
    EXPECT_EQ(0u, CountWith(bodies, L"startCode="));
    EXPECT_EQ(1u, CountWith(bodies, L"### MT: MPEG2VIDEOINFO not found, cbFormat = 120\n"));
    EXPECT_EQ(1u, CountWith(bodies, L"MT: BITMAPINFOHEADER: size=40, w=1920, h=1080,"));
}

TEST(DebugMediaType, ShortVideoBlocksReportTheRealSize)
{
    CTraceCapture trace;
    for (auto row : {std::make_pair(&FORMAT_VideoInfo, 60u), std::make_pair(&FORMAT_MPEGVideo, 87u),
                     std::make_pair(&FORMAT_VideoInfo2, 111u), std::make_pair(&FORMAT_MPEG2Video, 80u)})
    {
        trace.Clear();
        CMType mt = MakeVideoType(*row.first, row.second);
        Debug_MediaType(CAT, LVL, &mt, nullptr);
        std::vector<std::wstring> bodies = Bodies(trace);
        ASSERT_EQ(3u, bodies.size()) << row.second;
        EXPECT_EQ(L"### MT: BITMAPINFOHEADER not found, cbFormat = " + std::to_wstring(row.second) + L"\n",
                  bodies[1]);
    }
}

TEST(DebugMediaType, FormatDecodedWhateverTheMajorType)
{
    CTraceCapture trace;
    CMType mt = MakeRgbType(88);
    mt.majortype = MEDIATYPE_Stream;
    Debug_MediaType(CAT, LVL, &mt, nullptr);
    EXPECT_EQ(1u, CountWith(Bodies(trace), L"MT: BITMAPINFOHEADER: size=40"));
}

TEST(DebugMediaType, HeldObjectBadParametersNullAndFilter)
{
    CTraceCapture trace;
    CCountedUnknown unk;
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    mt.formattype = FORMAT_WaveFormatEx;
    mt.pUnk = &unk;
    unk.AddRef();
    mt.cbFormat = 18;
    Debug_MediaType(CAT, LVL, &mt, nullptr);
    std::vector<std::wstring> bodies = Bodies(trace);
    ASSERT_EQ(4u, bodies.size());
    EXPECT_THAT(bodies[1], testing::StartsWith(L"MT: @@@@ pUnk = 0x"));
    EXPECT_EQ(L"###Err### Debug_MediaType(): bad format parameters, cbFormat=18, pbFormat=0x0\n", bodies[2]);
    EXPECT_EQ(L"\n", bodies[3]);
    mt.cbFormat = 0;

    trace.Clear();
    Debug_MediaType(CAT, LVL, nullptr, nullptr);
    EXPECT_THAT(Bodies(trace), ElementsAre(L"###Err### Debug_MediaType(): Empty media type pointer\n"));

    trace.Clear();
    Debug_MediaType(CAT, 10, &mt, nullptr);
    Debug_MediaType(0, LVL, &mt, nullptr);
    Debug_PinMediaTypes(CAT, 12, nullptr);
    Debug_ColorControl(0, LVL, nullptr);
    EXPECT_TRUE(trace.Lines().empty());
}

// ---- Audio, DV, VBI, picture and colour records ----------------------------------

TEST(DebugWaveFormatEx, PlainExtensibleAndExtraBytes)
{
    CTraceCapture trace;
    CMType ext = MakeAudioType(48000, 6, 24, 22);
    WAVEFORMATEXTENSIBLE* pwfe = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(ext.pbFormat);
    pwfe->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    pwfe->Samples.wValidBitsPerSample = 20;
    pwfe->dwChannelMask = 0x3F;
    pwfe->SubFormat = MEDIASUBTYPE_PCM;
    Debug_MediaType(CAT, LVL, &ext, nullptr);
    EXPECT_THAT(Bodies(trace),
                ElementsAre(testing::_,
                            L"MT: WAVEFORMATEX: Tag=0xFFFE, chan=6, nPerSec=48000, nAvg=864000, align=18, bits=24  "
                            L"size=22\n",
                            L"MT: WAVEFORMATEXTENSIBLE: ValidBitsPerSample=20, ChannelMask=0x3F, "
                            L"SubFormat=MEDIASUBTYPE_PCM\n",
                            L"\n"));

    trace.Clear();
    CMType two = MakeAudioType(44100, 2, 16, 2);
    two.pbFormat[18] = 0xAB;
    two.pbFormat[19] = 0xCD;
    Debug_WaveFormatEx(CAT, LVL, reinterpret_cast<WAVEFORMATEX*>(two.pbFormat), L"Out", two.cbFormat);
    std::vector<std::wstring> bodies = Bodies(trace);
    ASSERT_EQ(3u, bodies.size());
    EXPECT_THAT(bodies[0], testing::StartsWith(L"Out WAVEFORMATEX: Tag=0x1, chan=2"));
    EXPECT_THAT(bodies[1], testing::StartsWith(L"WAVEFORMATEX extra bytes:  Trace from address 0x"));
    EXPECT_THAT(bodies[1], testing::EndsWith(L"(2 bytes)\n"));
    EXPECT_THAT(bodies[2], HasSubstr(L": AB CD       "));

    trace.Clear();
    CMType big = MakeAudioType(44100, 2, 16, 1100);
    Debug_WaveFormatEx(CAT, LVL, reinterpret_cast<WAVEFORMATEX*>(big.pbFormat), nullptr, big.cbFormat);
    EXPECT_EQ(1u, CountWith(Bodies(trace), L"WAVEFORMATEX first 1024 extra bytes:  Trace from address"));
    EXPECT_EQ(1u, CountWith(Bodies(trace), L"(1024 bytes)"));
    EXPECT_EQ(1u, CountWith(Bodies(trace), L": 16 x 64 zero bytes\n")) << "zero lines folded into one";
    EXPECT_EQ(3u, Bodies(trace).size());
    EXPECT_THAT(Bodies(trace)[0], testing::StartsWith(L"WAVEFORMATEX: Tag=0x1"));
}

TEST(DebugWaveFormatEx, ExtraSizesBeyondTheBlock)
{
    CTraceCapture trace;
    // cbSize says 50 extra bytes, the block holds 4.
    CMType mt = MakeAudioType(44100, 2, 16, 4);
    reinterpret_cast<WAVEFORMATEX*>(mt.pbFormat)->cbSize = 50;
    Debug_MediaType(CAT, LVL, &mt, nullptr);
    EXPECT_EQ(1u, CountWith(Bodies(trace), L"WAVEFORMATEX extra bytes:  Trace from address"));
    EXPECT_EQ(1u, CountWith(Bodies(trace), L"(4 bytes)"));

    // The extensible form needs 40 bytes; only the 12 extra bytes present are dumped.
    trace.Clear();
    CMType ext = MakeAudioType(44100, 2, 16, 12);
    reinterpret_cast<WAVEFORMATEX*>(ext.pbFormat)->cbSize = 22;
    Debug_MediaType(CAT, LVL, &ext, nullptr);
    EXPECT_EQ(0u, CountWith(Bodies(trace), L"WAVEFORMATEXTENSIBLE"));
    EXPECT_EQ(1u, CountWith(Bodies(trace), L"(12 bytes)"));

    // Shorter than the 18-byte header: nothing of it is read.
    trace.Clear();
    CMType shortBlock = MakeAudioType(44100, 2, 16);
    shortBlock.cbFormat = 16;
    Debug_MediaType(CAT, LVL, &shortBlock, nullptr);
    EXPECT_EQ(L"### MT: WAVEFORMATEX not found, cbFormat = 16\n", Bodies(trace).at(1));
    EXPECT_EQ(0u, CountWith(Bodies(trace), L"Tag="));
    shortBlock.cbFormat = 18;

    trace.Clear();
    Debug_WaveFormatEx(CAT, LVL, nullptr, L"P");
    EXPECT_THAT(Bodies(trace), ElementsAre(L"###Err### Debug_WaveFormatEx() : Empty WAVEFORMATEX pointer\n"));
}

TEST(DebugDvInfo, WholeRecordShortRecordAndNull)
{
    CTraceCapture trace;
    DVINFO dv = {1, 2, 3, 4, 5, 6, {7, 8}};
    Debug_DvInfo(CAT, LVL, &dv, L"P");
    EXPECT_THAT(Bodies(trace),
                ElementsAre(L"P DVINFO: \n\t  dwDVAAuxSrc =00000001, dwDVAAuxCtl =00000002 (1st 5/6 DIF seq)\n\t  "
                            L"dwDVAAuxSrc1=00000003, dwDVAAuxCtl1=00000004 (2nd 5/6 DIF seq)\n\t  "
                            L"dwDVVAuxSrc =00000005, dwDVVAuxCtl =00000006 (Video)\n\t  "
                            L"dwDVReserved[0]=00000007, dwDVReserved[1]=00000008\n"));
    trace.Clear();
    CMType mt(MEDIATYPE_Interleaved, GUID_NULL);
    mt.formattype = FORMAT_DvInfo;
    mt.cbFormat = 20;
    mt.pbFormat = MTAllocFormat(20, &dv);
    Debug_MediaType(CAT, LVL, &mt, nullptr);
    EXPECT_EQ(L"### MT: DVINFO not found, cbFormat = 20\n", Bodies(trace).at(1));
    trace.Clear();
    Debug_DvInfo(CAT, LVL, nullptr, nullptr);
    EXPECT_THAT(Bodies(trace), ElementsAre(L"###Err### Debug_DvInfo(): Empty DVINFO pointer\n"));
}

TEST(DebugKsVBIInfoHeader, LinesPrefixAndShortRecord)
{
    CTraceCapture trace;
    KS_VBIINFOHEADER vbi = {10, 21, 28636360, 1, 2, 3, 4, 0x10, 1600, 1600, 33600};
    Debug_KsVBIInfoHeader(CAT, LVL, &vbi, L"VBI");
    EXPECT_THAT(Bodies(trace),
                ElementsAre(L"VBI: KS_VBIINFOHEADER: StartLine=10, EndLine=21, SamplingFrequency=28636360\n",
                            L"VBI: KS_VBIINFOHEADER: Min/Max LineStartTime: 1:2, ActualLine Start/End Time=3:4\n",
                            L"VBI: KS_VBIINFOHEADER: VideoStandard=0x10, SamplesPerLine=1600, StrideInBytes=1600, "
                            L"BufferSize=33600\n"));
    trace.Clear();
    Debug_KsVBIInfoHeader(CAT, LVL, &vbi, nullptr, 40);
    Debug_KsVBIInfoHeader(CAT, LVL, nullptr, nullptr);
    EXPECT_THAT(Bodies(trace), ElementsAre(L"### : KS_VBIINFOHEADER not found, cbFormat = 40\n",
                                           L"###Err### Debug_KsVBIInfoHeader(): Empty pointer to struct\n"));
}

TEST(DebugBitmapInfoHeader, PrefixRulesAndOddExtraSizes)
{
    CTraceCapture trace;
    BITMAPINFOHEADER bmih = {};
    bmih.biSize = 40;
    bmih.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
    for (LPCWSTR psz : {L"A", L"A ", L"", static_cast<LPCWSTR>(nullptr)})
        Debug_BitmapInfoHeader(CAT, LVL, &bmih, -40, psz);
    bmih.biClrImportant = 3;
    Debug_BitmapInfoHeader(CAT, LVL, &bmih, 0, L"B");
    Debug_BitmapInfoHeader(CAT, LVL, nullptr, 0, L"C");
    const std::wstring line = L"BITMAPINFOHEADER: size=40, w=0, h=0, planes=0, bits=0, compress=YUY2, sizeImg=0\n";
    EXPECT_THAT(Bodies(trace), ElementsAre(L"A " + line, L"A " + line, line, line, L"B " + line,
                                           L"B BITMAPINFOHEADER: ClrUsed=0, ClrImp=3\n",
                                           L"###Err### C Debug_BitmapInfoHeader(): Empty header pointer\n"));
}

TEST(DebugColorControl, FlaggedFieldsOnly)
{
    CTraceCapture trace;
    DDCOLORCONTROL cc = {};
    cc.dwSize = sizeof(cc);
    cc.dwFlags = DDCOLOR_BRIGHTNESS | DDCOLOR_HUE | DDCOLOR_COLORENABLE;
    cc.lBrightness = 750;
    cc.lContrast = 99;
    cc.lHue = -5;
    cc.lColorEnable = 1;
    Debug_ColorControl(CAT, LVL, &cc);
    cc.dwFlags = 0;
    Debug_ColorControl(CAT, LVL, &cc);
    EXPECT_THAT(Bodies(trace), ElementsAre(L"*** Surface properties : dwFlags=0x45  Brightness=750  Hue=-5  ColorEnable=1\n",
                                           L"*** Surface properties : dwFlags=0x0\n"));
}
