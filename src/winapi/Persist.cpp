#include <winapi/Persist.h>

#include <dshowx/DSTrace.h>

#include <string.h>

HRESULT PersistWrite(IStream* pStm, const void* pv, ULONG cb)
{
    if (pStm == nullptr)
        return E_FAIL;
    ULONG cbWritten = 0;
    const HRESULT hr = pStm->Write(pv, cb, &cbWritten);
    if (FAILED(hr))
        return hr;
    return cbWritten == cb ? S_OK : E_FAIL;
}

HRESULT PersistRead(IStream* pStm, void* pv, ULONG cb)
{
    if (pStm == nullptr)
        return E_FAIL;
    ULONG cbRead = 0;
    const HRESULT hr = pStm->Read(pv, cb, &cbRead);
    if (FAILED(hr))
        return hr;
    return cbRead == cb ? S_OK : E_FAIL;
}

ULONG PersistStringSize(LPCWSTR psz)
{
    return psz == nullptr ? 4 : 4 + static_cast<ULONG>(wcslen(psz) * sizeof(WCHAR)) + 2;
}

HRESULT PersistWriteString(IStream* pStm, LPCWSTR psz)
{
    const ULONG cb = PersistStringSize(psz) - 4;
    HRESULT hr = PersistWrite(pStm, &cb, 4);
    if (FAILED(hr) || cb == 0)
        return hr;
    return PersistWrite(pStm, psz, cb);
}

namespace
{

HRESULT Refuse(LPCWSTR pszReason, HRESULT hr)
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"%s\n", pszReason);
    return FAILED(hr) ? hr : E_FAIL;
}

// Texts of a string reader's refusals.
struct STRING_READ_TEXTS
{
    LPCWSTR pszCorrupt;     // the count cannot be read
    LPCWSTR pszTooLong;     // the count exceeds PERSIST_STRING_MAX
    LPCWSTR pszBadLength;   // the count is not whole characters with a zero
    LPCWSTR pszShort;       // fewer bytes than announced
    LPCWSTR pszNoTerminator;
};

const STRING_READ_TEXTS s_lengthPrefixed = {
    L"Input stream is corrupted.",
    L"String exceeded the maximum allowed size see _ATL_STREAM_MAX_SIZE.",
    // A count that is not whole characters cannot end in a zero character.
    L"Cannot read NULL terminator from stream.",
    L"Length of string data is different than expected.",
    L"Cannot read NULL terminator from stream.",
};

const STRING_READ_TEXTS s_streamBSTR = {
    L"CStreamBSTR::PersistLoad(): stream is corrupted.",
    L"CStreamBSTR::PersistLoad(): string exceeded the maximum allowed size.",
    L"CStreamBSTR::PersistLoad(): invalid BSTR length.",
    L"CStreamBSTR::PersistLoad(): invalid length of data in stream.",
    L"CStreamBSTR::PersistLoad(): invalid NULL terminator of BSTR.",
};

HRESULT ReadString(IStream* pStm, CComBSTR* pbs, const STRING_READ_TEXTS& texts)
{
    if (pStm == nullptr || pbs == nullptr)
        return E_POINTER;
    pbs->Empty();
    ULONG cb = 0;
    HRESULT hr = PersistRead(pStm, &cb, 4);
    if (FAILED(hr))
        return Refuse(texts.pszCorrupt, hr);
    if (cb == 0)
        return S_OK;
    if (cb > PERSIST_STRING_MAX)
        return Refuse(texts.pszTooLong, E_FAIL);
    if (cb < sizeof(WCHAR) || (cb % sizeof(WCHAR)) != 0)
        return Refuse(texts.pszBadLength, E_FAIL);
    BSTR bstr = SysAllocStringLen(nullptr, cb / sizeof(WCHAR) - 1);
    if (bstr == nullptr)
        return E_OUTOFMEMORY;
    ULONG cbRead = 0;
    hr = pStm->Read(bstr, cb, &cbRead);
    if (FAILED(hr) || cbRead != cb)
    {
        SysFreeString(bstr);
        return Refuse(texts.pszShort, hr);
    }
    if (bstr[cb / sizeof(WCHAR) - 1] != 0)
    {
        SysFreeString(bstr);
        return Refuse(texts.pszNoTerminator, E_FAIL);
    }
    pbs->Attach(bstr);
    return S_OK;
}

BYTE* MemberOf(void* pThis, const PERSIST_MAP_ENTRY* pEntry) { return static_cast<BYTE*>(pThis) + pEntry->nOffset; }

