// Pin and media type enumerators over their accessors.
#include <windows.h>
#include <dshow.h>

#include <dshowx/DSEnums.h>
#include <helpers/GraphPins.h>

#include <gtest/gtest.h>

#include "support/ComTest.h"
#include "support/WaveFile.h"

namespace
{
CComPtr<IPin> FirstPin(IBaseFilter* pFilter)
{
    CComPtr<IEnumPins> spEnum;
    CComPtr<IPin> spPin;
    if (SUCCEEDED(pFilter->EnumPins(&spEnum)))
        spEnum->Next(1, &spPin, nullptr);
    return spPin;
}

// A source that counts the references the enumerators hold on it.
class CCountedSource : public IUnknown
{
public:
    LONG m_cRef = 1;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid != IID_IUnknown)
            return *ppv = nullptr, E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_cRef); }
    IUnknown* GetUnknown() { return this; }
};

// The two pins of a real filter stand in for a transform filter's pins.
struct CFilterSource : CCountedSource
{
    IPin* m_apIn = nullptr;
    IPin* m_apOut = nullptr;
};

struct CPinSource : CCountedSource
{
    CMType m_mt;
    void Lock() {}
    void Unlock() {}
};

// Fails item 1 with the code given, to show how errors travel.
struct CFailingSource : CCountedSource
{
    HRESULT m_hrItem1 = VFW_E_ENUM_OUT_OF_SYNC;
};
class CFailingAccessor
{
public:
    typedef CFailingSource SourceType;
    typedef IPin* ItemType;
    typedef IEnumPins EnumInterface;
    static inline LONG s_cLive = 0;

    static HRESULT GetItem(CFailingSource* pSource, ULONG i, IPin** ppPin)
    {
        *ppPin = nullptr;
        if (i == 1)
            return pSource->m_hrItem1;
        if (i > 1)
            return S_FALSE;
        ++s_cLive;
        *ppPin = reinterpret_cast<IPin*>(pSource); // an opaque token; never called
        return S_OK;
    }
    static void ReleaseItem(IPin* pPin)
    {
        if (pPin != nullptr)
            --s_cLive;
    }
};

class PinEnum : public CComTest
{
protected:
    void SetUp() override
    {
        // Real pins: a renderer's input and a file source's output.
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRendererFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                         reinterpret_cast<void**>(&m_spRenderer)));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                         reinterpret_cast<void**>(&m_spReader)));
        m_sFile = WriteTestWaveFile();
        CComPtr<IFileSourceFilter> spLoad;
        ASSERT_EQ(S_OK, m_spReader->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&spLoad)));
        ASSERT_EQ(S_OK, spLoad->Load(m_sFile.c_str(), nullptr));
        m_spIn = FirstPin(m_spRenderer);
        m_spOut = FirstPin(m_spReader);
        ASSERT_TRUE(m_spIn && m_spOut);
        m_source.m_apIn = m_spIn;
        m_source.m_apOut = m_spOut;
    }
    void TearDown() override
    {
        m_spIn.Release();
        m_spOut.Release();
        m_spRenderer.Release();
        m_spReader.Release();
        DeleteFileW(m_sFile.c_str());
    }
    CComPtr<IEnumPins> Enum()
    {
        CComPtr<IEnumPins> sp;
        EXPECT_EQ(S_OK, CComDSEnum<CPinAccessor<CFilterSource>>::Create(&m_source, 0, &sp));
        return sp;
    }
    CComPtr<IBaseFilter> m_spRenderer, m_spReader;
    std::wstring m_sFile;
    CComPtr<IPin> m_spIn, m_spOut;
    CFilterSource m_source;
};
} // namespace

TEST_F(PinEnum, NextFetchesInputThenOutputAndReportsShortReads)
{
    CComPtr<IEnumPins> spEnum = Enum();
    EXPECT_EQ(2, m_source.m_cRef) << "the enumerator holds its source";
    IPin* apPins[5] = {};
    EXPECT_EQ(E_INVALIDARG, spEnum->Next(2, apPins, nullptr));
    EXPECT_EQ(E_POINTER, spEnum->Next(1, nullptr, nullptr));
    ULONG cFetched = 99;
    EXPECT_EQ(S_FALSE, spEnum->Next(5, apPins, &cFetched));
    ASSERT_EQ(2u, cFetched);
    EXPECT_EQ(static_cast<IPin*>(m_spIn), apPins[0]);
    EXPECT_EQ(static_cast<IPin*>(m_spOut), apPins[1]);
    apPins[0]->Release();
    apPins[1]->Release();
    EXPECT_EQ(S_FALSE, spEnum->Next(1, apPins, nullptr));

    spEnum->Reset();
    EXPECT_EQ(S_OK, spEnum->Next(1, apPins, nullptr)) << "one element needs no fetched count";
    apPins[0]->Release();
    spEnum.Release();
    EXPECT_EQ(1, m_source.m_cRef);
}

