// What spyhost changes around one run and gives back afterwards: registry
// values the spy reads (its log library, its options), and the spy's module.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <memory>
#include <string>
#include <vector>

#include <winapi/ComPtr.h>

// One registry value of the current user, saved at construction of the
// override and put back (or deleted again) at Restore or destruction.
class CRegValueOverride
{
public:
    CRegValueOverride(LPCWSTR pszKey, LPCWSTR pszName);
    ~CRegValueOverride() { Restore(); }
    CRegValueOverride(const CRegValueOverride&) = delete;
    CRegValueOverride& operator=(const CRegValueOverride&) = delete;

    bool SetString(LPCWSTR psz);
    bool SetDword(DWORD dw);
    // Back to what it was; later calls do nothing.
    void Restore();

private:
    bool Set(DWORD dwType, const void* pv, DWORD cb);

    std::wstring m_key;
    std::wstring m_name;
    bool m_bKeyExisted = false;
    bool m_bExisted = false;
    bool m_bChanged = false;
    DWORD m_dwType = 0;
    std::vector<BYTE> m_data;
};

// The folder of spyhost.exe, with a trailing backslash.
std::wstring HostFolder();

// The stand-in log library for this run: loaded from beside spyhost.exe,
// named in the registry for the spy module to find when it loads, its lines
// observed and written to the log file.
class CHostLog
{
public:
    CHostLog() = default;
    ~CHostLog();
    CHostLog(const CHostLog&) = delete;
    CHostLog& operator=(const CHostLog&) = delete;

    // Prepares the registry and the library; the previous log file content
    // is dropped. Returns false with a message when the library is missing.
    bool Prepare(const std::wstring& logFile, void (WINAPI* pfnObserver)(void*, LPCWSTR, int), void* pvObserver,
                 std::string& message);
    // The spy module has loaded and connected: the user's setting returns.
    void RestoreRegistry();
    // Stops the observer (before the observer's owner goes away).
    void StopObserving();
    const std::wstring& LogFile() const { return m_logFile; }
    bool Active() const { return m_hLib != nullptr; }

private:
    HMODULE m_hLib = nullptr;
    std::wstring m_logFile;
    std::unique_ptr<CRegValueOverride> m_spLibValue;
    std::unique_ptr<CRegValueOverride> m_spFileValue;
};

// Creates spies: by class identifier when the class is registered, else
// from VelmoraSpy.dll beside spyhost.exe through its class object.
class CSpyFactory
{
public:
    CSpyFactory() = default;
    ~CSpyFactory();
    CSpyFactory(const CSpyFactory&) = delete;
    CSpyFactory& operator=(const CSpyFactory&) = delete;

    HRESULT Create(IBaseFilter** ppFilter, std::string& message);
    // "registered" or the DLL's path, once a spy was created.
    const std::string& Source() const { return m_source; }

private:
    HMODULE m_hDll = nullptr;
    CComPtr<IClassFactory> m_spFactory;
    bool m_bByClsid = false;
    std::string m_source;
};

// "0x80040216 (<the system's text>)".
std::string HResultText(HRESULT hr);
