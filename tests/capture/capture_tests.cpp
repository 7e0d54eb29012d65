// Capture of real allocator samples to files, read back with the capture
// file reader.
#include <windows.h>
#include <dshow.h>

#include <helpers/CaptureSamples.h>
#include <winapi/Persist.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ComTest.h"
#include "support/Files.h"
#include "support/HeapCalls.h"
#include "support/OddSample.h"
#include "support/TraceCapture.h"

namespace
{
std::wstring Dir(LPCWSTR pszName)
{
    WCHAR sz[MAX_PATH];
    GetTempPathW(MAX_PATH, sz);
    std::wstring dir = std::wstring(sz) + L"velmora_cap_" + pszName;
    CreateDirectoryW(dir.c_str(), NULL);
    // Start each test with an empty folder.
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE)
    {
        do
        {
            DeleteFileW((dir + L"\\" + fd.cFileName).c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    return dir + L"\\";
}


// Runs the reader beside the test program; its output as text.
std::string CapRead(const std::wstring& args, DWORD* pdwExit = nullptr)
{
    const std::wstring out = Dir(L"reader") + L"out.txt";
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hOut = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, NULL);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hOut;
    si.hStdError = hOut;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"capread.exe " + args;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    {
        CloseHandle(hOut);
        return "cannot start capread";
    }
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD dwExit = 0;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    if (pdwExit != nullptr)
        *pdwExit = dwExit;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(hOut);
    const std::vector<BYTE> text = ReadAll(out);
    return std::string(text.begin(), text.end());
}

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

bool WaitFileSize(const std::wstring& file, LONGLONG llSize)
{
    for (int i = 0; i < 5000; ++i)
    {
        WIN32_FILE_ATTRIBUTE_DATA fad = {};
        if (GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &fad) &&
            (static_cast<LONGLONG>(fad.nFileSizeHigh) << 32 | fad.nFileSizeLow) >= llSize)
            return true;
        Sleep(1);
    }
    return false;
}

// A pipe that nobody reads stands for a stalled file system: a writer that
// sends it more than its buffer blocks until the test reads.
class CStalledPipe
{
public:
    explicit CStalledPipe(LPCWSTR pszName)
        : m_h(CreateNamedPipeW(pszName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, NULL))
    {
    }
    ~CStalledPipe() { CloseHandle(m_h); }
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }
    // True once a writer has started sending (and so is blocked in its write).
    bool WaitWriter() const
    {
        for (int i = 0; i < 500; ++i)
        {
            DWORD cbAvail = 0;
            if (PeekNamedPipe(m_h, nullptr, 0, nullptr, &cbAvail, nullptr) && cbAvail > 0)
                return true;
            Sleep(10);
        }
        return false;
    }
    std::vector<BYTE> Read(size_t cb) const
    {
        std::vector<BYTE> v(cb);
        size_t n = 0;
        DWORD cbRead = 0;
        while (n < cb && ReadFile(m_h, v.data() + n, static_cast<DWORD>(cb - n), &cbRead, nullptr) && cbRead > 0)
            n += cbRead;
        v.resize(n);
        return v;
    }

private:
    HANDLE m_h;
};

