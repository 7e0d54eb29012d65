#include "Options.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <cmath>

namespace
{

const char c_szUsage[] =
    "usage: spyhost [FILE] [options]\n"
    "\n"
    "Plays FILE (or, without FILE, a generated three-second AVI clip with a moving\n"
    "test pattern and a tone) with a Velmora Spy Filter after each elementary\n"
    "stream of the source or splitter, and prints what crossed each spy.\n"
    "\n"
    "Graph:\n"
    "  --stream N            spy only on output N of the splitter (from 0)\n"
    "  --null                end each stream in a null renderer instead of rendering it\n"
    "  --seconds N           stop after N seconds of stream time\n"
    "  --rate R              playback rate (for example 2 or 0.5)\n"
    "  --no-clock            no reference clock: run as fast as the graph allows\n"
    "  --no-spy              the same graph without spies (a baseline for timing)\n"
    "Filter options:\n"
    "  --checksum            a CRC-32 of every sample in the trace\n"
    "  --capture TEMPLATE    capture samples to files named after TEMPLATE\n"
    "  --samples N           capture N samples (with --capture; default all)\n"
    "  --one-per-file        one sample per capture file (with --capture)\n"
    "  --force-passthru      force the pass-through allocator\n"
    "  --no-dynreconnect     refuse dynamic reconnection\n"
    "  --no-mtenum-redir     do not redirect media type enumeration\n"
    "  --difference-file F   write inter-sample intervals to F\n"
    "  --check-positioning   measure delivery time and flush latency\n"
    "Output:\n"
    "  --log FILE            write the trace to FILE (default: %TEMP%\\spyhost-trace.log)\n"
    "  --trace               also echo trace lines to standard output\n"
    "  --json                print the summary as JSON\n"
    "  --props               open the spies' property pages while the graph runs\n"
    "  --help                this text\n"
    "\n"
    "With several spies, --capture and --difference-file names get \"-N\" (the\n"
    "stream number) before their extension.\n"
    "Exit codes: 0 played to the end, 1 the graph failed, 2 bad arguments or a\n"
    "file that cannot be opened, 130 interrupted (Ctrl-C).\n";

// Whole number in [0, 2^31).
bool ParseCount(const std::wstring& s, unsigned& n)
{
    if (s.empty() || s.size() > 9)
        return false;
    unsigned v = 0;
    for (wchar_t c : s)
    {
        if (c < L'0' || c > L'9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - L'0');
    }
    n = v;
    return true;
}

bool ParsePositive(const std::wstring& s, double& d)
{
    if (s.empty())
        return false;
    wchar_t* pEnd = nullptr;
    const double v = std::wcstod(s.c_str(), &pEnd);
    if (pEnd == nullptr || *pEnd != 0 || !(v > 0) || !std::isfinite(v))
        return false;
    d = v;
    return true;
}

} // namespace

std::string Utf8(LPCWSTR psz)
{
    if (psz == nullptr || *psz == 0)
        return std::string();
    const int cb = WideCharToMultiByte(CP_UTF8, 0, psz, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 1)
        return std::string();
    std::string s(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, psz, -1, &s[0], cb, nullptr, nullptr);
    s.resize(static_cast<size_t>(cb - 1));
    return s;
}

std::string Utf8(const std::wstring& s) { return Utf8(s.c_str()); }

std::string Fmt(const char* pszFormat, ...)
{
    char sz[512];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    return sz;
}

const char* HostUsage() { return c_szUsage; }

std::string ParseHostOptions(const std::vector<std::wstring>& args, CHostOptions& opt)
{
    struct CFlag
    {
        const wchar_t* pszName;
        bool CHostOptions::*pb;
    };
    static const CFlag s_flags[] = {
        {L"--null", &CHostOptions::bNull},
        {L"--checksum", &CHostOptions::bChecksum},
        {L"--one-per-file", &CHostOptions::bOnePerFile},
        {L"--force-passthru", &CHostOptions::bForcePassthru},
        {L"--no-dynreconnect", &CHostOptions::bNoDynReconnect},
        {L"--no-mtenum-redir", &CHostOptions::bNoMTEnumRedir},
        {L"--check-positioning", &CHostOptions::bCheckPositioning},
        {L"--trace", &CHostOptions::bTrace},
        {L"--props", &CHostOptions::bProps},
        {L"--json", &CHostOptions::bJson},
        {L"--no-clock", &CHostOptions::bNoClock},
        {L"--no-spy", &CHostOptions::bNoSpy},
        {L"--help", &CHostOptions::bHelp},
        {L"-h", &CHostOptions::bHelp},
        {L"/?", &CHostOptions::bHelp},
    };

    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& a = args[i];
        bool bFlag = false;
        for (const CFlag& f : s_flags)
            if (a == f.pszName)
            {
                opt.*(f.pb) = true;
                bFlag = true;
            }
        if (bFlag)
            continue;

        if (a.size() < 2 || a[0] != L'-' || a[1] != L'-')
        {
            if (!a.empty() && a[0] == L'-')
                return "unknown option '" + Utf8(a) + "' (see --help)";
            if (!opt.file.empty())
                return "only one FILE can be played ('" + Utf8(opt.file) + "' and '" + Utf8(a) + "')";
            opt.file = a;
            continue;
        }

        // Options with a value.
        static const wchar_t* const s_valued[] = {L"--stream", L"--seconds", L"--capture", L"--samples",
                                                  L"--rate", L"--difference-file", L"--log"};
        bool bKnown = false;
        for (const wchar_t* psz : s_valued)
            bKnown = bKnown || a == psz;
        if (!bKnown)
            return "unknown option '" + Utf8(a) + "' (see --help)";
        if (i + 1 >= args.size() || args[i + 1].empty())
            return Utf8(a) + " needs a value (see --help)";
        const std::wstring& v = args[++i];
        const std::string what = Utf8(a) + " needs ";
        const std::string got = ", got '" + Utf8(v) + "'";
        if (a == L"--stream")
        {
            unsigned n = 0;
            if (!ParseCount(v, n))
                return what + "a stream number (0, 1, ...)" + got;
            opt.nStream = static_cast<int>(n);
        }
        else if (a == L"--seconds")
        {
            if (!ParsePositive(v, opt.dSeconds))
                return what + "a number of seconds above 0" + got;
        }
        else if (a == L"--samples")
        {
            if (!ParseCount(v, opt.nSamples) || opt.nSamples == 0)
                return what + "a whole number of samples above 0" + got;
            opt.bSamplesGiven = true;
        }
        else if (a == L"--rate")
        {
            if (!ParsePositive(v, opt.dRate))
                return what + "a rate above 0" + got;
        }
        else if (a == L"--capture")
            opt.capture = v;
        else if (a == L"--difference-file")
            opt.diffFile = v;
        else if (a == L"--log")
            opt.log = v;
    }

    if (opt.capture.empty() && (opt.bSamplesGiven || opt.bOnePerFile))
        return "--samples and --one-per-file go with --capture TEMPLATE";
    if (opt.bNoSpy && (opt.bChecksum || !opt.capture.empty() || !opt.diffFile.empty() || opt.bProps))
        return "--no-spy cannot be combined with options of the spy";
    return std::string();
}
