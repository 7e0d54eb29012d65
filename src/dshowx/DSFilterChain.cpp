// The graph dump: built from the graph's public interfaces, handed to the log
// as one block so that it stays whole.
#include <dshowx/DSDefines.h>
#include <dshowx/DSParsers.h>
#include <dshowx/DSTrace.h>
#include <dshowx/DSTypes.h>
#include <winapi/ComPtr.h>
#include <winapi/Functions.h>

#include <vfwmsgs.h>

#include <cstdarg>
#include <cstdlib>
#include <cwchar>

// ---------------------------------------------------------------------------
// Growable text

CWideText::CWideText(size_t cchReserve)
{
    Reserve(cchReserve);
}

CWideText::~CWideText()
{
    free(m_psz);
}

bool CWideText::Reserve(size_t cchNeeded)
{
    if (cchNeeded + 1 <= m_cchCapacity)
        return true;
    size_t cchNew = m_cchCapacity != 0 ? m_cchCapacity : 256;
    while (cchNew < cchNeeded + 1)
    {
        if (cchNew > (SIZE_MAX / sizeof(WCHAR)) / 2)
            return false;
        cchNew *= 2;
    }
    auto* psz = static_cast<LPWSTR>(realloc(m_psz, cchNew * sizeof(WCHAR)));
    if (psz == nullptr)
        return false;
    if (m_psz == nullptr)
        psz[0] = L'\0';
    m_psz = psz;
    m_cchCapacity = cchNew;
    return true;
}

bool CWideText::Append(LPCWSTR psz)
{
    const size_t cch = wcslen(psz);
    if (!Reserve(m_cch + cch))
        return false;
    memcpy(m_psz + m_cch, psz, (cch + 1) * sizeof(WCHAR));
    m_cch += cch;
    return true;
}

bool CWideText::AppendFormat(LPCWSTR pszFormat, ...)
{
    WCHAR szPart[1024];
    va_list args;
    va_start(args, pszFormat);
    StrFormatV(szPart, _countof(szPart), pszFormat, args);
    va_end(args);
    return Append(szPart);
}

LPWSTR CWideText::DetachToTaskMem() const
{
    auto* psz = static_cast<LPWSTR>(CoTaskMemAlloc((m_cch + 1) * sizeof(WCHAR)));
    if (psz != nullptr)
        memcpy(psz, Text(), (m_cch + 1) * sizeof(WCHAR));
    return psz;
}

// ---------------------------------------------------------------------------
// Graph text

namespace
{
constexpr int kcchTag = 128;

void FilterTag(IBaseFilter* pFilter, const CLSID* pClsid, LPWSTR pszTag)
{
    CComPtr<IDirectShowDebug> spDebug;
    if (SUCCEEDED(pFilter->QueryInterface(IID_IDirectShowDebug, reinterpret_cast<void**>(&spDebug))) && spDebug &&
        SUCCEEDED(spDebug->GetDebugNameW(pszTag, kcchTag)))
    {
        pszTag[kcchTag - 1] = L'\0';
        return;
    }
    LPCWSTR pszName = pClsid != nullptr ? Guid2TableName(*pClsid) : nullptr;
    if (pszName != nullptr)
        StrFormat(pszTag, kcchTag, L"[%s %p]", pszName, pFilter);
    else
        StrFormat(pszTag, kcchTag, L"[Filter %p]", pFilter);
}

LPCWSTR DirectionName(PIN_DIRECTION dir)
{
    switch (dir)
    {
    case PINDIR_INPUT: return L"INPUT";
    case PINDIR_OUTPUT: return L"OUTPUT";
    default: return L"UNKNOWN";
    }
}

// Appends the rest of a pin line after its direction and name: the peer's
// filter and the connection type.
bool AppendPeer(CWideText& text, IPin* pPin, IPin* pConnected)
{
    PIN_INFO peerInfo = {};
    HRESULT hr = pConnected->QueryPinInfo(&peerInfo);
    if (FAILED(hr))
        return text.AppendFormat(L"\r\n###Err### CFilterChainParser::GetPinData(): spPinConnected->QueryPinInfo()=0x%X\r\n",
                                 hr);
    CComPtr<IBaseFilter> spConnectedFilter;
    spConnectedFilter.Attach(peerInfo.pFilter);
    FILTER_INFO filterInfo = {};
    hr = spConnectedFilter ? spConnectedFilter->QueryFilterInfo(&filterInfo) : E_POINTER;
    if (FAILED(hr))
        return text.AppendFormat(
            L"\r\n###Err### CFilterChainParser::GetPinData(): spConnectedFilter->QueryFilterInfo()=0x%X\r\n", hr);
    TRACE_ASSERT_TEXT(filterInfo.pGraph != NULL, "rgFilterInfo.pGraph != NULL");
    if (filterInfo.pGraph != nullptr)
        filterInfo.pGraph->Release();
    filterInfo.achName[_countof(filterInfo.achName) - 1] = L'\0';
    return text.AppendFormat(L" -> [%s] ", filterInfo.achName) && CFilterChainParser::GetPinMediaType(text, pPin) &&
           text.Append(L"\r\n");
}
// The file line of a source or sink filter (both interfaces share GetCurFile).
template <class TFileFilter>
bool AppendCurFile(CWideText& text, IBaseFilter* pFilter, LPCWSTR pszLine, LPCWSTR pszError)
{
    CComPtr<TFileFilter> spFileFilter;
    if (FAILED(pFilter->QueryInterface(__uuidof(TFileFilter), reinterpret_cast<void**>(&spFileFilter))) || !spFileFilter)
        return true;
    LPOLESTR pszFile = nullptr;
    AM_MEDIA_TYPE mt = {};
    const HRESULT hr = spFileFilter->GetCurFile(&pszFile, &mt);
    const bool bOk = SUCCEEDED(hr) ? text.AppendFormat(pszLine, pszFile != nullptr ? pszFile : L"")
                                   : text.AppendFormat(pszError, hr);
    CoTaskMemFree(pszFile);
    if (SUCCEEDED(hr))
        MTClear(&mt);
    return bOk;
}
} // namespace

