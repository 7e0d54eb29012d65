// The clip spyhost plays without a FILE: three seconds of a moving test
// pattern (uncompressed RGB) and a 440 Hz tone (PCM), in one AVI file.
#pragma once

#include <helpers/MediaFiles.h>

#include <string>

struct CDefaultClip
{
    CAviVideoDesc video;
    CPcmDesc audio;
    DWORD nFrames;

    CDefaultClip(DWORD nSeconds = 3)
    {
        video.nWidth = 160;
        video.nHeight = 120;
        video.wBitCount = 24;
        video.nFps = 25;
        audio.nSamplesPerSec = 22050;
        audio.nChannels = 1;
        audio.wBitsPerSample = 16;
        nFrames = nSeconds * video.nFps;
    }
    DWORD AudioBytes() const { return AviAudioFirstBlock(video, audio, nFrames) * audio.BlockAlign(); }
};

// Colour bars that scroll left by two pixels a frame, with a white square
// that crosses the picture diagonally: every frame differs, and a stalled
// picture shows.
void FillTestPattern(const CAviVideoDesc& v, DWORD nFrame, BYTE* pb, DWORD cb);
// A sine tone of 16-bit samples, continuous across calls.
void FillTone(const CPcmDesc& a, DWORD nFirstBlock, BYTE* pb, DWORD cb, double dHz = 440.0);

// Writes the clip; false when the file cannot be written.
bool WriteDefaultClip(LPCWSTR pszPath, const CDefaultClip& clip);