class Capture : public CComTest
{
protected:
    void SetUp() override
    {
        CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                         reinterpret_cast<void**>(&m_spAlloc));
        ALLOCATOR_PROPERTIES want = {4, 70000, 1, 0}, got = {};
        ASSERT_EQ(S_OK, m_spAlloc->SetProperties(&want, &got));
        ASSERT_EQ(S_OK, m_spAlloc->Commit());
    }
    void TearDown() override
    {
        m_spAlloc->Decommit();
        m_spAlloc.Release();
    }
    // A real sample holding data, with times from its index.
    CComPtr<IMediaSample> Sample(const std::vector<BYTE>& data, LONGLONG llIndex = 0)
    {
        CComPtr<IMediaSample> sp;
        EXPECT_EQ(S_OK, m_spAlloc->GetBuffer(&sp, nullptr, nullptr, 0));
        BYTE* pb = nullptr;
        sp->GetPointer(&pb);
        memcpy(pb, data.data(), data.size());
        sp->SetActualDataLength(static_cast<long>(data.size()));
        REFERENCE_TIME t1 = llIndex * 400000, t2 = t1 + 400000;
        sp->SetTime(&t1, &t2);
        sp->SetSyncPoint(llIndex == 0);
        return sp;
    }
    // Waits until the worker has ended the capture.
    static bool WaitDone(CCaptureSamples& cap)
    {
        for (int i = 0; i < 500 && cap.IsCapturing(); ++i)
            Sleep(10);
        return !cap.IsCapturing();
    }
    static std::vector<BYTE> Pattern(size_t cb, BYTE nSeed)
    {
        std::vector<BYTE> v(cb);
        for (size_t i = 0; i < cb; ++i)
            v[i] = static_cast<BYTE>(nSeed + i * 7 + (i >> 8));
        return v;
    }
    static AM_MEDIA_TYPE AudioType()
    {
        AM_MEDIA_TYPE mt = {};
        mt.majortype = MEDIATYPE_Audio;
        mt.subtype = MEDIASUBTYPE_PCM;
        return mt;
    }
    CComPtr<IMemAllocator> m_spAlloc;
};
} // namespace

TEST_F(Capture, RawFilesOnePerSampleNamedBySampleIndex)
{
    const std::wstring dir = Dir(L"raw");
    CCaptureSamples cap;
    ASSERT_EQ(S_OK, cap.SetCaptureProps((dir + L"x.bin").c_str(), TRUE, 3, false));
    EXPECT_EQ(CCaptureSamples::eCT_Bin, cap.CaptureType());
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    EXPECT_EQ(S_FALSE, cap.SetCaptureProps((dir + L"y.dat").c_str(), FALSE, 9, false));
    for (LONGLONG i = 0; i < 3; ++i)
        EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(1000, static_cast<BYTE>(i)), i), i));
    EXPECT_EQ(S_FALSE, cap.CaptureSample(Sample(Pattern(10, 0)), 3)); // the count is reached
    ASSERT_TRUE(WaitDone(cap));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Pattern(1000, static_cast<BYTE>(i)), ReadAll(dir + L"x_000" + std::to_wstring(i) + L".bin")) << i;
    EXPECT_FALSE(Exists(dir + L"x_0003.bin"));

    // The old properties stayed while capturing; nSamples 0 means one.
    BSTR bstr = nullptr;
    BOOL bOne = FALSE;
    UINT n = 0;
    ASSERT_EQ(S_OK, cap.GetCaptureProps(&bstr, &bOne, &n));
    EXPECT_NE(nullptr, wcsstr(bstr, L"x.bin"));
    EXPECT_EQ(3u, n);
    SysFreeString(bstr);
    ASSERT_EQ(S_OK, cap.SetCaptureProps((dir + L"noext").c_str(), TRUE, 0, false));
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(10, 5)), 12345));
    EXPECT_EQ(S_FALSE, cap.CaptureSample(Sample(Pattern(10, 5)), 12346));
    ASSERT_TRUE(WaitDone(cap));
    // Without an extension it is a data file: header, then one record.
    const std::vector<BYTE> data = ReadAll(dir + L"noext_2345");
    ASSERT_GE(data.size(), 16u);
    EXPECT_EQ(0, memcmp(data.data(), "VLM_v02", 8));
}

