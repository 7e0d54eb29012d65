// Command line of spyhost.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Exit codes: what a script can tell apart.
enum EHostExit
{
    eExitPlayed = 0,      // played to the end (or to --seconds)
    eExitGraphFailed = 1, // the graph failed; the HRESULT and its text were printed
    eExitBadInput = 2,    // bad arguments, or a file that cannot be opened
    eExitInterrupted = 130,
};

struct CHostOptions
{
    std::wstring file;          // empty: the embedded default clip
    int nStream = -1;           // --stream N: only that output; -1 all
    bool bNull = false;         // --null
    double dSeconds = 0;        // --seconds N; 0 to the end
    bool bChecksum = false;     // --checksum
    std::wstring capture;       // --capture TEMPLATE
    unsigned nSamples = 0;      // --samples N; without it every sample
    bool bSamplesGiven = false;
    bool bOnePerFile = false;   // --one-per-file
    bool bForcePassthru = false;
    bool bNoDynReconnect = false;
    bool bNoMTEnumRedir = false;
    double dRate = 0;           // --rate R; 0 leaves the rate alone
    std::wstring diffFile;      // --difference-file FILE
    bool bCheckPositioning = false;
    std::wstring log;           // --log FILE
    bool bTrace = false;        // --trace
    bool bProps = false;        // --props
    bool bJson = false;         // --json
    bool bNoClock = false;      // --no-clock: as fast as the graph allows
    bool bNoSpy = false;        // --no-spy: the same graph without spies (baseline)
    bool bHelp = false;
};

// Parses args (without the program name). Returns an empty text on success,
// else the message for standard error (exit code eExitBadInput).
std::string ParseHostOptions(const std::vector<std::wstring>& args, CHostOptions& opt);

// The --help text.
const char* HostUsage();

// UTF-8 of a wide text, for messages.
std::string Utf8(const std::wstring& s);
std::string Utf8(LPCWSTR psz);
// printf into a string, for messages; at most 511 characters.
std::string Fmt(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
