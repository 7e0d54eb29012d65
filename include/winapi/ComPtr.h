// Owning interface pointer and BSTR owner. Header-only; the release happens
// on scope exit so that early returns never leak a reference.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>
#include <assert.h>
#include <memory>

template <class T>
class CComPtr
{
public:
    T* p = nullptr;

    CComPtr() noexcept = default;
    CComPtr(decltype(nullptr)) noexcept {}
    CComPtr(T* pT) noexcept : p(pT)
    {
        if (p)
            p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* pT) noexcept
    {
        if (pT != p)
        {
            // AddRef before Release: pT may be kept alive only by p.
            if (pT)
                pT->AddRef();
            T* pOld = p;
            p = pT;
            if (pOld)
                pOld->Release();
        }
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept
    {
        if (this != std::addressof(other))
        {
            T* pOld = p;
            p = other.p;
            other.p = nullptr;
            if (pOld)
                pOld->Release();
        }
        return *this;
    }

    operator T*() const noexcept { return p; }
    T& operator*() const noexcept
    {
        assert(p != nullptr);
        return *p;
    }
    T* operator->() const noexcept
    {
        assert(p != nullptr);
        return p;
    }
    // Used as an out-parameter: a non-empty pointer would leak its reference.
    T** operator&() noexcept
    {
        assert(p == nullptr);
        return &p;
    }
    bool operator!() const noexcept { return p == nullptr; }
    bool operator==(T* pT) const noexcept { return p == pT; }
    bool operator!=(T* pT) const noexcept { return p != pT; }
    bool operator<(T* pT) const noexcept { return p < pT; }

    void Release() noexcept
    {
        T* pOld = p;
        if (pOld)
        {
            p = nullptr;
            pOld->Release();
        }
    }
    // Takes over a reference the caller already owns.
    void Attach(T* pT) noexcept
    {
        if (p)
            p->Release();
        p = pT;
    }
    T* Detach() noexcept
    {
        T* pT = p;
        p = nullptr;
        return pT;
    }
    HRESULT CopyTo(T** ppT) const noexcept
    {
        if (ppT == nullptr)
            return E_POINTER;
        *ppT = p;
        if (p)
            p->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** ppQ) const noexcept
    {
        if (ppQ == nullptr)
            return E_POINTER;
        *ppQ = nullptr;
        if (p == nullptr)
            return E_POINTER;
        return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(ppQ));
    }
    // Identity comparison: two pointers name the same object when their
    // IUnknowns are equal.
    bool IsEqualObject(IUnknown* pOther) const noexcept
    {
        if (p == nullptr && pOther == nullptr)
            return true;
        if (p == nullptr || pOther == nullptr)
            return false;
        IUnknown* pUnk1 = nullptr;
        IUnknown* pUnk2 = nullptr;
        p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk1));
        pOther->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk2));
        bool bEqual = pUnk1 != nullptr && pUnk1 == pUnk2;
        if (pUnk1)
            pUnk1->Release();
        if (pUnk2)
            pUnk2->Release();
        return bEqual;
    }
};

// Owner of a BSTR; freed with SysFreeString on scope exit.
class CComBSTR
{
public:
    BSTR m_str = nullptr;

    CComBSTR() noexcept = default;
    CComBSTR(LPCWSTR psz) noexcept : m_str(psz ? ::SysAllocString(psz) : nullptr) {}
    CComBSTR(const CComBSTR& other) noexcept : m_str(other.Copy()) {}
    CComBSTR(CComBSTR&& other) noexcept : m_str(other.m_str) { other.m_str = nullptr; }
    ~CComBSTR() { Empty(); }

    CComBSTR& operator=(const CComBSTR& other) noexcept
    {
        if (this != std::addressof(other))
        {
            BSTR bstr = other.Copy();
            Empty();
            m_str = bstr;
        }
        return *this;
    }
    CComBSTR& operator=(CComBSTR&& other) noexcept
    {
        if (this != std::addressof(other))
        {
            Empty();
            m_str = other.m_str;
            other.m_str = nullptr;
        }
        return *this;
    }
    CComBSTR& operator=(LPCWSTR psz) noexcept
    {
        if (psz != m_str)
        {
            BSTR bstr = psz ? ::SysAllocString(psz) : nullptr;
            Empty();
            m_str = bstr;
        }
        return *this;
    }

    operator BSTR() const noexcept { return m_str; }
    BSTR* operator&() noexcept
    {
        assert(m_str == nullptr);
        return &m_str;
    }
    bool operator!() const noexcept { return m_str == nullptr; }

    unsigned int Length() const noexcept { return ::SysStringLen(m_str); }
    void Empty() noexcept
    {
        if (m_str)
        {
            ::SysFreeString(m_str);
            m_str = nullptr;
        }
    }
    void Attach(BSTR bstr) noexcept
    {
        if (bstr != m_str)
        {
            Empty();
            m_str = bstr;
        }
    }
    BSTR Detach() noexcept
    {
        BSTR bstr = m_str;
        m_str = nullptr;
        return bstr;
    }
    BSTR Copy() const noexcept
    {
        return m_str ? ::SysAllocStringByteLen(reinterpret_cast<const char*>(m_str), ::SysStringByteLen(m_str))
                     : nullptr;
    }
    HRESULT CopyTo(BSTR* pbstr) const noexcept
    {
        if (pbstr == nullptr)
            return E_POINTER;
        *pbstr = Copy();
        if (m_str != nullptr && *pbstr == nullptr)
            return E_OUTOFMEMORY;
        return S_OK;
    }
};
