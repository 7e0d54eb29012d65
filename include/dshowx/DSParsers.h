// Names of GUIDs (symbolic, wave tag, FOURCC or plain text).
#pragma once

#include <windows.h>

// Symbolic name of a GUID, at most nMaxSym characters with the terminating zero.
LPCWSTR Guid2Name(REFGUID guid, LPWSTR pszName, int nMaxSym);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; 39 characters with the zero.
LPWSTR Guid2Str(REFGUID guid, LPWSTR pszName);