TEST_F(Capture, DateTimeNamesAndOddTemplates)
{
    const std::wstring dir = Dir(L"names");
    CCaptureSamples cap;
    ASSERT_EQ(S_OK, cap.SetCaptureProps((dir + L"t.bin").c_str(), TRUE, 1, true));
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(100, 1)), 42));
    ASSERT_TRUE(WaitDone(cap));
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"t_*_0042.bin").c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    FindClose(h);
    // "t_" YYYY-MM-DD_hh-mm-ss "_0042.bin"
    const std::wstring name = fd.cFileName;
    ASSERT_EQ(2u + 19u + 9u, name.size()) << Narrow(name);
    for (size_t i : {6u, 9u, 15u, 18u})
        EXPECT_EQ(L'-', name[i]) << Narrow(name);
    EXPECT_EQ(L'_', name[12]) << Narrow(name);

    EXPECT_EQ(E_INVALIDARG, cap.SetCaptureProps(std::wstring(40000, L'a').c_str(), TRUE, 1, false));
    EXPECT_EQ(E_INVALIDARG, cap.SetCaptureProps(L"", TRUE, 1, false));
    EXPECT_EQ(E_INVALIDARG, cap.SetCaptureProps(nullptr, TRUE, 1, false));
    // A template naming a folder: the open fails and the capture ends.
    ASSERT_EQ(S_OK, cap.SetCaptureProps((dir + L"sub.d\\").c_str(), FALSE, 2, false));
    CreateDirectoryW((dir + L"sub.d").c_str(), NULL);
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(100, 1)), 0));
    EXPECT_TRUE(WaitDone(cap));
    RemoveDirectoryW((dir + L"sub.d").c_str());
}

TEST_F(Capture, LeadingDotTemplateHasNoExtension)
{
    const std::wstring dir = Dir(L"dot");
    WCHAR szOld[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, szOld);
    SetCurrentDirectoryW(dir.c_str());
    {
        CCaptureSamples cap;
        ASSERT_EQ(S_OK, cap.SetCaptureProps(L".bin", TRUE, 1, false));
        EXPECT_EQ(CCaptureSamples::eCT_Data, cap.CaptureType());
        ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
        EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(300, 1)), 7));
        ASSERT_TRUE(WaitDone(cap));
    }
    SetCurrentDirectoryW(szOld);
    EXPECT_TRUE(Exists(dir + L".bin_0007"));
}

