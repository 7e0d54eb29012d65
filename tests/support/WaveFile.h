// A PCM WAVE file in the temporary folder, for graphs of real filters.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include <helpers/MediaFiles.h>

#include <string>
#include <vector>

// Writes one file of silence and returns its path; the caller deletes it.
inline std::wstring WriteTestWaveFile(DWORD nSamplesPerSec = 8000, WORD nChannels = 1, WORD wBitsPerSample = 8,
                                      DWORD cbData = 8000)
{
    CPcmDesc a;
    a.nSamplesPerSec = nSamplesPerSec;
    a.nChannels = nChannels;
    a.wBitsPerSample = wBitsPerSample;
    const std::wstring path = MakeTempMediaPath(L"vlm");
    WriteWaveFile(path.c_str(), a, cbData,
                  [&](DWORD, BYTE* pb, DWORD cb) { memset(pb, wBitsPerSample == 8 ? 0x80 : 0, cb); });
    return path;
}
