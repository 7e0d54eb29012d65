// Registry scripts: a lexer that tracks line and column, a parser that builds
// the whole tree first, then a writer (register) and a remover (unregister).
#include <winapi/Registrar.h>

#include <dshowx/DSTrace.h>

#include <cwchar>
#include <cwctype>
#include <new>

namespace
{

enum class ETokenKind
{
    Word,
    Quoted,
    LBrace,
    RBrace,
    Equals,
    End,
};

struct CToken
{
    ETokenKind eKind = ETokenKind::End;
    std::wstring strText; // replacements already applied
    unsigned nLine = 1;
    unsigned nColumn = 1;
};

enum class EKeyFlag
{
    None,
    NoRemove,
    ForceRemove,
    Delete,
};

struct CRegNode
{
    bool bNamedValue = false; // "val name = ..." rather than a key
    EKeyFlag eFlag = EKeyFlag::None;
    std::wstring strName;
    bool bHasValue = false;
    DWORD dwType = REG_SZ;
    std::wstring strValue;
    DWORD dwValue = 0;
    std::vector<CRegNode> children;
};

struct CRegRoot
{
    HKEY hRoot = nullptr;
    std::vector<CRegNode> keys;
};

struct CSyntaxError
{
    unsigned nLine = 0;
    unsigned nColumn = 0;
    std::wstring strMessage;
};

typedef std::vector<std::pair<std::wstring, std::wstring>> CReplacements;

bool EqualsNoCase(const std::wstring& str, LPCWSTR psz) { return _wcsicmp(str.c_str(), psz) == 0; }

class CLexer
{
public:
    CLexer(LPCWSTR pszScript, const CReplacements& replacements) : m_psz(pszScript), m_replacements(replacements) {}

    // False with m_error set on a lexical error.
    bool Next(CToken& token)
    {
        SkipSpace();
        token = CToken();
        token.nLine = m_nLine;
        token.nColumn = m_nColumn;
        const wchar_t ch = *m_psz;
        if (ch == L'\0')
            return true;
        if (ch == L'\'')
            return ReadQuoted(token);
        const bool bAlone = IsSpaceOrEnd(m_psz[1]);
        if (ch == L'}' || ch == L'=' || (ch == L'{' && bAlone))
        {
            token.eKind = ch == L'}' ? ETokenKind::RBrace : ch == L'=' ? ETokenKind::Equals : ETokenKind::LBrace;
            Advance();
            return true;
        }
        return ReadWord(token);
    }
    // Peeks without consuming.
    bool Peek(CToken& token)
    {
        const LPCWSTR psz = m_psz;
        const unsigned nLine = m_nLine, nColumn = m_nColumn;
        const bool bOk = Next(token);
        m_psz = psz;
        m_nLine = nLine;
        m_nColumn = nColumn;
        return bOk;
    }

    CSyntaxError m_error;

private:
    static bool IsSpaceOrEnd(wchar_t ch) { return ch == L'\0' || iswspace(ch); }
    void Advance()
    {
        if (*m_psz == L'\n')
        {
            ++m_nLine;
            m_nColumn = 1;
        }
        else
        {
            ++m_nColumn;
        }
        ++m_psz;
    }
    void SkipSpace()
    {
        while (*m_psz != L'\0' && iswspace(*m_psz))
            Advance();
    }
    bool Fail(const CToken& token, const std::wstring& strMessage)
    {
        m_error.nLine = token.nLine;
        m_error.nColumn = token.nColumn;
        m_error.strMessage = strMessage;
        return false;
    }
    bool ReadWord(CToken& token)
    {
        std::wstring strRaw;
        while (!IsSpaceOrEnd(*m_psz))
        {
            strRaw += *m_psz;
            Advance();
        }
        token.eKind = ETokenKind::Word;
        return Expand(token, strRaw);
    }
    bool ReadQuoted(CToken& token)
    {
        Advance();
        std::wstring strRaw;
        for (;;)
        {
            if (*m_psz == L'\0')
                return Fail(token, L"unterminated string");
            if (*m_psz == L'\'')
            {
                Advance();
                if (*m_psz != L'\'')
                    break;
            }
            strRaw += *m_psz;
            Advance();
        }
        token.eKind = ETokenKind::Quoted;
        return Expand(token, strRaw);
    }
    // %NAME% from the map, %% for a percent sign.
    bool Expand(CToken& token, const std::wstring& strRaw)
    {
        size_t nPos = 0;
        while (nPos < strRaw.size())
        {
            const size_t nStart = strRaw.find(L'%', nPos);
            if (nStart == std::wstring::npos)
            {
                token.strText.append(strRaw, nPos, std::wstring::npos);
                break;
            }
            token.strText.append(strRaw, nPos, nStart - nPos);
            const size_t nEnd = strRaw.find(L'%', nStart + 1);
            if (nEnd == std::wstring::npos)
                return Fail(token, L"unterminated %replacement%");
            const std::wstring strName = strRaw.substr(nStart + 1, nEnd - nStart - 1);
            nPos = nEnd + 1;
            if (strName.empty())
            {
                token.strText += L'%';
                continue;
            }
            const std::wstring* pValue = Find(strName);
            if (pValue == nullptr)
                return Fail(token, L"unknown replacement %" + strName + L"%");
            token.strText += *pValue;
        }
        return true;
    }
    const std::wstring* Find(const std::wstring& strName) const
    {
        for (const auto& item : m_replacements)
            if (_wcsicmp(item.first.c_str(), strName.c_str()) == 0)
                return &item.second;
        return nullptr;
    }

