// capread: lists the media type and the sample records of a capture data
// file, and extracts the sample data of chosen records to files.
//
//   capread <file>                          list the header and every record
//   capread <file> -x <records> [-o <base>] extract records: "all", or indices
//                                           and ranges such as "0,3,5-9"
//
// Extracted data goes to "<base>_<index>.bin" (base: the capture file's
// name without its extension). A duplicate record yields the data of the
// record it repeats; compressed records are decoded. A truncated or corrupt
// file stops the listing with a message naming the record and its offset;
// the exit code is then 2 (1 for a usage or open error).
#include <windows.h>
#include <shellapi.h>

#include <classes/Writers.h>
#include <dshowx/DSParsers.h>
#include <dshowx/DSTypes.h>

#include <inttypes.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <exception>
#include <string>
#include <vector>

namespace
{
std::string Utf8(LPCWSTR psz)
{
    const int cb = WideCharToMultiByte(CP_UTF8, 0, psz, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return std::string();
    std::string s(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, psz, -1, &s[0], cb, nullptr, nullptr);
    s.resize(static_cast<size_t>(cb - 1));
    return s;
}

std::string GuidText(const GUID& guid)
{
    WCHAR szName[128];
    WCHAR szGuid[40];
    Guid2Str(guid, szGuid);
    Guid2Name(guid, szName, 128);
    std::string s = Utf8(szGuid);
    if (wcscmp(szName, szGuid) != 0)
        s += " " + Utf8(szName);
    return s;
}

DWORD GetDword(const BYTE* pb)
{
    DWORD dw;
    memcpy(&dw, pb, 4);
    return dw;
}

std::string TimeText(LONGLONG t)
{
    char sz[48];
    const ULONGLONG u = t < 0 ? 0ULL - static_cast<ULONGLONG>(t) : static_cast<ULONGLONG>(t);
    snprintf(sz, sizeof(sz), "%s%" PRIu64 ".%07" PRIu64, t < 0 ? "-" : "", u / 10000000ULL, u % 10000000ULL);
    return sz;
}

class CInput
{
public:
    ~CInput()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    bool Open(LPCWSTR pszName)
    {
        m_h = CreateFileW(pszName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, NULL);
        LARGE_INTEGER li = {};
        if (m_h == INVALID_HANDLE_VALUE || !GetFileSizeEx(m_h, &li))
            return false;
        m_llSize = li.QuadPart;
        return true;
    }
    // Reads exactly cb bytes at llPos.
    bool Read(LONGLONG llPos, void* pv, DWORD cb)
    {
        LARGE_INTEGER li;
        li.QuadPart = llPos;
        if (!SetFilePointerEx(m_h, li, NULL, FILE_BEGIN))
            return false;
        BYTE* pb = static_cast<BYTE*>(pv);
        while (cb > 0)
        {
            DWORD cbRead = 0;
            if (!ReadFile(m_h, pb, cb, &cbRead, NULL) || cbRead == 0)
                return false;
            pb += cbRead;
            cb -= cbRead;
        }
        return true;
    }
    LONGLONG Size() const { return m_llSize; }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
    LONGLONG m_llSize = 0;
};

// Which records to extract.
class CSelection
{
public:
    bool Parse(LPCWSTR psz)
    {
        if (wcscmp(psz, L"all") == 0)
        {
            m_bAll = true;
            return true;
        }
        while (*psz != 0)
        {
            wchar_t* pEnd = nullptr;
            const unsigned long nFirst = wcstoul(psz, &pEnd, 10);
            if (pEnd == psz)
                return false;
            unsigned long nLast = nFirst;
            psz = pEnd;
            if (*psz == L'-')
            {
                nLast = wcstoul(++psz, &pEnd, 10);
                if (pEnd == psz || nLast < nFirst)
                    return false;
                psz = pEnd;
            }
            m_ranges.push_back({nFirst, nLast});
            if (*psz == L',')
                ++psz;
            else if (*psz != 0)
                return false;
        }
        return !m_ranges.empty();
    }
    bool Contains(unsigned long n) const
    {
        if (m_bAll)
            return true;
        for (const auto& r : m_ranges)
        {
            if (n >= r.first && n <= r.second)
                return true;
        }
        return false;
    }
    bool Any() const { return m_bAll || !m_ranges.empty(); }

private:
    bool m_bAll = false;
    std::vector<std::pair<unsigned long, unsigned long>> m_ranges;
};

int Corrupt(unsigned long nRecord, LONGLONG llOffset, const char* pszWhat)
{
    fflush(stdout);
    fprintf(stderr, "capread: record %lu at offset %" PRId64 ": %s\n", nRecord, llOffset, pszWhat);
    return 2;
}

bool WriteOut(const std::wstring& name, const std::vector<BYTE>& data)
{
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD cbWritten = 0;
    const bool bOk = data.empty() ||
                     (WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &cbWritten, NULL) &&
                      cbWritten == data.size());
    CloseHandle(h);
    return bOk;
}

void PrintMediaType(const BYTE* pb, DWORD cb)
{
    // First block: its size, then the 32-bit media type record and the format.
    const DWORD cbFirst = cb >= 4 ? GetDword(pb) : 0;
    if (cbFirst < 4 + MTBUF_RECORD_SIZE || cbFirst > cb)
    {
        printf("Media type: none\n");
        return;
    }
    MTBUF_RECORD rec;
    memcpy(&rec, pb + 4, sizeof(rec));
    printf("Media type:\n");
    printf("  major type:  %s\n", GuidText(rec.majortype).c_str());
    printf("  subtype:     %s\n", GuidText(rec.subtype).c_str());
    printf("  format type: %s\n", GuidText(rec.formattype).c_str());
    printf("  fixed size samples %lu, temporal compression %lu, sample size %lu, format %lu bytes\n",
           rec.bFixedSizeSamples, rec.bTemporalCompression, rec.lSampleSize, rec.cbFormat);
    // Second block: the one-line description, when the header holds it.
    if (cbFirst + 4 < cb)
    {
        const DWORD cbSecond = GetDword(pb + cbFirst);
        if (cbSecond > 4 && cbSecond <= cb - cbFirst)
        {
            std::string text(reinterpret_cast<const char*>(pb + cbFirst + 4), cbSecond - 4);
            text.resize(strnlen(text.c_str(), text.size()));
            printf("  %s\n", text.c_str());
        }
    }
}

struct COptions
{
    std::wstring file;
    std::wstring base; // of extracted files
    CSelection selection;
};

// 0 when the arguments are good, else the exit code.
int ParseArgs(int argc, LPWSTR* argv, COptions* pOptions)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: capread <file> [-x all|<n>[-<m>][,...] [-o <base>]]\n");
        return 1;
    }
    COptions& o = *pOptions;
    o.file = argv[1];
    for (int i = 2; i < argc; ++i)
    {
        if (wcscmp(argv[i], L"-x") == 0 && i + 1 < argc)
        {
            if (!o.selection.Parse(argv[++i]))
            {
                fprintf(stderr, "capread: bad record list '%s'\n", Utf8(argv[i]).c_str());
                return 1;
            }
        }
        else if (wcscmp(argv[i], L"-o") == 0 && i + 1 < argc)
            o.base = argv[++i];
        else
        {
            fprintf(stderr, "capread: unknown argument '%s'\n", Utf8(argv[i]).c_str());
            return 1;
        }
    }
    if (o.base.empty())
    {
        o.base = o.file;
        const size_t nDot = o.base.find_last_of(L".\\/:");
        if (nDot != std::wstring::npos && nDot > 0 && o.base[nDot] == L'.')
            o.base.resize(nDot);
    }
    return 0;
}

