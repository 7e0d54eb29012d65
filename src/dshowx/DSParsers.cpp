// GUID texts and symbolic names for the trace.
#include <dshowx/DSFunctions.h>
#include <dshowx/DSParsers.h>
#include <dshowx/DSTrace.h>
#include <winapi/Functions.h>

#include "GuidTables.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <cwchar>

namespace
{
constexpr size_t kcchGuid = 39;
constexpr size_t kcchWork = 128;

bool GuidLess(const CGuidNameEntry& a, const CGuidNameEntry& b)
{
    return memcmp(a.pGuid, b.pGuid, sizeof(GUID)) < 0;
}

// First use sorts without a lock: it happens during construction, before
// any streaming thread can ask for a name.
bool g_bSorted = false;

void SortTables()
{
    for (CGuidNameNode* pNode = GuidTables_Head(); pNode != nullptr; pNode = pNode->pNext)
    {
        if (!TRACE_ASSERT_TEXT(pNode->pGuidName != NULL && pNode->cElems > 0,
                               "pNode->pGuidName != NULL && pNode->cElems > 0"))
            continue;
        std::sort(pNode->pGuidName, pNode->pGuidName + pNode->cElems, GuidLess);
    }
    g_bSorted = true;
}

LPCWSTR FindName(REFGUID guid)
{
    const CGuidNameEntry key = {&guid, nullptr};
    for (const CGuidNameNode* pNode = GuidTables_Head(); pNode != nullptr; pNode = pNode->pNext)
    {
        if (pNode->pGuidName == NULL || pNode->cElems == 0)
            continue;
        const CGuidNameEntry* pEnd = pNode->pGuidName + pNode->cElems;
        const CGuidNameEntry* p = std::lower_bound(static_cast<const CGuidNameEntry*>(pNode->pGuidName), pEnd, key,
                                                   GuidLess);
        if (p != pEnd && IsEqualGUID(*p->pGuid, guid))
            return p->pszName;
    }
    return nullptr;
}

// {00000000-0000-0010-8000-00AA00389B71}: FOURCC and wave-tag subtypes share it.
const BYTE g_SubtypeBaseTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void BuildName(REFGUID guid, LPWSTR pszWork)
{
    if (LPCWSTR pszName = FindName(guid))
    {
        StrFormat(pszWork, kcchWork, L"%s", pszName);
        return;
    }
    if (memcmp(reinterpret_cast<const BYTE*>(&guid) + 4, g_SubtypeBaseTail, sizeof(g_SubtypeBaseTail)) != 0)
    {
        Guid2Str(guid, pszWork);
        return;
    }
    const UINT nCode = guid.Data1;
    if (nCode < 0xFFFF)
    {
        switch (nCode)
        {
        case 3: StrFormat(pszWork, kcchWork, L"IEEE_FLOAT (0x%04X)", nCode); break;
        case 6: StrFormat(pszWork, kcchWork, L"aLAW (0x%04X)", nCode); break;
        case 7: StrFormat(pszWork, kcchWork, L"muLAW (0x%04X)", nCode); break;
        case 85: StrFormat(pszWork, kcchWork, L"MP3 (0x%04X)", nCode); break;
        case 255: StrFormat(pszWork, kcchWork, L"RAW_AAC1 (0x%04X)", nCode); break;
        default: StrFormat(pszWork, kcchWork, L"TAG_0x%04X", nCode); break;
        }
        return;
    }
    WCHAR szFcc[5];
    if (Fourcc2Str(nCode, szFcc)[0] != L'\0')
        StrFormat(pszWork, kcchWork, L"FCC_%s", szFcc);
    else
        Guid2Str(guid, pszWork);
}
} // namespace

LPCWSTR Guid2TableName(REFGUID guid)
{
    if (!g_bSorted)
        SortTables();
    return FindName(guid);
}

const CGuidNameNode* GetGuidNameNodes()
{
    return GuidTables_Head();
}

LPWSTR Guid2Str(REFGUID guid, LPWSTR pszName)
{
    if (!TRACE_ASSERT_TEXT(pszName != NULL, "pszName != NULL"))
        return NULL;
    StrFormat(pszName, kcchGuid, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<UINT>(guid.Data1),
            guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
            guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return pszName;
}

LPCWSTR Guid2Name(REFGUID guid, LPWSTR pszName, int nMaxSym)
{
    if (!TRACE_ASSERT_TEXT(pszName != NULL, "pszName != NULL && _T(\"Guid2Name()\")"))
        return L"";
    if (!TRACE_ASSERT_TEXT(nMaxSym > 0, "nMaxSym > 0 && _T(\"Guid2Name()\")"))
        return L"";
    if (!g_bSorted)
        SortTables();

    WCHAR szWork[kcchWork];
    BuildName(guid, szWork);
    const size_t cchCopy = std::min(wcslen(szWork), static_cast<size_t>(nMaxSym) - 1);
    wmemcpy(pszName, szWork, cchCopy);
    pszName[cchCopy] = L'\0';
    return pszName;
}
