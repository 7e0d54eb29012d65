// Shared helpers of the allocator tests: creation, the state read back
// through public calls only, and owned samples.
#pragma once

#include <dshowx/DSAllocators.h>

#include <gtest/gtest.h>

#include <support/ComTest.h>

#include <string>
#include <vector>

inline ALLOCATOR_PROPERTIES Props(LONG cBuffers, LONG cbBuffer, LONG cbAlign, LONG cbPrefix)
{
    ALLOCATOR_PROPERTIES props = {cBuffers, cbBuffer, cbAlign, cbPrefix};
    return props;
}

inline CComPtr<IMemAllocator> NewAllocator(IUnknown* pOwner = nullptr)
{
    CComPtr<IMemAllocator> sp;
    EXPECT_EQ(S_OK, CreateMemoryAllocator(&sp.p, pOwner));
    return sp;
}

inline HRESULT SetProps(IMemAllocator* pAlloc, LONG cBuffers, LONG cbBuffer, LONG cbAlign = 1, LONG cbPrefix = 0)
{
    ALLOCATOR_PROPERTIES req = Props(cBuffers, cbBuffer, cbAlign, cbPrefix);
    ALLOCATOR_PROPERTIES act = {};
    return pAlloc->SetProperties(&req, &act);
}

// State of the framework's allocator, read through public calls only.
inline std::wstring StateOf(IMemAllocator* pAlloc)
{
    CComPtr<IMemAllocatorCallbackTemp> spCb;
    if (FAILED(pAlloc->QueryInterface(__uuidof(IMemAllocatorCallbackTemp), reinterpret_cast<void**>(&spCb.p))))
        return L"?";
    LONG nFree = -1;
    const HRESULT hr = spCb->GetFreeCount(&nFree);
    if (hr == E_ABORT)
        return L"AS_Create";
    if (hr == VFW_E_BUFFER_NOTSET)
        return L"AS_Init";
    if (hr == S_OK)
    {
        ALLOCATOR_PROPERTIES props = {};
        pAlloc->GetProperties(&props);
        return nFree == props.cBuffers ? L"AS_Commit" : L"AS_Run";
    }
    if (hr != VFW_E_NOT_COMMITTED)
        return L"?";
    // Setting the same properties again changes nothing in AS_Prop and is
    // refused while a decommit waits for buffers.
    ALLOCATOR_PROPERTIES props = {};
    pAlloc->GetProperties(&props);
    ALLOCATOR_PROPERTIES act = {};
    const HRESULT hrSet = pAlloc->SetProperties(&props, &act);
    if (hrSet == S_OK)
        return L"AS_Prop";
    if (hrSet == VFW_E_BUFFERS_OUTSTANDING)
        return L"AS_Decommit";
    return L"?";
}

inline ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

inline bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

inline std::wstring Ptr(const void* p)
{
    wchar_t sz[32];
    _snwprintf(sz, 32, L"0x%p", p);
    sz[31] = 0;
    return sz;
}
