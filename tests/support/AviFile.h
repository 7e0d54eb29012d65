// An uncompressed AVI file in the temporary folder, for graphs of real
// filters: one 'DIB ' video stream, key frames only, with an idx1 index.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Bytes of one bottom-up frame; rows are padded to four bytes.
inline DWORD AviFrameSize(LONG nWidth, LONG nHeight, WORD wBitCount)
{
    const DWORD cbStride = ((static_cast<DWORD>(nWidth) * wBitCount + 31) / 32) * 4;
    return cbStride * static_cast<DWORD>(nHeight);
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

// Writes the file and returns its path; the caller deletes it.
inline std::wstring WriteTestAviFile(LONG nWidth, LONG nHeight, WORD wBitCount, DWORD nFrames, DWORD nFps)
{
    const DWORD cbFrame = AviFrameSize(nWidth, nHeight, wBitCount);
    std::vector<BYTE> f;
    auto put32 = [&](DWORD v) { f.insert(f.end(), reinterpret_cast<BYTE*>(&v), reinterpret_cast<BYTE*>(&v) + 4); };
    auto put16 = [&](WORD v) { f.insert(f.end(), reinterpret_cast<BYTE*>(&v), reinterpret_cast<BYTE*>(&v) + 2); };
    auto fourcc = [&](const char* psz) { f.insert(f.end(), psz, psz + 4); };
    auto patch32 = [&](size_t at, DWORD v) { memcpy(&f[at], &v, 4); };
    const DWORD nUsPerFrame = 1000000 / nFps;

    fourcc("RIFF");
    const size_t atRiffSize = f.size();
    put32(0);
    fourcc("AVI ");

    fourcc("LIST");
    const size_t atHdrlSize = f.size();
    put32(0);
    fourcc("hdrl");
    fourcc("avih");
    put32(56);
    put32(nUsPerFrame);     // dwMicroSecPerFrame
    put32(cbFrame * nFps);  // dwMaxBytesPerSec
    put32(0);               // dwPaddingGranularity
    put32(0x10);            // dwFlags: AVIF_HASINDEX
    put32(nFrames);         // dwTotalFrames
    put32(0);               // dwInitialFrames
    put32(1);               // dwStreams
    put32(cbFrame);         // dwSuggestedBufferSize
    put32(static_cast<DWORD>(nWidth));
    put32(static_cast<DWORD>(nHeight));
    for (int i = 0; i < 4; ++i)
        put32(0); // dwReserved

    fourcc("LIST");
    const size_t atStrlSize = f.size();
    put32(0);
    fourcc("strl");
    fourcc("strh");
    put32(56);
    fourcc("vids");
    fourcc("DIB ");
    put32(0);       // dwFlags
    put16(0);       // wPriority
    put16(0);       // wLanguage
    put32(0);       // dwInitialFrames
    put32(1);       // dwScale
    put32(nFps);    // dwRate
    put32(0);       // dwStart
    put32(nFrames); // dwLength
    put32(cbFrame); // dwSuggestedBufferSize
    put32(0xFFFFFFFF); // dwQuality
    put32(0);          // dwSampleSize
    put16(0);
    put16(0);
    put16(static_cast<WORD>(nWidth));
    put16(static_cast<WORD>(nHeight)); // rcFrame
    fourcc("strf");
    put32(40);
    put32(40);
    put32(static_cast<DWORD>(nWidth));
    put32(static_cast<DWORD>(nHeight));
    put16(1);
    put16(wBitCount);
    put32(BI_RGB);
    put32(cbFrame);
    put32(0);
    put32(0);
    put32(0);
    put32(0);
    patch32(atStrlSize, static_cast<DWORD>(f.size() - atStrlSize - 4));
    patch32(atHdrlSize, static_cast<DWORD>(f.size() - atHdrlSize - 4));

    fourcc("LIST");
    const size_t atMoviSize = f.size();
    put32(0);
    const size_t atMovi = f.size();
    fourcc("movi");
    std::vector<DWORD> offsets;
    for (DWORD n = 0; n < nFrames; ++n)
    {
        offsets.push_back(static_cast<DWORD>(f.size() - atMovi));
        fourcc("00db");
        put32(cbFrame);
        const std::vector<BYTE> frame = AviFrameBytes(nWidth, nHeight, wBitCount, n);
        f.insert(f.end(), frame.begin(), frame.end());
        if (cbFrame & 1)
            f.push_back(0);
    }
    patch32(atMoviSize, static_cast<DWORD>(f.size() - atMoviSize - 4));

    fourcc("idx1");
    put32(nFrames * 16);
    for (DWORD n = 0; n < nFrames; ++n)
    {
        fourcc("00db");
        put32(0x10); // AVIIF_KEYFRAME
        put32(offsets[n]);
        put32(cbFrame);
    }
    patch32(atRiffSize, static_cast<DWORD>(f.size() - 8));

    WCHAR szDir[MAX_PATH], szPath[MAX_PATH];
    GetTempPathW(MAX_PATH, szDir);
    GetTempFileNameW(szDir, L"vla", 0, szPath);
    HANDLE h = CreateFileW(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD cbWritten = 0;
    WriteFile(h, f.data(), static_cast<DWORD>(f.size()), &cbWritten, nullptr);
    CloseHandle(h);
    return szPath;
}
