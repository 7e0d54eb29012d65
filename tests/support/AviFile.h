// An uncompressed AVI file in the temporary folder, for graphs of real
// filters: one 'DIB ' video stream, key frames only, with an idx1 index,
// and on request a PCM audio stream interleaved with it.
#pragma once

#include <windows.h>

#include <helpers/MediaFiles.h>

#include <string>
#include <vector>

// Bytes of one bottom-up frame; rows are padded to four bytes.
inline DWORD AviFrameSize(LONG nWidth, LONG nHeight, WORD wBitCount)
{
    CAviVideoDesc v;
    v.nWidth = nWidth;
    v.nHeight = nHeight;
    v.wBitCount = wBitCount;
    return AviVideoFrameSize(v);
}

// The content of frame nFrame, different for each frame. Row padding is
// zero: a splitter that converts the picture need not keep it.
inline std::vector<BYTE> AviFrameBytes(LONG nWidth, LONG nHeight, WORD wBitCount, DWORD nFrame)
{
    std::vector<BYTE> frame(AviFrameSize(nWidth, nHeight, wBitCount));
    const size_t cbStride = frame.size() / static_cast<size_t>(nHeight);
    const size_t cbRow = static_cast<size_t>(nWidth) * wBitCount / 8;
    for (size_t i = 0; i < frame.size(); ++i)
        if (i % cbStride < cbRow)
            frame[i] = static_cast<BYTE>(i * 7 + nFrame * 31 + (i >> 8));
    return frame;
}

// Writes the file and returns its path; the caller deletes it. The audio,
// when asked for, is a ramp, so that every chunk differs from the others.
inline std::wstring WriteTestAviFile(LONG nWidth, LONG nHeight, WORD wBitCount, DWORD nFrames, DWORD nFps,
                                     const CPcmDesc* pAudio = nullptr)
{
    CAviVideoDesc v;
    v.nWidth = nWidth;
    v.nHeight = nHeight;
    v.wBitCount = wBitCount;
    v.nFps = nFps;
    const std::wstring path = MakeTempMediaPath(L"vla");
    WriteAviFile(path.c_str(), v, nFrames, [&](DWORD nFrame, BYTE* pb, DWORD cb) {
        const std::vector<BYTE> frame = AviFrameBytes(nWidth, nHeight, wBitCount, nFrame);
        memcpy(pb, frame.data(), std::min<size_t>(cb, frame.size()));
    }, pAudio, [](DWORD nFirstBlock, BYTE* pb, DWORD cb) {
        for (DWORD i = 0; i < cb; ++i)
            pb[i] = static_cast<BYTE>(nFirstBlock * 3 + i * 5);
    });
    return path;
}