// Checks and prints the file header; 0 with its size in *pcbHeader, else the exit code.
int ReadHeader(CInput& in, DWORD* pcbHeader)
{
    CAPFILE_HEADER fixed;
    if (in.Size() < static_cast<LONGLONG>(sizeof(fixed)) || !in.Read(0, &fixed, sizeof(fixed)))
    {
        fprintf(stderr, "capread: header at offset 0: file too short\n");
        return 2;
    }
    if (memcmp(fixed.szMagic, CAPFILE_MAGIC, sizeof(CAPFILE_MAGIC)) != 0)
    {
        fprintf(stderr, "capread: header at offset 0: not a capture data file (no VLM_v02 magic)\n");
        return 2;
    }
    const DWORD cbHeader = fixed.cbHeader;
    if (cbHeader < CAPFILE_HEADER_FIXED || cbHeader > CAPFILE_HEADER_MAX || cbHeader > in.Size())
    {
        fprintf(stderr, "capread: header at offset %u: header size %lu is invalid or beyond the end of the file\n",
                static_cast<unsigned>(offsetof(CAPFILE_HEADER, cbHeader)), cbHeader);
        return 2;
    }
    std::vector<BYTE> header(cbHeader);
    if (!in.Read(0, header.data(), cbHeader))
    {
        fprintf(stderr, "capread: header at offset 0: read failed\n");
        return 2;
    }
    printf("Header: %lu bytes\n", cbHeader);
    PrintMediaType(header.data() + CAPFILE_HEADER_FIXED, cbHeader - CAPFILE_HEADER_FIXED);
    *pcbHeader = cbHeader;
    return 0;
}

