// A bounded printf of our own for the subset the traces use, with the
// platform runtime's meanings: in a wide format %s and %c are wide and
// %hs/%S and %hc/%C narrow (the other way round in a narrow format), %ls and
// %ws always wide, %I64/%ll 64-bit, %I pointer-sized, %I32 and %l 32-bit,
// %p as zero-padded upper-case hex of the pointer's width, a null string as
// "(null)". Flags - + space # 0, a width and a precision (digits or *).
// Floating-point conversions are handed to the platform one at a time, and
// anything outside the subset hands the rest of the format to it, so the
// text is always the platform's own. It exists because the platform's
// formatter costs more than the rest of a trace line together.
//
// The result is always terminated and silently truncated; the return value
// is the number of characters written (without the terminator).
#pragma once

#include <windows.h>
#include <stdarg.h>
#include <stddef.h>

int FormatV(LPWSTR pszDst, size_t cchDst, LPCWSTR pszFormat, va_list args);
int FormatV(LPSTR pszDst, size_t cchDst, LPCSTR pszFormat, va_list args);
