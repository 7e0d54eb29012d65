// The framework's own memory allocator and its media samples.
//
// CMemoryAllocatorT<CBufferOnVirtualAlloc> carves all buffers of one commit
// from a single block of virtual memory and hands them out wrapped in
// CComSampleObject samples that are built in place in recycled storage
// blocks, so that a steady GetBuffer/Release cycle never touches the heap.
// Every interface call is traced with the allocator's state, so that an
// allocator agreement between foreign filters can be followed in the log.
//
// Locking: one lock per allocator (the object's recursive critical section)
// guards state, properties, the free stack, the sample storage, the waiting
// count, the pending media type and the callback. GetBuffer never waits
// while holding it. A sample's return path runs entirely under it, the
// notify callback included. Sample methods take no lock: a sample is used by
// one thread at a time.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <cstddef>
#include <cstring>
#include <new>

#include <dshowx/DSFunctions.h>
#include <dshowx/DSTrace.h>
#include <dshowx/DSTypes.h>
#include <winapi/ComObject.h>
#include <winapi/ComPtr.h>

// ---- The framework's own allocator interfaces --------------------------------

// {3B9F0C61-82D4-4A17-B5E3-6C0A91D24F70}
inline constexpr IID IID_IMemAllocatorEx = {0x3B9F0C61, 0x82D4, 0x4A17, {0xB5, 0xE3, 0x6C, 0x0A, 0x91, 0xD2, 0x4F, 0x70}};
// {3B9F0C62-82D4-4A17-B5E3-6C0A91D24F70}
inline constexpr IID IID_IMemAllocOwner = {0x3B9F0C62, 0x82D4, 0x4A17, {0xB5, 0xE3, 0x6C, 0x0A, 0x91, 0xD2, 0x4F, 0x70}};

// Lets a pin announce the media type of the stream before the first sample:
// the next sample handed out carries it, and the buffer size grows to the
// type's sample size.
MIDL_INTERFACE("3B9F0C61-82D4-4A17-B5E3-6C0A91D24F70")
IMemAllocatorEx : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* pmt) = 0;
};
__CRT_UUID_DECL(IMemAllocatorEx, 0x3B9F0C61, 0x82D4, 0x4A17, 0xB5, 0xE3, 0x6C, 0x0A, 0x91, 0xD2, 0x4F, 0x70)

// The pin that created the allocator, for diagnostics. Not counted: the
// owner outlives what it creates.
MIDL_INTERFACE("3B9F0C62-82D4-4A17-B5E3-6C0A91D24F70")
IMemAllocOwner : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetOwner(IUnknown * pOwner) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOwner(IUnknown * *ppOwner) = 0;
    virtual HRESULT STDMETHODCALLTYPE DebugAllocator() = 0;
};
__CRT_UUID_DECL(IMemAllocOwner, 0x3B9F0C62, 0x82D4, 0x4A17, 0xB5, 0xE3, 0x6C, 0x0A, 0x91, 0xD2, 0x4F, 0x70)

// ---- Allocator state and properties ------------------------------------------

enum EAllocatorState : LONG
{
    AS_Create = 0,   // constructed, FinalConstruct not yet run
    AS_Init = 1,     // no properties yet
    AS_Prop = 2,     // properties set, not committed
    AS_Commit = 3,   // committed, every buffer free
    AS_Run = 4,      // committed, at least one buffer out
    AS_Decommit = 5, // decommit requested while buffers are out
};

// "AS_Create" ... "AS_Decommit", "AS_???" for any other value.
LPCWSTR AllocatorStateName(LONG eState);

// Corrects a request in place: alignment 0 becomes 1, any other alignment the
// next power of two, and the buffer size grows so that prefix plus buffer
// fill whole alignment units. On failure (VFW_E_SIZENOTSET, VFW_E_BADALIGN,
// E_POINTER) the record is left as it was.
HRESULT CorrectAllocProps(ALLOCATOR_PROPERTIES* pProps);

// a becomes the larger of a and b, field by field.
inline void AllocPropsMerge(ALLOCATOR_PROPERTIES& a, const ALLOCATOR_PROPERTIES& b)
{
    a.cBuffers = a.cBuffers > b.cBuffers ? a.cBuffers : b.cBuffers;
    a.cbBuffer = a.cbBuffer > b.cbBuffer ? a.cbBuffer : b.cbBuffer;
    a.cbAlign = a.cbAlign > b.cbAlign ? a.cbAlign : b.cbAlign;
    a.cbPrefix = a.cbPrefix > b.cbPrefix ? a.cbPrefix : b.cbPrefix;
}

// At least one buffer of one byte, alignment 0 read as 1.
inline void AllocPropsNormalise(ALLOCATOR_PROPERTIES& p)
{
    if (p.cBuffers < 1)
        p.cBuffers = 1;
    if (p.cbBuffer < 1)
        p.cbBuffer = 1;
    if (p.cbAlign == 0)
        p.cbAlign = 1;
}

// Every field of act at least the request's.
inline bool AllocPropsCover(const ALLOCATOR_PROPERTIES& req, const ALLOCATOR_PROPERTIES& act)
{
    return act.cBuffers >= req.cBuffers && act.cbBuffer >= req.cbBuffer && act.cbAlign >= req.cbAlign &&
           act.cbPrefix >= req.cbPrefix;
}

// What an allocator set serves the request: it covers it, with an alignment
// that is a power of two.
inline bool AllocPropsSatisfy(const ALLOCATOR_PROPERTIES& req, const ALLOCATOR_PROPERTIES& act)
{
    const bool bOneBit = act.cbAlign > 0 && (act.cbAlign & (act.cbAlign - 1)) == 0;
    return AllocPropsCover(req, act) && bOneBit;
}

