// Stream persistence helpers: exact-size reads and writes of plain values and
// the length-prefixed string form (a 32-bit byte count, then the UTF-16
// characters with their zero character; a count of 0 for a null string);
// persistable objects described by a map of their members (CPersistHelp,
// CPersistObject), and IPersistStream over such an object.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <memory>

#include <dshowx/DSTrace.h>
#include <winapi/ComPtr.h>

// Largest string byte count a stream may announce.
constexpr ULONG PERSIST_STRING_MAX = 1048576;
// Size of an object whose stream size cannot be known in advance.
constexpr ULONG PERSIST_SIZE_UNKNOWN = 0xFFFFFFFF;

// Writes exactly cb bytes; a short write is E_FAIL.
HRESULT PersistWrite(IStream* pStm, const void* pv, ULONG cb);
// Reads exactly cb bytes; a stream that ends early is E_FAIL.
HRESULT PersistRead(IStream* pStm, void* pv, ULONG cb);

// Bytes the string takes in a stream: 4, plus its length in bytes and 2.
ULONG PersistStringSize(LPCWSTR psz);
HRESULT PersistWriteString(IStream* pStm, LPCWSTR psz);
// Reads a string into *pbs (emptied first; a count of 0 leaves it null).
// A corrupt stream is traced with its reason and gives E_FAIL or the
// stream's own failure.
HRESULT PersistReadString(IStream* pStm, CComBSTR* pbs);

// An object that saves and loads itself; a member of this kind is a nested
// object in a persistence map.
class CPersistObject
{
public:
    // Loads what PersistSave wrote; a failure leaves the object's defaults.
    virtual HRESULT PersistLoad(IStream* pStm) = 0;
    virtual HRESULT PersistSave(IStream* pStm, BOOL bClearDirty) = 0;
    // Bytes PersistSave writes, or PERSIST_SIZE_UNKNOWN.
    virtual ULONG PersistSize() = 0;
    // Named apart from IPersistStream::IsDirty, which a persistable COM
    // object implements beside it.
    virtual bool PersistIsDirty() = 0;

protected:
    ~CPersistObject() = default;
};

// A BSTR member saved in the helper's own string form: a 32-bit byte count
// (0 for a null string), then the characters and their zero character.
class CStreamBSTR : public CComBSTR
{
public:
    using CComBSTR::operator=;
    HRESULT PersistLoad(IStream* pStm);
    HRESULT PersistSave(IStream* pStm) const;
    ULONG PersistSize() const { return PersistStringSize(m_str); }
};

// Kinds of map entries; a positive size is a plain member of that many bytes
// written as it lies in memory.
enum : LONG
{
    PERSIST_KIND_OBJECT = -1,    // nested CPersistObject
    PERSIST_KIND_INTERFACE = -2, // interface pointer member; its IPersistStream is used
    PERSIST_KIND_CALLBACK = -3,  // member handled by the PERSIST_CALLBACKS of pvExtra
    PERSIST_KIND_BSTR = -4,      // CStreamBSTR member
    PERSIST_KIND_CONST = -5,     // the 16 bytes at pvExtra (a GUID); loading checks them
    PERSIST_KIND_MAP = -6,       // the map at pvExtra, applied at the member's position
};

// One entry: size or kind, the member's byte offset in the object, and an
// extra word for the kinds that need one. A map ends with a size of 0.
struct PERSIST_MAP_ENTRY
{
    LONG nSize;
    size_t nOffset;
    const void* pvExtra;
};

// The functions behind a callback entry; each gets the member's address.
// pfnIsDirty may be null (never dirty).
struct PERSIST_CALLBACKS
{
    HRESULT (*pfnLoad)(void* pvMember, IStream* pStm);
    HRESULT (*pfnSave)(void* pvMember, IStream* pStm, BOOL bClearDirty);
    ULONG (*pfnSize)(void* pvMember);
    bool (*pfnIsDirty)(void* pvMember);
};

// Walks a map over the object at pThis: entries in order, the first failure
// stops the walk and is returned.
class CPersistHelp
{
public:
    static HRESULT PersistSaveImp(void* pThis, const PERSIST_MAP_ENTRY* pMap, IStream* pStm, BOOL bClearDirty);
    static HRESULT PersistLoadImp(void* pThis, const PERSIST_MAP_ENTRY* pMap, IStream* pStm);
    // Sum of the entries' sizes; PERSIST_SIZE_UNKNOWN when any is unknown.
    static ULONG PersistSizeImp(void* pThis, const PERSIST_MAP_ENTRY* pMap);
    // True when a nested object, interface or callback member reports dirty.
    static bool IsDirtyImp(void* pThis, const PERSIST_MAP_ENTRY* pMap);
};

// Byte offset of a member of the map's class (also through its base B).
// (std::addressof: CComBSTR and CComPtr overload the address operator.)
#define PERSIST_OFFSET_AS(member, B) \
    (reinterpret_cast<size_t>(static_cast<B*>(std::addressof(reinterpret_cast<_PersistClass*>(8)->member))) - 8)
