// spyhost as a user runs it: a child process on generated media, judged by
// its exit code, its summary (JSON), the trace file and the files it wrote.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <dshowx/DSTraceSample.h>

#include "support/AviFile.h"
#include "../tools/spyhost/DefaultClip.h"

using ::testing::HasSubstr;

namespace
{

struct CRun
{
    DWORD dwExit = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::wstring& path)
{
    std::ifstream f(path.c_str(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::wstring TempFile(LPCWSTR pszName)
{
    WCHAR sz[MAX_PATH];
    GetTempPathW(MAX_PATH, sz);
    return std::wstring(sz) + pszName;
}

// Runs spyhost.exe (beside this program) with args; standard output and
// error go to files so that neither pipe can fill and block the child.
CRun RunHost(const std::wstring& args, DWORD dwTimeoutMs = 60000)
{
    CRun run;
    // Fresh names each run: a service the child starts may inherit and keep
    // the handles.
    static int s_nRun = 0;
    const std::wstring n = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++s_nRun);
    const std::wstring outPath = TempFile((L"spyhost-test-out-" + n).c_str());
    const std::wstring errPath = TempFile((L"spyhost-test-err-" + n).c_str());
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    const DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE hOut = CreateFileW(outPath.c_str(), GENERIC_WRITE, dwShare, &sa, CREATE_ALWAYS, 0, nullptr);
    HANDLE hErr = CreateFileW(errPath.c_str(), GENERIC_WRITE, dwShare, &sa, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = hOut;
    si.hStdError = hErr;
    std::wstring cmd = L"spyhost.exe " + args;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    {
        if (WaitForSingleObject(pi.hProcess, dwTimeoutMs) != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
        GetExitCodeProcess(pi.hProcess, &run.dwExit);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(hOut);
    CloseHandle(hErr);
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    DeleteFileW(outPath.c_str());
    DeleteFileW(errPath.c_str());
    return run;
}

// A small JSON reader: the document flattened to "streams.0.samples" ->
// its value text (strings without quotes). Returns false on a syntax error.
class CJson
{
public:
    bool Parse(const std::string& s)
    {
        m_p = s.c_str();
        m_values.clear();
        Ws();
        return Value("") && (Ws(), *m_p == 0);
    }
    std::string operator[](const std::string& key) const
    {
        auto it = m_values.find(key);
        return it == m_values.end() ? std::string("<missing " + key + ">") : it->second;
    }
    long long Int(const std::string& key) const { return std::atoll((*this)[key].c_str()); }
    double Num(const std::string& key) const { return std::atof((*this)[key].c_str()); }

private:
    void Ws()
    {
        while (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t')
            ++m_p;
    }
    std::string Key(const std::string& path, const std::string& name) { return path.empty() ? name : path + "." + name; }
    bool String(std::string& out)
    {
        if (*m_p++ != '"')
            return false;
        for (; *m_p && *m_p != '"'; ++m_p)
        {
            if (static_cast<unsigned char>(*m_p) < 0x20)
                return false;
            if (*m_p == '\\' && *++m_p == 'u')
            {
                for (int i = 0; i < 4; ++i)
                    if (!isxdigit(static_cast<unsigned char>(*++m_p)))
                        return false;
                out += '?';
                continue;
            }
            out += *m_p;
        }
        return *m_p++ == '"';
    }
    bool Value(const std::string& path)
    {
        Ws();
        if (*m_p == '{' || *m_p == '[')
        {
            const char cEnd = *m_p == '{' ? '}' : ']';
            const bool bObject = *m_p++ == '{';
            Ws();
            for (int n = 0; *m_p != cEnd; ++n)
            {
                std::string name = std::to_string(n);
                if (n > 0 && (*m_p++ != ',' || (Ws(), false)))
                    return false;
                if (bObject && (!String(name = std::string()) || (Ws(), *m_p++ != ':')))
                    return false;
                if (!Value(Key(path, name)))
                    return false;
                Ws();
            }
            ++m_p;
            return true;
        }
        std::string v;
        if (*m_p == '"')
        {
            if (!String(v))
                return false;
        }
        else
            while (*m_p && strchr("+-.0123456789eEtruefalsn", *m_p))
                v += *m_p++;
        if (v.empty() && path.empty())
            return false;
        m_values[path] = v;
        return true;
    }

    const char* m_p = nullptr;
    std::map<std::string, std::string> m_values;
};

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

std::vector<std::string> SampleLines(const std::string& trace, const char* pszTag = "[Spy ")
{
    std::vector<std::string> lines;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);)
        if (line.find(pszTag) != std::string::npos && line.find("] tS") != std::string::npos)
            lines.push_back(line);
    return lines;
}

class SpyHost : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (const std::wstring& f : m_files)
            DeleteFileW(f.c_str());
    }
    std::wstring Keep(const std::wstring& path)
    {
        m_files.push_back(path);
        return path;
    }
    std::vector<std::wstring> m_files;
};

// The embedded clip, rendered where it can be: every frame and every audio
// byte of the clip crosses its spy, the interface's figures agree with the
// counts, and the trace has one sample line per sample. Without a clock: a
// late renderer on a busy machine would make the splitter drop frames.
TEST_F(SpyHost, DefaultClipPlaysToTheEndWithCountsOfTheClip)
{
    const std::wstring trace = Keep(TempFile(L"spyhost-test-trace.log"));
    const CRun run = RunHost(L"--json --no-clock --log " + Quoted(trace));
    ASSERT_EQ(0u, run.dwExit) << run.err;
    CJson j;
    ASSERT_TRUE(j.Parse(run.out)) << run.out;
    EXPECT_EQ("played", j["result"]);
    const CDefaultClip clip;
    ASSERT_EQ("video", j["streams.0.major"]);
    ASSERT_EQ("audio", j["streams.1.major"]);
    EXPECT_EQ(clip.nFrames, j.Int("streams.0.samples"));
    EXPECT_EQ(static_cast<long long>(clip.nFrames) * AviVideoFrameSize(clip.video), j.Int("streams.0.bytes"));
    EXPECT_EQ(clip.AudioBytes(), j.Int("streams.1.bytes"));
    for (const char* psz : {"streams.0", "streams.1"})
    {
        SCOPED_TRACE(psz);
        const std::string s = psz;
        EXPECT_EQ("true", j[s + ".end_of_stream"]);
        EXPECT_NEAR(3.0, j.Num(s + ".duration"), 0.001);
        // The spy's own average equals the bytes over the stream time.
        const double dBitrate = j.Num(s + ".bytes") * 8 / j.Num(s + ".duration");
        EXPECT_NEAR(dBitrate, j.Num(s + ".bitrate_total"), dBitrate * 0.02);
        EXPECT_GT(j.Num(s + ".samples_per_second"), 0);
    }
    const std::string traceText = ReadAll(trace);
    EXPECT_EQ(j.Int("streams.0.samples") + j.Int("streams.1.samples"),
              static_cast<long long>(SampleLines(traceText).size()));
    // The filter's own count, from its Stop line.
    EXPECT_THAT(traceText, HasSubstr("[Spy 1] Stop(): Through the filter has passed " +
                                     std::to_string(clip.nFrames) + " samples"));
}

TEST_F(SpyHost, WaveFileAndSecondsAndDifferenceFile)
{
    CPcmDesc a;
    a.nSamplesPerSec = 8000;
    a.wBitsPerSample = 8;
    const std::wstring wav = Keep(MakeTempMediaPath(L"vsh"));
    ASSERT_TRUE(WriteWaveFile(wav.c_str(), a, 16000, [&](DWORD n, BYTE* pb, DWORD cb) {
        for (DWORD i = 0; i < cb; ++i)
            pb[i] = static_cast<BYTE>(n + i);
    }));
    const std::wstring diff = Keep(TempFile(L"spyhost-test-diff.bin"));
    CRun run = RunHost(Quoted(wav) + L" --json --null --no-clock --difference-file " + Quoted(diff));
    ASSERT_EQ(0u, run.dwExit) << run.err;
    CJson j;
    ASSERT_TRUE(j.Parse(run.out)) << run.out;
    EXPECT_EQ("audio", j["streams.0.major"]);
    EXPECT_EQ(16000, j.Int("streams.0.bytes"));
    EXPECT_EQ("true", j["streams.0.end_of_stream"]);
    // A count, then one interval per sample after the first.
    const std::string d = ReadAll(diff);
    ASSERT_GE(d.size(), 4u);
    DWORD nIntervals = 0;
    memcpy(&nIntervals, d.data(), 4);
    // Intervals are taken while running; samples of the preroll come before.
    EXPECT_LT(nIntervals, j.Int("streams.0.samples")) << run.out;
    EXPECT_GE(nIntervals, 1u) << run.out;
    EXPECT_EQ(4 + 4 * static_cast<size_t>(nIntervals), d.size());

    // --seconds stops the default clip early.
    run = RunHost(L"--json --null --seconds 1");
    ASSERT_EQ(0u, run.dwExit) << run.err;
    ASSERT_TRUE(j.Parse(run.out)) << run.out;
    EXPECT_GE(j.Int("streams.0.samples"), 20) << run.out;
    EXPECT_LE(j.Num("streams.0.last_start"), 1.05) << run.out;
}

// An AVI file of the test's own frames: the CRCs in the trace are those of
// the frames, and captured records read back by capread equal the frames.
TEST_F(SpyHost, ChecksumAndCaptureOfAnAviFile)
{
    const DWORD nFrames = 10;
    const std::wstring avi = Keep(WriteTestAviFile(32, 16, 24, nFrames, 10));
    const std::wstring trace = Keep(TempFile(L"spyhost-test-trace2.log"));
    const std::wstring cap = Keep(TempFile(L"spyhost-test-cap.dat"));
    // Without a clock: the stream outruns the capture's writes, and the stop
    // at its end still writes every record already taken.
    CRun run = RunHost(Quoted(avi) + L" --null --no-clock --checksum --capture " + Quoted(cap) + L" --log " +
                       Quoted(trace));
    ASSERT_EQ(0u, run.dwExit) << run.err;
    EXPECT_THAT(run.out, HasSubstr("Video RGB24 32x16"));
    const std::vector<std::string> lines = SampleLines(ReadAll(trace));
    ASSERT_EQ(nFrames, lines.size());
    for (DWORD n = 0; n < nFrames; ++n)
    {
        const std::vector<BYTE> frame = AviFrameBytes(32, 16, 24, n);
        char szCrc[16];
        snprintf(szCrc, sizeof(szCrc), "CRC=%08lX", static_cast<unsigned long>(Crc32(frame.data(), frame.size())));
        EXPECT_THAT(lines[n], HasSubstr(szCrc)) << "frame " << n;
    }

    WCHAR szCmd[MAX_PATH * 2];
    const std::wstring base = TempFile(L"spyhost-test-x");
    swprintf(szCmd, MAX_PATH * 2, L"capread.exe \"%ls\" -x all -o \"%ls\"", cap.c_str(), base.c_str());
    // Its listing is not wanted here.
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hNul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = hNul;
    PROCESS_INFORMATION pi = {};
    const BOOL bStarted = CreateProcessW(nullptr, szCmd, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(hNul);
    ASSERT_TRUE(bStarted);
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD dwExit = 1;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(0u, dwExit);
    for (DWORD n = 0; n < nFrames; ++n)
    {
        const std::wstring part = Keep(base + L"_" + std::to_wstring(n) + L".bin");
        const std::vector<BYTE> frame = AviFrameBytes(32, 16, 24, n);
        EXPECT_TRUE(std::string(frame.begin(), frame.end()) == ReadAll(part)) << "record " << n;
    }
}

// Whatever is wrong, the host says what and exits with 2 (input) or 1
// (graph), without a crash and without waiting for anyone.
TEST_F(SpyHost, BadInputsExitWithAClearMessage)
{
    const std::wstring text = Keep(MakeTempMediaPath(L"vst"));
    {
        std::ofstream f(text.c_str());
        f << "This is not a media file.\nIt is a line of text.\n";
    }
    const std::wstring empty = Keep(MakeTempMediaPath(L"vse"));
    const std::wstring avi = Keep(WriteTestAviFile(32, 16, 24, 10, 10));
    const std::wstring truncated = Keep(MakeTempMediaPath(L"vsc"));
    {
        const std::string whole = ReadAll(avi);
        std::ofstream f(truncated.c_str(), std::ios::binary);
        f << whole.substr(0, 300);
    }
    const struct
    {
        std::wstring args;
        DWORD dwExit;
        const char* pszSays;
    } cases[] = {
        {L"C:\\no\\such\\file.avi", 2, "cannot open 'C:\\no\\such\\file.avi'"},
        {Quoted(text), 2, "not a media file"},
        {Quoted(empty), 2, "is empty"},
        {Quoted(truncated) + L" --null --no-clock", 1, "damaged or truncated"},
        {L"--bogus", 2, "unknown option '--bogus'"},
        {L"--capture x.dat --samples abc", 2, "--samples needs a whole number of samples above 0, got 'abc'"},
        {L"--seconds", 2, "--seconds needs a value"},
        {L"--stream 7 --null", 2, "--stream 7 is not one of them"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.args.begin(), c.args.end()));
        const CRun run = RunHost(c.args, 30000);
        EXPECT_EQ(c.dwExit, run.dwExit) << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.pszSays));
    }
}

} // namespace