inline bool AllocPropsEqual(const ALLOCATOR_PROPERTIES& a, const ALLOCATOR_PROPERTIES& b)
{
    return a.cBuffers == b.cBuffers && a.cbBuffer == b.cbBuffer && a.cbAlign == b.cbAlign && a.cbPrefix == b.cbPrefix;
}

// Allocation granularity of the system, read once.
DWORD SystemAllocationGranularity();

// Creates the framework's allocator. With pOwner its IMemAllocOwner is set.
// The caller holds the only reference.
HRESULT CreateMemoryAllocator(IMemAllocator** ppAllocator, IUnknown* pOwner);

// ---- Virtual memory block ------------------------------------------------------

// Owner of one committed read-write block of virtual memory, with traces
// when bTrace is set.
class CVAlloc
{
public:
    explicit CVAlloc(bool bTrace = true) : m_bTrace(bTrace) {}
    ~CVAlloc() { Free(); }
    CVAlloc(const CVAlloc&) = delete;
    CVAlloc& operator=(const CVAlloc&) = delete;

    // With bRound a block whose rounded capacity already holds cb is kept
    // and the size rounds up to the allocation granularity.
    BOOL Alloc(SIZE_T cb, BOOL bRound);
    void Free();

    void* GetMemory() const { return m_pMemory; }
    SIZE_T GetSize() const { return m_cbSize; }
    template <class X>
    X* As() const
    {
        return static_cast<X*>(m_pMemory);
    }

private:
    void* m_pMemory = nullptr;
    SIZE_T m_cbSize = 0;
    bool m_bTrace;
};

// ---- Buffer memory -----------------------------------------------------------

// One committed read-write block of virtual memory for all buffers of a
// commit: a silent CVAlloc of exactly the size asked for.
class CBufferOnVirtualAlloc
{
public:
    HRESULT Alloc(SIZE_T cb);
    void Free() { m_block.Free(); }
    BYTE* GetMemory() const { return m_block.As<BYTE>(); }
    SIZE_T GetSize() const { return m_block.GetSize(); }

private:
    CVAlloc m_block{false};
};

// The buffers of one commit and the stack of free ones. Each buffer pointer
// is the first byte a sample exposes; the prefix lies before it.
template <class TBuffer>
class CAllocatorBuffers
{
public:
    CAllocatorBuffers() = default;
    ~CAllocatorBuffers() { Release(); }
    CAllocatorBuffers(const CAllocatorBuffers&) = delete;
    CAllocatorBuffers& operator=(const CAllocatorBuffers&) = delete;

    // Buffers start on 16-byte boundaries at least, whatever the request.
    static constexpr LONG c_cbMinAlign = 16;

    // Replaces the block and the stack by cBuffers free buffers laid out for
    // props. E_OUTOFMEMORY leaves nothing allocated.
    HRESULT Initialize(const ALLOCATOR_PROPERTIES& props)
    {
        Release();
        if (props.cBuffers <= 0 || props.cbBuffer <= 0 || props.cbPrefix < 0 || props.cbAlign < 0)
            return E_INVALIDARG;
        LONGLONG llAlign = props.cbAlign > 0 ? props.cbAlign : 1;
        if (llAlign < c_cbMinAlign)
            llAlign = c_cbMinAlign;
        const LONGLONG llUsed = static_cast<LONGLONG>(props.cbPrefix) + props.cbBuffer;
        const LONGLONG llStride = (llUsed + llAlign - 1) / llAlign * llAlign;
        LONGLONG llSize = (props.cBuffers - 1LL) * llStride + llUsed;
        const LONGLONG llGranularity = SystemAllocationGranularity();
        if (llGranularity < llAlign)
            llSize += llAlign - llGranularity;
        // Sizes that the address space cannot hold are refused before any
        // arithmetic on pointers can wrap.
        if (llStride > 0x7FFFFFFFLL || llSize > static_cast<LONGLONG>(static_cast<SIZE_T>(-1) / 2))
            return E_OUTOFMEMORY;

        m_stackFree = new (std::nothrow) BYTE*[props.cBuffers];
        if (m_stackFree == nullptr)
            return E_OUTOFMEMORY;
        if (FAILED(m_memory.Alloc(static_cast<SIZE_T>(llSize))))
        {
            Release();
            return E_OUTOFMEMORY;
        }
        const UINT_PTR uBase = reinterpret_cast<UINT_PTR>(m_memory.GetMemory());
        const UINT_PTR uAligned = (uBase + static_cast<UINT_PTR>(llAlign) - 1) & ~(static_cast<UINT_PTR>(llAlign) - 1);
        m_pFirst = reinterpret_cast<BYTE*>(uAligned) + props.cbPrefix;
        m_cbStride = static_cast<LONG>(llStride);
        m_cbBuffer = props.cbBuffer;
        m_nBuffers = props.cBuffers;
        // Pushed in reverse so that the first buffer handed out is buffer 0.
        for (LONG i = m_nBuffers; i-- > 0;)
            m_stackFree[m_nFree++] = m_pFirst + static_cast<SIZE_T>(i) * m_cbStride;
        return S_OK;
    }

    void Release()
    {
        delete[] m_stackFree;
        m_stackFree = nullptr;
        m_memory.Free();
        m_pFirst = nullptr;
        m_nFree = 0;
        m_nBuffers = 0;
        m_cbBuffer = 0;
        m_cbStride = 0;
    }

    // Null when no buffer is free.
    BYTE* Pop() { return m_nFree > 0 ? m_stackFree[--m_nFree] : nullptr; }

    // Takes a buffer back. A pointer that is not one of this commit's
    // buffers, or one more than was handed out, would corrupt the stack:
    // refused.
    bool Push(BYTE* pBuffer)
    {
        if (m_nFree >= m_nBuffers || pBuffer < m_pFirst)
            return false;
        const SIZE_T cbOffset = static_cast<SIZE_T>(pBuffer - m_pFirst);
        if (cbOffset % static_cast<SIZE_T>(m_cbStride) != 0 ||
            cbOffset / static_cast<SIZE_T>(m_cbStride) >= static_cast<SIZE_T>(m_nBuffers))
            return false;
        m_stackFree[m_nFree++] = pBuffer;
        return true;
    }