// What is wrong with a record header that cbLeft bytes of the file hold, or null.
const char* RecordFault(const CAPSMP2& rec, LONGLONG cbLeft)
{
    if (memcmp(rec.szMarker, CAPSMP2_MARKER_PREFIX, CAPSMP2_MARKER_PREFIX_LEN) != 0)
        return "no sample marker";
    if (rec.cbStored > rec.cbSample)
        return "stored size exceeds the sample size";
    // Samples report their sizes as a long: a larger one was never captured.
    if (rec.cbSample > static_cast<DWORD>(LONG_MAX))
        return "sample size beyond what a sample can hold";
    // In 64 bits: a stored size near 4 GiB must not wrap the record size to 0.
    const ULONGLONG cbRecord = (CAPSMP2_HEADER_SIZE + static_cast<ULONGLONG>(rec.cbStored) + CAPSMP2_ALIGN - 1) &
                               ~ULONGLONG{CAPSMP2_ALIGN - 1};
    if (rec.cbRecord != cbRecord)
        return "record size does not match the stored size";
    if (static_cast<ULONGLONG>(cbLeft) < cbRecord)
        return "truncated record data";
    return nullptr;
}

bool IsDuplicate(const CAPSMP2& rec) { return rec.cbStored == 0 && rec.cbSample > 0; }
bool IsCompressed(const CAPSMP2& rec) { return rec.cbStored > 0 && rec.cbStored < rec.cbSample; }

void PrintRecord(unsigned long nRecord, LONGLONG llPos, const CAPSMP2& rec)
{
    char szMarker[sizeof(rec.szMarker) + 1] = {};
    memcpy(szMarker, rec.szMarker, sizeof(rec.szMarker));
    printf("Record %lu at %" PRId64 ": '%s' start %s stop %s media %" PRId64 "-%" PRId64
           " flags 0x%lX%s%s%s sample %lu stored %lu record %lu%s\n",
           nRecord, llPos, szMarker, TimeText(rec.tStart).c_str(), TimeText(rec.tStop).c_str(), rec.llMediaStart,
           rec.llMediaStop, rec.dwFlags, (rec.dwFlags & CAPSMP2_SYNCPOINT) ? " sync" : "",
           (rec.dwFlags & CAPSMP2_PREROLL) ? " preroll" : "",
           (rec.dwFlags & CAPSMP2_DISCONTINUITY) ? " discontinuity" : "", rec.cbSample, rec.cbStored, rec.cbRecord,
           IsDuplicate(rec) ? " duplicate" : (IsCompressed(rec) ? " compressed" : ""));
}

// Walks the records: lists each one and extracts the chosen ones.
class CRecordWalker
{
public:
    CRecordWalker(CInput& in, const COptions& options) : m_in(in), m_options(options) {}

    int Walk(LONGLONG llPos)
    {
        while (llPos < m_in.Size())
        {
            CAPSMP2 rec;
            if (m_in.Size() - llPos < static_cast<LONGLONG>(sizeof(rec)))
                return Corrupt(m_nRecord, llPos, "truncated record header");
            if (!m_in.Read(llPos, &rec, sizeof(rec)))
                return Corrupt(m_nRecord, llPos, "read failed");
            if (const char* pszFault = RecordFault(rec, m_in.Size() - llPos))
                return Corrupt(m_nRecord, llPos, pszFault);
            PrintRecord(m_nRecord, llPos, rec);
            int nResult = LoadData(llPos, rec);
            if (nResult == 0)
                nResult = Extract();
            if (nResult != 0)
                return nResult;
            llPos += rec.cbRecord;
            ++m_nRecord;
        }
        printf("Records: %lu", m_nRecord);
        if (m_options.selection.Any())
            printf(", extracted: %lu", m_nExtracted);
        printf("\n");
        return 0;
    }

private:
    bool Wanted() const { return m_options.selection.Contains(m_nRecord) && m_options.selection.Any(); }

