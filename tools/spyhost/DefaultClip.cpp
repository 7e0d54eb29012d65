#include "DefaultClip.h"

#include <cmath>

void FillTestPattern(const CAviVideoDesc& v, DWORD nFrame, BYTE* pb, DWORD cb)
{
    static const BYTE s_bars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                      {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}}; // B, G, R
    const DWORD cbStride = AviVideoFrameSize(v) / static_cast<DWORD>(v.nHeight);
    const LONG nBar = v.nWidth / 8 > 0 ? v.nWidth / 8 : 1;
    const LONG nSquare = v.nHeight / 6;
    const LONG xSquare = static_cast<LONG>(nFrame * 3) % (v.nWidth - nSquare);
    const LONG ySquare = static_cast<LONG>(nFrame * 2) % (v.nHeight - nSquare);
    memset(pb, 0, cb);
    for (LONG y = 0; y < v.nHeight && static_cast<DWORD>(y + 1) * cbStride <= cb; ++y)
    {
        BYTE* pRow = pb + static_cast<DWORD>(v.nHeight - 1 - y) * cbStride; // bottom-up
        for (LONG x = 0; x < v.nWidth; ++x)
        {
            const bool bSquare = x >= xSquare && x < xSquare + nSquare && y >= ySquare && y < ySquare + nSquare;
            const BYTE* pColour = bSquare ? s_bars[0] : s_bars[((x + static_cast<LONG>(nFrame) * 2) / nBar) % 8];
            BYTE* pPixel = pRow + x * (v.wBitCount / 8);
            for (int c = 0; c < 3; ++c)
                pPixel[c] = pColour[c];
        }
    }
}

void FillTone(const CPcmDesc& a, DWORD nFirstBlock, BYTE* pb, DWORD cb, double dHz)
{
    const double dStep = 2 * 3.14159265358979323846 * dHz / a.nSamplesPerSec;
    const DWORD cbBlock = a.BlockAlign();
    for (DWORD i = 0; i + cbBlock <= cb; i += cbBlock)
    {
        const SHORT s = static_cast<SHORT>(8000 * std::sin(dStep * (nFirstBlock + i / cbBlock)));
        for (WORD c = 0; c < a.nChannels; ++c)
            memcpy(pb + i + c * 2, &s, 2);
    }
}

bool WriteDefaultClip(LPCWSTR pszPath, const CDefaultClip& clip)
{
    return WriteAviFile(
        pszPath, clip.video, clip.nFrames,
        [&](DWORD nFrame, BYTE* pb, DWORD cb) { FillTestPattern(clip.video, nFrame, pb, cb); }, &clip.audio,
        [&](DWORD nFirst, BYTE* pb, DWORD cb) { FillTone(clip.audio, nFirst, pb, cb); });
}