    bool IsAllBuffersFree() const { return m_nFree == m_nBuffers; }
    LONG GetFreeCount() const { return m_nFree; }
    LONG GetBusyCount() const { return m_nBuffers - m_nFree; }
    LONG GetBufferCount() const { return m_nBuffers; }
    // The size the buffers were carved with: what samples of this commit report.
    LONG GetBufferSize() const { return m_cbBuffer; }
    LONG GetStride() const { return m_cbStride; }

private:
    TBuffer m_memory;
    BYTE** m_stackFree = nullptr;
    LONG m_nFree = 0;
    LONG m_nBuffers = 0;
    BYTE* m_pFirst = nullptr;
    LONG m_cbBuffer = 0;
    LONG m_cbStride = 0;
};

// Storage blocks for sample objects, recycled from sample to sample. Free
// blocks occupy indices 0 to m_nFree - 1. Blocks go back to the heap only
// when the storage is rebuilt or destroyed.
class CSampleArray
{
public:
    explicit CSampleArray(size_t cbBlock) : m_cbBlock(cbBlock) {}
    ~CSampleArray() { Release(); }
    CSampleArray(const CSampleArray&) = delete;
    CSampleArray& operator=(const CSampleArray&) = delete;

    // Frees every block (all must be free) and allocates n free ones.
    HRESULT Rebuild(LONG n);
    void Release();
    // A zeroed block; grows the storage when none is free. Null when out of memory.
    void* Get();
    // Gives a block handed out by Get back.
    bool Return(void* pBlock);

    LONG GetAllCount() const { return m_nAll; }
    LONG GetFreeCount() const { return m_nFree; }
    LONG GetOutstanding() const { return m_nAll - m_nFree; }

private:
    size_t m_cbBlock;
    void** m_ppArr = nullptr;
    LONG m_nCapacity = 0;
    LONG m_nAll = 0;
    LONG m_nFree = 0;
};

// ---- Sample object -----------------------------------------------------------

// Flag bits of the sample: the published AM_SAMPLE_* values plus one bit of
// our own that GetProperties never reports.
enum : DWORD
{
    SAMPLE_SYNCPOINT = 0x01,
    SAMPLE_PREROLL = 0x02,
    SAMPLE_DISCONTINUITY = 0x04,
    SAMPLE_TYPECHANGED = 0x08,
    SAMPLE_TIMEVALID = 0x10,
    SAMPLE_MEDIATIMEVALID = 0x20,
    SAMPLE_TIMEDISCONTINUITY = 0x40,
    SAMPLE_FLUSH_ON_PAUSE = 0x80,
    SAMPLE_STOPVALID = 0x100,
    // What SetProperties accepts.
    SAMPLE_SETTABLE_FLAGS = 0x1DF,
};

// The sample's data and the IMediaSample2 methods.
class IMediaSample2Wrapper : public IMediaSample2
{
public:
    // IMediaSample
    STDMETHOD(GetPointer)(BYTE** ppBuffer) override;
    STDMETHOD_(LONG, GetSize)() override;
    STDMETHOD(GetTime)(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    STDMETHOD(SetTime)(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    STDMETHOD(IsSyncPoint)() override;
    STDMETHOD(SetSyncPoint)(BOOL bIsSyncPoint) override;
    STDMETHOD(IsPreroll)() override;
    STDMETHOD(SetPreroll)(BOOL bIsPreroll) override;
    STDMETHOD_(LONG, GetActualDataLength)() override;
    STDMETHOD(SetActualDataLength)(LONG lActual) override;
    STDMETHOD(GetMediaType)(AM_MEDIA_TYPE** ppMediaType) override;
    STDMETHOD(SetMediaType)(AM_MEDIA_TYPE* pMediaType) override;
    STDMETHOD(IsDiscontinuity)() override;
    STDMETHOD(SetDiscontinuity)(BOOL bDiscontinuity) override;
    STDMETHOD(GetMediaTime)(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
    STDMETHOD(SetMediaTime)(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
    // IMediaSample2
    STDMETHOD(GetProperties)(DWORD cbProperties, BYTE* pbProperties) override;
    STDMETHOD(SetProperties)(DWORD cbProperties, const BYTE* pbProperties) override;

    // The object tag every trace line of the sample begins with.
    virtual LPCWSTR GetDebugName() const { return L"(CMediaSample)"; }

protected:
    IMediaSample2Wrapper() = default;
    ~IMediaSample2Wrapper() { FreeMediaType(); }
    IMediaSample2Wrapper(const IMediaSample2Wrapper&) = delete;
    IMediaSample2Wrapper& operator=(const IMediaSample2Wrapper&) = delete;

    void FreeMediaType();
    void SetFlag(DWORD dwFlag, BOOL bSet) { m_dwFlags = bSet ? (m_dwFlags | dwFlag) : (m_dwFlags & ~dwFlag); }

    // A caller's AM_SAMPLE2_PROPERTIES record and which fields it reaches:
    // the record may be shorter than ours.
    struct CPropsIn
    {
        AM_SAMPLE2_PROPERTIES props = {};
        bool bFlags = false, bActual = false, bStart = false, bStop = false, bStreamId = false;
        bool bType = false, bBuffer = false, bSize = false, bTypeFlags = false;
    };
    // The steps of SetProperties: read the record, refuse what the sample
    // cannot take, adopt or drop the media type, store, trace.
    static HRESULT ReadProperties(DWORD cbProperties, const BYTE* pbProperties, CPropsIn* pIn);
    HRESULT CheckProperties(const CPropsIn& in) const;
    HRESULT AdoptPropsMediaType(const CPropsIn& in, DWORD* pdwNewFlags);
    void StoreProperties(const CPropsIn& in, DWORD dwNewFlags);
    void TraceProperties(const CPropsIn& in) const;
    void TraceFlag(LPCWSTR pszFormat, DWORD dwLevel, bool bValue) const;

    BYTE* m_pBuffer = nullptr;
    LONG m_cbBuffer = 0;
    LONG m_lActual = 0;
    DWORD m_dwFlags = 0;
    DWORD m_dwTypeSpecificFlags = 0;
    AM_MEDIA_TYPE* m_pMediaType = nullptr; // present exactly when SAMPLE_TYPECHANGED is set
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = 0;
    LONGLONG m_llMediaStart = 0;
    LONGLONG m_llMediaEnd = 0;
    DWORD m_dwStreamId = 0;
};

// Reference count of a sample. Samples take no lock, and a critical section
// per sample would cost a heap call on each construction in place.
class CSampleObjectRoot
{
public:
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    ULONG InternalAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_dwRef)); }
    ULONG InternalRelease() { return static_cast<ULONG>(InterlockedDecrement(&m_dwRef)); }

protected:
    LONG volatile m_dwRef = 0;
};

class CMediaSample : public IMediaSample2Wrapper, public CSampleObjectRoot, public CComCoClass<CMediaSample>
{
public:
    BEGIN_COM_MAP(CMediaSample)
    COM_INTERFACE_ENTRY(IMediaSample)
    COM_INTERFACE_ENTRY(IMediaSample2)
    END_COM_MAP()