    // The record's sample data into m_data. Stored data is at most what the
    // file holds; a compressed record is checked without decoding, and
    // decoded only for extraction.
    int LoadData(LONGLONG llPos, const CAPSMP2& rec)
    {
        if (rec.cbStored > 0)
            return LoadStored(llPos, rec);
        if (!IsDuplicate(rec))
            m_data.clear();
        else if (m_bHaveLast && m_lastData.size() == rec.cbSample)
            m_data = m_lastData;
        else if (Wanted())
            return Corrupt(m_nRecord, llPos, "duplicate without a preceding record of the same size");
        return 0;
    }

    int LoadStored(LONGLONG llPos, const CAPSMP2& rec)
    {
        const bool bCompressed = IsCompressed(rec);
        const bool bExtracting = m_options.selection.Any();
        try
        {
            m_stored.resize(rec.cbStored);
            if (!m_in.Read(llPos + sizeof(rec), m_stored.data(), rec.cbStored))
                return Corrupt(m_nRecord, llPos, "read failed");
            DWORD dwBad = 0;
            if (bCompressed && FAILED(BlockCheck(m_stored.data(), rec.cbStored, rec.cbSample, &dwBad)))
                return Corrupt(m_nRecord, llPos + sizeof(rec) + dwBad, "corrupt compressed data");
            if (bCompressed && bExtracting)
            {
                m_data.assign(rec.cbSample, 0);
                BlockDecompress(m_stored.data(), rec.cbStored, m_data.data(), rec.cbSample);
            }
            else if (!bCompressed)
                m_data.swap(m_stored);
            else
                m_data.clear();
            if (bExtracting)
                m_lastData = m_data;
            m_bHaveLast = true;
        }
        catch (const std::exception&)
        {
            return Corrupt(m_nRecord, llPos, "sample data does not fit in memory");
        }
        return 0;
    }

    int Extract()
    {
        if (!Wanted())
            return 0;
        wchar_t szSuffix[32];
        swprintf(szSuffix, 32, L"_%lu.bin", m_nRecord);
        const std::wstring out = m_options.base + szSuffix;
        if (!WriteOut(out, m_data))
        {
            fprintf(stderr, "capread: cannot write '%s'\n", Utf8(out.c_str()).c_str());
            return 1;
        }
        printf("  extracted %lu bytes to %s\n", static_cast<unsigned long>(m_data.size()), Utf8(out.c_str()).c_str());
        ++m_nExtracted;
        return 0;
    }

    CInput& m_in;
    const COptions& m_options;
    std::vector<BYTE> m_stored;
    std::vector<BYTE> m_data;
    std::vector<BYTE> m_lastData; // of the last record that stored its data
    bool m_bHaveLast = false;
    unsigned long m_nRecord = 0;
    unsigned long m_nExtracted = 0;
};

int Run(int argc, LPWSTR* argv)
{
    COptions options;
    int nResult = ParseArgs(argc, argv, &options);
    if (nResult != 0)
        return nResult;
    CInput in;
    if (!in.Open(options.file.c_str()))
    {
        fprintf(stderr, "capread: cannot open '%s' (error %lu)\n", Utf8(options.file.c_str()).c_str(), GetLastError());
        return 1;
    }
    printf("File: %s, %" PRId64 " bytes\n", Utf8(options.file.c_str()).c_str(), in.Size());
    DWORD cbHeader = 0;
    nResult = ReadHeader(in, &cbHeader);
    if (nResult != 0)
        return nResult;
    return CRecordWalker(in, options).Walk(cbHeader);
}
} // namespace

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return 1;
    int nResult = 2;
    try
    {
        nResult = Run(argc, argv);
    }
    catch (const std::exception& e)
    {
        // Nothing leaves as an exception: a reader ends with a message and 2.
        fflush(stdout);
        fprintf(stderr, "capread: %s\n", e.what());
    }
    LocalFree(argv);
    return nResult;
}
