// spyhost: plays a media file (or a generated clip) with a spy after each
// elementary stream and prints what crossed each spy.
#include "DefaultClip.h"
#include "HostEnv.h"
#include "HostGraph.h"
#include "Options.h"
#include "TraceCounter.h"

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

HANDLE g_hStop = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD dwType)
{
    if (dwType != CTRL_C_EVENT && dwType != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(g_hStop);
    return TRUE;
}

// A filter of the graph (a renderer, a splitter) that faults takes the
// process with it; the host then says so and ends with exit code 1 instead
// of waiting for a debugger that nobody watches.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* pep)
{
    const EXCEPTION_RECORD* per = pep ? pep->ExceptionRecord : nullptr;
    WCHAR szModule[MAX_PATH] = L"?";
    HMODULE hModule = nullptr;
    if (per && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  static_cast<LPCWSTR>(per->ExceptionAddress), &hModule))
        GetModuleFileNameW(hModule, szModule, MAX_PATH);
    fprintf(stderr, "spyhost: the graph crashed: exception 0x%08lX at %p in %s\n",
            per ? static_cast<unsigned long>(per->ExceptionCode) : 0ul, per ? per->ExceptionAddress : nullptr,
            Utf8(szModule).c_str());
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), eExitGraphFailed);
    return EXCEPTION_EXECUTE_HANDLER;
}

std::string Grouped(long long v)
{
    std::string digits = std::to_string(v < 0 ? -v : v);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return v < 0 ? "-" + digits : digits;
}

std::string Seconds(REFERENCE_TIME t) { return Fmt("%.3f", static_cast<double>(t) / 1e7); }

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (char c : s)
    {
        if (c == '"' || c == '\\')
            out += '\\', out += c;
        else if (static_cast<unsigned char>(c) < 0x20)
            out += Fmt("\\u%04x", static_cast<unsigned>(c));
        else
            out += c;
    }
    return out + "\"";
}

const char* ResultWord(int nExit)
{
    switch (nExit)
    {
    case eExitPlayed:
        return "played";
    case eExitInterrupted:
        return "interrupted";
    default:
        return "failed";
    }
}

struct CRunInfo
{
    std::string file;
    std::string trace;  // empty without trace
    std::string spyFrom;
    int nExit = 0;
    std::string message;
};

void PrintTable(CHostGraph& graph, CTraceCounter& counter, const CRunInfo& run)
{
    std::vector<CHostStream>& streams = graph.Streams();
    printf("%s %s in %.2f s (%s)\n", run.file.c_str(), ResultWord(run.nExit), graph.WallSeconds(),
           streams.empty() || !streams[0].spSpy ? "no spy" : ("spy: " + run.spyFrom).c_str());
    for (size_t i = 0; i < streams.size(); ++i)
    {
        const CHostStream& s = streams[i];
        const CStreamCounts c = counter.Counts(i);
        printf("\nstream %d '%s': %s -> %s\n", s.nStream, s.pinName.c_str(), s.mediaType.c_str(),
               s.renderer.c_str());
        if (!s.spSpy)
            continue;
        printf("  %-20s %s\n", "samples", Grouped(c.llSamples).c_str());
        printf("  %-20s %s\n", "bytes", Grouped(c.llBytes).c_str());
        printf("  %-20s %s s\n", "duration", c.bHaveTimes ? Seconds(c.tLastEnd - c.tFirstStart).c_str() : "-");
        printf("  %-20s %s\n", "bitrate, total", s.bMeasured ? (Grouped(s.nTotalAvg) + " bit/s").c_str() : "-");
        printf("  %-20s %s\n", "bitrate, moving", s.bMeasured ? (Grouped(s.nMovingAvg) + " bit/s").c_str() : "-");
        printf("  %-20s %s\n", "samples per second", s.bMeasured ? Fmt("%.2f", s.dSamplesPerSec).c_str() : "-");
        printf("  %-20s %s s\n", "first start", c.bHaveTimes ? Seconds(c.tFirstStart).c_str() : "-");
        printf("  %-20s %s s\n", "last start", c.bHaveTimes ? Seconds(c.tLastStart).c_str() : "-");
        printf("  %-20s %lld\n", "discontinuities", static_cast<long long>(c.llDiscontinuities));
        printf("  %-20s %s\n", "end of stream", c.bEndOfStream ? "yes" : "no");
    }
}

void PrintJson(CHostGraph& graph, CTraceCounter& counter, const CRunInfo& run)
{
    std::string j = "{\n";
    j += "  \"file\": " + JsonString(run.file) + ",\n";
    j += "  \"result\": " + JsonString(ResultWord(run.nExit)) + ",\n";
    j += Fmt("  \"exit_code\": %d,\n", run.nExit);
    if (!run.message.empty())
        j += "  \"message\": " + JsonString(run.message) + ",\n";
    j += Fmt("  \"wall_seconds\": %.3f,\n", graph.WallSeconds());
    j += "  \"trace\": " + (run.trace.empty() ? std::string("null") : JsonString(run.trace)) + ",\n";
    j += "  \"spy\": " + (run.spyFrom.empty() ? std::string("null") : JsonString(run.spyFrom)) + ",\n";
    j += "  \"streams\": [";
    std::vector<CHostStream>& streams = graph.Streams();
    for (size_t i = 0; i < streams.size(); ++i)
    {
        const CHostStream& s = streams[i];
        const CStreamCounts c = counter.Counts(i);
        j += i ? ",\n    {" : "\n    {";
        j += Fmt("\"stream\": %d, ", s.nStream);
        j += "\"pin\": " + JsonString(s.pinName) + ", ";
        j += "\"major\": " + JsonString(s.major) + ", ";
        j += "\"media_type\": " + JsonString(s.mediaType) + ", ";
        j += "\"renderer\": " + JsonString(s.renderer);
        if (s.spSpy)
        {
            j += Fmt(", \"samples\": %lld, \"bytes\": %lld", static_cast<long long>(c.llSamples),
                     static_cast<long long>(c.llBytes));
            if (c.bHaveTimes)
                j += Fmt(", \"duration\": %s, \"first_start\": %s, \"last_start\": %s",
                         Seconds(c.tLastEnd - c.tFirstStart).c_str(), Seconds(c.tFirstStart).c_str(),
                         Seconds(c.tLastStart).c_str());
            if (s.bMeasured)
                j += Fmt(", \"bitrate_total\": %u, \"bitrate_moving\": %u, \"samples_per_second\": %.3f",
                         s.nTotalAvg, s.nMovingAvg, s.dSamplesPerSec);
            j += Fmt(", \"discontinuities\": %lld, \"end_of_stream\": %s", static_cast<long long>(c.llDiscontinuities),
                     c.bEndOfStream ? "true" : "false");
        }
        j += "}";
    }
    j += streams.empty() ? "]\n}\n" : "\n  ]\n}\n";
    fputs(j.c_str(), stdout);
}

