// A sample that misreports what it holds, or lacks IMediaSample2: what no
// real allocator hands out. Counts the calls made on it.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <vector>

class COddSample : public IMediaSample
{
public:
    std::vector<BYTE> m_buffer;
    long m_cbActual = 0;
    HRESULT m_hrPointer = S_OK;
    int m_nCalls = 0;
    // What GetMediaType answers: S_FALSE (no type), or S_OK with a copy of
    // m_mtAttached (or without any type when m_bAttachType is false).
    HRESULT m_hrMediaType = S_FALSE;
    bool m_bAttachType = true;
    AM_MEDIA_TYPE m_mtAttached = {};

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_nCalls;
        if (riid == IID_IUnknown || riid == IID_IMediaSample)
        {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetPointer(BYTE** pp) override
    {
        ++m_nCalls;
        *pp = SUCCEEDED(m_hrPointer) ? m_buffer.data() : nullptr;
        return m_hrPointer;
    }
    STDMETHODIMP_(long) GetSize() override { return ++m_nCalls, static_cast<long>(m_buffer.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override
    {
        ++m_nCalls;
        *pStart = 0;
        *pEnd = 0;
        return VFW_E_SAMPLE_TIME_NOT_SET;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP IsSyncPoint() override { return ++m_nCalls, S_OK; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP IsPreroll() override { return ++m_nCalls, S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP_(long) GetActualDataLength() override { return ++m_nCalls, m_cbActual; }
    STDMETHODIMP SetActualDataLength(long) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppmt) override
    {
        ++m_nCalls;
        *ppmt = nullptr;
        if (m_hrMediaType != S_OK || !m_bAttachType)
            return m_hrMediaType;
        // A field-by-field copy: a malformed type stays malformed.
        *ppmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        **ppmt = m_mtAttached;
        return S_OK;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return ++m_nCalls, S_OK; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override
    {
        ++m_nCalls;
        *pStart = 5;
        *pEnd = 3;
        return S_OK;
    }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
};
