// Read-back and set-up exports of the stand-in log library, for test
// programs and the benchmark. Hosts that only trace need none of this: they
// find the library through the registry and use its log object.
#pragma once

#include <windows.h>

// Kind character that starts every record of the read-back copy.
enum : WCHAR
{
    STANDIN_RECORD_WIDE = L'W',   // OutputW text as received
    STANDIN_RECORD_NARROW = L'A', // OutputA text, converted from the ANSI code page
    STANDIN_RECORD_BLOCK = L'B',  // WriteBlock text
    STANDIN_RECORD_DUMP = L'D',   // the report DumpCallStack wrote
};

extern "C" {
// Copies the records kept since the last reset (the newest 1024), oldest
// first: each is its kind character, its text and a terminating zero; an
// extra zero ends the list. Returns the number of characters that needs,
// final zero included; copies only when cchBuf is at least that.
int WINAPI StandIn_ReadLines(LPWSTR pszBuf, int cchBuf);
// Forgets the kept records, closes the log file and forgets its path, so
// that the next line looks the path up again.
void WINAPI StandIn_Reset();
// Uses this log file from now on instead of the registry's choice; null or
// empty goes back to the registry. Returns FALSE for a path that is too long.
BOOL WINAPI StandIn_SetLogFile(LPCWSTR pszPath);
// The path of the log file in use (looked up now if no line was written yet).
// Returns its length, or 0 when cchBuf is too small.
int WINAPI StandIn_GetLogFile(LPWSTR pszBuf, int cchBuf);
// Hands every trace line (OutputW and OutputA, as received: escape and
// level characters first when the spine sent them) to pfn as well, until it
// is called again with null. pfn runs under the library's lock on the thread
// that traces: it must be quick and must not trace.
typedef void(WINAPI* PFN_STANDIN_OBSERVER)(void* pvContext, LPCWSTR pszLine, int cch);
void WINAPI StandIn_SetObserver(PFN_STANDIN_OBSERVER pfn, void* pvContext);
}

typedef int(WINAPI* PFN_STANDIN_READLINES)(LPWSTR pszBuf, int cchBuf);
typedef void(WINAPI* PFN_STANDIN_RESET)();
typedef BOOL(WINAPI* PFN_STANDIN_SETLOGFILE)(LPCWSTR pszPath);
typedef int(WINAPI* PFN_STANDIN_GETLOGFILE)(LPWSTR pszBuf, int cchBuf);
typedef void(WINAPI* PFN_STANDIN_SETOBSERVER)(PFN_STANDIN_OBSERVER pfn, void* pvContext);