    HRESULT FinalConstruct()
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL, L"%s FinalConstruct\n", GetDebugName());
        return S_OK;
    }
    void FinalRelease() { TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL, L"%s FinalRelease\n", GetDebugName()); }

protected:
    CMediaSample() = default;
    ~CMediaSample() = default;
};

// A sample built in place in a storage block of its allocator TAlloc. Its
// last Release gives the buffer and the block back instead of freeing them.
// TAlloc provides Lock/Unlock, and ReturnMayRelease(), ClearSample(IMediaSample*)
// and ReturnSample(void* pBlock), all called with its lock held.
template <class TAlloc, class TSample>
class CComSampleObject : public TSample
{
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override { return this->_InternalQueryInterface(riid, ppv); }
    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG nRef = this->InternalRelease();
        if (nRef != 0)
            return nRef;
        TAlloc* pAlloc = m_pAllocator;
        // The allocator is locked across the whole return, and kept alive by a
        // reference of ours when the return may drop its own.
        bool bHold = false;
        if (pAlloc != nullptr)
        {
            pAlloc->Lock();
            bHold = pAlloc->ReturnMayRelease();
            if (bHold)
                pAlloc->AllocatorAddRef();
        }
        this->FinalRelease();
        if (pAlloc != nullptr)
            pAlloc->ClearSample(this);
        m_pAllocator = nullptr;
        this->~CComSampleObject();
        if (pAlloc != nullptr)
        {
            pAlloc->ReturnSample(this);
            pAlloc->Unlock();
            if (bHold)
                pAlloc->AllocatorRelease();
        }
        return 0;
    }

    // Builds a sample in pBlock (zeroed by CSampleArray::Get) over the
    // buffer; *ppMediaSample holds the only reference. On failure the block
    // holds no object and the caller still owns block and buffer.
    static HRESULT InitInstance(TAlloc* pAlloc, void* pBlock, BYTE* pBuffer, LONG cbBuffer,
                                IMediaSample** ppMediaSample)
    {
        if (!TRACE_ASSERT_TEXT(pBlock != nullptr && ppMediaSample != nullptr,
                               "pSample != NULL && ppMediaSample != NULL"))
            return E_POINTER;
        *ppMediaSample = nullptr;
        if (!TRACE_ASSERT_TEXT(pAlloc != nullptr && pBuffer != nullptr && cbBuffer > 0,
                               "pAlloc != NULL && pBuffer != NULL && cbBuffer > 0"))
            return E_INVALIDARG;
        CComSampleObject* pSample = ::new (pBlock) CComSampleObject();
        pSample->m_pBuffer = pBuffer;
        pSample->m_cbBuffer = cbBuffer;
        // Nobody else sees the sample yet: plain stores instead of interlocked
        // operations. The count of 1 guards FinalConstruct and becomes the
        // caller's reference.
        pSample->m_dwRef = 1;
        HRESULT hr = pSample->FinalConstruct();
        if (FAILED(hr))
        {
            TRACE_ASSERT_TEXT(false, "CComSampleObject::InitInstance(): can't initialize sample object");
            pSample->~CComSampleObject();
            return hr;
        }
        // The sample is its own IMediaSample: no interface map walk per buffer.
        pSample->m_dwRef = 1;
        *ppMediaSample = static_cast<IMediaSample*>(pSample);
        // Set last: only a fully built sample gives its buffer back.
        pSample->m_pAllocator = pAlloc;
        return S_OK;
    }

    // Samples live in their allocator's storage: ordinary delete is a bug.
    static void operator delete(void*) { TRACE_ASSERT_TEXT(false, "CComSampleObject::operator delete 1"); }
    static void operator delete(void*, size_t) { TRACE_ASSERT_TEXT(false, "CComSampleObject::operator delete 2"); }

private:
    CComSampleObject() = default;
    ~CComSampleObject() = default;

    TAlloc* m_pAllocator = nullptr; // not counted; cleared once the buffer is back
};

// ---- Allocator ---------------------------------------------------------------

template <class T, class TBuffers, class TSample>
class CMemAllocBase;