CPersistObject* ObjectOf(void* pThis, const PERSIST_MAP_ENTRY* pEntry)
{
    return reinterpret_cast<CPersistObject*>(MemberOf(pThis, pEntry));
}

// The member interface's IPersistStream; a null member cannot persist.
HRESULT PersistStreamOf(void* pThis, const PERSIST_MAP_ENTRY* pEntry, IPersistStream** ppPS)
{
    *ppPS = nullptr;
    IUnknown* pUnk = *reinterpret_cast<IUnknown**>(MemberOf(pThis, pEntry));
    if (pUnk == nullptr)
        return E_UNEXPECTED;
    return pUnk->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(ppPS));
}

const PERSIST_CALLBACKS* CallbacksOf(const PERSIST_MAP_ENTRY* pEntry)
{
    return static_cast<const PERSIST_CALLBACKS*>(pEntry->pvExtra);
}

HRESULT SaveEntry(void* pThis, const PERSIST_MAP_ENTRY* pEntry, IStream* pStm, BOOL bClearDirty)
{
    if (pEntry->nSize > 0)
        return PersistWrite(pStm, MemberOf(pThis, pEntry), static_cast<ULONG>(pEntry->nSize));
    switch (pEntry->nSize)
    {
    case PERSIST_KIND_OBJECT:
        return ObjectOf(pThis, pEntry)->PersistSave(pStm, bClearDirty);
    case PERSIST_KIND_INTERFACE:
    {
        CComPtr<IPersistStream> spPS;
        const HRESULT hr = PersistStreamOf(pThis, pEntry, &spPS);
        return FAILED(hr) ? hr : spPS->Save(pStm, bClearDirty);
    }
    case PERSIST_KIND_CALLBACK:
        return CallbacksOf(pEntry)->pfnSave(MemberOf(pThis, pEntry), pStm, bClearDirty);
    case PERSIST_KIND_BSTR:
        return reinterpret_cast<CStreamBSTR*>(MemberOf(pThis, pEntry))->PersistSave(pStm);
    case PERSIST_KIND_CONST:
        return PersistWrite(pStm, pEntry->pvExtra, sizeof(GUID));
    case PERSIST_KIND_MAP:
        return CPersistHelp::PersistSaveImp(MemberOf(pThis, pEntry), static_cast<const PERSIST_MAP_ENTRY*>(pEntry->pvExtra),
                                            pStm, bClearDirty);
    }
    return E_UNEXPECTED;
}

HRESULT LoadEntry(void* pThis, const PERSIST_MAP_ENTRY* pEntry, IStream* pStm)
{
    if (pEntry->nSize > 0)
        return PersistRead(pStm, MemberOf(pThis, pEntry), static_cast<ULONG>(pEntry->nSize));
    switch (pEntry->nSize)
    {
    case PERSIST_KIND_OBJECT:
        return ObjectOf(pThis, pEntry)->PersistLoad(pStm);
    case PERSIST_KIND_INTERFACE:
    {
        CComPtr<IPersistStream> spPS;
        const HRESULT hr = PersistStreamOf(pThis, pEntry, &spPS);
        return FAILED(hr) ? hr : spPS->Load(pStm);
    }
    case PERSIST_KIND_CALLBACK:
        return CallbacksOf(pEntry)->pfnLoad(MemberOf(pThis, pEntry), pStm);
    case PERSIST_KIND_BSTR:
        return reinterpret_cast<CStreamBSTR*>(MemberOf(pThis, pEntry))->PersistLoad(pStm);
    case PERSIST_KIND_CONST:
    {
        GUID guid;
        const HRESULT hr = PersistRead(pStm, &guid, sizeof(guid));
        if (FAILED(hr))
            return hr;
        // A different constant is a stream of something else.
        return memcmp(&guid, pEntry->pvExtra, sizeof(guid)) == 0 ? S_OK : E_FAIL;
    }
    case PERSIST_KIND_MAP:
        return CPersistHelp::PersistLoadImp(MemberOf(pThis, pEntry), static_cast<const PERSIST_MAP_ENTRY*>(pEntry->pvExtra),
                                            pStm);
    }
    return E_UNEXPECTED;
}

