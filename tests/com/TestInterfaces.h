// Small custom interfaces for the object tests.
#pragma once

#include <windows.h>
#include <unknwn.h>

struct IVelmoraTestA : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetA(LONG* pn) = 0;
};
__CRT_UUID_DECL(IVelmoraTestA, 0x6d1e0a01, 0x5b1c, 0x4f0e, 0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x01)

struct IVelmoraTestB : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetB(LONG* pn) = 0;
};
__CRT_UUID_DECL(IVelmoraTestB, 0x6d1e0a02, 0x5b1c, 0x4f0e, 0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x02)

// Answered by a conditional entry.
struct IVelmoraTestC : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetC(LONG* pn) = 0;
};
__CRT_UUID_DECL(IVelmoraTestC, 0x6d1e0a03, 0x5b1c, 0x4f0e, 0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x03)

// Answered by a tear-off.
struct IVelmoraTestD : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetD(LONG* pn) = 0;
};
__CRT_UUID_DECL(IVelmoraTestD, 0x6d1e0a04, 0x5b1c, 0x4f0e, 0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x04)

// Only the tear-off's own map lists it.
struct IVelmoraTestE : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetE(LONG* pn) = 0;
};
__CRT_UUID_DECL(IVelmoraTestE, 0x6d1e0a05, 0x5b1c, 0x4f0e, 0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x05)

// Its conditional entry fails: the search stops there.
struct IVelmoraTestF : public IUnknown
{
};
__CRT_UUID_DECL(IVelmoraTestF, 0x6d1e0a06, 0x5b1c, 0x4f0e, 0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x06)

// Never answered.
struct IVelmoraTestNone : public IUnknown
{
};
__CRT_UUID_DECL(IVelmoraTestNone, 0x6d1e0a07, 0x5b1c, 0x4f0e, 0x9a, 0x11, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x07)