TEST_F(Capture, DataFileWithDuplicatesAndCompressionReadsBack)
{
    const std::wstring dir = Dir(L"data");
    const std::wstring file = dir + L"cap.blk";
    std::vector<BYTE> runs(65536, 0x11);
    for (size_t i = 0; i < 100; ++i)
        runs[30000 + i] = static_cast<BYTE>(i); // a literal stretch among long runs
    runs.resize(65536 - 5);                     // and a tail that is not a whole block
    const std::vector<BYTE> noise = Pattern(4000, 3);
    {
        CTraceCapture trace;
        CCaptureSamples cap;
        ASSERT_EQ(S_OK, cap.SetCaptureProps(file.c_str(), FALSE, 5, false));
        EXPECT_TRUE(cap.IsCompressing());
        AM_MEDIA_TYPE mt = AudioType();
        ASSERT_EQ(S_OK, cap.StartCapture(&mt));
        EXPECT_EQ(S_OK, cap.CaptureSample(Sample(runs, 0), 0));
        EXPECT_EQ(S_OK, cap.CaptureSample(Sample(runs, 1), 1)); // duplicate of a compressed record
        EXPECT_EQ(S_OK, cap.CaptureSample(Sample(noise, 2), 2));
        EXPECT_EQ(S_OK, cap.CaptureSample(Sample(noise, 3), 3)); // duplicate of a raw record
        EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(200, 9), 4), 4));
        ASSERT_TRUE(WaitDone(cap));
        EXPECT_TRUE(Traced(trace, L"[Capture] CaptureSample(): capture sample 3, size 4000\n"));
        EXPECT_TRUE(Traced(trace, L"### [Capture] RunThread(): capturing completed\n"));
    }
    const std::vector<BYTE> bytes = ReadAll(file);
    ASSERT_GE(bytes.size(), 16u);
    EXPECT_EQ(0, memcmp(bytes.data(), "VLM_v02\0", 8));

    DWORD dwExit = 99;
    const std::string list = CapRead(L"\"" + file + L"\" -x all -o \"" + dir + L"rec\"", &dwExit);
    EXPECT_EQ(0u, dwExit) << list;
    EXPECT_NE(std::string::npos, list.find("MEDIATYPE_Audio")) << list;
    EXPECT_NE(std::string::npos, list.find("'### SAMPLE 0000'")) << list;
    EXPECT_NE(std::string::npos, list.find("flags 0x1 sync")) << list;
    EXPECT_NE(std::string::npos, list.find("sample 65531 stored 0 record 64 duplicate")) << list;
    EXPECT_NE(std::string::npos, list.find("sample 4000 stored 0 record 64 duplicate")) << list;
    EXPECT_NE(std::string::npos, list.find("sample 4000 stored 4000 record 4064")) << list;
    EXPECT_NE(std::string::npos, list.find("compressed")) << list;
    EXPECT_NE(std::string::npos, list.find("Records: 5, extracted: 5")) << list;
    EXPECT_EQ(runs, ReadAll(dir + L"rec_0.bin"));
    EXPECT_EQ(runs, ReadAll(dir + L"rec_1.bin"));
    EXPECT_EQ(noise, ReadAll(dir + L"rec_3.bin"));
    EXPECT_EQ(Pattern(200, 9), ReadAll(dir + L"rec_4.bin"));

    // A truncated copy is reported with its record and offset.
    const std::wstring cut = dir + L"cut.dat";
    HANDLE h = CreateFileW(cut.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD cb = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size() - 100), &cb, NULL);
    CloseHandle(h);
    const std::string bad = CapRead(L"\"" + cut + L"\"", &dwExit);
    EXPECT_EQ(2u, dwExit);
    EXPECT_NE(std::string::npos, bad.find("capread: record 4 at offset")) << bad;
    EXPECT_NE(std::string::npos, bad.find("truncated record")) << bad;
}

namespace
{
// A data file of one record written by hand: what a mutated file claims.
std::wstring OneRecordFile(const std::wstring& name, DWORD cbStored, DWORD cbSample, DWORD cbRecord,
                           const std::vector<BYTE>& stored)
{
    std::vector<BYTE> bytes(CAPFILE_HEADER_FIXED + sizeof(CAPSMP2));
    memcpy(bytes.data(), CAPFILE_MAGIC, sizeof(CAPFILE_MAGIC));
    bytes[8] = static_cast<BYTE>(CAPFILE_HEADER_FIXED);
    CAPSMP2 rec = {};
    memcpy(rec.szMarker, "### SAMPLE 0000", 15);
    rec.cbRecord = cbRecord;
    rec.cbStored = cbStored;
    rec.cbSample = cbSample;
    memcpy(bytes.data() + CAPFILE_HEADER_FIXED, &rec, sizeof(rec));
    bytes.insert(bytes.end(), stored.begin(), stored.end());
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD cb = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, NULL);
    CloseHandle(h);
    return L"\"" + name + L"\"";
}

// One run descriptor and its 16 bytes, repeated nCount times when decoded.
std::vector<BYTE> Run16(DWORD nCount)
{
    const CBlockRun run = {BLOCKRUN_MAGIC, 0, 16, nCount};
    std::vector<BYTE> v(32, 0xAB);
    memcpy(v.data(), &run, sizeof(run));
    return v;
}
} // namespace

