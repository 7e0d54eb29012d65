// Persistence maps: every kind of entry saved and loaded, sizes, dirty
// flags, and streams that end early or hold something else.
#include <gtest/gtest.h>

#include <winapi/Persist.h>

#include <support/TraceCapture.h>

#include "StreamBytes.h"

namespace
{

constexpr GUID MAGIC = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

class CNested : public CPersistObjectImpl<CNested>
{
public:
    LPCWSTR GetTraceName() { return L"[Nested]"; }
    BEGIN_PERSIST_MAP(CNested)
    PERSIST_ENTRY(m_n)
    PERSIST_ENTRY_BSTR(m_bs)
    END_PERSIST_MAP()

    LONG m_n = 0;
    CStreamBSTR m_bs;
};

struct RECORD
{
    WORD w = 0;
    BYTE b = 0;
};
const PERSIST_MAP_ENTRY s_recordMap[] = {
    {2, offsetof(RECORD, w), nullptr},
    {1, offsetof(RECORD, b), nullptr},
    {0, 0, nullptr},
};

// A callback member stored as its value plus one, to see the callbacks ran.
const PERSIST_CALLBACKS s_callbacks = {
    [](void* pv, IStream* pStm) -> HRESULT {
        DWORD dw = 0;
        const HRESULT hr = PersistRead(pStm, &dw, 4);
        *static_cast<DWORD*>(pv) = dw - 1;
        return hr;
    },
    [](void* pv, IStream* pStm, BOOL) -> HRESULT {
        const DWORD dw = *static_cast<DWORD*>(pv) + 1;
        return PersistWrite(pStm, &dw, 4);
    },
    [](void*) -> ULONG { return 4; },
    nullptr,
};

class CAll : public CPersistObjectImpl<CAll>
{
public:
    LPCWSTR GetTraceName() { return L"[All]"; }
    BEGIN_PERSIST_MAP(CAll)
    PERSIST_ENTRY_CONST(MAGIC)
    PERSIST_ENTRY(m_guid)
    PERSIST_ENTRY_OBJECT(m_nested)
    PERSIST_ENTRY_MAP(m_record, s_recordMap)
    PERSIST_ENTRY_CALLBACK(m_dwCallback, s_callbacks)
    END_PERSIST_MAP()

    GUID m_guid = GUID_NULL;
    CNested m_nested;
    RECORD m_record;
    DWORD m_dwCallback = 0;
};

std::vector<BYTE> Save(CPersistObject& obj)
{
    CComPtr<IStream> spStm = StreamOf({});
    EXPECT_EQ(S_OK, obj.PersistSave(spStm, TRUE));
    return BytesOf(spStm);
}

CAll Filled()
{
    CAll all;
    all.m_guid = MAGIC;
    all.m_nested.m_n = -5;
    all.m_nested.m_bs = L"ab";
    all.m_record.w = 0x1234;
    all.m_record.b = 0x56;
    all.m_dwCallback = 41;
    return all;
}

} // namespace

TEST(PersistMap, EveryKindRoundTripsInOrder)
{
    CAll all = Filled();
    const std::vector<BYTE> bytes = Save(all);
    // 16 constant + 16 GUID + 4 + (4 + 6) string + 2 + 1 + 4 callback.
    ASSERT_EQ(53u, bytes.size());
    EXPECT_EQ(bytes.size(), all.PersistSize());
    EXPECT_EQ(0, memcmp(bytes.data(), &MAGIC, 16));
    EXPECT_EQ(6u, *reinterpret_cast<const DWORD*>(&bytes[36]));
    EXPECT_EQ(42u, *reinterpret_cast<const DWORD*>(&bytes[49]));

    CAll copy;
    ASSERT_EQ(S_OK, copy.PersistLoad(StreamOf(bytes)));
    EXPECT_TRUE(IsEqualGUID(MAGIC, copy.m_guid));
    EXPECT_EQ(-5, copy.m_nested.m_n);
    EXPECT_STREQ(L"ab", copy.m_nested.m_bs);
    EXPECT_EQ(0x1234, copy.m_record.w);
    EXPECT_EQ(0x56, copy.m_record.b);
    EXPECT_EQ(41u, copy.m_dwCallback);
}

TEST(PersistMap, EveryTruncationAndAWrongConstantFail)
{
    CAll all = Filled();
    const std::vector<BYTE> bytes = Save(all);
    for (size_t cb = 0; cb < bytes.size(); ++cb)
    {
        SCOPED_TRACE(cb);
        CAll copy;
        EXPECT_TRUE(FAILED(copy.PersistLoad(StreamOf(std::vector<BYTE>(bytes.begin(), bytes.begin() + cb)))));
    }
    std::vector<BYTE> other = bytes;
    other[0] ^= 1;
    CTraceCapture trace;
    CAll copy;
    EXPECT_EQ(E_FAIL, copy.PersistLoad(StreamOf(other)));
    EXPECT_TRUE(Traced(trace, L"###Err### [All] PersistLoad(): CPersistHelp::PersistLoadImp()=0x80004005\n"));
}

TEST(PersistMap, StreamBstrRefusesCorruptCounts)
{
    struct CASE
    {
        std::vector<BYTE> bytes;
        const wchar_t* pszReason;
    };
    const CASE cases[] = {
        {{1, 0}, L"CStreamBSTR::PersistLoad(): stream is corrupted.\n"},
        {{0, 0, 0x20, 0}, L"CStreamBSTR::PersistLoad(): string exceeded the maximum allowed size.\n"},
        {{3, 0, 0, 0, 'a', 0, 0}, L"CStreamBSTR::PersistLoad(): invalid BSTR length.\n"},
        {{4, 0, 0, 0, 'a', 0}, L"CStreamBSTR::PersistLoad(): invalid length of data in stream.\n"},
        {{4, 0, 0, 0, 'a', 0, 'b', 0}, L"CStreamBSTR::PersistLoad(): invalid NULL terminator of BSTR.\n"},
    };
    for (const CASE& c : cases)
    {
        SCOPED_TRACE(c.pszReason);
        CTraceCapture trace;
        CStreamBSTR bs;
        bs = L"old";
        EXPECT_TRUE(FAILED(bs.PersistLoad(StreamOf(c.bytes))));
        EXPECT_EQ(nullptr, bs.m_str);
        EXPECT_EQ(c.pszReason, trace.Text());
    }
    CStreamBSTR bs;
    EXPECT_EQ(S_OK, bs.PersistLoad(StreamOf({0, 0, 0, 0})));
    EXPECT_EQ(nullptr, bs.m_str);
    EXPECT_EQ(4u, bs.PersistSize());
}
