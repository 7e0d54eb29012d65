// Where the records inside a video format block lie, checked against the
// block's real size: a neighbour filter may hand over a block shorter than
// the header its format type promises.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <amvideo.h>
#include <dvdmedia.h>
#include <uuids.h>
#include <cstddef>

// FORMAT_VideoInfo and FORMAT_MPEGVideo start with a VIDEOINFOHEADER; the two
// others with a VIDEOINFOHEADER2.
inline bool MTIsVideoInfo1(REFGUID formattype)
{
    return IsEqualGUID(formattype, FORMAT_VideoInfo) || IsEqualGUID(formattype, FORMAT_MPEGVideo);
}

inline bool MTIsVideoInfo2(REFGUID formattype)
{
    return IsEqualGUID(formattype, FORMAT_VideoInfo2) || IsEqualGUID(formattype, FORMAT_MPEG2Video);
}

// The picture header of a video format block, or null when the format type
// has none or the block ends before the header does.
inline const BITMAPINFOHEADER* MTFindBitmapHeader(const AM_MEDIA_TYPE* pmt)
{
    if (pmt->pbFormat == nullptr)
        return nullptr;
    size_t cbOffset = 0;
    if (MTIsVideoInfo1(pmt->formattype))
        cbOffset = offsetof(VIDEOINFOHEADER, bmiHeader);
    else if (MTIsVideoInfo2(pmt->formattype))
        cbOffset = offsetof(VIDEOINFOHEADER2, bmiHeader);
    else
        return nullptr;
    if (pmt->cbFormat < cbOffset + sizeof(BITMAPINFOHEADER))
        return nullptr;
    return reinterpret_cast<const BITMAPINFOHEADER*>(pmt->pbFormat + cbOffset);
}
