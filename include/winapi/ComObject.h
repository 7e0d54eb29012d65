// COM objects of our own: a multi-threaded object root, declarative
// interface maps, object wrappers and creators, tear-offs and the coclass
// base. The concrete class is the template parameter and its hooks
// (FinalConstruct, FinalRelease, InternalAddRef, InternalRelease) are called
// directly, so a class extends them by declaring its own.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <unknwn.h>

#include <new>

#include <dshowx/DSTrace.h>
#include <winapi/ComPtr.h>

// Lock count of this module: COM objects alive plus server locks. Each
// module (DLL or program) that includes this header has its own count.
class CComModuleLock
{
public:
    static LONG Lock() { return InterlockedIncrement(&s_nLock); }
    static LONG Unlock() { return InterlockedDecrement(&s_nLock); }
    static LONG Count() { return InterlockedCompareExchange(&s_nLock, 0, 0); }

private:
    static inline LONG volatile s_nLock = 0;
};

// Reference count and the object's own recursive critical section. The
// critical section is the filter lock of a filter object and a pin's lock.
class CComObjectRootMT
{
public:
    CComObjectRootMT() { InitializeCriticalSection(&m_cs); }
    ~CComObjectRootMT() { DeleteCriticalSection(&m_cs); }
    CComObjectRootMT(const CComObjectRootMT&) = delete;
    CComObjectRootMT& operator=(const CComObjectRootMT&) = delete;

    // Hooks: a derived class declares its own to extend them; the wrappers
    // call the most derived one.
    // FinalConstruct (optional): runs once after construction, with a
    // reference held; a failure code destroys the object and is returned to
    // the creator.
    HRESULT FinalConstruct() { return S_OK; }
    // FinalRelease (optional): runs once before destruction, also after a
    // failed FinalConstruct; undoes what FinalConstruct did.
    void FinalRelease() {}
    // Return the new count; an extension calls these and then looks at it
    // (for example when only a self-reference is left).
    ULONG InternalAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_dwRef)); }
    ULONG InternalRelease() { return static_cast<ULONG>(InterlockedDecrement(&m_dwRef)); }

    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }
    CRITICAL_SECTION* GetCritSec() { return &m_cs; }

    // Holds the object's lock for its scope.
    class ObjectLock
    {
    public:
        explicit ObjectLock(CComObjectRootMT* pRoot) : m_pRoot(pRoot) { m_pRoot->Lock(); }
        ~ObjectLock() { m_pRoot->Unlock(); }
        ObjectLock(const ObjectLock&) = delete;
        ObjectLock& operator=(const ObjectLock&) = delete;

    private:
        CComObjectRootMT* m_pRoot;
    };

protected:
    // Set far negative while the object is destroyed, so that an AddRef and
    // Release pair made by FinalRelease cannot delete it a second time.
    void MarkDestroying() { m_dwRef = -(LONG_MAX / 2); }

    LONG volatile m_dwRef = 0;
    CRITICAL_SECTION m_cs;
};

// ---------------------------------------------------------------------------
// Interface map

enum ECOM_MAP_ENTRY_KIND
{
    COM_ENTRY_PLAIN,     // interface pointer inside the object
    COM_ENTRY_FUNC,      // function answers (S_OK), passes on (S_FALSE) or fails
    COM_ENTRY_BLIND,     // function asked for every IID that reaches it
    COM_ENTRY_TEAR_OFF,  // new tear-off object per request
    COM_ENTRY_AGGREGATE, // inner unknown of an aggregated object, when set
    COM_ENTRY_END,
};

typedef IUnknown* (*PFN_COM_MAP_CAST)(void* pThis);
typedef HRESULT (*PFN_COM_MAP_QUERY)(void* pThis, REFIID riid, void** ppv);

struct COM_MAP_ENTRY
{
    const IID* piid;
    ECOM_MAP_ENTRY_KIND eKind;
    PFN_COM_MAP_CAST pfnCast;   // plain entries
    PFN_COM_MAP_QUERY pfnQuery; // all other entries
};

