// Names of GUIDs (symbolic, wave tag, FOURCC or plain text).
#pragma once

#include <windows.h>

// Symbolic name of a GUID, at most nMaxSym characters with the terminating zero.
LPCWSTR Guid2Name(REFGUID guid, LPWSTR pszName, int nMaxSym);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; 39 characters with the zero.
LPWSTR Guid2Str(REFGUID guid, LPWSTR pszName);

// One row of a GUID name table.
struct CGuidNameEntry
{
    const GUID* pGuid;
    LPCWSTR pszName;
};

// A table of the name list; the list is fixed at build time and each table
// is sorted in place on the first lookup.
struct CGuidNameNode
{
    CGuidNameEntry* pGuidName;
    UINT cElems;
    CGuidNameNode* pNext;
};

// Head of the list Guid2Name searches, standard table first.
const CGuidNameNode* GetGuidNameNodes();