TEST_F(Capture, ReaderBoundsEverySizeByWhatTheFileAndASampleCanHold)
{
    const std::wstring dir = Dir(L"mutated");
    const struct
    {
        DWORD cbStored, cbSample, cbRecord;
        std::vector<BYTE> stored;
    } cases[] = {
        {32, 0xFFFFFFF0, 96, Run16(0x0FFFFFFF)}, // decodes to 0xFFFFFFF0 bytes
        {0xFFFFFFC0, 0xFFFFFFC0, 0, {}},         // wraps the record size to 0
        {16, 0x80000000, 80, std::vector<BYTE>(16)}, // claims 2 GiB
    };
    DWORD dwExit = 0;
    for (const auto& c : cases)
    {
        const std::string out = CapRead(OneRecordFile(dir + L"bad.dat", c.cbStored, c.cbSample, c.cbRecord, c.stored), &dwExit);
        EXPECT_EQ(2u, dwExit) << out;
        EXPECT_NE(std::string::npos, out.find("capread: record 0 at offset 16: sample size beyond what a sample can hold"))
            << out;
    }
    // A sound record of almost 2 GiB in 32 bytes is listed without decoding it.
    const std::string out = CapRead(OneRecordFile(dir + L"big.dat", 32, 0x7FFFFFF0, 96, Run16(0x07FFFFFF)), &dwExit);
    EXPECT_EQ(0u, dwExit) << out;
    EXPECT_NE(std::string::npos, out.find("sample 2147483632 stored 32 record 96 compressed")) << out;
}

TEST_F(Capture, OversizedActualLengthIsCutToTheBuffer)
{
    const std::wstring dir = Dir(L"odd");
    CTraceCapture trace;
    CCaptureSamples cap;
    ASSERT_EQ(S_OK, cap.SetCaptureProps((dir + L"odd.bin").c_str(), FALSE, 1, false));
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    COddSample odd;
    odd.m_buffer = Pattern(64, 1);
    odd.m_cbActual = 1 << 20;
    EXPECT_EQ(S_OK, cap.CaptureSample(&odd, 0));
    ASSERT_TRUE(WaitDone(cap));
    EXPECT_EQ(Pattern(64, 1), ReadAll(dir + L"odd.bin"));
    EXPECT_TRUE(Traced(trace, L"exceeds the buffer size 64, 64 bytes captured"));
}

TEST_F(Capture, BitmapsNeedAVideoTypeAndAPictureThatFits)
{
    const std::wstring dir = Dir(L"bmp");
    CTraceCapture trace;
    CCaptureSamples cap;
    ASSERT_EQ(S_OK, cap.SetCaptureProps((dir + L"pic.bmp").c_str(), FALSE, 2, false));
    AM_MEDIA_TYPE audio = AudioType();
    EXPECT_EQ(S_FALSE, cap.StartCapture(&audio));
    EXPECT_FALSE(cap.IsCapturing());

    VIDEOINFOHEADER vih = {};
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 4;
    vih.bmiHeader.biHeight = 2;
    vih.bmiHeader.biBitCount = 32;
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB32;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(vih);
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
    ASSERT_EQ(S_OK, cap.StartCapture(&mt));
    EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(32, 1)), 0));
    ASSERT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(16, 1)), 1)); // half a picture
    ASSERT_TRUE(WaitDone(cap));
    const std::vector<BYTE> bmp = ReadAll(dir + L"pic_0000.bmp");
    ASSERT_EQ(54u + 32u, bmp.size());
    EXPECT_EQ(Pattern(32, 1), std::vector<BYTE>(bmp.begin() + 54, bmp.end()));
    EXPECT_FALSE(Exists(dir + L"pic_0001.bmp"));
    EXPECT_TRUE(Traced(trace, L"WriteBitmap(): Written bitmap file '"));
    EXPECT_TRUE(Traced(trace, L"WriteBitmap(): BufferToBmpFile( '"));
}