// IMemAllocatorCallbackTemp (and so IMemAllocator) over T's state.
template <class T>
class IMemAllocatorImpl : public IMemAllocatorCallbackTemp
{
public:
    // IMemAllocator
    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override
    {
        T* pT = static_cast<T*>(this);
        if (pRequest == nullptr || pActual == nullptr)
            return E_POINTER;
        ZeroMemory(pActual, sizeof(*pActual));
        CComObjectRootMT::ObjectLock lock(pT);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMemAllocator::SetProperties( %i, %i, %i, %i ): State=%d [allocator 0x%p]\n",
               GetDebugName(), pRequest->cBuffers, pRequest->cbBuffer, pRequest->cbAlign, pRequest->cbPrefix,
               static_cast<int>(pT->m_eState), pT->AllocatorPtr());
        switch (pT->m_eState)
        {
        case AS_Init:
        case AS_Prop:
            break;
        case AS_Commit:
        case AS_Run:
            return VFW_E_ALREADY_COMMITTED;
        case AS_Decommit:
            return VFW_E_BUFFERS_OUTSTANDING;
        default:
            return E_ABORT;
        }
        ALLOCATOR_PROPERTIES props = *pRequest;
        const HRESULT hr = CorrectAllocProps(&props);
        if (FAILED(hr))
            return hr;
        if (hr != S_OK)
            return E_FAIL;
        pT->m_props = props;
        pT->m_cbRaised = 0;
        *pActual = props;
        pT->m_eState = AS_Prop;
        return S_OK;
    }

    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* pProps) override
    {
        T* pT = static_cast<T*>(this);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMemAllocator::GetProperties\n", GetDebugName());
        if (pProps == nullptr)
            return E_POINTER;
        CComObjectRootMT::ObjectLock lock(pT);
        if (pT->m_eState == AS_Init)
            return VFW_E_BUFFER_NOTSET;
        if (!pT->IsKnownState() || pT->m_eState == AS_Create)
            return E_ABORT;
        *pProps = pT->m_props;
        return S_OK;
    }

    STDMETHOD(Commit)() override
    {
        T* pT = static_cast<T*>(this);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMemAllocator::Commit() [allocator 0x%p]\n", GetDebugName(),
               pT->AllocatorPtr());
        CComObjectRootMT::ObjectLock lock(pT);
        switch (pT->m_eState)
        {
        case AS_Init:
            return E_FAIL;
        case AS_Prop:
        {
            const HRESULT hr = pT->Initialize();
            if (FAILED(hr))
                return hr;
            // Kept until the last buffer is back after a Decommit.
            pT->CComObjectRootMT::InternalAddRef();
            pT->m_eState = AS_Commit;
            return S_OK;
        }
        case AS_Commit:
        case AS_Run:
            return S_OK;
        case AS_Decommit:
            pT->m_eState = AS_Run;
            return S_OK;
        default:
            return E_ABORT;
        }
    }

    STDMETHOD(Decommit)() override
    {
        T* pT = static_cast<T*>(this);
        CComObjectRootMT::ObjectLock lock(pT);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL,
               L"%s IMemAllocator::Decommit(): state %s, busy %u buffers [allocator 0x%p]\n", GetDebugName(),
               AllocatorStateName(pT->m_eState), static_cast<unsigned>(pT->m_buffers.GetBusyCount()), pT->AllocatorPtr());
        switch (pT->m_eState)
        {
        case AS_Init:
            return E_FAIL;
        case AS_Prop:
            return S_OK;
        case AS_Commit:
            TRACE_ASSERT_TEXT(pT->IsAllReturn(), "pT->IsAllReturn()");
            pT->m_eState = AS_Decommit;
            break;
        case AS_Run:
            pT->m_eState = AS_Decommit;
            break;
        case AS_Decommit:
            break;
        default:
            return E_ABORT;
        }
        pT->FinishDecommit();
        pT->WakeWaiters();
        return S_OK;
    }

    STDMETHOD(GetBuffer)(IMediaSample** ppBuffer, REFERENCE_TIME* /*pStartTime*/, REFERENCE_TIME* /*pEndTime*/,
                         DWORD dwFlags) override
    {
        T* pT = static_cast<T*>(this);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMemAllocator::GetBuffer()\n", GetDebugName());
        if (ppBuffer == nullptr)
            return E_POINTER;
        *ppBuffer = nullptr;
        for (;;)
        {
            {
                CComObjectRootMT::ObjectLock lock(pT);
                switch (pT->m_eState)
                {
                case AS_Init:
                    return VFW_E_BUFFER_NOTSET;
                case AS_Prop:
                case AS_Decommit:
                    return VFW_E_NOT_COMMITTED;
                case AS_Commit:
                case AS_Run:
                    break;
                default:
                    return E_ABORT;
                }
                const HRESULT hr = pT->CreateSample(ppBuffer);
                if (FAILED(hr))
                {
                    TRACE_ASSERT_TEXT(false, "IMemAllocatorImpl::GetBuffer(): CreateSample() FAILED");
                    return hr;
                }
                if (hr == S_OK)
                {
                    pT->m_eState = AS_Run;
                    return S_OK;
                }
                if (pT->m_eState == AS_Commit && !pT->m_bEmptyOnCommitEnabled)
                {
                    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                           L"###Err### %s IMemAllocator::GetBuffer(): state AS_Commit, hr=0x%X => E_FAIL\n",
                           GetDebugName(), static_cast<unsigned>(hr));
                    return E_FAIL;
                }
                const bool bNoWait = (dwFlags & AM_GBF_NOWAIT) != 0;
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL,
                       L"%s IMemAllocator::GetBuffer(): Allocator state %s, waiting = %s, m_bEmptyOnCommitEnabled=%s\n",
                       GetDebugName(), AllocatorStateName(pT->m_eState), bNoWait ? L"NO" : L"YES",
                       pT->m_bEmptyOnCommitEnabled ? L"TRUE" : L"FALSE");
                if (bNoWait)
                    return VFW_E_TIMEOUT;
                // Counted under the lock, so that a return between here and
                // the wait still releases the semaphore for us.
                ++pT->m_nWaiting;
            }
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL, L"%s IMemAllocator::GetBuffer(): allocator 0x%p waits semaphore\n",
                   GetDebugName(), pT->AllocatorPtr());
            const DWORD dwWait = WaitForSingleObject(pT->m_hSem, INFINITE);
            if (dwWait != WAIT_OBJECT_0)
            {
                TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                       L"###Err### %s IMemAllocator::GetBuffer(): WaitForSingleObject()=0x%X for allocator 0x%p\n",
                       GetDebugName(), static_cast<unsigned>(dwWait), pT->AllocatorPtr());
                return E_FAIL;
            }
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_DETAIL,
                   L"%s IMemAllocator::GetBuffer(): allocator 0x%p - semaphore signaled\n", GetDebugName(),
                   pT->AllocatorPtr());
        }
    }

    STDMETHOD(ReleaseBuffer)(IMediaSample* pBuffer) override
    {
        T* pT = static_cast<T*>(this);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMemAllocator::ReleaseBuffer\n", GetDebugName());
        if (pBuffer == nullptr)
            return E_POINTER;
        CComPtr<IMemAllocatorNotifyCallbackTemp> spNotify;
        {
            CComObjectRootMT::ObjectLock lock(pT);
            const HRESULT hr = ReleaseBufferLocked(spNotify);
            if (FAILED(hr))
                return hr;
        }
        if (spNotify != nullptr)
            spNotify->NotifyRelease();
        return S_OK;
    }

    // IMemAllocatorCallbackTemp
    STDMETHOD(SetNotify)(IMemAllocatorNotifyCallbackTemp* pNotify) override
    {
        T* pT = static_cast<T*>(this);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMemAllocatorCallbackTemp::SetNotify( 0x%08X ) [allocator 0x%p]\n",
               GetDebugName(), static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pNotify)), pT->AllocatorPtr());
        CComPtr<IMemAllocatorNotifyCallbackTemp> spOld;
        {
            CComObjectRootMT::ObjectLock lock(pT);
            spOld = pT->m_spNotify;
            pT->m_spNotify = pNotify;
        }
        // The old callback is released outside the lock: its last release
        // may call anywhere.
        return S_OK;
    }

    STDMETHOD(GetFreeCount)(LONG* plBuffersFree) override
    {
        T* pT = static_cast<T*>(this);
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"%s IMemAllocatorCallbackTemp::GetFreeCount\n", GetDebugName());
        if (plBuffersFree == nullptr)
            return E_POINTER;
        *plBuffersFree = 0;
        CComObjectRootMT::ObjectLock lock(pT);
        switch (pT->m_eState)
        {
        case AS_Init:
            return VFW_E_BUFFER_NOTSET;
        case AS_Prop:
        case AS_Decommit:
            return VFW_E_NOT_COMMITTED;
        case AS_Commit:
        case AS_Run:
            *plBuffersFree = pT->m_buffers.GetFreeCount();
            return S_OK;
        default:
            return E_ABORT;
        }
    }

    // The object tag every trace line of the allocator begins with.
    virtual LPCWSTR GetDebugName() const { return L"(CMemoryAllocatorT<>)"; }

