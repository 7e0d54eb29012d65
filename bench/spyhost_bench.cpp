// spyhost on a longer generated clip into null renderers, without a
// reference clock so that the graph runs as fast as it can: the same graph
// with a spy after each stream against the graph without spies. Samples
// per second of each (wall time of the whole spyhost process, start-up
// included, so the figures are conservative for both).
//
//   spyhost_bench [seconds of clip, default 60]
#include "Bench.h"

#include "../tools/spyhost/DefaultClip.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace
{

// Runs spyhost.exe beside this program; returns the wall seconds, or a
// negative value when it did not exit with 0. Standard output goes to pszOut.
double TimeHost(const std::wstring& args, const std::wstring& out)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hOut = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hOut;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring cmd = L"spyhost.exe " + args;
    PROCESS_INFORMATION pi = {};
    const double t0 = BenchNow();
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    {
        CloseHandle(hOut);
        return -1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    const double t = BenchNow() - t0;
    DWORD dwExit = 1;
    GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(hOut);
    return dwExit == 0 ? t : -1;
}

// The sum of every "samples" figure of the JSON summary.
long long SumSamples(const std::wstring& path)
{
    std::ifstream f(path.c_str());
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string s = ss.str();
    long long n = 0;
    for (size_t at = s.find("\"samples\": "); at != std::string::npos; at = s.find("\"samples\": ", at + 1))
        n += std::atoll(s.c_str() + at + 11);
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    const DWORD nSeconds = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 60;
    WCHAR szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring dir = szTemp;
    const std::wstring clipPath = dir + L"spyhost-bench.avi", out = dir + L"spyhost-bench.json";
    const CDefaultClip clip(nSeconds);
    if (!WriteDefaultClip(clipPath.c_str(), clip))
    {
        fprintf(stderr, "spyhost_bench: cannot write %ls\n", clipPath.c_str());
        return 1;
    }
    const std::wstring common = L"\"" + clipPath + L"\" --null --no-clock";
    const double tWith = TimeHost(common + L" --json --log \"" + dir + L"spyhost-bench.log\"", out);
    const long long nSamples = SumSamples(out);
    const double tWithout = TimeHost(common + L" --no-spy", dir + L"spyhost-bench-nospy.txt");
    DeleteFileW(clipPath.c_str());
    DeleteFileW((dir + L"spyhost-bench.log").c_str());
    DeleteFileW((dir + L"spyhost-bench-nospy.txt").c_str());
    DeleteFileW(out.c_str());
    if (tWith <= 0 || tWithout <= 0 || nSamples <= 0)
    {
        fprintf(stderr, "spyhost_bench: spyhost failed (with spy %.3f s, without %.3f s, %lld samples)\n", tWith,
                tWithout, nSamples);
        return 1;
    }
    printf("spyhost_clip: %lu s of %ldx%ld RGB24 at %lu fps and PCM, %lld samples\n",
           static_cast<unsigned long>(nSeconds), static_cast<long>(clip.video.nWidth),
           static_cast<long>(clip.video.nHeight), static_cast<unsigned long>(clip.video.nFps), nSamples);
    printf("spyhost_with_spy: %.0f samples/s\n", nSamples / tWith);
    printf("spyhost_without_spy: %.0f samples/s\n", nSamples / tWithout);
    printf("spyhost_spy_slowdown: %.3f ratio\n", tWith / tWithout);
    return 0;
}
