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
} // namespace

HRESULT PersistReadString(IStream* pStm, CComBSTR* pbs)
{
    if (pStm == nullptr || pbs == nullptr)
        return E_POINTER;
    pbs->Empty();
    ULONG cb = 0;
    HRESULT hr = PersistRead(pStm, &cb, 4);
    if (FAILED(hr))
        return Refuse(L"Input stream is corrupted.", hr);
    if (cb == 0)
        return S_OK;
    if (cb > PERSIST_STRING_MAX)
        return Refuse(L"String exceeded the maximum allowed size see _ATL_STREAM_MAX_SIZE.", E_FAIL);
    // A count that is not whole characters cannot end in a zero character.
    if (cb < sizeof(WCHAR) || (cb % sizeof(WCHAR)) != 0)
        return Refuse(L"Cannot read NULL terminator from stream.", E_FAIL);
    BSTR bstr = SysAllocStringLen(nullptr, cb / sizeof(WCHAR) - 1);
    if (bstr == nullptr)
        return E_OUTOFMEMORY;
    ULONG cbRead = 0;
    hr = pStm->Read(bstr, cb, &cbRead);
    if (FAILED(hr) || cbRead != cb)
    {
        SysFreeString(bstr);
        return Refuse(L"Length of string data is different than expected.", hr);
    }
    if (bstr[cb / sizeof(WCHAR) - 1] != 0)
    {
        SysFreeString(bstr);
        return Refuse(L"Cannot read NULL terminator from stream.", E_FAIL);
    }
    pbs->Attach(bstr);
    return S_OK;
}