ULONG EntrySize(void* pThis, const PERSIST_MAP_ENTRY* pEntry)
{
    if (pEntry->nSize > 0)
        return static_cast<ULONG>(pEntry->nSize);
    switch (pEntry->nSize)
    {
    case PERSIST_KIND_OBJECT:
        return ObjectOf(pThis, pEntry)->PersistSize();
    case PERSIST_KIND_INTERFACE:
    {
        CComPtr<IPersistStream> spPS;
        ULARGE_INTEGER cb = {};
        if (FAILED(PersistStreamOf(pThis, pEntry, &spPS)) || FAILED(spPS->GetSizeMax(&cb)) || cb.QuadPart >= PERSIST_SIZE_UNKNOWN)
            return PERSIST_SIZE_UNKNOWN;
        return static_cast<ULONG>(cb.QuadPart);
    }
    case PERSIST_KIND_CALLBACK:
        return CallbacksOf(pEntry)->pfnSize(MemberOf(pThis, pEntry));
    case PERSIST_KIND_BSTR:
        return reinterpret_cast<CStreamBSTR*>(MemberOf(pThis, pEntry))->PersistSize();
    case PERSIST_KIND_CONST:
        return sizeof(GUID);
    case PERSIST_KIND_MAP:
        return CPersistHelp::PersistSizeImp(MemberOf(pThis, pEntry), static_cast<const PERSIST_MAP_ENTRY*>(pEntry->pvExtra));
    }
    return PERSIST_SIZE_UNKNOWN;
}

bool EntryDirty(void* pThis, const PERSIST_MAP_ENTRY* pEntry)
{
    switch (pEntry->nSize)
    {
    case PERSIST_KIND_OBJECT:
        return ObjectOf(pThis, pEntry)->PersistIsDirty();
    case PERSIST_KIND_INTERFACE:
    {
        CComPtr<IPersistStream> spPS;
        return SUCCEEDED(PersistStreamOf(pThis, pEntry, &spPS)) && spPS->IsDirty() == S_OK;
    }
    case PERSIST_KIND_CALLBACK:
        return CallbacksOf(pEntry)->pfnIsDirty != nullptr && CallbacksOf(pEntry)->pfnIsDirty(MemberOf(pThis, pEntry));
    case PERSIST_KIND_MAP:
        return CPersistHelp::IsDirtyImp(MemberOf(pThis, pEntry), static_cast<const PERSIST_MAP_ENTRY*>(pEntry->pvExtra));
    }
    return false;
}

} // namespace

HRESULT PersistReadString(IStream* pStm, CComBSTR* pbs) { return ReadString(pStm, pbs, s_lengthPrefixed); }

HRESULT CStreamBSTR::PersistLoad(IStream* pStm) { return ReadString(pStm, this, s_streamBSTR); }

HRESULT CStreamBSTR::PersistSave(IStream* pStm) const { return PersistWriteString(pStm, m_str); }

HRESULT CPersistHelp::PersistSaveImp(void* pThis, const PERSIST_MAP_ENTRY* pMap, IStream* pStm, BOOL bClearDirty)
{
    if (pThis == nullptr || pMap == nullptr || pStm == nullptr)
        return E_POINTER;
    for (const PERSIST_MAP_ENTRY* pEntry = pMap; pEntry->nSize != 0; ++pEntry)
    {
        const HRESULT hr = SaveEntry(pThis, pEntry, pStm, bClearDirty);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CPersistHelp::PersistLoadImp(void* pThis, const PERSIST_MAP_ENTRY* pMap, IStream* pStm)
{
    if (pThis == nullptr || pMap == nullptr || pStm == nullptr)
        return E_POINTER;
    for (const PERSIST_MAP_ENTRY* pEntry = pMap; pEntry->nSize != 0; ++pEntry)
    {
        const HRESULT hr = LoadEntry(pThis, pEntry, pStm);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

ULONG CPersistHelp::PersistSizeImp(void* pThis, const PERSIST_MAP_ENTRY* pMap)
{
    if (pThis == nullptr || pMap == nullptr)
        return PERSIST_SIZE_UNKNOWN;
    ULONGLONG cbTotal = 0;
    for (const PERSIST_MAP_ENTRY* pEntry = pMap; pEntry->nSize != 0; ++pEntry)
    {
        const ULONG cb = EntrySize(pThis, pEntry);
        if (cb == PERSIST_SIZE_UNKNOWN)
            return PERSIST_SIZE_UNKNOWN;
        cbTotal += cb;
    }
    return cbTotal >= PERSIST_SIZE_UNKNOWN ? PERSIST_SIZE_UNKNOWN : static_cast<ULONG>(cbTotal);
}

bool CPersistHelp::IsDirtyImp(void* pThis, const PERSIST_MAP_ENTRY* pMap)
{
    if (pThis == nullptr || pMap == nullptr)
        return false;
    for (const PERSIST_MAP_ENTRY* pEntry = pMap; pEntry->nSize != 0; ++pEntry)
    {
        if (EntryDirty(pThis, pEntry))
            return true;
    }
    return false;
}