protected:
    // ReleaseBuffer's work, with the lock held: the state once a buffer is
    // back, and in spNotify the callback to call after the lock (or, on a
    // sample's return path, once its storage block is back).
    HRESULT ReleaseBufferLocked(CComPtr<IMemAllocatorNotifyCallbackTemp>& spNotify)
    {
        T* pT = static_cast<T*>(this);
        switch (pT->m_eState)
        {
        case AS_Commit:
            TRACE_ASSERT_TEXT(pT->IsAllReturn(), "pT->IsAllReturn()");
            break;
        case AS_Run:
            if (pT->IsAllReturn())
                pT->m_eState = AS_Commit;
            spNotify = pT->m_spNotify;
            break;
        case AS_Decommit:
            TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL,
                   L"%s IMemAllocator::ReleaseBuffer(): Decommit state, busy %u buffers [allocator 0x%p]\n",
                   GetDebugName(), static_cast<unsigned>(pT->m_buffers.GetBusyCount()), pT->AllocatorPtr());
            pT->FinishDecommit();
            spNotify = pT->m_spNotify;
            break;
        default:
            return E_ABORT;
        }
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMemAllocator::ReleaseBuffer(): state %s\n", GetDebugName(),
               AllocatorStateName(pT->m_eState));
        return S_OK;
    }
};

// State, properties, buffers and sample storage of an allocator, and the
// steps of handing out and taking back samples. T is the concrete class: it
// derives from CComObjectRootMT, whose lock is the allocator's lock.
template <class T, class TBuffers, class TSample>
class CMemAllocBase : public IMemAllocatorImpl<T>
{
public:
    typedef CComSampleObject<T, TSample> CSampleObject;

    explicit CMemAllocBase(bool bEmptyOnCommitEnabled) : m_bEmptyOnCommitEnabled(bEmptyOnCommitEnabled) {}
    ~CMemAllocBase() = default;
    CMemAllocBase(const CMemAllocBase&) = delete;
    CMemAllocBase& operator=(const CMemAllocBase&) = delete;