// Walks a map in order. pThis is the object the map belongs to.
inline HRESULT ComMapQueryInterface(void* pThis, const COM_MAP_ENTRY* pEntries, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    // One identity: IUnknown is always the first entry's pointer.
    if (IsEqualIID(riid, IID_IUnknown))
    {
        if (!TRACE_ASSERT(pEntries[0].eKind == COM_ENTRY_PLAIN))
            return E_UNEXPECTED;
        IUnknown* pUnk = pEntries[0].pfnCast(pThis);
        pUnk->AddRef();
        *ppv = pUnk;
        return S_OK;
    }
    for (const COM_MAP_ENTRY* pEntry = pEntries; pEntry->eKind != COM_ENTRY_END; ++pEntry)
    {
        const bool bMatch = pEntry->piid == nullptr || IsEqualIID(*pEntry->piid, riid);
        if (!bMatch)
            continue;
        if (pEntry->eKind == COM_ENTRY_PLAIN)
        {
            IUnknown* pUnk = pEntry->pfnCast(pThis);
            pUnk->AddRef();
            *ppv = pUnk;
            return S_OK;
        }
        const HRESULT hr = pEntry->pfnQuery(pThis, riid, ppv);
        if (hr == S_OK)
            return S_OK;
        *ppv = nullptr;
        // A blind entry has the last word; others pass on with S_FALSE.
        if (FAILED(hr) || pEntry->eKind == COM_ENTRY_BLIND)
            return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    return E_NOINTERFACE;
}

// Inner unknown of an aggregated object (the free-threaded marshaler):
// passes on while it is not created.
inline HRESULT ComMapQueryAggregate(IUnknown* pInner, REFIID riid, void** ppv)
{
    if (pInner == nullptr)
        return S_FALSE;
    const HRESULT hr = pInner->QueryInterface(riid, ppv);
    return SUCCEEDED(hr) ? S_OK : S_FALSE;
}

// The map macros define, inside class x: GetUnknown() (the identity, the
// first entry, which must be a plain entry), GetControllingUnknown() (the
// outer unknown of aggregated parts such as the free-threaded marshaler),
// _InternalQueryInterface() and _GetEntries().
#define BEGIN_COM_MAP(x)                                                                         \
public:                                                                                          \
    typedef x _ComMapClass;                                                                      \
    IUnknown* GetUnknown()                                                                       \
    {                                                                                            \
        const COM_MAP_ENTRY* pEntries = _GetEntries();                                           \
        TRACE_ASSERT(pEntries[0].eKind == COM_ENTRY_PLAIN);                                      \
        return pEntries[0].pfnCast(this);                                                        \
    }                                                                                            \
    IUnknown* GetControllingUnknown() { return GetUnknown(); }                                  \
    HRESULT _InternalQueryInterface(REFIID riid, void** ppv)                                     \
    {                                                                                            \
        return ComMapQueryInterface(this, _GetEntries(), riid, ppv);                             \
    }                                                                                            \
    static const COM_MAP_ENTRY* _GetEntries()                                                    \
    {                                                                                            \
        static const COM_MAP_ENTRY s_entries[] = {

#define COM_INTERFACE_ENTRY_IID(iid, I)                                                          \
    {&(iid), COM_ENTRY_PLAIN,                                                                    \
     [](void* pv) -> IUnknown* { return static_cast<I*>(static_cast<_ComMapClass*>(pv)); }, nullptr},

#define COM_INTERFACE_ENTRY(I) COM_INTERFACE_ENTRY_IID(__uuidof(I), I)

// Answers iid with interface I reached through base B (several interfaces
// derive from one base, as IPersist from IMediaFilter from IBaseFilter).
#define COM_INTERFACE_ENTRY2_IID(iid, I, B)                                                      \
    {&(iid), COM_ENTRY_PLAIN,                                                                    \
     [](void* pv) -> IUnknown* {                                                                 \
         return static_cast<I*>(static_cast<B*>(static_cast<_ComMapClass*>(pv)));                \
     },                                                                                          \
     nullptr},

#define COM_INTERFACE_ENTRY2(I, B) COM_INTERFACE_ENTRY2_IID(__uuidof(I), I, B)

// func: a member HRESULT func(REFIID riid, void** ppv) of the class.
#define COM_INTERFACE_ENTRY_FUNC(iid, func)                                                      \
    {&(iid), COM_ENTRY_FUNC, nullptr,                                                            \
     [](void* pv, REFIID riid, void** ppv) -> HRESULT {                                          \
         return static_cast<_ComMapClass*>(pv)->func(riid, ppv);                                 \
     }},

#define COM_INTERFACE_ENTRY_FUNC_BLIND(func)                                                     \
    {nullptr, COM_ENTRY_BLIND, nullptr,                                                          \
     [](void* pv, REFIID riid, void** ppv) -> HRESULT {                                          \
         return static_cast<_ComMapClass*>(pv)->func(riid, ppv);                                 \
     }},

#define COM_INTERFACE_ENTRY_TEAR_OFF(iid, X)                                                     \
    {&(iid), COM_ENTRY_TEAR_OFF, nullptr,                                                        \
     [](void* pv, REFIID riid, void** ppv) -> HRESULT {                                          \
         return CComTearOffObject<X>::CreateTearOff(static_cast<_ComMapClass*>(pv), riid, ppv);  \
     }},

// punk: a member owning the inner IUnknown, e.g. CComPtr<IUnknown> m_spFTM.
#define COM_INTERFACE_ENTRY_AGGREGATE(iid, punk)                                                 \
    {&(iid), COM_ENTRY_AGGREGATE, nullptr,                                                       \
     [](void* pv, REFIID riid, void** ppv) -> HRESULT {                                          \
         return ComMapQueryAggregate(static_cast<_ComMapClass*>(pv)->punk, riid, ppv);           \
     }},

#define END_COM_MAP()                                                                            \
    {nullptr, COM_ENTRY_END, nullptr, nullptr}                                                   \
    }                                                                                            \
    ;                                                                                            \
    return s_entries;                                                                            \
    }

// ---------------------------------------------------------------------------
// Object wrappers

// The object's IUnknown: reference counting through T's hooks, queries
// through T's map, deletion on the last release. With bLockModule the
// object holds a module lock while it lives.
template <class T, bool bLockModule>
class CComObjectT : public T
{
public:
    CComObjectT()
    {
        if (bLockModule)
            CComModuleLock::Lock();
    }
    // FinalRelease also runs after a failed FinalConstruct, so that a
    // partial construction is undone in one place.
    virtual ~CComObjectT()
    {
        this->MarkDestroying();
        this->FinalRelease();
        if (bLockModule)
            CComModuleLock::Unlock();
    }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG nRef = this->InternalRelease();
        if (nRef == 0)
            delete this;
        return nRef;
    }
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override { return this->_InternalQueryInterface(riid, ppv); }

    // Creates the object and runs FinalConstruct with a reference held for
    // its duration (it may hand out and drop references to itself). On
    // success *pp has a count of 0; on failure the object is destroyed.
    static HRESULT CreateInstance(CComObjectT** pp)
    {
        if (pp == nullptr)
            return E_POINTER;
        *pp = nullptr;
        CComObjectT* p = new (std::nothrow) CComObjectT();
        if (p == nullptr)
            return E_OUTOFMEMORY;
        p->CComObjectRootMT::InternalAddRef();
        const HRESULT hr = p->FinalConstruct();
        p->CComObjectRootMT::InternalRelease();
        if (FAILED(hr))
        {
            delete p;
            return hr;
        }
        *pp = p;
        return S_OK;
    }

    // Creates the object and queries riid: the caller holds the only
    // reference. A failed query destroys the object again.
    static HRESULT CreateInstance(REFIID riid, void** ppv)
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        CComObjectT* p = nullptr;
        HRESULT hr = CreateInstance(&p);
        if (FAILED(hr))
            return hr;
        p->AddRef();
        hr = p->QueryInterface(riid, ppv);
        p->Release();
        return hr;
    }
};

