// The spy filter as a server object: how a loaded stream is taken, the build
// line traced at construction, and the registry update of its class.
#include "Filter.h"

#include "Registration.h"

void CSpyFilter::InitVersion()
{
    Init(__DATE__, __TIME__, nullptr);
    TraceVersion(GetTraceName());
}

HRESULT CSpyFilter::PersistLoad(IStream* pStm)
{
    const HRESULT hr = CPersistObjectImpl<CSpyFilter>::PersistLoad(pStm);
    {
        CComObjectRootMT::ObjectLock lock(this);
        if (SUCCEEDED(hr) && IsEqualGUID(m_clsid, CLSID_SpyFilter))
        {
            m_bDynReconnect = m_bDynReconnect ? TRUE : FALSE;
            m_bMTEnumRedir = m_bMTEnumRedir ? TRUE : FALSE;
            m_bCheckSum = m_bCheckSum ? TRUE : FALSE;
            m_bForcePassthru = m_bForcePassthru ? TRUE : FALSE;
        }
        else
        {
            // Another class's stream, or a damaged one: nothing of it is trusted.
            m_clsid = CLSID_SpyFilter;
            m_bDynReconnect = TRUE;
            m_bMTEnumRedir = TRUE;
            m_bCheckSum = FALSE;
            m_bForcePassthru = FALSE;
        }
    }
    // A load that stopped before the capture entry leaves its old properties.
    if (FAILED(hr))
        m_capture.ResetProps();
    // The pins keep their own copies of these two.
    EnableDynReconnect(m_bDynReconnect);
    EnableMTEnumRedir(m_bMTEnumRedir);
    return hr;
}