    LPCWSTR m_psz;
    const CReplacements& m_replacements;
    unsigned m_nLine = 1;
    unsigned m_nColumn = 1;
};

class CParser
{
public:
    CParser(LPCWSTR pszScript, const CReplacements& replacements) : m_lexer(pszScript, replacements) {}
    static constexpr unsigned c_nMaxDepth = 64;

    bool Parse(std::vector<CRegRoot>& roots)
    {
        for (;;)
        {
            CToken token;
            if (!m_lexer.Next(token))
                return false;
            if (token.eKind == ETokenKind::End)
                return true;
            CRegRoot root;
            if (token.eKind != ETokenKind::Word || (root.hRoot = RootKey(token.strText)) == nullptr)
                return Fail(token, L"root key expected");
            if (!Expect(ETokenKind::LBrace, L"'{' expected after the root key") || !ParseKeys(root.keys))
                return false;
            roots.push_back(std::move(root));
        }
    }

    const CSyntaxError& Error() const { return m_lexer.m_error; }

private:
    static HKEY RootKey(const std::wstring& str)
    {
        static const struct
        {
            LPCWSTR pszShort;
            LPCWSTR pszLong;
            HKEY hKey;
        } s_roots[] = {
            {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
            {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
            {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
            {L"HKU", L"HKEY_USERS", HKEY_USERS},
            {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        };
        for (const auto& root : s_roots)
            if (EqualsNoCase(str, root.pszShort) || EqualsNoCase(str, root.pszLong))
                return root.hKey;
        return nullptr;
    }
    bool Fail(const CToken& token, LPCWSTR pszMessage)
    {
        m_lexer.m_error.nLine = token.nLine;
        m_lexer.m_error.nColumn = token.nColumn;
        m_lexer.m_error.strMessage = pszMessage;
        return false;
    }
    bool Expect(ETokenKind eKind, LPCWSTR pszMessage)
    {
        CToken token;
        if (!m_lexer.Next(token))
            return false;
        return token.eKind == eKind || Fail(token, pszMessage);
    }
    static bool IsName(const CToken& token) { return token.eKind == ETokenKind::Word || token.eKind == ETokenKind::Quoted; }

    // Entries up to and including the closing brace. The parser and the
    // walks over its tree recurse once per level: a script nested deeper
    // than any registry path needs is refused before the stack runs out.
    bool ParseKeys(std::vector<CRegNode>& nodes)
    {
        CToken open;
        if (!m_lexer.Peek(open))
            return false;
        if (m_nDepth >= c_nMaxDepth)
            return Fail(open, L"keys nested more than 64 levels deep");
        ++m_nDepth;
        const bool bParsed = ParseKeyList(nodes);
        --m_nDepth;
        return bParsed;
    }
    bool ParseKeyList(std::vector<CRegNode>& nodes)
    {
        for (;;)
        {
            CToken token;
            if (!m_lexer.Next(token))
                return false;
            if (token.eKind == ETokenKind::RBrace)
                return true;
            if (token.eKind == ETokenKind::End)
                return Fail(token, L"'}' missing at the end of the script");
            CRegNode node;
            if (!ParseEntry(token, node))
                return false;
            nodes.push_back(std::move(node));
        }
    }
    bool ParseEntry(CToken token, CRegNode& node)
    {
        if (token.eKind == ETokenKind::Word && EqualsNoCase(token.strText, L"val"))
            return ParseNamedValue(node);
        if (token.eKind == ETokenKind::Word)
        {
            node.eFlag = EqualsNoCase(token.strText, L"NoRemove")      ? EKeyFlag::NoRemove
                         : EqualsNoCase(token.strText, L"ForceRemove") ? EKeyFlag::ForceRemove
                         : EqualsNoCase(token.strText, L"Delete")      ? EKeyFlag::Delete
                                                                       : EKeyFlag::None;
            if (node.eFlag != EKeyFlag::None && !m_lexer.Next(token))
                return false;
        }
        if (!IsName(token))
            return Fail(token, L"key name expected");
        node.strName = token.strText;
        CToken next;
        if (!m_lexer.Peek(next))
            return false;
        if (next.eKind == ETokenKind::Equals)
        {
            m_lexer.Next(next);
            if (!ParseValue(node))
                return false;
            if (!m_lexer.Peek(next))
                return false;
        }
        if (next.eKind == ETokenKind::LBrace)
        {
            m_lexer.Next(next);
            return ParseKeys(node.children);
        }
        return true;
    }
    bool ParseNamedValue(CRegNode& node)
    {
        CToken token;
        if (!m_lexer.Next(token))
            return false;
        if (!IsName(token))
            return Fail(token, L"value name expected after 'val'");
        node.bNamedValue = true;
        node.strName = token.strText;
        return Expect(ETokenKind::Equals, L"'=' expected after the value name") && ParseValue(node);
    }
    // "s 'text'" or "d number" (the number may be quoted, decimal or 0x hex).
    bool ParseValue(CRegNode& node)
    {
        CToken type;
        if (!m_lexer.Next(type))
            return false;
        const bool bString = type.eKind == ETokenKind::Word && EqualsNoCase(type.strText, L"s");
        const bool bDword = type.eKind == ETokenKind::Word && EqualsNoCase(type.strText, L"d");
        if (!bString && !bDword)
            return Fail(type, L"value type 's' or 'd' expected");
        CToken value;
        if (!m_lexer.Next(value))
            return false;
        node.bHasValue = true;
        if (bString)
        {
            node.dwType = REG_SZ;
            node.strValue = value.strText;
            return value.eKind == ETokenKind::Quoted || Fail(value, L"quoted string expected");
        }
        node.dwType = REG_DWORD;
        return (IsName(value) && ParseDword(value.strText, node.dwValue)) || Fail(value, L"number expected");
    }
    static bool ParseDword(const std::wstring& str, DWORD& dwValue)
    {
        if (str.empty() || !iswdigit(str[0]))
            return false;
        wchar_t* pszEnd = nullptr;
        const unsigned long long ull = wcstoull(str.c_str(), &pszEnd, 0);
        if (*pszEnd != L'\0' || ull > 0xFFFFFFFFull)
            return false;
        dwValue = static_cast<DWORD>(ull);
        return true;
    }

    CLexer m_lexer;
    unsigned m_nDepth = 0;
};

// ---------------------------------------------------------------------------

class CRegKey
{
public:
    ~CRegKey()
    {
        if (m_hKey != nullptr)
            RegCloseKey(m_hKey);
    }
    HKEY m_hKey = nullptr;
};

HRESULT Win32Result(LONG lResult) { return lResult == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(lResult); }

HRESULT TraceFailure(HRESULT hr, LPCWSTR pszWhat, const std::wstring& strName)
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### [Registrar] %s( %s ) = 0x%X\n", pszWhat, strName.c_str(), hr);
    return hr;
}

// Keys shared by every server: never wiped nor removed, whatever the flags.
bool IsProtected(const CRegNode& node, bool bTopLevel) { return bTopLevel && EqualsNoCase(node.strName, L"CLSID"); }

HRESULT DeleteTree(HKEY hParent, const std::wstring& strName)
{
    const LONG lResult = RegDeleteTreeW(hParent, strName.c_str());
    if (lResult == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return Win32Result(lResult);
}

HRESULT SetValue(HKEY hKey, LPCWSTR pszName, const CRegNode& node)
{
    LONG lResult;
    if (node.dwType == REG_DWORD)
        lResult = RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&node.dwValue), sizeof(DWORD));
    else
        lResult = RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(node.strValue.c_str()),
                                 static_cast<DWORD>((node.strValue.size() + 1) * sizeof(wchar_t)));
    return Win32Result(lResult);
}

HRESULT RegisterNodes(HKEY hParent, const std::vector<CRegNode>& nodes, bool bTopLevel);

HRESULT RegisterKey(HKEY hParent, const CRegNode& node, bool bTopLevel)
{
    const bool bProtected = IsProtected(node, bTopLevel);
    if (node.eFlag == EKeyFlag::Delete)
        return bProtected ? S_OK : DeleteTree(hParent, node.strName);
    if (node.eFlag == EKeyFlag::ForceRemove && !bProtected)
    {
        const HRESULT hr = DeleteTree(hParent, node.strName);
        if (FAILED(hr))
            return TraceFailure(hr, L"ForceRemove", node.strName);
    }
    CRegKey key;
    HRESULT hr = Win32Result(RegCreateKeyExW(hParent, node.strName.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                             &key.m_hKey, nullptr));
    if (FAILED(hr))
        return TraceFailure(hr, L"RegCreateKeyEx", node.strName);
    if (node.bHasValue && FAILED(hr = SetValue(key.m_hKey, nullptr, node)))
        return TraceFailure(hr, L"RegSetValueEx", node.strName);
    return RegisterNodes(key.m_hKey, node.children, false);
}

HRESULT RegisterNodes(HKEY hParent, const std::vector<CRegNode>& nodes, bool bTopLevel)
{
    for (const CRegNode& node : nodes)
    {
        HRESULT hr;
        if (node.bNamedValue)
        {
            if (FAILED(hr = SetValue(hParent, node.strName.c_str(), node)))
                return TraceFailure(hr, L"RegSetValueEx", node.strName);
            continue;
        }
        if (FAILED(hr = RegisterKey(hParent, node, bTopLevel)))
            return hr;
    }
    return S_OK;
}

// A key that still holds subkeys or named values belongs to someone else too.
bool IsEmptyKey(HKEY hKey)
{
    DWORD cSubKeys = 0, cValues = 0;
    if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, &cValues, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    if (cSubKeys != 0)
        return false;
    if (cValues == 0)
        return true;
    // Only the default value is left: it was the script's own.
    return cValues == 1 && RegQueryValueExW(hKey, L"", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

HRESULT UnregisterNodes(HKEY hParent, const std::vector<CRegNode>& nodes, bool bTopLevel);

HRESULT UnregisterKey(HKEY hParent, const CRegNode& node, bool bTopLevel)
{
    const bool bProtected = IsProtected(node, bTopLevel);
    if (node.eFlag == EKeyFlag::Delete)
        return S_OK;
    if (node.eFlag == EKeyFlag::ForceRemove && !bProtected)
        return DeleteTree(hParent, node.strName);
    bool bEmpty = false;
    {
        CRegKey key;
        const LONG lResult = RegOpenKeyExW(hParent, node.strName.c_str(), 0, KEY_READ | KEY_WRITE, &key.m_hKey);
        if (lResult == ERROR_FILE_NOT_FOUND)
            return S_OK;
        if (lResult != ERROR_SUCCESS)
            return TraceFailure(Win32Result(lResult), L"RegOpenKeyEx", node.strName);
        const HRESULT hr = UnregisterNodes(key.m_hKey, node.children, false);
        if (FAILED(hr))
            return hr;
        bEmpty = IsEmptyKey(key.m_hKey);
    }
    if (node.eFlag == EKeyFlag::NoRemove || bProtected || !bEmpty)
        return S_OK;
    return Win32Result(RegDeleteKeyW(hParent, node.strName.c_str()));
}

// Bottom-up: later entries first, children before their key.
HRESULT UnregisterNodes(HKEY hParent, const std::vector<CRegNode>& nodes, bool bTopLevel)
{
    HRESULT hrFirst = S_OK;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it)
    {
        HRESULT hr;
        if (it->bNamedValue)
        {
            const LONG lResult = RegDeleteValueW(hParent, it->strName.c_str());
            hr = lResult == ERROR_FILE_NOT_FOUND ? S_OK : Win32Result(lResult);
        }
        else
        {
            hr = UnregisterKey(hParent, *it, bTopLevel);
        }
        // Remove as much as possible; report the first failure.
        if (FAILED(hr) && SUCCEEDED(hrFirst))
            hrFirst = hr;
    }
    return hrFirst;
}

// Resource text: UTF-16 with a byte order mark, else UTF-8, else ANSI.
bool DecodeScript(const BYTE* pb, DWORD cb, std::wstring& strScript)
{
    if (cb >= 2 && pb[0] == 0xFF && pb[1] == 0xFE)
    {
        strScript.assign(reinterpret_cast<const wchar_t*>(pb + 2), (cb - 2) / sizeof(wchar_t));
        return true;
    }
    if (cb >= 3 && pb[0] == 0xEF && pb[1] == 0xBB && pb[2] == 0xBF)
    {
        pb += 3;
        cb -= 3;
    }
    if (cb == 0)
        return true;
    const LPCSTR psz = reinterpret_cast<LPCSTR>(pb);
    UINT nCodePage = CP_UTF8;
    int cch = MultiByteToWideChar(nCodePage, MB_ERR_INVALID_CHARS, psz, static_cast<int>(cb), nullptr, 0);
    if (cch <= 0)
    {
        nCodePage = CP_ACP;
        cch = MultiByteToWideChar(nCodePage, 0, psz, static_cast<int>(cb), nullptr, 0);
    }
    if (cch <= 0)
        return false;
    strScript.resize(static_cast<size_t>(cch));
    MultiByteToWideChar(nCodePage, 0, psz, static_cast<int>(cb), &strScript[0], cch);
    // A script stored with a terminating zero ends there.
    strScript.resize(wcslen(strScript.c_str()));
    return true;
}

} // namespace

HRESULT CRegistrar::AddReplacement(LPCWSTR pszName, LPCWSTR pszValue)
{
    if (pszName == nullptr || pszValue == nullptr)
        return E_POINTER;
    try
    {
        for (auto& item : m_replacements)
        {
            if (_wcsicmp(item.first.c_str(), pszName) == 0)
            {
                item.second = pszValue;
                return S_OK;
            }
        }
        m_replacements.emplace_back(pszName, pszValue);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegistrar::ClearReplacements()
{
    m_replacements.clear();
    return S_OK;
}

HRESULT CRegistrar::StringRegister(LPCWSTR pszScript) { return RunScript(pszScript, true); }
HRESULT CRegistrar::StringUnregister(LPCWSTR pszScript) { return RunScript(pszScript, false); }

HRESULT CRegistrar::ResourceRegister(HMODULE hModule, UINT nId, LPCWSTR pszType)
{
    return RunResource(hModule, nId, pszType, true);
}

HRESULT CRegistrar::ResourceUnregister(HMODULE hModule, UINT nId, LPCWSTR pszType)
{
    return RunResource(hModule, nId, pszType, false);
}

HRESULT CRegistrar::RunScript(LPCWSTR pszScript, bool bRegister)
{
    if (pszScript == nullptr)
        return E_POINTER;
    try
    {
        std::vector<CRegRoot> roots;
        CParser parser(pszScript, m_replacements);
        if (!parser.Parse(roots))
        {
            const CSyntaxError& error = parser.Error();
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_EXCEPTION, L"###Err### [Registrar] line %u, column %u: %s\n",
                   error.nLine, error.nColumn, error.strMessage.c_str());
            return DISP_E_EXCEPTION;
        }
        HRESULT hrFirst = S_OK;
        for (const CRegRoot& root : roots)
        {
            const HRESULT hr = bRegister ? RegisterNodes(root.hRoot, root.keys, true)
                                         : UnregisterNodes(root.hRoot, root.keys, true);
            if (FAILED(hr) && bRegister)
                return hr;
            if (FAILED(hr) && SUCCEEDED(hrFirst))
                hrFirst = hr;
        }
        return hrFirst;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegistrar::RunResource(HMODULE hModule, UINT nId, LPCWSTR pszType, bool bRegister)
{
    HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(nId), pszType);
    HGLOBAL hData = hResource != nullptr ? LoadResource(hModule, hResource) : nullptr;
    const BYTE* pb = hData != nullptr ? static_cast<const BYTE*>(LockResource(hData)) : nullptr;
    if (pb == nullptr)
    {
        const HRESULT hr = HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### [Registrar] script resource %u not found = 0x%X\n", nId, hr);
        return hr;
    }
    try
    {
        std::wstring strScript;
        if (!DecodeScript(pb, SizeofResource(hModule, hResource), strScript))
            return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
        return RunScript(strScript.c_str(), bRegister);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}
