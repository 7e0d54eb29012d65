// Runs registry scripts: nested keys under a root key, default and named
// values (s 'text', d number), the flags ForceRemove, NoRemove and Delete,
// and %NAME% replacements. The whole script is parsed before anything is
// written, so a script with an error changes nothing.
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {%CLSID%} = s 'Name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Both'
//               }
//           }
//       }
//   }
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

class CRegistrar
{
public:
    // A later value for the same name replaces the earlier one.
    HRESULT AddReplacement(LPCWSTR pszName, LPCWSTR pszValue);
    HRESULT ClearReplacements();

    // Syntax errors (and unknown replacements) give DISP_E_EXCEPTION and a
    // level-1 trace line with line and column; registry failures give the
    // Win32 error as HRESULT.
    HRESULT StringRegister(LPCWSTR pszScript);
    HRESULT StringUnregister(LPCWSTR pszScript);
    // Script stored as resource nId of the given type (UTF-16 with a byte
    // order mark, else UTF-8 or the ANSI code page).
    HRESULT ResourceRegister(HMODULE hModule, UINT nId, LPCWSTR pszType = L"REGISTRY");
    HRESULT ResourceUnregister(HMODULE hModule, UINT nId, LPCWSTR pszType = L"REGISTRY");

private:
    HRESULT RunScript(LPCWSTR pszScript, bool bRegister);
    HRESULT RunResource(HMODULE hModule, UINT nId, LPCWSTR pszType, bool bRegister);

    std::vector<std::pair<std::wstring, std::wstring>> m_replacements;
};
