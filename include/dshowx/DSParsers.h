// Names of GUIDs (symbolic, wave tag, FOURCC or plain text).
#pragma once

#include <windows.h>
#include <strmif.h>

// Symbolic name of a GUID, at most nMaxSym characters with the terminating zero.
LPCWSTR Guid2Name(REFGUID guid, LPWSTR pszName, int nMaxSym);
// The name from the GUID tables alone (no wave tag or FOURCC forms), or null.
LPCWSTR Guid2TableName(REFGUID guid);
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

// Growable wide text; an append that cannot grow fails and leaves the text as it was.
class CWideText
{
public:
    explicit CWideText(size_t cchReserve = 4096);
    ~CWideText();
    CWideText(const CWideText&) = delete;
    CWideText& operator=(const CWideText&) = delete;

    bool Append(LPCWSTR psz);
    bool AppendFormat(LPCWSTR pszFormat, ...);
    LPCWSTR Text() const { return m_psz != nullptr ? m_psz : L""; }
    size_t Length() const { return m_cch; }
    // A copy in the COM task allocator, or null.
    LPWSTR DetachToTaskMem() const;

private:
    bool Reserve(size_t cchNeeded);

    LPWSTR m_psz = nullptr;
    size_t m_cch = 0;
    size_t m_cchCapacity = 0;
};

// Text picture of a filter graph: every filter with its tag, class and name,
// its files, and every pin with its peer and connection type. Uses the
// public interfaces only.
class CFilterChainParser
{
public:
    // The text is task-allocated; the caller frees it with CoTaskMemFree.
    static HRESULT GetFiltersChain(IFilterGraph* pGraph, LPWSTR* ppszChain);

    // Each appends its part; false only when the text cannot grow.
    static bool GetFilterData(CWideText& text, IBaseFilter* pFilter);
    static bool GetFileName(CWideText& text, IBaseFilter* pFilter);
    static bool GetPinData(CWideText& text, IPin* pPin);
    static bool GetPinMediaType(CWideText& text, IPin* pPin);
};

// Writes the graph's text to the log as one block; pszTag names the caller
// in the error lines.
void WriteGraphToLog(IFilterGraph* pGraph, LPCWSTR pszTag);