    // Called by the sample's return path with the lock held. Takes the
    // sample's buffer back and updates the state.
    void ClearSample(IMediaSample* pSample)
    {
        BYTE* pBuffer = nullptr;
        if (TRACE_ASSERT_TEXT(pSample->GetPointer(&pBuffer) == S_OK,
                              "CMemAllocBase::ClearSample(): pSample->GetPointer() != S_OK"))
        {
            const bool bPushed = m_buffers.Push(pBuffer);
            TRACE_ASSERT_TEXT(bPushed, "CMemAllocBase::ClearSample(): buffer is not one of this allocator's");
        }
        // The buffer's return without the interface's second pass through the
        // lock; the callback waits until the sample's storage block is back
        // (ReturnSample).
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IMemAllocator::ReleaseBuffer\n", this->GetDebugName());
        const HRESULT hr = this->ReleaseBufferLocked(m_spNotifyDeferred);
        TRACE_ASSERT_TEXT(hr == S_OK, "CMemAllocBase::ClearSample(): pT->ReleaseBuffer() != S_OK");
    }

    // Called by the sample's return path with the lock held, after the
    // sample has been torn down: its storage block is free again.
    void ReturnSample(void* pBlock)
    {
        m_samples.Return(pBlock);
        if (m_eState == AS_Decommit)
            FinishDecommit();
        WakeWaiters();
        // Only now may a callback on this thread commit again: a commit
        // rebuilds the storage, which must not hold the block of a sample
        // still being torn down.
        const CComPtr<IMemAllocatorNotifyCallbackTemp> spNotify = std::move(m_spNotifyDeferred);
        if (spNotify != nullptr)
            spNotify->NotifyRelease();
    }

    // With the lock held: whether a sample's return may drop the allocator's
    // last reference. A committed allocator holds one of its own; only a
    // decommit finishing, or a callback (which may decommit or release),
    // can take it away before the return is done.
    bool ReturnMayRelease() const { return m_eState == AS_Decommit || m_spNotify != nullptr; }
    void AllocatorAddRef() { AllocatorPtr()->AddRef(); }
    void AllocatorRelease() { AllocatorPtr()->Release(); }
    IMemAllocator* AllocatorPtr() { return static_cast<IMemAllocator*>(static_cast<T*>(this)); }

    bool IsAllReturn() const { return m_buffers.IsAllBuffersFree(); }

protected:
    friend class IMemAllocatorImpl<T>;

    bool IsKnownState() const { return m_eState >= AS_Create && m_eState <= AS_Decommit; }

    HRESULT CreateSemaphoreHandle()
    {
        if (!TRACE_ASSERT(m_hSem == nullptr))
            return E_UNEXPECTED;
        m_hSem = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr);
        return m_hSem != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    // Commit's work in AS_Prop: storage and buffers for the current properties.
    HRESULT Initialize()
    {
        TRACE_ASSERT_TEXT(m_samples.GetFreeCount() == m_samples.GetAllCount(), "m_nFree == m_nAll");
        if (FAILED(m_samples.Rebuild(m_props.cBuffers)))
            return E_OUTOFMEMORY;
        if (FAILED(m_buffers.Initialize(m_props)))
            return E_OUTOFMEMORY;
        return S_OK;
    }

    // Pops a buffer and builds a sample over it: S_FALSE when no buffer is free.
    HRESULT CreateSample(IMediaSample** ppSample)
    {
        BYTE* pBuffer = m_buffers.Pop();
        if (pBuffer == nullptr)
            return S_FALSE;
        void* pBlock = m_samples.Get();
        if (pBlock == nullptr)
        {
            m_buffers.Push(pBuffer);
            return E_OUTOFMEMORY;
        }
        // The size the buffers were carved with, not a size raised since.
        const HRESULT hr = CSampleObject::InitInstance(static_cast<T*>(this), pBlock, pBuffer,
                                                       m_buffers.GetBufferSize(), ppSample);
        if (FAILED(hr))
        {
            m_samples.Return(pBlock);
            m_buffers.Push(pBuffer);
            return hr;
        }
        if (m_bPendingType)
        {
            (*ppSample)->SetMediaType(&m_mtPending);
            m_mtPending.Clear();
            m_bPendingType = false;
        }
        const DWORD nOut = static_cast<DWORD>(m_samples.GetOutstanding());
        if (nOut > m_nMaxOutstanding)
        {
            m_nMaxOutstanding = nOut;
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s [allocator 0x%p]: max outstanding buffers %u\n",
                   this->GetDebugName(), AllocatorPtr(), static_cast<unsigned>(nOut));
        }
        return S_OK;
    }

    // In AS_Decommit once every buffer is back: the self-reference goes and
    // a size raised while committed takes effect for the next commit.
    void FinishDecommit()
    {
        if (m_eState != AS_Decommit || !IsAllReturn())
            return;
        m_eState = AS_Prop;
        if (m_cbRaised > m_props.cbBuffer)
            m_props.cbBuffer = m_cbRaised;
        m_cbRaised = 0;
        // Never the last reference: the caller or the returning sample holds one.
        static_cast<T*>(this)->CComObjectRootMT::InternalRelease();
    }

    void WakeWaiters()
    {
        if (m_nWaiting == 0)
            return;
        ReleaseSemaphore(m_hSem, static_cast<LONG>(m_nWaiting), nullptr);
        m_nWaiting = 0;
    }

    // Undoes everything; run by FinalRelease.
    void ReleaseAllocator()
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_CALL, L"%s CMemAllocBase::ReleaseAllocator() [allocator 0x%p]\n",
               this->GetDebugName(), AllocatorPtr());
        TRACE_ASSERT_TEXT(m_eState == AS_Create || m_eState == AS_Init || m_eState == AS_Prop,
                          "m_eState == AS_Create || m_eState == AS_Init || m_eState == AS_Prop");
        if (m_hSem != nullptr)
            CloseHandle(m_hSem);
        m_hSem = nullptr;
        m_eState = AS_Create;
        m_samples.Release();
        m_buffers.Release();
        m_spNotify.Release();
    }

    LONG m_eState = AS_Create;
    ALLOCATOR_PROPERTIES m_props = {0, 0, 1, 0};
    HANDLE m_hSem = nullptr;
    CComPtr<IMemAllocatorNotifyCallbackTemp> m_spNotify;
    // The return path of a sample leaves its callback here.
    CComPtr<IMemAllocatorNotifyCallbackTemp> m_spNotifyDeferred;
    const bool m_bEmptyOnCommitEnabled;
    CMType m_mtPending;
    bool m_bPendingType = false;
    // A buffer size asked for by SetMediaType while committed: the buffers
    // of the commit cannot grow, so it applies once the allocator is
    // decommitted.
    LONG m_cbRaised = 0;
    TBuffers m_buffers;
    CSampleArray m_samples{sizeof(CSampleObject)};
    DWORD m_nWaiting = 0;
    DWORD m_nMaxOutstanding = 0;
};