HRESULT CFilterChainParser::GetFiltersChain(IFilterGraph* pGraph, LPWSTR* ppszChain)
{
    if (!TRACE_ASSERT_TEXT(ppszChain != NULL, "ppszChain != NULL"))
        return E_POINTER;
    *ppszChain = nullptr;
    if (!TRACE_ASSERT_TEXT(pGraph != NULL, "pGraph != NULL"))
        return E_INVALIDARG;

    CWideText text;
    if (!text.AppendFormat(L"\r\n[Filter Graph %p]--------------------------------------------------------------\r\n\r\n",
                           pGraph))
        return E_OUTOFMEMORY;
    CComPtr<IEnumFilters> spEnum;
    HRESULT hr = pGraph->EnumFilters(&spEnum);
    if (FAILED(hr) || !spEnum)
    {
        if (!text.AppendFormat(L"###Err### CFilterChainParser::GetFiltersChain(): pGraph->EnumFilters()=0x%X\r\n", hr))
            return E_OUTOFMEMORY;
    }
    else
    {
        spEnum->Reset();
        for (;;)
        {
            CComPtr<IBaseFilter> spFilter;
            ULONG cFetched = 0;
            hr = spEnum->Next(1, &spFilter, &cFetched);
            if (hr == S_FALSE)
                break;
            if (FAILED(hr))
            {
                if (!text.AppendFormat(L"###Err### CFilterChainParser::GetFiltersChain(): spEnum->Next()=0x%X\r\n", hr))
                    return E_OUTOFMEMORY;
                break;
            }
            // An enumerator that claims success without a filter ends the list
            // rather than being dereferenced.
            if (!TRACE_ASSERT_TEXT(cFetched == 1 && spFilter, "cFetched == 1"))
                break;
            if (!GetFilterData(text, spFilter))
                return E_OUTOFMEMORY;
        }
    }
    if (!text.Append(L"-------------------------------------------------------------------------------------"))
        return E_OUTOFMEMORY;
    *ppszChain = text.DetachToTaskMem();
    return *ppszChain != nullptr ? S_OK : E_OUTOFMEMORY;
}

bool CFilterChainParser::GetFilterData(CWideText& text, IBaseFilter* pFilter)
{
    if (!TRACE_ASSERT_TEXT(pFilter != NULL, "pFilter != NULL"))
        return true;
    FILTER_INFO info = {};
    HRESULT hr = pFilter->QueryFilterInfo(&info);
    if (FAILED(hr))
        return text.AppendFormat(L"###Err### CFilterChainParser::GetFilterData(): pFilter->QueryFilterInfo()=0x%X\r\n\r\n",
                                 hr);
    if (info.pGraph != nullptr)
        info.pGraph->Release();
    info.achName[_countof(info.achName) - 1] = L'\0';

    CLSID clsid = GUID_NULL;
    WCHAR szClsid[64] = L"{### CLSID is unknown}";
    hr = pFilter->GetClassID(&clsid);
    if (hr == E_NOTIMPL)
    {
        if (!text.Append(L"\r\n###Err### CFilterChainParser::GetFilterData(): pFilter->GetClassID()=E_NOTIMPL"))
            return false;
    }
    else if (FAILED(hr))
    {
        if (!text.AppendFormat(L"\r\n###Err### CFilterChainParser::GetFilterData(): pFilter->GetClassID()=0x%X", hr))
            return false;
    }
    else
        Guid2Str(clsid, szClsid);

    WCHAR szTag[kcchTag];
    FilterTag(pFilter, SUCCEEDED(hr) ? &clsid : nullptr, szTag);
    if (!text.AppendFormat(L"    %s %s : \"%s\"\r\n", szTag, szClsid, info.achName) || !GetFileName(text, pFilter))
        return false;

    CComPtr<IEnumPins> spEnum;
    hr = pFilter->EnumPins(&spEnum);
    if (FAILED(hr) || !spEnum)
        return text.AppendFormat(L"###Err### CFilterChainParser::GetFilterData(): pFilter->EnumPins()=0x%X\r\n\r\n", hr);
    spEnum->Reset();
    for (;;)
    {
        CComPtr<IPin> spPin;
        hr = spEnum->Next(1, &spPin, nullptr);
        if (hr == S_FALSE)
            break;
        if (FAILED(hr))
            return text.AppendFormat(L"###Err### CFilterChainParser::GetFilterData(): spEnum->Next()=0x%X\r\n\r\n", hr);
        if (!spPin)
            break;
        if (!GetPinData(text, spPin))
            return false;
    }
    return text.Append(L"\r\n");
}

