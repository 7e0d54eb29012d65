// A log object that keeps the lines it is given, installed in place of the
// registry's log library for the life of the capture, and the matchers that
// search what it kept.
#pragma once

#include <dshowx/DSTrace.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

class CTraceCapture : public ILogObject
{
public:
    CTraceCapture()
    {
        lpVtbl = &s_vtbl;
        m_pPrevious = Log_SetObject(this);
    }
    ~CTraceCapture() { Log_SetObject(m_pPrevious); }
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    // Lines as given: escape, level character, module tag, text.
    std::vector<std::wstring> Lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // Lines without the escape, level and module tag, joined: what a reader sees.
    std::wstring Text() const
    {
        std::wstring s;
        for (const std::wstring& line : Lines())
            s += Body(line);
        return s;
    }
    std::vector<std::string> Blocks() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocks;
    }
    // Exception codes handed to DumpCallStack, in order.
    std::vector<DWORD> Dumps() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dumps;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
        m_blocks.clear();
    }
    // The text after the prefix: escape, level character, then "TAG: ".
    static std::wstring Body(const std::wstring& line)
    {
        const size_t nColon = line.find(L": ");
        return nColon == std::wstring::npos ? line : line.substr(nColon + 2);
    }
    static int Level(const std::wstring& line) { return line.size() > 1 && line[0] == 27 ? line[1] - 1 : -1; }

private:
    static CTraceCapture* Self(ILogObject* p) { return static_cast<CTraceCapture*>(p); }
    static HRESULT WINAPI Unused(ILogObject*) { return E_NOTIMPL; }
    static HRESULT WINAPI DumpCallStack(ILogObject* p, EXCEPTION_POINTERS* pep, HANDLE, BOOL)
    {
        std::lock_guard<std::mutex> lock(Self(p)->m_mutex);
        Self(p)->m_dumps.push_back(pep && pep->ExceptionRecord ? pep->ExceptionRecord->ExceptionCode : 0);
        return S_OK;
    }
    static HRESULT WINAPI WriteBlock(ILogObject* p, DWORD cch, LPCSTR psz)
    {
        std::lock_guard<std::mutex> lock(Self(p)->m_mutex);
        Self(p)->m_blocks.emplace_back(psz, cch);
        return S_OK;
    }
    static HRESULT WINAPI Attach(ILogObject*, ILogObject**, ULONG_PTR, ULONG_PTR) { return S_OK; }
    static HRESULT WINAPI Detach(ILogObject*, ILogObject**) { return S_OK; }
    static HRESULT WINAPI OutputA(ILogObject* p, LPCSTR psz)
    {
        std::wstring s;
        for (; *psz; ++psz)
            s += static_cast<wchar_t>(static_cast<unsigned char>(*psz));
        std::lock_guard<std::mutex> lock(Self(p)->m_mutex);
        Self(p)->m_lines.push_back(s);
        return S_OK;
    }
    static HRESULT WINAPI OutputW(ILogObject* p, LPCWSTR psz)
    {
        std::lock_guard<std::mutex> lock(Self(p)->m_mutex);
        Self(p)->m_lines.emplace_back(psz);
        return S_OK;
    }
    static inline const ILogObjectVtbl s_vtbl = {Unused, Unused, Unused, Unused, DumpCallStack, WriteBlock,
                                                 Unused, Attach, Detach, Unused, OutputA, OutputW};

    ILogObject* m_pPrevious = nullptr;
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
    std::vector<std::string> m_blocks;
    std::vector<DWORD> m_dumps;
};

// Whether a trace text (lines joined, as Text() gives them) holds part; the
// failure message quotes the part and lists the lines searched.
inline ::testing::AssertionResult TextHas(const std::wstring& text, const std::wstring& part, bool bWanted = true)
{
    const bool bFound = text.find(part) != std::wstring::npos;
    if (bFound == bWanted)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    result << (bWanted ? "no" : "a") << " trace line holds \"" << part << "\"; searched:\n";
    size_t nStart = 0;
    while (nStart < text.size())
    {
        size_t nEnd = text.find(L'\n', nStart);
        nEnd = nEnd == std::wstring::npos ? text.size() : nEnd + 1;
        result << "  | " << text.substr(nStart, nEnd - nStart);
        nStart = nEnd;
    }
    if (text.empty())
        result << "  (no lines)\n";
    return result;
}

inline ::testing::AssertionResult Traced(const CTraceCapture& trace, const std::wstring& part)
{
    return TextHas(trace.Text(), part);
}

inline ::testing::AssertionResult NotTraced(const CTraceCapture& trace, const std::wstring& part)
{
    return TextHas(trace.Text(), part, false);
}