TEST_F(Capture, AFailingWriteEndsTheCaptureAndKeepsEarlierFiles)
{
    const std::wstring dir = Dir(L"fail");
    CTraceCapture trace;
    CCaptureSamples cap;
    // The second file cannot be created: a folder has its name.
    CreateDirectoryW((dir + L"f_0001.bin").c_str(), NULL);
    ASSERT_EQ(S_OK, cap.SetCaptureProps((dir + L"f.bin").c_str(), TRUE, 3, false));
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(500, 1)), 0));
    EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(500, 2)), 1));
    ASSERT_TRUE(WaitDone(cap));
    EXPECT_EQ(Pattern(500, 1), ReadAll(dir + L"f_0000.bin"));
    EXPECT_EQ(S_FALSE, cap.CaptureSample(Sample(Pattern(500, 3)), 2)); // refused at once, never blocked
    EXPECT_TRUE(Traced(trace, L"###Err### [Capture] WriteSample(): m_writer.Open( '"));
    EXPECT_TRUE(Traced(trace, L"###Err### [Capture] RunThread(): Write...()=0x"));
    RemoveDirectoryW((dir + L"f_0001.bin").c_str());

    // A full disk: the header write fails.
    trace.Clear();
    ASSERT_EQ(S_OK, cap.SetCaptureProps(L"Z:\\dev\\full", FALSE, 2, false));
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    EXPECT_EQ(S_OK, cap.CaptureSample(Sample(Pattern(500, 1)), 0));
    ASSERT_TRUE(WaitDone(cap));
    EXPECT_TRUE(Traced(trace, L"WriteSample(): m_writer.Write( header )=0x"));
}

TEST_F(Capture, StopWhileTheWorkerWritesKeepsWholeRecords)
{
    const std::wstring dir = Dir(L"stop");
    const std::wstring file = dir + L"s.dat";
    {
        CCaptureSamples cap;
        ASSERT_EQ(S_OK, cap.SetCaptureProps(file.c_str(), FALSE, 1000, false));
        ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
        for (LONGLONG i = 0; i < 200; ++i)
        {
            const HRESULT hr = cap.CaptureSample(Sample(Pattern(60000, static_cast<BYTE>(i)), i), i);
            ASSERT_TRUE(hr == S_OK || hr == S_FALSE);
        }
        EXPECT_EQ(S_OK, cap.StopCapture());
        EXPECT_FALSE(cap.IsCapturing());
        EXPECT_EQ(S_FALSE, cap.CaptureSample(Sample(Pattern(10, 0)), 0));
    }
    DWORD dwExit = 99;
    const std::string list = CapRead(L"\"" + file + L"\"", &dwExit);
    EXPECT_EQ(0u, dwExit) << list;
    EXPECT_NE(std::string::npos, list.find("Records: ")) << list;
}