std::wstring TempPath(LPCWSTR pszName)
{
    WCHAR sz[MAX_PATH] = {};
    const DWORD cch = GetTempPathW(MAX_PATH, sz);
    return std::wstring(sz, cch < MAX_PATH ? cch : 0) + pszName;
}

bool NothingPlayed(CHostGraph& graph, CTraceCounter& counter, bool bCounting)
{
    if (!bCounting || graph.Duration() <= 0)
        return false;
    for (size_t i = 0; i < graph.Streams().size(); ++i)
        if (!graph.Streams()[i].spSpy || counter.Counts(i).llSamples > 0)
            return false;
    return !graph.Streams().empty();
}

int Fail(int nExit, const std::string& message)
{
    fprintf(stderr, "spyhost: %s\n", message.c_str());
    return nExit;
}

// Plays and prints; the COM objects live and die inside.
int Play(const CHostOptions& opt, const std::wstring& file, const std::string& fileShown)
{
    CTraceCounter counter;
    counter.SetEcho(opt.bTrace);
    CHostLog log;
    CRunInfo run;
    run.file = fileShown;
    if (!opt.bNoSpy)
    {
        std::string message;
        const std::wstring logFile = opt.log.empty() ? TempPath(L"spyhost-trace.log") : opt.log;
        if (log.Prepare(logFile, &CTraceCounter::Observe, &counter, message))
            run.trace = Utf8(log.LogFile());
        if (!message.empty())
            fprintf(stderr, "spyhost: %s\n", message.c_str());
    }
    CSpyFactory factory;
    CHostGraph graph(opt, factory, counter);
    std::string message;
    int nExit = graph.Build(file.c_str(), message);
    // The spy module has loaded and found its log library by now.
    log.RestoreRegistry();
    if (nExit != eExitPlayed)
        return Fail(nExit, message);
    run.spyFrom = factory.Source();
    if (!graph.Note().empty())
        fprintf(stderr, "spyhost: %s\n", graph.Note().c_str());

    nExit = graph.Run(g_hStop, message);
    if (nExit == eExitPlayed && NothingPlayed(graph, counter, log.Active()))
    {
        // The graph calls a file complete when its splitter gives up at
        // once; a file that claims a duration and delivers nothing is broken.
        message = Fmt("nothing crossed the spies although the file claims %.3f s: it is damaged or truncated",
                      graph.Duration());
        nExit = eExitGraphFailed;
    }
    run.nExit = nExit;
    run.message = message;
    if (!message.empty())
        fprintf(stderr, "spyhost: %s\n", message.c_str());
    if (opt.bJson)
        PrintJson(graph, counter, run);
    else
        PrintTable(graph, counter, run);
    graph.TearDown();
    log.StopObserving();
    fflush(stdout);
    if (!run.trace.empty())
        fprintf(stderr, "spyhost: trace written to %s\n", run.trace.c_str());
    return nExit;
}

} // namespace

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args;
    for (int i = 1; argv && i < argc; ++i)
        args.push_back(argv[i]);
    LocalFree(argv);

    CHostOptions opt;
    const std::string error = ParseHostOptions(args, opt);
    if (!error.empty())
        return Fail(eExitBadInput, error);
    if (opt.bHelp)
    {
        fputs(HostUsage(), stdout);
        return eExitPlayed;
    }
    // No dialog for a missing disk or a crash report: this runs in scripts.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(OnCrash);
    g_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);

    std::wstring file = opt.file;
    std::string fileShown = "'" + Utf8(file) + "'";
    bool bDefault = false;
    if (file.empty())
    {
        const CDefaultClip clip;
        file = TempPath((L"spyhost-default-" + std::to_wstring(GetCurrentProcessId()) + L".avi").c_str());
        if (!WriteDefaultClip(file.c_str(), clip))
            return Fail(eExitGraphFailed, "cannot write the default clip to '" + Utf8(file) + "'");
        bDefault = true;
        fileShown = Fmt("default clip (%lu s: %ldx%ld RGB%u at %lu fps, %lu Hz tone)",
                        static_cast<unsigned long>(clip.nFrames / clip.video.nFps),
                        static_cast<long>(clip.video.nWidth), static_cast<long>(clip.video.nHeight),
                        clip.video.wBitCount, static_cast<unsigned long>(clip.video.nFps), 440ul);
    }

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int nExit = Play(opt, file, fileShown);
    CoUninitialize();
    if (bDefault)
        DeleteFileW(file.c_str());
    CloseHandle(g_hStop);
    return nExit;
}