template <class T>
using CComObject = CComObjectT<T, true>;
// For objects that must not keep the module loaded (class objects).
template <class T>
using CComObjectNoLock = CComObjectT<T, false>;

// Creator of the classes that refuse aggregation.
template <class TObject>
class CComCreator
{
public:
    static HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        return TObject::CreateInstance(riid, ppv);
    }
};

// Class-object base: the class identifier (GUID_NULL for classes created
// only from code) and the creator used by the class factory.
template <class T, const CLSID* pclsid = &GUID_NULL>
class CComCoClass
{
public:
    static const CLSID& GetObjectCLSID() { return *pclsid; }
    static HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
    {
        return CComCreator<CComObject<T>>::CreateInstance(pUnkOuter, riid, ppv);
    }
    // Creates an object and hands out interface Q; the caller holds the only
    // reference.
    template <class Q>
    static HRESULT CreateInstance(Q** pp)
    {
        return CreateInstance(nullptr, __uuidof(Q), reinterpret_cast<void**>(pp));
    }
};

// ---------------------------------------------------------------------------
// Tear-offs

// Base of a tear-off class: the owner it belongs to. The tear-off declares
// its own interface map for the interfaces it implements.
template <class Owner>
class CComTearOffObjectBase : public CComObjectRootMT
{
public:
    typedef Owner _OwnerClass;
    Owner* m_pOwner = nullptr;
};

// A tear-off object: created on each request for one of its interfaces,
// holds a reference on its owner for its whole life, and answers every
// later query with the owner's QueryInterface (one identity: the owner's).
template <class Base>
class CComTearOffObject : public Base
{
public:
    explicit CComTearOffObject(typename Base::_OwnerClass* pOwner)
    {
        this->m_pOwner = pOwner;
        this->m_pOwner->GetUnknown()->AddRef();
    }
    virtual ~CComTearOffObject()
    {
        this->MarkDestroying();
        this->FinalRelease();
        this->m_pOwner->GetUnknown()->Release();
    }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG nRef = this->InternalRelease();
        if (nRef == 0)
            delete this;
        return nRef;
    }
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        return this->m_pOwner->GetUnknown()->QueryInterface(riid, ppv);
    }

    // The creation answers riid from the tear-off's own map.
    static HRESULT CreateTearOff(typename Base::_OwnerClass* pOwner, REFIID riid, void** ppv)
    {
        CComTearOffObject* p = new (std::nothrow) CComTearOffObject(pOwner);
        if (p == nullptr)
            return E_OUTOFMEMORY;
        p->InternalAddRef();
        HRESULT hr = p->FinalConstruct();
        if (SUCCEEDED(hr))
            hr = p->_InternalQueryInterface(riid, ppv);
        p->Release();
        return hr;
    }
};
