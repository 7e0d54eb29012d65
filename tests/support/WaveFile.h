// A PCM WAVE file in the temporary folder, for graphs of real filters.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include <string>
#include <vector>

// Writes one file of silence and returns its path; the caller deletes it.
inline std::wstring WriteTestWaveFile(DWORD nSamplesPerSec = 8000, WORD nChannels = 1, WORD wBitsPerSample = 8,
                                      DWORD cbData = 8000)
{
    WCHAR szDir[MAX_PATH], szPath[MAX_PATH];
    GetTempPathW(MAX_PATH, szDir);
    GetTempFileNameW(szDir, L"vlm", 0, szPath);
    const WORD nBlockAlign = static_cast<WORD>(nChannels * wBitsPerSample / 8);
    std::vector<BYTE> file(44 + cbData, wBitsPerSample == 8 ? 0x80 : 0);
    auto put32 = [&](size_t at, DWORD v) { memcpy(&file[at], &v, 4); };
    auto put16 = [&](size_t at, WORD v) { memcpy(&file[at], &v, 2); };
    memcpy(&file[0], "RIFF", 4);
    put32(4, 36 + cbData);
    memcpy(&file[8], "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, WAVE_FORMAT_PCM);
    put16(22, nChannels);
    put32(24, nSamplesPerSec);
    put32(28, nSamplesPerSec * nBlockAlign);
    put16(32, nBlockAlign);
    put16(34, wBitsPerSample);
    memcpy(&file[36], "data", 4);
    put32(40, cbData);
    HANDLE h = CreateFileW(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD cbWritten = 0;
    WriteFile(h, file.data(), static_cast<DWORD>(file.size()), &cbWritten, nullptr);
    CloseHandle(h);
    return szPath;
}
