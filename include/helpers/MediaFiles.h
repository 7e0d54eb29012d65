// Writers of small uncompressed media files: a PCM WAVE file and an AVI file
// with one video stream and an optional PCM audio stream, interleaved per
// frame, with an idx1 index. The command-line host writes its default clip
// with them; tests and benchmarks write their media the same way.
//
// Content comes from callbacks, so a caller decides what each frame and each
// stretch of audio holds; files are written as they are generated, so a long
// clip never sits in memory.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

struct CAviVideoDesc
{
    LONG nWidth = 160;
    LONG nHeight = 120;
    WORD wBitCount = 24;       // bottom-up RGB; rows padded to four bytes
    DWORD dwCompression = BI_RGB;
    DWORD nFps = 25;
};

struct CPcmDesc
{
    DWORD nSamplesPerSec = 22050;
    WORD nChannels = 1;
    WORD wBitsPerSample = 16;

    WORD BlockAlign() const { return static_cast<WORD>(nChannels * wBitsPerSample / 8); }
    DWORD BytesPerSec() const { return nSamplesPerSec * BlockAlign(); }
};

// Fills cb bytes of frame nFrame.
using PFN_FILL_FRAME = std::function<void(DWORD nFrame, BYTE* pb, DWORD cb)>;
// Fills cb bytes of audio that start at block (sample frame) nFirstBlock.
using PFN_FILL_AUDIO = std::function<void(DWORD nFirstBlock, BYTE* pb, DWORD cb)>;

// Bytes of one frame: bottom-up rows padded to four bytes.
inline DWORD AviVideoFrameSize(const CAviVideoDesc& v)
{
    const DWORD cbStride = ((static_cast<DWORD>(v.nWidth) * v.wBitCount + 31) / 32) * 4;
    return cbStride * static_cast<DWORD>(v.nHeight);
}

// Audio blocks that go with frame nFrame: the blocks from
// nFrame * rate / fps up to the next frame's first block.
inline DWORD AviAudioFirstBlock(const CAviVideoDesc& v, const CPcmDesc& a, DWORD nFrame)
{
    return static_cast<DWORD>(static_cast<ULONGLONG>(nFrame) * a.nSamplesPerSec / v.nFps);
}