#define PERSIST_OFFSET(member) \
    (reinterpret_cast<size_t>(std::addressof(reinterpret_cast<_PersistClass*>(8)->member)) - 8)

// The map macros define, inside class x, static GetPersistMap().
#define BEGIN_PERSIST_MAP(x)                                                                     \
    static const PERSIST_MAP_ENTRY* GetPersistMap()                                              \
    {                                                                                            \
        typedef x _PersistClass;                                                                 \
        static const PERSIST_MAP_ENTRY s_map[] = {
#define PERSIST_ENTRY(member) {static_cast<LONG>(sizeof(_PersistClass::member)), PERSIST_OFFSET(member), nullptr},
#define PERSIST_ENTRY_OBJECT(member) {PERSIST_KIND_OBJECT, PERSIST_OFFSET_AS(member, CPersistObject), nullptr},
#define PERSIST_ENTRY_INTERFACE(member) {PERSIST_KIND_INTERFACE, PERSIST_OFFSET(member), nullptr},
#define PERSIST_ENTRY_CALLBACK(member, callbacks) {PERSIST_KIND_CALLBACK, PERSIST_OFFSET(member), &(callbacks)},
#define PERSIST_ENTRY_BSTR(member) {PERSIST_KIND_BSTR, PERSIST_OFFSET_AS(member, CStreamBSTR), nullptr},
#define PERSIST_ENTRY_CONST(guid) {PERSIST_KIND_CONST, 0, &(guid)},
#define PERSIST_ENTRY_MAP(member, map) {PERSIST_KIND_MAP, PERSIST_OFFSET(member), (map)},
#define END_PERSIST_MAP()                                                                        \
    {0, 0, nullptr}                                                                              \
    }                                                                                            \
    ;                                                                                            \
    return s_map;                                                                                \
    }

// A persistable object described by T's map (BEGIN_PERSIST_MAP) with its own
// dirty flag. T provides LPCWSTR GetTraceName() for the failure lines and may
// declare its own PersistLoad/PersistSave around these (they are virtual).
template <class T>
class CPersistObjectImpl : public CPersistObject
{
public:
    HRESULT PersistLoad(IStream* pStm) override
    {
        const HRESULT hr = CPersistHelp::PersistLoadImp(Self(), T::GetPersistMap(), pStm);
        if (FAILED(hr))
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s PersistLoad(): CPersistHelp::PersistLoadImp()=0x%X\n",
                   Self()->GetTraceName(), hr);
        else
            m_bDirty = false;
        return hr;
    }
    HRESULT PersistSave(IStream* pStm, BOOL bClearDirty) override
    {
        const HRESULT hr = CPersistHelp::PersistSaveImp(Self(), T::GetPersistMap(), pStm, bClearDirty);
        if (FAILED(hr))
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### %s PersistSave(): CPersistHelp::PersistSaveImp()=0x%X\n",
                   Self()->GetTraceName(), hr);
        else if (bClearDirty)
            m_bDirty = false;
        return hr;
    }
    ULONG PersistSize() override { return CPersistHelp::PersistSizeImp(Self(), T::GetPersistMap()); }
    bool PersistIsDirty() override { return m_bDirty || CPersistHelp::IsDirtyImp(Self(), T::GetPersistMap()); }

    void SetDirty(bool bDirty) { m_bDirty = bDirty; }

private:
    T* Self() { return static_cast<T*>(this); }

    bool m_bDirty = false;
};

// IPersistStream of an object that is a CPersistObject (normally through
// CPersistObjectImpl<T>). T provides GetTraceName() and the class GUID
// through static GetObjectCLSID().
template <class T>
class IPersistStreamImpl : public IPersistStream
{
public:
    STDMETHOD(GetClassID)(CLSID* pClassID) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPersistStream::GetClassID()\n", Self()->GetTraceName());
        if (pClassID == nullptr)
            return E_POINTER;
        *pClassID = T::GetObjectCLSID();
        return S_OK;
    }
    STDMETHOD(IsDirty)() override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPersistStream::IsDirty()\n", Self()->GetTraceName());
        return Self()->PersistIsDirty() ? S_OK : S_FALSE;
    }
    STDMETHOD(Load)(IStream* pStm) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPersistStream::Load()\n", Self()->GetTraceName());
        if (pStm == nullptr)
            return E_POINTER;
        return Self()->PersistLoad(pStm);
    }
    STDMETHOD(Save)(IStream* pStm, BOOL fClearDirty) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPersistStream::Save()\n", Self()->GetTraceName());
        if (pStm == nullptr)
            return E_POINTER;
        return Self()->PersistSave(pStm, fClearDirty);
    }
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER* pcbSize) override
    {
        TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_DETAIL, L"%s IPersistStream::GetSizeMax()\n", Self()->GetTraceName());
        if (pcbSize == nullptr)
            return E_POINTER;
        const ULONG cb = Self()->PersistSize();
        if (cb == PERSIST_SIZE_UNKNOWN)
            return E_FAIL;
        pcbSize->QuadPart = cb;
        return S_OK;
    }

private:
    T* Self() { return static_cast<T*>(this); }
};
