// Enumerators of pins and media types over an accessor: the accessor knows
// how to fetch item i from its source; the enumerator keeps the position.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <dshowx/DSTrace.h>
#include <dshowx/DSTypes.h>
#include <winapi/ComObject.h>

// Pins of a transform filter: 0 the input pin, 1 the output pin.
template <class TFilter>
class CPinAccessor
{
public:
    typedef TFilter SourceType;
    typedef IPin* ItemType;
    typedef IEnumPins EnumInterface;

    static HRESULT GetItem(TFilter* pFilter, ULONG i, IPin** ppPin)
    {
        *ppPin = nullptr;
        IPin* pPin = nullptr;
        if (i == 0 && pFilter->m_apIn != nullptr)
            pPin = static_cast<IPin*>(pFilter->m_apIn);
        else if (i == 1 && pFilter->m_apOut != nullptr)
            pPin = static_cast<IPin*>(pFilter->m_apOut);
        if (pPin == nullptr)
            return S_FALSE;
        pPin->AddRef();
        *ppPin = pPin;
        return S_OK;
    }
    static void ReleaseItem(IPin* pPin)
    {
        if (pPin != nullptr)
            pPin->Release();
    }
};

// Media types of a pin: exactly its one type m_mt while it holds one.
template <class TPin>
class CMediaTypesAccessor
{
public:
    typedef TPin SourceType;
    typedef AM_MEDIA_TYPE* ItemType;
    typedef IEnumMediaTypes EnumInterface;

    static HRESULT GetItem(TPin* pPin, ULONG i, AM_MEDIA_TYPE** ppmt)
    {
        *ppmt = nullptr;
        // The pin's type changes under its lock (connection, in-band changes).
        struct CPinLock
        {
            explicit CPinLock(TPin* p) : m_p(p) { m_p->Lock(); }
            ~CPinLock() { m_p->Unlock(); }
            TPin* m_p;
        } lock(pPin);
        if (i != 0 || IsEqualGUID(pPin->m_mt.majortype, GUID_NULL))
            return S_FALSE;
        *ppmt = MTDup(&pPin->m_mt);
        return *ppmt != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    static void ReleaseItem(AM_MEDIA_TYPE* pmt)
    {
        if (pmt != nullptr)
            MTDelete(pmt);
    }
};

template <class TAccessor>
class CComDSEnum;

// The enumerator interface's methods over the accessor.
template <class TAccessor>
class CComDSEnumImpl : public TAccessor::EnumInterface
{
public:
    typedef typename TAccessor::SourceType SourceType;
    typedef typename TAccessor::ItemType ItemType;

    STDMETHOD(Next)(ULONG cElems, ItemType* ppElems, ULONG* pcFetched) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"CComDSEnumImpl::Next( %u )\n", cElems);
        if (ppElems == nullptr)
            return E_POINTER;
        if (pcFetched == nullptr && cElems > 1)
            return E_INVALIDARG;
        if (m_bOutOfSync)
            return VFW_E_ENUM_OUT_OF_SYNC;
        ULONG cFetched = 0;
        HRESULT hr = S_OK;
        while (cFetched < cElems)
        {
            hr = TAccessor::GetItem(m_pSource, m_nPos, &ppElems[cFetched]);
            if (hr != S_OK)
                break;
            ++m_nPos;
            ++cFetched;
        }
        if (FAILED(hr))
        {
            m_nPos -= cFetched;
            for (ULONG i = 0; i < cFetched; ++i)
            {
                TAccessor::ReleaseItem(ppElems[i]);
                ppElems[i] = nullptr;
            }
            if (hr == VFW_E_ENUM_OUT_OF_SYNC)
                m_bOutOfSync = true;
            return hr;
        }
        if (pcFetched != nullptr)
            *pcFetched = cFetched;
        return cFetched == cElems ? S_OK : S_FALSE;
    }

    STDMETHOD(Skip)(ULONG cElems) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"CComDSEnumImpl::Skip( %u )\n", cElems);
        if (m_bOutOfSync)
            return VFW_E_ENUM_OUT_OF_SYNC;
        if (cElems == 0)
            return Probe(m_nPos);
        // Item by item, so that a skip past the end stops at the end and a
        // huge count cannot wrap the position around.
        ULONG nSkipped = 0;
        HRESULT hr = S_OK;
        while (nSkipped < cElems && hr == S_OK)
        {
            hr = Probe(m_nPos + nSkipped);
            if (hr == S_OK)
                ++nSkipped;
        }
        if (FAILED(hr))
            return hr;
        m_nPos += nSkipped;
        return nSkipped == cElems ? S_OK : S_FALSE;
    }

    STDMETHOD(Reset)() override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"CComDSEnumImpl::Reset()\n");
        m_nPos = 0;
        m_bOutOfSync = false;
        return S_OK;
    }

    STDMETHOD(Clone)(typename TAccessor::EnumInterface** ppEnum) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"CComDSEnumImpl::Clone()\n");
        if (m_bOutOfSync)
            return VFW_E_ENUM_OUT_OF_SYNC;
        const HRESULT hr = Probe(m_nPos);
        if (FAILED(hr))
            return hr;
        return CComDSEnum<TAccessor>::Create(m_pSource, m_nPos, ppEnum);
    }

protected:
    // Gets item i and lets it go at once; marks the enumerator out of sync
    // when the source says so.
    HRESULT Probe(ULONG i)
    {
        ItemType item = nullptr;
        const HRESULT hr = TAccessor::GetItem(m_pSource, i, &item);
        TAccessor::ReleaseItem(item);
        if (hr == VFW_E_ENUM_OUT_OF_SYNC)
            m_bOutOfSync = true;
        return hr;
    }

    SourceType* m_pSource = nullptr;
    CComPtr<IUnknown> m_spSourceHold; // keeps the source alive
    ULONG m_nPos = 0;
    bool m_bOutOfSync = false;
};

// The enumerator object: answers its enumerator interface and IUnknown only.
template <class TAccessor>
class CComDSEnum : public CComDSEnumImpl<TAccessor>, public CComObjectRootMT
{
public:
    typedef typename TAccessor::EnumInterface EnumInterface;

    BEGIN_COM_MAP(CComDSEnum)
    COM_INTERFACE_ENTRY(EnumInterface)
    END_COM_MAP()

    // A new enumerator on pSource at position nPos; the caller holds the
    // only reference.
    static HRESULT Create(typename TAccessor::SourceType* pSource, ULONG nPos, EnumInterface** ppEnum)
    {
        if (ppEnum == nullptr)
            return E_POINTER;
        *ppEnum = nullptr;
        if (pSource == nullptr)
            return E_INVALIDARG;
        CComObject<CComDSEnum>* pEnum = nullptr;
        HRESULT hr = CComObject<CComDSEnum>::CreateInstance(&pEnum);
        if (FAILED(hr))
            return hr;
        pEnum->AddRef();
        pEnum->m_pSource = pSource;
        pEnum->m_spSourceHold = pSource->GetUnknown();
        pEnum->m_nPos = nPos;
        hr = pEnum->QueryInterface(__uuidof(EnumInterface), reinterpret_cast<void**>(ppEnum));
        pEnum->Release();
        return hr;
    }
};