TEST_F(Capture, PropertiesPersistAndCorruptStreamsRestoreDefaults)
{
    CCaptureSamples cap;
    ASSERT_EQ(S_OK, cap.SetCaptureProps(L"c:\\cap\\x.vanc", FALSE, 7, false));
    EXPECT_TRUE(cap.IsDirty());
    CComPtr<IStream> spStm;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &spStm));
    ASSERT_EQ(S_OK, cap.PersistSave(spStm, TRUE));
    EXPECT_FALSE(cap.IsDirty());
    EXPECT_EQ(8u + 4u + 28u, cap.PersistSize());
    STATSTG st = {};
    spStm->Stat(&st, STATFLAG_NONAME);
    EXPECT_EQ(40u, st.cbSize.QuadPart);

    const LARGE_INTEGER zero = {};
    spStm->Seek(zero, STREAM_SEEK_SET, nullptr);
    CCaptureSamples loaded;
    ASSERT_EQ(S_OK, loaded.PersistLoad(spStm));
    BSTR bstr = nullptr;
    BOOL bOne = TRUE;
    UINT n = 0;
    ASSERT_EQ(S_OK, loaded.GetCaptureProps(&bstr, &bOne, &n));
    EXPECT_STREQ(L"c:\\cap\\x.vanc", bstr);
    SysFreeString(bstr);
    EXPECT_FALSE(bOne);
    EXPECT_EQ(7u, n);
    EXPECT_TRUE(loaded.IsCompressing());

    struct Case
    {
        const char* pszName;
        std::vector<BYTE> bytes;
        const wchar_t* pszMessage;
    };
    std::vector<BYTE> base = {7, 0, 0, 0, 0, 0, 0, 0};
    auto with = [&](std::vector<BYTE> tail) {
        std::vector<BYTE> v = base;
        v.insert(v.end(), tail.begin(), tail.end());
        return v;
    };
    const Case cases[] = {
        {"short header", {7, 0, 0}, nullptr},
        {"no count", with({}), L"Input stream is corrupted.\n"},
        {"huge count", with({0x02, 0x00, 0x10, 0x00}), L"String exceeded the maximum allowed size see _ATL_STREAM_MAX_SIZE.\n"},
        {"short data", with({8, 0, 0, 0, 'a', 0}), L"Length of string data is different than expected.\n"},
        {"no zero", with({4, 0, 0, 0, 'a', 0, 'b', 0}), L"Cannot read NULL terminator from stream.\n"},
        {"odd count", with({3, 0, 0, 0, 'a', 0, 0}), L"Cannot read NULL terminator from stream.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CTraceCapture trace;
        CComPtr<IStream> sp;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &sp));
        sp->Write(c.bytes.data(), static_cast<ULONG>(c.bytes.size()), nullptr);
        sp->Seek(zero, STREAM_SEEK_SET, nullptr);
        CCaptureSamples target;
        ASSERT_EQ(S_OK, target.SetCaptureProps(L"keep.bmp", FALSE, 3, false));
        EXPECT_TRUE(FAILED(target.PersistLoad(sp)));
        BSTR b = nullptr;
        EXPECT_EQ(S_FALSE, target.GetCaptureProps(&b, &bOne, &n));
        EXPECT_EQ(CCaptureSamples::eCT_Data, target.CaptureType());
        EXPECT_FALSE(target.IsDirty());
        if (c.pszMessage != nullptr)
        {
            EXPECT_TRUE(Traced(trace, c.pszMessage));
        }
    }
}

TEST_F(Capture, SteadyCaptureMakesNoHeapCall)
{
    ASSERT_FALSE(heap_calls::PatchImports().empty());
    const std::wstring file = Dir(L"steady") + L"steady.bin";
    const int c_nWarm = 4 * 32, c_nCounted = 10000, c_cb = 2048;
    CCaptureSamples cap;
    ASSERT_EQ(S_OK, cap.SetCaptureProps(file.c_str(), FALSE, c_nWarm + c_nCounted, false));
    ASSERT_EQ(S_OK, cap.StartCapture(nullptr));
    CComPtr<IMediaSample> sp = Sample(Pattern(c_cb, 1));
    // Bursts, each written before the next starts: a stream the disk keeps
    // up with. The warm-up bursts are twice as large, so that the pool holds
    // enough records whatever the worker's pace.
    LONGLONG llIndex = 0;
    auto burst = [&](int n) {
        for (int i = 0; i < n; ++i)
            if (cap.CaptureSample(sp, llIndex++) != S_OK)
                return false;
        return WaitFileSize(file, llIndex * c_cb);
    };
    for (int i = 0; i < c_nWarm; i += 32)
        ASSERT_TRUE(burst(32));
    LONG nCalls = 0;
    const char* pszLast = "";
    {
        heap_calls::CHeapCallCounter counter;
        for (int i = 0; i < c_nCounted; i += 16)
            ASSERT_TRUE(burst(16));
        nCalls = counter.Calls();
        pszLast = counter.Last();
    }
    EXPECT_EQ(0, nCalls) << "last heap call: " << pszLast;
    ASSERT_TRUE(WaitDone(cap));
}

