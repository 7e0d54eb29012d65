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

std::string GuidText(const BYTE* pb)
{
    GUID guid;
    memcpy(&guid, pb, sizeof(guid));
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
    const BYTE* p = pb + 4;
    printf("Media type:\n");
    printf("  major type:  %s\n", GuidText(p).c_str());
    printf("  subtype:     %s\n", GuidText(p + 16).c_str());
    printf("  format type: %s\n", GuidText(p + 44).c_str());
    printf("  fixed size samples %lu, temporal compression %lu, sample size %lu, format %lu bytes\n",
           GetDword(p + 32), GetDword(p + 36), GetDword(p + 40), GetDword(p + 64));
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

int Run(int argc, LPWSTR* argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: capread <file> [-x all|<n>[-<m>][,...] [-o <base>]]\n");
        return 1;
    }
    const std::wstring file = argv[1];
    CSelection selection;
    std::wstring base;
    for (int i = 2; i < argc; ++i)
    {
        if (wcscmp(argv[i], L"-x") == 0 && i + 1 < argc)
        {
            if (!selection.Parse(argv[++i]))
            {
                fprintf(stderr, "capread: bad record list '%s'\n", Utf8(argv[i]).c_str());
                return 1;
            }
        }
        else if (wcscmp(argv[i], L"-o") == 0 && i + 1 < argc)
            base = argv[++i];
        else
        {
            fprintf(stderr, "capread: unknown argument '%s'\n", Utf8(argv[i]).c_str());
            return 1;
        }
    }
    if (base.empty())
    {
        base = file;
        const size_t nDot = base.find_last_of(L".\\/:");
        if (nDot != std::wstring::npos && nDot > 0 && base[nDot] == L'.')
            base.resize(nDot);
    }

    CInput in;
    if (!in.Open(file.c_str()))
    {
        fprintf(stderr, "capread: cannot open '%s' (error %lu)\n", Utf8(file.c_str()).c_str(), GetLastError());
        return 1;
    }
    printf("File: %s, %" PRId64 " bytes\n", Utf8(file.c_str()).c_str(), in.Size());

    BYTE abFixed[CAPFILE_HEADER_FIXED];
    if (in.Size() < static_cast<LONGLONG>(CAPFILE_HEADER_FIXED) || !in.Read(0, abFixed, sizeof(abFixed)))
    {
        fprintf(stderr, "capread: header at offset 0: file too short\n");
        return 2;
    }
    if (memcmp(abFixed, CAPFILE_MAGIC, sizeof(CAPFILE_MAGIC)) != 0)
    {
        fprintf(stderr, "capread: header at offset 0: not a capture data file (no VLM_v02 magic)\n");
        return 2;
    }
    const DWORD cbHeader = GetDword(abFixed + 8);
    if (cbHeader < CAPFILE_HEADER_FIXED || cbHeader > CAPFILE_HEADER_MAX || cbHeader > in.Size())
    {
        fprintf(stderr, "capread: header at offset 8: header size %lu is invalid or beyond the end of the file\n",
                cbHeader);
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

    std::vector<BYTE> stored;
    std::vector<BYTE> data;
    std::vector<BYTE> lastData; // of the last record that stored its data
    bool bHaveLast = false;
    unsigned long nRecord = 0;
    unsigned long nExtracted = 0;
    LONGLONG llPos = cbHeader;
    while (llPos < in.Size())
    {
        CAPSMP2 rec;
        if (in.Size() - llPos < static_cast<LONGLONG>(sizeof(rec)))
            return Corrupt(nRecord, llPos, "truncated record header");
        if (!in.Read(llPos, &rec, sizeof(rec)))
            return Corrupt(nRecord, llPos, "read failed");
        if (memcmp(rec.szMarker, "### SAMPLE ", 11) != 0)
            return Corrupt(nRecord, llPos, "no sample marker");
        if (rec.cbStored > rec.cbSample)
            return Corrupt(nRecord, llPos, "stored size exceeds the sample size");
        // Samples report their sizes as a long: a larger one was never captured.
        if (rec.cbSample > static_cast<DWORD>(LONG_MAX))
            return Corrupt(nRecord, llPos, "sample size beyond what a sample can hold");
        // In 64 bits: a stored size near 4 GiB must not wrap the record size to 0.
        const ULONGLONG cbRecord = (CAPSMP2_HEADER_SIZE + static_cast<ULONGLONG>(rec.cbStored) + 15) & ~15ULL;
        if (rec.cbRecord != cbRecord)
            return Corrupt(nRecord, llPos, "record size does not match the stored size");
        if (static_cast<ULONGLONG>(in.Size() - llPos) < cbRecord)
            return Corrupt(nRecord, llPos, "truncated record data");
        const bool bDuplicate = rec.cbStored == 0 && rec.cbSample > 0;
        const bool bCompressed = rec.cbStored > 0 && rec.cbStored < rec.cbSample;
        char szMarker[17] = {};
        memcpy(szMarker, rec.szMarker, 16);
        printf("Record %lu at %" PRId64 ": '%s' start %s stop %s media %" PRId64 "-%" PRId64
               " flags 0x%lX%s%s%s sample %lu stored %lu record %lu%s\n",
               nRecord, llPos, szMarker, TimeText(rec.tStart).c_str(), TimeText(rec.tStop).c_str(), rec.llMediaStart,
               rec.llMediaStop, rec.dwFlags, (rec.dwFlags & CAPSMP2_SYNCPOINT) ? " sync" : "",
               (rec.dwFlags & CAPSMP2_PREROLL) ? " preroll" : "",
               (rec.dwFlags & CAPSMP2_DISCONTINUITY) ? " discontinuity" : "", rec.cbSample, rec.cbStored,
               rec.cbRecord, bDuplicate ? " duplicate" : (bCompressed ? " compressed" : ""));

        const bool bWanted = selection.Contains(nRecord);
        const bool bExtracting = selection.Any();
        // Stored data is at most what the file holds; a compressed record is
        // checked without decoding, and decoded only for extraction.
        if (rec.cbStored > 0)
        {
            try
            {
                stored.resize(rec.cbStored);
                if (!in.Read(llPos + sizeof(rec), stored.data(), rec.cbStored))
                    return Corrupt(nRecord, llPos, "read failed");
                DWORD dwBad = 0;
                if (bCompressed && FAILED(BlockCheck(stored.data(), rec.cbStored, rec.cbSample, &dwBad)))
                    return Corrupt(nRecord, llPos + sizeof(rec) + dwBad, "corrupt compressed data");
                if (bCompressed && bExtracting)
                {
                    data.assign(rec.cbSample, 0);
                    BlockDecompress(stored.data(), rec.cbStored, data.data(), rec.cbSample);
                }
                else if (!bCompressed)
                    data.swap(stored);
                else
                    data.clear();
                if (bExtracting)
                    lastData = data;
                bHaveLast = true;
            }
            catch (const std::exception&)
            {
                return Corrupt(nRecord, llPos, "sample data does not fit in memory");
            }
        }
        else if (bDuplicate)
        {
            if (!bHaveLast || lastData.size() != rec.cbSample)
            {
                if (bWanted && selection.Any())
                    return Corrupt(nRecord, llPos, "duplicate without a preceding record of the same size");
            }
            else
                data = lastData;
        }
        else
            data.clear();

        if (bWanted && selection.Any())
        {
            wchar_t szSuffix[32];
            swprintf(szSuffix, 32, L"_%lu.bin", nRecord);
            const std::wstring out = base + szSuffix;
            if (!WriteOut(out, data))
            {
                fprintf(stderr, "capread: cannot write '%s'\n", Utf8(out.c_str()).c_str());
                return 1;
            }
            printf("  extracted %lu bytes to %s\n", static_cast<unsigned long>(data.size()), Utf8(out.c_str()).c_str());
            ++nExtracted;
        }
        llPos += rec.cbRecord;
        ++nRecord;
    }
    printf("Records: %lu", nRecord);
    if (selection.Any())
        printf(", extracted: %lu", nExtracted);
    printf("\n");
    return 0;
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