bool CFilterChainParser::GetFileName(CWideText& text, IBaseFilter* pFilter)
{
    if (!TRACE_ASSERT_TEXT(pFilter != NULL, "pFilter != NULL"))
        return true;
    return AppendCurFile<IFileSourceFilter>(
               text, pFilter, L"\tINPUT FILE: \"%s\"\r\n",
               L"###Err### CFilterChainParser::GetFileName(): spFileSourceFilter->GetCurFile()=0x%X\r\n\r\n") &&
           AppendCurFile<IFileSinkFilter>(
               text, pFilter, L"\tOUTPUT FILE: \"%s\"\r\n",
               L"###Err### CFilterChainParser::GetFileName(): spFileSinkFilter->GetCurFile()=0x%X\r\n\r\n");
}

bool CFilterChainParser::GetPinData(CWideText& text, IPin* pPin)
{
    if (!TRACE_ASSERT_TEXT(pPin != NULL, "pPin != NULL"))
        return true;
    PIN_INFO info = {};
    HRESULT hr = pPin->QueryPinInfo(&info);
    if (FAILED(hr))
        return text.AppendFormat(L"###Err### CFilterChainParser::GetPinData(): pPin->QueryPinInfo()=0x%X\r\n\r\n", hr);
    TRACE_ASSERT_TEXT(info.pFilter != NULL, "rgInfo.pFilter != NULL");
    if (info.pFilter != nullptr)
        info.pFilter->Release();
    info.achName[_countof(info.achName) - 1] = L'\0';
    if (!text.AppendFormat(L"\t%s (%s)", DirectionName(info.dir), info.achName))
        return false;

    CComPtr<IPin> spConnected;
    hr = pPin->ConnectedTo(&spConnected);
    if (hr == VFW_E_NOT_CONNECTED)
        return text.Append(L"    NOT CONNECTED\r\n");
    if (FAILED(hr) || !spConnected)
        return text.AppendFormat(L"\r\n###Err### CFilterChainParser::GetPinData(): pPin->ConnectedTo()=0x%X\r\n", hr);
    return AppendPeer(text, pPin, spConnected);
}

bool CFilterChainParser::GetPinMediaType(CWideText& text, IPin* pPin)
{
    if (!TRACE_ASSERT_TEXT(pPin != NULL, "pPin != NULL"))
        return true;
    AM_MEDIA_TYPE mt = {};
    const HRESULT hr = pPin->ConnectionMediaType(&mt);
    if (FAILED(hr))
        return text.AppendFormat(
            L"\r\n###Err### CFilterChainParser::GetPinMediaType(): pPin->ConnectionMediaType()=0x%X\r\n", hr);
    WCHAR szType[256];
    ParseMediaType(&mt, szType, _countof(szType), true);
    MTClear(&mt);
    return text.Append(szType);
}

void WriteGraphToLog(IFilterGraph* pGraph, LPCWSTR pszTag)
{
    if (pGraph == nullptr)
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s ParseGraphToLogFile(): graph pointer = NULL\n", pszTag);
        return;
    }
    LPWSTR pszChain = nullptr;
    const HRESULT hr = CFilterChainParser::GetFiltersChain(pGraph, &pszChain);
    if (FAILED(hr))
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s CBaseFilter::ParseGraphToLogFile(): GetFiltersChain()=0x%X\n", pszTag,
               hr);
        return;
    }
    if (Log_IsConnected())
    {
        // The block length is the narrow text's own: in a multi-byte code
        // page it can exceed the wide length, and the log must get it all.
        const int cb = WideCharToMultiByte(CP_ACP, 0, pszChain, -1, nullptr, 0, nullptr, nullptr);
        LPSTR psz = cb > 0 ? static_cast<LPSTR>(malloc(cb)) : nullptr;
        if (psz != nullptr && WideCharToMultiByte(CP_ACP, 0, pszChain, -1, psz, cb, nullptr, nullptr) == cb)
            Log_WriteBlock(static_cast<DWORD>(cb - 1), psz);
        free(psz);
    }
    CoTaskMemFree(pszChain);
}