TEST_F(Capture, LoadedPropertiesFollowTheRulesOfSetCaptureProps)
{
    struct Case
    {
        const char* pszName;
        std::vector<BYTE> bytes;
        HRESULT hrProps;
        UINT nSamples;
    };
    const Case cases[] = {
        // Just the terminator: no template, so nothing is captured into the current folder.
        {"empty template", {0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0}, S_FALSE, 0},
        {"zero samples", {0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 'a', 0, 0, 0}, S_OK, 1},
    };
    const LARGE_INTEGER zero = {};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<IStream> sp;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &sp));
        sp->Write(c.bytes.data(), static_cast<ULONG>(c.bytes.size()), nullptr);
        sp->Seek(zero, STREAM_SEEK_SET, nullptr);
        CCaptureSamples cap;
        EXPECT_EQ(S_OK, cap.PersistLoad(sp));
        BSTR b = nullptr;
        BOOL bOne = FALSE;
        UINT n = 0;
        EXPECT_EQ(c.hrProps, cap.GetCaptureProps(&b, &bOne, &n));
        SysFreeString(b);
        if (c.hrProps == S_OK)
            EXPECT_EQ(c.nSamples, n);
        else
            EXPECT_EQ(E_FAIL, cap.StartCapture(nullptr));
    }
}

TEST_F(Capture, AWorkerStuckInAWriteNeitherCarriesItsFileOnNorOutlivesTheObject)
{
    const std::wstring dir = Dir(L"stuck");
    CTraceCapture trace;
    auto pCap = std::make_unique<CCaptureSamples>();
    {
        const wchar_t c_szPipe[] = L"\\\\.\\pipe\\velmora_cap_stuck1.bin";
        CStalledPipe pipe(c_szPipe);
        ASSERT_TRUE(pipe.Valid());
        ASSERT_EQ(S_OK, pCap->SetCaptureProps(c_szPipe, FALSE, 5, false));
        ASSERT_EQ(S_OK, pCap->StartCapture(nullptr));
        EXPECT_EQ(S_OK, pCap->CaptureSample(Sample(Pattern(60000, 1)), 0));
        ASSERT_TRUE(pipe.WaitWriter());
        EXPECT_EQ(S_OK, pCap->StopCapture()); // gives up waiting after a second
        EXPECT_TRUE(Traced(trace, L"StopCapture(): WaitForSingleObject()=0x102"));

        // The next capture writes its own file once the old write returns.
        ASSERT_EQ(S_OK, pCap->SetCaptureProps((dir + L"next.bin").c_str(), FALSE, 1, false));
        ASSERT_EQ(S_OK, pCap->StartCapture(nullptr));
        EXPECT_EQ(S_OK, pCap->CaptureSample(Sample(Pattern(500, 2)), 1));
        EXPECT_EQ(Pattern(60000, 1), pipe.Read(60000));
        ASSERT_TRUE(WaitDone(*pCap));
        EXPECT_EQ(Pattern(500, 2), ReadAll(dir + L"next.bin"));
    }

    // Destroyed while the worker is stuck: the worker is gone when the object is.
    const std::wstring text = trace.Text();
    const size_t nAt = text.find(L"StartThread(): thread 0x");
    ASSERT_NE(std::wstring::npos, nAt);
    const DWORD dwWorker = wcstoul(text.c_str() + nAt + 24, nullptr, 16);
    HANDLE hWorker = OpenThread(SYNCHRONIZE, FALSE, dwWorker);
    ASSERT_NE(nullptr, hWorker);
    const wchar_t c_szPipe2[] = L"\\\\.\\pipe\\velmora_cap_stuck2.bin";
    CStalledPipe pipe(c_szPipe2);
    ASSERT_EQ(S_OK, pCap->SetCaptureProps(c_szPipe2, FALSE, 5, false));
    ASSERT_EQ(S_OK, pCap->StartCapture(nullptr));
    EXPECT_EQ(S_OK, pCap->CaptureSample(Sample(Pattern(60000, 3)), 0));
    ASSERT_TRUE(pipe.WaitWriter());
    pCap.reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hWorker, 0));
    pipe.Read(60000); // lets a worker that outlived the object go on
    CloseHandle(hWorker);
}