namespace media_files_detail
{

// Sequential writer with size fields patched in place at the end.
class CRiffOut
{
public:
    explicit CRiffOut(LPCWSTR pszPath)
        : m_h(CreateFileW(pszPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~CRiffOut()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    CRiffOut(const CRiffOut&) = delete;
    CRiffOut& operator=(const CRiffOut&) = delete;

    bool Ok() const { return m_h != INVALID_HANDLE_VALUE && m_bOk; }
    DWORD Pos() const { return m_dwPos; }

    void Put(const void* pv, DWORD cb)
    {
        DWORD cbWritten = 0;
        if (!m_bOk || !WriteFile(m_h, pv, cb, &cbWritten, nullptr) || cbWritten != cb)
            m_bOk = false;
        m_dwPos += cb;
    }
    void Put32(DWORD v) { Put(&v, 4); }
    void Put16(WORD v) { Put(&v, 2); }
    void Fourcc(const char* psz) { Put(psz, 4); }
    // Writes a size field of 0 and returns its offset for Patch.
    DWORD SizeField()
    {
        const DWORD at = m_dwPos;
        Put32(0);
        return at;
    }
    // The size field at 'at' covers everything written after it.
    void Patch(DWORD at) { PatchValue(at, m_dwPos - at - 4); }
    void PatchValue(DWORD at, DWORD v)
    {
        if (!m_bOk)
            return;
        LARGE_INTEGER li;
        li.QuadPart = at;
        DWORD cbWritten = 0;
        m_bOk = SetFilePointerEx(m_h, li, nullptr, FILE_BEGIN) && WriteFile(m_h, &v, 4, &cbWritten, nullptr) &&
                cbWritten == 4;
        li.QuadPart = m_dwPos;
        m_bOk = m_bOk && SetFilePointerEx(m_h, li, nullptr, FILE_BEGIN);
    }

private:
    HANDLE m_h;
    bool m_bOk = true;
    DWORD m_dwPos = 0;
};

inline void PutWaveFormat(CRiffOut& out, const CPcmDesc& a)
{
    out.Put16(WAVE_FORMAT_PCM);
    out.Put16(a.nChannels);
    out.Put32(a.nSamplesPerSec);
    out.Put32(a.BytesPerSec());
    out.Put16(a.BlockAlign());
    out.Put16(a.wBitsPerSample);
}

inline void PutStreamHeader(CRiffOut& out, const char* pszType, DWORD fccHandler, DWORD dwScale, DWORD dwRate,
                            DWORD dwLength, DWORD cbSuggested, DWORD dwSampleSize, LONG nWidth, LONG nHeight)
{
    out.Fourcc("strh");
    out.Put32(56);
    out.Fourcc(pszType);
    out.Put32(fccHandler);
    out.Put32(0); // dwFlags
    out.Put16(0); // wPriority
    out.Put16(0); // wLanguage
    out.Put32(0); // dwInitialFrames
    out.Put32(dwScale);
    out.Put32(dwRate);
    out.Put32(0); // dwStart
    out.Put32(dwLength);
    out.Put32(cbSuggested);
    out.Put32(0xFFFFFFFF); // dwQuality
    out.Put32(dwSampleSize);
    out.Put16(0);
    out.Put16(0);
    out.Put16(static_cast<WORD>(nWidth));
    out.Put16(static_cast<WORD>(nHeight)); // rcFrame
}

struct CIndexEntry
{
    char fcc[4];
    DWORD dwFlags;
    DWORD dwOffset;
    DWORD cb;
};

} // namespace media_files_detail

// Writes a PCM WAVE file of cbData bytes. Returns false when the file cannot
// be written.
inline bool WriteWaveFile(LPCWSTR pszPath, const CPcmDesc& a, DWORD cbData, const PFN_FILL_AUDIO& fill)
{
    using namespace media_files_detail;
    CRiffOut out(pszPath);
    out.Fourcc("RIFF");
    out.Put32(36 + cbData);
    out.Fourcc("WAVE");
    out.Fourcc("fmt ");
    out.Put32(16);
    PutWaveFormat(out, a);
    out.Fourcc("data");
    out.Put32(cbData);
    const DWORD cbBlock = a.BlockAlign() ? a.BlockAlign() : 1;
    std::vector<BYTE> buf(65536 - 65536 % cbBlock);
    for (DWORD cbDone = 0; cbDone < cbData && out.Ok();)
    {
        const DWORD cb = static_cast<DWORD>(std::min<size_t>(buf.size(), cbData - cbDone));
        fill(cbDone / cbBlock, buf.data(), cb);
        out.Put(buf.data(), cb);
        cbDone += cb;
    }
    return out.Ok();
}

// Writes an AVI file of nFrames key frames and, when pAudio is given, the
// audio that plays with them, one audio chunk after each frame. Returns false
// when the file cannot be written.
inline bool WriteAviFile(LPCWSTR pszPath, const CAviVideoDesc& v, DWORD nFrames, const PFN_FILL_FRAME& fillFrame,
                         const CPcmDesc* pAudio = nullptr, const PFN_FILL_AUDIO& fillAudio = nullptr)
{
    using namespace media_files_detail;
    const DWORD cbFrame = AviVideoFrameSize(v);
    const DWORD nStreams = pAudio ? 2 : 1;
    const DWORD nBlocks = pAudio ? AviAudioFirstBlock(v, *pAudio, nFrames) : 0;
    const DWORD cbAudioMax =
        pAudio ? (AviAudioFirstBlock(v, *pAudio, 1) + 1) * pAudio->BlockAlign() : 0;
    CRiffOut out(pszPath);

    out.Fourcc("RIFF");
    const DWORD atRiff = out.SizeField();
    out.Fourcc("AVI ");

    out.Fourcc("LIST");
    const DWORD atHdrl = out.SizeField();
    out.Fourcc("hdrl");
    out.Fourcc("avih");
    out.Put32(56);
    out.Put32(1000000 / v.nFps); // dwMicroSecPerFrame
    out.Put32(cbFrame * v.nFps + (pAudio ? pAudio->BytesPerSec() : 0));
    out.Put32(0);        // dwPaddingGranularity
    out.Put32(0x10);     // dwFlags: AVIF_HASINDEX
    out.Put32(nFrames);  // dwTotalFrames
    out.Put32(0);        // dwInitialFrames
    out.Put32(nStreams); // dwStreams
    out.Put32(cbFrame);  // dwSuggestedBufferSize
    out.Put32(static_cast<DWORD>(v.nWidth));
    out.Put32(static_cast<DWORD>(v.nHeight));
    for (int i = 0; i < 4; ++i)
        out.Put32(0); // dwReserved

    out.Fourcc("LIST");
    const DWORD atStrlV = out.SizeField();
    out.Fourcc("strl");
    const DWORD fccHandler = v.dwCompression == BI_RGB ? 0x20424944 /* 'DIB ' */ : v.dwCompression;
    PutStreamHeader(out, "vids", fccHandler, 1, v.nFps, nFrames, cbFrame, 0, v.nWidth, v.nHeight);
    out.Fourcc("strf");
    out.Put32(40);
    out.Put32(40);
    out.Put32(static_cast<DWORD>(v.nWidth));
    out.Put32(static_cast<DWORD>(v.nHeight));
    out.Put16(1);
    out.Put16(v.wBitCount);
    out.Put32(v.dwCompression);
    out.Put32(cbFrame);
    for (int i = 0; i < 4; ++i)
        out.Put32(0);
    out.Patch(atStrlV);

    if (pAudio)
    {
        out.Fourcc("LIST");
        const DWORD atStrlA = out.SizeField();
        out.Fourcc("strl");
        PutStreamHeader(out, "auds", 0, pAudio->BlockAlign(), pAudio->BytesPerSec(), nBlocks, cbAudioMax,
                        pAudio->BlockAlign(), 0, 0);
        out.Fourcc("strf");
        out.Put32(18);
        PutWaveFormat(out, *pAudio);
        out.Put16(0); // cbSize
        out.Patch(atStrlA);
    }
    out.Patch(atHdrl);

    out.Fourcc("LIST");
    const DWORD atMovi = out.SizeField();
    const DWORD atMoviType = out.Pos();
    out.Fourcc("movi");
    std::vector<CIndexEntry> index;
    index.reserve(nFrames * nStreams);
    std::vector<BYTE> buf(std::max(cbFrame, cbAudioMax) + 1);
    auto putChunk = [&](const char* pszFcc, DWORD cb) {
        CIndexEntry e = {{pszFcc[0], pszFcc[1], pszFcc[2], pszFcc[3]}, 0x10, out.Pos() - atMoviType, cb};
        index.push_back(e);
        out.Fourcc(pszFcc);
        out.Put32(cb);
        buf[cb] = 0;
        out.Put(buf.data(), cb + (cb & 1));
    };
    for (DWORD n = 0; n < nFrames && out.Ok(); ++n)
    {
        fillFrame(n, buf.data(), cbFrame);
        putChunk("00db", cbFrame);
        if (!pAudio)
            continue;
        const DWORD nFirst = AviAudioFirstBlock(v, *pAudio, n);
        const DWORD cbAudio = (AviAudioFirstBlock(v, *pAudio, n + 1) - nFirst) * pAudio->BlockAlign();
        if (cbAudio == 0)
            continue;
        fillAudio(nFirst, buf.data(), cbAudio);
        putChunk("01wb", cbAudio);
    }
    out.Patch(atMovi);

    out.Fourcc("idx1");
    out.Put32(static_cast<DWORD>(index.size() * sizeof(CIndexEntry)));
    out.Put(index.data(), static_cast<DWORD>(index.size() * sizeof(CIndexEntry)));
    out.Patch(atRiff);
    return out.Ok();
}

// A path in the temporary folder from GetTempFileNameW (the file exists,
// empty) with the given three-letter prefix; empty on failure.
inline std::wstring MakeTempMediaPath(LPCWSTR pszPrefix)
{
    WCHAR szDir[MAX_PATH], szPath[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, szDir) || !GetTempFileNameW(szDir, pszPrefix, 0, szPath))
        return std::wstring();
    return szPath;
}
