#include "HostEnv.h"
#include "Options.h"

#include <VelmoraSpy.h>

#include <tools/standinlog/StandInLog.h>

#include <cstdio>

namespace
{

const WCHAR c_szLogKey[] = L"Software\\_KORVEXLOG";

} // namespace

// ---------------------------------------------------------------------------

CRegValueOverride::CRegValueOverride(LPCWSTR pszKey, LPCWSTR pszName) : m_key(pszKey), m_name(pszName ? pszName : L"")
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, pszKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    m_bKeyExisted = true;
    DWORD cb = 0;
    if (RegQueryValueExW(hKey, m_name.c_str(), nullptr, &m_dwType, nullptr, &cb) == ERROR_SUCCESS)
    {
        m_data.resize(cb);
        m_bExisted = RegQueryValueExW(hKey, m_name.c_str(), nullptr, &m_dwType, cb ? m_data.data() : nullptr, &cb) ==
                     ERROR_SUCCESS;
        m_data.resize(cb);
    }
    RegCloseKey(hKey);
}

bool CRegValueOverride::Set(DWORD dwType, const void* pv, DWORD cb)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS)
        return false;
    m_bChanged = true;
    const bool bOk = RegSetValueExW(hKey, m_name.c_str(), 0, dwType, static_cast<const BYTE*>(pv), cb) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return bOk;
}

bool CRegValueOverride::SetString(LPCWSTR psz)
{
    return Set(REG_SZ, psz, static_cast<DWORD>((wcslen(psz) + 1) * sizeof(WCHAR)));
}

bool CRegValueOverride::SetDword(DWORD dw) { return Set(REG_DWORD, &dw, sizeof(dw)); }

void CRegValueOverride::Restore()
{
    if (!m_bChanged)
        return;
    m_bChanged = false;
    if (!m_bKeyExisted)
    {
        // The key was ours: take it away again when nothing else went in.
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, m_key.c_str(), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &hKey) !=
            ERROR_SUCCESS)
            return;
        RegDeleteValueW(hKey, m_name.c_str());
        DWORD cSubKeys = 1, cValues = 1;
        RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, &cValues, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(hKey);
        if (cSubKeys == 0 && cValues == 0)
            RegDeleteKeyW(HKEY_CURRENT_USER, m_key.c_str());
        return;
    }
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, m_key.c_str(), 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    if (m_bExisted)
        RegSetValueExW(hKey, m_name.c_str(), 0, m_dwType, m_data.empty() ? nullptr : m_data.data(),
                       static_cast<DWORD>(m_data.size()));
    else
        RegDeleteValueW(hKey, m_name.c_str());
    RegCloseKey(hKey);
}

// ---------------------------------------------------------------------------

std::wstring HostFolder()
{
    WCHAR sz[MAX_PATH] = {};
    const DWORD cch = GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring s(sz, cch < MAX_PATH ? cch : 0);
    const size_t at = s.find_last_of(L"\\/");
    return at == std::wstring::npos ? std::wstring() : s.substr(0, at + 1);
}

std::string HResultText(HRESULT hr)
{
    WCHAR sz[MAX_ERROR_TEXT_LEN] = {};
    if (AMGetErrorTextW(hr, sz, MAX_ERROR_TEXT_LEN) == 0)
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(hr), 0,
                       sz, MAX_ERROR_TEXT_LEN, nullptr);
    std::string text = Utf8(sz);
    if (text.compare(0, 9, "Error: 0x") == 0)
        text.clear(); // a code without a known text
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    char szCode[16];
    snprintf(szCode, sizeof(szCode), "0x%08lX", static_cast<unsigned long>(hr));
    return text.empty() ? std::string(szCode) : std::string(szCode) + " (" + text + ")";
}

// ---------------------------------------------------------------------------

CHostLog::~CHostLog()
{
    StopObserving();
    RestoreRegistry();
}

