// Fixed text forms of times, 64-bit counts and FOURCC codes. Every function
// writes into the caller's buffer and returns it, so that it can stand as an
// argument of a trace call.
#pragma once

#include <windows.h>
#include <strmif.h>

// Reference time as "s.mmm'tttt"; a buffer of 32 characters always suffices.
LPWSTR RefTime2Str(REFERENCE_TIME rt, LPWSTR pszConv);
// Signed 64-bit value in groups of three digits ("1 234 567"); 32 characters suffice.
LPWSTR LongLong2Str(LONGLONG ll, LPWSTR pszConv);
// The four characters of a printable FOURCC, else an empty text; 5 characters suffice.
LPWSTR Fourcc2Str(DWORD fcc, LPWSTR pszFCC);
// Characters of the code, else its table name, else "0x%08X"; 16 characters suffice.
LPWSTR Fourcc2Name(DWORD fcc, LPWSTR pszFCC);
// Bits per pixel of an uncompressed picture format code, 0 when unknown.
UINT Fcc2Bits(DWORD fcc);
