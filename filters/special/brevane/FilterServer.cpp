// The spy filter as a server object: how a loaded stream is taken and the
// build line traced at construction. Its registry update is the module's
// (Registration.cpp), so that this file also serves the static library.
#include "Filter.h"

void CSpyFilter::InitVersion()
{
    Init(__DATE__, __TIME__, nullptr);
    TraceVersion(GetTraceName());
}

HRESULT CSpyFilter::PersistLoad(IStream* pStm)
{
    HRESULT hr;
    {
        // The options are the filter lock's; the capture takes its own lock
        // inside (the same order as StartCapture).
        CComObjectRootMT::ObjectLock lock(this);
        hr = CPersistObjectImpl<CSpyFilter>::PersistLoad(pStm);
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