TEST_F(PinEnum, SkipPastTheEndStopsThereAndCloneKeepsThePosition)
{
    CComPtr<IEnumPins> spEnum = Enum();
    EXPECT_EQ(S_FALSE, spEnum->Skip(3));
    IPin* pPin = nullptr;
    ULONG cFetched = 7;
    EXPECT_EQ(S_FALSE, spEnum->Next(1, &pPin, &cFetched));
    EXPECT_EQ(0u, cFetched);
    // A huge count stops at the end too instead of wrapping round to the start.
    spEnum->Reset();
    EXPECT_EQ(S_OK, spEnum->Skip(1));
    EXPECT_EQ(S_FALSE, spEnum->Skip(0xFFFFFFFFu));
    EXPECT_EQ(S_FALSE, spEnum->Next(1, &pPin, &cFetched));
    EXPECT_EQ(0u, cFetched);

    spEnum->Reset();
    EXPECT_EQ(S_OK, spEnum->Skip(1));
    CComPtr<IEnumPins> spClone;
    ASSERT_EQ(S_OK, spEnum->Clone(&spClone));
    EXPECT_EQ(3, m_source.m_cRef);
    ASSERT_EQ(S_OK, spClone->Next(1, &pPin, nullptr));
    EXPECT_EQ(static_cast<IPin*>(m_spOut), pPin);
    pPin->Release();

    // Only the enumerator interface and the identity are answered.
    CComPtr<IUnknown> spUnk;
    EXPECT_EQ(S_OK, spEnum->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spUnk)));
    CComPtr<IEnumMediaTypes> spOther;
    EXPECT_EQ(E_NOINTERFACE, spEnum->QueryInterface(IID_IEnumMediaTypes, reinterpret_cast<void**>(&spOther)));

    CComPtr<IEnumPins> spNone;
    EXPECT_EQ(E_INVALIDARG, (CComDSEnum<CPinAccessor<CFilterSource>>::Create(nullptr, 0, &spNone)));
    EXPECT_EQ(E_POINTER, (CComDSEnum<CPinAccessor<CFilterSource>>::Create(&m_source, 0, nullptr)));
}

TEST(EnumErrors, FailedNextRollsBackAndOutOfSyncSticksUntilReset)
{
    CFailingSource source;
    CComPtr<IEnumPins> spEnum;
    ASSERT_EQ(S_OK, CComDSEnum<CFailingAccessor>::Create(&source, 0, &spEnum));
    IPin* apPins[3] = {};
    ULONG cFetched = 0;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, spEnum->Next(3, apPins, &cFetched));
    EXPECT_EQ(nullptr, apPins[0]) << "fetched items are released and cleared";
    EXPECT_EQ(0, CFailingAccessor::s_cLive);
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, spEnum->Next(1, apPins, nullptr));
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, spEnum->Skip(1));
    CComPtr<IEnumPins> spClone;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, spEnum->Clone(&spClone));
    EXPECT_EQ(S_OK, spEnum->Reset());
    EXPECT_EQ(S_OK, spEnum->Next(1, apPins, nullptr)) << "the position went back to 0";
    CFailingAccessor::ReleaseItem(apPins[0]);

    // Another error rolls back the position without marking the enumerator.
    source.m_hrItem1 = E_OUTOFMEMORY;
    spEnum->Reset();
    EXPECT_EQ(E_OUTOFMEMORY, spEnum->Next(2, apPins, &cFetched));
    EXPECT_EQ(S_OK, spEnum->Next(1, apPins, nullptr));
    CFailingAccessor::ReleaseItem(apPins[0]);
    EXPECT_EQ(0, CFailingAccessor::s_cLive);
}

TEST(MediaTypeEnum, OneCopyOfThePinTypeWhileItHoldsOne)
{
    CPinSource pin;
    CComPtr<IEnumMediaTypes> spEnum;
    ASSERT_EQ(S_OK, CComDSEnum<CMediaTypesAccessor<CPinSource>>::Create(&pin, 0, &spEnum));
    AM_MEDIA_TYPE* pmt = nullptr;
    EXPECT_EQ(S_FALSE, spEnum->Next(1, &pmt, nullptr)) << "no type yet";

    pin.m_mt = CMType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    spEnum->Reset();
    ASSERT_EQ(S_OK, spEnum->Next(1, &pmt, nullptr));
    EXPECT_NE(static_cast<AM_MEDIA_TYPE*>(&pin.m_mt), pmt) << "a copy for the caller";
    EXPECT_TRUE(MTIsEqual(&pin.m_mt, pmt));
    MTDelete(pmt);
    EXPECT_EQ(S_FALSE, spEnum->Next(1, &pmt, nullptr));
}