bool CHostLog::Prepare(const std::wstring& logFile, void (WINAPI* pfnObserver)(void*, LPCWSTR, int),
                       void* pvObserver, std::string& message)
{
    const std::wstring lib = HostFolder() + L"velmoralog.dll";
    m_logFile = logFile;
    // A new run, a new trace: the library appends, so the old one goes first.
    if (!DeleteFileW(logFile.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    {
        message = "cannot replace the trace file '" + Utf8(logFile) + "'";
        return false;
    }
    m_hLib = LoadLibraryW(lib.c_str());
    if (m_hLib == nullptr)
    {
        message = "no trace: " + Utf8(lib) + " cannot be loaded; samples are not counted";
        return false;
    }
    auto pfnSetLog = reinterpret_cast<PFN_STANDIN_SETLOGFILE>(reinterpret_cast<void*>(GetProcAddress(m_hLib, "StandIn_SetLogFile")));
    auto pfnObserve = reinterpret_cast<PFN_STANDIN_SETOBSERVER>(reinterpret_cast<void*>(GetProcAddress(m_hLib, "StandIn_SetObserver")));
    if (pfnSetLog == nullptr || pfnObserve == nullptr || !pfnSetLog(logFile.c_str()))
    {
        message = "no trace: " + Utf8(lib) + " is not the stand-in log library it should be";
        FreeLibrary(m_hLib);
        m_hLib = nullptr;
        return false;
    }
    pfnObserve(pfnObserver, pvObserver);
    m_spLibValue.reset(new CRegValueOverride(c_szLogKey, nullptr));
    m_spFileValue.reset(new CRegValueOverride(c_szLogKey, L"LogFile"));
    if (!m_spLibValue->SetString(lib.c_str()) || !m_spFileValue->SetString(logFile.c_str()))
        message = "no trace: the log library cannot be named in HKCU\\Software\\_KORVEXLOG";
    return true;
}

void CHostLog::RestoreRegistry()
{
    m_spFileValue.reset();
    m_spLibValue.reset();
}

void CHostLog::StopObserving()
{
    if (m_hLib == nullptr)
        return;
    auto pfnObserve = reinterpret_cast<PFN_STANDIN_SETOBSERVER>(reinterpret_cast<void*>(GetProcAddress(m_hLib, "StandIn_SetObserver")));
    if (pfnObserve)
        pfnObserve(nullptr, nullptr);
}

// ---------------------------------------------------------------------------

CSpyFactory::~CSpyFactory()
{
    m_spFactory.Release();
    // The module stays loaded: filters of the graph may still be in it while
    // the process ends, and COM unloads nothing it did not load.
}

HRESULT CSpyFactory::Create(IBaseFilter** ppFilter, std::string& message)
{
    if (m_bByClsid || (m_hDll == nullptr && !m_spFactory))
    {
        const HRESULT hr = CoCreateInstance(CLSID_SpyFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                            reinterpret_cast<void**>(ppFilter));
        if (SUCCEEDED(hr))
        {
            m_bByClsid = true;
            m_source = "registered class";
            return hr;
        }
        if (m_bByClsid)
        {
            message = "cannot create another spy: " + HResultText(hr);
            return hr;
        }
        message = "the spy's class is not registered (" + HResultText(hr) + ")";
    }
    if (!m_spFactory)
    {
        const std::wstring dll = HostFolder() + L"VelmoraSpy.dll";
        m_hDll = LoadLibraryW(dll.c_str());
        if (m_hDll == nullptr)
        {
            message += " and " + Utf8(dll) + " cannot be loaded (" + HResultText(HRESULT_FROM_WIN32(GetLastError())) +
                       ")";
            return REGDB_E_CLASSNOTREG;
        }
        typedef HRESULT(STDAPICALLTYPE * PFN_GETCLASSOBJECT)(REFCLSID, REFIID, void**);
        auto pfn = reinterpret_cast<PFN_GETCLASSOBJECT>(reinterpret_cast<void*>(GetProcAddress(m_hDll, "DllGetClassObject")));
        const HRESULT hr = pfn ? pfn(CLSID_SpyFilter, IID_IClassFactory, reinterpret_cast<void**>(&m_spFactory))
                               : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
        if (FAILED(hr))
        {
            message += " and " + Utf8(dll) + " gives no class object: " + HResultText(hr);
            return hr;
        }
        m_source = Utf8(dll);
    }
    const HRESULT hr = m_spFactory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(ppFilter));
    if (FAILED(hr))
        message = "the spy's class object cannot create a spy: " + HResultText(hr);
    else
        message.clear();
    return hr;
}