// IMemAllocatorEx over T's pending media type.
template <class T>
class CMemAllocEx : public IMemAllocatorEx
{
public:
    STDMETHOD(SetMediaType)(const AM_MEDIA_TYPE* pmt) override
    {
        T* pT = static_cast<T*>(this);
        if (!TRACE_ASSERT_TEXT(pmt != nullptr, "pmt != NULL"))
            return E_INVALIDARG;
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_ERROR, L"%s IMemAllocatorEx::SetMediaType() [allocator 0x%p]\n",
               pT->GetDebugName(), pT->AllocatorPtr());
        Debug_MediaType(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, pmt, nullptr);
        CComObjectRootMT::ObjectLock lock(pT);
        return pT->SetPendingType(pmt);
    }
};

// The owner pointer, not counted.
class IMemAllocOwnerImpl : public IMemAllocOwner
{
public:
    STDMETHOD(SetOwner)(IUnknown* pOwner) override
    {
        m_pOwner = pOwner;
        return S_OK;
    }
    STDMETHOD(GetOwner)(IUnknown** ppOwner) override
    {
        if (ppOwner == nullptr)
            return E_POINTER;
        *ppOwner = m_pOwner;
        return S_OK;
    }
    STDMETHOD(DebugAllocator)() override
    {
        TRACE_ASSERT_TEXT(false, "IMemAllocOwnerImpl::DebugAllocator(): is not implemented");
        return E_NOTIMPL;
    }

protected:
    IUnknown* m_pOwner = nullptr;
};

template <class TBuffer>
class CMemoryAllocatorT : public CMemAllocBase<CMemoryAllocatorT<TBuffer>, CAllocatorBuffers<TBuffer>, CMediaSample>,
                          public CMemAllocEx<CMemoryAllocatorT<TBuffer>>,
                          public IMemAllocOwnerImpl,
                          public CComObjectRootMT,
                          public CComCoClass<CMemoryAllocatorT<TBuffer>>
{
    typedef CMemAllocBase<CMemoryAllocatorT<TBuffer>, CAllocatorBuffers<TBuffer>, CMediaSample> Base;

public:
    CMemoryAllocatorT() : Base(false) {}

    BEGIN_COM_MAP(CMemoryAllocatorT)
    COM_INTERFACE_ENTRY(IMemAllocator)
    COM_INTERFACE_ENTRY(IMemAllocatorCallbackTemp)
    COM_INTERFACE_ENTRY(IMemAllocatorEx)
    COM_INTERFACE_ENTRY(IMemAllocOwner)
    END_COM_MAP()

    using Base::GetDebugName;

    HRESULT FinalConstruct()
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"%s FinalConstruct() [allocator 0x%p]\n", GetDebugName(),
               this->AllocatorPtr());
        const HRESULT hr = this->CreateSemaphoreHandle();
        if (FAILED(hr))
            return hr;
        this->m_eState = AS_Init;
        return S_OK;
    }

    void FinalRelease()
    {
        TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"%s FinalRelease() [allocator 0x%p]\n", GetDebugName(),
               this->AllocatorPtr());
        this->ReleaseAllocator();
    }

    // Only the self-reference left while committed with nothing out: the
    // last user forgot Decommit, and the memory stays until somebody calls it.
    ULONG InternalRelease()
    {
        const ULONG nRef = CComObjectRootMT::InternalRelease();
        if (nRef == 1 && this->m_eState == AS_Commit)
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR,
                   L"###Err### %s InternalRelease() [allocator 0x%p]: IMemAllocator::Decommit() is not called, memory is not freed\n",
                   GetDebugName(), this->AllocatorPtr());
        return nRef;
    }

    // IMemAllocatorEx::SetMediaType's work, with the lock held.
    HRESULT SetPendingType(const AM_MEDIA_TYPE* pmt)
    {
        const LONG cbOld = this->m_props.cbBuffer;
        const LONG cbNew = static_cast<LONG>(pmt->lSampleSize);
        if (cbOld < cbNew)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE,
                   L"### %s IMemAllocatorEx::SetMediaType(): change old size %i to new size %i\n", GetDebugName(), cbOld,
                   cbNew);
            if (IsCommitted())
                this->m_cbRaised = cbNew > this->m_cbRaised ? cbNew : this->m_cbRaised;
            else
                this->m_props.cbBuffer = cbNew;
        }
        else if (cbOld > cbNew)
        {
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_STATE,
                   L"### %s IMemAllocatorEx::SetMediaType(): old size %i > new size %i\n", GetDebugName(), cbOld, cbNew);
        }
        const HRESULT hr = this->m_mtPending.Set(pmt);
        this->m_bPendingType = SUCCEEDED(hr);
        return hr;
    }

    // For tests and diagnostics: the number of samples out at one time at most.
    DWORD GetMaxOutstanding()
    {
        ObjectLock lock(this);
        return this->m_nMaxOutstanding;
    }

private:
    bool IsCommitted() const
    {
        return this->m_eState == AS_Commit || this->m_eState == AS_Run || this->m_eState == AS_Decommit;
    }
};

typedef CMemoryAllocatorT<CBufferOnVirtualAlloc> CMemoryAllocator;
