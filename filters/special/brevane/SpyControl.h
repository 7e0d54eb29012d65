// The spy filter's COM faces that only forward: IVelmoraSpyFilter as a part
// object of the filter (its methods share their names with the filter's own
// members, which a base class could not), and ISpecifyPropertyPages.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <VelmoraSpy.h>

// IVelmoraSpyFilter of T: each method calls T's member of the same name,
// which owns the traces, results and locks. Reference counting and queries
// are the owner's (one identity). T provides GetUnknown(), SetDirty() and
// the four persisted options m_bDynReconnect, m_bMTEnumRedir, m_bCheckSum
// and m_bForcePassthru: a change of any of them through the interface makes
// the filter dirty, since each is saved with the graph.
template <class T>
class CSpyFilterControl : public IVelmoraSpyFilter
{
public:
    explicit CSpyFilterControl(T* pOwner) : m_pOwner(pOwner) {}
    CSpyFilterControl(const CSpyFilterControl&) = delete;
    CSpyFilterControl& operator=(const CSpyFilterControl&) = delete;

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override { return m_pOwner->GetUnknown()->QueryInterface(riid, ppv); }
    STDMETHOD_(ULONG, AddRef)() override { return m_pOwner->GetUnknown()->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return m_pOwner->GetUnknown()->Release(); }

    STDMETHOD(EnableDynReconnect)(LONG bEnable) override
    {
        return Changing(m_pOwner->m_bDynReconnect, [&] { return m_pOwner->EnableDynReconnect(bEnable); });
    }
    STDMETHOD(IsDynReconnecEnabled)() override { return m_pOwner->IsDynReconnecEnabled(); }
    STDMETHOD(EnableMTEnumRedir)(LONG bEnable) override
    {
        return Changing(m_pOwner->m_bMTEnumRedir, [&] { return m_pOwner->EnableMTEnumRedir(bEnable); });
    }
    STDMETHOD(IsMTEnumRedirEnabled)() override { return m_pOwner->IsMTEnumRedirEnabled(); }
    STDMETHOD(GetBitrates)(UINT* pnTotalAvg, UINT* pnMovingAvg) override
    {
        return m_pOwner->GetBitrates(pnTotalAvg, pnMovingAvg);
    }
    STDMETHOD(GetSamplesPerSec)(double* pdSamplesPerSec) override { return m_pOwner->GetSamplesPerSec(pdSamplesPerSec); }
    STDMETHOD(ForcePassthruAllocator)(LONG bForce) override
    {
        return Changing(m_pOwner->m_bForcePassthru, [&] { return m_pOwner->ForcePassthruAllocator(bForce); });
    }
    STDMETHOD(IsPassthruAllocatorForced)(LONG* pbForced) override { return m_pOwner->IsPassthruAllocatorForced(pbForced); }
    STDMETHOD(SetCaptureProps)(BSTR bstrFileNameTemplate, LONG bOneSamplePerFile, UINT nSamples) override
    {
        return m_pOwner->SetCaptureProps(bstrFileNameTemplate, bOneSamplePerFile, nSamples);
    }
    STDMETHOD(GetCaptureProps)(BSTR* pbstrFileNameTemplate, LONG* pbOneSamplePerFile, UINT* pnSamples) override
    {
        return m_pOwner->GetCaptureProps(pbstrFileNameTemplate, pbOneSamplePerFile, pnSamples);
    }
    STDMETHOD(StartCapture)() override { return m_pOwner->StartCapture(); }
    STDMETHOD(SetCheckSum)(LONG bCalculate) override
    {
        return Changing(m_pOwner->m_bCheckSum, [&] { return m_pOwner->SetCheckSum(bCalculate); });
    }
    STDMETHOD(GetCheckSum)(LONG* pbCalculate) override { return m_pOwner->GetCheckSum(pbCalculate); }

    // For the owner's interface map (COM_INTERFACE_ENTRY_FUNC).
    HRESULT Query(void** ppv)
    {
        *ppv = static_cast<IVelmoraSpyFilter*>(this);
        AddRef();
        return S_OK;
    }

private:
    template <class F>
    HRESULT Changing(volatile LONG& option, F&& setter)
    {
        const LONG before = option;
        const HRESULT hr = setter();
        if (option != before)
            m_pOwner->SetDirty(true);
        return hr;
    }

    T* m_pOwner;
};

// The filter's property pages: the spy page and the About page.
class ISpecifyPropertyPagesImpl : public ISpecifyPropertyPages
{
public:
    STDMETHOD(GetPages)(CAUUID* pPages) override
    {
        if (pPages == nullptr)
            return E_POINTER;
        pPages->cElems = 0;
        pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(2 * sizeof(GUID)));
        if (pPages->pElems == nullptr)
            return E_OUTOFMEMORY;
        pPages->pElems[0] = CLSID_SpyFilterPP;
        pPages->pElems[1] = CLSID_AboutSpyFilter;
        pPages->cElems = 2;
        return S_OK;
    }
};
